// Pieces of the packet path shared by its files (dispatch, rewriting, setup and
// teardown): frame offsets, unaligned loads, the cache of parsed configuration texts and
// the readdressing step. Private to src/packet; packet thread only unless said otherwise.
#pragma once

#include <arpa/inet.h>
#include <stddef.h>
#include <stdint.h>

#include <cstring>

#include "common/lbMetrics.h"
#include "common/lbUtil.h"
#include "controller/lbCtrlMsg.h"
#include "flowtable/lbFlowDb.h"
#include "packet/lbCtrlMain.h"
#include "pool/lbServerList.h"

namespace lbpkt {

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

inline uint16_t load16(const unsigned char *p) {
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

inline uint32_t load32(const unsigned char *p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
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

// Counts a frame handed to lbPktSend: forwarded when the send returned 0, else dropped.
inline void lbCountSent(int rc) {
    if (rc == 0)
        lbCount(LB_C_FRAMES_FORWARDED);
    else
        lbCountDrop(LB_DROP_SEND_FAILED);
}

// True when addr (network order) is the configured VIP, as the dotted text of addr
// equal to g_vipIPAddr.
bool isVip(uint32_t addr);

// inet_addr of g_cont1IPAddr (network order; INADDR_NONE for a text it cannot parse).
uint32_t controllerAddr();

// What readdressing a segment found: its connection (null for a SYN towards the server
// just chosen, whose entry does not exist yet) and whether it came from the client.
struct Readdressed {
    bool rewritten;          // false: the frame is untouched
    unsigned int portField;  // the TCP source port field as stored
    lbFlow_t *entry;
    bool fromClient;
};

// Readdresses a frame as lbHandleTcpOpen does and says what it found.
Readdressed readdress(lbServer_node_t *lbServEnt, unsigned char *buf, int buf_len, int tcpflag);

// Posts every rule of every hop of entry e (which has a server) with the idle time-out
// held in the configured text timeoutField (g_addFlowTmr or g_delFlowTmr), in hop order,
// each followed by its line when diagnostics are on. Setup, repair and reset all post
// through here. With a frame (len > 0, already readdressed) the frame leaves once every
// request has been answered; returns true when it was so handed over (an engine runs),
// false when the caller still has to send it.
bool postConnectionRules(const lbFlow_t *e, const unsigned char (&timeoutField)[20], int adding,
                         const unsigned char *frame = nullptr, int len = 0);

// True when e's rules are being put back: the frame (readdressed) is then held to leave
// after them (or dropped when too many wait), and the caller does not send it.
bool holdWhileRulesComeBack(const lbFlow_t *e, const unsigned char *frame, int len);

// What is printed, with diagnostics on, once a queued frame's send is known: failLine
// when it failed, okFormat with okPort when it left (either may be null).
struct SendLines {
    const char *failLine;
    const char *okFormat;
    int okPort;
};

// Queues a forwarded frame (len bytes at buf, readdressed) to leave with the others of
// its receive batch. buf must stay untouched until sendQueued. Packet thread only.
void queueFrame(const unsigned char *buf, int len, const SendLines &lines);

// Sends every queued frame through lbPktSend in one call, in the order queued, prints
// their lines, and sets endtv and totaltime when any left. Packet thread only.
void sendQueued();

}  // namespace lbpkt
