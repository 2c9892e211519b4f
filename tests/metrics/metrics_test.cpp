// The counters, the metrics endpoint's answer and its configuration file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/lbGlobals.h"
#include "common/lbMetrics.h"
#include "flowtable/lbFlowDb.h"
#include "metrics/lbMetricsHttp.h"
#include "pool/lbServerList.h"
#include "support/lbtest_util.h"
#include "support/metrics_scrape.h"

namespace {

// Counts made by threads that end, and by threads that take over their blocks, all
// arrive; so do the histograms' observations, in the bucket their value falls in.
TEST(Counters, EveryCountOfEveryThreadArrives) {
    lbMetricsSnapshot before, after;
    lbMetricsRead(before);
    constexpr int kRounds = 4, kThreads = 3, kCounts = 20000;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([] {
                for (int i = 0; i < kCounts; ++i) {
                    lbCount(LB_C_FRAMES_RECEIVED);
                    lbCountDrop(LB_DROP_NOT_TCP);
                }
                lbObserveUs(LB_H_SETUP, 2500);  // on a bound: its own bucket
                lbObserveUs(LB_H_SETUP, 2501);
                lbCountCtrlRequest(LB_CTRL_PATH, LB_CTRL_HTTP_ERROR, 20000000);  // past the last
            });
        // Read while they count: never more than what was counted.
        lbMetricsRead(after);
        EXPECT_LE(after.counters[LB_C_FRAMES_RECEIVED] - before.counters[LB_C_FRAMES_RECEIVED],
                  uint64_t{kRounds} * kThreads * kCounts);
        for (auto &t : threads)
            t.join();
    }
    lbMetricsRead(after);
    const uint64_t n = uint64_t{kRounds} * kThreads;
    auto delta = [&](int c) { return after.counters[c] - before.counters[c]; };
    EXPECT_EQ(delta(LB_C_FRAMES_RECEIVED), n * kCounts);
    EXPECT_EQ(delta(lbDropCounter(LB_DROP_NOT_TCP)), n * kCounts);
    EXPECT_EQ(delta(lbCtrlCounter(LB_CTRL_PATH, LB_CTRL_HTTP_ERROR)), n);
    auto bucket = [&](int h, size_t i) {
        return after.histograms[h].buckets[i] - before.histograms[h].buckets[i];
    };
    EXPECT_EQ(bucket(LB_H_SETUP, 2), n);                                         // le 2500 us
    EXPECT_EQ(bucket(LB_H_SETUP, 3), n);                                         // le 5000 us
    EXPECT_EQ(bucket(lbCtrlHistogram(LB_CTRL_PATH), kLbLatencyBuckets - 1), n);  // +Inf
    EXPECT_EQ(after.histograms[LB_H_SETUP].sumUs - before.histograms[LB_H_SETUP].sumUs, n * 5001);
}

// One server of the list the endpoint shows, and what it must say of it.
struct ServerCase {
    const char *ip, *name;
    int lock, unreachable, deleting, healthDown, numConn, maxconn;
    int eligible, healthUp;
    const char *nameLabel;  // the name as the label carries it
};

class Endpoint : public testing::Test {
  protected:
    void SetUp() override {
        lbtest::resetState();
        lbtest::writeFile(LB_METRICS_CONF, "# any free port\nport 0\n");
        port_ = lbMetricsStart();
        ASSERT_GT(port_, 0);
    }
    void TearDown() override {
        lbMetricsStop();
        unlink(LB_METRICS_CONF);
        lbTableLock lock;
        lbtest::resetState();
    }
    int port_ = -1;
};

