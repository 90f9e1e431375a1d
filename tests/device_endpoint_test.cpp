// The core the sound-device endpoints share, on the virtual sound device: each component's
// answer to every name of the shared table, settings reaching the device format, what a
// failed or repeated Build keeps, the ring arithmetic against a straight 64-bit computation,
// the two kinds of notification events, and the one-block copy across the buffer's end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "devices/DeviceProperties.h"
#include "devices/DeviceRing.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

using platform::audio::VirtualAudioService;
using Op = VirtualAudioService::Operation;
namespace pa = platform::audio;

struct Side {
    const char* component;
    const char* bufferTime;
    std::set<std::string> readable;   // names GetProperty answers
    std::set<std::string> settable;   // names that change something (all others are ignored)
    std::set<std::string> anyState;   // names SetProperty takes while running
};

const Side kCapture{"DSoundAudioIn", "InBufferTime",
                    {"InDeviceNum", "InDeviceNo", "InDeviceName", "WaveFormat", "NotifySize", "InDeviceGUID",
                     "TotalIn"},
                    {"SamplesPerSec", "BitsPerSample", "Channels", "BlockSamples", "InBufferTime", "InDeviceNo",
                     "EnableEffect", "DisableEffect", "TimeOut", "DSCaptureBuffer"},
                    {"EnableEffect", "DisableEffect"}};
const Side kPlayback{"DSoundAudioOut", "OutBufferTime",
                     {"OutDeviceNum", "OutDeviceNo", "OutDeviceName", "WaveFormat", "NotifySize", "OutDeviceGUID",
                      "TotalOut"},
                     {"SamplesPerSec", "BitsPerSample", "Channels", "BlockSamples", "OutBufferTime", "OutDeviceNo",
                      "TimeOut", "DSPlayBuffer", "hWnd"},
                     {}};

// The value a name gets in the walk: a setting its default, any other name 7, so a name that
// reaches a setting it should not shows in the ring the next Build makes.
int32_t ValueFor(const Side& side, const std::string& name) {
    if (side.settable.count(name) == 0) return 7;
    static const std::map<std::string, int32_t> kDefaults = {
        {"SamplesPerSec", 16000}, {"BitsPerSample", 16}, {"Channels", 1},     {"BlockSamples", 40},
        {"InBufferTime", 200},    {"OutBufferTime", 200}, {"TimeOut", 1000}, {"InDeviceNo", -1},
        {"OutDeviceNo", -1},      {"EnableEffect", 1},    {"DisableEffect", 1}, {"hWnd", 0},
    };
    const auto found = kDefaults.find(name);
    return found != kDefaults.end() ? found->second : 0;  // the handed-over buffers: none
}

TEST(DeviceEndpoint, EveryNameOfTheSharedTableGetsItsComponentsAnswer) {
    for (const Side* side : {&kCapture, &kPlayback}) {
        test::VirtualSound sound;
        auto io = test::Make(side->component);
        std::vector<std::string> names;
        for (const DevicePropertyName& entry : kDevicePropertyNames) names.push_back(entry.name);
        names.push_back("NoSuchName");

        for (const std::string& name : names) {
            const int32_t value = ValueFor(*side, name);
            EXPECT_EQ(io->SetProperty(name.c_str(), value, nullptr), kOk) << side->component << " " << name;
            uint8_t out[64] = {};
            const int32_t expected = side->readable.count(name) != 0 ? kOk : kErrInvalidArg;
            EXPECT_EQ(io->GetProperty(name.c_str(), 0, out), expected) << side->component << " " << name;
        }
        // Nothing the walk set beside the defaults reached a setting: the default ring opens.
        ASSERT_EQ(io->Build(), kOk) << side->component;
        EXPECT_EQ(sound.audio.LastBufferBytes(), 6400u) << side->component;
        ASSERT_EQ(io->Start(), kOk);

        for (const std::string& name : names) {
            const int32_t expected = side->anyState.count(name) != 0 ? kOk : kErrState;
            EXPECT_EQ(io->SetProperty(name.c_str(), ValueFor(*side, name), nullptr), expected)
                << side->component << " running, " << name;
            uint8_t out[64] = {};
            EXPECT_EQ(io->GetProperty(name.c_str(), 0, out), side->readable.count(name) != 0 ? kOk : kErrInvalidArg)
                << side->component << " running, " << name;
        }
        EXPECT_EQ(io->SetProperty(nullptr, 0, nullptr), kErrInvalidArg);
        EXPECT_EQ(io->Stop(), kOk);
        // Every settable name is taken again once stopped, the rest still ignored.
        for (const std::string& name : side->settable) {
            EXPECT_EQ(io->SetProperty(name.c_str(), ValueFor(*side, name), nullptr), kOk) << side->component << " " << name;
        }
    }
}

