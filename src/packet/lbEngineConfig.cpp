// The engine's bounds, read from setup.conf once at start-up (see lbEngine.h).
#include <fstream>

#include "packet/lbEngine.h"

lbEngineConfig lbEngineConfigLoad(const char *file) {
    lbEngineConfig cfg;
    std::ifstream in(file != nullptr ? file : LB_SETUP_CONF);
    long v[4];
    int n = 0;
    while (n < 4 && in >> v[n])
        ++n;
    if (n > 0 && v[0] > 0 && v[0] <= 100000)
        cfg.maxSetups = static_cast<int>(v[0]);
    if (n > 1 && v[1] > 0 && v[1] <= 10000)
        cfg.maxRequests = static_cast<int>(v[1]);
    if (n > 2 && v[2] > 0 && v[2] <= 1000)
        cfg.maxConnections = static_cast<int>(v[2]);
    if (n > 3 && (v[3] == 0 || v[3] == 1))
        cfg.caches = v[3] == 1;
    return cfg;
}
