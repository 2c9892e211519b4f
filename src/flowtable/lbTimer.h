// Periodic timer events.
//
// Up to 20 events per process. Each is a POSIX interval timer whose expiry signal is
// directed at the module's own timer thread, which waits for it with sigwaitinfo and
// then calls the event's callback with the event's stored arguments. Callbacks
// therefore run on that thread, never inside a signal handler, one at a time.
#pragma once

#include <signal.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

typedef void (*_event_cb)(void *user_p, int len);

typedef struct lbEvent {
    timer_t timer_id;
    time_t t_sec;
    long t_nsec;
    uint32_t sig_no;  // always SIGUSR1
    _event_cb evtCb;  // may be null: the event then fires silently
    void *user_p;
    int len;
} lbEvent;

typedef uint32_t lbEventId;

#define LB_MAX_TIMER_EVENTS 20

// Error codes of lbEventCreate, returned in the unsigned id.
#define LB_EVT_ERR_FULL ((lbEventId)-1)     // all 20 slots have been handed out
#define LB_EVT_ERR_CREATE ((lbEventId)-2)   // the platform refused to create the timer
#define LB_EVT_ERR_HANDLER ((lbEventId)-3)  // the signal disposition could not be set
#define LB_EVT_ERR_ARM ((lbEventId)-4)      // the platform refused to arm the timer

// Raised by the 5-second tick, read and cleared by the packet loop.
extern std::atomic<uint8_t> fiveSecTimerEvent;
// Id of the 5-second tick (or an error code when it could not be created).
extern lbEventId timerId;

// Creates a periodic event: first expiry one period after creation, then every period.
// Returns the slot index (from 0) or one of the error codes. Slots are never handed out
// twice, so a 21st creation fails even after destroys; a failed creation leaves its
// slot to the next one.
lbEventId lbEventCreate(time_t t_sec, long t_nsec, _event_cb event_fun, void *user_p, int len);

// Disarms and deletes the event's timer and clears its slot. Once it returns, no
// further callback of that event runs (a callback already running is waited for,
// unless the caller is that callback). Only ids returned by a successful creation may
// be passed; anything else is ignored. Because it waits for a running callback, do
// not call it (or lbEventCreate) while holding a lock that a callback takes.
void lbEventDestroy(lbEventId e_id);

// Dispatches one expiry: finds the slot the signal information points at and calls its
// callback. Runs on the timer thread.
void lbEventHandler(int sig_no, siginfo_t *sig_info, void *user_p);

// ---- Wake-up of the packet loop ------------------------------------------------------
// The packet loop sleeps in poll() on its packet socket and on one wake-up descriptor.
// The tick writes to it right after raising fiveSecTimerEvent, and the process's signal
// handlers after setting their stop flag, so a tick or a stop request is seen at once
// without the loop ever spinning.

// Creates the wake-up descriptor (once; later calls change nothing). Returns 0, or -1
// when the platform refuses it (the loop then sees ticks only with the next frame).
int lbWakeInit(void);

// The descriptor to poll for reading, or -1 before a successful lbWakeInit.
int lbWakeFd(void);

// Makes the descriptor readable. One write and nothing else, so it is safe inside a
// signal handler; no-op before lbWakeInit.
void lbWakeLoop(void);

// Consumes every pending wake-up, so the next poll sleeps again.
void lbWakeDrain(void);

// True when id names a slot (0 to 19) rather than an error code.
static inline bool lbEventIdValid(lbEventId id) {
    return id < LB_MAX_TIMER_EVENTS;
}
