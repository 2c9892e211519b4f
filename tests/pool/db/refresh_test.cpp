// The 5-second refresh against a real MariaDB: requests in flag.txt applied to the
// server list, the graph file, and what happens when requests or the database go wrong.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "dbtest_util.h"
#include "flowtable/lbTimer.h"
#include "packet/lbApp.h"
#include "pool/lbCtrlApi.h"
#include "support/lbtest_util.h"

namespace {

std::vector<lbServer_node_t *> listed() {
    std::vector<lbServer_node_t *> v;
    for (dlist_node *n = lbServHead.next; n != &lbServHead; n = n->next)
        v.push_back(static_cast<lbServer_node_t *>(n->data));
    return v;
}

lbServer_node_t *find(const char *ip) {
    return getServEntry(inet_addr(ip), &lbServHead);
}

std::string insertServer(const std::string &name, const std::string &ip, int maxconn,
                         const std::string &mac, const std::string &state, int port) {
    return "INSERT INTO server (servername, serverip, maxconn, servermac, state, switchport) "
           "VALUES ('" +
           name + "', '" + ip + "', " + std::to_string(maxconn) + ", '" + mac + "', '" + state +
           "', " + std::to_string(port) + ");";
}

size_t count(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        n++;
    return n;
}

class Refresh : public testing::Test {
  protected:
    void SetUp() override {
        std::string why = dbtest::whyUnavailable();
        ASSERT_TRUE(why.empty()) << why;
        admin_.resetSchema();
        admin_.exec(insertServer("web1", "192.0.2.11", 100, "02:00:00:00:00:0b", "Unlocked", 2) +
                    insertServer("web2", "192.0.2.12", 100, "02:00:00:00:00:0c", "Unlocked", 3));
        dbtest::writeDbConfig();
        remove("flag.txt");
        remove("servergraph.txt");
        dbtest::resetPool();
        testing::internal::CaptureStdout();
        if (g_con == nullptr)
            lbDbInit();
        lbServConfig();
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(g_lbNumServers, 2);
        fiveSecTimerEvent = 0;
    }
    void TearDown() override { dbtest::resetPool(); }

    // One tick with the given request file (null: no file); returns what it printed.
    std::string tick(const char *flag) {
        if (flag)
            lbtest::writeFile("flag.txt", flag);
        else
            remove("flag.txt");
        testing::internal::CaptureStdout();
        lb_get_graphical_data(nullptr, 0);
        return testing::internal::GetCapturedStdout();
    }

    dbtest::Admin admin_;
};

TEST_F(Refresh, EntryWithFlagZeroChangesNothingAndTheFileIsReset) {
    admin_.exec(insertServer("web9", "10.0.0.9", 10, "02:00:00:00:00:09", "Unlocked", 1));
    tick("0 ADD 10.0.0.9\n");
    EXPECT_EQ(listed().size(), 2u);
    EXPECT_EQ(g_lbNumServers, 2);
    EXPECT_EQ(lbtest::readFile("flag.txt"), "0\n");
    EXPECT_EQ(fiveSecTimerEvent, 1);
}

TEST_F(Refresh, AddAndModifyApplyInFileOrderWithinOneTick) {
    admin_.exec(insertServer("web21", "192.0.2.21", 20, "02:00:00:00:00:21", "Unlocked", 5) +
                "UPDATE server SET maxconn = 5, state = 'Locked', switchport = 9, "
                "servermac = '02:00:00:00:01:0b', servername = 'web1b' "
                "WHERE serverip = '192.0.2.11';");
    lbServer_node_t *web1 = find("192.0.2.11");
    ASSERT_NE(web1, nullptr);
    web1->numConn = 2;
    web1->servNotReachable = 1;

    std::string out = tick("1 ADD 192.0.2.21\n1 MODIFY 192.0.2.11\n");

    std::vector<lbServer_node_t *> got = listed();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], web1);
    EXPECT_STREQ(got[2]->server_name, "web21");
    EXPECT_EQ(got[2]->lbServIp.s_addr, inet_addr("192.0.2.21"));
    EXPECT_EQ(got[2]->maxconn, 20);
    EXPECT_EQ(got[2]->lbSwitchPort, 5);
    EXPECT_EQ(got[2]->valid, 1);
    EXPECT_EQ(got[2]->numConn, 0);
    EXPECT_EQ(g_lbNumServers, 3);

    // MODIFY replaces the configuration but keeps the running state.
    EXPECT_STREQ(web1->server_name, "web1b");
    EXPECT_EQ(web1->maxconn, 5);
    EXPECT_EQ(web1->lock, 1);
    EXPECT_EQ(web1->lbSwitchPort, 9);
    const unsigned char mac[6] = {0x02, 0, 0, 0, 0x01, 0x0b};
    EXPECT_EQ(memcmp(web1->lbServMac, mac, 6), 0);
    EXPECT_EQ(web1->numConn, 2);
    EXPECT_EQ(web1->servNotReachable, 0);
    EXPECT_EQ(web1->lbServIdx, 0);
    // Locked now: its connections go on, new ones go elsewhere.
    EXPECT_EQ(lbGetNodeWithLessConn(), got[1]);

    // The ADD listing comes first, then the MODIFY listing; the mirror holds the last row.
    size_t added = out.find("########SERVER_NAME SERVER-IP  MAX_CONN  SERVER_MAC  STATE  PORT\n");
    size_t modified = out.find("\nSERVER_NAME SERVER-IP  MAX_CONN  SERVER_MAC  STATE  PORT\n");
    ASSERT_NE(added, std::string::npos) << out;
    ASSERT_NE(modified, std::string::npos) << out;
    EXPECT_LT(added, modified);
    EXPECT_NE(out.find("  web1b     192.0.2.11    5   2:0:0:0:1:b  1   9\n", modified),
              std::string::npos)
        << out;
    EXPECT_EQ(lbtest::readFile("servConfig.conf"),
              "web1b 192.0.2.11 5 02:00:00:00:01:0b Locked 9 \n");
    EXPECT_EQ(lbtest::readFile("flag.txt"), "0\n");
}

