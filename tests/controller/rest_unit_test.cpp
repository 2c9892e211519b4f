// Controller client pieces that need no controller: URL and body builders, the reply
// walk and link capture, dpid conversion, hop lists, reply logs, the nodes reply reader,
// and the behaviour before any controller address is set.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "controller/lbCurl/fillrest.h"
#include "controller/lbCurl/jsonext.h"
#include "controller/lbCurl/lb_getpath_restapi.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "controller/lbCurl/postrest.h"
#include "controller/lbCurl/restApi.h"
#include "support/lbtest_util.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// ---- Before any controller address is set (must stay first: the address is
// process-wide and no test of this suite sets one).

TEST(ControllerUnset, NullAddressChangesNothingAndEmptyOneAsksOnceWithoutRequest) {
    CaptureStdout();
    EXPECT_EQ(setControllerIp(nullptr), 0);
    EXPECT_EQ(GetCapturedStdout(), "");

    CaptureStdout();
    EXPECT_EQ(setControllerIp(""), 0);
    EXPECT_EQ(GetCapturedStdout(), "Set the controller IP:PORT first....");
    EXPECT_FALSE(lbtest::fileExists("token_gen.log"));

    CaptureStdout();
    EXPECT_EQ(isControllerValid(), 1);
    EXPECT_EQ(genToken(), 0);
    EXPECT_EQ(GetCapturedStdout(),
              "Set the controller IP:PORT first....Set the controller IP:PORT first....");
    EXPECT_STREQ(TOKEN, "X-Auth-Token:");
}

TEST(ControllerUnset, OverlongAddressIsRefusedAndLeavesAddressUnset) {
    CaptureStderr();
    EXPECT_EQ(setControllerIp("203.0.113.200:8443:123456"), -1);  // 25 characters
    EXPECT_NE(GetCapturedStderr().find("too long"), std::string::npos);
    CaptureStdout();
    EXPECT_EQ(isControllerValid(), 1);
    GetCapturedStdout();
}

// ---- URL and body builders

struct UrlCase {
    int kind;
    const char *ctrl;
    const char *switchId;
    unsigned char ssl;
    size_t size;
    const char *what;
    int rc;
    const char *url;
};

TEST(Builders, UrlsOfEachKind) {
    const UrlCase cases[] = {
        {tokenUrl, "192.0.2.1:8443", nullptr, 1, 100, "login over https", 0,
         "https://192.0.2.1:8443/sdn/v2.0/auth"},
        {tokenUrl, "192.0.2.1:8443", nullptr, 0, 100, "login over http", 0,
         "http://192.0.2.1:8443/sdn/v2.0/auth"},
        {tokenUrl, "192.0.2.1:8443", nullptr, 2, 100, "ssl other than 1 is http", 0,
         "http://192.0.2.1:8443/sdn/v2.0/auth"},
        {PostFlowDataUrl, "192.0.2.1:8443", "0000000000000003", 1, 100, "flow url", 0,
         "https://192.0.2.1:8443/sdn/v2.0/of/datapaths/0000000000000003/flows"},
        {PostFlowDataUrl, "192.0.2.1:8443", nullptr, 1, 100, "flow url without switch", -1,
         "untouched"},
        {7, "192.0.2.1:8443", "01", 1, 100, "unknown kind", -1, "untouched"},
        {tokenUrl, "192.0.2.1:8443", nullptr, 1, 37, "exactly fits", 0,
         "https://192.0.2.1:8443/sdn/v2.0/auth"},
        {tokenUrl, "192.0.2.1:8443", nullptr, 1, 36, "one byte short", -1, ""},
    };
    for (const auto &c : cases) {
        char buf[100];
        snprintf(buf, sizeof buf, "untouched");
        EXPECT_EQ(createUrl(buf, c.size, c.kind, c.ctrl, nullptr, c.switchId, c.ssl), c.rc)
            << c.what;
        EXPECT_STREQ(buf, c.url) << c.what;
    }
}

TEST(Builders, LoginAndSampleBodies) {
    char buf[200];
    ASSERT_EQ(createPostDataUrl(buf, sizeof buf, tokenUrl, nullptr), 0);
    EXPECT_STREQ(buf, "{\"login\":{\"user\":\"sdn\",\"password\":\"quorbit\",\"domain\":\"sdn\"}}");
    EXPECT_EQ(strlen(buf), 60u);

    ASSERT_EQ(createPostDataUrl(buf, sizeof buf, PostFlowDataUrl, nullptr), 0);
    EXPECT_STREQ(buf,
                 "{\"flow\":{\"priority\":600,\"idle_timeout\":10,\"match\":[{\"in_port\":2 }],"
                 "\"actions\":[{\"output\":3}]}}");

    snprintf(buf, sizeof buf, "untouched");
    EXPECT_EQ(createPostDataUrl(buf, sizeof buf, 0, nullptr), -1);
    EXPECT_STREQ(buf, "untouched");

    EXPECT_EQ(createPostDataUrl(buf, 60, tokenUrl, nullptr), -1);  // no room for the zero
    EXPECT_STREQ(buf, "");
}

