// The configuration files read at start-up (timeout.conf, vlanid.conf) and the seeded
// connections file (flows_new.txt).
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/dbtest_util.h"
#include "common/lbGlobals.h"
#include "config/lbCtrlApi.h"
#include "support/lbtest_util.h"

namespace {

std::string str(const unsigned char *s) {
    return reinterpret_cast<const char *>(s);
}

TEST(ConfigFiles, TimeoutsAreTwoWordsSeparatedByAnyWhiteSpaceAndTheVlanIdOne) {
    // Optional third and fourth words: the idle limits of the balancer's own entries.
    const struct {
        const char *content, *add, *del;
        unsigned halfOpen, established;
    } cases[] = {
        {"30 5 10 60 x\n", "30", "5", 10, 60},
        {"  120 \t\t 60  \n\n", "120", "60", 30, 900},
        {"1234567890123456789\n7", "1234567890123456789", "7", 30, 900},  // 19 characters fit
        {"30 5 0\n", "30", "5", 0, 900},
    };
    for (const auto &c : cases) {
        lbtest::writeFile("timeout.conf", c.content);
        std::string out = lbtest::printed(lbIdleTimeoutConfig);
        EXPECT_EQ(str(g_addFlowTmr) + " " + str(g_delFlowTmr), std::string(c.add) + " " + c.del);
        EXPECT_NE(out.find(std::string(32, '=') + "\n" + c.add + " sec   " + c.del + " sec\n"),
                  std::string::npos)
            << out;
        EXPECT_EQ(g_halfOpenTmr, c.halfOpen) << c.content;
        EXPECT_EQ(g_estIdleTmr, c.established) << c.content;
    }
    lbtest::writeFile("vlanid.conf", "\n  100 \n");
    std::string out = lbtest::printed(lbVlanConfig);
    EXPECT_EQ(str(g_vlanId), "100");
    EXPECT_NE(out.find("VLAN ID\n" + std::string(32, '=') + "\n100\n"), std::string::npos) << out;
}

TEST(ConfigFiles, UnusableFilesStopStartUp) {
    const struct {
        void (*load)();
        const char *file, *content, *expect;  // content null: no file
    } cases[] = {
        {lbIdleTimeoutConfig, "timeout.conf", nullptr, "Error in opening file timeout.conf"},
        {lbIdleTimeoutConfig, "timeout.conf", "30\n", "check the contents of timeout.conf"},
        {lbIdleTimeoutConfig, "timeout.conf", "", "check the contents of timeout.conf"},
        {lbIdleTimeoutConfig, "timeout.conf", "12345678901234567890 5",
         "timeout.conf: time-out \"12345678901234567890\" is longer"},
        {lbIdleTimeoutConfig, "timeout.conf", "30 soon", "time-out \"soon\" is not a number"},
        {lbIdleTimeoutConfig, "timeout.conf", "-5 5", "timeout.conf: time-out \"-5\" is not"},
        {lbIdleTimeoutConfig, "timeout.conf", "30 5 60 1h", "time-out \"1h\" is not a number"},
        {lbVlanConfig, "vlanid.conf", nullptr, "Error in opening file vlanid.conf"},
        {lbVlanConfig, "vlanid.conf", " \n", "check the contents of vlanid.conf"},
        {lbVlanConfig, "vlanid.conf", "99999999999999999999", "VLAN id \"9{20}\" is longer"},
        {lbVlanConfig, "vlanid.conf", "ten", "vlanid.conf: VLAN id \"ten\" is not a number"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expect);
        lbtest::setFile(c.file, c.content);
        EXPECT_CONFIG_EXIT(c.load(), 0, c.expect);
    }
}

// Idle servers in list order, busy ones only when locked; the old content goes.
TEST(ConfigFiles, SeededFlowsFileListsIdleOrLockedServers) {
    lbtest::resetState();
    lbServConfigFile();
    EXPECT_TRUE(lbtest::fileExists("flows_new.txt") && lbtest::readFile("flows_new.txt") == "");

    const struct {
        const char *name, *ip;
        int maxconn, numConn, lock;
    } servers[] = {{"web1", "192.0.2.11", 100, 0, 0},
                   {"busy", "192.0.2.12", 100, 3, 0},
                   {"busylocked", "192.0.2.13", 7, 2, 1},
                   {"idlelocked", "192.0.2.14", 9, 0, 1},
                   {"web3", "192.0.2.3", 0, 0, 0}};
    for (const auto &v : servers) {
        lbServer_node_t *s = lbtest::addServer(v.ip, v.name, v.maxconn);
        s->numConn = v.numConn;
        s->lock = v.lock;
    }
    lbtest::writeFile("flows_new.txt", "stale line\n");
    std::ifstream reader("flows_new.txt");  // a front end reading the old file meanwhile
    lbServConfigFile();
    lbtest::resetState();
    std::string seen;
    std::getline(reader, seen);
    EXPECT_EQ(seen, "stale line") << "the file is replaced, not rewritten in place";
    EXPECT_EQ(lbtest::readFile("flows_new.txt"),
              "0 0 192.0.2.11 0 web1 100\n0 0 192.0.2.13 0 busylocked 7\n"
              "0 0 192.0.2.14 0 idlelocked 9\n0 0 192.0.2.3 0 web3 0\n");
}

}  // namespace
