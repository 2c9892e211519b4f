// Helpers of the suites that run against the throwaway MariaDB of testbed/db/dbctl. They
// expect LBDB_HOME to name a running server and run inside its network namespace.
#pragma once

#include <gtest/gtest.h>
#include <mysql.h>

#include <string>
#include <vector>

#include "pool/lbServerList.h"

namespace dbtest {

// Runs testbed/db/dbctl with the given arguments; returns its exit status.
int dbctl(const std::string &args);

// The three words of dbconfig.conf for the running server.
struct Credentials {
    std::string host, user, password;
};
const Credentials &credentials();

// One INSERT into table server; values are "(name, address, maxconn, MAC, state, port)"
// tuples, comma-separated.
std::string insertServers(const std::string &values);

// The server list in order, and the server of an address (null when absent).
std::vector<lbServer_node_t *> listed();
lbServer_node_t *find(const char *ip);

// A record's configuration and running state on one line, for whole-record comparisons.
std::string describe(const lbServer_node_t *s);

size_t count(const std::string &hay, const std::string &needle);

// Frees every server record and the configuration globals. No other thread may be running.
void resetPool();

// Redirects standard output into standard error for the rest of the process, so that a
// death test can match what a loader prints.
void stdoutToStderr();

// A connection of the tests' own, used to arrange table contents. Reconnects when a test
// has restarted the server since the last statement.
class Admin {
  public:
    Admin() { reconnect(); }
    ~Admin();
    Admin(const Admin &) = delete;
    Admin &operator=(const Admin &) = delete;

    // Runs one or more statements; fails the current test on an error.
    void exec(const std::string &sql);
    // The first column of the first row of a query ("" for none).
    std::string scalar(const std::string &sql);
    // Drops and creates the tables of testbed/db/schema.sql, all empty.
    void resetSchema();
    bool ok() const { return con_ != nullptr; }

  private:
    void reconnect();
    MYSQL *con_ = nullptr;
};

// Fails unless the server answers; then empty tables (testbed/db/schema.sql), a
// dbconfig.conf, no flag.txt, an open g_con and an empty pool.
class DbTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override { resetPool(); }
    // Loads table server into the pool without printing.
    void loadServers();
    // One refresh tick with the given request file (null: none); returns what it printed.
    std::string tick(const char *flag);

    Admin admin_;
};

}  // namespace dbtest

// Expects statement to end the process with status and print text matching regex.
#define EXPECT_CONFIG_EXIT(statement, status, regex) \
    EXPECT_EXIT(                                     \
        {                                            \
            dbtest::stdoutToStderr();                \
            statement;                               \
        },                                           \
        testing::ExitedWithCode(status), regex)
