// Every component the factory makes, held to its contract as data: which data operation it
// performs, how Build, Start and Stop answer in each state, how SetProperty and GetProperty
// treat null, unknown and case-changed names, read-only and write-only properties, refused
// values, a null `out` and non-finite floats, set-then-get round trips, the byte counter, no
// heap traffic in a thousand data calls after Start, and what Stop and Start do to the stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "framework/Factory.h"
#include "framework/Format.h"
#include "platform/Platform.h"
#include "platform/audio/VirtualAudio.h"
#include "support/AllocationCounter.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

constexpr int32_t kOkay = ZELMAR_OK, kState = ZELMAR_E_STATE, kArg = ZELMAR_E_INVALIDARG;

platform::Services Services(platform::ITimeService* t, platform::ILibraryLoader* l, platform::IUdpNetwork* n,
                            platform::audio::IAudioService* a) {
    platform::Services services{};
    services.time = t, services.libraries = l, services.network = n, services.audio = a;
    return services;
}

// What a row runs on: virtual time, network, libraries (none, so the pre-processor uses its
// own conversions) and sound device, and real files in a temporary directory, whose reads and
// writes make no heap traffic of their own.
struct Env {
    Env() {
        audio.SetLoopback(false);
        audio.SetScriptedInput([](uint64_t at, uint8_t* target, uint32_t bytes) {
            for (uint32_t i = 0; i < bytes; ++i) target[i] = static_cast<uint8_t>((at + i) * 37 / 5);
        });
    }
    std::string File(const char* name) { return dir.path + "/" + name; }

    platform::VirtualTimeService time{true};
    platform::VirtualLibraryLoader libraries;
    platform::VirtualUdpNetwork network{time};
    platform::ScopedPlatform scope{Services(&time, &libraries, &network, nullptr)};
    platform::audio::VirtualAudioService audio;  // made on the virtual clock
    platform::ScopedPlatform audioScope{Services(nullptr, nullptr, nullptr, &audio)};
    test::TempDir dir;
};

// 16-bit samples that differ with every seed: a tone under noise, loud or near silence.
void FillSignal(uint8_t* bytes, int32_t count, uint32_t seed) {
    uint32_t noise = seed * 2654435761u + 1;
    const double level = seed % 4 == 0 ? 40.0 : 12000.0;
    for (int32_t i = 0; i + 1 < count; i += 2) {
        noise = noise * 1664525u + 1013904223u;
        const double v = level * std::sin(0.07 * (seed * 997 + i)) + static_cast<int32_t>(noise >> 20) - 2048;
        const int16_t s = static_cast<int16_t>(std::max(-32768.0, std::min(32767.0, v)));
        std::memcpy(bytes + i, &s, 2);
    }
}

enum class Kind { kSource, kSink, kSourceAndSink, kFilter, kControl };  // a control moves no audio

// Lifecycle styles as scripts of calls, each followed by its answer ('0' success, 's'
// 0x80000001, 'n' 0x80000002): B Build, S Start, P Stop, D a data call.
constexpr const char* kStrictBuildOnce = "Ds Ss Ps B0 Ds Bs Ps S0 Ss Bs P0 Ds Ps S0 P0";
// Build works in any state and leaves the component built, also when it was running.
constexpr const char* kStrictRebuild = "Ds Ss Ps B0 Ds B0 Ps S0 Ss B0 Ds Ps S0 P0 Ps";
// Only a component never built is refused; the target state answers 0.
constexpr const char* kLenient = "Ds Ss Ps B0 Ds B0 P0 S0 S0 B0 Ds P0 S0 P0 P0";
// Start opens, Stop closes; Build works open or closed.
constexpr const char* kFile = "Ds Ps S0 Ss B0 P0 Ds Ps B0 S0 P0";
constexpr const char* kNoStateCheck = "S0 P0 P0 B0 S0 S0 P0 P0 S0";
constexpr const char* kNoLifecycle = "Bn Sn Pn Dn Bn";

// What Stop and Start do to the stream: begin it anew (the same input gives the same output
// again), or leave it as it was (the output equals that of a run never stopped).
enum class Restart { kReplays, kContinues, kNotObservable };

struct RoundTrip {
    const char* set;
    int32_t value;
    const char* get;
    int32_t expected;
};
RoundTrip Same(const char* name, int32_t value) { return {name, value, name, value}; }

// What SetProperty and GetProperty answer for a kind of name.
struct Answers {
    int32_t set, get;
};

