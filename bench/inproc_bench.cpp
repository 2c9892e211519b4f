// In-process figures of the packet path and the flow table: no socket, no controller, no
// database. Frames go through lbHandlePktin with a send seam that does nothing; the flow
// table is filled straight through the tree, as lbServFlowTable_createEntry does, so that
// filling a large table does not rewrite the connections file once per entry. Run it in
// a scratch directory: the connections-file benchmark writes flows_new.txt there.
// bench/inproc runs it and turns its JSON into the figure rows.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "common/lbGlobals.h"
#include "common/lbMetrics.h"
#include "flowtable/lbFlowDb.h"
#include "frame_util.h"  // tests/packet: frames whose checksums are computed independently
#include "metrics/lbMetricsHttp.h"
#include "packet/lbCtrlMain.h"

// ---- Allocation count ----------------------------------------------------------------
// Every malloc, calloc and realloc of the process passes through these (operator new
// calls malloc), so a benchmark can count the allocations of its timed loop. Aligned
// allocations are not counted; nothing on the measured paths makes one.
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
}

namespace {
std::atomic<unsigned long long> g_allocs{0};
}

extern "C" void *malloc(size_t n) noexcept {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t size) noexcept {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, size_t n) noexcept {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}

namespace {

using lbtest::Bytes;

// Documentation addresses of this benchmark: VIP, controller, server and client of the
// connection of figure 1; the flow-table keys of figures 2 and 3 use the whole /26.
constexpr const char *kVip = "198.51.100.1", *kCtrl = "198.51.100.2";
constexpr const char *kServer = "198.51.100.3", *kClient = "198.51.100.10";
constexpr const char *kServerMac = "02:00:00:00:00:03", *kClientMac = "02:00:00:00:00:0a";
constexpr const char *kVipMac = "02:00:00:00:00:01";
constexpr uint16_t kClientPort = 40000;

lbServer_node_t *g_server = nullptr;  // the one back-end server of every figure

// The process-wide configuration the packet path reads, and one server record.
void setUpGlobals() {
    Gv_noPrint = 1;
    Server_list_init();
    snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", kVip);
    snprintf(g_cont1IPAddr, sizeof g_cont1IPAddr, "%s", kCtrl);
    snprintf(reinterpret_cast<char *>(g_contMacAddr), sizeof g_contMacAddr, "%s", "2:0:0:0:0:1");
    g_server = create_lbServer_node(&lbServHead);
    inet_pton(AF_INET, kServer, &g_server->lbServIp);
    lbtest::putMac(g_server->lbServMac, kServerMac);
    snprintf(g_server->server_name, sizeof g_server->server_name, "%s", "web3");
    g_server->maxconn = 1 << 30;
    g_lbNumServers = 1;
}

// ---- Flow-table keys and filling -----------------------------------------------------
// Key k is client 198.51.100.(k % 64), port 1 + (k / 64) % 65535; a table of n entries
// holds the keys [g_lo, g_lo + n) modulo kKeys, so insert-newest + remove-oldest keeps it
// at n entries with distinct keys.
constexpr uint64_t kKeys = 64ull * 65535;
uint64_t g_lo = 0;
size_t g_size = SIZE_MAX;  // entries of the current table; SIZE_MAX: rebuild it
double g_bytesPerEntry = 0;

uint32_t keyIp(uint64_t k) {
    return htonl(0xc6336400u | static_cast<uint32_t>(k % kKeys % 64));  // 198.51.100.0/26
}
int keyPort(uint64_t k) {
    return 1 + static_cast<int>(k % kKeys / 64);
}

// As lbServFlowTable_createEntry, less the rewrite of the connections file.
void insertKey(uint64_t k) {
    auto *e = new lbFlow_t{};
    e->lbClientSrcIp = keyIp(k);
    e->lbClusterIp = inet_addr(kVip);
    e->lbClientSrcTcpPort = keyPort(k);
    e->lbServerTcpPort = 80;
    e->lbServConfPtr = g_server;
    dlist_init(&e->client_pathlist_hdr);
    g_server->numConn++;
    numFlowEntries++;
    RBTreeInsert(g_lbServFlowTable_tree, e, nullptr);
}

// As lbFlowTable_removeEntry, less the rewrite; the tree frees the entry.
void removeKey(uint64_t k) {
    lbFlow_t probe{};
    probe.lbClientSrcIp = keyIp(k);
    probe.lbClientSrcTcpPort = keyPort(k);
    rb_red_blk_node *node = RBExactQuery(g_lbServFlowTable_tree, &probe);
    if (node == nullptr)
        return;
    g_server->numConn--;
    numFlowEntries--;
    RBDelete(g_lbServFlowTable_tree, node);
}

// A table of exactly n entries (keys [0, n)); rebuilt only when the size changes. The
// heap bytes it took (malloc's in-use bytes, chunk headers and rounding included) per
// entry go to g_bytesPerEntry.
void useTable(size_t n) {
    if (g_size == n && g_lbServFlowTable_tree != nullptr)
        return;
    if (g_lbServFlowTable_tree != nullptr)
        RBTreeDestroy(g_lbServFlowTable_tree);
    // Freeing a large table leaves millions of small free chunks that the next malloc of
    // another size would first consolidate, inside some later benchmark's timed loop.
    malloc_trim(0);
    g_lbServFlowTable_tree = nullptr;
    numFlowEntries = 0;
    g_server->numConn = 0;
    lbFlowTable_create();
    const size_t before = mallinfo2().uordblks;
    for (uint64_t k = 0; k < n; ++k)
        insertKey(k);
    g_bytesPerEntry = n ? double(mallinfo2().uordblks - before) / double(n) : 0;
    g_lo = 0;
    g_size = n;
}

// ---- Figure 1: one frame ---------------------------------------------------------------

unsigned sendNothing(lb_tx_frame *frames, unsigned n) {
    for (unsigned i = 0; i < n; ++i)
        frames[i].rc = 0;
    return n;
}

Bytes g_captured;  // the latest frame sent
unsigned capture(lb_tx_frame *frames, unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
        g_captured.assign(frames[i].buf, frames[i].buf + frames[i].len);
        frames[i].rc = 0;
    }
    return n;
}

