// DSoundAudioIn and DSoundAudioOut on the virtual sound device, in virtual time: device lists,
// ring layout and notifications, block order across laps and restarts, the clear-block rules,
// pacing, and the codes and time-outs of stalled or failing devices.  Most cases run for both
// directions from one table.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devices/DSoundAudioIn.h"
#include "devices/DSoundAudioOut.h"
#include "support/AllocationCounter.h"
#include "support/Devices.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

using platform::audio::VirtualAudioService;
using Op = VirtualAudioService::Operation;
namespace pa = platform::audio;

// What differs between the two directions.
struct Side {
    const char *component;
    bool capture;
    const char *count, *name, *guid, *number, *bufferTime, *total;
    const char* handOver;  // the property that takes a device buffer
    Op start;              // the device operation Start runs
};
const Side kSides[] = {
    {"DSoundAudioIn", true, "InDeviceNum", "InDeviceName", "InDeviceGUID", "InDeviceNo", "InBufferTime", "TotalIn",
     "DSCaptureBuffer", Op::kStart},
    {"DSoundAudioOut", false, "OutDeviceNum", "OutDeviceName", "OutDeviceGUID", "OutDeviceNo", "OutBufferTime",
     "TotalOut", "DSPlayBuffer", Op::kPlay},
};

// One block through the component in its own direction.
int32_t Move(const Side& side, IAudioIO* io, void* block, int32_t bytes) {
    return side.capture ? io->GetData(block, bytes) : io->PutData(block, bytes);
}

// The 16-bit word at stream word `w` of the scripted capture input and of what tests play: a
// ramp that never is 0, so silence and misplaced blocks both show.
int16_t RampWord(uint64_t w) { return static_cast<int16_t>(w % 30011 + 1); }

void InstallRamp(VirtualAudioService& audio) {
    audio.SetScriptedInput([](uint64_t streamByte, uint8_t* target, uint32_t bytes) {
        for (uint32_t i = 0; i < bytes; i += 2) {
            const int16_t word = RampWord((streamByte + i) / 2);
            std::memcpy(target + i, &word, 2);
        }
    });
}

// `words` ramp words in order in `heard`, from the first place the ramp starts.
::testing::AssertionResult HoldsRamp(const std::vector<int16_t>& heard, uint64_t words, size_t* start = nullptr) {
    const size_t from = static_cast<size_t>(std::find(heard.begin(), heard.end(), RampWord(0)) - heard.begin());
    if (start != nullptr) *start = from;
    if (from + words > heard.size()) return ::testing::AssertionFailure() << "the ramp never came back whole";
    for (uint64_t i = 0; i < words; ++i) {
        if (heard[from + i] != RampWord(i)) return ::testing::AssertionFailure() << "word " << i << " is " << heard[from + i];
    }
    return ::testing::AssertionSuccess();
}

// A service with more devices than hosts can number: 17, whose ids begin with their number + 1.
struct ManyDevices final : pa::IAudioService {
    pa::DsResult EnumerateCapture(std::vector<pa::DeviceDescription>* d) override { return List(d); }
    pa::DsResult EnumeratePlayback(std::vector<pa::DeviceDescription>* d) override { return List(d); }
    pa::DsResult CreateCapture(const pa::DeviceGuid*, std::unique_ptr<pa::ICaptureDevice>*) override { return kNone; }
    pa::DsResult CreatePlayback(const pa::DeviceGuid*, std::unique_ptr<pa::IPlaybackDevice>*) override { return kNone; }
    pa::DsResult CreateFullDuplex(const pa::DeviceGuid*, const pa::DeviceGuid*, const pa::CaptureBufferDesc&,
                                  const pa::PlaybackBufferDesc&, pa::OwnerHandle, uint32_t, std::unique_ptr<pa::IFullDuplex>*,
                                  std::unique_ptr<pa::ICaptureBuffer>*, std::unique_ptr<pa::IPlaybackBuffer>*) override { return kNone; }
    static pa::DsResult List(std::vector<pa::DeviceDescription>* devices) {
        devices->clear();
        for (int i = 0; i < 17; ++i) devices->push_back({"device " + std::to_string(i), {{static_cast<uint8_t>(i + 1)}}});
        return pa::kDsOk;
    }
    static constexpr pa::DsResult kNone = pa::kDsErrNoDriver;
};

