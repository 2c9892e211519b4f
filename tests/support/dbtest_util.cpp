#include "dbtest_util.h"

#include <arpa/inet.h>
#include <mysql.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

#include "common/lbGlobals.h"
#include "config/lbCtrlApi.h"
#include "support/lbtest_util.h"

namespace dbtest {

int dbctl(const std::string &args) {
    int rc = system(("bash " + lbtest::sourceDir() + "/testbed/db/dbctl " + args).c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

const Credentials &credentials() {
    static const Credentials c = [] {
        Credentials r;
        std::ifstream(lbtest::scratchDir() + "/dbconfig.conf") >> r.host >> r.user >> r.password;
        return r;
    }();
    return c;
}

bool sql(const std::string &statements) {
    static MYSQL *con = nullptr;
    if (con == nullptr || mysql_ping(con) != 0) {
        mysql_close(con);
        const Credentials &c = credentials();
        con = mysql_init(nullptr);
        if (mysql_real_connect(con, c.host.c_str(), c.user.c_str(), c.password.c_str(),
                               "loadbalancer", 0, nullptr, CLIENT_MULTI_STATEMENTS) == nullptr) {
            ADD_FAILURE() << "the test database does not answer: " << mysql_error(con);
            mysql_close(con);
            con = nullptr;
            return false;
        }
    }
    int rc = mysql_query(con, statements.c_str());
    while (rc == 0) {
        mysql_free_result(mysql_store_result(con));
        rc = mysql_next_result(con);
    }
    EXPECT_EQ(mysql_errno(con), 0u) << mysql_error(con) << "\nin: " << statements;
    return mysql_errno(con) == 0;
}

std::string insertServers(const std::string &values) {
    return "INSERT INTO server (servername, serverip, maxconn, servermac, state, switchport) "
           "VALUES " +
           values + ";";
}

std::string insertServers(int first, int last, int port) {
    std::string v;
    for (int i = first; i <= last; i++) {
        std::string n = std::to_string(i);
        v += (i == first ? "('web" : ",('web") + n + "', '192.0.2." + n +
             "', 20, '02:00:00:00:00:" + n + "', 'Unlocked', " + std::to_string(port) + ")";
    }
    return insertServers(v);
}

MYSQL *g_parentsCon;  // left open for the parent, and still reachable at the child's exit

void ownConnection() {
    g_parentsCon = std::exchange(g_con, nullptr);
    lbDbInit();
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

bool DbTest::resetSchema() {
    return sql(lbtest::readFile(lbtest::sourceDir() + "/testbed/db/schema.sql"));
}

void DbTest::SetUp() {
    ASSERT_NE(getenv("LBDB_HOME"), nullptr)
        << "LBDB_HOME is not set: start a server with testbed/db/dbctl start and run the db "
           "suites inside its namespace (scripts/test does both)";
    ASSERT_EQ(dbctl("dbconfig >dbconfig.conf"), 0);
    ASSERT_TRUE(resetSchema());
    remove("flag.txt");
    lbtest::resetState();
    // These suites check exits with no thread of their own running; the re-executing
    // style would replay every schema reset of a table of cases before each checked exit.
    // A child that uses the database takes its own connection (ownConnection).
    GTEST_FLAG_SET(death_test_style, "fast");
    if (g_con == nullptr)
        lbtest::printed(lbDbInit);
}

std::string DbTest::tick(const char *flag) {
    if (flag != nullptr)
        lbtest::writeFile("flag.txt", flag);
    else
        remove("flag.txt");
    return tick();
}

}  // namespace dbtest
