#include "web/webServer.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <sstream>

#include <httplib.h>

#include "pool/lbHealth.h"
#include "web/webAssets.h"
#include "web/webDb.h"
#include "web/webFiles.h"
#include "web/webForm.h"
#include "web/webPages.h"

namespace lbweb {

namespace {

using httplib::Request;
using httplib::Response;

const char kCookie[] = "lbweb_session";
const char kChartJs[] = "/usr/share/javascript/chart.js/chart.min.js";
// The most read from the end of the graph file for one request: about a day of ticks
// for 80 servers.
constexpr size_t kGraphTail = 16u << 20;
constexpr size_t kFlowsMax = 16u << 20;

std::string cookieValue(const Request &req, const std::string &name) {
    const std::string all = req.get_header_value("Cookie");
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find(';', pos);
        if (end == std::string::npos)
            end = all.size();
        std::string part = all.substr(pos, end - pos);
        part.erase(0, part.find_first_not_of(' '));
        if (part.compare(0, name.size() + 1, name + "=") == 0)
            return part.substr(name.size() + 1);
        pos = end + 1;
    }
    return "";
}

void html(Response &res, int status, const std::string &body) {
    res.status = status;
    res.set_content(body, "text/html; charset=utf-8");
}

void redirect(Response &res, const char *to) {
    res.status = 303;
    res.set_header("Location", to);
}

// The pid of an lbapp process whose working directory is dir, 0 when none. *unsure is
// set when only an lbapp whose working directory lbweb may not read was found (lbweb
// running as another user than lbapp); its pid is returned then.
int lbappPid(const std::string &dir, bool *unsure) {
    *unsure = false;
    char want[PATH_MAX];
    if (realpath(dir.c_str(), want) == nullptr)
        return 0;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return 0;
    int found = 0, maybe = 0;
    while (struct dirent *e = readdir(proc)) {
        char *end;
        long pid = strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        std::ifstream comm("/proc/" + std::string(e->d_name) + "/comm");
        std::string name;
        if (!std::getline(comm, name) || name != "lbapp")
            continue;
        char cwd[PATH_MAX];
        ssize_t n =
            readlink(("/proc/" + std::string(e->d_name) + "/cwd").c_str(), cwd, sizeof cwd - 1);
        if (n < 0 && errno == EACCES && maybe == 0)
            maybe = static_cast<int>(pid);
        if (n > 0) {
            cwd[n] = '\0';
            if (strcmp(cwd, want) == 0) {
                found = static_cast<int>(pid);
                break;
            }
        }
    }
    closedir(proc);
    *unsure = found == 0 && maybe != 0;
    return found != 0 ? found : maybe;
}

}  // namespace

struct WebApp::Impl {
    WebConfig cfg;
    std::map<std::string, std::string> users;
    bool tls;
    SessionStore sessions;
    // Serialises the changes: each one's row and request line stay together, so the
    // lines in flag.txt come in the order the rows were changed.
    std::mutex changeMtx;

    std::string file(const char *name) const { return cfg.workdir + "/" + name; }

    void setCookie(Response &res, const std::string &id) const {
        res.set_header("Set-Cookie", std::string(kCookie) + "=" + id +
                                         "; Path=/; HttpOnly; SameSite=Strict" +
                                         (tls ? "; Secure" : ""));
    }

    // The logged-in session of the request; nothing for no, an unknown or an anonymous one.
    std::optional<Session> user(const Request &req) {
        std::optional<Session> s = sessions.find(cookieValue(req, kCookie), time(nullptr));
        if (s && s->user.empty())
            return std::nullopt;
        return s;
    }

    static bool tokenOk(const Request &req, const Session &s) {
        return req.has_param("csrf") && sameText(req.get_param_value("csrf"), s.token);
    }

    Flows flows(bool *read = nullptr) const {
        std::optional<std::string> text = readTail(file("flows_new.txt"), kFlowsMax);
        if (read != nullptr)
            *read = text.has_value();
        return text ? parseFlows(*text) : Flows{};
    }

