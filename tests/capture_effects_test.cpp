// Capture effects on the virtual device, in virtual time: the echo canceller leaves near-end
// audio alone, and the noise suppressor takes steady noise down; both follow their switches,
// and switched off they only delay the stream.  The canceller removing the loopback's echo of
// a full-duplex pair: dsound_inout_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "platform/audio/AudioDevice.h"
#include "platform/audio/CaptureEffects.h"
#include "support/FullDuplexPair.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;
constexpr double kPi = 3.14159265358979323846;
constexpr uint32_t kRate = 16000;
constexpr size_t kLatencySamples = kRate * 40 / 1000;  // the processing's fixed delay

double EnergyDb(const std::vector<int16_t>& x, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += static_cast<double>(x[i]) * x[i];
    return 10 * std::log10(sum / static_cast<double>(to - from) + 1e-9);
}

// `ms` of virtual time, 10 ms per step.
void RunFor(test::VirtualSound& sound, test::FullDuplexPair& pair, uint32_t ms) {
    ASSERT_EQ(pair.Step(), pa::kDsOk);
    for (uint32_t t = 0; t < ms; t += 10) {
        sound.platform.time.Advance(10);
        ASSERT_EQ(pair.Step(), pa::kDsOk);
    }
}

// The device captures sample n of `near` instead of the loopback.
void CaptureNearEnd(test::VirtualSound& sound, std::function<int16_t(uint64_t)> near) {
    sound.audio.SetScriptedInput([near](uint64_t streamByte, uint8_t* target, uint32_t bytes) {
        for (uint32_t i = 0; i + 1 < bytes; i += 2) {
            const int16_t v = near((streamByte + i) / 2);
            std::memcpy(target + i, &v, 2);
        }
    });
}

std::unique_ptr<pa::ICaptureEffect> Effect(test::FullDuplexPair& pair, pa::CaptureEffect kind) {
    std::unique_ptr<pa::ICaptureEffect> effect;
    EXPECT_EQ(pair.in->GetObjectInPath(kind, &effect), pa::kDsOk);
    return effect;
}

// Near-end audio only, the far end silent: the echo canceller leaves a 440 Hz tone at -12 dBFS
// alone; the noise suppressor takes steady noise down by 10 dB or more, and switched off lets
// it through.
TEST(CaptureEffects, NearEndToneStaysSteadyNoiseIsSuppressedUntilSwitchedOff) {
    for (const bool aec : {true, false}) {
        SCOPED_TRACE(aec ? "echo cancellation" : "noise suppression");
        test::VirtualSound sound(/*autoAdvance=*/false);
        CaptureNearEnd(sound, [aec](uint64_t n) {
            std::mt19937 random(static_cast<uint32_t>(n * 2654435761u + 7));
            return static_cast<int16_t>(std::lround(aec ? 8200 * std::sin(2 * kPi * 440 * static_cast<double>(n) / kRate)
                                                        : std::normal_distribution<double>(0.0, 1000.0)(random)));
        });
        test::FullDuplexPair pair(sound.audio, nullptr, nullptr, kRate, aec, !aec);
        ASSERT_EQ(pair.result, pa::kDsOk);
        std::unique_ptr<pa::ICaptureEffect> other;  // only the effects asked for are there
        EXPECT_EQ(pair.in->GetObjectInPath(aec ? pa::CaptureEffect::kNoiseSuppression : pa::CaptureEffect::kEchoCancellation,
                                           &other), pa::kDsErrNoInterface);
        RunFor(sound, pair, 3000);
        const size_t on = pair.captured.size();
        const double inputDb = aec ? 20 * std::log10(8200 / std::sqrt(2.0)) : 20 * std::log10(1000.0);
        if (aec) {
            EXPECT_NEAR(EnergyDb(pair.captured, on - 2 * kRate, on), inputDb, 1.0);
            continue;
        }
        EXPECT_LT(EnergyDb(pair.captured, on - kRate, on), inputDb - 10.0);
        ASSERT_EQ(Effect(pair, pa::CaptureEffect::kNoiseSuppression)->SetEnable(false), pa::kDsOk);
        RunFor(sound, pair, 2000);
        EXPECT_NEAR(EnergyDb(pair.captured, pair.captured.size() - kRate, pair.captured.size()), inputDb, 0.5);
    }
}

