// The sound-device layer itself, on the virtual device: two-part locks at the wrap, lock
// checks, lost buffers, injected failures, cooperative level, the helper that sets events on a
// real clock, and position notifications waking a thread that waits for them in virtual time
// with nobody polling the cursors (in auto-advance mode the waiter's clock jumps to the moment
// the cursor passes the position; in manual mode the test's Advance past that moment wakes it).
// Full-duplex pairs: capture_effects_test.cpp.  Then the core the device components share.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "devices/DeviceProperties.h"
#include "devices/DeviceRing.h"
#include "devices/WaveOrder.h"
#include "platform/audio/AudioDevice.h"
#include "platform/audio/WaveDevices.h"
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

TEST(VirtualNotifications, AWaiterWakesWhenTheCursorPassesItsBlock) {
    test::VirtualSound sound(/*autoAdvance=*/true);
    Capture capture = MakeCapture(sound);
    ASSERT_EQ(capture.buffer->Start(pa::kCaptureStartLooping), pa::kDsOk);
    std::vector<int64_t> wokenAtUs;
    std::vector<size_t> which;
    platform::IEvent* events[] = {capture.events[0].get(), capture.events[1].get()};
    for (int block = 0; block < 4; ++block) {
        size_t index = 99;
        if (sound.platform.time.WaitAny(events, 2, 1000, &index) != platform::WaitResult::kSignaled) break;
        wokenAtUs.push_back(sound.platform.time.NowUs());
        which.push_back(index);
    }
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

// ---------------------------------------------------------------------------------------------
// The core the sound-device endpoints share: each component's answer to every name of the
// shared table, the ring arithmetic against a straight 64-bit computation, the two kinds of
// notification events, the one-block copy across the buffer's end, and the waveIn / waveOut
// view of the devices whose numbering the second-generation components take.

// The names each component takes while created; while running only `anyState` are taken and
// every other name, unknown ones included, is refused with the state code.
struct Side {
    const char* component;
    std::map<std::string, int32_t> settings;  // name -> its default
    std::set<std::string> anyState;
};
const Side kSides[] = {
    {"DSoundAudioIn",
     {{"SamplesPerSec", 16000}, {"BitsPerSample", 16}, {"Channels", 1}, {"BlockSamples", 40}, {"InBufferTime", 200},
      {"TimeOut", 1000}, {"InDeviceNo", -1}, {"EnableEffect", 1}, {"DisableEffect", 1}, {"DSCaptureBuffer", 0}},
     {"EnableEffect", "DisableEffect"}},
    {"DSoundAudioOut",
     {{"SamplesPerSec", 16000}, {"BitsPerSample", 16}, {"Channels", 1}, {"BlockSamples", 40}, {"OutBufferTime", 200},
      {"TimeOut", 1000}, {"OutDeviceNo", -1}, {"DSPlayBuffer", 0}, {"hWnd", 0}},
     {}},
};

// Every name of the shared table is set: a setting to its default, any other name to 7, so a
// name that reaches a setting it should not shows in the ring the next Build makes.
TEST(DeviceEndpoint, EveryNameOfTheSharedTableIsTakenOrIgnoredAndRunningOnlySomeAreTaken) {
    for (const Side& side : kSides) {
        SCOPED_TRACE(side.component);
        test::VirtualSound sound;
        auto io = test::Make(side.component);
        std::vector<std::string> names = {"NoSuchName"};
        for (const DevicePropertyName& entry : kDevicePropertyNames) names.push_back(entry.name);
        const auto value = [&](const std::string& name) {
            const auto found = side.settings.find(name);
            return found != side.settings.end() ? found->second : 7;
        };
        for (const std::string& name : names) EXPECT_EQ(io->SetProperty(name.c_str(), value(name), nullptr), kOk) << name;
        ASSERT_EQ(io->Build(), kOk);
        EXPECT_EQ(sound.audio.LastBufferBytes(), 6400u);
        ASSERT_EQ(io->Start(), kOk);
        for (const std::string& name : names) {
            EXPECT_EQ(io->SetProperty(name.c_str(), value(name), nullptr), side.anyState.count(name) ? kOk : kErrState)
                << "running, " << name;
        }
        EXPECT_EQ(io->Stop(), kOk);
        for (const auto& [name, v] : side.settings) EXPECT_EQ(io->SetProperty(name.c_str(), v, nullptr), kOk) << name;
    }
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
                        EXPECT_TRUE(planned.blockBytes == expected.blockBytes && planned.bufferBytes == expected.bufferBytes &&
                                    planned.blockCount == expected.blockCount);
                    }
                }
            }
        }
    }
    EXPECT_GT(opened, 100);
}

