// The 5-second refresh against a real MariaDB: requests in flag.txt and the graph file.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/lbGlobals.h"
#include "config/lbCtrlApi.h"
#include "dbtest_util.h"
#include "flowtable/lbTimer.h"
#include "support/lbtest_util.h"

namespace {

using namespace dbtest;

// Starts with web11 (192.0.2.11) and web12 loaded; 192.0.2.11 is at port 2.
class Refresh : public dbtest::DbTest {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        sql(insertServers(11, 11, 2) + insertServers(12, 12, 3));
        remove("servergraph.txt");
        loadServers();
        ASSERT_EQ(g_lbNumServers, 2);
        fiveSecTimerEvent = 0;
    }
};

TEST_F(Refresh, MissingFileOrFlagZeroChangesNothingButTheTickCompletes) {
    ASSERT_EQ(lbWakeInit(), 0);
    lbWakeDrain();
    EXPECT_EQ(tick(nullptr), "Timer tick... \n");
    EXPECT_TRUE(lbtest::readFile("flag.txt") == "0\n" && fiveSecTimerEvent == 1);
    // The sleeping packet loop is woken for the expiry walk.
    struct pollfd wake = {lbWakeFd(), POLLIN, 0};
    EXPECT_EQ(poll(&wake, 1, 0), 1);
    sql(insertServers(21, 21));
    tick("0 ADD 192.0.2.21\n");
    EXPECT_TRUE(listed().size() == 2u && lbtest::readFile("flag.txt") == "0\n");
}

TEST_F(Refresh, AddAndModifyApplyInFileOrderWithinOneTick) {
    sql(insertServers(21, 21) +
        "UPDATE server SET maxconn = 5, state = 'Locked', switchport = 9, servername = 'web1b', "
        "servermac = '02:00:00:00:01:0b' WHERE serverip = '192.0.2.11';");
    lbServer_node_t *web1 = find("192.0.2.11");
    web1->numConn = 2;
    web1->servNotReachable = 1;
    // The first line adds and at once modifies one server: it must not appear twice.
    std::string out = tick("1 ADD 192.0.2.21 1 MODIFY 192.0.2.21\n1 MODIFY 192.0.2.11\n");

    std::vector<lbServer_node_t *> got = listed();
    ASSERT_TRUE(got.size() == 3u && g_lbNumServers == 3 && got[0] == web1);
    EXPECT_EQ(describe(got[2]),
              "web21 192.0.2.21 20 02:00:00:00:00:21 lock=0 port=5 idx=0 valid=1 conn=0 del=0 "
              "unreach=0");
    // MODIFY replaces the configuration but keeps the running state (conn=2).
    EXPECT_EQ(describe(web1),
              "web1b 192.0.2.11 5 02:00:00:00:01:0b lock=1 port=9 idx=0 valid=1 conn=2 del=0 "
              "unreach=0");
    EXPECT_EQ(lbGetNodeWithLessConn(), got[1]) << "a locked server takes no new connections";
    EXPECT_NE(out.find("  web1b     192.0.2.11    5   2:0:0:0:1:b  1   9\n"), std::string::npos)
        << out;
    EXPECT_EQ(lbtest::readFile("servConfig.conf"),
              "web1b 192.0.2.11 5 02:00:00:00:01:0b Locked 9 \n");
    EXPECT_EQ(lbtest::readFile("flag.txt"), "0\n");
}

TEST_F(Refresh, DeleteMarksABusyServerAndRemovesAnIdleOne) {
    lbServer_node_t *web1 = find("192.0.2.11");
    web1->numConn = 2;
    std::string out = tick("1 DELETE 192.0.2.11\n");
    EXPECT_TRUE(find("192.0.2.11") == web1 && web1->delete_ == 1 && g_lbNumServers == 2);
    EXPECT_EQ(out.find("SERVER_NAME"), std::string::npos) << "a marked server is not listed";

    out = tick("1 DELETE 192.0.2.12\n");
    EXPECT_TRUE(listed() == std::vector<lbServer_node_t *>{web1} && g_lbNumServers == 1);
    EXPECT_NE(out.find("=\n  web11     192.0.2.11"), std::string::npos) << out;
    EXPECT_EQ(out.find("web12"), std::string::npos) << out;
}

