// Bare reflector: the rate at which one process can take frames from a packet socket and
// send them straight back out of the same interface, with nothing else done per frame.
// It is the ceiling that lbapp's forwarding rate is held against (bench/forward).
//
// The socket is set up as the balancer sets up its own (src/rawsock/lb_rawsock.cpp): one
// AF_PACKET/SOCK_RAW socket bound to the interface for ETH_P_ALL, promiscuous, outgoing
// frames ignored. With BATCH 1, one recvfrom and one sendto (to the interface's
// link-level address) per frame: two system calls and two frame copies per frame. With
// a larger BATCH, one recvmmsg takes what is waiting, up to BATCH frames (it waits for
// the first only), and one sendmmsg sends them all back: two system calls per batch.
// What limits it otherwise: the kernel's veth and packet socket delivery. It receives
// blocking (the balancer polls only when its queue is empty, which never happens under
// a saturating load) with a 200 ms receive time-out so that the time limit is seen while
// idle.
//
//   reflector IFNAME SECONDS [BATCH | ring]
// Reflects for SECONDS (or 100 million frames) and then prints, on standard error, the
// frames reflected and the socket's drop count.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <sys/mman.h>
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

#define MAX_BATCH 256

// Batched: recvmmsg of what is waiting (up to batch, waiting for the first frame only),
// sendmmsg of all of them. Returns the frames reflected.
static unsigned long reflect_batched(int fd, const struct sockaddr_ll *dev, unsigned batch,
                                     double end) {
    static unsigned char bufs[MAX_BATCH][10000];
    static struct sockaddr_ll from[MAX_BATCH];
    struct mmsghdr in[MAX_BATCH], out[MAX_BATCH];
    struct iovec iov[MAX_BATCH], oiov[MAX_BATCH];
    unsigned long frames = 0, calls = 0;
    while (frames < MAX_FRAMES) {
        for (unsigned i = 0; i < batch; ++i) {
            iov[i] = (struct iovec){bufs[i], sizeof bufs[i]};
            memset(&in[i].msg_hdr, 0, sizeof in[i].msg_hdr);
            in[i].msg_hdr.msg_name = &from[i];
            in[i].msg_hdr.msg_namelen = sizeof from[i];
            in[i].msg_hdr.msg_iov = &iov[i];
            in[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = recvmmsg(fd, in, batch, MSG_WAITFORONE, NULL);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            perror("reflector: recvmmsg");
            break;
        }
        unsigned m = 0;
        for (int i = 0; i < n; ++i) {
            if (from[i].sll_pkttype == PACKET_OUTGOING)
                continue;
            oiov[m] = (struct iovec){bufs[i], in[i].msg_len};
            memset(&out[m].msg_hdr, 0, sizeof out[m].msg_hdr);
            out[m].msg_hdr.msg_name = (void *)dev;
            out[m].msg_hdr.msg_namelen = sizeof *dev;
            out[m].msg_hdr.msg_iov = &oiov[m];
            out[m].msg_hdr.msg_iovlen = 1;
            ++m;
        }
        for (unsigned at = 0; at < m;) {
            const int s = sendmmsg(fd, out + at, m - at, 0);
            if (s <= 0) {
                ++at;  // that frame is lost, as a failed sendto loses it
                continue;
            }
            at += (unsigned)s;
            frames += (unsigned long)s;
        }
        if ((n < 0 || (++calls & 0x3ff) == 0) && now() >= end)
            break;
    }
    return frames;
}

// Memory-mapped rings (PACKET_MMAP, TPACKET_V2) on the same socket: the kernel writes
// each received frame into the next slot of the receive ring, the reflector copies it
// into the next slot of the transmit ring and hands the slot back; one send() call
// starts every frame queued in the transmit ring, once per pass over what was waiting
// (at most 64 frames). Version 2 rather than 3: a version 3 block reaches the reader only
// when it is full or its time-out (in milliseconds) has run, which would hold frames at a
// low rate. Returns the frames reflected.
#define RING_FRAME 2048
#define RING_FRAMES 4096
static unsigned long reflect_ring(int fd, double end) {
    const int v = TPACKET_V2;
    struct tpacket_req req = {.tp_block_size = 1 << 16,
                              .tp_block_nr = RING_FRAMES * RING_FRAME / (1 << 16),
                              .tp_frame_size = RING_FRAME,
                              .tp_frame_nr = RING_FRAMES};
    if (setsockopt(fd, SOL_PACKET, PACKET_VERSION, &v, sizeof v) < 0 ||
        setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) < 0 ||
        setsockopt(fd, SOL_PACKET, PACKET_TX_RING, &req, sizeof req) < 0) {
        perror("reflector: rings");
        return 0;
    }
    const size_t ring = (size_t)RING_FRAMES * RING_FRAME;
    unsigned char *map = mmap(NULL, 2 * ring, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        perror("reflector: mmap");
        return 0;
    }
    unsigned char *rx = map, *tx = map + ring;
    unsigned long frames = 0, passes = 0;
    unsigned r = 0, t = 0;
    while (frames < MAX_FRAMES) {
        struct tpacket2_hdr *h = (struct tpacket2_hdr *)(rx + (size_t)r * RING_FRAME);
        if (!(__atomic_load_n(&h->tp_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER)) {
            struct pollfd p = {.fd = fd, .events = POLLIN};
            if (poll(&p, 1, 200) <= 0 && now() >= end)
                break;
            continue;
        }
        unsigned queued = 0;
        for (int k = 0; k < 64; ++k) {
            h = (struct tpacket2_hdr *)(rx + (size_t)r * RING_FRAME);
            if (!(__atomic_load_n(&h->tp_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER))
                break;
            const struct sockaddr_ll *from =
                (const struct sockaddr_ll *)((unsigned char *)h + TPACKET_ALIGN(sizeof *h));
            struct tpacket2_hdr *o = (struct tpacket2_hdr *)(tx + (size_t)t * RING_FRAME);
            const unsigned len = h->tp_snaplen;
            const size_t data = TPACKET2_HDRLEN - sizeof(struct sockaddr_ll);
            if (from->sll_pkttype != PACKET_OUTGOING && len <= RING_FRAME - data &&
                __atomic_load_n(&o->tp_status, __ATOMIC_ACQUIRE) == TP_STATUS_AVAILABLE) {
                memcpy((unsigned char *)o + data, (unsigned char *)h + h->tp_mac, len);
                o->tp_len = len;
                __atomic_store_n(&o->tp_status, TP_STATUS_SEND_REQUEST, __ATOMIC_RELEASE);
                t = (t + 1) % RING_FRAMES;
                ++queued;
            }
            __atomic_store_n(&h->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
            r = (r + 1) % RING_FRAMES;
        }
        if (queued > 0 && send(fd, NULL, 0, 0) >= 0)
            frames += queued;
        if ((++passes & 0x3ff) == 0 && now() >= end)
            break;
    }
    munmap(map, 2 * ring);
    return frames;
}

int main(int argc, char **argv) {
    const int ring = argc == 4 && strcmp(argv[3], "ring") == 0;
    if (argc < 3 || argc > 4 || atof(argv[2]) <= 0 ||
        (argc == 4 && !ring && (atoi(argv[3]) < 1 || atoi(argv[3]) > MAX_BATCH))) {
        fprintf(stderr, "usage: reflector IFNAME SECONDS [BATCH (1-%d) | ring]\n", MAX_BATCH);
        return 2;
    }
    const unsigned batch = ring ? 0 : argc == 4 ? (unsigned)atoi(argv[3]) : 1;
    struct sockaddr_ll dev;
    const int fd = open_socket(argv[1], &dev);
    if (fd < 0)
        return 1;
    const double end = now() + atof(argv[2]);
    static unsigned char buf[10000];  // the balancer's receive buffer size
    unsigned long frames = ring        ? reflect_ring(fd, end)
                           : batch > 1 ? reflect_batched(fd, &dev, batch, end)
                                       : 0;
    while (batch == 1 && frames < MAX_FRAMES) {
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
    fprintf(stderr, "reflector (batch %u): %lu frames reflected, %u dropped by the socket\n", batch,
            frames, st.tp_drops);
    close(fd);
    return 0;
}
