// Hop lists: the switches of one connection's path, each with the port where its
// traffic enters and the port where it leaves, built from the gathered links.
#pragma once

#include <stdint.h>

#include "common/dlist.h"

// One hop of a connection's path.
typedef struct pathlist_node_s {
    uint64_t node_dpid;  // the switch
    uint32_t in_port;    // where the connection's traffic enters it
    uint32_t out_port;   // where it leaves
} pathlist_node_t;
static_assert(sizeof(pathlist_node_t) == 16, "a hop is 16 bytes");

// (Re)initialises pathlist_hdr and fills it with the hops of the gathered links, client's
// switch first: n links give n+1 hops, the first entered at client_inport, the last left
// at server_outport. Empties the link table. Returns 0 (after "Number of nodes are zero ")
// when no links were gathered, otherwise a non-zero value. The dpid and address texts are
// not used. Returns 0 for a null head.
int create_pathlist(dlist_head *pathlist_hdr, const char *src_dpid, const char *dst_dpid,
                    const char *ip_addr, uint32_t client_inport, uint32_t server_outport);

// Appends one hop at the tail of the list. A hop that cannot be allocated is skipped.
void add_pathlist_node(dlist_head *pathlist_hdr, uint64_t dpid, uint32_t inport, uint32_t outport);

// Allocates a zeroed hop and appends it at the tail; null when no memory is left (or
// the head is null).
pathlist_node_t *create_pathlist_node(dlist_head *pathlist_hdr);

// Unlinks and frees every hop; the list is left empty. No-op for a null head.
void del_pathlist(dlist_head *pathlist_hdr);
