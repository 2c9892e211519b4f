// The server pool: one record per back-end server, held in the list lbServHead.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#include "common/dlist.h"

#define LB_SERVER_NAME_LEN 50

struct server_node_t {
    int32_t lbSwitchPort;        // switch port the server is attached to, as configured
    struct in_addr lbServIp;     // network byte order; the key of lookups and deletes
    struct in_addr lbClusterIp;  // never set by the balancer; always 0
    unsigned char lbServMac[6];
    char server_name[LB_SERVER_NAME_LEN];  // NUL-terminated, at most 49 significant
    int32_t maxconn;
    int32_t numConn;           // connections currently assigned to this server
    int32_t lbServIdx;         // position in the start-up load; 0 for servers added later
    int32_t lock;              // 1 when the configured state is "Locked"
    int32_t valid;             // 1 once the record holds configuration
    int32_t delete_;           // removal requested while connections were still open
    uint8_t servNotReachable;  // last attempt to locate the server failed
    uint8_t healthDown;        // active health checks find the server down
};
// "delete" is a C++ keyword; the field keeps its meaning under this spelling.
typedef struct server_node_t lbServer_node_t;
typedef struct server_node_t lbServerConfig;

// Head of the server list.
extern dlist_head lbServHead;
// Number of servers in lbServHead; the packet path refuses new connections at 0.
extern int g_lbNumServers;

// Header lines printed before a listing; the refresh uses the "added" variant after a
// server was added at run time.
#define LB_SERVLIST_HEADER "SERVER_NAME SERVER-IP  MAX_CONN  SERVER_MAC  STATE  PORT"
#define LB_SERVLIST_HEADER_ADDED "########" LB_SERVLIST_HEADER

// Makes lbServHead an empty list. Call once, before any server is loaded.
void Server_list_init(void);

// Allocates a zeroed record and appends it to the list; the caller fills it in.
// Null when the record cannot be allocated (nothing is appended then).
lbServer_node_t *create_lbServer_node(dlist_head *lbServer_hdr);

// First record in list order whose lbServIp equals servIp (network order); null if none.
lbServerConfig *getServEntry(uint32_t servIp, dlist_head *servHead);

// Unlinks and frees the first record whose address equals lbServer's. Matching is by
// address, so the record freed is usually lbServer itself: callers must not use it
// afterwards. No-op when the head is null or no record matches.
void del_lbServer_node(lbServer_node_t *lbServer, dlist_head *lbServer_hdr);

// Frees every node and every server record of the list, leaving it empty. No-op on null.
// Only for lists of server records: the elements are freed as such.
void del_all_dlist_nodes(dlist_head *lbDlistHdr);
void del_lbServer(dlist_head *lbDlistHdr);

// Frees every server record (shutdown).
void delete_all_lbServerNodes(void);

// Removes server s from lbServHead when it is marked for deletion and has no connection
// left: the record is freed, g_lbNumServers lowered, and the header and the list are
// printed. Returns 1 when s was removed (the caller must not use it afterwards), 0
// otherwise (also for null).
int lbServerRemoveIfDrained(lbServer_node_t *s);

// Prints the header line and the rule of '=' that precede every listing.
void printServListHeader(bool added);

// Prints one line per server, in list order (the caller prints the header first).
void printServList(dlist_head *lstHdr);

// The least-loaded eligible server of lbServHead, or null when none is eligible.
// Eligible: not locked, not marked unreachable, not marked for removal (a server being
// removed drains instead of taking new connections) and below its connection limit.
// Ties go to the server earlier in the list.
lbServer_node_t *lbGetNodeWithLessConn(void);