// 17 devices: the components keep the first 16 and number them from 0.
TEST(DSoundDevices, ListTheServicesDevicesUpToSixteenAndRefuseOtherNumbers) {
    test::VirtualPlatform platform;
    ManyDevices many;
    platform::Services services{};
    services.audio = &many;
    platform::ScopedPlatform scope(services);
    for (const Side& side : kSides) {
        SCOPED_TRACE(side.component);
        auto io = test::Make(side.component);
        EXPECT_EQ(test::Read(io.get(), side.count), 16);
        char name[32] = {};
        ASSERT_EQ(io->GetProperty(side.name, 15, name), kOk);
        EXPECT_STREQ(name, "device 15");
        uint8_t guid[16] = {};
        ASSERT_EQ(io->GetProperty(side.guid, 14, guid), kOk);
        EXPECT_EQ(guid[0], 15);
        for (int32_t index : {16, -1}) {
            EXPECT_EQ(io->GetProperty(side.name, index, name), kErrInvalidArg);
            EXPECT_EQ(io->GetProperty(side.guid, index, guid), kErrInvalidArg);
        }
        EXPECT_EQ(io->SetProperty(side.number, 15, nullptr), kOk);
        EXPECT_EQ(io->SetProperty(side.number, 16, nullptr), kErrInvalidArg);
        EXPECT_EQ(io->Build(), kErrPlatform);       // the device cannot be opened
        EXPECT_EQ(io->Start(), kErrState);
    }
}

// A device buffer of 6400 bytes (the default 200 ms at 16 kHz mono: 80 blocks of 40 samples),
// wrapped in a spy and handed to the component.
void HandOverSpy(test::VirtualSound& sound, const Side& side, IAudioIO* io, test::BufferLog* log) {
    if (side.capture) {
        auto inner = test::CaptureBuffer(sound.audio, 6400);
        ASSERT_EQ(io->SetProperty(side.handOver, 0, new test::SpyCaptureBuffer(std::move(inner), log)), kOk);
        return;
    }
    std::unique_ptr<pa::IPlaybackDevice> device;
    ASSERT_EQ(sound.audio.CreatePlayback(nullptr, &device), pa::kDsOk);
    ASSERT_EQ(device->SetCooperativeLevel(1, pa::kCooperativePriority), pa::kDsOk);
    pa::PlaybackBufferDesc desc;
    desc.bufferBytes = 6400;
    desc.hasFormat = true;
    desc.format = test::kMono16k;
    std::unique_ptr<pa::IPlaybackBuffer> inner;
    ASSERT_EQ(device->CreateSoundBuffer(desc, &inner), pa::kDsOk);
    ASSERT_EQ(io->SetProperty(side.handOver, 0, new test::SpyPlaybackBuffer(std::move(inner), log)), kOk);
}

