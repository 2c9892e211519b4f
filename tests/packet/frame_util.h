// Ethernet/IPv4/TCP frames for the packet-path suites, with checksums computed here
// independently of the code under test (big-endian word sums over the bytes).
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/lbtest_util.h"

namespace lbtest {

using Bytes = std::vector<unsigned char>;

struct FrameSpec {
    std::string srcMac = "02:00:00:00:00:0c", dstMac = "02:00:00:00:00:0a";
    std::string srcIp, dstIp;
    uint16_t sport = 0, dport = 80;
    uint8_t flags = 0x10;  // ACK
    size_t payload = 0;    // bytes of payload (0x5a, 0x5b, ...)
    size_t ipOptions = 0;  // bytes of IPv4 options (a multiple of 4)
    size_t padTo = 0;      // Ethernet padding (0xee) up to this frame length
};

inline uint32_t onesSum(const unsigned char *p, size_t n, uint32_t sum = 0) {
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n % 2)
        sum += static_cast<uint32_t>(p[n - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return sum;
}

// One's-complement sums, folded, over what the IPv4 header checksum and the TCP checksum
// (pseudo-header, header and payload up to the IPv4 total length) cover, the checksum
// fields as they stand. A checksum verifies when its sum comes to 0xffff.
inline uint32_t ipSum(const Bytes &f) {
    return onesSum(&f[14], (f[14] & 0x0f) * 4u);
}
inline uint32_t tcpSum(const Bytes &f) {
    size_t ihl = (f[14] & 0x0f) * 4, tot = f[16] << 8 | f[17], tcpLen = tot - ihl;
    unsigned char pseudo[12] = {};
    std::copy(&f[26], &f[34], pseudo);
    pseudo[9] = 6;
    pseudo[10] = static_cast<unsigned char>(tcpLen >> 8);
    pseudo[11] = static_cast<unsigned char>(tcpLen);
    return onesSum(&f[14 + ihl], tcpLen, onesSum(pseudo, 12));
}

// True when both checksums of the frame verify.
inline bool checksumsValid(const Bytes &f) {
    return ipSum(f) == 0xffff && tcpSum(f) == 0xffff;
}

inline size_t tcpSumAt(const Bytes &f) {
    return 14 + (f[14] & 0x0f) * 4 + 16;
}

// Computes both checksums of a frame whose IPv4 and TCP headers are in place.
inline void setChecksums(Bytes &f) {
    const size_t at = tcpSumAt(f);
    f[24] = f[25] = f[at] = f[at + 1] = 0;
    const uint16_t ip = static_cast<uint16_t>(~ipSum(f)), tcp = static_cast<uint16_t>(~tcpSum(f));
    f[24] = static_cast<unsigned char>(ip >> 8);
    f[25] = static_cast<unsigned char>(ip);
    f[at] = static_cast<unsigned char>(tcp >> 8);
    f[at + 1] = static_cast<unsigned char>(tcp);
}

inline void putMac(unsigned char *p, const std::string &mac) {
    unsigned v[6];
    sscanf(mac.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    for (int i = 0; i < 6; ++i)
        p[i] = static_cast<unsigned char>(v[i]);
}

// A well-formed frame with valid checksums.
inline Bytes buildFrame(const FrameSpec &s) {
    const size_t ihl = 20 + s.ipOptions, tot = ihl + 20 + s.payload;
    Bytes f(14 + tot, 0);
    putMac(&f[0], s.dstMac);
    putMac(&f[6], s.srcMac);
    f[12] = 0x08;
    f[14] = static_cast<unsigned char>(0x40 | ihl / 4);
    f[16] = static_cast<unsigned char>(tot >> 8);
    f[17] = static_cast<unsigned char>(tot);
    f[22] = 64;
    f[23] = 6;
    for (size_t i = 0; i < s.ipOptions; ++i)
        f[34 + i] = 1;  // no-operation options
    inet_pton(AF_INET, s.srcIp.c_str(), &f[26]);
    inet_pton(AF_INET, s.dstIp.c_str(), &f[30]);
    unsigned char *t = &f[14 + ihl];
    t[0] = static_cast<unsigned char>(s.sport >> 8);
    t[1] = static_cast<unsigned char>(s.sport);
    t[2] = static_cast<unsigned char>(s.dport >> 8);
    t[3] = static_cast<unsigned char>(s.dport);
    t[7] = 0x2a;  // sequence number
    t[12] = 5 << 4;
    t[13] = s.flags;
    t[14] = 0xff;
    for (size_t i = 0; i < s.payload; ++i)
        t[20 + i] = static_cast<unsigned char>(0x5a + i);
    setChecksums(f);
    if (f.size() < s.padTo)
        f.resize(s.padTo, 0xee);
    return f;
}

// The connection the packet suites share: 192.0.2.10 to the VIP 203.0.113.100:80, served
// by 198.51.100.11; towards clients the balancer writes the VIP MAC as the source.
constexpr const char *kVip = "203.0.113.100", *kVipMac = "02:00:00:00:01:00";
constexpr const char *kClient = "192.0.2.10", *kServer = "198.51.100.11";
constexpr const char *kServerMac = "02:00:00:00:00:11";
// clang-format off
inline FrameSpec fromClient(uint16_t sport, uint8_t flags, size_t payload = 0) {
    return {.dstMac = kVipMac, .srcIp = kClient, .dstIp = kVip, .sport = sport, .flags = flags, .payload = payload};
}
inline FrameSpec fromServer(uint16_t dport, uint8_t flags, size_t payload = 0) {
    return {.srcMac = kServerMac, .srcIp = kServer, .dstIp = kClient, .sport = 80, .dport = dport, .flags = flags, .payload = payload};
}
// clang-format on
// The frame as the balancer sends it on: to the server, or from the VIP to the client.
inline Bytes toServer(FrameSpec s) {
    s.dstMac = kServerMac;
    s.dstIp = kServer;
    return buildFrame(s);
}
inline Bytes fromVip(FrameSpec s) {
    s.srcMac = kVipMac;
    s.srcIp = kVip;
    return buildFrame(s);
}

// One rule request, as "<method> <16 hex dpid> <body>", the body written out here.
inline std::string rule(const char *method, int dpid, int in, const std::string &src, int sport,
                        const std::string &dst, int dport, int out, const char *idle) {
    char buf[512];
    snprintf(buf, sizeof buf,
             "%s %016x {\"flow\":{\"priority\":30000,\"table_id\":0,\"idle_timeout\":%s,"
             "\"match\":[{\"eth_type\":\"ipv4\"},{\"ip_proto\":\"tcp\"},{\"in_port\":%d},"
             "{\"ipv4_src\":\"%s\"},{\"tcp_src\":%d},{\"ipv4_dst\":\"%s\"},{\"tcp_dst\":%d}],"
             "\"instructions\":[{\"apply_actions\":[{\"output\":%d}]}]}}",
             method, dpid, idle, in, src.c_str(), sport, dst.c_str(), dport, out);
    return buf;
}

// The rules of a connection c:cport -> s:80 along hops, in hop order: A-D on switch 1 (the
// balancer's, which sits on its port 6), E-F elsewhere. Before switch 1 the frames carry
// the VIP; a path without switch 1 is the server's side throughout.
inline std::vector<std::string> rulesOf(const std::string &c, const std::string &s,
                                        const std::vector<Hop> &hops, const char *idle,
                                        const char *method = "POST", int cport = 40000) {
    const int lb = 6;
    bool beforeLb = hops.size() > 1 && std::any_of(hops.begin() + 1, hops.end(),
                                                   [](Hop h) { return std::get<0>(h) == 1; });
    std::vector<std::string> all;
    for (const auto &[dpid, in, out] : hops) {
        const std::string far = beforeLb ? kVip : s;
        if (dpid == 1) {
            beforeLb = false;
            all.push_back(rule(method, 1, in, c, cport, kVip, 80, lb, idle));
            all.push_back(rule(method, 1, lb, c, cport, s, 80, out, idle));
            all.push_back(rule(method, 1, out, s, 80, c, cport, lb, idle));
            all.push_back(rule(method, 1, lb, kVip, 80, c, cport, in, idle));
        } else {
            all.push_back(rule(method, dpid, in, c, cport, far, 80, out, idle));
            all.push_back(rule(method, dpid, out, far, 80, c, cport, in, idle));
        }
    }
    return all;
}

// A frame changed (damaged, cut, relabelled) after its checksums were computed.
inline Bytes changed(const FrameSpec &s, const std::function<void(Bytes &)> &how) {
    Bytes f = buildFrame(s);
    how(f);
    return f;
}

}  // namespace lbtest
