// Connection setup and teardown through the setup engine against the controller
// simulator: which requests go out in which order, which rules go to which switch, what a
// failed setup leaves behind (nothing), what teardown re-posts and removes, a controller
// that goes away and a shutdown that cannot wait for it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <tuple>

#include "common/lbGlobals.h"
#include "common/lbMetrics.h"
#include "controller/lbCurl/lb_getpath_restapi.h"
#include "packet_fixture.h"
#include "support/lbtest_util.h"

namespace {

using namespace lbtest;

// The connection most cases open: 192.0.2.10 on s1, 198.51.100.13 on s3.
std::vector<std::string> farRules(const char *idle) {
    return rulesOf("192.0.2.10", "198.51.100.13", {{1, 3, 2}, {2, 1, 2}, {3, 1, 3}}, idle);
}

class Setup : public PacketSim {};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The rules go out in hop order before the SYN leaves; a reset from the server re-posts
// them all with the deletion time-out and ends the connection.
TEST_F(Setup, RulesFollowThePathInHopOrderAndAResetRepostsThem) {
    struct Case {
        const char *what, *client, *server;
        int serverPort;
        std::vector<Hop> hops;
    } cases[] = {
        // clang-format off
        {"client, server and balancer on one switch", "192.0.2.10", "198.51.100.11", 4, {{1, 3, 4}}},
        {"client on the balancer's switch, server two switches away",
         "192.0.2.10", "198.51.100.13", 3, {{1, 3, 2}, {2, 1, 2}, {3, 1, 3}}},
        {"server on the balancer's switch, client two switches away: the VIP there",
         "192.0.2.30", "198.51.100.11", 4, {{3, 5, 1}, {2, 2, 1}, {1, 2, 4}}},
        // clang-format on
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        lbServer_node_t *s = addServer(c.server);
        open(c.client);
        lbFlow_t *e = entry(c.client);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->lbPending, 0);
        EXPECT_EQ(s->numConn, 1);
        EXPECT_EQ(e->lbClientInPort, int(std::get<1>(c.hops.front())));
        EXPECT_EQ(e->lbServOutPort, c.serverPort);
        EXPECT_EQ(flowRequests(), rulesOf(c.client, c.server, c.hops, "30"));
        EXPECT_EQ(sent().size(), 1u);
        EXPECT_EQ(rulesAt(0), c.hops.size() * 2 + 2);  // every rule before the SYN
        sim_->clearLog();
        run(buildFrame(
            {.srcIp = c.server, .dstIp = c.client, .sport = 80, .dport = 40000, .flags = 4}));
        EXPECT_EQ(flowRequests(), rulesOf(c.client, c.server, c.hops, "1"));
        EXPECT_EQ(entry(c.client), nullptr);
        EXPECT_EQ(s->numConn, 0);
        EXPECT_EQ(sent().size(), 1u);  // the RST itself
    }
}

// One request at a time without caches: the requests of today's sequential setup, in
// its order. With the caches, a second connection asks only where its client is. An
// expired token costs one login, after which the refused request goes again.
TEST_F(Setup, RequestLogOfOneSetupInFlight) {
    auto nodes = [](const char *ip) {
        return std::string("GET /sdn/v2.0/net/nodes?vid=0&ip=") + ip;
    };
    const std::vector<std::string> first =
        std::vector<std::string>{nodes("198.51.100.13"), nodes(kVip), nodes("192.0.2.10"),
                                 "GET /sdn/v2.0/net/paths/forward?src_dpid=00:00:00:00:00:00:00:01"
                                 "&dst_dpid=00:00:00:00:00:00:00:03"} +
        farRules("30");
    const struct {
        const char *what;
        bool caches, expired;
    } variants[] = {{"no caches", false, false}, {"caches", true, false}, {"expired", false, true}};
    for (const auto &v : variants) {
        SCOPED_TRACE(v.what);
        SetUp();
        lbEngineConfig cfg = sequential();
        cfg.caches = v.caches;
        startEngine(cfg);
        addServer("198.51.100.13");
        fault(v.expired ? nlohmann::json{{"expire_tokens", true}} : nlohmann::json());
        open("192.0.2.10");
        const std::vector<std::string> login{nodes("198.51.100.13"), "POST /sdn/v2.0/auth?"};
        EXPECT_EQ(flowRequests(true), v.expired ? login + first : first);
        // The same client again from the same port, once the first has gone.
        ASSERT_NE(entry("192.0.2.10"), nullptr);
        expire("192.0.2.10");
        ASSERT_TRUE(settled());
        sim_->clearLog();
        open("192.0.2.10");
        EXPECT_EQ(
            flowRequests(true),
            v.caches ? std::vector<std::string>{nodes("192.0.2.10")} + farRules("30") : first);
    }
}

