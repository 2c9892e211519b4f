// Traffic generator of the forwarding benchmark (bench/forward): offers frames of one
// TCP connection to a forwarder on the far end of a veth and counts the frames that the
// forwarder sends back, to measure the forwarder's rate and loss, or, paced, the time
// each frame takes there and back.
//
// It first opens the connection the balancer's way: a SYN from the client to the VIP,
// repeated until the SYN comes back forwarded (destination MAC and address those given
// as expected), so that the balancer has set the connection up with the controller.
// Then it sends ACK segments of that connection, all of one size.
//
// Flood (no RATE): batches of 64 with sendmmsg on a packet socket that bypasses the
// queueing discipline, as fast as it can for a fixed time or count. The echoes are not
// read: a counting socket whose filter (classic BPF) accepts exactly the forwarded data
// frames (destination MAC, IPv4, destination address, the ACK flag alone, the IPv4 total
// length that was sent) has a queue of almost nothing, so the kernel drops nearly every
// accepted frame at once, and the socket's statistics (frames accepted, drops included)
// are the count. They are read every 10 ms between two batches, so the generator spends
// its core sending: it offers more than a batched forwarder takes.
// Paced (RATE frames/s): one frame per period, each numbered in its sequence number; the
// echo is taken off a socket that keeps the first 64 bytes of each forwarded frame, and
// the time from the send to its arrival recorded. Prints the median and the 99th
// percentile in microseconds.
// What limits it: one core for sending, the kernel's per-frame cost of building and
// delivering a frame over the veth. The forwarder must be slower than this for the
// flood's figure to be the forwarder's: the printed loss shows it was saturated.
//
//   fwdgen IFNAME FRAME_BYTES SECONDS SRC_MAC DST_MAC CLIENT_IP CLIENT_PORT VIP
//          EXPECT_MAC EXPECT_IP [RATE]
// Prints "sent N received M elapsed S" on standard output, and paced " p50 U p99 V"
// after it; elapsed runs from the first data frame sent to the last one counted. Exit
// status 1 when the SYN never came back.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define BATCH 64
#define SNAP 64
#define MAX_FRAMES 50000000UL
#define VIP_PORT 80

struct counter {
    int fd;
    uint32_t expect_ip;  // network order
    uint16_t ip_len;     // IPv4 total length of a counted data frame, network order
    unsigned long seen;
    double last;  // time of the latest counted frame
};

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int parse_mac(const char *text, unsigned char mac[ETH_ALEN]) {
    return sscanf(text, "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", &mac[0], &mac[1], &mac[2], &mac[3],
                  &mac[4], &mac[5]) == ETH_ALEN
               ? 0
               : -1;
}

// Internet checksum of len bytes (even) added to sum, not yet folded or inverted.
static uint32_t sum16(const void *p, size_t len, uint32_t sum) {
    const unsigned char *b = p;
    for (size_t i = 0; i + 1 < len; i += 2)
        sum += (uint32_t)(b[i] << 8 | b[i + 1]);
    return sum;
}

static uint16_t fold(uint32_t sum) {
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return htons((uint16_t)~sum);
}

// Writes a frame of size bytes (at least 54): Ethernet, IPv4 of total length ip_len,
// TCP from cport to VIP_PORT with the given flags and sequence number, zero payload,
// both checksums.
static void build_frame(unsigned char *f, size_t size, size_t ip_len, const unsigned char *dst,
                        const unsigned char *src, uint32_t cip, uint32_t vip, uint16_t cport,
                        uint8_t flags, uint32_t seq) {
    memset(f, 0, size);
    memcpy(f, dst, ETH_ALEN);
    memcpy(f + 6, src, ETH_ALEN);
    f[12] = 0x08;
    unsigned char *ip = f + 14, *tcp = ip + 20;
    ip[0] = 0x45;
    ip[2] = (unsigned char)(ip_len >> 8);
    ip[3] = (unsigned char)ip_len;
    ip[6] = 0x40;  // don't fragment
    ip[8] = 64;
    ip[9] = IPPROTO_TCP;
    memcpy(ip + 12, &cip, 4);
    memcpy(ip + 16, &vip, 4);
    const uint16_t ipsum = fold(sum16(ip, 20, 0));
    memcpy(ip + 10, &ipsum, 2);
    tcp[0] = (unsigned char)(cport >> 8);
    tcp[1] = (unsigned char)cport;
    tcp[3] = VIP_PORT;
    const uint32_t seq_n = htonl(seq);
    memcpy(tcp + 4, &seq_n, 4);
    tcp[11] = flags & 0x10 ? 1 : 0;  // acknowledgement number
    tcp[12] = 5 << 4;
    tcp[13] = flags;
    tcp[14] = 0xff;  // window
    const size_t tcp_len = ip_len - 20;
    unsigned char pseudo[12] = {0};
    memcpy(pseudo, ip + 12, 8);
    pseudo[9] = IPPROTO_TCP;
    pseudo[10] = (unsigned char)(tcp_len >> 8);
    pseudo[11] = (unsigned char)tcp_len;
    uint32_t sum = sum16(pseudo, sizeof pseudo, sum16(tcp, tcp_len & ~(size_t)1, 0));
    if (tcp_len & 1)
        sum += (uint32_t)tcp[tcp_len - 1] << 8;
    const uint16_t tcpsum = fold(sum);
    memcpy(tcp + 16, &tcpsum, 2);
}

