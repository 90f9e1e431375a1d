// The sound-device figures docs/devices.md records, printed: capture effects on the virtual
// device in virtual time (echo with and without cancellation over a 30 ms echo path, a near-end
// tone through the canceller, steady noise with and without suppression), and on a private
// PulseAudio server with a null sink the generator tone's round trip through the sink's
// monitor (frequency and level) and a full-duplex pair's echo cancellation.  The tests hold
// these to bounds (tests/capture_effects_test.cpp, tests/dsound_inout_test.cpp,
// tests/dsound_pulse_test.cpp); round-trip latency and CPU are bench/devices_bench.cpp's.
// Without pulseaudio the server part says so.
#include <zelmar/zelmar.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "framework/Result.h"
#include "platform/Platform.h"
#include "platform/audio/PulseAudio.h"
#include "support/FullDuplexPair.h"
#include "support/PrivateSoundServer.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;
constexpr double kPi = 3.14159265358979323846;
constexpr uint32_t kRate = 16000;
constexpr int32_t kBlockSamples = 160;
constexpr int32_t kBlockBytes = kBlockSamples * 2;

double EnergyDb(const std::vector<int16_t>& x, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += static_cast<double>(x[i]) * x[i];
    return 10 * std::log10(sum / static_cast<double>(to - from) + 1e-9);
}

int16_t Noise(uint64_t n, uint32_t salt, double rms) {
    std::mt19937 random(static_cast<uint32_t>(n * 2654435761u + salt));
    return static_cast<int16_t>(std::lround(std::clamp(std::normal_distribution<double>(0.0, rms)(random), -32000.0, 32000.0)));
}

// `ms` of virtual time in 10 ms steps.
bool RunFor(test::VirtualSound& sound, test::FullDuplexPair& pair, uint32_t ms) {
    if (pair.Step() != pa::kDsOk) return false;
    for (uint32_t t = 0; t < ms; t += 10) {
        sound.platform.time.Advance(10);
        if (pair.Step() != pa::kDsOk) return false;
    }
    return true;
}

void VirtualCaptureEffects() {
    std::printf("Capture effects on the virtual device (16 kHz mono, 1 s rings):\n");
    double echoDb[2] = {};
    for (int aec = 0; aec < 2; ++aec) {
        test::VirtualSound sound(/*autoAdvance=*/false);
        sound.audio.SetLoopbackDelayMs(30);
        test::FullDuplexPair pair(sound.audio, nullptr, nullptr, kRate, true, false);
        std::unique_ptr<pa::ICaptureEffect> effect;
        if (pair.result != pa::kDsOk || pair.in->GetObjectInPath(pa::CaptureEffect::kEchoCancellation, &effect) != pa::kDsOk ||
            effect->SetEnable(aec == 1) != pa::kDsOk) {
            std::printf("  the full-duplex pair would not open\n");
            return;
        }
        pair.far = [](uint64_t n) { return Noise(n, 17, 3300.0); };
        if (!RunFor(sound, pair, 10000)) return;
        echoDb[aec] = EnergyDb(pair.captured, pair.captured.size() - 3 * kRate, pair.captured.size());
    }
    std::printf("  echo of white noise of 3300 RMS over a 30 ms path, last 3 s of 10 s: %.1f dB without cancellation, "
                "%.1f dB with: %.1f dB less\n",
                echoDb[0], echoDb[1], echoDb[0] - echoDb[1]);

    {
        test::VirtualSound sound(/*autoAdvance=*/false);
        sound.audio.SetScriptedInput([](uint64_t streamByte, uint8_t* target, uint32_t bytes) {
            for (uint32_t i = 0; i + 1 < bytes; i += 2) {
                const double n = static_cast<double>((streamByte + i) / 2);
                const auto v = static_cast<int16_t>(std::lround(8200 * std::sin(2 * kPi * 440 * n / kRate)));
                std::memcpy(target + i, &v, 2);
            }
        });
        test::FullDuplexPair pair(sound.audio, nullptr, nullptr, kRate, true, false);
        if (pair.result != pa::kDsOk || !RunFor(sound, pair, 4000)) return;
        std::printf("  near-end 440 Hz tone, silent far end: %.2f dB through the canceller (sent %.2f dB)\n",
                    EnergyDb(pair.captured, pair.captured.size() - 2 * kRate, pair.captured.size()),
                    20 * std::log10(8200 / std::sqrt(2.0)));
    }

    test::VirtualSound sound(/*autoAdvance=*/false);
    sound.audio.SetScriptedInput([](uint64_t streamByte, uint8_t* target, uint32_t bytes) {
        for (uint32_t i = 0; i + 1 < bytes; i += 2) {
            const int16_t v = Noise((streamByte + i) / 2, 7, 1000.0);
            std::memcpy(target + i, &v, 2);
        }
    });
    test::FullDuplexPair pair(sound.audio, nullptr, nullptr, kRate, false, true);
    std::unique_ptr<pa::ICaptureEffect> ns;
    if (pair.result != pa::kDsOk || pair.in->GetObjectInPath(pa::CaptureEffect::kNoiseSuppression, &ns) != pa::kDsOk) return;
    if (!RunFor(sound, pair, 3000)) return;
    const size_t on = pair.captured.size();
    ns->SetEnable(false);
    if (!RunFor(sound, pair, 2000)) return;
    std::printf("  white noise of 1000 RMS (%.1f dB): %.1f dB after 3 s of suppression, %.1f dB switched off\n",
                20 * std::log10(1000.0), EnergyDb(pair.captured, on - kRate, on),
                EnergyDb(pair.captured, pair.captured.size() - kRate, pair.captured.size()));
}

