#include "controller/lbCurl/lb_pathlist.h"

#include <cstdio>
#include <new>

#include "common/lbGlobals.h"
#include "controller/lbCurl/lb_getpath_restapi.h"

int create_pathlist(dlist_head *pathlist_hdr, const char *src_dpid, const char *dst_dpid,
                    const char *ip_addr, uint32_t client_inport, uint32_t server_outport) {
    (void)src_dpid;
    (void)dst_dpid;
    (void)ip_addr;
    if (pathlist_hdr == nullptr)
        return 0;
    dlist_init(pathlist_hdr);
    uint32_t n = num_pathnodes;
    if (n == 0) {
        printf("Number of nodes are zero ");
        return 0;
    }
    // Link i leaves the switch that link i-1 enters, so each inner hop pairs the
    // arrival port of one link with the departure port of the next.
    add_pathlist_node(pathlist_hdr, pathlist_nodes[0].src_dpid, client_inport,
                      pathlist_nodes[0].src_port);
    for (uint32_t i = 1; i < n; ++i)
        add_pathlist_node(pathlist_hdr, pathlist_nodes[i - 1].dst_dpid,
                          pathlist_nodes[i - 1].dst_port, pathlist_nodes[i].src_port);
    add_pathlist_node(pathlist_hdr, pathlist_nodes[n - 1].dst_dpid, pathlist_nodes[n - 1].dst_port,
                      server_outport);
    num_pathnodes = 0;
    return static_cast<int>(n + 1);
}

void add_pathlist_node(dlist_head *pathlist_hdr, uint64_t dpid, uint32_t inport, uint32_t outport) {
    pathlist_node_t *hop = create_pathlist_node(pathlist_hdr);
    if (hop == nullptr)
        return;
    hop->node_dpid = dpid;
    hop->in_port = inport;
    hop->out_port = outport;
    if (Gv_noPrint == 0)
        printf("Inside add pathlist node, dpid %llu  inport %d, outport %d ##########\n",
               static_cast<unsigned long long>(dpid), static_cast<int>(inport),
               static_cast<int>(outport));
}

pathlist_node_t *create_pathlist_node(dlist_head *pathlist_hdr) {
    if (pathlist_hdr == nullptr)
        return nullptr;
    auto *hop = new (std::nothrow) pathlist_node_t{};
    if (hop == nullptr)
        return nullptr;
    if (dlist_addnode(hop, pathlist_hdr) != SUCCESS) {
        delete hop;
        return nullptr;
    }
    return hop;
}

void del_pathlist(dlist_head *pathlist_hdr) {
    if (pathlist_hdr == nullptr)
        return;
    // A head that was never initialised (zeroed flow entry) is taken as empty.
    if (pathlist_hdr->next == nullptr) {
        dlist_init(pathlist_hdr);
        return;
    }
    dlist_node *cur = pathlist_hdr->next;
    while (cur != pathlist_hdr) {
        dlist_node *next = cur->next;
        delete static_cast<pathlist_node_t *>(dlist_delnode(cur, pathlist_hdr));
        cur = next;
    }
}
