#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "common/lbGlobals.h"
#include "common/lbUtil.h"
#include "controller/lbCtrlMsg.h"
#include "packet/lbCtrlMain.h"
#include "packet/lbPacketPriv.h"

namespace lbpkt {

namespace {

// True when the Ethernet, IPv4 and TCP headers fit in the len bytes received and the
// IPv4 total length covers both headers without claiming more than was received.
// Padding after the total length (short frames are padded on the wire) is allowed.
bool parseFrame(unsigned char *buf, int len, TcpFrame *f) {
    if (buf == nullptr || len < 0)
        return false;
    const size_t n = static_cast<size_t>(len);
    if (n < kIpOff + kMinHdr)
        return false;
    f->buf = buf;
    f->ihl = static_cast<size_t>(buf[kIpOff] & 0x0f) * 4;
    if (f->ihl < kMinHdr)
        return false;
    f->tcpOff = kIpOff + f->ihl;
    if (f->tcpOff + kMinHdr > n)
        return false;
    const size_t doff = static_cast<size_t>(buf[f->tcpOff + kTcpDoffOff] >> 4) * 4;
    if (doff < kMinHdr || f->tcpOff + doff > n)
        return false;
    f->totLen = ntohs(load16(buf + kIpTotLenOff));
    return f->totLen <= n - kIpOff && f->totLen >= f->ihl + doff;
}

uint32_t srcIp(const TcpFrame &f) {
    return load32(f.buf + kIpSrcOff);
}
uint32_t dstIp(const TcpFrame &f) {
    return load32(f.buf + kIpDstOff);
}
uint16_t srcPort(const TcpFrame &f) {
    return ntohs(load16(f.buf + f.tcpOff));
}
uint16_t dstPort(const TcpFrame &f) {
    return ntohs(load16(f.buf + f.tcpOff + kTcpDstPortOff));
}

// The VIP as written into frames towards clients (inet_addr of the text, network order),
// and whether the text is exactly the dotted form of that address: only then can a
// frame's address equal the configured text.
struct VipAddr {
    uint32_t addr;
    bool dotted;
};

const VipAddr &vipAddr() {
    static FieldCache<VipAddr, sizeof g_vipIPAddr> cache;
    return cache.get(g_vipIPAddr, [](const char *text) {
        VipAddr v{inet_addr(text), false};
        char canonical[LB_IPSTR_LEN];
        lbIpToStr(reinterpret_cast<const unsigned char *>(&v.addr), canonical, sizeof canonical);
        v.dotted = strcmp(canonical, text) == 0;
        return v;
    });
}

struct Mac {
    unsigned char bytes[6];
};

// The six bytes of g_contMacAddr; the loader refused any text that is not six hex groups
// (groups a text lacks come out 0).
const Mac &controllerMac() {
    static FieldCache<Mac, sizeof g_contMacAddr> cache;
    return cache.get(g_contMacAddr, [](const char *text) {
        unsigned v[6] = {};
        sscanf(text, "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
        Mac mac;
        for (int i = 0; i < 6; ++i)
            mac.bytes[i] = static_cast<unsigned char>(v[i]);
        return mac;
    });
}

// Updates the 16-bit checksum stored at sum for a 32-bit field it covers that changes
// from `from` to `to` (both as they lie in memory), by RFC 1624 eqn. 3:
// HC' = ~(~HC + ~m + m'). Unlike a recomputation this keeps whatever error the segment
// already had: a frame damaged on its way in still fails verification afterwards. On a
// valid checksum the result is the one a recomputation gives, 0x0000 included (RFC
// 1141's HC' = HC + m + ~m', eqn. 2 there, gives 0xffff instead). The one's-complement
// sum is the same in either byte order, so the words are summed as they lie in memory.
void adjustChecksum(unsigned char *sum, uint32_t from, uint32_t to) {
    uint32_t acc = static_cast<uint16_t>(~load16(sum));
    acc += (~from & 0xffff) + (~from >> 16) + (to & 0xffff) + (to >> 16);
    acc = (acc & 0xffff) + (acc >> 16);
    acc = (acc & 0xffff) + (acc >> 16);
    // The folded sum is 0 only when every term was; it then stands for the same value as
    // 0xffff, the form a sum over any real header takes (never 0: the header has
    // non-zero words), so the result matches a recomputation there too.
    if (acc == 0)
        acc = 0xffff;
    const uint16_t out = static_cast<uint16_t>(~acc);
    memcpy(sum, &out, 2);
}

// Stores the IPv4 address addr (network order) at offset at of the frame, the source or
// destination field, and updates the IPv4 header and TCP checksums (the TCP pseudo-header
// holds both addresses) for the change.
void writeAddress(const TcpFrame &f, size_t at, uint32_t addr) {
    const uint32_t old = load32(f.buf + at);
    memcpy(f.buf + at, &addr, 4);
    adjustChecksum(f.buf + kIpCheckOff, old, addr);
    adjustChecksum(f.buf + f.tcpOff + kTcpCheckOff, old, addr);
}

// Client to server: destination MAC and address become the server's.
void toServer(const TcpFrame &f, const lbServer_node_t *server) {
    memcpy(f.buf, server->lbServMac, 6);
    writeAddress(f, kIpDstOff, server->lbServIp.s_addr);
}

// Server to client: source MAC becomes the controller's, source address the VIP.
void toClient(const TcpFrame &f) {
    memcpy(f.buf + 6, controllerMac().bytes, 6);
    const uint32_t addr = vipAddr().addr;
    writeAddress(f, kIpSrcOff, addr);
    if (Gv_noPrint == 0)
        printf("saddr %d\n", static_cast<int32_t>(addr));
}

uint64_t fold(uint64_t sum) {
    sum = (sum & 0xffff) + (sum >> 16);
    return sum + (sum >> 16);
}

// Sum of the 16-bit words of len bytes as they lie in memory; an odd last byte is the
// first byte of a word whose second byte is 0.
uint64_t wordSum(const unsigned char *p, size_t len) {
    uint64_t sum = 0;
    for (; len > 1; p += 2, len -= 2)
        sum += load16(p);
    if (len == 1) {
        const unsigned char last[2] = {*p, 0};
        sum += load16(last);
    }
    return sum;
}

}  // namespace

// True when addr (network order) is the configured VIP, as the dotted text of addr
// equal to g_vipIPAddr.
bool isVip(uint32_t addr) {
    const VipAddr &vip = vipAddr();
    return vip.dotted && addr == vip.addr;
}

// inet_addr of g_cont1IPAddr (network order; INADDR_NONE for a text it cannot parse).
uint32_t controllerAddr() {
    static FieldCache<uint32_t, sizeof g_cont1IPAddr> cache;
    return cache.get(g_cont1IPAddr, [](const char *text) { return inet_addr(text); });
}

Readdressed readdress(lbServer_node_t *lbServEnt, unsigned char *buf, int buf_len, int tcpflag) {
    TcpFrame f;
    const Readdressed untouched{false, 0, nullptr, false};
    if (!parseFrame(buf, buf_len, &f))
        return untouched;
    lbFlow_t *entry = lbFlowTable_getEntry(srcIp(f), srcPort(f));
    if (entry != nullptr && entry->lbPending)
        return untouched;  // nothing of it passes before its SYN has left
    const bool fromClient = entry != nullptr || (tcpflag == LB_TCP_SYN && lbServEnt != nullptr);
    if (fromClient) {
        toServer(f, entry != nullptr ? entry->lbServConfPtr : lbServEnt);
    } else {
        entry = lbFlowTable_getEntry(dstIp(f), dstPort(f));
        if (entry == nullptr || entry->lbPending)
            return untouched;
        toClient(f);
    }
    return {true, load16(buf + f.tcpOff), entry, fromClient};
}

}  // namespace lbpkt

using namespace lbpkt;

uint16_t checksum(const void *addr, int len) {
    if (addr == nullptr || len <= 0)
        return 0xffff;
    const uint64_t sum =
        fold(wordSum(static_cast<const unsigned char *>(addr), static_cast<size_t>(len)));
    return static_cast<uint16_t>(~sum);
}

uint16_t tcp_sum_calc(uint16_t len_tcp, const void *src_addr, const void *dest_addr,
                      const void *buff) {
    uint64_t sum = wordSum(static_cast<const unsigned char *>(buff), len_tcp);
    sum += wordSum(static_cast<const unsigned char *>(src_addr), 4);
    sum += wordSum(static_cast<const unsigned char *>(dest_addr), 4);
    sum += htons(len_tcp);
    sum += htons(IPPROTO_TCP);
    return static_cast<uint16_t>(~fold(sum));
}

unsigned int lbHandleTcpOpen(lbServer_node_t *lbServEnt, unsigned char *buf, int buf_len,
                             int tcpflag) {
    const Readdressed r = readdress(lbServEnt, buf, buf_len, tcpflag);
    return r.rewritten ? LB_TCP_REWRITTEN | r.portField : 0;
}

lbFlow_t *lbHandleTcpClose(unsigned char *buf, int buf_len, lbServer_node_t **lbServer,
                           int tcpFlag) {
    (void)tcpFlag;
    TcpFrame f;
    if (!parseFrame(buf, buf_len, &f))
        return nullptr;
    lbFlow_t *entry = lbFlowTable_getEntry(srcIp(f), srcPort(f));
    if (entry != nullptr && entry->lbPending)
        return nullptr;  // nothing of it passes before its SYN has left
    if (entry != nullptr) {
        if (Gv_noPrint == 0)
            printf(
                "FIN ACK/RST from client %x to serevr ip 0x%x, clieot tcp port%d,server tcp "
                "port%d\n",
                srcIp(f), dstIp(f), srcPort(f), dstPort(f));
        toServer(f, entry->lbServConfPtr);
    } else {
        entry = lbFlowTable_getEntry(dstIp(f), dstPort(f));
        if (Gv_noPrint == 0)
            printf(
                "FIN Ack from Server %x to client ip 0x%x, client tcp port%d,server tcp "
                "port%d\n",
                srcIp(f), dstIp(f), dstPort(f), srcPort(f));
        if (entry == nullptr || entry->lbPending)
            return nullptr;
        toClient(f);
    }
    if (lbServer != nullptr)
        *lbServer = entry->lbServConfPtr;
    return entry;
}