// DSoundAudioIn and DSoundAudioOut on the virtual sound device, in virtual time: ring layout,
// block order across laps, the clear-block rules, pacing and the time-outs of stalled or
// failing devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include <cstring>
#include <utility>
#include <vector>

#include "devices/DSoundAudioIn.h"
#include "devices/DSoundAudioOut.h"
#include "devices/DeviceProperties.h"
#include "support/AllocationCounter.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

using platform::audio::VirtualAudioService;
using Op = VirtualAudioService::Operation;
namespace pa = platform::audio;

int32_t Get(IAudioIO* io, const char* name, int32_t arg = 0) {
    int32_t value = -12345;
    EXPECT_EQ(io->GetProperty(name, arg, &value), kOk) << name;
    return value;
}

void Configure(IAudioIO* io, const char* bufferTimeName, uint32_t rate, uint16_t bits, uint16_t channels,
               uint32_t blockSamples, uint32_t bufferMs) {
    ASSERT_EQ(io->SetProperty("SamplesPerSec", static_cast<int32_t>(rate), nullptr), kOk);
    ASSERT_EQ(io->SetProperty("BitsPerSample", bits, nullptr), kOk);
    ASSERT_EQ(io->SetProperty("Channels", channels, nullptr), kOk);
    ASSERT_EQ(io->SetProperty("BlockSamples", static_cast<int32_t>(blockSamples), nullptr), kOk);
    ASSERT_EQ(io->SetProperty(bufferTimeName, static_cast<int32_t>(bufferMs), nullptr), kOk);
}

// The 16-bit word at stream word `w` of the scripted capture input: a ramp that never is 0,
// so silence and misplaced blocks both show.
int16_t RampWord(uint64_t w) { return static_cast<int16_t>(w % 30011 + 1); }

void InstallRamp(VirtualAudioService& audio) {
    audio.SetScriptedInput([](uint64_t streamByte, uint8_t* target, uint32_t bytes) {
        for (uint32_t i = 0; i < bytes; i += 2) {
            const int16_t word = RampWord((streamByte + i) / 2);
            std::memcpy(target + i, &word, 2);
        }
    });
}

// ---------------------------------------------------------------------------------------------
// The shared property table.

TEST(DeviceProperties, NamesAreExactAndUnknownNamesGetForty) {
    EXPECT_EQ(FindDeviceProperty("SamplesPerSec"), 0);
    EXPECT_EQ(FindDeviceProperty("hWnd"), 26);
    EXPECT_EQ(FindDeviceProperty("TotalOut"), 28);
    EXPECT_EQ(FindDeviceProperty("DXErrorCodeSub"), 30);
    EXPECT_EQ(FindDeviceProperty("InternalLimitSize"), 39);
    // Case matters, prefixes are not names, and nothing maps to the unused 29.
    EXPECT_EQ(FindDeviceProperty("samplesPerSec"), 40);
    EXPECT_EQ(FindDeviceProperty("HWND"), 40);
    EXPECT_EQ(FindDeviceProperty("Total"), 40);
    EXPECT_EQ(FindDeviceProperty(""), 40);
    EXPECT_EQ(FindDeviceProperty(nullptr), 40);
}

// ---------------------------------------------------------------------------------------------
// Capture.

TEST(DSoundAudioIn, ListsTheDevicesItWasGiven) {
    test::VirtualSound sound;
    auto io = test::Make("DSoundAudioIn");
    ASSERT_NE(io, nullptr);
    EXPECT_EQ(Get(io.get(), "InDeviceNum"), 1);
    char name[64] = {};
    ASSERT_EQ(io->GetProperty("InDeviceName", 0, name), kOk);
    EXPECT_STREQ(name, VirtualAudioService::CaptureDescription());
    uint8_t guid[16];
    ASSERT_EQ(io->GetProperty("InDeviceGUID", 0, guid), kOk);
    EXPECT_EQ(std::memcmp(guid, VirtualAudioService::CaptureGuid().bytes, 16), 0);
    EXPECT_EQ(io->GetProperty("InDeviceName", 1, name), kErrInvalidArg);
    EXPECT_EQ(io->GetProperty("InDeviceGUID", -1, guid), kErrInvalidArg);
    EXPECT_EQ(io->SetProperty("InDeviceNo", 1, nullptr), kErrInvalidArg);
    EXPECT_EQ(io->SetProperty("InDeviceNo", -2, nullptr), kErrInvalidArg);
    EXPECT_EQ(io->SetProperty("InDeviceNo", 0, nullptr), kOk);
    EXPECT_EQ(Get(io.get(), "InDeviceNo"), 0);
    EXPECT_EQ(io->SetProperty("InDeviceNo", 1, nullptr), kErrInvalidArg);
    EXPECT_EQ(Get(io.get(), "InDeviceNo"), 0);  // a refused number leaves the old one
}