// Bits and channels travel as 32-bit values; the format field holds their low 16 bits.
TEST(DeviceEndpoint, SettingsReachTheFormatThroughTheirLowSixteenBits) {
    for (const Side* side : {&kCapture, &kPlayback}) {
        test::VirtualSound sound;
        std::vector<uint8_t> played;
        sound.audio.SetLoopback(false);
        sound.audio.SetPlaybackTap([&](const uint8_t* p, uint32_t n) { played.insert(played.end(), p, p + n); });
        auto io = test::Make(side->component);
        ASSERT_EQ(io->SetProperty("SamplesPerSec", 8000, nullptr), kOk);
        ASSERT_EQ(io->SetProperty("BitsPerSample", 0x10008, nullptr), kOk);
        ASSERT_EQ(io->SetProperty("Channels", 0x70002, nullptr), kOk);
        ASSERT_EQ(io->SetProperty("BlockSamples", 100, nullptr), kOk);
        ASSERT_EQ(io->SetProperty(side->bufferTime, 90, nullptr), kOk);
        ASSERT_EQ(io->Build(), kOk);

        // 8 bits × 2 channels: 2 bytes a frame, 16000 a second.
        WAVEFORMATEX wfx;
        ASSERT_EQ(io->GetProperty("WaveFormat", 0, &wfx), kOk);
        const WAVEFORMATEX expected{1, 2, 8000, 16000, 2, 8, 0};
        EXPECT_EQ(std::memcmp(&wfx, &expected, sizeof wfx), 0) << side->component;
        int32_t notifySize = 0;
        ASSERT_EQ(io->GetProperty("NotifySize", 0, &notifySize), kOk);
        EXPECT_EQ(notifySize, 200);
        // 90 ms are 1440 bytes, rounded up to 8 blocks of 200.
        EXPECT_EQ(sound.audio.LastBufferBytes(), 1600u) << side->component;

        if (side == &kPlayback) {
            // 8-bit silence is mid-scale.
            ASSERT_EQ(io->Start(), kOk);
            sound.platform.time.SleepMs(150);
            ASSERT_EQ(io->Stop(), kOk);
            ASSERT_EQ(played.size(), 150u * 16);
            for (size_t i = 0; i < played.size(); ++i) ASSERT_EQ(played[i], 0x80) << i;
        }
    }
}

