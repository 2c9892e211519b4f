// Flow table: key order, the connections file, lookups and removals; then expiry and
// bulk deletion against the packet suites' controller simulator.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "common/lbGlobals.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "flowtable/lbFlowDb.h"
#include "pool/lbServerList.h"
#include "packet_fixture.h"
#include "support/lbtest_util.h"

namespace {

using lbtest::addServer;
using lbtest::kVip;
using lbtest::printed;
const unsigned char kMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x07};

constexpr auto *ip = &inet_addr;

std::vector<std::string> dirEntries() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(".", ec))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// A connection to service port 80, with its path as hops {dpid, in port, out port}.
lbFlow_t *connect(lbServer_node_t *s, const char *client, int port, int inPort = 3,
                  const std::vector<lbtest::Hop> &hops = {}) {
    lbFlow_t *e = lbServFlowTable_createEntry(s, ip(client), port, inPort, kMac, 80);
    for (const auto &[dpid, in, out] : hops)
        add_pathlist_node(&e->client_pathlist_hdr, dpid, in, out);
    return e;
}
// A teardown as the caller does it: lower numConn, then remove.
void disconnect(const char *client, uint16_t port) {
    lbFlow_t *e = lbFlowTable_getEntry(ip(client), port);
    ASSERT_NE(e, nullptr) << client << " " << port;
    e->lbServConfPtr->numConn--;
    lbFlowTable_removeEntry(e);
}

// An empty table and server list per test, and no connections file.
class FlowDb : public testing::Test {
  protected:
    void SetUp() override {
        lbtest::resetState();
        snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", kVip);
        snprintf(cluster_name, sizeof cluster_name, "%s", "webfarm");
        lbFlowTable_create();
        remove(LB_FLOWS_FILE);
    }
    void TearDown() override { lbtest::resetState(); }
};

TEST_F(FlowDb, CreationLookupAndRemovalByKeyIncludingUnknownKeys) {
    lbServer_node_t *s = addServer("192.0.2.11", "alpha");
    lbFlow_t *e = lbServFlowTable_createEntry(s, ip("198.51.100.7"), 1000, 5, kMac, 8080);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(e->lbClusterIp == ip(kVip) && memcmp(e->lbClientSrcMac, kMac, 6) == 0 &&
                dlist_empty(&e->client_pathlist_hdr));
    // Same address with another port, and the same port from another address.
    lbFlow_t *port2 = connect(s, "198.51.100.7", 1001);
    lbFlow_t *addr2 = connect(s, "198.51.100.8", 1000);
    lbFlow_t *high = connect(s, "198.51.100.7", 65535);
    EXPECT_TRUE(s->numConn == 4 && numFlowEntries == 4);
    lbFlowTable_removeEntry(e);
    EXPECT_TRUE(s->numConn == 4 && numFlowEntries == 3);  // lowering numConn is the caller's part

    ASSERT_EQ(unlink(LB_FLOWS_FILE), 0);  // a rewrite would show up as a new file
    lbFlow_t probe{};
    probe.lbClientSrcIp = ip("198.51.100.9");
    probe.lbClientSrcTcpPort = 1000;
    using L = std::tuple<const char *, int, lbFlow_t *>;
    EXPECT_EQ(printed([&] {
                  for (auto [client, port, want] :
                       {L{"198.51.100.7", 1000, nullptr}, L{"198.51.100.7", 1001, port2},
                        L{"198.51.100.8", 1000, addr2}, L{"198.51.100.8", 1001, nullptr},
                        L{"198.51.100.7", 65535, high}})
                      EXPECT_EQ(lbFlowTable_getEntry(ip(client), uint16_t(port)), want) << port;
                  lbFlowTable_removeEntry(nullptr);
                  lbFlowTable_removeEntry(&probe);
              }),
              "");  // unknown keys: null, silently, and no change
    EXPECT_FALSE(lbtest::fileExists(LB_FLOWS_FILE));
    EXPECT_EQ(numFlowEntries, 3u);
    // A probe carrying a stored key removes the stored record (and leaves the probe).
    probe.lbClientSrcIp = ip("198.51.100.8");
    lbFlowTable_removeEntry(&probe);
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.8"), 1000), nullptr);
    EXPECT_EQ(numFlowEntries, 2u);
}

