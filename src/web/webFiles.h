// The files the web front end shares with a running lbapp, in lbapp's working
// directory: it reads the connections file (flows_new.txt), the per-tick server graph
// (servergraph.txt), the health checks' findings (health.txt) and timeout.conf, and
// appends requests to flag.txt.
#pragma once

#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lbweb {

// Words of a line, separated by any white space (the configuration and data files).
std::vector<std::string_view> words(std::string_view line);

// One line of flows_new.txt that names a connection.
struct FlowConn {
    std::string client;  // client address, dotted
    int clientPort = 0;
    std::string server;  // server address, dotted
    std::string serverName;
};

// flows_new.txt read: the connections in file order, and the servers listed idle
// (address -> name). Lines that do not have the file's six columns are counted in bad.
struct Flows {
    std::vector<FlowConn> conns;
    std::map<std::string, std::string> idle;
    int bad = 0;
};
Flows parseFlows(std::string_view text);

// Connections per server address.
std::map<std::string, int> countByServer(const Flows &flows);

// One server's connection counts over time, from servergraph.txt.
struct Series {
    std::string name;
    std::vector<std::pair<time_t, int>> points;  // (tick time, connections), file order
};

// The graph file's lines whose tick time lies in [from, to], one series per server name
// in order of first appearance. Tick times are local time as the balancer wrote them.
// Lines that do not parse are skipped and counted in *bad when given.
std::vector<Series> parseGraph(std::string_view text, time_t from, time_t to, int *bad = nullptr);

// health.txt, which lbapp keeps while its health checks run: one line "address up" or
// "address down" per server. Address -> "up" or "down"; lines of another shape are
// skipped.
std::map<std::string, std::string> parseHealth(std::string_view text);

// The balancer's time-outs from timeout.conf: rule idle time-out, idle time-out of rules
// posted on a reset, half-open and established limits (their defaults when the file
// gives only two words). Empty when the file's first two words are not numbers.
struct Timeouts {
    int ruleIdle = 0, resetIdle = 0, halfOpen = 30, established = 900;
};
std::optional<Timeouts> parseTimeouts(std::string_view text);

// Content of a file, or nothing when it cannot be read. At most maxBytes are read from
// its end; text before the first newline of a cut read is dropped so that only whole
// lines remain.
std::optional<std::string> readTail(const std::string &path, size_t maxBytes);

// Appends line to the request file at path in one write (O_APPEND), so that the
// balancer's tick never sees part of it. When the file does not end with a newline the
// line is preceded by one. Returns 0, or the errno value of the failure.
int appendRequest(const std::string &path, const std::string &line);

}  // namespace lbweb
