// Setup benchmarks at scale (bench/setup runs them):
//   scale:    setup rate and SYN in to SYN out with 1 k and with 100 k connections open,
//             interleaved in one run; the open ones are made straight in the table.
//   memory:   resident size and heap in use after SMALL and after LARGE connections
//             opened (through the engine) and closed (by the client's reset).
//   shutdown: CONNECTIONS open, then the controller answers after DELAY_MS and the
//             balancer stops as on SIGTERM: every connection's removals handed to the
//             engine at once, drained within the 10-s bound; for the default engine and
//             a wider in-flight bound.
// Rows go to file descriptor 3, progress to standard error.
#include <arpa/inet.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "common/lbGlobals.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "flowtable/lbFlowDb.h"
#include "packet/lbCtrlMain.h"
#include "packet/lbEngine.h"
#include "setup_bench.h"

namespace lbsb {
namespace {

FILE *rowsOut() {
    FILE *rows = fdopen(3, "w");
    if (rows == nullptr)
        fprintf(stderr, "file descriptor 3 must be open for the figure rows\n");
    return rows;
}

// Connection k of the ones held open beside the measured setups: client
// 203.0.113.(1 + k % 250), port 1024 + k / 250.
uint32_t fillIp(int k) {
    return htonl(0xcb007100u | static_cast<uint32_t>(1 + k % 250));
}
int fillPort(int k) {
    return 1024 + k / 250;
}

bool fill(lbServer_node_t *srv, int n) {
    lbTableLock lock;
    for (int k = 0; k < n; ++k)
        if (lbServFlowTable_createEntry(srv, fillIp(k), fillPort(k), 3, nullptr, 80) == nullptr)
            return false;
    lbFlowTable_flushFile(1);
    return true;
}

void unfill(lbServer_node_t *srv, int n) {
    lbTableLock lock;
    for (int k = 0; k < n; ++k) {
        lbFlow_t *e = lbFlowTable_getEntry(fillIp(k), static_cast<uint16_t>(fillPort(k)));
        if (e == nullptr)
            continue;
        srv->numConn--;
        lbFlowTable_removeEntry(e);
    }
    lbFlowTable_flushFile(1);
}

// Hands frame f to the packet path as the receive loop does.
void deliver(std::vector<unsigned char> f) {
    lbTableLock lock;
    lbHandlePktin(f.data(), static_cast<int>(f.size()));
}

// Waits until sent frames reach target; false after 30 s.
bool awaitSent(int target) {
    const auto until = Clock::now() + std::chrono::seconds(30);
    while (g_sent.load() < target) {
        if (Clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}

// Waits until the engine has nothing left (at most seconds); false when it has.
bool awaitIdle(double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (g_lbEngine->busy() > 0) {
        if (Clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Opens n connections of shape s through the engine, 64 SYNs at a time; with close, the
// client resets each burst once its SYNs have left (rules re-posted with the short
// time-out, entry and count gone). False when a SYN did not leave within 30 s.
bool openConnections(const Shape &s, int n, bool close) {
    for (int i = 0; i < n; i += 64) {
        const int burst = std::min(64, n - i);
        std::vector<uint16_t> ports;
        const int before = g_sent.load();
        for (int k = 0; k < burst; ++k) {
            ports.push_back(g_nextPort);
            deliver(synFrame(s.client, g_nextPort++));
            if (g_nextPort == 0)
                g_nextPort = 1024;
        }
        if (!awaitSent(before + burst))
            return false;
        if (!close)
            continue;
        for (uint16_t p : ports) {
            std::vector<unsigned char> f = synFrame(s.client, p);
            f[47] = 0x14;  // RST+ACK
            deliver(f);
        }
        // Keeps the engine's queue of re-posts short.
        while (g_lbEngine->busy() > 256)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The process's resident size and the heap's bytes in use.
struct Mem {
    double rssMb, heapMb;
};
Mem memNow() {
    long pages = 0, resident = 0;
    if (FILE *f = fopen("/proc/self/statm", "r")) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        fclose(f);
    }
    const struct mallinfo2 mi = mallinfo2();
    return {resident * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1e6, mi.uordblks / 1e6};
}

// Passes everything on to the engine it wraps, counting the rule requests handed over.
class CountingEngine final : public lbCtrlEngine {
  public:
    explicit CountingEngine(lbCtrlEngine *in) : in_(in) {}
    bool down() const override { return in_->down(); }
    bool hasRoom() const override { return in_->hasRoom(); }
    void setup(std::unique_ptr<lbSetupReq> req) override { in_->setup(std::move(req)); }
    void rules(lbRuleBatch batch) override {
        rules_ += batch.rules.size();
        in_->rules(std::move(batch));
    }
    size_t busy() const override { return in_->busy(); }
    void tick() override { in_->tick(); }
    std::vector<std::string> drain(int boundMs) override { return in_->drain(boundMs); }
    size_t counted() const { return rules_.load(); }

  private:
    lbCtrlEngine *in_;
    std::atomic<size_t> rules_{0};
};

double percentile(std::vector<double> v, double q) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
}

}  // namespace

int runScale(const char *ctrl, const char *name, double seconds, int rounds) {
    FILE *rows = rowsOut();
    if (rows == nullptr)
        return 2;
    initBalancer(ctrl, "1");
    lbFlowTable_setWriteInterval(100);  // as the running balancer
    lbFlowTable_startWriter();
    const Shape &s = kShapes[0];
    lbServer_node_t *srv = useServer(s);
    std::unique_ptr<lbCtrlEngine> engine = lbEngineCreate(lbEngineConfig{});
    lbEngineInstall(engine.get());
    Tally warm;
    if (srv == nullptr || !runShape(s, 30, 5, 1, &warm, srv))
        return 1;
    const int sizes[] = {1000, 100000};
    std::map<int, Tally> bursts, singles;
    std::map<int, double> writeMs, lockMs;
    for (int r = 0; r < rounds; ++r)
        for (int n : sizes) {
            fprintf(stderr, "scale: %s, %d open, round %d\n", name, n, r + 1);
            if (!fill(srv, n))
                return 1;
            {
                lbTableLock lock;
                const auto t0 = Clock::now();
                lbFlowTable_writeFile();
                writeMs[n] += std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
                // What a rewrite costs the table lock with the writer thread: the copy.
                lbFlowTable_stopWriter();  // a fresh writer is idle
                lbFlowTable_startWriter();
                lbFlowTable_setWriteInterval(0);
                const auto t1 = Clock::now();
                lbFlowTable_noteChange();
                lockMs[n] += std::chrono::duration<double, std::milli>(Clock::now() - t1).count();
                lbFlowTable_setWriteInterval(100);
            }
            if (!runShape(s, seconds, kMaxSetupsPerRun, 64, &bursts[n], srv) ||
                !runShape(s, seconds / 2, 100, 1, &singles[n], srv))
                return 1;
            unfill(srv, n);
        }
    for (int n : sizes)
        fprintf(rows,
                "4\tsetup rate with %d k connections open, %s, 1-switch path, engine\t%.0f\t"
                "setups/s\t%d setups in %.2f s, SYNs in bursts of 64, each burst's connections "
                "removed in memory after (%.2f s with that: %.0f/s); one rewrite of the "
                "connections file %.1f ms, of which %.1f ms under the table lock\n",
                n / 1000, name, rate(bursts[n]), bursts[n].setups, bursts[n].seconds,
                bursts[n].wall, bursts[n].wall > 0 ? bursts[n].setups / bursts[n].wall : 0,
                writeMs[n] / rounds, lockMs[n] / rounds);
    for (int n : sizes)
        fprintf(rows,
                "4\tSYN in to SYN out with %d k connections open, %s, 1-switch path, engine\t"
                "%.2f\tms\tmedian of %zu single setups, p90 %.2f ms\n",
                n / 1000, name, median(singles[n].latencies) * 1000, singles[n].latencies.size(),
                percentile(singles[n].latencies, 0.9) * 1000);
    const double w1 = bursts[1000].wall / std::max(1, bursts[1000].setups),
                 w100 = bursts[100000].wall / std::max(1, bursts[100000].setups);
    const double l1 = median(singles[1000].latencies), l100 = median(singles[100000].latencies);
    fprintf(rows,
            "4\tsetup cost with 100 k open / with 1 k, %s, 1-switch path\t%.1f\tratio\t"
            "SYN in to SYN out (median); per setup in bursts with the removal: %.1f; target "
            "at most 2\n",
            name, l1 > 0 ? l100 / l1 : 0, w1 > 0 ? w100 / w1 : 0);
    lbEngineInstall(nullptr);
    fclose(rows);
    return 0;
}

int runMemory(const char *ctrl, int small, int large) {
    // One heap for every thread, so that the heap's figure covers the engine's too.
    mallopt(M_ARENA_MAX, 1);
    FILE *rows = rowsOut();
    if (rows == nullptr)
        return 2;
    initBalancer(ctrl, "1");
    lbFlowTable_setWriteInterval(100);
    lbFlowTable_startWriter();
    const Shape &s = kShapes[0];
    if (useServer(s) == nullptr)
        return 2;
    std::unique_ptr<lbCtrlEngine> engine = lbEngineCreate(lbEngineConfig{});
    lbEngineInstall(engine.get());
    // Warm: the engine's connections, caches and buffers exist before the first figure.
    if (!openConnections(s, 256, true) || !awaitIdle(30))
        return 1;
    const Mem base = memNow();
    const auto t0 = Clock::now();
    if (!openConnections(s, small, true) || !awaitIdle(30))
        return 1;
    const Mem a = memNow();
    fprintf(stderr, "memory: %d opened and closed\n", small);
    if (!openConnections(s, large - small, true) || !awaitIdle(30))
        return 1;
    const Mem b = memNow();
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    fprintf(stderr, "memory: %d opened and closed in %.1f s\n", large, took);
    fprintf(rows,
            "4\tresident size after %d connections opened and closed, less after %d\t%.2f\t"
            "MB\t%.1f MB after %d (%.1f MB before any), %.1f MB after %d; target within 2 "
            "MB\n",
            large, small, b.rssMb - a.rssMb, a.rssMb, small, base.rssMb, b.rssMb, large);
    fprintf(rows,
            "4\theap in use after %d connections opened and closed, less after %d\t%.1f\t"
            "bytes per connection\t%.2f MB after %d, %.2f MB after %d (%.2f MB before any);"
            " %.0f opened and closed per second\n",
            large, small, (b.heapMb - a.heapMb) * 1e6 / (large - small), a.heapMb, small, b.heapMb,
            large, base.heapMb, large / took);
    lbEngineInstall(nullptr);
    fclose(rows);
    return 0;
}

int runShutdown(const char *ctrl, int connections, int delayMs) {
    constexpr int kBoundMs = 10000;  // the balancer's shutdown bound
    FILE *rows = rowsOut();
    if (rows == nullptr)
        return 2;
    initBalancer(ctrl, "600");  // the rules stay until they are removed
    lbFlowTable_setWriteInterval(100);
    lbFlowTable_startWriter();
    const lbEngineConfig def{};
    const std::pair<const char *, lbEngineConfig> configs[] = {
        {"default engine (8 requests in flight)", def},
        {"engine with 64 requests in flight", lbEngineConfig{def.maxSetups, 64, 64, true}}};
    for (const auto &[what, cfg] : configs) {
        const Shape &s = kShapes[0];
        if (useServer(s) == nullptr || !setDelay(ctrl, 0))
            return 1;
        std::unique_ptr<lbCtrlEngine> real = lbEngineCreate(cfg);
        CountingEngine engine(real.get());
        lbEngineInstall(&engine);
        fprintf(stderr, "shutdown: opening %d connections (%s)\n", connections, what);
        if (!openConnections(s, connections, false) || !awaitIdle(30) || !setDelay(ctrl, delayMs))
            return 1;
        // As deleteFlows on SIGTERM.
        const auto t0 = Clock::now();
        {
            lbTableLock lock;
            lbSetupStopAll();
            RBTreeTraverse(g_lbServFlowTable_tree, DELETEALL);
        }
        const std::vector<std::string> left = engine.drain(kBoundMs);
        const double took = std::chrono::duration<double>(Clock::now() - t0).count();
        fprintf(rows,
                "4\tshutdown, %d connections open, controller answering after %d ms, %s\t%.2f\t"
                "s\t%zu rule removals; connections whose rules were not all removed within "
                "%d s: %zu\n",
                connections, delayMs, what, took, engine.counted(), kBoundMs / 1000, left.size());
        lbEngineInstall(nullptr);
        real.reset();  // abandons what is still running
        lbTableLock lock;
        RBTreeDestroy(g_lbServFlowTable_tree);
        g_lbServFlowTable_tree = nullptr;
        numFlowEntries = 0;
        lbFlowTable_create();
    }
    setDelay(ctrl, 0);
    fclose(rows);
    return 0;
}

}  // namespace lbsb
