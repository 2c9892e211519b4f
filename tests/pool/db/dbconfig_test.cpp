// Start-up loaders against a real MariaDB: what they put into the globals, the server
// list and the mirror files, and how they end start-up on unusable configuration.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dbtest_util.h"
#include "flowtable/lbFlowDb.h"
#include "support/lbtest_util.h"
#include "packet/lbApp.h"
#include "pool/lbCtrlApi.h"

namespace {

struct ServerRow {
    std::string name, ip;
    int maxconn;
    std::string mac, state;
    int port;
};

std::string insertSql(const ServerRow &r) {
    return "INSERT INTO server (servername, serverip, maxconn, servermac, state, switchport) "
           "VALUES ('" +
           r.name + "', '" + r.ip + "', " + std::to_string(r.maxconn) + ", '" + r.mac + "', '" +
           r.state + "', " + std::to_string(r.port) + ");";
}

// The mirror line of a row: the six used values, each followed by a blank.
std::string mirrorLine(const ServerRow &r) {
    return r.name + " " + r.ip + " " + std::to_string(r.maxconn) + " " + r.mac + " " + r.state +
           " " + std::to_string(r.port) + " \n";
}

std::vector<lbServer_node_t *> listed() {
    std::vector<lbServer_node_t *> v;
    for (dlist_node *n = lbServHead.next; n != &lbServHead; n = n->next)
        v.push_back(static_cast<lbServer_node_t *>(n->data));
    return v;
}

class DbConfig : public testing::Test {
  protected:
    void SetUp() override {
        std::string why = dbtest::whyUnavailable();
        ASSERT_TRUE(why.empty()) << why;
        admin_.resetSchema();
        dbtest::writeDbConfig();
        if (g_con == nullptr) {
            testing::internal::CaptureStdout();
            lbDbInit();
            testing::internal::GetCapturedStdout();
        }
        dbtest::resetPool();
    }
    void TearDown() override { dbtest::resetPool(); }

    dbtest::Admin admin_;
};

TEST_F(DbConfig, ServersLoadInDatabaseOrderWithTheirFieldsAndMirror) {
    const std::vector<ServerRow> rows = {
        {"web1", "192.0.2.11", 100, "02:00:00:00:00:0b", "Unlocked", 2},
        {"web2", "192.0.2.12", 7, "00:1a:02:00:00:ff", "Locked", 47},  // highest port allowed
        {"web3", "192.0.2.13", 0, "02:AB:cd:0:0:1", "locked", 0},      // lower case does not lock
    };
    std::string expectMirror;
    for (const ServerRow &r : rows) {
        admin_.exec(insertSql(r));
        expectMirror += mirrorLine(r);
    }
    testing::internal::CaptureStdout();
    lbServConfig();
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(lbtest::readFile("servConfig.conf"), expectMirror);
    EXPECT_EQ(g_lbNumServers, 3);
    EXPECT_NE(g_lbServFlowTable_tree, nullptr);
    std::vector<lbServer_node_t *> got = listed();
    ASSERT_EQ(got.size(), rows.size());
    const unsigned char macs[3][6] = {
        {0x02, 0, 0, 0, 0, 0x0b}, {0x00, 0x1a, 0x02, 0, 0, 0xff}, {0x02, 0xab, 0xcd, 0, 0, 0x01}};
    const int locks[3] = {0, 1, 0};
    for (size_t i = 0; i < rows.size(); i++) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_STREQ(got[i]->server_name, rows[i].name.c_str());
        EXPECT_EQ(got[i]->lbServIp.s_addr, inet_addr(rows[i].ip.c_str()));
        EXPECT_EQ(got[i]->maxconn, rows[i].maxconn);
        EXPECT_EQ(memcmp(got[i]->lbServMac, macs[i], 6), 0);
        EXPECT_EQ(got[i]->lock, locks[i]);
        EXPECT_EQ(got[i]->lbSwitchPort, rows[i].port);
        EXPECT_EQ(got[i]->lbServIdx, static_cast<int>(i));
        EXPECT_EQ(got[i]->valid, 1);
        EXPECT_EQ(got[i]->numConn, 0);
        EXPECT_EQ(got[i]->delete_, 0);
        EXPECT_EQ(got[i]->servNotReachable, 0);
    }
    EXPECT_NE(out.find("ip_addr = 192.0.2.12, switchport = 47\n"), std::string::npos) << out;
    EXPECT_NE(out.find("SERVER_NAME SERVER-IP  MAX_CONN  SERVER_MAC  STATE  PORT\n"
                       "=============================================================\n"
                       "  web1     192.0.2.11    100   2:0:0:0:0:b  0   2\n"
                       "  web2     192.0.2.12    7   0:1a:2:0:0:ff  1   47\n"
                       "  web3     192.0.2.13    0   2:ab:cd:0:0:1  0   0\n"),
              std::string::npos)
        << out;
}