TEST_F(Setup, FailedSetupsLeaveNothingBehind) {
    struct Case {
        std::string what;
        const char *client, *server, *vip;
        nlohmann::json fault;  // simulator control, or null
        const char *line;
        lbSetupFailure counted;  // the reason the failure is counted under
    };
    const char *const ownPort = "Client or Server Switch port same as VARNAPP Switch port6\n";
    // clang-format off
    std::vector<Case> cases = {
        {"client at the balancer's own port", "192.0.2.6", "198.51.100.11", kVip, nullptr, ownPort, LB_SETUP_FAIL_PORT_CONFLICT},
        {"server at the balancer's own port", "192.0.2.10", "198.51.100.16", kVip, nullptr, ownPort, LB_SETUP_FAIL_PORT_CONFLICT},
        {"VIP unknown to the controller", "192.0.2.10", "198.51.100.11", "203.0.113.200", nullptr,
         "\nPlease check lbapp connectivity with the switch\n...", LB_SETUP_FAIL_BALANCER_UNPLACED},
        {"client unknown to the controller", "192.0.2.77", "198.51.100.11", kVip, nullptr,
         "\nPlease check client connectivity with the switch\n...", LB_SETUP_FAIL_CLIENT_UNPLACED},
        {"no path from the client", "192.0.2.40", "198.51.100.11", kVip, nullptr,
         "findpath from client to lbapp failed\\n)", LB_SETUP_FAIL_NO_PATH},
        {"no path to the server", "192.0.2.10", "198.51.100.14", kVip, nullptr,
         "findpath from lbapp to server failed\\n)", LB_SETUP_FAIL_NO_PATH},
        {"an ill-typed path reply", "192.0.2.30", "198.51.100.11", kVip, {{"fail_at", 3}, {"fail_with", "ill_typed"}},
         "findpath from client to lbapp failed\\n)", LB_SETUP_FAIL_NO_PATH},
    };
    // A failure at each request of a setup across three switches: 3 node queries, a path
    // query, 8 rules (the 6th is rule B on the balancer's switch).
    const char *const ruleB = "Could not set up 192.0.2.30:40000: rule B on switch 0000000000000001 not installed: HTTP status 500\n";
    for (int i = 0; i < 12; ++i)
        cases.push_back({"failure at request " + std::to_string(i), "192.0.2.30", "198.51.100.11", kVip, {{"fail_at", i}},
                         i == 9 ? ruleB : "Could not add a flow\n",
                         i < 3 ? LB_SETUP_FAIL_CONTROLLER : i == 3 ? LB_SETUP_FAIL_NO_PATH : LB_SETUP_FAIL_RULE});
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", c.vip);
        lbServer_node_t *s = addServer(c.server);
        fault(c.fault);
        lbMetricsSnapshot before, after;
        lbMetricsRead(before);
        const std::string out =
            run(buildFrame({.srcIp = c.client, .dstIp = c.vip, .sport = 40000, .flags = 2}));
        lbMetricsRead(after);
        // Counted once, under its own reason and no other; its SYN as dropped.
        for (int r = 0; r < LB_SETUP_FAIL_COUNT; ++r) {
            const lbCounter k = lbSetupFailCounter(static_cast<lbSetupFailure>(r));
            EXPECT_EQ(after.counters[k] - before.counters[k], r == c.counted ? 1u : 0u)
                << lbSetupFailureName(static_cast<lbSetupFailure>(r));
        }
        const lbCounter synDropped = lbDropCounter(LB_DROP_SETUP_FAILED);
        EXPECT_EQ(after.counters[synDropped] - before.counters[synDropped], 1u);
        EXPECT_EQ(after.counters[LB_C_SETUP_STARTED] - before.counters[LB_C_SETUP_STARTED], 1u);
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_NE(out.find("Could not add a flow\n"), std::string::npos) << out;
        EXPECT_EQ(entry(c.client), nullptr);
        EXPECT_EQ(s->numConn, 0);
        EXPECT_EQ(numFlowEntries, 0u);
        EXPECT_EQ(rulesHeld(), 0u);
        EXPECT_TRUE(sent().empty());
    }
}

