// The controller client against the simulator: the requests on the wire, the replies
// read back, token recovery and HTTP error reports. One simulator for the suite on
// 127.0.0.32:8443; the client logs in once, as start-up does.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "controller/lbCurl/lb_getpath_restapi.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "controller/lbCurl/restApi.h"
#include "ctrlsim_fixture.h"
#include "packet/lbApp.h"
#include "packet/lbCtrlMsg.h"
#include "pool/lbCtrlApi.h"
#include "support/lbtest_util.h"

namespace {

using nlohmann::json;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const char kAddr[] = "127.0.0.32";
const char kCtrl[] = "127.0.0.32:8443";
const char kLoginBody[] = R"({"login":{"user":"sdn","password":"quorbit","domain":"sdn"}})";
const char kS1[] = "00:00:00:00:00:00:00:01";
const char kS2[] = "00:00:00:00:00:00:00:02";
const char kS3[] = "00:00:00:00:00:00:00:03";
// A separate chain of switches 0x1000, 0x1001, ... for long paths.
constexpr int kChain = LB_MAX_PATHNODES + 20;

std::string dpidText(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x",
             static_cast<unsigned>(v >> 56 & 0xff), static_cast<unsigned>(v >> 48 & 0xff),
             static_cast<unsigned>(v >> 40 & 0xff), static_cast<unsigned>(v >> 32 & 0xff),
             static_cast<unsigned>(v >> 24 & 0xff), static_cast<unsigned>(v >> 16 & 0xff),
             static_cast<unsigned>(v >> 8 & 0xff), static_cast<unsigned>(v & 0xff));
    return buf;
}

// s1 -(2:1)- s2 -(2:1)- s3; the client on s1:3, the VIP on s2:3, a server on s3:3, an
// address attached twice (s3:7 first, s1:8 second); a chain for long paths, each link
// leaving at port 2 and entering at port 1.
std::string topology() {
    json t;
    t["switches"] = json::array({{{"dpid", kS1}}, {{"dpid", kS2}}, {{"dpid", kS3}}});
    auto link = [](const std::string &a, int pa, const std::string &b, int pb) {
        return json{{"src", {{"dpid", a}, {"port", pa}}}, {"dst", {{"dpid", b}, {"port", pb}}}};
    };
    t["links"] = json::array({link(kS1, 2, kS2, 1), link(kS2, 2, kS3, 1)});
    for (int i = 0; i < kChain; ++i) {
        t["switches"].push_back({{"dpid", dpidText(0x1000 + i)}});
        if (i > 0)
            t["links"].push_back(link(dpidText(0x1000 + i - 1), 2, dpidText(0x1000 + i), 1));
    }
    auto host = [](const char *ip, const char *mac, const char *dpid, int port) {
        return json{{"ip", ip}, {"mac", mac}, {"vid", 0}, {"dpid", dpid}, {"port", port}};
    };
    t["hosts"] = json::array({host("192.0.2.10", "02:00:00:00:00:10", kS1, 3),
                              host("203.0.113.100", "02:00:00:00:01:00", kS2, 3),
                              host("198.51.100.11", "02:00:00:00:00:11", kS3, 3),
                              host("198.51.100.20", "02:00:00:00:00:20", kS3, 7),
                              host("198.51.100.20", "02:00:00:00:00:21", kS1, 8)});
    return t.dump();
}

std::string tokenValue() {
    return std::string(TOKEN + strlen("X-Auth-Token:"));
}

std::string nodesUrl(const char *ip) {
    return std::string("https://") + kCtrl + "/sdn/v2.0/net/nodes?vid=0&ip=" + ip;
}

NODE_DATA presetNode() {
    NODE_DATA rec;
    snprintf(rec.node_ip, sizeof rec.node_ip, "NULL");
    snprintf(rec.switch_dpid, sizeof rec.switch_dpid, "NULL");
    rec.node_port = 0;
    return rec;
}

// Query answered quietly: the nodes reply prints its four lines whatever the settings.
NODE_DATA queryNode(const char *ip) {
    NODE_DATA rec = presetNode();
    CaptureStdout();
    getSwitchFlow(nodesUrl(ip).c_str(), &rec);
    GetCapturedStdout();
    return rec;
}

std::string flowBody(const char *idle) {
    char body[LB_FLOW_BODY_LEN];
    EXPECT_GT(format_string_flow(body, sizeof body, "192.0.2.10", "40000", "3", "203.0.113.100",
                                 "80", "2", idle),
              0);
    return body;
}