// Key order: the client address as the integer it is held in (network order, so the last
// octet weighs most; unsigned), then the port.
TEST_F(FlowDb, FileListsIdleServersThenConnectionsInKeyOrder) {
    lbServer_node_t *a = addServer("192.0.2.11", "alpha", 10);
    lbServer_node_t *b = addServer("192.0.2.12", "bravo", 20);
    addServer("192.0.2.13", "charlie", 30)->lock = 1;  // a locked server still gets an idle line
    const std::string idleA = "0 0 192.0.2.11 0 alpha 10\n",
                      idleC = "0 0 192.0.2.13 0 charlie 30\n";
    const std::string connA = "10.0.1.1 40000 192.0.2.11 webfarm alpha 10\n";
    const std::string connA2 = "10.0.0.200 1 192.0.2.11 webfarm alpha 10\n";
    const std::string connB1 = "10.0.0.2 39999 192.0.2.12 webfarm bravo 20\n";
    const std::string connB2 = "10.0.0.2 40000 192.0.2.12 webfarm bravo 20\n";

    std::vector<std::string> left = dirEntries();
    const mode_t saved = umask(022);
    connect(b, "10.0.0.2", 40000);
    umask(saved);
    struct stat st;
    ASSERT_EQ(stat(LB_FLOWS_FILE, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // readable by the viewer, like any new file
    EXPECT_EQ(lbtest::readFile(LB_FLOWS_FILE), idleA + idleC + connB2);
    std::ifstream reader(LB_FLOWS_FILE);
    connect(a, "10.0.1.1", 40000);
    // Replaced, not truncated in place: the open reader still sees the old file whole.
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), idleA + idleC + connB2);
    connect(b, "10.0.0.2", 39999);
    connect(a, "10.0.0.200", 1);
    EXPECT_EQ(lbtest::readFile(LB_FLOWS_FILE), idleC + connA + connB1 + connB2 + connA2);
    disconnect("10.0.0.2", 40000);  // bravo keeps a connection: still no idle line
    disconnect("10.0.0.200", 1);
    EXPECT_EQ(lbtest::readFile(LB_FLOWS_FILE), idleC + connA + connB1);
    disconnect("10.0.1.1", 40000);
    disconnect("10.0.0.2", 39999);
    EXPECT_EQ(lbtest::readFile(LB_FLOWS_FILE), idleA + "0 0 192.0.2.12 0 bravo 20\n" + idleC);
    EXPECT_EQ(numFlowEntries, 0u);
    left.push_back(LB_FLOWS_FILE);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(dirEntries(), left);  // no temporary left
}

TEST_F(FlowDb, EqualKeysStoredSideBySideAndRemovalFreesTheRecordPassed) {
    lbServer_node_t *a = addServer("192.0.2.11", "alpha", 10);
    lbServer_node_t *b = addServer("192.0.2.12", "bravo", 20);
    std::vector<lbFlow_t *> same;
    for (int i = 0; i < 5; ++i)
        same.push_back(connect(i == 0 ? a : b, "198.51.100.7", 1000, i));
    const std::string bravo = "198.51.100.7 1000 192.0.2.12 webfarm bravo 20\n";
    EXPECT_EQ(lbtest::readFile(LB_FLOWS_FILE),
              "198.51.100.7 1000 192.0.2.11 webfarm alpha 10\n" + bravo + bravo + bravo + bravo);
    // Each removal frees exactly the record passed; the others stay whole (ASan reports
    // any use of a wrongly freed one).
    for (int i : {3, 0, 4}) {
        lbFlowTable_removeEntry(same[i]);
        same[i] = nullptr;
        for (int j = 0; j < 5; ++j)
            EXPECT_TRUE(same[j] == nullptr || same[j]->lbClientInPort == j) << j;
    }
    lbFlow_t *found = lbFlowTable_getEntry(ip("198.51.100.7"), 1000);
    EXPECT_TRUE(found == same[1] || found == same[2]);
    // Due entries with equal keys, deleted from under the expiry walk (no path, so no
    // controller request).
    same[1]->deleteFlowSet = same[2]->deleteFlowSet = 3;
    RBTreeTraverse(g_lbServFlowTable_tree, FINDELETE);
    // numConn: 4, less the two expiries; plain removals leave it.
    EXPECT_TRUE(numFlowEntries == 0 && b->numConn == 2 &&
                lbFlowTable_getEntry(ip("198.51.100.7"), 1000) == nullptr);
}

