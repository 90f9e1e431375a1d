// The core the sound-device endpoints share: each component's answer to every name of the
// shared table, the ring arithmetic against a straight 64-bit computation, the two kinds of
// notification events, the one-block copy across the buffer's end, and the waveIn / waveOut
// view of the devices whose numbering the second-generation components take.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "devices/DeviceProperties.h"
#include "devices/DeviceRing.h"
#include "devices/WaveOrder.h"
#include "platform/audio/WaveDevices.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;

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

// The default view of a service: its devices in its order, names cut to 31 characters.
TEST(WaveDevices, AServiceListsItsDevicesWithNamesCutToThirtyOneCharacters) {
    pa::VirtualAudioService virtualAudio;
    auto wave = virtualAudio.OpenWaveDevices();
    pa::WaveDeviceCaps caps;
    ASSERT_EQ(wave->Count(pa::WaveDirection::kIn), 1u);
    ASSERT_EQ(wave->GetCaps(pa::WaveDirection::kIn, 0, &caps), pa::kWaveOk);
    EXPECT_EQ(std::string(caps.name), std::string(pa::VirtualAudioService::CaptureDescription()).substr(0, 31));
    ASSERT_EQ(wave->GetCaps(pa::WaveDirection::kOut, 0, &caps), pa::kWaveOk);
    EXPECT_STREQ(caps.name, pa::VirtualAudioService::PlaybackDescription());
    EXPECT_EQ(wave->GetCaps(pa::WaveDirection::kOut, 1, &caps), pa::kWaveErrBadDeviceId);
    EXPECT_EQ(wave->GetCaps(pa::WaveDirection::kIn, 0, nullptr), pa::kWaveErrInvalidParam);
}

TEST(WaveDevices, ListTakesTheMultimediaOrderOnlyWhenEveryDeviceIsFound) {
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
            uint8_t id = 0;
            for (std::size_t j = 0; j < c.listed.size(); ++j) {
                if (!c.expected[i].empty() && c.listed[j] == c.expected[i]) {
                    id = static_cast<uint8_t>(j + 1);
                    break;
                }
            }
            EXPECT_EQ(devices[i].guid.bytes[0], id) << "position " << i;
        }
        // The other direction of the same view is empty here: nothing is found there.
        EXPECT_FALSE(ArrangeInWaveOrder(*wave, pa::WaveDirection::kOut, &devices));
    }
}

}  // namespace
}  // namespace zelmar
