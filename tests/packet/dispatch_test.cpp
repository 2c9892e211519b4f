// The dispatcher against the controller simulator, through the send seam: each case is a
// frame, what it is, the verdict and the frame that leaves (built independently).
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "common/lbGlobals.h"
#include "packet_fixture.h"
#include "support/lbtest_util.h"

namespace {

using namespace lbtest;

// The client and the server .11 sit on the balancer's switch; .12 is unknown.
class Dispatch : public PacketSim {};
constexpr const char *kSim = Dispatch::kSimAddr;
enum : uint8_t { FIN = 1, SYN = 2, RST = 4, PSH = 8, ACK = 0x10 };

TEST(Classify, FirstMatchingFlagTestDecides) {
    const std::pair<uint8_t, int> cases[] = {
        {SYN, 2},       {SYN | ACK, -1},      {ACK, -1},      {FIN, -1}, {ACK | PSH, -1},
        {FIN | ACK, 3}, {SYN | FIN | ACK, 3}, {SYN | RST, 2}, {RST, 5},  {RST | ACK, 5}};
    for (auto [flags, code] : cases) {
        Bytes f = buildFrame(fromClient(40000, flags));
        EXPECT_EQ(checkTcpflags(f.data(), int(f.size())), code) << int{flags};
    }
    Bytes f = buildFrame(fromClient(40000, SYN));
    EXPECT_EQ(checkTcpflags(f.data(), 14 + 20 + 13), LB_TCP_NONE);  // flags byte not received
}

TEST_F(Dispatch, AConnectionFromSynToReset) {
    constexpr size_t kUnchecked = ~size_t{0};  // the re-posts race with the RST's departure
    addServer(kServer);
    struct Step {
        const char *what;
        Bytes in;
        std::vector<Bytes> out;
        size_t rulesBefore;  // flow requests logged when it left (a SYN: all its rules)
        const char *printed;
    } steps[] = {
        // clang-format off
        {"opening SYN: rules A-D first", buildFrame(fromClient(40000, SYN)), {toServer(fromClient(40000, SYN))}, 4, "received TCP SYN\n"},
        {"server's SYN+ACK", buildFrame(fromServer(40000, SYN | ACK)), {fromVip(fromServer(40000, SYN | ACK))}, 4, ""},
        {"client's data", buildFrame(fromClient(40000, ACK | PSH, 33)), {toServer(fromClient(40000, ACK | PSH, 33))}, 4, ""},
        {"client's FIN+ACK", buildFrame(fromClient(40000, FIN | ACK)), {toServer(fromClient(40000, FIN | ACK))}, 4, ""},
        {"server's FIN+ACK", buildFrame(fromServer(40000, FIN | ACK)), {fromVip(fromServer(40000, FIN | ACK))}, 4, ""},
        {"client's last ACK", buildFrame(fromClient(40000, ACK)), {toServer(fromClient(40000, ACK))}, 4, ""},
        {"second connection's SYN", buildFrame(fromClient(40001, SYN)), {toServer(fromClient(40001, SYN))}, 8, "received TCP SYN\n"},
        {"server's RST: forwarded at once, its rules re-posted after", buildFrame(fromServer(40001, RST | ACK)), {fromVip(fromServer(40001, RST | ACK))}, kUnchecked, ""},
        {"late segment of the reset connection", buildFrame(fromClient(40001, ACK)), {}, 0, ""},
        // clang-format on
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.what);
        EXPECT_EQ(run(s.in), s.printed);
        EXPECT_EQ(sent(), s.out);
        if (!sent().empty() && s.rulesBefore != kUnchecked) {
            EXPECT_EQ(rulesAt(0), s.rulesBefore);
        }
    }
    EXPECT_EQ(flowRequests().size(), 12u);  // the reset's re-posts
    lbFlow_t *closing = lbFlowTable_getEntry(inet_addr(kClient), 40000);
    ASSERT_NE(closing, nullptr);  // the expiry walks remove it
    EXPECT_EQ(closing->deleteFlowSet, 1);
    EXPECT_EQ(lbFlowTable_getEntry(inet_addr(kClient), 40001), nullptr);
}

