// Configuration of the balancer: the loaders run at start-up, the run-time refresh of
// the server list, and the discovery of the balancer's own switch port.
#pragma once

#include <mysql.h>

#include "pool/lbServerList.h"

// ---- Configuration loaders -------------------------------------------------------
// The loaders run once, on the main thread, before the console and the timer exist.
// Each one that finds its configuration unusable ends the process through
// lbConfigExit: status 0 with a message naming the file and the value, or status 1 with
// the MySQL error text.

// Names of the configuration files, all in the working directory.
extern const char dbconfig[];         // "dbconfig.conf": host, user, password
extern const char servconf[];         // "servConfig.conf": mirror of table server
extern const char contipconf[];       // "contIP.conf": mirror of table controller
extern const char clusterconf[];      // "cluster.conf": mirror of table vip_conf
extern const char clusterconf_new[];  // "cluster_new.conf": mirror of table cluster
extern const char timeconf[];         // "timeout.conf"
extern const char vlanid[];           // "vlanid.conf"
extern const char cliservconf[];      // "flows_new.txt"
extern const char servergraphconf[];  // "servergraph.txt"
extern const char graphconf[];        // "servergraph.conf", optional: rotation of the graph
extern const char flagfile[];         // "flag.txt": run-time requests of the front end

// The one database connection. Null before lbDbInit and, at run time, after a failed
// refresh query dropped it; the refresh connects again when it next needs a row. After
// start-up only the refresh uses it, under its own lock (see below).
extern MYSQL *g_con;
// Address (dotted) of the request being applied; the input of serverUpdateInfo and
// getServEntryFromDB. Written and read by the refresh only.
extern char g_serverIP[20];

// Ends the process after a configuration failure: flushes standard output (the
// messages go there) and exits with status. Every loader exits through here.
[[noreturn]] void lbConfigExit(int status);

// Prints the connection's error text as one line, closes it and exits with status 1.
[[noreturn]] void finish_with_error(MYSQL *con);

// Reads dbconfig.conf and connects to database loadbalancer (port 0: the default port).
// The password is never printed. Exits on a missing or malformed file (0) and on a
// failed connection (1).
void lbDbInit(void);

// Mirrors table server into servConfig.conf, appends one record per row to lbServHead,
// sets g_lbNumServers and creates the flow table (only here). A NULL, malformed or
// over-long value stops start-up; so does a switch port above 47.
void lbServConfig(void);

// Mirrors table controller into contIP.conf and loads the first row: g_cont1IPAddr,
// g_contMacAddr, g_switchDpId. Clears g_vipIPAddr (lbClusterConfig fills it). Exits
// when no controller address is configured.
void lbContConfig(void);

// Mirrors table vip_conf into cluster.conf and loads g_vipIPAddr from the first row. An
// empty table leaves the VIP empty.
void lbClusterConfig(void);

// Mirrors table cluster into cluster_new.conf and loads cluster_name from the first row.
void lbClusterConfig_new(void);

// Reads timeout.conf: two decimal words into g_addFlowTmr and g_delFlowTmr, then optionally
// the half-open and established idle limits into g_halfOpenTmr and g_estIdleTmr (defaults
// otherwise). Five or more words: the rest is ignored, as before.
void lbIdleTimeoutConfig(void);

// Reads vlanid.conf: one decimal word into g_vlanId.
void lbVlanConfig(void);

// Seeds flows_new.txt with one line per server that has no connections or is locked.
// A file that cannot be created is reported and start-up goes on.
void lbServConfigFile(void);

