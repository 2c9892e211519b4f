// Tables of cases for lbweb's checks and parsers. Every server row the form accepts must
// also be accepted, with the same values, by the balancer's reader of servConfig.conf:
// a row it refused would stop lbapp.
#include <crypt.h>
#include <errno.h>
#include <gtest/gtest.h>

#include <set>

#include "config/lbCtrlApiText.h"
#include "support/lbtest_util.h"
#include "web/webAuth.h"
#include "web/webFiles.h"
#include "web/webForm.h"
#include "web/webPages.h"

namespace lbweb {
namespace {

const ServerForm kGood{"web1", "198.51.100.11", "02:00:00:00:00:0b", "100", "Unlocked", "4"};

TEST(WebForm, EveryFieldCheckedAndAcceptedRowsLoadInTheBalancer) {
    static const std::string n49(49, 'n'), n50(50, 'n');
    // Per field: the values it accepts, then those it refuses.
    struct Field {
        const char *field;
        std::string ServerForm::*slot;
        std::vector<std::string> good, bad;
    } fields[] = {
        // clang-format off
        {"name", &ServerForm::name, {"web-1.a_b", n49},
         {n50, "", "NULL", "a b", "<script>", "x'; DROP TABLE server; --"}},
        {"address", &ServerForm::address, {"10.0.0.1", "223.255.255.254"},
         {"010.0.0.1", "1.2.3", "1.2.3.4.5", "256.1.1.1", " 1.2.3.4", "0.0.0.0", "127.0.0.1",
          "224.0.0.1", "255.255.255.255", "1.2.3.4' OR '1'='1"}},
        {"mac", &ServerForm::mac, {"2:0:0:0:0:E", "02:AA:bb:0c:0d:ff"},
         {"02:00:00:00:00", "02:00:00:00:00:00:00", "02-00-00-00-00-0b", "02:00:00:00:00:100",
          "01:00:5e:00:00:01", "ff:ff:ff:ff:ff:ff"}},
        {"maxconn", &ServerForm::maxconn, {"1", "2147483647"},
         {"0", "-1", "2147483648", "010", "1e3", ""}},
        {"state", &ServerForm::state, {"Locked"}, {"locked", "Unlocked "}},
        {"port", &ServerForm::port, {"0", "47"}, {"48", "-1", "4 7", "99999999999999999999"}},
        // clang-format on
    };
    for (const Field &fd : fields)
        for (bool ok : {true, false})
            for (const std::string &value : ok ? fd.good : fd.bad) {
                SCOPED_TRACE(std::string(fd.field) + " = " + quote(value));
                ServerForm f = kGood;
                f.*fd.slot = value;
                ServerRow row;
                std::vector<FieldError> errors = checkServer(f, row);
                if (!ok) {
                    ASSERT_EQ(errors.size(), 1u);
                    EXPECT_EQ(errors[0].field, fd.field);
                    EXPECT_NE(errors[0].message.find(quote(value)), std::string::npos)
                        << errors[0].message;
                    continue;
                }
                ASSERT_TRUE(errors.empty()) << errors[0].message;
                // The row as the balancer mirrors and reads it back.
                const std::string line =
                    row.name + " " + row.address + " " + std::to_string(row.maxconn) + " " +
                    row.mac + " " + stateWord(row.locked) + " " + std::to_string(row.port) + " ";
                lbServer_node_t rec{};
                std::string err;
                ASSERT_TRUE(lbcfg::parseServerLine(line, rec, err)) << err;
                EXPECT_LE(rec.lbSwitchPort, kMaxSwitchPort);
                EXPECT_EQ(rec.server_name, row.name);
                EXPECT_EQ(rec.maxconn, row.maxconn);
                EXPECT_EQ(rec.lock, row.locked ? 1 : 0);
                char mac[18];
                snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", rec.lbServMac[0],
                         rec.lbServMac[1], rec.lbServMac[2], rec.lbServMac[3], rec.lbServMac[4],
                         rec.lbServMac[5]);
                EXPECT_EQ(row.mac, mac);
            }
}

TEST(WebForm, AllBadFieldsReportedAtOnceAndQuotedShort) {
    ServerRow row;
    EXPECT_EQ(checkServer({"", "x", "y", "z", "w", "v"}, row).size(), 6u);
    EXPECT_EQ(quote(std::string("a\nb") + std::string(50, 'c')).size(), 2 + 40 + 3u);
}

TEST(WebFiles, ConnectionsFile) {
    struct Case {
        const char *text;
        size_t conns;
        std::map<std::string, int> counts;
        int bad;
    } cases[] = {
        {"", 0, {}, 0},
        {"0 0 198.51.100.12 0 web2 10\n192.0.2.10 40000 198.51.100.11 farm web1 10\n"
         "192.0.2.10 40001 198.51.100.11 farm web1 10\n192.0.2.20 5 198.51.100.13 farm web3 1",
         3,
         {{"198.51.100.11", 2}, {"198.51.100.12", 0}, {"198.51.100.13", 1}},
         0},
        {"garbage\n192.0.2.10 x 198.51.100.11 farm web1 10\n\n", 0, {}, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Flows f = parseFlows(c.text);
        EXPECT_EQ(f.conns.size(), c.conns);
        EXPECT_EQ(countByServer(f), c.counts);
        EXPECT_EQ(f.bad, c.bad);
    }
    const Flows f = parseFlows("192.0.2.10 40000 198.51.100.11 farm web1 10\n");
    EXPECT_EQ(std::tie(f.conns.at(0).client, f.conns[0].clientPort, f.conns[0].serverName),
              std::tuple("192.0.2.10", 40000, "web1"));
}

TEST(WebFiles, GraphSeriesPerServerWithinTheRange) {
    const time_t t0 = 1796000000;  // some time in 2026; the file holds local time
    auto line = [](const char *name, int n, time_t t) {
        struct tm tm;
        char when[32];
        localtime_r(&t, &tm);
        asctime_r(&tm, when);
        return std::string(name) + "  " + std::to_string(n) + "  " + when;
    };
    const std::string text = line("web1", 0, t0) + line("web2", 1, t0) + "torn line\n" +
                             line("web1", 2, t0 + 5) + line("web2", 3, t0 + 5) +
                             line("web3", 4, t0 + 10) + "web1  x  Sat Dec  5 08:07:53 2026\n";
    struct Case {
        time_t from, to;
        std::vector<std::pair<std::string, size_t>> series;  // name, points
    } cases[] = {
        {t0, t0 + 10, {{"web1", 2}, {"web2", 2}, {"web3", 1}}},
        {t0 + 1, t0 + 5, {{"web1", 1}, {"web2", 1}}},
        {t0 + 11, t0 + 99, {}},
    };
    for (const Case &c : cases) {
        int bad = 0;
        std::vector<Series> s = parseGraph(text, c.from, c.to, &bad);
        std::vector<std::pair<std::string, size_t>> got;
        for (const Series &x : s)
            got.emplace_back(x.name, x.points.size());
        EXPECT_EQ(got, c.series);
        EXPECT_EQ(bad, 2);
    }
    std::vector<Series> s = parseGraph(text, t0, t0 + 10);
    EXPECT_EQ(s[0].points, (std::vector<std::pair<time_t, int>>{{t0, 0}, {t0 + 5, 2}}));
}

TEST(WebFiles, TimeoutsFile) {
    const std::pair<const char *, std::optional<std::array<int, 4>>> cases[] = {
        {"300 1\n", std::array{300, 1, 30, 900}},
        {"300\n1\n20 0\n", std::array{300, 1, 20, 0}},
        {"300\n", std::nullopt},
        {"300 x", std::nullopt},
        {"300 1 y", std::nullopt},
    };
    for (const auto &[text, want] : cases) {
        SCOPED_TRACE(text);
        std::optional<Timeouts> t = parseTimeouts(text);
        ASSERT_EQ(t.has_value(), want.has_value());
        if (t) {
            EXPECT_EQ((std::array{t->ruleIdle, t->resetIdle, t->halfOpen, t->established}), *want);
        }
    }
}

// The servers page shows the health column only when lbapp keeps health.txt.
TEST(WebFiles, HealthFileAndColumn) {
    const std::pair<const char *, std::map<std::string, std::string>> cases[] = {
        {"198.51.100.11 up\n198.51.100.12 down\n",
         {{"198.51.100.11", "up"}, {"198.51.100.12", "down"}}},
        {"torn\n198.51.100.11 sideways\n\n198.51.100.12 up 3\n198.51.100.13 up",
         {{"198.51.100.13", "up"}}},
    };
    for (const auto &[text, want] : cases)
        EXPECT_EQ(parseHealth(text), want) << text;

    const std::vector<StoredServer> rows = {
        {"web1", "198.51.100.11", "10", "02:00:00:00:00:11", "Unlocked", "4"},
        {"web2", "198.51.100.12", "10", "02:00:00:00:00:12", "Unlocked", "5"}};
    const std::map<std::string, std::string> health = {{"198.51.100.11", "down"}};
    const std::string with = serversPage({"op", "t"}, {}, rows, {}, kGood, &health);
    for (const char *cell :
         {"<th>Health</th>", "<td class=\"health bad\">down</td>", "<td class=\"health\">-</td>"})
        EXPECT_NE(with.find(cell), std::string::npos) << cell;
    EXPECT_EQ(serversPage({"op", "t"}, {}, rows, {}, kGood).find("Health"), std::string::npos);
}

// Every page is well-formed whatever it shows: each element opened is closed, in order
// (void elements aside), so no content ends up inside the wrong element.
TEST(WebPages, EveryElementOpenedIsClosedInOrder) {
    const PageUser u{"op", "t"};
    const std::vector<StoredServer> rows = {
        {"web1", "198.51.100.11", "10", "02:00:00:00:00:11", "Locked", "4"}};
    const std::map<std::string, std::string> health = {{"198.51.100.11", "down"}};
    const Notice refused{true, "refused", {{"mac", "bad MAC"}}};
    StatusInfo st;
    st.lbappPid = 7;
    st.dbOk = st.timeoutsOk = st.tls = true;
    const std::pair<const char *, std::string> pages[] = {
        {"login", loginPage("t", "wrong password")},
        {"servers", serversPage(u, refused, rows, {{"198.51.100.11", 3}}, kGood, &health)},
        {"no servers", serversPage(u, {}, {}, {}, kGood)},
        {"edit", editPage(u, refused, kGood)},
        {"connections", connectionsPage(u, {}, true)},
        {"graph", graphPage(u)},
        {"status", statusPage(u, st)},
        {"status, nothing known", statusPage(u, {})},
        {"message", messagePage("Forbidden", "Not yours.")},
    };
    const std::set<std::string> voids = {"meta", "link", "input", "br", "img", "hr"};
    for (const auto &[what, page] : pages) {
        std::vector<std::string> open;
        std::string stray;
        for (size_t i = page.find('<'); i != std::string::npos && stray.empty();
             i = page.find('<', i + 1)) {
            const std::string tag = page.substr(i + 1, page.find_first_of(" >", i) - i - 1);
            if (tag[0] == '!' || voids.count(tag))
                continue;
            if (tag[0] != '/')
                open.push_back(tag);
            else if (open.empty() || open.back() != tag.substr(1))
                stray = tag;
            else
                open.pop_back();
        }
        EXPECT_TRUE(stray.empty() && open.empty())
            << what << ": " << stray << " with " << open.size() << " open";
    }
}

TEST(WebFiles, RequestLineAppendedWhole) {
    const std::pair<const char *, const char *> cases[] = {
        {nullptr, "1 DELETE 192.0.2.9\n"},
        {"0\n", "0\n1 DELETE 192.0.2.9\n"},
        {"0", "0\n1 DELETE 192.0.2.9\n"},
        {"", "1 DELETE 192.0.2.9\n"},
    };
    for (const auto &[before, after] : cases) {
        lbtest::setFile("flag.txt", before);  // before null: no file
        EXPECT_EQ(appendRequest("flag.txt", flagLine("DELETE", "192.0.2.9")), 0);
        EXPECT_EQ(lbtest::readFile("flag.txt"), after);
    }
    EXPECT_EQ(appendRequest("no/such/dir/flag.txt", "x\n"), ENOENT);
}

TEST(WebFiles, TailKeepsWholeLines) {
    lbtest::writeFile("big.txt", "first line\nsecond\nthird\n");
    EXPECT_EQ(readTail("big.txt", 1000), "first line\nsecond\nthird\n");
    EXPECT_EQ(readTail("big.txt", 10), "third\n");
    EXPECT_FALSE(readTail("missing.txt", 10).has_value());
}

TEST(WebAuth, ConfigurationFile) {
    const std::pair<const char *, std::string> cases[] = {
        // error empty: accepted
        {"# lbweb\nworkdir /run/lb\nusers users\nport 8443\nlisten 0.0.0.0\n", ""},
        {"workdir w\nusers u\ncert c.pem\nkey k.pem\n", ""},
        {"workdir w\n", "workdir and users must be given"},
        {"workdir w\nusers u\nport 0\n", "line 3: port must be a number from 1 to 65535"},
        {"workdir w\nusers u\nport 80x\n", "line 3: port must be a number from 1 to 65535"},
        {"workdir w\nusers u\ncert c.pem\n", "cert and key go together"},
        {"workdir w\nusers u\nshell /bin/sh\n", "line 3: unknown setting shell"},
        {"workdir w x\n", "line 1: expected a setting and one value"},
    };
    for (const auto &[text, error] : cases) {
        SCOPED_TRACE(text);
        std::string err;
        std::optional<WebConfig> cfg = parseConfig(text, "/etc/lbweb", err);
        EXPECT_EQ(cfg.has_value(), error.empty());
        EXPECT_EQ(err.substr(0, error.size()), error);
    }
    std::string err;
    WebConfig cfg = *parseConfig(cases[0].first, "/etc/lbweb", err);
    EXPECT_EQ(cfg.workdir, "/run/lb");
    EXPECT_EQ(cfg.users, "/etc/lbweb/users");
    EXPECT_EQ(cfg.port, 8443);
}

TEST(WebAuth, UsersAndPasswords) {
    crypt_data data{};
    const std::string sha512 = crypt_rn("s3cret", "$6$saltsaltsalt", &data, sizeof data);
    const std::string sha256 = crypt_rn("other", "$5$pepperpepper", &data, sizeof data);
    const std::pair<std::string, std::string> cases[] = {
        // error empty: accepted
        {"# operators\nalice " + sha512 + "\nbob " + sha256 + "\n", ""},
        {"alice s3cret\n", "line 1: the password of alice is not a salted hash"},
        {"alice $1$abcdefgh$0123456789abcdefghijkl\n", "line 1: the password of alice"},
        {"alice " + sha512 + "\nalice " + sha256 + "\n", "line 2: user alice is given twice"},
        {"alice\n", "line 1: expected a user name and a password hash"},
        {"# nobody\n", "no user is given"},
    };
    for (const auto &[text, error] : cases) {
        SCOPED_TRACE(text);
        std::string err;
        auto users = parseUsers(text, err);
        EXPECT_EQ(users.has_value(), error.empty());
        EXPECT_EQ(err.substr(0, error.size()), error);
        for (const char *secret : {"s3cret", "abcdefgh", "saltsaltsalt", "pepperpepper"})
            EXPECT_EQ(err.find(secret), std::string::npos) << err;  // never quoted
    }
    const std::tuple<const char *, std::string, bool> logins[] = {
        {"s3cret", sha512, true},     {"other", sha256, true},  {"s3cret ", sha512, false},
        {"", sha512, false},          {"other", sha512, false}, {"s3cret", dummyHash(), false},
        {"s3cret", "garbage", false},
    };
    for (const auto &[password, hash, ok] : logins)
        EXPECT_EQ(checkPassword(password, hash), ok) << password << " " << hash;
}

TEST(WebAuth, SessionsAndTokens) {
    SessionStore store;
    const time_t t = 1000000;
    Session s = *store.create("alice", t);
    EXPECT_EQ(s.id.size(), 64u);
    EXPECT_NE(s.id, s.token);
    EXPECT_TRUE(store.find(s.id, t + SessionStore::kIdleLimit).has_value());
    EXPECT_FALSE(store.find(s.id, t + 2 * SessionStore::kIdleLimit + 1).has_value());
    EXPECT_FALSE(store.find(s.id, t).has_value());  // forgotten once expired
    EXPECT_FALSE(store.find("", t).has_value());
    // A flood of login forms does not push out a logged-in session, even an older one.
    Session bob = *store.create("bob", t);
    std::set<std::string> ids;
    for (size_t i = 0; i < SessionStore::kMaxSessions + 10; i++)
        ids.insert(store.create("", t + 1 + static_cast<time_t>(i))->id);
    EXPECT_EQ(ids.size(), SessionStore::kMaxSessions + 10);
    EXPECT_EQ(store.size(), SessionStore::kMaxSessions);
    EXPECT_TRUE(store.find(bob.id, t + 100).has_value());
    EXPECT_TRUE(sameText("abc", "abc"));
    EXPECT_FALSE(sameText("abc", "abd"));
    EXPECT_FALSE(sameText("abc", "ab"));
    EXPECT_EQ(escapeHtml("<a href=\"x\">'&'</a>"),
              "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
}

}  // namespace
}  // namespace lbweb