    // Wraps a page handler: without a login the browser goes to the login page.
    template <typename F>
    httplib::Server::Handler page(F f) {
        return [this, f](const Request &req, Response &res) {
            std::optional<Session> s = user(req);
            if (!s)
                return redirect(res, "/login");
            f(req, res, PageUser{s->user, s->token});
        };
    }

    // Wraps a form handler: a request without a login or without the session's token
    // changes nothing.
    template <typename F>
    httplib::Server::Handler form(F f) {
        return [this, f](const Request &req, Response &res) {
            std::optional<Session> s = user(req);
            if (!s)
                return html(res, 403,
                            messagePage("Refused",
                                        "You are not logged in (or your "
                                        "session ended); nothing was "
                                        "changed. Log in and try again."));
            if (!tokenOk(req, *s))
                return html(res, 403,
                            messagePage("Refused",
                                        "The form carries no valid token; nothing "
                                        "was changed. Reload the page and try again."));
            f(req, res, PageUser{s->user, s->token});
        };
    }

    void showServers(Response &res, int status, const PageUser &u, Notice n,
                     const ServerForm &form = {"", "", "", "", "Unlocked", ""}) {
        std::string err;
        std::vector<StoredServer> rows;
        std::unique_ptr<WebDb> db = WebDb::open(file("dbconfig.conf"), err);
        if (!db || !db->servers(rows, err)) {
            n.error = true;
            // Appended piece by piece: GCC 12 at -O3 takes the concatenated temporary for
            // an overlapping copy (-Wrestrict).
            if (!n.text.empty())
                n.text += ' ';
            n.text += "The servers cannot be listed: ";
            n.text += err;
            status = status == 200 ? 503 : status;
        }
        // Only a running lbapp with health checks keeps the file.
        std::optional<std::string> healthText = readTail(file(LB_HEALTH_FILE), 1u << 20);
        std::map<std::string, std::string> health;
        if (healthText)
            health = parseHealth(*healthText);
        html(res, status,
             serversPage(u, n, rows, countByServer(flows()), form, healthText ? &health : nullptr));
    }

    // Announces a changed row to lbapp; when flag.txt cannot be written the row is put
    // back (undo), so the database never holds a change lbapp was not told of.
    bool announce(const char *action, const std::string &address,
                  const std::function<Change(std::string &)> &undo, Notice &n) {
        int err = appendRequest(file("flag.txt"), flagLine(action, address));
        if (err == 0)
            return true;
        std::string undoErr;
        Change back = undo(undoErr);
        n.error = true;
        n.text = "flag.txt in " + cfg.workdir + " cannot be written (" + strerror(err) + "); " +
                 (back == Change::Done || back == Change::Missing
                      ? "the change was taken back, nothing changed."
                      : "taking the change back failed too (" + undoErr +
                            "): the database and lbapp now differ for " + address + ".");
        return false;
    }

    void addServer(const Request &req, Response &res, const PageUser &u);
    void modifyServer(const Request &req, Response &res, const PageUser &u);
    void simpleChange(const Request &req, Response &res, const PageUser &u, const char *what);
    StatusInfo status();
};

namespace {

ServerForm formOf(const Request &req) {
    return {req.get_param_value("name"),  req.get_param_value("address"),
            req.get_param_value("mac"),   req.get_param_value("maxconn"),
            req.get_param_value("state"), req.get_param_value("port")};
}

Notice refusedNotice(std::vector<FieldError> fields) {
    return {true, "Nothing was changed: correct the values marked below.", std::move(fields)};
}

}  // namespace

