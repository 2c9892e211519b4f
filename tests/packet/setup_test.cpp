// Connection setup and reset teardown against the controller simulator: which rules go to
// which switch in which order, what a failed setup leaves behind, and what teardown
// re-posts and removes.
#include <gtest/gtest.h>

#include <memory>
#include <tuple>

#include "common/lbGlobals.h"
#include "controller/lbCurl/lb_getpath_restapi.h"
#include "controller/lbCurl/restApi.h"
#include "ctrlsim_fixture.h"
#include "frame_util.h"
#include "packet/lbCtrlMain.h"
#include "rawsock/lb_rawsock.h"
#include "support/lbtest_util.h"

namespace {

constexpr const char *kSimAddr = "127.0.0.61";
constexpr const char *kVip = "203.0.113.100";
constexpr int kLbPort = 6;  // the VIP host's port on s1

// s1 - s2 - s3 in a line, s4 apart. The balancer (VIP) sits on s1 port 6.
constexpr const char *kTopology = R"({
  "switches": [{"dpid": "1"}, {"dpid": "2"}, {"dpid": "3"}, {"dpid": "4"}],
  "links": [{"src": {"dpid": "1", "port": 2}, "dst": {"dpid": "2", "port": 1}},
            {"src": {"dpid": "2", "port": 2}, "dst": {"dpid": "3", "port": 1}}],
  "hosts": [{"ip": "203.0.113.100", "mac": "02:00:00:00:01:00", "dpid": "1", "port": 6},
            {"ip": "192.0.2.10", "mac": "02:00:00:00:00:10", "dpid": "1", "port": 3},
            {"ip": "192.0.2.30", "mac": "02:00:00:00:00:30", "dpid": "3", "port": 5},
            {"ip": "192.0.2.40", "mac": "02:00:00:00:00:40", "dpid": "4", "port": 2},
            {"ip": "192.0.2.6", "mac": "02:00:00:00:00:06", "dpid": "1", "port": 6}]
})";

// One flow request as "<method> <switch> <body>", the body written out here.
std::string rule(int dpid, int in, const std::string &src, int sport, const std::string &dst,
                 int dport, int out, const char *idle, const char *method = "POST") {
    char buf[512];
    snprintf(buf, sizeof buf,
             "%s %016x {\"flow\":{\"priority\":30000,\"table_id\":0,\"idle_timeout\":%s,"
             "\"match\":[{\"eth_type\":\"ipv4\"},{\"ip_proto\":\"tcp\"},{\"in_port\":%d},"
             "{\"ipv4_src\":\"%s\"},{\"tcp_src\":%d},{\"ipv4_dst\":\"%s\"},{\"tcp_dst\":%d}],"
             "\"instructions\":[{\"apply_actions\":[{\"output\":%d}]}]}}",
             method, dpid, idle, in, src.c_str(), sport, dst.c_str(), dport, out);
    return buf;
}

struct Hop {
    int dpid, in, out;
};

// The rules of a connection client:40000 -> server:80 along hops, in hop order: A-D on
// s1 (the balancer's switch), E-F elsewhere.
std::vector<std::string> rulesOf(const std::string &c, const std::string &s,
                                 const std::vector<Hop> &hops, const char *idle,
                                 const char *method = "POST") {
    std::vector<std::string> all;
    for (const Hop &h : hops) {
        if (h.dpid == 1) {
            all.push_back(rule(1, h.in, c, 40000, kVip, 80, kLbPort, idle, method));
            all.push_back(rule(1, kLbPort, c, 40000, s, 80, h.out, idle, method));
            all.push_back(rule(1, h.out, s, 80, c, 40000, kLbPort, idle, method));
            all.push_back(rule(1, kLbPort, kVip, 80, c, 40000, h.in, idle, method));
        } else {
            all.push_back(rule(h.dpid, h.in, c, 40000, s, 80, h.out, idle, method));
            all.push_back(rule(h.dpid, h.out, s, 80, c, 40000, h.in, idle, method));
        }
    }
    return all;
}

