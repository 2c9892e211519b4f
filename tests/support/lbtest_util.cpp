#include "lbtest_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/lbGlobals.h"
#include "flowtable/lbFlowDb.h"
#include "pool/lbServerList.h"

namespace lbtest {

std::string readFile(const std::string &path) {
    std::ostringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

void writeFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out << content) << "cannot write " << path;
}

bool fileExists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string printed(const std::function<void()> &f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds deadline) {
    for (auto end = std::chrono::steady_clock::now() + deadline; !done();
         std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (std::chrono::steady_clock::now() > end)
            return false;
    return true;
}

std::string sourceDir() {
    // A suite started by hand falls back to the tree it was configured from.
    const char *dir = std::getenv("LBTEST_SOURCE_DIR");
    return dir ? dir : LBTEST_DEFAULT_SOURCE_DIR;
}

void resetState() {
    if (g_lbServFlowTable_tree != nullptr)
        RBTreeDestroy(g_lbServFlowTable_tree);
    g_lbServFlowTable_tree = nullptr;
    numFlowEntries = 0;
    delete_all_lbServerNodes();
    Server_list_init();
    g_lbNumServers = 0;
    memset(g_cont1IPAddr, 0, sizeof g_cont1IPAddr);
    memset(g_contMacAddr, 0, sizeof g_contMacAddr);
    memset(g_switchDpId, 0, sizeof g_switchDpId);
    memset(g_vipIPAddr, 0, sizeof g_vipIPAddr);
    memset(g_vlanId, 0, sizeof g_vlanId);
    memset(g_addFlowTmr, 0, sizeof g_addFlowTmr);
    memset(g_delFlowTmr, 0, sizeof g_delFlowTmr);
    memset(cluster_name, 0, sizeof cluster_name);
    g_lbAppPort = 0;
    Gv_noPrint = 1;
}

}  // namespace lbtest
