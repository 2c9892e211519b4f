// The configuration files read at start-up (timeout.conf, vlanid.conf) and the seeded
// connections file (flows_new.txt).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "packet/lbApp.h"
#include "pool/lbCtrlApi.h"
#include "support/lbtest_util.h"

namespace {

#define EXPECT_CONFIG_EXIT(statement, status, regex) \
    EXPECT_EXIT(                                     \
        {                                            \
            fflush(stdout);                          \
            dup2(STDERR_FILENO, STDOUT_FILENO);      \
            statement;                               \
        },                                           \
        testing::ExitedWithCode(status), regex)

std::string str(const unsigned char *s) {
    return reinterpret_cast<const char *>(s);
}

TEST(IdleTimeoutConfig, ReadsTwoWordsSeparatedByAnyWhiteSpace) {
    struct Case {
        const char *content;
        const char *add, *del;
    };
    const Case cases[] = {
        {"30 5\n", "30", "5"},
        {"30\n5\n", "30", "5"},
        {"  120 \t\t 60  \n\n", "120", "60"},
        {"1234567890123456789 7", "1234567890123456789", "7"},  // 19 characters fit
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.content);
        lbtest::writeFile("timeout.conf", c.content);
        testing::internal::CaptureStdout();
        lbIdleTimeoutConfig();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(str(g_addFlowTmr), c.add);
        EXPECT_EQ(str(g_delFlowTmr), c.del);
        EXPECT_NE(out.find(std::string("FLOW timeouts:\nADD_FLOW    DEL_FLOW\n") +
                           std::string(32, '=') + "\n" + c.add + " sec   " + c.del + " sec\n"),
                  std::string::npos)
            << out;
    }
}

TEST(IdleTimeoutConfig, UnusableFileStopsStartUp) {
    struct Case {
        const char *content;  // null: no file
        const char *expect;
    };
    const Case cases[] = {
        {nullptr, "Error in opening file timeout.conf"},
        {"30\n", "check the contents of timeout.conf"},
        {"", "check the contents of timeout.conf"},
        {"12345678901234567890 5", "timeout.conf: time-out \"12345678901234567890\" is longer"},
        {"30 soon", "timeout.conf: time-out \"soon\" is not a number of seconds"},
        {"-5 5", "timeout.conf: time-out \"-5\" is not a number"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.content ? c.content : "(no file)");
        if (c.content)
            lbtest::writeFile("timeout.conf", c.content);
        else
            remove("timeout.conf");
        EXPECT_CONFIG_EXIT(lbIdleTimeoutConfig(), 0, c.expect);
    }
}

TEST(VlanConfig, ReadsOneWord) {
    lbtest::writeFile("vlanid.conf", "\n  100 \n");
    testing::internal::CaptureStdout();
    lbVlanConfig();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(str(g_vlanId), "100");
    EXPECT_NE(out.find("VLAN ID\n" + std::string(32, '=') + "\n100\n"), std::string::npos) << out;
}

TEST(VlanConfig, UnusableFileStopsStartUp) {
    remove("vlanid.conf");
    EXPECT_CONFIG_EXIT(lbVlanConfig(), 0, "Error in opening file vlanid.conf");
    lbtest::writeFile("vlanid.conf", " \n");
    EXPECT_CONFIG_EXIT(lbVlanConfig(), 0, "check the contents of vlanid.conf");
    lbtest::writeFile("vlanid.conf", std::string(20, '9'));
    EXPECT_CONFIG_EXIT(lbVlanConfig(), 0, "vlanid.conf: VLAN id \"9{20}\" is longer than 19");
    lbtest::writeFile("vlanid.conf", "ten");
    EXPECT_CONFIG_EXIT(lbVlanConfig(), 0, "vlanid.conf: VLAN id \"ten\" is not a number");
}

class SeededFlowsFile : public testing::Test {
  protected:
    void SetUp() override { Server_list_init(); }
    void TearDown() override { delete_all_lbServerNodes(); }

    lbServer_node_t *add(const char *name, const char *ip, int maxconn, int numConn, int lock) {
        lbServer_node_t *s = create_lbServer_node(&lbServHead);
        EXPECT_NE(s, nullptr);
        snprintf(s->server_name, sizeof s->server_name, "%s", name);
        s->lbServIp.s_addr = inet_addr(ip);
        s->maxconn = maxconn;
        s->numConn = numConn;
        s->lock = lock;
        return s;
    }
};

TEST_F(SeededFlowsFile, ListsIdleServersInListOrder) {
    add("web1", "192.0.2.11", 100, 0, 0);
    add("web2", "192.0.2.12", 7, 0, 1);
    add("web3", "192.0.2.3", 0, 0, 0);
    lbServConfigFile();
    EXPECT_EQ(lbtest::readFile("flows_new.txt"),
              "0 0 192.0.2.11 0 web1 100\n"
              "0 0 192.0.2.12 0 web2 7\n"
              "0 0 192.0.2.3 0 web3 0\n");
}

TEST_F(SeededFlowsFile, SkipsBusyServersUnlessLockedAndReplacesOldContent) {
    lbtest::writeFile("flows_new.txt", "stale line\n");
    add("busy", "192.0.2.11", 100, 3, 0);
    add("busylocked", "192.0.2.12", 100, 2, 1);
    add("idle", "192.0.2.13", 100, 0, 0);
    lbServConfigFile();
    EXPECT_EQ(lbtest::readFile("flows_new.txt"),
              "0 0 192.0.2.12 0 busylocked 100\n"
              "0 0 192.0.2.13 0 idle 100\n");
}

TEST_F(SeededFlowsFile, EmptyPoolGivesEmptyFile) {
    lbServConfigFile();
    EXPECT_TRUE(lbtest::fileExists("flows_new.txt"));
    EXPECT_EQ(lbtest::readFile("flows_new.txt"), "");
}

}  // namespace
