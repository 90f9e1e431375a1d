// Echo cancellation figures for docs/echo.md ("Full duplex"): "DSoundAudioInOut" with its
// capture effects, driven through the public interface on the virtual device's simulated room
// (VirtualRoom.h: echo -10 dB, 100 ms of reflections, noise at -60 dBFS), beside SpeexDSP's
// echo canceller with its preprocessor's residual echo suppression on the same signals.  The
// canceller is never told the room's delay; SpeexDSP gets a filter long enough for every delay
// here.
//
//   echo_report [DATA_DIR]      writes erle_<delay>ms.dat (ERLE per 250 ms, both cancellers)
//                               and drift_<ppm>ppm.dat (per second over 5 minutes) for
//                               docs/make_echo_figures.sh, and prints the table.
//
// Per delay (30, 100, 250 ms) and canceller: ERLE after convergence (echo power over residual
// power, 4..10 s, over the 10 ms frames whose echo stands 20 dB above the noise), the time from
// the first echo to the first 250 ms window at 20 dB or more, the same after the path changes
// at 10 s (to a room of the next delay, or from 250 ms to 100 ms), the segmental SNR of a
// near-end talker against that talker alone while the far end plays, and CPU per second of audio
// (the capture effects and the SpeexDSP pair alone, fed the same recorded signals offline).
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#include <zelmar/zelmar.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <ctime>
#include <random>
#include <thread>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "framework/Result.h"
#include "platform/Platform.h"
#include "platform/audio/CaptureEffects.h"
#include "platform/audio/PulseAudio.h"
#include "support/PrivateSoundServer.h"
#include "support/SpeechMaterial.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;
constexpr uint32_t kRate = 16000;
constexpr uint32_t kBlockSamples = 160;
constexpr int32_t kBlockBytes = kBlockSamples * 2;
constexpr uint32_t kWindowMs = 250;
constexpr double kNoiseDbfs = -60.0;
constexpr uint32_t kSpeexFilterMs = 400;  // covers 250 ms, the devices' own latency and the tail
constexpr double kChangeAtS = 10.0;

struct ComponentDeleter {
    void operator()(IAudioIO* io) const { ZelmarDisposeComponent(io); }
};
using ComponentPtr = std::unique_ptr<IAudioIO, ComponentDeleter>;

IAudioIO* Inner(IAudioIO* io, const char* side) {
    intptr_t address = 0;
    return io->GetProperty(side, 0, &address) == kOk ? reinterpret_cast<IAudioIO*>(address) : nullptr;
}

struct Scene {
    pa::LoopbackRoom room;
    std::vector<int16_t> far;
    std::vector<int16_t> nearEnd;
    double changeAtS = -1;
    pa::LoopbackRoom changedRoom;
};

enum Effects { kNone = 0, kEchoOnly = 1, kEchoAndNoise = 3 };

