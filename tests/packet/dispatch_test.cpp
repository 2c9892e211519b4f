// The dispatcher against the controller simulator, through the send seam: each case is a
// frame, what it is, the verdict and the frame that leaves (built independently).
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "common/lbGlobals.h"
#include "controller/lbCurl/restApi.h"
#include "ctrlsim_fixture.h"
#include "frame_util.h"
#include "packet/lbCtrlMain.h"
#include "support/lbtest_util.h"

namespace {

using lbtest::buildFrame;
using lbtest::Bytes;
using lbtest::FrameSpec;

constexpr const char *kSim = "127.0.0.62", *kVip = "203.0.113.100", *kVipMac = "02:00:00:00:01:00";
constexpr const char *kClient = "192.0.2.10", *kServer = "198.51.100.11";
constexpr const char *kServerMac = "02:00:00:00:00:11";
enum : uint8_t { FIN = 1, SYN = 2, RST = 4, PSH = 8, ACK = 0x10 };

// One switch: the balancer (VIP) at port 6, the client at 3, server .11 at 4; .12 unknown.
constexpr const char *kTopology = R"({"switches": [{"dpid": "1"}], "links": [],
  "hosts": [{"ip": "203.0.113.100", "mac": "02:00:00:00:01:00", "dpid": "1", "port": 6},
            {"ip": "192.0.2.10", "mac": "02:00:00:00:00:0c", "dpid": "1", "port": 3},
            {"ip": "198.51.100.11", "mac": "02:00:00:00:00:11", "dpid": "1", "port": 4}]})";

std::unique_ptr<lbtest::CtrlSim> g_sim;
std::vector<Bytes> g_sent;      // frames that left through the seam
std::vector<size_t> g_rulesAt;  // flow requests the simulator had logged as each left

int capture(const uint8_t *buf, uint32_t len) {
    g_sent.emplace_back(buf, buf + len);
    size_t rules = 0;
    for (const auto &r : g_sim->requests())
        rules += r.value("path", "").find("/flows") != std::string::npos;
    g_rulesAt.push_back(rules);
    return 0;
}

// Dispatches a copy of f in a buffer of exactly its size (ASan sees any read beyond
// it); returns what was printed, less the node queries' reply lines ("Get:: ...").
std::string dispatch(const Bytes &f) {
    g_sent.clear();
    g_rulesAt.clear();
    std::unique_ptr<unsigned char[]> buf(new unsigned char[f.size()]);
    std::copy(f.begin(), f.end(), buf.get());
    std::string all = lbtest::printed([&] { lbHandlePktin(buf.get(), int(f.size())); }), out;
    for (size_t at = 0, end; at < all.size(); at = end + 1) {
        end = std::min(all.find('\n', at), all.size());
        if (all.compare(at, 6, "Get:: ") != 0)
            out += all.substr(at, end + 1 - at);
    }
    return out;
}

// clang-format off
FrameSpec client(uint16_t sport, uint8_t flags, size_t payload = 0) {
    return {.dstMac = kVipMac, .srcIp = kClient, .dstIp = kVip, .sport = sport, .flags = flags, .payload = payload};
}
FrameSpec server(uint16_t dport, uint8_t flags) {
    return {.srcMac = kServerMac, .srcIp = kServer, .dstIp = kClient, .sport = 80, .dport = dport, .flags = flags};
}
// clang-format on
Bytes toServer(FrameSpec s) {
    s.dstMac = kServerMac;
    s.dstIp = kServer;
    return buildFrame(s);
}
Bytes fromVip(FrameSpec s) {
    s.srcMac = kVipMac;
    s.srcIp = kVip;
    return buildFrame(s);
}

