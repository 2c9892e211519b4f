// The console driven by a scripted telnet client over TCP, on 127.0.0.x:8000 of the
// suite's own network namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "common/lbGlobals.h"
#include "console/climain.h"
#include "flowtable/lbFlowDb.h"
#include "pool/lbServerList.h"
#include "support/lbapp_proc.h"
#include "support/lbtest_util.h"

namespace {

constexpr const char *kBanner = "Welcome to Corvalis environment\n\nSwitch> ";

// Runs climain for addr on a thread of its own; it serves until the suite ends.
void startConsole(const char *addr) {
    snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", addr);
    std::thread([] { climain(nullptr); }).detach();
}

using Client = lbtest::ConsoleClient;

class Console : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        Server_list_init();
        startConsole("127.0.0.2");
    }
    void TearDown() override {
        lbTableLock lock;  // shared state changes as the packet thread makes them
        lbtest::resetState();
    }
};

TEST_F(Console, CommandsAnswerAndChangeModesAsTheirTableSays) {
    Client c("127.0.0.2");
    EXPECT_EQ(c.say(nullptr, "Switch> "), kBanner);
    struct {
        const char *line, *answer, *prompt;
    } steps[] = {
        {"simple", "No callback for \"simple\"", "Switch> "},
        {"test a b", "called cmd_test with \"test\"\n2 arguments:\n        a\n        b",
         "Switch> "},
        {"set regular_interval 2", "Invalid command \"set\"", "Switch> "},
        {"enable", "", "Switch# "},
        {"getconn", "Invalid command \"getconn\"", "Switch# "},
        {"set regular_interval 0", "Specify a regular callback interval in seconds", "Switch# "},
        {"set colour green", "Setting \"colour\" to \"green\"", "Switch# "},
        {"set regular_interval 2", "Regular callback interval is now 2 seconds", "Switch# "},
        {"configure terminal", "", "Switch(config)# "},
        {"mode", "Specify an switchId to configure", "Switch(config)# "},
        {"mode vlan 3", "Unknown command vlan", "Switch(config)# "},
        {"mode switch", "Usage: mode switch <switchId>", "Switch(config)# "},
        {"mode switch 7", "", "Switch(config-switch[7])# "},
        {"exit", "", "Switch(config)# "},
        {"interface test0/0", "", "Switch(config-test)# "},
        {"exit", "", "Switch(config)# "},
        {"exit", "", "Switch# "},
        {"debug regular", "cli_regular() debugging is enabled", "Switch# "},
    };
    for (const auto &s : steps)
        EXPECT_EQ(c.run(s.line, s.prompt), s.answer) << s.line;
    // The periodic callback reports itself until the second toggle.
    c.say(nullptr, "Regular callback - ");
    c.say("debug regular", "cli_regular() debugging is disabled\n");
}

TEST_F(Console, ListingsShowServersInListOrderAndFlowsInKeyOrder) {
    lbServer_node_t *first = nullptr;
    {
        lbTableLock lock;
        (first = lbtest::addServer("198.51.100.1", ""))->numConn = 2;
        lbtest::addServer("198.51.100.2", "");
        lbtest::addServer("198.51.100.3", "")->numConn = 5;
        lbFlowTable_create();
    }
    totaltime = 0.25f;
    Client c("127.0.0.2");
    c.configure();
    EXPECT_EQ(c.run("getconn", "Switch(config)# "),
              "number of connections in 198.51.100.1 is 2\n\n"
              "number of connections in 198.51.100.2 is 0\n\n"
              "number of connections in 198.51.100.3 is 5");
    EXPECT_EQ(c.run("getlbflow", "Switch(config)# "), "");
    EXPECT_EQ(c.run("gettime", "Switch(config)# "),
              "Total time elapsed in pkt recv and send = 0.250000 seconds ");

    // Key order: the address as held (last octet most significant), then the port.
    const unsigned char mac[6] = {2, 0, 0, 0, 0, 1};
    const std::pair<const char *, int> flows[] = {
        {"203.0.113.10", 1000}, {"192.0.2.5", 2000}, {"203.0.113.10", 999}};
    {
        lbTableLock lock;
        for (auto [client, port] : flows)
            lbServFlowTable_createEntry(first, inet_addr(client), port, 3, mac, 80);
    }
    std::string want;
    for (const char *client :
         {"192.0.2.5, lbClientSrcTcpPort = 2000", "203.0.113.10, lbClientSrcTcpPort = 999",
          "203.0.113.10, lbClientSrcTcpPort = 1000"})
        want += std::string(want.empty() ? "" : "\n\n") + " lbClientSrcIp = " + client +
                ", lbClientInPort = 3\n lbServerSrcIp = 198.51.100.1, lbServerTcpPort = 80,"
                "lbServOutPort = 0 numFlowEntries 3 ";
    EXPECT_EQ(c.run("getlbflow", "Switch(config)# "), want);
}

