#include "pool/lbHealth.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/lbGlobals.h"
#include "common/lbUtil.h"
#include "pool/lbServerList.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kIntervalMinMs = 100, kIntervalMaxMs = 3600L * 1000, kTimeoutMinMs = 10;
constexpr long kCountMax = 100;

// ---- Settings file -----------------------------------------------------------------

int refuse(const char *path, int line, const std::string &fault) {
    if (line > 0)
        printf("%s line %d: %s; the balancer does not start\n", path, line, fault.c_str());
    else
        printf("%s: %s; the balancer does not start\n", path, fault.c_str());
    fflush(stdout);
    return -1;
}

// A whole number of at most nine digits; false for anything else.
bool wholeNumber(const std::string &w, long *out) {
    if (w.empty() || w.size() > 9 || w.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = std::stol(w);
    return true;
}

// "2", "2s" or "500ms" into milliseconds.
bool duration(std::string w, long *ms) {
    long scale = 1000;
    if (w.size() > 2 && w.compare(w.size() - 2, 2, "ms") == 0) {
        scale = 1;
        w.resize(w.size() - 2);
    } else if (w.size() > 1 && w.back() == 's') {
        w.pop_back();
    }
    long n;
    if (!wholeNumber(w, &n))
        return false;
    *ms = n * scale;
    return true;
}

// ---- One round of checks -----------------------------------------------------------

// A socket that is closed with a reset when it goes: a check leaves no TIME_WAIT behind.
class CheckSocket {
  public:
    CheckSocket() = default;
    CheckSocket(const CheckSocket &) = delete;
    CheckSocket &operator=(const CheckSocket &) = delete;
    ~CheckSocket() { reset(); }
    int open() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        return fd_;
    }
    int fd() const { return fd_; }
    void reset() {
        if (fd_ < 0)
            return;
        const linger abort = {1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

enum class Verdict { Passed, Failed, Unknown };

struct Check {
    uint32_t addr;     // network order
    std::string name;  // the server's name when the round began
    Verdict verdict = Verdict::Unknown;
    int err = 0;  // why it failed, or why it could not be made (Unknown)
};

// Errors of the balancer's own host rather than of the server: they say nothing about the
// server, so such a check counts neither way.
bool localError(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM ||
           err == EADDRNOTAVAIL || err == EAGAIN || err == EPERM || err == EACCES;
}

// Checks checks[0..n) at once on port: non-blocking connects, then poll until each has
// an answer or timeoutMs has passed (no answer: failed with ETIMEDOUT). Returns false,
// leaving the verdicts unfinished, as soon as wakeFd becomes readable.
bool checkBatch(Check *checks, size_t n, uint16_t port, int timeoutMs, int wakeFd) {
    std::vector<CheckSocket> socks(n);
    std::vector<pollfd> fds(n + 1, pollfd{-1, POLLOUT, 0});
    fds[n] = {wakeFd, POLLIN, 0};
    size_t waiting = 0;
    for (size_t i = 0; i < n; i++) {
        if (socks[i].open() < 0) {
            checks[i].err = errno;
            continue;
        }
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = checks[i].addr;
        if (connect(socks[i].fd(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
            checks[i].verdict = Verdict::Passed;
        } else if (errno == EINPROGRESS) {
            fds[i].fd = socks[i].fd();
            waiting++;
        } else {
            checks[i].err = errno;
            checks[i].verdict = localError(errno) ? Verdict::Unknown : Verdict::Failed;
        }
        if (fds[i].fd < 0)
            socks[i].reset();
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int pollErr = 0;  // poll itself failed: what is still waiting counts neither way
    while (waiting > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        const int rc = poll(fds.data(), fds.size(), static_cast<int>(left.count()) + 1);
        if (rc < 0 && errno != EINTR) {
            pollErr = errno;
            break;
        }
        if (rc <= 0)
            continue;
        if (fds[n].revents != 0)
            return false;
        for (size_t i = 0; i < n; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(fds[i].fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
            checks[i].err = err;
            checks[i].verdict = err == 0 ? Verdict::Passed : Verdict::Failed;
            fds[i].fd = -1;
            socks[i].reset();
            waiting--;
        }
    }
    for (size_t i = 0; i < n; i++) {
        if (fds[i].fd >= 0) {
            checks[i].err = pollErr != 0 ? pollErr : ETIMEDOUT;
            checks[i].verdict = pollErr != 0 ? Verdict::Unknown : Verdict::Failed;
        }
    }
    return true;
}

// ---- The checker thread ------------------------------------------------------------

class Checker {
  public:
    Checker(const lbHealthConfig &cfg, int wakeFd) : cfg_(cfg), wakeFd_(wakeFd) {}
    void run();

  private:
    struct Standing {
        lbHealthState st;
        int lastErr = 0;
    };
    bool round();
    bool sleepUntil(Clock::time_point when) const;
    std::vector<Check> copyServers() const;
    void writeBack(const std::vector<std::string> &changes);

    const lbHealthConfig cfg_;
    const int wakeFd_;
    std::map<uint32_t, Standing> standing_;  // by server address; this thread's only
    std::string lastFile_;                   // health.txt as last written
    bool localTrouble_ = false;              // the last round had checks it could not make
};

std::atomic<int> g_enabled{0};
std::atomic<unsigned long> g_rounds{0};

// The running checker, owned by the main thread (lbHealthStart, lbHealthStop).
struct Running {
    int wakeFd = -1;
    std::thread thread;
};
Running *g_running = nullptr;

void Checker::run() {
    Clock::time_point next = Clock::now();
    for (;;) {
        try {
            if (!round())
                return;
        } catch (const std::bad_alloc &) {
            printf("Health checks: not enough memory for a round; the standings stay\n");
        }
        g_rounds.fetch_add(1);
        next += std::chrono::milliseconds(cfg_.intervalMs);
        if (next < Clock::now())
            next = Clock::now();  // a round that overran: the next one starts at once
        if (!sleepUntil(next))
            return;
    }
}

// Waits until when; false when woken to stop.
bool Checker::sleepUntil(Clock::time_point when) const {
    pollfd p{wakeFd_, POLLIN, 0};
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
        if (left.count() <= 0)
            return true;
        const int rc = poll(&p, 1, static_cast<int>(left.count()) + 1);
        if (rc > 0)
            return false;
        if (rc < 0 && errno != EINTR)
            return true;
    }
}

// Every address of the server list once, in list order, with the first record's name.
std::vector<Check> Checker::copyServers() const {
    std::vector<Check> checks;
    std::set<uint32_t> seen;
    lbTableLock lock;
    for (dlist_node *n = lbServHead.next; n != nullptr && n != &lbServHead; n = n->next) {
        const auto *s = static_cast<const lbServer_node_t *>(n->data);
        if (seen.insert(s->lbServIp.s_addr).second) {
            Check c{s->lbServIp.s_addr, {}};
            c.name.assign(s->server_name, strnlen(s->server_name, sizeof s->server_name));
            checks.push_back(std::move(c));
        }
    }
    return checks;
}

bool Checker::round() {
    std::vector<Check> checks = copyServers();
    for (size_t at = 0; at < checks.size(); at += kHealthBatch) {
        const size_t n = std::min(checks.size() - at, static_cast<size_t>(kHealthBatch));
        if (!checkBatch(&checks[at], n, cfg_.port, cfg_.timeoutMs, wakeFd_))
            return false;
    }
    std::vector<std::string> changes;
    int unknown = 0, unknownErr = 0;
    for (const Check &c : checks) {
        if (c.verdict == Verdict::Unknown) {
            unknown++;
            unknownErr = c.err;
            continue;
        }
        Standing &s = standing_[c.addr];
        const bool ok = c.verdict == Verdict::Passed;
        if (!ok)
            s.lastErr = c.err;
        if (lbHealthFeed(&s.st, ok, cfg_.fall, cfg_.rise) == 0)
            continue;
        char ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &c.addr, ip, sizeof ip);
        char line[256];
        char why[128];
        if (s.st.down)
            snprintf(line, sizeof line,
                     "Health check: server %s %s is down after %d failed checks of port %u "
                     "(%s); it takes no new connections",
                     c.name.c_str(), ip, cfg_.fall, cfg_.port,
                     strerror_r(s.lastErr, why, sizeof why));
        else
            snprintf(line, sizeof line,
                     "Health check: server %s %s is up again after %d passed checks of port %u",
                     c.name.c_str(), ip, cfg_.rise, cfg_.port);
        changes.emplace_back(line);
    }
    if (unknown > 0 && !localTrouble_) {
        char why[128];
        printf("Health checks: %d server%s not checked, this host cannot open a connection (%s)\n",
               unknown, unknown == 1 ? "" : "s", strerror_r(unknownErr, why, sizeof why));
    }
    localTrouble_ = unknown > 0;
    writeBack(changes);
    return true;
}

// Writes the standings into the records of the list as it is now (a server removed
// since the copy is simply not there; one added since has no standing yet and counts as
// up), forgets the standings of servers no longer listed, prints the changes and
// rewrites health.txt when it changed.
void Checker::writeBack(const std::vector<std::string> &changes) {
    std::string file;
    std::map<uint32_t, Standing> kept;
    {
        lbTableLock lock;
        for (dlist_node *n = lbServHead.next; n != nullptr && n != &lbServHead; n = n->next) {
            auto *s = static_cast<lbServer_node_t *>(n->data);
            auto it = standing_.find(s->lbServIp.s_addr);
            s->healthDown = it != standing_.end() ? it->second.st.down : 0;
            if (it != standing_.end())
                kept.insert(*it);
            char ip[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &s->lbServIp, ip, sizeof ip);
            file += std::string(ip) + " " + lbHealthWord(s->healthDown) + "\n";
        }
    }
    standing_.swap(kept);
    for (const std::string &line : changes)
        printf("%s\n", line.c_str());
    if (!changes.empty())
        fflush(stdout);
    if (file == lastFile_)
        return;
    const int err = lbReplaceFile(LB_HEALTH_FILE, [&](FILE *f) {
        return fwrite(file.data(), 1, file.size(), f) == file.size();
    });
    if (err == 0)
        lastFile_ = file;
}

}  // namespace

int lbHealthConfigLoad(const char *path, lbHealthConfig *cfg) {
    std::string content, why;
    const int got = lbReadSettingsFile(path, content, why);
    if (got != 0)
        return got == 1 ? 0 : refuse(path, 0, why.c_str());

    lbHealthConfig c;
    std::map<std::string, int> seen;  // key -> line
    std::istringstream lines(content);
    std::string line;
    for (int n = 1; std::getline(lines, line); n++) {
        const std::vector<std::string> w = lbSettingWords(line);
        if (w.empty())
            continue;
        const std::string &key = w[0];
        if (key != "interval" && key != "timeout" && key != "fall" && key != "rise" &&
            key != "port")
            return refuse(
                path, n,
                "unknown setting \"" + key + "\" (known: interval, timeout, fall, rise, port)");
        if (w.size() != 2)
            return refuse(path, n, "\"" + key + "\" takes exactly one value");
        if (!seen.emplace(key, n).second)
            return refuse(path, n, "\"" + key + "\" is set twice");
        long v;
        if (key == "interval" || key == "timeout") {
            const long min = key == "interval" ? kIntervalMinMs : kTimeoutMinMs;
            if (!duration(w[1], &v) || v < min || v > kIntervalMaxMs)
                return refuse(path, n,
                              key + " must be seconds (2, 2s) or milliseconds (500ms) from " +
                                  std::to_string(min) + " ms to 3600 s");
            (key == "interval" ? c.intervalMs : c.timeoutMs) = static_cast<int>(v);
        } else if (key == "port") {
            if (!wholeNumber(w[1], &v) || v < 1 || v > 65535)
                return refuse(path, n, "port must be a number from 1 to 65535");
            c.port = static_cast<uint16_t>(v);
        } else {
            if (!wholeNumber(w[1], &v) || v < 1 || v > kCountMax)
                return refuse(path, n, key + " must be a number from 1 to 100");
            (key == "fall" ? c.fall : c.rise) = static_cast<int>(v);
        }
    }
    if (c.port == 0)
        return refuse(path, 0, "no \"port\" line: the servers' service port is required");
    if (c.timeoutMs == 0)
        c.timeoutMs = c.intervalMs;
    if (c.timeoutMs > c.intervalMs)
        return refuse(path, seen["timeout"], "timeout must not be longer than the interval");
    *cfg = c;
    return 1;
}

int lbHealthFeed(lbHealthState *st, bool ok, int fall, int rise) {
    // A result that agrees with the standing ends any run against it.
    if (ok == (st->down == 0)) {
        st->streak = 0;
        return 0;
    }
    if (++st->streak < (st->down ? rise : fall))
        return 0;
    st->down = st->down ? 0 : 1;
    st->streak = 0;
    return 1;
}

int lbHealthStart(const lbHealthConfig &cfg) {
    if (g_running != nullptr)
        return -1;
    auto *r = new (std::nothrow) Running;
    if (r == nullptr) {
        printf("Health checks not started: not enough memory\n");
        return -1;
    }
    r->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (r->wakeFd < 0) {
        perror("Health checks not started: eventfd");
        delete r;
        return -1;
    }
    lbHealthConfig c = cfg;
    if (c.timeoutMs <= 0)
        c.timeoutMs = c.intervalMs;
    g_rounds = 0;
    try {
        r->thread = std::thread([c, fd = r->wakeFd] { Checker(c, fd).run(); });
    } catch (const std::exception &e) {
        printf("Health checks not started: %s\n", e.what());
        close(r->wakeFd);
        delete r;
        return -1;
    }
    g_running = r;
    g_enabled = 1;
    printf(
        "Health checks: port %u of every server every %d ms, time-out %d ms; out after %d "
        "failures in a row, back after %d successes\n",
        c.port, c.intervalMs, c.timeoutMs, c.fall, c.rise);
    return 0;
}

void lbHealthStop(void) {
    Running *r = g_running;
    if (r == nullptr)
        return;
    const uint64_t one = 1;
    if (write(r->wakeFd, &one, sizeof one) != sizeof one)
        perror("Health checks: wake-up");
    r->thread.join();
    close(r->wakeFd);
    delete r;
    g_running = nullptr;
    g_enabled = 0;
    {
        lbTableLock lock;
        for (dlist_node *n = lbServHead.next; n != nullptr && n != &lbServHead; n = n->next)
            static_cast<lbServer_node_t *>(n->data)->healthDown = 0;
    }
    remove(LB_HEALTH_FILE);
}

int lbHealthEnabled(void) {
    return g_enabled.load();
}

unsigned long lbHealthRounds(void) {
    return g_rounds.load();
}
