// The frames the dispatcher forwards from one receive batch, queued in place (in the
// receive buffers they were rewritten in) and sent together in one call of the send
// seam once the batch has been handled: one system call for the batch instead of one per
// frame. Nothing is held back to fill a batch: the queue is sent at the end of every
// batch however few frames it holds.
#include <sys/time.h>

#include <cstdio>

#include "common/lbGlobals.h"
#include "packet/lbCtrlMain.h"
#include "packet/lbPacketPriv.h"

lbPktSendFn lbPktSend = lb_client_rawsock_send_batch;

namespace lbpkt {

namespace {

// A receive batch forwards at most one frame per frame received; lbHandlePktBatch hands
// over at most this many at a time.
constexpr unsigned kQueueMax = LB_RAWSOCK_BATCH;

struct Queue {
    lb_tx_frame frames[kQueueMax];
    SendLines lines[kQueueMax];
    struct timeval arrived[kQueueMax];
    unsigned count = 0;
};
Queue g_queue;  // packet thread only

}  // namespace

void queueFrame(const unsigned char *buf, int len, const SendLines &lines) {
    if (g_queue.count == kQueueMax)
        sendQueued();  // only a caller handing over more than a batch gets here
    const unsigned i = g_queue.count++;
    g_queue.frames[i] = {buf, static_cast<uint32_t>(len), -1};
    g_queue.lines[i] = lines;
    g_queue.arrived[i] = starttv;
}

void sendQueued() {
    const unsigned n = g_queue.count;
    if (n == 0)
        return;
    g_queue.count = 0;
    if (lbPktSend != nullptr)
        lbPktSend(g_queue.frames, n);
    int last = -1;  // the latest frame that left
    for (unsigned i = 0; i < n; ++i) {
        const bool ok = lbPktSend != nullptr && g_queue.frames[i].rc == 0;
        lbCountSent(ok ? 0 : -1);
        if (ok)
            last = static_cast<int>(i);
        if (Gv_noPrint != 0)
            continue;
        const SendLines &l = g_queue.lines[i];
        if (!ok && l.failLine != nullptr)
            printf("%s", l.failLine);
        else if (ok && l.okFormat != nullptr)
            printf(l.okFormat, l.okPort);
    }
    if (last < 0)
        return;
    gettimeofday(&endtv, nullptr);
    struct timeval took;
    timersub(&endtv, &g_queue.arrived[last], &took);
    const float secs = static_cast<float>(took.tv_sec) + static_cast<float>(took.tv_usec) / 1e6f;
    totaltime = secs > 0 ? secs : 0;
}

}  // namespace lbpkt