class Dispatch : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        g_sim = std::make_unique<lbtest::CtrlSim>(kSim, kTopology);
        lbPktSend = capture;
    }
    static void TearDownTestSuite() { g_sim.reset(); }
    void SetUp() override {
        ASSERT_TRUE(g_sim->running());
        lbtest::resetState();
        ASSERT_TRUE(g_sim->reset());
        setControllerIp(g_sim->ctrlAddr().c_str());
        g_sim->clearLog();
        snprintf(g_cont1IPAddr, sizeof g_cont1IPAddr, "%s", kSim);
        snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", kVip);
        for (auto [field, value] : {std::pair{g_contMacAddr, "2:0:0:0:1:0"},
                                    {g_vlanId, "0"},
                                    {g_addFlowTmr, "300"},
                                    {g_delFlowTmr, "1"}})
            snprintf(reinterpret_cast<char *>(field), sizeof g_vlanId, "%s", value);
        lbFlowTable_create();
    }
    void TearDown() override { lbtest::resetState(); }

    static lbServer_node_t *addServer(const char *addr, int maxconn = 10, int lock = 0) {
        lbServer_node_t *s = create_lbServer_node(&lbServHead);
        inet_pton(AF_INET, addr, &s->lbServIp);
        lbtest::putMac(s->lbServMac, kServerMac);
        s->maxconn = maxconn;
        s->lock = lock;
        g_lbNumServers++;
        return s;
    }
};

TEST(Classify, FirstMatchingFlagTestDecides) {
    const std::pair<uint8_t, int> cases[] = {
        {SYN, 2},       {SYN | ACK, -1},      {ACK, -1},      {FIN, -1}, {ACK | PSH, -1},
        {FIN | ACK, 3}, {SYN | FIN | ACK, 3}, {SYN | RST, 2}, {RST, 5},  {RST | ACK, 5}};
    for (auto [flags, code] : cases) {
        Bytes f = buildFrame(client(40000, flags));
        EXPECT_EQ(checkTcpflags(f.data(), int(f.size())), code) << int{flags};
    }
    Bytes f = buildFrame(client(40000, SYN));
    EXPECT_EQ(checkTcpflags(f.data(), 14 + 20 + 13), LB_TCP_NONE);  // flags byte not received
}

TEST_F(Dispatch, AConnectionFromSynToReset) {
    addServer(kServer);
    struct Step {
        const char *what;
        Bytes in, out;       // out empty: dropped
        size_t rulesBefore;  // flow requests logged when it left
        const char *printed;
    } steps[] = {
        // clang-format off
        {"opening SYN: rules A-D first", buildFrame(client(40000, SYN)), toServer(client(40000, SYN)), 4, "received TCP SYN\n"},
        {"retransmitted SYN", buildFrame(client(40000, SYN)), {}, 0, "received TCP SYN\n"},
        {"server's SYN+ACK", buildFrame(server(40000, SYN | ACK)), fromVip(server(40000, SYN | ACK)), 4, ""},
        {"client's data", buildFrame(client(40000, ACK | PSH, 33)), toServer(client(40000, ACK | PSH, 33)), 4, ""},
        {"client's FIN+ACK", buildFrame(client(40000, FIN | ACK)), toServer(client(40000, FIN | ACK)), 4, ""},
        {"server's FIN+ACK", buildFrame(server(40000, FIN | ACK)), fromVip(server(40000, FIN | ACK)), 4, ""},
        {"client's last ACK", buildFrame(client(40000, ACK)), toServer(client(40000, ACK)), 4, ""},
        {"second connection's SYN", buildFrame(client(40001, SYN)), toServer(client(40001, SYN)), 8, "received TCP SYN\n"},
        {"server's RST: rules re-posted first", buildFrame(server(40001, RST | ACK)), fromVip(server(40001, RST | ACK)), 12, ""},
        {"late segment of the reset connection", buildFrame(client(40001, ACK)), {}, 0, ""},
        // clang-format on
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.what);
        EXPECT_EQ(dispatch(s.in), s.printed);
        ASSERT_EQ(g_sent.size(), s.out.empty() ? 0u : 1u);
        if (!s.out.empty()) {
            EXPECT_EQ(g_sent[0], s.out);
            EXPECT_EQ(g_rulesAt[0], s.rulesBefore);
        }
        EXPECT_EQ(timerisset(&endtv) != 0, !s.out.empty());  // time of the send, if any
    }
    lbFlow_t *closing = lbFlowTable_getEntry(inet_addr(kClient), 40000);
    ASSERT_NE(closing, nullptr);  // the expiry walks remove it
    EXPECT_EQ(closing->deleteFlowSet, 1);
    EXPECT_EQ(lbFlowTable_getEntry(inet_addr(kClient), 40001), nullptr);
}

