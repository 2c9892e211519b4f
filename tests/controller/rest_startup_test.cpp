// Start-up login against a controller that is not there yet or not ready to hand out
// tokens: setControllerIp keeps trying, about once a second, until a token arrives.
// Runs the simulator on 127.0.0.33:8443.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "controller/lbCurl/restApi.h"
#include "ctrlsim_fixture.h"
#include "support/lbtest_util.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const char kAddr[] = "127.0.0.33";
const char kCtrl[] = "127.0.0.33:8443";
const char kTopology[] = R"({"switches":[{"dpid":"00:00:00:00:00:00:00:01"}],"links":[],
    "hosts":[{"ip":"192.0.2.10","mac":"02:00:00:00:00:10","vid":0,
              "dpid":"00:00:00:00:00:00:00:01","port":3}]})";

std::string tokenValue() {
    return std::string(TOKEN + strlen("X-Auth-Token:"));
}

TEST(RestStartup, ControllerDownAtStartThenUp) {
    lbtest::CtrlSim sim(kAddr, kTopology, {}, /*startNow=*/false);
    CaptureStderr();
    CaptureStdout();
    auto login = std::async(std::launch::async, [] { return setControllerIp(kCtrl); });
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(login.wait_for(0s), std::future_status::timeout) << "returned without a login";
    ASSERT_TRUE(sim.start());
    ASSERT_EQ(login.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(login.get(), 0);
    GetCapturedStdout();
    std::string err = GetCapturedStderr();

    EXPECT_NE(err.find("curl_easy_perform() failed: Couldn't connect to server"), std::string::npos)
        << err;
    EXPECT_STREQ(ctrlIpv4, kCtrl);
    auto reqs = sim.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0]["path"], "/sdn/v2.0/auth");
    EXPECT_EQ(reqs[0]["status"], 200);
    EXPECT_EQ(tokenValue().size(), 32u);
}

TEST(RestStartup, LoginRetriedAboutOnceASecondUntilATokenArrives) {
    lbtest::CtrlSim sim(kAddr, kTopology, {"--fault", "no_token"});
    ASSERT_TRUE(sim.running());
    const std::string before = tokenValue();
    CaptureStderr();
    CaptureStdout();
    auto login = std::async(std::launch::async, [] { return setControllerIp(kCtrl); });
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(login.wait_for(0s), std::future_status::timeout) << "a reply without token ended it";
    ASSERT_TRUE(sim.control({{"fault", "none"}}));
    ASSERT_EQ(login.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(login.get(), 0);
    GetCapturedStdout();
    std::string err = GetCapturedStderr();

    auto reqs = sim.requests();
    ASSERT_GE(reqs.size(), 2u);
    // With a pause of about a second, 2.5 s of failures hold 3 or 4 attempts, not a
    // stream of them.
    EXPECT_LE(reqs.size(), 6u);
    for (const auto &r : reqs)
        EXPECT_EQ(r["path"], "/sdn/v2.0/auth");
    EXPECT_NE(err.find("Controller login reply holds no token"), std::string::npos) << err;
    EXPECT_EQ(tokenValue().size(), 32u);
    EXPECT_NE(tokenValue(), before);
}

}  // namespace
