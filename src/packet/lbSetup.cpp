#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "common/lbGlobals.h"
#include "common/lbUtil.h"
#include "config/lbCtrlApi.h"
#include "controller/lbCtrlMsg.h"
#include "controller/lbCurl/fillrest.h"
#include "controller/lbCurl/lb_getpath_restapi.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "controller/lbCurl/restApi.h"
#include "packet/lbCtrlMain.h"
#include "packet/lbPacketPriv.h"

using namespace lbpkt;

void lbpkt::postConnectionRules(const lbFlow_t *e, const unsigned char (&timeoutField)[20],
                                int adding) {
    const dlist_head *head = &e->client_pathlist_hdr;
    if (head->next == nullptr)
        return;  // never initialised: no hops
    lbConnTexts t;
    lbConnTextsFill(&t, e->lbClientSrcIp, e->lbClientSrcTcpPort, e->lbServConfPtr->lbServIp.s_addr,
                    e->lbServerTcpPort);
    char timeout[sizeof timeoutField + 1];
    lbCopyField(timeout, timeoutField, sizeof timeoutField);
    for (const dlist_node *n = head->next; n != head; n = n->next) {
        const auto *hop = static_cast<const pathlist_node_t *>(n->data);
        lbRuleRequest req[LB_MAX_HOP_RULES];
        const int count = lbHopRules(&t, hop, timeout, req);
        if (count < 0) {
            printf("Rules for switch %016llx do not fit their buffers: not sent\n",
                   static_cast<unsigned long long>(hop->node_dpid));
            continue;
        }
        if (!adding && count == 4 && Gv_noPrint == 0)
            printf("URL################ %s \n", req[0].url);
        for (int i = 0; i < count; ++i) {
            setSwitchFlow(req[i].url, req[i].body);
            if (Gv_noPrint == 0)
                lbPrintRuleLine(adding, &req[i], &t);
        }
    }
}

namespace {

// Undoes a setup whose path could not be built: the links gathered so far are dropped,
// the entry removed and the server's count restored.
void rollbackSetup(lbFlow_t *entry) {
    num_pathnodes = 0;
    lbServer_node_t *server = entry->lbServConfPtr;
    del_pathlist(&entry->client_pathlist_hdr);
    server->numConn--;
    lbFlowTable_removeEntry(entry);
    lbServerRemoveIfDrained(server);
}

// Queries the forward path src -> dst and tells whether it added links: a path between
// two different switches has at least one, and links left from an earlier query of the
// same setup must not pass for this one's.
bool findPath(const char *src, const char *dst, const char *ctrlAddr, uint16_t clientPort,
              uint16_t servOutPort) {
    const uint32_t before = num_pathnodes;
    const uint32_t after = lb_findpath(nullptr, src, dst, ctrlAddr, clientPort, servOutPort);
    return after != 0 && after > before;
}
}  // namespace

int lbGetHostInfo(uint32_t ipAddr, const unsigned char *vlanId, char *dpid, uint16_t *port) {
    NODE_DATA rec{};
    lbFormat(rec.node_ip, sizeof rec.node_ip, "NULL");
    lbFormat(rec.switch_dpid, sizeof rec.switch_dpid, "NULL");
    char ctrlAddr[LB_CTRL_HOSTPORT_LEN];
    char host[INET_ADDRSTRLEN];
    char vlan[sizeof g_vlanId + 1] = "";
    char url[1024];
    if (vlanId != nullptr)
        lbCopyField(vlan, vlanId, sizeof g_vlanId);
    lbCtrlHostPort(ctrlAddr, sizeof ctrlAddr, g_cont1IPAddr);
    inet_ntop(AF_INET, &ipAddr, host, sizeof host);
    int rc = 0;
    if (lbCtrlUrl(url, sizeof url, 1, ctrlAddr, "v2.0", "/net/nodes?vid=%s&ip=%s", vlan, host) > 0)
        rc = getSwitchFlow(url, &rec);
    *port = static_cast<uint16_t>(rec.node_port);
    lbFormat(dpid, LB_DPID_TEXT_LEN, "%.*s",
             static_cast<int>(strnlen(rec.switch_dpid, sizeof rec.switch_dpid)), rec.switch_dpid);
    if (Gv_noPrint == 0)
        printf("\nsource dpid = %s client ip_addr %s\n", dpid, host);
    return rc;
}