TEST_F(Dispatch, FramesThatAreNeverForwarded) {
    addServer(kServer);
    ASSERT_EQ(dispatch(buildFrame(client(40000, SYN))), "received TCP SYN\n");
    // Mostly frames of that open connection, which would otherwise be forwarded.
    auto data = [](std::function<void(Bytes &)> change) {
        Bytes f = buildFrame(client(40000, ACK | PSH, 8));
        change(f);
        return f;
    };
    Bytes tagged = buildFrame(client(40002, SYN));
    tagged.insert(tagged.begin() + 12, {0x81, 0x00, 0x00, 0x05});
    const std::pair<const char *, Bytes> cases[] = {
        // clang-format off
        {"SYN to another address", buildFrame({.srcIp = kClient, .dstIp = "198.51.100.99", .sport = 40003, .flags = SYN})},
        {"SYN to the console port", buildFrame({.srcIp = kClient, .dstIp = kVip, .sport = 40004, .dport = 8000, .flags = SYN})},
        {"SYN from the controller", buildFrame({.srcIp = kSim, .dstIp = kVip, .sport = 40005, .flags = SYN})},
        {"segment to the controller", data([](Bytes &f) { inet_pton(AF_INET, kSim, &f[30]); })},
        {"same source and destination", data([](Bytes &f) { inet_pton(AF_INET, kClient, &f[30]); })},
        {"ICMP", data([](Bytes &f) { f[23] = 1; })},
        {"UDP", data([](Bytes &f) { f[23] = 17; })},
        {"VLAN-tagged SYN", tagged},
        {"ARP", data([](Bytes &f) { f[13] = 0x06; })},
        {"segment of no connection", buildFrame({.srcIp = "192.0.2.30", .dstIp = "198.51.100.50", .sport = 5555})},
        {"only the Ethernet header", data([](Bytes &f) { f.resize(14); })},
        {"cut inside the IPv4 header", data([](Bytes &f) { f.resize(14 + 19); })},
        {"IHL below 5", data([](Bytes &f) { f[14] = 0x44; })},
        {"not version 4", data([](Bytes &f) { f[14] = 0x65; })},
        {"total length beyond the frame", data([](Bytes &f) { f[17]++; })},
        {"TCP header longer than the segment", data([](Bytes &f) { f[14 + 20 + 12] = 0xf0; })},
        {"cut inside the TCP header", data([](Bytes &f) { f.resize(14 + 20 + 12); f[17] = 32; })},
        {"non-first fragment", data([](Bytes &f) { f[21] = 0xb9; })},
        {"first fragment, more to come", data([](Bytes &f) { f[20] = 0x20; })},
        // clang-format on
    };
    g_sim->clearLog();
    for (const auto &[what, frame] : cases) {
        SCOPED_TRACE(what);
        EXPECT_EQ(dispatch(frame), "");
        EXPECT_TRUE(g_sent.empty());
    }
    EXPECT_EQ(numFlowEntries, 1u);
    EXPECT_EQ(lbFlowTable_getEntry(inet_addr(kClient), 40000)->deleteFlowSet, 0);
    EXPECT_TRUE(g_sim->requests().empty());
}