TEST(DeviceEndpoint, AFailedRebuildKeepsWhatTheLastBuildReported) {
    for (const Side* side : {&kCapture, &kPlayback}) {
        test::VirtualSound sound;
        auto io = test::Make(side->component);
        ASSERT_EQ(io->Build(), kOk);
        ASSERT_EQ(io->Start(), kOk);
        ASSERT_EQ(io->Stop(), kOk);
        ASSERT_EQ(io->SetProperty("SamplesPerSec", 8000, nullptr), kOk);
        ASSERT_EQ(io->SetProperty("BlockSamples", 160, nullptr), kOk);
        sound.audio.FailNext(Op::kCreateBuffer, pa::kDsErrAllocated);
        EXPECT_EQ(io->Build(), kErrPlatform);
        EXPECT_EQ(io->Start(), kErrState) << side->component << ": a failed Build leaves it Created";

        int32_t notifySize = 0;
        WAVEFORMATEX wfx;
        ASSERT_EQ(io->GetProperty("NotifySize", 0, &notifySize), kOk);
        ASSERT_EQ(io->GetProperty("WaveFormat", 0, &wfx), kOk);
        EXPECT_EQ(notifySize, 80) << side->component;
        EXPECT_EQ(wfx.nSamplesPerSec, 16000u) << side->component;

        ASSERT_EQ(io->Build(), kOk);
        ASSERT_EQ(io->GetProperty("NotifySize", 0, &notifySize), kOk);
        ASSERT_EQ(io->GetProperty("WaveFormat", 0, &wfx), kOk);
        EXPECT_EQ(notifySize, 320) << side->component;
        EXPECT_EQ(wfx.nSamplesPerSec, 8000u) << side->component;
    }
}

// A handed-over buffer is released by the next Build, which opens the numbered device.
TEST(DeviceEndpoint, AHandedOverBufferServesOneBuildOnly) {
    const WAVEFORMATEX format{1, 1, 16000, 32000, 2, 16, 0};
    test::VirtualSound sound;
    test::BufferLog captureLog;
    test::BufferLog playbackLog;
    auto in = test::Make("DSoundAudioIn");
    auto out = test::Make("DSoundAudioOut");
    {
        std::unique_ptr<pa::ICaptureDevice> device;
        ASSERT_EQ(sound.audio.CreateCapture(nullptr, &device), pa::kDsOk);
        pa::CaptureBufferDesc desc;
        desc.bufferBytes = 6400;
        desc.format = format;
        std::unique_ptr<pa::ICaptureBuffer> buffer;
        ASSERT_EQ(device->CreateCaptureBuffer(desc, &buffer), pa::kDsOk);
        ASSERT_EQ(in->SetProperty("DSCaptureBuffer", 0, new test::SpyCaptureBuffer(std::move(buffer), &captureLog)),
                  kOk);
    }
    {
        std::unique_ptr<pa::IPlaybackDevice> device;
        ASSERT_EQ(sound.audio.CreatePlayback(nullptr, &device), pa::kDsOk);
        ASSERT_EQ(device->SetCooperativeLevel(1, pa::kCooperativePriority), pa::kDsOk);
        pa::PlaybackBufferDesc desc;
        desc.bufferBytes = 6400;
        desc.hasFormat = true;
        desc.format = format;
        std::unique_ptr<pa::IPlaybackBuffer> buffer;
        ASSERT_EQ(device->CreateSoundBuffer(desc, &buffer), pa::kDsOk);
        ASSERT_EQ(out->SetProperty("DSPlayBuffer", 0, new test::SpyPlaybackBuffer(std::move(buffer), &playbackLog)),
                  kOk);
    }
    for (IAudioIO* io : {in.get(), out.get()}) {
        ASSERT_EQ(io->Build(), kOk);
        ASSERT_EQ(io->Build(), kOk);
        ASSERT_EQ(io->Start(), kOk);
    }
    std::vector<uint8_t> block(80, 5);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(out->PutData(block.data(), 80), 80);
        ASSERT_EQ(in->GetData(block.data(), 80), 80);
    }
    EXPECT_EQ(captureLog.notifications.size(), 81u);  // laid out once ...
    EXPECT_TRUE(captureLog.lockOffsets.empty());      // ... and never read
    EXPECT_EQ(playbackLog.lockOffsets.size(), 1u);    // only the silence of the first Build
}

// ---------------------------------------------------------------------------------------------
// The ring.

