// The controller client against the simulator on 127.0.0.32:8443 (start-up against one
// not there yet: 127.0.0.33:8443).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "controller/lbCurl/lb_getpath_restapi.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "controller/lbCtrlMsg.h"
#include "controller/lbCurl/restApi.h"
#include "ctrlsim_fixture.h"
#include "support/lbtest_util.h"

namespace {

using lbtest::errPrinted;
using nlohmann::json;
using namespace std::chrono_literals;

const char kAddr[] = "127.0.0.32", kCtrl[] = "127.0.0.32:8443";
const char kLoginBody[] = R"({"login":{"user":"sdn","password":"quorbit","domain":"sdn"}})";
const char kS1[] = "00:00:00:00:00:00:00:01", kS2[] = "00:00:00:00:00:00:00:02",
           kS3[] = "00:00:00:00:00:00:00:03";
constexpr int kChain = LB_MAX_PATHNODES + 20;  // switches 0x1000, 0x1001, ... in a line

std::string dpid16(uint64_t v) {
    char buf[17];
    snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

// s1 - s2 - s3 and the chain, each link leaving at port 2 and entering at port 1; the
// client on s1:3, the VIP on s2:3, and an address attached twice (s3:7 listed first).
std::string topology() {
    json t = json::parse(R"({"switches":[{"dpid":"01"},{"dpid":"02"},{"dpid":"03"}],
        "links":[], "hosts":[
        {"ip":"192.0.2.10","mac":"02:00:00:00:00:10","dpid":"01","port":3},
        {"ip":"203.0.113.100","mac":"02:00:00:00:00:11","dpid":"02","port":3},
        {"ip":"198.51.100.20","mac":"02:00:00:00:00:12","dpid":"03","port":7},
        {"ip":"198.51.100.20","mac":"02:00:00:00:00:13","dpid":"01","port":8}]})");
    auto link = [&t](uint64_t a, uint64_t b) {
        t["links"].push_back({{"src", {{"dpid", dpid16(a)}, {"port", 2}}},
                              {"dst", {{"dpid", dpid16(b)}, {"port", 1}}}});
    };
    link(1, 2);
    link(2, 3);
    for (int i = 0; i < kChain; ++i) {
        t["switches"].push_back({{"dpid", dpid16(0x1000 + i)}});
        if (i > 0)
            link(0x1000 + i - 1, 0x1000 + i);
    }
    return t.dump();
}

std::string tokenValue() {
    return TOKEN + strlen(LB_TOKEN_HDR);
}

std::string nodesUrl(const char *ip) {
    return std::string("https://") + kCtrl + "/sdn/v2.0/net/nodes?vid=0&ip=" + ip;
}

// The nodes query, quietly: the reply reader prints whatever the settings.
NODE_DATA queryNode(const char *ip) {
    NODE_DATA rec{"NULL", "NULL", 0};
    lbtest::printed([&] { EXPECT_EQ(getSwitchFlow(nodesUrl(ip).c_str(), &rec), 0); });
    return rec;
}

class RestSim : public testing::Test {
  protected:
    static void SetUpTestSuite() { sim_ = new lbtest::CtrlSim(kAddr, topology()); }
    static void TearDownTestSuite() { delete sim_; }
    // No flows, tokens or faults left by an earlier test; the login is logged apart.
    void SetUp() override {
        ASSERT_TRUE(sim_->running() && sim_->reset());
        sim_->clearLog();
        num_pathnodes = 0;
        loginOutput_ = lbtest::printed([] { setControllerIp(kCtrl); });
        login_ = sim_->requests();
        sim_->clearLog();
    }

