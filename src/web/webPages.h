// The HTML of lbweb's pages. Pages are plain HTML; the one script (webAssets) only
// refreshes the connections and draws the graph. Every value shown is escaped here.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "web/webDb.h"
#include "web/webFiles.h"
#include "web/webForm.h"

namespace lbweb {

// Text safe inside HTML elements and quoted attribute values.
std::string escapeHtml(std::string_view s);

// What every page of a logged-in user carries: who, and the token its forms send.
struct PageUser {
    std::string name, token;
};

// The outcome of a request, shown above a page's content.
struct Notice {
    bool error = false;
    std::string text;
    std::vector<FieldError> fields;  // the refused fields of a form
};

std::string loginPage(const std::string &token, const std::string &message);

// Servers: the rows with their connection counts (by address), the add form (filled
// with form when a refused add is shown again). With health (lbapp's health checks run)
// a column shows each server up or down.
std::string serversPage(const PageUser &u, const Notice &notice,
                        const std::vector<StoredServer> &rows,
                        const std::map<std::string, int> &conns, const ServerForm &form,
                        const std::map<std::string, std::string> *health = nullptr);

// Modify one server: the form filled with form, the address fixed.
std::string editPage(const PageUser &u, const Notice &notice, const ServerForm &form);

std::string connectionsPage(const PageUser &u, const Flows &flows, bool fileRead);
std::string graphPage(const PageUser &u);

// Everything the status page shows.
struct StatusInfo {
    std::string workdir;
    int lbappPid = 0;          // 0: not running
    bool lbappUnsure = false;  // an lbapp whose working directory lbweb may not read
    std::string lastTick;      // last line time of servergraph.txt, empty when none
    long tickAgeS = -1;        // seconds since the graph file changed, -1 unknown
    bool dbOk = false;
    std::string dbError;
    DbSettings db;
    bool timeoutsOk = false;
    Timeouts timeouts;
    bool tls = false;
};
std::string statusPage(const PageUser &u, const StatusInfo &s);

// A short page for refusals (403, 404): title and one sentence.
std::string messagePage(const std::string &title, const std::string &text);

// JSON for the scripts: the connections (with counts per server) and the graph series
// (time in milliseconds since the epoch).
std::string connectionsJson(const Flows &flows);
std::string graphJson(const std::vector<Series> &series, time_t from, time_t to);

}  // namespace lbweb
