#include <arpa/inet.h>
#include <sys/time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/lbGlobals.h"
#include "common/lbMetrics.h"
#include "common/lbUtil.h"
#include "controller/lbCtrlMsg.h"
#include "packet/lbCtrlMain.h"
#include "packet/lbEngine.h"
#include "packet/lbPacketPriv.h"
#include "rawsock/lb_rawsock.h"

using namespace lbpkt;

struct timeval starttv;
struct timeval endtv;

namespace {

constexpr uint16_t kEthTypeIpv4 = 0x0800;
constexpr uint16_t kEthTypeVlan = 0x8100;
constexpr size_t kVlanIpProtoOff = 27;  // IPv4 protocol byte behind a VLAN tag
constexpr size_t kIpFragOff = kIpOff + 6;
constexpr size_t kIpProtoOff = kIpOff + 9;
constexpr uint16_t kIpFragMask = 0x3fff;  // more-fragments flag and fragment offset
constexpr size_t kTcpFlagsOff = 13;
constexpr uint8_t kTcpFin = 0x01, kTcpSyn = 0x02, kTcpRst = 0x04, kTcpAck = 0x10;
constexpr uint8_t kIpProtoIcmp = 1, kIpProtoTcp = 6;

// The TCP ports of a frame that dispatchFits accepted, in host order.
struct Ports {
    uint16_t src, dst;
};

// True when the frame of n bytes holds a whole unfragmented IPv4 datagram with a TCP
// header: version 4, IHL of at least 5, the total length within the frame and covering
// both headers. Reads nothing beyond n. A fragment is refused whatever its offset: the
// later ones carry no TCP header, and the first alone cannot get a checksum over a
// segment whose rest it does not hold.
bool ipv4Fits(const unsigned char *buf, size_t n) {
    if (n < kIpOff + kMinHdr || buf[kIpOff] >> 4 != 4)
        return false;
    const size_t ihl = static_cast<size_t>(buf[kIpOff] & 0x0f) * 4;
    const size_t totLen = ntohs(load16(buf + kIpTotLenOff));
    return ihl >= kMinHdr && totLen >= ihl && kIpOff + totLen <= n &&
           (ntohs(load16(buf + kIpFragOff)) & kIpFragMask) == 0;
}

// For a frame ipv4Fits accepted: true when a TCP header of at least 20 bytes lies within
// the IPv4 total length; its ports go to p.
bool tcpFits(const unsigned char *buf, Ports *p) {
    const size_t ihl = static_cast<size_t>(buf[kIpOff] & 0x0f) * 4;
    const size_t totLen = ntohs(load16(buf + kIpTotLenOff));
    if (totLen < ihl + kMinHdr)
        return false;
    const unsigned char *tcp = buf + kIpOff + ihl;
    const size_t doff = static_cast<size_t>(tcp[kTcpDoffOff] >> 4) * 4;
    if (doff < kMinHdr || ihl + doff > totLen)
        return false;
    p->src = ntohs(load16(tcp));
    p->dst = ntohs(load16(tcp + kTcpDstPortOff));
    return true;
}

// The dotted text of an IPv4 address (network order), made only for a line printed.
struct AddrText {
    explicit AddrText(uint32_t addr) {
        lbIpToStr(reinterpret_cast<const unsigned char *>(&addr), text, sizeof text);
    }
    char text[LB_IPSTR_LEN];
};

// Milliseconds of silence after which a connection's rules may be gone from the switches:
// the rules' idle time-out less an allowance of two seconds (half the time-out when that
// is shorter), since a switch ages a rule by counters it reads only now and then and may
// drop it a little before the balancer's own clock says so. 0 for rules that never age.
// Asked at every frame of a known connection, so g_addFlowTmr is parsed only when its
// text changes.
int64_t rulesAgedAfterMs() {
    static FieldCache<int64_t, sizeof g_addFlowTmr> cache;
    return cache.get(g_addFlowTmr, [](const char *text) -> int64_t {
        const long long secs = strtoll(text, nullptr, 10);
        if (secs <= 0)
            return 0;
        const int64_t ms = static_cast<int64_t>(secs) * 1000;
        return ms - (ms / 2 < 2000 ? ms / 2 : 2000);
    });
}

// Records a frame of a known connection. When the connection was silent for so long that
// the switches may have aged its rules out, the rules are posted again first, along the
// entry's own hops: otherwise the server's answer would bypass the balancer and reach the
// client from the server's own address. The frame (buf, len bytes, readdressed) then
// leaves once the rules are answered, and true is returned; otherwise the caller sends
// it (false).
bool keepRules(lbFlow_t *e, bool fromClient, const unsigned char *buf, int len) {
    if (e == nullptr)
        return false;
    const int64_t now = lbFlowClock();
    if (holdWhileRulesComeBack(e, buf, len)) {
        lbFlowSeen(e, fromClient, now);
        return true;
    }
    const int64_t oldest =
        e->lbClientSeenMs < e->lbServerSeenMs ? e->lbClientSeenMs : e->lbServerSeenMs;
    const int64_t agedAfter = rulesAgedAfterMs();
    bool held = false;
    if (agedAfter > 0 && now - oldest >= agedAfter && e->lbServConfPtr != nullptr) {
        if (Gv_noPrint == 0)
            printf("Rules of %s:%d posted again after %lld ms without a frame\n",
                   AddrText(e->lbClientSrcIp).text, e->lbClientSrcTcpPort,
                   static_cast<long long>(now - oldest));
        held = postConnectionRules(e, g_addFlowTmr, 1, buf, len);
        e->lbClientSeenMs = e->lbServerSeenMs = now;
    }
    lbFlowSeen(e, fromClient, now);
    return held;
}

// Drops a SYN that cannot be set up now, with a line at most once a second that counts
// the SYNs dropped for that reason (a storm must not print a line per SYN). The client
// retransmits.
struct DropCount {
    const char *why;
    unsigned long long dropped = 0;
    std::chrono::steady_clock::time_point last{};
};
void dropSyn(DropCount &d) {
    d.dropped++;
    const auto now = std::chrono::steady_clock::now();
    if (d.dropped > 1 && now - d.last < std::chrono::seconds(1))
        return;
    d.last = now;
    printf("SYN dropped: %s (%llu dropped so far)\n", d.why, d.dropped);
}
DropCount g_dropDown{"the controller is not reachable"};
DropCount g_dropBusy{"too many connections being set up"};

// A SYN without ACK: a new connection to the VIP. It takes the least-loaded server at
// once (the count raised), gets a pending entry and goes to the setup engine with a copy
// of the SYN, which leaves once the rules of its path are in place.
void openConnection(unsigned char *buf, int len, const Ports &ports, uint32_t dst) {
    if (Gv_noPrint == 0) {
        printf("\n Got a TCP SYNC packet ");
        printf("\n ============> daddr = %s ", AddrText(dst).text);
    }
    if (!isVip(dst)) {
        lbCountDrop(LB_DROP_NOT_VIP);
        return;
    }
    const uint32_t client = load32(buf + kIpSrcOff);
    printf("received TCP SYN\n");
    if (g_lbNumServers == 0) {
        lbCountDrop(LB_DROP_NO_SERVER);
        printf("There are no servers\n");
        return;
    }
    if (lbFlowTable_getEntry(client, ports.src) != nullptr) {
        lbCountDrop(LB_DROP_RETRANSMITTED_SYN);
        return;  // a retransmission: the connection is being or was set up
    }
    if (g_lbEngine == nullptr) {
        lbCountDrop(LB_DROP_SETUP_FAILED);
        printf("Could not add a flow\n");
        return;
    }
    if (g_lbEngine->down()) {
        lbCountDrop(LB_DROP_CONTROLLER_DOWN);
        dropSyn(g_dropDown);
        return;
    }
    if (!g_lbEngine->hasRoom()) {
        lbCountDrop(LB_DROP_SETUP_BUSY);
        dropSyn(g_dropBusy);
        return;
    }
    lbServer_node_t *server = lbGetNodeWithLessConn();
    if (server == nullptr) {
        lbCountDrop(LB_DROP_NO_SERVER);
        printf("All servers are either Locked/Not reachable/MAX Connections Reached\n");
        return;
    }
    lbFlow_t *entry = lbServFlowTable_createEntry(server, client, ports.src, 0, buf + 6, ports.dst);
    if (entry == nullptr) {
        lbCountDrop(LB_DROP_SETUP_FAILED);
        printf("Could not add a flow\n");
        return;
    }
    entry->lbPending = 1;
    auto req = std::make_unique<lbSetupReq>();
    req->entry = entry;
    req->server = server;
    req->clientIp = client;
    req->clientPort = ports.src;
    req->servicePort = ports.dst;
    req->serverIp = server->lbServIp.s_addr;
    req->syn.assign(buf, buf + len);
    g_lbEngine->setup(std::move(req));
}

// A FIN with ACK or a reset, from either side of a known connection: rewritten and sent;
// a reset tears the connection down before the send, a FIN with ACK (re)starts the
// count of the expiry walks that remove it.
void closeConnection(unsigned char *buf, int len, int code) {
    if (g_lbNumServers == 0) {
        lbCountDrop(LB_DROP_NO_CONNECTION);
        if (Gv_noPrint == 0)
            printf("For FINACK, number of Servers are %d", g_lbNumServers);
        return;
    }
    lbServer_node_t *server = nullptr;
    lbFlow_t *entry = lbHandleTcpClose(buf, len, &server, code);
    if (entry == nullptr) {
        lbCountDrop(LB_DROP_NO_CONNECTION);
        if (Gv_noPrint == 0)
            printf("No Server  OR the packet tuples were not found");
        return;
    }
    const int clientInPort = entry->lbClientInPort;
    if (code == LB_TCP_FINACK) {
        // The rewritten frame still carries the client's own source when it came from it.
        const bool fromClient = load32(buf + kIpSrcOff) == entry->lbClientSrcIp;
        entry->deleteFlowSet = 1;
        if (keepRules(entry, fromClient, buf, len))
            return;  // leaves once its rules are back
    } else {
        lbDelFlow(buf, entry, code);
    }
    queueFrame(
        buf, len,
        {"Tx Pkt Failed in TCP FIN+RST packet", "TCP FIN+RST sent to Port = %d \n", clientInPort});
}

// Any other segment: rewritten and sent when it belongs to a known connection. A segment
// of no connection is dropped: sent from the balancer's port it would teach a learning
// switch that its source lives there.
void forwardSegment(unsigned char *buf, int len, uint32_t src, uint32_t dst) {
    if (Gv_noPrint == 0) {
        printf("\n Got a TCP SYN_ACK or DATA packet ");
        printf("\n ===========>clienttmpip2 is %s ", AddrText(src).text);
        printf("\n ============> daddr = %s ", AddrText(dst).text);
    }
    const Readdressed r = readdress(nullptr, buf, len, LB_TCP_OTHER);
    if (!r.rewritten) {
        lbCountDrop(LB_DROP_NO_CONNECTION);
        return;
    }
    if (keepRules(r.entry, r.fromClient, buf, len))
        return;  // leaves once its rules are back
    queueFrame(buf, len, {"Tx Pkt Failed in TCP SYN packet", nullptr, 0});
}

}  // namespace