// Rules of idle time-out 30 may be gone 28 s after the quieter side's last frame: the next
// frame either way has them posted again along the entry's hops (and is still forwarded).
TEST_F(Setup, AFrameAfterTheRulesMayHaveAgedPostsThemAgainFirst) {
    addServer("198.51.100.13");
    open("192.0.2.10");
    lbFlowClock = fakeClock;
    const int64_t t0 = fakeNowMs = 1000000;
    lbFlow_t *e = entry("192.0.2.10");
    ASSERT_NE(e, nullptr);
    {
        lbTableLock lock;
        e->lbClientSeenMs = e->lbServerSeenMs = t0;
    }
    sim_->clearLog();
    clearSent();
    Bytes in = buildFrame({.srcIp = "192.0.2.10", .dstIp = kVip, .sport = 40000});
    Bytes out =
        buildFrame({.srcIp = "198.51.100.13", .dstIp = "192.0.2.10", .sport = 80, .dport = 40000});
    // {time, frame, idle time-out, reposted}: a 1 s time-out ages after half of it, one of
    // 0 never ages.
    // clang-format off
    for (auto [at, f, idle, reposts] : {std::tuple{27999, in, "30", false}, {28000, out, "30", true},
             {55998, out, "30", false}, {55999, in, "30", false}, {56600, in, "1", true}, {99999999, in, "0", false}}) {
        // clang-format on
        fakeNowMs = t0 + at;
        snprintf(reinterpret_cast<char *>(g_addFlowTmr), sizeof g_addFlowTmr, "%s", idle);
        dispatch(f);
        ASSERT_TRUE(settled());
        EXPECT_EQ(flowRequests(), reposts ? farRules(idle) : std::vector<std::string>{}) << at;
        sim_->clearLog();
    }
    EXPECT_EQ(sent().size(), 6u);
    EXPECT_EQ(rulesAt(1), 8u);  // the frame that found them aged left after all 8
}

// The half-open limit counts from the moment the SYN leaves: a setup that outlasts the
// limit many times over does not have its connection expired by the next walk.
TEST_F(Setup, HalfOpenTimeCountsFromTheSynLeaving) {
    addServer("198.51.100.13");
    lbFlowClock = fakeClock;
    const int64_t t0 = fakeNowMs = 1000000;
    g_halfOpenTmr = 5;
    ASSERT_TRUE(sim_->control({{"delay", 0.3}}));
    dispatch(syn("192.0.2.10"));
    fakeNowMs = t0 + 60000;  // while the setup waits for the controller
    ASSERT_TRUE(settled());
    ASSERT_EQ(sent().size(), 1u);
    for (auto [at, kept] : {std::pair{64999, true}, {65000, false}}) {
        fakeNowMs = t0 + at;
        printed([] {
            lbTableLock lock;
            RBTreeTraverse(g_lbServFlowTable_tree, FINDELETE);
        });
        EXPECT_EQ(entry("192.0.2.10") != nullptr, kept) << at;
    }
}

