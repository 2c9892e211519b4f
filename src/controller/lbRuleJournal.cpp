#include "controller/lbRuleJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "controller/lbCurl/restAsync.h"

namespace {

constexpr char kTimeoutKey[] = "\"idle_timeout\":";

// A rule's identity: its URL and its body without the idle time-out's value.
std::string keyOf(const std::string &url, const std::string &body) {
    return url + ' ' + lbFlowBodyRetimed(body, "");
}

// Writes all of text to fd. Returns 0, or an errno value.
int writeAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Flushes the directory holding path, so that a rename or a creation in it survives a
// power cut. Returns 0, or an errno value.
int syncDir(const std::string &path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int err = fsync(fd) != 0 ? errno : 0;
    close(fd);
    return err;
}

}  // namespace

std::string lbFlowBodyRetimed(const std::string &body, const std::string &timeout) {
    const size_t at = body.find(kTimeoutKey);
    if (at == std::string::npos)
        return body;
    const size_t from = at + sizeof kTimeoutKey - 1;
    const size_t to = body.find_first_of(",}", from);
    if (to == std::string::npos)
        return body;
    return body.substr(0, from) + timeout + body.substr(to);
}

lbRuleJournal::lbRuleJournal(std::string path, size_t compactMin,
                             std::chrono::milliseconds retryEvery)
    : path_(std::move(path)), compactMin_(compactMin), retryEvery_(retryEvery) {
    if (load())
        rewrite();
}

lbRuleJournal::~lbRuleJournal() {
    if (!failed_ && (lines_ > live_.size() || !pending_.empty()))
        rewrite();  // also writes what is pending
    if (fd_ >= 0)
        close(fd_);
}

// Reads the records of an earlier run. False when the file is there but cannot be
// read: it is then never rewritten in this run, which would lose its records, and
// nothing is recorded.
bool lbRuleJournal::load() {
    auto unreadable = [this](int err) {
        printf(
            "Rule journal %s cannot be read (%s): it is left as it is and no rules are "
            "recorded\n",
            path_.c_str(), strerror(err));
        failed_ = true;
        retryAt_ = std::chrono::steady_clock::time_point::max();
        return false;
    };
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return true;
    if (fd < 0)
        return unreadable(errno);
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int err = errno;
            close(fd);
            return unreadable(err);
        }
        if (n == 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
        const std::string line = text.substr(at, nl - at);
        const size_t space = line.find(' ', 2);
        const bool add = line.compare(0, 2, "+ ") == 0;
        if ((!add && line.compare(0, 2, "- ") != 0) || space == std::string::npos ||
            space + 1 >= line.size() || line.find('\0') != std::string::npos) {
            ++skipped_;
            continue;
        }
        std::string url = line.substr(2, space - 2), body = line.substr(space + 1);
        const std::string key = keyOf(url, body);
        if (add)
            live_.emplace(key, Rec{std::move(url), std::move(body), 0});
        else
            live_.erase(key);
    }
    if (at < text.size())
        ++skipped_;  // the torn last line
    return true;
}

void lbRuleJournal::fail(const char *what, int err) {
    if (!failed_)
        printf("Rule journal %s %s (%s): rules are not recorded until it can be written\n",
               path_.c_str(), what, strerror(err));
    failed_ = true;
    retryAt_ = std::chrono::steady_clock::now() + retryEvery_;
}

// The live records only, into a new file renamed over the journal; the new file stays
// open for appending. On failure the old file (if any) and descriptor stay as they were.
bool lbRuleJournal::rewrite() {
    const std::string tmp = path_ + ".tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        fail("cannot be written", errno);
        return false;
    }
    std::string text;
    for (const auto &[key, rec] : live_)
        text += "+ " + rec.url + ' ' + rec.body + '\n';
    int err = writeAll(fd, text);
    if (err == 0 && fsync(fd) != 0)
        err = errno;
    if (err == 0 && rename(tmp.c_str(), path_.c_str()) != 0)
        err = errno;
    if (err == 0)
        err = syncDir(path_);
    if (err != 0) {
        close(fd);
        unlink(tmp.c_str());
        fail("cannot be written", err);
        return false;
    }
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
    lines_ = live_.size();
    pending_.clear();
    pendingAdds_ = false;
    if (failed_)
        printf("Rule journal %s written again: rules are recorded\n", path_.c_str());
    failed_ = false;
    return true;
}

uint64_t lbRuleJournal::posting(const std::string &url, const std::string &body) {
    const uint64_t stamp = ++seq_;
    auto [it, added] = live_.try_emplace(keyOf(url, body), Rec{url, body, stamp});
    it->second.postedAt = stamp;
    if (added && !failed_) {
        pending_ += "+ " + url + ' ' + body + '\n';
        pendingAdds_ = true;
        ++lines_;
    }
    return stamp;
}

void lbRuleJournal::removed(const std::string &url, const std::string &body, uint64_t stamp) {
    auto it = live_.find(keyOf(url, body));
    if (it == live_.end() || it->second.postedAt > stamp)
        return;
    if (!failed_) {
        pending_ += "- " + it->second.url + ' ' + it->second.body + '\n';
        ++lines_;
    }
    live_.erase(it);
}

bool lbRuleJournal::writePending() {
    if (pending_.empty())
        return true;
    int err = writeAll(fd_, pending_);
    if (err == 0 && pendingAdds_ && fdatasync(fd_) != 0)
        err = errno;
    if (err != 0) {
        fail("cannot be written", err);
        return false;
    }
    pending_.clear();
    pendingAdds_ = false;
    return true;
}

int lbRuleJournal::sync() {
    if (failed_) {
        // Everything is in memory: a whole rewrite puts the file right again.
        if (std::chrono::steady_clock::now() < retryAt_ || !rewrite())
            return -1;
        return 0;
    }
    if (lines_ > compactMin_ && lines_ > 4 * live_.size())
        return rewrite() ? 0 : -1;
    return writePending() ? 0 : -1;
}

std::vector<std::pair<std::string, std::string>> lbRuleJournal::rules() const {
    std::vector<std::pair<std::string, std::string>> out;
    out.reserve(live_.size());
    for (const auto &[key, rec] : live_)
        out.emplace_back(rec.url, rec.body);
    return out;
}

lbReplayResult lbRuleJournalReplay(lbRuleJournal &journal, const std::string &timeout,
                                   int maxInFlight, int boundMs,
                                   const std::function<bool()> &stop) {
    lbReplayResult result;
    const auto all = journal.rules();
    result.found = all.size();
    if (all.empty())
        return result;
    const bool remove = timeout == "0";
    const uint64_t stamp = journal.mark();
    size_t waiting = all.size();
    auto async = std::make_unique<lbRestAsync>(maxInFlight, maxInFlight);
    for (const auto &[url, body] : all) {
        async->submit({remove ? lbAsyncKind::FlowDelete : lbAsyncKind::FlowPost, url,
                       remove ? body : lbFlowBodyRetimed(body, timeout),
                       [&, url = url, body = body](const lbAsyncReply &r) {
                           --waiting;
                           if (r.ok() || (!r.transportFailed() && r.status < 500)) {
                               journal.removed(url, body, stamp);
                               ++result.removed;
                           }
                       }});
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (waiting > 0 && std::chrono::steady_clock::now() < deadline && !(stop && stop()))
        async->run(100);
    async.reset();  // abandons what did not end in time
    journal.compact();
    return result;
}
