#include "web/webAuth.h"

#include <crypt.h>
#include <sys/random.h>

#include <charconv>
#include <cctype>
#include <memory>
#include <vector>

#include "web/webFiles.h"

namespace lbweb {

namespace {

// Calls f(lineNumber, words) for every line that is neither blank nor a comment; stops
// at the first false.
template <typename F>
bool forEachSetting(std::string_view text, F f) {
    int n = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos)
            nl = text.size();
        std::vector<std::string_view> w = words(text.substr(start, nl - start));
        start = nl + 1;
        n++;
        if (!w.empty() && w[0][0] != '#' && !f(n, w))
            return false;
    }
    return true;
}

bool saltedCryptHash(std::string_view h) {
    for (std::string_view prefix : {"$5$", "$6$", "$y$", "$2b$"})
        if (h.substr(0, prefix.size()) == prefix && h.size() > prefix.size() + 8)
            return true;
    return false;
}

}  // namespace

std::optional<WebConfig> parseConfig(std::string_view text, const std::string &dir,
                                     std::string &err) {
    WebConfig c;
    auto path = [&](std::string_view p) {
        return p[0] == '/' || dir.empty() ? std::string(p) : dir + "/" + std::string(p);
    };
    bool ok = forEachSetting(text, [&](int n, const std::vector<std::string_view> &w) {
        const std::string at = "line " + std::to_string(n) + ": ";
        if (w.size() != 2) {
            err = at + "expected a setting and one value";
            return false;
        }
        if (w[0] == "listen") {
            c.listen = w[1];
        } else if (w[0] == "port") {
            auto [p, ec] = std::from_chars(w[1].data(), w[1].data() + w[1].size(), c.port);
            if (ec != std::errc() || p != w[1].data() + w[1].size() || c.port < 1 ||
                c.port > 65535) {
                err = at + "port must be a number from 1 to 65535";
                return false;
            }
        } else if (w[0] == "workdir") {
            c.workdir = path(w[1]);
        } else if (w[0] == "users") {
            c.users = path(w[1]);
        } else if (w[0] == "cert") {
            c.cert = path(w[1]);
        } else if (w[0] == "key") {
            c.key = path(w[1]);
        } else {
            err = at + "unknown setting " + std::string(w[0]);
            return false;
        }
        return true;
    });
    if (!ok)
        return std::nullopt;
    if (c.workdir.empty() || c.users.empty()) {
        err = "workdir and users must be given";
        return std::nullopt;
    }
    if (c.cert.empty() != c.key.empty()) {
        err = "cert and key go together: give both for HTTPS, or neither";
        return std::nullopt;
    }
    return c;
}

std::optional<std::map<std::string, std::string>> parseUsers(std::string_view text,
                                                             std::string &err) {
    std::map<std::string, std::string> users;
    bool ok = forEachSetting(text, [&](int n, const std::vector<std::string_view> &w) {
        const std::string at = "line " + std::to_string(n) + ": ";
        if (w.size() != 2) {
            err = at + "expected a user name and a password hash";
            return false;
        }
        if (!saltedCryptHash(w[1])) {
            err = at + "the password of " + std::string(w[0]) +
                  " is not a salted hash ($5$, $6$, $y$ or $2b$)";
            return false;
        }
        if (!users.emplace(w[0], w[1]).second) {
            err = at + "user " + std::string(w[0]) + " is given twice";
            return false;
        }
        return true;
    });
    if (!ok)
        return std::nullopt;
    if (users.empty()) {
        err = "no user is given";
        return std::nullopt;
    }
    return users;
}

bool sameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); i++)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool checkPassword(const std::string &password, const std::string &hash) {
    auto data = std::make_unique<crypt_data>();  // about 32 kB: not for the stack
    const char *out = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof *data);
    return out != nullptr && out[0] != '*' && sameText(out, hash);
}

const std::string &dummyHash() {
    // SHA-512 crypt of a random text thrown away at once.
    static const std::string hash = [] {
        std::string salt = "$6$" + randomHex(8);
        auto data = std::make_unique<crypt_data>();
        const char *out = crypt_rn(randomHex(16).c_str(), salt.c_str(), data.get(), sizeof *data);
        return std::string(out != nullptr ? out : "$6$unusable$");
    }();
    return hash;
}

std::string randomHex(size_t bytes) {
    std::string raw(bytes, '\0');
    size_t got = 0;
    while (got < bytes) {
        ssize_t n = getrandom(raw.data() + got, bytes - got, 0);
        if (n <= 0)
            return "";
        got += static_cast<size_t>(n);
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : raw) {
        hex += kHex[c >> 4];
        hex += kHex[c & 15];
    }
    return hex;
}

std::optional<Session> SessionStore::create(const std::string &user, time_t now) {
    Session s{randomHex(32), randomHex(32), user, now, now};
    if (s.id.empty() || s.token.empty())
        return std::nullopt;
    std::lock_guard<std::mutex> lock(mtx_);
    // Full: the login forms nobody used go first, oldest first; logged-in sessions only
    // when there are no such forms left.
    while (sessions_.size() >= kMaxSessions) {
        auto oldest = sessions_.begin();
        for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
            const bool anon = it->second.user.empty(), oldestAnon = oldest->second.user.empty();
            if ((anon && !oldestAnon) ||
                (anon == oldestAnon && it->second.lastSeen < oldest->second.lastSeen))
                oldest = it;
        }
        sessions_.erase(oldest);
    }
    sessions_[s.id] = s;
    return s;
}

std::optional<Session> SessionStore::find(const std::string &id, time_t now) {
    std::lock_guard<std::mutex> lock(mtx_);
    auto it = sessions_.find(id);
    if (it == sessions_.end())
        return std::nullopt;
    Session &s = it->second;
    if (now - s.lastSeen > kIdleLimit || now - s.created > kLifeLimit) {
        sessions_.erase(it);
        return std::nullopt;
    }
    s.lastSeen = now;
    return s;
}

void SessionStore::erase(const std::string &id) {
    std::lock_guard<std::mutex> lock(mtx_);
    sessions_.erase(id);
}

size_t SessionStore::size() {
    std::lock_guard<std::mutex> lock(mtx_);
    return sessions_.size();
}

}  // namespace lbweb
