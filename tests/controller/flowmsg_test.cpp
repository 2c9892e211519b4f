// Flow-rule body, flow URL and the text converters.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "controller/lbCtrlMsg.h"

namespace {

TEST(FlowBody, WorkedExampleIsByteExact) {
    char body[LB_FLOW_BODY_LEN];
    int n = format_string_flow(body, sizeof body, "10.0.0.1", "33000", "2", "10.0.0.100", "80", "4",
                               "10");
    const std::string expected =
        "{\"flow\":{\"priority\":30000,\"table_id\":0,\"idle_timeout\":10,\"match\":[{\"eth_type\":"
        "\"ipv4\"},{\"ip_proto\":\"tcp\"},{\"in_port\":2},{\"ipv4_src\":\"10.0.0.1\"},{\"tcp_"
        "src\":33000},{\"ipv4_dst\":\"10.0.0.100\"},{\"tcp_dst\":80}],\"instructions\":[{\"apply_"
        "actions\":[{\"output\":4}]}]}}";
    EXPECT_EQ(std::string(body), expected);
    EXPECT_EQ(n, 254);
    EXPECT_EQ(expected.size(), 254u);
}

TEST(FlowBody, ParsesAsTheRuleItDescribesWithOnlyAddressesQuoted) {
    char body[LB_FLOW_BODY_LEN];
    ASSERT_GT(format_string_flow(body, sizeof body, "192.0.2.7", "40001", "12", "198.51.100.9",
                                 "8080", "3", "30"),
              0);
    EXPECT_EQ(std::string(body).find(' '), std::string::npos);
    auto j = nlohmann::ordered_json::parse(body);
    const auto &flow = j.at("flow");
    std::vector<std::string> keys;
    for (auto it = flow.begin(); it != flow.end(); ++it)
        keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"priority", "table_id", "idle_timeout", "match",
                                              "instructions"}));
    EXPECT_EQ(flow["priority"], 30000);
    EXPECT_EQ(flow["table_id"], 0);
    EXPECT_EQ(flow["idle_timeout"], 30);
    const auto &m = flow["match"];
    ASSERT_EQ(m.size(), 7u);
    EXPECT_EQ(m[0]["eth_type"], "ipv4");
    EXPECT_EQ(m[1]["ip_proto"], "tcp");
    EXPECT_EQ(m[2]["in_port"], 12);
    EXPECT_EQ(m[3]["ipv4_src"], "192.0.2.7");
    EXPECT_EQ(m[4]["tcp_src"], 40001);
    EXPECT_EQ(m[5]["ipv4_dst"], "198.51.100.9");
    EXPECT_EQ(m[6]["tcp_dst"], 8080);
    EXPECT_EQ(flow["instructions"][0]["apply_actions"][0]["output"], 3);
}

TEST(FlowBody, EmptyCallerTextGivesAnEmptyValue) {
    char body[LB_FLOW_BODY_LEN];
    int n = format_string_flow(body, sizeof body, "10.0.0.1", "1", "2", "10.0.0.2", "3", "4", "");
    EXPECT_EQ(n, 245);
    EXPECT_NE(std::string(body).find("\"idle_timeout\":,\"match\""), std::string::npos);
}

TEST(FlowBody, WidestValuesFitAndOverlongOnesAreRefusedNotTruncated) {
    char body[LB_FLOW_BODY_LEN];
    const char *num10 = "4294967295";
    const char *ip15 = "255.255.255.255";
    int n = format_string_flow(body, sizeof body, ip15, num10, num10, ip15, num10, num10, num10);
    EXPECT_EQ(n, 305);
    EXPECT_EQ(strlen(body), 305u);

    // An idle time-out text of 19 digits (a full configuration field) does not fit.
    char small[LB_FLOW_BODY_LEN];
    memset(small, 'x', sizeof small);
    n = format_string_flow(small, sizeof small, ip15, num10, num10, ip15, num10, num10,
                           "1234567890123456789");
    EXPECT_EQ(n, -1);
    EXPECT_EQ(small[0], '\0');
    // A large enough buffer takes it.
    char big[512];
    EXPECT_EQ(format_string_flow(big, sizeof big, ip15, num10, num10, ip15, num10, num10,
                                 "1234567890123456789"),
              314);
}

