// Frame readdressing in both directions: each case is an input frame, what it is, the
// verdict and the expected output frame (built independently, checksums included).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "common/lbGlobals.h"
#include "frame_util.h"
#include "packet/lbCtrlMain.h"
#include "support/lbtest_util.h"

namespace {

using lbtest::buildFrame;
using lbtest::Bytes;
using lbtest::FrameSpec;

constexpr const char *kVip = "203.0.113.100", *kClient = "192.0.2.10", *kServer = "198.51.100.11";
constexpr const char *kServerMac = "02:00:00:00:00:11", *kCtrlMac = "02:00:00:00:00:fe";

class Rewrite : public testing::Test {
  protected:
    void SetUp() override {
        lbtest::resetState();
        snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", kVip);
        snprintf(reinterpret_cast<char *>(g_contMacAddr), sizeof g_contMacAddr, "%s",
                 "2:0:0:0:0:fe");
        lbFlowTable_create();
        server_ = create_lbServer_node(&lbServHead);
        inet_pton(AF_INET, kServer, &server_->lbServIp);
        lbtest::putMac(server_->lbServMac, kServerMac);
        entry_ = lbServFlowTable_createEntry(server_, inet_addr(kClient), 40000, 3, nullptr, 80);
    }
    void TearDown() override { lbtest::resetState(); }

    lbServer_node_t *server_ = nullptr;
    lbFlow_t *entry_ = nullptr;
};

// Frames of the known connection 192.0.2.10:40000 <-> VIP:80 served by 198.51.100.11.
FrameSpec fromClient(size_t payload = 0, size_t options = 0) {
    FrameSpec s{.srcIp = kClient, .dstIp = kVip, .sport = 40000, .payload = payload};
    s.ipOptions = options;
    return s;
}
FrameSpec towardsServer(FrameSpec s) {
    s.dstMac = kServerMac;
    s.dstIp = kServer;
    return s;
}
FrameSpec fromServer(size_t payload, size_t padTo = 0) {
    FrameSpec s{.srcMac = kServerMac,
                .srcIp = kServer,
                .dstIp = kClient,
                .sport = 80,
                .dport = 40000,
                .payload = payload};
    s.padTo = padTo;
    return s;
}
FrameSpec towardsClient(FrameSpec s) {
    s.srcMac = kCtrlMac;
    s.srcIp = kVip;
    return s;
}
// A frame damaged after its checksums were computed.
Bytes damaged(const FrameSpec &s, const std::function<void(Bytes &)> &how) {
    Bytes f = buildFrame(s);
    how(f);
    return f;
}

struct Case {
    const char *what;
    Bytes in;
    int flag;
    bool chosen;     // the caller passes the chosen server
    Bytes expected;  // empty: the frame stays as it came
};

TEST_F(Rewrite, FramesAreReaddressedInPlaceOrLeftAlone) {
    FrameSpec syn{.srcIp = "192.0.2.20", .dstIp = kVip, .sport = 41000, .flags = 0x02};
    FrameSpec stranger{.srcIp = "192.0.2.99", .dstIp = kVip, .sport = 5};
    const Case cases[] = {
        {"client SYN with a chosen server", buildFrame(syn), LB_TCP_SYN, true,
         buildFrame(towardsServer(syn))},
        {"client segment of a known connection", buildFrame(fromClient(5)), LB_TCP_OTHER, false,
         buildFrame(towardsServer(fromClient(5)))},
        {"client segment with IPv4 options", buildFrame(fromClient(4, 8)), LB_TCP_OTHER, false,
         buildFrame(towardsServer(fromClient(4, 8)))},
        {"server reply, odd segment length", buildFrame(fromServer(3)), LB_TCP_OTHER, false,
         buildFrame(towardsClient(fromServer(3)))},
        {"server reply padded to 60 bytes", buildFrame(fromServer(0, 60)), LB_TCP_OTHER, false,
         buildFrame(towardsClient(fromServer(0, 60)))},
        {"segment of no connection", buildFrame(stranger), LB_TCP_OTHER, false, {}},
        {"SYN of no connection without a server", buildFrame(syn), LB_TCP_SYN, false, {}},
        {"frame cut inside the TCP header",
         damaged(fromClient(), [](Bytes &f) { f.resize(50); }),
         LB_TCP_OTHER,
         false,
         {}},
        {"Ethernet header only",
         damaged(fromClient(), [](Bytes &f) { f.resize(14); }),
         LB_TCP_OTHER,
         false,
         {}},
        {"IPv4 total length beyond the frame",
         damaged(fromClient(2), [](Bytes &f) { f[17] += 1; }),
         LB_TCP_OTHER,
         false,
         {}},
        {"IPv4 total length short of the headers",
         damaged(fromClient(), [](Bytes &f) { f[17] = 30; }),
         LB_TCP_OTHER,
         false,
         {}},
        {"IHL below 5",
         damaged(fromClient(), [](Bytes &f) { f[14] = 0x44; }),
         LB_TCP_OTHER,
         false,
         {}},
        {"TCP data offset below 5",
         damaged(fromClient(), [](Bytes &f) { f[46] = 4 << 4; }),
         LB_TCP_OTHER,
         false,
         {}},
        {"TCP options beyond the frame",
         damaged(fromClient(), [](Bytes &f) { f[46] = 15 << 4; }),
         LB_TCP_OTHER,
         false,
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes frame = c.in;
        unsigned int rc = lbHandleTcpOpen(c.chosen ? server_ : nullptr, frame.data(),
                                          static_cast<int>(frame.size()), c.flag);
        if (c.expected.empty()) {
            EXPECT_EQ(rc, 0u);
            EXPECT_EQ(frame, c.in);
        } else {
            uint16_t sport;  // the source port field as stored
            memcpy(&sport, &frame[14 + (frame[14] & 0xf) * 4], 2);
            EXPECT_EQ(rc, sport);
            EXPECT_EQ(frame, c.expected);
            EXPECT_TRUE(lbtest::checksumsValid(frame));
        }
    }
}

TEST_F(Rewrite, FinAndResetFindTheConnectionFromEitherEnd) {
    FrameSpec clientFin = fromClient();
    clientFin.flags = 0x11;
    FrameSpec serverRst = fromServer(0);
    serverRst.flags = 0x04;
    FrameSpec stranger{.srcIp = "192.0.2.99", .dstIp = kVip, .sport = 5, .flags = 0x11};
    const Case cases[] = {
        {"FIN+ACK from the client", buildFrame(clientFin), LB_TCP_FINACK, false,
         buildFrame(towardsServer(clientFin))},
        {"RST from the server", buildFrame(serverRst), LB_TCP_RST, false,
         buildFrame(towardsClient(serverRst))},
        {"FIN+ACK of no connection", buildFrame(stranger), LB_TCP_FINACK, false, {}},
        {"FIN+ACK cut short",
         damaged(clientFin, [](Bytes &f) { f.resize(40); }),
         LB_TCP_FINACK,
         false,
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes frame = c.in;
        lbServer_node_t *server = nullptr;
        lbFlow_t *e =
            lbHandleTcpClose(frame.data(), static_cast<int>(frame.size()), &server, c.flag);
        if (c.expected.empty()) {
            EXPECT_EQ(e, nullptr);
            EXPECT_EQ(server, nullptr);
            EXPECT_EQ(frame, c.in);
        } else {
            EXPECT_EQ(e, entry_);
            EXPECT_EQ(server, server_);
            EXPECT_EQ(frame, c.expected);
        }
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
