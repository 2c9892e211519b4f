// The refresh running at the same time as the packet thread's flow-table changes and
// the console's listings, as in the running balancer. Built under ThreadSanitizer too:
// every access to the server list and the flow table must be ordered by g_lbRBtreeMtx.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "dbtest_util.h"
#include "flowtable/lbFlowDb.h"
#include "flowtable/lbTimer.h"
#include "packet/lbApp.h"
#include "pool/lbCtrlApi.h"
#include "support/lbtest_util.h"

namespace {

using namespace std::chrono_literals;

// Appends one request the way a front end would: open, append, close.
void request(const std::string &line) {
    int fd = open("flag.txt", O_WRONLY | O_APPEND | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    close(fd);
}

// Holds g_lbRBtreeMtx for one scope, as the packet thread and the console do.
struct Locked {
    Locked() { pthread_mutex_lock(&g_lbRBtreeMtx); }
    ~Locked() { pthread_mutex_unlock(&g_lbRBtreeMtx); }
};

// Closes one connection as teardown does: lowers the server's count, removes the entry
// and, when the server's removal was requested and this was its last connection,
// removes the server.
void closeConnection(uint32_t client, uint16_t port) {
    Locked l;
    lbFlow_t *e = lbFlowTable_getEntry(client, port);
    if (e == nullptr)
        return;
    lbServer_node_t *s = e->lbServConfPtr;
    s->numConn--;
    lbFlowTable_removeEntry(e);
    if (s->delete_ != 0 && s->numConn == 0) {
        del_lbServer_node(s, &lbServHead);
        g_lbNumServers--;
    }
}

// Starts with srv11 and srv12 loaded; rows srv21..srv30 exist only in the table.
class RefreshConcurrency : public dbtest::DbTest {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        admin_.exec(rows(11, 12));
        loadServers();
        admin_.exec(rows(21, 30));
        ASSERT_EQ(g_lbNumServers, 2);
    }
    static std::string rows(int first, int last) {
        std::string v;
        for (int i = first; i <= last; i++)
            v += (i == first ? "('srv" : ",('srv") + std::to_string(i) + "', '192.0.2." +
                 std::to_string(i) + "', 1000, '02:00:00:00:00:" + std::to_string(i) +
                 "', 'Unlocked', 1)";
        return dbtest::insertServers(v);
    }
};

TEST_F(RefreshConcurrency, TicksFlowChangesAndListingsInterleaveSafely) {
    std::atomic<bool> stop{false};
    // The threads' listings go to /dev/null.
    fflush(stdout);
    int savedOut = dup(STDOUT_FILENO);
    ASSERT_TRUE(freopen("/dev/null", "w", stdout) != nullptr);

    std::thread ticker([&] {
        while (!stop.load()) {
            lb_get_graphical_data(nullptr, 0);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread console([&] {
        while (!stop.load()) {
            {
                Locked l;
                printServList(&lbServHead);
                lbFlowTable_writeFile();
            }
            std::this_thread::sleep_for(1ms);
        }
    });
    // The packet thread: keeps up to eight connections open on the least-loaded server.
    std::thread packets([&] {
        const unsigned char mac[6] = {0x02, 0, 0, 0, 0x10, 0x01};
        const uint32_t client = inet_addr("203.0.113.5");
        uint16_t next = 1000;
        std::vector<uint16_t> open;
        while (!stop.load()) {
            {
                Locked l;
                lbServer_node_t *s = lbGetNodeWithLessConn();
                if (s != nullptr && lbServFlowTable_createEntry(s, client, next, 1, mac, 80))
                    open.push_back(next++);
            }
            if (open.size() > 8) {
                closeConnection(client, open.front());
                open.erase(open.begin());
            }
        }
        for (uint16_t p : open)
            closeConnection(client, p);
    });
    // The front end: adds ten servers, then removes the first five again.
    std::thread frontEnd([&] {
        for (int last = 21; last <= 30; last++) {
            request("1 ADD 192.0.2." + std::to_string(last) + "\n");
            std::this_thread::sleep_for(3ms);
        }
        for (int last = 21; last <= 25; last++) {
            request("1 DELETE 192.0.2." + std::to_string(last) + "\n");
            std::this_thread::sleep_for(3ms);
        }
    });

    frontEnd.join();
    std::this_thread::sleep_for(300ms);
    stop = true;
    ticker.join();
    console.join();
    packets.join();
    // Requests that arrived after the ticker's last pass.
    lb_get_graphical_data(nullptr, 0);
    fflush(stdout);
    dup2(savedOut, STDOUT_FILENO);
    close(savedOut);

    Locked l;
    std::vector<std::string> names;
    for (dlist_node *x = lbServHead.next; x != &lbServHead; x = x->next) {
        auto *s = static_cast<lbServer_node_t *>(x->data);
        names.push_back(s->server_name);
        EXPECT_EQ(s->numConn, 0) << s->server_name;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"srv11", "srv12", "srv26", "srv27", "srv28", "srv29",
                                               "srv30"}));
    EXPECT_EQ(g_lbNumServers, static_cast<int>(names.size()));
    EXPECT_EQ(numFlowEntries, 0u);
    EXPECT_EQ(lbtest::readFile("flag.txt"), "0\n");
}

TEST_F(RefreshConcurrency, TheTimerRunsTheTickEveryFiveSeconds) {
    request("1 ADD 192.0.2.21\n");
    fiveSecTimerEvent = 0;
    testing::internal::CaptureStdout();
    lbInitTimer();
    ASSERT_TRUE(lbEventIdValid(timerId)) << timerId;
    // The console keeps listing meanwhile, under the same lock as the tick.
    auto deadline = std::chrono::steady_clock::now() + 15s;
    bool ticked = false;
    while (!ticked && std::chrono::steady_clock::now() < deadline) {
        {
            Locked l;
            printServList(&lbServHead);
            ticked = fiveSecTimerEvent != 0;
        }
        std::this_thread::sleep_for(50ms);
    }
    lbEventDestroy(timerId);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ticked) << "no tick within 15 s";
    EXPECT_NE(out.find("Timer tick... "), std::string::npos);
    Locked l;
    EXPECT_EQ(dbtest::listed().size(), 3u);
    EXPECT_NE(dbtest::find("192.0.2.21"), nullptr);
    EXPECT_EQ(lbtest::readFile("flag.txt"), "0\n");
}

}  // namespace
