#include "dbtest_util.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/lbtest_util.h"
#include "packet/lbApp.h"
#include "pool/lbServerList.h"

namespace dbtest {

namespace {

std::string dbctlPath() {
    return lbtest::sourceDir() + "/testbed/db/dbctl";
}

// Output of a command, with its exit status.
std::string capture(const std::string &cmd, int *status) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        *status = -1;
        return out;
    }
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int rc = pclose(p);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

// The three words of dbconfig.conf (host, user, password).
struct Credentials {
    std::string host, user, password;
};

Credentials credentials() {
    int status;
    std::string out = capture("bash " + dbctlPath() + " dbconfig", &status);
    Credentials c;
    size_t a = out.find('\n');
    size_t b = out.find('\n', a + 1);
    size_t e = out.find('\n', b + 1);
    if (status != 0 || a == std::string::npos || b == std::string::npos || e == std::string::npos)
        return c;
    c.host = out.substr(0, a);
    c.user = out.substr(a + 1, b - a - 1);
    c.password = out.substr(b + 1, e - b - 1);
    return c;
}

}  // namespace

int dbctl(const std::string &args) {
    int rc = system(("bash " + dbctlPath() + " " + args + " >&2").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string whyUnavailable() {
    if (getenv("LBDB_HOME") == nullptr)
        return "LBDB_HOME is not set: run the db suites through scripts/test, or start a "
               "server with testbed/db/dbctl start and run them inside its namespace";
    int status;
    std::string out = capture("bash " + dbctlPath() + " status 2>&1", &status);
    if (status != 0)
        return "the test database is not running: " + out;
    Admin probe;
    if (!probe.ok())
        return "the test database does not answer on 127.0.0.1:3306 (not inside its "
               "network namespace?)";
    return "";
}

void writeDbConfig() {
    Credentials c = credentials();
    lbtest::writeFile("dbconfig.conf", c.host + "\n" + c.user + "\n" + c.password + "\n");
}

Admin::Admin() {
    reconnect();
}

Admin::~Admin() {
    if (con_ != nullptr)
        mysql_close(con_);
}

void Admin::reconnect() {
    if (con_ != nullptr)
        mysql_close(con_);
    con_ = nullptr;
    Credentials c = credentials();
    MYSQL *m = mysql_init(nullptr);
    if (m == nullptr)
        return;
    if (mysql_real_connect(m, c.host.c_str(), c.user.c_str(), c.password.c_str(), "loadbalancer", 0,
                           nullptr, CLIENT_MULTI_STATEMENTS) == nullptr) {
        mysql_close(m);
        return;
    }
    con_ = m;
}

void Admin::exec(const std::string &sql) {
    // The server may have been restarted by a test since the last statement.
    if (con_ == nullptr || mysql_ping(con_) != 0)
        reconnect();
    ASSERT_NE(con_, nullptr) << "no admin connection";
    ASSERT_EQ(mysql_query(con_, sql.c_str()), 0) << mysql_error(con_) << "\nin: " << sql;
    do {
        MYSQL_RES *r = mysql_store_result(con_);
        if (r != nullptr)
            mysql_free_result(r);
    } while (mysql_next_result(con_) == 0);
    ASSERT_EQ(mysql_errno(con_), 0u) << mysql_error(con_) << "\nin: " << sql;
}

std::string Admin::scalar(const std::string &sql) {
    if (con_ == nullptr || mysql_ping(con_) != 0)
        reconnect();
    std::string v;
    if (con_ == nullptr || mysql_query(con_, sql.c_str()) != 0) {
        ADD_FAILURE() << (con_ ? mysql_error(con_) : "no admin connection") << "\nin: " << sql;
        return v;
    }
    MYSQL_RES *r = mysql_store_result(con_);
    if (r == nullptr)
        return v;
    MYSQL_ROW row = mysql_fetch_row(r);
    if (row != nullptr && row[0] != nullptr)
        v = row[0];
    mysql_free_result(r);
    return v;
}

void Admin::resetSchema() {
    std::string schema = lbtest::readFile(lbtest::sourceDir() + "/testbed/db/schema.sql");
    ASSERT_FALSE(schema.empty()) << "cannot read testbed/db/schema.sql";
    exec(schema);
}

void resetPool() {
    delete_all_lbServerNodes();
    Server_list_init();
    g_lbNumServers = 0;
    memset(g_cont1IPAddr, 0, sizeof g_cont1IPAddr);
    memset(g_contMacAddr, 0, sizeof g_contMacAddr);
    memset(g_switchDpId, 0, sizeof g_switchDpId);
    memset(g_vipIPAddr, 0, sizeof g_vipIPAddr);
    memset(cluster_name, 0, sizeof cluster_name);
}

void stdoutToStderr() {
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

}  // namespace dbtest