// A service with more devices than hosts can number.
class ManyDevices final : public pa::IAudioService {
public:
    explicit ManyDevices(int count) : count_(count) {}
    pa::DsResult EnumerateCapture(std::vector<pa::DeviceDescription>* d) override { return List(d); }
    pa::DsResult EnumeratePlayback(std::vector<pa::DeviceDescription>* d) override { return List(d); }
    pa::DsResult CreateCapture(const pa::DeviceGuid*, std::unique_ptr<pa::ICaptureDevice>*) override {
        return pa::kDsErrNoDriver;
    }
    pa::DsResult CreatePlayback(const pa::DeviceGuid*, std::unique_ptr<pa::IPlaybackDevice>*) override {
        return pa::kDsErrNoDriver;
    }
    pa::DsResult CreateFullDuplex(const pa::DeviceGuid*, const pa::DeviceGuid*, const pa::CaptureBufferDesc&,
                                  const pa::PlaybackBufferDesc&, pa::OwnerHandle, uint32_t,
                                  std::unique_ptr<pa::IFullDuplex>*, std::unique_ptr<pa::ICaptureBuffer>*,
                                  std::unique_ptr<pa::IPlaybackBuffer>*) override {
        return pa::kDsErrNoDriver;
    }

private:
    pa::DsResult List(std::vector<pa::DeviceDescription>* devices) {
        devices->clear();
        for (int i = 0; i < count_; ++i) {
            pa::DeviceDescription d{"device " + std::to_string(i), {}};
            d.guid.bytes[0] = static_cast<uint8_t>(i + 1);
            devices->push_back(d);
        }
        return pa::kDsOk;
    }
    int count_;
};

TEST(DSoundAudioIn, KeepsAtMostSixteenDevicesAndFailsBuildOnAMissingDevice) {
    test::VirtualPlatform platform;
    ManyDevices many(17);
    platform::Services services{};
    services.audio = &many;
    platform::ScopedPlatform scope(services);
    for (const char* kind : {"DSoundAudioIn", "DSoundAudioOut"}) {
        auto io = test::Make(kind);
        const bool capture = std::strcmp(kind, "DSoundAudioIn") == 0;
        EXPECT_EQ(Get(io.get(), capture ? "InDeviceNum" : "OutDeviceNum"), 16) << kind;
        char name[32];
        ASSERT_EQ(io->GetProperty(capture ? "InDeviceName" : "OutDeviceName", 15, name), kOk);
        EXPECT_STREQ(name, "device 15");
        EXPECT_EQ(io->GetProperty(capture ? "InDeviceName" : "OutDeviceName", 16, name), kErrInvalidArg);
        EXPECT_EQ(io->SetProperty(capture ? "InDeviceNo" : "OutDeviceNo", 15, nullptr), kOk);
        EXPECT_EQ(io->Build(), kErrPlatform);
        EXPECT_EQ(io->Start(), kErrState);
    }
}

TEST(DSoundAudioIn, DefaultLayoutNotifiesTwoBytesBeforeEachBlockEnd) {
    test::VirtualSound sound;
    std::unique_ptr<pa::ICaptureDevice> device;
    ASSERT_EQ(sound.audio.CreateCapture(nullptr, &device), pa::kDsOk);
    pa::CaptureBufferDesc desc;
    desc.bufferBytes = 6400;
    desc.format = WAVEFORMATEX{1, 1, 16000, 32000, 2, 16, 0};
    std::unique_ptr<pa::ICaptureBuffer> inner;
    ASSERT_EQ(device->CreateCaptureBuffer(desc, &inner), pa::kDsOk);
    test::BufferLog log;
    auto io = test::Make("DSoundAudioIn");
    ASSERT_EQ(io->SetProperty("DSCaptureBuffer", 0, new test::SpyCaptureBuffer(std::move(inner), &log)), kOk);
    EXPECT_EQ(Get(io.get(), "NotifySize"), 0);
    ASSERT_EQ(io->Build(), kOk);
    EXPECT_EQ(Get(io.get(), "NotifySize"), 80);
    ASSERT_EQ(log.notifications.size(), 81u);
    for (uint32_t i = 0; i < 80; ++i) EXPECT_EQ(log.notifications[i].offset, 80 * i + 78) << i;
    EXPECT_EQ(log.notifications[80].offset, pa::kNotifyOffsetStop);
    WAVEFORMATEX wfx;
    ASSERT_EQ(io->GetProperty("WaveFormat", 0, &wfx), kOk);
    EXPECT_EQ(wfx.wFormatTag, 1);
    EXPECT_EQ(wfx.nBlockAlign, 2);
    EXPECT_EQ(wfx.nAvgBytesPerSec, 32000u);

    // Blocks are read at 0, B, 2B, ... and the ring wraps after 80.
    ASSERT_EQ(io->Start(), kOk);
    std::vector<uint8_t> block(80);
    for (int i = 0; i < 82; ++i) ASSERT_EQ(io->GetData(block.data(), 80), 80) << i;
    ASSERT_EQ(log.lockOffsets.size(), 82u);
    for (uint32_t i = 0; i < 82; ++i) EXPECT_EQ(log.lockOffsets[i], (i % 80) * 80) << i;
}

struct CaptureCase {
    uint32_t rate;
    uint16_t bits;
    uint16_t channels;
    uint32_t blockSamples;
    uint32_t bufferMs;
    int blocks;
    uint32_t bufferBytes;
};

