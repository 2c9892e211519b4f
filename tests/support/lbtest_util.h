#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "pool/lbServerList.h"

namespace lbtest {

// Whole content of a file, or an empty string when it cannot be read.
std::string readFile(const std::string &path);
// Replaces a file's content; fails the current test when it cannot be written.
void writeFile(const std::string &path, const std::string &content);
bool fileExists(const std::string &path);
// How often needle occurs in hay (overlaps counted).
size_t count(const std::string &hay, const std::string &needle);
// Puts text in path, or removes path when text is null: a settings file as a case wants it.
void setFile(const std::string &path, const char *text);
// A row of a settings-file table: the file's text (null: no file), what the reader
// returns, the settings it leaves as the suite writes them out, and what it prints.
struct SettingsRow {
    const char *text;
    int rc;
    std::string settings, said;
};

// What f printed to standard output; what it wrote to standard error.
std::string printed(const std::function<void()> &f);
std::string errPrinted(const std::function<void()> &f);
// Polls done every 10 ms until it holds or the deadline passes; returns whether it held.
bool waitUntil(const std::function<bool()> &done,
               std::chrono::milliseconds deadline = std::chrono::seconds(20));

// The project's source tree (set by CTest), for suites that need testbed files.
std::string sourceDir();
// The scratch directory the suite runs in; every test starts in it.
const std::string &scratchDir();

// Process-wide state back to start-up: no flow table, an empty server list, empty
// configuration globals, diagnostics off. No other thread may touch them meanwhile.
void resetState();

// The flow table's clock in tests that set it: fakeNowMs milliseconds, moved by the test.
// resetState puts the real clock back.
extern int64_t fakeNowMs;
int64_t fakeClock();

// A TCP socket listening on addr:port (dotted IPv4) while the object lives, standing in
// for a server's service: a thread of its own accepts and closes every connection. With
// accepting false nobody accepts, so once backlog connections wait, the kernel drops
// further SYNs and their connects hang. The test fails when it cannot listen.
class TcpListener {
  public:
    TcpListener(const char *addr, uint16_t port, int backlog = 16, bool accepting = true);
    ~TcpListener();
    TcpListener(const TcpListener &) = delete;
    TcpListener &operator=(const TcpListener &) = delete;

  private:
    int fd_ = -1;
    int stop_[2] = {-1, -1};
    std::thread acceptor_;
};

// Appends a server record to the list, with its address, name and maximum connections.
lbServer_node_t *addServer(const char *ip, const char *name, int maxconn = 10);
// The names of the listed servers, in list order.
std::vector<std::string> serverNames();
// The hops {switch, in port, out port} of a path list, in order.
using Hop = std::tuple<uint64_t, uint32_t, uint32_t>;
std::vector<Hop> hops(dlist_head *list);

}  // namespace lbtest
