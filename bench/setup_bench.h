// What the setup benchmarks share (bench/setup_bench.cpp, bench/setup_scale.cpp): the
// path shapes of the simulator's topology, SYN frames, the counting send seam and the
// timed burst of setups.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "pool/lbServerList.h"

namespace lbsb {

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
extern const Shape kShapes[2];

struct Tally {
    int setups = 0;
    double seconds = 0;             // from the first SYN in to the last SYN out of bursts
    double wall = 0;                // the same with the untimed teardown in memory
    std::vector<double> latencies;  // SYN in to SYN out of single setups, seconds
};

extern std::atomic<int> g_sent;  // frames the balancer sent (through countSend)
extern uint16_t g_nextPort;      // the next client source port

// The client's SYN to port 80 of the VIP from sport (checksums left zero).
std::vector<unsigned char> synFrame(const char *client, uint16_t sport);
// One server record, the shape's, as the only one in the list.
lbServer_node_t *useServer(const Shape &s);
// Sets up connections of shape s with server srv (null: a fresh useServer) for about
// budget seconds (at most maxSetups), burst SYNs at a time, each torn down untimed in
// memory. False when a setup did not forward its SYN within 30 s.
bool runShape(const Shape &s, double budget, int maxSetups, int burst, Tally *t,
              lbServer_node_t *srv = nullptr);
double rate(const Tally &t);
double median(std::vector<double> v);
// Makes the simulator answer every request after ms milliseconds; false when it cannot.
bool setDelay(const char *ctrl, int ms);
// The balancer's globals for controller ctrl, the send seam counting, the table made.
void initBalancer(const char *ctrl, const char *idleTimeout);

int runScale(const char *ctrl, const char *name, double seconds, int rounds);
int runMemory(const char *ctrl, int small, int large);
int runShutdown(const char *ctrl, int connections, int delayMs);

}  // namespace lbsb