// What "DSoundAudioInOut" captures while the host plays the scene's far end, block by block,
// with the effects asked for (with none the capture is the room's, 40 ms late).
std::vector<int16_t> Record(const Scene& scene, Effects effects) {
    test::VirtualSound sound;
    sound.audio.SetLoopbackRoom(scene.room);
    if (!scene.nearEnd.empty()) {
        const std::vector<int16_t>* nearEnd = &scene.nearEnd;
        sound.audio.SetScriptedInput([nearEnd](uint64_t byte, uint8_t* target, uint32_t bytes) {
            for (uint32_t i = 0; i + 1 < bytes; i += 2) {
                const uint64_t n = (byte + i) / 2;
                const int16_t v = n < nearEnd->size() ? (*nearEnd)[n] : int16_t{0};
                std::memcpy(target + i, &v, 2);
            }
        });
    }
    ComponentPtr io(ZelmarCreateComponent("DSoundAudioInOut"));
    io->SetProperty("SamplesPerSec", kRate, nullptr);
    io->SetProperty("BlockSamples", kBlockSamples, nullptr);
    io->SetProperty("UseDuplexBuffer", 1, nullptr);
    std::vector<int16_t> captured;
    if (io->Build() != kOk || Inner(io.get(), "AudioIn")->Start() != kOk || Inner(io.get(), "AudioOut")->Start() != kOk) {
        std::printf("DSoundAudioInOut would not build and start\n");
        return captured;
    }
    // Each switch is set: the capture side applies both whenever one changes.
    for (int32_t effect = 0; effect < 2; ++effect) {
        io->SetProperty((effects & (1 << effect)) != 0 ? "EnableEffect" : "DisableEffect", effect, nullptr);
    }
    captured.resize(scene.far.size());
    for (size_t at = 0; at + kBlockSamples <= scene.far.size(); at += kBlockSamples) {
        if (scene.changeAtS >= 0 && at == static_cast<size_t>(scene.changeAtS * kRate)) {
            sound.audio.SetLoopbackRoom(scene.changedRoom);
        }
        if (io->PutData(scene.far.data() + at, kBlockBytes) != kBlockBytes ||
            io->GetData(captured.data() + at, kBlockBytes) != kBlockBytes) {
            std::printf("DSoundAudioInOut stopped at %.2f s\n", static_cast<double>(at) / kRate);
            captured.resize(at);
            break;
        }
    }
    return captured;
}

// SpeexDSP's canceller and residual echo suppression over `captured`, with `far` as played.
// Returns the output; `cpuSeconds` gets the processor time it took.
std::vector<int16_t> Speex(const std::vector<int16_t>& far, const std::vector<int16_t>& captured, double* cpuSeconds,
                           bool denoise = true) {
    SpeexEchoState* echo = speex_echo_state_init(kBlockSamples, kRate * kSpeexFilterMs / 1000);
    SpeexPreprocessState* pre = speex_preprocess_state_init(kBlockSamples, kRate);
    int rate = kRate;
    int noiseReduction = denoise ? 1 : 0;
    speex_echo_ctl(echo, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_DENOISE, &noiseReduction);
    speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_ECHO_STATE, echo);
    std::vector<int16_t> out(captured.size());
    timespec start{}, end{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
    for (size_t at = 0; at + kBlockSamples <= std::min(far.size(), captured.size()); at += kBlockSamples) {
        speex_echo_cancellation(echo, captured.data() + at, far.data() + at, out.data() + at);
        speex_preprocess_run(pre, out.data() + at);
    }
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &end);
    *cpuSeconds = static_cast<double>(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) * 1e-9;
    speex_preprocess_state_destroy(pre);
    speex_echo_state_destroy(echo);
    return out;
}

// Processor time of the capture effects (echo cancellation and noise suppression) over the
// same signals, fed as a full-duplex pair feeds them: the far end heard as the capture is made.
double EffectsCpuSeconds(const std::vector<int16_t>& far, const std::vector<int16_t>& captured, bool noise) {
    const WAVEFORMATEX format{1, 1, kRate, kRate * 2, 2, 16, 0};
    const auto effects = pa::CaptureEffects::Create(format, true, noise);
    std::vector<int16_t> block(kBlockSamples);
    timespec start{}, end{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
    for (size_t at = 0; at + kBlockSamples <= std::min(far.size(), captured.size()); at += kBlockSamples) {
        const int64_t us = static_cast<int64_t>(at) * 1000000 / kRate;
        effects->Render(format, reinterpret_cast<const uint8_t*>(far.data() + at), kBlockBytes, us);
        std::copy(captured.begin() + static_cast<std::ptrdiff_t>(at), captured.begin() + static_cast<std::ptrdiff_t>(at + kBlockSamples), block.begin());
        effects->Process(reinterpret_cast<uint8_t*>(block.data()), kBlockBytes, us);
    }
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &end);
    return static_cast<double>(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) * 1e-9;
}