// A frame of len bytes of the connection kClient:40000 <-> VIP:80, from the client or
// from the server, with valid checksums.
Bytes connectionFrame(size_t len, bool fromServer) {
    lbtest::FrameSpec s;
    if (fromServer) {
        s = {.srcMac = kServerMac, .dstMac = kVipMac, .srcIp = kServer, .dstIp = kClient};
        s.sport = 80;
        s.dport = kClientPort;
    } else {
        s = {.srcMac = kClientMac, .dstMac = kVipMac, .srcIp = kClient, .dstIp = kVip};
        s.sport = kClientPort;
    }
    s.flags = 0x18;  // ACK, PSH: a data segment
    s.payload = len - 14 - 20 - 20;
    return lbtest::buildFrame(s);
}

// The metrics endpoint, started once, as the running balancer has it (on any free port of
// loopback: no clash with a balancer on this host). Without counting (the baseline
// binary) there is nothing to serve.
void startMetrics() {
#ifndef LB_METRICS_UNCOUNTED
    static const int port = [] {
        FILE *f = fopen(LB_METRICS_CONF, "w");
        if (f != nullptr) {
            fputs("port 0\n", f);
            fclose(f);
        }
        return lbMetricsStart();
    }();
    (void)port;
#endif
}

// lbHandlePktin on one frame of an established connection: arg 0 the frame length,
// arg 1 the direction (0 client to server, 1 server to client); the send seam does
// nothing. The 54 header bytes that the rewrite changes are restored before every frame
// (a couple of nanoseconds), so each one is readdressed as on arrival. Limits: the frame
// and the whole table stay in the L1 cache, unlike frames arriving from a socket; the
// time includes the dispatcher's two gettimeofday calls.
void BM_Frame(benchmark::State &state) {
    const size_t len = static_cast<size_t>(state.range(0));
    const bool fromServer = state.range(1) != 0;
    // A table of this one connection; the next benchmark of another figure rebuilds its own.
    g_size = SIZE_MAX;
    useTable(0);
    g_size = SIZE_MAX;
    if (lbServFlowTable_createEntry(g_server, inet_addr(kClient), kClientPort, 3, nullptr, 80) ==
        nullptr) {
        state.SkipWithError("cannot create the connection");
        return;
    }
    const Bytes in = connectionFrame(len, fromServer);
    // One frame through a capturing seam first: it must leave readdressed and valid.
    Bytes buf = in;
    g_captured.clear();
    lbPktSend = capture;
    lbHandlePktin(buf.data(), static_cast<int>(buf.size()));
    const uint32_t want = inet_addr(fromServer ? kVip : kServer);
    if (g_captured.size() != len || !lbtest::checksumsValid(g_captured) ||
        memcmp(&g_captured[fromServer ? 26 : 30], &want, 4) != 0) {
        state.SkipWithError("the frame was not forwarded as expected");
        return;
    }
    lbPktSend = sendNothing;
    startMetrics();
    lbMetricsSnapshot before, after;
    lbMetricsRead(before);
    for (auto _ : state) {
        memcpy(buf.data(), in.data(), 54);
        lbHandlePktin(buf.data(), static_cast<int>(len));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
    // 1 with counting (every frame received and forwarded counted), 0 in the baseline.
    lbMetricsRead(after);
    const uint64_t fwd =
        after.counters[LB_C_FRAMES_FORWARDED] - before.counters[LB_C_FRAMES_FORWARDED];
    state.counters["counted_per_frame"] =
        benchmark::Counter(static_cast<double>(fwd), benchmark::Counter::kAvgIterations);
}

// The RFC 1071 sum (checksum) over arg bytes. Limits: the bytes stay in the L1 cache.
void BM_Checksum(benchmark::State &state) {
    const Bytes data = connectionFrame(static_cast<size_t>(state.range(0)), false);
    for (auto _ : state)
        benchmark::DoNotOptimize(checksum(data.data(), static_cast<int>(data.size())));
}

// The TCP checksum with its pseudo-header (tcp_sum_calc) over arg bytes. Limits: as
// BM_Checksum.
void BM_TcpSum(benchmark::State &state) {
    const Bytes data = connectionFrame(static_cast<size_t>(state.range(0)), false);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            tcp_sum_calc(static_cast<uint16_t>(data.size()), &data[26], &data[30], data.data()));
}