class Setup : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        sim_ = std::make_unique<lbtest::CtrlSim>(kSimAddr, kTopology);
        if (sim_->running())
            setControllerIp(sim_->ctrlAddr().c_str());
    }
    static void TearDownTestSuite() { sim_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(sim_->running());
        lbtest::resetState();
        ASSERT_TRUE(sim_->reset());
        setControllerIp(sim_->ctrlAddr().c_str());
        sim_->clearLog();
        num_pathnodes = 0;
        snprintf(g_cont1IPAddr, sizeof g_cont1IPAddr, "%s", kSimAddr);
        snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", kVip);
        auto set = [](unsigned char *dst, size_t n, const char *v) {
            snprintf(reinterpret_cast<char *>(dst), n, "%s", v);
        };
        set(g_vlanId, sizeof g_vlanId, "0");
        set(g_addFlowTmr, sizeof g_addFlowTmr, "30");
        set(g_delFlowTmr, sizeof g_delFlowTmr, "1");
        lbFlowTable_create();
    }
    void TearDown() override { lbtest::resetState(); }

    static lbServer_node_t *server(const char *addr) {
        lbServer_node_t *s = create_lbServer_node(&lbServHead);
        inet_pton(AF_INET, addr, &s->lbServIp);
        snprintf(s->server_name, sizeof s->server_name, "web-%s", addr);
        s->maxconn = 10;
        g_lbNumServers++;
        return s;
    }

    // The client's SYN from port 40000 to service port 80, already sent towards s.
    static lbtest::Bytes syn(const char *client, const lbServer_node_t *s) {
        char sip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &s->lbServIp, sip, sizeof sip);
        return lbtest::buildFrame({.srcIp = client, .dstIp = sip, .sport = 40000, .flags = 2});
    }

    // dpid: the server's switch number; the controller writes it as eight hex pairs.
    static lbFlow_t *add(const char *client, lbServer_node_t *s, int dpid, int port,
                         std::string *out = nullptr) {
        lbtest::Bytes f = syn(client, s);
        char dpidText[LB_DPID_TEXT_LEN];
        snprintf(dpidText, sizeof dpidText, "00:00:00:00:00:00:00:%02x", dpid);
        lbFlow_t *e = nullptr;
        std::string text = lbtest::printed([&] {
            e = lbAddFlow(s, f.data(), inet_addr(client), nullptr, dpidText,
                          static_cast<uint16_t>(port));
        });
        if (out != nullptr)
            *out = text;
        return e;
    }

    // Flow requests and node queries of the log, in order.
    static std::vector<std::string> flowRequests() {
        std::vector<std::string> out;
        for (const auto &r : sim_->requests()) {
            std::string path = r.value("path", "");
            if (path.find("/flows") != std::string::npos)
                out.push_back(r.value("method", "") + " " + path.substr(path.size() - 22, 16) +
                              " " + r.value("body", ""));
        }
        return out;
    }
    static int nodeQueries(const std::string &ip) {
        int n = 0;
        for (const auto &r : sim_->requests())
            n += r.value("path", "") == "/sdn/v2.0/net/nodes" &&
                 r.value("query", "").find("ip=" + ip) != std::string::npos;
        return n;
    }

    static std::unique_ptr<lbtest::CtrlSim> sim_;
};
std::unique_ptr<lbtest::CtrlSim> Setup::sim_;

