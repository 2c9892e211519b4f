// Forward-path queries: asks the controller for the links between two switches and
// gathers them, across the one or two queries of a connection set-up, in a module-wide
// link table that lb_pathlist turns into hops.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "common/dlist.h"
#include "controller/lbCurl/jsonext.h"

// One link of a forward path, as the controller reports it.
struct node {
    uint64_t src_dpid;  // switch the link leaves
    uint32_t src_port;  // port on that switch
    uint64_t dst_dpid;  // switch the link enters
    uint32_t dst_port;  // port on that switch
};

#define LB_MAX_PATHNODES 1024
#define LB_PATH_URL_LEN 128
#define LB_DPID_DIGITS 23  // hexadecimal digits of a dpid text that are read

// Links gathered since the hop list was last built, and their count. Main thread only.
extern struct node pathlist_nodes[LB_MAX_PATHNODES];
extern uint32_t num_pathnodes;

// Queries the forward path from switch src_dpid to switch dst_dpid (dpid texts as the
// controller writes them; ip_addr is the controller "address:port") and appends its links
// to the link table. pathlist_hdr, client_inport and server_outport are not used. Returns
// the number of links gathered since the last build, this query's and earlier ones';
// 0 when nothing has been gathered. A path that would overflow the table is dropped with
// a message and the query fails: the table is emptied and 0 returned.
uint32_t lb_findpath(dlist_head *pathlist_hdr, const char *src_dpid, const char *dst_dpid,
                     const char *ip_addr, uint32_t client_inport, uint32_t server_outport);

// The GET of one path query URL; links found in the reply are appended to the table.
// Returns 0 in every case; a failed transfer adds nothing.
int lb_rest_getpath(const char *url);

// Reply handler of the path query: logs each delivery to "get_path.out" (the first of
// the process truncates it) and joins them in userdata (a std::string).
size_t GetpathWriteMemoryCallback(char *ptr, size_t size, size_t nmemb, void *userdata);

// Examines one node of a path reply: the members "src_dpid", "src_port", "dst_dpid" fill
// the pending link and "dst_port" completes it and appends it to the table. Keys must
// match in full; nodes without a key are ignored.
void lb_capture_path(const lb_json_node *p);

// Hands every node below js, depth first in document order, to lb_capture_path.
void nx_json_getpath_all(const lb_json *js);

// Reads the links of a complete forward-path reply from switch src to switch dst into
// out (emptied first). Accepted only when the reply is JSON, every link has its four
// members with the right types (dpids as hexadecimal texts, ports as integers from 0 to
// 2^32-1, "dst_port" last), there is at least one link, and the links join src to dst
// hop by hop (each leaves the switch the one before enters). Returns 0, or -1 with out
// emptied.
int lbPathLinks(const std::string &reply, uint64_t src, uint64_t dst, std::vector<node> *out);

// Converts a dpid text (hexadecimal, colons anywhere are skipped, at most 23 digits
// taken) into a number at res. Reading stops at the first non-hexadecimal character, so a
// text without leading hexadecimal digits gives 0. No-op when either argument is null.
void lb_dpid_to_ull(const char *dpid, uint64_t *res);
