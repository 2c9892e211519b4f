// The console driven by a scripted telnet client over TCP. The suite moves into a network
// namespace of its own first, so its listeners on 127.0.0.x:8000 meet no other program.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/syscall.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>

#include "common/lbGlobals.h"
#include "console/climain.h"
#include "flowtable/lbFlowDb.h"
#include "pool/lbServerList.h"
#include "support/lbtest_util.h"

namespace {

class PrivateNetwork : public testing::Environment {
    void SetUp() override {
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "needs root: " << strerror(errno);
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        ifreq ifr{};
        strcpy(ifr.ifr_name, "lo");
        ASSERT_EQ(ioctl(fd, SIOCGIFFLAGS, &ifr), 0);
        ifr.ifr_flags |= IFF_UP;
        ASSERT_EQ(ioctl(fd, SIOCSIFFLAGS, &ifr), 0);
        close(fd);
    }
};
testing::Environment *const g_net = testing::AddGlobalTestEnvironment(new PrivateNetwork);

constexpr int kDeadlineMs = 20000;

// Runs climain for addr on a thread of its own; it serves until the suite ends.
void startConsole(const char *addr) {
    snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", addr);
    std::thread([] { climain(nullptr); }).detach();
}

// One telnet connection to addr:8000; the text it keeps has the telnet negotiation and
// the carriage returns removed.
class Client {
  public:
    explicit Client(const char *addr, int rcvbuf = 0, int tries = 2000) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(LB_CONSOLE_PORT);
        inet_pton(AF_INET, addr, &sa.sin_addr);
        for (int i = 0; i < tries && fd_ < 0; i++, usleep(10000)) {
            fd_ = socket(AF_INET, SOCK_STREAM, 0);
            if (rcvbuf > 0)
                setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
            if (connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
                fd_ = (close(fd_), -1);
        }
    }
    ~Client() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool connected() const { return fd_ >= 0; }
    void send(const std::string &line) {
        std::string l = line + "\r\n";
        ASSERT_EQ(::send(fd_, l.data(), l.size(), MSG_NOSIGNAL), ssize_t(l.size()));
    }
    // Text up to and including the next marker; fails the test at the deadline.
    std::string until(const std::string &marker) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
        size_t at, from = 0;
        while ((at = text_.find(marker, from)) == std::string::npos) {
            from = text_.size() < marker.size() ? 0 : text_.size() - marker.size() + 1;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            char buf[65536];
            ssize_t n = left.count() > 0 && poll(&p, 1, int(left.count())) == 1
                            ? recv(fd_, buf, sizeof buf, 0)
                            : 0;
            if (n <= 0) {
                ADD_FAILURE() << "no \"" << marker << "\" in: " << text_.substr(0, 2000);
                return std::exchange(text_, "");
            }
            for (ssize_t i = 0; i < n; i++) {
                unsigned char c = buf[i];
                if (iac_ > 0 || c == 0xff)
                    iac_ = c == 0xff ? 2 : iac_ - 1;
                else if (c != '\r')
                    text_ += char(c);
            }
        }
        std::string got = text_.substr(0, at + marker.size());
        text_.erase(0, got.size());
        return got;
    }
    // The answer to a command: what follows its echo, up to the prompt, without the
    // blank lines the library adds.
    std::string run(const std::string &line, const std::string &prompt) {
        send(line);
        std::string got = until(prompt);
        got.erase(0, got.find('\n') + 1);
        got.erase(got.size() - prompt.size());
        return got.erase(got.find_last_not_of('\n') + 1);
    }
    int fd_ = -1;

  private:
    std::string text_;
    int iac_ = 0;  // bytes of a telnet command still to drop
};

// Shared state as the packet thread changes it: under the lock.
template <class F>
void locked(F f) {
    pthread_mutex_lock(&g_lbRBtreeMtx);
    f();
    pthread_mutex_unlock(&g_lbRBtreeMtx);
}

lbServer_node_t *addServer(const char *ip, int numConn) {
    lbServer_node_t *s = create_lbServer_node(&lbServHead);
    inet_pton(AF_INET, ip, &s->lbServIp);
    s->numConn = numConn;
    return s;
}