void WebApp::Impl::addServer(const Request &req, Response &res, const PageUser &u) {
    ServerForm f = formOf(req);
    ServerRow row;
    std::vector<FieldError> bad = checkServer(f, row);
    if (!bad.empty())
        return showServers(res, 400, u, refusedNotice(std::move(bad)), f);
    std::lock_guard<std::mutex> lock(changeMtx);
    std::string err;
    std::unique_ptr<WebDb> db = WebDb::open(file("dbconfig.conf"), err);
    Change c = db ? db->insert(row, err) : Change::Failed;
    if (c == Change::Duplicate)
        return showServers(
            res, 409, u,
            {true,
             "A server with address " + row.address + " exists already; nothing was changed.",
             {}},
            f);
    if (c != Change::Done)
        return showServers(res, 503, u, {true, "Nothing was changed: " + err, {}}, f);
    Notice n;
    if (!announce(
            "ADD", row.address, [&](std::string &e) { return db->remove(row.address, e); }, n))
        return showServers(res, 500, u, n, f);
    showServers(
        res, 200, u,
        {false,
         "Server " + row.name + " (" + row.address + ") added; lbapp takes it up at its next tick.",
         {}});
}

void WebApp::Impl::modifyServer(const Request &req, Response &res, const PageUser &u) {
    ServerForm f = formOf(req);
    ServerRow row;
    std::vector<FieldError> bad = checkServer(f, row);
    if (!bad.empty())
        return html(res, 400, editPage(u, refusedNotice(std::move(bad)), f));
    std::lock_guard<std::mutex> lock(changeMtx);
    std::string err;
    std::unique_ptr<WebDb> db = WebDb::open(file("dbconfig.conf"), err);
    std::optional<StoredServer> old = db ? db->server(row.address, err) : std::nullopt;
    if (!old)
        return showServers(
            res, err.empty() ? 404 : 503, u,
            {true,
             err.empty() ? "No server has address " + row.address + "; nothing was changed."
                         : "Nothing was changed: " + err,
             {}});
    if (db->update(row, err) != Change::Done)
        return showServers(res, 503, u, {true, "Nothing was changed: " + err, {}});
    Notice n;
    if (!announce(
            "MODIFY", row.address, [&](std::string &e) { return db->restore(*old, e); }, n))
        return showServers(res, 500, u, n);
    showServers(res, 200, u,
                {false,
                 "Server " + row.name + " (" + row.address +
                     ") changed; lbapp takes the change at its next tick.",
                 {}});
}

// lock, unlock and delete: a change named by the address alone.
void WebApp::Impl::simpleChange(const Request &req, Response &res, const PageUser &u,
                                const char *what) {
    std::string address;
    std::string msg = checkAddress(req.get_param_value("address"), address);
    if (!msg.empty())
        return showServers(res, 400, u, {true, msg + " Nothing was changed.", {}});
    std::lock_guard<std::mutex> lock(changeMtx);
    std::string err;
    std::unique_ptr<WebDb> db = WebDb::open(file("dbconfig.conf"), err);
    std::optional<StoredServer> old = db ? db->server(address, err) : std::nullopt;
    if (!old)
        return showServers(
            res, err.empty() ? 404 : 503, u,
            {true,
             err.empty() ? "No server has address " + address + "; nothing was changed."
                         : "Nothing was changed: " + err,
             {}});
    const bool del = strcmp(what, "delete") == 0;
    Change c = del ? db->remove(address, err) : db->setLocked(address, !strcmp(what, "lock"), err);
    if (c != Change::Done)
        return showServers(res, 503, u, {true, "Nothing was changed: " + err, {}});
    Notice n;
    if (!announce(
            del ? "DELETE" : "MODIFY", address,
            [&](std::string &e) { return db->restore(*old, e); }, n))
        return showServers(res, 500, u, n);
    std::string done = del ? "deleted; lbapp removes it at its next tick, or once its open "
                             "connections have ended"
                           : std::string(what) + "ed; lbapp takes the change at its next tick";
    showServers(res, 200, u,
                {false, "Server " + old->name + " (" + address + ") " + done + ".", {}});
}

