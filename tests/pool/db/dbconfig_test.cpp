// Start-up loaders against a real MariaDB: what they put into the globals, the server
// list and the mirror files, and how they end start-up on unusable configuration.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dbtest_util.h"
#include "flowtable/lbFlowDb.h"
#include "packet/lbApp.h"
#include "pool/lbCtrlApi.h"
#include "support/lbtest_util.h"

namespace {

using dbtest::insertServers;

std::string insertControllers(const std::string &values) {
    return "INSERT INTO controller (controllerip, controllermac, dpid) VALUES " + values + ";";
}

class DbConfig : public dbtest::DbTest {};

TEST_F(DbConfig, ServersLoadInTableOrderWithTheirFieldsAndMirror) {
    loadServers();
    EXPECT_TRUE(dbtest::listed().empty());
    EXPECT_EQ(g_lbNumServers, 0);
    EXPECT_TRUE(lbtest::fileExists("servConfig.conf"));
    EXPECT_EQ(lbtest::readFile("servConfig.conf"), "");
    EXPECT_NE(g_lbServFlowTable_tree, nullptr) << "the flow table exists even for no servers";

    dbtest::resetPool();
    admin_.exec(insertServers(
        "('web1', '192.0.2.11', 100, '02:00:00:00:00:0b', 'Unlocked', 2),"
        "('web2', '192.0.2.12', 7, '00:1a:02:00:00:ff', 'Locked', 47),"  // highest port allowed
        "('web3', '192.0.2.13', 0, '02:AB:cd:0:0:1', 'locked', 0)"));    // lower case: unlocked
    loadServers();
    std::vector<std::string> got;
    for (lbServer_node_t *s : dbtest::listed())
        got.push_back(dbtest::describe(s));
    EXPECT_EQ(got, (std::vector<std::string>{
                       "web1 192.0.2.11 100 02:00:00:00:00:0b lock=0 port=2 idx=0 valid=1 conn=0 "
                       "del=0 unreach=0",
                       "web2 192.0.2.12 7 00:1a:02:00:00:ff lock=1 port=47 idx=1 valid=1 conn=0 "
                       "del=0 unreach=0",
                       "web3 192.0.2.13 0 02:ab:cd:00:00:01 lock=0 port=0 idx=2 valid=1 conn=0 "
                       "del=0 unreach=0"}));
    EXPECT_EQ(g_lbNumServers, 3);
    EXPECT_EQ(lbtest::readFile("servConfig.conf"),
              "web1 192.0.2.11 100 02:00:00:00:00:0b Unlocked 2 \n"
              "web2 192.0.2.12 7 00:1a:02:00:00:ff Locked 47 \n"
              "web3 192.0.2.13 0 02:AB:cd:0:0:1 locked 0 \n");
}

// Each case starts from empty tables; the loader must end the process with the status
// and a message naming the mirror file and the value.
TEST_F(DbConfig, UnusableRowsStopStartUpNamingFileAndValue) {
    struct Case {
        const char *what;
        void (*load)();
        std::string sql;
        int status;
        const char *expect;
    };
    const std::string row1 = "('web1', '192.0.2.11', ";
    const Case cases[] = {
        {"switch port 48", lbServConfig,
         insertServers(row1 + "10, '02:00:00:00:00:01', 'Unlocked', 48)"), 0,
         "wrong entry 48 in Config file"},
        {"NULL maximum connections", lbServConfig,
         "ALTER TABLE server MODIFY maxconn INT NULL;" +
             insertServers(row1 + "NULL, '02:00:00:00:00:01', 'Unlocked', 1)"),
         0, "servConfig.conf line 1: maximum connections is NULL"},
        {"NULL switch port", lbServConfig,
         "ALTER TABLE server MODIFY switchport INT NULL;" +
             insertServers(row1 + "3, '02:00:00:00:00:01', 'Unlocked', NULL)"),
         0, "servConfig.conf line 1: switch port is NULL"},
        {"non-numeric maximum connections", lbServConfig,
         "ALTER TABLE server MODIFY maxconn VARCHAR(20) NOT NULL;" +
             insertServers(row1 + "'many', '02:00:00:00:00:01', 'Unlocked', 1)"),
         0, "servConfig.conf line 1: maximum connections \"many\" is not a number"},
        {"name with a blank shifts the columns", lbServConfig,
         insertServers("('web 1', '192.0.2.11', 5, '02:00:00:00:00:01', 'Unlocked', 1)"), 0,
         "servConfig.conf line 1: expected 6 values"},
        {"name of 60 characters", lbServConfig,
         "ALTER TABLE server MODIFY servername VARCHAR(200) NOT NULL;" +
             insertServers("(REPEAT('n', 60), '192.0.2.11', 5, '02:00:00:00:00:01', 'U', 1)"),
         0, "servConfig.conf line 1: server name \"n{60}\" is longer than 49 characters"},
        {"address out of range", lbServConfig,
         insertServers("('web1', '192.0.2.300', 5, '02:00:00:00:00:01', 'U', 1)"), 0,
         "servConfig.conf line 1: server address \"192.0.2.300\" is not a dotted IPv4"},
        {"MAC of five bytes", lbServConfig, insertServers(row1 + "5, '02:00:00:00:00', 'U', 1)"), 0,
         "servConfig.conf line 1: MAC address \"02:00:00:00:00\" is not six hexadecimal"},
        {"MAC with a bad digit", lbServConfig,
         insertServers(row1 + "5, '02:00:00:00:00:zz', 'U', 1)"), 0,
         "MAC address \"02:00:00:00:00:zz\""},
        {"state of 15 characters", lbServConfig,
         "ALTER TABLE server MODIFY state VARCHAR(40) NOT NULL;" +
             insertServers(row1 + "5, '02:00:00:00:00:01', 'NotLockedAtAll!', 1)"),
         0, "state \"NotLockedAtAll!\" is longer than 14 characters"},
        {"negative switch port", lbServConfig,
         insertServers(row1 + "5, '02:00:00:00:00:01', 'U', -1)"), 0,
         "switch port \"-1\" is not a port number"},
        {"bad second row after a good one", lbServConfig,
         insertServers(row1 + "5, '02:00:00:00:00:01', 'U', 1),"
                              "('web2', 'not-an-ip', 5, '02:00:00:00:00:02', 'U', 1)"),
         0, "servConfig.conf line 2: server address \"not-an-ip\""},
        {"no server table", lbServConfig, "DROP TABLE server;", 1,
         "loadbalancer.server' doesn't exist"},
        {"no controller", lbContConfig, "", 0,
         "Please configure the controller IP from VARN WEBUI and run the VARN App again"},
        {"controller MAC of five bytes", lbContConfig,
         insertControllers("('198.51.100.1', '02:00:00:01:01', '00:01')"), 0,
         "contIP.conf: controller MAC \"02:00:00:01:01\""},
        {"datapath id of 60 characters", lbContConfig,
         "ALTER TABLE controller MODIFY dpid VARCHAR(100) NOT NULL;" +
             insertControllers("('198.51.100.1', '02:00:00:00:01:01', REPEAT('0a:', 20))"),
         0, "contIP.conf: datapath id \"(0a:){20}\" is longer"},
        {"controller address of three bytes", lbContConfig,
         insertControllers("('198.51.100', '02:00:00:00:01:01', '00:01')"), 0,
         "contIP.conf: controller address \"198.51.100\""},
        {"VIP out of range", lbClusterConfig, "INSERT INTO vip_conf (vip) VALUES ('192.0.2.1000');",
         0, "cluster.conf: VIP \"192.0.2.1000\""},
        {"cluster name of 50 characters", lbClusterConfig_new,
         "ALTER TABLE cluster MODIFY clustername VARCHAR(100) NOT NULL;"
         "INSERT INTO cluster (clustername) VALUES (REPEAT('c', 50));",
         0, "cluster_new.conf: cluster name \"c{50}\" is longer than 49"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        admin_.resetSchema();
        if (!c.sql.empty())
            admin_.exec(c.sql);
        EXPECT_CONFIG_EXIT(c.load(), c.status, c.expect);
    }
}

TEST_F(DbConfig, ControllerVipAndClusterNameComeFromTheFirstRowWhileEveryRowIsMirrored) {
    testing::internal::CaptureStdout();
    strcpy(g_vipIPAddr, "192.0.2.1");
    lbClusterConfig();
    EXPECT_STREQ(g_vipIPAddr, "") << "an empty VIP table leaves no VIP";
    EXPECT_EQ(lbtest::readFile("cluster.conf"), "");

    admin_.exec(
        insertControllers("('198.51.100.1', '02:00:00:00:01:01', '00:00:00:00:00:00:00:01'),"
                          "('198.51.100.2', '02:00:00:00:01:02', '00:02')") +
        "INSERT INTO vip_conf (vip) VALUES ('192.0.2.100'), ('192.0.2.101');"
        "INSERT INTO cluster (clustername) VALUES ('webfarm'), ('other');");
    strcpy(g_vipIPAddr, "192.0.2.1");
    lbContConfig();
    EXPECT_STREQ(g_vipIPAddr, "") << "the controller loader clears the VIP";
    lbClusterConfig();
    lbClusterConfig_new();
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(g_cont1IPAddr, "198.51.100.1");
    EXPECT_STREQ(reinterpret_cast<char *>(g_contMacAddr), "02:00:00:00:01:01");
    EXPECT_STREQ(reinterpret_cast<char *>(g_switchDpId), "00:00:00:00:00:00:00:01");
    EXPECT_STREQ(g_vipIPAddr, "192.0.2.100");
    EXPECT_STREQ(cluster_name, "webfarm");
    EXPECT_EQ(lbtest::readFile("contIP.conf"),
              "198.51.100.1 02:00:00:00:01:01 00:00:00:00:00:00:00:01 \n"
              "198.51.100.2 02:00:00:00:01:02 00:02 \n");
    EXPECT_EQ(lbtest::readFile("cluster.conf"), "192.0.2.100 \n192.0.2.101 \n");
    EXPECT_EQ(lbtest::readFile("cluster_new.conf"), "webfarm \nother \n");
}

TEST_F(DbConfig, ConnectionSummaryMasksThePassword) {
    const dbtest::Credentials &c = dbtest::credentials();
    testing::internal::CaptureStdout();
    lbDbInit();
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(g_con, nullptr);
    EXPECT_EQ(out.find(c.password), std::string::npos) << out;
    EXPECT_NE(out.find(c.host + "  " + c.user + "  ********\n"), std::string::npos) << out;
}

TEST_F(DbConfig, UnusableDbconfigStopsStartUp) {
    const std::string host = dbtest::credentials().host, user = dbtest::credentials().user;
    const struct {
        std::string content;  // empty: no file
        int status;
        const char *expect;
    } cases[] = {
        {host + "\n" + user + "\nnot-the-password\n", 1, "Access denied for user"},
        {std::string(20, '1') + "\n" + user + "\nx\n", 0,
         "dbconfig.conf: host \"1{20}\" is longer than 19"},
        {host + "\n" + std::string(50, 'u') + "\nx\n", 0,
         "dbconfig.conf: user name \"u{50}\" is longer than 49"},
        {host + "\n" + user + "\n" + std::string(50, 'p') + "\n", 0,
         "dbconfig.conf: password is longer than 49"},
        {host + "\n", 0, "dbconfig.conf: expected host, user name and password"},
        {"", 0, "Error in opening file dbconfig.conf"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expect);
        if (c.content.empty())
            remove("dbconfig.conf");
        else
            lbtest::writeFile("dbconfig.conf", c.content);
        EXPECT_CONFIG_EXIT(lbDbInit(), c.status, c.expect);
    }
}

}  // namespace