uint32_t ip(const char *text) {
    uint32_t a;
    inet_pton(AF_INET, text, &a);
    return a;
}

class Console : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        locked([] { Server_list_init(); });
        startConsole("127.0.0.2");
    }
    void TearDown() override {
        locked([] {
            if (g_lbServFlowTable_tree != nullptr)
                RBTreeDestroy(g_lbServFlowTable_tree);
            g_lbServFlowTable_tree = nullptr;
            numFlowEntries = 0;
            delete_all_lbServerNodes();
        });
    }
    // A client at the configuration prompt.
    static void configure(Client &c) {
        ASSERT_TRUE(c.connected());
        c.until("Switch> ");
        EXPECT_EQ(c.run("enable", "Switch# "), "");
        EXPECT_EQ(c.run("configure terminal", "Switch(config)# "), "");
    }
};

TEST_F(Console, CommandsAnswerAndChangeModesAsTheirTableSays) {
    Client c("127.0.0.2");
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.until("Switch> "), "Welcome to Corvalis environment\n\nSwitch> ");
    struct {
        const char *line, *answer, *prompt;
    } steps[] = {
        {"simple", "No callback for \"simple\"", "Switch> "},
        {"simon", "No callback for \"simon\"", "Switch> "},
        {"test a b", "called cmd_test with \"test\"\n2 arguments:\n        a\n        b",
         "Switch> "},
        {"show junk", "called cmd_test with \"show junk\"\n0 arguments:", "Switch> "},
        {"set regular_interval 2", "Invalid command \"set\"", "Switch> "},
        {"enable", "", "Switch# "},
        {"getconn", "Invalid command \"getconn\"", "Switch# "},
        {"set", "Specify a variable to set", "Switch# "},
        {"set regular_interval 0", "Specify a regular callback interval in seconds", "Switch# "},
        {"set regular_interval x", "Specify a regular callback interval in seconds", "Switch# "},
        {"set colour green", "Setting \"colour\" to \"green\"", "Switch# "},
        {"set regular_interval 2", "Regular callback interval is now 2 seconds", "Switch# "},
        {"configure terminal", "", "Switch(config)# "},
        {"mode", "Specify an switchId to configure", "Switch(config)# "},
        {"mode vlan 3", "Unknown command vlan", "Switch(config)# "},
        {"mode switch", "Usage: mode switch <switchId>", "Switch(config)# "},
        {"mode switch 7", "", "Switch(config-switch[7])# "},
        {"exit", "", "Switch(config)# "},
        {"interface eth9", "Unknown interface eth9", "Switch(config)# "},
        {"interface TEST0/0", "", "Switch(config-test)# "},
        {"address 192.0.2.7", "called cmd_test with \"address\"\n1 arguments:\n        192.0.2.7",
         "Switch(config-test)# "},
        {"exit", "", "Switch(config)# "},
        {"exit", "", "Switch# "},
    };
    for (const auto &s : steps)
        EXPECT_EQ(c.run(s.line, s.prompt), s.answer) << s.line;
    // The periodic callback reports itself only between the two toggles.
    EXPECT_EQ(c.run("debug regular", "Switch# "), "cli_regular() debugging is enabled");
    c.until("Regular callback - ");
    c.send("debug regular");
    c.until("cli_regular() debugging is disabled\n");
}