// The loaders (here the test) may rewrite the configured texts between frames: each
// frame is judged and readdressed by the VIP, controller address and controller MAC as
// they stand when it arrives.
TEST_F(Dispatch, EachFrameSeesTheConfigurationAsItStands) {
    addServer(kServer);
    ASSERT_EQ(dispatch(buildFrame(client(40000, SYN))), "received TCP SYN\n");
    FrameSpec console = client(40000, ACK);
    console.dport = LB_CONSOLE_PORT;
    FrameSpec broadcastSyn = client(40001, SYN);
    broadcastSyn.dstIp = "255.255.255.255";  // what inet_addr makes of an empty text
    FrameSpec reply = server(40000, ACK);
    reply.srcMac = "02:00:00:00:01:01";
    reply.srcIp = "203.0.113.101";
    auto set = [](auto *field, const char *text) {
        snprintf(reinterpret_cast<char *>(field), sizeof g_vipIPAddr, "%s", text);
    };
    const struct {
        const char *what;
        std::function<void()> change;
        Bytes in, out;  // out empty: dropped
    } steps[] = {
        // clang-format off
        {"to the VIP's console port", [] {}, buildFrame(console), {}},
        {"the same once the VIP moved", [&] { set(g_vipIPAddr, "203.0.113.101"); }, buildFrame(console), toServer(console)},
        {"reply from the new VIP and MAC", [&] { set(g_contMacAddr, "2:0:0:0:1:1"); }, buildFrame(server(40000, ACK)), buildFrame(reply)},
        {"client's data once the client is the controller", [&] { set(g_cont1IPAddr, kClient); }, buildFrame(client(40000, ACK)), {}},
        {"and once the controller is back", [&] { set(g_cont1IPAddr, kSim); }, buildFrame(client(40000, ACK)), toServer(client(40000, ACK))},
        {"SYN to 255.255.255.255 with no VIP configured", [&] { set(g_vipIPAddr, ""); }, buildFrame(broadcastSyn), {}},
        // clang-format on
    };
    for (const auto &st : steps) {
        SCOPED_TRACE(st.what);
        st.change();
        EXPECT_EQ(dispatch(st.in), "");
        EXPECT_EQ(g_sent, st.out.empty() ? std::vector<Bytes>{} : std::vector<Bytes>{st.out});
    }
}

TEST_F(Dispatch, ServerChoice) {
    constexpr const char *kLost = "198.51.100.12";  // unknown to the controller
    struct Case {
        const char *what;
        std::vector<std::tuple<const char *, int, int>> servers;  // address, maxconn, lock
        const char *client, *line;
        int marked;  // servers marked unreachable afterwards
    } cases[] = {
        {"no servers", {}, kClient, "There are no servers\n", 0},
        {"every server locked or full",
         {{kServer, 10, 1}, {kLost, 0, 0}},
         kClient,
         "All servers are either Locked/Not reachable/MAX Connections Reached\n",
         0},
        {"a server that cannot be located is skipped",
         {{kLost, 10, 0}, {kServer, 10, 0}},
         kClient,
         nullptr,
         1},
        {"client unknown to the controller",
         {{kServer, 10, 0}},
         "192.0.2.77",
         "Could not add a flow\n",
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        for (auto [addr, maxconn, lock] : c.servers)
            addServer(addr, maxconn, lock);
        FrameSpec syn = client(40000, SYN);
        syn.srcIp = c.client;
        std::string out = dispatch(buildFrame(syn));
        EXPECT_EQ(out.rfind("received TCP SYN\n", 0), 0u) << out;
        EXPECT_TRUE(c.line == nullptr || out.find(c.line) != std::string::npos) << out;
        EXPECT_EQ(g_sent, c.line ? std::vector<Bytes>{} : std::vector<Bytes>{toServer(syn)});
        int marked = 0;
        for (dlist_node *n = lbServHead.next; n != &lbServHead; n = n->next)
            marked += static_cast<lbServer_node_t *>(n->data)->servNotReachable;
        EXPECT_EQ(marked, c.marked);
        TearDown();
    }
}

}  // namespace