// ---- Reply walk

TEST(JsonWalk, DepthFirstInDocumentOrderWithKeysOnlyForMembers) {
    lb_json doc;
    const char text[] = R"({"z":{"b":1,"a":[{"d":2},3]},"c":"x","y":[]})";
    ASSERT_EQ(lb_json_parse(text, sizeof text - 1, doc), 0);
    std::vector<std::string> seen;
    lb_json_walk(
        doc,
        [](const lb_json_node *n, void *ctx) {
            static_cast<std::vector<std::string> *>(ctx)->push_back(n->key ? *n->key : "-");
        },
        &seen);
    EXPECT_EQ(seen, (std::vector<std::string>{"z", "b", "a", "-", "d", "-", "c", "y"}));
}

TEST(JsonWalk, ParseRejectsPartialAndEmptyDocuments) {
    lb_json doc;
    const char half[] = R"({"nodes":[{"ip":"19)";
    EXPECT_EQ(lb_json_parse(half, sizeof half - 1, doc), -1);
    EXPECT_TRUE(doc.is_null());
    EXPECT_EQ(lb_json_parse("", 0, doc), -1);
    EXPECT_EQ(lb_json_parse("<html>", 6, doc), -1);
}

TEST(JsonWalk, MemberLookupNeedsTheWholeKey) {
    lb_json doc;
    const char text[] = R"({"tok":"a","token_x":"b","":"c","first":{}})";
    ASSERT_EQ(lb_json_parse(text, sizeof text - 1, doc), 0);
    EXPECT_EQ(lb_json_get(&doc, "token"), nullptr);
    EXPECT_EQ(lb_json_get(&doc, ""), nullptr);
    EXPECT_STREQ(lb_json_text(lb_json_get(&doc, "tok")), "a");
    EXPECT_EQ(lb_json_text(lb_json_get(&doc, "first")), nullptr);  // not a string
    EXPECT_STREQ(lb_json_text(lb_json_first(&doc)), "a");
}

// ---- Link capture and hop lists

void gather(const char *text) {
    lb_json doc;
    ASSERT_EQ(lb_json_parse(text, strlen(text), doc), 0) << text;
    nx_json_getpath_all(&doc);
}

struct Hop {
    uint64_t dpid;
    uint32_t in, out;
    bool operator==(const Hop &o) const { return dpid == o.dpid && in == o.in && out == o.out; }
};

std::ostream &operator<<(std::ostream &os, const Hop &h) {
    return os << "{" << h.dpid << " in " << h.in << " out " << h.out << "}";
}

std::vector<Hop> hops(dlist_head *list) {
    std::vector<Hop> out;
    for (dlist_node *n = list->next; n != list; n = n->next) {
        auto *h = static_cast<pathlist_node_t *>(n->data);
        out.push_back({h->node_dpid, h->in_port, h->out_port});
    }
    return out;
}

class PathList : public testing::Test {
  protected:
    void SetUp() override { num_pathnodes = 0; }
    void TearDown() override {
        del_pathlist(&list_);
        num_pathnodes = 0;
    }
    dlist_head list_{nullptr, &list_, &list_};
};

TEST_F(PathList, TwoLinksGiveThreeHopsJoinedAtTheMiddleSwitch) {
    // A->B leaves A at 3 and enters B at 1; B->C leaves B at 5 and enters C at 2.
    gather(R"({"path":{"links":[
        {"src_dpid":"00:00:00:00:00:00:00:0a","src_port":3,"dst_dpid":"00:00:00:00:00:00:00:0b","dst_port":1},
        {"src_dpid":"00:00:00:00:00:00:00:0b","src_port":5,"dst_dpid":"00:00:00:00:00:00:00:0c","dst_port":2}]}})");
    ASSERT_EQ(num_pathnodes, 2u);
    EXPECT_NE(create_pathlist(&list_, "a", "c", "x", 7, 9), 0);
    EXPECT_EQ(hops(&list_), (std::vector<Hop>{{0xa, 7, 3}, {0xb, 1, 5}, {0xc, 2, 9}}));
    EXPECT_EQ(num_pathnodes, 0u);
}

