#include "pool/lbServerList.h"

#include <arpa/inet.h>

#include <cstdio>
#include <new>

dlist_head lbServHead = {nullptr, &lbServHead, &lbServHead};
int g_lbNumServers = 0;

void Server_list_init(void) {
    dlist_init(&lbServHead);
}

namespace {

// The one way a server record leaves the list: the node is unlinked and freed, then the
// record it carried. Records are made only by create_lbServer_node.
void releaseServerNode(dlist_node *n, dlist_head *head) {
    delete static_cast<lbServer_node_t *>(dlist_delnode(n, head));
}

}  // namespace

lbServer_node_t *create_lbServer_node(dlist_head *lbServer_hdr) {
    // Value-initialised: every field starts at zero, as the loaders and the refresh expect.
    auto *rec = new (std::nothrow) lbServer_node_t{};
    if (rec == nullptr)
        return nullptr;
    if (dlist_addnode(rec, lbServer_hdr) != SUCCESS) {
        delete rec;
        return nullptr;
    }
    return rec;
}

// Linear scan; fine for the few hundred servers a pool holds.
lbServerConfig *getServEntry(uint32_t servIp, dlist_head *servHead) {
    if (servHead == nullptr)
        return nullptr;
    for (dlist_node *n = servHead->next; n != servHead; n = n->next) {
        auto *rec = static_cast<lbServerConfig *>(n->data);
        if (rec->lbServIp.s_addr == servIp)
            return rec;
    }
    return nullptr;
}

void del_lbServer_node(lbServer_node_t *lbServer, dlist_head *lbServer_hdr) {
    if (lbServer == nullptr || lbServer_hdr == nullptr)
        return;
    // Read the address before anything is freed: lbServer may be the record we free.
    const uint32_t ip = lbServer->lbServIp.s_addr;
    for (dlist_node *n = lbServer_hdr->next; n != lbServer_hdr; n = n->next) {
        auto *rec = static_cast<lbServer_node_t *>(n->data);
        if (rec->lbServIp.s_addr == ip) {
            releaseServerNode(n, lbServer_hdr);
            return;
        }
    }
}

void del_all_dlist_nodes(dlist_head *lbDlistHdr) {
    if (lbDlistHdr == nullptr)
        return;
    dlist_node *n = lbDlistHdr->next;
    while (n != lbDlistHdr) {
        dlist_node *next = n->next;
        releaseServerNode(n, lbDlistHdr);
        n = next;
    }
}

void del_lbServer(dlist_head *lbDlistHdr) {
    del_all_dlist_nodes(lbDlistHdr);
}

void delete_all_lbServerNodes(void) {
    del_all_dlist_nodes(&lbServHead);
}

int lbServerRemoveIfDrained(lbServer_node_t *s) {
    if (s == nullptr || s->delete_ != 1 || s->numConn != 0)
        return 0;
    del_lbServer_node(s, &lbServHead);
    g_lbNumServers--;
    printServListHeader(false);
    printServList(&lbServHead);
    return 1;
}

void printServListHeader(bool added) {
    printf("%s\n", added ? LB_SERVLIST_HEADER_ADDED : LB_SERVLIST_HEADER);
    printf("=============================================================\n");
}

void printServList(dlist_head *lstHdr) {
    if (lstHdr == nullptr)
        return;
    for (dlist_node *n = lstHdr->next; n != lstHdr; n = n->next) {
        const auto *s = static_cast<const lbServer_node_t *>(n->data);
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &s->lbServIp, ip, sizeof ip);
        printf("  %s     %s    %d   %x:%x:%x:%x:%x:%x  %d   %d\n", s->server_name, ip, s->maxconn,
               s->lbServMac[0], s->lbServMac[1], s->lbServMac[2], s->lbServMac[3], s->lbServMac[4],
               s->lbServMac[5], s->lock, s->lbSwitchPort);
    }
    fflush(stdout);
}

// One linear pass, no allocation; fine for the few hundred servers a pool holds.
lbServer_node_t *lbGetNodeWithLessConn(void) {
    lbServer_node_t *best = nullptr;
    for (dlist_node *n = lbServHead.next; n != &lbServHead; n = n->next) {
        auto *s = static_cast<lbServer_node_t *>(n->data);
        if (s->lock != 0 || s->servNotReachable != 0 || s->healthDown != 0 || s->delete_ != 0)
            continue;
        if (s->numConn >= s->maxconn)
            continue;
        if (best == nullptr || s->numConn < best->numConn)
            best = s;
    }
    return best;
}