TEST(DSoundDevices, RingLayoutNotificationsAndTheBlockWalkAcrossLapsAndRestarts) {
    for (const Side& side : kSides) {
        SCOPED_TRACE(side.component);
        test::VirtualSound sound;
        InstallRamp(sound.audio);
        test::BufferLog log;
        auto io = test::Make(side.component);
        HandOverSpy(sound, side, io.get(), &log);
        ASSERT_EQ(io->Build(), kOk);
        // A capture block notifies two bytes before its end; a playback block two bytes before
        // the end of the block after it, when it has been played and may be written again.
        ASSERT_EQ(log.notifications.size(), 81u);
        for (uint32_t i = 0; i < 80; ++i) {
            EXPECT_EQ(log.notifications[i].offset, side.capture ? 80 * i + 78 : (80 * (i + 2) - 2) % 6400) << i;
        }
        EXPECT_EQ(log.notifications[80].offset, pa::kNotifyOffsetStop);
        // Playback fills the whole ring with silence once, at Build.
        const size_t built = side.capture ? 0 : 1;
        ASSERT_EQ(log.lockOffsets.size(), built);
        EXPECT_TRUE(side.capture || log.lockBytes[0] == 6400u);

        ASSERT_EQ(io->Start(), kOk);
        std::vector<int16_t> block(40, 1);
        for (int i = 0; i < 82; ++i) ASSERT_EQ(Move(side, io.get(), block.data(), 80), 80) << i;
        ASSERT_EQ(io->Stop(), kOk);
        sound.platform.time.SleepMs(1000);  // a stopped device moves nothing meanwhile
        ASSERT_EQ(io->Start(), kOk);
        ASSERT_EQ(Move(side, io.get(), block.data(), 80), 80);
        ASSERT_EQ(log.lockOffsets.size(), built + 83);
        for (uint32_t i = 0; i < 82; ++i) EXPECT_EQ(log.lockOffsets[built + i], (i % 80) * 80) << i;
        // A restarted capture carries on with the next block of the stream; a restarted
        // playback writes from the head of the ring again.
        EXPECT_EQ(log.lockOffsets[built + 82], side.capture ? 160u : 0u);
        EXPECT_TRUE(!side.capture || block[0] == RampWord(82 * 40)) << block[0];
        // A handed-over buffer serves one Build: the next opens the numbered device.
        ASSERT_TRUE(io->Build() == kOk && io->Start() == kOk);
        ASSERT_EQ(Move(side, io.get(), block.data(), 80), 80);
        EXPECT_EQ(log.lockOffsets.size(), built + 83);
    }
}

// The device's ring and the component's ring must agree byte for byte: a wrong buffer size or
// block order breaks the ramp after the first lap, a wrong clear rule overwrites audio before
// it is played or makes the call time out.
TEST(DSoundDevices, EveryBlockOnceInOrderAcrossLapsPacedByTheDevice) {
    // Bits and channels travel as 32-bit values; the format takes their low 16 bits.
    struct Layout { int32_t rate, bits, channels, blockSamples, bufferMs; uint32_t bufferBytes, blockBytes; int blocks; };
    const Layout layouts[] = {
        {16000, 16, 1, 40, 200, 6400, 80, 300},             // N 80
        {44100, 16, 2, 1024, 100, 20480, 4096, 20},         // 17640 rounded up to 20480, N 5
        {8000, 16, 1, 80, 30, 480, 160, 40},                // N 3: one block of 10 ms per poll sleep
        {8000, 0x10008, 0x70002, 100, 90, 1600, 200, 40},  // 8 bits x 2: 1440 rounded up to 8 blocks
    };
    for (const Layout& c : layouts) {
        for (const Side& side : kSides) {
            SCOPED_TRACE(std::string(side.component) + " at " + std::to_string(c.rate));
            test::VirtualSound sound;
            InstallRamp(sound.audio);
            sound.audio.SetLoopback(false);
            std::vector<int16_t> played;
            sound.TapPlayback(&played);
            auto io = test::Running(side.component, {{"SamplesPerSec", c.rate}, {"BitsPerSample", c.bits}, {"Channels", c.channels},
                                            {"BlockSamples", c.blockSamples}, {side.bufferTime, c.bufferMs}}, false);
            ASSERT_EQ(io->Build(), kOk);
            EXPECT_EQ(sound.audio.LastBufferBytes(), c.bufferBytes);
            const int32_t blockBytes = test::Read(io.get(), "NotifySize");
            ASSERT_EQ(blockBytes, static_cast<int32_t>(c.blockBytes));
            ASSERT_EQ(io->Start(), kOk);
            const uint32_t startMs = sound.platform.time.NowMs();
            std::vector<int16_t> block(blockBytes / 2), captured;
            uint64_t word = 0;
            for (int b = 0; b < c.blocks; ++b) {
                for (auto& w : block) w = side.capture ? 0 : RampWord(word++);
                ASSERT_EQ(Move(side, io.get(), block.data(), blockBytes), blockBytes) << "block " << b;
                if (side.capture) captured.insert(captured.end(), block.begin(), block.end());
            }
            // Either way a block waits for the device: the blocks took their own duration, plus
            // at most one poll.
            const double audioMs = 1000.0 * c.blocks * c.blockSamples / c.rate;
            const double tookMs = sound.platform.time.NowMs() - startMs;
            EXPECT_GE(tookMs, audioMs - 1);
            EXPECT_LE(tookMs, audioMs + 1000.0 * c.blockSamples / c.rate + 1);
            if (side.capture) {
                size_t start = 0;
                EXPECT_TRUE(HoldsRamp(captured, captured.size(), &start));
                EXPECT_EQ(start, 0u);
                continue;
            }
            sound.platform.time.SleepMs(2 * c.bufferMs + 100);  // let the device play what is queued
            sound.audio.Pump();
            ASSERT_EQ(io->Stop(), kOk);
            EXPECT_TRUE(HoldsRamp(played, word));
        }
    }
}

