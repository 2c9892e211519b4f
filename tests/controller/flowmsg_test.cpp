// Flow-rule body, flow URL and the text converters.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "controller/lbCtrlMsg.h"

namespace {

TEST(FlowBody, ByteExactWholeOrRefused) {
    const char *ip15 = "255.255.255.255", *num10 = "4294967295", *idle19 = "1234567890123456789";
    const char *worked =
        "{\"flow\":{\"priority\":30000,\"table_id\":0,\"idle_timeout\":10,\"match\":[{\"eth_type\":"
        "\"ipv4\"},{\"ip_proto\":\"tcp\"},{\"in_port\":2},{\"ipv4_src\":\"10.0.0.1\"},{\"tcp_"
        "src\":33000},{\"ipv4_dst\":\"10.0.0.100\"},{\"tcp_dst\":80}],\"instructions\":[{\"apply_"
        "actions\":[{\"output\":4}]}]}}";
    // {src ip, src port, in port, dst ip, dst port, out port, idle}, buffer size, length
    // (-1: refused, buffer left empty), text the body holds. The worked example has every
    // field distinct, so a swapped argument shows.
    const struct {
        const char *args[7];
        size_t size;
        int length;
        const char *holds;
    } cases[] = {
        // clang-format off
        {{"10.0.0.1", "33000", "2", "10.0.0.100", "80", "4", "10"}, LB_FLOW_BODY_LEN, 254, worked},
        {{ip15, num10, num10, ip15, num10, num10, num10}, LB_FLOW_BODY_LEN, 305, "[{\"output\":4294967295}]}]}}"},
        // A time-out of 19 digits (a full configuration field) needs a larger buffer.
        {{ip15, num10, num10, ip15, num10, num10, idle19}, LB_FLOW_BODY_LEN, -1, nullptr},
        {{ip15, num10, num10, ip15, num10, num10, idle19}, 512, 314, "\"idle_timeout\":1234567890123456789,"},
        // clang-format on
    };
    for (const auto &c : cases) {
        const char *const *a = c.args;
        char body[512];
        memset(body, 'x', sizeof body);
        EXPECT_EQ(format_string_flow(body, c.size, a[0], a[1], a[2], a[3], a[4], a[5], a[6]),
                  c.length)
            << a[6];
        EXPECT_EQ(strlen(body), c.length < 0 ? 0u : size_t(c.length)) << a[6];
        EXPECT_TRUE(!c.holds || std::string(body).find(c.holds) != std::string::npos) << body;
    }
}

TEST(FlowUrl, VersionBeforeDpid) {
    char url[LB_FLOW_URL_LEN];
    int n = create_url(url, sizeof url, "10.0.0.5", "0000000000000001", "v2.0");
    EXPECT_STREQ(url, "https://10.0.0.5:8443/sdn/v2.0/of/datapaths/0000000000000001/flows");
    EXPECT_EQ(n, static_cast<int>(strlen(url)));
    EXPECT_GT(create_url(url, sizeof url, "255.255.255.255", "ffffffffffffffff", "v2.0"), 0);
    EXPECT_STREQ(url, "https://255.255.255.255:8443/sdn/v2.0/of/datapaths/ffffffffffffffff/flows");
}

TEST(Converters, RenderAtTheirWidest) {
    char ip[LB_IPSTR_LEN], mac[LB_MACSTR_LEN], num[LB_ITOA_LEN];
    const unsigned char a1[4] = {192, 168, 0, 1}, a2[4] = {255, 255, 255, 255};
    const unsigned char m1[6] = {0x00, 0x1b, 0x21, 0x0a, 0xff, 0x01};
    auto text = [](auto convert, auto arg, char *buf, size_t size) {
        convert(arg, buf, size);
        return std::string(buf);
    };
    const std::tuple<const char *, std::string, std::string> cases[] = {
        {"ip bytes", text(lbIpToStr, a1, ip, sizeof ip), "192.168.0.1"},
        {"widest ip bytes", text(lbIpToStr, a2, ip, sizeof ip), "255.255.255.255"},
        {"mac upper case, leading zeros", text(lbMacToStr, m1, mac, sizeof mac),
         "00:1B:21:0A:FF:01"},
        {"network-order word", text(lbIPntoa, inet_addr("203.0.113.254"), ip, sizeof ip),
         "203.0.113.254"},
        {"widest word", text(lbIPntoa, 0xffffffffu, ip, sizeof ip), "255.255.255.255"},
        {"zero address", text(lbIPntoa, 0u, ip, sizeof ip), "0.0.0.0"},
        {"largest int", text(lbItoa, 2147483647, num, sizeof num), "2147483647"},
        {"zero", text(lbItoa, 0, num, sizeof num), "0"},
    };
    for (const auto &[what, got, want] : cases)
        EXPECT_EQ(got, want) << what;
}

}  // namespace
