// VolumeControlAudioFilter on a PulseAudio server of the test's own, started as
// tests/sound_server.sh starts the suite's (whose devices other tests add and remove, which
// renumbers them): two null sources, one with a long non-ASCII description, and a null sink
// whose monitor records a tone played into it, read and changed in both modes and checked with
// pactl; the volume heard in what "DSoundAudioIn" records; refused arguments and a missing
// server, with no descriptor left open.
#include <gtest/gtest.h>

#include <dirent.h>
#include <locale.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/SystemVersion.h"
#include "platform/audio/PulseAudio.h"
#include "support/PrivateSoundServer.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

constexpr int32_t kArg = ZELMAR_E_INVALIDARG, kPlatform = ZELMAR_E_PLATFORM;
constexpr int kEndpoint = 6, kLegacy = 5;

std::string Shell(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    char chunk[256];
    while (pipe != nullptr && std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
    if (pipe != nullptr) pclose(pipe);
    return output;
}

int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr) ++count;
    if (dir != nullptr) closedir(dir);
    return count;
}

std::string LongDescription() {
    std::string text = "Mikrofon \xC3\x84rger \xE9\x8C\xB2\xE9\x9F\xB3";  // "Mikrofon Ärger 録音"
    while (text.size() < 300) text += " \xE3\x83\x9E\xE3\x82\xA4\xE3\x82\xAF";  // " マイク"
    return text;
}

// A PulseAudio server of the test's own, so no other test renumbers its sources meanwhile.
std::unique_ptr<test::PrivateSoundServer> gServer;

std::string Pactl(const std::string& args) { return Shell("pactl -s '" + gServer->Address() + "' " + args); }

// The volume pactl reports for a source's first channel, and whether it is muted.
uint32_t PactlVolume(const std::string& source) {
    const std::string out = Pactl("get-source-volume " + source);
    const std::size_t colon = out.find(": ", out.find("Volume:") + 7);
    return colon == std::string::npos ? 0xFFFFFFFFu : static_cast<uint32_t>(std::stoul(out.substr(colon + 2)));
}
bool PactlMuted(const std::string& source) { return Pactl("get-source-mute " + source).find("yes") != std::string::npos; }

class VolumeControl : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        gServer = std::make_unique<test::PrivateSoundServer>(sink_, "VolumeSink");
        if (!(startError_ = gServer->Start()).empty()) return;
        for (const std::string& args : {"module-null-source source_name=" + quiet_ + " description=VolumeQuiet",
                                        "module-null-source source_name=" + wide_ + " 'description=\"" + LongDescription() + "\"'"}) {
            if (std::atoi(Pactl("load-module " + args).c_str()) <= 0) startError_ = "cannot load " + args;
        }
    }
    static void TearDownTestSuite() { gServer.reset(); }
    void SetUp() override {
        if (!startError_.empty()) GTEST_SKIP() << "no sound server: " << startError_;
        endpoints_ = platform::CreatePulseEndpointVolume(gServer->Address());
        mixer_ = platform::CreateAlsaInputMixer(gServer->Address());
        audio_ = platform::audio::CreatePulseAudioService(gServer->Address());
        platform::Services services{};
        services.endpoints = endpoints_.get(), services.inputMixer = mixer_.get(), services.audio = audio_.get();
        scope_ = std::make_unique<platform::ScopedPlatform>(services);
    }

    static test::ComponentPtr Make(int major) {
        platform::ScopedMajorVersion version(major);
        return test::Make("VolumeControlAudioFilter");
    }
    // The component's number for `source`: its place in the server's list, as pactl lists it.
    static int32_t Number(const std::string& source) {
        std::istringstream list(Pactl("list short sources"));
        std::string line;
        for (int32_t n = 0; std::getline(list, line); ++n) {
            if (line.find("\t" + source + "\t") != std::string::npos) return n;
        }
        return -1;
    }

    static inline std::string startError_, quiet_ = "zelmar_volume_quiet", wide_ = "zelmar_volume_wide",
                              sink_ = "zelmar_volume_sink";
    std::unique_ptr<platform::IEndpointVolume> endpoints_;
    std::unique_ptr<platform::IInputMixer> mixer_;
    std::unique_ptr<platform::audio::IAudioService> audio_;
    std::unique_ptr<platform::ScopedPlatform> scope_;
};

std::string Name(IAudioIO* io, int32_t index, int32_t* result) {
    char name[255];
    std::memset(name, 0x7F, sizeof name);
    *result = io->GetProperty("InDeviceName", index, name);
    return std::string(name, strnlen(name, sizeof name));
}

