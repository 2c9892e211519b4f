// Counters of what the balancer does, for the metrics endpoint: frames, connections,
// setups and controller requests, and two latency histograms.
//
// Counting costs no lock and no system call: each thread that counts owns a block of
// counters of its own (taken on its first count, under the registry lock, once) and adds
// to it with plain relaxed loads and stores, which only that thread writes. A scrape sums
// every block with relaxed loads; a value may then lag a count made at the same moment,
// never more. A block outlives its thread (handed to the next thread that starts
// counting), so no count is ever lost.
//
// Lock: the registry's private mutex guards the list of blocks only; it is taken when a
// thread takes or gives back its block and by lbMetricsRead, never while another lock
// is waited for, so it nests inside g_lbRBtreeMtx and any other lock.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>

// Why a received frame was not forwarded.
enum lbDropReason : uint8_t {
    LB_DROP_VLAN,             // VLAN-tagged: the balancer serves untagged frames
    LB_DROP_NOT_IPV4,         // another EtherType (ARP, IPv6, ...)
    LB_DROP_MALFORMED,        // not a whole unfragmented IPv4 datagram with a TCP header
    LB_DROP_NOT_TCP,          // ICMP, UDP, ...
    LB_DROP_OWN_TRAFFIC,      // the balancer's own: controller, console, to itself
    LB_DROP_NOT_VIP,          // a SYN to another address
    LB_DROP_NO_SERVER,        // no server, or none eligible
    LB_DROP_CONTROLLER_DOWN,  // a SYN while the controller does not answer
    LB_DROP_SETUP_BUSY,       // a SYN beyond the setups in flight
    LB_DROP_RETRANSMITTED_SYN,
    LB_DROP_NO_CONNECTION,  // a segment of no known connection
    LB_DROP_SETUP_FAILED,   // the SYN of a setup that failed
    LB_DROP_HELD_OVERFLOW,  // too many frames waiting for a connection's rules
    LB_DROP_SEND_FAILED,
    LB_DROP_COUNT
};

// How a balanced connection ended.
enum lbCloseReason : uint8_t {
    LB_CLOSE_FIN,        // the expiry after a FIN with ACK
    LB_CLOSE_RESET,      // a reset from either side
    LB_CLOSE_IDLE,       // no frame either way for the idle limit
    LB_CLOSE_HALF_OPEN,  // no frame from the client after its SYN
    LB_CLOSE_SHUTDOWN,   // the stop signal
    LB_CLOSE_COUNT
};

// Why a setup handed to the setup engine failed.
enum lbSetupFailure : uint8_t {
    LB_SETUP_FAIL_CONTROLLER,  // a host query failed or was refused
    LB_SETUP_FAIL_CONTROLLER_DOWN,
    LB_SETUP_FAIL_NO_SERVER,          // no eligible server the controller knows
    LB_SETUP_FAIL_BALANCER_UNPLACED,  // the balancer's own port not found
    LB_SETUP_FAIL_CLIENT_UNPLACED,    // the client not found
    LB_SETUP_FAIL_PORT_CONFLICT,      // client or server on the balancer's port
    LB_SETUP_FAIL_NO_PATH,            // no path, or no rule to post along it
    LB_SETUP_FAIL_RULE,               // a rule not installed
    LB_SETUP_FAIL_STOPPING,           // the balancer is stopping
    LB_SETUP_FAIL_COUNT
};

// Controller requests by kind (as the setup engine and the waiting requests make them)
// and by outcome.
enum lbCtrlKind : uint8_t {
    LB_CTRL_LOGIN,
    LB_CTRL_FLOW_POST,
    LB_CTRL_FLOW_DELETE,
    LB_CTRL_NODE,
    LB_CTRL_PATH,
    LB_CTRL_KIND_COUNT
};
enum lbCtrlOutcome : uint8_t {
    LB_CTRL_OK,               // a reply below 400
    LB_CTRL_HTTP_ERROR,       // a reply of 400 or above
    LB_CTRL_TRANSPORT_ERROR,  // no reply: connection, TLS or time-out
    LB_CTRL_OUTCOME_COUNT
};

// Plain counters, each one number.
enum lbCounter : uint16_t {
    LB_C_FRAMES_RECEIVED,
    LB_C_FRAMES_FORWARDED,
    LB_C_CONN_OPENED,
    LB_C_SETUP_STARTED,
    LB_C_SETUP_SUCCEEDED,
    LB_C_DROP_FIRST,
    LB_C_CLOSE_FIRST = LB_C_DROP_FIRST + int{LB_DROP_COUNT},
    LB_C_SETUP_FAIL_FIRST = LB_C_CLOSE_FIRST + int{LB_CLOSE_COUNT},
    LB_C_CTRL_FIRST = LB_C_SETUP_FAIL_FIRST + int{LB_SETUP_FAIL_COUNT},
    LB_C_COUNT = LB_C_CTRL_FIRST + int{LB_CTRL_KIND_COUNT} * int{LB_CTRL_OUTCOME_COUNT}
};

