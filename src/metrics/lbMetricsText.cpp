#include "metrics/lbMetricsHttp.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "common/lbGlobals.h"
#include "common/lbMetrics.h"
#include "common/lbUtil.h"
#include "controller/lbCtrlMsg.h"
#include "flowtable/lbFlowDb.h"
#include "pool/lbServerList.h"

namespace {

// What a scrape shows of one server, copied under the table lock.
struct ServerView {
    char ip[LB_IPSTR_LEN];
    std::string name;
    int numConn, maxconn;
    bool eligible, healthUp;
};

std::vector<ServerView> copyServers(uint64_t *tableEntries) {
    std::vector<ServerView> out;
    lbTableLock lock;
    *tableEntries = numFlowEntries;
    // A list never initialised (no start-up yet) has null links: nothing to show.
    for (dlist_node *n = lbServHead.next; n != nullptr && n != &lbServHead; n = n->next) {
        const auto *s = static_cast<const lbServer_node_t *>(n->data);
        ServerView v;
        lbIPntoa(s->lbServIp.s_addr, v.ip, sizeof v.ip);
        v.name.assign(s->server_name, strnlen(s->server_name, sizeof s->server_name));
        v.numConn = s->numConn;
        v.maxconn = s->maxconn;
        // As server selection decides, less the connection limit (shown beside it).
        v.eligible =
            s->lock == 0 && s->servNotReachable == 0 && s->delete_ == 0 && s->healthDown == 0;
        v.healthUp = s->healthDown == 0;
        out.push_back(std::move(v));
    }
    return out;
}

// A label value with backslash, double quote and newline escaped.
std::string labelValue(const std::string &v) {
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"')
            out += '\\', out += c;
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

class Writer {
  public:
    void family(const char *name, const char *type, const char *help) {
        out_ << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    }
    void sample(const char *name, const std::string &labels, uint64_t v) {
        out_ << name << (labels.empty() ? "" : "{" + labels + "}") << ' ' << v << '\n';
    }
    // Cumulative buckets, sum and count of one histogram.
    void histogram(const char *name, const std::string &labels,
                   const lbMetricsSnapshot::Histogram &h) {
        uint64_t total = 0;
        const std::string sep = labels.empty() ? "" : labels + ",";
        for (size_t i = 0; i < kLbLatencyBuckets; ++i) {
            total += h.buckets[i];
            char le[32];
            if (i + 1 < kLbLatencyBuckets)
                snprintf(le, sizeof le, "%g", kLbLatencyBoundsUs[i] / 1e6);
            else
                snprintf(le, sizeof le, "+Inf");
            out_ << name << "_bucket{" << sep << "le=\"" << le << "\"} " << total << '\n';
        }
        char sum[32];
        snprintf(sum, sizeof sum, "%" PRIu64 ".%06" PRIu64, h.sumUs / 1000000, h.sumUs % 1000000);
        out_ << name << "_sum" << (labels.empty() ? "" : "{" + labels + "}") << ' ' << sum << '\n';
        out_ << name << "_count" << (labels.empty() ? "" : "{" + labels + "}") << ' ' << total
             << '\n';
    }
    std::string text() const { return out_.str(); }

  private:
    std::ostringstream out_;
};

std::string quoted(const char *label, const char *value) {
    return std::string(label) + "=\"" + value + "\"";
}

}  // namespace

std::string lbMetricsText(void) {
    lbMetricsSnapshot m;
    lbMetricsRead(m);
    uint64_t tableEntries = 0;
    const std::vector<ServerView> servers = copyServers(&tableEntries);
    const uint64_t *c = m.counters;

    Writer w;
    w.family("lbapp_frames_received_total", "counter", "Frames read from the VIP interface.");
    w.sample("lbapp_frames_received_total", "", c[LB_C_FRAMES_RECEIVED]);
    w.family("lbapp_frames_forwarded_total", "counter", "Frames readdressed and sent.");
    w.sample("lbapp_frames_forwarded_total", "", c[LB_C_FRAMES_FORWARDED]);
    w.family("lbapp_frames_dropped_total", "counter", "Frames not forwarded, by reason.");
    for (int r = 0; r < LB_DROP_COUNT; ++r)
        w.sample("lbapp_frames_dropped_total",
                 quoted("reason", lbDropReasonName(static_cast<lbDropReason>(r))),
                 c[lbDropCounter(static_cast<lbDropReason>(r))]);

    w.family("lbapp_connections_opened_total", "counter",
             "Connections set up, their SYN forwarded.");
    w.sample("lbapp_connections_opened_total", "", c[LB_C_CONN_OPENED]);
    w.family("lbapp_connections_closed_total", "counter", "Connections ended, by reason.");
    for (int r = 0; r < LB_CLOSE_COUNT; ++r)
        w.sample("lbapp_connections_closed_total",
                 quoted("reason", lbCloseReasonName(static_cast<lbCloseReason>(r))),
                 c[lbCloseCounter(static_cast<lbCloseReason>(r))]);

    uint64_t setupsEnded = c[LB_C_SETUP_SUCCEEDED];
    w.family("lbapp_setups_succeeded_total", "counter",
             "Connection setups whose rules were all installed.");
    w.sample("lbapp_setups_succeeded_total", "", c[LB_C_SETUP_SUCCEEDED]);
    w.family("lbapp_setups_failed_total", "counter", "Connection setups that failed, by reason.");
    for (int r = 0; r < LB_SETUP_FAIL_COUNT; ++r) {
        setupsEnded += c[lbSetupFailCounter(static_cast<lbSetupFailure>(r))];
        w.sample("lbapp_setups_failed_total",
                 quoted("reason", lbSetupFailureName(static_cast<lbSetupFailure>(r))),
                 c[lbSetupFailCounter(static_cast<lbSetupFailure>(r))]);
    }
    // Counted by two threads and read one after the other: a setup may look ended
    // before it looks started for the length of one scrape.
    const uint64_t started = c[LB_C_SETUP_STARTED];
    w.family("lbapp_setups_in_flight", "gauge", "Connection setups handed over and not ended.");
    w.sample("lbapp_setups_in_flight", "", started > setupsEnded ? started - setupsEnded : 0);
    w.family("lbapp_setup_duration_seconds", "histogram",
             "Time from a SYN handed to the setup engine to the SYN sent, of setups that "
             "succeeded.");
    w.histogram("lbapp_setup_duration_seconds", "", m.histograms[LB_H_SETUP]);

    w.family("lbapp_controller_requests_total", "counter",
             "Requests to the SDN controller, by kind and outcome.");
    for (int k = 0; k < LB_CTRL_KIND_COUNT; ++k)
        for (int o = 0; o < LB_CTRL_OUTCOME_COUNT; ++o)
            w.sample("lbapp_controller_requests_total",
                     quoted("kind", lbCtrlKindName(static_cast<lbCtrlKind>(k))) + "," +
                         quoted("outcome", lbCtrlOutcomeName(static_cast<lbCtrlOutcome>(o))),
                     c[lbCtrlCounter(static_cast<lbCtrlKind>(k), static_cast<lbCtrlOutcome>(o))]);
    w.family("lbapp_controller_request_duration_seconds", "histogram",
             "Time from a controller request's start to its answer, by kind.");
    for (int k = 0; k < LB_CTRL_KIND_COUNT; ++k)
        w.histogram("lbapp_controller_request_duration_seconds",
                    quoted("kind", lbCtrlKindName(static_cast<lbCtrlKind>(k))),
                    m.histograms[lbCtrlHistogram(static_cast<lbCtrlKind>(k))]);
    w.family("lbapp_controller_up", "gauge",
             "1 while the SDN controller answers, 0 before the login and while it does not.");
    w.sample("lbapp_controller_up", "", static_cast<uint64_t>(g_lbControllerUp.load() != 0));

    auto perServer = [&](const char *name, const char *help, auto value) {
        w.family(name, "gauge", help);
        for (const ServerView &s : servers)
            w.sample(name, quoted("server", s.ip) + ",name=\"" + labelValue(s.name) + "\"",
                     static_cast<uint64_t>(value(s)));
    };
    perServer("lbapp_server_connections", "Open connections of the server.",
              [](const ServerView &s) { return s.numConn < 0 ? 0 : s.numConn; });
    perServer("lbapp_server_max_connections", "The server's connection limit.",
              [](const ServerView &s) { return s.maxconn < 0 ? 0 : s.maxconn; });
    perServer("lbapp_server_eligible",
              "1 when the server may take new connections: not locked, reachable, not being "
              "removed, not found down by health checks.",
              [](const ServerView &s) { return s.eligible ? 1 : 0; });
    perServer("lbapp_server_health_up",
              "0 while active health checks find the server down, 1 otherwise.",
              [](const ServerView &s) { return s.healthUp ? 1 : 0; });
    w.family("lbapp_flow_table_entries", "gauge",
             "Entries of the flow table: open connections and those being set up.");
    w.sample("lbapp_flow_table_entries", "", tableEntries);
    return w.text();
}
