// Frame readdressing in both directions: each case is an input frame, what it is, the
// verdict and the expected output frame (built independently, checksums included).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <tuple>

#include "common/lbGlobals.h"
#include "frame_util.h"
#include "packet/lbCtrlMain.h"
#include "support/lbtest_util.h"

namespace {

using namespace lbtest;

class Rewrite : public testing::Test {
  protected:
    void SetUp() override {
        resetState();
        snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", kVip);
        snprintf(reinterpret_cast<char *>(g_contMacAddr), sizeof g_contMacAddr, "2:0:0:0:1:0");
        lbFlowTable_create();
        server_ = addServer(kServer, "web");
        putMac(server_->lbServMac, kServerMac);
        entry_ = lbServFlowTable_createEntry(server_, inet_addr(kClient), 40000, 3, nullptr, 80);
    }
    void TearDown() override { resetState(); }

    lbServer_node_t *server_ = nullptr;
    lbFlow_t *entry_ = nullptr;
};

TEST_F(Rewrite, FramesAreReaddressedInPlaceOrLeftAlone) {
    FrameSpec syn{.srcIp = "192.0.2.20", .dstIp = kVip, .sport = 41000, .flags = 0x02};
    FrameSpec stranger{.srcIp = "192.0.2.99", .dstIp = kVip, .sport = 5};
    // Port 0 is a port like any other: on the client's side, and on the server's.
    FrameSpec portZero{.srcIp = "192.0.2.21", .dstIp = kVip, .sport = 0, .dport = 0};
    ASSERT_NE(lbServFlowTable_createEntry(server_, inet_addr("192.0.2.21"), 0, 3, nullptr, 0),
              nullptr);
    // Frames of the known connection 192.0.2.10:40000 <-> VIP:80 served by 198.51.100.11.
    FrameSpec fromServerPortZero = fromServer(40000, 0x10, 2);
    fromServerPortZero.sport = 0;
    FrameSpec padded = fromServer(40000, 0x10), seg = fromClient(40000, 0x10);
    padded.padTo = 60;
    const FrameSpec clientFin = fromClient(40000, 0x11), serverRst = fromServer(40000, 0x04);
    FrameSpec strangerFin = stranger;
    strangerFin.flags = 0x11;
    const auto cut = [](size_t n) { return [n](Bytes &f) { f.resize(n); }; };
    const struct {
        const char *what;
        Bytes in;
        int flag;
        bool chosen;     // the caller passes the chosen server
        Bytes expected;  // empty: the frame stays as it came
    } cases[] = {
        // clang-format off
        {"client segment from port 0", buildFrame(portZero), LB_TCP_OTHER, false, toServer(portZero)},
        {"server reply from port 0", buildFrame(fromServerPortZero), LB_TCP_OTHER, false, fromVip(fromServerPortZero)},
        {"client SYN with a chosen server", buildFrame(syn), LB_TCP_SYN, true, toServer(syn)},
        {"server reply padded to 60 bytes", buildFrame(padded), LB_TCP_OTHER, false, fromVip(padded)},
        {"FIN+ACK from the client", buildFrame(clientFin), LB_TCP_FINACK, false, toServer(clientFin)},
        {"RST from the server", buildFrame(serverRst), LB_TCP_RST, false, fromVip(serverRst)},
        {"segment of no connection", buildFrame(stranger), LB_TCP_OTHER, false, {}},
        {"FIN+ACK of no connection", buildFrame(strangerFin), LB_TCP_FINACK, false, {}},
        {"SYN of no connection without a server", buildFrame(syn), LB_TCP_SYN, false, {}},
        {"frame cut inside the TCP header", changed(seg, cut(50)), LB_TCP_OTHER, false, {}},
        {"FIN+ACK cut short", changed(clientFin, cut(40)), LB_TCP_FINACK, false, {}},
        {"Ethernet header only", changed(seg, cut(14)), LB_TCP_OTHER, false, {}},
        {"IPv4 total length beyond the frame", changed(fromClient(40000, 0x10, 2), [](Bytes &f) { f[17] += 1; }), LB_TCP_OTHER, false, {}},
        {"IPv4 total length short of the headers", changed(seg, [](Bytes &f) { f[17] = 30; }), LB_TCP_OTHER, false, {}},
        {"IHL below 5", changed(seg, [](Bytes &f) { f[14] = 0x44; }), LB_TCP_OTHER, false, {}},
        {"TCP data offset below 5", changed(seg, [](Bytes &f) { f[46] = 4 << 4; }), LB_TCP_OTHER, false, {}},
        {"TCP options beyond the frame", changed(seg, [](Bytes &f) { f[46] = 15 << 4; }), LB_TCP_OTHER, false, {}},
        // clang-format on
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes frame = c.in;
        const int len = static_cast<int>(frame.size());
        const bool rewritten = !c.expected.empty();
        if (c.flag == LB_TCP_FINACK || c.flag == LB_TCP_RST) {
            lbServer_node_t *server = nullptr;
            EXPECT_EQ(lbHandleTcpClose(frame.data(), len, &server, c.flag),
                      rewritten ? entry_ : nullptr);
            EXPECT_EQ(server, rewritten ? server_ : nullptr);
        } else {
            const unsigned rc =
                lbHandleTcpOpen(c.chosen ? server_ : nullptr, frame.data(), len, c.flag);
            uint16_t sport = 0;  // the source port field as stored
            if (rewritten)
                memcpy(&sport, &frame[14 + (frame[14] & 0xf) * 4], 2);
            EXPECT_EQ(rc, rewritten ? LB_TCP_REWRITTEN | sport : 0u);
        }
        EXPECT_EQ(frame, rewritten ? c.expected : c.in);
        EXPECT_TRUE(!rewritten || checksumsValid(frame));
    }
}

// Rewrites one frame with the entry point of its kind: a FIN with ACK or a reset through
// lbHandleTcpClose, which finds the connection from either end, anything else through
// lbHandleTcpOpen. Returns the frame as it left.
Bytes rewrite(Bytes frame) {
    const int len = static_cast<int>(frame.size());
    const uint8_t flags = frame[14 + (frame[14] & 0xf) * 4 + 13];
    if (flags == 0x11 || flags == 0x04)
        lbHandleTcpClose(frame.data(), len, nullptr, flags == 0x04 ? LB_TCP_RST : LB_TCP_FINACK);
    else
        lbHandleTcpOpen(nullptr, frame.data(), len, LB_TCP_OTHER);
    return frame;
}

// Random connections, configurations and frames (fixed seed), both directions through
// both entry points: random lengths (odd ones too), IPv4 options, padding, payloads and
// header fields; the VIP and controller MAC texts change at every frame. Each frame must
// leave as the frame rewritten here and given both checksums anew. Some are steered
// (through the IPv4 id and TCP window, which the rewrite leaves alone) to the corner cases
// of an incremental update: a checksum that comes out 0x0000, or arrives as 0x0000, as
// 0xffff (the other zero, which verifies too), or as 0xfffe or 0xfeff (a sum that carries
// again after its first fold, in either byte order, 0.0.0.0 readdressed to 255.255.255.255).
TEST_F(Rewrite, ChecksumUpdatesMatchARecomputation) {
    std::mt19937 rnd(1624);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rnd() % n); };
    auto addr = [&] {
        const uint32_t kind = pick(8), a = kind == 0 ? 0 : kind == 1 ? 0xffffffff : rnd();
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &a, text, sizeof text);
        return std::string(text);
    };
    // Sets the word at `at` in both frames so that target's checksum comes out as sum.
    auto steer = [](Bytes &target, Bytes &other, size_t at, size_t sumAt,
                    uint32_t (*sumOf)(const Bytes &), uint16_t sum) {
        target[at] = target[at + 1] = target[sumAt] = target[sumAt + 1] = 0;
        const uint32_t rest = sumOf(target), want = static_cast<uint16_t>(~sum);
        const uint32_t word = want >= rest ? want - rest : want + 0xffff - rest;
        for (Bytes *f : {&target, &other}) {
            (*f)[at] = static_cast<unsigned char>(word >> 8);
            (*f)[at + 1] = static_cast<unsigned char>(word);
        }
    };
    for (int i = 0; i < 4000; ++i) {
        SCOPED_TRACE(i);
        const std::string client = addr(), server = addr(), vip = addr();
        const auto port = static_cast<uint16_t>(1024 + pick(60000));
        unsigned char ctrlMac[6], serverMac[6];
        for (int i = 0; i < 12; ++i)
            (i < 6 ? ctrlMac[i] : serverMac[i - 6]) = static_cast<unsigned char>(rnd());
        snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", vip.c_str());
        snprintf(reinterpret_cast<char *>(g_contMacAddr), sizeof g_contMacAddr, "%x:%x:%x:%x:%x:%x",
                 ctrlMac[0], ctrlMac[1], ctrlMac[2], ctrlMac[3], ctrlMac[4], ctrlMac[5]);
        inet_pton(AF_INET, server.c_str(), &server_->lbServIp);
        memcpy(server_->lbServMac, serverMac, 6);
        lbFlow_t *e =
            lbServFlowTable_createEntry(server_, inet_addr(client.c_str()), port, 3, nullptr, 80);
        ASSERT_NE(e, nullptr);

        const bool reply = pick(2);
        FrameSpec s = reply
                          ? FrameSpec{.srcIp = server, .dstIp = client, .sport = 80, .dport = port}
                          : FrameSpec{.srcIp = client, .dstIp = vip, .sport = port};
        const uint8_t flags[] = {0x18, 0x10, 0x12, 0x11, 0x04};
        s.flags = flags[pick(5)];
        s.payload = pick(1461);
        s.ipOptions = 4 * pick(11);
        s.padTo = pick(4) == 0 ? 60 : 0;
        Bytes in = buildFrame(s);
        const size_t tcp = 14 + 20 + s.ipOptions, sumAt = tcpSumAt(in);
        for (size_t at : {15, 18, 19, 22})  // type of service, id, time to live
            in[at] = static_cast<unsigned char>(rnd());
        for (size_t at = tcp + 4; at < 14 + in[16] * 256u + in[17]; ++at)
            if (at < tcp + 12 || at == tcp + 14 || at == tcp + 15 || at >= tcp + 18)
                in[at] = static_cast<unsigned char>(rnd());  // all but flags and checksum

        Bytes want = in;
        memcpy(&want[reply ? 6 : 0], reply ? ctrlMac : serverMac, 6);  // source or destination MAC
        inet_pton(AF_INET, (reply ? vip : server).c_str(), &want[reply ? 26 : 30]);
        // 0: as it comes; 1: 0x0000 after the rewrite; before it 2: 0x0000, 3: 0xffff,
        // 4: 0xfffe, 5: 0xfeff.
        const uint32_t ipKind = pick(2) ? 0 : 1 + pick(5), tcpKind = pick(2) ? 0 : 1 + pick(5);
        for (auto [kind, wordAt, fieldAt, sumOf] :
             {std::tuple{ipKind, size_t{18}, size_t{24}, &ipSum},
              {tcpKind, tcp + 14, sumAt, &tcpSum}}) {
            if (kind != 0)
                steer(kind == 1 ? want : in, kind == 1 ? in : want, wordAt, fieldAt, sumOf,
                      kind == 4   ? 0xfffe
                      : kind == 5 ? 0xfeff
                                  : 0);
        }
        setChecksums(in);
        setChecksums(want);
        if (ipKind == 3)
            in[24] = in[25] = 0xff;
        if (tcpKind == 3)
            in[sumAt] = in[sumAt + 1] = 0xff;
        ASSERT_TRUE(checksumsValid(in));
        // One in four arrives damaged, a bit of either checksum, of the sequence number or
        // of the segment's last byte flipped: it must leave as damaged as it came (both
        // sums as they came in), not covered with fresh checksums.
        const size_t spots[] = {
            24, 25, sumAt, sumAt + 1, tcp + 4, tcp + 7, 13u + in[16] * 256u + in[17]};
        const size_t at = pick(4) == 0 ? spots[pick(7)] : 0;
        if (at != 0) {
            const auto bit = static_cast<unsigned char>(1 << pick(8));
            in[at] ^= bit;
            want[at] ^= bit;
        }
        Bytes out = rewrite(in);
        EXPECT_EQ(ipSum(out), ipSum(in));
        EXPECT_EQ(tcpSum(out), tcpSum(in));
        if (at == 24 || at == 25 || at == sumAt || at == sumAt + 1) {
            for (Bytes *f : {&out, &want})
                (*f)[24] = (*f)[25] = (*f)[sumAt] = (*f)[sumAt + 1] = 0;
        }
        EXPECT_EQ(out, want);
        server_->numConn--;
        lbFlowTable_removeEntry(e);
    }
}

TEST(Checksum, KnownVectorsAndOddLengths) {
    // RFC 1071's example bytes 00 01 f2 03 f4 f5 f6 f7 sum to ddf2; the checksum is its
    // complement, stored as the bytes 22 0d.
    const unsigned char rfc[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    uint16_t sum = checksum(rfc, sizeof rfc);
    EXPECT_EQ(reinterpret_cast<unsigned char *>(&sum)[0], 0x22);
    EXPECT_EQ(reinterpret_cast<unsigned char *>(&sum)[1], 0x0d);
    // An odd last byte counts as the high byte of a word: ab cd ef -> abcd + ef00.
    const unsigned char odd[] = {0xab, 0xcd, 0xef, 0x00};
    EXPECT_EQ(checksum(odd, 3), checksum(odd, 4));
    EXPECT_NE(checksum(odd, 3), checksum(odd, 2));
}

}  // namespace
