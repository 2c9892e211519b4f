// The packet path: the dispatcher that decides what each received frame is and what
// happens to it, readdressing frames of a balanced connection in place in both
// directions with their checksums, setting a new connection up along its path through
// the controller, and tearing it down on a reset.
//
// Everything here runs on the packet thread, which holds g_lbRBtreeMtx for the handling
// of one frame; the functions take no lock themselves. No controller request is made
// here while an engine runs (packet/lbEngine.h): a new connection is handed to it and its
// SYN leaves once its rules are in place, rules to re-post or remove are handed over.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/time.h>

#include "flowtable/lbFlowDb.h"
#include "pool/lbServerList.h"
#include "rawsock/lb_rawsock.h"

// Classification codes of the dispatcher that the packet path acts on. LB_TCP_NONE is
// checkTcpflags' answer for a frame too short to hold the TCP flags.
enum { LB_TCP_SYN = 2, LB_TCP_FINACK = 3, LB_TCP_RST = 5, LB_TCP_OTHER = -1, LB_TCP_NONE = 0 };

#define LB_ETH_HLEN 14
#define LB_DPID_TEXT_LEN 32  // a host's switch dpid text as the node query gives it

// Sends frames that the packet path forwards, in order: every forwarded frame leaves
// through this pointer, which holds lb_client_rawsock_send_batch unless a test put a
// capture in its place. Sets each frame's rc (0 sent, -1 not: that frame is dropped, the
// others still go) and returns the number sent. The frames of one receive batch go in
// one call; the setup engine's thread sends a set-up SYN, or the frames held while a
// connection's rules came back, through it too.
typedef unsigned (*lbPktSendFn)(struct lb_tx_frame *frames, unsigned n);
extern lbPktSendFn lbPktSend;

// Arrival time of the frame being (or last) handled (the frames of one receive batch
// share theirs), and the time the latest forwarded frame was sent (cleared at every
// arrival). totaltime gets the time from the arrival of
// the latest frame that left to its send.
extern struct timeval starttv;
extern struct timeval endtv;

// lbHandleTcpOpen's result for a frame it readdressed has this bit set above the 16 bits
// of the port field, so a readdressed frame whose source port is 0 is not taken for one
// left alone.
#define LB_TCP_REWRITTEN 0x10000u

// Classifies the TCP segment of the untagged IPv4 frame Buffer of Size bytes by its flags
// (first match wins): LB_TCP_SYN for SYN without ACK, LB_TCP_FINACK for FIN with ACK,
// LB_TCP_RST for RST, LB_TCP_OTHER for anything else. LB_TCP_NONE when the flags byte
// (TCP header at 14 + IHL * 4) lies beyond Size or the IHL is below 5.
int checkTcpflags(const unsigned char *Buffer, int Size);

// Handles one received frame of tot_len bytes in place: a SYN to the VIP opens a balanced
// connection (server choice, rules along the path, rewrite, send); a FIN with ACK or a
// reset of a known connection is rewritten and sent, a reset tearing the connection down
// first and a FIN with ACK marking it for expiry; any other segment of a known connection
// is rewritten and sent. Everything else is dropped: frames that are not well-formed
// IPv4 (no byte beyond tot_len is read), fragments, VLAN-tagged and non-IPv4 frames,
// traffic to or from the controller, non-TCP, the console port of the VIP, repeated SYNs
// and segments of no known connection. Sends through lbPktSend before it returns, with
// the caller's lock held.
void lbHandlePktin(unsigned char *pktBuff, int tot_len);

// Handles the n frames of one receive batch in order, each as lbHandlePktin does and
// rewritten in place, under g_lbRBtreeMtx (taken here), then sends every frame they
// forwarded in one call of lbPktSend, in the order they came, after the lock is released.
// Nothing waits for more frames: the batch is what was received. The frames must stay
// untouched until this returns. Packet thread only.
void lbHandlePktBatch(const struct lb_rx_frame *frames, unsigned n);

// Internet checksum (RFC 1071) of len bytes at addr, summed as 16-bit words as they lie
// in memory; an odd last byte counts as a word with a zero second byte. Ready to be
// stored into a header without conversion. addr need not be aligned.
uint16_t checksum(const void *addr, int len);

// TCP checksum of the len_tcp bytes at buff (the TCP header and its payload) with the
// pseudo-header of the two address fields src_addr and dest_addr (4 bytes each, as in
// the IPv4 header), the TCP length and protocol 6. Ready to be stored as it is.
uint16_t tcp_sum_calc(uint16_t len_tcp, const void *src_addr, const void *dest_addr,
                      const void *buff);

// Readdresses a TCP frame of a balanced connection in place. Client to server (the
// frame's source address and port are a flow-table key, or tcpflag is LB_TCP_SYN with
// lbServEnt the chosen server): destination MAC and address become the server's. Server
// to client (destination address and port are a key): source MAC becomes g_contMacAddr,
// source address the VIP. Both checksums are updated for the changed address (RFC 1624)
// rather than recomputed: valid checksums come out as a recomputation would give them,
// while a segment damaged before it arrived stays detectably damaged.
// Returns LB_TCP_REWRITTEN plus the TCP source port field as stored (so never 0, even
// for a port 0), or 0 with the frame untouched when it belongs to no connection, or when its
// Ethernet, IPv4 or TCP header does not fit in buf_len bytes or its IPv4 total length claims more
// than was received (or less than its headers): nothing beyond buf_len is ever read or written.
unsigned int lbHandleTcpOpen(lbServer_node_t *lbServEnt, unsigned char *buf, int buf_len,
                             int tcpflag);

// As lbHandleTcpOpen for a FIN with ACK or a reset of a known connection, in either
// direction: returns the connection's entry and writes its server through lbServer, or
// returns null with the frame untouched and nothing written (no connection, or a frame
// that does not fit in buf_len as above). tcpFlag is not consulted.
lbFlow_t *lbHandleTcpClose(unsigned char *buf, int buf_len, lbServer_node_t **lbServer,
                           int tcpFlag);

// Tears a connection down on a reset: re-posts (through the engine, without waiting)
// every rule of every hop with the deletion time-out g_delFlowTmr, releases the hop list, lowers
// the server's numConn, removes the entry (which no longer exists afterwards) and removes a server
// marked for deletion once this was its last connection. buf is the frame (its IPv4 source is read
// for a diagnostic; lbHandleTcpClose checked its headers). Returns the entry's lbServOutPort, or 0
// without any change for an entry without server (or a null entry).
int lbDelFlow(const unsigned char *buf, lbFlow_t *lbFlowEntryPtr, int tcpFlag);

class lbCtrlEngine;
// Makes engine the one the packet path hands its controller work to (null: none), and
// has the flow table's removals go through it too.
void lbEngineInstall(lbCtrlEngine *engine);
