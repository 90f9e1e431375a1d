// Capture effects on the virtual device, in virtual time: the echo canceller removes what the
// full-duplex pair's playback buffer plays and the loopback brings back, leaves near-end audio
// alone, and the noise suppressor takes steady noise down; both follow their switches.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "platform/audio/AudioDevice.h"
#include "platform/audio/CaptureEffects.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;
constexpr double kPi = 3.14159265358979323846;
constexpr uint32_t kRate = 16000;
constexpr uint32_t kBufferBytes = kRate * 2;  // 1 s rings
const WAVEFORMATEX kMono16k{1, 1, kRate, kRate * 2, 2, 16, 0};

double EnergyDb(const std::vector<int16_t>& x, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += static_cast<double>(x[i]) * x[i];
    return 10 * std::log10(sum / static_cast<double>(to - from) + 1e-9);
}

// A full-duplex pair on the virtual device, driven 10 ms at a time: the playback ring is kept
// one second ahead with the far-end signal, and everything captured is collected.
class Duplex {
public:
    Duplex(test::VirtualSound& sound, bool echoCancellation, bool noiseSuppression) : sound_(sound) {
        pa::CaptureBufferDesc capture;
        capture.flags = pa::kCaptureBufferCtrlFx;
        capture.bufferBytes = kBufferBytes;
        capture.format = kMono16k;
        capture.echoCancellation = echoCancellation;
        capture.noiseSuppression = noiseSuppression;
        pa::PlaybackBufferDesc playback;
        playback.bufferBytes = kBufferBytes;
        playback.hasFormat = true;
        playback.format = kMono16k;
        const pa::OwnerHandle owner = pa::CreateOwnerHandle();
        result = sound.audio.CreateFullDuplex(nullptr, nullptr, capture, playback, owner, pa::kCooperativePriority,
                                              &duplex_, &in, &out);
        pa::DestroyOwnerHandle(owner);
    }

    // Runs `ms` of virtual time; far(n) is the far-end sample n.
    template <typename Far>
    void Run(uint32_t ms, Far far) {
        if (!started_) {
            Write(0, kBufferBytes / 2, far);
            ASSERT_EQ(out->Play(pa::kPlayLooping), pa::kDsOk);
            ASSERT_EQ(in->Start(pa::kCaptureStartLooping), pa::kDsOk);
            started_ = true;
        }
        for (uint32_t step = 0; step < ms / 10; ++step) {
            sound_.platform.time.Advance(10);
            uint32_t play = 0;
            uint32_t write = 0;
            ASSERT_EQ(out->GetCurrentPosition(&play, &write), pa::kDsOk);
            played_ += (play + kBufferBytes - playedAt_) % kBufferBytes / 2;
            playedAt_ = play;
            // What was just played is refilled with what plays one buffer later.
            while (written_ < played_ + kBufferBytes / 2) Write(written_, 160, far);
            uint32_t capturePos = 0;
            uint32_t readPos = 0;
            ASSERT_EQ(in->GetCurrentPosition(&capturePos, &readPos), pa::kDsOk);
            const uint32_t bytes = (readPos + kBufferBytes - readAt_) % kBufferBytes;
            if (bytes == 0) continue;
            void* p1;
            void* p2;
            uint32_t n1;
            uint32_t n2;
            ASSERT_EQ(in->Lock(readAt_, bytes, &p1, &n1, &p2, &n2, 0), pa::kDsOk);
            Append(p1, n1);
            Append(p2, n2);
            ASSERT_EQ(in->Unlock(p1, n1, p2, n2), pa::kDsOk);
            readAt_ = readPos;
        }
    }

    pa::DsResult result;
    std::unique_ptr<pa::ICaptureBuffer> in;
    std::unique_ptr<pa::IPlaybackBuffer> out;
    std::vector<int16_t> captured;

private:
    template <typename Far>
    void Write(uint64_t firstSample, uint32_t samples, Far far) {
        void* p1;
        void* p2;
        uint32_t n1;
        uint32_t n2;
        const auto offset = static_cast<uint32_t>(firstSample * 2 % kBufferBytes);
        ASSERT_EQ(out->Lock(offset, samples * 2, &p1, &n1, &p2, &n2, 0), pa::kDsOk);
        for (uint32_t i = 0; i < samples; ++i) {
            const int16_t v = far(firstSample + i);
            std::memcpy(i * 2 < n1 ? static_cast<uint8_t*>(p1) + i * 2 : static_cast<uint8_t*>(p2) + (i * 2 - n1), &v, 2);
        }
        ASSERT_EQ(out->Unlock(p1, n1, p2, n2), pa::kDsOk);
        written_ = firstSample + samples;
    }
    void Append(void* part, uint32_t bytes) {
        const size_t at = captured.size();
        captured.resize(at + bytes / 2);
        if (bytes != 0) std::memcpy(captured.data() + at, part, bytes);
    }

