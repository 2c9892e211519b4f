// Flow table: key order, the connections file, lookups and removals, bookkeeping, the
// walk dispatch and the listing text.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "flowtable/lbFlowDb.h"
#include "packet/lbApp.h"
#include "pool/lbServerList.h"
#include "support/lbtest_util.h"

namespace {

uint32_t ip(const char *dotted) {
    return inet_addr(dotted);
}

const unsigned char kMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x07};

std::vector<std::string> dirEntries(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    return names;
}

class FlowDb : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(chdir(lbtest::scratchDir().c_str()), 0);
        Server_list_init();
        Gv_noPrint = 1;
        snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", "192.0.2.100");
        snprintf(cluster_name, sizeof cluster_name, "%s", "webfarm");
        numFlowEntries = 0;
        lbFlowTable_create();
        ASSERT_NE(g_lbServFlowTable_tree, nullptr);
    }

    void TearDown() override {
        RBTreeDestroy(g_lbServFlowTable_tree);
        g_lbServFlowTable_tree = nullptr;
        numFlowEntries = 0;
        delete_all_lbServerNodes();
        ASSERT_EQ(chdir(lbtest::scratchDir().c_str()), 0);
        unlink(LB_FLOWS_FILE);
    }

    lbServer_node_t *addServer(const char *addr, const char *name, int maxconn, int lock = 0) {
        lbServer_node_t *s = create_lbServer_node(&lbServHead);
        s->lbServIp.s_addr = ip(addr);
        snprintf(s->server_name, sizeof s->server_name, "%s", name);
        s->maxconn = maxconn;
        s->lock = lock;
        s->valid = 1;
        return s;
    }

    lbFlow_t *connect(lbServer_node_t *s, const char *client, int port, int inPort = 3) {
        return lbServFlowTable_createEntry(s, ip(client), port, inPort, kMac, 80);
    }

    static std::string flowsFile() { return lbtest::readFile(LB_FLOWS_FILE); }
};

TEST(FlowDbCompare, AddressAsHeldIntegerThenSignedPort) {
    struct Row {
        uint32_t ipA;
        int portA;
        uint32_t ipB;
        int portB;
        const char *what;
        int want;
    };
    const Row rows[] = {
        {ip("10.0.0.2"), 1, ip("10.0.1.1"), 1, "last octet weighs most", 1},
        {ip("10.0.1.1"), 1, ip("10.0.0.2"), 1, "mirror of the above", -1},
        {ip("1.0.0.0"), 1, ip("0.0.0.2"), 1, "first octet weighs least", -1},
        {0xFFFFFFFFu, 1, 1u, 1, "address compared unsigned", 1},
        {ip("192.0.2.1"), 80, ip("192.0.2.1"), 443, "same address: port decides", -1},
        {ip("192.0.2.1"), 443, ip("192.0.2.1"), 80, "same address, greater port", 1},
        {ip("192.0.2.1"), -1, ip("192.0.2.1"), 1, "port compared signed", -1},
        {ip("192.0.2.1"), 80, ip("192.0.2.1"), 80, "equal keys", 0},
        {ip("192.0.2.2"), 1, ip("192.0.2.1"), 65535, "address before port", 1},
    };
    for (const Row &r : rows) {
        lbFlow_t a{}, b{};
        a.lbClientSrcIp = r.ipA;
        a.lbClientSrcTcpPort = r.portA;
        b.lbClientSrcIp = r.ipB;
        b.lbClientSrcTcpPort = r.portB;
        // Fields outside the key do not matter.
        a.lbServerTcpPort = 1;
        b.lbClientInPort = 9;
        EXPECT_EQ(lbServFlowTabEntCmp(&a, &b), r.want) << r.what;
    }
}

