// lbweb's configuration file, its users and their sessions.
//
// Configuration file (one setting per line, "#" starts a comment line):
//     listen ADDRESS     address to listen on (default 127.0.0.1)
//     port N             TCP port, 1 to 65535 (default 8080)
//     workdir DIR        lbapp's working directory: dbconfig.conf, flag.txt,
//                        flows_new.txt, servergraph.txt, timeout.conf (required)
//     users FILE         the users file (required)
//     cert FILE          TLS certificate chain (PEM); with key, lbweb speaks HTTPS only
//     key FILE           its private key (PEM)
// Relative paths are taken from the configuration file's directory.
//
// Users file: one "NAME HASH" per line, the hash in crypt(3) form with a salt: SHA-256
// ($5$), SHA-512 ($6$, e.g. `openssl passwd -6`), yescrypt ($y$, `mkpasswd`) or bcrypt
// ($2b$). Clear-text passwords and unsalted or MD5 hashes are refused.
#pragma once

#include <time.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace lbweb {

struct WebConfig {
    std::string listen = "127.0.0.1";
    int port = 8080;
    std::string workdir, users, cert, key;
};

// Parses a configuration text; dir is the directory relative paths start from. On
// failure returns nothing and err names the line and what is wrong with it.
std::optional<WebConfig> parseConfig(std::string_view text, const std::string &dir,
                                     std::string &err);

// Parses a users file text into name -> hash; err names the first bad line (never the
// hash) on failure.
std::optional<std::map<std::string, std::string>> parseUsers(std::string_view text,
                                                             std::string &err);

// True when password matches the crypt(3) hash. Takes the same time whether the hash is
// usable or not, so an unknown user cannot be told from a wrong password by timing when
// the caller checks against a dummy hash.
bool checkPassword(const std::string &password, const std::string &hash);

// A hash no password matches, of the same kind as the usual ones, for unknown users.
const std::string &dummyHash();

// Random bytes as hex, from getrandom(2); empty when the kernel gives none.
std::string randomHex(size_t bytes);

// Constant-time comparison of two texts of equal length (different lengths: false).
bool sameText(std::string_view a, std::string_view b);

// Logged-in and anonymous sessions held in memory. A session has an id (the cookie) and
// its own form token; an anonymous one carries only the token of the login form. The
// store's mutex is a leaf lock: nothing else is taken while it is held.
struct Session {
    std::string id, token, user;  // user empty: not logged in
    time_t created = 0, lastSeen = 0;
};

class SessionStore {
  public:
    static constexpr time_t kIdleLimit = 30 * 60;    // a session unused this long ends
    static constexpr time_t kLifeLimit = 12 * 3600;  // and any session after this long
    static constexpr size_t kMaxSessions = 4096;     // beyond this, unused login forms go

    // A new session for user (empty: anonymous); nothing when no randomness is at hand.
    std::optional<Session> create(const std::string &user, time_t now);
    // The live session with this id, its lastSeen moved to now; nothing when unknown or
    // expired (which also forgets it).
    std::optional<Session> find(const std::string &id, time_t now);
    void erase(const std::string &id);
    size_t size();

  private:
    std::mutex mtx_;
    std::map<std::string, Session> sessions_;
};

}  // namespace lbweb