// Latency histograms: the setups that succeeded (SYN handed over to SYN sent) and the
// controller's requests by kind (started to answered).
enum lbHistogram : uint8_t {
    LB_H_SETUP,
    LB_H_CTRL_FIRST,
    LB_H_COUNT = LB_H_CTRL_FIRST + int{LB_CTRL_KIND_COUNT}
};

// The counter or histogram of a reason, or of a kind and outcome of request.
constexpr lbCounter lbDropCounter(lbDropReason r) {
    return static_cast<lbCounter>(LB_C_DROP_FIRST + int{r});
}
constexpr lbCounter lbCloseCounter(lbCloseReason r) {
    return static_cast<lbCounter>(LB_C_CLOSE_FIRST + int{r});
}
constexpr lbCounter lbSetupFailCounter(lbSetupFailure r) {
    return static_cast<lbCounter>(LB_C_SETUP_FAIL_FIRST + int{r});
}
constexpr lbCounter lbCtrlCounter(lbCtrlKind k, lbCtrlOutcome o) {
    return static_cast<lbCounter>(LB_C_CTRL_FIRST + int{k} * int{LB_CTRL_OUTCOME_COUNT} + int{o});
}
constexpr lbHistogram lbCtrlHistogram(lbCtrlKind k) {
    return static_cast<lbHistogram>(LB_H_CTRL_FIRST + int{k});
}

// Upper bounds of the histograms' buckets, in microseconds; one more bucket takes the
// rest (+Inf).
inline constexpr uint32_t kLbLatencyBoundsUs[] = {500,     1000,    2500,    5000,    10000,
                                                  25000,   50000,   100000,  250000,  500000,
                                                  1000000, 2500000, 5000000, 10000000};
inline constexpr size_t kLbLatencyBuckets = sizeof kLbLatencyBoundsUs / sizeof(uint32_t) + 1;

// One thread's counters. Only the owning thread writes; readers load.
struct alignas(64) lbMetricsBlock {
    std::atomic<uint64_t> counters[LB_C_COUNT];
    struct Histogram {
        std::atomic<uint64_t> buckets[kLbLatencyBuckets];
        std::atomic<uint64_t> sumUs;
    } histograms[LB_H_COUNT];
};

namespace lbmetrics_detail {
// constinit: other files read it directly, without the call that a thread-local with a
// dynamic initialiser would need.
extern thread_local constinit lbMetricsBlock *t_block;
lbMetricsBlock *attach();  // takes a block for this thread
inline lbMetricsBlock &block() {
    lbMetricsBlock *b = t_block;
    return b != nullptr ? *b : *attach();
}
inline void add(std::atomic<uint64_t> &a, uint64_t n) {
    a.store(a.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}
}  // namespace lbmetrics_detail

// Adds n to counter c of this thread. Compiled out (LB_METRICS_UNCOUNTED) only in the
// baseline of the per-frame benchmark (bench/inproc), which measures the cost of
// counting against the same code without it.
#ifdef LB_METRICS_UNCOUNTED
inline void lbCount(lbCounter, uint64_t = 1) {}
#else
inline void lbCount(lbCounter c, uint64_t n = 1) {
    lbmetrics_detail::add(lbmetrics_detail::block().counters[c], n);
}
#endif
inline void lbCountDrop(lbDropReason r) {
    lbCount(lbDropCounter(r));
}
inline void lbCountClose(lbCloseReason r) {
    lbCount(lbCloseCounter(r));
}
inline void lbCountSetupFailure(lbSetupFailure r) {
    lbCount(lbSetupFailCounter(r));
}

// Records one observation of us microseconds in histogram h.
void lbObserveUs(lbHistogram h, uint64_t us);

// One controller request of kind k: its outcome and how long it took.
void lbCountCtrlRequest(lbCtrlKind k, lbCtrlOutcome o, uint64_t us);

// 1 while the controller answers (after the login and until a transfer fails), 0 before
// the first login and while the setup engine takes it to be down.
extern std::atomic<int> g_lbControllerUp;

// The sum over every thread of every counter and histogram, at the time of the call.
struct lbMetricsSnapshot {
    uint64_t counters[LB_C_COUNT];
    struct Histogram {
        uint64_t buckets[kLbLatencyBuckets];  // per bucket, not cumulative
        uint64_t sumUs;
    } histograms[LB_H_COUNT];
};
void lbMetricsRead(lbMetricsSnapshot &out);

// Names of the labels' values, as the endpoint shows them.
const char *lbDropReasonName(lbDropReason r);
const char *lbCloseReasonName(lbCloseReason r);
const char *lbSetupFailureName(lbSetupFailure r);
const char *lbCtrlKindName(lbCtrlKind k);
const char *lbCtrlOutcomeName(lbCtrlOutcome o);