    test::VirtualSound& sound_;
    std::unique_ptr<pa::IFullDuplex> duplex_;
    bool started_ = false;
    uint64_t written_ = 0;
    uint64_t played_ = 0;
    uint32_t playedAt_ = 0;
    uint32_t readAt_ = 0;
};

// Far end: white noise at about -20 dBFS (fixed seed), the same for every run.
struct NoiseFar {
    int16_t operator()(uint64_t n) const {
        std::mt19937 random(static_cast<uint32_t>(n * 2654435761u + 17));
        std::normal_distribution<double> normal(0.0, 3300.0);
        return static_cast<int16_t>(std::lround(std::clamp(normal(random), -32000.0, 32000.0)));
    }
};

TEST(CaptureEffects, EchoCancellationRemovesThePlaybackThatTheLoopbackBringsBack) {
    constexpr uint32_t kRunMs = 10000;
    double echoDb[2];
    for (int aec = 0; aec < 2; ++aec) {
        test::VirtualSound sound(/*autoAdvance=*/false);
        // What plays comes back 30 ms later, as from a loudspeaker a little way off.
        sound.audio.SetLoopbackDelayMs(30);
        Duplex pair(sound, /*echoCancellation=*/true, /*noiseSuppression=*/false);
        ASSERT_EQ(pair.result, pa::kDsOk);
        std::unique_ptr<pa::ICaptureEffect> effect;
        ASSERT_EQ(pair.in->GetObjectInPath(pa::CaptureEffect::kEchoCancellation, &effect), pa::kDsOk);
        ASSERT_EQ(effect->SetEnable(aec == 1), pa::kDsOk);
        pair.Run(kRunMs, NoiseFar{});
        ASSERT_GE(pair.captured.size(), size_t{kRate} * 9);
        // The last 3 s, long after the canceller converged.
        const size_t end = pair.captured.size();
        echoDb[aec] = EnergyDb(pair.captured, end - 3 * kRate, end);
    }
    const double attenuationDb = echoDb[0] - echoDb[1];
    std::printf("[ measured ] echo %.1f dB (per-sample energy) without cancellation, %.1f dB with: %.1f dB less\n",
                echoDb[0], echoDb[1], attenuationDb);
    // Without cancellation the loopback brings the far end back whole (about 70 dB for noise
    // of 3300 RMS); with it, most of it is gone.
    EXPECT_NEAR(echoDb[0], 20 * std::log10(3300.0), 0.5);
    EXPECT_GT(attenuationDb, 20.0);
}

TEST(CaptureEffects, EchoCancellationLeavesNearEndSpeechAlone) {
    // The far end is silent; the near end is a 440 Hz tone at -12 dBFS.
    test::VirtualSound sound(/*autoAdvance=*/false);
    sound.audio.SetScriptedInput([](uint64_t streamByte, uint8_t* target, uint32_t bytes) {
        for (uint32_t i = 0; i + 1 < bytes; i += 2) {
            const uint64_t n = (streamByte + i) / 2;
            const auto v = static_cast<int16_t>(std::lround(8200 * std::sin(2 * kPi * 440 * static_cast<double>(n) / kRate)));
            std::memcpy(target + i, &v, 2);
        }
    });
    Duplex pair(sound, /*echoCancellation=*/true, /*noiseSuppression=*/false);
    ASSERT_EQ(pair.result, pa::kDsOk);
    pair.Run(4000, [](uint64_t) { return int16_t{0}; });
    const size_t end = pair.captured.size();
    const double levelDb = EnergyDb(pair.captured, end - 2 * kRate, end);
    const double sentDb = 20 * std::log10(8200 / std::sqrt(2.0));
    std::printf("[ measured ] near-end tone %.2f dB through the canceller (sent %.2f dB)\n", levelDb, sentDb);
    EXPECT_NEAR(levelDb, sentDb, 1.0);
}

