// lbweb's side of database loadbalancer: the rows of table server it shows and changes,
// and the settings the status page names. Every statement that carries a value an
// operator typed is a prepared statement with the value bound, never text pasted into
// SQL. One WebDb is one connection, used by one thread at a time.
#pragma once

#include <mysql.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "web/webForm.h"

namespace lbweb {

// A row of table server as stored, every value as text (a row written by hand may hold
// values the form would refuse; they are shown as they are).
struct StoredServer {
    std::string name, address, maxconn, mac, state, port;
};

// The balancer's settings in the database, for the status page.
struct DbSettings {
    std::string vip, controllerIp, controllerMac, dpid, cluster;
};

// What a change of one row came to.
enum class Change { Done, Missing, Duplicate, Failed };

class WebDb {
  public:
    // Connects with the three words of dbconfig (host, user, password), as the balancer
    // does. Nothing, with err set, when the file or the server fails.
    static std::unique_ptr<WebDb> open(const std::string &dbconfigPath, std::string &err);
    ~WebDb();
    WebDb(const WebDb &) = delete;
    WebDb &operator=(const WebDb &) = delete;

    // Every row of table server, in row id order. False (err set) on a database failure.
    bool servers(std::vector<StoredServer> &out, std::string &err);
    // The row whose serverip is address; nothing when there is none or on failure
    // (err set then).
    std::optional<StoredServer> server(const std::string &address, std::string &err);

    Change insert(const ServerRow &row, std::string &err);
    // Changes every column but the address of the row with row.address.
    Change update(const ServerRow &row, std::string &err);
    Change setLocked(const std::string &address, bool locked, std::string &err);
    Change remove(const std::string &address, std::string &err);
    // Puts a removed or changed row back as it was stored (undo after a failed request).
    Change restore(const StoredServer &row, std::string &err);

    bool settings(DbSettings &out, std::string &err);

  private:
    explicit WebDb(MYSQL *con) : con_(con) {}
    // Runs sql with params bound as strings; rows (when given) receives the result rows
    // of cols columns each, NULL as "NULL". Returns the affected or fetched row count,
    // or -1 (err set).
    long long run(const char *sql, const std::vector<std::string> &params,
                  std::vector<std::vector<std::string>> *rows, unsigned cols, std::string &err);
    Change changeOne(const char *sql, const std::vector<std::string> &params, std::string &err);

    MYSQL *con_;
    unsigned lastErrno_ = 0;  // of the last failed statement
};

}  // namespace lbweb