// The device's ring and the component's ring must agree byte for byte: a wrong buffer size or
// block order shows as a broken ramp after the first lap.
TEST(DSoundAudioIn, DeliversTheCapturedStreamInOrderAcrossLaps) {
    const CaptureCase cases[] = {
        {16000, 16, 1, 40, 200, 200, 6400},    // B 80, N 80
        {44100, 16, 2, 1024, 100, 12, 20480},  // B 4096, 17640 rounded up to 20480, N 5
        {8000, 16, 1, 80, 30, 40, 480},        // B 160, N 3 (one block of 10 ms per poll sleep)
    };
    for (const CaptureCase& c : cases) {
        test::VirtualSound sound;
        InstallRamp(sound.audio);
        auto io = test::Make("DSoundAudioIn");
        Configure(io.get(), "InBufferTime", c.rate, c.bits, c.channels, c.blockSamples, c.bufferMs);
        ASSERT_EQ(io->Build(), kOk);
        EXPECT_EQ(sound.audio.LastBufferBytes(), c.bufferBytes);
        const int32_t blockBytes = Get(io.get(), "NotifySize");
        ASSERT_EQ(blockBytes, static_cast<int32_t>(c.blockSamples * c.channels * 2));
        ASSERT_EQ(io->Start(), kOk);
        const uint32_t startMs = sound.platform.time.NowMs();
        std::vector<uint8_t> block(blockBytes);
        for (int b = 0; b < c.blocks; ++b) {
            ASSERT_EQ(io->GetData(block.data(), blockBytes), blockBytes) << c.rate << " block " << b;
            for (int32_t i = 0; i < blockBytes; i += 2) {
                int16_t word;
                std::memcpy(&word, &block[i], 2);
                ASSERT_EQ(word, RampWord((uint64_t{static_cast<uint32_t>(b)} * blockBytes + i) / 2))
                    << c.rate << " block " << b << " byte " << i;
            }
        }
        EXPECT_EQ(static_cast<uint32_t>(Get(io.get(), "TotalIn")), static_cast<uint32_t>(c.blocks * blockBytes));
        // Paced by the device: the blocks took their own duration (plus at most one poll).
        const double audioMs = 1000.0 * c.blocks * c.blockSamples / c.rate;
        const double tookMs = sound.platform.time.NowMs() - startMs;
        EXPECT_GE(tookMs, audioMs - 1);
        EXPECT_LE(tookMs, audioMs + 1000.0 * c.blockSamples / c.rate + 1);
    }
}

TEST(DSoundAudioIn, RestartContinuesWithTheNextBlock) {
    test::VirtualSound sound;
    InstallRamp(sound.audio);
    auto io = test::Make("DSoundAudioIn");
    ASSERT_EQ(io->Build(), kOk);
    ASSERT_EQ(io->Start(), kOk);
    std::vector<uint8_t> block(80);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(io->GetData(block.data(), 80), 80);
    ASSERT_EQ(io->Stop(), kOk);
    EXPECT_EQ(io->Stop(), kOk);
    sound.platform.time.SleepMs(1000);  // a stopped device captures nothing meanwhile
    ASSERT_EQ(io->Start(), kOk);
    EXPECT_EQ(Get(io.get(), "TotalIn"), 0);
    ASSERT_EQ(io->GetData(block.data(), 80), 80);
    int16_t first;
    std::memcpy(&first, block.data(), 2);
    EXPECT_EQ(first, RampWord(5 * 40));
}

TEST(DSoundAudioIn, StalledCursorsTimeOutAfterThreePollsWithoutLosingTheBlock) {
    test::VirtualSound sound;
    InstallRamp(sound.audio);
    auto io = test::Make("DSoundAudioIn");
    ASSERT_EQ(io->Build(), kOk);
    ASSERT_EQ(io->Start(), kOk);
    std::vector<uint8_t> block(80);
    ASSERT_EQ(io->GetData(block.data(), 80), 80);

    // Moving-looking cursors that never move: three polls of one block (2 ms) each.
    sound.audio.SetCursorsStalled(true);
    uint32_t before = sound.platform.time.NowMs();
    EXPECT_EQ(io->GetData(block.data(), 80), kErrTimeout);
    EXPECT_EQ(sound.platform.time.NowMs() - before, 6u);

    // Cursors reported together: the device is not moving; two passes of buffer time + poll.
    sound.audio.SetCursorsReportStopped(true);
    before = sound.platform.time.NowMs();
    EXPECT_EQ(io->GetData(block.data(), 80), kErrTimeout);
    EXPECT_EQ(sound.platform.time.NowMs() - before, 2u * (200 + 2));
    EXPECT_EQ(Get(io.get(), "TotalIn"), 80);

    // Back to life: the block that timed out is delivered next.
    sound.audio.SetCursorsReportStopped(false);
    sound.audio.SetCursorsStalled(false);
    ASSERT_EQ(io->GetData(block.data(), 80), 80);
    int16_t first;
    std::memcpy(&first, block.data(), 2);
    EXPECT_EQ(first, RampWord(40));
}