// With the writer thread, the file still ends as the table is: every change owed is
// written by a later flush, and an older snapshot never replaces a newer file.
TEST_F(FlowDb, WriterThreadEndsWithTheTableAsItIs) {
    lbServer_node_t *s = addServer("192.0.2.11", "alpha", 300);
    ASSERT_EQ(lbFlowTable_startWriter(), 0);
    std::string want;
    for (int port = 1000; port < 1200; ++port) {
        lbTableLock lock;
        connect(s, "198.51.100.7", port);
        want += "198.51.100.7 " + std::to_string(port) + " 192.0.2.11 webfarm alpha 300\n";
    }
    auto settlesTo = [](const std::string &text) {
        return lbtest::waitUntil([&] {
            lbTableLock lock;
            lbFlowTable_flushFile(0);
            return lbtest::readFile(LB_FLOWS_FILE) == text;
        });
    };
    EXPECT_TRUE(settlesTo(want));
    // The count drops with each removal under the lock, as the callers do it.
    for (int port = 1000; port < 1200; ++port) {
        lbTableLock lock;
        disconnect("198.51.100.7", port);
    }
    EXPECT_TRUE(settlesTo("0 0 192.0.2.11 0 alpha 300\n"));
    lbFlowTable_stopWriter();
    // Without the writer a change is written at once, in the caller's thread.
    connect(s, "198.51.100.8", 7);
    EXPECT_EQ(lbtest::readFile(LB_FLOWS_FILE), "198.51.100.8 7 192.0.2.11 webfarm alpha 300\n");
}

// When the file cannot be replaced the table change stands, one line says why, and no
// temporary is left. A failed check reopen after a removal adds its own line.
TEST_F(FlowDb, UnwritableTargetKeepsTheChangeAndSaysSo) {
    const std::string reopen = "Cannot open ServClientConf file.\n";
    struct Row {
        const char *what;
        bool vanish, blockTarget;
        std::string reason, onRemove;
    } rows[] = {
        {"vanished working directory", true, false, "No such file or directory", reopen},
        {"a directory in the target's place", false, true, "Is a directory", ""},
    };
    lbServer_node_t *s = addServer("192.0.2.11", "alpha");
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        const std::string dir = lbtest::scratchDir() + "/unwritable";
        ASSERT_TRUE(mkdir(dir.c_str(), 0700) == 0 && chdir(dir.c_str()) == 0);
        ASSERT_TRUE(!r.vanish || rmdir(dir.c_str()) == 0);
        ASSERT_TRUE(!r.blockTarget || mkdir(LB_FLOWS_FILE, 0700) == 0);
        const std::vector<std::string> left = dirEntries();
        const std::string line = "Cannot write flows_new.txt: " + r.reason + "\n";
        lbFlow_t *e = nullptr;
        EXPECT_EQ(printed([&] { e = connect(s, "198.51.100.7", 1000); }), line);
        EXPECT_TRUE(e != nullptr && lbFlowTable_getEntry(ip("198.51.100.7"), 1000) == e &&
                    numFlowEntries == 1 && s->numConn == 1);
        EXPECT_EQ(printed([&] { lbFlowTable_removeEntry(e); }), line + r.onRemove);
        EXPECT_TRUE(lbFlowTable_getEntry(ip("198.51.100.7"), 1000) == nullptr &&
                    numFlowEntries == 0);
        EXPECT_EQ(dirEntries(), left);
        s->numConn = 0;
        ASSERT_EQ(chdir(lbtest::scratchDir().c_str()), 0);
        std::filesystem::remove_all(dir);
    }
}

// Removals of client:cport -> server:80 along hops, as the simulator logs them.
std::vector<std::string> removals(const char *c, int cport, const char *sv,
                                  const std::vector<lbtest::Hop> &hops) {
    return lbtest::rulesOf(c, sv, hops, "30", "DELETE", cport);
}

// The packet suites' simulator and configuration, without a setup engine: removals go
// straight to the controller.
class FlowExpiry : public lbtest::PacketSim {
  protected:
    void SetUp() override {
        PacketSim::SetUp();
        useEngine(nullptr);
        lbFlowTable_stopWriter();
        snprintf(reinterpret_cast<char *>(g_switchDpId), sizeof g_switchDpId, "%s",
                 "00:00:00:00:00:00:00:01");
        g_lbAppPort = 6;  // the balancer's port on its own switch, unlike any hop's
    }

    static void tick() { RBTreeTraverse(g_lbServFlowTable_tree, FINDELETE); }

    // Flow requests logged since the previous call.
    static std::vector<std::string> removed() {
        const std::vector<std::string> out = flowRequests();
        sim_->clearLog();
        return out;
    }
};