struct Contract {
    const char* name;
    Kind kind;
    const char* lifecycle;
    const char* counter = nullptr;  // the byte counter each data call adds blockBytes to
    bool counterResetByStart = false;
    Answers nullName, unknownName;
    bool namesIgnoreCase = false;
    std::vector<const char*> readOnly = {};  // SetProperty answers readOnlySet and changes nothing
    int32_t readOnlySet = kState;
    std::vector<const char*> writeOnly = {};  // GetProperty answers writeOnlyGet
    int32_t writeOnlyGet = kState;
    std::vector<const char*> floats = {};  // through data/out; non-finite values refused
    std::vector<RoundTrip> roundTrips = {};
    std::vector<std::pair<const char*, int32_t>> refused = {};  // 0x80000003, nothing changes
    // Set in order on one component, each writing the value it replaces through `data`.
    std::vector<std::tuple<const char*, int32_t, int32_t>> previous = {};
    Restart restart = Restart::kNotObservable;
    int32_t blockBytes = 640;       // bytes moved per data call
    int32_t outBytes = 0;           // a filter's output room per call
    bool sizesOnFirstCall = false;  // grow-only work buffers sized by the first block
    int32_t negativeCount = kArg;   // the answer to a byte count below 0
    bool refusesShortRoom = false;  // a filter's output room 2 bytes short of outBytes: 0x80000003
    bool takesNullIn = false, takesNullOut = false;  // a null buffer has a meaning, else 0x80000003
    uint16_t listensOn = 0;         // a receiver's port, fed datagrams before it is used
    std::vector<std::pair<const char*, int32_t>> settings = {};  // made before Build, in order
    std::vector<std::pair<const char*, float>> floatSettings = {};
    void (*configure)(IAudioIO*, Env&) = [](IAudioIO*, Env&) {};
    int32_t delivered = -1;  // what GetData answers for a whole block (-1: blockBytes)
    // What happens between Start and the first data call (the host starting inner components).
    void (*started)(IAudioIO*) = [](IAudioIO*) {};
    int32_t Delivered() const { return delivered >= 0 ? delivered : blockBytes; }
};

void PrintTo(const Contract& row, std::ostream* os) { *os << row.name; }

void Set(IAudioIO* io, const char* name, int32_t value) {
    int32_t data = 0;  // some components want `data` non-null even for integers
    ASSERT_EQ(io->SetProperty(name, value, &data), kOkay) << name;
}

void SetFloat(IAudioIO* io, const char* name, float value) { ASSERT_EQ(io->SetProperty(name, 0, &value), kOkay) << name; }

void SetFile(IAudioIO* io, const std::string& name, bool writer) {
    WAVEFORMATEX format = MakePcmFormat(16000, 1, 16);
    ASSERT_EQ(io->SetProperty("Filename", 0, const_cast<char*>(name.c_str())), kOkay);
    if (writer) {
        ASSERT_EQ(io->SetProperty("WaveFormat", 0, &format), kOkay);
    }
}

