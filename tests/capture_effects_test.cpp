// Capture effects on the virtual device: the simulated room, the echo canceller removing its
// echo without being told the echo path's delay, the delay finder on its own, near-end audio
// left alone and steady noise suppressed, the switches, and the processing's fixed delay.
// Virtual time throughout; every signal comes from fixed seeds or the speech recording made
// at build time.  The canceller of a full-duplex component pair: dsound_inout_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "dsp/blocks/EchoDelayFinder.h"
#include "platform/audio/AudioDevice.h"
#include "platform/audio/CaptureEffects.h"
#include "support/FullDuplexPair.h"
#include "support/SpeechMaterial.h"
#include "support/VirtualSound.h"

namespace zelmar {
namespace {

namespace pa = platform::audio;
constexpr uint32_t kRate = 16000;
constexpr size_t kFrame = kRate / 100;
constexpr size_t kEffectsLatency = kRate * 40 / 1000;  // the capture effects' fixed delay
constexpr double kNoiseDbfs = -60.0;

struct Scene {
    pa::LoopbackRoom room;
    bool effects = true;          // the pair has echo cancellation (switched on)
    std::vector<int16_t> far;     // played from the start
    std::vector<int16_t> nearEnd; // the near-end talker
    uint32_t ms = 0;
    uint32_t changeAtMs = UINT32_MAX;
    pa::LoopbackRoom changedRoom;
};

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

// What the capture side got, the effects' latency taken off.
std::vector<int16_t> Record(const Scene& scene) {
    test::VirtualSound sound(/*autoAdvance=*/false);
    sound.audio.SetLoopbackRoom(scene.room);
    const std::vector<int16_t>& nearEnd = scene.nearEnd;
    if (!nearEnd.empty()) CaptureNearEnd(sound, [&nearEnd](uint64_t n) { return n < nearEnd.size() ? nearEnd[n] : int16_t{0}; });
    test::FullDuplexPair pair(sound.audio, nullptr, nullptr, kRate, scene.effects, false);
    EXPECT_EQ(pair.result, pa::kDsOk);
    pair.far = [&scene](uint64_t n) { return n < scene.far.size() ? scene.far[n] : int16_t{0}; };
    EXPECT_EQ(pair.Step(), pa::kDsOk);
    for (uint32_t t = 0; t < scene.ms; t += 10) {
        if (t == scene.changeAtMs) sound.audio.SetLoopbackRoom(scene.changedRoom);
        sound.platform.time.Advance(10);
        EXPECT_EQ(pair.Step(), pa::kDsOk);
    }
    const size_t skip = std::min(scene.effects ? kEffectsLatency : 0, pair.captured.size());
    return std::vector<int16_t>(pair.captured.begin() + static_cast<std::ptrdiff_t>(skip), pair.captured.end());
}

std::vector<int16_t> Slice(const std::vector<int16_t>& x, double fromS, double toS) {
    return std::vector<int16_t>(x.begin() + static_cast<std::ptrdiff_t>(fromS * kRate),
                                x.begin() + static_cast<std::ptrdiff_t>(std::min<double>(toS * kRate, x.size())));
}

// The mean power of x[from, to) in dB.
double PowerDb(const std::vector<int16_t>& x, size_t from = 0, size_t to = SIZE_MAX) {
    to = std::min(to, x.size());
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += double(x[i]) * x[i];
    return 10 * std::log10(sum / static_cast<double>(to - from) + 1e-9);
}

// The far end: speech made louder (active level about -18 dBFS), so that its -10 dB echo stands
// about 30 dB above the room's noise.
std::vector<int16_t> FarSpeech(double seconds) {
    std::vector<int16_t> speech = test::LoadSpeech(kRate);
    speech.resize(static_cast<size_t>(seconds * kRate));
    for (int16_t& s : speech) s = static_cast<int16_t>(std::clamp(s * 1.35, -32768.0, 32767.0));
    return speech;
}

// ERLE of each `windowMs` (frames whose echo stands 20 dB above the room's noise).
std::vector<double> ErleDb(const std::vector<int16_t>& echo, const std::vector<int16_t>& residual, uint32_t windowMs) {
    return test::WindowedErleDb(echo, residual, kRate, kNoiseDbfs, 0, SIZE_MAX, kRate * windowMs / 1000);
}

// Seconds from `fromS` until the first window with ERLE >= 20 dB.
double SecondsTo20Db(const std::vector<double>& erle, uint32_t windowMs, double fromS) {
    for (size_t w = static_cast<size_t>(fromS * 1000 / windowMs); w < erle.size(); ++w) {
        if (erle[w] >= 20.0) return (w + 1) * windowMs / 1000.0 - fromS;
    }
    return 1e9;
}

// The room against straight computations on white noise: the echo's delay (cross-correlation),
// its level, the slide of a drifting clock, a path changed under the running stream, and the
// near-end talker and noise added to the echo.
TEST(VirtualRoom, DelayLevelDriftPathChangeNearEndAndNoise) {
    struct Case {
        uint32_t delayMs;
        double driftPpm;
        uint32_t changedDelayMs;  // from 6 s on
    };
    std::vector<int16_t> noise(12 * kRate);
    const std::vector<float> white = test::WhiteNoise(noise.size(), 5);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<int16_t>(std::lround(white[i] * 3000));
    for (const Case c : {Case{30, 0, 30}, Case{250, 0, 100}, Case{100, 100, 100}, Case{100, -100, 250}}) {
        SCOPED_TRACE(testing::Message() << c.delayMs << " ms, " << c.driftPpm << " ppm, then " << c.changedDelayMs << " ms");
        Scene scene;
        scene.effects = false;
        scene.room.delayMs = c.delayMs;
        scene.room.driftPpm = c.driftPpm;
        scene.room.noiseDbfs = -300;
        scene.far = noise;
        scene.ms = 12000;
        scene.changeAtMs = 6000;
        scene.changedRoom = scene.room;
        scene.changedRoom.delayMs = c.changedDelayMs;
        const std::vector<int16_t> captured = Record(scene);
        // The delay at 1..3 s and at 9..11 s: the drift moves the echo by drift * time.
        for (const double at : {1.0, 9.0}) {
            const double expectedMs = (at < 6 ? c.delayMs : c.changedDelayMs) + c.driftPpm * 1e-6 * (at + 1) * 1000;
            const std::vector<int16_t> echo = Slice(captured, at, at + 2);
            const size_t delay = test::BestDelay(Slice(noise, at, at + 1.6), echo, kRate * 3 / 10);
            EXPECT_NEAR(static_cast<double>(delay), expectedMs * kRate / 1000, 1.0) << at << " s";
            // The whole path's gain is the echo level: -10 dB.
            EXPECT_NEAR(PowerDb(echo) - PowerDb(Slice(noise, at, at + 2)), -10.0, 0.5) << at << " s";
        }
    }
    // Nothing played: the capture is the near-end talker exactly, plus noise at -60 dBFS.
    Scene scene;
    scene.effects = false;
    scene.nearEnd = noise;
    scene.ms = 2000;
    scene.room.noiseDbfs = -300;
    EXPECT_EQ(Slice(Record(scene), 0, 1.9), Slice(noise, 0, 1.9));
    scene.room.noiseDbfs = kNoiseDbfs;
    std::vector<int16_t> added = Record(scene);
    for (size_t i = 0; i < added.size(); ++i) added[i] = static_cast<int16_t>(added[i] - noise[i]);
    EXPECT_NEAR(PowerDb(added) - 20 * std::log10(32768.0), kNoiseDbfs, 0.5);
}

// Far-end speech through rooms with echo delays the canceller is not told: ERLE >= 20 dB within
// 2 s of the first echo and >= 30 dB once converged; after the path changes under the running
// stream (100 ms to 250 ms), >= 20 dB again within 2 s.
TEST(EchoCancellation, FindsTheEchoPathItselfConvergesAndFollowsAChange) {
    struct Case {
        uint32_t delayMs;
        uint32_t changedDelayMs;  // at 10 s
    };
    const std::vector<int16_t> far = FarSpeech(16);
    const double firstEchoS = 1.0;  // the recording starts with a second of silence
    for (const Case c : {Case{100, 100}, Case{250, 250}, Case{100, 250}}) {
        SCOPED_TRACE(testing::Message() << c.delayMs << " ms, then " << c.changedDelayMs << " ms");
        Scene scene;
        scene.room.delayMs = c.delayMs;
        scene.far = far;
        scene.ms = 16000;
        scene.changeAtMs = 10000;
        scene.changedRoom = scene.room;
        scene.changedRoom.delayMs = c.changedDelayMs;
        scene.changedRoom.seed = 2;
        scene.effects = false;
        const std::vector<int16_t> echo = Record(scene);
        scene.effects = true;
        const std::vector<int16_t> residual = Record(scene);
        const std::vector<double> erle = ErleDb(echo, residual, 250);
        EXPECT_LT(SecondsTo20Db(erle, 250, firstEchoS + c.delayMs / 1000.0), 2.0);
        // Converged: from 4 s to the change, taken as one.
        const std::vector<double> converged = ErleDb(Slice(echo, 4, 10), Slice(residual, 4, 10), 6000);
        EXPECT_GE(converged[0], 30.0);
        if (c.changedDelayMs != c.delayMs) {
            EXPECT_LT(SecondsTo20Db(erle, 250, 10.0), 2.0);
        }
    }
}

// A talker who speaks over the far end from 5 s (another stretch of the sentences, 4 dB under
// it) comes through the 100 and 250 ms rooms at >= 10 dB segmental SNR; the capture without any
// cancellation has about 7.5 dB, and WebRTC's suppression alone left about 4.
TEST(EchoCancellation, KeepsANearEndTalkerWhoSpeaksOverTheFarEnd) {
    const std::vector<int16_t> speech = test::LoadSpeech(kRate);
    for (const uint32_t delayMs : {100u, 250u}) {
        Scene scene;
        scene.room.delayMs = delayMs;
        scene.far = FarSpeech(14);
        scene.ms = 14000;
        scene.nearEnd.assign(5 * kRate, 0);
        for (size_t i = 0; i < 9 * kRate; ++i) {
            scene.nearEnd.push_back(static_cast<int16_t>(speech[(24 * kRate + i) % speech.size()] * 0.85));
        }
        const std::vector<int16_t> out = Record(scene);
        const size_t delay = test::BestDelay(scene.nearEnd, out, kRate / 10);
        EXPECT_GE(test::SegmentalSnrDb(scene.nearEnd, out, test::SpeechLabels(scene.nearEnd, kRate), kRate, delay), 10.0)
            << delayMs << " ms";
    }
}

// ---------------------------------------------------------------------------------------------
// The delay finder alone, on rooms computed here as plain convolutions.

// Far-end noise at -20 dBFS, and its echo through a room: the direct sound `delayMs` late at
// -10 dB, then a 100 ms tail of noise decaying by 60 dB, plus near-end noise 40 dB down.
// The echo is a plain convolution here, apart from the finder.
struct Room {
    std::vector<int16_t> far, captured;
};

Room MakeRoom(int rateHz, double delayMs, double seconds, uint32_t seed) {
    const size_t n = static_cast<size_t>(rateHz * seconds);
    const size_t delay = static_cast<size_t>(std::lround(delayMs * rateHz / 1000));
    const std::vector<float> source = test::WhiteNoise(n, seed);
    const std::vector<float> tailNoise = test::WhiteNoise(static_cast<size_t>(rateHz / 10), seed + 1);
    const std::vector<float> nearNoise = test::WhiteNoise(n, seed + 2);
    std::vector<double> response(tailNoise.size(), 0.0);
    response[0] = std::pow(10.0, -10.0 / 20);
    for (size_t k = 1; k < response.size(); ++k) {
        // 60 dB down over the tail: 10^(-3 k / length); the tail starts 20 dB below the direct sound.
        response[k] = 0.1 * response[0] * tailNoise[k] * std::pow(10.0, -3.0 * k / response.size());
    }
    Room room;
    room.far.resize(n);
    room.captured.resize(n);
    const double level = 3277.0;  // -20 dBFS RMS
    for (size_t i = 0; i < n; ++i) room.far[i] = static_cast<int16_t>(std::lround(source[i] * level));
    for (size_t i = 0; i < n; ++i) {
        double echo = nearNoise[i] * level / 100;
        for (size_t k = 0; k < response.size() && k + delay <= i; ++k) echo += response[k] * room.far[i - delay - k];
        room.captured[i] = static_cast<int16_t>(std::clamp(std::lround(echo), -32768L, 32767L));
    }
    return room;
}

// Far end and capture in 10 ms blocks, the far end one block ahead as a device delivers them.
int32_t Feed(CEchoDelayFinder& finder, const Room& room, int rateHz, size_t from, size_t to) {
    const size_t block = static_cast<size_t>(rateHz / 100);
    for (size_t i = from; i + block <= to; i += block) {
        finder.AddFar(room.far.data() + i, static_cast<uint32_t>(block));
        finder.AddCaptured(room.captured.data() + i, static_cast<uint32_t>(block));
    }
    return finder.DelayMs();
}

// Delays off the analysis grid (a third of a 16 kHz sample step), at the rates the canceller
// runs at, within one analysis step; a path change followed; nothing reported without echo.
TEST(EchoDelayFinder, FindsTheDelayOfARoomFollowsAChangeAndReportsNothingWithoutEcho) {
    struct Case {
        int rateHz;
        double delayMs;
    };
    for (const Case c : {Case{16000, 30.19}, Case{16000, 100.19}, Case{16000, 250.19}, Case{8000, 100.19},
                         Case{48000, 250.19}}) {
        SCOPED_TRACE(testing::Message() << c.rateHz << " Hz, " << c.delayMs << " ms");
        const Room room = MakeRoom(c.rateHz, c.delayMs, 2.0, 7);
        CEchoDelayFinder finder;
        finder.Reset(static_cast<uint32_t>(c.rateHz), 500);
        // Not before half a second of correlation (after the longest lag has passed).
        EXPECT_EQ(Feed(finder, room, c.rateHz, 0, static_cast<size_t>(c.rateHz * 0.8)), -1);
        const int32_t found = Feed(finder, room, c.rateHz, static_cast<size_t>(c.rateHz * 0.8), room.far.size());
        EXPECT_NEAR(found, c.delayMs, 1000.0 / CEchoDelayFinder::kAnalysisRateHz);
    }
    const int rate = 16000;
    const Room before = MakeRoom(rate, 100, 2.0, 11), after = MakeRoom(rate, 250, 4.0, 12);
    CEchoDelayFinder finder;
    finder.Reset(rate, 500);
    EXPECT_EQ(Feed(finder, before, rate, 0, before.far.size()), 100);
    EXPECT_FLOAT_EQ(finder.StrengthAt(100), 1.0f);
    EXPECT_LT(finder.StrengthAt(115), 0.1f);
    // The old peak forgets with a 0.5 s time constant: 2 s later only the new one is left.
    EXPECT_EQ(Feed(finder, after, rate, 0, 2 * rate), 250);
    EXPECT_LT(finder.StrengthAt(100), 0.1f);
    Room unrelated = MakeRoom(rate, 100, 3.0, 13);  // a capture that holds no echo of the far end
    unrelated.captured = MakeRoom(rate, 100, 3.0, 14).far;
    finder.Reset(rate, 500);
    EXPECT_EQ(Feed(finder, unrelated, rate, 0, unrelated.far.size()), -1);
    std::fill(unrelated.far.begin(), unrelated.far.end(), int16_t{0});  // nothing played: every lag's sum is 0
    finder.Reset(rate, 500);
    EXPECT_EQ(Feed(finder, unrelated, rate, 0, unrelated.far.size()), -1);
}

// ---------------------------------------------------------------------------------------------
// The capture effects alone: the echo canceller leaves near-end audio alone, the noise
// suppressor takes steady noise down; both follow their switches, and switched off they only
// delay the stream.

// Near-end audio only, the far end silent: the echo canceller leaves a 440 Hz tone at -12 dBFS
// alone; the noise suppressor, on from the start, takes steady noise down by 10 dB or more,
// and switched off lets it through.
TEST(CaptureEffects, NearEndToneStaysSteadyNoiseIsSuppressedUntilSwitchedOff) {
    for (const bool aec : {true, false}) {
        SCOPED_TRACE(aec ? "echo cancellation" : "noise suppression");
        test::VirtualSound sound(/*autoAdvance=*/false);
        CaptureNearEnd(sound, [aec](uint64_t n) {
            std::mt19937 random(static_cast<uint32_t>(n * 2654435761u + 7));
            return static_cast<int16_t>(std::lround(aec ? 8200 * std::sin(2 * M_PI * 440 * static_cast<double>(n) / kRate)
                                                        : std::normal_distribution<double>(0.0, 1000.0)(random)));
        });
        test::FullDuplexPair pair(sound.audio, nullptr, nullptr, kRate, aec, !aec);
        ASSERT_EQ(pair.result, pa::kDsOk);
        std::unique_ptr<pa::ICaptureEffect> effect;  // only the effects asked for are there
        EXPECT_EQ(pair.in->GetObjectInPath(aec ? pa::CaptureEffect::kNoiseSuppression : pa::CaptureEffect::kEchoCancellation,
                                           &effect), pa::kDsErrNoInterface);
        pair.duplex.reset();  // the buffers outlive the pair object
        RunFor(sound, pair, 3000);
        const size_t on = pair.captured.size();
        const double inputDb = aec ? 20 * std::log10(8200 / std::sqrt(2.0)) : 20 * std::log10(1000.0);
        if (aec) {
            EXPECT_NEAR(PowerDb(pair.captured, on - 2 * kRate, on), inputDb, 1.0);
            continue;
        }
        EXPECT_LT(PowerDb(pair.captured, on - kRate, on), inputDb - 10.0);
        ASSERT_EQ(pair.in->GetObjectInPath(pa::CaptureEffect::kNoiseSuppression, &effect), pa::kDsOk);
        ASSERT_EQ(effect->SetEnable(false), pa::kDsOk);
        RunFor(sound, pair, 2000);
        EXPECT_NEAR(PowerDb(pair.captured, pair.captured.size() - kRate, pair.captured.size()), inputDb, 0.5);
    }
}

// Switched off, the processing only delays the stream, by exactly its latency, fed in pieces
// of any size.
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
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], i < kEffectsLatency ? 0 : stream[i - kEffectsLatency]) << i;
}