TEST_F(FlowDb, CreationFillsTheEntryAndCounts) {
    lbServer_node_t *s = addServer("192.0.2.11", "alpha", 10);
    lbFlow_t *e = lbServFlowTable_createEntry(s, ip("198.51.100.7"), 40000, 5, kMac, 8080);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->lbClientSrcIp, ip("198.51.100.7"));
    EXPECT_EQ(e->lbClusterIp, ip("192.0.2.100"));
    EXPECT_EQ(e->lbClientSrcTcpPort, 40000);
    EXPECT_EQ(e->lbClientInPort, 5);
    EXPECT_EQ(e->lbServOutPort, 0);
    EXPECT_EQ(memcmp(e->lbClientSrcMac, kMac, 6), 0);
    EXPECT_EQ(e->lbServerTcpPort, 8080);
    EXPECT_EQ(e->lbServConfPtr, s);
    EXPECT_EQ(e->deleteFlowSet, 0);
    EXPECT_EQ(e->lbServIdx, 0u);
    EXPECT_EQ(e->lbRevTcpPort, 0);
    EXPECT_TRUE(dlist_empty(&e->client_pathlist_hdr));
    EXPECT_EQ(s->numConn, 1);
    EXPECT_EQ(numFlowEntries, 1u);
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.7"), 40000), e);

    EXPECT_EQ(lbServFlowTable_createEntry(nullptr, ip("198.51.100.8"), 1, 1, kMac, 80), nullptr);
    EXPECT_EQ(numFlowEntries, 1u);
}

TEST_F(FlowDb, FileListsIdleServersThenConnectionsInKeyOrder) {
    lbServer_node_t *a = addServer("192.0.2.11", "alpha", 10);
    lbServer_node_t *b = addServer("192.0.2.12", "bravo", 20);
    addServer("192.0.2.13", "charlie", 30, 1);  // locked servers still get an idle line

    ASSERT_NE(connect(b, "10.0.0.2", 40000), nullptr);
    EXPECT_EQ(flowsFile(),
              "0 0 192.0.2.11 0 alpha 10\n"
              "0 0 192.0.2.13 0 charlie 30\n"
              "10.0.0.2 40000 192.0.2.12 webfarm bravo 20\n");

    ASSERT_NE(connect(a, "10.0.1.1", 40000), nullptr);
    ASSERT_NE(connect(b, "10.0.0.2", 39999), nullptr);
    // 10.0.1.1 is held as a smaller integer than 10.0.0.2.
    EXPECT_EQ(flowsFile(),
              "0 0 192.0.2.13 0 charlie 30\n"
              "10.0.1.1 40000 192.0.2.11 webfarm alpha 10\n"
              "10.0.0.2 39999 192.0.2.12 webfarm bravo 20\n"
              "10.0.0.2 40000 192.0.2.12 webfarm bravo 20\n");

    // bravo keeps a connection, so it still has no idle line.
    b->numConn--;
    lbFlowTable_removeEntry(lbFlowTable_getEntry(ip("10.0.0.2"), 40000));
    EXPECT_EQ(flowsFile(),
              "0 0 192.0.2.13 0 charlie 30\n"
              "10.0.1.1 40000 192.0.2.11 webfarm alpha 10\n"
              "10.0.0.2 39999 192.0.2.12 webfarm bravo 20\n");

    for (const auto &[client, port] : {std::pair{"10.0.1.1", 40000}, {"10.0.0.2", 39999}}) {
        lbFlow_t *e = lbFlowTable_getEntry(ip(client), static_cast<uint16_t>(port));
        ASSERT_NE(e, nullptr);
        e->lbServConfPtr->numConn--;
        lbFlowTable_removeEntry(e);
    }
    EXPECT_EQ(flowsFile(),
              "0 0 192.0.2.11 0 alpha 10\n"
              "0 0 192.0.2.12 0 bravo 20\n"
              "0 0 192.0.2.13 0 charlie 30\n");
    EXPECT_EQ(numFlowEntries, 0u);
    // Only the target is left in the directory: no temporary survives a rewrite.
    EXPECT_EQ(dirEntries("."), std::vector<std::string>{LB_FLOWS_FILE});
}