TEST(CaptureEffects, NoiseSuppressionTakesSteadyNoiseDownAndFollowsItsSwitch) {
    // Declared before the device, whose scripted input uses them until it goes.
    std::mt19937 random(7);
    std::normal_distribution<double> normal(0.0, 1000.0);
    test::VirtualSound sound(/*autoAdvance=*/false);
    sound.audio.SetScriptedInput([&](uint64_t, uint8_t* target, uint32_t bytes) {
        for (uint32_t i = 0; i + 1 < bytes; i += 2) {
            const auto v = static_cast<int16_t>(std::lround(normal(random)));
            std::memcpy(target + i, &v, 2);
        }
    });
    Duplex pair(sound, /*echoCancellation=*/false, /*noiseSuppression=*/true);
    ASSERT_EQ(pair.result, pa::kDsOk);
    std::unique_ptr<pa::ICaptureEffect> ns;
    ASSERT_EQ(pair.in->GetObjectInPath(pa::CaptureEffect::kNoiseSuppression, &ns), pa::kDsOk);
    std::unique_ptr<pa::ICaptureEffect> aec;
    EXPECT_EQ(pair.in->GetObjectInPath(pa::CaptureEffect::kEchoCancellation, &aec), pa::kDsErrNoInterface);
    const auto silence = [](uint64_t) { return int16_t{0}; };
    pair.Run(3000, silence);
    const size_t on = pair.captured.size();
    ASSERT_EQ(ns->SetEnable(false), pa::kDsOk);
    pair.Run(2000, silence);
    const size_t off = pair.captured.size();
    const double inputDb = 20 * std::log10(1000.0);
    const double suppressedDb = EnergyDb(pair.captured, on - kRate, on);
    const double passedDb = EnergyDb(pair.captured, off - kRate, off);
    std::printf("[ measured ] noise %.1f dB in, %.1f dB with suppression, %.1f dB switched off\n", inputDb,
                suppressedDb, passedDb);
    EXPECT_LT(suppressedDb, inputDb - 10.0);
    EXPECT_NEAR(passedDb, inputDb, 0.5);
}

TEST(CaptureEffects, FormatsTheProcessingCannotTakeGetNoEffects) {
    test::VirtualSound sound;
    std::unique_ptr<pa::ICaptureDevice> device;
    ASSERT_EQ(sound.audio.CreateCapture(nullptr, &device), pa::kDsOk);
    pa::CaptureBufferDesc desc;
    desc.flags = pa::kCaptureBufferCtrlFx;
    desc.bufferBytes = 8000;
    desc.echoCancellation = true;
    std::unique_ptr<pa::ICaptureBuffer> buffer;
    desc.format = WAVEFORMATEX{1, 1, 11025, 22050, 2, 16, 0};  // no 11.025 kHz processing
    EXPECT_EQ(device->CreateCaptureBuffer(desc, &buffer), pa::kDsErrFxUnavailable);
    desc.format = WAVEFORMATEX{1, 1, 16000, 16000, 1, 8, 0};  // 8-bit
    EXPECT_EQ(device->CreateCaptureBuffer(desc, &buffer), pa::kDsErrFxUnavailable);
    EXPECT_EQ(buffer, nullptr);
    // Without the effects flag the same format makes a plain buffer.
    desc.flags = 0;
    EXPECT_EQ(device->CreateCaptureBuffer(desc, &buffer), pa::kDsOk);
    std::unique_ptr<pa::ICaptureEffect> effect;
    EXPECT_EQ(buffer->GetObjectInPath(pa::CaptureEffect::kEchoCancellation, &effect), pa::kDsErrNoInterface);
}

// The stream through the effects is the input 40 ms late, whatever the pieces it comes in.
TEST(CaptureEffects, SwitchedOffTheyDelayTheStreamByExactlyTheirLatency) {
    auto effects = pa::CaptureEffects::Create(kMono16k, true, true);
    ASSERT_NE(effects, nullptr);
    effects->SetEnabled(pa::CaptureEffect::kEchoCancellation, false);
    effects->SetEnabled(pa::CaptureEffect::kNoiseSuppression, false);
    std::vector<int16_t> stream(5000);
    for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<int16_t>(i * 7 + 1);
    std::vector<int16_t> out = stream;
    std::mt19937 random(3);
    for (size_t at = 0; at < out.size();) {
        const size_t n = std::min<size_t>(std::uniform_int_distribution<size_t>(1, 700)(random), out.size() - at);
        effects->Process(reinterpret_cast<uint8_t*>(out.data() + at), static_cast<uint32_t>(n * 2),
                         static_cast<int64_t>(at) * 1000000 / kRate);
        at += n;
    }
    const size_t latency = kRate * 40 / 1000;
    for (size_t i = 0; i < out.size(); ++i) {
        ASSERT_EQ(out[i], i < latency ? 0 : stream[i - latency]) << i;
    }
}

}  // namespace
}  // namespace zelmar
