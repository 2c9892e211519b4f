#include "packet/lbCtrlMain.h"

#include <arpa/inet.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/lbGlobals.h"
#include "common/lbUtil.h"
#include "config/lbCtrlApi.h"
#include "controller/lbCtrlMsg.h"
#include "controller/lbCurl/fillrest.h"
#include "controller/lbCurl/lb_getpath_restapi.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "controller/lbCurl/restApi.h"
#include "rawsock/lb_rawsock.h"

namespace {

// Offsets of an IPv4 header and its fields inside an Ethernet frame.
constexpr size_t kIpOff = LB_ETH_HLEN;
constexpr size_t kIpTotLenOff = kIpOff + 2;
constexpr size_t kIpCheckOff = kIpOff + 10;
constexpr size_t kIpSrcOff = kIpOff + 12;
constexpr size_t kIpDstOff = kIpOff + 16;
constexpr size_t kMinHdr = 20;  // shortest IPv4 and TCP headers
// Offsets inside the TCP header.
constexpr size_t kTcpDstPortOff = 2;
constexpr size_t kTcpDoffOff = 12;
constexpr size_t kTcpCheckOff = 16;
constexpr int kTries = 3;  // node queries for the balancer's own port, and for a client
static_assert(LB_IPSTR_LEN >= INET_ADDRSTRLEN, "address texts fit their buffers");

// Where the headers of a TCP frame lie, once they were checked to fit in the frame.
struct TcpFrame {
    unsigned char *buf;
    size_t ihl;     // IPv4 header length in bytes
    size_t tcpOff;  // start of the TCP header in the frame
    size_t totLen;  // IPv4 total length
};

uint16_t load16(const unsigned char *p) {
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

uint32_t load32(const unsigned char *p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

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

// A value parsed from one of the configured text fields (g_vipIPAddr, g_cont1IPAddr,
// g_contMacAddr, g_addFlowTmr), kept with a copy of the field's bytes. The loaders, and
// tests between frames, rewrite these fields in place while the process runs, so the
// value is parsed again whenever the field's bytes differ from that copy: a frame then
// costs one comparison of the field instead of a parse. Used on the packet thread only.
template <typename Value, size_t N>
class FieldCache {
  public:
    // The value of the N-byte field at field (a text that may lack its terminator), as
    // parse(text) gives it for the field's present bytes.
    template <typename Parse>
    const Value &get(const void *field, Parse parse) {
        if (!filled_ || memcmp(seen_, field, N) != 0) {
            memcpy(seen_, field, N);
            char text[N + 1];
            lbCopyField(text, seen_, N);
            value_ = parse(text);
            filled_ = true;
        }
        return value_;
    }

  private:
    unsigned char seen_[N] = {};
    bool filled_ = false;  // an all-zero field must be parsed too
    Value value_{};
};

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

// Posts every rule of every hop of entry e (which has a server) with the idle time-out
// held in the configured text timeoutField (g_addFlowTmr or g_delFlowTmr), in hop order,
// each followed by its line when diagnostics are on. Setup, repair and reset all post
// through here.
void postConnectionRules(const lbFlow_t *e, const unsigned char (&timeoutField)[20], int adding) {
    const dlist_head *head = &e->client_pathlist_hdr;
    if (head->next == nullptr)
        return;  // never initialised: no hops
    lbConnTexts t;
    lbConnTextsFill(&t, e->lbClientSrcIp, e->lbClientSrcTcpPort, e->lbServConfPtr->lbServIp.s_addr,
                    e->lbServerTcpPort);
    char timeout[sizeof timeoutField + 1];
    lbCopyField(timeout, timeoutField, sizeof timeoutField);
    for (const dlist_node *n = head->next; n != head; n = n->next) {
        const auto *hop = static_cast<const pathlist_node_t *>(n->data);
        lbRuleRequest req[LB_MAX_HOP_RULES];
        const int count = lbHopRules(&t, hop, timeout, req);
        if (count < 0) {
            printf("Rules for switch %016llx do not fit their buffers: not sent\n",
                   static_cast<unsigned long long>(hop->node_dpid));
            continue;
        }
        if (!adding && count == 4 && Gv_noPrint == 0)
            printf("URL################ %s \n", req[0].url);
        for (int i = 0; i < count; ++i) {
            setSwitchFlow(req[i].url, req[i].body);
            if (Gv_noPrint == 0)
                lbPrintRuleLine(adding, &req[i], &t);
        }
    }
}

// Undoes a setup whose path could not be built: the links gathered so far are dropped,
// the entry removed and the server's count restored.
void rollbackSetup(lbFlow_t *entry) {
    num_pathnodes = 0;
    lbServer_node_t *server = entry->lbServConfPtr;
    del_pathlist(&entry->client_pathlist_hdr);
    server->numConn--;
    lbFlowTable_removeEntry(entry);
    lbServerRemoveIfDrained(server);
}

// Queries the forward path src -> dst and tells whether it added links: a path between
// two different switches has at least one, and links left from an earlier query of the
// same setup must not pass for this one's.
bool findPath(const char *src, const char *dst, const char *ctrlAddr, uint16_t clientPort,
              uint16_t servOutPort) {
    const uint32_t before = num_pathnodes;
    const uint32_t after = lb_findpath(nullptr, src, dst, ctrlAddr, clientPort, servOutPort);
    return after != 0 && after > before;
}

}  // namespace

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

namespace {

// What readdressing a segment found: its connection (null for a SYN towards the server
// just chosen, whose entry does not exist yet) and whether it came from the client.
struct Readdressed {
    unsigned int portField;  // the TCP source port field as stored; 0: frame untouched
    lbFlow_t *entry;
    bool fromClient;
};

Readdressed readdress(lbServer_node_t *lbServEnt, unsigned char *buf, int buf_len, int tcpflag) {
    TcpFrame f;
    if (!parseFrame(buf, buf_len, &f))
        return {0, nullptr, false};
    lbFlow_t *entry = lbFlowTable_getEntry(srcIp(f), srcPort(f));
    const bool fromClient = entry != nullptr || (tcpflag == LB_TCP_SYN && lbServEnt != nullptr);
    if (fromClient) {
        toServer(f, entry != nullptr ? entry->lbServConfPtr : lbServEnt);
    } else {
        entry = lbFlowTable_getEntry(dstIp(f), dstPort(f));
        if (entry == nullptr)
            return {0, nullptr, false};
        toClient(f);
    }
    return {load16(buf + f.tcpOff), entry, fromClient};
}

}  // namespace

unsigned int lbHandleTcpOpen(lbServer_node_t *lbServEnt, unsigned char *buf, int buf_len,
                             int tcpflag) {
    return readdress(lbServEnt, buf, buf_len, tcpflag).portField;
}

lbFlow_t *lbHandleTcpClose(unsigned char *buf, int buf_len, lbServer_node_t **lbServer,
                           int tcpFlag) {
    (void)tcpFlag;
    TcpFrame f;
    if (!parseFrame(buf, buf_len, &f))
        return nullptr;
    lbFlow_t *entry = lbFlowTable_getEntry(srcIp(f), srcPort(f));
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
        if (entry == nullptr)
            return nullptr;
        toClient(f);
    }
    if (lbServer != nullptr)
        *lbServer = entry->lbServConfPtr;
    return entry;
}

int lbGetHostInfo(uint32_t ipAddr, const unsigned char *vlanId, char *dpid, uint16_t *port) {
    NODE_DATA rec{};
    lbFormat(rec.node_ip, sizeof rec.node_ip, "NULL");
    lbFormat(rec.switch_dpid, sizeof rec.switch_dpid, "NULL");
    char ctrlAddr[LB_CTRL_HOSTPORT_LEN];
    char host[INET_ADDRSTRLEN];
    char vlan[sizeof g_vlanId + 1] = "";
    char url[1024];
    if (vlanId != nullptr)
        lbCopyField(vlan, vlanId, sizeof g_vlanId);
    lbCtrlHostPort(ctrlAddr, sizeof ctrlAddr, g_cont1IPAddr);
    inet_ntop(AF_INET, &ipAddr, host, sizeof host);
    int rc = 0;
    if (lbCtrlUrl(url, sizeof url, 1, ctrlAddr, "v2.0", "/net/nodes?vid=%s&ip=%s", vlan, host) > 0)
        rc = getSwitchFlow(url, &rec);
    *port = static_cast<uint16_t>(rec.node_port);
    lbFormat(dpid, LB_DPID_TEXT_LEN, "%.*s",
             static_cast<int>(strnlen(rec.switch_dpid, sizeof rec.switch_dpid)), rec.switch_dpid);
    if (Gv_noPrint == 0)
        printf("\nsource dpid = %s client ip_addr %s\n", dpid, host);
    return rc;
}

lbFlow_t *lbAddFlow(lbServer_node_t *lbServEnt, const unsigned char *buf, uint32_t lbClientSrcIp,
                    const char *lbClientSrcMac, const char *dstDpid, uint16_t servOutPort) {
    (void)lbClientSrcMac;  // the client's MAC is taken from the frame
    if (Gv_noPrint == 0)
        printf("%s: \n", "lbAddFlow");
    if (lbServEnt == nullptr || buf == nullptr || dstDpid == nullptr)
        return nullptr;
    const size_t tcpOff = kIpOff + static_cast<size_t>(buf[kIpOff] & 0x0f) * 4;
    const int clientTcpPort = ntohs(load16(buf + tcpOff));
    const int servicePort = ntohs(load16(buf + tcpOff + kTcpDstPortOff));
    const unsigned char *clientMac = buf + 6;
    char ctrlAddr[LB_CTRL_HOSTPORT_LEN];
    lbCtrlHostPort(ctrlAddr, sizeof ctrlAddr, g_cont1IPAddr);

    int tries = 0;
    while (setlbAppPort() == -1) {
        if (++tries == kTries) {
            printf("\nPlease check lbapp connectivity with the switch\n...");
            return nullptr;
        }
    }
    char lbDpid[sizeof g_switchDpId + 1];
    lbCopyField(lbDpid, g_switchDpId, sizeof g_switchDpId);

    char clientDpid[LB_DPID_TEXT_LEN];
    uint16_t clientPort = 0;
    for (tries = 0; tries < kTries && clientPort == 0; ++tries)
        lbGetHostInfo(lbClientSrcIp, g_vlanId, clientDpid, &clientPort);
    if (clientPort == 0) {
        printf("\nPlease check client connectivity with the switch\n...");
        return nullptr;
    }
    if (Gv_noPrint == 0) {
        printf("\nsource dpid = %s\n", clientDpid);
        printf("\ndest dpid = %s\n", dstDpid);
    }
    const bool clientOnLb = strcmp(clientDpid, lbDpid) == 0;
    const bool serverOnLb = strcmp(dstDpid, lbDpid) == 0;
    if ((clientOnLb && clientPort == g_lbAppPort) || (serverOnLb && servOutPort == g_lbAppPort)) {
        printf("Client or Server Switch port same as VARNAPP Switch port%d\n", g_lbAppPort);
        return nullptr;
    }

    lbFlow_t *entry = lbServFlowTable_createEntry(lbServEnt, lbClientSrcIp, clientTcpPort,
                                                  clientPort, clientMac, servicePort);
    if (entry == nullptr) {
        if (Gv_noPrint == 0) {
            char client[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &lbClientSrcIp, client, sizeof client);
            printf("Could not create a Flow entry of ip = %s, Tcpport = %d from port = %d\n",
                   client, clientTcpPort, clientPort);
        }
        return nullptr;
    }
    entry->lbServOutPort = servOutPort;
    entry->lbClientInPort = clientPort;

    dlist_head *hops = &entry->client_pathlist_hdr;
    dlist_init(hops);
    if (clientOnLb && serverOnLb) {
        if (Gv_noPrint == 0)
            printf("Src and Dst dpid's are same %s\n", clientDpid);
        uint64_t dpid = 0;
        lb_dpid_to_ull(clientDpid, &dpid);
        add_pathlist_node(hops, dpid, clientPort, servOutPort);
        if (dlist_empty(hops)) {
            printf("create pathlist failed");
            rollbackSetup(entry);
            return nullptr;
        }
    } else {
        num_pathnodes = 0;  // links of this setup only
        if (!clientOnLb && !findPath(clientDpid, lbDpid, ctrlAddr, clientPort, servOutPort)) {
            printf("findpath from client to lbapp failed\\n)");
            rollbackSetup(entry);
            return nullptr;
        }
        if (!serverOnLb && !findPath(lbDpid, dstDpid, ctrlAddr, clientPort, servOutPort)) {
            printf("findpath from lbapp to server failed\\n)");
            rollbackSetup(entry);
            return nullptr;
        }
        if (create_pathlist(hops, clientDpid, dstDpid, ctrlAddr, clientPort, servOutPort) == 0 ||
            dlist_empty(hops)) {
            printf("create pathlist failed");
            rollbackSetup(entry);
            return nullptr;
        }
    }

    if (Gv_noPrint == 0)
        printf("Adding flow for all the switches in the path, pathlist hdr############\n");
    postConnectionRules(entry, g_addFlowTmr, 1);
    // The rules' idle clocks start now, however long the requests took.
    entry->lbClientSeenMs = entry->lbServerSeenMs = lbFlowClock();
    if (Gv_noPrint == 0)
        printf("Adding flow for all switches completed ##########");
    return entry;
}

int lbDelFlow(const unsigned char *buf, lbFlow_t *lbFlowEntryPtr, int tcpFlag) {
    if (Gv_noPrint == 0)
        printf("%s: \n", "lbDelFlow");
    lbServer_node_t *server = lbFlowEntryPtr != nullptr ? lbFlowEntryPtr->lbServConfPtr : nullptr;
    if (server == nullptr) {
        if (Gv_noPrint == 0)
            printf("returning NULL from %s\n", "lbDelFlow");
        return 0;
    }
    postConnectionRules(lbFlowEntryPtr, g_delFlowTmr, 0);

    del_pathlist(&lbFlowEntryPtr->client_pathlist_hdr);
    server->numConn--;
    const int outPort = lbFlowEntryPtr->lbServOutPort;
    lbFlowTable_removeEntry(lbFlowEntryPtr);
    lbServerRemoveIfDrained(server);
    if (tcpFlag == LB_TCP_RST && Gv_noPrint == 0 && buf != nullptr)
        printf("Recieved RST from  %x #################\n", load32(buf + kIpSrcOff));
    return outPort;
}

// ---- Dispatch ------------------------------------------------------------------------

lbPktSendFn lbPktSend = lb_client_rawsock_send;
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

// Sends a forwarded frame through the seam; a frame that left sets endtv and totaltime.
int forward(const unsigned char *buf, int len) {
    const int rc = lbPktSend != nullptr ? lbPktSend(buf, static_cast<uint32_t>(len)) : -1;
    if (rc == 0) {
        gettimeofday(&endtv, nullptr);
        struct timeval took;
        timersub(&endtv, &starttv, &took);
        const float secs =
            static_cast<float>(took.tv_sec) + static_cast<float>(took.tv_usec) / 1e6f;
        totaltime = secs > 0 ? secs : 0;
    }
    return rc;
}

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
// client from the server's own address. The frame is forwarded afterwards either way.
void keepRules(lbFlow_t *e, bool fromClient) {
    if (e == nullptr)
        return;
    const int64_t now = lbFlowClock();
    const int64_t oldest =
        e->lbClientSeenMs < e->lbServerSeenMs ? e->lbClientSeenMs : e->lbServerSeenMs;
    const int64_t agedAfter = rulesAgedAfterMs();
    if (agedAfter > 0 && now - oldest >= agedAfter && e->lbServConfPtr != nullptr) {
        if (Gv_noPrint == 0)
            printf("Rules of %s:%d posted again after %lld ms without a frame\n",
                   AddrText(e->lbClientSrcIp).text, e->lbClientSrcTcpPort,
                   static_cast<long long>(now - oldest));
        postConnectionRules(e, g_addFlowTmr, 1);
        e->lbClientSeenMs = e->lbServerSeenMs = now;
    }
    lbFlowSeen(e, fromClient, now);
}

// A SYN without ACK: a new connection to the VIP, balanced to the least-loaded server
// that the controller can locate, its rules in place before the SYN leaves.
void openConnection(unsigned char *buf, int len, const Ports &ports, uint32_t dst) {
    if (Gv_noPrint == 0) {
        printf("\n Got a TCP SYNC packet ");
        printf("\n ============> daddr = %s ", AddrText(dst).text);
    }
    if (!isVip(dst))
        return;
    const uint32_t client = load32(buf + kIpSrcOff);
    uint16_t servOutPort = 0;
    printf("received TCP SYN\n");
    if (g_lbNumServers == 0) {
        printf("There are no servers\n");
        return;
    }
    if (lbFlowTable_getEntry(client, ports.src) != nullptr)
        return;  // a retransmission: the connection is being or was set up
    lbServer_node_t *server = nullptr;
    char serverDpid[LB_DPID_TEXT_LEN];
    for (;;) {
        server = lbGetNodeWithLessConn();
        if (server == nullptr) {
            printf("All servers are either Locked/Not reachable/MAX Connections Reached\n");
            return;
        }
        lbGetHostInfo(server->lbServIp.s_addr, g_vlanId, serverDpid, &servOutPort);
        if (servOutPort != 0)
            break;
        server->servNotReachable = 1;  // skipped until the next tick clears the mark
    }
    if (lbHandleTcpOpen(server, buf, len, LB_TCP_SYN) == 0) {
        printf("Could not add a flow\n");
        return;
    }
    // lbAddFlow takes the client's MAC from the frame itself.
    if (lbAddFlow(server, buf, client, nullptr, serverDpid, servOutPort) == nullptr) {
        printf("Could not add a flow\n");
        return;
    }
    if (forward(buf, len) != 0) {
        if (Gv_noPrint == 0)
            printf("Tx Pkt Failed in TCP SYN packet");
    } else if (Gv_noPrint == 0) {
        printf("TCP SYN packet forwarded to Port = %d \n", server->lbSwitchPort);
    }
}

// A FIN with ACK or a reset, from either side of a known connection: rewritten and sent;
// a reset tears the connection down before the send, a FIN with ACK (re)starts the
// count of the expiry walks that remove it.
void closeConnection(unsigned char *buf, int len, int code) {
    if (g_lbNumServers == 0) {
        if (Gv_noPrint == 0)
            printf("For FINACK, number of Servers are %d", g_lbNumServers);
        return;
    }
    lbServer_node_t *server = nullptr;
    lbFlow_t *entry = lbHandleTcpClose(buf, len, &server, code);
    if (entry == nullptr) {
        if (Gv_noPrint == 0)
            printf("No Server  OR the packet tuples were not found");
        return;
    }
    const int clientInPort = entry->lbClientInPort;
    if (code == LB_TCP_FINACK) {
        // The rewritten frame still carries the client's own source when it came from it.
        const bool fromClient = load32(buf + kIpSrcOff) == entry->lbClientSrcIp;
        keepRules(entry, fromClient);
        entry->deleteFlowSet = 1;
    } else {
        lbDelFlow(buf, entry, code);
    }
    if (forward(buf, len) != 0) {
        if (Gv_noPrint == 0)
            printf("Tx Pkt Failed in TCP FIN+RST packet");
    } else if (Gv_noPrint == 0) {
        printf("TCP FIN+RST sent to Port = %d \n", clientInPort);
    }
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
    if (r.portField == 0)
        return;
    keepRules(r.entry, r.fromClient);
    if (forward(buf, len) != 0 && Gv_noPrint == 0)
        printf("Tx Pkt Failed in TCP SYN packet");
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

void lbHandlePktin(unsigned char *pktBuff, int tot_len) {
    timerclear(&starttv);
    timerclear(&endtv);
    gettimeofday(&starttv, nullptr);
    if (pktBuff == nullptr || tot_len < static_cast<int>(LB_ETH_HLEN))
        return;
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
        return;
    }
    if (ethType != kEthTypeIpv4 || !ipv4Fits(pktBuff, n))
        return;
    // Addresses are compared as they lie in the frame; their dotted texts are made only
    // for the lines printed.
    const uint32_t src = load32(pktBuff + kIpSrcOff), dst = load32(pktBuff + kIpDstOff);
    if (Gv_noPrint == 0)
        printf("\n ===========>clienttmpip2 is %s ", AddrText(src).text);
    if (src == dst)
        return;
    const uint32_t ctrl = controllerAddr();
    if (src == ctrl || dst == ctrl)
        return;  // the balancer's own traffic with the controller
    const uint8_t proto = pktBuff[kIpProtoOff];
    if (proto == kIpProtoIcmp && Gv_noPrint == 0)
        printf("normal Received ICMP packet");
    Ports ports;
    if (proto != kIpProtoTcp || !tcpFits(pktBuff, &ports))
        return;
    if (ports.dst == LB_CONSOLE_PORT && isVip(dst))
        return;  // the console: the host's own stack answers it
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
            break;
    }
}
