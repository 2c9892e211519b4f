// Requests from two threads at once are serialised by the client's own lock: each one
// arrives whole, with its own method, body and token, also across token renewals.
// Simulator on 127.0.0.34:8443.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "controller/lbCurl/restApi.h"
#include "ctrlsim_fixture.h"
#include "controller/lbCtrlMsg.h"

namespace {

TEST(RestThreads, ConcurrentInstallsRemovalsAndQueriesDoNotInterleave) {
    lbtest::CtrlSim sim("127.0.0.34", R"({"switches":[{"dpid":"01"},{"dpid":"02"}],
        "hosts":[{"ip":"192.0.2.10","mac":"02:00:00:00:00:10","dpid":"01","port":3}]})",
                        {"--token-expire-after", "7"});
    ASSERT_TRUE(sim.running());
    testing::internal::CaptureStdout();
    setControllerIp("127.0.0.34:8443");
    sim.clearLog();
    constexpr int kRounds = 10;
    int badNodes[2] = {0, 0};
    auto worker = [&badNodes](int id) {
        // Each thread owns one switch and one rule on it; the last install stays.
        char url[LB_FLOW_URL_LEN], body[LB_FLOW_BODY_LEN];
        create_url(url, sizeof url, "127.0.0.34", id ? "0000000000000002" : "0000000000000001",
                   "v2.0");
        format_string_flow(body, sizeof body, "192.0.2.10", id ? "40001" : "40000", "3",
                           "203.0.113.100", "80", "2", "60");
        for (int i = 0; i < kRounds; ++i) {
            setSwitchFlow(url, body);
            NODE_DATA rec{"NULL", "NULL", 0};
            getSwitchFlow("https://127.0.0.34:8443/sdn/v2.0/net/nodes?vid=0&ip=192.0.2.10", &rec);
            badNodes[id] += rec.node_port != 3;
            if (i + 1 < kRounds)
                delelteSwitchFlow(url, body);
        }
    };
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(badNodes[0] + badNodes[1], 0);
    std::map<std::string, int> done;
    for (const auto &r : sim.requests()) {
        if (r["path"] != "/sdn/v2.0/auth" && r["status"] != 401) {
            EXPECT_LT(r["status"].get<int>(), 400) << r.dump();
            ++done[r["method"].get<std::string>()];
        }
    }
    EXPECT_EQ(done,
              (std::map<std::string, int>{
                  {"DELETE", 2 * (kRounds - 1)}, {"GET", 2 * kRounds}, {"POST", 2 * kRounds}}));
    EXPECT_EQ(sim.flows("0000000000000001").size(), 1u);
    EXPECT_EQ(sim.flows("0000000000000002").size(), 1u);
}

}  // namespace
