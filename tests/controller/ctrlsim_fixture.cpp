#include "ctrlsim_fixture.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <strings.h>
#include <thread>

#include "support/lbtest_util.h"

namespace lbtest {
namespace {

constexpr auto kReadyWait = std::chrono::seconds(15);
constexpr auto kStopWait = std::chrono::seconds(5);

size_t appendReply(char *ptr, size_t size, size_t nmemb, void *userdata) {
    static_cast<std::string *>(userdata)->append(ptr, size * nmemb);
    return size * nmemb;
}

// Absolute path of an executable found through PATH; empty when there is none.
std::string findInPath(const std::string &name) {
    const char *path = getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

bool reaped(pid_t pid, std::chrono::steady_clock::duration within) {
    auto deadline = std::chrono::steady_clock::now() + within;
    do {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

}  // namespace

CtrlSim::CtrlSim(std::string addr, const std::string &topologyJson,
                 std::vector<std::string> extraArgs, bool startNow)
    : addr_(std::move(addr)), extraArgs_(std::move(extraArgs)) {
    std::string base = scratchDir().empty() ? "." : scratchDir();
    base += "/ctrlsim-" + addr_;
    topoPath_ = base + ".topology.json";
    logPath_ = base + ".requests.log";
    readyPath_ = base + ".ready";
    outPath_ = base + ".out";
    writeFile(topoPath_, topologyJson);
    writeFile(logPath_, "");
    if (startNow)
        start();
}

CtrlSim::~CtrlSim() {
    stop();
}

bool CtrlSim::start() {
    if (pid_ > 0)
        return true;
    unlink(readyPath_.c_str());
    std::vector<std::string> args = {"python3",      sourceDir() + "/testbed/controller/ctrlsim.py",
                                     "--addr",       addr_,
                                     "--port",       "8443",
                                     "--topology",   topoPath_,
                                     "--log",        logPath_,
                                     "--ready-file", readyPath_};
    args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::string python = findInPath("python3");
    if (python.empty()) {
        ADD_FAILURE() << "python3 not found in PATH";
        return false;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "cannot start the controller simulator: " << strerror(errno);
        return false;
    }
    if (pid == 0) {
        // Only async-signal-safe calls here: the test may run other threads. The
        // simulator goes with the test process even when that one is killed.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        execv(python.c_str(), argv.data());
        _exit(127);
    }
    pid_ = pid;

    auto deadline = std::chrono::steady_clock::now() + kReadyWait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (fileExists(readyPath_))
            return true;
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            ADD_FAILURE() << "controller simulator on " << addr_ << " exited:\n"
                          << readFile(outPath_);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "controller simulator on " << addr_ << " not ready within 15 s:\n"
                  << readFile(outPath_);
    stop();
    return false;
}

void CtrlSim::stop() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    if (!reaped(pid_, kStopWait)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

std::vector<nlohmann::json> CtrlSim::requests() const {
    std::vector<nlohmann::json> out;
    std::istringstream in(readFile(logPath_));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        auto j = nlohmann::json::parse(line, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << "bad request log line: " << line;
        if (!j.is_discarded())
            out.push_back(std::move(j));
    }
    return out;
}

void CtrlSim::clearLog() {
    truncate(logPath_.c_str(), 0);
}

long CtrlSim::simRequest(const char *method, const std::string &path, const std::string &body,
                         std::string *reply) const {
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> h(curl_easy_init(), curl_easy_cleanup);
    if (!h)
        return 0;
    std::string url = "https://" + ctrlAddr() + path;
    curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(h.get(), CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h.get(), CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(h.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h.get(), CURLOPT_CUSTOMREQUEST, method);
    if (std::string(method) != "GET") {
        curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(h.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, appendReply);
    curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, reply);
    if (curl_easy_perform(h.get()) != CURLE_OK)
        return 0;
    long status = 0;
    curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &status);
    return status;
}

bool CtrlSim::control(const nlohmann::json &body) const {
    std::string reply;
    return simRequest("POST", "/_sim/control", body.dump(), &reply) == 200;
}

bool CtrlSim::reset() const {
    std::string reply;
    return simRequest("POST", "/_sim/reset", "", &reply) == 200;
}

nlohmann::json CtrlSim::flows(const std::string &dpid16) const {
    std::string reply;
    if (simRequest("GET", "/_sim/flows?dpid=" + dpid16, "", &reply) != 200)
        return nullptr;
    auto j = nlohmann::json::parse(reply, nullptr, false);
    if (j.is_discarded() || !j.contains("flows"))
        return nullptr;
    return j["flows"];
}

std::string headerValue(const nlohmann::json &request, const std::string &name, int *index) {
    if (index != nullptr)
        *index = -1;
    if (!request.contains("headers"))
        return {};
    int i = 0;
    for (const auto &h : request["headers"]) {
        if (h.size() == 2 && strcasecmp(h[0].get<std::string>().c_str(), name.c_str()) == 0) {
            if (index != nullptr)
                *index = i;
            return h[1].get<std::string>();
        }
        ++i;
    }
    return {};
}

}  // namespace lbtest