// Buffer bytes as a 64-bit computation that wraps the product at 2^32 explicitly.
bool ExpectedRing(uint32_t rate, uint16_t align, uint32_t blockSamples, uint32_t timeMs, RingLayout* layout) {
    const uint64_t block = uint64_t{blockSamples} * align;
    if (block == 0 || block > 0x7FFFFFFF) return false;
    const uint64_t raw = (uint64_t{timeMs} * align * rate) % (uint64_t{1} << 32) / 1000;
    if (raw == 0) return false;
    const uint64_t rounded = (raw + block - 1) / block * block;
    if (rounded > 0xFFFFFFFFu) return false;
    *layout = RingLayout{static_cast<int32_t>(rounded / block), static_cast<int32_t>(block),
                         static_cast<uint32_t>(rounded)};
    return true;
}

TEST(DeviceRing, PlanMatchesTheFormulaIncludingThirtyTwoBitWraps) {
    int opened = 0;
    for (uint32_t rate : {0u, 1u, 8000u, 11025u, 44100u, 192000u, 4000000000u}) {
        for (uint16_t channels : {1, 2, 6}) {
            for (uint16_t bits : {8, 16, 24, 7}) {
                for (uint32_t blockSamples : {0u, 1u, 3u, 40u, 1024u, 0x40000000u, 0x80000000u}) {
                    for (uint32_t timeMs : {0u, 1u, 30u, 200u, 10000u, 4000000u}) {
                        const WAVEFORMATEX wfx = DeviceFormat(rate, bits, channels);
                        RingLayout planned;
                        RingLayout expected;
                        const bool valid = ExpectedRing(rate, wfx.nBlockAlign, blockSamples, timeMs, &expected);
                        const int32_t result = PlanBlockRing(wfx, blockSamples, timeMs, &planned);
                        ASSERT_EQ(result, valid ? kOk : kErrInvalidArg)
                            << rate << " Hz " << bits << "x" << channels << " " << blockSamples << " " << timeMs;
                        if (!valid) continue;
                        ++opened;
                        EXPECT_EQ(planned.blockBytes, expected.blockBytes);
                        EXPECT_EQ(planned.bufferBytes, expected.bufferBytes);
                        EXPECT_EQ(planned.blockCount, expected.blockCount);
                    }
                }
            }
        }
    }
    EXPECT_GT(opened, 100);
    // The default capture ring and the stereo one with rounding.
    RingLayout layout;
    ASSERT_EQ(PlanBlockRing(DeviceFormat(44100, 16, 2), 1024, 100, &layout), kOk);
    EXPECT_EQ(layout.bufferBytes, 20480u);  // 17640 rounded up to five blocks of 4096
}

TEST(DeviceRing, NotificationsEitherPerBlockWithStopOrOneSharedAutoResetEvent) {
    platform::VirtualTimeService time(/*autoAdvance=*/false);
    BlockNotifications perBlock;
    ASSERT_EQ(MakeBlockNotifications(time, 4, NotifyEvents::kPerBlockAndStop,
                                     [](uint32_t i) { return 100 * i + 98; }, &perBlock),
              pa::kDsOk);
    ASSERT_EQ(perBlock.events.size(), 5u);
    ASSERT_EQ(perBlock.table.size(), 5u);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(perBlock.table[i].offset, 100 * i + 98);
        EXPECT_EQ(perBlock.table[i].event, perBlock.events[i].get());
    }
    EXPECT_EQ(perBlock.table[4].offset, pa::kNotifyOffsetStop);
    EXPECT_EQ(perBlock.table[4].event, perBlock.events[4].get());
    // Manual reset: a set event stays set for every waiter.
    perBlock.events[2]->Set();
    EXPECT_EQ(perBlock.events[2]->Wait(0), platform::WaitResult::kSignaled);
    EXPECT_EQ(perBlock.events[2]->Wait(0), platform::WaitResult::kSignaled);
    EXPECT_EQ(perBlock.events[1]->Wait(0), platform::WaitResult::kTimedOut);

    BlockNotifications shared;
    ASSERT_EQ(MakeBlockNotifications(time, 6, NotifyEvents::kOneShared, [](uint32_t i) { return 80 * i; }, &shared),
              pa::kDsOk);
    ASSERT_EQ(shared.events.size(), 1u);
    ASSERT_EQ(shared.table.size(), 6u);  // no stop position
    for (uint32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(shared.table[i].offset, 80 * i);
        EXPECT_EQ(shared.table[i].event, shared.events[0].get());
    }
    // Auto reset: one set releases one wait.
    shared.events[0]->Set();
    EXPECT_EQ(shared.events[0]->Wait(0), platform::WaitResult::kSignaled);
    EXPECT_EQ(shared.events[0]->Wait(0), platform::WaitResult::kTimedOut);
}