// Each session in its own mode; one past the bound is told why; one that ends makes room.
TEST(ConsoleSessions, BoundedSessionsRunSideBySide) {
    lbtest::writeFile(LB_CONSOLE_CONF, "sessions 2\nlisten 127.0.0.6\n");
    startConsole("127.0.0.5");  // the file's address wins over the VIP
    Client a("127.0.0.6");
    ASSERT_EQ(a.say(nullptr, "Switch> "), kBanner);
    unlink(LB_CONSOLE_CONF);
    Client b("127.0.0.6");
    EXPECT_EQ(b.say(nullptr, "Switch> "), kBanner);
    EXPECT_EQ(a.run("enable", "Switch# "), "");
    EXPECT_EQ(b.run("mode switch 3", "Switch> "), "Invalid command \"mode\"");
    EXPECT_EQ(a.run("configure terminal", "Switch(config)# "), "");
    EXPECT_EQ(b.run("test x", "Switch> "),
              "called cmd_test with \"test\"\n1 arguments:\n        x");
    {
        Client over("127.0.0.6");
        EXPECT_EQ(over.say(nullptr, "later\n"),
                  "Console busy: all 2 sessions are in use; try again later\n");
        char c;
        EXPECT_EQ(recv(over.fd, &c, 1, 0), 0) << "the refused connection stays open";
    }
    EXPECT_EQ(a.run("mode switch 4", "Switch(config-switch[4])# "), "");
    b.say("quit", "");
    // The slot is free a moment after the session's socket closed.
    EXPECT_TRUE(lbtest::waitUntil([] {
        return Client("127.0.0.6").say(nullptr, "\n") == "Welcome to Corvalis environment\n";
    }));
    EXPECT_LT(Client("127.0.0.5", 0, 30).fd, 0) << "the VIP listens though the file names another";
}

TEST_F(Console, StalledReaderNeitherHoldsTheLockNorOutlivesTheConsole) {
    constexpr int kFlows = 30000;  // 5 MB of listing, more than loopback's socket buffers
    {
        lbTableLock lock;
        lbServer_node_t *s = lbtest::addServer("198.51.100.1", "");
        s->numConn = kFlows;
        lbFlowTable_create();
        for (int i = 0; i < kFlows; i++) {
            auto *f = new lbFlow_t{};
            f->lbClientSrcTcpPort = i;
            f->lbServConfPtr = s;
            dlist_init(&f->client_pathlist_hdr);
            RBTreeInsert(g_lbServFlowTable_tree, f, nullptr);
        }
    }
    Client slow("127.0.0.2", 4096);
    slow.configure();
    slow.say("getlbflow", " lbClientSrcIp = ");
    // Some thread of this process sits in write(2): the console blocked on the socket.
    ASSERT_TRUE(lbtest::waitUntil([] {
        for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
            long nr = -1;
            std::ifstream(task.path() / "syscall") >> nr;
            if (nr == SYS_write)
                return true;
        }
        return false;
    })) << "the console never waited on the slow client";
    // The packet thread must still get the lock meanwhile.
    ASSERT_TRUE(lbtest::waitUntil([] { return pthread_mutex_trylock(&g_lbRBtreeMtx) == 0; }));
    pthread_mutex_unlock(&g_lbRBtreeMtx);
    std::string rest = slow.say(nullptr, "Switch(config)# ");
    EXPECT_EQ(lbtest::count(rest, "lbClientSrcIp = "), kFlows - 1u);
    slow.say("quit", "");

    {  // A client gone in the middle of a listing ends its own connection only.
        Client gone("127.0.0.2", 4096);
        gone.configure();
        gone.say("getlbflow", " lbClientSrcIp = ");
    }
    EXPECT_EQ(Client("127.0.0.2").say(nullptr, "Switch> "), kBanner);
}