TEST_F(Setup, RulesFollowThePathInHopOrder) {
    struct Case {
        const char *what, *client, *server;
        int serverDpid, serverPort;
        std::vector<Hop> hops;
    } cases[] = {
        // clang-format off
        {"client, server and balancer on one switch",
         "192.0.2.10", "198.51.100.11", 1, 4, {{1, 3, 4}}},
        {"client on the balancer's switch, server two switches away",
         "192.0.2.10", "198.51.100.13", 3, 3, {{1, 3, 2}, {2, 1, 2}, {3, 1, 3}}},
        {"server on the balancer's switch, client two switches away",
         "192.0.2.30", "198.51.100.11", 1, 4, {{3, 5, 1}, {2, 2, 1}, {1, 2, 4}}},
        // clang-format on
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        lbServer_node_t *s = server(c.server);
        lbFlow_t *e = add(c.client, s, c.serverDpid, c.serverPort);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(lbFlowTable_getEntry(inet_addr(c.client), 40000), e);
        EXPECT_EQ(s->numConn, 1);
        EXPECT_EQ(e->lbClientInPort, c.hops.front().in);
        EXPECT_EQ(e->lbServOutPort, c.serverPort);
        EXPECT_EQ(g_lbAppPort, static_cast<unsigned>(kLbPort));
        EXPECT_EQ(flowRequests(), rulesOf(c.client, c.server, c.hops, "30"));
        TearDown();
    }
}