std::vector<Contract> Contracts() {
    const std::vector<const char*> curve = {"Threshold", "Ratio", "ExRatio", "Floor"}, totals = {"TotalIn", "TotalOut"};
    const Answers state{kState, kState}, arg{kArg, kArg};
    return {
        {.name = "AmplifierAudioFilter", .kind = Kind::kFilter, .lifecycle = kStrictRebuild, .counter = "TotalIn",
         .nullName = state, .unknownName = state, .readOnly = {"MaxLevel", "TotalIn", "TotalOut"}, .floats = curve,
         .roundTrips = {Same("Gain", 250), Same("AttackTime", 7), Same("DelayTime", 3), Same("SamplesPerSec", 16000),
                        Same("LoPassCutOff", 3000)},
         .refused = {{"Gain", -1}, {"AttackTime", 0}, {"ReleaseTime", 0}, {"DelayTime", 0}, {"DelayTime", 10001},
                     {"DelayTime", INT_MAX}},
         .restart = Restart::kReplays, .blockBytes = 320, .outBytes = 320, .refusesShortRoom = true,
         .settings = {{"SamplesPerSec", 16000}, {"Gain", 150}}, .floatSettings = {{"Threshold", -20.0f}, {"Ratio", 0.5f}}},
        {.name = "NoiseGateAudioFilter", .kind = Kind::kFilter, .lifecycle = kStrictRebuild, .counter = "TotalIn",
         .nullName = state, .unknownName = state, .readOnly = {"MaxLevel", "TotalIn", "TotalOut"},
         .writeOnly = {"ReadOnly", "Auto"},
         .roundTrips = {Same("Threshold_db", 4000), Same("Threshold", 51), Same("GateTime", 300),
                        Same("SamplesPerSec", 8000), Same("CutOff", 120), Same("FadeoutTime", 50),
                        // Each threshold read through the other name: 0.01 is 3/255, 0.2 is -13.98 dB; none
                        // is infinite attenuation, saturated.
                        {"Threshold_db", 4000, "Threshold", 3}, {"Threshold_db", 10000, "Threshold", 0},
                        {"Threshold_db", 10000, "Threshold_db", INT32_MAX}, {"Threshold", 51, "Threshold_db", 1397}},
         .refused = {{"GateTime", -1}, {"FadeoutTime", -1}},
         // In the unit of the name set: 0.2 is -13.98 dB, 0.01 is 3/255.
         .previous = {{"Threshold", 255, 0}, {"Threshold", 51, 255}, {"Threshold_db", 4000, 1397}, {"Threshold", 255, 3}},
         .restart = Restart::kContinues, .blockBytes = 320,
         .outBytes = 320, .settings = {{"Threshold", -1}, {"CutOff", 150}, {"FadeoutTime", 30}}},  // a tracked threshold
        {.name = "PreProcessAudioFilter", .kind = Kind::kFilter, .lifecycle = kStrictRebuild, .counter = "TotalIn",
         .nullName = state, .unknownName = state, .readOnly = {"MaxLevel", "TotalIn", "TotalOut"},
         .writeOnly = {"AutoGain", "Auto", "AGCPeak", "AGCGainLimit", "AGCGainLimit2", "AGCUpSpeed", "AntiClipping",
                       "NSFactor", "EnableNS", "VADType", "NGParam", "NGParam2"},
         .floats = curve,
         .roundTrips = {Same("Gain", 80), Same("GateTime", 300), Same("HiPassCutOff2", 75), Same("GateThreshold", 128),
                        Same("GateThreshold", 255), {"GateThreshold", 256, "GateThreshold", 255},  // in 1/255 steps
                        {"GateThreshold", INT_MAX, "GateThreshold", 255}, Same("DelayTime", 0), Same("FadeoutTime", 0)},
         .refused = {{"AttackTime", 0}, {"ReleaseTime", 0}, {"DelayTime", -1}, {"DelayTime", 10001}, {"DelayTime", INT_MAX},
                     {"GateTime", 0}, {"FadeoutTime", -1}, {"AntiClipping", -1}},
         // The manual gate threshold in 1/255 steps, at most 255.
         .previous = {{"GateThreshold", 128, 0}, {"GateThreshold", 300, 128}, {"GateThreshold", 5, 255}, {"GateTime", 300, 1000}},
         .restart = Restart::kReplays, .outBytes = 640, .sizesOnFirstCall = true, .refusesShortRoom = true,
         .settings = {{"SamplesPerSec", 16000}, {"Gain", 120}}, .floatSettings = {{"Threshold", -20.0f}, {"Ratio", 0.5f}}},
        // "TotalIn" and "TotalOut" are named but count nothing: refused both ways.
        {.name = "AccelerateAudioFilter", .kind = Kind::kFilter, .lifecycle = kStrictBuildOnce, .nullName = state,
         .unknownName = state, .readOnly = totals, .writeOnly = totals,
         .roundTrips = {Same("Speed", 150), Same("WindowTime", 60), Same("WindowTime", INT_MAX), Same("SamplesPerSec", 16000)},
         .refused = {{"Speed", 99}, {"Speed", -5}, {"WindowTime", 0}}, .restart = Restart::kReplays, .outBytes = 4096,
         .settings = {{"SamplesPerSec", 16000}, {"Speed", 125}}},
        {.name = "MixerAudioFilter", .kind = Kind::kFilter, .lifecycle = kNoStateCheck, .counter = "TotalIn",
         .nullName = {kArg, kState}, .unknownName = state, .readOnly = {"InBufferSize", "TotalIn", "TotalOut"},
         .writeOnly = {"Angle"},
         // Gains are percent x 1024 / 100 in unsigned 32-bit arithmetic, read back x 100 / 1024.
         .roundTrips = {Same("Amplitude", 50), {"Amplitude", 33, "Amplitude", 32}, Same("Amplitude2", 75), Same("Mode", 1),
                        {"Amplitude", 4194302, "Amplitude", 4194301}, {"Amplitude2", 4194303, "Amplitude2", 4194302},
                        {"Amplitude", 4194304, "Amplitude", 0}, {"Amplitude", -1, "Amplitude", 4194302}},
         .refused = {{"Mode", 2}, {"Angle", 101}, {"Angle", -1}}, .restart = Restart::kContinues, .blockBytes = 320,
         .outBytes = 640, .takesNullIn = true,  // a null input clears the bus
         .configure = [](IAudioIO* io, Env&) {
             WAVEFORMATEX mono = MakePcmFormat(16000, 1, 16), stereo = MakePcmFormat(16000, 2, 16);
             ASSERT_EQ(io->SetProperty("InWaveFormat", 18, &mono), kOkay);
             ASSERT_EQ(io->SetProperty("OutWaveFormat", 18, &stereo), kOkay);
             Set(io, "Angle", 80);  // the far ear hears the source through the delay line
         }},
        {.name = "ResampleAudioFilter", .kind = Kind::kFilter, .lifecycle = kNoStateCheck, .counter = "TotalIn",
         .nullName = {kArg, kState}, .unknownName = state, .readOnly = totals,
         .roundTrips = {Same("InSamplesPerSec", 16000), Same("OutSamplesPerSec", 48000)},
         .restart = Restart::kContinues, .blockBytes = 320, .outBytes = 960, .refusesShortRoom = true,
         .settings = {{"InSamplesPerSec", 16000}, {"OutSamplesPerSec", 48000}}},
        {.name = "ToneControlAudioFilter", .kind = Kind::kFilter, .lifecycle = kNoStateCheck, .counter = "TotalOut",
         .nullName = {kArg, kState}, .unknownName = state, .readOnly = totals,
         .roundTrips = {{"Gain", 70, "Gain", 69}, Same("Gain", 50), Same("LowGain", 600), Same("MidGain", -300),
                        Same("LowPassCutOff", 3400), {"MidGain", INT_MAX, "MidGain", 2147483600},
                        {"MidGain", INT_MIN, "MidGain", -2147483600}},
         .restart = Restart::kContinues, .blockBytes = 320, .outBytes = 320, .refusesShortRoom = true,
         .settings = {{"SamplesPerSec", 16000}, {"LowGain", 600}, {"MidGain", -300}, {"HighGain", 300}, {"LowPassCutOff", 6000}}},
        {.name = "Siren14AudioFilter", .kind = Kind::kFilter, .lifecycle = kStrictBuildOnce, .counter = "TotalIn",
         .nullName = arg, .unknownName = state,
         .readOnly = {"InBufferSize", "OutBufferSize", "LastError", "TotalIn", "TotalOut"}, .writeOnly = {"Reset"},
         .roundTrips = {Same("Bitrate", 24000), Same("SamplesPerSec", 16000), Same("Direction", 1)},
         .refused = {{"Direction", 2}, {"Direction", -1}}, .restart = Restart::kContinues, .blockBytes = 1280,
         .outBytes = 160, .negativeCount = kOkay,  // less than a frame: nothing taken, nothing made
         .takesNullOut = true},                    // a size query
        // Settings are taken in every state and judged at Build; the start flag begins the codec anew.
        {.name = "ACMAudioFilter", .kind = Kind::kFilter, .lifecycle = kStrictRebuild, .counter = "TotalIn",
         .nullName = arg, .unknownName = state,
         .readOnly = {"InBufferSize", "OutBufferSize", "LastError", "TotalIn", "TotalOut"}, .writeOnly = {"Reset"},
         .roundTrips = {Same("SamplesPerSec", 11025), Same("Channels", 2), {"BitsPerSample", 0x10008, "BitsPerSample", 8}},
         .restart = Restart::kReplays, .outBytes = 130, .takesNullIn = true, .takesNullOut = true,
         .configure = [](IAudioIO* io, Env&) {
             Set(io, "SamplesPerSec", 8000);
             ASSERT_EQ(io->SetProperty("Template", 0, const_cast<char*>("PCM2GSM")), kOkay);
         }},
        // The placeholder a host gets for a slot it leaves empty: performs nothing at all.
        {.name = "NULL", .kind = Kind::kControl, .lifecycle = kNoLifecycle,
         .nullName = {ZELMAR_E_NOTIMPL, ZELMAR_E_NOTIMPL}, .unknownName = {ZELMAR_E_NOTIMPL, ZELMAR_E_NOTIMPL}},
        // "Adjust" is named but works neither way.
        {.name = "RingBufferAudioInOut", .kind = Kind::kSourceAndSink, .lifecycle = kStrictBuildOnce,
         .counter = "TotalOut", .nullName = state, .unknownName = state,
         .readOnly = {"BufferSize", "OverFlow", "UnderFlow", "FillBytes", "TotalIn", "TotalOut", "Adjust"},
         .writeOnly = {"Verbose", "Mute", "Adjust"},
         .roundTrips = {Same("BufferTime", 120), Same("AvgBytesPerSec", 32000)}, .refused = {{"BufferTime", -5}},
         .restart = Restart::kContinues, .settings = {{"AvgBytesPerSec", 64000}, {"BufferTime", 100}}},
        {.name = "RIFFAudioIn", .kind = Kind::kSource, .lifecycle = kFile, .counter = "TotalIn",
         .counterResetByStart = true, .nullName = arg, .unknownName = state, .readOnly = {"WaveFormat", "TotalIn"},
         .writeOnly = {"TotalOut"}, .restart = Restart::kReplays,
         .configure = [](IAudioIO* io, Env& env) {
             // A recording made by the writer, which the reader plays back.
             test::ComponentPtr writer = test::Make("RIFFAudioOut");
             SetFile(writer.get(), env.File("in.wav"), true);
             std::vector<uint8_t> audio(48000);
             FillSignal(audio.data(), 48000, 3);
             ASSERT_EQ(writer->Start(), kOkay);
             ASSERT_EQ(writer->PutData(audio.data(), 48000), 48000);
             ASSERT_EQ(writer->Stop(), kOkay);
             SetFile(io, env.File("in.wav"), false);
         }},
        {.name = "RIFFAudioOut", .kind = Kind::kSink, .lifecycle = kFile, .counter = "TotalOut",
         .counterResetByStart = true, .nullName = arg, .unknownName = state, .readOnly = {"TotalOut"},
         .writeOnly = {"TotalIn"},
         .configure = [](IAudioIO* io, Env& env) { SetFile(io, env.File("out.wav"), true); }},
        // Settings are write-only; unknown names are accepted and change nothing.
        {.name = "WaveGeneratorAudioIn", .kind = Kind::kSource, .lifecycle = kNoStateCheck, .counter = "TotalIn",
         .counterResetByStart = true, .nullName = arg, .unknownName = {kOkay, kArg},
         .readOnly = {"NotifySize", "TotalIn"}, .readOnlySet = kOkay,
         .writeOnly = {"SamplesPerSec", "BitsPerSample", "Frequency", "Amplitude", "BlockSamples", "TotalOut"},
         .writeOnlyGet = kArg, .roundTrips = {{"BlockSamples", 160, "NotifySize", 320}},
         .refused = {{"Amplitude", 101}, {"Amplitude", -1}}, .restart = Restart::kContinues, .blockBytes = 320,
         .settings = {{"BlockSamples", 160}, {"Frequency", 1000}}},
        {.name = "DSoundAudioIn", .kind = Kind::kSource, .lifecycle = kLenient, .counter = "TotalIn",
         .counterResetByStart = true, .nullName = arg, .unknownName = {kOkay, kArg},
         .readOnly = {"InDeviceNum", "InDeviceName", "WaveFormat", "NotifySize", "InDeviceGUID", "TotalIn"},
         .readOnlySet = kOkay,
         .writeOnly = {"SamplesPerSec", "BitsPerSample", "Channels", "BlockSamples", "InBufferTime", "EnableEffect",
                       "DisableEffect", "TimeOut", "DSCaptureBuffer"},
         .writeOnlyGet = kArg, .roundTrips = {Same("InDeviceNo", 0)}, .refused = {{"InDeviceNo", 1}, {"InDeviceNo", -2}},
         .restart = Restart::kContinues, .blockBytes = 80},
        // Running is state 3 here; GetData answers 0 for a whole block.  The first read after
        // construction sets the object's effects, which flushes it: that read returns silence
        // and counts nothing.
        {.name = "DMOAECAudioIn", .kind = Kind::kSource, .lifecycle = kLenient, .counter = "TotalIn",
         .counterResetByStart = true, .nullName = arg, .unknownName = {kOkay, kArg},
         .readOnly = {"InBufferTime", "InDeviceNum", "InDeviceName", "OutDeviceNum", "OutDeviceName", "WaveFormat",
                      "NotifySize", "TotalIn"},
         .readOnlySet = kOkay,
         .writeOnly = {"BlockSamples", "EchoLength", "AESValue", "InBufferTime", "EnableEffect", "DisableEffect",
                       "WaveFormat", "TimeOut"},
         .writeOnlyGet = kArg,
         .roundTrips = {Same("InDeviceNo", 0), Same("OutDeviceNo", -1), {"BlockSamples", 160, "NotifySize", 320}},
         .refused = {{"InDeviceNo", 1}, {"InDeviceNo", -2}, {"OutDeviceNo", 1}, {"EchoLength", 300}, {"AESValue", 3},
                     {"EnableEffect", 5}, {"DisableEffect", -1}},
         .sizesOnFirstCall = true,  // the first read sets the object's effects up
         .delivered = 0, .started = [](IAudioIO* io) {
             uint8_t block[640];
             io->GetData(block, sizeof block);
         }},
        // Running is state 3 here; a restarted capture starts at the newest block, so a stream
        // through Stop and Start is neither replayed nor continued.
        {.name = "DSoundAudioIn2", .kind = Kind::kSource, .lifecycle = kLenient, .counter = "TotalIn",
         .counterResetByStart = true, .nullName = arg, .unknownName = {kOkay, kArg},
         .readOnly = {"InDeviceNum", "InDeviceName", "WaveFormat", "NotifySize", "InDeviceGUID", "TotalIn",
                      "DXErrorCode", "DXErrorString", "CapturePos", "BufferPos"},
         .readOnlySet = kOkay,
         .writeOnly = {"SamplesPerSec", "BitsPerSample", "Channels", "BlockSamples", "InBufferTime", "EnableEffect",
                       "DisableEffect", "TimeOut", "DSCaptureBuffer", "SoftwareBuffer"},
         .writeOnlyGet = kArg, .roundTrips = {Same("InDeviceNo", 0)}, .refused = {{"InDeviceNo", 1}, {"InDeviceNo", -2}},
         .blockBytes = 80},
        {.name = "DSoundAudioOut", .kind = Kind::kSink, .lifecycle = kLenient, .counter = "TotalOut",
         .counterResetByStart = true, .nullName = arg, .unknownName = {kOkay, kArg},
         .readOnly = {"OutDeviceNum", "OutDeviceName", "WaveFormat", "NotifySize", "OutDeviceGUID", "TotalOut"},
         .readOnlySet = kOkay,
         .writeOnly = {"SamplesPerSec", "BitsPerSample", "Channels", "BlockSamples", "OutBufferTime", "TimeOut",
                       "DSPlayBuffer", "hWnd"},
         .writeOnlyGet = kArg, .roundTrips = {Same("OutDeviceNo", 0)},
         .refused = {{"OutDeviceNo", 1}, {"OutDeviceNo", -2}}, .blockBytes = 80},
        {.name = "DSoundAudioOut2", .kind = Kind::kSink, .lifecycle = kLenient, .counter = "TotalOut",
         .counterResetByStart = true, .nullName = arg, .unknownName = {kOkay, kArg},
         .readOnly = {"OutDeviceNum", "OutDeviceName", "WaveFormat", "NotifySize", "OutDeviceGUID", "TotalOut",
                      "RefBufferLen", "PlayPos", "DXErrorCode", "DXErrorString", "DXErrorCodeSub", "DriverEmulation",
                      "InternalLimitSize"},
         .readOnlySet = kOkay,
         .writeOnly = {"SamplesPerSec", "BitsPerSample", "Channels", "BlockSamples", "OutBufferTime", "TimeOut",
                       "DSPlayBuffer", "hWnd", "SoftwareBuffer", "PrimaryBuffer"},
         .writeOnlyGet = kArg, .roundTrips = {Same("OutDeviceNo", 0)},
         .refused = {{"OutDeviceNo", 1}, {"OutDeviceNo", -2}}, .blockBytes = 80},
        // A container whose Start leaves its inner capture and playback to the host, which
        // starts them through "AudioIn" and "AudioOut"; their counters run on regardless.
        {.name = "DSoundAudioInOut", .kind = Kind::kSourceAndSink, .lifecycle = kLenient, .counter = "TotalIn",
         .nullName = arg, .unknownName = {kOkay, kArg},
         .readOnly = {"InDeviceNum", "InDeviceName", "OutDeviceNum", "OutDeviceName", "WaveFormat", "NotifySize",
                      "AudioIn", "AudioOut", "TotalIn", "TotalOut"},
         .readOnlySet = kOkay,
         .writeOnly = {"SamplesPerSec", "BitsPerSample", "Channels", "BlockSamples", "InBufferTime", "OutBufferTime",
                       "InDeviceNo", "OutDeviceNo", "EnableEffect", "DisableEffect", "TimeOut", "UseDuplexBuffer",
                       "SoftwareBuffer", "PrimaryBuffer", "hWnd", "DSCaptureBuffer", "InDeviceGUID"},
         .writeOnlyGet = kArg, .refused = {{"InDeviceNo", 1}, {"OutDeviceNo", -2}}, .blockBytes = 80,
         .started = [](IAudioIO* io) {
             for (const char* side : {"AudioIn", "AudioOut"}) {
                 intptr_t inner = 0;
                 ASSERT_EQ(io->GetProperty(side, 0, &inner), kOkay);
                 ASSERT_EQ(reinterpret_cast<IAudioIO*>(inner)->Start(), kOkay) << side;
             }
         }},
        {.name = "UDPAudioIn", .kind = Kind::kSource, .lifecycle = kNoStateCheck, .counter = "TotalIn",
         .counterResetByStart = true, .nullName = arg, .unknownName = state, .namesIgnoreCase = true,
         .readOnly = totals, .writeOnly = {"SamplesPerSec", "TotalOut"}, .roundTrips = {Same("PortNo", 5004)},
         .blockBytes = 1920, .listensOn = 5004, .settings = {{"PortNo", 5004}}},
        // Nobody listens on the sender's port: its datagrams are dropped, as on a real network.
        {.name = "UDPAudioOut", .kind = Kind::kSink, .lifecycle = kNoStateCheck, .counter = "TotalOut",
         .counterResetByStart = true, .nullName = arg, .unknownName = state, .namesIgnoreCase = true,
         .readOnly = totals, .writeOnly = {"TotalIn"}, .roundTrips = {Same("NotifySize", 1234), Same("PortNo", 5006)},
         .blockBytes = 2560, .settings = {{"PortNo", 5006}}},
        // Works in its property calls only, on the system's recording devices.
        {.name = "VolumeControlAudioFilter", .kind = Kind::kControl, .lifecycle = kNoLifecycle, .nullName = state,
         .unknownName = state, .readOnly = {"InDeviceNum", "InDeviceName"}},
    };
}

