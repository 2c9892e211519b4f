// Controller client pieces that need no controller: reply parsing and walk, link capture,
// hop lists, dpid conversion, reply logs, the nodes reply reader and controller.conf.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "controller/lbCurl/ctrlLogin.h"
#include "controller/lbCurl/jsonext.h"
#include "controller/lbCurl/lb_getpath_restapi.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "controller/lbCurl/restApi.h"
#include "support/lbtest_util.h"

namespace {

using lbtest::Hop;
using lbtest::hops;

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
    // The emptied list takes new hops; the links were used up: no hops from them now.
    add_pathlist_node(&list, 1, 2, 3);
    add_pathlist_node(&list, 4, 5, 6);
    EXPECT_EQ(hops(&list), (std::vector<Hop>{{1, 2, 3}, {4, 5, 6}}));
    del_pathlist(&list);
    int rc = -1;
    EXPECT_EQ(
        lbtest::printed([&] { rc = create_pathlist(&list, nullptr, nullptr, nullptr, 7, 9); }),
        "Number of nodes are zero ");
    EXPECT_TRUE(rc == 0 && hops(&list).empty());
}

TEST(DpidToUll, TextForms) {
    const std::tuple<const char *, const char *, uint64_t> cases[] = {
        {"00:00:00:00:00:00:00:0A", "colon pairs, upper case", 10},
        {"12:34:56:78:9a:bc:de:f0", "all pairs used", 0x123456789abcdef0ull},
        {"123456789abcdef0", "plain digits", 0x123456789abcdef0ull},
        {"::0:1::", "colons anywhere", 1},
        {"1g", "leading digits only", 1},
        {"zz", "no hexadecimal digit", 0},
        {"", "empty", 0},
        {"00000000000000000000001F", "24 digits: only 23 read", 1},
    };
    for (const auto &[text, what, expected] : cases) {
        uint64_t v = 0xdeadbeef;
        lb_dpid_to_ull(text, &v);
        EXPECT_EQ(v, expected) << what;
    }
}

TEST(ReplyLog, FirstDeliveryTruncatesAndNamesTheFileAndAnUncreatableOneFails) {
    lbtest::writeFile("reply_test.out", "stale content");
    int first = 1;
    std::string joined;
    testing::internal::CaptureStderr();
    EXPECT_EQ(lbRestCollect("reply_test.out", &first, "{\"a\":", 1, 5, &joined), 5u);
    EXPECT_EQ(lbRestCollect("reply_test.out", &first, "1}", 1, 2, &joined), 2u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "The body is <reply_test.out>\n");
    EXPECT_EQ(lbtest::readFile("reply_test.out"), "{\"a\":1}");
    EXPECT_EQ(joined, "{\"a\":1}");

    first = 1;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(lbRestCollect("no_such_dir/log.out", &first, "x", 1, 1, nullptr),
                  static_cast<size_t>(-1));
    EXPECT_EQ(first, 0);
}

TEST(NodesReply, FirstHostOnlyAndDefaultsForMissingMembersOrUnusableReplies) {
    const char kNoNodes[] = "nx_json_get returned null for GetWriteMemoryCallback\n";
    const struct {
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
        {R"({"nodes":[{"dpid":"01","port":3}],"x":)", "cut short", "NULL", 0, kNoNodes},
        {"", "empty", "NULL", 0, kNoNodes},
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

// A refusal names the fault and none of the file's words.
TEST(ControllerConf, ReadOrRefused) {
    const std::string kept = "u0|p0|d0", others = "group or others may read or write it (mode ";
    const char *kLogin = "user a\npassword zz9secret\ndomain d\n";
    const struct {
        const char *what, *text;  // text null: no file
        mode_t mode;
        int rc;
        std::string want, why;
    } cases[] = {
        {"absent", nullptr, 0600, 1, kept, ""},
        {"three lines, comments, a password with blanks",
         "# controller login\n\nuser admin\n  domain  lab \npassword s3 cr\"t\\x\r\n", 0600, 0,
         "admin|s3 cr\"t\\x|lab", ""},
        {"readable by others", kLogin, 0604, -1, kept, others + "0604); chmod 600"},
        {"readable by the group", kLogin, 0640, -1, kept, others + "0640); chmod 600"},
        {"a key without its value", "user a\npassword\ndomain d\n", 0600, -1, kept,
         "line 2: a key without a value"},
        {"an unknown key", "user a\npasswd zz9secret\ndomain d\n", 0600, -1, kept,
         "line 2: expected \"user NAME\", \"password SECRET\" or \"domain NAME\""},
        {"a key twice", "user a\nuser b\npassword zz9secret\ndomain d\n", 0600, -1, kept,
         "line 2: a key given twice"},
        {"no domain", "user a\npassword zz9secret\n", 0600, -1, kept, "no \"domain NAME\" line"},
        {"a control character", "user a\npassword zz9\033secret\ndomain d\n", 0600, -1, kept,
         "line 2: a control character in a value"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        lbtest::setFile(LB_CTRL_CONF, c.text);
        ASSERT_TRUE(c.text == nullptr || chmod(LB_CTRL_CONF, c.mode) == 0);
        lbCtrlLogin got{"u0", "p0", "d0"};
        std::string why;
        EXPECT_EQ(lbCtrlLoginRead(LB_CTRL_CONF, &got, &why), c.rc);
        EXPECT_EQ(why, c.why);
        EXPECT_EQ(got.user + "|" + got.password + "|" + got.domain, c.want);
    }
    EXPECT_EQ(lbCtrlLoginBody({"admin", "s3 cr\"t\\x", "lab"}),
              R"({"login":{"user":"admin","password":"s3 cr\"t\\x","domain":"lab"}})");
    EXPECT_EQ(lbCtrlLoginBody(lbCtrlLoginBuiltIn()),
              R"({"login":{"user":"sdn","password":"quorbit","domain":"sdn"}})");
    unlink(LB_CTRL_CONF);
}

}  // namespace
