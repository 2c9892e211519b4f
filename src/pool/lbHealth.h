// Active health checks of the back-end servers.
//
// When the working directory holds healthcheck.conf, a checker thread opens a TCP
// connection from the balancer's own host to every server's service port once per
// interval. After `fall` failed checks in a row a server is marked down (healthDown in
// its record) and server selection passes it over, as it passes over a locked server:
// its open connections go on, it only takes no new ones. After `rise` passed checks in a
// row it is up again. Each change is printed once, and the state of every server is kept
// in health.txt for the web front end. Without the file nothing is checked and every
// server counts as up.
//
// Locks. The checker takes g_lbRBtreeMtx only to copy the servers' addresses and to write
// the results back, never while a check is waiting: the checks run outside it, all
// servers at once, each bounded by the configured time-out. Its own state is private to
// its thread; the functions below that touch the thread are for the main thread.
//
// Limits: one port for every server (the balancer keeps no service port per server);
// a check only proves that the port accepts a connection, not that the service answers;
// at most kHealthBatch connections are open at once, so a larger pool takes one
// time-out per batch per round. A connection that succeeded is closed with a reset, so
// the balancer's host keeps no TIME_WAIT state per check.
#pragma once

#include <stdint.h>

#define LB_HEALTH_CONF "healthcheck.conf"
#define LB_HEALTH_FILE "health.txt"

// Checks in flight at once, at most.
constexpr int kHealthBatch = 256;

struct lbHealthConfig {
    int intervalMs = 2000;  // from the start of one round to the start of the next
    int timeoutMs = 0;      // for one check; 0 until loaded: then the interval
    int fall = 3;           // failed checks in a row that take a server out
    int rise = 2;           // passed checks in a row that bring it back
    uint16_t port = 0;      // the servers' service port; required in the file
};

// Reads the check settings from path: lines "interval T", "timeout T", "fall N",
// "rise N", "port P" in any order, each at most once, "port" required; blank lines and
// lines starting with '#' are skipped. T is a whole number of seconds, or of
// milliseconds with the suffix "ms" ("s" may follow seconds). Allowed: interval 100 ms
// to 3600 s; timeout 10 ms up to the interval (default: the interval); fall and rise 1
// to 100 (defaults 3 and 2); port 1 to 65535. Returns 1 with cfg filled when the file is
// there and sound, 0 when there is no file (cfg untouched), -1 when it cannot be read or
// is malformed, after one printed line naming the file, the line and the fault.
int lbHealthConfigLoad(const char *path, lbHealthConfig *cfg);

// One server's standing as the checks see it.
struct lbHealthState {
    uint8_t down = 0;  // 1 once fall checks in a row failed, until rise in a row pass
    int streak = 0;    // checks in a row whose result goes against the current standing
};

// Counts one check's result (ok: the connection was accepted). Returns 1 when the server
// changed its standing with it, 0 otherwise.
int lbHealthFeed(lbHealthState *st, bool ok, int fall, int rise);

// Starts the checker thread with cfg (as loaded: timeoutMs set) and prints the settings.
// Returns 0, or -1 when a checker already runs or the thread cannot be started (the
// reason printed then).
int lbHealthStart(const lbHealthConfig &cfg);

// Stops the checker: wakes it wherever it waits, closes its checks in flight, waits for
// the thread, marks every listed server up and removes health.txt. No-op when it is not
// running. The caller must not hold g_lbRBtreeMtx.
void lbHealthStop(void);

// 1 while the checker runs (health states mean something), 0 otherwise.
int lbHealthEnabled(void);

// Rounds of checks finished since the checker started (results written back).
unsigned long lbHealthRounds(void);

// "up" or "down" for a record's healthDown, as the console and health.txt write it.
inline const char *lbHealthWord(uint8_t healthDown) {
    return healthDown != 0 ? "down" : "up";
}