// One data call of the row's kind on signal `seed`; what it answered and wrote is appended to
// `record` when one is given.  Buffers are made once, so calls allocate nothing.
class Driver {
public:
    explicit Driver(const Contract& row)
        : row_(row), in_(std::size_t(row.blockBytes)), out_(std::size_t(std::max(row.outBytes, row.blockBytes))) {}

    int32_t Call(IAudioIO* io, uint32_t seed, std::vector<uint8_t>* record = nullptr) {
        FillSignal(in_.data(), row_.blockBytes, seed);
        std::fill(out_.begin(), out_.end(), 0);
        int32_t inBytes = row_.blockBytes, outBytes = static_cast<int32_t>(out_.size()), result = 0, got = 0;
        if (row_.kind == Kind::kFilter) result = io->Process(in_.data(), &inBytes, out_.data(), &outBytes);
        if (row_.kind == Kind::kSink || row_.kind == Kind::kSourceAndSink) result = io->PutData(in_.data(), inBytes);
        if (row_.kind == Kind::kSource || row_.kind == Kind::kSourceAndSink) got = io->GetData(out_.data(), inBytes);
        if (row_.kind == Kind::kSource) result = got;
        if (row_.kind == Kind::kControl) result = io->GetData(out_.data(), inBytes);
        if (record != nullptr) {
            for (int32_t v : {result, got, inBytes, outBytes}) {
                record->insert(record->end(), reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 4);
            }
            record->insert(record->end(), out_.begin(), out_.end());
        }
        return result;
    }

private:
    const Contract& row_;
    std::vector<uint8_t> in_, out_;
};

