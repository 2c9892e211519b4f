// Flow expiry and bulk deletion against the controller simulator: which removals are
// sent to which switch with which bodies, when an entry goes, and the counts after.
#include <memory>

#include "controller/lbCurl/restApi.h"
#include "ctrlsim_fixture.h"
#include "flowtable_fixture.h"

namespace {

constexpr const char *kSimAddr = "127.0.0.57";
constexpr int kAppPort = 6;  // the balancer's port on its own switch, unlike any hop's

// One removal as "DELETE <path> <body>", the rule body written out here independently.
std::string del(int dpid, int in, const char *src, int sport, const char *dst, int dport, int out) {
    char buf[640];
    snprintf(buf, sizeof buf,
             "DELETE /sdn/v2.0/of/datapaths/%016x/flows "
             "{\"flow\":{\"priority\":30000,\"table_id\":0,\"idle_timeout\":10,\"match\":["
             "{\"eth_type\":\"ipv4\"},{\"ip_proto\":\"tcp\"},{\"in_port\":%d},"
             "{\"ipv4_src\":\"%s\"},{\"tcp_src\":%d},{\"ipv4_dst\":\"%s\"},{\"tcp_dst\":%d}],"
             "\"instructions\":[{\"apply_actions\":[{\"output\":%d}]}]}}",
             dpid, in, src, sport, dst, dport, out);
    return buf;
}

// The four rules (A-D) on the own switch: client entering at in, server reached via out.
std::vector<std::string> ownSwitch(const char *c, int cport, const char *sv, int in, int out) {
    return {del(1, in, c, cport, kVip, 80, kAppPort), del(1, kAppPort, c, cport, sv, 80, out),
            del(1, out, sv, 80, c, cport, kAppPort), del(1, kAppPort, kVip, 80, c, cport, in)};
}

// A-D (in 3, out 2), then E-F on switch 2 (in 1, out 2) and on switch 3 (in 1, out 3).
std::vector<std::string> threeSwitchRemovals(const char *c, int cport, const char *sv) {
    std::vector<std::string> all = ownSwitch(c, cport, sv, 3, 2);
    all.insert(all.end(), {del(2, 1, c, cport, sv, 80, 2), del(2, 2, sv, 80, c, cport, 1),
                           del(3, 1, c, cport, sv, 80, 3), del(3, 3, sv, 80, c, cport, 1)});
    return all;
}

class FlowExpiry : public FlowTableTest {
  protected:
    static void SetUpTestSuite() {
        sim_ = std::make_unique<lbtest::CtrlSim>(
            kSimAddr, R"({"switches":[{"dpid":"00:00:00:00:00:00:00:01"},)"
                      R"({"dpid":"00:00:00:00:00:00:00:02"},)"
                      R"({"dpid":"00:00:00:00:00:00:00:03"}],"links":[],"hosts":[]})");
        // The login retries until it gets a token: never start it without a controller.
        if (sim_->running())
            setControllerIp(sim_->ctrlAddr().c_str());
    }
    static void TearDownTestSuite() { sim_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(sim_->running());
        FlowTableTest::SetUp();
        snprintf(g_cont1IPAddr, sizeof g_cont1IPAddr, "%s", kSimAddr);
        snprintf(reinterpret_cast<char *>(g_switchDpId), sizeof g_switchDpId, "%s",
                 "00:00:00:00:00:00:00:01");
        snprintf(reinterpret_cast<char *>(g_addFlowTmr), sizeof g_addFlowTmr, "%s", "10");
        g_lbAppPort = kAppPort;
        sim_->clearLog();
    }

    static void tick() { RBTreeTraverse(g_lbServFlowTable_tree, FINDELETE); }

    // Flow requests logged since the previous call, as "METHOD path body".
    static std::vector<std::string> sent() {
        std::vector<std::string> out;
        for (const auto &r : sim_->requests())
            if (r.at("path").get<std::string>().find("/flows") != std::string::npos)
                out.push_back(r.at("method").get<std::string>() + " " +
                              r.at("path").get<std::string>() + " " +
                              r.at("body").get<std::string>());
        sim_->clearLog();
        return out;
    }

