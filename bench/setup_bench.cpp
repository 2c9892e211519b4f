// Connection setup rate: new client connections per second through lbHandlePktin and
// the setup engine, from the client's SYN to the forwarded SYN (server choice, node
// queries, path queries, the rule posts of every switch of the path, the send through
// lbPktSend, replaced here by a counter). The engine as configured by default, and with
// LB_SETUP_BENCH_WIDE (32) requests in flight, takes SYNs in bursts of 64; against them,
// one setup at a time with one request in flight and no caches, which makes the requests
// of a setup made on the packet thread one after the other. Each setup is a connection of
// a source port not used before in the run; it is torn down in memory (entry, hop list,
// server's numConn) outside the timed part, so the table never fills and no removal is
// posted. Limits: the controller's answer time and how many requests it serves at once,
// the machine being shared.
//
//   lb_setup_bench topology
//       prints the controller topology the shapes below assume
//   lb_setup_bench run CTRL_ADDR NAME SECONDS ROUNDS DELAYS_MS [REQUEST_LOG]
//       measures each shape (1 and 3 switches) in each mode for SECONDS per round,
//       ROUNDS rounds interleaved, for each delay per request in DELAYS_MS (e.g. "0,1,5",
//       set through the simulator's control endpoint; a controller without one is
//       measured at 0 only), and writes the figure rows to file descriptor 3. With
//       REQUEST_LOG (the simulator's) it also writes the controller requests per setup.
//   lb_setup_bench forward CTRL_ADDR SECONDS
//       the packet thread's time per data frame of an established connection with no
//       setups and during 500 SYN/s with a prompt, a 200-ms and a silent controller
//       (the simulator's delays), rows to file descriptor 3.
//   lb_setup_bench scale | memory | shutdown ...
//       setups with 1 k and 100 k connections open, memory after connections opened and
//       closed, shutdown under a slow controller (bench/setup_scale.cpp).
#include <arpa/inet.h>
#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/lbGlobals.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "controller/lbCurl/restApi.h"
#include "flowtable/lbFlowDb.h"
#include "packet/lbCtrlMain.h"
#include "packet/lbEngine.h"
#include "pool/lbServerList.h"
#include "setup_bench.h"

