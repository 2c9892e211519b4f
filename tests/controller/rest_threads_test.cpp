// Requests from several threads at once are serialised by the client's own lock: each
// one arrives whole, with its own method, body and token. Simulator on 127.0.0.34:8443.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "controller/lbCurl/lb_getpath_restapi.h"
#include "controller/lbCurl/restApi.h"
#include "ctrlsim_fixture.h"
#include "packet/lbCtrlMsg.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const char kAddr[] = "127.0.0.34";
const char kCtrl[] = "127.0.0.34:8443";
const char kTopology[] = R"({"switches":[{"dpid":"00:00:00:00:00:00:00:01"},
    {"dpid":"00:00:00:00:00:00:00:02"}],"links":[],
    "hosts":[{"ip":"192.0.2.10","mac":"02:00:00:00:00:10","vid":0,
              "dpid":"00:00:00:00:00:00:00:01","port":3}]})";

TEST(RestThreads, ConcurrentInstallsRemovalsAndQueriesDoNotInterleave) {
    lbtest::CtrlSim sim(kAddr, kTopology, {"--token-expire-after", "7"});
    ASSERT_TRUE(sim.running());
    CaptureStdout();
    setControllerIp(kCtrl);
    sim.clearLog();

    constexpr int kRounds = 10;
    std::vector<int> badNodes(2, 0);
    auto worker = [&badNodes](int id) {
        // Each thread owns one switch and one rule on it.
        const char *dpid16 = id == 0 ? "0000000000000001" : "0000000000000002";
        char url[LB_FLOW_URL_LEN], body[LB_FLOW_BODY_LEN];
        create_url(url, sizeof url, kAddr, dpid16, "v2.0");
        format_string_flow(body, sizeof body, "192.0.2.10", id == 0 ? "40000" : "40001", "3",
                           "203.0.113.100", "80", "2", "60");
        for (int i = 0; i < kRounds; ++i) {
            setSwitchFlow(url, body);
            NODE_DATA rec{"NULL", "NULL", 0};
            getSwitchFlow("https://127.0.0.34:8443/sdn/v2.0/net/nodes?vid=0&ip=192.0.2.10", &rec);
            if (rec.node_port != 3)
                ++badNodes[id];
            if (i + 1 < kRounds)
                delelteSwitchFlow(url, body);
        }
    };
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
    GetCapturedStdout();

    EXPECT_EQ(badNodes, (std::vector<int>{0, 0}));
    int installs = 0, removals = 0, queries = 0;
    for (const auto &r : sim.requests()) {
        if (r["path"] == "/sdn/v2.0/auth" || r["status"] == 401)
            continue;
        EXPECT_LT(r["status"].get<int>(), 400) << r.dump();
        if (r["method"] == "POST")
            ++installs;
        if (r["method"] == "DELETE")
            ++removals;
        if (r["method"] == "GET")
            ++queries;
    }
    EXPECT_EQ(installs, 2 * kRounds);
    EXPECT_EQ(removals, 2 * (kRounds - 1));
    EXPECT_EQ(queries, 2 * kRounds);
    EXPECT_EQ(sim.flows("0000000000000001").size(), 1u);
    EXPECT_EQ(sim.flows("0000000000000002").size(), 1u);
}

}  // namespace