    static inline std::unique_ptr<lbtest::CtrlSim> sim_;
};

TEST_F(FlowExpiry, MarkedEntryGoesOnTheThirdTickOnly) {
    lbServer_node_t *s1 = addServer("198.51.100.11", "s1");
    lbServer_node_t *s2 = addServer("198.51.100.12", "s2");
    lbFlow_t *closing = connect(s1, "192.0.2.10", 33000, 3, {{1, 3, 2}, {2, 1, 2}, {3, 1, 3}});
    lbFlow_t *open = connect(s2, "192.0.2.20", 1000, 3, {{1, 3, 4}});
    closing->deleteFlowSet = 1;  // a FIN with ACK was seen
    for (int want : {2, 3}) {
        tick();
        EXPECT_EQ(closing->deleteFlowSet, want);
    }
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), closing);
    EXPECT_TRUE(sent().empty());

    EXPECT_EQ(printed(tick), "");  // diagnostics off
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), nullptr);
    EXPECT_EQ(sent(), threeSwitchRemovals("192.0.2.10", 33000, "198.51.100.11"));
    EXPECT_TRUE(s1->numConn == 0 && s2->numConn == 1 && numFlowEntries == 1);
    tick();  // the open entry is never touched
    EXPECT_TRUE(lbFlowTable_getEntry(ip("192.0.2.20"), 1000) == open && open->deleteFlowSet == 0);
    EXPECT_TRUE(sent().empty());
}

TEST_F(FlowExpiry, AnotherFinRestartsTheCountAndAnEmptyPathStillGoes) {
    lbServer_node_t *s1 = addServer("198.51.100.11", "s1");
    lbFlow_t *e = connect(s1, "192.0.2.10", 33000, 3, {{2, 1, 2}});
    e->deleteFlowSet = 1;
    tick();
    e->deleteFlowSet = 1;  // second FIN with ACK one tick later
    tick();
    tick();
    EXPECT_TRUE(lbFlowTable_getEntry(ip("192.0.2.10"), 33000) == e && sent().empty());
    tick();
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), nullptr);
    EXPECT_EQ(sent(),
              (std::vector<std::string>{del(2, 1, "192.0.2.10", 33000, "198.51.100.11", 80, 2),
                                        del(2, 2, "198.51.100.11", 80, "192.0.2.10", 33000, 1)}));
    EXPECT_EQ(s1->numConn, 0);

    // An empty path: no request, the entry still goes.
    deleteFlowEntry(connect(s1, "192.0.2.10", 33000, 3, {}));
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), nullptr);
    EXPECT_TRUE(sent().empty());
    EXPECT_TRUE(s1->numConn == 0 && numFlowEntries == 0);
}

TEST_F(FlowExpiry, ShutdownWalkRemovesEveryRuleAndZeroesTheCounts) {
    lbServer_node_t *s1 = addServer("198.51.100.11", "s1");
    lbServer_node_t *s2 = addServer("198.51.100.12", "s2");
    lbFlow_t *a = connect(s1, "192.0.2.10", 33000, 3, {{1, 3, 2}, {2, 1, 2}, {3, 1, 3}});
    lbFlow_t *b = connect(s2, "192.0.2.20", 1000, 5, {{1, 5, 7}});

    RBTreeTraverse(g_lbServFlowTable_tree, DELETEALL);

    // Key order: 192.0.2.10 before 192.0.2.20.
    std::vector<std::string> want = threeSwitchRemovals("192.0.2.10", 33000, "198.51.100.11");
    const std::vector<std::string> second = ownSwitch("192.0.2.20", 1000, "198.51.100.12", 5, 7);
    want.insert(want.end(), second.begin(), second.end());
    EXPECT_EQ(sent(), want);
    EXPECT_TRUE(s1->numConn == 0 && s2->numConn == 0 && numFlowEntries == 0);
    // The entries stay until the tree is destroyed, with their path lists emptied.
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), a);
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.20"), 1000), b);
    EXPECT_TRUE(dlist_empty(&a->client_pathlist_hdr) && dlist_empty(&b->client_pathlist_hdr));
}

}  // namespace