// A packet socket on ifindex: for sending (no protocol bound, so it receives nothing,
// queueing discipline bypassed), or for counting (filter first, then bound for every
// protocol, outgoing frames ignored, a large queue). Returns the descriptor or -1.
static int open_socket(int ifindex, const unsigned char *expect_mac, int counting) {
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    const int one = 1, rcvbuf = 64 << 20;
    if (fd < 0)
        return -1;
    if (!counting)
        return setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one) == 0 ? fd : -1;
    // Accept when the destination MAC is expect_mac, keeping SNAP bytes; else drop.
    const uint32_t hi = (uint32_t)expect_mac[0] << 24 | (uint32_t)expect_mac[1] << 16 |
                        (uint32_t)expect_mac[2] << 8 | expect_mac[3];
    const uint32_t lo = (uint32_t)expect_mac[4] << 8 | expect_mac[5];
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 0), BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, hi, 0, 3),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 4), BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, lo, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SNAP),       BPF_STMT(BPF_RET | BPF_K, 0),
    };
    struct sock_fprog prog = {.len = sizeof code / sizeof code[0], .filter = code};
    struct sockaddr_ll a = {
        .sll_family = AF_PACKET, .sll_protocol = htons(ETH_P_ALL), .sll_ifindex = ifindex};
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) < 0 ||
        setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one) < 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) < 0 ||
        bind(fd, (struct sockaddr *)&a, sizeof a) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Takes every waiting frame off the counting socket without blocking; counts the data
// frames that match and returns how many SYNs that match were among them.
static int drain(struct counter *c) {
    static unsigned char bufs[256][SNAP];
    struct mmsghdr msgs[256];
    struct iovec iov[256];
    int syns = 0;
    for (;;) {
        for (int i = 0; i < 256; ++i) {
            iov[i] = (struct iovec){bufs[i], SNAP};
            memset(&msgs[i].msg_hdr, 0, sizeof msgs[i].msg_hdr);
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = recvmmsg(c->fd, msgs, 256, MSG_DONTWAIT, NULL);
        if (n <= 0)
            return syns;
        unsigned long before = c->seen;
        for (int i = 0; i < n; ++i) {
            const unsigned char *f = bufs[i];
            if (msgs[i].msg_len < 54 || f[12] != 0x08 || f[13] != 0 ||
                memcmp(f + 30, &c->expect_ip, 4) != 0)
                continue;
            if (f[47] == 0x02)
                ++syns;
            else if (f[47] == 0x10 && memcmp(f + 16, &c->ip_len, 2) == 0)
                ++c->seen;
        }
        if (c->seen != before)
            c->last = now();
    }
}

// A socket that counts the forwarded data frames without reading them: its filter
// accepts a frame only with destination MAC mac, IPv4 (header of 20 bytes), destination
// address ip (network order), IPv4 total length ip_len and the ACK flag alone; its queue
// holds next to nothing, so the kernel drops what it accepts and counts it. Returns the
// descriptor or -1.
static int open_stats_socket(int ifindex, const unsigned char *mac, uint32_t ip, uint16_t ip_len) {
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    const int one = 1, rcvbuf = 0;
    if (fd < 0)
        return -1;
    const uint32_t hi =
        (uint32_t)mac[0] << 24 | (uint32_t)mac[1] << 16 | (uint32_t)mac[2] << 8 | mac[3];
    const uint32_t lo = (uint32_t)mac[4] << 8 | mac[5];
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, hi, 0, 11),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, lo, 0, 9),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x0800, 0, 7),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 30),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohl(ip), 0, 5),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 16),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ip_len, 0, 3),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 47),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x10, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 1),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    struct sock_fprog prog = {.len = sizeof code / sizeof code[0], .filter = code};
    struct sockaddr_ll a = {
        .sll_family = AF_PACKET, .sll_protocol = htons(ETH_P_ALL), .sll_ifindex = ifindex};
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) < 0 ||
        setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one) < 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) < 0 ||
        bind(fd, (struct sockaddr *)&a, sizeof a) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Frames the stats socket fd accepted since the previous call (queued or dropped).
