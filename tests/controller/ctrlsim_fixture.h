// Runs the controller simulator (testbed/controller/ctrlsim.py) for a test: one process
// per instance on port 8443 of the given loopback address, with a topology written by
// the test. The process is ended when the instance goes, and also when the thread that
// started it ends (so call start() on a thread that outlives the simulator, normally the
// test's own), or the test process dies.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace lbtest {

class CtrlSim {
  public:
    // Prepares a simulator on addr:8443 serving topologyJson; extraArgs are appended to
    // its command line (for example "--fault", "no_token"). Starts it at once unless
    // startNow is false.
    CtrlSim(std::string addr, const std::string &topologyJson,
            std::vector<std::string> extraArgs = {}, bool startNow = true);
    ~CtrlSim();
    CtrlSim(const CtrlSim &) = delete;
    CtrlSim &operator=(const CtrlSim &) = delete;

    // Launches the process and waits (at most 15 s) for its ready file. Returns true
    // when it is accepting connections; otherwise records a test failure with its
    // output. No-op returning true when it already runs.
    bool start();
    // Ends the process (SIGTERM, then SIGKILL after 5 s). No-op when not running.
    void stop();
    bool running() const { return pid_ > 0; }

    const std::string &addr() const { return addr_; }
    // "addr:8443", the form the balancer's controller address takes.
    std::string ctrlAddr() const { return addr_ + ":8443"; }

    // Every /sdn/ request logged so far, oldest first.
    std::vector<nlohmann::json> requests() const;
    // Forgets the requests logged so far.
    void clearLog();

    // POST /_sim/control with body; true on a 200 reply.
    bool control(const nlohmann::json &body) const;
    // POST /_sim/reset; true on a 200 reply.
    bool reset() const;
    // The "flows" array installed on the switch with 16 hex digits dpid16 (null on
    // failure).
    nlohmann::json flows(const std::string &dpid16) const;

  private:
    // One HTTPS request to the simulator's control side; returns the HTTP status (0 on
    // a transfer failure) and the reply body in *reply.
    long simRequest(const char *method, const std::string &path, const std::string &body,
                    std::string *reply) const;

    std::string addr_;
    std::vector<std::string> extraArgs_;
    std::string topoPath_, logPath_, readyPath_, outPath_;
    pid_t pid_ = -1;
};

// Value of the first header named name (case-insensitive) in a logged request; empty
// when absent. *index receives its position (-1 when absent) when index is not null.
std::string headerValue(const nlohmann::json &request, const std::string &name,
                        int *index = nullptr);

}  // namespace lbtest