// ERLE of each window; NaN where no frame's echo stands 20 dB above the noise.
std::vector<double> ErleDb(const std::vector<int16_t>& echo, const std::vector<int16_t>& residual, size_t from,
                           size_t to, size_t window) {
    return test::WindowedErleDb(echo, residual, kRate, kNoiseDbfs, from, to, window);
}

// Seconds of echo (windows holding some) from `fromS` until ERLE reaches 20 dB; after a path
// change (`afterDip`), until it reaches 20 dB again once it has fallen below.  Pauses of the
// far end, where there is nothing to learn from, do not count.
double SecondsTo20Db(const std::vector<double>& erle, double fromS, bool afterDip) {
    size_t w = static_cast<size_t>(fromS * 1000 / kWindowMs);
    if (afterDip) {
        while (w < erle.size() && !(erle[w] < 20.0)) ++w;
    }
    size_t counted = 0;
    for (; w < erle.size(); ++w) {
        if (std::isnan(erle[w])) continue;
        ++counted;
        if (erle[w] >= 20.0) return counted * kWindowMs / 1000.0;
    }
    return NAN;
}

std::vector<int16_t> LoudSpeech(size_t from, size_t samples, double gain) {
    const std::vector<int16_t> speech = test::LoadSpeech(kRate);
    std::vector<int16_t> out;
    for (size_t i = 0; out.size() < samples; ++i) {
        out.push_back(static_cast<int16_t>(std::clamp(speech[(from + i) % speech.size()] * gain, -32768.0, 32767.0)));
    }
    return out;
}

double Percentile(std::vector<double> values, double p) {
    values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return std::isnan(v); }), values.end());
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * (values.size() - 1))];
}