TEST(DSoundAudioIn, CursorOrLockFailuresAreReportedAndTheBlockIsTriedAgain) {
    test::VirtualSound sound;
    InstallRamp(sound.audio);
    auto io = test::Make("DSoundAudioIn");
    ASSERT_EQ(io->Build(), kOk);
    ASSERT_EQ(io->Start(), kOk);
    std::vector<uint8_t> block(80, 0xEE);
    sound.audio.FailNext(Op::kGetCurrentPosition, pa::kDsErrNoDriver);
    EXPECT_EQ(io->GetData(block.data(), 80), kErrPlatform);
    sound.audio.FailNext(Op::kLock, pa::kDsErrInvalidParam);
    EXPECT_EQ(io->GetData(block.data(), 80), kErrPlatform);
    EXPECT_EQ(block[0], 0xEE);  // nothing copied
    EXPECT_EQ(Get(io.get(), "TotalIn"), 0);
    ASSERT_EQ(io->GetData(block.data(), 80), 80);
    int16_t first;
    std::memcpy(&first, block.data(), 2);
    EXPECT_EQ(first, RampWord(0));

    sound.audio.FailNext(Op::kStop, pa::kDsErrFail);
    EXPECT_EQ(io->Stop(), kErrPlatform);
    EXPECT_EQ(io->GetData(block.data(), 80), 80);  // still running
    ASSERT_EQ(io->Stop(), kOk);
    sound.audio.FailNext(Op::kStart, pa::kDsErrFail);
    EXPECT_EQ(io->Start(), kErrPlatform);
    EXPECT_EQ(io->GetData(block.data(), 80), kErrState);  // still built
}

TEST(DSoundAudioIn, StateAndArgumentRules) {
    test::VirtualSound sound;
    auto io = test::Make("DSoundAudioIn");
    std::vector<uint8_t> block(160);
    int32_t out;
    EXPECT_EQ(io->Start(), kErrState);
    EXPECT_EQ(io->Stop(), kErrState);
    EXPECT_EQ(io->GetData(block.data(), 80), kErrState);
    EXPECT_EQ(io->PutData(block.data(), 80), kErrNotImpl);
    EXPECT_EQ(io->SetProperty(nullptr, 0, nullptr), kErrInvalidArg);
    EXPECT_EQ(io->GetProperty(nullptr, 0, &out), kErrInvalidArg);
    EXPECT_EQ(io->GetProperty("TotalIn", 0, nullptr), kErrInvalidArg);
    EXPECT_EQ(io->SetProperty("NoSuchName", 1, nullptr), kOk);
    EXPECT_EQ(io->GetProperty("NoSuchName", 0, &out), kErrInvalidArg);
    EXPECT_EQ(io->GetProperty("SamplesPerSec", 0, &out), kErrInvalidArg);  // settings are write-only
    EXPECT_EQ(io->SetProperty("OutBufferTime", 5, nullptr), kOk);          // another side's name: ignored

    // A zero block or a ring without one whole block does not open.
    ASSERT_EQ(io->SetProperty("BlockSamples", 0, nullptr), kOk);
    EXPECT_EQ(io->Build(), kErrPlatform);
    EXPECT_EQ(io->Start(), kErrState);
    ASSERT_EQ(io->SetProperty("BlockSamples", 40, nullptr), kOk);
    ASSERT_EQ(io->SetProperty("InBufferTime", 0, nullptr), kOk);
    EXPECT_EQ(io->Build(), kErrPlatform);
    ASSERT_EQ(io->SetProperty("InBufferTime", 200, nullptr), kOk);
    sound.audio.FailNext(Op::kCreateBuffer, pa::kDsErrAllocated);
    EXPECT_EQ(io->Build(), kErrPlatform);
    sound.audio.FailNext(Op::kSetNotificationPositions, pa::kDsErrInvalidParam);
    EXPECT_EQ(io->Build(), kErrPlatform);

    ASSERT_EQ(io->Build(), kOk);
    EXPECT_EQ(io->Stop(), kOk);
    ASSERT_EQ(io->Start(), kOk);
    EXPECT_EQ(io->Start(), kOk);
    EXPECT_EQ(io->GetData(block.data(), 79), kErrInvalidArg);
    EXPECT_EQ(io->GetData(nullptr, 80), kErrInvalidArg);
    EXPECT_EQ(io->GetData(block.data(), 0), kErrInvalidArg);
    EXPECT_EQ(io->SetProperty("SamplesPerSec", 8000, nullptr), kErrState);
    EXPECT_EQ(io->SetProperty("EnableEffect", 1, nullptr), kOk);
    EXPECT_EQ(io->SetProperty("DisableEffect", 0, nullptr), kOk);
    EXPECT_EQ(io->SetProperty("EnableEffect", 2, nullptr), kErrInvalidArg);
    EXPECT_EQ(io->SetProperty("EnableEffect", -1, nullptr), kErrInvalidArg);
    // More than a block is allowed once captured: the ring still moves by one block.
    sound.platform.time.SleepMs(50);
    EXPECT_EQ(io->GetData(block.data(), 160), 160);
    EXPECT_EQ(Get(io.get(), "TotalIn"), 160);
    // A Build while running starts over from Created.
    ASSERT_EQ(io->Build(), kOk);
    EXPECT_EQ(io->GetData(block.data(), 80), kErrState);
}