TEST_F(DbConfig, EmptyServerTableGivesEmptyPoolAndAnExistingFlowTable) {
    testing::internal::CaptureStdout();
    lbServConfig();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(listed().empty());
    EXPECT_EQ(g_lbNumServers, 0);
    EXPECT_TRUE(lbtest::fileExists("servConfig.conf"));
    EXPECT_EQ(lbtest::readFile("servConfig.conf"), "");
    EXPECT_NE(g_lbServFlowTable_tree, nullptr);
}

TEST_F(DbConfig, SwitchPortAbove47StopsStartUp) {
    admin_.exec(insertSql({"web1", "192.0.2.11", 10, "02:00:00:00:00:01", "Unlocked", 48}));
    EXPECT_CONFIG_EXIT(lbServConfig(), 0, "wrong entry 48 in Config file");
}

// Rows whose used values cannot be loaded; each must stop start-up with status 0 and a
// message naming the mirror file and the value.
TEST_F(DbConfig, UnusableServerValuesStopStartUpNamingFileAndValue) {
    struct Case {
        const char *what;
        std::string arrange;  // SQL run after the schema reset
        const char *expect;   // regular expression on the output
    };
    const std::string good =
        insertSql({"ok1", "192.0.2.21", 5, "02:00:00:00:00:21", "Unlocked", 1});
    const std::vector<Case> cases = {
        {"NULL maximum connections",
         "ALTER TABLE server MODIFY maxconn INT NULL;"
         "INSERT INTO server (servername, serverip, maxconn, servermac, state, switchport) "
         "VALUES ('web1', '192.0.2.11', NULL, '02:00:00:00:00:01', 'Unlocked', 1);",
         "servConfig.conf line 1: maximum connections is NULL"},
        {"NULL switch port",
         "ALTER TABLE server MODIFY switchport INT NULL;"
         "INSERT INTO server (servername, serverip, maxconn, servermac, state, switchport) "
         "VALUES ('web1', '192.0.2.11', 3, '02:00:00:00:00:01', 'Unlocked', NULL);",
         "servConfig.conf line 1: switch port is NULL"},
        {"name with a blank shifts the columns",
         insertSql({"web 1", "192.0.2.11", 5, "02:00:00:00:00:01", "Unlocked", 1}),
         "servConfig.conf line 1: expected 6 values"},
        {"name of 60 characters",
         "ALTER TABLE server MODIFY servername VARCHAR(200) NOT NULL;" +
             insertSql({std::string(60, 'n'), "192.0.2.11", 5, "02:00:00:00:00:01", "Unlocked", 1}),
         "servConfig.conf line 1: server name \"n{60}\" is longer than 49 characters"},
        {"address out of range", insertSql({"web1", "192.0.2.300", 5, "02:00:00:00:00:01", "U", 1}),
         "servConfig.conf line 1: server address \"192.0.2.300\" is not a dotted IPv4"},
        {"non-numeric maximum connections",
         "ALTER TABLE server MODIFY maxconn VARCHAR(20) NOT NULL;"
         "INSERT INTO server (servername, serverip, maxconn, servermac, state, switchport) "
         "VALUES ('web1', '192.0.2.11', 'many', '02:00:00:00:00:01', 'Unlocked', 1);",
         "servConfig.conf line 1: maximum connections \"many\" is not a number"},
        {"MAC of five bytes", insertSql({"web1", "192.0.2.11", 5, "02:00:00:00:00", "U", 1}),
         "servConfig.conf line 1: MAC address \"02:00:00:00:00\" is not six hexadecimal"},
        {"MAC with a bad digit", insertSql({"web1", "192.0.2.11", 5, "02:00:00:00:00:zz", "U", 1}),
         "MAC address \"02:00:00:00:00:zz\""},
        {"state of 15 characters",
         "ALTER TABLE server MODIFY state VARCHAR(40) NOT NULL;" +
             insertSql({"web1", "192.0.2.11", 5, "02:00:00:00:00:01", "NotLockedAtAll!", 1}),
         "state \"NotLockedAtAll!\" is longer than 14 characters"},
        {"negative switch port", insertSql({"web1", "192.0.2.11", 5, "02:00:00:00:00:01", "U", -1}),
         "switch port \"-1\" is not a port number"},
        {"bad second row after a good one",
         good + insertSql({"web2", "not-an-ip", 5, "02:00:00:00:00:02", "Unlocked", 1}),
         "servConfig.conf line 2: server address \"not-an-ip\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        admin_.resetSchema();
        admin_.exec(c.arrange);
        EXPECT_CONFIG_EXIT(lbServConfig(), 0, c.expect);
    }
}

TEST_F(DbConfig, FailedServerQueryPrintsTheMysqlErrorAndExitsWith1) {
    admin_.exec("DROP TABLE server;");
    EXPECT_CONFIG_EXIT(lbServConfig(), 1, "loadbalancer.server' doesn't exist");
}

TEST_F(DbConfig, ControllerComesFromTheFirstRowWhileEveryRowIsMirrored) {
    admin_.exec(
        "INSERT INTO controller (controllerip, controllermac, dpid) VALUES "
        "('198.51.100.1', '02:00:00:00:01:01', '00:00:00:00:00:00:00:01'),"
        "('198.51.100.2', '02:00:00:00:01:02', '00:00:00:00:00:00:00:02');");
    strcpy(g_vipIPAddr, "192.0.2.100");
    testing::internal::CaptureStdout();
    lbContConfig();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_STREQ(g_cont1IPAddr, "198.51.100.1");
    EXPECT_STREQ(reinterpret_cast<char *>(g_contMacAddr), "02:00:00:00:01:01");
    EXPECT_STREQ(reinterpret_cast<char *>(g_switchDpId), "00:00:00:00:00:00:00:01");
    EXPECT_STREQ(g_vipIPAddr, "") << "the controller loader clears the VIP";
    EXPECT_EQ(lbtest::readFile("contIP.conf"),
              "198.51.100.1 02:00:00:00:01:01 00:00:00:00:00:00:00:01 \n"
              "198.51.100.2 02:00:00:00:01:02 00:00:00:00:00:00:00:02 \n");
    EXPECT_NE(out.find("198.51.100.1  02:00:00:00:01:01  00:00:00:00:00:00:00:01\n"),
              std::string::npos)
        << out;
}

TEST_F(DbConfig, UnusableControllerStopsStartUp) {
    EXPECT_CONFIG_EXIT(lbContConfig(), 0,
                       "Please configure the controller IP from VARN WEBUI and run the VARN App "
                       "again");
    admin_.exec(
        "INSERT INTO controller (controllerip, controllermac, dpid) VALUES "
        "('198.51.100.1', '02:00:00:01:01', '00:00:00:00:00:00:00:01');");
    EXPECT_CONFIG_EXIT(lbContConfig(), 0, "contIP.conf: controller MAC \"02:00:00:01:01\"");
    admin_.exec(
        "ALTER TABLE controller MODIFY dpid VARCHAR(100) NOT NULL;"
        "UPDATE controller SET controllermac = '02:00:00:00:01:01', dpid = REPEAT('0a:', 20);");
    EXPECT_CONFIG_EXIT(lbContConfig(), 0, "contIP.conf: datapath id \"(0a:){20}\" is longer");
    admin_.exec("UPDATE controller SET controllerip = '198.51.100', dpid = '00:01';");
    EXPECT_CONFIG_EXIT(lbContConfig(), 0, "contIP.conf: controller address \"198.51.100\"");
}

TEST_F(DbConfig, VipComesFromTheFirstRowAndAnEmptyTableLeavesItEmpty) {
    testing::internal::CaptureStdout();
    strcpy(g_vipIPAddr, "192.0.2.1");
    lbClusterConfig();
    EXPECT_STREQ(g_vipIPAddr, "");
    EXPECT_EQ(lbtest::readFile("cluster.conf"), "");

    admin_.exec("INSERT INTO vip_conf (vip) VALUES ('192.0.2.100'), ('192.0.2.101');");
    lbClusterConfig();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_STREQ(g_vipIPAddr, "192.0.2.100");
    EXPECT_EQ(lbtest::readFile("cluster.conf"), "192.0.2.100 \n192.0.2.101 \n");
    EXPECT_NE(out.find("VIP-IP\n========\n192.0.2.100\n"), std::string::npos) << out;

    admin_.exec("UPDATE vip_conf SET vip = '192.0.2.1000';");
    EXPECT_CONFIG_EXIT(lbClusterConfig(), 0, "cluster.conf: VIP \"192.0.2.1000\"");
}

TEST_F(DbConfig, ClusterNameComesFromTheFirstRow) {
    admin_.exec("INSERT INTO cluster (clustername) VALUES ('webfarm'), ('other');");
    testing::internal::CaptureStdout();
    lbClusterConfig_new();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_STREQ(cluster_name, "webfarm");
    EXPECT_EQ(lbtest::readFile("cluster_new.conf"), "webfarm \nother \n");
    EXPECT_NE(out.find("Cluster_name\n========\nwebfarm\n"), std::string::npos) << out;

    admin_.exec(
        "ALTER TABLE cluster MODIFY clustername VARCHAR(100) NOT NULL;"
        "UPDATE cluster SET clustername = REPEAT('c', 50);");
    EXPECT_CONFIG_EXIT(lbClusterConfig_new(), 0,
                       "cluster_new.conf: cluster name \"c{50}\" is longer than 49");
}

TEST_F(DbConfig, ConnectionSummaryMasksThePassword) {
    std::string conf = lbtest::readFile("dbconfig.conf");
    std::string password = conf.substr(conf.rfind('\n', conf.size() - 2) + 1);
    password.pop_back();
    ASSERT_FALSE(password.empty());
    testing::internal::CaptureStdout();
    lbDbInit();
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(g_con, nullptr);
    EXPECT_EQ(out.find(password), std::string::npos) << out;
    EXPECT_NE(out.find("dbconfig.conf contents\nip    uname   pword\n"
                       "========================================\n"
                       "127.0.0.1  lbapp  ********\n"),
              std::string::npos)
        << out;
}

TEST_F(DbConfig, UnusableCredentialsStopStartUp) {
    std::string conf = lbtest::readFile("dbconfig.conf");
    std::string user = conf.substr(conf.find('\n') + 1);
    user = user.substr(0, user.find('\n'));

    lbtest::writeFile("dbconfig.conf", "127.0.0.1\n" + user + "\nnot-the-password\n");
    EXPECT_CONFIG_EXIT(lbDbInit(), 1, "Access denied for user");

    lbtest::writeFile("dbconfig.conf", std::string(20, '1') + "\n" + user + "\nx\n");
    EXPECT_CONFIG_EXIT(lbDbInit(), 0, "dbconfig.conf: host \"1{20}\" is longer than 19");

    lbtest::writeFile("dbconfig.conf", "127.0.0.1\n" + std::string(50, 'u') + "\nx\n");
    EXPECT_CONFIG_EXIT(lbDbInit(), 0, "dbconfig.conf: user name \"u{50}\" is longer than 49");

    lbtest::writeFile("dbconfig.conf", "127.0.0.1\n" + user + "\n" + std::string(50, 'p') + "\n");
    EXPECT_CONFIG_EXIT(lbDbInit(), 0, "dbconfig.conf: password is longer than 49");

    lbtest::writeFile("dbconfig.conf", "127.0.0.1\n");
    EXPECT_CONFIG_EXIT(lbDbInit(), 0, "dbconfig.conf: expected host, user name and password");

    remove("dbconfig.conf");
    EXPECT_CONFIG_EXIT(lbDbInit(), 0, "Error in opening file dbconfig.conf");
}

}  // namespace