std::string flowUrl(const char *dpid16) {
    char url[LB_FLOW_URL_LEN];
    EXPECT_GT(create_url(url, sizeof url, kAddr, dpid16, "v2.0"), 0);
    return url;
}

class RestSim : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        sim_ = new lbtest::CtrlSim(kAddr, topology());
        if (!sim_->running())
            return;
        CaptureStdout();
        setControllerIp(kCtrl);
        loginOutput_ = new std::string(GetCapturedStdout());
    }
    static void TearDownTestSuite() {
        delete sim_;
        sim_ = nullptr;
        delete loginOutput_;
        loginOutput_ = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(sim_, nullptr);
        ASSERT_TRUE(sim_->running());
        num_pathnodes = 0;
    }
    void TearDown() override {
        sim_->control({{"fault", "none"}, {"token_expire_after", 0}});
        num_pathnodes = 0;
    }
    static lbtest::CtrlSim *sim_;
    static std::string *loginOutput_;
};
lbtest::CtrlSim *RestSim::sim_ = nullptr;
std::string *RestSim::loginOutput_ = nullptr;

// Must stay first: it reads the start-up login from the request log.
TEST_F(RestSim, StartupLoginRequestAndTokenHeaderOfLaterRequests) {
    auto reqs = sim_->requests();
    ASSERT_EQ(reqs.size(), 1u);
    const json &login = reqs[0];
    EXPECT_EQ(login["method"], "POST");
    EXPECT_EQ(login["path"], "/sdn/v2.0/auth");
    EXPECT_EQ(login["query"], "");
    EXPECT_EQ(lbtest::headerValue(login, "Host"), kCtrl);
    EXPECT_EQ(login["body"], kLoginBody);
    EXPECT_EQ(login["status"], 200);
    EXPECT_EQ(lbtest::headerValue(login, "Content-Type"), "application/json");
    int tokenAt;
    lbtest::headerValue(login, "X-Auth-Token", &tokenAt);
    EXPECT_EQ(tokenAt, -1) << "the login carries no token header";

    // The token comes from the login reply, logged in token_gen.log.
    auto reply = json::parse(lbtest::readFile("token_gen.log"), nullptr, false);
    ASSERT_FALSE(reply.is_discarded());
    std::string token = reply["record"]["token"];
    ASSERT_EQ(token.size(), 32u);
    EXPECT_EQ(std::string(TOKEN), "X-Auth-Token:" + token);
    EXPECT_EQ(*loginOutput_, "Receved token:X-Auth-Token:" + token + "\n");

    sim_->clearLog();
    queryNode("192.0.2.10");
    reqs = sim_->requests();
    ASSERT_EQ(reqs.size(), 1u);
    int typeAt;
    EXPECT_EQ(lbtest::headerValue(reqs[0], "Content-Type", &typeAt), "application/json");
    EXPECT_EQ(lbtest::headerValue(reqs[0], "X-Auth-Token", &tokenAt), token);
    EXPECT_GE(typeAt, 0);
    EXPECT_GT(tokenAt, typeAt) << "content type first, then the token";
}

TEST_F(RestSim, FlowInstallAndRemovalCarryTheBodyWithTheirMethods) {
    const std::string url = flowUrl("0000000000000002");
    const std::string body = flowBody("60");
    sim_->clearLog();
    EXPECT_EQ(setSwitchFlow(url.c_str(), body.c_str()), 0);
    json installed = sim_->flows("0000000000000002");
    ASSERT_TRUE(installed.is_array());
    ASSERT_EQ(installed.size(), 1u);
    EXPECT_EQ(installed[0], json::parse(body));

    EXPECT_EQ(delelteSwitchFlow(url.c_str(), body.c_str()), 0);
    EXPECT_EQ(sim_->flows("0000000000000002"), json::array());

    auto reqs = sim_->requests();
    ASSERT_EQ(reqs.size(), 2u);
    const char *methods[] = {"POST", "DELETE"};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(reqs[i]["method"], methods[i]);
        EXPECT_EQ(reqs[i]["path"], "/sdn/v2.0/of/datapaths/0000000000000002/flows");
        EXPECT_EQ(reqs[i]["body"], body);
        EXPECT_EQ(lbtest::headerValue(reqs[i], "Content-Type"), "application/json");
        EXPECT_EQ(lbtest::headerValue(reqs[i], "X-Auth-Token"), tokenValue());
        EXPECT_LT(reqs[i]["status"].get<int>(), 400);
    }
}

