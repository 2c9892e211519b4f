// Flow table: key order, the connections file and its atomic replacement, lookups and
// removals, bookkeeping, the walk dispatch and the listing text.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "flowtable_fixture.h"

namespace {

std::vector<std::string> dirEntries() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(".", ec))
        names.push_back(e.path().filename());
    return names;
}

class FlowDb : public FlowTableTest {
  protected:
    // A teardown as the caller does it: lower numConn, then remove.
    static void disconnect(const char *client, uint16_t port) {
        lbFlow_t *e = lbFlowTable_getEntry(ip(client), port);
        ASSERT_NE(e, nullptr) << client << " " << port;
        e->lbServConfPtr->numConn--;
        lbFlowTable_removeEntry(e);
    }
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
    EXPECT_EQ(lbServFlowTable_createEntry(nullptr, ip("198.51.100.9"), 1, 1, kMac, 80), nullptr);
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
    Gv_noPrint = 0;
    EXPECT_EQ(printed([] { lbFlowTable_getEntry(ip("198.51.100.9"), 1000); }),
              "returning NULL from lbFlowTable_getEntry\n");
    Gv_noPrint = 1;
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
    EXPECT_EQ(dirEntries(), std::vector<std::string>{LB_FLOWS_FILE});  // no temporary left
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

TEST_F(FlowDb, WalkPrintsListsAndIgnoresUnknownOperations) {
    lbFlow_t *e1 = connect(addServer("192.0.2.12", "bravo"), "10.0.0.2", 40000, 3);
    lbFlow_t *e2 = connect(addServer("192.0.2.11", "alpha"), "10.0.1.1", 51000, 7);
    e1->lbServerTcpPort = 443;
    e2->lbServOutPort = 12;
    const std::string before = lbtest::readFile(LB_FLOWS_FILE);
    for (int op : {0, 5, -1})
        EXPECT_EQ(printed([op] { RBTreeTraverse(g_lbServFlowTable_tree, op); }),
                  "\nNo operation\n\nNo operation\n")
            << "operation " << op;
    EXPECT_EQ(lbtest::readFile(LB_FLOWS_FILE), before);
    EXPECT_EQ(numFlowEntries, 2u);

    const std::string want =
        " lbClientSrcIp = 10.0.1.1, lbClientSrcTcpPort = 51000, lbClientInPort = 7\n"
        " lbServerSrcIp = 192.0.2.11, lbServerTcpPort = 80,lbServOutPort = 12 "
        "numFlowEntries 2 \n"
        " lbClientSrcIp = 10.0.0.2, lbClientSrcTcpPort = 40000, lbClientInPort = 3\n"
        " lbServerSrcIp = 192.0.2.12, lbServerTcpPort = 443,lbServOutPort = 0 "
        "numFlowEntries 2 \n";
    std::string out = "kept:";
    EXPECT_EQ(printed([&] { lbFlowTable_listInto(out); }), "");  // nothing to stdout
    EXPECT_EQ(out, "kept:" + want);
    // A PRINT walk outside a listing prints the same text.
    EXPECT_EQ(printed([] { RBTreeTraverse(g_lbServFlowTable_tree, PRINT); }), want);
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

}  // namespace