// ---- Figure 2: the flow table at scale ---------------------------------------------------

unsigned long long g_compares = 0;
int countingCompare(const void *a, const void *b) {
    ++g_compares;
    return lbServFlowTabEntCmp(a, b);
}

// lbFlowTable_getEntry of present keys in a random order over a table of arg entries,
// so at the larger sizes most tree nodes come from memory rather than cache. Counters:
// allocations per lookup (timed loop), key comparisons per lookup (an untimed pass over
// up to 10000 keys with a counting comparison) against log2 of the size, heap bytes per
// entry. Limits: keys
// are dense in one /26 with consecutive ports; the probe list itself (8 bytes a key)
// competes for the cache.
void BM_FlowLookup(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0));
    useTable(n);
    // Built once per table, not once per run of the benchmark.
    static std::vector<std::pair<uint32_t, uint16_t>> probes;
    static uint64_t probesLo = 0;
    static double comparesPerLookup = 0;
    if (probes.size() != n || probesLo != g_lo) {
        probes.resize(n);
        probesLo = g_lo;
        for (size_t i = 0; i < n; ++i)
            probes[i] = {keyIp(g_lo + i), static_cast<uint16_t>(keyPort(g_lo + i))};
        std::shuffle(probes.begin(), probes.end(), std::mt19937_64(42));
        const size_t counted = std::min<size_t>(n, 10000);
        g_compares = 0;
        g_lbServFlowTable_tree->Compare = countingCompare;
        for (size_t i = 0; i < counted; ++i)
            benchmark::DoNotOptimize(lbFlowTable_getEntry(probes[i].first, probes[i].second));
        g_lbServFlowTable_tree->Compare = lbServFlowTabEntCmp;
        comparesPerLookup = double(g_compares) / double(counted);
    }

    size_t i = 0, misses = 0;
    const unsigned long long allocsBefore = g_allocs.load();
    for (auto _ : state) {
        const auto &[ip, port] = probes[i];
        lbFlow_t *e = lbFlowTable_getEntry(ip, port);
        misses += e == nullptr;
        benchmark::DoNotOptimize(e);
        if (++i == n)
            i = 0;
    }
    const double allocs = double(g_allocs.load() - allocsBefore);
    if (misses != 0)
        state.SkipWithError("a present key was not found");
    state.counters["allocs_per_lookup"] =
        benchmark::Counter(allocs, benchmark::Counter::kAvgIterations);
    state.counters["compares_per_lookup"] = comparesPerLookup;
    state.counters["log2_entries"] = std::log2(double(n));
    state.counters["bytes_per_entry"] = g_bytesPerEntry;
    state.counters["record_bytes"] = sizeof(lbFlow_t);
    state.counters["node_bytes"] = sizeof(rb_red_blk_node);
}