TEST_F(PathList, OneLinkGivesTwoHopsAndNoLinksGiveNone) {
    gather(R"({"path":{"links":[{"src_dpid":"1","src_port":4,"dst_dpid":"2","dst_port":6}]}})");
    EXPECT_NE(create_pathlist(&list_, nullptr, nullptr, nullptr, 10, 11), 0);
    EXPECT_EQ(hops(&list_), (std::vector<Hop>{{1, 10, 4}, {2, 6, 11}}));
    del_pathlist(&list_);

    CaptureStdout();
    EXPECT_EQ(create_pathlist(&list_, nullptr, nullptr, nullptr, 10, 11), 0);
    EXPECT_EQ(GetCapturedStdout(), "Number of nodes are zero ");
    EXPECT_TRUE(dlist_empty(&list_));
}

TEST_F(PathList, OnlyWholeKeysCountAndDstPortClosesALink) {
    // Leading parts, longer keys and empty keys must not fill the pending link; a link
    // is completed only by "dst_port"; non-string dpids stay 0.
    gather(R"({"links":[
        {"src_dpid":"0a","src_port":1,"dst_dpid":"0b","src":"ff","src_dpid_x":"ee","":"dd",
         "dst_po":99,"dst_port":2},
        {"src_dpid":17,"src_port":3,"dst_dpid":null,"dst_port":4},
        {"src_dpid":"0c","src_port":5}]})");
    ASSERT_EQ(num_pathnodes, 2u);
    EXPECT_EQ(pathlist_nodes[0].src_dpid, 0xau);
    EXPECT_EQ(pathlist_nodes[0].src_port, 1u);
    EXPECT_EQ(pathlist_nodes[0].dst_dpid, 0xbu);
    EXPECT_EQ(pathlist_nodes[0].dst_port, 2u);
    EXPECT_EQ(pathlist_nodes[1].src_dpid, 0u);
    EXPECT_EQ(pathlist_nodes[1].dst_dpid, 0u);
    EXPECT_EQ(pathlist_nodes[1].src_port, 3u);
    EXPECT_EQ(pathlist_nodes[1].dst_port, 4u);
}

TEST_F(PathList, TableKeepsItsCapacityAndDropsTheRest) {
    std::string text = R"({"links":[)";
    for (int i = 0; i < LB_MAX_PATHNODES + 3; ++i)
        text += std::string(i ? "," : "") + R"({"src_dpid":"1","src_port":)" + std::to_string(i) +
                R"(,"dst_dpid":"2","dst_port":1})";
    text += "]}";
    CaptureStderr();
    gather(text.c_str());
    std::string err = GetCapturedStderr();
    EXPECT_EQ(num_pathnodes, static_cast<uint32_t>(LB_MAX_PATHNODES));
    EXPECT_EQ(pathlist_nodes[LB_MAX_PATHNODES - 1].src_port, LB_MAX_PATHNODES - 1u);
    EXPECT_NE(err.find("further links dropped"), std::string::npos) << err;
}

TEST_F(PathList, DeletingEmptiesTheListAndIgnoresEmptyAndNullHeads) {
    add_pathlist_node(&list_, 1, 2, 3);
    add_pathlist_node(&list_, 4, 5, 6);
    EXPECT_EQ(hops(&list_), (std::vector<Hop>{{1, 2, 3}, {4, 5, 6}}));
    del_pathlist(&list_);  // the leak checker sees hops that are not freed
    EXPECT_TRUE(dlist_empty(&list_));
    EXPECT_EQ(list_.next, &list_);
    EXPECT_EQ(list_.prev, &list_);
    del_pathlist(&list_);
    EXPECT_TRUE(dlist_empty(&list_));
    del_pathlist(nullptr);

    dlist_head zeroed{};  // a flow entry whose list was never built
    del_pathlist(&zeroed);
    EXPECT_TRUE(dlist_empty(&zeroed));
    EXPECT_EQ(create_pathlist_node(nullptr), nullptr);
}

// ---- Dpid conversion