void Report(const std::string& dir) {
    // The far end: speech at about -18 dBFS active level, so its echo stands about 30 dB above the noise.
    const std::vector<int16_t> far = LoudSpeech(0, 16 * kRate, 1.35);
    std::printf("Echo cancellation on the virtual room (16 kHz; echo -10 dB, 100 ms reflections, noise %.0f dBFS):\n",
                kNoiseDbfs);
    std::printf("%-7s | %-13s | %8s | %10s | %13s | %14s | %13s\n", "delay", "canceller", "ERLE", "converged",
                "re-converged", "double talk", "CPU/s audio");
    const uint32_t delays[] = {30, 100, 250};
    for (size_t d = 0; d < 3; ++d) {
        Scene scene;
        scene.room.delayMs = delays[d];
        scene.far = far;
        scene.changeAtS = kChangeAtS;
        scene.changedRoom = scene.room;
        scene.changedRoom.delayMs = delays[d] == 250 ? 100 : delays[(d + 1) % 3];
        scene.changedRoom.seed = 2;
        const std::vector<int16_t> raw = Record(scene, kNone);
        const std::vector<int16_t> zelmar = Record(scene, kEchoAndNoise);
        const std::vector<int16_t> zelmarEcho = Record(scene, kEchoOnly);
        double speexCpu = 0, speexEchoCpu = 0;
        const std::vector<int16_t> speex = Speex(far, raw, &speexCpu);
        const std::vector<int16_t> speexEcho = Speex(far, raw, &speexEchoCpu, false);
        const double zelmarCpu = EffectsCpuSeconds(far, raw, true);
        const double zelmarEchoCpu = EffectsCpuSeconds(far, raw, false);

        // Both talk: another stretch of speech, 4 dB under the far end's active level, from 5 s.
        Scene talk = scene;
        talk.changeAtS = -1;
        talk.nearEnd.assign(5 * kRate, 0);
        const std::vector<int16_t> talker = LoudSpeech(24 * kRate, 11 * kRate, 0.85);
        talk.nearEnd.insert(talk.nearEnd.end(), talker.begin(), talker.end());
        const std::vector<int16_t> talkRaw = Record(talk, kNone);
        const std::vector<int16_t> talkZelmar = Record(talk, kEchoAndNoise);
        const std::vector<int16_t> talkZelmarEcho = Record(talk, kEchoOnly);
        double unused = 0;
        const std::vector<int16_t> talkSpeex = Speex(far, talkRaw, &unused);
        const std::vector<int16_t> talkSpeexEcho = Speex(far, talkRaw, &unused, false);
        const std::vector<bool> labels = test::SpeechLabels(talk.nearEnd, kRate);
        const auto segSnr = [&](const std::vector<int16_t>& out) {
            return test::SegmentalSnrDb(talk.nearEnd, out, labels, kRate, test::BestDelay(talk.nearEnd, out, kRate / 10));
        };

        const size_t window = kRate * kWindowMs / 1000;
        const std::vector<double> erleZ = ErleDb(raw, zelmar, 0, raw.size(), window);
        const std::vector<double> erleS = ErleDb(raw, speex, 0, raw.size(), window);
        const std::vector<double> erleZE = ErleDb(raw, zelmarEcho, 0, raw.size(), window);
        const std::vector<double> erleSE = ErleDb(raw, speexEcho, 0, raw.size(), window);
        const std::string path = dir + "/erle_" + std::to_string(delays[d]) + "ms.dat";
        if (FILE* file = std::fopen(path.c_str(), "w")) {
            std::fprintf(file, "# time_s  ERLE_dB: DSoundAudioInOut (AEC+NS), SpeexDSP (AEC+residual+denoise), "
                               "DSoundAudioInOut (AEC), SpeexDSP (AEC+residual)  (%u ms, path change at %.0f s)\n",
                         delays[d], kChangeAtS);
            for (size_t w = 0; w < erleZ.size(); ++w) {
                std::fprintf(file, "%.3f %.2f %.2f %.2f %.2f\n", (w + 0.5) * kWindowMs / 1000.0, erleZ[w], erleS[w], erleZE[w],
                             erleSE[w]);
            }
            std::fclose(file);
        }
        const struct {
            const char* name;
            const std::vector<int16_t>& out;
            const std::vector<double>& erle;
            const std::vector<int16_t>& talkOut;
            double cpu;
        } rows[] = {{"Zelmar AEC+NS", zelmar, erleZ, talkZelmar, zelmarCpu},
                    {"Speex AEC+NS", speex, erleS, talkSpeex, speexCpu},
                    {"Zelmar AEC", zelmarEcho, erleZE, talkZelmarEcho, zelmarEchoCpu},
                    {"Speex AEC", speexEcho, erleSE, talkSpeexEcho, speexEchoCpu}};
        for (const auto& row : rows) {
            const double converged = ErleDb(raw, row.out, 4 * kRate, 10 * kRate, 6 * kRate)[0];
            // CPU against SpeexDSP doing the same: with noise reduction, or without.
            const double speexSame = row.name[std::strlen(row.name) - 1] == 'S' ? speexCpu : speexEchoCpu;
            std::printf("%4u ms | %-13s | %5.1f dB | %8.2f s | %5.2f s (%3u) | %8.1f dB | %6.2f ms (%.2fx)\n", delays[d],
                        row.name, converged, SecondsTo20Db(row.erle, 0, false), SecondsTo20Db(row.erle, kChangeAtS, true),
                        scene.changedRoom.delayMs, segSnr(row.talkOut), row.cpu * 1000 / (far.size() / double(kRate)),
                        row.cpu / speexSame);
        }
        const std::vector<int16_t> talkAlone = talkRaw;
        std::printf("%4u ms | %-13s | %8s | %10s | %13s | %8.1f dB |\n", delays[d], "none", "", "", "", segSnr(talkAlone));
    }

    // Five minutes with the clocks 100 ppm apart either way, 100 ms path.
    std::printf("\nClock drift (and none, for comparison), 100 ms path, 5 minutes of looped speech, echo cancellation alone (no noise "
                "suppression; ERLE per second, from 10 s on):\n");
    const std::vector<float> white = test::WhiteNoise(300 * kRate, 20261206);
    std::vector<int16_t> noiseFloor(white.size());
    const double noiseRms = 32768.0 * std::pow(10.0, kNoiseDbfs / 20);
    for (size_t i = 0; i < white.size(); ++i) noiseFloor[i] = static_cast<int16_t>(std::lround(white[i] * noiseRms));
    for (const double ppm : {100.0, -100.0, 0.0}) {
        Scene scene;
        scene.room.delayMs = 100;
        scene.room.driftPpm = ppm;
        scene.far = LoudSpeech(0, 300 * kRate, 1.35);
        const std::vector<int16_t> raw = Record(scene, kNone);
        const std::vector<int16_t> zelmar = Record(scene, kEchoOnly);
        double cpu = 0;
        const std::vector<int16_t> speex = Speex(scene.far, raw, &cpu, false);
        const std::vector<double> erleZ = ErleDb(raw, zelmar, 0, raw.size(), kRate);
        const std::vector<double> erleS = ErleDb(raw, speex, 0, raw.size(), kRate);
        const std::string path = dir + "/drift_" + std::to_string(static_cast<int>(ppm)) + "ppm.dat";
        if (FILE* file = std::fopen(path.c_str(), "w")) {
            std::fprintf(file, "# time_s  ERLE_dB(DSoundAudioInOut)  ERLE_dB(SpeexDSP)  (%+.0f ppm)\n", ppm);
            for (size_t w = 0; w < erleZ.size(); ++w) std::fprintf(file, "%zu %.2f %.2f\n", w, erleZ[w], erleS[w]);
            std::fclose(file);
        }
        // The most a window can show: an output of nothing but the capture's noise.  A window
        // under 25 dB within 1 dB of that has no echo left above the noise to measure; its echo
        // stood less than 26 dB above the noise.
        const std::vector<double> ceiling = ErleDb(raw, noiseFloor, 0, raw.size(), kRate);
        for (const auto& [name, erle, out] : {std::tuple{"Zelmar AEC", &erleZ, &zelmar}, std::tuple{"Speex AEC", &erleS, &speex}}) {
            const std::vector<double> after(erle->begin() + 10, erle->end());
            const double overall = ErleDb(raw, *out, 10 * kRate, raw.size(), raw.size() - 10 * kRate)[0];
            long below = 0, atNoise = 0;
            for (size_t w = 10; w < erle->size(); ++w) {
                if (!((*erle)[w] < 25.0)) continue;
                ++below;
                if ((*erle)[w] >= ceiling[w] - 1.0) ++atNoise;
            }
            const auto counted = std::count_if(after.begin(), after.end(), [](double v) { return !std::isnan(v); });
            std::printf("  %+4.0f ppm %-13s: %5.1f dB over all, 1 s windows: median %5.1f, 5th percentile %5.1f, lowest %5.1f dB,"
                        " %ld of %ld below 25 dB (%ld of them at the noise floor)\n",
                        ppm, name, overall, Percentile(after, 0.5), Percentile(after, 0.05), Percentile(after, 0.0), below,
                        static_cast<long>(counted), atNoise);
        }
    }
}