TEST_F(RestSim, ErrorStatusIsReportedButTheResultStaysZero) {
    // Removing a rule the switch does not hold is answered 404.
    const std::string url = flowUrl("0000000000000003");
    const std::string body = flowBody("5");
    CaptureStderr();
    EXPECT_EQ(delelteSwitchFlow(url.c_str(), body.c_str()), 0);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("DELETE " + url + ": HTTP status 404"), std::string::npos) << err;

    sim_->control({{"fault", "status500"}});
    CaptureStderr();
    NODE_DATA rec = presetNode();
    CaptureStdout();
    EXPECT_EQ(getSwitchFlow(nodesUrl("192.0.2.10").c_str(), &rec), 0);
    GetCapturedStdout();
    err = GetCapturedStderr();
    EXPECT_NE(err.find("GET " + nodesUrl("192.0.2.10") + ": HTTP status 500"), std::string::npos)
        << err;
    EXPECT_STREQ(rec.switch_dpid, "NULL");
    EXPECT_EQ(rec.node_port, 0);
}

TEST_F(RestSim, NodeRepliesFillTheRecordFromTheFirstHost) {
    struct {
        const char *ip;
        const char *what;
        const char *dpid;
        int64_t port;
    } cases[] = {
        {"192.0.2.10", "one host", kS1, 3},
        {"198.51.100.20", "several hosts: the first", kS3, 7},
        {"198.51.100.99", "empty nodes: pre-set values", "NULL", 0},
    };
    for (const auto &c : cases) {
        NODE_DATA rec = presetNode();
        CaptureStdout();
        EXPECT_EQ(getSwitchFlow(nodesUrl(c.ip).c_str(), &rec), 0);
        std::string out = GetCapturedStdout();
        EXPECT_STREQ(rec.switch_dpid, c.dpid) << c.what;
        EXPECT_EQ(rec.node_port, c.port) << c.what;
        EXPECT_STREQ(rec.node_ip, "NULL") << c.what;
        EXPECT_NE(out.find("Get:: Receved port:" + std::to_string(c.port) + "\n"),
                  std::string::npos)
            << c.what << ": " << out;
    }
    // Every reply went to get.out, one after the other.
    std::string log = lbtest::readFile("get.out");
    EXPECT_NE(log.find("02:00:00:00:00:20"), std::string::npos);
    EXPECT_NE(log.find("{\"nodes\": []}"), std::string::npos) << log;
}

TEST_F(RestSim, NotJsonReplyLeavesTheRecordPreset) {
    sim_->control({{"fault", "not_json"}});
    NODE_DATA rec = presetNode();
    CaptureStdout();
    getSwitchFlow(nodesUrl("192.0.2.10").c_str(), &rec);
    EXPECT_EQ(GetCapturedStdout(), "nx_json_get returned null for GetWriteMemoryCallback\n");
    EXPECT_STREQ(rec.switch_dpid, "NULL");
    EXPECT_EQ(rec.node_port, 0);
}

struct Hop {
    uint64_t dpid;
    uint32_t in, out;
    bool operator==(const Hop &o) const { return dpid == o.dpid && in == o.in && out == o.out; }
};
std::ostream &operator<<(std::ostream &os, const Hop &h) {
    return os << "{" << h.dpid << " in " << h.in << " out " << h.out << "}";
}
std::vector<Hop> hops(dlist_head *list) {
    std::vector<Hop> out;
    for (dlist_node *n = list->next; n != list; n = n->next) {
        auto *h = static_cast<pathlist_node_t *>(n->data);
        out.push_back({h->node_dpid, h->in_port, h->out_port});
    }
    return out;
}

TEST_F(RestSim, PathQueriesOfOneAndTwoLinks) {
    sim_->clearLog();
    EXPECT_EQ(lb_findpath(nullptr, kS1, kS2, kCtrl, 0, 0), 1u);
    ASSERT_EQ(num_pathnodes, 1u);
    EXPECT_EQ(pathlist_nodes[0].src_dpid, 1u);
    EXPECT_EQ(pathlist_nodes[0].src_port, 2u);
    EXPECT_EQ(pathlist_nodes[0].dst_dpid, 2u);
    EXPECT_EQ(pathlist_nodes[0].dst_port, 1u);
    auto reqs = sim_->requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0]["method"], "GET");
    EXPECT_EQ(reqs[0]["path"], "/sdn/v2.0/net/paths/forward");
    EXPECT_EQ(reqs[0]["query"], std::string("src_dpid=") + kS1 + "&dst_dpid=" + kS2);

    num_pathnodes = 0;
    EXPECT_EQ(lb_findpath(nullptr, kS1, kS3, kCtrl, 0, 0), 2u);
    dlist_head list;
    EXPECT_NE(create_pathlist(&list, kS1, kS3, kCtrl, 5, 6), 0);
    EXPECT_EQ(hops(&list), (std::vector<Hop>{{1, 5, 2}, {2, 1, 2}, {3, 1, 6}}));
    del_pathlist(&list);
}