// Faults injected after one good block; the call after the fault is cleared must deliver the
// very block that failed, with nothing counted meanwhile and nothing allocated.
TEST(DSoundDevices, StalledOrFailingDevicesGiveTheirCodesAndTheBlockIsTriedAgain) {
    // `tookMs`: the virtual time the failing call takes; -1 where it is not fixed.
    struct Fault { const char* what; std::function<void(VirtualAudioService&)> inject; int32_t code; int tookMs; };
    const Fault faults[] = {
        // Three polls of one block (2 ms) each.
        {"cursors that never move", [](VirtualAudioService& a) { a.SetCursorsStalled(true); }, kErrTimeout, 6},
        // Cursors reported together: the device is not moving; two passes of buffer time + poll.
        {"cursors that report a stopped device",
         [](VirtualAudioService& a) { a.SetCursorsStalled(true), a.SetCursorsReportStopped(true); }, kErrTimeout,
         2 * (200 + 2)},
        {"a failing cursor read", [](VirtualAudioService& a) { a.FailNext(Op::kGetCurrentPosition, pa::kDsErrNoDriver); },
         kErrPlatform, 0},
        {"a failing lock", [](VirtualAudioService& a) { a.FailNext(Op::kLock, pa::kDsErrInvalidParam); }, kErrPlatform, -1},
    };
    for (const Side& side : kSides) {
        for (const Fault& fault : faults) {
            SCOPED_TRACE(std::string(side.component) + ", " + fault.what);
            test::VirtualSound sound;
            InstallRamp(sound.audio);
            auto io = test::Make(side.component);
            ASSERT_EQ(io->Build(), kOk);
            ASSERT_EQ(io->Start(), kOk);
            std::vector<int16_t> block(40, 7);
            ASSERT_EQ(Move(side, io.get(), block.data(), 80), 80);
            fault.inject(sound.audio);
            block.assign(40, -1);
            const uint32_t before = sound.platform.time.NowMs();
            {
                test::ScopedAllocationCount allocations;
                EXPECT_EQ(Move(side, io.get(), block.data(), 80), fault.code);
                EXPECT_EQ(allocations.count(), 0u);
            }
            EXPECT_TRUE(fault.tookMs < 0 || sound.platform.time.NowMs() - before == uint32_t(fault.tookMs)) << before;
            EXPECT_TRUE(!side.capture || block[0] == -1) << "copied " << block[0];
            EXPECT_EQ(test::Read(io.get(), side.total), 80);
            sound.audio.SetCursorsReportStopped(false);
            sound.audio.SetCursorsStalled(false);
            ASSERT_EQ(Move(side, io.get(), block.data(), 80), 80);
            EXPECT_TRUE(!side.capture || block[0] == RampWord(40)) << block[0];
            EXPECT_EQ(test::Read(io.get(), side.total), 160);
        }
    }
}

