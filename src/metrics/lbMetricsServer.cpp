#include "metrics/lbMetricsHttp.h"

#include <arpa/inet.h>
#include <httplib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/lbUtil.h"

// No other header of the balancer's here: httplib's system headers define names (STATUS)
// that the list type uses. The text comes from lbMetricsText.cpp.

namespace {

int refuse(const char *path, int line, const std::string &fault) {
    if (line > 0)
        fprintf(stderr, "%s:%d: %s; no metrics endpoint\n", path, line, fault.c_str());
    else
        fprintf(stderr, "%s: %s; no metrics endpoint\n", path, fault.c_str());
    return -1;
}

// The running endpoint; guarded by g_serverMu (start and stop only).
std::mutex g_serverMu;
httplib::Server *g_server = nullptr;
std::thread *g_serverThread = nullptr;

}  // namespace

int lbMetricsConfigRead(const char *path, lbMetricsConfig &cfg) {
    cfg = lbMetricsConfig();
    std::ifstream in(path);
    if (!in) {
        if (errno == ENOENT)
            return 0;
        return refuse(path, 0, strerror(errno));
    }
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        const std::vector<std::string> w = lbSettingWords(line);
        if (w.empty())
            continue;
        if (w.size() != 2)
            return refuse(path, n, "expected a setting and one value");
        if (w[0] == "listen") {
            in_addr a;
            if (inet_pton(AF_INET, w[1].c_str(), &a) != 1)
                return refuse(path, n, "listen takes a dotted IPv4 address");
            cfg.listen = w[1];
        } else if (w[0] == "port") {
            char *end = nullptr;
            const long p = strtol(w[1].c_str(), &end, 10);
            if (*end != '\0' || p < 0 || p > 65535)
                return refuse(path, n, "port must be a number from 0 to 65535");
            cfg.port = static_cast<int>(p);
        } else if (w[0] == "metrics" && (w[1] == "on" || w[1] == "off")) {
            cfg.enabled = w[1] == "on";
        } else {
            return refuse(path, n, "expected \"listen ADDRESS\", \"port N\" or \"metrics on|off\"");
        }
    }
    if (in.bad())
        return refuse(path, 0, "read error");
    return 0;
}

int lbMetricsStart(void) {
    lbMetricsConfig cfg;
    if (lbMetricsConfigRead(LB_METRICS_CONF, cfg) != 0)
        return -1;
    if (!cfg.enabled)
        return 0;
    std::lock_guard<std::mutex> l(g_serverMu);
    if (g_server != nullptr)
        return -1;
    auto svr = std::make_unique<httplib::Server>();
    // Scrapes come every few seconds from one or two collectors: two workers suffice.
    svr->new_task_queue = [] { return new httplib::ThreadPool(2); };
    svr->set_read_timeout(5, 0);
    svr->set_write_timeout(5, 0);
    svr->set_payload_max_length(4096);
    svr->Get("/metrics", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(lbMetricsText(), "text/plain; version=0.0.4; charset=utf-8");
    });
    const int port = cfg.port == 0 ? svr->bind_to_any_port(cfg.listen)
                                   : (svr->bind_to_port(cfg.listen, cfg.port) ? cfg.port : -1);
    if (port <= 0) {
        printf("Metrics: cannot listen on %s port %d; no metrics endpoint\n", cfg.listen.c_str(),
               cfg.port);
        return -1;
    }
    g_server = svr.release();
    g_serverThread = new std::thread([] { g_server->listen_after_bind(); });
    printf("Metrics on http://%s:%d/metrics\n", cfg.listen.c_str(), port);
    return port;
}

void lbMetricsStop(void) {
    std::lock_guard<std::mutex> l(g_serverMu);
    if (g_server == nullptr)
        return;
    g_server->stop();
    g_serverThread->join();
    delete g_serverThread;
    delete g_server;
    g_serverThread = nullptr;
    g_server = nullptr;
}
