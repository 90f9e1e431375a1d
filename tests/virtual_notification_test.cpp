// Position notifications of the virtual device wake a thread that waits for them in virtual
// time, with nobody polling the cursors: in auto-advance mode the waiter's clock jumps to the
// moment the cursor passes the position; in manual mode the test's Advance past that moment
// wakes it.  This is how a capture thread waits for its next block.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>
#include <thread>

#include "platform/audio/AudioDevice.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;
const WAVEFORMATEX kMono16k{1, 1, 16000, 32000, 2, 16, 0};
constexpr uint32_t kBlockBytes = 1600;  // 50 ms

struct Capture {
    std::unique_ptr<pa::ICaptureBuffer> buffer;
    std::unique_ptr<platform::IEvent> events[2];
    std::unique_ptr<platform::IEvent> atStart;  // position 0
    std::unique_ptr<platform::IEvent> stopped;
};

// A two-block capture ring whose blocks notify two bytes before their ends, as the capture
// components lay it out, with notifications at position 0 and at Stop.
Capture MakeCapture(test::VirtualSound& sound) {
    Capture capture;
    std::unique_ptr<pa::ICaptureDevice> device;
    EXPECT_EQ(sound.audio.CreateCapture(nullptr, &device), pa::kDsOk);
    pa::CaptureBufferDesc desc;
    desc.bufferBytes = 2 * kBlockBytes;
    desc.format = kMono16k;
    EXPECT_EQ(device->CreateCaptureBuffer(desc, &capture.buffer), pa::kDsOk);
    for (auto& event : capture.events) event = sound.platform.time.CreateEvent(/*manualReset=*/false, false);
    capture.atStart = sound.platform.time.CreateEvent(true, false);
    capture.stopped = sound.platform.time.CreateEvent(true, false);
    // A position outside the ring is refused.
    const pa::PositionNotify outside[] = {{2 * kBlockBytes, capture.atStart.get()}};
    EXPECT_EQ(capture.buffer->SetNotificationPositions(1, outside), pa::kDsErrInvalidParam);
    const pa::PositionNotify table[] = {{kBlockBytes - 2, capture.events[0].get()},
                                        {2 * kBlockBytes - 2, capture.events[1].get()},
                                        {0, capture.atStart.get()},
                                        {pa::kNotifyOffsetStop, capture.stopped.get()}};
    EXPECT_EQ(capture.buffer->SetNotificationPositions(4, table), pa::kDsOk);
    return capture;
}

TEST(VirtualNotifications, AWaitingCaptureThreadWakesWhenTheCursorPassesItsBlock) {
    test::VirtualSound sound(/*autoAdvance=*/true);
    Capture capture = MakeCapture(sound);
    ASSERT_EQ(capture.buffer->Start(pa::kCaptureStartLooping), pa::kDsOk);
    std::vector<int64_t> wokenAtUs;
    std::vector<size_t> which;
    std::thread reader([&] {
        platform::IEvent* events[] = {capture.events[0].get(), capture.events[1].get()};
        for (int block = 0; block < 4; ++block) {
            size_t index = 99;
            if (sound.platform.time.WaitAny(events, 2, 1000, &index) != platform::WaitResult::kSignaled) return;
            wokenAtUs.push_back(sound.platform.time.NowUs());
            which.push_back(index);
        }
    });
    reader.join();
    // Position 1598 is passed when 1600 bytes (800 frames, 50 ms) are in; then every 50 ms.
    EXPECT_EQ(wokenAtUs, (std::vector<int64_t>{50000, 100000, 150000, 200000})) << "a wait timed out";
    EXPECT_EQ(which, (std::vector<size_t>{0, 1, 0, 1}));
    // At 200 ms the read cursor has gone round twice; the capture cursor runs 10 ms ahead.
    uint32_t capturePos = 0;
    uint32_t readPos = 0;
    ASSERT_EQ(capture.buffer->GetCurrentPosition(&capturePos, &readPos), pa::kDsOk);
    EXPECT_EQ(readPos, 0u);
    EXPECT_EQ(capturePos, 320u);
}

TEST(VirtualNotifications, InManualModeAdvancingPastTheMomentWakesTheWaiter) {
    test::VirtualSound sound(/*autoAdvance=*/false);
    Capture capture = MakeCapture(sound);
    ASSERT_EQ(capture.buffer->Start(pa::kCaptureStartLooping), pa::kDsOk);
    std::atomic<bool> woken{false};
    size_t which = 99;
    std::thread waiter([&] {
        platform::IEvent* events[] = {capture.events[0].get(), capture.events[1].get()};
        if (sound.platform.time.WaitAny(events, 2, platform::kWaitForever, &which) == platform::WaitResult::kSignaled) {
            woken = true;
        }
    });
    const auto waitUntilBlocked = [&] {
        while (sound.platform.time.BlockedWaiters() != 1 && !woken) std::this_thread::yield();
    };
    waitUntilBlocked();
    sound.platform.time.Advance(49);  // 784 frames: position 1598 not yet passed
    waitUntilBlocked();
    EXPECT_FALSE(woken);
    sound.platform.time.Advance(1);
    waiter.join();
    EXPECT_TRUE(woken);
    EXPECT_EQ(which, 0u);
    EXPECT_EQ(sound.platform.time.NowUs(), 50000);
}

TEST(VirtualNotifications, StalledOrStoppedCursorsLetTheWaitTimeOutAndStopNotifies) {
    test::VirtualSound sound(/*autoAdvance=*/true);
    Capture capture = MakeCapture(sound);
    platform::IEvent* events[] = {capture.events[0].get(), capture.events[1].get()};
    size_t which = 99;
    // Not started: nothing is due, the wait runs to its time-out at once.
    EXPECT_EQ(sound.platform.time.WaitAny(events, 2, 300, &which), platform::WaitResult::kTimedOut);
    EXPECT_EQ(sound.platform.time.NowUs(), 300000);
    ASSERT_EQ(capture.buffer->Start(pa::kCaptureStartLooping), pa::kDsOk);
    const pa::PositionNotify table[] = {{0, capture.atStart.get()}};
    EXPECT_EQ(capture.buffer->SetNotificationPositions(1, table), pa::kDsErrInvalidCall);  // not while running
    sound.audio.SetCursorsStalled(true);
    EXPECT_EQ(sound.platform.time.WaitAny(events, 2, 500, &which), platform::WaitResult::kTimedOut);
    EXPECT_EQ(sound.platform.time.NowUs(), 800000);
    EXPECT_EQ(capture.atStart->Wait(0), platform::WaitResult::kTimedOut);
    // Moving again, the first block is 50 ms away; position 0 is passed at once.
    sound.audio.SetCursorsStalled(false);
    EXPECT_EQ(sound.platform.time.WaitAny(events, 2, 500, &which), platform::WaitResult::kSignaled);
    EXPECT_EQ(which, 0u);
    EXPECT_EQ(sound.platform.time.NowUs(), 850000);
    EXPECT_EQ(capture.atStart->Wait(0), platform::WaitResult::kSignaled);
    EXPECT_EQ(capture.stopped->Wait(0), platform::WaitResult::kTimedOut);
    ASSERT_EQ(capture.buffer->Stop(), pa::kDsOk);
    EXPECT_EQ(capture.stopped->Wait(0), platform::WaitResult::kSignaled);
    uint32_t capturePos = 0;
    uint32_t readPos = 1;
    ASSERT_EQ(capture.buffer->GetCurrentPosition(&capturePos, &readPos), pa::kDsOk);
    EXPECT_EQ(capturePos, readPos);  // a stopped buffer reports one place
}

}  // namespace
}  // namespace zelmar
