// The metrics endpoint: GET /metrics answers the balancer's counters, the state of every
// server and the flow table's size in Prometheus' text format (version 0.0.4), served by
// a small HTTP server on threads of its own, never the packet thread.
//
// Configured by the optional file "metrics.conf" in the working directory, lines of a
// setting and its value ('#' starts a comment line):
//   listen ADDRESS   IPv4 address to listen on (default 127.0.0.1)
//   port N           TCP port, 0 for any free one (default 9470)
//   metrics off      no endpoint ("on", the default, serves it)
// Without the file the endpoint listens on 127.0.0.1:9470, reachable from the host only.
//
// A scrape copies the server list and the table's size under g_lbRBtreeMtx and formats
// after releasing it; the counters need no lock (common/lbMetrics.h).
//
// Lock: a private mutex serialises lbMetricsStart and lbMetricsStop only; neither is
// called with g_lbRBtreeMtx held, and a scrape never takes it.
#pragma once

#include <string>

#define LB_METRICS_CONF "metrics.conf"
#define LB_METRICS_DEFAULT_ADDR "127.0.0.1"
#define LB_METRICS_DEFAULT_PORT 9470

struct lbMetricsConfig {
    bool enabled = true;
    std::string listen = LB_METRICS_DEFAULT_ADDR;
    int port = LB_METRICS_DEFAULT_PORT;
};

// Reads the file at path into cfg (the defaults when it is absent). Returns 0, or -1 when
// it cannot be read or a line is malformed, after printing one line on standard error
// that names the file, the line and the fault.
int lbMetricsConfigRead(const char *path, lbMetricsConfig &cfg);

// The whole answer of a scrape, at the time of the call. Takes g_lbRBtreeMtx: the caller
// must not hold it.
std::string lbMetricsText(void);

// Reads metrics.conf and, unless it says off, starts the endpoint and prints
// "Metrics on http://ADDRESS:PORT/metrics" (the port actually bound). Returns the port,
// 0 when the file turns the endpoint off, or -1 when the file is refused or the address
// cannot be bound (one line says why): the balancer goes on without the endpoint.
int lbMetricsStart(void);

// Stops a started endpoint and waits for its threads. No-op when none runs.
void lbMetricsStop(void);
