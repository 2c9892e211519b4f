// The metrics endpoint as a collector meets it: one HTTP GET over a plain socket, the
// samples of the answer by name and labels, and Prometheus' own checker (promtool).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "support/lbtest_util.h"

namespace lbtest {

struct HttpAnswer {
    int status = 0;       // 0: no answer
    std::string headers;  // the header lines as sent
    std::string body;
};

// GET path from addr:port with "Connection: close"; the whole answer.
inline HttpAnswer httpGet(const char *addr, int port, const char *path) {
    HttpAnswer a;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{AF_INET, htons(static_cast<uint16_t>(port)), {inet_addr(addr)}, {}};
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return a;
    }
    const std::string rq =
        std::string("GET ") + path + " HTTP/1.1\r\nHost: " + addr + "\r\nConnection: close\r\n\r\n";
    send(fd, rq.data(), rq.size(), MSG_NOSIGNAL);
    std::string all;
    char buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        ssize_t n = poll(&p, 1, 20000) == 1 ? recv(fd, buf, sizeof buf, 0) : -1;
        if (n <= 0)
            break;
        all.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    const size_t end = all.find("\r\n\r\n");
    if (end == std::string::npos || sscanf(all.c_str(), "HTTP/1.%*d %d", &a.status) != 1)
        return a;
    a.headers = all.substr(0, end);
    a.body = all.substr(end + 4);
    return a;
}

// Every sample of a text in Prometheus' format, keyed by its name and labels as written
// (`name{label="v",...}`); comment lines are skipped.
inline std::map<std::string, double> samples(const std::string &text) {
    std::map<std::string, double> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        const size_t sp = line.rfind(' ');
        out[line.substr(0, sp)] = strtod(line.c_str() + sp + 1, nullptr);
    }
    return out;
}

// promtool's verdict on text ("promtool check metrics" on standard input): its exit
// status and what it printed. Linting included: names, units, help texts.
inline std::pair<int, std::string> promtoolCheck(const std::string &text) {
    writeFile("scrape.txt", text);
    const int rc = system("promtool check metrics < scrape.txt > promtool.out 2>&1");
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, readFile("promtool.out")};
}

}  // namespace lbtest
