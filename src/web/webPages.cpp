#include "web/webPages.h"

#include <map>

#include <nlohmann/json.hpp>

namespace lbweb {

namespace {

std::string head(const std::string &title, const char *page, bool chart = false) {
    std::string h =
        "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<title>lbweb: " +
        escapeHtml(title) + "</title><link rel=\"stylesheet\" href=\"/static/lbweb.css\">";
    if (chart)
        h += "<script src=\"/javascript/chart.js/chart.min.js\" defer></script>";
    h += "<script src=\"/static/lbweb.js\" defer></script></head><body data-page=\"";
    return h + page + "\">";
}

std::string tokenField(const std::string &token) {
    return "<input type=\"hidden\" name=\"csrf\" value=\"" + escapeHtml(token) + "\">";
}

// The page head, navigation (the current page marked) and log-out form.
std::string frame(const PageUser &u, const std::string &title, const char *page,
                  bool chart = false) {
    std::string h = head(title, page, chart) + "<header><span class=\"brand\">lbweb</span><nav>";
    for (auto [path, name] : {std::pair{"servers", "Servers"},
                              {"connections", "Connections"},
                              {"graph", "Graph"},
                              {"status", "Status"}})
        h += std::string("<a href=\"/") + path + "\"" +
             (std::string_view(page) == path ? " class=\"current\"" : "") + ">" + name + "</a>";
    h += "</nav><form method=\"post\" action=\"/logout\" class=\"logout\">" + tokenField(u.token) +
         "<span>" + escapeHtml(u.name) + "</span><button type=\"submit\">Log out</button></form>" +
         "</header><main><h1>" + escapeHtml(title) + "</h1>";
    return h;
}

const char kEnd[] = "</main></body></html>\n";

std::string noticeHtml(const Notice &n) {
    if (n.text.empty() && n.fields.empty())
        return "";
    std::string h = std::string("<div id=\"notice\" class=\"notice ") + (n.error ? "error" : "ok") +
                    "\" role=\"status\"><p>" + escapeHtml(n.text) + "</p>";
    if (!n.fields.empty()) {
        h += "<ul id=\"field-errors\">";
        for (const FieldError &f : n.fields)
            h +=
                "<li data-field=\"" + escapeHtml(f.field) + "\">" + escapeHtml(f.message) + "</li>";
        h += "</ul>";
    }
    return h + "</div>";
}

bool refused(const Notice &n, const char *field) {
    for (const FieldError &f : n.fields)
        if (f.field == field)
            return true;
    return false;
}

// The fields of the add and modify forms; the address is fixed when modifying.
std::string serverFields(const ServerForm &f, const Notice &n, bool fixedAddress) {
    auto input = [&](const char *name, const char *label, const std::string &value,
                     const char *hint, const char *extra) {
        return std::string("<label>") + label + "<input name=\"" + name + "\" value=\"" +
               escapeHtml(value) + "\" placeholder=\"" + hint + "\"" + extra +
               (refused(n, name) ? " class=\"refused\" aria-invalid=\"true\"" : "") + "></label>";
    };
    std::string h = input("name", "Name", f.name, "web1", " maxlength=\"49\" required");
    if (fixedAddress)
        h += "<label>Address<input value=\"" + escapeHtml(f.address) +
             "\" disabled></label><input type=\"hidden\" name=\"address\" value=\"" +
             escapeHtml(f.address) + "\">";
    else
        h += input("address", "Address", f.address, "198.51.100.11", " required");
    h += input("mac", "MAC", f.mac, "02:00:00:00:00:0b", " required");
    h += input("maxconn", "Max. connections", f.maxconn, "100", " inputmode=\"numeric\" required");
    h += "<label>State<select name=\"state\">";
    for (const char *s : {"Unlocked", "Locked"})
        h += std::string("<option") + (f.state == s ? " selected" : "") + ">" + s + "</option>";
    h += "</select></label>";
    h += input("port", "Switch port", f.port, "0-47", " inputmode=\"numeric\" required");
    return h;
}

}  // namespace

std::string escapeHtml(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string loginPage(const std::string &token, const std::string &message) {
    std::string h = head("Log in", "login") + "<main class=\"login\"><h1>lbweb</h1>";
    if (!message.empty())
        h += "<div id=\"notice\" class=\"notice error\" role=\"status\"><p>" + escapeHtml(message) +
             "</p></div>";
    h += "<form method=\"post\" action=\"/login\" id=\"login-form\">" + tokenField(token) +
         "<label>User<input name=\"user\" autocomplete=\"username\" required autofocus></label>"
         "<label>Password<input name=\"password\" type=\"password\" "
         "autocomplete=\"current-password\" required></label>"
         "<button type=\"submit\">Log in</button></form>";
    return h + kEnd;
}

std::string serversPage(const PageUser &u, const Notice &notice,
                        const std::vector<StoredServer> &rows,
                        const std::map<std::string, int> &conns, const ServerForm &form,
                        const std::map<std::string, std::string> *health) {
    std::string h = frame(u, "Servers", "servers") + noticeHtml(notice);
    h += "<table id=\"servers\"><thead><tr><th>Name</th><th>Address</th><th>MAC</th>"
         "<th>Max. connections</th><th>State</th><th>Switch port</th><th>Connections</th>";
    if (health != nullptr)
        h += "<th>Health</th>";
    h += "<th>Actions</th></tr></thead><tbody>";
    for (const StoredServer &s : rows) {
        auto it = conns.find(s.address);
        const std::string addr = escapeHtml(s.address);
        auto button = [&](const char *action, const char *label) {
            return std::string("<form method=\"post\" action=\"/servers/") + action + "\">" +
                   tokenField(u.token) + "<input type=\"hidden\" name=\"address\" value=\"" + addr +
                   "\"><button type=\"submit\" name=\"do\" value=\"" + action + "\">" + label +
                   "</button></form>";
        };
        const bool locked = s.state == "Locked";
        h += "<tr data-address=\"" + addr + "\"><td>" + escapeHtml(s.name) + "</td><td>" + addr +
             "</td><td>" + escapeHtml(s.mac) + "</td><td>" + escapeHtml(s.maxconn) + "</td><td>" +
             escapeHtml(s.state) + "</td><td>" + escapeHtml(s.port) + "</td><td class=\"num\">" +
             (it == conns.end() ? std::string("-") : std::to_string(it->second)) + "</td>";
        if (health != nullptr) {
            auto st = health->find(s.address);
            const std::string word = st == health->end() ? "-" : st->second;
            h += std::string("<td class=\"health") + (word == "down" ? " bad" : "") + "\">" +
                 escapeHtml(word) + "</td>";
        }
        h += "<td class=\"actions\"><a href=\"/servers/edit?address=" + addr + "\">Modify</a>" +
             button(locked ? "unlock" : "lock", locked ? "Unlock" : "Lock") +
             button("delete", "Delete") + "</td></tr>";
    }
    if (rows.empty())
        h += std::string("<tr><td colspan=\"") + (health != nullptr ? "9" : "8") +
             "\">No servers in the database.</td></tr>";
    h += "</tbody></table><p class=\"hint\">Connections: as lbapp lists them now; - for a "
         "server lbapp has not taken up yet. Changes reach lbapp at its next tick (5 s); a "
         "deleted server with open connections is drained.";
    if (health != nullptr)
        h += " Health: what lbapp's health checks find; a server that is down takes no new "
             "connections until its checks pass again.";
    h += "</p>";
    h += "<h2>Add a server</h2><form method=\"post\" action=\"/servers/add\" id=\"add-form\" "
         "class=\"server-form\">" +
         tokenField(u.token) + serverFields(form, notice, false) +
         "<button type=\"submit\">Add</button></form>";
    return h + kEnd;
}

std::string editPage(const PageUser &u, const Notice &notice, const ServerForm &form) {
    std::string h = frame(u, "Modify " + form.address, "servers") + noticeHtml(notice);
    h += "<form method=\"post\" action=\"/servers/modify\" id=\"edit-form\" "
         "class=\"server-form\">" +
         tokenField(u.token) + serverFields(form, notice, true) +
         "<button type=\"submit\">Save</button> <a href=\"/servers\">Cancel</a></form>"
         "<p class=\"hint\">The address is the server's key for lbapp; to move a server to "
         "another address, delete it and add it again.</p>";
    return h + kEnd;
}

std::string connectionsPage(const PageUser &u, const Flows &flows, bool fileRead) {
    std::string h = frame(u, "Connections", "connections");
    h += std::string("<p id=\"conn-state\" class=\"hint\">") +
         (fileRead ? ""
                   : "flows_new.txt cannot be read: is lbapp running in the working "
                     "directory? ") +
         "Refreshed every 2 seconds.</p>";
    std::map<std::string, std::string> names = flows.idle;
    for (const FlowConn &c : flows.conns)
        names[c.server] = c.serverName;
    h += "<h2>Per server</h2><table id=\"counts\"><thead><tr><th>Server</th><th>Address</th>"
         "<th>Connections</th></tr></thead><tbody>";
    for (const auto &[addr, n] : countByServer(flows))
        h += "<tr data-address=\"" + escapeHtml(addr) + "\"><td>" + escapeHtml(names[addr]) +
             "</td><td>" + escapeHtml(addr) + "</td><td class=\"num\">" + std::to_string(n) +
             "</td></tr>";
    h += "</tbody></table><h2>Open connections (<span id=\"conn-total\">" +
         std::to_string(flows.conns.size()) +
         "</span>)</h2><table id=\"conns\"><thead><tr><th>Client</th><th>Client port</th>"
         "<th>Server</th><th>Server address</th></tr></thead><tbody>";
    for (const FlowConn &c : flows.conns)
        h += "<tr><td>" + escapeHtml(c.client) + "</td><td>" + std::to_string(c.clientPort) +
             "</td><td>" + escapeHtml(c.serverName) + "</td><td>" + escapeHtml(c.server) +
             "</td></tr>";
    return h + "</tbody></table>" + kEnd;
}

std::string graphPage(const PageUser &u) {
    std::string h = frame(u, "Connections over time", "graph", true);
    h += "<form id=\"range-form\" class=\"inline\"><label>Time range <select id=\"range\" "
         "name=\"range\">";
    for (auto [s, label] : {std::pair{300, "5 minutes"},
                            {900, "15 minutes"},
                            {3600, "1 hour"},
                            {6 * 3600, "6 hours"},
                            {86400, "24 hours"}})
        h += "<option value=\"" + std::to_string(s) + "\"" + (s == 900 ? " selected" : "") +
             ">last " + label + "</option>";
    h += "</select></label></form><p id=\"graph-state\" class=\"hint\">Connections per server "
         "at each lbapp tick (servergraph.txt), refreshed every 5 seconds.</p>"
         "<div class=\"chart\"><canvas id=\"chart\"></canvas></div>";
    return h + kEnd;
}

std::string statusPage(const PageUser &u, const StatusInfo &s) {
    std::string h = frame(u, "Status", "status") + "<table id=\"status\" class=\"keyvalue\">";
    auto row = [&](const char *key, const char *id, const std::string &value, bool bad = false) {
        h += std::string("<tr><th>") + key + "</th><td id=\"" + id + "\"" +
             (bad ? " class=\"bad\"" : "") + ">" + escapeHtml(value) + "</td></tr>";
    };
    row("lbapp", "st-lbapp",
        s.lbappPid <= 0 ? std::string("not running")
        : s.lbappUnsure ? "an lbapp runs (pid " + std::to_string(s.lbappPid) +
                              "); lbweb may not check its working directory"
                        : "running (pid " + std::to_string(s.lbappPid) + ")",
        s.lbappPid <= 0);
    row("Last tick", "st-tick",
        s.lastTick.empty()
            ? "none recorded"
            : s.lastTick + (s.tickAgeS >= 0 ? " (" + std::to_string(s.tickAgeS) + " s ago)" : ""),
        s.tickAgeS < 0 || s.tickAgeS > 15);
    const std::string dbNote = s.dbOk ? "" : "unknown: " + s.dbError;
    row("VIP", "st-vip", s.dbOk ? s.db.vip : dbNote, !s.dbOk);
    row("Controller", "st-controller",
        s.dbOk ? s.db.controllerIp + "  MAC " + s.db.controllerMac + "  dpid " + s.db.dpid : dbNote,
        !s.dbOk);
    row("Cluster name", "st-cluster", s.dbOk ? s.db.cluster : dbNote, !s.dbOk);
    if (s.timeoutsOk) {
        const Timeouts &t = s.timeouts;
        row("Time-outs", "st-timeouts",
            "rules idle " + std::to_string(t.ruleIdle) + " s, rules after a reset " +
                std::to_string(t.resetIdle) + " s, half-open " + std::to_string(t.halfOpen) +
                " s, established idle " + std::to_string(t.established) + " s");
    } else {
        row("Time-outs", "st-timeouts", "timeout.conf cannot be read", true);
    }
    row("Database", "st-db", s.dbOk ? "reachable" : s.dbError, !s.dbOk);
    row("Working directory", "st-workdir", s.workdir);
    row("This page", "st-tls", s.tls ? "HTTPS" : "HTTP (no TLS configured)");
    return h +
           "</table><p class=\"hint\">VIP, controller and cluster name as configured in the "
           "database; lbapp reads them when it starts.</p>" +
           kEnd;
}

std::string messagePage(const std::string &title, const std::string &text) {
    return head(title, "message") + "<main><h1>" + escapeHtml(title) +
           "</h1><div id=\"notice\" class=\"notice error\"><p>" + escapeHtml(text) +
           "</p></div><p><a href=\"/servers\">Back to the servers</a></p>" + kEnd;
}

std::string connectionsJson(const Flows &flows) {
    nlohmann::json j;
    j["connections"] = nlohmann::json::array();
    std::map<std::string, std::string> names = flows.idle;
    for (const FlowConn &c : flows.conns) {
        j["connections"].push_back({{"client", c.client},
                                    {"port", c.clientPort},
                                    {"server", c.server},
                                    {"name", c.serverName}});
        names[c.server] = c.serverName;
    }
    j["servers"] = nlohmann::json::array();
    for (const auto &[addr, n] : countByServer(flows))
        j["servers"].push_back({{"address", addr}, {"name", names[addr]}, {"count", n}});
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string graphJson(const std::vector<Series> &series, time_t from, time_t to) {
    nlohmann::json j;
    j["from"] = static_cast<long long>(from) * 1000;
    j["to"] = static_cast<long long>(to) * 1000;
    j["series"] = nlohmann::json::array();
    for (const Series &s : series) {
        nlohmann::json pts = nlohmann::json::array();
        for (auto [t, n] : s.points)
            pts.push_back({static_cast<long long>(t) * 1000, n});
        j["series"].push_back({{"name", s.name}, {"points", pts}});
    }
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace lbweb
