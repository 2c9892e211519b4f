// Text parsing shared by the configuration loaders and the run-time refresh: files read
// whole, words and lines, and checked conversions into fixed-size fields. Private to
// config/.
#pragma once

#include <netinet/in.h>

#include <string>
#include <string_view>
#include <vector>

#include "pool/lbServerList.h"

namespace lbcfg {

// Longest state word of table server.
constexpr size_t kStateLen = 14;

// A value quoted for a message: long values are cut so the message stays one line.
std::string quoted(std::string_view v);

// The whole content of a file; false when it cannot be opened.
bool slurp(const char *name, std::string &out);

// Words of a text, separated by any white space.
std::vector<std::string_view> splitWords(std::string_view text);

// Lines of a text without their newlines; a final newline ends the last line rather
// than starting an empty one.
std::vector<std::string_view> splitLines(std::string_view text);

// Copies word into dst as a NUL-terminated string; false (dst untouched) when it does
// not fit.
bool copyWord(char *dst, size_t dstSize, std::string_view word);

// A whole word as a decimal int (optional minus sign); false on anything else.
bool parseInt(std::string_view w, int &out);

// True for a non-empty word of decimal digits only.
bool allDigits(std::string_view w);

// A dotted-decimal IPv4 address; addr receives it in network order.
bool parseIPv4(std::string_view w, struct in_addr &addr);

// Six hexadecimal byte values of one or two digits separated by colons.
bool parseMac(std::string_view w, unsigned char mac[6]);

// One row of servConfig.conf, checked word by word. On success fills rec (name,
// address, maxconn, MAC, lock, port) and returns true; otherwise err says which value
// is wrong. The port is only checked for being a number of at least 0: the caller
// applies the upper limit with its own message.
bool parseServerLine(std::string_view line, lbServer_node_t &rec, std::string &err);

}  // namespace lbcfg
