#include "rawsock/lb_rawsock.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/lbGlobals.h"

int lb_send_sock_fd = -1;
int lb_recv_sock_fd = -1;

namespace {

constexpr int kMacLen = 6;

// Destination of every send: the interface, its hardware address.
struct sockaddr_ll device;
// Link-level source of the latest received frame.
struct sockaddr_ll rawsocket_recv_addr;
// Whether lb_client_rawsock_init has run (a send before it is a caller's mistake).
bool g_opened = false;
// The descriptor created for sending; after opening, sends go out on the receive socket
// and this one only served the address request. Kept to be closed.
int g_addrSockFd = -1;

// Received frames not yet handed out. Under load one recvmmsg takes up to kBatch frames,
// so the receive costs one system call per batch instead of one per frame; at a low rate
// a batch holds one frame and nothing changes.
constexpr unsigned kBatch = LB_RAWSOCK_BATCH;
constexpr size_t kFrameCap = 65536;  // longer frames are cut here
// Slots lie a little more than kFrameCap apart: at a stride of a power of two every
// slot's headers would fall into the same cache sets and evict each other before the
// batch is handled.
constexpr size_t kSlot = kFrameCap + 192;
struct RecvBatch {
    unsigned char frame[kBatch][kSlot];  // 4 MiB, touched only where frames land
    struct sockaddr_ll from[kBatch];
    unsigned len[kBatch];
    unsigned count;  // frames taken by the latest recvmmsg
    unsigned next;   // the next one to hand out
};
RecvBatch g_batch;

static_assert(IFNAMSIZ == 16, "interface names have at most 15 characters");
static_assert(sizeof device == 20, "the link-level address record is 20 bytes");

// An interface request for ifname, cut to the platform's 15 characters.
struct ifreq ifRequest(const char *ifname) {
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%.*s", IFNAMSIZ - 1, ifname);
    return ifr;
}

// A packet socket that receives nothing until it is bound with a protocol: opening it
// with protocol ETH_P_ALL would queue every frame of every interface until the bind.
int packetSocket() {
    return socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
}

// Takes every waiting frame, up to kBatch, into g_batch without waiting. Returns the
// number taken, or -1 (errno set, EAGAIN when nothing was waiting) with g_batch empty.
int refillBatch() {
    struct mmsghdr msgs[kBatch];
    struct iovec iov[kBatch];
    memset(msgs, 0, sizeof msgs);
    for (unsigned i = 0; i < kBatch; ++i) {
        iov[i] = {g_batch.frame[i], kFrameCap};
        static_assert(kSlot >= kFrameCap, "a slot holds the longest frame received");
        msgs[i].msg_hdr.msg_name = &g_batch.from[i];
        msgs[i].msg_hdr.msg_namelen = sizeof g_batch.from[i];
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    g_batch.count = g_batch.next = 0;
    const int n = recvmmsg(lb_recv_sock_fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0) {
        if (n == 0)
            errno = EAGAIN;
        return -1;
    }
    for (int i = 0; i < n; ++i)
        g_batch.len[i] = msgs[i].msg_len;
    g_batch.count = static_cast<unsigned>(n);
    return n;
}

}  // namespace

int lb_client_rawsock_init(const char *send_ifname, const char *recv_ifname) {
    if (send_ifname == nullptr || recv_ifname == nullptr)
        return -1;
    lb_client_rawsock_close();
    g_opened = true;
    g_addrSockFd = lb_send_sock_fd = packetSocket();
    if (lb_send_sock_fd == -1) {
        perror("Error: Raw socket send creation failed");
        return -1;
    }
    lb_recv_sock_fd = packetSocket();
    if (lb_recv_sock_fd == -1) {
        perror("Error: Raw socket recv creation failed");
        return -1;
    }
    if (Gv_noPrint == 0)
        printf("Raw socket creation success\n");
    const int sendRc = init_rawsocksend_interface(send_ifname);
    const int recvRc = init_rawsockrecv_interface(recv_ifname);
    lb_send_sock_fd = lb_recv_sock_fd;
    return sendRc == 0 && recvRc == 0 ? 0 : -1;
}

int init_rawsocksend_interface(const char *ifname) {
    printf("Initialising the Raw socket send interface %s \n", ifname);
    struct ifreq ifr = ifRequest(ifname);
    if (ioctl(g_addrSockFd, SIOCGIFHWADDR, &ifr) < 0) {
        perror("Error: Raw socket send - associating MAC address to socket ioctl call failed");
        return -1;
    }
    memset(&device, 0, sizeof device);
    device.sll_ifindex = static_cast<int>(if_nametoindex(ifname));
    device.sll_family = AF_PACKET;
    device.sll_halen = kMacLen;
    if (Gv_noPrint == 0)
        printf("Rawsocket send - associated interface address ");
    for (int i = 0; i < kMacLen; ++i) {
        device.sll_addr[i] = static_cast<unsigned char>(ifr.ifr_hwaddr.sa_data[i]);
        printf("%x:", device.sll_addr[i]);
    }
    printf("\nRaw socket send - interface details if_name %s if_index %u\n", ifname,
           static_cast<unsigned>(device.sll_ifindex));
    return 0;
}

int init_rawsockrecv_interface(const char *ifname) {
    if (Gv_noPrint == 0)
        printf("Initialising the Raw socket recv interface %s \n", ifname);
    const int fd = lb_recv_sock_fd;
    struct ifreq ifr = ifRequest(ifname);
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) < 0) {
        perror("Error: Raw socket recv  - couldn't retrieve raw socket flags");
        return -1;
    }
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_PROMISC);
    if (ioctl(fd, SIOCSIFFLAGS, &ifr) < 0) {
        perror("Error: Raw socket recv  - couldn't set raw socket in PROMISC mode !");
        return -1;
    }
    ifr = ifRequest(ifname);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
        perror("Error: Raw socket recv  - couldn't get device index !");
        return -1;
    }
    const int ifindex = static_cast<int>(if_nametoindex(ifname));
    struct packet_mreq mr;
    static_assert(sizeof mr == 16, "membership record");
    memset(&mr, 0, sizeof mr);
    mr.mr_ifindex = ifindex;
    mr.mr_type = PACKET_MR_PROMISC;
    if (setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof mr) < 0) {
        perror("\nError: setting PACKET_MR_PROMISC failed !");
        return -1;
    }
    // Frames the host sends out of the interface (the console's replies, the host's own
    // traffic) are not for the balancer. Older kernels lack the option; the receive
    // skips such frames in any case.
    const int one = 1;
    setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
    // Bound to the interface: frames of every other interface of the host stay unseen.
    struct sockaddr_ll bindAddr;
    memset(&bindAddr, 0, sizeof bindAddr);
    bindAddr.sll_family = AF_PACKET;
    bindAddr.sll_protocol = htons(ETH_P_ALL);
    bindAddr.sll_ifindex = ifindex;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&bindAddr), sizeof bindAddr) < 0) {
        perror("Error: Raw socket recv  - couldn't bind to the interface !");
        return -1;
    }
    if (ioctl(fd, SIOCGIFHWADDR, &ifr) < 0) {
        perror("Error: Raw socket recv  - associating MAC address to socket ioctl call failed");
        return -1;
    }
    rawsocket_recv_addr.sll_ifindex = ifindex;
    rawsocket_recv_addr.sll_halen = kMacLen;
    memcpy(rawsocket_recv_addr.sll_addr, ifr.ifr_hwaddr.sa_data, kMacLen);
    if (Gv_noPrint == 0) {
        printf("Rawsocket recv - associated interface address ");
        for (int i = 0; i < kMacLen; ++i)
            printf("%x:", rawsocket_recv_addr.sll_addr[i]);
        printf("\nRaw socket recv - interface details if_name %s if_index %u\n", ifname,
               static_cast<unsigned>(ifindex));
    }
    return 0;
}