TEST_F(Dispatch, FramesThatAreNeverForwarded) {
    addServer(kServer);
    ASSERT_EQ(open(kClient), "received TCP SYN\n");
    // Mostly frames of that open connection, which would otherwise be forwarded.
    const FrameSpec seg = fromClient(40000, ACK | PSH, 8);
    const std::pair<const char *, Bytes> cases[] = {
        // clang-format off
        {"SYN to another address", buildFrame({.srcIp = kClient, .dstIp = "198.51.100.99", .sport = 40003, .flags = SYN})},
        {"SYN to the console port", buildFrame({.srcIp = kClient, .dstIp = kVip, .sport = 40004, .dport = 8000, .flags = SYN})},
        {"SYN from the controller", buildFrame({.srcIp = kSim, .dstIp = kVip, .sport = 40005, .flags = SYN})},
        {"segment to the controller", changed(seg, [](Bytes &f) { inet_pton(AF_INET, kSim, &f[30]); })},
        {"same source and destination", changed(seg, [](Bytes &f) { inet_pton(AF_INET, kClient, &f[30]); })},
        {"ICMP", changed(seg, [](Bytes &f) { f[23] = 1; })},
        {"UDP", changed(seg, [](Bytes &f) { f[23] = 17; })},
        {"VLAN-tagged SYN", changed(fromClient(40002, SYN), [](Bytes &f) { f.insert(f.begin() + 12, {0x81, 0x00, 0x00, 0x05}); })},
        {"ARP", changed(seg, [](Bytes &f) { f[13] = 0x06; })},
        {"segment of no connection", buildFrame({.srcIp = "192.0.2.30", .dstIp = "198.51.100.50", .sport = 5555})},
        {"only the Ethernet header", changed(seg, [](Bytes &f) { f.resize(14); })},
        {"cut inside the IPv4 header", changed(seg, [](Bytes &f) { f.resize(14 + 19); })},
        {"IHL below 5", changed(seg, [](Bytes &f) { f[14] = 0x44; })},
        {"not version 4", changed(seg, [](Bytes &f) { f[14] = 0x65; })},
        {"total length beyond the frame", changed(seg, [](Bytes &f) { f[17]++; })},
        {"TCP header longer than the segment", changed(seg, [](Bytes &f) { f[14 + 20 + 12] = 0xf0; })},
        {"cut inside the TCP header", changed(seg, [](Bytes &f) { f.resize(14 + 20 + 12); f[17] = 32; })},
        {"non-first fragment", changed(seg, [](Bytes &f) { f[21] = 0xb9; })},
        {"first fragment, more to come", changed(seg, [](Bytes &f) { f[20] = 0x20; })},
        // clang-format on
    };
    sim_->clearLog();
    for (const auto &[what, frame] : cases) {
        SCOPED_TRACE(what);
        EXPECT_EQ(run(frame), "");
        EXPECT_TRUE(sent().empty());
    }
    EXPECT_EQ(numFlowEntries, 1u);
    EXPECT_EQ(lbFlowTable_getEntry(inet_addr(kClient), 40000)->deleteFlowSet, 0);
    EXPECT_TRUE(sim_->requests().empty());
}

// The loaders (here the test) may rewrite the configured texts between frames: each
// frame is judged by the VIP and controller address as they stand when it arrives (the
// rewrite suite changes the VIP and controller MAC at every frame it readdresses).
TEST_F(Dispatch, EachFrameSeesTheConfigurationAsItStands) {
    addServer(kServer);
    ASSERT_EQ(open(kClient), "received TCP SYN\n");
    FrameSpec console = fromClient(40000, ACK);
    console.dport = LB_CONSOLE_PORT;
    FrameSpec broadcastSyn = fromClient(40001, SYN);
    broadcastSyn.dstIp = "255.255.255.255";  // what inet_addr makes of an empty text
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
        {"client's data once the client is the controller", [&] { set(g_cont1IPAddr, kClient); }, buildFrame(fromClient(40000, ACK)), {}},
        {"and once the controller is back", [&] { set(g_cont1IPAddr, kSim); }, buildFrame(fromClient(40000, ACK)), toServer(fromClient(40000, ACK))},
        {"SYN to 255.255.255.255 with no VIP configured", [&] { set(g_vipIPAddr, ""); }, buildFrame(broadcastSyn), {}},
        // clang-format on
    };
    for (const auto &st : steps) {
        SCOPED_TRACE(st.what);
        st.change();
        EXPECT_EQ(run(st.in), "");
        EXPECT_EQ(sent(), st.out.empty() ? std::vector<Bytes>{} : std::vector<Bytes>{st.out});
    }
}

