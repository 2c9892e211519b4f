// A veth pair for suites that put frames on a wire (needs root): the near end in the
// suite's namespace, the far end in a namespace held by a child that dies with the test
// process, so nothing outlives the suite. MACs 02:00:00:00:aa:01 (near) and :02 (far).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace lbtest {

using Frame = std::vector<unsigned char>;

// A non-blocking packet socket bound to ifname for every protocol; -1 on failure.
inline int packetSocketOn(const char *ifname) {
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_ll a{};
    a.sll_family = AF_PACKET;
    a.sll_protocol = htons(ETH_P_ALL);
    a.sll_ifindex = static_cast<int>(if_nametoindex(ifname));
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Frames read from rx until one equals last (included), at most 10 s.
inline std::vector<Frame> framesUntil(const std::function<int(unsigned char *, int)> &rx,
                                      const Frame &last) {
    std::vector<Frame> seen;
    unsigned char buf[2048];
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         std::chrono::steady_clock::now() < end;) {
        int n = rx(buf, sizeof buf);
        if (n > 0 && seen.emplace_back(buf, buf + n) == last)
            return seen;
        if (n <= 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ADD_FAILURE() << "the awaited frame did not arrive";
    return seen;
}

class VethPair {
  public:
    VethPair(const std::string &near, const std::string &far) : near_(near) {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        holder_ = fork();
        if (holder_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            char ok = unshare(CLONE_NEWNET) == 0;
            if (write(ready[1], &ok, 1) == 1)
                pause();
            _exit(0);
        }
        close(ready[1]);
        char ok = 0;
        bool up = holder_ > 0 && read(ready[0], &ok, 1) == 1 && ok;
        close(ready[0]);
        const std::string pid = std::to_string(holder_), there = "nsenter -t " + pid + " -n ";
        const std::string quiet = " tx off tso off gso off gro off >/dev/null 2>&1; ";
        const std::string cmd =
            "ip link add " + near + " address 02:00:00:00:aa:01 type veth peer name " + far +
            " address 02:00:00:00:aa:02 && ip link set " + far + " netns " + pid +
            " && sysctl -qw net.ipv6.conf." + near + ".disable_ipv6=1 && " + there +
            "sysctl -qw net.ipv6.conf." + far + ".disable_ipv6=1 && { ethtool -K " + near + quiet +
            there + "ethtool -K " + far + quiet + "} && ip link set " + near + " up && " + there +
            "ip link set " + far + " up";
        if (up && std::system(cmd.c_str()) == 0)
            nsFd_ = open(("/proc/" + pid + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(nsFd_, 0) << "veth pair not set up: " << cmd;
        farName_ = far;
    }
    ~VethPair() {
        if (nsFd_ >= 0)
            close(nsFd_);
        if (holder_ > 0 && kill(holder_, SIGKILL) == 0)
            waitpid(holder_, nullptr, 0);
        EXPECT_EQ(std::system(("ip link del " + near_ + " 2>/dev/null || true").c_str()), 0);
    }
    bool ok() const { return nsFd_ >= 0; }
    // A packet socket on the far end, opened inside its namespace; -1 on failure.
    int farSocket() const {
        int self = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC), fd = -1;
        if (self >= 0 && setns(nsFd_, CLONE_NEWNET) == 0) {
            fd = packetSocketOn(farName_.c_str());
            EXPECT_EQ(setns(self, CLONE_NEWNET), 0);
        }
        close(self);
        return fd;
    }

  private:
    std::string near_, farName_;
    pid_t holder_ = -1;
    int nsFd_ = -1;
};

}  // namespace lbtest
