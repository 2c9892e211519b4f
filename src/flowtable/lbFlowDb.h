// The flow table: one entry per balanced client connection, keyed by the client's
// address and TCP source port, held in one ordered tree. Creations and removals rewrite
// the connections file "flows_new.txt" (at once, or at most every so often: see
// lbFlowTable_setWriteInterval).
//
// Callers hold g_lbRBtreeMtx around every operation and walk; the table takes no lock.
#pragma once

#include <stdint.h>

#include <string>

#include "common/dlist.h"
#include "flowtable/lbFlowFile.h"
#include "flowtable/rbtree/red_black_tree.h"
#include "pool/lbServerList.h"

typedef struct lbFlow_t {
    uint32_t lbClientSrcIp;  // as in the client's IP header (network order); key, first
    uint32_t lbClusterIp;    // the VIP, network order
    int lbClientSrcTcpPort;  // host order; key, second
    int lbClientInPort;      // switch port where the client's traffic enters
    int lbServOutPort;       // switch port towards the server
    unsigned char lbClientSrcMac[6];
    unsigned int lbServIdx;          // never set
    lbServer_node_t *lbServConfPtr;  // serving server; owned by the server list
    int lbServerTcpPort;             // service port, host order
    int lbRevTcpPort;                // never set
    uint8_t deleteFlowSet;           // closing counter: 0 open, 1..3 ticks since the last FIN+ACK
    dlist_head client_pathlist_hdr;  // hops of the connection's path (pathlist_node_t)
    rb_red_blk_node treeNode;        // unused: the tree allocates its own nodes
    // Idle tracking, in milliseconds of lbFlowClock.
    int64_t lbCreatedMs;     // the client's SYN
    int64_t lbClientSeenMs;  // the client's latest frame
    int64_t lbServerSeenMs;  // the server's latest frame
    uint8_t lbEstablished;   // 1 once the client sent anything after its SYN
    // 1 while the connection is being set up: its SYN waits for the rules, its server's
    // count is raised, and only the setup (not the walks, not frames) may change or
    // remove the entry.
    uint8_t lbPending;
} lbFlow_t;

// When set (by the setup engine), removes the rules of connection e from the switches
// without waiting for the controller, in place of the requests made one after the other
// otherwise; e's hops and texts are read at once, e may go right after the call. Called
// with g_lbRBtreeMtx held.
extern void (*lbFlowRulesRemove)(const lbFlow_t *e);

// Walk operations understood by treeTraverse.
enum { PRINT = 1, FINDELETE = 2, WRITEFILE = 3, DELETEALL = 4 };

#define LB_FLOWS_FILE "flows_new.txt"

extern rb_red_blk_tree *g_lbServFlowTable_tree;
extern uint32_t numFlowEntries;

// Key comparison: client address as the integer it is held in (unsigned), then port.
int lbServFlowTabEntCmp(const void *node1, const void *node2);

// Tree callbacks of the table.
void IntDest(void *a);
void InfoDest(void *a);
void PrintKey(const void *a);
void InfoPrint(void *a);
void treeTraverse(const void *key, int operation);

// Milliseconds on a monotonic clock. A pointer so that tests can move time on.
typedef int64_t (*lbClockFn)(void);
extern lbClockFn lbFlowClock;

// Records a frame of the connection seen at now (lbFlowClock's time, which the caller has
// read already): from its client (which makes it established: the SYN itself is never
// recorded) or from its server. No-op for null.
void lbFlowSeen(lbFlow_t *e, int fromClient, int64_t now);

// Why an open entry is due for idle expiry at now: LB_IDLE_HALF_OPEN when its client sent
// nothing after the SYN for g_halfOpenTmr seconds, LB_IDLE_ESTABLISHED when no frame passed
// either way for g_estIdleTmr seconds, LB_IDLE_NONE otherwise (or for a limit of 0).
enum { LB_IDLE_NONE = 0, LB_IDLE_HALF_OPEN = 1, LB_IDLE_ESTABLISHED = 2 };
int lbFlowIdleDue(const lbFlow_t *e, int64_t now);

// Creates the table's tree (once, at start-up).
void lbFlowTable_create(void);

// Creates an entry for a new connection, raises the server's numConn, rewrites the
// connections file. Null when the entry cannot be allocated (nothing changes then).
lbFlow_t *lbServFlowTable_createEntry(lbServer_node_t *lbServer, uint32_t lbClientSrcIp,
                                      int lbClientSrcTcpPort, int lbClientInPort,
                                      const unsigned char *srcMac, int ServerTcpPort);

// The entry of a client address and port, or null.
lbFlow_t *lbFlowTable_getEntry(uint32_t lbClientSrcIp, uint16_t lbClientSrcTcpPort);

// Removes the entry holding lbFlowEntry's key and frees it; rewrites the connections
// file. No-op for null or an unknown key. The caller removes the rules, empties the
// path list and lowers numConn first.
void lbFlowTable_removeEntry(lbFlow_t *lbFlowEntry);

// Per-entry actions of the walks. print_flowEntry_mit appends the entry's text to the
// string of a running lbFlowTable_listInto, and prints it to standard output when no
// listing is running (write_db_flowEntry, the rewrite's: see lbFlowFile.h).
void print_flowEntry_mit(const void *key);

// Appends the PRINT text of every entry, in key order, to out. The caller holds
// g_lbRBtreeMtx and writes the text to the console only after releasing it.
void lbFlowTable_listInto(std::string &out);

// Per-entry action of the FINDELETE walk: advances the closing counter of a marked
// entry (1 -> 2 -> 3) and deletes the entry (deleteFlowEntry) when the counter is 3. An
// open entry (counter 0) is deleted the same way, with a line saying why, once
// lbFlowIdleDue finds it half-open or idle too long: a client that vanished without FIN
// or reset must not hold its server's slot for ever. Nothing for null.
void lbFlowDeleteTimeout(void *key);

// Removes the connection's rules from every switch of its path, empties the path list,
// lowers the server's numConn and removes the entry (which frees it); a server marked for
// deletion goes with its last connection (lbServerRemoveIfDrained). No-op for null.
void deleteFlowEntry(void *key);

// Per-entry action of the DELETEALL walk (shutdown): removes the rules, empties the path
// list, lowers numConn and numFlowEntries; the entry stays until the tree is destroyed.
// No-op for null.
void deleteAllFlows(void *key);
