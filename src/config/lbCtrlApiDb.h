// The database side shared by the configuration loaders and the run-time refresh: table
// mirrors, the run-time connection and the one reading of server rows. Private to
// config/.
#pragma once

#include <mysql.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "pool/lbServerList.h"

namespace lbcfg {

// Highest switch port a server may be configured on.
constexpr int kMaxSwitchPort = 47;

// Which of a table's columns go to its mirror file, and what is echoed on standard
// output while mirroring.
struct MirrorTable {
    const char *query;
    const char *file;
    std::vector<unsigned> columns;
    bool echoValues;
    bool echoNewlines;
    bool printNumFields;
};

// Runs the query and replaces the mirror file with the selected columns of every row
// (SQL NULL as the word NULL, each value followed by a blank, one line per row), echoing
// as asked. Returns 0, -1 when the query or the result failed (the caller reads the
// error from con), or -2 when the mirror file cannot be written: reading it back then
// would load whatever an earlier run left there.
int mirrorTable(MYSQL *con, const MirrorTable &mirror);

// Drops the run-time connection after a failure; dbReconnectIfNeeded connects again.
// The caller holds the refresh's lock.
void dbDrop();

// Connects again at run time when a failed query dropped the connection (g_con is null).
// Prints the MySQL error and leaves g_con null when the server still does not answer,
// after at most the client's connect time-out. The caller holds the refresh's lock.
void dbReconnectIfNeeded();

// Reads the rows of a servConfig.conf text in file order: the one loop of start-up and
// refresh. Each usable row is announced with "ip_addr = %s, switchport = %d" and handed
// to take; take returning false stops the reading. Returns 0 when every row was read or
// take stopped; -1 at a row that does not parse (*lineNo and *err say which and why); -2
// at a switch port above 47, after "wrong entry %d in Config file" was printed.
int readServerRows(std::string_view content,
                   const std::function<bool(const lbServer_node_t &)> &take, int *lineNo,
                   std::string *err);

// Copies the configured fields of src into dst: name, address, maxconn, MAC, switch port
// and lock. Counters and marks are left as they are.
void setServerConfig(lbServer_node_t *dst, const lbServer_node_t &src);

}  // namespace lbcfg