TEST_F(Refresh, MalformedEntriesAreSkippedAndTheReaderGoesOn) {
    sql(insertServers(21, 23));
    std::string out = tick(
        "x ADD 192.0.2.21\n"                                          // not a number
        "1 ADD\n"                                                     // address missing
        "1 remove 192.0.2.22\n"                                       // unknown action
        "1 ADDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD 192.0.2.22\n"  // over-long action
        "1 ADD 192.0.2.22222222222222222222222\n"                     // over-long address
        "99999999999999999999 ADD 192.0.2.21\n"                       // flag out of range
        "1 MODIFY 192.0.2.21\n"                                       // not listed: no change
        "1 ADD 192.0.2.23\n"                                          // the one good request
        "1 MODIFY\n");                                                // cut short
    EXPECT_TRUE(find("192.0.2.23") != nullptr && listed().size() == 3u && g_lbNumServers == 3);
    EXPECT_NE(out.find("Servernode is NULL "), std::string::npos) << out;
    EXPECT_NE(out.find("not a request flag"), std::string::npos) << out;
    EXPECT_EQ(count(out, "incomplete request skipped"), 2u) << out;
    EXPECT_EQ(count(out, "unknown action"), 2u) << out;
    EXPECT_NE(out.find("not a dotted IPv4 address"), std::string::npos) << out;
    EXPECT_EQ(lbtest::readFile("flag.txt"), "0\n");
}

TEST_F(Refresh, AddressesCarryingSqlAreRejectedAndTheTableStaysIntact) {
    for (const char *a : {"192.0.2.11';DROP/**/TABLE/**/server;--", "192.0.2.11'OR'1'='1",
                          "'/**/OR/**/1=1/**/--", "192.0.2.12\\'"}) {
        SCOPED_TRACE(a);
        std::string req = std::string("1 ADD ") + a + "\n1 MODIFY " + a + "\n1 DELETE " + a + "\n";
        EXPECT_EQ(count(tick(req.c_str()), "not a dotted IPv4 address"), 3u);
        // The refresh's own entry point refuses the text as well.
        snprintf(g_serverIP, sizeof g_serverIP, "%s", a);
        EXPECT_EQ(count(lbtest::printed([] { serverUpdateInfo("ADD"); }), "not a dotted IPv4"), 1u);
        // Not an action: nothing at all.
        EXPECT_EQ(lbtest::printed([] { serverUpdateInfo("REMOVE"); }), "");
    }
    EXPECT_EQ(listed().size(), 2u);
    lbtest::resetState();
    loadServers();  // ends the process if the table is gone
    EXPECT_EQ(listed().size(), 2u) << "rows of the table were changed";
}

TEST_F(Refresh, RejectedRowsAreSkippedWithoutEndingTheProcess) {
    sql(insertServers(21, 21, 48) + insertServers(22, 22) +
        "ALTER TABLE server MODIFY maxconn INT NULL;"
        "UPDATE server SET maxconn = NULL WHERE serverip = '192.0.2.22';"
        "UPDATE server SET switchport = 47 WHERE serverip = '192.0.2.11';");
    std::string out = tick("1 ADD 192.0.2.21\n1 ADD 192.0.2.22\n1 MODIFY 192.0.2.11\n");
    EXPECT_NE(out.find("wrong entry 48 in Config file\n"), std::string::npos) << out;
    EXPECT_NE(out.find("servConfig.conf line 1: maximum connections is NULL"), std::string::npos)
        << out;
    EXPECT_EQ(g_lbNumServers, 2);
    EXPECT_EQ(find("192.0.2.11")->lbSwitchPort, 47) << "the request after them still applies";

    // A mirror file that cannot be rewritten is not read back.
    ASSERT_TRUE(sql(insertServers(23, 23)) && remove("servConfig.conf") == 0 &&
                mkdir("servConfig.conf", 0755) == 0);
    out = tick("1 ADD 192.0.2.23\n");
    rmdir("servConfig.conf");
    EXPECT_NE(out.find("Error in opening file servConfig.conf"), std::string::npos) << out;
    EXPECT_EQ(find("192.0.2.23"), nullptr);
}