std::string ChangeCase(const char* name) {
    std::string changed = name;
    for (char& c : changed) c = static_cast<char>(std::isupper(c) ? std::tolower(c) : std::toupper(c));
    return changed;
}

struct Reading {
    int32_t result;
    std::vector<uint8_t> bytes;
    bool operator==(const Reading& other) const { return result == other.result && bytes == other.bytes; }
};

// Large enough for any property: names, formats and format blocks included.
Reading Read(IAudioIO* io, const char* name) {
    Reading r{0, std::vector<uint8_t>(512, 0xA5)};
    r.result = io->GetProperty(name, 0, r.bytes.data());
    return r;
}

class ComponentContract : public ::testing::TestWithParam<Contract> {
protected:
    test::ComponentPtr Configured() {
        test::ComponentPtr io = test::Make(GetParam().name);
        for (const auto& [name, value] : GetParam().settings) Set(io.get(), name, value);
        for (const auto& [name, value] : GetParam().floatSettings) SetFloat(io.get(), name, value);
        GetParam().configure(io.get(), env);
        return io;
    }
    test::ComponentPtr Started() {
        test::ComponentPtr io = Configured();
        const int32_t ready = GetParam().kind == Kind::kControl ? ZELMAR_E_NOTIMPL : kOkay;
        EXPECT_EQ(io->Build(), ready);
        EXPECT_EQ(io->Start(), ready);
        GetParam().started(io.get());
        // A receiver's datagrams are queued now: the network's allocations are not the receiver's.
        std::vector<uint8_t> datagram(2560, 7);
        auto socket = env.network.OpenSocket();
        for (int i = 0; GetParam().listensOn != 0 && i <= 1000 * GetParam().blockBytes / 2560; ++i) {
            socket->SendToLoopback(GetParam().listensOn, datagram.data(), 2560);
        }
        return io;
    }
    Env env;
};