    const std::string url_ =
        std::string("https://") + kCtrl + "/sdn/v2.0/of/datapaths/0000000000000002/flows";
    const std::string body_ =
        R"({"flow":{"priority":30000,"table_id":0,"idle_timeout":60,"match":[)"
        R"({"eth_type":"ipv4"},{"ip_proto":"tcp"},{"in_port":3},{"ipv4_src":"192.0.2.10"},)"
        R"({"tcp_src":40000},{"ipv4_dst":"203.0.113.100"},{"tcp_dst":80}],)"
        R"("instructions":[{"apply_actions":[{"output":2}]}]}})";
    static inline lbtest::CtrlSim *sim_;
    std::string loginOutput_;
    std::vector<json> login_;
};

TEST_F(RestSim, LoginThenQueriesWithTheToken) {
    const std::string token = tokenValue();
    ASSERT_EQ(token.size(), 32u);
    EXPECT_EQ(loginOutput_, "Receved token:(32 characters, not shown)\n");
    EXPECT_NE(lbtest::readFile("token_gen.log").find(token), std::string::npos);
    NODE_DATA rec = queryNode("198.51.100.20");  // attached twice: the first one listed
    EXPECT_TRUE(std::string(rec.switch_dpid) == kS3 && rec.node_port == 7) << rec.switch_dpid;
    auto reqs = sim_->requests();
    ASSERT_TRUE(login_.size() == 1 && reqs.size() == 1);
    EXPECT_EQ(lbtest::headerValue(login_[0], "Host"), kCtrl);
    EXPECT_EQ(login_[0]["method"], "POST");
    EXPECT_EQ(login_[0]["path"].get<std::string>() + "?" + login_[0]["query"].get<std::string>(),
              "/sdn/v2.0/auth?");
    EXPECT_EQ(login_[0]["body"], kLoginBody);
    auto ownHeaders = [](const json &r) {  // those the client adds to the library's own
        std::vector<std::string> out;
        for (const auto &h : r["headers"])
            if (h[0] != "Host" && h[0] != "Accept" && h[0] != "Content-Length")
                out.push_back(h[0].get<std::string>() + ": " + h[1].get<std::string>());
        return out;
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(ownHeaders(login_[0]), Names{"Content-Type: application/json"});
    EXPECT_EQ(ownHeaders(reqs[0]),
              (Names{"Content-Type: application/json", "X-Auth-Token: " + token}));
}

// An empty address is no address: one line per attempt and nothing sent; the check says
// it is missing until one is set, and then stays silent.
TEST_F(RestSim, UnsetAddressSendsNothing) {
    const std::string line = "Set the controller IP:PORT first....";
    int rc = -1, unset = -1;
    EXPECT_EQ(lbtest::printed([&] { rc = setControllerIp(""); }), line);
    EXPECT_EQ(lbtest::printed([&] { unset = isControllerValid(); }), line);
    EXPECT_TRUE(rc == 0 && unset == 1 && sim_->requests().empty());
    lbtest::printed([] { setControllerIp(kCtrl); });
    EXPECT_EQ(lbtest::printed([&] { unset = isControllerValid(); }), "");
    EXPECT_EQ(unset, 0);
}

TEST_F(RestSim, FlowInstallAndRemovalCarryTheBodyAndErrorsAreReported) {
    EXPECT_EQ(setSwitchFlow(url_.c_str(), body_.c_str()), 0);
    EXPECT_EQ(sim_->flows("0000000000000002"), json::array({json::parse(body_)}));
    EXPECT_EQ(delelteSwitchFlow(url_.c_str(), body_.c_str()), 0);
    EXPECT_EQ(sim_->flows("0000000000000002"), json::array());
    // Removing a rule the switch does not hold is answered 404.
    std::string err =
        errPrinted([&] { EXPECT_EQ(delelteSwitchFlow(url_.c_str(), body_.c_str()), 0); });
    EXPECT_NE(err.find("DELETE " + url_ + ": HTTP status 404"), std::string::npos) << err;
    EXPECT_EQ(sim_->requests().size(), 3u) << "one request each, none repeated";
}

// Client on s1 port 3, balancer on s2, server on s3 port 3: the links of both queries
// make the hops; a query that finds nothing keeps the count of the earlier ones.
TEST_F(RestSim, LinksOfTwoQueriesAreGatheredIntoHops) {
    EXPECT_EQ(lb_findpath(nullptr, kS1, kS2, kCtrl, 3, 3), 1u);
    EXPECT_EQ(lb_findpath(nullptr, kS2, kS3, kCtrl, 3, 3), 2u);
    EXPECT_EQ(lb_findpath(nullptr, kS2, "00:00:00:00:00:00:00:99", kCtrl, 3, 3), 2u);
    dlist_head list;
    EXPECT_NE(create_pathlist(&list, kS1, kS3, kCtrl, 3, 3), 0);
    EXPECT_EQ(lbtest::hops(&list), (std::vector<lbtest::Hop>{{1, 3, 2}, {2, 1, 2}, {3, 1, 3}}));
    del_pathlist(&list);
    EXPECT_EQ(num_pathnodes, 0u);
}

TEST_F(RestSim, LongPathIsJoinedAndOneBeyondTheTableFailsTheQuery) {
    // 400 links make a reply of about 40 kB, more than one delivery carries.
    const uint32_t links = 400;
    std::string first = dpid16(0x1000);
    EXPECT_EQ(lb_findpath(nullptr, first.c_str(), dpid16(0x1000 + links).c_str(), kCtrl, 0, 0),
              links);
    ASSERT_EQ(num_pathnodes, links);
    for (uint32_t i = 0; i < links; ++i)
        ASSERT_EQ(pathlist_nodes[i].src_dpid + pathlist_nodes[i].dst_dpid, 0x2001u + 2 * i) << i;
    EXPECT_GT(lbtest::readFile("get_path.out").size(), 16384u);

    std::string err = errPrinted([&] {
        EXPECT_EQ(lb_findpath(nullptr, first.c_str(), dpid16(0xfff + kChain).c_str(), kCtrl, 0, 0),
                  0u);
    });
    EXPECT_NE(err.find("further links dropped"), std::string::npos) << err;
    EXPECT_EQ(num_pathnodes, 0u);
    EXPECT_EQ(lb_findpath(nullptr, kS2, kS3, kCtrl, 0, 0), 1u) << "the next set-up starts clean";
}

TEST_F(RestSim, ExpiredTokenIsRenewedOnceAndAFailedRenewalIsNotRepeated) {
    std::string oldToken = tokenValue();
    ASSERT_TRUE(sim_->control({{"expire_tokens", true}}));
    lbtest::printed([&] { EXPECT_EQ(setSwitchFlow(url_.c_str(), body_.c_str()), 0); });
    EXPECT_EQ(sim_->flows("0000000000000002").size(), 1u);
    auto reqs = sim_->requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(std::tuple(reqs[0]["status"], reqs[1]["body"], reqs[2]["status"], reqs[2]["body"]),
              std::tuple(json(401), json(kLoginBody), json(201), json(body_)));
    EXPECT_EQ(lbtest::headerValue(reqs[0], "X-Auth-Token"), oldToken);
    EXPECT_EQ(lbtest::headerValue(reqs[2], "X-Auth-Token"), tokenValue()) << "a new token";

    oldToken = tokenValue();
    ASSERT_TRUE(sim_->control({{"expire_tokens", true}, {"fault", "no_token"}}));
    sim_->clearLog();
    std::string err = errPrinted([] { EXPECT_EQ(queryNode("192.0.2.10").node_port, 0); });
    EXPECT_EQ(tokenValue(), oldToken);
    EXPECT_EQ(sim_->requests().size(), 2u) << "a query and a login, no repeat";
    EXPECT_NE(err.find("GET " + nodesUrl("192.0.2.10") + ": HTTP status 401"), std::string::npos)
        << err;
}

TEST_F(RestSim, HungControllerAndReplyWithoutNodesFailTheQuery) {
    // Replies held beyond the total time-out, or not JSON: the query fails as a transfer,
    // the record keeps its pre-set values, and the next query is answered again.
    for (auto [fault, report] :
         {std::pair{json{{"delay", LB_REST_TIMEOUT_S + 1}}, "Timeout was reached"},
          {json{{"fault", "not_json"}}, "Failed writing received data to disk/application"}}) {
        ASSERT_TRUE(sim_->control(fault));
        std::string err = errPrinted([] { EXPECT_EQ(queryNode("192.0.2.10").node_port, 0); });
        EXPECT_NE(err.find(std::string("curl_easy_perform() failed: ") + report), std::string::npos)
            << err;
        ASSERT_TRUE(sim_->control({{"fault", "none"}, {"delay", 0}}));
        EXPECT_EQ(queryNode("192.0.2.10").node_port, 3);
    }
}

// Each request arrives whole, with its own method, body and token, across renewals too.
TEST_F(RestSim, ConcurrentInstallsRemovalsAndQueriesDoNotInterleave) {
    ASSERT_TRUE(sim_->control({{"token_expire_after", 7}}));
    constexpr int kRounds = 10;
    int badNodes[2] = {0, 0};
    auto worker = [&badNodes](int id) {
        // Each thread owns one switch and one rule on it; the last install stays.
        char url[LB_FLOW_URL_LEN], body[LB_FLOW_BODY_LEN];
        create_url(url, sizeof url, kAddr, id ? "0000000000000002" : "0000000000000001", "v2.0");
        format_string_flow(body, sizeof body, "192.0.2.10", id ? "40001" : "40000", "3",
                           "203.0.113.100", "80", "2", "60");
        for (int i = 0; i < kRounds; ++i) {
            setSwitchFlow(url, body);
            NODE_DATA rec{"NULL", "NULL", 0};
            getSwitchFlow(nodesUrl("192.0.2.10").c_str(), &rec);
            badNodes[id] += rec.node_port != 3;
            if (i + 1 < kRounds)
                delelteSwitchFlow(url, body);
        }
    };
    lbtest::printed([&] {
        std::thread a(worker, 0), b(worker, 1);
        a.join();
        b.join();
    });
    EXPECT_EQ(badNodes[0] + badNodes[1], 0);
    std::map<std::string, int> done;
    for (const auto &r : sim_->requests()) {
        if (r["path"] != "/sdn/v2.0/auth" && r["status"] != 401) {
            EXPECT_LT(r["status"].get<int>(), 400) << r.dump();
            ++done[r["method"].get<std::string>()];
        }
    }
    EXPECT_EQ(done,
              (std::map<std::string, int>{
                  {"DELETE", 2 * (kRounds - 1)}, {"GET", 2 * kRounds}, {"POST", 2 * kRounds}}));
    EXPECT_EQ(sim_->flows("0000000000000001").size(), 1u);
    EXPECT_EQ(sim_->flows("0000000000000002").size(), 1u);
}

// About one attempt a second; a reply without a token, one not JSON and an HTTP error fail.
TEST(RestStartup, ControllerDownAtStartThenFailingLoginsThenATokenArrives) {
    lbtest::CtrlSim sim("127.0.0.33", R"({"switches":[]})", {"--fault", "no_token"}, false);
    const std::string before = tokenValue();
    // Standard error goes to a file that is read while the login still runs.
    const int savedErr = dup(STDERR_FILENO), errFile = open("login.err", O_WRONLY | O_CREAT, 0600);
    ASSERT_TRUE(errFile >= 0 && dup2(errFile, STDERR_FILENO) >= 0 && close(errFile) == 0);
    auto logged = [](const char *what) {
        return lbtest::readFile("login.err").find(what) != std::string::npos;
    };
    const auto start = std::chrono::steady_clock::now();
    auto login = std::async(std::launch::async, [] { return setControllerIp("127.0.0.33:8443"); });
    // Whatever fails below, the login ends and standard error is back before the test ends.
    std::shared_ptr<void> finish(nullptr, [&](void *) {
        if (login.valid() && sim.start() && sim.control({{"fault", "none"}}))
            login.wait();
        dup2(savedErr, STDERR_FILENO);
    });
    ASSERT_TRUE(lbtest::waitUntil([&] { return logged("Couldn't connect to server"); }));
    ASSERT_TRUE(sim.start());
    // Two attempts after each change: the second one began after it.
    for (const char *next : {"not_json", "status500", "none"}) {
        const size_t seen = sim.requests().size();
        ASSERT_TRUE(lbtest::waitUntil([&] { return sim.requests().size() >= seen + 2; }));
        EXPECT_EQ(login.wait_for(0s), std::future_status::timeout) << "returned before " << next;
        ASSERT_TRUE(sim.control({{"fault", next}}));
    }
    ASSERT_EQ(login.wait_for(20s), std::future_status::ready);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(login.get(), 0);
    EXPECT_TRUE(logged("Controller login reply holds no token"));
    EXPECT_TRUE(logged("/sdn/v2.0/auth: HTTP status 500"));
    EXPECT_STREQ(ctrlIpv4, "127.0.0.33:8443");
    EXPECT_NE(tokenValue(), before);
    // Paced about a second apart: no more attempts than seconds passed, and the first.
    auto reqs = sim.requests();
    EXPECT_LE(reqs.size(), static_cast<size_t>(took.count()) + 1);
    EXPECT_EQ(reqs.back()["status"], 200);
}

}  // namespace
