#include "pool/lbCtrlApi.h"

// One linear pass, no allocation; fine for the few hundred servers a pool holds.
lbServer_node_t *lbGetNodeWithLessConn(void) {
    lbServer_node_t *best = nullptr;
    for (dlist_node *n = lbServHead.next; n != &lbServHead; n = n->next) {
        auto *s = static_cast<lbServer_node_t *>(n->data);
        if (s->lock != 0 || s->servNotReachable != 0 || s->delete_ != 0) continue;
        if (s->numConn >= s->maxconn) continue;
        if (best == nullptr || s->numConn < best->numConn) best = s;
    }
    return best;
}
