// The management console: a telnet-style command line on TCP port 8000 of the VIP, built
// on libcli and served one connection at a time on a thread of its own. Operators list
// the connections per server, the flow table and the packet timing figure there.
//
// Access: without a file console.conf in the working directory a connection starts at
// the prompt without user name or password. With it, the console asks for one of the
// users the file names, and "enable" asks for its secret when the file gives one.
#pragma once

#include <string>
#include <utility>
#include <vector>

#define LB_CONSOLE_CONF "console.conf"
#define LB_CONSOLE_START_FILE "clitest.txt"

// Who may use the console. No users: no login.
struct lbConsoleAccess {
    std::vector<std::pair<std::string, std::string>> users;  // name, password
    std::string enableSecret;                                // empty: enable asks nothing
};

// Reads the access file at path into access. The file holds lines "user NAME PASSWORD"
// (at least one) and at most one line "enable SECRET"; blank lines and lines starting
// with '#' are skipped. Returns 0 when the file is well formed, or absent (access left
// empty); -1 when it cannot be read or is malformed, after printing one line on standard
// error that names the file, the line and the fault but none of the file's words.
int lbConsole_readAccess(const char *path, lbConsoleAccess &access);

// Body of the console thread: runs "clitest.txt" when present, then listens on port 8000
// of g_vipIPAddr and serves connections one after another for ever. access points to
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
