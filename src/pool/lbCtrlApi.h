// Server pool operations on the configured servers: selection, configuration loading
// and the periodic refresh.
#pragma once

#include "pool/lbServerList.h"

// The least-loaded eligible server of lbServHead, or null when none is eligible.
// Eligible: not locked, not marked unreachable, not marked for removal (a server being
// removed drains instead of taking new connections) and below its connection limit.
// Ties go to the server earlier in the list.
lbServer_node_t *lbGetNodeWithLessConn(void);
