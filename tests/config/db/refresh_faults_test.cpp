// The refresh when the database or the request file misbehaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/lbGlobals.h"
#include "config/lbCtrlApi.h"
#include "dbtest_util.h"

namespace {

using dbtest::count;
using dbtest::dbctl;
using dbtest::find;
using namespace std::chrono;

// web1 (192.0.2.1) and web11 loaded; web21 only in the table.
class RefreshFaults : public dbtest::DbTest {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        dbtest::sql(dbtest::insertServers(1, 1) + dbtest::insertServers(11, 11));
        loadServers();
        dbtest::sql(dbtest::insertServers(21, 21));
    }
    // Whatever a case did to the server, the next one starts with it answering and with
    // no request left waiting.
    void TearDown() override {
        dbctl("thaw >&2");
        dbctl("resume >&2");
        tick();
        DbTest::TearDown();
    }
};

using Names = std::vector<std::string>;
using lbtest::serverNames;

struct Outage {
    const char *name;
    std::vector<const char *> beforeFirstTick, beforeSecondTick;  // dbctl commands
};

class RefreshOutage : public RefreshFaults, public testing::WithParamInterface<Outage> {};

TEST_P(RefreshOutage, RequestsWaitInOrderAndThePacketThreadNeverWaitsForTheDatabase) {
    // The packet thread's part: takes the lock over and over, noting the longest wait.
    std::atomic<bool> stop{false};
    std::atomic<long> passes{0}, longestMs{0};
    std::thread packets([&] {
        for (; !stop; passes++, std::this_thread::sleep_for(1ms)) {
            auto t0 = steady_clock::now();
            pthread_mutex_lock(&g_lbRBtreeMtx);
            pthread_mutex_unlock(&g_lbRBtreeMtx);
            long ms = duration_cast<milliseconds>(steady_clock::now() - t0).count();
            longestMs = std::max(longestMs.load(), ms);
        }
    });
    auto passesBeyond = [&](long n) {
        for (auto end = steady_clock::now() + 20s; passes <= n && steady_clock::now() < end;)
            std::this_thread::yield();
        return passes > n;
    };
    ASSERT_TRUE(passesBeyond(0));

    dbtest::sql("UPDATE server SET maxconn = 7 WHERE serverip = '192.0.2.11';");
    for (const char *c : GetParam().beforeFirstTick)
        ASSERT_EQ(dbctl(std::string(c) + " >&2"), 0);
    // 192.0.2.30 has no row; the DELETE must not overtake the ADDs before it.
    std::string out = tick(
        "1 ADD 192.0.2.30\n1 ADD 192.0.2.21\n1 DELETE 192.0.2.1\n1 ADD 192.0.2.1\n"
        "1 MODIFY 192.0.2.11\n");
    EXPECT_TRUE(passesBeyond(passes)) << "the packet thread is stuck";
    stop = true;
    packets.join();
    EXPECT_LT(longestMs.load(), 1000) << "the lock was held while waiting for the database (5 s)";
    if (!GetParam().beforeSecondTick.empty()) {
        EXPECT_NE(out.find("5 requests kept for a later tick"), std::string::npos) << out;
        EXPECT_EQ(serverNames(), (Names{"web1", "web11"})) << out;
        EXPECT_EQ(find("192.0.2.11")->maxconn, 20);
    }
    for (const char *c : GetParam().beforeSecondTick)
        ASSERT_EQ(dbctl(std::string(c) + " >&2"), 0);
    out += tick(nullptr);
    EXPECT_EQ(serverNames(), (Names{"web11", "web21", "web1"})) << out;
    EXPECT_EQ(find("192.0.2.11")->maxconn, 7);
    EXPECT_EQ(g_lbNumServers, 3);
    EXPECT_EQ(count(out, "ADD of 192.0.2.30 skipped: no row in table server\n"), 1u) << out;
}

INSTANTIATE_TEST_SUITE_P(Db, RefreshOutage,
                         testing::Values(Outage{"RestartedBetweenTicks", {"halt", "resume"}, {}},
                                         Outage{"Down", {"halt"}, {"resume"}},
                                         Outage{"Hung", {"freeze"}, {"thaw"}}),
                         [](const testing::TestParamInfo<Outage> &i) { return i.param.name; });

TEST_F(RefreshFaults, PastTheBoundTheNewestRequestsAreDroppedWithALine) {
    std::string reqs = "1 ADD 192.0.2.21\n";
    for (int i = 1; i < 1024; i++)
        reqs += "1 DELETE 192.0.2.99\n";
    ASSERT_EQ(dbctl("halt >&2"), 0);
    std::string out = tick((reqs + "1 DELETE 192.0.2.1\n").c_str());
    EXPECT_NE(out.find("DELETE request for 192.0.2.1 dropped"), std::string::npos) << out;
    ASSERT_EQ(dbctl("resume >&2"), 0);
    out = tick(nullptr);
    EXPECT_EQ(serverNames(), (Names{"web1", "web11", "web21"}));
    EXPECT_EQ(count(out, "DELETE of 192.0.2.99: no such server\n"), 1023u);
}

TEST_F(RefreshFaults, ALineSplitByATickIsAppliedOnceToTheRightServer) {
    const std::string line = "1 DELETE 192.0.2.11\n";
    for (bool reopen : {false, true})
        for (size_t cut = 0; cut <= line.size(); cut++) {
            SCOPED_TRACE((reopen ? "reopened after " : "one descriptor, ") + line.substr(0, cut));
            int fd = open("flag.txt", O_WRONLY | O_APPEND | O_CREAT, 0644);
            ASSERT_EQ(write(fd, line.data(), cut), static_cast<ssize_t>(cut));
            std::string out = tick();
            if (reopen) {
                close(fd);
                fd = open("flag.txt", O_WRONLY | O_APPEND);
            }
            ASSERT_EQ(write(fd, line.data() + cut, line.size() - cut),
                      static_cast<ssize_t>(line.size() - cut));
            close(fd);
            out += tick();
            EXPECT_EQ(serverNames(), Names{"web1"}) << out;
            EXPECT_EQ(count(out, "SERVER_NAME"), 1u) << out;
            EXPECT_EQ(count(out, "DELETE of"), 0u) << out;
            if (HasFailure())
                return;  // the later cuts would start from a wrong list
            tick("1 ADD 192.0.2.11\n");
        }
}

}  // namespace