lbFlow_t *lbAddFlow(lbServer_node_t *lbServEnt, const unsigned char *buf, uint32_t lbClientSrcIp,
                    const char *lbClientSrcMac, const char *dstDpid, uint16_t servOutPort) {
    (void)lbClientSrcMac;  // the client's MAC is taken from the frame
    if (Gv_noPrint == 0)
        printf("%s: \n", "lbAddFlow");
    if (lbServEnt == nullptr || buf == nullptr || dstDpid == nullptr)
        return nullptr;
    const size_t tcpOff = kIpOff + static_cast<size_t>(buf[kIpOff] & 0x0f) * 4;
    const int clientTcpPort = ntohs(load16(buf + tcpOff));
    const int servicePort = ntohs(load16(buf + tcpOff + kTcpDstPortOff));
    const unsigned char *clientMac = buf + 6;
    char ctrlAddr[LB_CTRL_HOSTPORT_LEN];
    lbCtrlHostPort(ctrlAddr, sizeof ctrlAddr, g_cont1IPAddr);

    int tries = 0;
    while (setlbAppPort() == -1) {
        if (++tries == kTries) {
            printf("\nPlease check lbapp connectivity with the switch\n...");
            return nullptr;
        }
    }
    char lbDpid[sizeof g_switchDpId + 1];
    lbCopyField(lbDpid, g_switchDpId, sizeof g_switchDpId);

    char clientDpid[LB_DPID_TEXT_LEN];
    uint16_t clientPort = 0;
    for (tries = 0; tries < kTries && clientPort == 0; ++tries)
        lbGetHostInfo(lbClientSrcIp, g_vlanId, clientDpid, &clientPort);
    if (clientPort == 0) {
        printf("\nPlease check client connectivity with the switch\n...");
        return nullptr;
    }
    if (Gv_noPrint == 0) {
        printf("\nsource dpid = %s\n", clientDpid);
        printf("\ndest dpid = %s\n", dstDpid);
    }
    const bool clientOnLb = strcmp(clientDpid, lbDpid) == 0;
    const bool serverOnLb = strcmp(dstDpid, lbDpid) == 0;
    if ((clientOnLb && clientPort == g_lbAppPort) || (serverOnLb && servOutPort == g_lbAppPort)) {
        printf("Client or Server Switch port same as VARNAPP Switch port%d\n", g_lbAppPort);
        return nullptr;
    }

    lbFlow_t *entry = lbServFlowTable_createEntry(lbServEnt, lbClientSrcIp, clientTcpPort,
                                                  clientPort, clientMac, servicePort);
    if (entry == nullptr) {
        if (Gv_noPrint == 0) {
            char client[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &lbClientSrcIp, client, sizeof client);
            printf("Could not create a Flow entry of ip = %s, Tcpport = %d from port = %d\n",
                   client, clientTcpPort, clientPort);
        }
        return nullptr;
    }
    entry->lbServOutPort = servOutPort;
    entry->lbClientInPort = clientPort;

    dlist_head *hops = &entry->client_pathlist_hdr;
    dlist_init(hops);
    if (clientOnLb && serverOnLb) {
        if (Gv_noPrint == 0)
            printf("Src and Dst dpid's are same %s\n", clientDpid);
        uint64_t dpid = 0;
        lb_dpid_to_ull(clientDpid, &dpid);
        add_pathlist_node(hops, dpid, clientPort, servOutPort);
        if (dlist_empty(hops)) {
            printf("create pathlist failed");
            rollbackSetup(entry);
            return nullptr;
        }
    } else {
        num_pathnodes = 0;  // links of this setup only
        if (!clientOnLb && !findPath(clientDpid, lbDpid, ctrlAddr, clientPort, servOutPort)) {
            printf("findpath from client to lbapp failed\\n)");
            rollbackSetup(entry);
            return nullptr;
        }
        if (!serverOnLb && !findPath(lbDpid, dstDpid, ctrlAddr, clientPort, servOutPort)) {
            printf("findpath from lbapp to server failed\\n)");
            rollbackSetup(entry);
            return nullptr;
        }
        if (create_pathlist(hops, clientDpid, dstDpid, ctrlAddr, clientPort, servOutPort) == 0 ||
            dlist_empty(hops)) {
            printf("create pathlist failed");
            rollbackSetup(entry);
            return nullptr;
        }
    }

    if (Gv_noPrint == 0)
        printf("Adding flow for all the switches in the path, pathlist hdr############\n");
    postConnectionRules(entry, g_addFlowTmr, 1);
    // The rules' idle clocks start now, however long the requests took.
    entry->lbClientSeenMs = entry->lbServerSeenMs = lbFlowClock();
    if (Gv_noPrint == 0)
        printf("Adding flow for all switches completed ##########");
    return entry;
}

int lbDelFlow(const unsigned char *buf, lbFlow_t *lbFlowEntryPtr, int tcpFlag) {
    if (Gv_noPrint == 0)
        printf("%s: \n", "lbDelFlow");
    lbServer_node_t *server = lbFlowEntryPtr != nullptr ? lbFlowEntryPtr->lbServConfPtr : nullptr;
    if (server == nullptr) {
        if (Gv_noPrint == 0)
            printf("returning NULL from %s\n", "lbDelFlow");
        return 0;
    }
    postConnectionRules(lbFlowEntryPtr, g_delFlowTmr, 0);

    del_pathlist(&lbFlowEntryPtr->client_pathlist_hdr);
    server->numConn--;
    const int outPort = lbFlowEntryPtr->lbServOutPort;
    lbFlowTable_removeEntry(lbFlowEntryPtr);
    lbServerRemoveIfDrained(server);
    if (tcpFlag == LB_TCP_RST && Gv_noPrint == 0 && buf != nullptr)
        printf("Recieved RST from  %x #################\n", load32(buf + kIpSrcOff));
    return outPort;
}
