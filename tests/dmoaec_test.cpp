// "DMOAECAudioIn" over the voice-capture object on the virtual device: the property-store
// writes Build and the first read make, effect switches, endpoint names, faults and odd read
// sizes.  Echo cancellation and noise suppression: dmoaec_quality_test.cpp; a PulseAudio
// monitor captured: tests/cli/echo_test_cli_test.sh.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/Devices.h"
#include "support/VirtualSound.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;

constexpr int32_t kBlockBytes = 640;  // 20 ms at 16 kHz mono

// The virtual device capturing a ramp, its loopback off, on auto-advancing time.
struct World : test::VirtualSound {
    World() {
        audio.SetLoopback(false);
        audio.SetScriptedInput([](uint64_t at, uint8_t* target, uint32_t bytes) {
            for (uint32_t i = 0; i < bytes; ++i) target[i] = static_cast<uint8_t>((at + i) * 37 / 5);
        });
    }
};

test::ComponentPtr Running(std::initializer_list<std::pair<const char*, int32_t>> settings = {}) {
    test::ComponentPtr io = test::MakeWith("DMOAECAudioIn", settings);
    EXPECT_EQ(io->Build(), 0);
    EXPECT_EQ(io->Start(), 0);
    return io;
}

// Build writes the store in its order and traces only what it changes; the first read sets
// the effects (system mode 5 without "AESValue") and, finding nothing captured, returns silence.
TEST(DMOAECAudioIn, BuildAndTheFirstReadWriteThePropertyStoreInOrder) {
    const std::vector<std::string> common = {"SetPropertyBool(0): FEATURE_MODE is    -1 \n",
                                             "SetPropertyInt(0): NS is     0(1) \n"};
    struct Case {
        std::vector<std::pair<const char*, int32_t>> settings;
        std::vector<std::string> traces;
    } cases[] = {
        {{}, {"SetPropertyInt(0): DEVICE_INDEXES is 65535(-1) \n", common[0], common[1],
              "SetPropertyBool(0): MicGainBounder is     0 \n", "GetPropertyInt(0): FrameSize is   160 \n",
              "SetPropertyInt(0): SYSTEM_MODE is     5(0) \n", "GetPropertyInt(0): AES is     0 \n",
              "ProcessOutput(1) S_FALSE, 0\n"}},
        // Render -1 and capture 0; an echo length equal to the object's own is not written.
        {{{"InDeviceNo", 0}, {"OutDeviceNo", -1}, {"AESValue", 2}, {"EchoLength", 256}},
         {"SetPropertyInt(0): DEVICE_INDEXES is -65536(-1) \n", common[0], "SetPropertyInt(0): AES is     2(0) \n",
          common[1], "SetPropertyBool(0): MicGainBounder is     0 \n",
          "GetPropertyInt(0): FrameSize is   160 \n", "GetPropertyInt(0): AES is     2 \n",
          "ProcessOutput(1) S_FALSE, 0\n"}},
        {{{"InDeviceNo", 0}, {"EchoLength", 1024}},
         {"SetPropertyInt(0): DEVICE_INDEXES is     0(-1) \n", common[0], common[1],
          "SetPropertyBool(0): MicGainBounder is     0 \n", "SetPropertyInt(0): EchoLength is  1024(256) \n",
          "GetPropertyInt(0): FrameSize is   160 \n", "SetPropertyInt(0): SYSTEM_MODE is     5(0) \n",
          "GetPropertyInt(0): AES is     0 \n", "ProcessOutput(1) S_FALSE, 0\n"}},
    };
    for (const Case& c : cases) {
        World world;
        test::ComponentPtr io = test::Make("DMOAECAudioIn");
        for (const auto& [name, value] : c.settings) ASSERT_EQ(io->SetProperty(name, value, nullptr), 0) << name;
        ASSERT_EQ(io->Build(), 0);  // a second Build makes a fresh object: the same writes again
        test::CapturedTraces traces;
        ASSERT_EQ(io->Build(), 0);
        ASSERT_EQ(io->Start(), 0);
        std::vector<uint8_t> block(kBlockBytes, 0xA5);
        ASSERT_EQ(io->GetData(block.data(), kBlockBytes), 0);
        EXPECT_EQ(traces.texts(), c.traces) << c.settings.size() << " settings";
        EXPECT_EQ(std::count(block.begin(), block.end(), 0), kBlockBytes);
        uint32_t total = 1;
        ASSERT_EQ(io->GetProperty("TotalIn", 0, &total), 0);
        EXPECT_EQ(total, 0u);
    }
}

// A switch changed while running reaches the object at the next read, which flushes it: the
// read then waits for new audio, so the stream loses what was held.
TEST(DMOAECAudioIn, AnEffectSwitchedWhileRunningIsWrittenAtTheNextRead) {
    World world;
    test::ComponentPtr io = Running();
    std::vector<uint8_t> block(kBlockBytes);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(io->GetData(block.data(), kBlockBytes), 0);
    test::CapturedTraces traces;
    ASSERT_EQ(io->SetProperty("EnableEffect", 1, nullptr), 0);
    ASSERT_EQ(io->SetProperty("InDeviceNo", 0, nullptr), static_cast<int32_t>(0x80000001u));
    EXPECT_TRUE(traces.texts().empty());
    ASSERT_EQ(io->GetData(block.data(), kBlockBytes), 0);
    EXPECT_EQ(traces.texts(), (std::vector<std::string>{"GetPropertyInt(0): AES is     0 \n",
                                                         "SetPropertyInt(0): NS is     1(0) \n"}));
}