TEST_F(Refresh, AddThenModifyOfTheSameAddressLeavesOneRecord) {
    admin_.exec(insertServer("web21", "192.0.2.21", 20, "02:00:00:00:00:21", "Unlocked", 5));
    tick("1 ADD 192.0.2.21 1 MODIFY 192.0.2.21\n");
    EXPECT_EQ(listed().size(), 3u);
    EXPECT_EQ(g_lbNumServers, 3);
    ASSERT_NE(find("192.0.2.21"), nullptr);
    EXPECT_EQ(find("192.0.2.21")->maxconn, 20);
}

TEST_F(Refresh, AddOfAnAddressWithoutRowAppendsAnEmptyRecordNeverSelected) {
    tick("1 ADD 192.0.2.30\n");
    lbServer_node_t *s = find("192.0.2.30");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->server_name, "");
    EXPECT_EQ(s->maxconn, 0);
    EXPECT_EQ(g_lbNumServers, 3);
    EXPECT_EQ(lbtest::readFile("servConfig.conf"), "");
}

TEST_F(Refresh, DeleteMarksABusyServerAndRemovesAnIdleOne) {
    lbServer_node_t *web1 = find("192.0.2.11");
    ASSERT_NE(web1, nullptr);
    web1->numConn = 2;
    std::string out = tick("1 DELETE 192.0.2.11\n");
    EXPECT_EQ(find("192.0.2.11"), web1);
    EXPECT_EQ(web1->delete_, 1);
    EXPECT_EQ(g_lbNumServers, 2);
    EXPECT_EQ(out.find("SERVER_NAME"), std::string::npos) << "a marked server is not listed";

    out = tick("1 DELETE 192.0.2.12\n");
    EXPECT_EQ(find("192.0.2.12"), nullptr);
    EXPECT_EQ(listed().size(), 1u);
    EXPECT_EQ(g_lbNumServers, 1);
    EXPECT_NE(out.find("SERVER_NAME SERVER-IP  MAX_CONN  SERVER_MAC  STATE  PORT\n" +
                       std::string(61, '=') + "\n  web1     192.0.2.11"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("web2"), std::string::npos) << out;
}

TEST_F(Refresh, RequestsForServersNotInTheListChangeNothing) {
    admin_.exec(insertServer("web9", "192.0.2.99", 10, "02:00:00:00:00:09", "Unlocked", 1));
    std::string out = tick("1 DELETE 192.0.2.99\n");
    EXPECT_EQ(listed().size(), 2u);
    EXPECT_EQ(g_lbNumServers, 2);
    EXPECT_EQ(count(out, "\n"), 1u) << "one line for the missing server:\n" << out;
    EXPECT_NE(out.find("192.0.2.99"), std::string::npos) << out;

    out = tick("1 MODIFY 192.0.2.99\n");
    EXPECT_NE(out.find("Servernode is NULL "), std::string::npos) << out;
    EXPECT_EQ(listed().size(), 2u);
}

TEST_F(Refresh, MalformedEntriesAreSkippedAndTheReaderGoesOn) {
    admin_.exec(insertServer("a", "192.0.2.21", 1, "02:00:00:00:00:21", "Unlocked", 1) +
                insertServer("b", "192.0.2.22", 1, "02:00:00:00:00:22", "Unlocked", 1) +
                insertServer("c", "192.0.2.23", 1, "02:00:00:00:00:23", "Unlocked", 1) +
                insertServer("d", "192.0.2.24", 1, "02:00:00:00:00:24", "Unlocked", 1));
    const std::string longAction = "ADDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD";
    std::string out = tick(("x ADD 192.0.2.21\n"     // does not begin with a number
                            "1 ADD\n"                // address missing
                            "1 remove 192.0.2.22\n"  // unknown action
                            "1 " +
                            longAction +
                            " 192.0.2.22\n"                            // over-long action
                            "1 ADD 192.0.2.22222222222222222222222\n"  // over-long address
                            "99999999999999999999 ADD 192.0.2.21\n"    // flag out of range
                            "1 ADD 192.0.2.23\n"                       // the one good request
                            "1 MODIFY")                                // truncated last entry
                               .c_str());
    EXPECT_NE(find("192.0.2.23"), nullptr);
    EXPECT_EQ(find("192.0.2.21"), nullptr);
    EXPECT_EQ(find("192.0.2.22"), nullptr);
    EXPECT_EQ(listed().size(), 3u);
    EXPECT_NE(out.find("not a request flag"), std::string::npos) << out;
    EXPECT_EQ(count(out, "incomplete request skipped"), 2u) << out;
    EXPECT_EQ(count(out, "unknown action"), 2u) << out;
    EXPECT_NE(out.find("not a dotted IPv4 address"), std::string::npos) << out;
    EXPECT_EQ(lbtest::readFile("flag.txt"), "0\n");
}

TEST_F(Refresh, AddressesCarryingSqlAreRejectedAndTheTableStaysIntact) {
    const char *attacks[] = {
        "192.0.2.11';DROP/**/TABLE/**/server;--",
        "192.0.2.11'OR'1'='1",
        "'/**/OR/**/1=1/**/--",
        "192.0.2.12\\'",
    };
    for (const char *a : attacks) {
        SCOPED_TRACE(a);
        std::string req = std::string("1 ADD ") + a + "\n1 MODIFY " + a + "\n1 DELETE " + a + "\n";
        std::string out = tick(req.c_str());
        EXPECT_EQ(count(out, "not a dotted IPv4 address"), 3u) << out;
        // The refresh's own entry point refuses the text as well.
        snprintf(g_serverIP, sizeof g_serverIP, "%s", a);
        testing::internal::CaptureStdout();
        serverUpdateInfo("ADD");
        out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("not a dotted IPv4 address"), std::string::npos) << out;
    }
    EXPECT_EQ(admin_.scalar("SELECT COUNT(*) FROM loadbalancer.server"), "2");
    EXPECT_EQ(listed().size(), 2u);
    EXPECT_EQ(g_lbNumServers, 2);
}