// A FIN with ACK sets the mark to 1; the entry goes on the third tick after the last one.
TEST_F(FlowExpiry, MarkedEntryGoesOnTheThirdTickAnotherFinRestartsTheCountShutdownTakesAll) {
    lbServer_node_t *s1 = addServer("198.51.100.11");
    lbServer_node_t *s2 = addServer("198.51.100.12");
    lbFlow_t *closing = connect(s1, "192.0.2.10", 33000, 3, {{1, 3, 2}, {2, 1, 2}, {3, 1, 3}});
    lbFlow_t *open = connect(s2, "192.0.2.20", 1000, 3, {{1, 3, 4}});
    lbFlow_t *again = connect(s1, "192.0.2.30", 34000, 3, {{2, 1, 2}});
    closing->deleteFlowSet = again->deleteFlowSet = 1;
    for (int want : {2, 3}) {
        tick();
        EXPECT_EQ(closing->deleteFlowSet, want);
        again->deleteFlowSet = 1;  // another FIN with ACK each tick
    }
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), closing);
    EXPECT_TRUE(removed().empty());

    EXPECT_EQ(printed(tick), "");  // diagnostics off
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), nullptr);
    EXPECT_EQ(removed(),
              removals("192.0.2.10", 33000, "198.51.100.11", {{1, 3, 2}, {2, 1, 2}, {3, 1, 3}}));
    EXPECT_TRUE(s1->numConn == 1 && s2->numConn == 1 && numFlowEntries == 2);
    tick();
    EXPECT_TRUE(lbFlowTable_getEntry(ip("192.0.2.30"), 34000) == again && removed().empty());
    tick();  // the open entry is never touched
    EXPECT_TRUE(lbFlowTable_getEntry(ip("192.0.2.20"), 1000) == open && open->deleteFlowSet == 0);
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.30"), 34000), nullptr);
    EXPECT_EQ(removed(), removals("192.0.2.30", 34000, "198.51.100.11", {{2, 1, 2}}));
    EXPECT_TRUE(s1->numConn == 0 && numFlowEntries == 1);

    // An empty path: no request, the entry still goes.
    deleteFlowEntry(connect(s1, "192.0.2.10", 33000, 3, {}));
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), nullptr);
    EXPECT_TRUE(removed().empty() && s1->numConn == 0 && numFlowEntries == 1);

    // The shutdown walk removes the rules of the rest and zeroes the counts; the entries
    // stay until the tree is destroyed, with their path lists emptied.
    RBTreeTraverse(g_lbServFlowTable_tree, DELETEALL);
    EXPECT_EQ(removed(), removals("192.0.2.20", 1000, "198.51.100.12", {{1, 3, 4}}));
    EXPECT_TRUE(s2->numConn == 0 && numFlowEntries == 0 && dlist_empty(&open->client_pathlist_hdr));
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.20"), 1000), open);
}

// An entry whose client sent nothing after its SYN goes once the half-open limit has
// passed since the SYN; one with no frame either way goes after the idle limit; 0 keeps.
TEST_F(FlowExpiry, SilentEntriesGoAfterTheirIdleLimits) {
    lbFlowClock = lbtest::fakeClock;
    const int64_t t0 = lbtest::fakeNowMs = 5000000;
    g_halfOpenTmr = 30;
    g_estIdleTmr = 900;
    lbServer_node_t *s1 = addServer("198.51.100.11");
    lbFlowSeen(connect(s1, "192.0.2.10", 33000, 3, {{1, 3, 2}}), 0, t0);  // server's SYN+ACK
    lbFlow_t *talking = connect(s1, "192.0.2.20", 1000);
    lbFlowSeen(talking, 1, t0);
    lbFlowSeen(connect(s1, "192.0.2.30", 34000), 1, t0);
    const std::pair<int64_t, const char *> ticks[] = {
        {29999, ""},
        {30000,
         "Connection 192.0.2.10:33000 removed: no frame from the client after its "
         "SYN in 30 s\n"},
        {899999, ""},
        {900000, "Connection 192.0.2.30:34000 removed: idle for 900 s\n"}};
    for (const auto &[at, line] : ticks) {
        lbtest::fakeNowMs = t0 + at;
        if (at == 899999)
            lbFlowSeen(talking, 0, lbtest::fakeNowMs);
        EXPECT_EQ(printed(tick), line) << at;
    }
    EXPECT_EQ(removed().size(), 4u);  // the half-open one's rules; the other had no path
    EXPECT_TRUE(lbFlowTable_getEntry(ip("192.0.2.20"), 1000) == talking && s1->numConn == 1);
    g_halfOpenTmr = g_estIdleTmr = 0;
    lbtest::fakeNowMs += 100000000;
    tick();
    EXPECT_EQ(numFlowEntries, 1u);
}

}  // namespace
