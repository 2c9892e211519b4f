// Connection setup rate: new client connections per second through lbHandlePktin, from
// the client's SYN to the forwarded SYN (server choice, node queries, path queries, the
// rule posts of every switch of the path, the send through lbPktSend, replaced here by a
// counter). Each setup is a connection of a source port not used before in the run; it
// is torn down in memory (entry, hop list, server's numConn) outside the timed part, so
// the table never fills and no removal is posted. Only the time inside lbHandlePktin
// counts. Limits: the controller's answer time (one HTTPS request after another, the
// packet thread waits for each), the machine being shared, and the connections file that
// the flow table rewrites at every entry it creates.
//
//   lb_setup_bench topology
//       prints the controller topology the shapes below assume
//   lb_setup_bench run CTRL_ADDR NAME SECONDS ROUNDS MODES [REQUEST_LOG]
//       measures each shape (1 and 3 switches) in each mode ("reuse", "fresh" or
//       "reuse,fresh") for SECONDS per round, ROUNDS rounds interleaved, and writes the
//       figure rows to file descriptor 3. With REQUEST_LOG (the simulator's) it also
//       writes the controller requests per setup of each shape.
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/lbGlobals.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "controller/lbCurl/restApi.h"
#include "flowtable/lbFlowDb.h"
#include "packet/lbCtrlMain.h"
#include "pool/lbServerList.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kVip = "198.51.100.100";
constexpr int kMaxSetupsPerRun = 20000;  // bound of one timed run, whatever its time

