// Controller client pieces that need no controller: URL and body builders, reply
// parsing and walk, link capture, dpid conversion, hop lists, reply logs, the nodes
// reply reader, and the behaviour before any controller address is set.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "controller/lbCurl/fillrest.h"
#include "controller/lbCurl/jsonext.h"
#include "controller/lbCurl/lb_getpath_restapi.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "controller/lbCurl/postrest.h"
#include "controller/lbCurl/restApi.h"
#include "support/lbtest_util.h"

namespace {

using namespace testing::internal;

// No test of this suite sets the process-wide controller address.
TEST(ControllerUnset, NoAddressMeansNoRequestAndOverlongOneIsRefused) {
    CaptureStderr();
    EXPECT_EQ(setControllerIp("203.0.113.200:8443:123456"), -1);  // 25 characters
    EXPECT_NE(GetCapturedStderr().find("too long"), std::string::npos);
    CaptureStdout();
    EXPECT_EQ(setControllerIp(nullptr), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    const char kAsk[] = "Set the controller IP:PORT first....";
    CaptureStdout();
    EXPECT_EQ(setControllerIp(""), 0);
    EXPECT_EQ(isControllerValid(), 1);
    EXPECT_EQ(genToken(), 0);
    EXPECT_EQ(GetCapturedStdout(), std::string(kAsk) + kAsk + kAsk);
    EXPECT_FALSE(lbtest::fileExists("token_gen.log"));
    EXPECT_STREQ(TOKEN, "X-Auth-Token:");
}

TEST(Builders, UrlsAndBodiesAreWholeOrNotWritten) {
    // {kind, switch, ssl, room, expected result, expected text}: a cut URL is never left.
    struct {
        int kind;
        const char *switchId;
        unsigned char ssl;
        size_t size;
        int rc;
        const char *url;
    } cases[] = {
        {tokenUrl, nullptr, 1, 37, 0, "https://192.0.2.1:8443/sdn/v2.0/auth"},  // exactly fits
        {tokenUrl, nullptr, 1, 36, -1, ""},
        {tokenUrl, nullptr, 2, 100, 0, "http://192.0.2.1:8443/sdn/v2.0/auth"},
        {PostFlowDataUrl, "00000000000000a3", 1, 100, 0,
         "https://192.0.2.1:8443/sdn/v2.0/of/datapaths/00000000000000a3/flows"},
        {PostFlowDataUrl, nullptr, 1, 100, -1, "untouched"},
        {7, "01", 1, 100, -1, "untouched"},
    };
    for (const auto &c : cases) {
        char buf[100] = "untouched";
        int rc = createUrl(buf, c.size, c.kind, "192.0.2.1:8443", nullptr, c.switchId, c.ssl);
        EXPECT_EQ(rc, c.rc) << c.url;
        EXPECT_STREQ(buf, c.url);
    }
    char buf[200] = "untouched";
    EXPECT_EQ(createPostDataUrl(buf, sizeof buf, 0, nullptr), -1);
    EXPECT_STREQ(buf, "untouched");
    ASSERT_EQ(createPostDataUrl(buf, sizeof buf, PostFlowDataUrl, nullptr), 0);
    EXPECT_STREQ(buf,
                 "{\"flow\":{\"priority\":600,\"idle_timeout\":10,\"match\":[{\"in_port\":2 }],"
                 "\"actions\":[{\"output\":3}]}}");
    EXPECT_EQ(createPostDataUrl(buf, 60, tokenUrl, nullptr), -1);  // 60 characters, no zero
    EXPECT_STREQ(buf, "");
}

TEST(Json, PartialAndEmptyDocumentsFailAndLeaveNull) {
    for (const char *bad : {R"({"nodes":[{"ip":"19)", "", "<html>"}) {
        lb_json doc = 1;
        EXPECT_EQ(lb_json_parse(bad, strlen(bad), doc), -1) << bad;
        EXPECT_TRUE(doc.is_null()) << bad;
    }
}

using Hop = std::tuple<uint64_t, uint32_t, uint32_t>;  // switch, in port, out port
std::vector<Hop> hops(dlist_head *list) {
    std::vector<Hop> out;
    for (dlist_node *n = list->next; n != list; n = n->next) {
        auto *h = static_cast<pathlist_node_t *>(n->data);
        out.emplace_back(h->node_dpid, h->in_port, h->out_port);
    }
    return out;
}

TEST(WholeKeys, MemberLookupAndLinkCaptureIgnorePartialKeysThenHopsAreBuilt) {
    lb_json doc;
    const char text[] = R"({"tok":"a","token_x":"b","":"c","first":{}})";
    ASSERT_EQ(lb_json_parse(text, sizeof text - 1, doc), 0);
    EXPECT_EQ(lb_json_get(&doc, "token"), nullptr);
    EXPECT_EQ(lb_json_get(&doc, ""), nullptr);
    EXPECT_EQ(lb_json_text(lb_json_get(&doc, "first")), nullptr);  // not a string
    EXPECT_STREQ(lb_json_text(lb_json_first(&doc)), "a");

    // Leading parts, longer and empty keys must not fill the pending link; only
    // "dst_port" closes one; dpids that are not text stay 0.
    const char links[] = R"({"links":[
        {"src_dpid":"0a","src_port":1,"dst_dpid":"0b","src":"ff","src_dpid_x":"ee","":"dd",
         "dst_po":99,"dst_port":2},
        {"src_dpid":17,"src_port":3,"dst_dpid":null,"dst_port":4},
        {"src_dpid":"0c","src_port":5}]})";
    ASSERT_EQ(lb_json_parse(links, sizeof links - 1, doc), 0);
    num_pathnodes = 0;
    nx_json_getpath_all(&doc);
    ASSERT_EQ(num_pathnodes, 2u);
    dlist_head list{nullptr, &list, &list};
    EXPECT_NE(create_pathlist(&list, nullptr, nullptr, nullptr, 7, 9), 0);
    EXPECT_EQ(hops(&list), (std::vector<Hop>{{0xa, 7, 1}, {0xb, 2, 3}, {0, 4, 9}}));
    del_pathlist(&list);  // the leak checker sees hops that are not freed
    // The emptied list takes new hops; deletion takes empty and null heads too.
    add_pathlist_node(&list, 1, 2, 3);
    add_pathlist_node(&list, 4, 5, 6);
    EXPECT_EQ(hops(&list), (std::vector<Hop>{{1, 2, 3}, {4, 5, 6}}));
    del_pathlist(&list);
    del_pathlist(&list);
    del_pathlist(nullptr);
    // The links were used up: no hops now.
    int rc = -1;
    EXPECT_EQ(
        lbtest::printed([&] { rc = create_pathlist(&list, nullptr, nullptr, nullptr, 7, 9); }),
        "Number of nodes are zero ");
    EXPECT_TRUE(rc == 0 && hops(&list).empty());
    EXPECT_EQ(create_pathlist(nullptr, nullptr, nullptr, nullptr, 1, 1), 0);
    dlist_head zeroed{};  // a flow entry whose list was never built
    del_pathlist(&zeroed);
    EXPECT_TRUE(dlist_empty(&zeroed));
    EXPECT_EQ(create_pathlist_node(nullptr), nullptr);
}

