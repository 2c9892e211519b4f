#include "common/lbMetrics.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

std::atomic<int> g_lbControllerUp{0};

namespace {

// Every block ever taken, owned here for the life of the process; the free ones wait for
// the next thread that starts counting.
struct Registry {
    std::mutex mu;
    std::vector<std::unique_ptr<lbMetricsBlock>> all;
    std::vector<lbMetricsBlock *> free;
};

Registry &registry() {
    static Registry *r = new Registry;  // never destroyed: threads may count during exit
    return *r;
}

// Gives the thread's block back when the thread ends. Made only on the first count of
// a thread, so the counting path itself reads a plain thread-local pointer.
struct Releaser {
    ~Releaser() {
        lbMetricsBlock *b = lbmetrics_detail::t_block;
        if (b == nullptr)
            return;
        lbmetrics_detail::t_block = nullptr;
        Registry &r = registry();
        std::lock_guard<std::mutex> l(r.mu);
        r.free.push_back(b);
    }
};
thread_local Releaser t_releaser;

}  // namespace

constinit thread_local lbMetricsBlock *lbmetrics_detail::t_block = nullptr;

lbMetricsBlock *lbmetrics_detail::attach() {
    Registry &r = registry();
    lbMetricsBlock *b = nullptr;
    {
        std::lock_guard<std::mutex> l(r.mu);
        if (!r.free.empty()) {
            b = r.free.back();
            r.free.pop_back();
        } else {
            // Value-initialised: every counter starts at zero.
            r.all.push_back(std::make_unique<lbMetricsBlock>());
            b = r.all.back().get();
        }
    }
    t_block = b;
    (void)&t_releaser;  // odr-use: constructs the releaser for this thread
    return b;
}

void lbObserveUs(lbHistogram h, uint64_t us) {
    size_t i = 0;
    while (i + 1 < kLbLatencyBuckets && us > kLbLatencyBoundsUs[i])
        ++i;
    lbMetricsBlock::Histogram &hist = lbmetrics_detail::block().histograms[h];
    lbmetrics_detail::add(hist.buckets[i], 1);
    lbmetrics_detail::add(hist.sumUs, us);
}

void lbCountCtrlRequest(lbCtrlKind k, lbCtrlOutcome o, uint64_t us) {
    lbCount(lbCtrlCounter(k, o));
    lbObserveUs(lbCtrlHistogram(k), us);
}

void lbMetricsRead(lbMetricsSnapshot &out) {
    memset(&out, 0, sizeof out);
    Registry &r = registry();
    std::lock_guard<std::mutex> l(r.mu);
    for (const auto &b : r.all) {
        for (size_t c = 0; c < LB_C_COUNT; ++c)
            out.counters[c] += b->counters[c].load(std::memory_order_relaxed);
        for (size_t h = 0; h < LB_H_COUNT; ++h) {
            for (size_t i = 0; i < kLbLatencyBuckets; ++i)
                out.histograms[h].buckets[i] +=
                    b->histograms[h].buckets[i].load(std::memory_order_relaxed);
            out.histograms[h].sumUs += b->histograms[h].sumUs.load(std::memory_order_relaxed);
        }
    }
}

const char *lbDropReasonName(lbDropReason r) {
    static const char *const kNames[LB_DROP_COUNT] = {
        "vlan",          "not_ipv4",     "malformed",       "not_tcp",    "own_traffic",
        "not_vip",       "no_server",    "controller_down", "setup_busy", "retransmitted_syn",
        "no_connection", "setup_failed", "held_overflow",   "send_failed"};
    return r < LB_DROP_COUNT ? kNames[r] : "unknown";
}

const char *lbCloseReasonName(lbCloseReason r) {
    static const char *const kNames[LB_CLOSE_COUNT] = {"fin", "reset", "idle", "half_open",
                                                       "shutdown"};
    return r < LB_CLOSE_COUNT ? kNames[r] : "unknown";
}

const char *lbSetupFailureName(lbSetupFailure r) {
    static const char *const kNames[LB_SETUP_FAIL_COUNT] = {"controller_error",
                                                            "controller_down",
                                                            "no_server",
                                                            "balancer_not_located",
                                                            "client_not_located",
                                                            "port_conflict",
                                                            "no_path",
                                                            "rule_not_installed",
                                                            "stopping"};
    return r < LB_SETUP_FAIL_COUNT ? kNames[r] : "unknown";
}

const char *lbCtrlKindName(lbCtrlKind k) {
    static const char *const kNames[LB_CTRL_KIND_COUNT] = {"login", "flow_post", "flow_delete",
                                                           "node", "path"};
    return k < LB_CTRL_KIND_COUNT ? kNames[k] : "unknown";
}

const char *lbCtrlOutcomeName(lbCtrlOutcome o) {
    static const char *const kNames[LB_CTRL_OUTCOME_COUNT] = {"ok", "http_error",
                                                              "transport_error"};
    return o < LB_CTRL_OUTCOME_COUNT ? kNames[o] : "unknown";
}
