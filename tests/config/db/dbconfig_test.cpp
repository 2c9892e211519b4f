// Start-up loaders against a real MariaDB.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "dbtest_util.h"
#include "flowtable/lbFlowDb.h"
#include "common/lbGlobals.h"
#include "config/lbCtrlApi.h"
#include "support/lbtest_util.h"

namespace {

using dbtest::insertServers;
using dbtest::sql;

std::string insertControllers(const std::string &values) {
    return "INSERT INTO controller (controllerip, controllermac, dpid) VALUES " + values + ";";
}

class DbConfig : public dbtest::DbTest {};

TEST_F(DbConfig, ServersLoadInTableOrderWithTheirFieldsAndMirror) {
    loadServers();
    EXPECT_TRUE(dbtest::listed().empty());
    EXPECT_TRUE(lbtest::fileExists("servConfig.conf") && lbtest::readFile("servConfig.conf") == "");
    EXPECT_NE(g_lbServFlowTable_tree, nullptr) << "the flow table exists even for no servers";

    sql(
        insertServers("('web1', '192.0.2.11', 100, '02:00:00:00:00:0b', 'Unlocked', 2),"
                      "('web2', '192.0.2.12', 7, '00:1a:02:00:00:ff', 'Locked', 47),"
                      "('web3', '192.0.2.13', 0, '02:AB:cd:0:0:1', 'locked', 0)"));
    loadServers();
    std::vector<std::string> got;
    for (lbServer_node_t *s : dbtest::listed())
        got.push_back(dbtest::describe(s));
    const std::string tail = " valid=1 conn=0 del=0 unreach=0";
    EXPECT_EQ(got, (std::vector<std::string>{
                       "web1 192.0.2.11 100 02:00:00:00:00:0b lock=0 port=2 idx=0" + tail,
                       "web2 192.0.2.12 7 00:1a:02:00:00:ff lock=1 port=47 idx=1" + tail,
                       "web3 192.0.2.13 0 02:ab:cd:00:00:01 lock=0 port=0 idx=2" + tail}));
    EXPECT_EQ(g_lbNumServers, 3);
    EXPECT_EQ(lbtest::readFile("servConfig.conf"),
              "web1 192.0.2.11 100 02:00:00:00:00:0b Unlocked 2 \n"
              "web2 192.0.2.12 7 00:1a:02:00:00:ff Locked 47 \n"
              "web3 192.0.2.13 0 02:AB:cd:0:0:1 locked 0 \n");
}

// web1's row with one column (0 name .. 5 port) replaced by value, after statements.
std::string web1(const std::string &before, int column, const char *value) {
    std::vector<std::string> row = {
        "'web1'", "'192.0.2.11'", "5", "'02:00:00:00:00:01'", "'Unlocked'", "1"};
    row[column] = value;
    std::string values;
    for (const std::string &v : row)
        values += (values.empty() ? "(" : ", ") + v;
    return before + insertServers(values + ")");
}

// Empty tables plus the case's statements: the loader ends the process, naming the value.
TEST_F(DbConfig, UnusableTablesStopStartUp) {
    const std::string alter = "ALTER TABLE server MODIFY ";
    const struct {
        std::string sql;
        const char *expect;
        int status = 0;
        void (*load)() = lbServConfig;
    } cases[] = {
        {web1("", 5, "48"), "wrong entry 48 in Config file"},
        {web1("", 5, "-1"), "servConfig.conf line 1: switch port \"-1\" is not a port number"},
        {web1(alter + "switchport INT NULL;", 5, "NULL"),
         "servConfig.conf line 1: switch port is NULL"},
        {web1(alter + "maxconn VARCHAR(20);", 2, "'many'"),
         "maximum connections \"many\" is not a number"},
        {web1("", 0, "'web 1'"), "servConfig.conf line 1: expected 6 values"},
        {web1(alter + "servername VARCHAR(200);", 0, "REPEAT('n', 60)"),
         "name \"n{60}\" is longer than 49"},
        {web1("", 1, "'192.0.2.300'"), "server address \"192.0.2.300\" is not a dotted IPv4"},
        {web1("", 3, "'02:00:00:00:00'"), "MAC address \"02:00:00:00:00\" is not six hexadecimal"},
        {web1("", 3, "'02:00:00:00:00:zz'"), "MAC address \"02:00:00:00:00:zz\""},
        {web1(alter + "state VARCHAR(40);", 4, "'NotLockedAtAll!'"),
         "state \"NotLockedAtAll!\" is longer than 14"},
        {insertServers(11, 11) + insertServers("('web2', 'not-an-ip', 5, '02:00', 'U', 1)"),
         "servConfig.conf line 2: server address \"not-an-ip\""},
        {"DROP TABLE server;", "loadbalancer.server' doesn't exist", 1},
        {"DO 0;", "Please configure the controller IP from VARN WEBUI and run the VARN App again",
         0, lbContConfig},
        {insertControllers("('198.51.100.1', '02:00:00:01:01', '00:01')"),
         "contIP.conf: controller MAC \"02:00:00:01:01\"", 0, lbContConfig},
        {"ALTER TABLE controller MODIFY dpid VARCHAR(100);" +
             insertControllers("('198.51.100.1', '02:00:00:00:01:01', REPEAT('0a:', 20))"),
         "contIP.conf: datapath id \"(0a:){20}\" is longer", 0, lbContConfig},
        {insertControllers("('198.51.100', '02:00:00:00:01:01', '00:01')"),
         "contIP.conf: controller address \"198.51.100\"", 0, lbContConfig},
        {"INSERT INTO vip_conf (vip) VALUES ('192.0.2.1000');",
         "cluster.conf: VIP \"192.0.2.1000\"", 0, lbClusterConfig},
        {"ALTER TABLE cluster MODIFY clustername VARCHAR(100);"
         "INSERT INTO cluster (clustername) VALUES (REPEAT('c', 50));",
         "cluster_new.conf: cluster name \"c{50}\" is longer than 49", 0, lbClusterConfig_new},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expect);
        ASSERT_TRUE(resetSchema() && sql(c.sql));
        EXPECT_CONFIG_EXIT((dbtest::ownConnection(), c.load()), c.status, c.expect);
    }
    // A mirror file that cannot be rewritten is not read back.
    remove("servConfig.conf");
    remove("contIP.conf");
    ASSERT_TRUE(resetSchema() && sql(insertServers(11, 11)) && mkdir("servConfig.conf", 0755) == 0);
    EXPECT_CONFIG_EXIT((dbtest::ownConnection(), lbServConfig()), 0,
                       "File: servConfig.conf does not exist.");
    ASSERT_TRUE(mkdir("contIP.conf", 0755) == 0);
    EXPECT_CONFIG_EXIT((dbtest::ownConnection(), lbContConfig()), 0,
                       "Error in opening file contIP.conf");
    rmdir("servConfig.conf");
    rmdir("contIP.conf");
}

