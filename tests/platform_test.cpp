// The platform layer: the virtual clock the tests run on (sleeps, time-outs, events, waits on
// several events, periodic timers, manual mode with another thread) and the real one's events
// and timers, checked for order and state only, never for durations; both file systems held to
// one contract.  The dynamic loader: companion_test.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/MemoryFileSystem.h"
#include "platform/Time.h"
#include "support/TestPlatform.h"

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

TEST(VirtualTime, ManualModeAndForeverWaitUntilAnotherThreadAdvancesOrSets) {
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

    // On the auto-advancing clock a wait of 0xFFFFFFFF ms (forever, as hosts pass it) with
    // nothing due blocks, the clock standing still, until another thread sets the event.
    VirtualTimeService autoTime(/*autoAdvance=*/true);
    auto later = autoTime.CreateEvent(false, false);
    std::atomic<bool> done{false};
    std::thread forever([&] { outcome = later->Wait(0xFFFFFFFFu) == WaitResult::kSignaled ? 2 : 3, done = true; });
    while (autoTime.BlockedWaiters() == 0 && !done) std::this_thread::yield();
    EXPECT_FALSE(done.load()) << "the wait ended by itself";
    later->Set();
    forever.join();
    EXPECT_EQ(outcome.load(), 2);
    EXPECT_EQ(autoTime.NowMs(), 0u);
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

// The same contract, checked on both file systems.
void CheckFileContract(IFileSystem& files, const std::string& dir) {
    const std::string name = dir + "\\data.bin";  // a Windows-style separator
    EXPECT_EQ(files.Open(name.c_str(), OpenMode::kReadExisting), nullptr);  // must exist
    {
        auto file = files.Open(name.c_str(), OpenMode::kWriteKeep);
        ASSERT_NE(file, nullptr);
        const char text[] = "0123456789";
        EXPECT_EQ(file->Write(text, 10), 10);
        EXPECT_TRUE(file->Seek(2));
        EXPECT_EQ(file->Write("ab", 2), 2);
        EXPECT_EQ(file->Tell(), 4u);
    }
    {
        // Reopening for writing keeps what is there.
        auto file = files.Open(name.c_str(), OpenMode::kWriteKeep);
        ASSERT_NE(file, nullptr);
        char back[16] = {};
        EXPECT_EQ(file->Read(back, 16), 10);  // short read at the end
        EXPECT_EQ(std::string(back), "01ab456789");
        EXPECT_EQ(file->Read(back, 16), 0);
        EXPECT_TRUE(file->Seek(0));
        EXPECT_TRUE(file->Skip(8));
        EXPECT_EQ(file->Read(back, 2), 2);
        EXPECT_EQ(std::string(back, 2), "89");
    }
    auto reader = files.Open((dir + "/data.bin").c_str(), OpenMode::kReadExisting);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->Write("x", 1), -1);  // read-only
    EXPECT_TRUE(files.Delete(name.c_str()));
    EXPECT_FALSE(files.Delete(name.c_str()));
    EXPECT_TRUE(files.CreateDirectory((dir + "/sub").c_str()));
    EXPECT_FALSE(files.CreateDirectory((dir + "/sub").c_str()));  // exists already
    EXPECT_FALSE(files.CreateDirectory(""));
    EXPECT_EQ(files.Open(nullptr, OpenMode::kWriteKeep), nullptr);
}

// Both file systems keep one contract; a memory file beyond its stored limit keeps only its size.
TEST(Files, PosixAndMemoryFileSystemsKeepTheContract) {
    test::TempDir dir;
    auto posix = CreatePosixFileSystem();
    CheckFileContract(*posix, dir.path);
    EXPECT_EQ(posix->Open(dir.path.c_str(), OpenMode::kReadExisting), nullptr);  // a directory is no file
    MemoryFileSystem memory;
    CheckFileContract(memory, "mem");

    MemoryFileSystem small(/*storedBytesPerFile=*/8);
    auto file = small.Open("big", OpenMode::kWriteKeep);
    std::vector<char> block(100, 'z');
    EXPECT_EQ(file->Write(block.data(), 100), 100);
    EXPECT_EQ(small.SizeOf("big"), 100u);
    EXPECT_EQ(small.Contents("big"), std::vector<uint8_t>(8, 'z'));
    ASSERT_TRUE(file->Seek(50));
    char back[4];
    EXPECT_EQ(file->Read(back, 4), 4);
    EXPECT_EQ(back[0], 0);  // not stored: reads back as zero
}

}  // namespace
}  // namespace zelmar::platform
