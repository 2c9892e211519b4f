// The management console: a telnet-style command line on TCP port 8000 of the VIP (or of
// the address console.conf names), built on libcli. A listening thread accepts; each
// connection is a session on a thread of its own, up to a bound (LB_CONSOLE_SESSIONS, or
// the file's "sessions" line), and a connection beyond it gets one line saying so and is
// closed. Operators list the connections per server, the flow table and the packet
// timing figure there; every listing is copied under g_lbRBtreeMtx and written after it
// is released, so a slow client never holds the lock.
//
// Access: without a file console.conf in the working directory a connection starts at
// the prompt without user name or password. With users in it, the console asks for one
// of them, and "enable" asks for its secret when the file gives one.
#pragma once

#include <string>
#include <utility>
#include <vector>

#define LB_CONSOLE_CONF "console.conf"
#define LB_CONSOLE_START_FILE "clitest.txt"
#define LB_CONSOLE_SESSIONS 4       // sessions at once unless console.conf says otherwise
#define LB_CONSOLE_SESSIONS_MAX 64  // the most console.conf may ask for
// The line a connection beyond the bound gets before it is closed.
#define LB_CONSOLE_BUSY "Console busy: all %d sessions are in use; try again later"

// Who may use the console, and where and how many at once. No users: no login.
struct lbConsoleAccess {
    std::vector<std::pair<std::string, std::string>> users;  // name, password
    std::string enableSecret;                                // empty: enable asks nothing
    std::string listen;                                      // empty: the VIP
    int maxSessions = LB_CONSOLE_SESSIONS;
};

// Reads the access file at path into access. The file holds lines "user NAME PASSWORD",
// at most one line "enable SECRET", at most one "listen ADDRESS" (dotted IPv4) and at
// most one "sessions N" (1 to LB_CONSOLE_SESSIONS_MAX); blank lines and lines starting
// with '#' are skipped. A file without a user line must have a listen or sessions line
// and no enable line: one meant to close the console is never read as opening it. Returns 0 when
// the file is well formed, or absent (access left empty); -1 when it cannot be read or is
// malformed, after printing one line on standard error that names the file, the line and the fault
// but none of the file's words.
int lbConsole_readAccess(const char *path, lbConsoleAccess &access);

// Body of the console thread: runs "clitest.txt" when present, then listens on port 8000
// of the configured address (g_vipIPAddr by default) and serves sessions for ever. access points to
// the lbConsoleAccess to apply, or is null to read console.conf now. Returns null only
// when the console cannot start: console.conf refused, or a listener failure reported
// through perror ("socket", "Invalid address\n", "bind", "listen").
void *climain(void *access);

// Reads console.conf, then starts the detached console thread, which waits until
// g_cliFlag is 1 and then runs climain. Call once, before the start-up sequence sets
// g_cliFlag. Returns 0 when the thread runs; -1 when console.conf is refused (its line
// printed) or the thread cannot be started (perror "console thread"): there is no
// console then, and the balancer goes on without one.
int init_cli(void);
