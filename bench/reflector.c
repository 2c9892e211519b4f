// Bare reflector: the rate at which one process can take frames from a packet socket and
// send them straight back out of the same interface, with nothing else done per frame.
// It is the ceiling that lbapp's forwarding rate is held against (bench/forward).
//
// The socket is set up as the balancer sets up its own (src/rawsock/lb_rawsock.cpp): one
// AF_PACKET/SOCK_RAW socket bound to the interface for ETH_P_ALL, promiscuous, outgoing
// frames ignored; one recvfrom and one sendto (to the interface's link-level address)
// per frame. What limits it: two system calls and two frame copies per frame, and the
// kernel's veth and packet socket delivery. It receives blocking (the balancer polls
// only when its queue is empty, which never happens under a saturating load) with a
// 200 ms receive time-out so that the time limit is seen while idle.
//
//   reflector IFNAME SECONDS
// Reflects for SECONDS (or 100 million frames) and then prints, on standard error, the
// frames reflected and the socket's drop count.
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_FRAMES 100000000UL

// Seconds on the monotonic clock.
static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// Opens the socket on ifname as the balancer does and fills dev with the interface's
// index and hardware address, the destination of every send. Returns the descriptor,
// or -1 after printing the failing step.
static int open_socket(const char *ifname, struct sockaddr_ll *dev) {
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifname);
    const int ifindex = (int)if_nametoindex(ifname);
    if (fd < 0 || ifindex == 0 || ioctl(fd, SIOCGIFHWADDR, &ifr) < 0) {
        perror("reflector: socket or interface");
        return -1;
    }
    memset(dev, 0, sizeof *dev);
    dev->sll_family = AF_PACKET;
    dev->sll_ifindex = ifindex;
    dev->sll_halen = ETH_ALEN;
    memcpy(dev->sll_addr, ifr.ifr_hwaddr.sa_data, ETH_ALEN);
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) < 0) {
        perror("reflector: interface flags");
        return -1;
    }
    ifr.ifr_flags |= IFF_PROMISC;
    struct packet_mreq mr = {.mr_ifindex = ifindex, .mr_type = PACKET_MR_PROMISC};
    const int one = 1;
    struct sockaddr_ll bind_addr = {
        .sll_family = AF_PACKET, .sll_protocol = htons(ETH_P_ALL), .sll_ifindex = ifindex};
    struct timeval tmo = {.tv_sec = 0, .tv_usec = 200000};
    if (ioctl(fd, SIOCSIFFLAGS, &ifr) < 0 ||
        setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof mr) < 0 ||
        setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one) < 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tmo, sizeof tmo) < 0 ||
        bind(fd, (struct sockaddr *)&bind_addr, sizeof bind_addr) < 0) {
        perror("reflector: socket set-up");
        return -1;
    }
    return fd;
}

int main(int argc, char **argv) {
    if (argc != 3 || atof(argv[2]) <= 0) {
        fprintf(stderr, "usage: reflector IFNAME SECONDS\n");
        return 2;
    }
    struct sockaddr_ll dev;
    const int fd = open_socket(argv[1], &dev);
    if (fd < 0)
        return 1;
    const double end = now() + atof(argv[2]);
    static unsigned char buf[10000];  // the balancer's receive buffer size
    unsigned long frames = 0;
    while (frames < MAX_FRAMES) {
        struct sockaddr_ll from;
        socklen_t alen = sizeof from;
        const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, (struct sockaddr *)&from, &alen);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                perror("reflector: recvfrom");
                break;
            }
        } else if (from.sll_pkttype != PACKET_OUTGOING &&
                   sendto(fd, buf, (size_t)n, 0, (struct sockaddr *)&dev, sizeof dev) == n) {
            ++frames;
        }
        // The clock is read only when idle and every 64 Ki frames, not per frame.
        if ((n < 0 || (frames & 0xffff) == 0) && now() >= end)
            break;
    }
    struct tpacket_stats st;
    socklen_t slen = sizeof st;
    memset(&st, 0, sizeof st);
    getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &st, &slen);
    fprintf(stderr, "reflector: %lu frames reflected, %u dropped by the socket\n", frames,
            st.tp_drops);
    close(fd);
    return 0;
}