TEST_F(Refresh, RejectedRowsAreSkippedWithoutEndingTheProcess) {
    admin_.exec(insertServer("web21", "192.0.2.21", 20, "02:00:00:00:00:21", "Unlocked", 48) +
                "ALTER TABLE server MODIFY maxconn INT NULL;" +
                insertServer("web22", "192.0.2.22", 20, "02:00:00:00:00:22", "Unlocked", 1) +
                "UPDATE server SET maxconn = NULL WHERE serverip = '192.0.2.22';"
                "UPDATE server SET switchport = 47 WHERE serverip = '192.0.2.11';");
    std::string out = tick("1 ADD 192.0.2.21\n1 ADD 192.0.2.22\n1 MODIFY 192.0.2.11\n");
    EXPECT_NE(out.find("wrong entry 48 in Config file\n"), std::string::npos) << out;
    EXPECT_NE(out.find("servConfig.conf line 1: maximum connections is NULL"), std::string::npos)
        << out;
    EXPECT_EQ(find("192.0.2.21"), nullptr);
    EXPECT_EQ(find("192.0.2.22"), nullptr);
    ASSERT_NE(find("192.0.2.11"), nullptr);
    EXPECT_EQ(find("192.0.2.11")->lbSwitchPort, 47) << "the request after them still applies";
    EXPECT_EQ(g_lbNumServers, 2);
}