TEST(DpidToUll, TextForms) {
    struct {
        const char *text, *what;
        uint64_t expected;
    } cases[] = {
        {"00:00:00:00:00:00:00:0A", "colon pairs, upper case", 10},
        {"12:34:56:78:9a:bc:de:f0", "all pairs used", 0x123456789abcdef0ull},
        {"123456789abcdef0", "plain digits", 0x123456789abcdef0ull},
        {"::0:1::", "colons anywhere", 1},
        {"1g", "leading digits only", 1},
        {"zz", "no hexadecimal digit", 0},
        {"", "empty", 0},
        {"00000000000000000000001F", "24 digits: only 23 read", 1},
    };
    for (const auto &c : cases) {
        uint64_t v = 0xdeadbeef;
        lb_dpid_to_ull(c.text, &v);
        EXPECT_EQ(v, c.expected) << c.what;
    }
    uint64_t v = 5;
    lb_dpid_to_ull(nullptr, &v);
    EXPECT_EQ(v, 5u);
    lb_dpid_to_ull("1", nullptr);
}

TEST(ReplyLog, FirstDeliveryTruncatesAndNamesTheFileAndAnUncreatableOneFails) {
    lbtest::writeFile("reply_test.out", "stale content");
    int first = 1;
    std::string joined;
    CaptureStderr();
    EXPECT_EQ(lbRestCollect("reply_test.out", &first, "{\"a\":", 1, 5, &joined), 5u);
    EXPECT_EQ(lbRestCollect("reply_test.out", &first, "1}", 1, 2, &joined), 2u);
    EXPECT_EQ(GetCapturedStderr(), "The body is <reply_test.out>\n");
    EXPECT_EQ(lbtest::readFile("reply_test.out"), "{\"a\":1}");
    EXPECT_EQ(joined, "{\"a\":1}");

    first = 1;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(lbRestCollect("no_such_dir/log.out", &first, "x", 1, 1, nullptr),
                  static_cast<size_t>(-1));
    EXPECT_EQ(first, 0);
}

