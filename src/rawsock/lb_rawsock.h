// The packet sockets on the VIP interface: whole Ethernet frames in, whole frames out.
//
// One socket, bound to the interface, serves both directions once opened: it receives
// every frame that arrives on that interface (in promiscuous mode) and nothing of other
// interfaces, never the frames the host itself sends, and sends frames out of it. A
// second socket only reads the interface's hardware address and receives nothing.
// Only the packet thread receives; sends may come from another thread as well (see
// lb_client_rawsock_send_batch). No lock is taken.
#pragma once

#include <stdint.h>

// Descriptors of the sockets; -1 while not opened (or when the creation failed). After
// a successful opening lb_send_sock_fd equals lb_recv_sock_fd.
extern int lb_send_sock_fd;
extern int lb_recv_sock_fd;

// Opens both sockets and prepares them on the named interfaces (the balancer passes the
// VIP interface for both); names longer than 15 characters are cut in the interface
// requests. Prints the send side's interface lines always and every failure with its
// reason. Returns 0 when both sides are ready, -1 otherwise; sends and receives then
// fail, but the descriptors of whatever was opened stay (as after success) until
// lb_client_rawsock_close.
int lb_client_rawsock_init(const char *send_ifname, const char *recv_ifname);

// Send side preparation: reads the interface's hardware address into the destination
// record of every send and prints it. Returns 0, or -1 (with its line) on failure.
int init_rawsocksend_interface(const char *ifname);

// Receive side preparation: interface promiscuous (flag and membership), the socket
// bound to the interface for every protocol, frames sent by this host ignored. Returns
// 0, or -1 at the first failing step, with its line.
int init_rawsockrecv_interface(const char *ifname);

// Takes one received frame without waiting: copies at most len bytes of it into buf (a
// longer frame is cut to len; frames are cut at 64 KiB in any case). Returns the bytes
// copied, 0 for an empty frame, or -1 when nothing is waiting, the socket is not open,
// or on an error. Frames this host sent out of the interface are skipped, never
// returned. Frames are taken from the socket in batches of up to 64 (one system call)
// and handed out one per call in arrival order; -1 means the batch and the socket are
// both empty, so waiting on the socket after it misses nothing. Closing drops a batch.
// The batches are those of lb_client_rawsock_recv_batch.
int lb_client_rawsock_recv(uint8_t *buf, int len);

// One received frame, in place in the module's receive batch: len bytes at buf, cut to
// the capacity the caller gave. Valid until the next receive or closing.
struct lb_rx_frame {
    uint8_t *buf;
    int len;
};

// Takes every waiting frame without waiting, up to max (and up to LB_RAWSOCK_BATCH), first
// any that lb_client_rawsock_recv took from the socket and has not handed out yet; a
// frame longer than cap bytes is cut to cap. Frames this host sent are skipped. Fills
// out in arrival order (an empty frame with len 0) and returns the number of frames, or
// -1 when nothing is waiting (the batch and the socket both empty), the socket is not
// open, max is 0, or on an error.
// One system call per batch; the frames stay in place, so the caller may rewrite them
// there and send them from there.
#define LB_RAWSOCK_BATCH 64
int lb_client_rawsock_recv_batch(struct lb_rx_frame *out, unsigned max, int cap);

// One frame of a batched send: len bytes at buf; rc is set by the send, 0 when the
// platform took the frame, -1 otherwise.
struct lb_tx_frame {
    const uint8_t *buf;
    uint32_t len;
    int rc;
};

// Sends n frames out of the interface in order, as few system calls as the platform
// allows (sendmmsg). A frame the platform refuses gets rc -1 and the line of a failed
// lb_client_rawsock_send, and only it is lost: the frames after it are still sent.
// Returns the number of frames that left. Safe from any thread once opened (it keeps
// no state of its own); the balancer's setup engine sends the SYNs it has set up.
unsigned lb_client_rawsock_send_batch(struct lb_tx_frame *frames, unsigned n);

// Sends one complete Ethernet frame of len bytes out of the interface. Returns 0 when the
// platform took it, -1 otherwise. Before lb_client_rawsock_init it reports "CTRL:Msg
// received, when CTRL was not ready" and then the failed send, both through perror.
int lb_client_rawsock_send(const uint8_t *buf, uint32_t len);

// Closes the sockets and returns the module to its state before opening.
void lb_client_rawsock_close(void);