TEST(DpidToUll, TextForms) {
    struct {
        const char *text;
        const char *what;
        uint64_t expected;
    } cases[] = {
        {"00:00:00:00:00:00:00:0a", "colon pairs", 10},
        {"000000000000000a", "plain digits", 10},
        {"00:00:00:00:00:00:00:0A", "upper case", 10},
        {"12:34:56:78:9a:bc:de:f0", "all pairs used", 0x123456789abcdef0ull},
        {"123456789abcdef0", "same digits without colons", 0x123456789abcdef0ull},
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

// ---- Reply logs

TEST(ReplyLog, FirstDeliveryTruncatesAndNamesTheFileLaterOnesAppendSilently) {
    lbtest::writeFile("reply_test.out", "stale content");
    int first = 1;
    std::string joined;
    char part1[] = "{\"a\":";
    char part2[] = "1}";
    CaptureStderr();
    EXPECT_EQ(lbRestCollect("reply_test.out", &first, part1, 1, 5, &joined), 5u);
    EXPECT_EQ(GetCapturedStderr(), "The body is <reply_test.out>\n");
    EXPECT_EQ(first, 0);
    CaptureStderr();
    EXPECT_EQ(lbRestCollect("reply_test.out", &first, part2, 1, 2, &joined), 2u);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(lbtest::readFile("reply_test.out"), "{\"a\":1}");
    EXPECT_EQ(joined, "{\"a\":1}");
}

TEST(ReplyLog, UncreatableFileFailsTheDeliveryAndClearsTheFlag) {
    int first = 1;
    char data[] = "x";
    EXPECT_EQ(lbRestCollect("no_such_dir/log.out", &first, data, 1, 1, nullptr),
              static_cast<size_t>(-1));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(lbRestCollect("no_such_dir/log.out", &first, data, 1, 1, nullptr),
              static_cast<size_t>(-1));
}

// ---- Nodes reply reader

struct NodeCase {
    const char *reply;
    const char *what;
    const char *dpid;
    int64_t port;
    const char *printed;  // stdout, or null when "nodes" is missing
};

TEST(NodesReply, FirstHostOnlyAndDefaultsForMissingMembers) {
    const NodeCase cases[] = {
        {R"({"nodes":[{"ip":"192.0.2.10","mac":"02:00:00:00:00:10","dpid":"00:00:00:00:00:00:00:05","port":7},
                      {"ip":"192.0.2.10","mac":"02:00:00:00:00:11","dpid":"00:00:00:00:00:00:00:06","port":8}]})",
         "two hosts: first used", "00:00:00:00:00:00:00:05", 7,
         "Get:: Receved ip:192.0.2.10\nGet:: Receved mac:02:00:00:00:00:10\n"
         "Get:: Receved dpid:00:00:00:00:00:00:00:05\nGet:: Receved port:7\n"},
        {R"({"nodes":[{"ip":"192.0.2.10","mac":"m","port":7}]})", "no dpid", "NULL", 7,
         "Get:: Receved ip:192.0.2.10\nGet:: Receved mac:m\nGet:: Receved dpid:(null)\n"
         "Get:: Receved port:7\n"},
        {R"({"nodes":[{"ip":"192.0.2.10","mac":"m","dpid":"00:01"}]})", "no port", "00:01", 0,
         "Get:: Receved ip:192.0.2.10\nGet:: Receved mac:m\nGet:: Receved dpid:00:01\n"
         "Get:: Receved port:0\n"},
        {R"({"nodes":[]})", "empty nodes", "NULL", 0,
         "Get:: Receved ip:(null)\nGet:: Receved mac:(null)\nGet:: Receved dpid:(null)\n"
         "Get:: Receved port:0\n"},
        {R"({"node":[{"dpid":"01","port":3}]})", "no nodes member", "NULL", 0, nullptr},
        {"<html>", "not JSON", "NULL", 0, nullptr},
        {R"({"nodes":[{"dpid":"0123456789012345678901234567890123456789","port":2}]})",
         "dpid cut to 31", "0123456789012345678901234567890", 2, "skip"},
    };
    for (const auto &c : cases) {
        NODE_DATA rec;
        snprintf(rec.node_ip, sizeof rec.node_ip, "NULL");
        snprintf(rec.switch_dpid, sizeof rec.switch_dpid, "NULL");
        rec.node_port = 0;
        CaptureStdout();
        getSwitchFlowReply(c.reply, strlen(c.reply), &rec);
        std::string out = GetCapturedStdout();
        EXPECT_STREQ(rec.switch_dpid, c.dpid) << c.what;
        EXPECT_EQ(rec.node_port, c.port) << c.what;
        EXPECT_STREQ(rec.node_ip, "NULL") << c.what;
        if (c.printed == nullptr) {
            EXPECT_EQ(out, "nx_json_get returned null for GetWriteMemoryCallback\n") << c.what;
        } else if (std::string(c.printed) != "skip") {
            EXPECT_EQ(out, c.printed) << c.what;
        }
    }
}

}  // namespace
