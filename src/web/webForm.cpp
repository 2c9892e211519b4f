#include "web/webForm.h"

#include <charconv>
#include <cstdint>
#include <cstdio>

namespace lbweb {

namespace {

bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A whole decimal number without sign, leading blanks or leading zeros (but "0");
// false when it is anything else or does not fit an int64.
bool parseDecimal(std::string_view w, int64_t &out) {
    if (w.empty() || w.size() > 18 || (w.size() > 1 && w[0] == '0'))
        return false;
    for (char c : w)
        if (c < '0' || c > '9')
            return false;
    auto [p, ec] = std::from_chars(w.data(), w.data() + w.size(), out);
    return ec == std::errc() && p == w.data() + w.size();
}

// Dotted-decimal IPv4 in its one canonical spelling: four numbers 0-255 without leading
// zeros. The balancer finds a server by the text of its address, so "010.0.0.1" and
// "10.0.0.1" must not both be possible.
bool parseIPv4(std::string_view w, uint8_t b[4]) {
    size_t start = 0;
    for (int i = 0; i < 4; i++) {
        size_t end = i < 3 ? w.find('.', start) : w.size();
        if (end == std::string_view::npos)
            return false;
        int64_t v;
        if (!parseDecimal(w.substr(start, end - start), v) || v > 255)
            return false;
        b[i] = static_cast<uint8_t>(v);
        start = end + 1;
    }
    return true;
}

// Six byte values of one or two hexadecimal digits separated by colons, as the
// balancer's reader takes them.
bool parseMac(std::string_view w, uint8_t mac[6]) {
    size_t i = 0;
    for (int b = 0; b < 6; b++) {
        if (b > 0) {
            if (i >= w.size() || w[i] != ':')
                return false;
            i++;
        }
        int v = 0, digits = 0;
        while (i < w.size() && digits < 2 && hexValue(w[i]) >= 0) {
            v = v * 16 + hexValue(w[i++]);
            digits++;
        }
        if (digits == 0)
            return false;
        mac[b] = static_cast<uint8_t>(v);
    }
    return i == w.size();
}

}  // namespace

std::string quote(std::string_view v) {
    constexpr size_t kShown = 40;
    std::string s = "\"";
    for (char c : v.substr(0, kShown))
        s += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    if (v.size() > kShown)
        s += "...";
    return s + "\"";
}

std::string checkAddress(std::string_view text, std::string &out) {
    uint8_t b[4];
    if (!parseIPv4(text, b))
        return "Address " + quote(text) + " is not an IPv4 address such as 198.51.100.11.";
    if (b[0] == 0 || b[0] == 127 || b[0] >= 224)
        return "Address " + quote(text) +
               " cannot be a server's: zero, loopback, multicast and broadcast addresses are "
               "refused.";
    out.assign(text);
    return "";
}

std::vector<FieldError> checkServer(const ServerForm &form, ServerRow &row) {
    std::vector<FieldError> errors;
    auto refuse = [&](const char *field, std::string msg) {
        errors.push_back({field, std::move(msg)});
    };

    bool nameOk = !form.name.empty() && form.name.size() <= kMaxNameLen && form.name != "NULL";
    for (char c : form.name)
        nameOk = nameOk && isNameChar(c);
    if (nameOk)
        row.name = form.name;
    else
        refuse("name", "Name " + quote(form.name) +
                           " is refused: use 1 to 49 letters, digits, '.', '_' or '-' "
                           "(and not the word NULL).");

    std::string msg = checkAddress(form.address, row.address);
    if (!msg.empty())
        refuse("address", msg);

    uint8_t mac[6];
    if (!parseMac(form.mac, mac))
        refuse("mac", "MAC address " + quote(form.mac) +
                          " is not six hexadecimal bytes separated by colons, such as "
                          "02:00:00:00:00:0b.");
    else if (mac[0] & 1)
        refuse("mac", "MAC address " + quote(form.mac) +
                          " is a group (multicast or broadcast) address, not a host's.");
    else {
        char text[18];
        snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                 mac[4], mac[5]);
        row.mac = text;
    }

    int64_t v;
    if (parseDecimal(form.maxconn, v) && v >= 1 && v <= INT32_MAX)
        row.maxconn = static_cast<int>(v);
    else
        refuse("maxconn", "Maximum connections " + quote(form.maxconn) +
                              " is refused: give a whole number from 1 to 2147483647.");

    if (form.state == "Locked" || form.state == "Unlocked")
        row.locked = form.state == "Locked";
    else
        refuse("state", "State " + quote(form.state) + " is refused: Locked or Unlocked.");

    if (parseDecimal(form.port, v) && v <= kMaxSwitchPort)
        row.port = static_cast<int>(v);
    else
        refuse("port", "Switch port " + quote(form.port) + " is refused: give a number from 0 to " +
                           std::to_string(kMaxSwitchPort) + ".");
    return errors;
}

const char *stateWord(bool locked) {
    return locked ? "Locked" : "Unlocked";
}

std::string flagLine(std::string_view action, std::string_view address) {
    std::string line = "1 ";
    line.append(action);
    line += ' ';
    line.append(address);
    line += '\n';
    return line;
}

}  // namespace lbweb
