// Small helpers shared by the test suites.
#pragma once

#include <string>

namespace lbtest {

// Whole content of a file, or an empty string when it cannot be read.
std::string readFile(const std::string &path);

// Replaces a file's content; fails the current test when it cannot be written.
void writeFile(const std::string &path, const std::string &content);

bool fileExists(const std::string &path);

// The project's source tree (set by CTest), for suites that need testbed files.
std::string sourceDir();

// The scratch directory the suite runs in (its working directory at start).
const std::string &scratchDir();

}  // namespace lbtest
