// Shared by the flow-table suites: an empty table and server list per test, in scratch.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "controller/lbCurl/lb_pathlist.h"
#include "flowtable/lbFlowDb.h"
#include "common/lbGlobals.h"
#include "pool/lbServerList.h"
#include "support/lbtest_util.h"

inline constexpr const char *kVip = "203.0.113.100";
inline const unsigned char kMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x07};

inline uint32_t ip(const char *dotted) {
    return inet_addr(dotted);
}

// What f printed to standard output.
inline std::string printed(const std::function<void()> &f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

class FlowTableTest : public testing::Test {
  protected:
    void SetUp() override {
        Server_list_init();
        Gv_noPrint = 1;
        snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", kVip);
        snprintf(cluster_name, sizeof cluster_name, "%s", "webfarm");
        numFlowEntries = 0;
        lbFlowTable_create();
    }

    void TearDown() override {
        RBTreeDestroy(g_lbServFlowTable_tree);
        g_lbServFlowTable_tree = nullptr;
        delete_all_lbServerNodes();
        ASSERT_EQ(chdir(lbtest::scratchDir().c_str()), 0);  // a test may have left it
        unlink(LB_FLOWS_FILE);
    }

    static lbServer_node_t *addServer(const char *addr, const char *name, int maxconn = 10) {
        lbServer_node_t *s = create_lbServer_node(&lbServHead);
        s->lbServIp.s_addr = ip(addr);
        snprintf(s->server_name, sizeof s->server_name, "%s", name);
        s->maxconn = maxconn;
        return s;
    }

    // A connection to service port 80, with its path as hops {dpid, in port, out port}.
    static lbFlow_t *connect(lbServer_node_t *s, const char *client, int port, int inPort = 3,
                             const std::vector<std::array<unsigned, 3>> &hops = {}) {
        lbFlow_t *e = lbServFlowTable_createEntry(s, ip(client), port, inPort, kMac, 80);
        for (const auto &h : hops)
            add_pathlist_node(&e->client_pathlist_hdr, h[0], h[1], h[2]);
        return e;
    }
};