int lb_client_rawsock_recv(uint8_t *buf, int len) {
    if (lb_recv_sock_fd < 0 || buf == nullptr || len < 0)
        return -1;
    for (;;) {
        while (g_batch.next < g_batch.count) {
            const unsigned i = g_batch.next++;
            if (g_batch.from[i].sll_pkttype == PACKET_OUTGOING)
                continue;
            rawsocket_recv_addr = g_batch.from[i];
            const size_t n =
                std::min(static_cast<size_t>(g_batch.len[i]), static_cast<size_t>(len));
            memcpy(buf, g_batch.frame[i], n);
            return static_cast<int>(n);
        }
        if (refillBatch() < 0)
            return -1;
    }
}

int lb_client_rawsock_recv_batch(struct lb_rx_frame *out, unsigned max, int cap) {
    if (lb_recv_sock_fd < 0 || out == nullptr || max == 0 || cap < 0)
        return -1;
    unsigned n = 0;
    while (n == 0) {
        if (g_batch.next >= g_batch.count && refillBatch() < 0)
            return -1;
        for (; g_batch.next < g_batch.count && n < max; ++g_batch.next) {
            const unsigned i = g_batch.next;
            if (g_batch.from[i].sll_pkttype == PACKET_OUTGOING)
                continue;
            rawsocket_recv_addr = g_batch.from[i];
            out[n].buf = g_batch.frame[i];
            out[n].len = static_cast<int>(
                std::min(static_cast<size_t>(g_batch.len[i]), static_cast<size_t>(cap)));
            ++n;
        }
    }
    return static_cast<int>(n);
}

