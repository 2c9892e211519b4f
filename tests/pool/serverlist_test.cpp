// The generic list, the server list and least-connections selection.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/dlist.h"
#include "pool/lbServerList.h"

namespace {

std::vector<int> collect(dlist_head *head) {
    std::vector<int> out;
    for (dlist_node *n = head->next; n != head; n = n->next)
        out.push_back(*static_cast<int *>(n->data));
    return out;
}

TEST(Dlist, AppendsKeepInsertionOrderAndRingIsClosedThroughTheHead) {
    dlist_head head;
    ASSERT_EQ(dlist_init(&head), SUCCESS);
    EXPECT_EQ(dlist_firstnodedata(&head), nullptr);
    EXPECT_TRUE(dlist_empty(&head));

    int a = 1, b = 2, c = 3;
    ASSERT_EQ(dlist_addnode(&a, &head), SUCCESS);
    // A single node is first and last at once.
    EXPECT_EQ(head.next, head.prev);
    EXPECT_EQ(head.next->next, &head);
    EXPECT_EQ(head.next->prev, &head);
    dlist_addnode(&b, &head);
    dlist_addnode(&c, &head);
    EXPECT_EQ(collect(&head), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(head.data, nullptr);
    // Walking backwards meets the same nodes in reverse.
    EXPECT_EQ(*static_cast<int *>(head.prev->data), 3);
    EXPECT_EQ(*static_cast<int *>(head.prev->prev->data), 2);

    // Deleting the middle node relinks its neighbours and hands back the element.
    EXPECT_EQ(dlist_delnode(head.next->next, &head), &b);
    EXPECT_EQ(collect(&head), (std::vector<int>{1, 3}));
    EXPECT_EQ(dlist_delnode(head.next, &head), &a);
    EXPECT_EQ(dlist_delnode(head.next, &head), &c);
    EXPECT_TRUE(dlist_empty(&head));
    EXPECT_EQ(head.next, &head);
    EXPECT_EQ(head.prev, &head);
}

TEST(Dlist, NullAndEmptyArgumentsAreRefusedWithoutHarm) {
    dlist_head head;
    dlist_init(&head);
    int x = 7;
    EXPECT_EQ(dlist_init(nullptr), NULLPOINTER_ERROR);
    EXPECT_EQ(dlist_addnode(&x, nullptr), NULLPOINTER_ERROR);
    EXPECT_EQ(dlist_delnode(nullptr, &head), nullptr);
    EXPECT_EQ(dlist_firstnodedata(nullptr), nullptr);
    EXPECT_EQ(dlist_getnodedata(head.next, &head), nullptr);  // empty list
    // The head is not a node: "deleting" it must leave the ring intact.
    EXPECT_EQ(dlist_delnode(&head, &head), nullptr);
    dlist_addnode(&x, &head);
    EXPECT_EQ(dlist_delnode(head.next, nullptr), nullptr);
    EXPECT_EQ(dlist_getnodedata(head.next, &head), &x);
    EXPECT_EQ(dlist_getnodedata(nullptr, &head), nullptr);
    EXPECT_EQ(collect(&head), std::vector<int>{7});
    dlist_delnode(head.next, &head);
}

class ServerList : public testing::Test {
  protected:
    void SetUp() override { Server_list_init(); }
    void TearDown() override { delete_all_lbServerNodes(); }

    lbServer_node_t *add(const char *name, const char *ip, int maxconn = 10, int numConn = 0) {
        lbServer_node_t *s = create_lbServer_node(&lbServHead);
        EXPECT_NE(s, nullptr);
        snprintf(s->server_name, sizeof s->server_name, "%s", name);
        inet_pton(AF_INET, ip, &s->lbServIp);
        s->maxconn = maxconn;
        s->numConn = numConn;
        return s;
    }
    static uint32_t ip(const char *text) { return inet_addr(text); }
    static std::vector<std::string> names() {
        std::vector<std::string> out;
        for (dlist_node *n = lbServHead.next; n != &lbServHead; n = n->next)
            out.push_back(static_cast<lbServer_node_t *>(n->data)->server_name);
        return out;
    }
};

TEST_F(ServerList, NewRecordsAreZeroedAndAppended) {
    lbServer_node_t *a = add("a", "192.0.2.1");
    EXPECT_EQ(a->lock, 0);
    EXPECT_EQ(a->valid, 0);
    EXPECT_EQ(a->delete_, 0);
    EXPECT_EQ(a->servNotReachable, 0);
    EXPECT_EQ(a->lbClusterIp.s_addr, 0u);
    add("b", "192.0.2.2");
    add("c", "192.0.2.3");
    EXPECT_EQ(names(), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(ServerList, LookupAndDeleteActOnTheFirstRecordWithTheAddress) {
    lbServer_node_t *first = add("first", "192.0.2.9");
    add("other", "192.0.2.1");
    add("second", "192.0.2.9");
    EXPECT_EQ(getServEntry(ip("192.0.2.9"), &lbServHead), first);
    EXPECT_EQ(getServEntry(ip("198.51.100.1"), &lbServHead), nullptr);
    EXPECT_EQ(getServEntry(ip("192.0.2.9"), nullptr), nullptr);

    // A separate record that only shares the address removes the listed one.
    lbServer_node_t probe{};
    probe.lbServIp.s_addr = ip("192.0.2.9");
    del_lbServer_node(&probe, &lbServHead);
    EXPECT_EQ(names(), (std::vector<std::string>{"other", "second"}));

    // Unknown address and null head change nothing.
    probe.lbServIp.s_addr = ip("203.0.113.1");
    del_lbServer_node(&probe, &lbServHead);
    del_lbServer_node(&probe, nullptr);
    EXPECT_EQ(names(), (std::vector<std::string>{"other", "second"}));

    // Passing the listed record itself frees it (ASan would flag any later use).
    del_lbServer_node(getServEntry(ip("192.0.2.1"), &lbServHead), &lbServHead);
    EXPECT_EQ(names(), std::vector<std::string>{"second"});
}

TEST_F(ServerList, DeleteAllEmptiesTheListAndFreesEveryRecord) {
    add("a", "192.0.2.1");
    add("b", "192.0.2.2");
    add("c", "192.0.2.3");
    del_all_dlist_nodes(&lbServHead);
    EXPECT_TRUE(dlist_empty(&lbServHead));
    del_all_dlist_nodes(nullptr);
    // A list of heap elements of another kind is emptied the same way.
    dlist_head other;
    dlist_init(&other);
    dlist_addnode(malloc(8), &other);
    dlist_addnode(malloc(8), &other);
    del_lbServer(&other);
    EXPECT_TRUE(dlist_empty(&other));
}

TEST_F(ServerList, ListingFormatPrintsMacWithoutLeadingZeros) {
    lbServer_node_t *a = add("web1", "192.0.2.10", 100);
    const unsigned char mac[6] = {0x00, 0x1a, 0x02, 0x00, 0x00, 0xff};
    memcpy(a->lbServMac, mac, 6);
    a->lock = 1;
    a->lbSwitchPort = 47;
    lbServer_node_t *b = add("web2", "198.51.100.255", 0);
    const unsigned char mac2[6] = {0x02, 0xAB, 0xcd, 0xef, 0x10, 0x01};
    memcpy(b->lbServMac, mac2, 6);
    b->lbSwitchPort = 3;

    testing::internal::CaptureStdout();
    printServListHeader(false);
    printServList(&lbServHead);
    printServListHeader(true);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "SERVER_NAME SERVER-IP  MAX_CONN  SERVER_MAC  STATE  PORT\n"
              "=============================================================\n"
              "  web1     192.0.2.10    100   0:1a:2:0:0:ff  1   47\n"
              "  web2     198.51.100.255    0   2:ab:cd:ef:10:1  0   3\n"
              "########SERVER_NAME SERVER-IP  MAX_CONN  SERVER_MAC  STATE  PORT\n"
              "=============================================================\n");
}

// Selection: each row is a pool, the expected choice by name ("" for none).
struct PoolServer {
    const char *name;
    int numConn, maxconn, lock, notReachable, deleteMark;
};
struct SelectionCase {
    const char *what;
    std::vector<PoolServer> pool;
    const char *expected;
};

TEST_F(ServerList, SelectionPicksTheLeastLoadedEligibleServer) {
    const std::vector<SelectionCase> cases = {
        {"empty pool", {}, ""},
        {"least connections, tie to the earlier",
         {{"A", 2, 10, 0, 0, 0}, {"B", 1, 10, 0, 0, 0}, {"C", 1, 10, 0, 0, 0}},
         "B"},
        {"maxconn 0 never chosen", {{"A", 0, 0, 0, 0, 0}, {"B", 5, 10, 0, 0, 0}}, "B"},
        {"at its limit not chosen, below it chosen",
         {{"A", 10, 10, 0, 0, 0}, {"B", 9, 10, 0, 0, 0}},
         "B"},
        {"locked idle server not chosen even if all others are full",
         {{"A", 0, 10, 1, 0, 0}, {"B", 3, 3, 0, 0, 0}},
         ""},
        {"unreachable server skipped", {{"A", 0, 10, 0, 1, 0}, {"B", 4, 10, 0, 0, 0}}, "B"},
        {"server being removed drains: takes no new connection",
         {{"A", 0, 10, 0, 0, 1}, {"B", 7, 10, 0, 0, 0}},
         "B"},
        {"only a draining server left", {{"A", 0, 10, 0, 0, 1}}, ""},
        {"negative limit is below any count", {{"A", 0, -1, 0, 0, 0}}, ""},
    };
    for (const auto &c : cases) {
        delete_all_lbServerNodes();
        int n = 0;
        for (const auto &p : c.pool) {
            char addr[32];
            snprintf(addr, sizeof addr, "192.0.2.%d", ++n);
            lbServer_node_t *s = add(p.name, addr, p.maxconn, p.numConn);
            s->lock = p.lock;
            s->servNotReachable = static_cast<uint8_t>(p.notReachable);
            s->delete_ = p.deleteMark;
        }
        lbServer_node_t *got = lbGetNodeWithLessConn();
        EXPECT_STREQ(got ? got->server_name : "", c.expected) << c.what;
    }
}

}  // namespace
