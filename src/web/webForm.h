// The web front end's checks of what an operator types into the server form, and the
// texts it produces from a checked row: the request line for the balancer's flag.txt.
// Everything here is pure: no database, no files.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lbweb {

// Highest switch port the balancer accepts in a server row; a row above it stops the
// balancer at start-up and ends it at run time.
constexpr int kMaxSwitchPort = 47;
// Longest server name the balancer keeps (its record holds 49 characters and the NUL).
constexpr size_t kMaxNameLen = 49;

// One server as the form sends it: every value still text.
struct ServerForm {
    std::string name, address, mac, maxconn, state, port;
};

// One server row, checked: what goes into table server.
struct ServerRow {
    std::string name;     // 1 to 49 of [A-Za-z0-9._-]
    std::string address;  // dotted IPv4, canonical form (no leading zeros)
    std::string mac;      // xx:xx:xx:xx:xx:xx, lower case
    int maxconn = 0;      // 1 .. INT32_MAX
    bool locked = false;  // state "Locked"; "Unlocked" otherwise
    int port = 0;         // 0 .. kMaxSwitchPort
};

// A field that was refused and why, in words an operator can act on.
struct FieldError {
    std::string field;    // form field name: name, address, mac, maxconn, state, port
    std::string message;  // one sentence naming the value
};

// Checks every field of form and fills row from them. Returns every refusal, one per
// bad field (empty: row is complete). Names, MACs and addresses are checked against
// what the balancer's reader accepts, and more strictly where a value could never
// serve (a group MAC, a loopback, multicast, broadcast or zero address).
std::vector<FieldError> checkServer(const ServerForm &form, ServerRow &row);

// Checks an address that names an existing server (the key of modify, lock, unlock and
// delete); out receives the canonical text. Empty return: accepted, else the message.
std::string checkAddress(std::string_view text, std::string &out);

// "Locked" or "Unlocked", the state words of table server.
const char *stateWord(bool locked);

// The request line the balancer's tick reads from flag.txt: "1 <action> <address>\n".
// action is ADD, MODIFY or DELETE.
std::string flagLine(std::string_view action, std::string_view address);

// A value quoted for a message, cut at 40 characters, with control characters shown as
// '?' so that a message stays one readable line.
std::string quote(std::string_view v);

}  // namespace lbweb