TEST_F(Console, ListingsShowServersInListOrderAndFlowsInKeyOrder) {
    lbServer_node_t *first = nullptr;
    locked([&] {
        first = addServer("198.51.100.1", 2);
        addServer("198.51.100.2", 0);
        addServer("198.51.100.3", 5);
        lbFlowTable_create();
    });
    totaltime = 0.25f;
    Client c("127.0.0.2");
    configure(c);
    EXPECT_EQ(c.run("getconn", "Switch(config)# "),
              "number of connections in 198.51.100.1 is 2\n\n"
              "number of connections in 198.51.100.2 is 0\n\n"
              "number of connections in 198.51.100.3 is 5");
    EXPECT_EQ(c.run("getlbflow", "Switch(config)# "), "");
    EXPECT_EQ(c.run("gettime", "Switch(config)# "),
              "Total time elapsed in pkt recv and send = 0.250000 seconds ");

    // Key order: the address as held (last octet most significant), then the port.
    const unsigned char mac[6] = {2, 0, 0, 0, 0, 1};
    locked([&] {
        lbServFlowTable_createEntry(first, ip("203.0.113.10"), 1000, 4, mac, 80);
        lbServFlowTable_createEntry(first, ip("192.0.2.5"), 2000, 3, mac, 80);
        lbServFlowTable_createEntry(first, ip("203.0.113.10"), 999, 4, mac, 80);
    });
    std::string want;
    for (const char *client : {"192.0.2.5, lbClientSrcTcpPort = 2000, lbClientInPort = 3",
                               "203.0.113.10, lbClientSrcTcpPort = 999, lbClientInPort = 4",
                               "203.0.113.10, lbClientSrcTcpPort = 1000, lbClientInPort = 4"})
        want += std::string(want.empty() ? "" : "\n\n") + " lbClientSrcIp = " + client +
                "\n lbServerSrcIp = 198.51.100.1, lbServerTcpPort = 80,lbServOutPort = 0 "
                "numFlowEntries 3 ";
    EXPECT_EQ(c.run("getlbflow", "Switch(config)# "), want);
}

TEST_F(Console, ClientsAreServedOneAfterAnother) {
    Client a("127.0.0.2");
    ASSERT_TRUE(a.connected());
    a.until("Switch> ");
    Client b("127.0.0.2");
    ASSERT_TRUE(b.connected());
    EXPECT_NE(a.run("test", "Switch> "), "");
    pollfd p{b.fd_, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "second client served while the first is";
    a.send("quit");
    EXPECT_EQ(b.until("Switch> "), "Welcome to Corvalis environment\n\nSwitch> ");
}

// Whether a thread of this process sits in write(2): the console blocked on a socket.
bool someThreadWriting() {
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        long nr = -1;
        std::ifstream(task.path() / "syscall") >> nr;
        if (nr == SYS_write)
            return true;
    }
    return false;
}

TEST_F(Console, StalledReaderNeitherHoldsTheLockNorOutlivesTheConsole) {
    constexpr int kFlows = 30000;  // 5 MB of listing, more than loopback's socket buffers
    locked([] {
        lbServer_node_t *s = addServer("198.51.100.1", kFlows);
        lbFlowTable_create();
        for (int i = 0; i < kFlows; i++) {
            auto *f = new lbFlow_t{};
            f->lbClientSrcIp = ip("203.0.113.9");
            f->lbClientSrcTcpPort = 1024 + i;
            f->lbServConfPtr = s;
            dlist_init(&f->client_pathlist_hdr);
            RBTreeInsert(g_lbServFlowTable_tree, f, nullptr);
        }
        numFlowEntries = kFlows;
    });
    Client slow("127.0.0.2", 4096);
    configure(slow);
    slow.send("getlbflow");
    slow.until(" lbClientSrcIp = ");
    for (int i = 0; i < kDeadlineMs / 10 && !someThreadWriting(); i++)
        usleep(10000);
    ASSERT_TRUE(someThreadWriting()) << "the console never waited on the slow client";
    // The packet thread must still get the lock meanwhile.
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += kDeadlineMs / 1000;
    ASSERT_EQ(pthread_mutex_timedlock(&g_lbRBtreeMtx, &deadline), 0);
    pthread_mutex_unlock(&g_lbRBtreeMtx);
    std::string rest = slow.until("Switch(config)# ");
    size_t entries = 0;
    for (size_t at = 0; (at = rest.find("lbClientSrcIp = ", at)) != std::string::npos; at++)
        entries++;
    EXPECT_EQ(entries, kFlows - 1u);
    slow.send("quit");

    // A client gone in the middle of a listing ends its own connection only.
    {
        Client gone("127.0.0.2", 4096);
        configure(gone);
        gone.send("getlbflow");
        gone.until(" lbClientSrcIp = ");
    }
    Client next("127.0.0.2");
    ASSERT_TRUE(next.connected());
    EXPECT_NE(next.until("Switch> "), "");
}