namespace lbsb {

const Shape kShapes[2] = {
    {1, "198.51.100.65", 2, 5, "198.51.100.80", 2, 4},
    {3, "198.51.100.66", 1, 5, "198.51.100.81", 3, 4},
};

void printTopology() {
    printf(
        "{\"switches\": [{\"dpid\": \"1\"}, {\"dpid\": \"2\"}, {\"dpid\": \"3\"}],\n"
        " \"links\": [{\"src\": {\"dpid\": \"1\", \"port\": 2}, \"dst\": {\"dpid\": \"2\", "
        "\"port\": 1}},\n"
        "           {\"src\": {\"dpid\": \"2\", \"port\": 2}, \"dst\": {\"dpid\": \"3\", "
        "\"port\": 1}}],\n"
        " \"hosts\": [{\"ip\": \"%s\", \"mac\": \"02:00:00:00:01:00\", \"dpid\": \"2\", "
        "\"port\": 3}",
        kVip);
    int n = 0;
    for (const Shape &s : kShapes) {
        printf(
            ",\n  {\"ip\": \"%s\", \"mac\": \"02:00:00:00:02:%02x\", \"dpid\": \"%d\", "
            "\"port\": %d}",
            s.client, ++n, s.clientDpid, s.clientPort);
        printf(
            ",\n  {\"ip\": \"%s\", \"mac\": \"02:00:00:00:02:%02x\", \"dpid\": \"%d\", "
            "\"port\": %d}",
            s.server, ++n, s.serverDpid, s.serverPort);
    }
    printf("]}\n");
}

std::atomic<int> g_sent{0};
// The send seam: counts forwarded frames instead of sending them (the engine's thread
// sends the SYNs).
unsigned countSend(lb_tx_frame *frames, unsigned n) {
    for (unsigned i = 0; i < n; ++i)
        frames[i].rc = 0;
    g_sent += static_cast<int>(n);
    return n;
}

// The client's SYN to port 80 of the VIP from sport: Ethernet, IPv4 and TCP headers
// (checksums are left zero: the balancer recomputes them).
std::vector<unsigned char> synFrame(const char *client, uint16_t sport) {
    std::vector<unsigned char> f(54, 0);
    const unsigned char dmac[6] = {0x02, 0, 0, 0, 0x01, 0};
    const unsigned char smac[6] = {0x02, 0, 0, 0, 0x03, 0x01};
    memcpy(f.data(), dmac, 6);
    memcpy(f.data() + 6, smac, 6);
    f[12] = 0x08;  // IPv4
    f[14] = 0x45;  // version 4, 20-byte header
    f[17] = 40;    // total length
    f[22] = 64;    // TTL
    f[23] = 6;     // TCP
    inet_pton(AF_INET, client, &f[26]);
    inet_pton(AF_INET, kVip, &f[30]);
    f[34] = static_cast<unsigned char>(sport >> 8);
    f[35] = static_cast<unsigned char>(sport & 0xff);
    f[37] = 80;
    f[46] = 0x50;  // 20-byte TCP header
    f[47] = 0x02;  // SYN
    f[48] = 0xff;  // window
    return f;
}

// One server record, the shape's, as the only one in the list.
lbServer_node_t *useServer(const Shape &s) {
    delete_all_lbServerNodes();
    Server_list_init();
    lbServer_node_t *srv = create_lbServer_node(&lbServHead);
    if (srv == nullptr)
        return nullptr;
    inet_pton(AF_INET, s.server, &srv->lbServIp);
    snprintf(srv->server_name, sizeof srv->server_name, "bench");
    srv->maxconn = 1000000;
    g_lbNumServers = 1;
    return srv;
}

uint16_t g_nextPort = 1024;  // source ports are never reused within a run

// Removes the connections of the shape's client in memory, as a reset would, without
// posting removals (the requests would only load the controller).
void dropEntries(uint32_t client, const std::vector<uint16_t> &ports, lbServer_node_t *srv) {
    lbTableLock lock;
    for (uint16_t p : ports) {
        lbFlow_t *e = lbFlowTable_getEntry(client, p);
        if (e == nullptr)
            continue;
        del_pathlist(&e->client_pathlist_hdr);
        srv->numConn--;
        lbFlowTable_removeEntry(e);
    }
}

// Sets up connections of shape s for about budget seconds (at most maxSetups), burst
// SYNs at a time (the next burst once every SYN of one has left), each torn down untimed.
// False when a setup did not forward its SYN within 30 s.
bool runShape(const Shape &s, double budget, int maxSetups, int burst, Tally *t,
              lbServer_node_t *srv) {
    if (srv == nullptr)
        srv = useServer(s);
    if (srv == nullptr)
        return false;
    const uint32_t client = inet_addr(s.client);
    const auto end = Clock::now() + std::chrono::duration<double>(budget);
    for (int i = 0; i < maxSetups && Clock::now() < end; i += burst) {
        std::vector<uint16_t> ports;
        // The engine counts a setup as ended only after its SYN has left: with a bound of
        // one setup in flight the next SYN would find it still there.
        while (g_lbEngine != nullptr && g_lbEngine->busy() > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        const int sentBefore = g_sent.load();
        const auto t0 = Clock::now();
        for (int k = 0; k < burst; ++k) {
            const uint16_t sport = g_nextPort++;
            if (g_nextPort == 0)
                g_nextPort = 1024;
            ports.push_back(sport);
            std::vector<unsigned char> f = synFrame(s.client, sport);
            lbTableLock lock;
            lbHandlePktin(f.data(), static_cast<int>(f.size()));
        }
        while (g_sent.load() < sentBefore + burst) {
            if (Clock::now() - t0 > std::chrono::seconds(30)) {
                fprintf(stderr, "setups %d.. of the %d-switch shape failed (see the stdout log)\n",
                        i, s.switches);
                return false;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        const double took = std::chrono::duration<double>(Clock::now() - t0).count();
        t->seconds += took;
        if (burst == 1)
            t->latencies.push_back(took);
        dropEntries(client, ports, srv);
        t->wall += std::chrono::duration<double>(Clock::now() - t0).count();
        t->setups += burst;
    }
    return true;
}

// Requests in the simulator's log from line `from` on, by kind.
struct Requests {
    size_t lines = 0, nodes = 0, paths = 0, flows = 0;
};
Requests countRequests(const char *path, size_t from) {
    std::ifstream in(path);
    Requests r;
    for (std::string line; std::getline(in, line); ++r.lines) {
        if (r.lines < from)
            continue;
        r.nodes += line.find("\"/sdn/v2.0/net/nodes\"") != std::string::npos;
        r.paths += line.find("\"/sdn/v2.0/net/paths/") != std::string::npos;
        r.flows += line.find("/flows\"") != std::string::npos;
    }
    return r;
}

double rate(const Tally &t) {
    return t.seconds > 0 ? t.setups / t.seconds : 0;
}

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Tells the simulator to answer every request after ms milliseconds; false when the
// controller is not the simulator (its control request fails).
bool setDelay(const char *ctrl, int ms) {
    CURL *h = curl_easy_init();
    if (h == nullptr)
        return false;
    const std::string url = std::string("https://") + ctrl + ":8443/_sim/control";
    const std::string body = "{\"delay\": " + std::to_string(ms / 1000.0) + "}";
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(h, CURLOPT_COPYPOSTFIELDS, body.c_str());
    curl_easy_setopt(
        h, CURLOPT_WRITEFUNCTION, +[](char *, size_t a, size_t b, void *) { return a * b; });
    long status = 0;
    if (curl_easy_perform(h) == CURLE_OK)
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(h);
    return status == 200;
}

// The modes compared: the engine as configured by default, SYNs in bursts of 64; the
// engine with a wider bound (wide requests in flight over as many connections, 0: not
// measured); and one setup at a time with one request in flight and no caches (the
// request sequence of a setup made on the packet thread). The last is the reference.
struct Mode {
    std::string name;
    lbEngineConfig cfg;
    int burst;
};
std::vector<Mode> modes(int wide) {
    const lbEngineConfig def{};
    std::vector<Mode> m{{"engine, " + std::to_string(def.maxRequests) + " in flight", def, 64}};
    if (wide > 0)
        m.push_back({"engine, " + std::to_string(wide) + " in flight",
                     lbEngineConfig{def.maxSetups, wide, wide, true}, 64});
    m.push_back({"one in flight, caches off", lbEngineConfig{1, 1, 1, false}, 1});
    return m;
}

void initBalancer(const char *ctrl, const char *idleTimeout) {
    Gv_noPrint = 1;
    lbPktSend = countSend;
    snprintf(g_cont1IPAddr, sizeof g_cont1IPAddr, "%s", ctrl);
    snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", kVip);
    auto set = [](unsigned char *dst, size_t n, const char *v) {
        snprintf(reinterpret_cast<char *>(dst), n, "%s", v);
    };
    set(g_vlanId, sizeof g_vlanId, "0");
    set(g_addFlowTmr, sizeof g_addFlowTmr, idleTimeout);
    set(g_delFlowTmr, sizeof g_delFlowTmr, "1");
    lbFlowTable_create();
    const std::string ctrlPort = std::string(ctrl) + ":8443";
    setControllerIp(ctrlPort.c_str());
}

int run(const char *ctrl, const char *name, double seconds, int rounds, const std::string &delays,
        const char *requestLog, int wide) {
    FILE *rows = fdopen(3, "w");
    if (rows == nullptr) {
        fprintf(stderr, "file descriptor 3 must be open for the figure rows\n");
        return 2;
    }
    // A short idle time-out keeps the simulator's rule tables small.
    initBalancer(ctrl, "1");
    // As the running balancer: the connections file at most ten times a second.
    lbFlowTable_setWriteInterval(100);
    const std::vector<Mode> kModes = modes(wide);
    const int nm = static_cast<int>(kModes.size()), ref = nm - 1;
    std::vector<int> delayList;
    for (size_t at = 0; at < delays.size();) {
        delayList.push_back(atoi(delays.c_str() + at));
        size_t comma = delays.find(',', at);
        at = comma == std::string::npos ? delays.size() : comma + 1;
    }

    // Requests per setup of each shape, one setup at a time without caches and with.
    for (const Mode &m : kModes) {
        std::unique_ptr<lbCtrlEngine> engine = lbEngineCreate(m.cfg);
        lbEngineInstall(engine.get());
        for (const Shape &s : kShapes) {
            Tally warm;
            const size_t before = requestLog ? countRequests(requestLog, 0).lines : 0;
            if (!runShape(s, 30, 5, 1, &warm))
                return 1;
            if (requestLog != nullptr) {
                const Requests r = countRequests(requestLog, before);
                const double n = warm.setups;
                fprintf(rows,
                        "4\tcontroller requests per setup, %d-switch path, %s\t%.1f\trequests\t"
                        "%.1f node queries, %.1f path queries, %.1f flow posts (simulator's log)\n",
                        s.switches, m.name.c_str(), (r.lines - before) / n, r.nodes / n,
                        r.paths / n, r.flows / n);
            }
        }
        lbEngineInstall(nullptr);
    }
    for (int delay : delayList) {
        if (delay != 0 && !setDelay(ctrl, delay)) {
            fprintf(stderr, "the controller takes no delay: %d ms skipped\n", delay);
            continue;
        }
        std::map<std::pair<int, int>, Tally> tally;  // (switches, mode; nm: single setups)
        // Rounds interleave shapes and modes, so a noisy spell of the machine hits all.
        for (int r = 0; r < rounds; ++r)
            for (int mi = 0; mi < nm; ++mi) {
                std::unique_ptr<lbCtrlEngine> engine = lbEngineCreate(kModes[mi].cfg);
                lbEngineInstall(engine.get());
                for (const Shape &s : kShapes) {
                    if (!runShape(s, seconds, kMaxSetupsPerRun, kModes[mi].burst,
                                  &tally[{s.switches, mi}]))
                        return 1;
                    // Single setups of the default engine: SYN in to SYN out.
                    if (mi == 0 && !runShape(s, seconds / 4, 50, 1, &tally[{s.switches, nm}]))
                        return 1;
                }
                lbEngineInstall(nullptr);
            }
        for (const Shape &s : kShapes) {
            for (int mi = 0; mi < nm; ++mi) {
                const Tally &t = tally[{s.switches, mi}];
                fprintf(rows,
                        "4\tsetup rate, %s, %d-switch path, %d ms per request, %s\t%.0f\t"
                        "setups/s\t%d setups in %.2f s\n",
                        name, s.switches, delay, kModes[mi].name.c_str(), rate(t), t.setups,
                        t.seconds);
            }
            const double one = rate(tally[{s.switches, ref}]);
            for (int mi = 0; mi < ref; ++mi) {
                const double e = rate(tally[{s.switches, mi}]);
                fprintf(rows,
                        "4\t%s / one-in-flight setup rate, %s, %d-switch path, %d ms per request"
                        "\t%.1f\tratio\t%.0f / %.0f setups/s; target at least 10 at 5 ms\n",
                        kModes[mi].name.c_str(), name, s.switches, delay, one > 0 ? e / one : 0, e,
                        one);
            }
            fprintf(rows,
                    "4\tSYN in to SYN out, %s, %d-switch path, %d ms per request, %s\t%.1f\t"
                    "ms\tmedian of %zu single setups; one-in-flight: %.1f ms\n",
                    name, s.switches, delay, kModes[0].name.c_str(),
                    median(tally[{s.switches, nm}].latencies) * 1000,
                    tally[{s.switches, nm}].latencies.size(),
                    median(tally[{s.switches, ref}].latencies) * 1000);
        }
    }
    if (!delayList.empty() && delayList.back() != 0)
        setDelay(ctrl, 0);
    fclose(rows);
    return 0;
}

// Time the packet thread spends on one data frame of an established connection (the
// lock wait included) while SYNs arrive at synPerSec and the controller answers after
// delayMs (a very long delay: a silent controller), for seconds. A frame every 2 ms.
// Rows: p50, p99 and max in microseconds.
int forwardDelay(const char *ctrl, FILE *rows, const char *what, int synPerSec, int delayMs,
                 double seconds) {
    const Shape &s = kShapes[1];
    lbServer_node_t *srv = useServer(s);
    if (srv == nullptr || !setDelay(ctrl, 0))
        return 1;
    std::unique_ptr<lbCtrlEngine> engine = lbEngineCreate(lbEngineConfig{});
    lbEngineInstall(engine.get());
    // The established connection.
    Tally warm;
    const uint16_t port = g_nextPort;
    {
        std::vector<unsigned char> f = synFrame(s.client, g_nextPort++);
        const int before = g_sent.load();
        lbTableLock lock;
        lbHandlePktin(f.data(), static_cast<int>(f.size()));
        (void)before;
    }
    const auto until = Clock::now() + std::chrono::seconds(30);
    while (g_sent.load() == 0 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (delayMs > 0 && !setDelay(ctrl, delayMs))
        return 1;
    std::vector<unsigned char> data = synFrame(s.client, port);
    data[47] = 0x18;  // PSH+ACK
    std::vector<double> us;
    const auto t0 = Clock::now();
    const auto end = t0 + std::chrono::duration<double>(seconds);
    int syns = 0;
    for (auto next = t0; next < end; next += std::chrono::milliseconds(2)) {
        std::this_thread::sleep_until(next);
        // SYNs due by now.
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        while (syns < elapsed * synPerSec) {
            std::vector<unsigned char> f = synFrame(s.client, g_nextPort++);
            if (g_nextPort == 0)
                g_nextPort = 1024;
            lbTableLock lock;
            lbHandlePktin(f.data(), static_cast<int>(f.size()));
            ++syns;
        }
        std::vector<unsigned char> f = data;
        const auto a = Clock::now();
        {
            lbTableLock lock;
            lbHandlePktin(f.data(), static_cast<int>(f.size()));
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - a).count());
    }
    setDelay(ctrl, 0);
    std::sort(us.begin(), us.end());
    fprintf(rows,
            "6\tpacket-thread time per data frame, %s\t%.1f\tus p50\tp99 %.1f us, max %.1f us, "
            "%zu frames, %d SYNs; %zu frames stalled over 1 ms\n",
            what, us[us.size() / 2], us[us.size() * 99 / 100], us.back(), us.size(), syns,
            static_cast<size_t>(us.end() - std::upper_bound(us.begin(), us.end(), 1000.0)));
    lbEngineInstall(nullptr);
    engine.reset();  // abandons what the silent controller still holds
    {
        lbTableLock lock;
        RBTreeDestroy(g_lbServFlowTable_tree);
        g_lbServFlowTable_tree = nullptr;
        numFlowEntries = 0;
        lbFlowTable_create();
    }
    return 0;
}

int runForward(const char *ctrl, double seconds) {
    FILE *rows = fdopen(3, "w");
    if (rows == nullptr)
        return 2;
    initBalancer(ctrl, "1");
    const struct {
        const char *what;
        int synPerSec, delayMs;
    } cases[] = {{"no setups", 0, 0},
                 {"500 SYN/s", 500, 0},
                 {"500 SYN/s, controller answering after 200 ms", 500, 200},
                 {"500 SYN/s, silent controller", 500, 60000}};
    for (const auto &c : cases) {
        fprintf(stderr, "forwarding delay: %s\n", c.what);
        if (forwardDelay(ctrl, rows, c.what, c.synPerSec, c.delayMs, seconds) != 0)
            return 1;
    }
    fclose(rows);
    return 0;
}

}  // namespace lbsb

using namespace lbsb;

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "topology") == 0) {
        printTopology();
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "forward") == 0)
        return runForward(argv[2], atof(argv[3]));
    // The wider in-flight bound of the engine measured beside the default (0: none).
    const char *wide = getenv("LB_SETUP_BENCH_WIDE");
    if ((argc == 7 || argc == 8) && strcmp(argv[1], "run") == 0)
        return run(argv[2], argv[3], atof(argv[4]), atoi(argv[5]), argv[6],
                   argc == 8 ? argv[7] : nullptr, wide != nullptr ? atoi(wide) : 32);
    if (argc == 6 && strcmp(argv[1], "scale") == 0)
        return runScale(argv[2], argv[3], atof(argv[4]), atoi(argv[5]));
    if (argc == 5 && strcmp(argv[1], "memory") == 0)
        return runMemory(argv[2], atoi(argv[3]), atoi(argv[4]));
    if (argc == 5 && strcmp(argv[1], "shutdown") == 0)
        return runShutdown(argv[2], atoi(argv[3]), atoi(argv[4]));
    fprintf(stderr,
            "usage: lb_setup_bench topology | run CTRL_ADDR NAME SECONDS ROUNDS DELAYS_MS "
            "[REQUEST_LOG] | forward CTRL_ADDR SECONDS | scale CTRL_ADDR NAME SECONDS ROUNDS | "
            "memory CTRL_ADDR SMALL LARGE | shutdown CTRL_ADDR CONNECTIONS DELAY_MS\n");
    return 2;
}