static unsigned long accepted(int fd) {
    struct tpacket_stats st;
    socklen_t len = sizeof st;
    memset(&st, 0, sizeof st);
    getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &st, &len);
    return st.tp_packets;  // the kernel adds the drops in
}

static int by_value(const void *a, const void *b) {
    const double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

// Paced: n frames, one every 1/rate s, frame i numbered seq0 + i; each echo on c->fd
// within its period counts, its time there and back kept in lat (seconds). Returns the
// echoes counted.
static unsigned long paced(int tx, struct counter *c, unsigned char *frame, size_t size,
                           const struct sockaddr_ll *to, unsigned long n, double rate,
                           uint32_t seq0, double *lat, void (*number)(unsigned char *, uint32_t)) {
    static unsigned char bufs[64][SNAP];
    unsigned long got = 0;
    const double period = 1 / rate, t0 = now();
    for (unsigned long i = 0; i < n; ++i) {
        const double slot = t0 + (double)i * period;
        struct timespec at = {(time_t)slot, (long)((slot - (double)(time_t)slot) * 1e9)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL);
        const uint32_t seq = seq0 + (uint32_t)i;
        number(frame, seq);
        const double sent_at = now();
        if (sendto(tx, frame, size, 0, (const struct sockaddr *)to, sizeof *to) < 0)
            continue;
        for (int done = 0; !done;) {
            const double left = slot + period - now();
            if (left <= 0)
                break;
            struct timespec w = {0, (long)(left * 1e9)};
            struct pollfd p = {.fd = c->fd, .events = POLLIN};
            if (ppoll(&p, 1, &w, NULL) <= 0)
                continue;
            const double arrived = now();
            struct mmsghdr msgs[64];
            struct iovec iov[64];
            for (int k = 0; k < 64; ++k) {
                iov[k] = (struct iovec){bufs[k], SNAP};
                memset(&msgs[k].msg_hdr, 0, sizeof msgs[k].msg_hdr);
                msgs[k].msg_hdr.msg_iov = &iov[k];
                msgs[k].msg_hdr.msg_iovlen = 1;
            }
            const int m = recvmmsg(c->fd, msgs, 64, MSG_DONTWAIT, NULL);
            for (int k = 0; k < m; ++k) {
                const unsigned char *f = bufs[k];
                uint32_t s;
                memcpy(&s, f + 38, 4);
                if (msgs[k].msg_len >= 54 && f[47] == 0x10 && ntohl(s) == seq &&
                    memcmp(f + 30, &c->expect_ip, 4) == 0) {
                    lat[got++] = arrived - sent_at;
                    done = 1;
                }
            }
        }
    }
    return got;
}

// Gives the data frame of the paced run (IPv4 header of 20 bytes) sequence number seq
// and its TCP checksum again.
static size_t g_size;
static void number_frame(unsigned char *f, uint32_t seq) {
    unsigned char *tcp = f + 34;
    const size_t tcp_len = g_size - 34;
    const uint32_t seq_n = htonl(seq);
    memcpy(tcp + 4, &seq_n, 4);
    memset(tcp + 16, 0, 2);
    unsigned char pseudo[12] = {0};
    memcpy(pseudo, f + 26, 8);
    pseudo[9] = IPPROTO_TCP;
    pseudo[10] = (unsigned char)(tcp_len >> 8);
    pseudo[11] = (unsigned char)tcp_len;
    uint32_t sum = sum16(pseudo, sizeof pseudo, sum16(tcp, tcp_len & ~(size_t)1, 0));
    if (tcp_len & 1)
        sum += (uint32_t)tcp[tcp_len - 1] << 8;
    const uint16_t tcpsum = fold(sum);
    memcpy(tcp + 16, &tcpsum, 2);
}

int main(int argc, char **argv) {
    unsigned char src[ETH_ALEN], dst[ETH_ALEN], expect[ETH_ALEN];
    struct in_addr cip, vip, eip;
    if ((argc != 11 && argc != 12) || parse_mac(argv[4], src) || parse_mac(argv[5], dst) ||
        parse_mac(argv[9], expect) || !inet_aton(argv[6], &cip) || !inet_aton(argv[8], &vip) ||
        !inet_aton(argv[10], &eip) || atoi(argv[2]) < 54 || atoi(argv[2]) > 1514 ||
        atof(argv[3]) <= 0 || (argc == 12 && atof(argv[11]) <= 0)) {
        fprintf(stderr,
                "usage: fwdgen IFNAME FRAME_BYTES(54-1514) SECONDS SRC_MAC DST_MAC CLIENT_IP "
                "CLIENT_PORT VIP EXPECT_MAC EXPECT_IP [RATE]\n");
        return 2;
    }
    const size_t size = (size_t)atoi(argv[2]);
    const uint16_t cport = (uint16_t)atoi(argv[7]);
    const int ifindex = (int)if_nametoindex(argv[1]);
    const int tx = ifindex ? open_socket(ifindex, expect, 0) : -1;
    struct counter c = {.fd = ifindex ? open_socket(ifindex, expect, 1) : -1,
                        .expect_ip = eip.s_addr,
                        .ip_len = htons((uint16_t)(size - 14))};
    if (tx < 0 || c.fd < 0) {
        perror("fwdgen: packet sockets");
        return 1;
    }
    struct sockaddr_ll to = {.sll_family = AF_PACKET,
                             .sll_protocol = htons(ETH_P_IP),
                             .sll_ifindex = ifindex,
                             .sll_halen = ETH_ALEN};
    memcpy(to.sll_addr, dst, ETH_ALEN);

    // The connection: a 60-byte SYN (40 bytes of IPv4, the rest padding) until it is back.
    static unsigned char syn[60], frame[1514];
    build_frame(syn, sizeof syn, 40, dst, src, cip.s_addr, vip.s_addr, cport, 0x02, 1);
    int opened = 0;
    for (int tries = 0; tries < 20 && !opened; ++tries) {
        if (sendto(tx, syn, sizeof syn, 0, (struct sockaddr *)&to, sizeof to) < 0)
            perror("fwdgen: SYN");
        struct pollfd p = {.fd = c.fd, .events = POLLIN};
        for (double until = now() + 1; !opened && now() < until;)
            if (poll(&p, 1, 100) > 0)
                opened = drain(&c) > 0;
    }
    if (!opened) {
        fprintf(stderr, "fwdgen: the SYN never came back forwarded\n");
        return 1;
    }

    build_frame(frame, size, size - 14, dst, src, cip.s_addr, vip.s_addr, cport, 0x10, 1);
    const double secs = atof(argv[3]);
    if (argc == 12) {
        const double rate = atof(argv[11]);
        const unsigned long n = (unsigned long)(secs * rate);
        double *lat = calloc(n ? n : 1, sizeof *lat);
        g_size = size;
        drain(&c);
        const double start = now();
        const unsigned long got = paced(tx, &c, frame, size, &to, n, rate, 2, lat, number_frame);
        const double el = now() - start;
        qsort(lat, got, sizeof *lat, by_value);
        printf("sent %lu received %lu elapsed %.6f p50 %.1f p99 %.1f\n", n, got, el,
               got ? lat[got / 2] * 1e6 : 0.0, got ? lat[(got * 99) / 100] * 1e6 : 0.0);
        free(lat);
        return 0;
    }
    // The flood: the reading socket goes, the counting one takes over.
    close(c.fd);
    const int stats = open_stats_socket(ifindex, expect, eip.s_addr, (uint16_t)(size - 14));
    if (stats < 0) {
        perror("fwdgen: counting socket");
        return 1;
    }
    accepted(stats);
    struct iovec iov = {frame, size};
    struct mmsghdr msgs[BATCH];
    for (int i = 0; i < BATCH; ++i)
        msgs[i].msg_hdr = (struct msghdr){
            .msg_name = &to, .msg_namelen = sizeof to, .msg_iov = &iov, .msg_iovlen = 1};
    const double start = now(), end = start + secs;
    unsigned long sent = 0, seen = 0;
    double last = start, t = start, sampled = start;
    while (sent < MAX_FRAMES && t < end) {
        const int n = sendmmsg(tx, msgs, BATCH, 0);
        if (n > 0)
            sent += (unsigned long)n;
        else if (errno != ENOBUFS && errno != EAGAIN && errno != EINTR) {
            perror("fwdgen: sendmmsg");
            break;
        }
        t = now();
        if (t - sampled >= 0.01) {
            sampled = t;
            const unsigned long more = accepted(stats);
            if (more) {
                seen += more;
                last = t;
            }
        }
    }
    // Frames still queued at the forwarder come back within a few milliseconds.
    for (double until = now() + 0.3; now() < until;) {
        usleep(10000);
        const unsigned long more = accepted(stats);
        if (more) {
            seen += more;
            last = now();
        }
    }
    printf("sent %lu received %lu elapsed %.6f\n", sent, seen, last - start);
    return 0;
}
