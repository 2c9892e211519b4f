// Shared by the flow-table suites: an empty table and server list per test, in scratch.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "common/lbGlobals.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "flowtable/lbFlowDb.h"
#include "pool/lbServerList.h"
#include "support/lbtest_util.h"

inline constexpr const char *kVip = "203.0.113.100";
inline const unsigned char kMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x07};

inline uint32_t ip(const char *dotted) {
    return inet_addr(dotted);
}

using lbtest::printed;

class FlowTableTest : public testing::Test {
  protected:
    void SetUp() override {
        lbtest::resetState();
        snprintf(g_vipIPAddr, sizeof g_vipIPAddr, "%s", kVip);
        snprintf(cluster_name, sizeof cluster_name, "%s", "webfarm");
        lbFlowTable_create();
        remove(LB_FLOWS_FILE);
    }
    void TearDown() override { lbtest::resetState(); }

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