// One insertion of a new connection and one removal of the oldest per iteration, on a
// table of arg entries that keeps its size: the record and tree-node allocations, the
// rebalancing and the frees, as lbServFlowTable_createEntry and lbFlowTable_removeEntry
// do them less the connections-file rewrite (figure 3). Limits: new keys arrive in port
// order, as ephemeral ports of one client often do; removal is oldest first.
void BM_FlowInsertRemove(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0));
    useTable(n);
    const unsigned long long allocsBefore = g_allocs.load();
    for (auto _ : state) {
        insertKey(g_lo + n);
        removeKey(g_lo);
        ++g_lo;
    }
    if (numFlowEntries != n)
        state.SkipWithError("the table did not keep its size");
    // Two (record and tree node): shows that the allocation count of the lookups sees
    // the table's allocations.
    state.counters["allocs_per_op"] = benchmark::Counter(double(g_allocs.load() - allocsBefore),
                                                         benchmark::Counter::kAvgIterations);
}

// ---- Figure 3: the connections file -------------------------------------------------------

// One connection opening through lbServFlowTable_createEntry with arg connections already
// open: record, tree insertion and the rewrite of flows_new.txt (a temporary file of one
// line per connection, renamed over the old one). The new entry is then removed straight
// from the tree (well under a microsecond, no rewrite), so every opening sees the same
// size. Limits: the file goes to the page cache of the scratch directory's file system and
// is never synced, as in the balancer.
void BM_OpenWithFile(benchmark::State &state) {
    const size_t n = static_cast<size_t>(state.range(0));
    useTable(n);
    for (auto _ : state) {
        const uint64_t k = g_lo + n;
        if (lbServFlowTable_createEntry(g_server, keyIp(k), keyPort(k), 3, nullptr, 80) ==
            nullptr) {
            state.SkipWithError("cannot create an entry");
            break;
        }
        removeKey(k);
    }
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    setUpGlobals();
    // Registered in this order so that each table size is built once. The openings of
    // figure 3 take milliseconds each: a fixed count keeps their run short.
    for (int64_t len : {64, 1500})
        for (int64_t fromServer : {0, 1})
            benchmark::RegisterBenchmark("frame", BM_Frame)->Args({len, fromServer});
    for (int64_t len : {64, 1500}) {
        benchmark::RegisterBenchmark("checksum", BM_Checksum)->Arg(len);
        benchmark::RegisterBenchmark("tcp_sum_calc", BM_TcpSum)->Arg(len);
    }
    for (int64_t n : {1000, 100000, 1000000}) {
        benchmark::RegisterBenchmark("flow_lookup", BM_FlowLookup)->Arg(n);
        benchmark::RegisterBenchmark("flow_insert_remove", BM_FlowInsertRemove)->Arg(n);
    }
    for (auto [n, iterations] : {std::pair<int64_t, int64_t>{1000, 200}, {10000, 40}, {100000, 5}})
        benchmark::RegisterBenchmark("open_with_file", BM_OpenWithFile)
            ->Arg(n)
            ->Iterations(iterations)
            ->UseRealTime();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_lbServFlowTable_tree != nullptr)
        RBTreeDestroy(g_lbServFlowTable_tree);
    return 0;
}
