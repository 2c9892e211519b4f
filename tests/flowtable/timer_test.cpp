// Timer events: slots, periods, callback arguments and the guarantees of destroy.
// Waits are bounded polls on counted events; nothing here measures speed.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "flowtable/lbTimer.h"
#include "support/lbtest_util.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lbtest::waitUntil;

struct Probe {
    std::atomic<int> calls{0}, lastLen{0}, inCallback{0};
    std::atomic<void *> lastUser{nullptr};
    std::atomic<bool> onCreatorThread{false};
    std::atomic<Clock::time_point> firstCall{};
    pthread_t creator = pthread_self();
    std::chrono::milliseconds holdFor{0};
};

void probeCb(void *user_p, int len) {
    auto *p = static_cast<Probe *>(user_p);
    p->inCallback = 1;
    if (p->calls == 0)
        p->firstCall = Clock::now();
    p->lastUser = user_p;
    p->lastLen = len;
    if (pthread_equal(pthread_self(), p->creator))
        p->onCreatorThread = true;
    std::this_thread::sleep_for(p->holdFor);
    p->calls++;
    p->inCallback = 0;
}

TEST(TimerEvents, FiresPeriodicallyOnePeriodAfterCreationWithStoredArgumentsOnTheTimerThread) {
    Probe p, slow;
    const Clock::time_point created = Clock::now();
    lbEventId id = lbEventCreate(0, 30 * 1000 * 1000, probeCb, &p, 42);
    lbEventId slowId = lbEventCreate(0, 400 * 1000 * 1000, probeCb, &slow, 0);
    ASSERT_TRUE(lbEventIdValid(id) && lbEventIdValid(slowId));
    kill(getpid(), SIGUSR1);  // one sent from outside must end neither the process nor the timer
    EXPECT_TRUE(waitUntil([&] { return p.calls >= 3 && slow.calls >= 1; }));
    lbEventDestroy(id);
    lbEventDestroy(slowId);
    lbEventDestroy(LB_EVT_ERR_FULL);  // an error code is ignored
    EXPECT_FALSE(lbEventIdValid(LB_EVT_ERR_FULL));
    EXPECT_TRUE(p.lastUser.load() == &p && p.lastLen == 42);
    EXPECT_FALSE(p.onCreatorThread) << "callback must run on the module's timer thread";
    // However slow or fast the machine, an expiry cannot come before its period.
    EXPECT_GE(slow.firstCall.load() - created, 395ms);
}

// Destroy waits for a callback that is running, and no callback of the destroyed events
// (one of them never fired) follows while another event goes on firing.
TEST(TimerEvents, DestroyWaitsForTheRunningCallbackAndStopsOnlyItsEvent) {
    Probe p, other, never;
    p.holdFor = 60ms;  // keep each callback running long enough to overlap the destroy
    lbEventId id = lbEventCreate(0, 10 * 1000 * 1000, probeCb, &p, 0);
    lbEventId otherId = lbEventCreate(0, 10 * 1000 * 1000, probeCb, &other, 2);
    lbEventDestroy(lbEventCreate(0, 10 * 1000 * 1000, probeCb, &never, 0));
    ASSERT_TRUE(lbEventIdValid(id) && lbEventIdValid(otherId) && id != otherId);
    ASSERT_TRUE(waitUntil([&] { return p.inCallback == 1; }));
    lbEventDestroy(id);
    EXPECT_EQ(p.inCallback, 0) << "destroy returned while the callback was still running";
    const int after = p.calls, otherAfter = other.calls;
    EXPECT_TRUE(waitUntil([&] { return other.calls >= otherAfter + 5; }));
    EXPECT_TRUE(p.calls == after && never.calls == 0);
    EXPECT_EQ(other.lastLen, 2);
    lbEventDestroy(otherId);
}

}  // namespace
