// Active health checks: the settings file, the fall/rise counting, and the checker thread
// against listening sockets of the suite's own network namespace (127.0.0.x on loopback).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/lbGlobals.h"
#include "pool/lbHealth.h"
#include "pool/lbServerList.h"
#include "support/lbtest_util.h"

namespace {

// Settings as "interval timeout fall rise port"; a refused file leaves them untouched.
TEST(HealthConfig, SettingsAreCheckedLineByLine) {
    const char *kUntouched = "2000 0 3 2 7";
    const lbtest::SettingsRow cases[] = {
        {"port 80\n", 1, "2000 2000 3 2 80", ""},
        {"# web farm\n\ninterval 500ms\ntimeout 200ms\nfall 1\nrise 100\nport 65535\n", 1,
         "500 200 1 100 65535", ""},
        {"port 8080\ninterval 3s\ntimeout 1\n", 1, "3000 1000 3 2 8080", ""},
        {"interval 5\n", -1, kUntouched, ": no \"port\" line"},
        {"port 80\nport 81\n", -1, kUntouched, " line 2: \"port\" is set twice"},
        {"port 0\n", -1, kUntouched, " line 1: port must be a number from 1 to 65535"},
        {"port 65536\n", -1, kUntouched, " line 1: port must be"},
        {"port 80\nfall 0\n", -1, kUntouched, " line 2: fall must be a number from 1 to 100"},
        {"port 80\nrise 101\n", -1, kUntouched, " line 2: rise must be"},
        {"port 80\ninterval 50ms\n", -1, kUntouched, " line 2: interval must be"},
        {"port 80\ninterval 2h\n", -1, kUntouched, " line 2: interval must be"},
        {"port 80\ninterval 3601\n", -1, kUntouched, " line 2: interval must be"},
        {"port 80\ntimeout 5ms\n", -1, kUntouched, " line 2: timeout must be"},
        {"port 80\ninterval 1\ntimeout 2\n", -1, kUntouched, " line 3: timeout must not be longer"},
        {"port 80\ninterval\n", -1, kUntouched, " line 2: \"interval\" takes exactly one value"},
        {"port 80 81\n", -1, kUntouched, " line 1: \"port\" takes exactly one value"},
        {"port 80\ncheck tcp\n", -1, kUntouched, " line 2: unknown setting \"check\""},
        {nullptr, 0, kUntouched, ""},  // no file: checks off
    };
    for (const lbtest::SettingsRow &c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(no file)");
        lbtest::setFile(LB_HEALTH_CONF, c.text);
        lbHealthConfig g;
        g.port = 7;
        int rc = 0;
        const std::string out =
            lbtest::printed([&] { rc = lbHealthConfigLoad(LB_HEALTH_CONF, &g); });
        EXPECT_EQ(rc, c.rc) << out;
        char got[64];
        snprintf(got, sizeof got, "%d %d %d %d %d", g.intervalMs, g.timeoutMs, g.fall, g.rise,
                 g.port);
        EXPECT_EQ(got, c.settings);
        EXPECT_TRUE(c.rc >= 0 ? out.empty()
                              : out.find("healthcheck.conf" + c.said) == 0 &&
                                    out.ends_with("; the balancer does not start\n"))
            << out;
    }
}

TEST(HealthFeed, FallAndRiseCountOnlyResultsInARow) {
    struct Case {
        int fall, rise;
        const char *results;   // F failed, P passed
        const char *standing;  // after each result: u up, D down
    } cases[] = {
        {3, 2, "FFPFFFPP", "uuuuuDDu"},     {3, 2, "FFFPFPPF", "uuDDDDuu"}, {1, 1, "FPFP", "DuDu"},
        {2, 3, "PPFFPPFPPP", "uuuDDDDDDu"}, {1, 1, "PPP", "uuu"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.results);
        lbHealthState st;
        std::string got = "u";  // the standing before the first result, then after each
        for (const char *r = c.results; *r != '\0'; r++) {
            const int changed = lbHealthFeed(&st, *r == 'P', c.fall, c.rise);
            const char now = st.down ? 'D' : 'u';
            EXPECT_EQ(changed, now != got.back() ? 1 : 0) << "at result " << r - c.results;
            got += now;
        }
        EXPECT_EQ(got.substr(1), c.standing);
    }
}

constexpr uint16_t kPort = 18080;

class Checker : public testing::Test {
  protected:
    void SetUp() override { lbtest::resetState(); }
    void TearDown() override {
        lbHealthStop();
        lbtest::resetState();
    }
    static void start(int intervalMs, int fall, int rise) {
        lbHealthConfig cfg{intervalMs, intervalMs, fall, rise, kPort};
        ASSERT_EQ(lbHealthStart(cfg), 0);
        ASSERT_EQ(lbHealthStart(cfg), -1);  // one checker at a time
    }
    // The health mark of the first server with addr, read under the table lock; -1 when
    // none is listed.
    static int down(const char *addr) {
        lbTableLock lock;
        const lbServer_node_t *s = getServEntry(inet_addr(addr), &lbServHead);
        return s == nullptr ? -1 : s->healthDown;
    }
    static std::string chosen() {
        lbTableLock lock;
        const lbServer_node_t *s = lbGetNodeWithLessConn();
        return s == nullptr ? "" : s->server_name;
    }
    // Waits until the mark of addr is want; the rounds finished by then.
    static unsigned long roundsUntil(const char *addr, int want) {
        EXPECT_TRUE(lbtest::waitUntil([&] { return down(addr) == want; }))
            << addr << " never became " << want;
        return lbHealthRounds();
    }
};

// The service of web1 stops: after fall failed rounds it is down and new connections go
// to web2 although web1 has fewer; once it listens again it is back after rise rounds.
// Each change is printed once, and health.txt follows.
TEST_F(Checker, ServerWhoseServiceStopsIsOutAfterFallAndBackAfterRise) {
    constexpr int kFall = 3, kRise = 2;
    lbtest::addServer("127.0.0.11", "web1");
    lbtest::addServer("127.0.0.12", "web2")->numConn = 4;
    auto web1 = std::make_unique<lbtest::TcpListener>("127.0.0.11", kPort);
    lbtest::TcpListener web2("127.0.0.12", kPort);
    testing::internal::CaptureStdout();
    start(150, kFall, kRise);
    EXPECT_TRUE(lbtest::waitUntil([] { return lbHealthRounds() >= 2; }));
    EXPECT_EQ(down("127.0.0.11"), 0);
    EXPECT_EQ(chosen(), "web1");
    EXPECT_EQ(lbtest::readFile(LB_HEALTH_FILE), "127.0.0.11 up\n127.0.0.12 up\n");

    // A round in flight when the service stops may still pass; every later one fails,
    // and the mark is written before the round is counted.
    unsigned long before = lbHealthRounds();
    web1.reset();
    EXPECT_GE(roundsUntil("127.0.0.11", 1), before + kFall - 1);
    EXPECT_EQ(chosen(), "web2");
    EXPECT_EQ(down("127.0.0.12"), 0);
    EXPECT_TRUE(lbtest::waitUntil([] {
        return lbtest::readFile(LB_HEALTH_FILE) == "127.0.0.11 down\n127.0.0.12 up\n";
    })) << lbtest::readFile(LB_HEALTH_FILE);

    before = lbHealthRounds();
    web1 = std::make_unique<lbtest::TcpListener>("127.0.0.11", kPort);
    EXPECT_GE(roundsUntil("127.0.0.11", 0), before + kRise - 1);
    EXPECT_EQ(chosen(), "web1");
    // Stable rounds after the change print nothing more.
    before = lbHealthRounds();
    EXPECT_TRUE(lbtest::waitUntil([&] { return lbHealthRounds() >= before + 2; }));
    lbHealthStop();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(down("127.0.0.11"), 0);
    EXPECT_FALSE(lbtest::fileExists(LB_HEALTH_FILE));
    EXPECT_EQ(out,
              "Health checks: port 18080 of every server every 150 ms, time-out 150 ms; out "
              "after 3 failures in a row, back after 2 successes\n"
              "Health check: server web1 127.0.0.11 is down after 3 failed checks of port "
              "18080 (Connection refused); it takes no new connections\n"
              "Health check: server web1 127.0.0.11 is up again after 2 passed checks of port "
              "18080\n");
}

// Servers the refresh adds are checked from the next round on; servers it removes, also
// while their checks are in flight, are forgotten without touching their freed records
// (AddressSanitizer and ThreadSanitizer watch this suite).
TEST_F(Checker, ServersAddedAndRemovedMeanwhileAreFollowed) {
    lbtest::TcpListener web1("127.0.0.21", kPort);
    lbtest::addServer("127.0.0.21", "web1");
    testing::internal::CaptureStdout();
    start(100, 1, 1);
    for (int i = 0; i < 20; i++) {
        {
            lbTableLock lock;
            lbtest::addServer("127.0.0.22", "gone");
        }
        EXPECT_TRUE(lbtest::waitUntil([] { return down("127.0.0.22") == 1; }));
        {
            lbTableLock lock;
            del_lbServer_node(getServEntry(inet_addr("127.0.0.22"), &lbServHead), &lbServHead);
        }
    }
    EXPECT_TRUE(lbtest::waitUntil([] {
        return lbtest::readFile(LB_HEALTH_FILE) == "127.0.0.21 up\n";
    })) << lbtest::readFile(LB_HEALTH_FILE);
    lbHealthStop();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(down("127.0.0.21"), 0);
    EXPECT_EQ(out.find("127.0.0.21 is down"), std::string::npos) << out;
}

// A stop while a check waits for an answer that will not come ends it at once, not at
// the check's time-out: the listener's queue is full, so the kernel drops the SYN.
TEST_F(Checker, StopDoesNotWaitForChecksInFlight) {
    lbtest::TcpListener full("127.0.0.31", kPort, 0, false);
    std::vector<int> fill;
    for (int i = 0; i < 3; i++) {
        fill.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        sockaddr_in sa{AF_INET, htons(kPort), {inet_addr("127.0.0.31")}, {}};
        connect(fill.back(), reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    }
    lbtest::addServer("127.0.0.31", "stuck");
    testing::internal::CaptureStdout();
    start(60000, 1, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto t0 = std::chrono::steady_clock::now();
    lbHealthStop();
    const auto took = std::chrono::steady_clock::now() - t0;
    testing::internal::GetCapturedStdout();
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_EQ(lbHealthRounds(), 0u);  // the round was still waiting
    EXPECT_EQ(down("127.0.0.31"), 0);
    for (int fd : fill)
        close(fd);
}

}  // namespace