TEST(DSoundAudioIn, ClearBlockRuleWithAndWithoutWrap) {
    CDSoundAudioIn io;
    // No wrap: [readPos, capturePos) is being filled.
    EXPECT_EQ(io.IsBlockClear(100, 20, 100, 50), 0);   // starts at the capture cursor
    EXPECT_EQ(io.IsBlockClear(101, 20, 100, 50), 1);   // wholly past it
    EXPECT_EQ(io.IsBlockClear(30, 20, 100, 50), 1);    // ends at the read cursor
    EXPECT_EQ(io.IsBlockClear(31, 20, 100, 50), 0);
    // Wrapped: [readPos, end) and [0, capturePos) are being filled.
    EXPECT_EQ(io.IsBlockClear(100, 20, 100, 200), 1);  // starts at the capture cursor
    EXPECT_EQ(io.IsBlockClear(99, 20, 100, 200), 0);
    EXPECT_EQ(io.IsBlockClear(190, 20, 100, 200), 0);
}

TEST(DSoundAudioIn, NoiseSuppressionFollowsItsSwitchOnAnEffectBuffer) {
    test::VirtualSound sound;
    std::unique_ptr<pa::ICaptureDevice> device;
    ASSERT_EQ(sound.audio.CreateCapture(nullptr, &device), pa::kDsOk);
    pa::CaptureBufferDesc desc;
    desc.flags = pa::kCaptureBufferCtrlFx;
    desc.bufferBytes = 6400;
    desc.format = WAVEFORMATEX{1, 1, 16000, 32000, 2, 16, 0};
    desc.noiseSuppression = true;
    desc.echoCancellation = true;
    std::unique_ptr<pa::ICaptureBuffer> buffer;
    ASSERT_EQ(device->CreateCaptureBuffer(desc, &buffer), pa::kDsOk);
    std::unique_ptr<pa::ICaptureEffect> ns;
    std::unique_ptr<pa::ICaptureEffect> aec;
    ASSERT_EQ(buffer->GetObjectInPath(pa::CaptureEffect::kNoiseSuppression, &ns), pa::kDsOk);
    ASSERT_EQ(buffer->GetObjectInPath(pa::CaptureEffect::kEchoCancellation, &aec), pa::kDsOk);

    auto io = test::Make("DSoundAudioIn");
    ASSERT_EQ(io->SetProperty("DSCaptureBuffer", 0, buffer.release()), kOk);
    ASSERT_EQ(io->Build(), kOk);
    ASSERT_EQ(io->Start(), kOk);  // switch 1 is off: the effect is switched off
    bool on = true;
    ns->GetEnable(&on);
    EXPECT_FALSE(on);
    ASSERT_EQ(io->SetProperty("EnableEffect", 1, nullptr), kOk);
    ns->GetEnable(&on);
    EXPECT_TRUE(on);
    // Echo cancellation is only remembered by this component.
    ASSERT_EQ(io->SetProperty("DisableEffect", 0, nullptr), kOk);
    aec->GetEnable(&on);
    EXPECT_TRUE(on);
}