TEST_F(Setup, AServerMarkedForDeletionGoesWithItsLastConnection) {
    // Reset teardown and expiry alike remove the drained server and list the rest.
    for (bool reset : {true, false}) {
        SCOPED_TRACE(reset ? "reset" : "expiry");
        SetUp();
        lbServer_node_t *s = addServer("198.51.100.11");
        open("192.0.2.10");
        open("192.0.2.30");
        lbFlow_t *first = entry("192.0.2.10"), *second = entry("192.0.2.30");
        ASSERT_TRUE(first != nullptr && second != nullptr);
        addServer("198.51.100.13");
        s->delete_ = 1;
        auto end = [&](lbFlow_t *e) {
            return printed([&] {
                lbTableLock lock;
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
                               "  web-198.51.100.13"),
                  std::string::npos)
            << listing;
        ASSERT_TRUE(settled());
    }
}

// A controller that stops answering is noticed by the first failed request (the
// dispatcher then drops SYNs at once), and once it answers again (the engine logs in
// anew in the background) connections are set up again.
TEST_F(Setup, AControllerThatIsDownIsNoticedOnce) {
    addServer("198.51.100.11");
    sim_->stop();
    std::string out = open("192.0.2.10", 40000);
    EXPECT_NE(out.find("Controller not reachable ("), std::string::npos) << out;
    EXPECT_TRUE(engine_->down());
    EXPECT_EQ(numFlowEntries, 0u);
    ASSERT_TRUE(sim_->start());
    EXPECT_TRUE(waitUntil([&] { return !engine_->down(); }));
    open("192.0.2.10", 40010);
    EXPECT_NE(entry("192.0.2.10", 40010), nullptr);
    EXPECT_EQ(sent().size(), 1u);
}

// Shutdown with a controller that does not answer: the removals and the setups in flight
// are given up after the bound, and named.
TEST_F(Setup, ShutdownWithASilentControllerEndsWithinItsBound) {
    startEngine({16, 8, 4, true});
    addServer("198.51.100.11");
    open("192.0.2.10", 40000);
    ASSERT_NE(entry("192.0.2.10", 40000), nullptr);
    ASSERT_TRUE(sim_->control({{"delay", 30}}));
    sim_->clearLog();
    dispatch(syn("192.0.2.10", 40001));
    dispatch(syn("192.0.2.30", 40002));
    // Both setups wait for their client's node query (logged before the delay).
    ASSERT_TRUE(waitUntil([] { return sim_->requests().size() == 2; }));
    const auto t0 = std::chrono::steady_clock::now();
    {
        lbTableLock lock;
        lbSetupStopAll();
        RBTreeTraverse(g_lbServFlowTable_tree, DELETEALL);
    }
    std::vector<std::string> left = engine_->drain(1500);
    useEngine(nullptr);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took, std::chrono::milliseconds(3000));
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"192.0.2.10:40000", "192.0.2.10:40001 (being set up)",
                                              "192.0.2.30:40002 (being set up)"}));
}