TEST_F(Dispatch, ServerChoice) {
    constexpr const char *kLost = "198.51.100.12";  // unknown to the controller
    struct Case {
        const char *what;
        std::vector<std::tuple<const char *, int, int>> servers;  // address, maxconn, lock
        const char *line;
        int marked;  // servers marked unreachable afterwards
    } cases[] = {
        // clang-format off
        {"no servers", {}, "There are no servers\n", 0},
        {"every server locked or full", {{kServer, 10, 1}, {kLost, 0, 0}},
         "All servers are either Locked/Not reachable/MAX Connections Reached\n", 0},
        {"a server that cannot be located is skipped", {{kLost, 10, 0}, {kServer, 10, 0}}, nullptr, 1},
        // clang-format on
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        for (auto [addr, maxconn, lock] : c.servers)
            addServer(addr, maxconn, lock);
        const std::string out = open(kClient);
        EXPECT_EQ(out.rfind("received TCP SYN\n", 0), 0u) << out;
        EXPECT_TRUE(c.line == nullptr || out.find(c.line) != std::string::npos) << out;
        EXPECT_EQ(sent(), c.line ? std::vector<Bytes>{}
                                 : std::vector<Bytes>{toServer(fromClient(40000, SYN))});
        int marked = 0;
        for (dlist_node *n = lbServHead.next; n != &lbServHead; n = n->next)
            marked += static_cast<lbServer_node_t *>(n->data)->servNotReachable;
        EXPECT_EQ(marked, c.marked);
    }
}

// An engine that holds the setups handed to it until the test ends them.
class HeldSetups : public lbCtrlEngine {
  public:
    bool down() const override { return isDown; }
    bool hasRoom() const override { return held.size() - ended < 2; }
    void setup(std::unique_ptr<lbSetupReq> r) override { held.push_back(std::move(r)); }
    void rules(lbRuleBatch) override {}
    size_t busy() const override { return 0; }
    void tick() override {}
    std::vector<std::string> drain(int) override { return {}; }
    std::vector<std::unique_ptr<lbSetupReq>> held;
    bool isDown = false;
    size_t ended = 0;  // setups the test has ended
};

TEST_F(Dispatch, PendingConnections) {
    lbServer_node_t *s = addServer(kServer);
    ASSERT_EQ(open(kClient), "received TCP SYN\n");
    auto *engine = static_cast<HeldSetups *>(useEngine(std::make_unique<HeldSetups>()));
    const std::string syn = "received TCP SYN\n", dropped = syn + "SYN dropped: ";
    struct Step {
        const char *what;
        std::function<void()> before;
        Bytes in;
        std::vector<Bytes> out;
        std::string printed;
        size_t held;
        int count;  // the server's connections afterwards
    } steps[] = {
        // clang-format off
        {"SYN: handed over, its server taken", [] {}, buildFrame(fromClient(40001, SYN)), {}, syn, 1, 2},
        {"its retransmission", [] {}, buildFrame(fromClient(40001, SYN)), {}, syn, 1, 2},
        {"another connection's data", [] {}, buildFrame(fromClient(40000, ACK | PSH, 10)), {toServer(fromClient(40000, ACK | PSH, 10))}, "", 1, 2},
        {"a frame to the pending connection", [] {}, buildFrame(fromServer(40001, ACK)), {}, "", 1, 2},
        {"a RST of the pending connection", [] {}, buildFrame(fromClient(40001, RST)), {}, "", 1, 2},
        {"second SYN: the bound reached", [] {}, buildFrame(fromClient(40002, SYN)), {}, syn, 2, 3},
        {"third SYN: beyond the bound", [] {}, buildFrame(fromClient(40003, SYN)), {}, dropped + "too many connections being set up (1 dropped so far)\n", 2, 3},
        {"fourth: counted, no second line", [] {}, buildFrame(fromClient(40004, SYN)), {}, syn, 2, 3},
        {"first setup ends: its SYN leaves", [&] { ++engine->ended; ASSERT_TRUE(lbSetupComplete(engine->held[0].get())); }, buildFrame(fromServer(40001, SYN | ACK)), {toServer(fromClient(40001, SYN)), fromVip(fromServer(40001, SYN | ACK))}, "", 2, 3},
        {"second fails: entry and count go", [&] { ++engine->ended; lbSetupAbandon(engine->held[1].get(), nullptr); }, buildFrame(fromClient(40002, SYN)), {}, syn, 3, 3},
        {"controller down: dropped at once", [&] { engine->isDown = true; }, buildFrame(fromClient(40005, SYN)), {}, dropped + "the controller is not reachable (1 dropped so far)\n", 3, 3},
        {"and without a line per SYN", [] {}, buildFrame(fromClient(40006, SYN)), {}, syn, 3, 3},
        // clang-format on
    };
    for (const Step &st : steps) {
        SCOPED_TRACE(st.what);
        std::string out = printed([&] {
            clearSent();
            st.before();
            dispatch(st.in);
        });
        if (st.what == std::string("second fails: entry and count go"))
            out.erase(0, out.find(syn));  // the failure's own line
        EXPECT_EQ(out, st.printed);
        EXPECT_EQ(sent(), st.out);
        EXPECT_EQ(engine->held.size(), st.held);
        EXPECT_EQ(s->numConn, st.count);
    }
    EXPECT_EQ(numFlowEntries, 3u);  // 40000, 40001 and the SYN of 40002 handed over again
}