TEST_F(Setup, FailedSetupsLeaveNothingBehind) {
    struct Case {
        const char *what, *client;
        int serverDpid, serverPort;
        const char *vip, *line;
        const char *queried;  // address whose node queries are counted
        int queries;
    } cases[] = {
        {"client at the balancer's own port", "192.0.2.6", 1, 4, kVip,
         "Client or Server Switch port same as VARNAPP Switch port6\n", "192.0.2.6", 1},
        {"server at the balancer's own port", "192.0.2.10", 1, kLbPort, kVip,
         "Client or Server Switch port same as VARNAPP Switch port6\n", "192.0.2.10", 1},
        {"VIP unknown to the controller", "192.0.2.10", 1, 4, "203.0.113.200",
         "\nPlease check lbapp connectivity with the switch\n...", "203.0.113.200", 3},
        {"client unknown to the controller", "192.0.2.77", 1, 4, kVip,
         "\nPlease check client connectivity with the switch\n...", "192.0.2.77", 3},
        {"no path from the client", "192.0.2.40", 1, 4, kVip,
         "findpath from client to lbapp failed\\n)", "192.0.2.40", 1},
        {"no path to the server", "192.0.2.10", 4, 1, kVip,
         "findpath from lbapp to server failed\\n)", "192.0.2.10", 1},
        {"path from the client found, none to the server", "192.0.2.30", 4, 1, kVip,
         "findpath from lbapp to server failed\\n)", "192.0.2.30", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", c.vip);
        lbServer_node_t *s = server("198.51.100.11");
        std::string out;
        EXPECT_EQ(add(c.client, s, c.serverDpid, c.serverPort, &out), nullptr);
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_EQ(nodeQueries(c.queried), c.queries);
        EXPECT_EQ(lbFlowTable_getEntry(inet_addr(c.client), 40000), nullptr);
        EXPECT_EQ(s->numConn, 0);
        EXPECT_EQ(numFlowEntries, 0u);
        EXPECT_EQ(num_pathnodes, 0u);
        EXPECT_TRUE(flowRequests().empty());
        TearDown();
    }
}

TEST_F(Setup, ResetTeardownRepostsEveryRuleWithTheDeletionTimeout) {
    lbServer_node_t *s = server("198.51.100.13");
    lbFlow_t *e = add("192.0.2.10", s, 3, 3);
    ASSERT_NE(e, nullptr);
    sim_->clearLog();
    lbtest::Bytes rst = syn("192.0.2.10", s);
    EXPECT_EQ(lbDelFlow(rst.data(), e, LB_TCP_RST), 3);
    EXPECT_EQ(flowRequests(),
              rulesOf("192.0.2.10", "198.51.100.13", {{1, 3, 2}, {2, 1, 2}, {3, 1, 3}}, "1"));
    EXPECT_EQ(lbFlowTable_getEntry(inet_addr("192.0.2.10"), 40000), nullptr);
    EXPECT_EQ(s->numConn, 0);
    EXPECT_EQ(g_lbNumServers, 1);  // not marked: the server stays
    // A late segment of the connection finds no entry and is left alone.
    lbtest::Bytes late = lbtest::buildFrame({.srcIp = "192.0.2.10", .dstIp = kVip, .sport = 40000});
    lbtest::Bytes before = late;
    EXPECT_EQ(lbHandleTcpOpen(nullptr, late.data(), static_cast<int>(late.size()), LB_TCP_OTHER),
              0u);
    EXPECT_EQ(late, before);
}

// Rules of idle time-out 30 may be gone 28 s after the quieter side's last frame: the next
// frame either way has them posted again along the entry's hops (and is still forwarded).
TEST_F(Setup, AFrameAfterTheRulesMayHaveAgedPostsThemAgainFirst) {
    lbFlowClock = lbtest::fakeClock;
    const int64_t t0 = lbtest::fakeNowMs = 1000000;
    static int sends = 0;
    lbPktSend = [](const uint8_t *, uint32_t) { return ++sends, 0; };
    ASSERT_NE(add("192.0.2.10", server("198.51.100.13"), 3, 3), nullptr);
    sim_->clearLog();
    lbtest::Bytes in = lbtest::buildFrame({.srcIp = "192.0.2.10", .dstIp = kVip, .sport = 40000});
    lbtest::Bytes out = lbtest::buildFrame(
        {.srcIp = "198.51.100.13", .dstIp = "192.0.2.10", .sport = 80, .dport = 40000});
    // {time, frame, reposted}; an idle time-out of 0 never ages.
    for (auto [at, f, reposts] : {std::tuple{27999, in, false},
                                  {28000, out, true},
                                  {55999, in, false},
                                  {99999999, in, false}}) {
        lbtest::fakeNowMs = t0 + at;
        if (at == 99999999)
            snprintf(reinterpret_cast<char *>(g_addFlowTmr), sizeof g_addFlowTmr, "0");
        lbHandlePktin(f.data(), static_cast<int>(f.size()));
        EXPECT_EQ(flowRequests(), reposts ? rulesOf("192.0.2.10", "198.51.100.13",
                                                    {{1, 3, 2}, {2, 1, 2}, {3, 1, 3}}, "30")
                                          : std::vector<std::string>{})
            << at;
        sim_->clearLog();
    }
    EXPECT_EQ(sends, 4);
    lbPktSend = lb_client_rawsock_send;
}

TEST_F(Setup, AServerMarkedForDeletionGoesWithItsLastConnection) {
    // Reset teardown and expiry alike remove the drained server and list the rest.
    for (bool reset : {true, false}) {
        SCOPED_TRACE(reset ? "reset" : "expiry");
        SetUp();
        server("198.51.100.12");
        lbServer_node_t *s = server("198.51.100.11");
        lbFlow_t *first = add("192.0.2.10", s, 1, 4);
        lbFlow_t *second = add("192.0.2.30", s, 1, 4);
        ASSERT_TRUE(first != nullptr && second != nullptr);
        s->delete_ = 1;
        auto end = [&](lbFlow_t *e) {
            return lbtest::printed([&] {
                if (reset) {
                    lbDelFlow(nullptr, e, LB_TCP_RST);
                } else {
                    e->deleteFlowSet = 3;
                    lbFlowDeleteTimeout(e);
                }
            });
        };
        EXPECT_EQ(end(first), "");  // one connection left: the server stays
        ASSERT_EQ(getServEntry(inet_addr("198.51.100.11"), &lbServHead), s);
        std::string listing = end(second);
        EXPECT_EQ(getServEntry(inet_addr("198.51.100.11"), &lbServHead), nullptr);
        EXPECT_EQ(g_lbNumServers, 1);
        EXPECT_NE(listing.find("SERVER_NAME SERVER-IP  MAX_CONN  SERVER_MAC  STATE  PORT\n"
                               "=============================================================\n"
                               "  web-198.51.100.12"),
                  std::string::npos)
            << listing;
        TearDown();
    }
}

}  // namespace