unsigned lb_client_rawsock_send_batch(struct lb_tx_frame *frames, unsigned n) {
    if (!g_opened && n > 0) {
        errno = ENOTCONN;
        perror("CTRL:Msg received, when CTRL was not ready\r\n");
    }
    constexpr unsigned kChunk = 64;  // messages per system call
    struct mmsghdr msgs[kChunk];
    struct iovec iov[kChunk];
    unsigned sent = 0;
    for (unsigned at = 0; at < n;) {
        const unsigned chunk = std::min(n - at, kChunk);
        memset(msgs, 0, sizeof msgs[0] * chunk);
        for (unsigned i = 0; i < chunk; ++i) {
            iov[i] = {const_cast<uint8_t *>(frames[at + i].buf), frames[at + i].len};
            msgs[i].msg_hdr.msg_name = &device;
            msgs[i].msg_hdr.msg_namelen = sizeof device;
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        // sendmmsg stops at the first frame refused and counts those before it, which
        // left; the next call starts at the refused one, and fails with its error.
        const int rc = sendmmsg(lb_send_sock_fd, msgs, chunk, 0);
        if (rc <= 0) {
            if (rc == 0)
                errno = EIO;  // nothing sent and no error: not expected
            perror("CTRL:Tx-sendto error\n");
            frames[at++].rc = -1;
            continue;
        }
        for (int i = 0; i < rc; ++i) {
            frames[at + i].rc = 0;
            if (Gv_noPrint == 0)
                printf("number of bytes sent = %d\n", static_cast<int>(msgs[i].msg_len));
        }
        sent += static_cast<unsigned>(rc);
        at += static_cast<unsigned>(rc);
    }
    return sent;
}

int lb_client_rawsock_send(const uint8_t *buf, uint32_t len) {
    struct lb_tx_frame one = {buf, len, -1};
    return lb_client_rawsock_send_batch(&one, 1) == 1 ? 0 : -1;
}

void lb_client_rawsock_close(void) {
    if (lb_recv_sock_fd >= 0)
        close(lb_recv_sock_fd);
    if (g_addrSockFd >= 0 && g_addrSockFd != lb_recv_sock_fd)
        close(g_addrSockFd);
    lb_send_sock_fd = lb_recv_sock_fd = g_addrSockFd = -1;
    memset(&device, 0, sizeof device);
    memset(&rawsocket_recv_addr, 0, sizeof rawsocket_recv_addr);
    g_batch.count = g_batch.next = 0;
    g_opened = false;
}
