// Helpers of the suites that run against the throwaway MariaDB of testbed/db/dbctl.
// They expect LBDB_HOME to name a running server (scripts/test starts one and runs these
// suites inside its network namespace).
#pragma once

#include <mysql.h>

#include <string>

namespace dbtest {

// Runs testbed/db/dbctl with the given arguments; returns its exit status.
int dbctl(const std::string &args);

// Empty when the server answers; otherwise why the suite cannot run.
std::string whyUnavailable();

// Writes dbconfig.conf in the working directory with the server's credentials.
void writeDbConfig();

// A connection of the tests' own, used to arrange table contents.
class Admin {
  public:
    Admin();
    ~Admin();
    Admin(const Admin &) = delete;
    Admin &operator=(const Admin &) = delete;

    // Runs one or more statements; fails the current test on an error.
    void exec(const std::string &sql);
    // The first column of the first row of a query, as text ("" for none).
    std::string scalar(const std::string &sql);
    // Drops and creates the four tables (testbed/db/schema.sql), all empty.
    void resetSchema();
    bool ok() const { return con_ != nullptr; }

  private:
    void reconnect();
    MYSQL *con_ = nullptr;
};

// Frees every server record and the balancer's configuration globals, so a test starts
// from an empty pool. Call with no other thread using the pool.
void resetPool();

// Redirects standard output into standard error for the rest of the process; used at
// the start of a death-test statement so that the loader's messages can be matched.
void stdoutToStderr();

}  // namespace dbtest

// Expects statement to end the process with status and print text matching regex.
#define EXPECT_CONFIG_EXIT(statement, status, regex) \
    EXPECT_EXIT(                                     \
        {                                            \
            dbtest::stdoutToStderr();                \
            statement;                               \
        },                                           \
        testing::ExitedWithCode(status), regex)
