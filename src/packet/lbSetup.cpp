// Connection setup and teardown on the packet path's side: the rules of a connection
// handed to the setup engine (or requested one after the other when none runs), the
// reset teardown, and what the engine calls back when a setup ends.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "common/lbGlobals.h"
#include "common/lbUtil.h"
#include "config/lbCtrlApi.h"
#include "controller/lbCtrlMsg.h"
#include "controller/lbCurl/fillrest.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "controller/lbCurl/restApi.h"
#include "packet/lbCtrlMain.h"
#include "packet/lbEngine.h"
#include "packet/lbPacketPriv.h"

using namespace lbpkt;

namespace {

bool g_stopping = false;  // no setup completes any more; guarded by g_lbRBtreeMtx

// Frames of connections whose rules are being put back, by connection name, in arrival
// order; at most kHeldMax each (more are dropped: the sender retransmits). Guarded by
// g_lbRBtreeMtx.
constexpr size_t kHeldMax = 64;
std::map<std::string, std::vector<std::vector<uint8_t>>> g_held;

std::string connName(const lbFlow_t *e) {
    char client[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &e->lbClientSrcIp, client, sizeof client);
    return std::string(client) + ":" + std::to_string(e->lbClientSrcTcpPort);
}

// The rule requests of connection e (which has a server) with the idle time-out text
// held in timeoutField, in hop order.
std::vector<lbRuleRequest> connectionRequests(const lbFlow_t *e,
                                              const unsigned char (&timeoutField)[20],
                                              lbConnTexts *t) {
    lbConnTextsFill(t, e->lbClientSrcIp, e->lbClientSrcTcpPort, e->lbServConfPtr->lbServIp.s_addr,
                    e->lbServerTcpPort);
    char timeout[sizeof timeoutField + 1];
    lbCopyField(timeout, timeoutField, sizeof timeoutField);
    std::vector<lbRuleRequest> reqs;
    lbConnRequests(t, &e->client_pathlist_hdr, timeout, &reqs);
    return reqs;
}

// lbFlowRulesRemove while an engine runs: the removals of expiry and shutdown.
void removeThroughEngine(const lbFlow_t *e) {
    lbRuleBatch b{connName(e), true, {}, {}, false};
    b.rules = connectionRequests(e, g_addFlowTmr, &b.texts);
    g_lbEngine->rules(std::move(b));
}

}  // namespace

bool lbpkt::postConnectionRules(const lbFlow_t *e, const unsigned char (&timeoutField)[20],
                                int adding, const unsigned char *frame, int len) {
    lbRuleBatch b{connName(e), false, {}, {}, false};
    b.rules = connectionRequests(e, timeoutField, &b.texts);
    b.retire = !adding;
    if (!adding && Gv_noPrint == 0 && !b.rules.empty() && b.rules[0].rule == 'A')
        printf("URL################ %s \n", b.rules[0].url);
    if (g_lbEngine != nullptr) {
        const bool hold = frame != nullptr && len > 0 && !b.rules.empty();
        if (hold) {
            g_held[b.name].emplace_back(frame, frame + len);
            b.release = true;
        }
        g_lbEngine->rules(std::move(b));
        return hold;
    }
    for (const lbRuleRequest &r : b.rules) {
        setSwitchFlow(r.url, r.body);
        if (Gv_noPrint == 0)
            lbPrintRuleLine(adding, &r, &b.texts);
    }
    return false;
}

bool lbpkt::holdWhileRulesComeBack(const lbFlow_t *e, const unsigned char *frame, int len) {
    if (g_held.empty())
        return false;
    auto it = g_held.find(connName(e));
    if (it == g_held.end())
        return false;
    if (it->second.size() < kHeldMax)
        it->second.emplace_back(frame, frame + len);
    else
        lbCountDrop(LB_DROP_HELD_OVERFLOW);
    return true;
}