StatusInfo WebApp::Impl::status() {
    StatusInfo s;
    s.workdir = cfg.workdir;
    s.tls = tls;
    s.lbappPid = lbappPid(cfg.workdir, &s.lbappUnsure);
    if (std::optional<std::string> tail = readTail(file("servergraph.txt"), 4096)) {
        std::string_view t = *tail;
        while (!t.empty() && t.back() == '\n')
            t.remove_suffix(1);
        std::string_view last =
            t.substr(t.rfind('\n') == std::string_view::npos ? 0 : t.rfind('\n') + 1);
        size_t p = last.find("  ");
        p = p == std::string_view::npos ? p : last.find("  ", p + 2);
        if (p != std::string_view::npos)
            s.lastTick = std::string(last.substr(p + 2));
        struct stat st;
        if (!s.lastTick.empty() && stat(file("servergraph.txt").c_str(), &st) == 0)
            s.tickAgeS = static_cast<long>(time(nullptr) - st.st_mtime);
    }
    std::unique_ptr<WebDb> db = WebDb::open(file("dbconfig.conf"), s.dbError);
    s.dbOk = db && db->settings(s.db, s.dbError);
    if (std::optional<std::string> t = readTail(file("timeout.conf"), 4096))
        if (std::optional<Timeouts> to = parseTimeouts(*t)) {
            s.timeoutsOk = true;
            s.timeouts = *to;
        }
    return s;
}

WebApp::WebApp(WebConfig config, std::map<std::string, std::string> users, bool tls)
    : impl_(std::make_shared<Impl>()) {
    impl_->cfg = std::move(config);
    impl_->users = std::move(users);
    impl_->tls = tls;
}

