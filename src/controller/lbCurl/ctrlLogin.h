// The user, password and domain the controller login carries: built in, or from the
// optional file controller.conf in the working directory.
//
// The file holds three lines "user NAME", "password SECRET" and "domain NAME", each
// once, in any order; blank lines and lines starting with '#' are skipped. A value is
// the rest of its line after the key and the blanks that follow it (trailing blanks
// dropped), so a password may hold blanks. Like sshd with a private key, the balancer
// refuses a file that its group or others may read or write, and one it cannot read or
// make sense of: a start with credentials other than the ones meant would only fail
// later, at the controller, in a less obvious way.
#pragma once

#include <string>

#define LB_CTRL_CONF "controller.conf"
// Longest value accepted; the controller's own limits are far below.
#define LB_CTRL_LOGIN_MAX 128

struct lbCtrlLogin {
    std::string user, password, domain;
};

// The credentials used when there is no controller.conf.
lbCtrlLogin lbCtrlLoginBuiltIn(void);

// Reads the credentials file at path into login. Returns 1 when there is no such file
// (login untouched), 0 when it was read, -1 when it is refused; why then says why
// (its mode, the line number and the fault) and never holds any of the file's values.
int lbCtrlLoginRead(const char *path, lbCtrlLogin *login, std::string *why);

// The login body for login: {"login":{"user":...,"password":...,"domain":...}}, each
// value a JSON string (quotes and backslashes escaped).
std::string lbCtrlLoginBody(const lbCtrlLogin &login);

// Start-up: reads path (controller.conf) and has every later login use what it holds,
// or the built-in credentials when it is absent; prints one line saying which.
// Returns 0; -1 when the file is refused, after one line on standard error naming the
// file and the fault (the caller then ends the process).
int lbCtrlLoginLoad(const char *path);
