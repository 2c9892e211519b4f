// Process-wide state shared by every subsystem: the VIP interface, the start-up flag,
// the lock over all shared state, the quiet switch and the configuration the loaders
// fill at start-up.
#pragma once

#include <net/if.h>
#include <pthread.h>
#include <stdint.h>

#include <atomic>

// The console's TCP port on the VIP. Its traffic belongs to the host's own stack and is
// never balanced.
#define LB_CONSOLE_PORT 8000

// Name of the VIP interface. Sized for the platform's longest interface name.
extern char g_appIf[IFNAMSIZ];
// 0 until the start-up sequence has finished; the console thread waits for 1. Written
// by the main thread and read by the console thread, hence atomic.
extern std::atomic<int> g_cliFlag;
// The one lock over all shared state: server list, flow table and the files written
// from them.
extern pthread_mutex_t g_lbRBtreeMtx;
// Seconds from receipt to send of the latest forwarded frame: written by the packet
// loop, shown by the console's "gettime".
extern std::atomic<float> totaltime;
// Holds g_lbRBtreeMtx for one scope.
class lbTableLock {
  public:
    lbTableLock() { pthread_mutex_lock(&g_lbRBtreeMtx); }
    ~lbTableLock() { pthread_mutex_unlock(&g_lbRBtreeMtx); }
    lbTableLock(const lbTableLock &) = delete;
    lbTableLock &operator=(const lbTableLock &) = delete;
};
// Quiet switch: while non-zero, diagnostics marked as optional are not printed.
extern int Gv_noPrint;

// Configuration, filled at start-up by the loaders.
extern char g_cont1IPAddr[20];           // controller IPv4 address, dotted, no port
extern unsigned char g_contMacAddr[20];  // MAC text "%x:%x:%x:%x:%x:%x"
extern unsigned char g_switchDpId[50];   // balancer's own switch, as the controller writes it
extern char g_vipIPAddr[20];             // the VIP, dotted
extern unsigned int g_lbAppPort;         // balancer's port number on its switch
extern unsigned char g_vlanId[20];       // VLAN id text for node queries
extern unsigned char g_addFlowTmr[20];   // idle time-out text of installed rules
extern unsigned char g_delFlowTmr[20];   // idle time-out text used on reset
// Idle limits of the balancer's own entries, in seconds (0: no limit). A connection whose
// client sent nothing after its SYN goes after g_halfOpenTmr, one without any frame in
// either direction after g_estIdleTmr. Optional third and fourth words of timeout.conf.
#define LB_HALF_OPEN_DEFAULT 30u
#define LB_EST_IDLE_DEFAULT 900u
extern unsigned int g_halfOpenTmr;
extern unsigned int g_estIdleTmr;
extern char cluster_name[50];