TEST_F(FlowDb, SameAddressOtherPortAndSamePortOtherAddressAreSeparate) {
    lbServer_node_t *s = addServer("192.0.2.11", "alpha", 10);
    lbFlow_t *p1 = connect(s, "198.51.100.7", 1000);
    lbFlow_t *p2 = connect(s, "198.51.100.7", 1001);
    lbFlow_t *a2 = connect(s, "198.51.100.8", 1000);
    ASSERT_TRUE(p1 && p2 && a2);
    EXPECT_NE(p1, p2);
    EXPECT_NE(p1, a2);
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.7"), 1000), p1);
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.7"), 1001), p2);
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.8"), 1000), a2);
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.8"), 1001), nullptr);
    EXPECT_EQ(numFlowEntries, 3u);
    EXPECT_EQ(s->numConn, 3);

    lbFlowTable_removeEntry(p1);
    EXPECT_EQ(s->numConn, 3);  // lowering it is the caller's part
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.7"), 1000), nullptr);
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.7"), 1001), p2);
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.8"), 1000), a2);
    EXPECT_EQ(numFlowEntries, 2u);
}

TEST_F(FlowDb, HighPortsAreFoundThroughTheUnsignedLookup) {
    lbServer_node_t *s = addServer("192.0.2.11", "alpha", 10);
    lbFlow_t *e = connect(s, "198.51.100.7", 65535);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.7"), 65535), e);
}

TEST_F(FlowDb, EqualKeysAreStoredSideBySide) {
    lbServer_node_t *a = addServer("192.0.2.11", "alpha", 10);
    lbServer_node_t *b = addServer("192.0.2.12", "bravo", 20);
    lbFlow_t *first = connect(a, "198.51.100.7", 1000);
    lbFlow_t *second = connect(b, "198.51.100.7", 1000);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first, second);
    EXPECT_EQ(numFlowEntries, 2u);
    EXPECT_EQ(flowsFile(),
              "198.51.100.7 1000 192.0.2.11 webfarm alpha 10\n"
              "198.51.100.7 1000 192.0.2.12 webfarm bravo 20\n");

    lbFlow_t *found = lbFlowTable_getEntry(ip("198.51.100.7"), 1000);
    ASSERT_TRUE(found == first || found == second);
    lbFlow_t *other = (found == first) ? second : first;
    lbFlowTable_removeEntry(found);
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.7"), 1000), other);
    lbFlowTable_removeEntry(other);
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.7"), 1000), nullptr);
    EXPECT_EQ(numFlowEntries, 0u);
}

TEST_F(FlowDb, RemovingAStoredRecordRemovesThatOneAmongEqualKeys) {
    lbServer_node_t *s = addServer("192.0.2.11", "alpha", 10);
    std::vector<lbFlow_t *> same;
    for (int i = 0; i < 5; ++i) {
        same.push_back(connect(s, "198.51.100.7", 1000, i));
        ASSERT_NE(same.back(), nullptr);
    }
    // Each removal frees exactly the record passed; the others stay reachable (ASan
    // reports any use of a wrongly freed one).
    for (int i : {3, 0, 4}) {
        lbFlowTable_removeEntry(same[i]);
        same[i] = nullptr;
        for (lbFlow_t *e : same) {
            if (e != nullptr) {
                EXPECT_EQ(e->lbServConfPtr, s);
            }
        }
    }
    EXPECT_EQ(numFlowEntries, 2u);

    // Due entries with equal keys deleted from under the expiry walk (no path, so no
    // controller request is made).
    same[1]->deleteFlowSet = 3;
    same[2]->deleteFlowSet = 3;
    RBTreeTraverse(g_lbServFlowTable_tree, FINDELETE);
    EXPECT_EQ(numFlowEntries, 0u);
    EXPECT_EQ(s->numConn, 3);  // 5, less the two expiries; plain removals leave it
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.7"), 1000), nullptr);
}

TEST_F(FlowDb, UnknownLookupReturnsNullAndPrintsOnlyWithDiagnostics) {
    lbServer_node_t *s = addServer("192.0.2.11", "alpha", 10);
    ASSERT_NE(connect(s, "198.51.100.7", 1000), nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.7"), 1001), nullptr);
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.9"), 1000), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    Gv_noPrint = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.9"), 1000), nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    Gv_noPrint = 1;
    EXPECT_EQ(out, "returning NULL from lbFlowTable_getEntry\n");
}

