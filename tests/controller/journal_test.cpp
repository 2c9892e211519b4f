// The rule journal on its own: what the next run finds after a crash or a power cut.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "controller/lbRuleJournal.h"
#include "support/lbtest_util.h"

namespace {

const char kPath[] = "rules.journal";

std::string url(int rule) {
    return "https://192.0.2.1:8443/sdn/v2.0/of/datapaths/000000000000000" + std::to_string(rule) +
           "/flows";
}
std::string body(int rule, const char *idle = "30") {
    return std::string("{\"flow\":{\"priority\":30000,\"idle_timeout\":") + idle +
           ",\"match\":[{\"tcp_src\":" + std::to_string(40000 + rule) + "}]}}";
}

// The rules (by number) a journal at kPath holds, read as the next start reads it.
std::vector<int> found(size_t *skipped = nullptr) {
    lbRuleJournal j(kPath);
    std::vector<int> out;
    for (const auto &[u, b] : j.rules())
        out.push_back(u[u.size() - 7] - '0');
    std::sort(out.begin(), out.end());
    if (skipped != nullptr)
        *skipped = j.skipped();
    return out;
}

// Runs script on a fresh journal in a child process that then dies without closing it
// (ends with "crash") or closes it first ("close"). Words: pN posts rule N (tN: again,
// with another idle time-out), mN takes the stamp for a removal of rule N, rN
// acknowledges that removal, fN refuses rule N's first post, s flushes.
void run(const std::string &script) {
    unlink(kPath);
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        auto *j = new lbRuleJournal(kPath);
        std::map<int, uint64_t> stamps, posts;
        std::istringstream words(script);
        for (std::string w; words >> w;) {
            const int n = w.size() > 1 ? w[1] - '0' : 0;
            switch (w[0]) {
                case 'p':
                case 't':
                    posts.try_emplace(n, j->posting(url(n), body(n, w[0] == 'p' ? "30" : "1")));
                    break;
                case 'm':
                    stamps[n] = j->mark();
                    break;
                case 'r':
                    j->removed(url(n), body(n, "1"), stamps[n]);
                    break;
                case 'f':
                    j->removed(url(n), body(n), posts[n]);
                    break;
                case 's':
                    j->sync();
                    break;
                case 'c':
                    if (w == "close")
                        delete j;
                    _exit(0);
            }
        }
        _exit(1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << script;
}

TEST(RuleJournal, WhatTheNextStartFinds) {
    // What, the script, what the next start finds, the lines of the file the run left.
    const std::tuple<const char *, const char *, std::vector<int>, size_t> cases[] = {
        {"posted and flushed, then a crash before or after the posts", "p1 p2 s crash", {1, 2}, 2},
        {"posted, never flushed: nothing was sent either", "p1 p2 crash", {}, 0},
        {"removal acknowledged, its line not yet written", "p1 p2 s m1 r1 crash", {1, 2}, 2},
        {"removal acknowledged and written", "p1 p2 s m1 r1 s crash", {2}, 3},
        {"posted again (other time-out) after the removal went", "p1 s m1 t1 s r1 s crash", {1}, 1},
        {"a reset's re-post is the same rule, recorded once", "p1 s t1 s crash", {1}, 1},
        {"a refused post", "p1 s f1 s crash", {}, 2},
        {"a refused post of a rule posted again meanwhile", "p1 s p2 t1 f1 s crash", {1, 2}, 2},
        {"all removed, then an orderly close: an empty file", "p1 p2 s m1 m2 r1 r2 close", {}, 0},
        {"an orderly close keeps the live rules only", "p1 p2 p3 s m2 r2 close", {1, 3}, 2},
    };
    for (const auto &[what, script, want, lines] : cases) {
        SCOPED_TRACE(what);
        run(script);
        EXPECT_EQ(lbtest::count(lbtest::readFile(kPath), "\n"), lines);
        size_t skipped = 99;
        EXPECT_EQ(found(&skipped), want);
        EXPECT_EQ(skipped, 0u);
    }
}

// A power cut can leave the last line half written, or garbage after the last flush.
TEST(RuleJournal, TornOrGarbledLinesAreSkippedAndDropped) {
    const std::string r1 = "+ " + url(1) + " " + body(1) + "\n";
    const std::string r2 = "+ " + url(2) + " " + body(2) + "\n";
    const std::tuple<const char *, std::string, std::vector<int>, size_t> cases[] = {
        {"a torn last record", r1 + r2.substr(0, 30), {1}, 1},
        {"a torn last removal", r1 + r2 + "- " + url(2), {1, 2}, 1},
        {"zeros after the last record", r1 + std::string(512, '\0'), {1}, 1},
        {"a line of neither kind", r1 + "* what\n" + r2, {1, 2}, 1},
        {"a record without a body", r1 + "+ " + url(2) + "\n", {1}, 1},
    };
    for (const auto &[what, text, want, skips] : cases) {
        SCOPED_TRACE(what);
        lbtest::writeFile(kPath, text);
        size_t skipped = 99;
        EXPECT_EQ(found(&skipped), want);
        EXPECT_EQ(skipped, skips);
        // Opening rewrote the file: no line is appended after the torn one.
        EXPECT_EQ(lbtest::count(lbtest::readFile(kPath), "\n"), want.size());
        EXPECT_EQ(found(&skipped), want);
        EXPECT_EQ(skipped, 0u);
    }
}

TEST(RuleJournal, StaysSmallUnderChurn) {
    unlink(kPath);
    const size_t compactMin = 32;
    lbRuleJournal j(kPath, compactMin);
    j.posting(url(9), body(9));  // one rule stays for good
    size_t most = 0;
    for (int i = 0; i < 300; ++i) {
        const std::string u = url(i % 8) + std::to_string(i);
        j.posting(u, body(1));
        j.sync();
        j.removed(u, body(1), j.mark());
        j.sync();
        most = std::max(most, lbtest::count(lbtest::readFile(kPath), "\n"));
    }
    EXPECT_LE(most, compactMin + 2);
    EXPECT_EQ(found(), std::vector<int>{9});
}

TEST(RuleJournal, AnUnwritableJournalIsReportedOnceAndCatchesUp) {
    rmdir("gone");
    std::unique_ptr<lbRuleJournal> j;
    const std::string out = lbtest::printed([&] {
        j = std::make_unique<lbRuleJournal>("gone/rules.journal", 1024,
                                            std::chrono::milliseconds(50));
        j->posting(url(1), body(1));
        EXPECT_EQ(j->sync(), -1);
        j->posting(url(2), body(2));
        EXPECT_EQ(j->sync(), -1);
    });
    EXPECT_EQ(lbtest::count(out, "\n"), 1u) << out;
    EXPECT_NE(out.find("Rule journal gone/rules.journal cannot be written"), std::string::npos)
        << out;
    EXPECT_FALSE(j->ok());
    ASSERT_EQ(mkdir("gone", 0700), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(lbtest::printed([&] { EXPECT_EQ(j->sync(), 0); }),
              "Rule journal gone/rules.journal written again: rules are recorded\n");
    EXPECT_EQ(lbtest::count(lbtest::readFile("gone/rules.journal"), "\n"), 2u);
    j.reset();
    unlink("gone/rules.journal");
    rmdir("gone");
}

TEST(RuleJournal, FlowBodyRetimed) {
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {body(1, "30"), "1", body(1, "1")},
        {body(1, "30"), "", body(1, "")},
        {R"({"flow":{"idle_timeout":7}})", "0", R"({"flow":{"idle_timeout":0}})"},
        {R"({"flow":{"priority":1}})", "1", R"({"flow":{"priority":1}})"},
        {R"({"flow":{"idle_timeout":7)", "1", R"({"flow":{"idle_timeout":7)"},
    };
    for (const auto &[body, timeout, want] : cases)
        EXPECT_EQ(lbFlowBodyRetimed(body, timeout), want) << body;
}

}  // namespace