// A path shape: the client and the server the connection goes between, and where the
// topology puts them. The balancer (VIP) sits on switch 2, port 3.
struct Shape {
    int switches;
    const char *client;
    int clientDpid, clientPort;
    const char *server;
    int serverDpid, serverPort;
};
const Shape kShapes[] = {
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

int g_sent = 0;
// The send seam: counts forwarded frames instead of sending them.
int countSend(const uint8_t *, uint32_t) {
    ++g_sent;
    return 0;
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

struct Tally {
    int setups = 0;
    double seconds = 0;  // inside lbHandlePktin only
};

// Sets up connections of shape s for about budget seconds (at most maxSetups), each
// torn down untimed. False when a setup did not forward its SYN.
bool runShape(const Shape &s, double budget, int maxSetups, Tally *t) {
    lbServer_node_t *srv = useServer(s);
    if (srv == nullptr)
        return false;
    const uint32_t client = inet_addr(s.client);
    const auto end = Clock::now() + std::chrono::duration<double>(budget);
    for (int i = 0; i < maxSetups && Clock::now() < end; ++i) {
        const uint16_t sport = g_nextPort++;
        if (g_nextPort == 0)
            g_nextPort = 1024;
        std::vector<unsigned char> f = synFrame(s.client, sport);
        const int sentBefore = g_sent;
        const auto t0 = Clock::now();
        pthread_mutex_lock(&g_lbRBtreeMtx);
        lbHandlePktin(f.data(), static_cast<int>(f.size()));
        pthread_mutex_unlock(&g_lbRBtreeMtx);
        t->seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        lbFlow_t *e = lbFlowTable_getEntry(client, sport);
        if (g_sent != sentBefore + 1 || e == nullptr) {
            fprintf(stderr, "setup %d of the %d-switch shape failed (see the stdout log)\n", i,
                    s.switches);
            return false;
        }
        // The teardown a reset would do, without posting the removals.
        del_pathlist(&e->client_pathlist_hdr);
        srv->numConn--;
        lbFlowTable_removeEntry(e);
        ++t->setups;
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

int run(const char *ctrl, const char *name, double seconds, int rounds, const std::string &modes,
        const char *requestLog) {
    FILE *rows = fdopen(3, "w");
    if (rows == nullptr) {
        fprintf(stderr, "file descriptor 3 must be open for the figure rows\n");
        return 2;
    }
    Gv_noPrint = 1;
    lbPktSend = countSend;
    snprintf(g_cont1IPAddr, sizeof g_cont1IPAddr, "%s", ctrl);
    snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", kVip);
    auto set = [](unsigned char *dst, size_t n, const char *v) {
        snprintf(reinterpret_cast<char *>(dst), n, "%s", v);
    };
    set(g_vlanId, sizeof g_vlanId, "0");
    // A short idle time-out keeps the simulator's rule tables small.
    set(g_addFlowTmr, sizeof g_addFlowTmr, "1");
    set(g_delFlowTmr, sizeof g_delFlowTmr, "1");
    lbFlowTable_create();
    const std::string ctrlPort = std::string(ctrl) + ":8443";
    setControllerIp(ctrlPort.c_str());

    std::vector<int> modeList;  // 1 reuse, 0 fresh
    if (modes.find("reuse") != std::string::npos)
        modeList.push_back(1);
    if (modes.find("fresh") != std::string::npos)
        modeList.push_back(0);
    std::map<std::pair<int, int>, Tally> tally;  // (switches, reuse)
    std::map<int, std::string> requests;         // switches -> row of requests per setup

    // Warm-up, and the request count of each shape: a few setups with the kept handle.
    lbRestSetHandleReuse(1);
    for (const Shape &s : kShapes) {
        Tally warm;
        const size_t before = requestLog ? countRequests(requestLog, 0).lines : 0;
        if (!runShape(s, 30, 5, &warm))
            return 1;
        if (requestLog != nullptr) {
            const Requests r = countRequests(requestLog, before);
            const double n = warm.setups;
            char row[256];
            snprintf(row, sizeof row,
                     "4\tcontroller requests per setup, %d-switch path\t%.0f\trequests\t"
                     "%.0f node queries, %.0f path queries, %.0f flow posts (simulator's log)\n",
                     s.switches, (r.lines - before) / n, r.nodes / n, r.paths / n, r.flows / n);
            requests[s.switches] = row;
        }
    }
    // Rounds interleave shapes and modes, so a noisy spell of the machine hits all.
    for (int r = 0; r < rounds; ++r)
        for (const Shape &s : kShapes)
            for (int reuse : modeList) {
                lbRestSetHandleReuse(reuse);
                if (!runShape(s, seconds, kMaxSetupsPerRun, &tally[{s.switches, reuse}]))
                    return 1;
            }
    lbRestSetHandleReuse(1);

    const char *modeText[] = {"fresh handle per request", "reused handle"};
    for (const Shape &s : kShapes) {
        fputs(requests[s.switches].c_str(), rows);
        for (int reuse : modeList) {
            const Tally &t = tally[{s.switches, reuse}];
            fprintf(rows,
                    "4\tsetup rate, %s, %d-switch path, %s\t%.0f\tsetups/s\t%d setups in %.2f s "
                    "of setup time\n",
                    name, s.switches, modeText[reuse], rate(t), t.setups, t.seconds);
        }
        if (modeList.size() == 2) {
            const double fresh = rate(tally[{s.switches, 0}]);
            const double reused = rate(tally[{s.switches, 1}]);
            fprintf(rows,
                    "4\treused/fresh handle setup rate, %s, %d-switch path\t%.1f\tratio\t%.0f / "
                    "%.0f setups/s; target at least 10\n",
                    name, s.switches, fresh > 0 ? reused / fresh : 0, reused, fresh);
        }
    }
    fclose(rows);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "topology") == 0) {
        printTopology();
        return 0;
    }
    if ((argc == 7 || argc == 8) && strcmp(argv[1], "run") == 0)
        return run(argv[2], argv[3], atof(argv[4]), atoi(argv[5]), argv[6],
                   argc == 8 ? argv[7] : nullptr);
    fprintf(stderr,
            "usage: lb_setup_bench topology | run CTRL_ADDR NAME SECONDS ROUNDS MODES "
            "[REQUEST_LOG]\n");
    return 2;
}
