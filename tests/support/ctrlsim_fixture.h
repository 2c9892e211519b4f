// The controller simulator (testbed/controller/ctrlsim.py) on port 8443 of a loopback
// address. It ends with the instance, with the thread that started it (call start() on one
// that outlives the simulator, normally the test's own), or with the test process.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "support/lbtest_util.h"

namespace lbtest {

class CtrlSim {
  public:
    // extraArgs go to the simulator's command line (e.g. "--fault", "no_token").
    CtrlSim(std::string addr, const std::string &topologyJson,
            std::vector<std::string> extraArgs = {}, bool startNow = true);
    ~CtrlSim() { stop(); }
    CtrlSim(const CtrlSim &) = delete;
    CtrlSim &operator=(const CtrlSim &) = delete;

    // Launches the process and waits at most 15 s for it; false, with a test failure that
    // holds its output, when it did not get ready. No-op (true) when running.
    bool start();
    void stop();  // SIGTERM, then SIGKILL after 5 s
    bool running() const { return pid_ > 0; }
    std::string ctrlAddr() const { return addr_ + ":8443"; }  // as the balancer writes it

    // Every /sdn/ request logged so far, oldest first; clearLog forgets them.
    std::vector<nlohmann::json> requests() const;
    void clearLog() const { writeFile(path(".requests.log"), ""); }
    // POST /_sim/control with body, POST /_sim/reset: true on a 200 reply.
    bool control(const nlohmann::json &body) const {
        return simRequest("POST", "/_sim/control", body.dump()).first == 200;
    }
    bool reset() const { return simRequest("POST", "/_sim/reset", "").first == 200; }
    // The "flows" array of the switch with 16 hex digits dpid16; null on failure.
    nlohmann::json flows(const std::string &dpid16) const;

  private:
    // The simulator's files in the scratch directory: suffix after "ctrlsim-<addr>".
    std::string path(const char *suffix) const {
        return scratchDir() + "/ctrlsim-" + addr_ + suffix;
    }
    // The HTTP status (0: the transfer failed) and the reply.
    std::pair<long, std::string> simRequest(const char *method, const std::string &path,
                                            const std::string &body) const;

    std::string addr_;
    std::vector<std::string> extraArgs_;
    pid_t pid_ = -1;
};

// Value of the first header named name (any case) of a logged request; empty if absent.
std::string headerValue(const nlohmann::json &request, const std::string &name);

}  // namespace lbtest