TEST_F(FlowDb, RemovingNullOrUnknownChangesNothing) {
    lbServer_node_t *s = addServer("192.0.2.11", "alpha", 10);
    lbFlow_t *e = connect(s, "198.51.100.7", 1000);
    ASSERT_NE(e, nullptr);
    // Without the file, a rewrite would show up as a new file.
    ASSERT_EQ(unlink(LB_FLOWS_FILE), 0);

    lbFlow_t probe{};
    probe.lbClientSrcIp = ip("198.51.100.7");
    probe.lbClientSrcTcpPort = 1001;
    testing::internal::CaptureStdout();
    lbFlowTable_removeEntry(nullptr);
    lbFlowTable_removeEntry(&probe);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(lbtest::fileExists(LB_FLOWS_FILE));
    EXPECT_EQ(numFlowEntries, 1u);
    EXPECT_EQ(s->numConn, 1);
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.7"), 1000), e);

    // A probe carrying a stored key removes the stored record (and leaves the probe).
    probe.lbClientSrcTcpPort = 1000;
    lbFlowTable_removeEntry(&probe);
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.7"), 1000), nullptr);
    EXPECT_EQ(numFlowEntries, 0u);
    EXPECT_EQ(probe.lbClientSrcTcpPort, 1000);
}

TEST_F(FlowDb, UnknownWalkOperationPrintsALinePerEntry) {
    lbServer_node_t *s = addServer("192.0.2.11", "alpha", 10);
    for (int port : {1, 2, 3})
        ASSERT_NE(connect(s, "198.51.100.7", port), nullptr);
    const std::string before = flowsFile();
    for (int op : {0, 5, -1}) {
        testing::internal::CaptureStdout();
        RBTreeTraverse(g_lbServFlowTable_tree, op);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "\nNo operation\n\nNo operation\n\nNo operation\n")
            << "operation " << op;
    }
    EXPECT_EQ(numFlowEntries, 3u);
    EXPECT_EQ(flowsFile(), before);
    for (int port : {1, 2, 3})
        EXPECT_NE(lbFlowTable_getEntry(ip("198.51.100.7"), port), nullptr);
}

TEST_F(FlowDb, ListingTextOfEveryEntryInKeyOrder) {
    lbServer_node_t *a = addServer("192.0.2.11", "alpha", 10);
    lbServer_node_t *b = addServer("192.0.2.12", "bravo", 20);
    lbFlow_t *e1 = lbServFlowTable_createEntry(b, ip("10.0.0.2"), 40000, 3, kMac, 80);
    lbFlow_t *e2 = lbServFlowTable_createEntry(a, ip("10.0.1.1"), 51000, 7, kMac, 443);
    ASSERT_TRUE(e1 && e2);
    e2->lbServOutPort = 12;

    std::string out = "kept:";
    testing::internal::CaptureStdout();
    lbFlowTable_listInto(out);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // nothing goes to stdout
    const std::string want =
        "kept:"
        " lbClientSrcIp = 10.0.1.1, lbClientSrcTcpPort = 51000, lbClientInPort = 7\n"
        " lbServerSrcIp = 192.0.2.11, lbServerTcpPort = 443,lbServOutPort = 12 "
        "numFlowEntries 2 \n"
        " lbClientSrcIp = 10.0.0.2, lbClientSrcTcpPort = 40000, lbClientInPort = 3\n"
        " lbServerSrcIp = 192.0.2.12, lbServerTcpPort = 80,lbServOutPort = 0 "
        "numFlowEntries 2 \n";
    EXPECT_EQ(out, want);

    // A PRINT walk outside a listing prints the same text.
    testing::internal::CaptureStdout();
    RBTreeTraverse(g_lbServFlowTable_tree, PRINT);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), want.substr(5));

    std::string empty;
    lbFlowTable_removeEntry(e1);
    lbFlowTable_removeEntry(e2);
    lbFlowTable_listInto(empty);
    EXPECT_EQ(empty, "");
}

