// The one fixture of the packet-path suites that talk to the controller simulator: the
// simulator of the suite (one topology for all), the configuration the balancer would
// have loaded, a flow table, the send seam captured and a setup engine, started afresh
// for every test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ctrlsim_fixture.h"
#include "frame_util.h"
#include "packet/lbCtrlMain.h"
#include "packet/lbEngine.h"

namespace lbtest {

// Flow requests of sim's log, in order: "<method> <16 hex dpid> <body>"; with all, the
// others too, as "<method> <path>?<query>".
std::vector<std::string> flowRequests(const CtrlSim &sim, bool all = false);

class PacketSim : public testing::Test {
  public:
    // s1 - s2 - s3 in a line, s4 apart; the balancer (VIP) on s1 port 6.
    static constexpr const char *kSimAddr = "127.0.0.61";

  protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite() { sim_.reset(); }
    // Starts afresh: a table calls it again for each case.
    void SetUp() override;
    void TearDown() override;

    // Replaces the running engine (none when engine is null); the new one.
    lbCtrlEngine *useEngine(std::unique_ptr<lbCtrlEngine> engine);
    // A real engine with cfg; by default one request at a time and no caches, so the
    // simulator's log comes in a fixed order.
    static lbEngineConfig sequential() { return {16, 1, 1, false}; }
    void startEngine(const lbEngineConfig &cfg) { useEngine(lbEngineCreate(cfg)); }

    // Hand copies of frames, each in a buffer of exactly its size (ASan sees any read
    // beyond it), to the dispatcher as the packet loop does: one under the table lock, or
    // several as one receive batch.
    static void dispatch(const Bytes &f);
    static void dispatchBatch(const std::vector<Bytes> &frames);
    // Waits until the engine has nothing in flight; false after 20 s.
    bool settled() const;
    // Dispatches f (sent() cleared first) and lets any setup it started end; what was
    // printed, less the node queries' reply lines ("Get:: ...").
    std::string run(const Bytes &f);
    // A client's SYN to the VIP; run() of it; the entry of the connection, or null.
    static Bytes syn(const char *client, uint16_t sport = 40000) {
        return buildFrame({.srcIp = client, .dstIp = kVip, .sport = sport, .flags = 2});
    }
    std::string open(const char *client, uint16_t sport = 40000) { return run(syn(client, sport)); }
    static lbFlow_t *entry(const char *client, uint16_t sport = 40000);
    // Removes the connection's entry, with its rules, as an expiry does.
    static void expire(const char *client, uint16_t sport = 40000);
    // Frames that left through the seam so far, and forgetting them; rulesAt(i): the
    // flow requests the simulator had logged when frame i left.
    static std::vector<Bytes> sent() { return locked(sent_); }
    static size_t rulesAt(size_t i) { return locked(rulesAt_).at(i); }
    static void clearSent();
    // Frames handed to each call of the seam so far (cleared with sent()).
    static std::vector<size_t> sendCalls() { return locked(sendCalls_); }
    // A frame equal to this one is refused by the seam (rc -1, not in sent()).
    static inline Bytes refused_;

    // A server record with the given address and limits, the MAC kServerMac.
    static lbServer_node_t *addServer(const char *addr, int maxconn = 10, int lock = 0);
    // Sets the simulator's fault (none when null).
    static void fault(const nlohmann::json &j) { EXPECT_TRUE(j.is_null() || sim_->control(j)); }
    static std::vector<std::string> flowRequests(bool all = false) {
        return lbtest::flowRequests(*sim_, all);
    }
    // Every rule the simulator holds on the switches 1 to 4.
    static size_t rulesHeld();

    static inline std::unique_ptr<CtrlSim> sim_;
    std::unique_ptr<lbCtrlEngine> engine_;

  private:
    template <class T>
    static T locked(const T &v) {
        std::lock_guard<std::mutex> l(sentMtx_);
        return v;
    }
    static unsigned capture(lb_tx_frame *frames, unsigned n);
    static inline std::mutex sentMtx_;
    static inline std::vector<Bytes> sent_;
    static inline std::vector<size_t> sendCalls_;
    static inline std::vector<size_t> rulesAt_;
};

}  // namespace lbtest
