#include "flowtable/lbTimer.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

std::atomic<uint8_t> fiveSecTimerEvent{0};
lbEventId timerId = LB_EVT_ERR_CREATE;

namespace {

// The wake-up eventfd; read from signal handlers, hence atomic (and lock-free).
std::atomic<int> g_wakeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read inside signal handlers");

constexpr int kTimerSignal = SIGUSR1;
static_assert(kTimerSignal == 10, "timer events travel on signal 10");

lbEvent timer_events[LB_MAX_TIMER_EVENTS];
// Whether a slot holds a live timer; a cleared slot's zero timer_id could otherwise
// match a live timer whose kernel id happens to be 0.
bool slot_armed[LB_MAX_TIMER_EVENTS];
int timer_idx = 0;

// Guards the slot table. Held by the timer thread while it runs a callback, so that
// lbEventDestroy cannot return while that event's callback is still running. Recursive
// because a callback may destroy its own event.
std::recursive_mutex g_evtMtx;

pid_t g_timerTid = 0;
std::once_flag g_threadOnce;
bool g_threadOk = false;

// Does nothing: it only replaces the default action (termination) for a SIGUSR1 that
// reaches another thread, e.g. one sent to the process from outside. The timers' own
// signals are directed at the timer thread, which keeps the signal blocked and takes
// it with sigwaitinfo.
void ignoreStraySignal(int, siginfo_t *, void *) {}

void *timerThreadMain(void *arg) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, kTimerSignal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    {
        auto *ready = static_cast<std::pair<std::mutex, pid_t> *>(arg);
        std::lock_guard<std::mutex> lk(ready->first);
        ready->second = static_cast<pid_t>(syscall(SYS_gettid));
    }
    for (;;) {
        siginfo_t info;
        if (sigwaitinfo(&set, &info) < 0)
            continue;  // EINTR
        lbEventHandler(kTimerSignal, &info, nullptr);
    }
    return nullptr;
}

// Starts the timer thread once. The thread blocks the timer signal before it reports
// its kernel thread id, so no expiry aimed at it can be delivered as a real signal.
void startTimerThread() {
    std::pair<std::mutex, pid_t> ready;
    ready.second = 0;
    pthread_t th;
    // The thread must not inherit a blocked set that hides other signals it does not
    // care about; it sets its own mask first thing.
    if (pthread_create(&th, nullptr, timerThreadMain, &ready) != 0)
        return;
    pthread_detach(th);
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(ready.first);
            if (ready.second != 0)
                break;
        }
        usleep(1000);
    }
    g_timerTid = ready.second;
    g_threadOk = true;
}

}  // namespace

lbEventId lbEventCreate(time_t t_sec, long t_nsec, _event_cb event_fun, void *user_p, int len) {
    std::call_once(g_threadOnce, startTimerThread);
    std::lock_guard<std::recursive_mutex> lk(g_evtMtx);
    if (timer_idx >= LB_MAX_TIMER_EVENTS)
        return LB_EVT_ERR_FULL;
    if (!g_threadOk)
        return LB_EVT_ERR_CREATE;

    const int idx = timer_idx;
    lbEvent &ev = timer_events[idx];
    memset(&ev, 0, sizeof ev);
    ev.t_sec = t_sec;
    ev.t_nsec = t_nsec;
    ev.sig_no = kTimerSignal;
    ev.evtCb = event_fun;
    ev.user_p = user_p;
    ev.len = len;

    struct sigevent sev;
    memset(&sev, 0, sizeof sev);
    sev.sigev_notify = SIGEV_THREAD_ID;
    sev.sigev_signo = kTimerSignal;
    sev.sigev_value.sival_ptr = &ev.timer_id;
    sev._sigev_un._tid = g_timerTid;
    if (timer_create(CLOCK_REALTIME, &sev, &ev.timer_id) != 0)
        return LB_EVT_ERR_CREATE;

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = ignoreStraySignal;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    if (sigaction(kTimerSignal, &sa, nullptr) != 0) {
        timer_delete(ev.timer_id);
        return LB_EVT_ERR_HANDLER;
    }

    struct itimerspec its;
    its.it_value.tv_sec = t_sec;
    its.it_value.tv_nsec = t_nsec;
    its.it_interval = its.it_value;
    if (timer_settime(ev.timer_id, 0, &its, nullptr) != 0) {
        timer_delete(ev.timer_id);
        return LB_EVT_ERR_ARM;
    }
    slot_armed[idx] = true;
    timer_idx++;
    return static_cast<lbEventId>(idx);
}

void lbEventDestroy(lbEventId e_id) {
    if (e_id >= LB_MAX_TIMER_EVENTS)
        return;
    // Taking the mutex waits for a callback of this event that is running right now;
    // once the slot is cleared, an expiry already queued for it finds nothing to call.
    std::lock_guard<std::recursive_mutex> lk(g_evtMtx);
    if (!slot_armed[e_id])
        return;
    lbEvent &ev = timer_events[e_id];
    struct itimerspec off;
    memset(&off, 0, sizeof off);
    timer_settime(ev.timer_id, 0, &off, nullptr);
    timer_delete(ev.timer_id);
    memset(&ev, 0, sizeof ev);
    slot_armed[e_id] = false;
}

void lbEventHandler(int sig_no, siginfo_t *sig_info, void *user_p) {
    (void)sig_no;
    (void)user_p;
    if (sig_info == nullptr)
        return;
    void *ptr = sig_info->si_value.sival_ptr;
    std::lock_guard<std::recursive_mutex> lk(g_evtMtx);
    for (int i = 0; i < LB_MAX_TIMER_EVENTS; i++) {
        // The signal's value points at the timer_id of the slot that expired.
        if (ptr != &timer_events[i].timer_id)
            continue;
        if (slot_armed[i] && timer_events[i].evtCb != nullptr)
            timer_events[i].evtCb(timer_events[i].user_p, timer_events[i].len);
        return;
    }
}

int lbWakeInit(void) {
    static std::once_flag once;
    std::call_once(once, [] { g_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); });
    return g_wakeFd >= 0 ? 0 : -1;
}

int lbWakeFd(void) {
    return g_wakeFd;
}

void lbWakeLoop(void) {
    const int fd = g_wakeFd;
    if (fd < 0)
        return;
    const uint64_t one = 1;
    const int saved = errno;  // a handler must not change the interrupted code's errno
    // A failed write means a full counter (never in practice), which is readable too.
    const ssize_t n = write(fd, &one, sizeof one);
    (void)n;
    errno = saved;
}

void lbWakeDrain(void) {
    const int fd = g_wakeFd;
    uint64_t count;
    // One read takes every pending wake-up; EAGAIN means there was none.
    if (fd >= 0) {
        const ssize_t n = read(fd, &count, sizeof count);
        (void)n;
    }
}
