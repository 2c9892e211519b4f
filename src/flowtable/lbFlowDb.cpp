#include "flowtable/lbFlowDb.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "common/lbGlobals.h"
#include "common/lbMetrics.h"
#include "common/lbUtil.h"
#include "controller/lbCtrlMsg.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "controller/lbCurl/restApi.h"

rb_red_blk_tree *g_lbServFlowTable_tree = nullptr;
void (*lbFlowRulesRemove)(const lbFlow_t *e) = nullptr;
uint32_t numFlowEntries = 0;

static int64_t monotonicMs(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
lbClockFn lbFlowClock = monotonicMs;

namespace {

char clientservconf[20] = LB_FLOWS_FILE;
static_assert(sizeof(LB_FLOWS_FILE) <= sizeof(clientservconf), "file name must fit");

// Destination of print_flowEntry_mit while lbFlowTable_listInto runs.
std::string *g_listOut = nullptr;

// The stored node of record, preferring the node that holds record itself when equal
// keys are stored side by side (the table does not refuse them): removing a neighbour
// instead would free an entry that a running walk is about to visit. A probe that is not
// stored gets the node RBExactQuery finds. Null when no key is equal.
rb_red_blk_node *findStoredNode(rb_red_blk_tree *tree, lbFlow_t *record) {
    rb_red_blk_node *found = RBExactQuery(tree, record);
    if (found == nullptr || found->key == record)
        return found;
    // Leftmost equal node: keep descending left past equal keys.
    rb_red_blk_node *x = tree->root->left;
    rb_red_blk_node *first = nullptr;
    while (x != tree->nil) {
        int c = tree->Compare(x->key, record);
        if (c == 0)
            first = x;
        x = (c == 0 || c == 1) ? x->left : x->right;
    }
    for (x = first; x != nullptr && x != tree->nil && tree->Compare(x->key, record) == 0;
         x = TreeSuccessor(tree, x)) {
        if (x->key == record)
            return x;
    }
    return found;
}

// Removes the rules of one connection from every switch of its path, in path order: A
// to D on the balancer's own switch, E and F on every other one, each named by its body
// with the setup time-out. Through the setup engine when one runs (nothing waits for the
// controller then), otherwise one request after the other.
void removeConnectionRules(const lbFlow_t *e) {
    if (lbFlowRulesRemove != nullptr) {
        lbFlowRulesRemove(e);
        return;
    }
    lbConnTexts t;
    lbConnTextsFill(&t, e->lbClientSrcIp, e->lbClientSrcTcpPort, e->lbServConfPtr->lbServIp.s_addr,
                    e->lbServerTcpPort);
    char idle[sizeof g_addFlowTmr + 1];
    lbCopyField(idle, g_addFlowTmr, sizeof g_addFlowTmr);
    std::vector<lbRuleRequest> reqs;
    lbConnRequests(&t, &e->client_pathlist_hdr, idle, &reqs);
    const bool diag = Gv_noPrint == 0;
    for (const lbRuleRequest &r : reqs) {
        if (diag && (r.rule == 'A' || r.rule == 'E'))
            printf("Deleting the flows in the switch 0x%llx \n", strtoull(r.dpid, nullptr, 16));
        if (diag && r.rule == 'A')
            printf("URL################ %s \n", r.url);
        delelteSwitchFlow(r.url, r.body);
        if (diag && r.rule == 'A')
            printf("Flow String################ %s \n", r.body);
        if (diag)
            lbPrintRuleLine(0, &r, &t);
    }
}

// Rules, path list and the server's count of one connection; shared by expiry and
// shutdown. An entry without a server has no rules to name and no count to lower.
void releaseConnection(lbFlow_t *e) {
    if (e->lbServConfPtr != nullptr)
        removeConnectionRules(e);
    del_pathlist(&e->client_pathlist_hdr);
    if (e->lbServConfPtr != nullptr)
        e->lbServConfPtr->numConn--;
}

}  // namespace

// Address first, as the unsigned integer it is held in (so the last octet of a dotted
// address weighs most), then port as a signed integer. Returns exactly 1, -1 or 0.
int lbServFlowTabEntCmp(const void *node1, const void *node2) {
    const auto *a = static_cast<const lbFlow_t *>(node1);
    const auto *b = static_cast<const lbFlow_t *>(node2);
    if (a->lbClientSrcIp > b->lbClientSrcIp)
        return 1;
    if (a->lbClientSrcIp < b->lbClientSrcIp)
        return -1;
    if (a->lbClientSrcTcpPort > b->lbClientSrcTcpPort)
        return 1;
    if (a->lbClientSrcTcpPort < b->lbClientSrcTcpPort)
        return -1;
    return 0;
}

// The key is the whole record, allocated by lbServFlowTable_createEntry. The record owns
// its hop list: hops that nobody emptied before the entry left go with it.
void IntDest(void *a) {
    auto *entry = static_cast<lbFlow_t *>(a);
    if (entry == nullptr)
        return;
    del_pathlist(&entry->client_pathlist_hdr);
    delete entry;
}

// Infos are always null in this table.
void InfoDest(void *) {}
void PrintKey(const void *) {}
void InfoPrint(void *) {}

// Dispatches one entry of a walk; operations other than the four print a line per entry.
void treeTraverse(const void *key, int operation) {
    // The walks that change entries receive them through the tree's read-only slot.
    void *entry = const_cast<void *>(key);
    switch (operation) {
        case PRINT:
            print_flowEntry_mit(key);
            break;
        case FINDELETE:
            lbFlowDeleteTimeout(entry);
            break;
        case WRITEFILE:
            write_db_flowEntry(key);
            break;
        case DELETEALL:
            deleteAllFlows(entry);
            break;
        default:
            printf("\nNo operation\n");
            break;
    }
}

// Creates the table's tree. No-op when it already exists.
void lbFlowTable_create(void) {
    if (g_lbServFlowTable_tree != nullptr)
        return;
    g_lbServFlowTable_tree =
        RBTreeCreate(lbServFlowTabEntCmp, IntDest, InfoDest, PrintKey, InfoPrint, treeTraverse);
}

// Null (nothing changed) when the record cannot be allocated, the table does not exist
// yet or no server is given. The path list starts as a valid empty list, so an entry
// removed before its path was filled needs no special case.
lbFlow_t *lbServFlowTable_createEntry(lbServer_node_t *lbServer, uint32_t lbClientSrcIp,
                                      int lbClientSrcTcpPort, int lbClientInPort,
                                      const unsigned char *srcMac, int ServerTcpPort) {
    if (g_lbServFlowTable_tree == nullptr || lbServer == nullptr)
        return nullptr;
    auto *entry = new (std::nothrow) lbFlow_t{};
    if (entry == nullptr)
        return nullptr;

    char vip[sizeof g_vipIPAddr + 1];
    lbCopyField(vip, g_vipIPAddr, sizeof g_vipIPAddr);
    entry->lbClientSrcIp = lbClientSrcIp;
    entry->lbClusterIp = inet_addr(vip);
    entry->lbClientSrcTcpPort = lbClientSrcTcpPort;
    entry->lbClientInPort = lbClientInPort;
    if (srcMac != nullptr)
        memcpy(entry->lbClientSrcMac, srcMac, sizeof entry->lbClientSrcMac);
    entry->lbServerTcpPort = ServerTcpPort;
    entry->lbServConfPtr = lbServer;
    dlist_init(&entry->client_pathlist_hdr);
    entry->lbCreatedMs = entry->lbClientSeenMs = entry->lbServerSeenMs = lbFlowClock();

    lbServer->numConn++;
    numFlowEntries++;
    RBTreeInsert(g_lbServFlowTable_tree, entry, nullptr);
    lbFlowTable_noteChange();
    return entry;
}

// The probe lives on the stack: a lookup runs for every packet and needs no allocation.
lbFlow_t *lbFlowTable_getEntry(uint32_t lbClientSrcIp, uint16_t lbClientSrcTcpPort) {
    rb_red_blk_node *node = nullptr;
    if (g_lbServFlowTable_tree != nullptr) {
        lbFlow_t probe{};
        probe.lbClientSrcIp = lbClientSrcIp;
        probe.lbClientSrcTcpPort = lbClientSrcTcpPort;
        node = RBExactQuery(g_lbServFlowTable_tree, &probe);
    }
    if (node == nullptr) {
        if (Gv_noPrint == 0)
            printf("returning NULL from %s\n", "lbFlowTable_getEntry");
        return nullptr;
    }
    return static_cast<lbFlow_t *>(node->key);
}

// No-op for null, a missing table or a key the table does not hold. The stored record
// is freed (it may be lbFlowEntry itself).
void lbFlowTable_removeEntry(lbFlow_t *lbFlowEntry) {
    if (lbFlowEntry == nullptr || g_lbServFlowTable_tree == nullptr)
        return;
    rb_red_blk_node *node = findStoredNode(g_lbServFlowTable_tree, lbFlowEntry);
    if (node == nullptr)
        return;
    numFlowEntries--;
    RBDelete(g_lbServFlowTable_tree, node);
    lbFlowTable_noteChange();

    FILE *check = fopen(clientservconf, "r");
    if (check == nullptr) {
        printf("Cannot open ServClientConf file.\n");
    } else {
        fclose(check);
    }
}

// The listing text of one entry, appended to the running listing or printed.
void print_flowEntry_mit(const void *key) {
    const auto *entry = static_cast<const lbFlow_t *>(key);
    if (entry == nullptr)
        return;
    char clientIp[LB_IPSTR_LEN];
    char servIp[LB_IPSTR_LEN] = "";
    lbIPntoa(entry->lbClientSrcIp, clientIp, sizeof clientIp);
    if (entry->lbServConfPtr != nullptr)
        lbIPntoa(entry->lbServConfPtr->lbServIp.s_addr, servIp, sizeof servIp);

    // Fixed text of 132 characters, two addresses and five integers, and the terminator.
    char text[132 + 2 * (LB_IPSTR_LEN - 1) + 5 * (LB_ITOA_LEN - 1) + 1];
    snprintf(text, sizeof text,
             " lbClientSrcIp = %s, lbClientSrcTcpPort = %d, lbClientInPort = %d\n"
             " lbServerSrcIp = %s, lbServerTcpPort = %d,lbServOutPort = %d numFlowEntries %d \n",
             clientIp, entry->lbClientSrcTcpPort, entry->lbClientInPort, servIp,
             entry->lbServerTcpPort, entry->lbServOutPort, static_cast<int>(numFlowEntries));
    if (g_listOut != nullptr) {
        g_listOut->append(text);
    } else {
        fputs(text, stdout);
    }
}

void lbFlowTable_listInto(std::string &out) {
    if (g_lbServFlowTable_tree == nullptr)
        return;
    // Restores the previous target even if appending throws.
    struct Target {
        std::string *saved;
        explicit Target(std::string *t) : saved(g_listOut) { g_listOut = t; }
        ~Target() { g_listOut = saved; }
    } target(&out);
    RBTreeTraverse(g_lbServFlowTable_tree, PRINT);
}

void lbFlowSeen(lbFlow_t *e, int fromClient, int64_t now) {
    if (e == nullptr)
        return;
    if (fromClient) {
        e->lbClientSeenMs = now;
        e->lbEstablished = 1;
    } else {
        e->lbServerSeenMs = now;
    }
}

int lbFlowIdleDue(const lbFlow_t *e, int64_t now) {
    const int64_t halfOpenMs = static_cast<int64_t>(g_halfOpenTmr) * 1000;
    const int64_t idleMs = static_cast<int64_t>(g_estIdleTmr) * 1000;
    if (!e->lbEstablished && halfOpenMs > 0 && now - e->lbCreatedMs >= halfOpenMs)
        return LB_IDLE_HALF_OPEN;
    const int64_t last =
        e->lbClientSeenMs > e->lbServerSeenMs ? e->lbClientSeenMs : e->lbServerSeenMs;
    if (idleMs > 0 && now - last >= idleMs)
        return LB_IDLE_ESTABLISHED;
    return LB_IDLE_NONE;
}

// Counter values above 3 do not arise; they are treated as due rather than kept forever.
void lbFlowDeleteTimeout(void *key) {
    auto *entry = static_cast<lbFlow_t *>(key);
    if (entry == nullptr || entry->lbPending)
        return;  // a connection being set up belongs to its setup
    if (entry->deleteFlowSet == 0) {
        const int due = lbFlowIdleDue(entry, lbFlowClock());
        if (due == LB_IDLE_NONE)
            return;
        char client[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &entry->lbClientSrcIp, client, sizeof client);
        if (due == LB_IDLE_HALF_OPEN)
            printf("Connection %s:%d removed: no frame from the client after its SYN in %u s\n",
                   client, entry->lbClientSrcTcpPort, g_halfOpenTmr);
        else
            printf("Connection %s:%d removed: idle for %u s\n", client, entry->lbClientSrcTcpPort,
                   g_estIdleTmr);
        lbCountClose(due == LB_IDLE_HALF_OPEN ? LB_CLOSE_HALF_OPEN : LB_CLOSE_IDLE);
        deleteFlowEntry(entry);
        return;
    }
    if (entry->deleteFlowSet < 3) {
        entry->deleteFlowSet++;
        return;
    }
    lbCountClose(LB_CLOSE_FIN);
    deleteFlowEntry(entry);
}

// The controller's answers are not looked at: the entry goes whatever they say, and a
// rule left behind ends through its own idle time-out.
void deleteFlowEntry(void *key) {
    auto *entry = static_cast<lbFlow_t *>(key);
    if (entry == nullptr)
        return;
    lbServer_node_t *server = entry->lbServConfPtr;
    releaseConnection(entry);
    lbFlowTable_removeEntry(entry);
    // A server the operator deleted while it still had connections goes with its last.
    lbServerRemoveIfDrained(server);
}

// Leaves the entry in the tree, which the shutdown destroys right after the walk.
void deleteAllFlows(void *key) {
    auto *entry = static_cast<lbFlow_t *>(key);
    if (entry == nullptr || entry->lbPending)
        return;  // its setup removes what it posted
    lbCountClose(LB_CLOSE_SHUTDOWN);
    releaseConnection(entry);
    numFlowEntries--;
}