TEST_F(Refresh, GraphGainsOneLinePerServerPerTickAndClearsUnreachableMarks) {
    find("192.0.2.11")->numConn = 3;
    find("192.0.2.12")->servNotReachable = 1;
    tick(nullptr);
    EXPECT_EQ(find("192.0.2.12")->servNotReachable, 0);
    find("192.0.2.12")->numConn = 1;
    tick(nullptr);
    std::string graph = lbtest::readFile("servergraph.txt");
    const std::regex date(
        " (Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z]{2} [ 1-3][0-9] "
        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n");
    EXPECT_EQ(std::regex_replace(graph, date, "|"), "web11  3 |web12  0 |web11  3 |web12  1 |");
    lbtest::resetState();
    tick(nullptr);
    EXPECT_EQ(lbtest::readFile("servergraph.txt"), graph) << "an empty pool appends nothing";
}

// servergraph.conf as an operator may write it; a malformed file keeps the defaults.
TEST_F(Refresh, GraphRotationSettingsFromServergraphConf) {
    const unsigned long long kDefSize = kGraphMaxBytesDefault;
    const int kDefKeep = kGraphKeepDefault;
    struct Case {
        const char *text;  // null: no file
        int rc;
        unsigned long long size;
        int keep;
    } cases[] = {
        {nullptr, 0, kDefSize, kDefKeep}, {"2048\n", 0, 2048, kDefKeep},
        {"64K 0\n", 0, 64ull << 10, 0},   {" 16M\n 9 ", 0, 16ull << 20, 9},
        {"1G 99", 0, 1ull << 30, 99},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    for (const char *refused :
         {"", "1023", "2k", "2T", "2048G", "99999999999G", "2048 100", "2048 -1", "2048 3 x"})
        all.push_back({refused, -1, kDefSize, kDefKeep});
    for (const Case &c : all) {
        SCOPED_TRACE(c.text ? c.text : "(no file)");
        lbtest::setFile("servergraph.conf", c.text);
        g_graphMaxBytes = 1;
        g_graphKeep = -1;
        int rc = 0;
        const std::string out = lbtest::printed([&] { rc = lbGraphConfig(); });
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(g_graphMaxBytes, c.size);
        EXPECT_EQ(g_graphKeep, c.keep);
        EXPECT_EQ(out.empty(), c.text == nullptr) << out;
    }
    remove("servergraph.conf");
    lbGraphConfig();
}

// At a small size: the file stays near it, the old files hold every earlier tick in
// order up to the number kept, and the front end's copy is the current file, made only
// while the front end's directory exists.
TEST_F(Refresh, GraphRotatedAtItsSizeKeepingTheOldFilesAsked) {
    namespace fs = std::filesystem;
    const fs::path base = fs::path(lbtest::scratchDir()) / "rot";
    fs::create_directories(base / "app" / "run");
    fs::create_directories(base / "config_data");
    ASSERT_EQ(chdir((base / "app" / "run").c_str()), 0);
    lbtest::writeFile("servergraph.conf", "1024 2\n");
    ASSERT_EQ(lbGraphConfig(), 0);
    // Each tick's web11 line carries the tick's number, so lost or repeated ticks show.
    const int kTicks = 60;
    bool copiedCurrent = true;
    uintmax_t largest = 0;
    for (int i = 0; i < kTicks; ++i) {
        find("192.0.2.11")->numConn = i;
        tick(nullptr);
        largest = std::max(largest, fs::file_size("servergraph.txt"));
        copiedCurrent = copiedCurrent && lbtest::readFile("servergraph.txt") ==
                                             lbtest::readFile("../../config_data/servergraph.txt");
    }
    std::vector<int> seen;
    for (std::string name : {".2", ".1", ""}) {
        const bool old = !name.empty();
        name = "servergraph.txt" + name;
        const std::string text = lbtest::readFile(name);
        if (old) {
            EXPECT_GE(text.size(), 1024u) << name << " was rotated before its size";
        }
        std::istringstream in(text);
        std::string server, rest;
        int conn = 0;
        while (in >> server >> conn && std::getline(in, rest))
            if (server == "web11")
                seen.push_back(conn);
    }
    const bool third = fs::exists("servergraph.txt.3");
    lbGraphConfig();  // no file here: back to the defaults
    fs::remove_all(base / "config_data");
    EXPECT_EQ(tick(nullptr), "Timer tick... \n");
    ASSERT_EQ(chdir(lbtest::scratchDir().c_str()), 0);
    EXPECT_FALSE(fs::exists(base / "config_data")) << "nothing takes the missing directory's name";
    EXPECT_TRUE(copiedCurrent);
    EXPECT_FALSE(third) << "only two old files are kept";
    EXPECT_LT(largest, 1024u + 100u) << "one tick of two lines at most beyond the size";
    ASSERT_FALSE(seen.empty());
    EXPECT_LT(seen.size(), static_cast<size_t>(kTicks)) << "the oldest ticks are gone";
    EXPECT_EQ(seen.back(), kTicks - 1);
    for (size_t k = 1; k < seen.size(); ++k)
        EXPECT_EQ(seen[k], seen[k - 1] + 1) << "ticks kept in order, none lost";
}

}  // namespace