TEST_F(VolumeControl, CountNamesAndNumbersAreTheCaptureDevicesOfTheServer) {
    const int32_t sources = std::atoi(Pactl("list short sources | wc -l").c_str());
    test::ComponentPtr capture = test::Make("DSoundAudioIn");
    const char* locale = setlocale(LC_ALL, "C.UTF-8");
    ASSERT_NE(locale, nullptr);
    const std::string utf8(locale);
    const bool japanese = [] {
        const locale_t l = newlocale(LC_CTYPE_MASK, "Japanese", static_cast<locale_t>(0));
        if (l != static_cast<locale_t>(0)) freelocale(l);
        return l != static_cast<locale_t>(0);
    }();
    const std::string wide = LongDescription(), quiet = "VolumeQuiet";
    // Cut to 254 bytes (endpoint names) or to the last whole character within 31 (legacy).
    struct Row { int major; const char* locale; std::string wideName; };
    for (const Row& row : {Row{kEndpoint, "C.UTF-8", wide.substr(0, 254)}, Row{kEndpoint, "C", japanese ? "?" : ""},
                           Row{kLegacy, "C", wide.substr(0, 29)}}) {
        setlocale(LC_ALL, row.locale);
        test::ComponentPtr io = Make(row.major);
        int32_t count = -1, result = 0;
        ASSERT_EQ(io->GetProperty("InDeviceNum", 0, &count), ZELMAR_OK);
        EXPECT_EQ(count, sources) << row.major;
        EXPECT_EQ(Name(io.get(), Number(quiet_), &result), quiet);
        const std::string name = Name(io.get(), Number(wide_), &result);
        EXPECT_EQ(result, ZELMAR_OK);
        // Without a Japanese locale a name C cannot represent comes back empty.
        EXPECT_TRUE(row.wideName == "?" ? !name.empty() : name == row.wideName) << row.major << " " << row.locale << " " << name;
        EXPECT_STREQ(setlocale(LC_ALL, nullptr), row.locale) << "the process locale changed";
        // The capture component opens the same source under the same number.
        char captureName[512] = {};
        ASSERT_EQ(capture->GetProperty("InDeviceName", Number(quiet_), captureName), ZELMAR_OK);
        EXPECT_EQ(captureName, quiet);
    }
    setlocale(LC_ALL, "C");
}

TEST_F(VolumeControl, VolumeAndMuteRoundTripThroughTheServerInBothModes) {
    // Endpoint volume v is the scalar v / 65535 of PA_VOLUME_NORM (65536); legacy volume is the
    // control's raw value, which is the server's volume itself.
    struct Row { int major; uint32_t set; uint32_t server; std::vector<int32_t> readBack; };
    const Row rows[] = {{kEndpoint, 32768, 32769, {32767, 32768}}, {kEndpoint, 65535, 65536, {65535}},
                        {kEndpoint, 13107, 13107, {13106, 13107}}, {kEndpoint, 0, 0, {0}},
                        {kLegacy, 32768, 32768, {32768}}, {kLegacy, 1000, 1000, {1000}}, {kLegacy, 0, 0, {0}}};
    for (const Row& row : rows) {
        test::ComponentPtr io = Make(row.major);
        const int32_t device = Number(quiet_);
        uint32_t value = row.set;
        ASSERT_EQ(io->SetProperty("InDeviceVolume", device, &value), ZELMAR_OK);
        EXPECT_EQ(PactlVolume(quiet_), row.server) << row.major << " " << row.set;
        int32_t read = -1;
        ASSERT_EQ(io->GetProperty("InDeviceVolume", device, &read), ZELMAR_OK);
        EXPECT_NE(std::find(row.readBack.begin(), row.readBack.end(), read), row.readBack.end()) << read;
        for (uint32_t mute : {1u, 0u}) {
            ASSERT_EQ(io->SetProperty("InDeviceMute", device, &mute), ZELMAR_OK);
            EXPECT_EQ(PactlMuted(quiet_), mute == 1) << row.major;
            ASSERT_EQ(io->GetProperty("InDeviceMute", device, &read), ZELMAR_OK);
            EXPECT_EQ(read, static_cast<int32_t>(mute));
        }
    }
}

// The level of a 1000 Hz tone played into the test's sink for 1.5 s, as "DSoundAudioIn"
// records it from the sink's monitor at `level`: the RMS of the loudest 10 ms block (ten whole
// cycles, so every block inside the tone has the same RMS).
double RecordedRms(IAudioIO* volume, const std::string& sink, int32_t device, uint32_t level) {
    EXPECT_EQ(volume->SetProperty("InDeviceVolume", device, &level), ZELMAR_OK);
    test::ComponentPtr in = test::Running(
        "DSoundAudioIn", {{"InDeviceNo", device}, {"SamplesPerSec", 16000}, {"BlockSamples", 160}, {"InBufferTime", 100}});
    FILE* player = popen(("sox -n -t raw -r 16000 -e signed -b 16 -c 1 - synth 1.5 sine 1000 gain -6 | pacat --device=" +
                          sink + " --server='" + gServer->Address() + "' --rate=16000 --channels=1 --format=s16le --latency-msec=20").c_str(), "r");
    int16_t block[160];
    double loudest = 0;
    for (int b = 0, tries = 0; b < 150 && tries < 1000; ++tries) {
        const int32_t got = in->GetData(block, sizeof block);
        if (got != static_cast<int32_t>(sizeof block)) continue;  // time-outs while the device starts
        double sum = 0;
        for (int16_t s : block) sum += double(s) * s;
        loudest = std::max(loudest, std::sqrt(sum / 160));
        ++b;
    }
    in->Stop();
    if (player != nullptr) pclose(player);
    return loudest;
}

