#include "flowtable/lbFlowDb.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "controller/lbCurl/lb_getpath_restapi.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "controller/lbCurl/restApi.h"
#include "common/lbGlobals.h"
#include "controller/lbCtrlMsg.h"

rb_red_blk_tree *g_lbServFlowTable_tree = nullptr;
uint32_t numFlowEntries = 0;

namespace {

char clientservconf[20] = LB_FLOWS_FILE;
static_assert(sizeof(LB_FLOWS_FILE) <= sizeof(clientservconf), "file name must fit");

// Stream of the connections file while a rewrite runs; write_db_flowEntry writes to it.
FILE *fp = nullptr;

// Destination of print_flowEntry_mit while lbFlowTable_listInto runs.
std::string *g_listOut = nullptr;

// Length of a text field that may lack its terminator, for "%.*s".
template <size_t N>
int fieldLen(const char (&field)[N]) {
    return static_cast<int>(strnlen(field, N));
}

void reportWriteFailure(int err) {
    char buf[128];
    // GNU strerror_r: returns the message, which need not be in buf.
    const char *msg = strerror_r(err, buf, sizeof buf);
    printf("Cannot write %s: %s\n", clientservconf, msg);
}

// The new content of the connections file under a temporary name beside the target.
// Unless committed, the destructor closes and removes it, so a failed rewrite leaves
// neither a half-written target nor a stray temporary.
class TempFlowsFile {
  public:
    // 0, or the errno of the failure to create the temporary.
    int open() {
        static unsigned counter = 0;
        // O_EXCL with a name unique to this process and rewrite; the loop only steps
        // over leftovers of an earlier process that had the same pid.
        for (int attempt = 0; attempt < 16; ++attempt) {
            name_ = std::string(clientservconf) + ".tmp." + std::to_string(getpid()) + "." +
                    std::to_string(counter++);
            // 0666 so that the umask, not this code, decides who may read the file,
            // as for any file the process creates.
            int fd = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0) {
                if (errno == EEXIST)
                    continue;
                int err = errno;
                name_.clear();
                return err;
            }
            stream_ = fdopen(fd, "w");
            if (stream_ == nullptr) {
                int err = errno;
                ::close(fd);
                unlink(name_.c_str());
                name_.clear();
                return err;
            }
            return 0;
        }
        name_.clear();
        return EEXIST;
    }

    FILE *stream() const { return stream_; }

    // Closes the temporary and renames it over the target. 0, or the errno of the step
    // that failed (the temporary is then removed by the destructor).
    int commit() {
        bool writeFailed = ferror(stream_) != 0;
        int err = (fflush(stream_) != 0) ? errno : 0;
        if (fclose(stream_) != 0 && err == 0)
            err = errno;
        stream_ = nullptr;
        if (err == 0 && writeFailed)
            err = EIO;
        if (err != 0)
            return err;
        if (rename(name_.c_str(), clientservconf) != 0)
            return errno;
        name_.clear();
        return 0;
    }

    ~TempFlowsFile() {
        if (stream_ != nullptr)
            fclose(stream_);
        if (!name_.empty())
            unlink(name_.c_str());
    }

  private:
    FILE *stream_ = nullptr;
    std::string name_;
};

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

// Texts of one connection shared by all of its rule bodies.
struct RuleTexts {
    char lbAppPort[LB_ITOA_LEN];
    char clientIp[LB_IPSTR_LEN];
    char clientPort[LB_ITOA_LEN];
    char serverPort[LB_ITOA_LEN];
    char srvIp[LB_IPSTR_LEN];
    char vip[sizeof g_vipIPAddr + 1];
    char idle[sizeof g_addFlowTmr + 1];
    char lbAppDpIdStr[17];
};

// The body buffer is cleared and refilled for each rule; a body that could not be built
// is not sent.
void sendRuleRemoval(const char *url, char *body, size_t bodySize, const RuleTexts &t,
                     const char *srcIp, const char *srcPort, const char *inPort, const char *dstIp,
                     const char *dstPort, const char *outPort) {
    memset(body, 0, bodySize);
    if (format_string_flow(body, bodySize, srcIp, srcPort, inPort, dstIp, dstPort, outPort,
                           t.idle) < 0)
        return;
    delelteSwitchFlow(url, body);
}