TEST_F(RestSim, TwoQueriesGatheredThenBuiltIntoHops) {
    // Client on s1 port 3, balancer on s2, server on s3 port 3.
    EXPECT_EQ(lb_findpath(nullptr, kS1, kS2, kCtrl, 3, 3), 1u);
    EXPECT_EQ(lb_findpath(nullptr, kS2, kS3, kCtrl, 3, 3), 2u);
    // A query that finds nothing keeps the count of the earlier one.
    EXPECT_EQ(lb_findpath(nullptr, kS2, "00:00:00:00:00:00:00:99", kCtrl, 3, 3), 2u);
    dlist_head list;
    EXPECT_NE(create_pathlist(&list, kS1, kS3, kCtrl, 3, 3), 0);
    EXPECT_EQ(hops(&list), (std::vector<Hop>{{1, 3, 2}, {2, 1, 2}, {3, 1, 3}}));
    EXPECT_EQ(num_pathnodes, 0u);
    del_pathlist(&list);
}

TEST_F(RestSim, LongPathArrivesInSeveralDeliveriesAndIsJoined) {
    // 400 links make a reply of about 40 kB, more than one delivery carries.
    const int links = 400;
    std::string last = dpidText(0x1000 + links);
    EXPECT_EQ(lb_findpath(nullptr, dpidText(0x1000).c_str(), last.c_str(), kCtrl, 0, 0),
              static_cast<uint32_t>(links));
    ASSERT_EQ(num_pathnodes, static_cast<uint32_t>(links));
    for (int i = 0; i < links; ++i) {
        ASSERT_EQ(pathlist_nodes[i].src_dpid, 0x1000u + i) << i;
        ASSERT_EQ(pathlist_nodes[i].dst_dpid, 0x1000u + i + 1) << i;
        ASSERT_EQ(pathlist_nodes[i].src_port, 2u) << i;
        ASSERT_EQ(pathlist_nodes[i].dst_port, 1u) << i;
    }
    EXPECT_GT(lbtest::readFile("get_path.out").size(), 16384u);
}

TEST_F(RestSim, PathBeyondTheLinkTableFailsTheQueryAndEmptiesTheTable) {
    EXPECT_EQ(lb_findpath(nullptr, kS1, kS2, kCtrl, 0, 0), 1u);
    std::string last = dpidText(0x1000 + kChain - 1);
    CaptureStderr();
    EXPECT_EQ(lb_findpath(nullptr, dpidText(0x1000).c_str(), last.c_str(), kCtrl, 0, 0), 0u);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("further links dropped"), std::string::npos) << err;
    EXPECT_EQ(num_pathnodes, 0u);
    // The next set-up starts clean.
    EXPECT_EQ(lb_findpath(nullptr, kS2, kS3, kCtrl, 0, 0), 1u);
}

TEST_F(RestSim, ExpiredTokenIsRenewedAndTheRequestRepeatedOnce) {
    const std::string oldToken = tokenValue();
    ASSERT_TRUE(sim_->control({{"expire_tokens", true}}));
    sim_->clearLog();
    CaptureStderr();
    NODE_DATA rec = queryNode("198.51.100.11");
    GetCapturedStderr();
    EXPECT_STREQ(rec.switch_dpid, kS3);
    EXPECT_EQ(rec.node_port, 3);
    EXPECT_NE(tokenValue(), oldToken);

    auto reqs = sim_->requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0]["path"], "/sdn/v2.0/net/nodes");
    EXPECT_EQ(reqs[0]["status"], 401);
    EXPECT_EQ(lbtest::headerValue(reqs[0], "X-Auth-Token"), oldToken);
    EXPECT_EQ(reqs[1]["path"], "/sdn/v2.0/auth");
    EXPECT_EQ(reqs[1]["body"], kLoginBody);
    EXPECT_EQ(reqs[2]["path"], "/sdn/v2.0/net/nodes");
    EXPECT_EQ(reqs[2]["status"], 200);
    EXPECT_EQ(lbtest::headerValue(reqs[2], "X-Auth-Token"), tokenValue());
}