TEST(NodesReply, FirstHostOnlyAndDefaultsForMissingMembers) {
    const char kNoNodes[] = "nx_json_get returned null for GetWriteMemoryCallback\n";
    struct {
        const char *reply, *what, *dpid;
        int64_t port;
        const char *printed;  // null: not checked
    } cases[] = {
        {R"({"nodes":[{"ip":"192.0.2.10","mac":"02:00:00:00:00:10","dpid":"00:05","port":7},
                      {"ip":"192.0.2.10","mac":"02:00:00:00:00:11","dpid":"00:06","port":8}]})",
         "two hosts: first used", "00:05", 7,
         "Get:: Receved ip:192.0.2.10\nGet:: Receved mac:02:00:00:00:00:10\n"
         "Get:: Receved dpid:00:05\nGet:: Receved port:7\n"},
        {R"({"nodes":[{"ip":"192.0.2.10","mac":"m","port":7}]})", "no dpid", "NULL", 7, nullptr},
        {R"({"nodes":[{"dpid":"00:01"}]})", "no port", "00:01", 0, nullptr},
        {R"({"nodes":[]})", "empty nodes", "NULL", 0,
         "Get:: Receved ip:(null)\nGet:: Receved mac:(null)\nGet:: Receved dpid:(null)\n"
         "Get:: Receved port:0\n"},
        {R"({"node":[{"dpid":"01","port":3}]})", "no nodes member", "NULL", 0, kNoNodes},
        {"<html>", "not JSON", "NULL", 0, kNoNodes},
        {R"({"nodes":[{"dpid":"0123456789012345678901234567890123456789","port":2}]})",
         "dpid cut to 31", "0123456789012345678901234567890", 2, nullptr},
    };
    for (const auto &c : cases) {
        NODE_DATA rec{"NULL", "NULL", 0};
        std::string out =
            lbtest::printed([&] { getSwitchFlowReply(c.reply, strlen(c.reply), &rec); });
        EXPECT_STREQ(rec.switch_dpid, c.dpid) << c.what;
        EXPECT_EQ(rec.node_port, c.port) << c.what;
        EXPECT_STREQ(rec.node_ip, "NULL") << c.what;
        EXPECT_TRUE(c.printed == nullptr || out == c.printed) << c.what << ":\n" << out;
    }
}

}  // namespace
