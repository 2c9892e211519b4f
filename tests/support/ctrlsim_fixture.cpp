#include "ctrlsim_fixture.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <thread>

#include "support/lbtest_util.h"

namespace lbtest {

CtrlSim::CtrlSim(std::string addr, const std::string &topologyJson,
                 std::vector<std::string> extraArgs, bool startNow)
    : addr_(std::move(addr)), extraArgs_(std::move(extraArgs)) {
    writeFile(path(".topology.json"), topologyJson);
    clearLog();
    if (startNow)
        start();
}

bool CtrlSim::start() {
    if (pid_ > 0)
        return true;
    const std::string ready = path(".ready"), out = path(".out");
    unlink(ready.c_str());
    // env looks python3 up in PATH after the exec: the child must not allocate before.
    std::vector<std::string> args = {"/usr/bin/env",
                                     "python3",
                                     sourceDir() + "/testbed/controller/ctrlsim.py",
                                     "--addr=" + addr_,
                                     "--port=8443",
                                     "--topology=" + path(".topology.json"),
                                     "--log=" + path(".requests.log"),
                                     "--ready-file=" + ready};
    args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls: the test may run other threads. The simulator
        // goes with the test process even when that one is killed.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (getppid() == parent && dup2(fd, 1) == 1 && dup2(fd, 2) == 2)
            execv(argv[0], argv.data());
        _exit(127);
    }
    std::string why = pid_ < 0 ? "could not be forked" : "not ready within 15 s";
    for (int i = 0; pid_ > 0 && i < 300;
         ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
        if (fileExists(ready))
            return true;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            why = "exited";
        }
    }
    ADD_FAILURE() << "controller simulator on " << addr_ << " " << why << ":\n" << readFile(out);
    stop();
    return false;
}

void CtrlSim::stop() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    for (int waited = 0; waitpid(pid_, nullptr, WNOHANG) == 0; ++waited) {
        if (waited == 250)  // 20 ms steps: 5 s
            kill(pid_, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
}

std::vector<nlohmann::json> CtrlSim::requests() const {
    std::vector<nlohmann::json> out;
    std::istringstream in(readFile(path(".requests.log")));
    for (std::string line; std::getline(in, line);) {
        out.push_back(nlohmann::json::parse(line, nullptr, false));
        EXPECT_FALSE(out.back().is_discarded()) << "bad request log line: " << line;
    }
    return out;
}

std::pair<long, std::string> CtrlSim::simRequest(const char *method, const std::string &path,
                                                 const std::string &body) const {
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> h(curl_easy_init(), curl_easy_cleanup);
    std::string url = "https://" + ctrlAddr() + path, reply;
    auto append = +[](char *p, size_t size, size_t n, void *out) {
        static_cast<std::string *>(out)->append(p, size * n);
        return size * n;
    };
    long status = 0;
    if (!h)
        return {status, reply};
    curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(h.get(), CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h.get(), CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(h.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h.get(), CURLOPT_CUSTOMREQUEST, method);
    if (std::string(method) != "GET")
        curl_easy_setopt(h.get(), CURLOPT_COPYPOSTFIELDS, body.c_str());
    curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, append);
    curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &reply);
    if (curl_easy_perform(h.get()) == CURLE_OK)
        curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &status);
    return {status, reply};
}

nlohmann::json CtrlSim::flows(const std::string &dpid16) const {
    auto [status, reply] = simRequest("GET", "/_sim/flows?dpid=" + dpid16, "");
    auto j = nlohmann::json::parse(reply, nullptr, false);
    return status == 200 && j.is_object() ? j.value("flows", nlohmann::json()) : nlohmann::json();
}

std::string headerValue(const nlohmann::json &request, const std::string &name) {
    for (const auto &h : request.value("headers", nlohmann::json::array()))
        if (h.size() == 2 && strcasecmp(h[0].get<std::string>().c_str(), name.c_str()) == 0)
            return h[1].get<std::string>();
    return {};
}

}  // namespace lbtest
