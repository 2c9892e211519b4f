// The setup engine: every controller request of the running balancer (connection
// setups, rule re-posts and removals) is made here, on the engine's own thread, so the
// packet thread never waits for the controller.
//
// A SYN that needs a setup gets its server and a pending flow-table entry on the packet
// thread, then the engine asks where the hosts are, which path joins them and posts the
// rules; once every rule is acknowledged the SYN leaves (lbSetupComplete), and any
// failure undoes the setup (lbSetupAbandon). Teardowns hand over the requests that
// remove or re-post a connection's rules and do not wait for them.
//
// Locks: the engine's private lock guards its inbox only; it is taken inside
// g_lbRBtreeMtx (the packet thread hands work over with the table locked) and never the
// other way round: the engine thread takes g_lbRBtreeMtx only with its own lock free,
// and never holds it across a request.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "controller/lbCtrlMsg.h"
#include "controller/lbRuleJournal.h"
#include "flowtable/lbFlowDb.h"
#include "pool/lbServerList.h"

// Bounds and switches of the engine, read from the optional file "setup.conf" (one line
// of up to four numbers: setups in flight, requests in flight, connections to the
// controller, caches on (1) or off (0)). Missing or unusable words keep the defaults.
#define LB_SETUP_CONF "setup.conf"
struct lbEngineConfig {
    int maxSetups = 256;  // setups in flight; a SYN beyond is dropped (and counted)
    // Requests on the wire at once. More than the connections wait inside the transfer
    // library with their time-out running, so a slow controller would time them out
    // unsent: by default as many as the connections.
    int maxRequests = 8;
    int maxConnections = 8;  // kept connections to the controller
    bool caches = true;      // attachments of the balancer and servers, paths, per tick
};
lbEngineConfig lbEngineConfigLoad(const char *file);

// One connection being set up: made on the packet thread with the pending entry, owned
// by the engine afterwards. server and the entry's server are the same record; a setup
// that finds its server unknown to the controller moves to another one.
struct lbSetupReq {
    lbFlow_t *entry;
    lbServer_node_t *server;
    uint32_t clientIp;  // network order
    uint16_t clientPort, servicePort;
    uint32_t serverIp;                                 // network order, of server
    std::vector<uint8_t> syn;                          // the client's SYN as received
    std::chrono::steady_clock::time_point handedOver;  // set by the engine that takes it
};

// Rules of one connection to be removed (DELETE) or re-posted (POST, for a reset's
// deletion time-out or a repair), named "client:port" in what shutdown reports.
struct lbRuleBatch {
    std::string name;
    bool remove;
    std::vector<lbRuleRequest> rules;
    lbConnTexts texts;  // for the per-rule lines
    // True for rules put back after they may have aged out: the connection's frames held
    // meanwhile leave (lbRulesBack) once every request of the batch has been answered.
    bool release;
    // True for a reset's re-post with the deletion time-out: the rules then go by
    // themselves, so the journal lets them go once the re-post is acknowledged.
    bool retire = false;
};

class lbCtrlEngine {
  public:
    virtual ~lbCtrlEngine() = default;
    // True while the controller is taken to be down (after a transport failure, until a
    // login succeeds again): new SYNs are dropped at once.
    virtual bool down() const = 0;
    // True when another setup may start (fewer than the bound in flight).
    virtual bool hasRoom() const = 0;
    // Takes a setup; any thread, g_lbRBtreeMtx may be held.
    virtual void setup(std::unique_ptr<lbSetupReq> req) = 0;
    // Takes rule requests that nobody waits for; any thread, g_lbRBtreeMtx may be held.
    virtual void rules(lbRuleBatch batch) = 0;
    // Setups and rule batches handed over and not yet ended.
    virtual size_t busy() const = 0;
    // The 5-second tick: cached attachments and paths expire (and are fetched again).
    virtual void tick() = 0;
    // Shutdown: new setups fail, those in flight stop at their next step (removing
    // what they posted); waits at most boundMs for every request handed over so far.
    // Returns the names of the connections whose rules were not all removed. Call with
    // g_lbRBtreeMtx free.
    virtual std::vector<std::string> drain(int boundMs) = 0;
};

// The engine the packet path uses (null: none; a SYN is then not set up and rules are
// requested one after the other). Set before the packet loop starts, by lbApp or by a
// test, and reset once the engine has stopped.
extern lbCtrlEngine *g_lbEngine;

// The engine on libcurl's multi interface, its thread started. Destroying it stops the
// thread; requests still running are abandoned. With a journal (owned by the engine from
// now on, used on its thread only) every rule is recorded there and flushed to the disk
// before it is posted, and its record goes when its removal is acknowledged.
std::unique_ptr<lbCtrlEngine> lbEngineCreate(const lbEngineConfig &cfg,
                                             std::unique_ptr<lbRuleJournal> journal = nullptr);

// --- Called by engines (the engine thread, g_lbRBtreeMtx free). ---

// Every rule of the setup is acknowledged: the entry is no longer pending, its clocks
// start now, and the SYN leaves readdressed to the server (through lbPktSend). Returns
// false, with nothing changed, once lbSetupStopAll was called: the setup is then undone.
bool lbSetupComplete(lbSetupReq *req);

// The rules of connection name ("client:port") are back: the frames held since they
// were found aged out leave, in the order they came.
void lbRulesBack(const std::string &name);

// Shutdown: from now on no setup completes. Call with g_lbRBtreeMtx held, before the walk
// that removes every connection's rules, so no connection escapes both.
void lbSetupStopAll(void);
// The setup failed: the entry goes, the server's count is restored, the SYN is
// dropped; line (when not null) is printed, then "Could not add a flow".
void lbSetupAbandon(lbSetupReq *req, const char *line);
// The setup's server is unknown to the controller: it is marked unreachable and the
// setup moves to the least-loaded eligible server (its count raised, the old one's
// restored). Returns false, with nothing changed, when none is left.
bool lbSetupMoveServer(lbSetupReq *req);