TEST_F(FlowDb, ReaderOfTheOldFileSeesItWhole) {
    lbServer_node_t *s = addServer("192.0.2.11", "alpha", 10);
    ASSERT_NE(connect(s, "198.51.100.7", 1000), nullptr);
    const std::string old = flowsFile();
    std::ifstream reader(LB_FLOWS_FILE);
    ASSERT_TRUE(reader.good());
    // Replacement swaps the directory entry; truncating in place would empty the file
    // under the open reader.
    ASSERT_NE(connect(s, "198.51.100.8", 1000), nullptr);
    std::string seen((std::istreambuf_iterator<char>(reader)), std::istreambuf_iterator<char>());
    EXPECT_EQ(seen, old);
    EXPECT_NE(flowsFile(), old);
}

TEST_F(FlowDb, FileModeFollowsTheUmask) {
    lbServer_node_t *s = addServer("192.0.2.11", "alpha", 10);
    mode_t saved = umask(022);
    ASSERT_NE(connect(s, "198.51.100.7", 1000), nullptr);
    umask(saved);
    struct stat st;
    ASSERT_EQ(stat(LB_FLOWS_FILE, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // readable by the viewer, like any new file
}

TEST_F(FlowDb, VanishedDirectoryKeepsTheChangeAndSaysSo) {
    lbServer_node_t *s = addServer("192.0.2.11", "alpha", 10);
    const std::string gone = lbtest::scratchDir() + "/gone";
    ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);  // the working directory no longer exists

    testing::internal::CaptureStdout();
    lbFlow_t *e = connect(s, "198.51.100.7", 1000);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Cannot write flows_new.txt: No such file or directory\n");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.7"), 1000), e);
    EXPECT_EQ(s->numConn, 1);
    EXPECT_EQ(numFlowEntries, 1u);

    testing::internal::CaptureStdout();
    lbFlowTable_removeEntry(e);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Cannot write flows_new.txt: No such file or directory\n"
              "Cannot open ServClientConf file.\n");
    EXPECT_EQ(lbFlowTable_getEntry(ip("198.51.100.7"), 1000), nullptr);
    EXPECT_EQ(numFlowEntries, 0u);
}

TEST_F(FlowDb, FailedRenameLeavesNoTemporary) {
    lbServer_node_t *s = addServer("192.0.2.11", "alpha", 10);
    const std::string dir = lbtest::scratchDir() + "/blocked";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    // A directory in the target's place: the temporary is written, the rename fails.
    ASSERT_EQ(mkdir(LB_FLOWS_FILE, 0700), 0);

    testing::internal::CaptureStdout();
    lbFlow_t *e = connect(s, "198.51.100.7", 1000);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Cannot write flows_new.txt: Is a directory\n");
    EXPECT_NE(e, nullptr);
    EXPECT_EQ(numFlowEntries, 1u);
    EXPECT_EQ(dirEntries("."), std::vector<std::string>{LB_FLOWS_FILE});
    ASSERT_EQ(rmdir(LB_FLOWS_FILE), 0);
    ASSERT_EQ(chdir(lbtest::scratchDir().c_str()), 0);
    ASSERT_EQ(rmdir(dir.c_str()), 0);
}

TEST_F(FlowDb, ReadOnlyDirectoryKeepsTheChangeAndSaysSo) {
    if (geteuid() == 0)
        GTEST_SKIP() << "directory permissions do not bind root";
    lbServer_node_t *s = addServer("192.0.2.11", "alpha", 10);
    const std::string dir = lbtest::scratchDir() + "/readonly";
    ASSERT_EQ(mkdir(dir.c_str(), 0500), 0);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    testing::internal::CaptureStdout();
    lbFlow_t *e = connect(s, "198.51.100.7", 1000);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Cannot write flows_new.txt: Permission denied\n");
    EXPECT_NE(e, nullptr);
    EXPECT_EQ(numFlowEntries, 1u);
    EXPECT_TRUE(dirEntries(".").empty());
    ASSERT_EQ(chdir(lbtest::scratchDir().c_str()), 0);
    chmod(dir.c_str(), 0700);
    rmdir(dir.c_str());
}

}  // namespace
