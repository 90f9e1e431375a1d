// The sound-device layer itself, on the virtual device: two-part locks at the wrap, lock
// checks, lost buffers, injected failures, cooperative level, and the helper that sets events
// on a real clock.  Notifications in virtual time: virtual_notification_test.cpp; full-duplex
// pairs: capture_effects_test.cpp.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/audio/AudioDevice.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;
using Op = pa::VirtualAudioService::Operation;

const WAVEFORMATEX kMono16k{1, 1, 16000, 32000, 2, 16, 0};

std::unique_ptr<pa::ICaptureBuffer> MakeCapture(pa::VirtualAudioService& audio, uint32_t bytes) {
    std::unique_ptr<pa::ICaptureDevice> device;
    EXPECT_EQ(audio.CreateCapture(nullptr, &device), pa::kDsOk);
    pa::CaptureBufferDesc desc;
    desc.bufferBytes = bytes;
    desc.format = kMono16k;
    std::unique_ptr<pa::ICaptureBuffer> buffer;
    EXPECT_EQ(device->CreateCaptureBuffer(desc, &buffer), pa::kDsOk);
    return buffer;  // buffers outlive their device
}

TEST(AudioLayer, LocksSplitAtTheWrapAndRefuseWhatIsNotTheBuffer) {
    test::VirtualSound sound;
    auto buffer = MakeCapture(sound.audio, 1000);
    void* p1 = nullptr;
    void* p2 = nullptr;
    uint32_t n1 = 0;
    uint32_t n2 = 0;
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
    auto buffer = MakeCapture(audio, 320);  // 10 ms ring
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
    desc.format = kMono16k;
    std::unique_ptr<pa::IPlaybackBuffer> buffer;
    EXPECT_EQ(device->CreateSoundBuffer(desc, &buffer), pa::kDsErrInvalidCall);  // no cooperative level yet
    EXPECT_EQ(device->SetCooperativeLevel(0, pa::kCooperativePriority), pa::kDsErrInvalidParam);
    ASSERT_EQ(device->SetCooperativeLevel(pa::CreateOwnerHandle(), pa::kCooperativePriority), pa::kDsOk);
    ASSERT_EQ(device->CreateSoundBuffer(desc, &buffer), pa::kDsOk);
    void* p1;
    void* p2;
    uint32_t n1;
    uint32_t n2;
    ASSERT_EQ(buffer->Lock(0, 640, &p1, &n1, &p2, &n2, 0), pa::kDsOk);
    std::memset(p1, 0x55, n1);
    ASSERT_EQ(buffer->Unlock(p1, n1, p2, n2), pa::kDsOk);
    ASSERT_EQ(buffer->Play(pa::kPlayLooping), pa::kDsOk);

    sound.audio.LoseBuffers();
    uint32_t play;
    uint32_t write;
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

}  // namespace
}  // namespace zelmar