TEST(DSoundDevices, FailedStartStopOrBuildStepsKeepTheirState) {
    for (const Side& side : kSides) {
        SCOPED_TRACE(side.component);
        test::VirtualSound sound;
        InstallRamp(sound.audio);
        auto io = test::Make(side.component);
        std::vector<Op> steps = {Op::kCreateDevice, Op::kCreateBuffer, Op::kSetNotificationPositions};
        if (!side.capture) steps.insert(steps.end(), {Op::kSetCooperativeLevel, Op::kSetFormat, Op::kLock, Op::kUnlock});
        for (Op op : steps) {
            sound.audio.FailNext(op, pa::kDsErrFail);
            EXPECT_EQ(io->Build(), kErrPlatform) << static_cast<int>(op);
            EXPECT_EQ(io->Start(), kErrState);
        }
        // A zero block or a ring without one whole block does not open.
        for (const char* zeroed : {"BlockSamples", side.bufferTime}) {
            ASSERT_EQ(io->SetProperty(zeroed, 0, nullptr), kOk);
            EXPECT_EQ(io->Build(), kErrPlatform) << zeroed;
            EXPECT_EQ(io->Start(), kErrState);
            ASSERT_EQ(io->SetProperty(zeroed, zeroed == side.bufferTime ? 200 : 40, nullptr), kOk);
        }
        ASSERT_EQ(io->Build(), kOk);
        std::vector<uint8_t> block(80);
        sound.audio.FailNext(side.start, pa::kDsErrFail);
        EXPECT_EQ(io->Start(), kErrPlatform);
        EXPECT_EQ(Move(side, io.get(), block.data(), 80), kErrState);  // still built
        ASSERT_EQ(io->Start(), kOk);
        sound.audio.FailNext(Op::kStop, pa::kDsErrFail);
        EXPECT_EQ(io->Stop(), kErrPlatform);
        EXPECT_EQ(Move(side, io.get(), block.data(), 80), 80);  // still running
        // Capture takes no block smaller than its own, playback no empty one; capture takes a
        // larger one once it is captured, but its ring still moves by one block.
        for (int32_t bytes : {0, side.capture ? 79 : 0}) EXPECT_EQ(Move(side, io.get(), block.data(), bytes), kErrInvalidArg);
        EXPECT_EQ(Move(side, io.get(), block.data(), 10), side.capture ? kErrInvalidArg : 10);
        sound.platform.time.SleepMs(50);
        std::vector<uint8_t> two(160);
        EXPECT_EQ(Move(side, io.get(), two.data(), 160), 160);
        ASSERT_EQ(Move(side, io.get(), block.data(), 80), 80);
        EXPECT_TRUE(!side.capture || std::equal(block.begin(), block.end(), two.begin() + 80));
        ASSERT_EQ(io->Build(), kOk);  // from running
        // A failed rebuild leaves it Created and keeps what the last Build reported.
        ASSERT_EQ(io->SetProperty("SamplesPerSec", 8000, nullptr), kOk);
        ASSERT_EQ(io->SetProperty("BlockSamples", 160, nullptr), kOk);
        sound.audio.FailNext(Op::kCreateBuffer, pa::kDsErrAllocated);
        EXPECT_EQ(io->Build(), kErrPlatform);
        EXPECT_EQ(io->Start(), kErrState);
        WAVEFORMATEX wfx;
        ASSERT_EQ(io->GetProperty("WaveFormat", 0, &wfx), kOk);
        EXPECT_EQ(wfx.nSamplesPerSec * 1000 + test::Read(io.get(), "NotifySize"), 16000u * 1000 + 80);
        ASSERT_EQ(io->Build(), kOk);
        ASSERT_EQ(io->GetProperty("WaveFormat", 0, &wfx), kOk);
        EXPECT_EQ(wfx.nSamplesPerSec * 1000 + test::Read(io.get(), "NotifySize"), 8000u * 1000 + 320);
    }
}

