// Flow expiry and bulk deletion against the controller simulator: which removals are
// sent to which switch with which bodies, when an entry goes, and the counts after.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "controller/lbCurl/lb_pathlist.h"
#include "controller/lbCurl/restApi.h"
#include "flowtable/lbFlowDb.h"
#include "packet/lbApp.h"
#include "pool/lbServerList.h"
#include "support/lbtest_util.h"

extern char **environ;

namespace {

// Loopback address of this suite's simulator (the balancer always uses port 8443).
constexpr const char *kSimAddr = "127.0.0.57";
constexpr const char *kOwnDpid = "00:00:00:00:00:00:00:01";
constexpr unsigned kAppPort = 6;  // differs from the fixed "4" of the diagnostic lines

const unsigned char kMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x10};

uint32_t ip(const char *dotted) {
    return inet_addr(dotted);
}

// One removal as the simulator logged it.
struct Sent {
    std::string method;
    std::string path;
    std::string body;
    bool operator==(const Sent &o) const {
        return method == o.method && path == o.path && body == o.body;
    }
};

std::ostream &operator<<(std::ostream &os, const Sent &s) {
    return os << s.method << " " << s.path << " " << s.body;
}

// The rule body as the controller expects it, written out here independently.
std::string body(int in, const char *src, int sport, const char *dst, int dport, int out) {
    char buf[512];
    snprintf(buf, sizeof buf,
             "{\"flow\":{\"priority\":30000,\"table_id\":0,\"idle_timeout\":10,\"match\":["
             "{\"eth_type\":\"ipv4\"},{\"ip_proto\":\"tcp\"},{\"in_port\":%d},"
             "{\"ipv4_src\":\"%s\"},{\"tcp_src\":%d},{\"ipv4_dst\":\"%s\"},{\"tcp_dst\":%d}],"
             "\"instructions\":[{\"apply_actions\":[{\"output\":%d}]}]}}",
             in, src, sport, dst, dport, out);
    return buf;
}

Sent del(int dpid, const std::string &b) {
    char path[128];
    snprintf(path, sizeof path, "/sdn/v2.0/of/datapaths/%016x/flows", dpid);
    return {"DELETE", path, b};
}

class Simulator {
  public:
    bool start() {
        const std::string dir = lbtest::scratchDir();
        topo_ = dir + "/expiry_topology.json";
        log_ = dir + "/expiry_requests.jsonl";
        ready_ = dir + "/expiry_ready";
        lbtest::writeFile(topo_, R"({"switches":[{"dpid":"00:00:00:00:00:00:00:01"},)"
                                 R"({"dpid":"00:00:00:00:00:00:00:02"},)"
                                 R"({"dpid":"00:00:00:00:00:00:00:03"}],"links":[],"hosts":[]})");
        const std::string script = lbtest::sourceDir() + "/testbed/controller/ctrlsim.py";
        std::vector<std::string> args = {"python3", script, "--addr",       kSimAddr,
                                         "--port",  "8443", "--topology",   topo_,
                                         "--log",   log_,   "--ready-file", ready_};
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, "python3", nullptr, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
            return false;
        }
        for (int i = 0; i < 400; ++i) {
            if (lbtest::readFile(ready_) == "ready\n")
                return true;
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    void stop() {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    // Flow requests logged since the previous call (the login is left out).
    std::vector<Sent> newRequests() {
        std::vector<Sent> out;
        std::istringstream in(lbtest::readFile(log_));
        std::string line;
        size_t n = 0;
        while (std::getline(in, line)) {
            if (line.empty() || n++ < seen_)
                continue;
            auto j = nlohmann::json::parse(line);
            std::string path = j.at("path").get<std::string>();
            if (path.find("/flows") == std::string::npos)
                continue;
            out.push_back(
                {j.at("method").get<std::string>(), path, j.at("body").get<std::string>()});
        }
        seen_ = n;
        return out;
    }

  private:
    pid_t pid_ = -1;
    size_t seen_ = 0;
    std::string topo_, log_, ready_;
};

Simulator g_sim;

class FlowExpiry : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(g_sim.start()) << "controller simulator did not start";
        snprintf(g_cont1IPAddr, sizeof g_cont1IPAddr, "%s", kSimAddr);
        ASSERT_EQ(setControllerIp((std::string(kSimAddr) + ":8443").c_str()), 0);
    }
    static void TearDownTestSuite() { g_sim.stop(); }

    void SetUp() override {
        Server_list_init();
        Gv_noPrint = 1;
        snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", "203.0.113.100");
        snprintf(cluster_name, sizeof cluster_name, "%s", "webfarm");
        snprintf(reinterpret_cast<char *>(g_switchDpId), sizeof g_switchDpId, "%s", kOwnDpid);
        snprintf(reinterpret_cast<char *>(g_addFlowTmr), sizeof g_addFlowTmr, "%s", "10");
        g_lbAppPort = kAppPort;
        numFlowEntries = 0;
        lbFlowTable_create();
        g_sim.newRequests();  // forget earlier traffic
    }