TEST_P(ComponentContract, PropertiesAnswerNullUnknownAndCaseChangedNames) {
    const Contract& row = GetParam();
    test::ComponentPtr io = test::Make(row.name);
    int32_t data = 0;
    EXPECT_EQ(io->SetProperty(nullptr, 1, &data), row.nullName.set);
    EXPECT_EQ(Read(io.get(), nullptr).result, row.nullName.get);
    EXPECT_EQ(io->SetProperty("NoSuchProperty", 1, &data), row.unknownName.set);
    EXPECT_EQ(Read(io.get(), "NoSuchProperty").result, row.unknownName.get);
    for (const RoundTrip& trip : row.roundTrips) {
        // A name in other letter case is the property itself only where names ignore case.
        test::ComponentPtr fresh = test::Make(row.name);
        const Reading before = Read(fresh.get(), trip.get);
        const std::string changed = ChangeCase(trip.set);
        if (row.namesIgnoreCase) {
            EXPECT_EQ(fresh->SetProperty(changed.c_str(), trip.value, &data), kOkay) << changed;
            EXPECT_EQ(test::Read(fresh.get(), ChangeCase(trip.get).c_str()), trip.expected) << changed;
        } else {
            EXPECT_EQ(fresh->SetProperty(changed.c_str(), trip.value, &data), row.unknownName.set) << changed;
            EXPECT_EQ(Read(fresh.get(), ChangeCase(trip.get).c_str()).result, row.unknownName.get) << changed;
            EXPECT_EQ(Read(fresh.get(), trip.get), before) << changed << " changed " << trip.get;
        }
    }
}

