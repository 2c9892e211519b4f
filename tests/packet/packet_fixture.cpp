#include "packet_fixture.h"

#include <arpa/inet.h>

#include <algorithm>

#include "common/lbGlobals.h"
#include "controller/lbCurl/restApi.h"
#include "rawsock/lb_rawsock.h"
#include "support/lbtest_util.h"

namespace lbtest {

void PacketSim::SetUpTestSuite() {
    sim_ = std::make_unique<CtrlSim>(kSimAddr, R"({
  "switches": [{"dpid": "1"}, {"dpid": "2"}, {"dpid": "3"}, {"dpid": "4"}],
  "links": [{"src": {"dpid": "1", "port": 2}, "dst": {"dpid": "2", "port": 1}},
            {"src": {"dpid": "2", "port": 2}, "dst": {"dpid": "3", "port": 1}}],
  "hosts": [{"ip": "203.0.113.100", "mac": "02:00:00:00:01:00", "dpid": "1", "port": 6},
            {"ip": "192.0.2.10", "mac": "02:00:00:00:00:10", "dpid": "1", "port": 3},
            {"ip": "192.0.2.30", "mac": "02:00:00:00:00:30", "dpid": "3", "port": 5},
            {"ip": "192.0.2.40", "mac": "02:00:00:00:00:40", "dpid": "4", "port": 2},
            {"ip": "192.0.2.6", "mac": "02:00:00:00:00:06", "dpid": "1", "port": 6},
            {"ip": "198.51.100.11", "mac": "02:00:00:00:00:11", "dpid": "1", "port": 4},
            {"ip": "198.51.100.13", "mac": "02:00:00:00:00:13", "dpid": "3", "port": 3},
            {"ip": "198.51.100.14", "mac": "02:00:00:00:00:14", "dpid": "4", "port": 1},
            {"ip": "198.51.100.16", "mac": "02:00:00:00:00:16", "dpid": "1", "port": 6}]})");
}

void PacketSim::SetUp() {
    ASSERT_TRUE(sim_ && sim_->running());
    useEngine(nullptr);
    resetState();
    ASSERT_TRUE(sim_->reset());
    setControllerIp(sim_->ctrlAddr().c_str());
    sim_->clearLog();
    clearSent();
    lbPktSend = capture;
    refused_.clear();
    snprintf(g_cont1IPAddr, sizeof g_cont1IPAddr, "%s", kSimAddr);
    snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", kVip);
    for (auto [field, value] : {std::pair{g_contMacAddr, "2:0:0:0:1:0"},
                                {g_vlanId, "0"},
                                {g_addFlowTmr, "30"},
                                {g_delFlowTmr, "1"}})
        snprintf(reinterpret_cast<char *>(field), sizeof g_vlanId, "%s", value);
    lbFlowTable_create();
    lbFlowTable_startWriter();  // as the running balancer: the file written off the lock
    startEngine(sequential());
}

void PacketSim::TearDown() {
    useEngine(nullptr);
    lbPktSend = lb_client_rawsock_send_batch;
    resetState();
}

lbCtrlEngine *PacketSim::useEngine(std::unique_ptr<lbCtrlEngine> engine) {
    engine_.reset();  // the one replaced stops first
    lbEngineInstall(engine.get());
    engine_ = std::move(engine);
    return engine_.get();
}

void PacketSim::dispatch(const Bytes &f) {
    Bytes copy = f;
    lbTableLock lock;
    lbHandlePktin(copy.data(), static_cast<int>(copy.size()));
}

void PacketSim::dispatchBatch(const std::vector<Bytes> &frames) {
    std::vector<Bytes> copies = frames;
    std::vector<lb_rx_frame> batch;
    for (Bytes &f : copies)
        batch.push_back({f.data(), static_cast<int>(f.size())});
    lbHandlePktBatch(batch.data(), static_cast<unsigned>(batch.size()));
}

bool PacketSim::settled() const {
    return waitUntil([this] { return engine_ == nullptr || engine_->busy() == 0; });
}

std::string PacketSim::run(const Bytes &f) {
    clearSent();
    const std::string all = printed([&] {
        dispatch(f);
        EXPECT_TRUE(settled());
    });
    std::string out;
    for (size_t at = 0, end; at < all.size(); at = end + 1) {
        end = std::min(all.find('\n', at), all.size());
        if (all.compare(at, 6, "Get:: ") != 0)
            out += all.substr(at, end + 1 - at);
    }
    return out;
}

lbFlow_t *PacketSim::entry(const char *client, uint16_t sport) {
    lbTableLock lock;
    return lbFlowTable_getEntry(inet_addr(client), sport);
}

void PacketSim::expire(const char *client, uint16_t sport) {
    lbTableLock lock;
    deleteFlowEntry(lbFlowTable_getEntry(inet_addr(client), sport));
}

unsigned PacketSim::capture(lb_tx_frame *frames, unsigned n) {
    const size_t rules = flowRequests().size();
    std::lock_guard<std::mutex> l(sentMtx_);
    sendCalls_.push_back(n);
    unsigned sent = 0;
    for (unsigned i = 0; i < n; ++i) {
        Bytes f(frames[i].buf, frames[i].buf + frames[i].len);
        frames[i].rc = f == refused_ ? -1 : 0;
        if (frames[i].rc != 0)
            continue;
        sent_.push_back(std::move(f));
        rulesAt_.push_back(rules);
        ++sent;
    }
    return sent;
}

void PacketSim::clearSent() {
    std::lock_guard<std::mutex> l(sentMtx_);
    sent_.clear();
    rulesAt_.clear();
    sendCalls_.clear();
}

lbServer_node_t *PacketSim::addServer(const char *addr, int maxconn, int lock) {
    lbTableLock tl;
    lbServer_node_t *s = lbtest::addServer(addr, ("web-" + std::string(addr)).c_str(), maxconn);
    putMac(s->lbServMac, kServerMac);
    s->lock = lock;
    g_lbNumServers++;
    return s;
}

std::vector<std::string> flowRequests(const CtrlSim &sim, bool all) {
    std::vector<std::string> out;
    for (const auto &r : sim.requests()) {
        const std::string path = r.value("path", ""), method = r.value("method", "") + " ";
        if (path.find("/flows") != std::string::npos)
            out.push_back(method + path.substr(path.size() - 22, 16) + " " + r.value("body", ""));
        else if (all)
            out.push_back(method + path + "?" + r.value("query", ""));
    }
    return out;
}

size_t PacketSim::rulesHeld() {
    size_t n = 0;
    for (int d = 1; d <= 4; ++d) {
        char dpid[17];
        snprintf(dpid, sizeof dpid, "%016x", d);
        n += sim_->flows(dpid).size();
    }
    return n;
}

}  // namespace lbtest