// The device numbered by the container for `name`, or -1.
int32_t FindDevice(IAudioIO* io, bool capture, const std::string& name) {
    int32_t count = 0;
    io->GetProperty(capture ? "InDeviceNum" : "OutDeviceNum", 0, &count);
    for (int32_t i = 0; i < count; ++i) {
        char text[512] = {};
        if (io->GetProperty(capture ? "InDeviceName" : "OutDeviceName", i, text) == kOk && name == text) return i;
    }
    return -1;
}

// The median level (dB) of 100 ms windows over samples [from, to).
double MedianLevelDb(const std::vector<int16_t>& x, size_t from, size_t to) {
    std::vector<double> levels;
    for (size_t at = from; at + kRate / 10 <= to; at += kRate / 10) {
        double sum = 0;
        for (size_t i = at; i < at + kRate / 10; ++i) sum += double(x[i]) * x[i];
        levels.push_back(10 * std::log10(sum / (kRate / 10) + 1e-9));
    }
    return Percentile(levels, 0.5);
}

// A private PulseAudio server, a null sink and its monitor as the room: the echo path is the
// server's own latency, found by the capture effects like any other.  White noise of 3300 RMS
// (fixed seed) played by "DSoundAudioInOut" on a thread of its own; both effects off for 5 s,
// then echo cancellation on for 10 s; ERLE is the echo's median level over 2..5 s less the
// output's over the last 5 s.
void ServerEcho() {
    test::PrivateSoundServer server("echo_report_sink", "EchoReportSink");
    const std::string why = server.Start();
    if (!why.empty()) {
        std::printf("\nNo sound server (%s): the server figure is left out.\n", why.c_str());
        return;
    }
    const auto service = pa::CreatePulseAudioService(server.Address());
    platform::Services services{};
    services.audio = service.get();
    platform::ScopedPlatform scope(services);
    ComponentPtr io(ZelmarCreateComponent("DSoundAudioInOut"));
    io->SetProperty("SamplesPerSec", kRate, nullptr);
    io->SetProperty("BlockSamples", kBlockSamples, nullptr);
    io->SetProperty("OutBufferTime", 60, nullptr);
    io->SetProperty("UseDuplexBuffer", 1, nullptr);
    io->SetProperty("InDeviceNo", FindDevice(io.get(), true, "Monitor of EchoReportSink"), nullptr);
    io->SetProperty("OutDeviceNo", FindDevice(io.get(), false, "EchoReportSink"), nullptr);
    if (io->Build() != kOk || Inner(io.get(), "AudioIn")->Start() != kOk || Inner(io.get(), "AudioOut")->Start() != kOk) {
        std::printf("\nOn the sound server: DSoundAudioInOut would not build and start\n");
        return;
    }
    io->SetProperty("DisableEffect", 0, nullptr);
    io->SetProperty("DisableEffect", 1, nullptr);
    std::vector<int16_t> far(20 * kRate);
    std::mt19937 random(23);
    std::normal_distribution<double> gauss(0.0, 3300.0);
    for (int16_t& v : far) v = static_cast<int16_t>(std::lround(std::clamp(gauss(random), -32000.0, 32000.0)));
    std::atomic<bool> done{false};
    std::thread player([&] {
        for (size_t at = 0; !done; at = (at + kBlockSamples) % far.size()) {
            for (int tries = 0; tries < 200 && io->PutData(far.data() + at, kBlockBytes) == kErrTimeout; ++tries) {
            }
        }
    });
    std::vector<int16_t> captured(15 * kRate);
    int failures = 0;
    for (size_t at = 0; at < captured.size(); at += kBlockSamples) {
        if (at == 5 * kRate) failures += io->SetProperty("EnableEffect", 0, nullptr) != kOk;
        failures += io->GetData(captured.data() + at, kBlockBytes) != kBlockBytes;
    }
    done = true;
    player.join();
    const double echo = MedianLevelDb(captured, 2 * kRate, 5 * kRate);
    const double cancelled = MedianLevelDb(captured, 10 * kRate, 15 * kRate);
    std::printf("\nOn a private PulseAudio server, null sink -> its monitor (white noise of 3300 RMS, %d failed calls):\n"
                "  echo %.1f dB, with cancellation %.1f dB over the last 5 s: ERLE %.1f dB\n",
                failures, echo, cancelled, echo - cancelled);
}

}  // namespace
}  // namespace zelmar

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : ".";
    if (zelmar::test::LoadSpeech(zelmar::kRate).empty()) {
        std::printf("No speech recording at %s (made by tests/make_speech.sh at build time)\n",
                    zelmar::test::SpeechPath(zelmar::kRate).c_str());
        return 1;
    }
    zelmar::Report(dir);
    zelmar::ServerEcho();
    return 0;
}
