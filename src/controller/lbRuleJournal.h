// The rule journal: every flow rule the balancer may have installed in a switch, kept in
// a file of the working directory, so that a start after a crash, a SIGKILL or a power
// cut removes what the run before left in the switches.
//
// The file has one line per record, appended:
//   "+ URL BODY"   a rule about to be posted: the switch's flow URL and the body posted
//   "- URL BODY"   a rule whose removal the controller acknowledged
// A rule is known by its URL and its body without the idle time-out: a re-post of the
// same match with another time-out is the same rule in the switch.
//
// What keeps it true across a power cut: "+" lines are written and flushed to the disk
// (fdatasync) by sync(), which the caller runs before the posts go out; "-" lines are
// written only after the acknowledgement and reach the disk with the next flush. A "-"
// lost to a power cut costs the next start one needless removal, never a rule left
// behind. When reading, a last line without its newline (cut by the power failure) and
// lines that make no sense are skipped.
//
// What keeps it small: opening rewrites it with the live records only, as does sync()
// once the file holds more than compactMin lines and over four times as many lines as
// live rules: a temporary file, flushed, renamed over the journal, the directory flushed.
//
// Not thread-safe: one thread at a time uses a journal (start-up, then the setup
// engine's thread). A journal that cannot be written is reported in one line; rules are
// then kept in memory only, and a full rewrite is tried again every 10 s (one line when
// it succeeds). Known limit: a reset retires a rule by re-posting it with the deletion
// time-out, and its record goes once that is acknowledged; with a deletion time-out of 0
// such a rule would stay in the switch unrecorded.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#define LB_RULE_JOURNAL "rules.journal"

class lbRuleJournal {
  public:
    // Opens the journal at path, creating it when absent: the rules an earlier run
    // recorded and did not see removed are live records now (see rules()).
    // retryEvery: how long a journal that could not be written waits before a rewrite.
    explicit lbRuleJournal(std::string path, size_t compactMin = 1024,
                           std::chrono::milliseconds retryEvery = std::chrono::seconds(10));
    // Writes what is pending; rewrites the file when it holds dead records.
    ~lbRuleJournal();
    lbRuleJournal(const lbRuleJournal &) = delete;
    lbRuleJournal &operator=(const lbRuleJournal &) = delete;

    // A rule is about to be posted: recorded (written at the next sync) unless it is
    // live already. Returns the stamp of this post, for refused().
    uint64_t posting(const std::string &url, const std::string &body);
    // The stamp a removal takes when it is sent; see removed().
    uint64_t mark() const { return seq_; }
    // The removal of a rule, sent at stamp, was acknowledged (or a post of it, stamped
    // so, was refused): its record goes, unless the rule was posted again after that.
    void removed(const std::string &url, const std::string &body, uint64_t stamp);
    // Writes the pending lines and, when a "+" line is among them, flushes them to the
    // disk; compacts when due. Returns 0, or -1 while the file cannot be written.
    int sync();
    // Rewrites the file with the live records only, now. Returns 0, or -1 when it
    // cannot be written.
    int compact() { return failed_ ? sync() : rewrite() ? 0 : -1; }

    // The live records: URL and body of every rule that may be in a switch.
    std::vector<std::pair<std::string, std::string>> rules() const;
    size_t live() const { return live_.size(); }
    // Lines in the file (written or pending), and lines skipped when it was read.
    size_t lines() const { return lines_; }
    size_t skipped() const { return skipped_; }
    bool ok() const { return !failed_; }
    const std::string &path() const { return path_; }

  private:
    struct Rec {
        std::string url, body;
        uint64_t postedAt;
    };
    bool load();
    bool rewrite();
    void fail(const char *what, int err);
    bool writePending();

    std::string path_;
    size_t compactMin_;
    std::chrono::milliseconds retryEvery_;
    int fd_ = -1;
    std::unordered_map<std::string, Rec> live_;
    uint64_t seq_ = 0;
    size_t lines_ = 0, skipped_ = 0;
    std::string pending_;
    bool pendingAdds_ = false;
    bool failed_ = false;
    std::chrono::steady_clock::time_point retryAt_{};
};

// body with the value of its "idle_timeout" replaced by timeout; body unchanged when it
// has none. The flow bodies of controller/lbCtrlMsg carry one.
std::string lbFlowBodyRetimed(const std::string &body, const std::string &timeout);

// What lbRuleJournalReplay did: records found, and rules removed (records gone).
struct lbReplayResult {
    size_t found = 0, removed = 0;
};

// Start-up, after the controller login: removes every rule of the journal from the
// switches, as a reset does, re-posting it with the idle time-out timeout (the deletion
// time-out); with a time-out of "0", which would keep it for ever, it is deleted instead.
// At most maxInFlight requests at once; waits at most boundMs, or until stop (when not
// null) returns non-zero. A rule acknowledged, or refused by the controller with a
// status below 500 (its switch is gone), loses its record; the others stay for the next
// start. The journal is compacted at the end: it then holds those others only.
lbReplayResult lbRuleJournalReplay(lbRuleJournal &journal, const std::string &timeout,
                                   int maxInFlight, int boundMs,
                                   const std::function<bool()> &stop = nullptr);
