// Flow expiry and bulk deletion against the controller simulator: which removals are
// sent to which switch with which bodies, when an entry goes, and the counts after.
#include <memory>
#include <string>

#include "controller/lbCurl/restApi.h"
#include "ctrlsim_fixture.h"
#include "flowtable_fixture.h"

namespace {

constexpr const char *kSimAddr = "127.0.0.57";
constexpr int kAppPort = 6;  // differs from the fixed "4" of the diagnostic lines

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

// The four rules on the own switch (A-D: client in port 3, server port 2), then the two
// on each further switch of the path (E-F: in 1, out 2 on switch 2 and out 3 on switch 3).
std::vector<std::string> threeSwitchRemovals(const char *c, int cport, const char *sv) {
    return {del(1, 3, c, cport, kVip, 80, kAppPort), del(1, kAppPort, c, cport, sv, 80, 2),
            del(1, 2, sv, 80, c, cport, kAppPort),   del(1, kAppPort, kVip, 80, c, cport, 3),
            del(2, 1, c, cport, sv, 80, 2),          del(2, 2, sv, 80, c, cport, 1),
            del(3, 1, c, cport, sv, 80, 3),          del(3, 3, sv, 80, c, cport, 1)};
}

class FlowExpiry : public FlowTableTest {
  protected:
    static void SetUpTestSuite() {
        sim_ = std::make_unique<lbtest::CtrlSim>(
            kSimAddr, R"({"switches":[{"dpid":"00:00:00:00:00:00:00:01"},)"
                      R"({"dpid":"00:00:00:00:00:00:00:02"},)"
                      R"({"dpid":"00:00:00:00:00:00:00:03"}],"links":[],"hosts":[]})");
        snprintf(g_cont1IPAddr, sizeof g_cont1IPAddr, "%s", kSimAddr);
        ASSERT_EQ(setControllerIp(sim_->ctrlAddr().c_str()), 0);
    }
    static void TearDownTestSuite() { sim_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(sim_->running());
        FlowTableTest::SetUp();
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
        for (const auto &r : sim_->requests()) {
            const std::string path = r.at("path").get<std::string>();
            if (path.find("/flows") != std::string::npos)
                out.push_back(r.at("method").get<std::string>() + " " + path + " " +
                              r.at("body").get<std::string>());
        }
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

    testing::internal::CaptureStdout();
    tick();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // diagnostics off
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), nullptr);
    EXPECT_EQ(sent(), threeSwitchRemovals("192.0.2.10", 33000, "198.51.100.11"));
    EXPECT_EQ(s1->numConn, 0);
    EXPECT_EQ(s2->numConn, 1);
    EXPECT_EQ(numFlowEntries, 1u);

    for (int i = 0; i < 4; ++i)
        tick();
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.20"), 1000), open);
    EXPECT_EQ(open->deleteFlowSet, 0);
    EXPECT_TRUE(sent().empty());
}

TEST_F(FlowExpiry, AnotherFinRestartsTheCount) {
    lbServer_node_t *s1 = addServer("198.51.100.11", "s1");
    lbFlow_t *e = connect(s1, "192.0.2.10", 33000, 3, {{2, 1, 2}});
    e->deleteFlowSet = 1;
    tick();
    e->deleteFlowSet = 1;  // second FIN with ACK one tick later
    tick();
    tick();
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), e);
    EXPECT_TRUE(sent().empty());
    tick();
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), nullptr);
    EXPECT_EQ(sent(),
              (std::vector<std::string>{del(2, 1, "192.0.2.10", 33000, "198.51.100.11", 80, 2),
                                        del(2, 2, "198.51.100.11", 80, "192.0.2.10", 33000, 1)}));
    EXPECT_EQ(s1->numConn, 0);
}

TEST_F(FlowExpiry, EmptyPathStillRemovesTheEntry) {
    lbServer_node_t *s1 = addServer("198.51.100.11", "s1");
    deleteFlowEntry(connect(s1, "192.0.2.10", 33000, 3, {}));
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), nullptr);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(s1->numConn, 0);
    EXPECT_EQ(numFlowEntries, 0u);
}

TEST_F(FlowExpiry, ShutdownWalkRemovesEveryRuleAndZeroesTheCounts) {
    lbServer_node_t *s1 = addServer("198.51.100.11", "s1");
    lbServer_node_t *s2 = addServer("198.51.100.12", "s2");
    lbFlow_t *a = connect(s1, "192.0.2.10", 33000, 3, {{1, 3, 2}, {2, 1, 2}, {3, 1, 3}});
    lbFlow_t *b = connect(s2, "192.0.2.20", 1000, 5, {{1, 5, 7}});

    RBTreeTraverse(g_lbServFlowTable_tree, DELETEALL);

    // Key order: 192.0.2.10 before 192.0.2.20.
    std::vector<std::string> want = threeSwitchRemovals("192.0.2.10", 33000, "198.51.100.11");
    const char *c = "192.0.2.20", *sv = "198.51.100.12";
    for (const std::string &d :
         {del(1, 5, c, 1000, kVip, 80, kAppPort), del(1, kAppPort, c, 1000, sv, 80, 7),
          del(1, 7, sv, 80, c, 1000, kAppPort), del(1, kAppPort, kVip, 80, c, 1000, 5)})
        want.push_back(d);
    EXPECT_EQ(sent(), want);
    EXPECT_EQ(s1->numConn, 0);
    EXPECT_EQ(s2->numConn, 0);
    EXPECT_EQ(numFlowEntries, 0u);
    // The entries stay until the tree is destroyed, with their path lists emptied.
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), a);
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.20"), 1000), b);
    EXPECT_TRUE(dlist_empty(&a->client_pathlist_hdr) && dlist_empty(&b->client_pathlist_hdr));
}

TEST_F(FlowExpiry, DiagnosticLinesInOrder) {
    lbServer_node_t *s1 = addServer("198.51.100.11", "s1");
    lbFlow_t *e = connect(s1, "192.0.2.10", 33000, 3, {{1, 3, 2}, {2, 1, 2}});
    Gv_noPrint = 0;
    testing::internal::CaptureStdout();
    deleteFlowEntry(e);
    const std::string out = testing::internal::GetCapturedStdout();
    Gv_noPrint = 1;
    const std::string url = "https://" + sim_->ctrlAddr() + "/sdn/v2.0/of/datapaths/";
    const std::string body = del(1, 3, "192.0.2.10", 33000, kVip, 80, kAppPort);
    const std::string own = "Deleting flow switc id 0000000000000001 inport ";
    const std::string other = "Deleting flow switc id 0000000000000002 inport ";
    // Other modules print their own diagnostics in between; these must come in order.
    size_t pos = 0;
    for (const std::string &line :
         {std::string("Deleting the flows in the switch 0x1 \n"),
          "URL################ " + url + "0000000000000001/flows \n",
          "Flow String################ " + body.substr(body.find('{')) + " \n",
          own + "3 outport 4\n", own + "4 outport 2\n", own + "2 outport 4\n",
          own + "4 outport 3\n", std::string("Deleting the flows in the switch 0x2 \n"),
          other + "1 outport 2\n", other + "2 outport 1\n"}) {
        size_t at = out.find(line, pos);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "in:\n" << out;
        pos = at + line.size();
    }
    EXPECT_EQ(sent().size(), 6u);
}

}  // namespace
