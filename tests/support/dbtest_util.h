// Helpers of the suites that run against the throwaway MariaDB of testbed/db/dbctl. They
// expect LBDB_HOME to name a running server and run inside its network namespace.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/lbCtrlApi.h"
#include "pool/lbServerList.h"
#include "support/lbtest_util.h"

namespace dbtest {

int dbctl(const std::string &args);  // testbed/db/dbctl args: its exit status

// The three words of dbconfig.conf for the running server.
struct Credentials {
    std::string host, user, password;
};
const Credentials &credentials();

// Runs statements on the tests' own connection (reconnecting after a server restart);
// false, with a test failure, on an error.
bool sql(const std::string &statements);

// An INSERT into table server of "(name, address, maxconn, MAC, state, port)" tuples.
std::string insertServers(const std::string &values);
// An INSERT of rows web<first>..web<last>, address 192.0.2.<n>, MAC 02:00:00:00:00:<n>.
std::string insertServers(int first, int last, int port = 5);

// For a forked death-test child: a database connection of its own. The parent's socket
// is shared with the child, and a query on it from the child would break the parent's.
void ownConnection();

std::vector<lbServer_node_t *> listed();
lbServer_node_t *find(const char *ip);
// A record's configuration and running state on one line.
std::string describe(const lbServer_node_t *s);
using lbtest::count;

// Fails unless the server answers; then empty tables (testbed/db/schema.sql), a
// dbconfig.conf, no flag.txt, an open g_con and the process state of start-up.
class DbTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override { lbtest::resetState(); }
    static bool resetSchema();
    static void loadServers() { lbtest::printed(lbServConfig); }
    // One refresh tick with the given request file (null: none; no argument: flag.txt as it
    // is); returns what it printed.
    static std::string tick(const char *flag);
    static std::string tick() {
        return lbtest::printed([] { lb_get_graphical_data(nullptr, 0); });
    }
};

}  // namespace dbtest

// Expects statement to end the process with status and print text matching regex.
#define EXPECT_CONFIG_EXIT(statement, status, regex) \
    EXPECT_EXIT(                                     \
        {                                            \
            fflush(stdout);                          \
            dup2(STDERR_FILENO, STDOUT_FILENO);      \
            statement;                               \
        },                                           \
        testing::ExitedWithCode(status), regex)