// Stereo through the noise suppressor, each channel on its own: steady noise in the left
// channel comes down by 10 dB or more while the right channel, silent, stays silent.
TEST(CaptureEffects, StereoChannelsAreProcessedEachOnItsOwn) {
    auto effects = pa::CaptureEffects::Create(WAVEFORMATEX{1, 2, kRate, kRate * 4, 4, 16, 0}, false, true);
    ASSERT_NE(effects, nullptr);
    std::mt19937 random(9);
    std::normal_distribution<double> noise(0.0, 1000.0);
    std::vector<int16_t> stream(size_t{2} * 3 * kRate);  // 3 s, right channel silent
    for (size_t i = 0; i < stream.size(); i += 2) stream[i] = static_cast<int16_t>(std::lround(noise(random)));
    for (size_t at = 0; at < stream.size(); at += 2 * kFrame) {
        effects->Process(reinterpret_cast<uint8_t*>(stream.data() + at), 4 * kFrame, static_cast<int64_t>(at / 2) * 1000000 / kRate);
    }
    std::vector<int16_t> left, right;  // the last second
    for (size_t i = stream.size() - 2 * kRate; i < stream.size(); i += 2) left.push_back(stream[i]), right.push_back(stream[i + 1]);
    EXPECT_LT(PowerDb(left), 20 * std::log10(1000.0) - 10.0);
    EXPECT_EQ(std::count(right.begin(), right.end(), 0), static_cast<std::ptrdiff_t>(right.size()));
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
