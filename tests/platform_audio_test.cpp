// The sound-device layer itself, on the virtual device: two-part locks at the wrap, lock
// checks, lost buffers, injected failures, cooperative level, the helper that sets events on a
// real clock, and position notifications waking a thread that waits for them in virtual time
// with nobody polling the cursors (in auto-advance mode the waiter's clock jumps to the moment
// the cursor passes the position; in manual mode the test's Advance past that moment wakes it).
// Full-duplex pairs: capture_effects_test.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/audio/AudioDevice.h"
#include "support/Devices.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;
using Op = pa::VirtualAudioService::Operation;
using test::CaptureBuffer;

TEST(AudioLayer, LocksSplitAtTheWrapAndRefuseWhatIsNotTheBuffer) {
    test::VirtualSound sound;
    auto buffer = CaptureBuffer(sound.audio, 1000);
    void *p1 = nullptr, *p2 = nullptr;
    uint32_t n1 = 0, n2 = 0;
    ASSERT_EQ(buffer->Lock(900, 300, &p1, &n1, &p2, &n2, 0), pa::kDsOk);
    EXPECT_EQ(n1, 100u);
    EXPECT_EQ(n2, 200u);
    EXPECT_EQ(static_cast<uint8_t*>(p1) - static_cast<uint8_t*>(p2), 900);  // part 2 is the buffer's start
    EXPECT_EQ(buffer->Unlock(p1, n1, p2, n2), pa::kDsOk);
    EXPECT_EQ(buffer->Unlock(p1, n1 + 1, p2, n2), pa::kDsErrInvalidParam);  // runs past the end
    uint8_t elsewhere[4];
    EXPECT_EQ(buffer->Unlock(elsewhere, 4, nullptr, 0), pa::kDsErrInvalidParam);

    ASSERT_EQ(buffer->Lock(0, 1000, &p1, &n1, &p2, &n2, 0), pa::kDsOk);
    EXPECT_EQ(n1, 1000u);
    EXPECT_EQ(p2, nullptr);
    EXPECT_EQ(n2, 0u);
    EXPECT_EQ(buffer->Lock(1000, 10, &p1, &n1, &p2, &n2, 0), pa::kDsErrInvalidParam);
    EXPECT_EQ(buffer->Lock(0, 1001, &p1, &n1, &p2, &n2, 0), pa::kDsErrInvalidParam);
    EXPECT_EQ(buffer->Lock(0, 0, &p1, &n1, &p2, &n2, 0), pa::kDsErrInvalidParam);
    EXPECT_EQ(buffer->Lock(990, 20, &p1, &n1, nullptr, nullptr, 0), pa::kDsErrInvalidParam);  // needs part 2
    ASSERT_EQ(buffer->Lock(123, 0, &p1, &n1, &p2, &n2, pa::kLockEntireBuffer), pa::kDsOk);
    EXPECT_EQ(n1 + n2, 1000u);
}

TEST(AudioLayer, OnTheRealClockAHelperSetsTheEventsWithoutPolling) {
    // No virtual clock here: the virtual device runs on real time.
    pa::VirtualAudioService audio;
    platform::Services services{};
    services.audio = &audio;
    platform::ScopedPlatform scope(services);
    auto buffer = CaptureBuffer(audio, 320);  // 10 ms ring
    auto event = platform::Current().time->CreateEvent(false, false);
    const pa::PositionNotify table[] = {{160, event.get()}};
    ASSERT_EQ(buffer->SetNotificationPositions(1, table), pa::kDsOk);
    ASSERT_EQ(buffer->Start(pa::kCaptureStartLooping), pa::kDsOk);
    // The position comes round every 10 ms; nobody reads the cursors meanwhile.
    EXPECT_EQ(event->Wait(5000), platform::WaitResult::kSignaled);
    EXPECT_EQ(event->Wait(5000), platform::WaitResult::kSignaled);
    EXPECT_EQ(buffer->Stop(), pa::kDsOk);
}

TEST(AudioLayer, LostBuffersComeBackSilentAfterRestore) {
    test::VirtualSound sound;
    std::unique_ptr<pa::IPlaybackDevice> device;
    ASSERT_EQ(sound.audio.CreatePlayback(nullptr, &device), pa::kDsOk);
    pa::PlaybackBufferDesc desc;
    desc.bufferBytes = 640;
    desc.hasFormat = true;
    desc.format = test::kMono16k;
    std::unique_ptr<pa::IPlaybackBuffer> buffer;
    EXPECT_EQ(device->CreateSoundBuffer(desc, &buffer), pa::kDsErrInvalidCall);  // no cooperative level yet
    EXPECT_EQ(device->SetCooperativeLevel(0, pa::kCooperativePriority), pa::kDsErrInvalidParam);
    ASSERT_EQ(device->SetCooperativeLevel(pa::CreateOwnerHandle(), pa::kCooperativePriority), pa::kDsOk);
    ASSERT_EQ(device->CreateSoundBuffer(desc, &buffer), pa::kDsOk);
    void *p1, *p2;
    uint32_t n1, n2;
    ASSERT_EQ(buffer->Lock(0, 640, &p1, &n1, &p2, &n2, 0), pa::kDsOk);
    std::memset(p1, 0x55, n1);
    ASSERT_EQ(buffer->Unlock(p1, n1, p2, n2), pa::kDsOk);
    ASSERT_EQ(buffer->Play(pa::kPlayLooping), pa::kDsOk);

    sound.audio.LoseBuffers();
    uint32_t play, write;
    EXPECT_EQ(buffer->GetCurrentPosition(&play, &write), pa::kDsErrBufferLost);
    EXPECT_EQ(buffer->Lock(0, 640, &p1, &n1, &p2, &n2, 0), pa::kDsErrBufferLost);
    EXPECT_EQ(buffer->Play(pa::kPlayLooping), pa::kDsErrBufferLost);
    sound.audio.FailNext(Op::kRestore, pa::kDsErrBufferLost);
    EXPECT_EQ(buffer->Restore(), pa::kDsErrBufferLost);
    ASSERT_EQ(buffer->Restore(), pa::kDsOk);
    ASSERT_EQ(buffer->Lock(0, 640, &p1, &n1, &p2, &n2, 0), pa::kDsOk);
    for (uint32_t i = 0; i < n1; ++i) ASSERT_EQ(static_cast<uint8_t*>(p1)[i], 0) << i;
    ASSERT_EQ(buffer->Unlock(p1, n1, p2, n2), pa::kDsOk);

    // Injected failures count down and then stop.
    sound.audio.FailNext(Op::kGetCurrentPosition, pa::kDsErrFail, 2);
    EXPECT_EQ(buffer->GetCurrentPosition(&play, &write), pa::kDsErrFail);
    EXPECT_EQ(buffer->GetCurrentPosition(&play, &write), pa::kDsErrFail);
    EXPECT_EQ(buffer->GetCurrentPosition(&play, &write), pa::kDsOk);
}

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
    capture.buffer = CaptureBuffer(sound.audio, 2 * kBlockBytes);
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
    uint32_t capturePos = 0, readPos = 0;
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
    uint32_t capturePos = 0, readPos = 1;
    ASSERT_EQ(capture.buffer->GetCurrentPosition(&capturePos, &readPos), pa::kDsOk);
    EXPECT_EQ(capturePos, readPos);  // a stopped buffer reports one place
}

}  // namespace
}  // namespace zelmar