TEST_F(Endpoint, AnswerPassesPromtoolAndShowsEveryServersState) {
    const ServerCase servers[] = {
        {"198.51.100.1", "web1", 0, 0, 0, 0, 3, 10, 1, 1, "web1"},
        {"198.51.100.2", "locked", 1, 0, 0, 0, 2, 10, 0, 1, "locked"},
        {"198.51.100.3", "unreachable", 0, 1, 0, 0, 0, 10, 0, 1, "unreachable"},
        {"198.51.100.4", "draining", 0, 0, 1, 0, 1, 10, 0, 1, "draining"},
        {"198.51.100.5", "down", 0, 0, 0, 1, 0, 10, 0, 0, "down"},
        {"198.51.100.6", "full", 0, 0, 0, 0, 4, 4, 1, 1, "full"},  // limit shown apart
        {"198.51.100.7", "we\"b\\7", 0, 0, 0, 0, 0, 1, 1, 1, "we\\\"b\\\\7"},
    };
    {
        lbTableLock lock;
        for (const ServerCase &c : servers) {
            lbServer_node_t *s = lbtest::addServer(c.ip, c.name, c.maxconn);
            s->lock = c.lock;
            s->servNotReachable = static_cast<uint8_t>(c.unreachable);
            s->delete_ = c.deleting;
            s->healthDown = static_cast<uint8_t>(c.healthDown);
            s->numConn = c.numConn;
        }
        lbFlowTable_create();
        lbServFlowTable_createEntry(getServEntry(inet_addr(servers[0].ip), &lbServHead),
                                    inet_addr("192.0.2.1"), 1000, 0, nullptr, 80);
    }
    lbObserveUs(LB_H_SETUP, 1200);
    g_lbControllerUp = 1;
    const lbtest::HttpAnswer a = lbtest::httpGet("127.0.0.1", port_, "/metrics");
    ASSERT_EQ(a.status, 200) << a.headers;
    EXPECT_NE(a.headers.find("Content-Type: text/plain; version=0.0.4"), std::string::npos)
        << a.headers;
    const auto [rc, said] = lbtest::promtoolCheck(a.body);
    EXPECT_EQ(rc, 0) << said << a.body;

    const auto m = lbtest::samples(a.body);
    auto at = [&](const std::string &key) {
        auto it = m.find(key);
        EXPECT_NE(it, m.end()) << key << " missing in:\n" << a.body;
        return it == m.end() ? -1.0 : it->second;
    };
    for (const ServerCase &c : servers) {
        SCOPED_TRACE(c.name);
        const std::string labels =
            std::string("{server=\"") + c.ip + "\",name=\"" + c.nameLabel + "\"}";
        // The first server holds the entry made above on top of its count.
        EXPECT_EQ(at("lbapp_server_connections" + labels),
                  c.numConn + (c.ip == servers[0].ip ? 1 : 0));
        EXPECT_EQ(at("lbapp_server_max_connections" + labels), c.maxconn);
        EXPECT_EQ(at("lbapp_server_eligible" + labels), c.eligible);
        EXPECT_EQ(at("lbapp_server_health_up" + labels), c.healthUp);
    }
    EXPECT_EQ(at("lbapp_flow_table_entries"), 1);
    EXPECT_EQ(at("lbapp_controller_up"), 1);
    // Buckets are cumulative and end with the count.
    EXPECT_GE(at("lbapp_setup_duration_seconds_bucket{le=\"0.0025\"}"),
              at("lbapp_setup_duration_seconds_bucket{le=\"0.001\"}") + 1);
    EXPECT_EQ(at("lbapp_setup_duration_seconds_bucket{le=\"+Inf\"}"),
              at("lbapp_setup_duration_seconds_count"));

    // The next scrape sees what was counted since, by the label it was counted under.
    const double before = at("lbapp_frames_dropped_total{reason=\"held_overflow\"}");
    lbCountDrop(LB_DROP_HELD_OVERFLOW);
    g_lbControllerUp = 0;
    const auto next = lbtest::samples(lbtest::httpGet("127.0.0.1", port_, "/metrics").body);
    EXPECT_EQ(next.at("lbapp_frames_dropped_total{reason=\"held_overflow\"}"), before + 1);
    EXPECT_EQ(next.at("lbapp_controller_up"), 0);

    EXPECT_EQ(lbtest::httpGet("127.0.0.1", port_, "/").status, 404);
}

// Settings as "on|off address:port", checked when the file is read.
TEST(MetricsConfig, FileSaysWhereOrRefusesWithItsLine) {
    const std::string end = "; no metrics endpoint\n",
                      port = "port must be a number from 0 to 65535";
    const lbtest::SettingsRow cases[] = {
        {nullptr, 0, "on 127.0.0.1:9470", ""},
        {"# defaults\n\n", 0, "on 127.0.0.1:9470", ""},
        {"listen 192.0.2.7\nport 9100\n", 0, "on 192.0.2.7:9100", ""},
        {"metrics off\n", 0, "off 127.0.0.1:9470", ""},
        {"port 65536\n", -1, "", "metrics.conf:1: " + port + end},
        {"port 91x\n", -1, "", "metrics.conf:1: " + port + end},
        {"\nlisten localhost\n", -1, "",
         "metrics.conf:2: listen takes a dotted IPv4 address" + end},
        {"listen\n", -1, "", "metrics.conf:1: expected a setting and one value" + end},
        {"metrics maybe\n", -1, "",
         "metrics.conf:1: expected \"listen ADDRESS\", \"port N\" or \"metrics on|off\"" + end},
    };
    for (const lbtest::SettingsRow &c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(no file)");
        lbtest::setFile(LB_METRICS_CONF, c.text);
        lbMetricsConfig cfg;
        cfg.port = -5;  // whatever was there before is replaced
        testing::internal::CaptureStderr();
        EXPECT_EQ(lbMetricsConfigRead(LB_METRICS_CONF, cfg), c.rc);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.said);
        if (c.rc == 0) {  // a refused file's settings are not used
            EXPECT_EQ((cfg.enabled ? "on " : "off ") + cfg.listen + ":" + std::to_string(cfg.port),
                      c.settings);
        }
    }
    // Off: nothing listens, nothing is said; an address nobody has: refused with a line.
    lbtest::writeFile(LB_METRICS_CONF, "metrics off\n");
    EXPECT_EQ(lbtest::printed([] { EXPECT_EQ(lbMetricsStart(), 0); }), "");
    lbtest::writeFile(LB_METRICS_CONF, "listen 192.0.2.1\n");
    EXPECT_EQ(lbtest::printed([] { EXPECT_EQ(lbMetricsStart(), -1); }),
              "Metrics: cannot listen on 192.0.2.1 port 9470; no metrics endpoint\n");
    unlink(LB_METRICS_CONF);
}

}  // namespace
