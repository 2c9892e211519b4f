// Test main: every suite runs in a fresh scratch directory, because the balancer reads
// its configuration from and writes its files into the working directory. The directory
// is removed afterwards unless LBTEST_KEEP is set.
#include <gtest/gtest.h>
#include <unistd.h>

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

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    // Death tests fork; the threadsafe style re-executes the binary, which keeps
    // suites that start threads (timer, sockets) correct.
    GTEST_FLAG_SET(death_test_style, "threadsafe");

    // A re-executed death-test child starts where the suite was launched; it joins its
    // parent's scratch directory, which the parent published in the environment.
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
    int rc = RUN_ALL_TESTS();
    if (std::getenv("LBTEST_KEEP") == nullptr) {
        std::error_code ec;
        if (chdir("/") == 0)
            std::filesystem::remove_all(tmpl, ec);
    } else {
        fprintf(stderr, "scratch directory kept: %s\n", tmpl.c_str());
    }
    return rc;
}