TEST_F(RestSim, TokenExpiryMidRunKeepsFlowsGoing) {
    // Each token serves two requests; six installs need three logins.
    ASSERT_TRUE(sim_->control({{"token_expire_after", 2}}));
    sim_->clearLog();
    const std::string url = flowUrl("0000000000000001");
    CaptureStderr();
    CaptureStdout();
    for (int i = 0; i < 6; ++i) {
        std::string body = flowBody(std::to_string(10 + i).c_str());
        EXPECT_EQ(setSwitchFlow(url.c_str(), body.c_str()), 0);
    }
    GetCapturedStdout();
    GetCapturedStderr();
    int installs = 0, logins = 0;
    for (const auto &r : sim_->requests()) {
        if (r["path"] == "/sdn/v2.0/auth")
            ++logins;
        if (r["method"] == "POST" && r["status"] == 201)
            ++installs;
    }
    EXPECT_EQ(installs, 6);
    EXPECT_EQ(logins, 2);
    // Same match each time: the last install replaced the others.
    json flows = sim_->flows("0000000000000001");
    ASSERT_EQ(flows.size(), 1u);
    EXPECT_EQ(flows[0]["flow"]["idle_timeout"], 15);
}

TEST_F(RestSim, FailedRenewalIsNotRepeatedAndKeepsTheOldToken) {
    const std::string oldToken = tokenValue();
    ASSERT_TRUE(sim_->control({{"expire_tokens", true}, {"fault", "no_token"}}));
    sim_->clearLog();
    CaptureStderr();
    NODE_DATA rec = queryNode("192.0.2.10");
    std::string err = GetCapturedStderr();
    EXPECT_EQ(rec.node_port, 0);
    EXPECT_EQ(tokenValue(), oldToken);
    auto reqs = sim_->requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0]["status"], 401);
    EXPECT_EQ(reqs[1]["path"], "/sdn/v2.0/auth");
    EXPECT_NE(err.find("GET " + nodesUrl("192.0.2.10") + ": HTTP status 401"), std::string::npos)
        << err;
}

TEST_F(RestSim, LoginFailsWithoutATokenAndSucceedsWithOne) {
    const std::string before = tokenValue();
    struct {
        const char *fault;
        const char *what;
    } failing[] = {{"no_token", "reply without token"},
                   {"not_json", "reply not JSON"},
                   {"status500", "HTTP error status"}};
    for (const auto &f : failing) {
        ASSERT_TRUE(sim_->control({{"fault", f.fault}}));
        CaptureStderr();
        CaptureStdout();
        EXPECT_EQ(genToken(), -1) << f.what;
        GetCapturedStdout();
        GetCapturedStderr();
        EXPECT_EQ(tokenValue(), before) << f.what;
    }
    ASSERT_TRUE(sim_->control({{"fault", "none"}}));
    CaptureStdout();
    EXPECT_EQ(genToken(), 0);
    GetCapturedStdout();
    EXPECT_EQ(tokenValue().size(), 32u);
    EXPECT_NE(tokenValue(), before);
}

TEST_F(RestSim, ApplicationPortOfTheVip) {
    snprintf(g_cont1IPAddr, sizeof g_cont1IPAddr, "%s", kAddr);
    snprintf(reinterpret_cast<char *>(g_vlanId), sizeof g_vlanId, "0");
    snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "203.0.113.100");
    sim_->clearLog();
    CaptureStdout();
    EXPECT_EQ(setlbAppPort(), 0);
    GetCapturedStdout();
    EXPECT_EQ(g_lbAppPort, 3u);
    EXPECT_STREQ(reinterpret_cast<char *>(g_switchDpId), kS2);
    auto reqs = sim_->requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0]["path"], "/sdn/v2.0/net/nodes");
    EXPECT_EQ(reqs[0]["query"], "vid=0&ip=203.0.113.100");

    // A VIP the controller does not know.
    snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "203.0.113.101");
    CaptureStdout();
    EXPECT_EQ(setlbAppPort(), -1);
    GetCapturedStdout();
    EXPECT_EQ(g_lbAppPort, 0u);
    EXPECT_STREQ(reinterpret_cast<char *>(g_switchDpId), "NULL");
}

TEST_F(RestSim, HungControllerTimesOut) {
    // Replies delayed beyond the total time-out: the query gives up and the record
    // keeps its pre-set values.
    ASSERT_TRUE(sim_->control({{"delay", LB_REST_TIMEOUT_S + 3}}));
    NODE_DATA rec = presetNode();
    CaptureStderr();
    getSwitchFlow(nodesUrl("192.0.2.10").c_str(), &rec);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("curl_easy_perform() failed: Timeout was reached"), std::string::npos)
        << err;
    EXPECT_EQ(rec.node_port, 0);
    ASSERT_TRUE(sim_->control({{"delay", 0}}));
    EXPECT_EQ(queryNode("192.0.2.10").node_port, 3);
}

}  // namespace