// A 100-byte looping buffer whose bytes are their own offsets; Lock wraps at the end.
class CountingBuffer final : public pa::IAudioBuffer {
public:
    CountingBuffer() {
        for (int i = 0; i < 100; ++i) bytes_[i] = static_cast<uint8_t>(i);
    }
    pa::DsResult GetCurrentPosition(uint32_t*, uint32_t*) override { return pa::kDsOk; }
    pa::DsResult Lock(uint32_t offset, uint32_t bytes, void** p1, uint32_t* n1, void** p2, uint32_t* n2,
                      uint32_t) override {
        ++locks;
        bytes += extraBytes;
        *p1 = bytes_ + offset;
        *n1 = std::min(bytes, 100 - offset);
        *p2 = *n1 < bytes ? bytes_ : nullptr;
        *n2 = bytes - *n1;
        return pa::kDsOk;
    }
    pa::DsResult Unlock(void*, uint32_t, void*, uint32_t) override {
        ++unlocks;
        return pa::kDsOk;
    }
    pa::DsResult SetNotificationPositions(uint32_t, const pa::PositionNotify*) override { return pa::kDsOk; }
    pa::DsResult GetCaps(pa::BufferCaps*) override { return pa::kDsOk; }
    pa::DsResult GetFormat(WAVEFORMATEX*) override { return pa::kDsOk; }
    pa::DsResult Stop() override { return pa::kDsOk; }

    uint8_t bytes_[100];
    uint32_t extraBytes = 0;  // a misbehaving device hands out more than asked
    int locks = 0;
    int unlocks = 0;
};

TEST(DeviceRing, ABlockCopyFollowsTheLockedPartsAcrossTheEndAndMovesOneBlock) {
    CountingBuffer buffer;
    DeviceRing ring;
    ring.Adopt(RingLayout{5, 20, 100}, BlockNotifications{});
    std::vector<uint8_t> host(30, 0xEE);
    auto copyOut = [&host](void* part, uint32_t at, uint32_t n) { std::memcpy(host.data() + at, part, n); };
    for (int block = 0; block < 4; ++block) ASSERT_EQ(ring.Transfer(buffer, 20, copyOut), 20);
    EXPECT_EQ(ring.CurrentOffset(), 80u);

    // 30 bytes from block 4: 80..99, then 0..9.
    ASSERT_EQ(ring.Transfer(buffer, 30, copyOut), 30);
    for (uint32_t i = 0; i < 30; ++i) EXPECT_EQ(host[i], (80 + i) % 100) << i;
    EXPECT_EQ(ring.CurrentOffset(), 0u);  // one block on, whatever was copied

    // More than was asked for: nothing copied, the lock given back, the ring stays.
    std::fill(host.begin(), host.end(), 0xEE);
    buffer.extraBytes = 1;
    EXPECT_EQ(ring.Transfer(buffer, 20, copyOut), kErrPlatform);
    EXPECT_EQ(host[0], 0xEE);
    EXPECT_EQ(buffer.locks, buffer.unlocks);
    EXPECT_EQ(ring.CurrentOffset(), 0u);
}

}  // namespace
}  // namespace zelmar