struct ComponentDeleter {
    void operator()(IAudioIO* io) const { ZelmarDisposeComponent(io); }
};
using ComponentPtr = std::unique_ptr<IAudioIO, ComponentDeleter>;

ComponentPtr Open(const char* component, const char* countName, const char* nameName, const char* numberName,
                  const char* bufferName, const std::string& device) {
    ComponentPtr io(ZelmarCreateComponent(component));
    int32_t count = 0;
    io->GetProperty(countName, 0, &count);
    int32_t number = -1;
    for (int32_t i = 0; i < count; ++i) {
        char name[512] = {};
        if (io->GetProperty(nameName, i, name) == kOk && device == name) number = i;
    }
    if (number < 0 || io->SetProperty(numberName, number, nullptr) != kOk) return nullptr;
    io->SetProperty("SamplesPerSec", kRate, nullptr);
    io->SetProperty("BlockSamples", kBlockSamples, nullptr);
    io->SetProperty(bufferName, 200, nullptr);
    return io->Build() == kOk && io->Start() == kOk ? std::move(io) : nullptr;
}

// A host's loop: the block is offered again while the device times out.
int32_t Retry(IAudioIO* io, int16_t* block, bool capture) {
    int32_t r = kErrTimeout;
    for (int attempt = 0; attempt < 200 && r == kErrTimeout; ++attempt) {
        r = capture ? io->GetData(block, kBlockBytes) : io->PutData(block, kBlockBytes);
    }
    return r;
}

double Magnitude(const std::vector<int16_t>& x, double hz) {
    double re = 0;
    double im = 0;
    for (size_t n = 0; n < x.size(); ++n) {
        re += x[n] * std::cos(2 * kPi * hz / kRate * static_cast<double>(n));
        im -= x[n] * std::sin(2 * kPi * hz / kRate * static_cast<double>(n));
    }
    return std::hypot(re, im);
}

// Frequency of the strongest component: 5 Hz grid, then 0.1 Hz around the best.
double PeakFrequency(const std::vector<int16_t>& x) {
    double bestHz = 0;
    double best = 0;
    for (double step : {5.0, 0.1}) {
        const double from = step == 5.0 ? 50 : bestHz - 5;
        const double to = step == 5.0 ? kRate / 2 - 50 : bestHz + 5;
        for (double hz = from; hz < to; hz += step) {
            const double m = Magnitude(x, hz);
            if (m > best) best = m, bestHz = hz;
        }
    }
    return bestHz;
}

// The generator's 1000 × 6.28 / 2π = 999.49 Hz tone at 50 % played into the sink for 3 s
// with the monitor flowing; frequency and level over the last second.
void ToneRoundTrip(const std::string& sink) {
    ComponentPtr out = Open("DSoundAudioOut", "OutDeviceNum", "OutDeviceName", "OutDeviceNo", "OutBufferTime", sink);
    ComponentPtr in = Open("DSoundAudioIn", "InDeviceNum", "InDeviceName", "InDeviceNo", "InBufferTime", "Monitor of " + sink);
    ComponentPtr generator(ZelmarCreateComponent("WaveGeneratorAudioIn"));
    generator->SetProperty("SamplesPerSec", kRate, nullptr);
    generator->SetProperty("BlockSamples", kBlockSamples, nullptr);
    generator->SetProperty("Frequency", 1000, nullptr);
    generator->SetProperty("Amplitude", 50, nullptr);
    if (!out || !in || generator->Build() != kOk || generator->Start() != kOk) {
        std::printf("  tone: the devices would not open\n");
        return;
    }
    std::atomic<bool> finished{false};
    std::thread playback([&] {
        std::vector<int16_t> block(kBlockSamples);
        while (!finished) {
            generator->GetData(block.data(), kBlockBytes);
            Retry(out.get(), block.data(), false);
        }
    });
    // A fresh null sink may hold the first audio back for 2 s: 5 s in all.
    std::vector<int16_t> captured;
    std::vector<int16_t> block(kBlockSamples);
    for (int b = 0; b < 500 && Retry(in.get(), block.data(), true) == kBlockBytes; ++b) {
        captured.insert(captured.end(), block.begin(), block.end());
    }
    finished = true;
    playback.join();
    if (captured.size() < kRate) return;
    // Ten windows of 100 ms over the last second, medians: a block dropped or repeated spoils
    // one window.  A clean window holds nearly all its energy (within 0.5 dB) in the tone.
    std::vector<double> frequencies;
    std::vector<double> levels;
    int clean = 0;
    for (int w = 0; w < 10; ++w) {
        const auto from = captured.end() - kRate + w * kRate / 10;
        const std::vector<int16_t> window(from, from + kRate / 10);
        frequencies.push_back(PeakFrequency(window));
        levels.push_back(EnergyDb(window, 0, window.size()) - 20 * std::log10(32768.0));
        const double toneRms = Magnitude(window, frequencies.back()) * 2 / static_cast<double>(window.size()) / std::sqrt(2.0);
        clean += std::fabs(20 * std::log10(toneRms / 32768.0) - levels.back()) < 0.5;
    }
    std::sort(frequencies.begin(), frequencies.end());
    std::sort(levels.begin(), levels.end());
    std::printf("  generator tone through the sink's monitor: %.2f Hz (by its waveform %.2f Hz), %.2f dBFS (expected %.2f), "
                "%d of 10 windows clean\n",
                frequencies[5], 1000 * 6.28 / (2 * kPi), levels[5], 20 * std::log10(16383.0 / std::sqrt(2.0) / 32768.0), clean);
}