// Per block with a stop position and manual reset (a set event stays set for every waiter), or
// one event shared by every position with auto reset (one set releases one wait).
TEST(DeviceRing, NotificationsEitherPerBlockWithStopOrOneSharedAutoResetEvent) {
    platform::VirtualTimeService time(/*autoAdvance=*/false);
    for (const NotifyEvents kind : {NotifyEvents::kPerBlockAndStop, NotifyEvents::kOneShared}) {
        const bool perBlock = kind == NotifyEvents::kPerBlockAndStop;
        BlockNotifications made;
        ASSERT_EQ(MakeBlockNotifications(time, 4, kind, [](uint32_t i) { return 100 * i + 98; }, &made), pa::kDsOk);
        ASSERT_EQ(made.events.size(), perBlock ? 5u : 1u);
        ASSERT_EQ(made.table.size(), perBlock ? 5u : 4u);
        for (uint32_t i = 0; i < made.table.size(); ++i) {
            EXPECT_EQ(made.table[i].offset, i < 4 ? 100 * i + 98 : pa::kNotifyOffsetStop) << i;
            EXPECT_EQ(made.table[i].event, made.events[perBlock ? i : 0].get()) << i;
        }
        made.events.back()->Set();
        EXPECT_EQ(made.events.back()->Wait(0), platform::WaitResult::kSignaled);
        EXPECT_EQ(made.events.back()->Wait(0), perBlock ? platform::WaitResult::kSignaled : platform::WaitResult::kTimedOut);
        EXPECT_EQ(made.events.front()->Wait(0), platform::WaitResult::kTimedOut);  // another event, or the set spent
    }
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

// ---------------------------------------------------------------------------------------------
// The waveIn / waveOut view.

// A service's default view lists its devices in its order, names cut to 31 characters; the
// list takes the multimedia order only when every device is found there.
TEST(WaveDevices, ServiceViewAndTheMultimediaOrderTakenOnlyWhenEveryDeviceIsFound) {
    pa::VirtualAudioService virtualAudio;
    auto view = virtualAudio.OpenWaveDevices();
    pa::WaveDeviceCaps caps;
    ASSERT_EQ(view->Count(pa::WaveDirection::kIn), 1u);
    ASSERT_EQ(view->GetCaps(pa::WaveDirection::kIn, 0, &caps), pa::kWaveOk);
    EXPECT_EQ(std::string(caps.name), std::string(pa::VirtualAudioService::CaptureDescription()).substr(0, 31));
    ASSERT_EQ(view->GetCaps(pa::WaveDirection::kOut, 0, &caps), pa::kWaveOk);
    EXPECT_STREQ(caps.name, pa::VirtualAudioService::PlaybackDescription());
    EXPECT_EQ(view->GetCaps(pa::WaveDirection::kOut, 1, &caps), pa::kWaveErrBadDeviceId);
    EXPECT_EQ(view->GetCaps(pa::WaveDirection::kIn, 0, nullptr), pa::kWaveErrInvalidParam);

    const std::string a = "Monitor of Built-in Audio Analog Stereo";
    const std::string b = "Monitor of Built-in Audio Digital Stereo (HDMI)";  // both longer than 31
    struct Case {
        const char* what;
        std::vector<std::string> listed;  // descriptions in enumeration order
        std::vector<std::string> wave;    // multimedia names (cut to 31 by the view)
        bool reordered;
        std::vector<std::string> expected;  // "" is a position without a device
    };
    const Case cases[] = {
        {"same order", {"Mic", "Line"}, {"Mic", "Line"}, true, {"Mic", "Line"}},
        {"reversed", {"Mic", "Line", "USB"}, {"USB", "Line", "Mic"}, true, {"USB", "Line", "Mic"}},
        {"long names found by 31 characters", {a, b}, {b, a}, true, {b, a}},
        {"one device not found", {"Mic", "Line"}, {"Line", "Other"}, false, {"Mic", "Line"}},
        {"fewer multimedia devices", {"Mic", "Line"}, {"Line"}, false, {"Mic", "Line"}},
        {"no multimedia devices", {"Mic"}, {}, false, {"Mic"}},
        {"an extra multimedia device leaves a hole", {"Mic", "Line"}, {"Other", "Line", "Mic"}, true, {"", "Line"}},
        {"a short name takes the first entry it begins", {"Mic 2", "Mic"}, {"Mic", "Mic 2"}, true, {"Mic 2", "Mic 2"}},
        {"an empty description is passed over", {"", "Mic"}, {"", "Mic"}, true, {"Mic", "Mic"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<pa::DeviceDescription> devices;
        for (std::size_t i = 0; i < c.listed.size(); ++i) {
            pa::DeviceDescription d{c.listed[i], {}};
            d.guid.bytes[0] = static_cast<uint8_t>(i + 1);  // each id follows its description
            devices.push_back(d);
        }
        auto wave = pa::MakeWaveDevices(c.wave, {});
        EXPECT_EQ(ArrangeInWaveOrder(*wave, pa::WaveDirection::kIn, &devices), c.reordered);
        ASSERT_EQ(devices.size(), c.expected.size());
        for (std::size_t i = 0; i < devices.size(); ++i) {
            EXPECT_EQ(devices[i].description, c.expected[i]) << "position " << i;
            const auto listed = std::find(c.listed.begin(), c.listed.end(), c.expected[i]) - c.listed.begin();
            EXPECT_EQ(devices[i].guid.bytes[0], c.expected[i].empty() ? 0 : int(listed) + 1) << "position " << i;
        }
        // The other direction of the same view is empty here: nothing is found there.
        EXPECT_FALSE(ArrangeInWaveOrder(*wave, pa::WaveDirection::kOut, &devices));
    }
}

}  // namespace
}  // namespace zelmar