// Effects start switched on; switched off, the pair's loopback comes back untouched, exactly
// the processing's latency late, and the buffers outlive the pair object.
TEST(CaptureEffects, SwitchedOffTheLoopbackArrivesExactlyTheLatencyLate) {
    test::VirtualSound sound(/*autoAdvance=*/false);
    test::FullDuplexPair pair(sound.audio, nullptr, nullptr, kRate, /*echoCancellation=*/true, false);
    ASSERT_EQ(pair.result, pa::kDsOk);
    auto effect = Effect(pair, pa::CaptureEffect::kEchoCancellation);
    ASSERT_TRUE(effect);
    bool on = false;
    ASSERT_EQ(effect->GetEnable(&on), pa::kDsOk);
    EXPECT_TRUE(on);
    ASSERT_EQ(effect->SetEnable(false), pa::kDsOk);
    pair.duplex.reset();
    pair.far = [](uint64_t n) { return static_cast<int16_t>(n % 30000 + 1); };
    RunFor(sound, pair, 300);
    ASSERT_EQ(pair.captured.size(), size_t{kRate} * 300 / 1000);
    for (size_t i = 0; i < pair.captured.size(); ++i) {
        ASSERT_EQ(pair.captured[i], i < kLatencySamples ? 0 : pair.far(i - kLatencySamples)) << i;
    }
}

// The same for the processing alone, fed in pieces of any size.
TEST(CaptureEffects, SwitchedOffTheyDelayTheStreamByExactlyTheirLatency) {
    auto effects = pa::CaptureEffects::Create(WAVEFORMATEX{1, 1, kRate, kRate * 2, 2, 16, 0}, true, true);
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
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], i < kLatencySamples ? 0 : stream[i - kLatencySamples]) << i;
}

// The processing takes 16-bit mono or stereo at 8, 16, 32 or 48 kHz; asked for effects in any
// other format the device makes no buffer, and without the effects flag a plain one.
TEST(CaptureEffects, FormatsTheProcessingCannotTakeGetNoEffects) {
    test::VirtualSound sound;
    std::unique_ptr<pa::ICaptureDevice> device;
    ASSERT_EQ(sound.audio.CreateCapture(nullptr, &device), pa::kDsOk);
    struct Case { WAVEFORMATEX format; bool processed; };
    for (const Case& c : {Case{{1, 1, 11025, 22050, 2, 16, 0}, false}, Case{{1, 1, 16000, 16000, 1, 8, 0}, false},
                          Case{{1, 2, 48000, 192000, 4, 16, 0}, true}, Case{{1, 1, 8000, 16000, 2, 16, 0}, true}}) {
        SCOPED_TRACE(testing::Message() << uint32_t{c.format.nSamplesPerSec} << " Hz x " << int{c.format.nChannels});
        pa::CaptureBufferDesc desc;
        desc.flags = pa::kCaptureBufferCtrlFx;
        desc.bufferBytes = 8000;
        desc.format = c.format;
        desc.echoCancellation = true;
        std::unique_ptr<pa::ICaptureBuffer> buffer;
        std::unique_ptr<pa::ICaptureEffect> effect;
        EXPECT_EQ(device->CreateCaptureBuffer(desc, &buffer), c.processed ? pa::kDsOk : pa::kDsErrFxUnavailable);
        EXPECT_EQ(buffer != nullptr, c.processed);
        desc.flags = 0;
        ASSERT_TRUE(c.processed || device->CreateCaptureBuffer(desc, &buffer) == pa::kDsOk);
        EXPECT_EQ(buffer->GetObjectInPath(pa::CaptureEffect::kEchoCancellation, &effect),
                  c.processed ? pa::kDsOk : pa::kDsErrNoInterface);
    }
}

}  // namespace
}  // namespace zelmar