// Receive batches as the packet loop hands them over. The frames a batch forwards leave
// in one send, in the order they came; a SYN whose setup ends between two batches leaves
// between their sends; a frame whose send fails is the only one lost, with its line. The
// new connection is from client port 0, which is a port like any other.
TEST_F(Dispatch, BatchesLeaveInOneSendInOrder) {
    addServer(kServer);
    ASSERT_EQ(open(kClient), "received TCP SYN\n");
    auto *engine = static_cast<HeldSetups *>(useEngine(std::make_unique<HeldSetups>()));
    auto data = [](size_t n) { return fromClient(40000, ACK | PSH, n); };  // the length tells
    const FrameSpec syn = fromClient(0, SYN), synAck = fromServer(0, SYN | ACK);
    struct Step {
        const char *what;
        std::function<void()> before;
        std::vector<FrameSpec> in;
        std::vector<Bytes> out;     // what leaves, in order
        std::vector<size_t> calls;  // frames per call of the send seam
        const char *failLine;       // printed once (diagnostics on), or null
    } steps[] = {
        // clang-format off
        {"data around a new SYN and a frame of its pending connection", [] {},
         {data(1), syn, data(2), synAck, data(3)},
         {toServer(data(1)), toServer(data(2)), toServer(data(3))}, {3}, nullptr},
        {"its setup ends before the next batch: the SYN leaves first",
         [&] { ASSERT_TRUE(lbSetupComplete(engine->held.at(0).get())); },
         {synAck, data(4), data(5)},
         {toServer(syn), fromVip(synAck), toServer(data(4)), toServer(data(5))}, {1, 3}, nullptr},
        {"a batch whose middle frame the send refuses", [] {},
         {data(6), data(7), data(8)},
         {toServer(data(6)), toServer(data(8))}, {3}, "Tx Pkt Failed in TCP SYN packet"},
        // clang-format on
    };
    for (const Step &st : steps) {
        SCOPED_TRACE(st.what);
        clearSent();
        refused_ = st.failLine != nullptr ? toServer(data(7)) : Bytes{};
        std::vector<Bytes> in;
        for (const FrameSpec &f : st.in)
            in.push_back(buildFrame(f));
        Gv_noPrint = st.failLine != nullptr ? 0 : 1;
        const std::string out = printed([&] {
            st.before();
            dispatchBatch(in);
        });
        Gv_noPrint = 1;
        EXPECT_EQ(sent(), st.out);
        EXPECT_EQ(sendCalls(), st.calls);
        if (st.failLine != nullptr) {
            const size_t at = out.find(st.failLine);
            EXPECT_NE(at, std::string::npos) << out;
            EXPECT_EQ(out.find(st.failLine, at + 1), std::string::npos) << out;
        }
    }
}

}  // namespace