    void TearDown() override {
        RBTreeDestroy(g_lbServFlowTable_tree);
        g_lbServFlowTable_tree = nullptr;
        numFlowEntries = 0;
        delete_all_lbServerNodes();
    }

    lbServer_node_t *addServer(const char *addr, const char *name, int maxconn) {
        lbServer_node_t *s = create_lbServer_node(&lbServHead);
        s->lbServIp.s_addr = ip(addr);
        snprintf(s->server_name, sizeof s->server_name, "%s", name);
        s->maxconn = maxconn;
        return s;
    }

    // A connection with its path: hops as {dpid, in port, out port}.
    lbFlow_t *connect(lbServer_node_t *s, const char *client, int port, int inPort,
                      std::vector<std::array<unsigned, 3>> hops) {
        lbFlow_t *e = lbServFlowTable_createEntry(s, ip(client), port, inPort, kMac, 80);
        if (e == nullptr)
            return nullptr;
        for (const auto &h : hops)
            add_pathlist_node(&e->client_pathlist_hdr, h[0], h[1], h[2]);
        return e;
    }

    static void tick() { RBTreeTraverse(g_lbServFlowTable_tree, FINDELETE); }
};

// Own switch first (in 3, out 2), then switch 2 (in 1, out 2), then switch 3 (in 1, out 3).
std::vector<Sent> threeSwitchRemovals(const char *client, int cport, const char *server) {
    const char *vip = "203.0.113.100";
    return {
        del(1, body(3, client, cport, vip, 80, kAppPort)),     // A
        del(1, body(kAppPort, client, cport, server, 80, 2)),  // B
        del(1, body(2, server, 80, client, cport, kAppPort)),  // C
        del(1, body(kAppPort, vip, 80, client, cport, 3)),     // D
        del(2, body(1, client, cport, server, 80, 2)),         // E
        del(2, body(2, server, 80, client, cport, 1)),         // F
        del(3, body(1, client, cport, server, 80, 3)),         // E
        del(3, body(3, server, 80, client, cport, 1)),         // F
    };
}

TEST_F(FlowExpiry, MarkedEntryGoesOnTheThirdTick) {
    lbServer_node_t *s1 = addServer("198.51.100.11", "s1", 10);
    lbServer_node_t *s2 = addServer("198.51.100.12", "s2", 20);
    lbFlow_t *closing = connect(s1, "192.0.2.10", 33000, 3, {{1, 3, 2}, {2, 1, 2}, {3, 1, 3}});
    lbFlow_t *open = connect(s2, "192.0.2.20", 1000, 3, {{1, 3, 4}});
    ASSERT_TRUE(closing && open);
    closing->deleteFlowSet = 1;  // a FIN with ACK was seen

    tick();
    EXPECT_EQ(closing->deleteFlowSet, 2);
    tick();
    EXPECT_EQ(closing->deleteFlowSet, 3);
    EXPECT_TRUE(g_sim.newRequests().empty());
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), closing);

    testing::internal::CaptureStdout();
    tick();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // diagnostics off
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), nullptr);
    EXPECT_EQ(g_sim.newRequests(), threeSwitchRemovals("192.0.2.10", 33000, "198.51.100.11"));
    EXPECT_EQ(s1->numConn, 0);
    EXPECT_EQ(s2->numConn, 1);
    EXPECT_EQ(numFlowEntries, 1u);
    EXPECT_EQ(lbtest::readFile(LB_FLOWS_FILE),
              "0 0 198.51.100.11 0 s1 10\n"
              "192.0.2.20 1000 198.51.100.12 webfarm s2 20\n");

    // The open entry is never touched by ticks.
    for (int i = 0; i < 4; ++i)
        tick();
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.20"), 1000), open);
    EXPECT_EQ(open->deleteFlowSet, 0);
    EXPECT_TRUE(g_sim.newRequests().empty());
}

TEST_F(FlowExpiry, AnotherFinRestartsTheCount) {
    lbServer_node_t *s1 = addServer("198.51.100.11", "s1", 10);
    lbFlow_t *e = connect(s1, "192.0.2.10", 33000, 3, {{2, 1, 2}});
    ASSERT_NE(e, nullptr);
    e->deleteFlowSet = 1;
    tick();
    e->deleteFlowSet = 1;  // second FIN with ACK one tick later
    tick();
    tick();
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), e);
    EXPECT_TRUE(g_sim.newRequests().empty());
    tick();
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), nullptr);
    std::vector<Sent> want = {
        del(2, body(1, "192.0.2.10", 33000, "198.51.100.11", 80, 2)),
        del(2, body(2, "198.51.100.11", 80, "192.0.2.10", 33000, 1)),
    };
    EXPECT_EQ(g_sim.newRequests(), want);
    EXPECT_EQ(s1->numConn, 0);
}