TEST(FlowUrl, BuildsTheSwitchFlowsUrlWithVersionBeforeDpid) {
    char url[LB_FLOW_URL_LEN];
    char dpid[17];
    snprintf(dpid, sizeof dpid, "%016llx", 1ULL);
    int n = create_url(url, sizeof url, "10.0.0.5", dpid, "v2.0");
    EXPECT_STREQ(url, "https://10.0.0.5:8443/sdn/v2.0/of/datapaths/0000000000000001/flows");
    EXPECT_EQ(n, static_cast<int>(strlen(url)));

    snprintf(dpid, sizeof dpid, "%016llx", 0xffffffffffffffffULL);
    EXPECT_GT(create_url(url, sizeof url, "255.255.255.255", dpid, "v2.0"), 0);
    EXPECT_STREQ(url, "https://255.255.255.255:8443/sdn/v2.0/of/datapaths/ffffffffffffffff/flows");

    char tiny[20];
    EXPECT_EQ(create_url(tiny, sizeof tiny, "10.0.0.5", dpid, "v2.0"), -1);
    EXPECT_STREQ(tiny, "");
}

TEST(Converters, RenderAddressesAndNumbersAtTheirWidest) {
    struct Case {
        const char *what;
        std::string got, want;
    };
    char ip[LB_IPSTR_LEN], mac[LB_MACSTR_LEN], num[LB_ITOA_LEN];
    std::vector<Case> cases;

    const unsigned char a1[4] = {192, 168, 0, 1};
    lbIpToStr(a1, ip, sizeof ip);
    cases.push_back({"ip bytes", ip, "192.168.0.1"});
    const unsigned char a2[4] = {255, 255, 255, 255};
    lbIpToStr(a2, ip, sizeof ip);
    cases.push_back({"widest ip bytes", ip, "255.255.255.255"});

    const unsigned char m1[6] = {0x00, 0x1b, 0x21, 0x0a, 0xff, 0x01};
    lbMacToStr(m1, mac, sizeof mac);
    cases.push_back({"mac upper case with leading zeros", mac, "00:1B:21:0A:FF:01"});

    lbIPntoa(inet_addr("203.0.113.254"), ip, sizeof ip);
    cases.push_back({"network-order word", ip, "203.0.113.254"});
    lbIPntoa(0xffffffffu, ip, sizeof ip);
    cases.push_back({"widest network-order word", ip, "255.255.255.255"});
    lbIPntoa(0, ip, sizeof ip);
    cases.push_back({"zero address", ip, "0.0.0.0"});

    lbItoa(-2147483647 - 1, num, sizeof num);
    cases.push_back({"most negative int", num, "-2147483648"});
    lbItoa(2147483647, num, sizeof num);
    cases.push_back({"largest int", num, "2147483647"});
    lbItoa(0, num, sizeof num);
    cases.push_back({"zero", num, "0"});

    for (const auto &c : cases)
        EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(Converters, NeverWritePastASmallDestination) {
    // Guard bytes after a short buffer must survive every converter.
    struct Guarded {
        char buf[8];
        char guard[8];
    } g;
    memset(&g, 'G', sizeof g);
    const unsigned char a[4] = {255, 255, 255, 255};
    lbIpToStr(a, g.buf, sizeof g.buf);
    lbIPntoa(0xffffffffu, g.buf, sizeof g.buf);
    const unsigned char m[6] = {1, 2, 3, 4, 5, 6};
    lbMacToStr(m, g.buf, sizeof g.buf);
    lbItoa(-2147483647 - 1, g.buf, sizeof g.buf);
    EXPECT_EQ(std::string(g.guard, sizeof g.guard), std::string(8, 'G'));
}

}  // namespace