// With console.conf the console asks for a user and enable for its secret; neither the
// passwords nor the secret ever travel back.
TEST(ConsoleAccess, LoginAndEnableCheckTheFile) {
    lbtest::writeFile(LB_CONSOLE_CONF, "# operators\nuser ops Pw-0ps\n\nenable En-4ble\n");
    startConsole("127.0.0.3");
    Client c("127.0.0.3");
    ASSERT_TRUE(c.connected());
    std::string all = c.until("Username: ");
    unlink(LB_CONSOLE_CONF);
    struct {
        const char *user, *password, *answer;
    } logins[] = {{"ops", "wrong", "Access denied"}, {"nobody", "Pw-0ps", "Access denied"}};
    for (const auto &l : logins) {
        c.send(l.user);
        all += c.until("Password: ");
        c.send(l.password);
        all += c.until("Username: ");
        EXPECT_NE(all.rfind(l.answer), std::string::npos) << l.user << " " << l.password;
    }
    c.send("ops");
    all += c.until("Password: ");
    c.send("Pw-0ps");
    all += c.until("Switch> ");
    c.send("enable");
    all += c.until("Password: ");
    c.send("wrong");
    all += c.until("Access denied");
    c.send("enable");
    all += c.until("Password: ");
    c.send("En-4ble");
    all += c.until("Switch# ");
    EXPECT_EQ(all.find("Pw-0ps"), std::string::npos);
    EXPECT_EQ(all.find("En-4ble"), std::string::npos);
}

// Each refused start returns at once (a listening console never does) with one line.
TEST(ConsoleStart, RefusedStartsReportTheirCause) {
    struct {
        const char *conf, *vip, *startFile;
        int noPrint;
        const char *out, *err;
    } cases[] = {
        {"user ops\n", "", "", 1, "",
         "console.conf:1: expected \"user NAME PASSWORD\" or \"enable SECRET\"; the console "
         "stays closed\n"},
        {"user a Sekr1t\nuser a Sekr1t\n", "", "", 1, "",
         "console.conf:2: a user is named twice; the console stays closed\n"},
        {"user a Sekr1t\nenable Sekr1t\nenable Sekr1t\n", "", "", 1, "",
         "console.conf:3: a second enable line; the console stays closed\n"},
        {"enable Sekr1t\n", "", "", 1, "",
         "console.conf: no \"user NAME PASSWORD\" line; the console stays closed\n"},
        {nullptr, "198.51.100.300", "", 1, "", "Invalid address\n"},
        {nullptr, "192.0.2.1", "test one\n", 1, "", "bind: Cannot assign requested address\n"},
        {nullptr, "192.0.2.1", "test one\n", 0,
         "called cmd_test with \"test\"\n1 arguments:\n        one\nIPAddress of this "
         "switch192.0.2.1\n",
         "bind: Cannot assign requested address\n"},
    };
    for (const auto &k : cases) {
        unlink(LB_CONSOLE_CONF);
        if (k.conf != nullptr)
            lbtest::writeFile(LB_CONSOLE_CONF, k.conf);
        lbtest::writeFile(LB_CONSOLE_START_FILE, k.startFile);
        snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", k.vip);
        Gv_noPrint = k.noPrint;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(climain(nullptr), nullptr);
        EXPECT_EQ(k.conf != nullptr ? init_cli() : -1, -1);
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(out, k.out) << k.vip;
        // init_cli refuses the file with the same line.
        std::string want = k.conf != nullptr ? std::string(k.err) + k.err : k.err;
        EXPECT_EQ(err.substr(0, want.size()), want) << k.vip;
        EXPECT_EQ(err.find("Sekr1t"), std::string::npos);
    }
    Gv_noPrint = 1;
    unlink(LB_CONSOLE_CONF);
    unlink(LB_CONSOLE_START_FILE);
}

TEST(ConsoleStart, InitCliOpensTheConsoleOnlyOnceStartUpIsDone) {
    g_cliFlag = 0;
    snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "127.0.0.4");
    ASSERT_EQ(init_cli(), 0);
    EXPECT_FALSE(Client("127.0.0.4", 0, 30).connected()) << "open before start-up ended";
    g_cliFlag = 1;
    Client c("127.0.0.4");
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.until("Switch> "), "Welcome to Corvalis environment\n\nSwitch> ");
}

}  // namespace
