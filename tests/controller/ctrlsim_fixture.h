// Runs the controller simulator (testbed/controller/ctrlsim.py) for a test: one process
// per instance on port 8443 of the given loopback address, with a topology written by
// the test. The process ends with the instance, with the thread that started it (so call
// start() on a thread that outlives the simulator, normally the test's own), or with the
// test process.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace lbtest {

class CtrlSim {
  public:
    // A simulator on addr:8443 serving topologyJson, extraArgs appended to its command
    // line (e.g. "--fault", "no_token"); started at once unless startNow is false.
    CtrlSim(std::string addr, const std::string &topologyJson,
            std::vector<std::string> extraArgs = {}, bool startNow = true);
    ~CtrlSim();
    CtrlSim(const CtrlSim &) = delete;
    CtrlSim &operator=(const CtrlSim &) = delete;

    // Launches the process and waits at most 15 s for its ready file. False, with a test
    // failure holding its output, when it did not get ready. No-op (true) when running.
    bool start();
    // SIGTERM, then SIGKILL after 5 s. No-op when not running.
    void stop();
    bool running() const { return pid_ > 0; }

    const std::string &addr() const { return addr_; }
    // "addr:8443", as the balancer's controller address is written.
    std::string ctrlAddr() const { return addr_ + ":8443"; }

    // Every /sdn/ request logged so far, oldest first; clearLog forgets them.
    std::vector<nlohmann::json> requests() const;
    void clearLog();

    // POST /_sim/control with body; true on a 200 reply.
    bool control(const nlohmann::json &body) const;
    // POST /_sim/reset; true on a 200 reply.
    bool reset() const;
    // The "flows" array of the switch with 16 hex digits dpid16; null on failure.
    nlohmann::json flows(const std::string &dpid16) const;

  private:
    // One HTTPS request to the simulator; the HTTP status (0 when the transfer failed)
    // and the reply body in *reply.
    long simRequest(const char *method, const std::string &path, const std::string &body,
                    std::string *reply) const;

    std::string addr_;
    std::vector<std::string> extraArgs_;
    std::string topoPath_, logPath_, readyPath_, outPath_;
    pid_t pid_ = -1;
};

// Value of the first header named name (any case) of a logged request; empty when
// absent. *index (when not null) receives its position, -1 when absent.
std::string headerValue(const nlohmann::json &request, const std::string &name,
                        int *index = nullptr);

}  // namespace lbtest