TEST_F(FlowExpiry, SeveralDueEntriesGoInOneWalk) {
    lbServer_node_t *s1 = addServer("198.51.100.11", "s1", 10);
    std::vector<lbFlow_t *> entries;
    for (int port = 1; port <= 6; ++port) {
        entries.push_back(connect(s1, "192.0.2.10", port, 3, {{2, 1, 2}}));
        ASSERT_NE(entries.back(), nullptr);
    }
    // Every other entry is due; the walk deletes them from under itself.
    for (int i = 0; i < 6; i += 2)
        entries[i]->deleteFlowSet = 3;
    tick();
    for (int port = 1; port <= 6; ++port) {
        lbFlow_t *e = lbFlowTable_getEntry(ip("192.0.2.10"), static_cast<uint16_t>(port));
        if (port % 2 == 1) {
            EXPECT_EQ(e, nullptr) << port;
        } else {
            EXPECT_EQ(e, entries[port - 1]) << port;
        }
    }
    EXPECT_EQ(g_sim.newRequests().size(), 6u);
    EXPECT_EQ(s1->numConn, 3);
    EXPECT_EQ(numFlowEntries, 3u);
}

TEST_F(FlowExpiry, ShutdownWalkRemovesEveryRuleAndZeroesTheCounts) {
    lbServer_node_t *s1 = addServer("198.51.100.11", "s1", 10);
    lbServer_node_t *s2 = addServer("198.51.100.12", "s2", 20);
    // Key order: 192.0.2.10 before 192.0.2.20.
    lbFlow_t *a = connect(s1, "192.0.2.10", 33000, 3, {{1, 3, 2}, {2, 1, 2}, {3, 1, 3}});
    lbFlow_t *b = connect(s2, "192.0.2.20", 1000, 5, {{1, 5, 7}});
    ASSERT_TRUE(a && b);

    RBTreeTraverse(g_lbServFlowTable_tree, DELETEALL);

    std::vector<Sent> want = threeSwitchRemovals("192.0.2.10", 33000, "198.51.100.11");
    const char *vip = "203.0.113.100";
    const char *c = "192.0.2.20";
    const char *sv = "198.51.100.12";
    want.push_back(del(1, body(5, c, 1000, vip, 80, kAppPort)));
    want.push_back(del(1, body(kAppPort, c, 1000, sv, 80, 7)));
    want.push_back(del(1, body(7, sv, 80, c, 1000, kAppPort)));
    want.push_back(del(1, body(kAppPort, vip, 80, c, 1000, 5)));
    EXPECT_EQ(g_sim.newRequests(), want);
    EXPECT_EQ(s1->numConn, 0);
    EXPECT_EQ(s2->numConn, 0);
    EXPECT_EQ(numFlowEntries, 0u);
    // The entries stay until the tree is destroyed, with their path lists emptied.
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), a);
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.20"), 1000), b);
    EXPECT_TRUE(dlist_empty(&a->client_pathlist_hdr));
    EXPECT_TRUE(dlist_empty(&b->client_pathlist_hdr));
}

TEST_F(FlowExpiry, EmptyPathStillRemovesTheEntry) {
    lbServer_node_t *s1 = addServer("198.51.100.11", "s1", 10);
    lbFlow_t *e = connect(s1, "192.0.2.10", 33000, 3, {});
    ASSERT_NE(e, nullptr);
    deleteFlowEntry(e);
    EXPECT_EQ(lbFlowTable_getEntry(ip("192.0.2.10"), 33000), nullptr);
    EXPECT_TRUE(g_sim.newRequests().empty());
    EXPECT_EQ(s1->numConn, 0);
    EXPECT_EQ(numFlowEntries, 0u);
}

TEST_F(FlowExpiry, DiagnosticLinesInOrder) {
    lbServer_node_t *s1 = addServer("198.51.100.11", "s1", 10);
    lbFlow_t *e = connect(s1, "192.0.2.10", 33000, 3, {{1, 3, 2}, {2, 1, 2}});
    ASSERT_NE(e, nullptr);
    Gv_noPrint = 0;
    testing::internal::CaptureStdout();
    deleteFlowEntry(e);
    std::string out = testing::internal::GetCapturedStdout();
    Gv_noPrint = 1;

    const std::string url =
        std::string("https://") + kSimAddr + ":8443/sdn/v2.0/of/datapaths/0000000000000001/flows";
    const std::vector<std::string> want = {
        "Deleting the flows in the switch 0x1 \n",
        "URL################ " + url + " \n",
        "Flow String################ " +
            body(3, "192.0.2.10", 33000, "203.0.113.100", 80, kAppPort) + " \n",
        "Deleting flow switc id 0000000000000001 inport 3 outport 4\n",
        "Deleting flow switc id 0000000000000001 inport 4 outport 2\n",
        "Deleting flow switc id 0000000000000001 inport 2 outport 4\n",
        "Deleting flow switc id 0000000000000001 inport 4 outport 3\n",
        "Deleting the flows in the switch 0x2 \n",
        "Deleting flow switc id 0000000000000002 inport 1 outport 2\n",
        "Deleting flow switc id 0000000000000002 inport 2 outport 1\n",
    };
    // Other modules print their own diagnostics in between; these must come in order.
    size_t pos = 0;
    for (const std::string &line : want) {
        size_t at = out.find(line, pos);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "in:\n" << out;
        pos = at + line.size();
    }
    EXPECT_EQ(g_sim.newRequests().size(), 6u);
}

}  // namespace
