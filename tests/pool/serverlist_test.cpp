// The generic list, the server list and least-connections selection.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/dlist.h"
#include "pool/lbServerList.h"
#include "support/lbtest_util.h"

namespace {

// The elements walking forward; walking backward must meet them in reverse.
std::vector<int> collect(dlist_head *head) {
    std::vector<int> fwd, back;
    for (dlist_node *n = head->next; n != head; n = n->next)
        fwd.push_back(*static_cast<int *>(n->data));
    for (dlist_node *n = head->prev; n != head; n = n->prev)
        back.insert(back.begin(), *static_cast<int *>(n->data));
    EXPECT_EQ(fwd, back) << "the ring is not linked alike both ways";
    return fwd;
}

TEST(Dlist, AppendsKeepTheirOrderAndDeletesRelinkTheNeighbours) {
    dlist_head head;
    int a = 1, b = 2, c = 3;
    ASSERT_TRUE(dlist_init(&head) == SUCCESS && dlist_empty(&head));
    for (int *x : {&a, &b, &c})
        ASSERT_EQ(dlist_addnode(x, &head), SUCCESS);
    EXPECT_EQ(collect(&head), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(dlist_delnode(&head, &head), nullptr);  // the head is not a node
    EXPECT_EQ(dlist_delnode(head.next->next, &head), &b);
    EXPECT_EQ(collect(&head), (std::vector<int>{1, 3}));
    EXPECT_EQ(dlist_delnode(head.next, &head), &a);
    EXPECT_EQ(dlist_delnode(head.next, &head), &c);
    EXPECT_TRUE(dlist_empty(&head) && collect(&head).empty());
}

class ServerList : public testing::Test {
  protected:
    void SetUp() override { lbtest::resetState(); }
    void TearDown() override { lbtest::resetState(); }
};

TEST_F(ServerList, LookupAndDeleteActOnTheFirstRecordWithTheAddress) {
    lbServer_node_t *first = lbtest::addServer("192.0.2.9", "first");
    lbtest::addServer("192.0.2.1", "other");
    lbtest::addServer("192.0.2.9", "second");
    EXPECT_EQ(lbtest::serverNames(), (std::vector<std::string>{"first", "other", "second"}));
    EXPECT_EQ(getServEntry(inet_addr("192.0.2.9"), &lbServHead), first);
    EXPECT_EQ(getServEntry(inet_addr("198.51.100.1"), &lbServHead), nullptr);

    // A separate record that only shares the address removes the listed one; an unknown
    // address changes nothing.
    lbServer_node_t probe{};
    for (const char *addr : {"192.0.2.9", "203.0.113.1"}) {
        probe.lbServIp.s_addr = inet_addr(addr);
        del_lbServer_node(&probe, &lbServHead);
        EXPECT_EQ(lbtest::serverNames(), (std::vector<std::string>{"other", "second"})) << addr;
    }
    // Passing the listed record itself frees it (ASan would flag any later use).
    del_lbServer_node(getServEntry(inet_addr("192.0.2.1"), &lbServHead), &lbServHead);
    EXPECT_EQ(lbtest::serverNames(), std::vector<std::string>{"second"});
    // Emptying frees every record (the leak checker sees any left).
    lbtest::addServer("192.0.2.3", "third");
    del_all_dlist_nodes(&lbServHead);
    EXPECT_TRUE(dlist_empty(&lbServHead));
}

TEST_F(ServerList, ListingFormatPrintsMacWithoutLeadingZeros) {
    lbServer_node_t *a = lbtest::addServer("192.0.2.10", "web1", 100);
    memcpy(a->lbServMac, "\x00\x1a\x02\x00\x00\xff", 6);
    a->lock = 1;
    a->lbSwitchPort = 47;
    lbServer_node_t *b = lbtest::addServer("198.51.100.255", "web2", 0);
    memcpy(b->lbServMac, "\x02\xAB\xcd\xef\x10\x01", 6);
    b->lbSwitchPort = 3;
    EXPECT_EQ(lbtest::printed([] {
                  printServListHeader(false);
                  printServList(&lbServHead);
                  printServList(nullptr);
                  printServListHeader(true);
              }),
              "SERVER_NAME SERVER-IP  MAX_CONN  SERVER_MAC  STATE  PORT\n"
              "=============================================================\n"
              "  web1     192.0.2.10    100   0:1a:2:0:0:ff  1   47\n"
              "  web2     198.51.100.255    0   2:ab:cd:ef:10:1  0   3\n"
              "########SERVER_NAME SERVER-IP  MAX_CONN  SERVER_MAC  STATE  PORT\n"
              "=============================================================\n");
}

TEST_F(ServerList, SelectionPicksTheLeastLoadedEligibleServer) {
    struct Server {
        const char *name;
        int numConn, maxconn, lock, unreachable, remove;
    };
    const struct {
        const char *what;
        std::vector<Server> pool;
        const char *expected;  // "" for none
    } cases[] = {
        {"empty pool", {}, ""},
        {"least connections, tie to the earlier",
         {{"A", 2, 10, 0, 0, 0}, {"B", 1, 10, 0, 0, 0}, {"C", 1, 10, 0, 0, 0}},
         "B"},
        {"maxconn 0 never chosen", {{"A", 0, 0, 0, 0, 0}, {"B", 5, 10, 0, 0, 0}}, "B"},
        {"at its limit not chosen", {{"A", 10, 10, 0, 0, 0}, {"B", 9, 10, 0, 0, 0}}, "B"},
        {"locked idle server not chosen even if the others are full",
         {{"A", 0, 10, 1, 0, 0}, {"B", 3, 3, 0, 0, 0}},
         ""},
        {"unreachable server skipped", {{"A", 0, 10, 0, 1, 0}, {"B", 4, 10, 0, 0, 0}}, "B"},
        {"server being removed drains", {{"A", 0, 10, 0, 0, 1}, {"B", 7, 10, 0, 0, 0}}, "B"},
        {"only a draining server left", {{"A", 0, 10, 0, 0, 1}}, ""},
        {"negative limit is below any count", {{"A", 0, -1, 0, 0, 0}}, ""},
    };
    for (const auto &c : cases) {
        lbtest::resetState();
        for (const Server &p : c.pool) {
            lbServer_node_t *s = lbtest::addServer("192.0.2.1", p.name, p.maxconn);
            s->numConn = p.numConn;
            s->lock = p.lock;
            s->servNotReachable = static_cast<uint8_t>(p.unreachable);
            s->delete_ = p.remove;
        }
        lbServer_node_t *got = lbGetNodeWithLessConn();
        EXPECT_STREQ(got ? got->server_name : "", c.expected) << c.what;
    }
}

}  // namespace