// ---- Run-time refresh --------------------------------------------------------------
//
// Requests reach the refresh as lines "<flag> <ADD|MODIFY|DELETE> <address>" of flag.txt.
// Each is checked, queued behind the requests still waiting, and applied once the row it
// needs (ADD, MODIFY) has been read, strictly in the order written: a request the
// database does not answer for waits, with every request after it, for a later tick (at
// most 1024 wait; one more is dropped with a line naming it). A request that can never
// be applied (malformed, no row for an ADD, a row that is rejected) is skipped with a
// printed line. A MODIFY whose row is gone leaves the listed server with an empty
// configuration (no name, maxconn 0: never selected).
//
// Locks. The refresh has a lock of its own that serialises the tick, serverUpdateInfo
// and getServEntryFromDB and guards the waiting requests, the state kept about flag.txt,
// g_con and g_serverIP; it is held across database calls and taken by nothing else.
// g_lbRBtreeMtx, which guards the server list, the flow table and the files written from
// them, is taken inside it (never the other way round) and only to apply rows already
// read: never across a database call, so a database that hangs does not hold up the
// packet thread or the console. lb_get_graphical_data, serverUpdateInfo and
// getServEntryFromDB take the locks themselves: their callers hold neither.

// Rotation of servergraph.txt. Before a tick appends, a file of at least g_graphMaxBytes
// becomes servergraph.txt.1 (older ones move up to .g_graphKeep, the oldest beyond is
// removed; with g_graphKeep 0 it is simply removed), so the graph takes at most about
// (g_graphKeep + 1) times g_graphMaxBytes plus one tick's lines. The default size keeps
// a day of ticks of about ten servers, as the web front end's graph shows.
constexpr unsigned long long kGraphMaxBytesDefault = 16ull << 20;
constexpr unsigned long long kGraphMaxBytesMin = 1024;
constexpr unsigned long long kGraphMaxBytesMax = 1ull << 40;
constexpr int kGraphKeepDefault = 4;
constexpr int kGraphKeepMax = 99;
extern unsigned long long g_graphMaxBytes;
extern int g_graphKeep;

// Reads the optional servergraph.conf: a size in bytes (suffix K, M or G: powers of 1024)
// and optionally the number of old files kept. Without the file the defaults hold; with
// it the settings are printed. A malformed file is reported in one line and the defaults
// are kept (-1); otherwise 0. Called by lbInitTimer, before the first tick.
int lbGraphConfig(void);

// Reads servergraph.conf (lbGraphConfig), then creates the 5-second tick (timerId) with
// lb_get_graphical_data as its callback.
void lbInitTimer(void);

// The tick, on the timer thread: takes the complete lines of flag.txt (the file is
// renamed away and replaced by "0"; text after its last newline is kept and continued by
// what the next tick finds, also text a writer appended late to the taken file), reads
// the rows the waiting requests need, then under g_lbRBtreeMtx applies them in order,
// appends one line per server to servergraph.txt, copies it into ../../config_data when
// that directory exists, clears the unreachable marks and finally raises
// fiveSecTimerEvent. A database that does not answer delays the tick (and an
// lbEventDestroy waiting for it) by the client's time-outs, a query's and one
// reconnect's; the requests then wait. Never ends the process.
void lb_get_graphical_data(void *user_p, int len);

// Queues one request ("ADD", "MODIFY" or "DELETE"; anything else is ignored) for the
// address in g_serverIP behind those waiting, then applies what the database allows,
// as a tick does (without the graph). An address that is not dotted IPv4 is skipped with
// a printed line.
void serverUpdateInfo(const char *action);

// Fills new_server from the row of table server whose serverip is g_serverIP, and
// rewrites servConfig.conf with the matching rows; connects first when g_con is null, and
// retries once on a new connection after a failed query. No row leaves new_server
// unchanged. Returns 0 when the query ran and every matching row was usable, -1 otherwise
// (the reason printed).
int getServEntryFromDB(lbServer_node_t *new_server);

// Copies the configuration of serverInfo into servernode: address (from g_serverIP),
// MAC, name, maxconn, port, lock; clears servNotReachable. A record not yet valid
// starts with no connections and no removal mark. Prints "Servernode is NULL " when
// servernode is null. The caller holds g_lbRBtreeMtx.
void updateLbServerEntry(lbServer_node_t *servernode, lbServer_node_t *serverInfo);