TEST_P(ComponentContract, ReadOnlyWriteOnlyRefusedFloatsNullOutAndRoundTrips) {
    const Contract& row = GetParam();
    test::ComponentPtr io = test::Make(row.name);
    int32_t data = 0;
    for (const auto& [name, value, previous] : row.previous) {
        data = INT32_MIN;
        EXPECT_EQ(io->SetProperty(name, value, &data), kOkay) << name;
        EXPECT_EQ(data, previous) << name << " " << value;
    }
    for (const char* name : row.readOnly) {
        const Reading before = Read(io.get(), name);
        EXPECT_EQ(io->SetProperty(name, 1, &data), row.readOnlySet) << name;
        EXPECT_EQ(Read(io.get(), name), before) << name;
        EXPECT_EQ(io->GetProperty(name, 0, nullptr), kArg) << name;
    }
    for (const char* name : row.writeOnly) EXPECT_EQ(Read(io.get(), name).result, row.writeOnlyGet) << name;
    for (const auto& [name, value] : row.refused) {
        const Reading before = Read(io.get(), name);
        EXPECT_EQ(io->SetProperty(name, value, &data), kArg) << name << " " << value;
        EXPECT_EQ(Read(io.get(), name), before) << name << " " << value;
    }
    for (const char* name : row.floats) {
        float value = -7.5f, read = 0.0f;
        ASSERT_EQ(io->SetProperty(name, 0, &value), kOkay) << name;
        for (float bad : {std::nanf(""), INFINITY, -INFINITY}) EXPECT_EQ(io->SetProperty(name, 0, &bad), kArg) << name;
        EXPECT_EQ(io->SetProperty(name, 0, nullptr), kArg) << name;
        ASSERT_EQ(io->GetProperty(name, 0, &read), kOkay) << name;
        EXPECT_EQ(read, value) << name;
    }
    for (const RoundTrip& trip : row.roundTrips) {
        test::ComponentPtr fresh = test::Make(row.name);
        ASSERT_EQ(fresh->SetProperty(trip.set, trip.value, &data), kOkay) << trip.set;
        EXPECT_EQ(test::Read(fresh.get(), trip.get), trip.expected) << trip.set << " " << trip.value;
        EXPECT_EQ(fresh->GetProperty(trip.get, 0, nullptr), kArg) << trip.get;
    }
}

TEST_P(ComponentContract, BuildStartAndStopAnswerAsTheLifecycleStyleSays) {
    test::ComponentPtr io = Configured();
    Driver driver(GetParam());
    const std::string script = GetParam().lifecycle;
    for (std::size_t at = 0; at < script.size(); at += 3) {
        const int32_t expected = script[at + 1] == '0' ? kOkay : script[at + 1] == 'n' ? ZELMAR_E_NOTIMPL : kState;
        const char op = script[at];
        const int32_t got = op == 'B' ? io->Build() : op == 'S' ? io->Start() : op == 'P' ? io->Stop() : driver.Call(io.get(), 0);
        EXPECT_EQ(got, expected) << "step " << at / 3 << " of " << script;
    }
}