TEST(DSoundDevices, ClearBlockRulesWithAndWithoutWrap) {
    test::VirtualSound sound;
    CDSoundAudioIn in;
    // Cursor A and B: capture and read cursor, or play and write cursor.
    struct Case { bool capture; uint32_t offset, cursorA, cursorB; bool clear; };
    const Case cases[] = {
        // Capture, no wrap: [read, capture) is being filled.
        {true, 100, 100, 50, false}, {true, 101, 100, 50, true}, {true, 30, 100, 50, true}, {true, 31, 100, 50, false},
        // Capture, wrapped: [read, end) and [0, capture) are being filled.
        {true, 100, 100, 200, true}, {true, 99, 100, 200, false}, {true, 190, 100, 200, false},
        // Playback, no wrap: the device owns [play, write).
        {false, 0, 100, 300, true}, {false, 80, 100, 300, false}, {false, 300, 100, 300, true}, {false, 240, 100, 300, false},
        // Playback, wrapped: the device owns [play, end) and [0, write).
        {false, 160, 300, 100, true}, {false, 80, 300, 100, false}, {false, 240, 300, 100, false},
    };
    for (const Case& c : cases) {
        const uint32_t bytes = c.capture ? 20 : 80;
        const bool clear = c.capture ? in.IsBlockClear(c.offset, bytes, c.cursorA, c.cursorB) != 0
                                     : CDSoundAudioOut::IsBlockClear(c.offset, bytes, c.cursorA, c.cursorB);
        EXPECT_EQ(clear, c.clear) << (c.capture ? "capture " : "playback ") << c.offset << " with " << c.cursorA << ", "
                                  << c.cursorB;
    }
}

// A buffer made with both effects, handed over.  While capturing only the switches are taken.
// DSoundAudioIn applies its noise suppression switch (off until enabled) at Start and whenever
// it is set, and only remembers echo cancellation's; DSoundAudioIn2 applies nothing at Start,
// brings both effects in line whenever either switch is set while capturing, and leaves them
// alone while stopped.
TEST(DSoundDevices, EffectsOfAHandedOverBufferFollowTheSwitches) {
    struct Step { const char* name; int32_t value, result; bool echoCancellation, noiseSuppression; };
    // Steps while capturing, then one after Stop.
    struct Row { const char* component; bool noiseSuppressionAtStart; std::vector<Step> steps; Step stopped; };
    const Row rows[] = {
        {"DSoundAudioIn", false,
         {{"EnableEffect", 1, kOk, true, true}, {"DisableEffect", 0, kOk, true, true},
          {"EnableEffect", 2, kErrInvalidArg, true, true}, {"EnableEffect", -1, kErrInvalidArg, true, true},
          {"SamplesPerSec", 8000, kErrState, true, true}},
         {"DisableEffect", 1, kOk, true, true}},
        {"DSoundAudioIn2", true,
         {{"EnableEffect", 1, kOk, false, true}, {"DisableEffect", 1, kOk, false, false},
          {"EnableEffect", 0, kOk, true, false}, {"EnableEffect", 2, kErrInvalidArg, true, false},
          {"SamplesPerSec", 8000, kErrState, true, false}, {"NoSuchName", 0, kErrState, true, false}},
         {"DisableEffect", 0, kOk, true, false}},
    };
    for (const Row& row : rows) {
        test::VirtualSound sound;
        auto made = test::CaptureBuffer(sound.audio, 25600, /*effects=*/true);  // 800 ms
        pa::ICaptureBuffer* buffer = made.get();
        auto io = test::Running(row.component, {{"BlockSamples", 160}, {"InBufferTime", 200}}, false);
        ASSERT_EQ(io->SetProperty("DSCaptureBuffer", 0, made.release()), kOk);
        ASSERT_EQ(io->Build(), kOk);
        ASSERT_EQ(io->Start(), kOk);
        EXPECT_TRUE(test::EffectOn(buffer, pa::CaptureEffect::kEchoCancellation)) << row.component;
        EXPECT_EQ(test::EffectOn(buffer, pa::CaptureEffect::kNoiseSuppression), row.noiseSuppressionAtStart) << row.component;
        auto check = [&](const Step& s) {
            SCOPED_TRACE(testing::Message() << row.component << " " << s.name << " " << s.value);
            EXPECT_EQ(io->SetProperty(s.name, s.value, nullptr), s.result);
            EXPECT_EQ(test::EffectOn(buffer, pa::CaptureEffect::kEchoCancellation), s.echoCancellation);
            EXPECT_EQ(test::EffectOn(buffer, pa::CaptureEffect::kNoiseSuppression), s.noiseSuppression);
        };
        std::vector<int16_t> block(160);
        for (const Step& s : row.steps) {
            check(s);
            EXPECT_EQ(io->GetData(block.data(), 320), 320);
        }
        ASSERT_EQ(io->Stop(), kOk);
        check(row.stopped);
    }
}