TEST_F(DbConfig, ControllerVipAndClusterNameComeFromTheFirstRowWhileEveryRowIsMirrored) {
    testing::internal::CaptureStdout();
    strcpy(g_vipIPAddr, "192.0.2.1");
    strcpy(cluster_name, "old");
    lbClusterConfig();
    lbClusterConfig_new();
    EXPECT_STREQ(g_vipIPAddr, "") << "an empty VIP table leaves no VIP";
    EXPECT_STREQ(cluster_name, "") << "an empty cluster table leaves no name";
    EXPECT_EQ(lbtest::readFile("cluster.conf"), "");

    sql(insertControllers("('198.51.100.1', '02:00:00:00:01:01', '00:00:00:00:00:00:00:01'),"
                          "('198.51.100.2', '02:00:00:00:01:02', '00:02')") +
        "INSERT INTO vip_conf (vip) VALUES ('192.0.2.100'), ('192.0.2.101');"
        "INSERT INTO cluster (clustername) VALUES ('webfarm'), ('other');");
    strcpy(g_vipIPAddr, "192.0.2.1");
    lbContConfig();
    EXPECT_STREQ(g_vipIPAddr, "") << "the controller loader clears the VIP";
    lbClusterConfig();
    lbClusterConfig_new();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::string(g_cont1IPAddr) + " " + reinterpret_cast<char *>(g_contMacAddr) + " " +
                  reinterpret_cast<char *>(g_switchDpId) + " " + g_vipIPAddr + " " + cluster_name,
              "198.51.100.1 02:00:00:00:01:01 00:00:00:00:00:00:00:01 192.0.2.100 webfarm");
    EXPECT_EQ(lbtest::readFile("contIP.conf"),
              "198.51.100.1 02:00:00:00:01:01 00:00:00:00:00:00:00:01 \n"
              "198.51.100.2 02:00:00:00:01:02 00:02 \n");
    EXPECT_EQ(lbtest::readFile("cluster.conf"), "192.0.2.100 \n192.0.2.101 \n");
    EXPECT_EQ(lbtest::readFile("cluster_new.conf"), "webfarm \nother \n");
}

// The summary masks the password; unusable contents (empty: no file) stop start-up.
TEST_F(DbConfig, DbconfigPasswordIsMaskedAndUnusableContentsStopStartUp) {
    const dbtest::Credentials &c = dbtest::credentials();
    const std::string out = lbtest::printed(lbDbInit);
    ASSERT_NE(g_con, nullptr);
    EXPECT_EQ(out.find(c.password), std::string::npos) << out;
    EXPECT_NE(out.find(c.host + "  " + c.user + "  ********\n"), std::string::npos) << out;

    const std::string h = c.host + "\n", u = c.user + "\n";
    const std::tuple<std::string, int, const char *> cases[] = {
        {h + u + "not-the-password\n", 1, "Access denied for user"},
        {std::string(20, '1') + "\n" + u + "x\n", 0,
         "dbconfig.conf: host \"1{20}\" is longer than 19"},
        {h + std::string(50, 'u') + "\nx\n", 0,
         "dbconfig.conf: user name \"u{50}\" is longer than 49"},
        {h + u + std::string(50, 'p') + "\n", 0, "dbconfig.conf: password is longer than 49"},
        {h, 0, "dbconfig.conf: expected host, user name and password"},
        {"", 0, "Error in opening file dbconfig.conf"},
    };
    for (const auto &[content, status, expect] : cases) {
        SCOPED_TRACE(expect);
        lbtest::setFile("dbconfig.conf", content.empty() ? nullptr : content.c_str());
        EXPECT_CONFIG_EXIT(lbDbInit(), status, expect);
    }
}

}  // namespace
