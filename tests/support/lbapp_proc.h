// The balancer as a suite meets it from outside: the lbapp program run as a child, and a
// scripted telnet client of its console (port 8000).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <utility>

#include "support/lbtest_util.h"

namespace lbtest {

// One lbapp process on iface in the current directory; standard output and error go to
// lbapp.out there. Killed with the test process or when the object goes.
class Lbapp {
  public:
    Lbapp(const char *path, const char *iface) {
        writeFile("lbapp.out", "");  // emptied before the process writes to it
        if ((pid_ = fork()) == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int out = open("lbapp.out", O_WRONLY | O_APPEND);
            if (dup2(out, 1) == 1 && dup2(out, 2) == 2)
                execl(path, "lbapp", iface, static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~Lbapp() { EXPECT_TRUE(pid_ < 0 || stop(SIGKILL) >= 0); }
    Lbapp(const Lbapp &) = delete;
    Lbapp &operator=(const Lbapp &) = delete;

    std::string output() const { return readFile("lbapp.out"); }
    bool waitFor(const std::string &text) const {
        return waitUntil([&] { return output().find(text) != std::string::npos; });
    }
    long cpuTicks() const {  // user and system time so far
        std::string stat = readFile("/proc/" + std::to_string(pid_) + "/stat");
        std::istringstream in(stat.substr(stat.rfind(')') + 2));
        std::string skip;
        long user = 0, sys = 0;
        for (int field = 3; field < 14; ++field)
            in >> skip;
        in >> user >> sys;
        return user + sys;
    }
    // Sends sig; the exit status (128 + signal when killed), or -1 when the process did
    // not end within 20 s.
    int stop(int sig) {
        int status = 0;
        kill(pid_, sig);
        if (!waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }))
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

  private:
    pid_t pid_ = -1;
};

// One telnet connection to addr:8000, tried every 10 ms, tries times (fd -1 when none
// succeeds). Its text has the telnet negotiation and carriage returns removed.
struct ConsoleClient {
    static constexpr int kDeadlineMs = 20000;
    explicit ConsoleClient(const char *addr, int rcvbuf = 0, int tries = kDeadlineMs / 10) {
        sockaddr_in sa{AF_INET, htons(8000), {inet_addr(addr)}, {}};
        for (int i = 0; i < tries && fd < 0; i++, usleep(10000)) {
            fd = socket(AF_INET, SOCK_STREAM, 0);
            if (rcvbuf > 0)
                setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
            if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
                fd = (close(fd), -1);
        }
    }
    ~ConsoleClient() { close(fd); }
    // Sends line (unless null), then returns the text up to and including marker; fails
    // the test when 20 s pass without data.
    std::string say(const char *line, const std::string &marker) {
        std::string l = line ? line + std::string("\r\n") : "";
        EXPECT_EQ(send(fd, l.data(), l.size(), MSG_NOSIGNAL), ssize_t(l.size()));
        size_t at, from = 0;
        while ((at = text.find(marker, from)) == std::string::npos) {
            from = text.size() < marker.size() ? 0 : text.size() - marker.size() + 1;
            pollfd p{fd, POLLIN, 0};
            char buf[65536];
            ssize_t n = poll(&p, 1, kDeadlineMs) == 1 ? recv(fd, buf, sizeof buf, 0) : 0;
            if (n <= 0) {
                ADD_FAILURE() << "no \"" << marker << "\" in: " << text.substr(0, 2000);
                return std::exchange(text, "");
            }
            for (unsigned char c : std::string(buf, n)) {
                if (iac > 0 || c == 0xff)
                    iac = c == 0xff ? 2 : iac - 1;  // IAC, command, option
                else if (c != '\r')
                    text += char(c);
            }
        }
        std::string got = text.substr(0, at + marker.size());
        text.erase(0, got.size());
        return got;
    }
    // The answer to line: what follows its echo, up to prompt, without trailing newlines.
    std::string run(const char *line, const std::string &prompt) {
        std::string got = say(line, prompt);
        got = got.substr(got.find('\n') + 1, got.size() - got.find('\n') - 1 - prompt.size());
        return got.erase(got.find_last_not_of('\n') + 1);
    }
    // From the banner to the configuration prompt.
    void configure() {
        EXPECT_EQ(say(nullptr, "Switch> "), "Welcome to Corvalis environment\n\nSwitch> ");
        EXPECT_EQ(run("enable", "Switch# "), "");
        EXPECT_EQ(run("configure terminal", "Switch(config)# "), "");
    }
    int fd = -1, iac = 0;
    std::string text;
};

}  // namespace lbtest