// White noise of 3300 RMS played by a full-duplex pair into the sink; cancellation switched
// on after 4 s of capture, measured over the last 3 s of 7 more.
void EchoOnTheServer(const std::string& sink) {
    pa::IAudioService* audio = platform::Current().audio;
    std::vector<pa::DeviceDescription> sources;
    std::vector<pa::DeviceDescription> sinks;
    audio->EnumerateCapture(&sources);
    audio->EnumeratePlayback(&sinks);
    pa::DeviceGuid monitorId{};
    pa::DeviceGuid sinkId{};
    for (const auto& d : sources) {
        if (d.description == "Monitor of " + sink) monitorId = d.guid;
    }
    for (const auto& d : sinks) {
        if (d.description == sink) sinkId = d.guid;
    }
    test::FullDuplexPair pair(*audio, &monitorId, &sinkId, kRate, true, false);
    std::unique_ptr<pa::ICaptureEffect> aec;
    if (pair.result != pa::kDsOk || pair.in->GetObjectInPath(pa::CaptureEffect::kEchoCancellation, &aec) != pa::kDsOk) {
        std::printf("  echo: the full-duplex pair would not open\n");
        return;
    }
    aec->SetEnable(false);
    pair.far = [](uint64_t n) { return Noise(n, 11, 3300.0); };
    platform::ITimeService& time = *platform::Current().time;
    std::unique_ptr<platform::IEvent> events[4];
    pa::PositionNotify table[4];
    platform::IEvent* waits[4];
    for (uint32_t i = 0; i < 4; ++i) {
        events[i] = time.CreateEvent(false, false);
        waits[i] = events[i].get();
        table[i] = {(i + 1) * kRate / 2 - 2, waits[i]};
    }
    pair.in->SetNotificationPositions(4, table);
    pair.Step();
    const auto capture = [&](size_t seconds) {
        const size_t until = pair.captured.size() + seconds * kRate;
        size_t which = 0;
        while (pair.captured.size() < until) {
            if (time.WaitAny(waits, 4, 5000, &which) != platform::WaitResult::kSignaled || pair.Step() != pa::kDsOk) return false;
        }
        return true;
    };
    if (!capture(4)) return;
    const double echoDb = EnergyDb(pair.captured, pair.captured.size() - kRate, pair.captured.size());
    aec->SetEnable(true);
    if (!capture(7)) return;
    const double cancelledDb = EnergyDb(pair.captured, pair.captured.size() - 3 * kRate, pair.captured.size());
    pair.in->Stop();
    pair.out->Stop();
    std::printf("  sink monitor echo of white noise of 3300 RMS: %.1f dB without cancellation, %.1f dB with: %.1f dB less\n",
                echoDb, cancelledDb, echoDb - cancelledDb);
}

}  // namespace
}  // namespace zelmar

int main() {
    zelmar::VirtualCaptureEffects();
    zelmar::test::PrivateSoundServer server("report_sink", "ReportSink");
    const std::string why = server.Start();
    if (!why.empty()) {
        std::printf("No sound server (%s): the server figures are left out.\n", why.c_str());
        return 0;
    }
    const auto service = zelmar::platform::audio::CreatePulseAudioService(server.Address());
    zelmar::platform::Services services{};
    services.audio = service.get();
    zelmar::platform::ScopedPlatform scope(services);
    std::printf("On a private PulseAudio server, null sink -> its monitor, 16 kHz mono:\n");
    zelmar::ToneRoundTrip("ReportSink");
    zelmar::EchoOnTheServer("ReportSink");
    return 0;
}
