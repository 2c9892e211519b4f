#include "controller/lbCtrlMsg.h"

#include <arpa/inet.h>

#include <cstdio>

static_assert(LB_IPSTR_LEN >= INET_ADDRSTRLEN, "dotted address buffer too small");
static_assert(LB_ITOA_LEN >= sizeof("-2147483648"), "integer text buffer too small");
static_assert(LB_MACSTR_LEN >= sizeof("00:1B:21:0A:FF:01"), "MAC text buffer too small");

namespace {

// snprintf that reports truncation: the length written, or -1 with an empty result.
template <typename... Args>
int boundedFormat(char *dst, size_t size, const char *fmt, Args... args) {
    if (dst == nullptr || size == 0)
        return -1;
    int n = snprintf(dst, size, fmt, args...);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        dst[0] = '\0';
        return -1;
    }
    return n;
}

}  // namespace

int format_string_flow(char *flowStr, size_t flowStrSize, const char *src_ip_m,
                       const char *src_tcpPort_m, const char *in_port_m, const char *dst_ip_m,
                       const char *dst_tcpPort_m, const char *out_port_a,
                       const char *idle_timeout) {
    // One format for the whole body: keys (with quotes and colon) and values alternate.
    // The two fixed match values are passed unquoted; the format adds their quotes.
    return boundedFormat(
        flowStr, flowStrSize,
        "{%s{%s,%s,%s%s,%s[{%s\"%s\"},{%s\"%s\"},{%s%s},{%s\"%s\"},{%s%s},{%s\"%s\"},{%s%s}],"
        "%s[{%s[{%s%s}]}]}}",
        "\"flow\":", "\"priority\":30000", "\"table_id\":0", "\"idle_timeout\":", idle_timeout,
        "\"match\":", "\"eth_type\":", "ipv4", "\"ip_proto\":", "tcp", "\"in_port\":", in_port_m,
        "\"ipv4_src\":", src_ip_m, "\"tcp_src\":", src_tcpPort_m, "\"ipv4_dst\":", dst_ip_m,
        "\"tcp_dst\":", dst_tcpPort_m,
        "\"instructions\":", "\"apply_actions\":", "\"output\":", out_port_a);
}

int create_url(char *url_str, size_t urlSize, const char *controller_ip, const char *dpid,
               const char *version) {
    return boundedFormat(url_str, urlSize, "https://%s:8443/sdn/%s/of/datapaths/%s/flows",
                         controller_ip, version, dpid);
}

void lbIpToStr(const unsigned char *a, char *out, size_t outSize) {
    boundedFormat(out, outSize, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
}

void lbMacToStr(const unsigned char *a, char *out, size_t outSize) {
    boundedFormat(out, outSize, "%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4],
                  a[5]);
}

void lbIPntoa(uint32_t nIP, char *strIp, size_t strIpSize) {
    // inet_ntop writes into the caller's buffer, unlike inet_ntoa's shared static one,
    // and produces the same dotted text.
    struct in_addr addr;
    addr.s_addr = nIP;
    if (strIp == nullptr || strIpSize == 0)
        return;
    if (inet_ntop(AF_INET, &addr, strIp, static_cast<socklen_t>(strIpSize)) == nullptr)
        strIp[0] = '\0';
}

void lbItoa(int a, char *b, size_t bSize) {
    boundedFormat(b, bSize, "%d", a);
}
