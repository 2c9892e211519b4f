#include "lbtest_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace lbtest {

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out.good()) << "cannot write " << path;
    out << content;
}

bool fileExists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string sourceDir() {
    // CTest sets the variable; a suite started by hand falls back to the tree it was
    // configured from.
    const char *dir = std::getenv("LBTEST_SOURCE_DIR");
    return dir ? dir : LBTEST_DEFAULT_SOURCE_DIR;
}

}  // namespace lbtest