// With a journal, the engine records every rule before posting it and lets the record go
// once the rule's removal is acknowledged. What is left after each ending is what the
// next start finds: it re-posts those rules with the deletion time-out, as a reset does,
// and the switches drop them once idle that long; what the controller does not
// acknowledge stays for the start after.
TEST_F(Setup, TheJournalHoldsTheRulesThatMayBeInTheSwitches) {
    const auto rst = buildFrame(
        {.srcIp = "198.51.100.13", .dstIp = "192.0.2.10", .sport = 80, .dport = 40000, .flags = 4});
    struct Case {
        const char *what;
        nlohmann::json fault;       // before the ending
        std::function<void()> end;  // null: the fault is for the setup
        size_t left;
        nlohmann::json startFault;  // for the next start's re-posts
        size_t removed;             // by the next start
    } cases[] = {
        // clang-format off
        {"open, as if killed: its rules stay in the switches", nullptr, [] {}, 8, nullptr, 8},
        {"open, one re-post of the next start refused", nullptr, [] {}, 8, {{"fail_at", 3}}, 7},
        {"reset", nullptr, [&] { dispatch(rst); }, 0, nullptr, 0},
        {"reset, one re-post refused", {{"fail_at", 0}}, [&] { dispatch(rst); }, 1, nullptr, 1},
        {"expired", nullptr, [] { expire("192.0.2.10"); }, 0, nullptr, 0},
        {"setup failing at its fifth rule", {{"fail_at", 8}}, nullptr, 0, nullptr, 0},
        // clang-format on
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        unlink(LB_RULE_JOURNAL);
        useEngine(lbEngineCreate(sequential(), std::make_unique<lbRuleJournal>(LB_RULE_JOURNAL)));
        addServer("198.51.100.13");
        if (c.end == nullptr)
            fault(c.fault);
        open("192.0.2.10");
        if (c.end != nullptr) {
            fault(c.fault);
            printed(c.end);
        }
        ASSERT_TRUE(settled());
        useEngine(nullptr);  // the journal closes with its live records only
        EXPECT_EQ(lbRuleJournal(LB_RULE_JOURNAL).live(), c.left);
        // Re-posted rules go once idle for the deletion time-out (1 s).
        EXPECT_TRUE(waitUntil([&] { return rulesHeld() == c.left; }));
        sim_->clearLog();
        fault(c.startFault);
        lbRuleJournal journal(LB_RULE_JOURNAL);
        const lbReplayResult r = lbRuleJournalReplay(journal, "1", 4, 10000);
        EXPECT_EQ(r.found, c.left);
        EXPECT_EQ(r.removed, c.removed);
        EXPECT_EQ(journal.live(), c.left - c.removed);
        auto reposted = flowRequests(), want = farRules("1");
        std::sort(reposted.begin(), reposted.end());
        std::sort(want.begin(), want.end());
        if (c.left == 8) {
            EXPECT_EQ(reposted, want);
        }
        EXPECT_TRUE(waitUntil([&] { return rulesHeld() == c.left - c.removed; }));
    }
}

TEST(PathReply, AcceptedOnlyWellTypedAndJoining) {
    auto link = [](const char *a, const char *pa, const char *b, const char *pb) {
        return std::string("{\"src_dpid\":") + a + ",\"src_port\":" + pa + ",\"dst_dpid\":" + b +
               ",\"dst_port\":" + pb + "}";
    };
    auto reply = [](const std::string &links) { return "{\"path\":{\"links\":[" + links + "]}}"; };
    const std::string ab = link("\"00:01\"", "3", "\"00:02\"", "1");
    const std::string bc = link("\"00:02\"", "5", "\"00:03\"", "2");
    const std::pair<const char *, std::string> bad[] = {
        {"not JSON", "<html>"},
        {"no links", reply("")},
        {"a port as text", reply(link("\"00:01\"", "\"3\"", "\"00:02\"", "1") + "," + bc)},
        {"a dpid as a number", reply(ab + "," + link("2", "5", "\"00:03\"", "2"))},
        {"a negative port", reply(ab + "," + link("\"00:02\"", "-5", "\"00:03\"", "2"))},
        {"links that do not join", reply(ab + "," + link("\"00:04\"", "5", "\"00:03\"", "2"))},
        {"ending elsewhere", reply(ab)},
        {"a link without src_port", reply(ab + ",{\"src_dpid\":\"00:02\",\"dst_dpid\":\"00:03\","
                                               "\"dst_port\":2}")},
    };
    std::vector<node> links;
    EXPECT_EQ(lbPathLinks(reply(ab + "," + bc), 1, 3, &links), 0);  // two links joining
    EXPECT_EQ(links.size(), 2u);
    for (const auto &[what, text] : bad) {
        EXPECT_EQ(lbPathLinks(text, 1, 3, &links), -1) << what;
        EXPECT_TRUE(links.empty()) << what;
    }
}

}  // namespace