void lbRulesBack(const std::string &name) {
    // The connection stays held until its queue is found empty: a frame the packet thread
    // takes while the ones before it are being sent joins the queue and leaves after them,
    // never before.
    for (;;) {
        std::vector<std::vector<uint8_t>> frames;
        {
            lbTableLock lock;
            auto it = g_held.find(name);
            if (it == g_held.end())
                return;
            if (it->second.empty()) {
                g_held.erase(it);
                return;
            }
            frames.swap(it->second);
        }
        std::vector<lb_tx_frame> out;
        out.reserve(frames.size());
        for (const auto &f : frames)
            out.push_back({f.data(), static_cast<uint32_t>(f.size()), -1});
        if (lbPktSend != nullptr)
            lbPktSend(out.data(), static_cast<unsigned>(out.size()));
        for (const lb_tx_frame &f : out)
            lbCountSent(lbPktSend != nullptr ? f.rc : -1);
    }
}

void lbEngineInstall(lbCtrlEngine *engine) {
    g_lbEngine = engine;
    g_stopping = false;
    g_held.clear();
    lbFlowRulesRemove = engine != nullptr ? removeThroughEngine : nullptr;
}

void lbSetupStopAll(void) {
    g_stopping = true;
}

bool lbSetupComplete(lbSetupReq *req) {
    std::vector<uint8_t> frame = req->syn;
    bool send = false;
    int port = 0;
    {
        lbTableLock lock;
        if (g_stopping)
            return false;
        lbFlow_t *e = req->entry;
        e->lbPending = 0;
        // Half-open and idle time count from the moment the SYN leaves.
        e->lbCreatedMs = e->lbClientSeenMs = e->lbServerSeenMs = lbFlowClock();
        send =
            lbHandleTcpOpen(nullptr, frame.data(), static_cast<int>(frame.size()), LB_TCP_SYN) != 0;
        port = e->lbServConfPtr->lbSwitchPort;
    }
    lb_tx_frame out = {frame.data(), static_cast<uint32_t>(frame.size()), -1};
    if (send && lbPktSend != nullptr)
        lbPktSend(&out, 1);
    const int rc = out.rc;
    lbCount(LB_C_CONN_OPENED);
    lbCountSent(rc);
    if (Gv_noPrint == 0) {
        if (rc != 0)
            printf("Tx Pkt Failed in TCP SYN packet");
        else
            printf("TCP SYN packet forwarded to Port = %d \n", port);
    }
    return true;
}

void lbSetupAbandon(lbSetupReq *req, const char *line) {
    {
        lbTableLock lock;
        lbFlow_t *e = req->entry;
        lbServer_node_t *server = e->lbServConfPtr;
        del_pathlist(&e->client_pathlist_hdr);
        server->numConn--;
        lbFlowTable_removeEntry(e);
        lbServerRemoveIfDrained(server);
    }
    lbCountDrop(LB_DROP_SETUP_FAILED);  // the SYN
    if (line != nullptr)
        printf("%s", line);
    printf("Could not add a flow\n");
}

bool lbSetupMoveServer(lbSetupReq *req) {
    lbTableLock lock;
    lbServer_node_t *old = req->server;
    old->servNotReachable = 1;  // skipped until the next tick clears the mark
    lbServer_node_t *next = lbGetNodeWithLessConn();
    if (next == nullptr)
        return false;
    old->numConn--;
    next->numConn++;
    req->entry->lbServConfPtr = next;
    req->server = next;
    req->serverIp = next->lbServIp.s_addr;
    lbServerRemoveIfDrained(old);
    return true;
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
    lbCountClose(LB_CLOSE_RESET);

    del_pathlist(&lbFlowEntryPtr->client_pathlist_hdr);
    server->numConn--;
    const int outPort = lbFlowEntryPtr->lbServOutPort;
    lbFlowTable_removeEntry(lbFlowEntryPtr);
    lbServerRemoveIfDrained(server);
    if (tcpFlag == LB_TCP_RST && Gv_noPrint == 0 && buf != nullptr)
        printf("Recieved RST from  %x #################\n", load32(buf + kIpSrcOff));
    return outPort;
}
