#include "config/lbCtrlApiText.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdio>
#include <cstring>

#include "common/lbUtil.h"

namespace lbcfg {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string quoted(std::string_view v) {
    constexpr size_t kShown = 64;
    std::string s = "\"";
    s.append(v.substr(0, kShown));
    if (v.size() > kShown)
        s += "...";
    s += "\"";
    return s;
}

bool slurp(const char *name, std::string &out) {
    lbFilePtr f(fopen(name, "r"));
    if (!f)
        return false;
    out.clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0)
        out.append(buf, n);
    return true;
}

std::vector<std::string_view> splitWords(std::string_view text) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isBlank(text[i]))
            i++;
        size_t start = i;
        while (i < text.size() && !isBlank(text[i]))
            i++;
        if (i > start)
            words.push_back(text.substr(start, i - start));
    }
    return words;
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos)
            nl = text.size();
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

bool copyWord(char *dst, size_t dstSize, std::string_view word) {
    if (word.size() >= dstSize)
        return false;
    memcpy(dst, word.data(), word.size());
    dst[word.size()] = '\0';
    return true;
}

bool parseInt(std::string_view w, int &out) {
    if (w.empty())
        return false;
    auto [p, ec] = std::from_chars(w.data(), w.data() + w.size(), out);
    return ec == std::errc() && p == w.data() + w.size();
}

bool allDigits(std::string_view w) {
    if (w.empty())
        return false;
    for (char c : w)
        if (c < '0' || c > '9')
            return false;
    return true;
}

bool parseIPv4(std::string_view w, struct in_addr &addr) {
    char buf[INET_ADDRSTRLEN];
    if (!copyWord(buf, sizeof buf, w))
        return false;
    return inet_pton(AF_INET, buf, &addr) == 1;
}

bool parseMac(std::string_view w, unsigned char mac[6]) {
    size_t i = 0;
    for (int b = 0; b < 6; b++) {
        if (b > 0) {
            if (i >= w.size() || w[i] != ':')
                return false;
            i++;
        }
        int v = 0, digits = 0;
        while (i < w.size() && hexDigit(w[i]) >= 0 && digits < 2) {
            v = v * 16 + hexDigit(w[i]);
            i++;
            digits++;
        }
        if (digits == 0)
            return false;
        mac[b] = static_cast<unsigned char>(v);
    }
    return i == w.size();
}

bool parseServerLine(std::string_view line, lbServer_node_t &rec, std::string &err) {
    static const char *const kWhat[6] = {"server name", "server address", "maximum connections",
                                         "MAC address", "state",          "switch port"};
    std::vector<std::string_view> w = splitWords(line);
    if (w.size() != 6) {
        err =
            "expected 6 values (name, address, maximum connections, MAC, state, port), "
            "found " +
            std::to_string(w.size()) + " in " + quoted(line);
        return false;
    }
    for (int i = 0; i < 6; i++) {
        if (w[i] == "NULL") {
            err = std::string(kWhat[i]) + " is NULL";
            return false;
        }
    }
    if (!copyWord(rec.server_name, sizeof rec.server_name, w[0])) {
        err = "server name " + quoted(w[0]) + " is longer than 49 characters";
        return false;
    }
    if (!parseIPv4(w[1], rec.lbServIp)) {
        err = "server address " + quoted(w[1]) + " is not a dotted IPv4 address";
        return false;
    }
    if (!parseInt(w[2], rec.maxconn)) {
        err = "maximum connections " + quoted(w[2]) + " is not a number";
        return false;
    }
    if (!parseMac(w[3], rec.lbServMac)) {
        err = "MAC address " + quoted(w[3]) + " is not six hexadecimal bytes";
        return false;
    }
    if (w[4].size() > kStateLen) {
        err = "state " + quoted(w[4]) + " is longer than 14 characters";
        return false;
    }
    rec.lock = w[4] == "Locked" ? 1 : 0;
    if (!parseInt(w[5], rec.lbSwitchPort) || rec.lbSwitchPort < 0) {
        err = "switch port " + quoted(w[5]) + " is not a port number";
        return false;
    }
    return true;
}

}  // namespace lbcfg