// Removes the rules of one connection from every switch of its path: A to D on the
// balancer's own switch, E and F on every other one, in path order.
void removeConnectionRules(const lbFlow_t *e) {
    RuleTexts t;
    snprintf(t.lbAppPort, sizeof t.lbAppPort, "%u", g_lbAppPort);
    lbIPntoa(e->lbClientSrcIp, t.clientIp, sizeof t.clientIp);
    lbItoa(e->lbClientSrcTcpPort, t.clientPort, sizeof t.clientPort);
    lbItoa(e->lbServerTcpPort, t.serverPort, sizeof t.serverPort);
    lbIPntoa(e->lbServConfPtr->lbServIp.s_addr, t.srvIp, sizeof t.srvIp);
    snprintf(t.vip, sizeof t.vip, "%.*s", fieldLen(g_vipIPAddr), g_vipIPAddr);
    const auto *tmr = reinterpret_cast<const char *>(g_addFlowTmr);
    snprintf(t.idle, sizeof t.idle, "%.*s", static_cast<int>(strnlen(tmr, sizeof g_addFlowTmr)),
             tmr);
    char ownDpid[sizeof g_switchDpId + 1];
    const auto *sw = reinterpret_cast<const char *>(g_switchDpId);
    snprintf(ownDpid, sizeof ownDpid, "%.*s", static_cast<int>(strnlen(sw, sizeof g_switchDpId)),
             sw);
    uint64_t ownDpidNum = 0;
    lb_dpid_to_ull(ownDpid, &ownDpidNum);
    snprintf(t.lbAppDpIdStr, sizeof t.lbAppDpIdStr, "%016llx",
             static_cast<unsigned long long>(ownDpidNum));
    char ctrlIp[sizeof g_cont1IPAddr + 1];
    snprintf(ctrlIp, sizeof ctrlIp, "%.*s", fieldLen(g_cont1IPAddr), g_cont1IPAddr);

    const dlist_head *head = &e->client_pathlist_hdr;
    if (head->next == nullptr)
        return;  // never initialised: no hops
    for (const dlist_node *n = head->next; n != head; n = n->next) {
        const auto *hop = static_cast<const pathlist_node_t *>(n->data);
        char url[LB_FLOW_URL_LEN];
        char body[1024];
        static_assert(sizeof body >= LB_FLOW_BODY_LEN, "a rule body must fit");
        memset(url, 0, sizeof url);
        memset(body, 0, sizeof body);
        const auto dpid = static_cast<unsigned long long>(hop->node_dpid);
        if (Gv_noPrint == 0)
            printf("Deleting the flows in the switch 0x%llx \n", dpid);
        char dpidStr[17];
        snprintf(dpidStr, sizeof dpidStr, "%016llx", dpid);
        if (create_url(url, sizeof url, ctrlIp, dpidStr, "v2.0") < 0)
            continue;
        char inPort[LB_ITOA_LEN];
        char outPort[LB_ITOA_LEN];
        snprintf(inPort, sizeof inPort, "%u", hop->in_port);
        snprintf(outPort, sizeof outPort, "%u", hop->out_port);

        const bool diag = Gv_noPrint == 0;
        if (strcmp(dpidStr, t.lbAppDpIdStr) == 0) {
            if (diag)
                printf("URL################ %s \n", url);
            // A: client to VIP, towards the balancer.
            sendRuleRemoval(url, body, sizeof body, t, t.clientIp, t.clientPort, inPort, t.vip,
                            t.serverPort, t.lbAppPort);
            if (diag) {
                printf("Flow String################ %s \n", body);
                printf("Deleting flow switc id %s inport %s outport 4\n", dpidStr, inPort);
            }
            // B: rewritten client packets, balancer to server.
            sendRuleRemoval(url, body, sizeof body, t, t.clientIp, t.clientPort, t.lbAppPort,
                            t.srvIp, t.serverPort, outPort);
            if (diag)
                printf("Deleting flow switc id %s inport 4 outport %s\n", dpidStr, outPort);
            // C: server's answers, towards the balancer.
            sendRuleRemoval(url, body, sizeof body, t, t.srvIp, t.serverPort, outPort, t.clientIp,
                            t.clientPort, t.lbAppPort);
            if (diag)
                printf("Deleting flow switc id %s inport %s outport 4\n", dpidStr, outPort);
            // D: rewritten answers from the VIP, back towards the client.
            sendRuleRemoval(url, body, sizeof body, t, t.vip, t.serverPort, t.lbAppPort, t.clientIp,
                            t.clientPort, inPort);
            if (diag)
                printf("Deleting flow switc id %s inport 4 outport %s\n", dpidStr, inPort);
        } else {
            // E: client to server.
            sendRuleRemoval(url, body, sizeof body, t, t.clientIp, t.clientPort, inPort, t.srvIp,
                            t.serverPort, outPort);
            if (diag)
                printf("Deleting flow switc id %s inport %s outport %s\n", dpidStr, inPort,
                       outPort);
            // F: server to client.
            sendRuleRemoval(url, body, sizeof body, t, t.srvIp, t.serverPort, outPort, t.clientIp,
                            t.clientPort, inPort);
            if (diag)
                printf("Deleting flow switc id %s inport %s outport %s\n", dpidStr, outPort,
                       inPort);
        }
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
    free(entry);
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
    auto *entry = static_cast<lbFlow_t *>(calloc(1, sizeof(lbFlow_t)));
    if (entry == nullptr)
        return nullptr;

    char vip[sizeof g_vipIPAddr + 1];
    snprintf(vip, sizeof vip, "%.*s", fieldLen(g_vipIPAddr), g_vipIPAddr);
    entry->lbClientSrcIp = lbClientSrcIp;
    entry->lbClusterIp = inet_addr(vip);
    entry->lbClientSrcTcpPort = lbClientSrcTcpPort;
    entry->lbClientInPort = lbClientInPort;
    if (srcMac != nullptr)
        memcpy(entry->lbClientSrcMac, srcMac, sizeof entry->lbClientSrcMac);
    entry->lbServerTcpPort = ServerTcpPort;
    entry->lbServConfPtr = lbServer;
    dlist_init(&entry->client_pathlist_hdr);

    lbServer->numConn++;
    numFlowEntries++;
    RBTreeInsert(g_lbServFlowTable_tree, entry, nullptr);
    lbFlowTable_writeFile();
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
    lbFlowTable_writeFile();

    FILE *check = fopen(clientservconf, "r");
    if (check == nullptr) {
        printf("Cannot open ServClientConf file.\n");
    } else {
        fclose(check);
    }
}

void lbFlowTable_writeFile(void) {
    TempFlowsFile tmp;
    int err = tmp.open();
    if (err != 0) {
        reportWriteFailure(err);
        return;
    }
    FILE *out = tmp.stream();

    for (dlist_node *n = lbServHead.next; n != nullptr && n != &lbServHead; n = n->next) {
        const auto *serv = static_cast<const lbServer_node_t *>(n->data);
        if (serv->numConn != 0 || (serv->lock != 0 && serv->lock != 1))
            continue;
        char ip[LB_IPSTR_LEN];
        lbIPntoa(serv->lbServIp.s_addr, ip, sizeof ip);
        fprintf(out, "%d %d %s %d %.*s %d\n", 0, 0, ip, 0, fieldLen(serv->server_name),
                serv->server_name, serv->maxconn);
        if (Gv_noPrint == 0) {
            printf("Writing in file %s\n", clientservconf);
            printf("%d %d %s %d %.*s %d\n", 0, 0, ip, 0, fieldLen(serv->server_name),
                   serv->server_name, serv->maxconn);
        }
    }

    if (g_lbServFlowTable_tree != nullptr) {
        // fp is module state so that the walk's per-entry callback can reach the stream;
        // restored afterwards so that a stray WRITEFILE walk writes nowhere.
        FILE *saved = fp;
        fp = out;
        RBTreeTraverse(g_lbServFlowTable_tree, WRITEFILE);
        fp = saved;
    }

    err = tmp.commit();
    if (err != 0)
        reportWriteFailure(err);
}

// One connection line of the connections file; nothing outside a rewrite.
void write_db_flowEntry(const void *key) {
    const auto *entry = static_cast<const lbFlow_t *>(key);
    if (fp == nullptr || entry == nullptr || entry->lbServConfPtr == nullptr)
        return;
    const lbServer_node_t *serv = entry->lbServConfPtr;
    char clientIp[LB_IPSTR_LEN];
    char servIp[LB_IPSTR_LEN];
    lbIPntoa(entry->lbClientSrcIp, clientIp, sizeof clientIp);
    lbIPntoa(serv->lbServIp.s_addr, servIp, sizeof servIp);
    fprintf(fp, "%s %d %s %.*s %.*s %d\n", clientIp, entry->lbClientSrcTcpPort, servIp,
            fieldLen(cluster_name), cluster_name, fieldLen(serv->server_name), serv->server_name,
            serv->maxconn);
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

// Counter values above 3 do not arise; they are treated as due rather than kept forever.
void lbFlowDeleteTimeout(void *key) {
    auto *entry = static_cast<lbFlow_t *>(key);
    if (entry == nullptr || entry->deleteFlowSet == 0)
        return;
    if (entry->deleteFlowSet < 3) {
        entry->deleteFlowSet++;
        return;
    }
    deleteFlowEntry(entry);
}

// The controller's answers are not looked at: the entry goes whatever they say, and a
// rule left behind ends through its own idle time-out.
void deleteFlowEntry(void *key) {
    auto *entry = static_cast<lbFlow_t *>(key);
    if (entry == nullptr)
        return;
    releaseConnection(entry);
    lbFlowTable_removeEntry(entry);
}

// Leaves the entry in the tree, which the shutdown destroys right after the walk.
void deleteAllFlows(void *key) {
    auto *entry = static_cast<lbFlow_t *>(key);
    if (entry == nullptr)
        return;
    releaseConnection(entry);
    numFlowEntries--;
}
