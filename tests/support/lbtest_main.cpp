// Test main: each test starts in the suite's fresh scratch directory (removed afterwards
// unless LBTEST_KEEP is set). An exit while tests run (say a configuration exit reached by
// code under test) becomes status 3, naming the test, so the suite fails; death-test
// children, which are expected to exit, are left alone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "lbtest_util.h"

namespace lbtest {
std::string g_scratch;
const std::string &scratchDir() {
    return g_scratch;
}
}  // namespace lbtest

namespace {

pid_t g_runner = -1;  // the process that runs the suite (a forked child is not)
char g_running[256];  // what runs now ("suite.test"); empty outside the run

void exitDuringRun() {
    if (g_running[0] != '\0' && getpid() == g_runner) {
        fprintf(stderr, "\nlbtest: the process exited during %s; the suite did not finish\n",
                g_running);
        _exit(3);
    }
}

// Death-test children hear of no event: gtest stops forwarding them there.
class RunTracker : public testing::EmptyTestEventListener {
    static void track(const std::string &what) {
        snprintf(g_running, sizeof g_running, "%s", what.c_str());
    }
    void OnTestProgramStart(const testing::UnitTest &) override { track("the set-up"); }
    void OnTestSuiteStart(const testing::TestSuite &s) override { track(s.name()); }
    void OnTestStart(const testing::TestInfo &t) override {
        track(std::string(t.test_suite_name()) + "." + t.name());
        if (chdir(lbtest::g_scratch.c_str()) != 0)
            ADD_FAILURE() << "cannot enter " << lbtest::g_scratch;
    }
    void OnTestEnd(const testing::TestInfo &t) override { track(t.test_suite_name()); }
    void OnTestProgramEnd(const testing::UnitTest &) override { g_running[0] = '\0'; }
};

}  // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    // Death tests fork; the threadsafe style re-executes the binary, which keeps
    // suites that start threads (timer, sockets) correct.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::UnitTest::GetInstance()->listeners().Append(new RunTracker);

    // A re-executed death-test child joins its parent's scratch directory, which the
    // parent published in the environment.
    if (!GTEST_FLAG_GET(internal_run_death_test).empty()) {
        const char *dir = std::getenv("LBTEST_SCRATCH");
        if (dir != nullptr && chdir(dir) == 0)
            lbtest::g_scratch = dir;
        return RUN_ALL_TESTS();
    }
    std::string tmpl = (std::filesystem::temp_directory_path() / "lbtest.XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr || chdir(tmpl.c_str()) != 0) {
        perror("lbtest scratch directory");
        return 1;
    }
    lbtest::g_scratch = tmpl;
    setenv("LBTEST_SCRATCH", tmpl.c_str(), 1);
    g_runner = getpid();
    atexit(exitDuringRun);
    at_quick_exit(exitDuringRun);
    int rc = RUN_ALL_TESTS();
    std::error_code ec;
    if (std::getenv("LBTEST_KEEP") != nullptr)
        fprintf(stderr, "scratch directory kept: %s\n", tmpl.c_str());
    else if (chdir("/") == 0)
        std::filesystem::remove_all(tmpl, ec);
    return rc;
}
