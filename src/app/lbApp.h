// Process entry: command line, start-up sequence, the receive loop and the orderly
// shutdown.
//
// The main thread loads the configuration, logs in to the controller, starts the tick
// and then becomes the packet thread: it waits in poll() on the packet socket and on the
// wake-up descriptor (lbWakeFd), handles the frames of every receive batch and every
// tick's expiry walk while holding g_lbRBtreeMtx (the frames a batch forwards leave in
// one send after the lock is released), and performs the shutdown itself once SIGINT or
// SIGTERM was received. The signal handlers only record the signal and wake the loop.
#pragma once

#include <stdint.h>

#include "common/lbGlobals.h"

#define LB_USAGE "Usage: lbapp <ether interface of VIP>"
// Received frames are cut to this many bytes. They are handled in place in the packet
// socket's receive batch, so no buffer of this size exists.
#define LB_RECV_BUF_LEN 10000

// Process entry: checks the command line (--help: usage and the files read and written;
// --version; the usage line and status 0 for a wrong count; a name longer than 15
// characters refused with status 1), then runs the balancer until a
// stop signal, ending the process with that signal's number. Returns only for --help,
// --version or a wrong command line.
int lbAppMain(int argc, char **argv);

// The start-up sequence on the main thread, strictly in order: database, server list,
// servers and flow table, seeded flows file, controller, VIP, cluster name, flow
// time-outs, VLAN id, health check settings (healthcheck.conf), controller.conf (refused:
// exit status 1), certificate check and login (retried until it succeeds), removal of the
// rules a previous run left (rule journal), setup engine, tick, health checker; then
// g_cliFlag releases the console thread, which waits for it. A loader that finds its
// configuration unusable ends the process; a stop signal ends it between two steps
// (deleteFlows).
void lb_ctrl_socket_init(void *start_arg);

// The receive loop: opens the packet sockets on g_appIf, then handles frames, ticks and
// the stop signal for ever. Never returns.
[[noreturn]] void lb_ctrl_recv(void);

// The orderly shutdown, run by the main thread once a stop signal arrived: stops the
// tick and the health checker, removes the rules of every connection from the switches,
// destroys the flow table, frees the server list and exits with status sig_num.
[[noreturn]] void deleteFlows(int sig_num);

// Asks the controller to delete the rules of every connection of the flow table (walk
// DELETEALL). The caller holds g_lbRBtreeMtx. No-op without a table.
void delete_flows_from_switch(void);

// Destroys the flow table with every entry still in it. The caller holds g_lbRBtreeMtx.
// No-op without a table.
void treeDestroy(void);
