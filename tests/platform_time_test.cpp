// The time service: the virtual clock the tests run on (sleeps, time-outs, events, waits on
// several events, periodic timers, manual mode with another thread), and the real one's
// events and timers, checked for order and state only, never for durations.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Time.h"

namespace zelmar::platform {
namespace {

TEST(VirtualTime, SleepsTimeOutsAndEventsMoveTheClockOnlyAsFarAsTheyWait) {
    VirtualTimeService time(/*autoAdvance=*/true, 1000);
    EXPECT_EQ(time.NowMs(), 1000u);
    time.SleepMs(30000);
    EXPECT_EQ(time.NowMs(), 31000u);
    auto autoReset = time.CreateEvent(false, false);
    EXPECT_EQ(autoReset->Wait(250), WaitResult::kTimedOut);
    EXPECT_EQ(time.NowMs(), 31250u);
    EXPECT_EQ(autoReset->Wait(0), WaitResult::kTimedOut);
    EXPECT_EQ(time.NowMs(), 31250u);
    autoReset->Set();
    EXPECT_EQ(autoReset->Wait(100), WaitResult::kSignaled);
    EXPECT_EQ(autoReset->Wait(0), WaitResult::kTimedOut);  // the first wait took it
    EXPECT_EQ(time.CreateEvent(false, true)->Wait(0), WaitResult::kSignaled);  // made set
    auto manual = time.CreateEvent(true, false);
    manual->Set();
    EXPECT_EQ(manual->Wait(0), WaitResult::kSignaled);
    EXPECT_EQ(manual->Wait(0), WaitResult::kSignaled);  // stays set
    manual->Reset();
    EXPECT_EQ(manual->Wait(10), WaitResult::kTimedOut);
    EXPECT_EQ(time.NowMs(), 31260u);

    // Waiting on several: which one, and only that one is taken.
    IEvent* both[] = {autoReset.get(), manual.get()};
    manual->Set();
    std::size_t which = 99;
    EXPECT_EQ(time.WaitAny(both, 2, 100, &which), WaitResult::kSignaled);
    EXPECT_EQ(which, 1u);
    manual->Reset();
    EXPECT_EQ(time.WaitAny(both, 2, 100, &which), WaitResult::kTimedOut);
    EXPECT_EQ(time.NowMs(), 31360u);
    EXPECT_EQ(time.WaitAny(nullptr, 0, 100, &which), WaitResult::kFailed);
}

TEST(VirtualTime, PeriodicTimerTicksOnItsPeriodAndCollapsesMissedTicks) {
    VirtualTimeService time(true);
    auto timer = time.CreateTimer();
    EXPECT_EQ(timer->Wait(50), WaitResult::kTimedOut);  // not armed
    const uint32_t start = time.NowMs();
    ASSERT_TRUE(timer->Set(-20 * 10000, 20));
    for (uint32_t tick = 1; tick <= 5; ++tick) {
        ASSERT_EQ(timer->Wait(40), WaitResult::kSignaled);
        EXPECT_EQ(time.NowMs() - start, 20 * tick);
    }
    // A caller that falls behind by several periods finds one pending tick, then waits.
    time.Advance(95);  // now at start + 195; ticks at 120..180 passed unobserved
    EXPECT_EQ(timer->Wait(0), WaitResult::kSignaled);
    EXPECT_EQ(timer->Wait(0), WaitResult::kTimedOut);
    EXPECT_EQ(timer->Wait(40), WaitResult::kSignaled);
    EXPECT_EQ(time.NowMs() - start, 200u);
    ASSERT_TRUE(timer->Cancel());
    EXPECT_EQ(timer->Wait(40), WaitResult::kTimedOut);
    // A one-shot timer fires once.
    ASSERT_TRUE(timer->Set(-10 * 10000, 0));
    EXPECT_EQ(timer->Wait(40), WaitResult::kSignaled);
    EXPECT_EQ(timer->Wait(40), WaitResult::kTimedOut);
    EXPECT_FALSE(timer->Set(10, 0));  // absolute due times are refused
}

TEST(VirtualTime, ManualModeWaitsUntilAnotherThreadAdvancesOrSets) {
    VirtualTimeService time(/*autoAdvance=*/false);
    auto event = time.CreateEvent(false, false);
    std::atomic<int> outcome{-1};
    std::thread waiter([&] { outcome = event->Wait(100) == WaitResult::kTimedOut ? 1 : 0; });
    while (time.BlockedWaiters() == 0) std::this_thread::yield();
    time.Advance(50);
    EXPECT_EQ(outcome.load(), -1);  // still waiting: 50 of 100 ms
    time.Advance(60);  // passes the deadline
    waiter.join();
    EXPECT_EQ(outcome.load(), 1);

    std::thread setter([&] { event->Set(); });
    EXPECT_EQ(event->Wait(kWaitForever), WaitResult::kSignaled);
    setter.join();
}

TEST(RealTime, EventsWakeWaitersAndTimersTickWhenDue) {
    auto time = CreateRealTimeService();
    auto event = time->CreateEvent(false, false);
    std::thread setter([&] { event->Set(); });
    EXPECT_EQ(event->Wait(10000), WaitResult::kSignaled);
    setter.join();
    EXPECT_EQ(event->Wait(0), WaitResult::kTimedOut);

    auto timer = time->CreateTimer();
    ASSERT_TRUE(timer->Set(-100000000LL, 0));  // due in 10 s: not yet
    EXPECT_EQ(timer->Wait(0), WaitResult::kTimedOut);
    const uint32_t start = time->NowMs();
    ASSERT_TRUE(timer->Set(-2 * 10000, 2));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(timer->Wait(1000), WaitResult::kSignaled);
    EXPECT_GT(time->NowMs(), start);  // the clock moved across three periods
}

}  // namespace
}  // namespace zelmar::platform
