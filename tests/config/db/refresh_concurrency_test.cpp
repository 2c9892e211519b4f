// The refresh beside the packet thread's flow-table changes and the console's listings.
// Built under ThreadSanitizer too: every access must be ordered by g_lbRBtreeMtx.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/lbGlobals.h"
#include "config/lbCtrlApi.h"
#include "dbtest_util.h"
#include "flowtable/lbFlowDb.h"
#include "flowtable/lbTimer.h"
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

// Closes one connection as teardown does, removing its server when that server's
// removal was requested and this was its last connection.
void closeConnection(uint32_t client, uint16_t port) {
    lbTableLock l;
    lbFlow_t *e = lbFlowTable_getEntry(client, port);
    lbServer_node_t *s = e->lbServConfPtr;
    s->numConn--;
    lbFlowTable_removeEntry(e);
    if (s->delete_ != 0 && s->numConn == 0) {
        del_lbServer_node(s, &lbServHead);
        g_lbNumServers--;
    }
}

// Starts with web11 and web12 loaded; rows web21..web30 exist only in the table.
class RefreshConcurrency : public dbtest::DbTest {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        dbtest::sql(dbtest::insertServers(11, 12));
        loadServers();
        dbtest::sql(dbtest::insertServers(21, 30));
    }
};

TEST_F(RefreshConcurrency, TicksFlowChangesAndListingsInterleaveSafely) {
    std::atomic<bool> stop{false};
    fflush(stdout);
    int savedOut = dup(STDOUT_FILENO);
    ASSERT_NE(freopen("/dev/null", "w", stdout), nullptr);  // the threads' listings

    std::thread ticker([&] {
        for (; !stop; std::this_thread::sleep_for(1ms))
            lb_get_graphical_data(nullptr, 0);
    });
    std::thread console([&] {
        for (; !stop; std::this_thread::sleep_for(1ms)) {
            lbTableLock l;
            printServList(&lbServHead);
            lbFlowTable_writeFile();
        }
    });
    // The packet thread: keeps up to eight connections open on the least-loaded server.
    std::thread packets([&] {
        const unsigned char mac[6] = {0x02, 0, 0, 0, 0x10, 0x01};
        const uint32_t client = inet_addr("203.0.113.5");
        uint16_t next = 1000;
        std::vector<uint16_t> open;
        while (!stop) {
            {
                lbTableLock l;
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
    // The front end adds ten servers, then removes the first five again.
    for (int i = 21; i <= 35; i++, std::this_thread::sleep_for(3ms))
        request(std::string(i <= 30 ? "1 ADD" : "1 DELETE") + " 192.0.2." +
                std::to_string(i <= 30 ? i : i - 10) + "\n");
    EXPECT_TRUE(lbtest::waitUntil([] {
        lbTableLock l;
        return g_lbNumServers == 7 && lbtest::readFile("flag.txt") == "0\n";
    }));
    stop = true;
    ticker.join();
    console.join();
    packets.join();
    lb_get_graphical_data(nullptr, 0);  // requests that came after the ticker's last pass
    fflush(stdout);
    dup2(savedOut, STDOUT_FILENO);
    close(savedOut);

    std::vector<std::string> names;
    for (lbServer_node_t *s : dbtest::listed()) {
        names.push_back(s->server_name);
        EXPECT_EQ(s->numConn, 0) << s->server_name;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"web11", "web12", "web26", "web27", "web28", "web29",
                                               "web30"}));
    EXPECT_TRUE(g_lbNumServers == 7 && numFlowEntries == 0 &&
                lbtest::readFile("flag.txt") == "0\n");
}

TEST_F(RefreshConcurrency, TheTimerRunsTheTickEveryFiveSeconds) {
    request("1 ADD 192.0.2.21\n");
    fiveSecTimerEvent = 0;
    bool ticked = false;
    std::string out = lbtest::printed([&] {
        lbInitTimer();
        ASSERT_TRUE(lbEventIdValid(timerId)) << timerId;
        // The console keeps listing meanwhile, under the same lock as the tick.
        ticked = lbtest::waitUntil([] {
            lbTableLock l;
            printServList(&lbServHead);
            return fiveSecTimerEvent != 0;
        });
        lbEventDestroy(timerId);
    });
    ASSERT_TRUE(ticked) << "no tick within 20 s";
    EXPECT_NE(out.find("Timer tick... "), std::string::npos);
    EXPECT_TRUE(dbtest::find("192.0.2.21") != nullptr && g_lbNumServers == 3);
}

}  // namespace