TEST_P(ComponentContract, OtherKindsOfDataCallAndBadArgumentsAreRefused) {
    const Contract& row = GetParam();
    test::ComponentPtr fresh = test::Make(row.name), running = Started();
    std::vector<uint8_t> buffer(std::size_t(std::max(row.blockBytes, row.outBytes)));
    const bool filter = row.kind == Kind::kFilter, gets = row.kind == Kind::kSource || row.kind == Kind::kSourceAndSink,
               puts = row.kind == Kind::kSink || row.kind == Kind::kSourceAndSink;
    int32_t none = 0, noRoom = 0;  // an empty first block moves nothing
    if (filter) {
        EXPECT_GE(running->Process(buffer.data(), &none, buffer.data(), &noRoom), 0);
    }
    EXPECT_EQ(none, 0);
    for (IAudioIO* io : {fresh.get(), running.get()}) {
        // Performed calls may succeed or refuse; the others are not implemented, in any state.
        int32_t inBytes = 64, outBytes = 64;
        EXPECT_EQ(io->Process(buffer.data(), &inBytes, buffer.data(), &outBytes) == ZELMAR_E_NOTIMPL, !filter);
        EXPECT_EQ(io->GetData(buffer.data(), 64) == ZELMAR_E_NOTIMPL, !gets);
        EXPECT_EQ(io->PutData(buffer.data(), 64) == ZELMAR_E_NOTIMPL, !puts);
    }
    IAudioIO* io = running.get();
    int32_t negative = -2, room = static_cast<int32_t>(buffer.size());
    if (filter) {
        EXPECT_EQ(io->Process(buffer.data(), &negative, buffer.data(), &room), row.negativeCount);
        EXPECT_EQ(io->Process(buffer.data(), nullptr, buffer.data(), &room), kArg);
        EXPECT_EQ(io->Process(buffer.data(), &room, buffer.data(), nullptr), kArg);
        int32_t in = row.blockBytes, out = row.outBytes - 2;
        EXPECT_EQ(io->Process(buffer.data(), &in, buffer.data(), &out) == kArg, row.refusesShortRoom);
        in = row.blockBytes, out = row.outBytes;
        EXPECT_EQ(io->Process(nullptr, &in, buffer.data(), &out) == kArg, !row.takesNullIn);
        in = row.blockBytes, out = row.outBytes;
        EXPECT_EQ(io->Process(buffer.data(), &in, nullptr, &out) == kArg, !row.takesNullOut);
    }
    if (gets) {
        EXPECT_EQ(io->GetData(nullptr, row.blockBytes), kArg);
        EXPECT_EQ(io->GetData(buffer.data(), -2), row.negativeCount);
    }
    if (puts) {
        EXPECT_EQ(io->PutData(nullptr, row.blockBytes), kArg);
        EXPECT_EQ(io->PutData(buffer.data(), -2), row.negativeCount);
    }
}

TEST_P(ComponentContract, AThousandDataCallsAfterStartAllocateNothing) {
    const Contract& row = GetParam();
    test::ComponentPtr io = Started();
    Driver driver(row);
    if (row.sizesOnFirstCall) driver.Call(io.get(), 0);
    test::ScopedAllocationCount allocations;
    for (uint32_t call = 1; call <= 1000; ++call) {
        const int32_t result = driver.Call(io.get(), call);
        const int32_t expected = row.kind == Kind::kControl ? ZELMAR_E_NOTIMPL : row.Delivered();
        ASSERT_TRUE(row.kind == Kind::kFilter ? result >= 0 : result == expected) << result << " in call " << call;
    }
    EXPECT_EQ(allocations.count(), 0u);
}

TEST_P(ComponentContract, TheByteCounterCountsEachCallAndStartResetsItOrNot) {
    const Contract& row = GetParam();
    if (row.counter == nullptr) return;
    test::ComponentPtr io = Started();
    Driver driver(row);
    for (uint32_t call = 1; call <= 10; ++call) driver.Call(io.get(), call);
    EXPECT_EQ(test::Read(io.get(), row.counter), 10 * row.blockBytes);
    ASSERT_EQ(io->Stop(), kOkay);
    ASSERT_EQ(io->Start(), kOkay);
    EXPECT_EQ(test::Read(io.get(), row.counter), row.counterResetByStart ? 0 : 10 * row.blockBytes);
}

TEST_P(ComponentContract, StopAndStartReplayOrContinueTheStream) {
    const Contract& row = GetParam();
    auto run = [&](IAudioIO* io, uint32_t firstSeed) {
        Driver driver(row);
        std::vector<uint8_t> record;
        for (uint32_t seed = firstSeed; seed < firstSeed + 40; ++seed) driver.Call(io, seed, &record);
        return record;
    };
    auto restart = [](IAudioIO* io) {
        ASSERT_EQ(io->Stop(), kOkay);
        ASSERT_EQ(io->Start(), kOkay);
    };
    if (row.restart == Restart::kReplays) {
        test::ComponentPtr io = Started();
        const std::vector<uint8_t> first = run(io.get(), 1);
        restart(io.get());
        EXPECT_TRUE(run(io.get(), 1) == first) << "a restarted stream differs from the first";
    } else if (row.restart == Restart::kContinues) {
        test::ComponentPtr uninterrupted = Started();
        run(uninterrupted.get(), 1);
        const std::vector<uint8_t> expected = run(uninterrupted.get(), 41);
        test::ComponentPtr restarted = Started();
        run(restarted.get(), 1);
        restart(restarted.get());
        EXPECT_TRUE(run(restarted.get(), 41) == expected) << "Stop and Start changed the stream";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryComponent, ComponentContract, ::testing::ValuesIn(Contracts()),
                         [](const ::testing::TestParamInfo<Contract>& info) { return std::string(info.param.name); });

TEST(Contract, EveryFactoryNameThatMakesAComponentHasARow) {
    std::size_t count = 0, made = 0;
    const FactoryEntry* table = FactoryTable(&count);
    const std::vector<Contract> rows = Contracts();
    for (std::size_t i = 0; i < count; ++i) {
        const std::string name = table[i].name;
        if (test::Make(name.c_str()) == nullptr) continue;
        ++made;
        EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [&](const Contract& c) { return name == c.name; })) << name;
    }
    EXPECT_EQ(made, rows.size());
}

}  // namespace
}  // namespace zelmar