// A multimedia view that cannot place every endpoint leaves the endpoints in their own order
// and says so, per direction: found of listed.
TEST(DMOAECAudioIn, EndpointsTheMultimediaViewCannotPlaceAreTraced) {
    const std::string capture = pa::VirtualAudioService::CaptureDescription();
    const std::string playback = pa::VirtualAudioService::PlaybackDescription();
    struct Case {
        std::vector<std::string> in, out, traces;
    };
    const Case cases[] = {
        {{capture}, {playback}, {}},
        {{"Another microphone"}, {playback}, {"In Count MisMatch: 0:1\n"}},
        {{capture}, {}, {"Out Count MisMatch: 0:1\n"}},
        {{}, {"Speakers", "Headset"}, {"In Count MisMatch: 0:1\n", "Out Count MisMatch: 0:1\n"}},
    };
    for (const Case& c : cases) {
        World world;
        world.audio.SetWaveNames(c.in, c.out);
        test::CapturedTraces traces;
        test::ComponentPtr io = test::Make("DMOAECAudioIn");
        EXPECT_EQ(traces.texts(), c.traces) << c.in.size() << " capture, " << c.out.size() << " playback names";
        EXPECT_EQ(test::Read(io.get(), "InDeviceNum"), 1);
    }
}

// Faults and bad input end in a code (and a trace where the engine has one), never a hang.
TEST(DMOAECAudioIn, FaultsAndBadInputGiveACodeNotAHang) {
    using Op = pa::VirtualAudioService::Operation;
    struct Case {
        const char* what;
        std::function<void(World&)> before;  // before Build
        std::function<void(World&, IAudioIO*)> during;  // after ten good reads
        int32_t bytes;
        int32_t expected;
        const char* trace;
    } cases[] = {
        {"no capture device", [](World& w) { w.audio.FailNext(Op::kCreateDevice, pa::kDsErrNoDriver, 1); }, nullptr,
         kBlockBytes, static_cast<int32_t>(0x80000004u), "ProcessOutput Failed"},
        {"source gone", nullptr,
         [](World& w, IAudioIO*) { w.audio.FailNext(Op::kGetCurrentPosition, pa::kDsErrNoDriver, 100000); }, kBlockBytes,
         static_cast<int32_t>(0x80000004u), "ProcessOutput Failed"},
        {"capture stalled", nullptr, [](World& w, IAudioIO*) { w.audio.SetCursorsStalled(true); }, kBlockBytes,
         static_cast<int32_t>(0x80000005u), "ProcessOutput(2) S_FALSE"},
        {"more than the staging buffer", nullptr, nullptr, 1281, static_cast<int32_t>(0x80000003u),
         "more than the staging buffer holds"},
        {"effects switched every block", nullptr,
         [](World&, IAudioIO* io) {
             std::vector<uint8_t> block(kBlockBytes);
             for (int i = 0; i < 100; ++i) {
                 ASSERT_EQ(io->SetProperty(i % 2 ? "DisableEffect" : "EnableEffect", i % 5, nullptr), 0);
                 ASSERT_EQ(io->GetData(block.data(), kBlockBytes), 0);
             }
         },
         1280, 0, "SetPropertyInt"},
    };
    for (const Case& c : cases) {
        World world;
        if (c.before) c.before(world);
        test::CapturedTraces traces;
        test::ComponentPtr io = Running();
        std::vector<uint8_t> block(2000);
        if (c.during) {
            for (int i = 0; i < 10; ++i) ASSERT_EQ(io->GetData(block.data(), kBlockBytes), 0) << c.what;
            c.during(world, io.get());
        }
        EXPECT_EQ(io->GetData(block.data(), c.bytes), c.expected) << c.what;
        const bool traced = std::any_of(traces.texts().begin(), traces.texts().end(),
                                        [&](const std::string& t) { return t.find(c.trace) != std::string::npos; });
        EXPECT_TRUE(traced) << c.what;
    }
}

// Odd byte counts cut the stream anywhere: put together, the pieces are the stream a reader
// of whole blocks gets.
TEST(DMOAECAudioIn, OddByteCountsDeliverTheSameStream) {
    std::vector<uint8_t> whole, pieces;
    for (int32_t size : {640, 333}) {
        World world;
        test::ComponentPtr io = Running({{"AESValue", 1}});
        std::vector<uint8_t>& into = size == 640 ? whole : pieces;
        std::vector<uint8_t> block(size);
        ASSERT_EQ(io->GetData(block.data(), size), 0);  // the first read after construction: silence
        while (into.size() < 64000) {
            ASSERT_EQ(io->GetData(block.data(), size), 0);
            into.insert(into.end(), block.begin(), block.end());
        }
    }
    pieces.resize(whole.size() < pieces.size() ? whole.size() : pieces.size());
    whole.resize(pieces.size());
    // Both runs start at the same moment of the same input, but the odd reader starts its
    // stream later by what it waited for; the input is a ramp, so compare from where it matches.
    const auto at = std::search(whole.begin(), whole.end(), pieces.begin(), pieces.begin() + 64);
    ASSERT_NE(at, whole.end());
    EXPECT_TRUE(std::equal(pieces.begin(), pieces.begin() + (whole.end() - at), at));
}

}  // namespace
}  // namespace zelmar