// Neither the password nor the enable secret ever travels back.
TEST(ConsoleAccess, LoginAndEnableCheckTheFile) {
    lbtest::writeFile(LB_CONSOLE_CONF, "# operators\nuser ops Pw-0ps\n\nenable En-4ble\n");
    startConsole("127.0.0.3");
    Client c("127.0.0.3");
    std::string all = c.say(nullptr, "Username: ");
    unlink(LB_CONSOLE_CONF);
    const char *script[][2] = {
        {"ops", "Password: "},    {"wrong", "Access denied\n\nUsername: "},
        {"nobody", "Password: "}, {"Pw-0ps", "Access denied\n\nUsername: "},
        {"ops", "Password: "},    {"Pw-0ps", "Switch> "},
        {"enable", "Password: "}, {"wrong", "Access denied\n\nSwitch> "},
        {"enable", "Password: "}, {"En-4ble", "\nSwitch# "},
    };
    for (const auto &s : script)
        all += c.say(s[0], s[1]);
    EXPECT_EQ(all.find("Pw-0ps"), std::string::npos);
    EXPECT_EQ(all.find("En-4ble"), std::string::npos);
}

// A refused start returns at once (a listening console never does) and says why.
TEST(ConsoleStart, RefusedStartsReportTheirCause) {
    const std::string closed = "; the console stays closed\n";
    const std::string noUser = "console.conf: no \"user NAME PASSWORD\" line" + closed;
    const std::string sessions = "console.conf:1: sessions takes a number from 1 to 64" + closed;
    const std::string bind = "bind: Cannot assign requested address\n";
    const struct {
        const char *conf, *vip;
        int noPrint;
        std::string out, err;
    } cases[] = {
        {"user a Sekr1t\nuser a\n", "", 0, "",
         "console.conf:2: expected \"user NAME PASSWORD\", \"enable SECRET\", \"listen "
         "ADDRESS\" or \"sessions N\"" +
             closed},
        {"enable Sekr1t\n", "", 0, "", noUser},
        {"listen 127.0.0.1\nenable Sekr1t\n", "", 0, "", noUser},
        {"# nothing\n", "", 0, "", noUser},
        {"listen vip\n", "", 0, "", "console.conf:1: listen takes a dotted IPv4 address" + closed},
        {"sessions 2\nsessions 3\n", "", 0, "", "console.conf:2: a second sessions line" + closed},
        {"sessions 65\n", "", 0, "", sessions},
        {"sessions 0\n", "", 0, "", sessions},
        {nullptr, "192.0.2.1", 1, "", bind},
        {nullptr, "192.0.2.1", 0,
         "called cmd_test with \"test\"\n1 arguments:\n        one\nIPAddress of this "
         "switch192.0.2.1\n",
         bind},
    };
    lbtest::writeFile(LB_CONSOLE_START_FILE, "test one\n");
    for (const auto &k : cases) {
        lbtest::setFile(LB_CONSOLE_CONF, k.conf);
        snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", k.vip);
        Gv_noPrint = k.noPrint;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(climain(nullptr), nullptr);
        // init_cli refuses the same file with the same line.
        EXPECT_EQ(k.conf != nullptr ? init_cli() : -1, -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), k.out) << k.vip;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  k.conf != nullptr ? k.err + k.err : k.err);
    }
    Gv_noPrint = 1;
    unlink(LB_CONSOLE_CONF);
    unlink(LB_CONSOLE_START_FILE);
}

TEST(ConsoleStart, InitCliOpensTheConsoleOnlyOnceStartUpIsDone) {
    g_cliFlag = 0;
    snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "127.0.0.4");
    ASSERT_EQ(init_cli(), 0);
    EXPECT_LT(Client("127.0.0.4", 0, 30).fd, 0) << "open before start-up ended";
    g_cliFlag = 1;
    EXPECT_EQ(Client("127.0.0.4").say(nullptr, "Switch> "), kBanner);
}

}  // namespace