void WebApp::install(httplib::Server &svr) {
    Impl *a = impl_.get();
    svr.set_post_routing_handler([](const Request &, Response &res) {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("X-Frame-Options", "DENY");
        res.set_header("Referrer-Policy", "no-referrer");
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; script-src 'self'; style-src 'self'; "
                       "img-src 'self' data:; object-src 'none'; frame-ancestors 'none'; "
                       "form-action 'self'; base-uri 'none'");
        if (!res.has_header("Cache-Control"))
            res.set_header("Cache-Control", "no-store");
    });
    svr.set_error_handler([](const Request &, Response &res) {
        if (res.status == 404)
            html(res, 404, messagePage("Not found", "There is no such page."));
    });

    svr.Get("/", [](const Request &, Response &res) { redirect(res, "/servers"); });
    svr.Get("/static/lbweb.css", [](const Request &, Response &res) {
        res.set_header("Cache-Control", "max-age=300");
        res.set_content(kStyleCss, "text/css; charset=utf-8");
    });
    svr.Get("/static/lbweb.js", [](const Request &, Response &res) {
        res.set_header("Cache-Control", "max-age=300");
        res.set_content(kScriptJs, "text/javascript; charset=utf-8");
    });
    svr.Get("/javascript/chart.js/chart.min.js", [](const Request &, Response &res) {
        std::optional<std::string> js = readTail(kChartJs, 4u << 20);
        if (!js)
            return html(res, 404,
                        messagePage("Not found",
                                    "The chart library is not installed "
                                    "(Debian package libjs-chart.js)."));
        res.set_header("Cache-Control", "max-age=3600");
        res.set_content(*js, "text/javascript; charset=utf-8");
    });

    svr.Get("/login", [a](const Request &req, Response &res) {
        if (a->user(req))
            return redirect(res, "/servers");
        std::optional<Session> s = a->sessions.find(cookieValue(req, kCookie), time(nullptr));
        if (!s)
            s = a->sessions.create("", time(nullptr));
        if (!s)
            return html(res, 503, messagePage("Unavailable", "No random numbers for a session."));
        a->setCookie(res, s->id);
        html(res, 200, loginPage(s->token, ""));
    });
    svr.Post("/login", [a](const Request &req, Response &res) {
        const std::string id = cookieValue(req, kCookie);
        std::optional<Session> anon = a->sessions.find(id, time(nullptr));
        if (!anon || !Impl::tokenOk(req, *anon))
            return html(res, 403,
                        messagePage("Refused",
                                    "The login form carries no valid "
                                    "token. Open the login page again."));
        const std::string name = req.get_param_value("user");
        auto it = a->users.find(name);
        const bool ok = checkPassword(req.get_param_value("password"),
                                      it == a->users.end() ? dummyHash() : it->second);
        if (!ok || it == a->users.end())
            return html(res, 401, loginPage(anon->token, "Unknown user or wrong password."));
        a->sessions.erase(id);  // a new id at login: a planted cookie gains nothing
        std::optional<Session> s = a->sessions.create(name, time(nullptr));
        if (!s)
            return html(res, 503, messagePage("Unavailable", "No random numbers for a session."));
        a->setCookie(res, s->id);
        redirect(res, "/servers");
    });
    svr.Post("/logout", a->form([a](const Request &req, Response &res, const PageUser &) {
        a->sessions.erase(cookieValue(req, kCookie));
        res.set_header("Set-Cookie", std::string(kCookie) +
                                         "=; Path=/; Max-Age=0; HttpOnly; "
                                         "SameSite=Strict");
        redirect(res, "/login");
    }));

    svr.Get("/servers", a->page([a](const Request &, Response &res, const PageUser &u) {
        a->showServers(res, 200, u, {});
    }));
    svr.Get("/servers/edit", a->page([a](const Request &req, Response &res, const PageUser &u) {
        std::string address, err;
        std::string msg = checkAddress(req.get_param_value("address"), address);
        if (!msg.empty())
            return a->showServers(res, 400, u, {true, msg, {}});
        std::unique_ptr<WebDb> db = WebDb::open(a->file("dbconfig.conf"), err);
        std::optional<StoredServer> s = db ? db->server(address, err) : std::nullopt;
        if (!s)
            return a->showServers(
                res, err.empty() ? 404 : 503, u,
                {true, err.empty() ? "No server has address " + address + "." : err, {}});
        html(res, 200,
             editPage(u, {}, {s->name, s->address, s->mac, s->maxconn, s->state, s->port}));
    }));
    svr.Post("/servers/add", a->form([a](const Request &req, Response &res, const PageUser &u) {
        a->addServer(req, res, u);
    }));
    svr.Post("/servers/modify", a->form([a](const Request &req, Response &res, const PageUser &u) {
        a->modifyServer(req, res, u);
    }));
    for (const char *what : {"lock", "unlock", "delete"})
        svr.Post(std::string("/servers/") + what,
                 a->form([a, what](const Request &req, Response &res, const PageUser &u) {
                     a->simpleChange(req, res, u, what);
                 }));

    svr.Get("/connections", a->page([a](const Request &, Response &res, const PageUser &u) {
        bool read = false;
        Flows f = a->flows(&read);
        html(res, 200, connectionsPage(u, f, read));
    }));
    svr.Get("/graph", a->page([](const Request &, Response &res, const PageUser &u) {
        html(res, 200, graphPage(u));
    }));
    svr.Get("/status", a->page([a](const Request &, Response &res, const PageUser &u) {
        html(res, 200, statusPage(u, a->status()));
    }));

    // The scripts' data: 401 without a login, so the page can send the browser to log in.
    svr.Get("/api/connections", [a](const Request &req, Response &res) {
        if (!a->user(req)) {
            res.status = 401;
            return;
        }
        res.set_content(connectionsJson(a->flows()), "application/json");
    });
    svr.Get("/api/graph", [a](const Request &req, Response &res) {
        if (!a->user(req)) {
            res.status = 401;
            return;
        }
        long range = strtol(req.get_param_value("range").c_str(), nullptr, 10);
        range = range < 60 ? 900 : std::min(range, 7 * 86400L);
        const time_t to = time(nullptr), from = to - range;
        std::optional<std::string> text = readTail(a->file("servergraph.txt"), kGraphTail);
        res.set_content(
            graphJson(text ? parseGraph(*text, from, to) : std::vector<Series>{}, from, to),
            "application/json");
    });
}

}  // namespace lbweb