TEST_F(VolumeControl, TheVolumeSetIsTheLevelACaptureRecords) {
    test::ComponentPtr io = Make(kEndpoint);
    const int32_t monitor = Number(sink_ + ".monitor");
    const double full = RecordedRms(io.get(), sink_, monitor, 65535), half = RecordedRms(io.get(), sink_, monitor, 32768);
    // The server scales amplitude by the cube of its volume: 32769 / 65536 gives -18.06 dB.
    const double expectedDb = 60.0 * std::log10(32769.0 / 65536.0);
    EXPECT_NEAR(full, 16384 / std::sqrt(2.0), 200) << "the tone was not recorded at full volume";
    EXPECT_NEAR(20.0 * std::log10(half / full), expectedDb, 0.1) << full << " " << half;
}

TEST_F(VolumeControl, BadArgumentsAndAMissingServerAreRefusedWithNothingLeftOpen) {
    auto endpoints = platform::CreatePulseEndpointVolume("unix:/nonexistent/zelmar/native");
    auto mixer = platform::CreateAlsaInputMixer("unix:/nonexistent/zelmar/native");
    platform::Services none{};
    none.endpoints = endpoints.get(), none.inputMixer = mixer.get();
    enum Op { kGet, kSet };
    struct Row { Op op; const char* name; int32_t index; bool data; uint32_t value; int32_t expected; bool noServer; };
    const int32_t past = std::atoi(Pactl("list short sources | wc -l").c_str()), quiet = Number(quiet_);
    const std::vector<Row> rows = {
        {kGet, "InDeviceName", past, true, 0, kArg, false},      {kGet, "InDeviceVolume", past, true, 0, kPlatform, false},
        {kGet, "InDeviceMute", past, true, 0, kPlatform, false}, {kGet, "InDeviceVolume", -1, true, 0, kPlatform, false},
        {kSet, "InDeviceVolume", quiet, true, 65536, kArg, false}, {kSet, "InDeviceVolume", quiet, true, 0xFFFFFFFF, kArg, false},
        {kSet, "InDeviceMute", quiet, true, 2, kArg, false},     {kSet, "InDeviceVolume", past, true, 100, kPlatform, false},
        {kSet, "InDeviceVolume", quiet, false, 0, kArg, false},  {kSet, "InDeviceMute", quiet, false, 0, kArg, false},
        {kGet, "NoSuchName", quiet, false, 0, kArg, false},      {kGet, nullptr, quiet, false, 0, kArg, false},
        {kGet, "InDeviceName", 0, true, 0, kArg, true},
        {kGet, "InDeviceVolume", 0, true, 0, kPlatform, true},   {kGet, "InDeviceMute", 0, true, 0, kPlatform, true},
        {kSet, "InDeviceVolume", 0, true, 5, kPlatform, true},   {kSet, "InDeviceMute", 0, true, 1, kPlatform, true},
    };
    uint32_t before = 20000;
    ASSERT_EQ(Make(kLegacy)->SetProperty("InDeviceVolume", quiet, &before), ZELMAR_OK);
    const int descriptors = OpenDescriptors();
    for (int major : {kEndpoint, kLegacy}) {
        for (const Row& row : rows) {
            std::unique_ptr<platform::ScopedPlatform> scope(row.noServer ? new platform::ScopedPlatform(none) : nullptr);
            test::ComponentPtr io = Make(major);
            char out[255] = {};
            uint32_t value = row.value;
            const int32_t got = row.op == kGet ? io->GetProperty(row.name, row.index, row.data ? out : nullptr)
                                               : io->SetProperty(row.name, row.index, row.data ? &value : nullptr);
            EXPECT_EQ(got, row.expected) << major << " " << (row.name ? row.name : "null") << " " << row.index;
        }
        int32_t count = 0;
        platform::ScopedPlatform scope(none);
        ASSERT_EQ(Make(major)->GetProperty("InDeviceNum", 0, &count), ZELMAR_OK);
        EXPECT_TRUE(major == kEndpoint ? count < 0 : count >= 0) << count;  // a failed enumeration is passed on
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(PactlVolume(quiet_), before) << "a refused setting reached the device";
}

}  // namespace
}  // namespace zelmar