int checkTcpflags(const unsigned char *Buffer, int Size) {
    if (Buffer == nullptr || Size < 0 || static_cast<size_t>(Size) < kIpOff + kMinHdr)
        return LB_TCP_NONE;
    const size_t ihl = static_cast<size_t>(Buffer[kIpOff] & 0x0f) * 4;
    const size_t flagsAt = kIpOff + ihl + kTcpFlagsOff;
    if (ihl < kMinHdr || flagsAt >= static_cast<size_t>(Size))
        return LB_TCP_NONE;
    const uint8_t flags = Buffer[flagsAt];
    if ((flags & kTcpSyn) && !(flags & kTcpAck))
        return LB_TCP_SYN;
    if ((flags & kTcpFin) && (flags & kTcpAck))
        return LB_TCP_FINACK;
    if (flags & kTcpRst)
        return LB_TCP_RST;
    return LB_TCP_OTHER;
}

namespace {

// lbHandlePktin without the send, for a frame taken from the socket at `arrived`: a
// frame forwarded is queued.
void handleFrame(unsigned char *pktBuff, int tot_len, const struct timeval &arrived) {
    starttv = arrived;
    timerclear(&endtv);
    lbCount(LB_C_FRAMES_RECEIVED);
    if (pktBuff == nullptr || tot_len < static_cast<int>(LB_ETH_HLEN))
        return lbCountDrop(LB_DROP_MALFORMED);
    const size_t n = static_cast<size_t>(tot_len);
    const uint16_t ethType = ntohs(load16(pktBuff + 12));
    if (ethType == kEthTypeVlan) {
        if (Gv_noPrint == 0) {
            printf("got VLAN packet");
            for (size_t i = 0; i < LB_ETH_HLEN; ++i)
                printf("%x", pktBuff[i]);
            if (n > kVlanIpProtoOff && pktBuff[kVlanIpProtoOff] == kIpProtoIcmp)
                printf("Received ICMP packet");
        }
        return lbCountDrop(LB_DROP_VLAN);
    }
    if (ethType != kEthTypeIpv4)
        return lbCountDrop(LB_DROP_NOT_IPV4);
    if (!ipv4Fits(pktBuff, n))
        return lbCountDrop(LB_DROP_MALFORMED);
    // Addresses are compared as they lie in the frame; their dotted texts are made only
    // for the lines printed.
    const uint32_t src = load32(pktBuff + kIpSrcOff), dst = load32(pktBuff + kIpDstOff);
    if (Gv_noPrint == 0)
        printf("\n ===========>clienttmpip2 is %s ", AddrText(src).text);
    if (src == dst)
        return lbCountDrop(LB_DROP_OWN_TRAFFIC);
    const uint32_t ctrl = controllerAddr();
    if (src == ctrl || dst == ctrl)
        return lbCountDrop(LB_DROP_OWN_TRAFFIC);  // with the controller
    const uint8_t proto = pktBuff[kIpProtoOff];
    if (proto == kIpProtoIcmp && Gv_noPrint == 0)
        printf("normal Received ICMP packet");
    Ports ports;
    if (proto != kIpProtoTcp)
        return lbCountDrop(LB_DROP_NOT_TCP);
    if (!tcpFits(pktBuff, &ports))
        return lbCountDrop(LB_DROP_MALFORMED);
    if (ports.dst == LB_CONSOLE_PORT && isVip(dst))
        return lbCountDrop(LB_DROP_OWN_TRAFFIC);  // the console: the host's stack answers
    const int code = checkTcpflags(pktBuff, tot_len);
    switch (code) {
        case LB_TCP_SYN:
            openConnection(pktBuff, tot_len, ports, dst);
            break;
        case LB_TCP_FINACK:
        case LB_TCP_RST:
            closeConnection(pktBuff, tot_len, code);
            break;
        case LB_TCP_OTHER:
            forwardSegment(pktBuff, tot_len, src, dst);
            break;
        default:
            lbCountDrop(LB_DROP_MALFORMED);
            break;
    }
}

}  // namespace

void lbHandlePktin(unsigned char *pktBuff, int tot_len) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    handleFrame(pktBuff, tot_len, now);
    sendQueued();
}

void lbHandlePktBatch(const struct lb_rx_frame *frames, unsigned n) {
    static_assert(LB_RAWSOCK_BATCH > 0, "a batch holds a frame");
    for (unsigned at = 0; at < n; at += LB_RAWSOCK_BATCH) {
        const unsigned end = n - at < LB_RAWSOCK_BATCH ? n : at + LB_RAWSOCK_BATCH;
        // The frames of a batch were taken from the socket together: one arrival time.
        struct timeval arrived;
        gettimeofday(&arrived, nullptr);
        {
            lbTableLock lock;
            for (unsigned i = at; i < end; ++i)
                handleFrame(frames[i].buf, frames[i].len, arrived);
        }
        sendQueued();
    }
}