TEST_F(Refresh, MissingRequestFileIsNotAnError) {
    std::string out = tick(nullptr);
    EXPECT_EQ(out, "Timer tick... ");
    EXPECT_EQ(lbtest::readFile("flag.txt"), "0\n");
    EXPECT_EQ(fiveSecTimerEvent, 1);
}

// Restarts a halted test database whatever the test's outcome.
struct ResumeDb {
    ~ResumeDb() { dbtest::dbctl("resume"); }
};

TEST_F(Refresh, StoppedDatabaseSkipsRequestsUntilItIsBack) {
    admin_.exec(insertServer("web21", "192.0.2.21", 20, "02:00:00:00:00:21", "Unlocked", 5) +
                insertServer("web22", "192.0.2.22", 20, "02:00:00:00:00:22", "Unlocked", 6));
    {
        ResumeDb resume;
        ASSERT_EQ(dbtest::dbctl("halt"), 0);
        std::string out = tick("1 ADD 192.0.2.21\n1 ADD 192.0.2.22\n");
        EXPECT_EQ(listed().size(), 2u);
        EXPECT_EQ(g_con, nullptr) << "the lost connection is dropped for the next tick";
        EXPECT_TRUE(std::regex_search(out, std::regex("Lost connection|server has gone away")))
            << out;
        EXPECT_NE(out.find("No database connection: request for 192.0.2.22 skipped"),
                  std::string::npos)
            << out;

        // Still down at the next tick: the reconnect fails and is reported.
        out = tick("1 ADD 192.0.2.21\n");
        EXPECT_NE(out.find("Can't connect to server on '127.0.0.1'"), std::string::npos) << out;
        EXPECT_EQ(listed().size(), 2u);
        EXPECT_EQ(fiveSecTimerEvent, 1);
    }
    ASSERT_EQ(dbtest::dbctl("status"), 0);
    tick("1 ADD 192.0.2.21\n1 ADD 192.0.2.22\n");
    EXPECT_NE(g_con, nullptr);
    EXPECT_NE(find("192.0.2.21"), nullptr);
    EXPECT_NE(find("192.0.2.22"), nullptr);
    EXPECT_EQ(g_lbNumServers, 4);
}

TEST_F(Refresh, GraphGainsOneLinePerServerPerTickAndClearsUnreachableMarks) {
    find("192.0.2.11")->numConn = 3;
    find("192.0.2.12")->servNotReachable = 1;
    tick(nullptr);
    EXPECT_EQ(find("192.0.2.12")->servNotReachable, 0);
    find("192.0.2.12")->numConn = 1;
    tick(nullptr);

    std::string graph = lbtest::readFile("servergraph.txt");
    const std::regex line(
        "(web[12])  ([0-9]+)  (Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] "
        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n");
    std::vector<std::string> seen;
    long next = 0;  // the lines must cover the file without gaps
    for (std::sregex_iterator it(graph.begin(), graph.end(), line), end; it != end; ++it) {
        EXPECT_EQ(it->position(), next) << graph;
        next = it->position() + it->length();
        seen.push_back((*it)[1].str() + " " + (*it)[2].str());
    }
    EXPECT_EQ(next, static_cast<long>(graph.size())) << graph;
    EXPECT_EQ(seen, (std::vector<std::string>{"web1 3", "web2 0", "web1 3", "web2 1"})) << graph;

    dbtest::resetPool();
    tick(nullptr);
    EXPECT_EQ(lbtest::readFile("servergraph.txt"), graph) << "an empty pool appends nothing";
}

TEST_F(Refresh, GraphIsCopiedIntoConfigDataOnlyWhenThatDirectoryExists) {
    namespace fs = std::filesystem;
    const fs::path base = fs::path(lbtest::scratchDir()) / "site";
    const fs::path work = base / "app" / "run";
    fs::create_directories(work);
    fs::create_directories(base / "config_data");
    char old[PATH_MAX];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(work.c_str()), 0);
    std::string out1 = tick(nullptr);
    std::string copied = lbtest::readFile((base / "config_data" / "servergraph.txt").string());
    std::string own = lbtest::readFile("servergraph.txt");
    fs::remove_all(base / "config_data");
    std::string out2 = tick(nullptr);
    bool strayCopy = fs::exists(base / "config_data");
    ASSERT_EQ(chdir(old), 0);

    EXPECT_FALSE(own.empty());
    EXPECT_EQ(copied, own);
    EXPECT_FALSE(strayCopy) << "no file may take the missing directory's name";
    EXPECT_EQ(out1, "Timer tick... ");
    EXPECT_EQ(out2, "Timer tick... ");
}

}  // namespace