TEST(DSoundAudioIn, GetDataAllocatesNothing) {
    test::VirtualSound sound;
    InstallRamp(sound.audio);
    auto io = test::Make("DSoundAudioIn");
    ASSERT_EQ(io->Build(), kOk);
    ASSERT_EQ(io->Start(), kOk);
    std::vector<uint8_t> block(80);
    test::ScopedAllocationCount allocations;
    for (int i = 0; i < 300; ++i) ASSERT_EQ(io->GetData(block.data(), 80), 80);
    sound.audio.SetCursorsStalled(true);
    EXPECT_EQ(io->GetData(block.data(), 80), kErrTimeout);
    EXPECT_EQ(allocations.count(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Playback.

std::unique_ptr<pa::IPlaybackBuffer> MakePlaybackBuffer(VirtualAudioService& audio, uint32_t bytes,
                                                        const WAVEFORMATEX& format,
                                                        std::unique_ptr<pa::IPlaybackDevice>* device) {
    EXPECT_EQ(audio.CreatePlayback(nullptr, device), pa::kDsOk);
    EXPECT_EQ((*device)->SetCooperativeLevel(1, pa::kCooperativePriority), pa::kDsOk);
    pa::PlaybackBufferDesc desc;
    desc.bufferBytes = bytes;
    desc.hasFormat = true;
    desc.format = format;
    std::unique_ptr<pa::IPlaybackBuffer> buffer;
    EXPECT_EQ((*device)->CreateSoundBuffer(desc, &buffer), pa::kDsOk);
    return buffer;
}

TEST(DSoundAudioOut, DefaultLayoutNotifiesAfterTheFollowingBlockAndWalksTheRing) {
    test::VirtualSound sound;
    std::unique_ptr<pa::IPlaybackDevice> device;
    auto inner = MakePlaybackBuffer(sound.audio, 6400, WAVEFORMATEX{1, 1, 16000, 32000, 2, 16, 0}, &device);
    test::BufferLog log;
    auto io = test::Make("DSoundAudioOut");
    ASSERT_EQ(io->SetProperty("DSPlayBuffer", 0, new test::SpyPlaybackBuffer(std::move(inner), &log)), kOk);
    ASSERT_EQ(io->Build(), kOk);
    EXPECT_EQ(Get(io.get(), "NotifySize"), 80);
    ASSERT_EQ(log.notifications.size(), 81u);
    for (uint32_t i = 0; i < 79; ++i) EXPECT_EQ(log.notifications[i].offset, 80 * i + 158) << i;
    EXPECT_EQ(log.notifications[79].offset, 78u);
    EXPECT_EQ(log.notifications[80].offset, pa::kNotifyOffsetStop);
    // The silence fill locks the whole buffer once.
    ASSERT_EQ(log.lockOffsets.size(), 1u);
    EXPECT_EQ(log.lockBytes[0], 6400u);

    ASSERT_EQ(io->Start(), kOk);
    std::vector<uint8_t> block(80, 1);
    for (int i = 0; i < 83; ++i) ASSERT_EQ(io->PutData(block.data(), 80), 80) << i;
    ASSERT_EQ(io->Stop(), kOk);
    ASSERT_EQ(io->Start(), kOk);
    ASSERT_EQ(io->PutData(block.data(), 80), 80);
    ASSERT_EQ(log.lockOffsets.size(), 85u);
    for (uint32_t i = 0; i < 83; ++i) EXPECT_EQ(log.lockOffsets[1 + i], (i % 80) * 80) << i;
    EXPECT_EQ(log.lockOffsets[84], 0u);  // a restart writes from the head of the ring again
    EXPECT_EQ(Get(io.get(), "TotalOut"), 80);
}

TEST(DSoundAudioOut, OpensThePrimaryAndASilentLoopingBuffer) {
    for (uint16_t bits : {uint16_t{16}, uint16_t{8}}) {
        test::VirtualSound sound;
        std::vector<uint8_t> played;
        sound.audio.SetPlaybackTap([&](const uint8_t* p, uint32_t n) { played.insert(played.end(), p, p + n); });
        auto io = test::Make("DSoundAudioOut");
        Configure(io.get(), "OutBufferTime", 16000, bits, 1, 40, 200);
        ASSERT_EQ(io->Build(), kOk);
        ASSERT_EQ(io->Start(), kOk);
        sound.platform.time.SleepMs(450);  // more than two laps of the buffer, nothing written
        ASSERT_EQ(io->Stop(), kOk);
        ASSERT_EQ(played.size(), 450u * 16 * bits / 8);
        const uint8_t silence = bits == 16 ? 0x00 : 0x80;
        for (size_t i = 0; i < played.size(); ++i) ASSERT_EQ(played[i], silence) << bits << " at " << i;
    }
}

// Every written block is played once, in order, whatever the laps: a wrong clear rule either
// overwrites audio before it is played or makes the writer time out.
TEST(DSoundAudioOut, PlaysEveryBlockOnceInOrder) {
    const CaptureCase cases[] = {
        {16000, 16, 1, 40, 200, 300, 6400},
        {44100, 16, 2, 1024, 100, 20, 20480},
        {8000, 16, 1, 160, 60, 20, 960},  // N = 3 blocks of 20 ms, one block per poll sleep
    };
    for (const CaptureCase& c : cases) {
        test::VirtualSound sound;
        std::vector<int16_t> played;
        sound.audio.SetLoopback(false);
        sound.audio.SetPlaybackTap([&](const uint8_t* p, uint32_t n) {
            const size_t at = played.size();
            played.resize(at + n / 2);
            std::memcpy(played.data() + at, p, n);
        });
        auto io = test::Make("DSoundAudioOut");
        Configure(io.get(), "OutBufferTime", c.rate, c.bits, c.channels, c.blockSamples, c.bufferMs);
        ASSERT_EQ(io->Build(), kOk);
        EXPECT_EQ(sound.audio.LastBufferBytes(), c.bufferBytes);
        const int32_t blockBytes = Get(io.get(), "NotifySize");
        ASSERT_EQ(io->Start(), kOk);
        std::vector<int16_t> block(blockBytes / 2);
        uint64_t word = 0;
        for (int b = 0; b < c.blocks; ++b) {
            for (auto& w : block) w = RampWord(word++);
            ASSERT_EQ(io->PutData(block.data(), blockBytes), blockBytes) << c.rate << " block " << b;
        }
        EXPECT_EQ(static_cast<uint32_t>(Get(io.get(), "TotalOut")), static_cast<uint32_t>(c.blocks * blockBytes));
        sound.platform.time.SleepMs(2 * c.bufferMs + 100);  // let the device play what is queued
        sound.audio.Pump();
        ASSERT_EQ(io->Stop(), kOk);

        size_t start = 0;
        while (start < played.size() && played[start] != RampWord(0)) ++start;
        ASSERT_LT(start, played.size()) << c.rate << ": the first block was never played";
        ASSERT_GE(played.size() - start, word) << c.rate;
        for (uint64_t i = 0; i < word; ++i) ASSERT_EQ(played[start + i], RampWord(i)) << c.rate << " word " << i;
    }
}

TEST(DSoundAudioOut, StalledStoppedOrLostDevicesGiveTheirCodes) {
    test::VirtualSound sound;
    auto io = test::Make("DSoundAudioOut");
    ASSERT_EQ(io->Build(), kOk);
    ASSERT_EQ(io->Start(), kOk);
    std::vector<uint8_t> block(80, 7);
    ASSERT_EQ(io->PutData(block.data(), 80), 80);
    ASSERT_EQ(io->PutData(block.data(), 80), 80);

    sound.audio.SetCursorsStalled(true);
    uint32_t before = sound.platform.time.NowMs();
    EXPECT_EQ(io->PutData(block.data(), 80), kErrTimeout);
    EXPECT_EQ(sound.platform.time.NowMs() - before, 6u);
    sound.audio.SetCursorsReportStopped(true);
    before = sound.platform.time.NowMs();
    EXPECT_EQ(io->PutData(block.data(), 80), kErrTimeout);
    EXPECT_EQ(sound.platform.time.NowMs() - before, 2u * (200 + 2));
    sound.audio.SetCursorsReportStopped(false);
    sound.audio.SetCursorsStalled(false);
    EXPECT_EQ(Get(io.get(), "TotalOut"), 160);

    sound.audio.FailNext(Op::kGetCurrentPosition, pa::kDsErrFail);
    EXPECT_EQ(io->PutData(block.data(), 80), kErrPlatform);
    sound.audio.FailNext(Op::kLock, pa::kDsErrFail);
    EXPECT_EQ(io->PutData(block.data(), 80), kErrPlatform);
    EXPECT_EQ(Get(io.get(), "TotalOut"), 160);
    EXPECT_EQ(io->PutData(block.data(), 80), 80);

    // A lost buffer is not restored by this component: every write fails until a new Build.
    sound.audio.LoseBuffers();
    EXPECT_EQ(io->PutData(block.data(), 80), kErrPlatform);
    EXPECT_EQ(io->PutData(block.data(), 80), kErrPlatform);
    ASSERT_EQ(io->Build(), kOk);
    ASSERT_EQ(io->Start(), kOk);
    EXPECT_EQ(io->PutData(block.data(), 80), 80);
}

TEST(DSoundAudioOut, StateAndArgumentRulesAndBuildFailures) {
    test::VirtualSound sound;
    auto io = test::Make("DSoundAudioOut");
    std::vector<uint8_t> block(80);
    int32_t out;
    EXPECT_EQ(io->PutData(block.data(), 80), kErrState);
    EXPECT_EQ(io->Start(), kErrState);
    EXPECT_EQ(io->Stop(), kErrState);
    EXPECT_EQ(io->GetData(block.data(), 80), kErrNotImpl);
    EXPECT_EQ(Get(io.get(), "OutDeviceNum"), 1);
    EXPECT_EQ(io->SetProperty("OutDeviceNo", 1, nullptr), kErrInvalidArg);
    EXPECT_EQ(io->GetProperty("hWnd", 0, &out), kErrInvalidArg);
    EXPECT_EQ(io->SetProperty("Unknown", 0, nullptr), kOk);

    for (Op op : {Op::kCreateDevice, Op::kSetCooperativeLevel, Op::kSetFormat, Op::kCreateBuffer,
                  Op::kSetNotificationPositions, Op::kLock, Op::kUnlock}) {
        sound.audio.FailNext(op, pa::kDsErrFail);
        EXPECT_EQ(io->Build(), kErrPlatform) << static_cast<int>(op);
        EXPECT_EQ(io->Start(), kErrState);
    }
    ASSERT_EQ(io->SetProperty("BlockSamples", 0, nullptr), kOk);
    EXPECT_EQ(io->Build(), kErrPlatform);
    ASSERT_EQ(io->SetProperty("BlockSamples", 40, nullptr), kOk);

    ASSERT_EQ(io->Build(), kOk);
    sound.audio.FailNext(Op::kPlay, pa::kDsErrFail);
    EXPECT_EQ(io->Start(), kErrPlatform);
    ASSERT_EQ(io->Start(), kOk);
    EXPECT_EQ(io->PutData(block.data(), 0), kErrInvalidArg);
    EXPECT_EQ(io->PutData(nullptr, 80), kErrInvalidArg);
    EXPECT_EQ(io->SetProperty("Unknown", 0, nullptr), kErrState);  // every name while running
    EXPECT_EQ(io->PutData(block.data(), 10), 10);                 // no minimum size
    sound.audio.FailNext(Op::kStop, pa::kDsErrFail);
    EXPECT_EQ(io->Stop(), kErrPlatform);
    EXPECT_EQ(io->PutData(block.data(), 80), 80);  // still running
}

TEST(DSoundAudioOut, OwnsAnOwnerHandleOnlyWhenTheHostGivesNone) {
    test::VirtualSound sound;
    const int before = pa::LiveOwnerHandleCount();
    {
        auto io = test::Make("DSoundAudioOut");
        ASSERT_EQ(io->SetProperty("hWnd", 4242, nullptr), kOk);
        ASSERT_EQ(io->Build(), kOk);
        EXPECT_EQ(pa::LiveOwnerHandleCount(), before);
    }
    {
        auto first = test::Make("DSoundAudioOut");
        auto second = test::Make("DSoundAudioOut");
        ASSERT_EQ(first->Build(), kOk);
        ASSERT_EQ(first->Build(), kOk);  // kept across builds
        EXPECT_EQ(pa::LiveOwnerHandleCount(), before + 1);
        ASSERT_EQ(second->Build(), kOk);  // a second component makes its own
        EXPECT_EQ(pa::LiveOwnerHandleCount(), before + 2);
    }
    EXPECT_EQ(pa::LiveOwnerHandleCount(), before);
}

TEST(DSoundAudioOut, ClearBlockRuleWithAndWithoutWrap) {
    // play 100, write 300, B 80.
    EXPECT_TRUE(CDSoundAudioOut::IsBlockClear(0, 80, 100, 300));
    EXPECT_FALSE(CDSoundAudioOut::IsBlockClear(80, 80, 100, 300));
    EXPECT_TRUE(CDSoundAudioOut::IsBlockClear(300, 80, 100, 300));
    EXPECT_FALSE(CDSoundAudioOut::IsBlockClear(240, 80, 100, 300));
    // play 300, write 100: the device owns 300.. and ..100.
    EXPECT_TRUE(CDSoundAudioOut::IsBlockClear(160, 80, 300, 100));
    EXPECT_FALSE(CDSoundAudioOut::IsBlockClear(80, 80, 300, 100));
    EXPECT_FALSE(CDSoundAudioOut::IsBlockClear(240, 80, 300, 100));
}

TEST(DSoundAudioOut, PutDataAllocatesNothing) {
    test::VirtualSound sound;
    sound.audio.SetLoopback(false);
    auto io = test::Make("DSoundAudioOut");
    ASSERT_EQ(io->Build(), kOk);
    ASSERT_EQ(io->Start(), kOk);
    std::vector<uint8_t> block(80, 3);
    test::ScopedAllocationCount allocations;
    for (int i = 0; i < 300; ++i) ASSERT_EQ(io->PutData(block.data(), 80), 80);
    EXPECT_EQ(allocations.count(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Both together on the virtual device: what one plays, the other captures.

// A playback and a capture component, both built, then both started (nulls if a step failed).
std::pair<test::ComponentPtr, test::ComponentPtr> StartedLoopback() {
    auto out = test::Make("DSoundAudioOut");
    auto in = test::Make("DSoundAudioIn");
    if (!out || !in || out->Build() != kOk || in->Build() != kOk || out->Start() != kOk || in->Start() != kOk) {
        return {};
    }
    return {std::move(out), std::move(in)};
}

TEST(DSoundLoopback, CaptureHearsWhatPlaybackPlays) {
    test::VirtualSound sound;
    auto loopback = StartedLoopback();
    auto& out = loopback.first;
    auto& in = loopback.second;
    ASSERT_TRUE(out && in);
    std::vector<int16_t> block(40);
    std::vector<int16_t> heard;
    uint64_t word = 0;
    for (int b = 0; b < 400; ++b) {
        for (auto& w : block) w = RampWord(word++);
        ASSERT_EQ(out->PutData(block.data(), 80), 80);
        ASSERT_EQ(in->GetData(block.data(), 80), 80);
        heard.insert(heard.end(), block.begin(), block.end());
    }
    size_t start = 0;
    while (start < heard.size() && heard[start] != RampWord(0)) ++start;
    ASSERT_LT(start + 4000, heard.size()) << "the ramp never came back";
    for (size_t i = 0; i < 4000; ++i) ASSERT_EQ(heard[start + i], RampWord(i)) << i;
}

// The arrangement hosts use: capture and playback on threads of their own, sharing one device
// world (and, in a ThreadSanitizer build, checked for races).  Each thread's waits move the
// shared virtual clock, so the two drift against each other: every call must still give a
// whole block or the time-out code, and the ramp must come back.
TEST(DSoundLoopback, CaptureAndPlaybackOnTwoThreads) {
    test::VirtualSound sound;
    auto loopback = StartedLoopback();
    auto& out = loopback.first;
    auto& in = loopback.second;
    ASSERT_TRUE(out && in);
    std::atomic<int> badResults{0};
    std::atomic<bool> played{false};
    std::thread player([&] {
        std::vector<int16_t> block(40);
        uint64_t word = 0;
        for (int b = 0; b < 400; ++b) {
            for (auto& w : block) w = RampWord(word++);
            const int32_t r = out->PutData(block.data(), 80);
            if (r != 80 && r != kErrTimeout) ++badResults;
        }
        played = true;
    });
    std::vector<int16_t> heard;
    std::vector<int16_t> block(40);
    // Either thread may run ahead: capture goes on until 100 blocks after the last one played
    // (a playback ring nobody writes repeats what it holds).
    for (int b = 0, after = 0; after < 100 && b < 100000; ++b) {
        if (played) ++after;
        const int32_t r = in->GetData(block.data(), 80);
        if (r == 80) heard.insert(heard.end(), block.begin(), block.end());
        else if (r != kErrTimeout) ++badResults;
    }
    player.join();
    EXPECT_EQ(badResults.load(), 0);
    // Blocks may be dropped or repeated as the clock jumps, but played blocks come back
    // whole: somewhere a block's worth of the ramp runs in order.
    size_t longestRun = 0;
    size_t run = 0;
    for (size_t i = 1; i < heard.size(); ++i) {
        run = heard[i] != 0 && heard[i] == heard[i - 1] + 1 ? run + 1 : 0;
        longestRun = std::max(longestRun, run);
    }
    EXPECT_GE(longestRun, 39u) << "the ramp never came back";
    EXPECT_EQ(in->Stop(), kOk);
    EXPECT_EQ(out->Stop(), kOk);
}

}  // namespace
}  // namespace zelmar