TEST(DSoundAudioOut, OpensASilentLoopingBufferAndALostOneFailsEveryWriteUntilTheNextBuild) {
    for (uint16_t bits : {uint16_t{16}, uint16_t{8}}) {
        test::VirtualSound sound;
        std::vector<int16_t> played;
        sound.TapPlayback(&played);
        auto io = test::Running("DSoundAudioOut", {{"BitsPerSample", bits}}, false);
        ASSERT_EQ(io->Build(), kOk);
        ASSERT_EQ(io->Start(), kOk);
        sound.platform.time.SleepMs(450);  // more than two laps of the buffer, nothing written
        ASSERT_EQ(io->Stop(), kOk);
        ASSERT_EQ(played.size(), 450u * 8 * bits / 8);
        const int16_t silence = bits == 16 ? 0 : int16_t(0x8080);
        for (size_t i = 0; i < played.size(); ++i) ASSERT_EQ(played[i], silence) << bits << " at " << i;
        // A lost buffer is not restored by this component.
        const int32_t blockBytes = 40 * bits / 8;
        std::vector<uint8_t> block(size_t(blockBytes), 7);
        ASSERT_TRUE(io->Build() == kOk && io->Start() == kOk);
        ASSERT_EQ(io->PutData(block.data(), blockBytes), blockBytes);
        sound.audio.LoseBuffers();
        for (int i = 0; i < 2; ++i) EXPECT_EQ(io->PutData(block.data(), blockBytes), kErrPlatform);
        ASSERT_TRUE(io->Build() == kOk && io->Start() == kOk);
        EXPECT_EQ(io->PutData(block.data(), blockBytes), blockBytes);
    }
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

// ---------------------------------------------------------------------------------------------
// Both together on the virtual device: what one plays, the other captures.

// The arrangement hosts use: capture and playback on threads of their own, sharing one device
// world (and, in a ThreadSanitizer build, checked for races).  Each thread's waits move the
// shared virtual clock, so the two drift against each other: every call must still give a
// whole block or the time-out code, and the ramp must come back.
TEST(DSoundLoopback, CaptureAndPlaybackOnTwoThreads) {
    test::VirtualSound sound;
    auto out = test::Make("DSoundAudioOut");
    auto in = test::Make("DSoundAudioIn");
    for (IAudioIO* io : {out.get(), in.get()}) ASSERT_EQ(io->Build(), kOk);
    for (IAudioIO* io : {out.get(), in.get()}) ASSERT_EQ(io->Start(), kOk);
    std::atomic<int> badResults{0};
    std::atomic<bool> played{false};
    std::thread player([&, playback = out.get()] {
        std::vector<int16_t> block(40);
        uint64_t word = 0;
        for (int b = 0; b < 400; ++b) {
            for (auto& w : block) w = RampWord(word++);
            const int32_t r = playback->PutData(block.data(), 80);
            if (r != 80 && r != kErrTimeout) ++badResults;
        }
        played = true;
    });
    std::vector<int16_t> heard, block(40);
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
