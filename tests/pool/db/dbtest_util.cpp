#include "dbtest_util.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "packet/lbApp.h"
#include "pool/lbCtrlApi.h"
#include "support/lbtest_util.h"

namespace dbtest {

namespace {

std::string dbctlPath() {
    return lbtest::sourceDir() + "/testbed/db/dbctl";
}

}  // namespace

int dbctl(const std::string &args) {
    int rc = system(("bash " + dbctlPath() + " " + args + " >&2").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

const Credentials &credentials() {
    static const Credentials c = [] {
        Credentials r;
        FILE *p = popen(("bash " + dbctlPath() + " dbconfig").c_str(), "r");
        char host[64], user[64], password[64];
        if (p != nullptr && fscanf(p, "%63s %63s %63s", host, user, password) == 3)
            r = {host, user, password};
        if (p != nullptr)
            pclose(p);
        return r;
    }();
    return c;
}

std::string insertServers(const std::string &values) {
    return "INSERT INTO server (servername, serverip, maxconn, servermac, state, switchport) "
           "VALUES " +
           values + ";";
}

std::vector<lbServer_node_t *> listed() {
    std::vector<lbServer_node_t *> v;
    for (dlist_node *n = lbServHead.next; n != &lbServHead; n = n->next)
        v.push_back(static_cast<lbServer_node_t *>(n->data));
    return v;
}

lbServer_node_t *find(const char *ip) {
    return getServEntry(inet_addr(ip), &lbServHead);
}

std::string describe(const lbServer_node_t *s) {
    const unsigned char *m = s->lbServMac;
    char buf[256];
    snprintf(buf, sizeof buf,
             "%s %s %d %02x:%02x:%02x:%02x:%02x:%02x lock=%d port=%d idx=%d valid=%d conn=%d "
             "del=%d unreach=%d",
             s->server_name, inet_ntoa(s->lbServIp), s->maxconn, m[0], m[1], m[2], m[3], m[4], m[5],
             s->lock, s->lbSwitchPort, s->lbServIdx, s->valid, s->numConn, s->delete_,
             s->servNotReachable);
    return buf;
}

size_t count(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        n++;
    return n;
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

Admin::~Admin() {
    if (con_ != nullptr)
        mysql_close(con_);
}

void Admin::reconnect() {
    if (con_ != nullptr)
        mysql_close(con_);
    const Credentials &c = credentials();
    con_ = mysql_init(nullptr);
    if (con_ != nullptr &&
        mysql_real_connect(con_, c.host.c_str(), c.user.c_str(), c.password.c_str(), "loadbalancer",
                           0, nullptr, CLIENT_MULTI_STATEMENTS) == nullptr) {
        mysql_close(con_);
        con_ = nullptr;
    }
}

void Admin::exec(const std::string &sql) {
    if (con_ == nullptr || mysql_ping(con_) != 0)
        reconnect();
    ASSERT_NE(con_, nullptr) << "no admin connection";
    ASSERT_EQ(mysql_query(con_, sql.c_str()), 0) << mysql_error(con_) << "\nin: " << sql;
    do
        mysql_free_result(mysql_store_result(con_));
    while (mysql_next_result(con_) == 0);
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
    MYSQL_ROW row = r ? mysql_fetch_row(r) : nullptr;
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

void DbTest::SetUp() {
    ASSERT_NE(getenv("LBDB_HOME"), nullptr)
        << "LBDB_HOME is not set: start a server with testbed/db/dbctl start and run the db "
           "suites inside its namespace (scripts/test does both)";
    ASSERT_TRUE(admin_.ok()) << "the test database does not answer on 127.0.0.1:3306";
    admin_.resetSchema();
    const Credentials &c = credentials();
    lbtest::writeFile("dbconfig.conf", c.host + "\n" + c.user + "\n" + c.password + "\n");
    remove("flag.txt");
    resetPool();
    if (g_con == nullptr) {
        testing::internal::CaptureStdout();
        lbDbInit();
        testing::internal::GetCapturedStdout();
    }
}

void DbTest::loadServers() {
    testing::internal::CaptureStdout();
    lbServConfig();
    testing::internal::GetCapturedStdout();
}

std::string DbTest::tick(const char *flag) {
    if (flag != nullptr)
        lbtest::writeFile("flag.txt", flag);
    else
        remove("flag.txt");
    testing::internal::CaptureStdout();
    lb_get_graphical_data(nullptr, 0);
    return testing::internal::GetCapturedStdout();
}

}  // namespace dbtest
