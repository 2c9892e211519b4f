// Timer events: slots, periods, callback arguments and the guarantees of destroy.
// Waits are bounded polls; nothing here measures speed.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "flowtable/lbTimer.h"

namespace {

using namespace std::chrono_literals;

struct Probe {
    std::atomic<int> calls{0};
    std::atomic<int> lastLen{0};
    std::atomic<void *> lastUser{nullptr};
    std::atomic<bool> onCreatorThread{false};
    pthread_t creator{};
    std::atomic<int> inCallback{0};
    std::chrono::milliseconds holdFor{0};
};

void probeCb(void *user_p, int len) {
    auto *p = static_cast<Probe *>(user_p);
    p->inCallback = 1;
    p->lastUser = user_p;
    p->lastLen = len;
    if (pthread_equal(pthread_self(), p->creator))
        p->onCreatorThread = true;
    if (p->holdFor.count() > 0)
        std::this_thread::sleep_for(p->holdFor);
    p->calls++;
    p->inCallback = 0;
}

// Polls until pred holds or the limit passes; returns whether it held.
template <typename Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit = 5000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return pred();
}

TEST(TimerSlots, FirstEventIsZeroAndATwentyFirstFailsEvenAfterDestroys) {
    // Slot numbering is process state, so check it in a fresh process.
    EXPECT_EXIT(
        {
            int bad = 0;
            lbEventId first = lbEventCreate(3600, 0, nullptr, nullptr, 0);
            if (first != 0)
                bad |= 1;
            lbEventDestroy(first);
            for (int i = 1; i < LB_MAX_TIMER_EVENTS; i++) {
                lbEventId id = lbEventCreate(3600, 0, nullptr, nullptr, 0);
                if (id != static_cast<lbEventId>(i))
                    bad |= 2;
                lbEventDestroy(id);
            }
            if (lbEventCreate(3600, 0, nullptr, nullptr, 0) != LB_EVT_ERR_FULL)
                bad |= 4;
            if (LB_EVT_ERR_FULL != 0xFFFFFFFFu || lbEventIdValid(LB_EVT_ERR_FULL))
                bad |= 8;
            _exit(bad);
        },
        testing::ExitedWithCode(0), "");
}

TEST(TimerEvents, FiresPeriodicallyWithStoredArgumentsOnTheTimerThread) {
    Probe p;
    p.creator = pthread_self();
    lbEventId id = lbEventCreate(0, 30 * 1000 * 1000, probeCb, &p, 42);
    ASSERT_TRUE(lbEventIdValid(id));
    EXPECT_TRUE(waitFor([&] { return p.calls >= 3; }));
    lbEventDestroy(id);
    EXPECT_EQ(p.lastUser.load(), &p);
    EXPECT_EQ(p.lastLen, 42);
    EXPECT_FALSE(p.onCreatorThread) << "callback must run on the module's timer thread";
}

TEST(TimerEvents, FirstExpiryComesOnePeriodAfterCreation) {
    Probe p;
    lbEventId id = lbEventCreate(0, 400 * 1000 * 1000, probeCb, &p, 0);
    ASSERT_TRUE(lbEventIdValid(id));
    // However slow the machine, an expiry cannot come before its period.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(p.calls, 0);
    EXPECT_TRUE(waitFor([&] { return p.calls >= 1; }));
    lbEventDestroy(id);
}

TEST(TimerEvents, NoCallbackOnceDestroyReturns) {
    Probe p;
    p.holdFor = 60ms;  // keep each callback running long enough to overlap the destroy
    lbEventId id = lbEventCreate(0, 10 * 1000 * 1000, probeCb, &p, 0);
    ASSERT_TRUE(lbEventIdValid(id));
    ASSERT_TRUE(waitFor([&] { return p.inCallback == 1; }));
    lbEventDestroy(id);
    EXPECT_EQ(p.inCallback, 0) << "destroy returned while the callback was still running";
    int after = p.calls;
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(p.calls, after);
}

TEST(TimerEvents, DestroyOfOneEventLeavesTheOthersRunning) {
    Probe a, b;
    lbEventId ia = lbEventCreate(0, 15 * 1000 * 1000, probeCb, &a, 1);
    lbEventId ib = lbEventCreate(0, 15 * 1000 * 1000, probeCb, &b, 2);
    ASSERT_TRUE(lbEventIdValid(ia));
    ASSERT_TRUE(lbEventIdValid(ib));
    ASSERT_NE(ia, ib);
    lbEventDestroy(ia);
    int aCalls = a.calls;
    EXPECT_TRUE(waitFor([&] { return b.calls >= 3; }));
    EXPECT_EQ(a.calls, aCalls);
    EXPECT_EQ(b.lastLen, 2);
    lbEventDestroy(ib);
}

void destroySelf(void *user_p, int) {
    auto *slot = static_cast<std::atomic<int> *>(user_p);
    int id = slot->load();
    if (id >= 0) {
        lbEventDestroy(static_cast<lbEventId>(id));
        slot->store(-2);
    }
}

TEST(TimerEvents, CallbackMayDestroyItsOwnEvent) {
    std::atomic<int> slot{-1};
    lbEventId id = lbEventCreate(0, 10 * 1000 * 1000, destroySelf, &slot, 0);
    ASSERT_TRUE(lbEventIdValid(id));
    slot = static_cast<int>(id);
    EXPECT_TRUE(waitFor([&] { return slot == -2; }));
}

TEST(TimerEvents, NullCallbackAndStraySignalsAreHarmless) {
    lbEventId id = lbEventCreate(0, 5 * 1000 * 1000, nullptr, nullptr, 0);
    ASSERT_TRUE(lbEventIdValid(id));
    Probe p;
    lbEventId live = lbEventCreate(0, 20 * 1000 * 1000, probeCb, &p, 0);
    ASSERT_TRUE(lbEventIdValid(live));
    // A SIGUSR1 sent to the process from outside must not end it.
    kill(getpid(), SIGUSR1);
    EXPECT_TRUE(waitFor([&] { return p.calls >= 2; }));
    lbEventDestroy(id);
    lbEventDestroy(live);
    lbEventDestroy(LB_EVT_ERR_FULL);  // an error code is ignored
}

}  // namespace
