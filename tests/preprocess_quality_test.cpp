// Measured voice quality of the capture pre-processor on espeak-ng speech with white noise:
// noise suppression (both suppressors of the companion library), voice detection, automatic
// gain and the limiter path.  The figures are printed; docs/preprocess.md records them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "companion/CompanionApi.h"
#include "dsp/PreProcessAudioFilter.h"
#include "support/Companion.h"
#include "support/SpeechMaterial.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

constexpr uint32_t kNoiseSeed = 20261205;

// A pre-processor bound to the real companion library, with settings applied, built and started.
struct Chain {
    explicit Chain(int rateHz, const std::vector<std::pair<const char*, int>>& settings = {}) {
        EXPECT_TRUE(test::RegisterRealCompanion(platform.libraries));
        filter = std::make_unique<CPreProcessAudioFilter>();
        EXPECT_EQ(filter->SetProperty("SamplesPerSec", rateHz, nullptr), kOk);
        for (const auto& [name, value] : settings) EXPECT_EQ(filter->SetProperty(name, value, nullptr), kOk) << name;
    }
    void SetFloat(const char* name, float value) { EXPECT_EQ(filter->SetProperty(name, 0, &value), kOk); }
    void Begin() {
        EXPECT_EQ(filter->Build(), kOk);
        EXPECT_EQ(filter->Start(), kOk);
    }
    // Runs `input` in blocks of `blockSamples`; calls `perBlock(blockIndex)` after each. With
    // the gate never muting (FadeoutTime 0 or no gate) each block is consumed in one call.
    template <typename PerBlock>
    std::vector<int16_t> Run(const std::vector<int16_t>& input, size_t blockSamples, PerBlock perBlock) {
        std::vector<int16_t> output;
        output.reserve(input.size());
        std::vector<int16_t> out(blockSamples);
        for (size_t start = 0, block = 0; start + blockSamples <= input.size(); start += blockSamples, ++block) {
            int32_t inBytes = static_cast<int32_t>(blockSamples * 2), outBytes = inBytes;
            EXPECT_GE(filter->Process(input.data() + start, &inBytes, out.data(), &outBytes), 0);
            EXPECT_EQ(inBytes, 0);
            output.insert(output.end(), out.begin(), out.end());
            perBlock(block);
        }
        return output;
    }
    std::vector<int16_t> Run(const std::vector<int16_t>& input, size_t blockSamples) {
        return Run(input, blockSamples, [](size_t) {});
    }

    test::VirtualPlatform platform;
    std::unique_ptr<CPreProcessAudioFilter> filter;
};

struct Material {
    explicit Material(int rate) : rateHz(rate), clean(test::LoadSpeech(rate)) {
        if (!clean.empty()) labels = test::SpeechLabels(clean, rate);
    }
    int rateHz;
    std::vector<int16_t> clean;
    std::vector<bool> labels;
};

// The noise suppressor alone, through the companion's NR_ functions.
std::vector<int16_t> SuppressDirect(const std::vector<int16_t>& input, int rateHz, int method, int factor) {
    auto get = [](const char* name) { return test::RealCompanionSymbol(name); };
    void* handle = nullptr;
    reinterpret_cast<companion::NrInitializeFn>(get("NR_Initialize"))(&handle);
    auto configure = reinterpret_cast<companion::NrConfigureFn>(get("NR_Configure"));
    configure(handle, "Factor", factor);
    configure(handle, "Frequency", rateHz);
    configure(handle, "Method", method);
    reinterpret_cast<companion::NrStartFn>(get("NR_Start"))(handle);
    std::vector<int16_t> output(input.size());
    const size_t block = static_cast<size_t>(rateHz / 100);
    auto filter = reinterpret_cast<companion::NrFilterFn>(get("NR_Filter"));
    for (size_t start = 0; start + block <= input.size(); start += block) {
        filter(handle, int(block * 2), input.data() + start, output.data() + start);
    }
    reinterpret_cast<companion::NrDisposeFn>(get("NR_Dispose"))(handle);
    return output;
}

double ImprovementDb(const Material& m, const std::vector<int16_t>& noisy, const std::vector<int16_t>& processed) {
    const size_t delay = test::BestDelay(m.clean, processed, size_t(m.rateHz / 20));
    return test::SegmentalSnrDb(m.clean, processed, m.labels, m.rateHz, delay) -
           test::SegmentalSnrDb(m.clean, noisy, m.labels, m.rateHz, 0);
}

TEST(PreProcessQuality, NoiseSuppressionImprovesSegmentalSnr) {
    for (int rate : {16000, 32000}) {
        Material m(rate);
        ASSERT_FALSE(m.clean.empty()) << "missing " << test::SpeechPath(rate);
        for (double snrDb : {5.0, 0.0}) {
            const auto noisy = test::MixAtSnr(m.clean, m.labels, rate, snrDb, kNoiseSeed);
            const double speex = ImprovementDb(m, noisy, SuppressDirect(noisy, rate, 0, 10));
            const double webrtc = ImprovementDb(m, noisy, SuppressDirect(noisy, rate, 1, 10));
            Chain chain(rate, {{"EnableNS", 1}});
            chain.Begin();
            const double chained = ImprovementDb(m, noisy, chain.Run(noisy, size_t(rate / 100)));
            std::printf("NS %d Hz, input SNR %4.1f dB: segSNR gain SpeexDSP %5.2f dB, WebRTC %5.2f dB, "
                        "pre-processor (EnableNS, default suppressor) %5.2f dB\n",
                        rate, snrDb, speex, webrtc, chained);
            EXPECT_GE(chained, snrDb == 5.0 ? 6.0 : 5.0) << rate << " Hz at " << snrDb << " dB";
        }
    }
}

// Share of frame decisions (after the settling time) that agree with the clean labels.
struct VadFigures {
    double accuracy, speechHit, silenceHit;
};

VadFigures VoiceDetection(const Material& m, int vadType, double snrDb, double speechGainDb) {
    std::vector<int16_t> clean(m.clean.size());
    const double scale = std::pow(10.0, speechGainDb / 20.0);
    for (size_t i = 0; i < clean.size(); ++i) clean[i] = static_cast<int16_t>(std::lround(m.clean[i] * scale));
    const auto noisy = test::MixAtSnr(clean, m.labels, m.rateHz, snrDb, kNoiseSeed);
    // GateTime 300 ms: the level gate closes after 30 quiet frames and the pitch detector
    // holds 300 ms after the last voiced frame, about the pauses inside a sentence.
    Chain chain(m.rateHz, {{"Auto", 1}, {"VADType", vadType}, {"FadeoutTime", 0}, {"GateTime", 300}});
    chain.Begin();
    const size_t settleFrames = 200;  // 2 s
    size_t counted = 0, correct = 0, speech = 0, speechRight = 0, silence = 0, silenceRight = 0;
    chain.Run(noisy, size_t(m.rateHz / 100), [&](size_t frame) {
        if (frame < settleFrames || frame >= m.labels.size()) return;
        const bool detected = !chain.filter->LastFrameSilent();
        const bool truth = m.labels[frame];
        ++counted;
        correct += detected == truth;
        (truth ? speech : silence) += 1;
        (truth ? speechRight : silenceRight) += detected == truth;
    });
    return {double(correct) / double(std::max<size_t>(counted, 1)), double(speechRight) / double(std::max<size_t>(speech, 1)),
            double(silenceRight) / double(std::max<size_t>(silence, 1))};
}

TEST(PreProcessQuality, VoiceDetectionAgreesWithTheCleanLabels) {
    Material m(32000);
    ASSERT_FALSE(m.clean.empty());
    // Sentences peak at -3 dBFS (active speech about -20 dBFS); the level gate is also measured
    // 20 dB lower, where the noise starts below its initial threshold (mean magnitude 100).
    struct Case { int vadType; double speechGainDb; bool held; };
    const Case cases[] = {{0, 0.0, false}, {0, -20.0, true}, {1, 0.0, true}, {2, 0.0, true}, {2, -20.0, true}};
    for (const Case& c : cases) {
        for (double snrDb : {10.0, 5.0}) {
            const VadFigures f = VoiceDetection(m, c.vadType, snrDb, c.speechGainDb);
            std::printf("VAD type %d, speech %+5.1f dB, SNR %4.1f dB: %5.1f %% correct (speech %5.1f %%, silence %5.1f %%)\n",
                        c.vadType, c.speechGainDb, snrDb, 100 * f.accuracy, 100 * f.speechHit, 100 * f.silenceHit);
            // The level gate at full speech level is reported, not held: its threshold climbs a
            // tenth of the way per quiet 1 s window and cannot reach noise at -30 dBFS in time.
            if (snrDb == 10.0 && c.held) {
                EXPECT_GE(f.accuracy, 0.90) << "VADType " << c.vadType << " at " << c.speechGainDb << " dB";
            }
        }
    }
}

// Output peak of each second, in dB relative to the target.
std::vector<double> PeaksPerSecondDb(const std::vector<int16_t>& out, int rateHz, double target) {
    std::vector<double> peaks;
    for (size_t s = 0; (s + 1) * size_t(rateHz) <= out.size(); ++s) {
        int32_t p = 0;
        for (size_t i = s * size_t(rateHz); i < (s + 1) * size_t(rateHz); ++i) p = std::max(p, std::abs(int32_t{out[i]}));
        peaks.push_back(20 * std::log10(std::max(p, 1) / 32767.0 / target));
    }
    return peaks;
}

TEST(PreProcessQuality, AutomaticGainBringsQuietSpeechToThePeakTarget) {
    Material m(32000);
    ASSERT_FALSE(m.clean.empty());
    // Speech at -30 dBFS peak.
    int32_t peak = 0;
    for (int16_t s : m.clean) peak = std::max(peak, std::abs(int32_t{s}));
    const double scale = 32767.0 * std::pow(10.0, -30.0 / 20.0) / peak;
    std::vector<int16_t> quiet(m.clean.size());
    for (size_t i = 0; i < quiet.size(); ++i) quiet[i] = static_cast<int16_t>(std::lround(m.clean[i] * scale));

    {
        // Target 50 % (-6 dBFS), room for the +24 dB needed, the default rise speed, and gain
        // smoothing of 100 ms (AttackTime 10) so the gain follows syllables.
        Chain chain(32000, {{"AutoGain", 1}, {"AGCPeak", 50}, {"AGCGainLimit", 3000}, {"AttackTime", 10}});
        chain.Begin();
        const auto peaks = PeaksPerSecondDb(chain.Run(quiet, 320), 32000, 0.5);
        double by5s = -100, after = -100;
        for (size_t s = 0; s < peaks.size(); ++s) (s < 5 ? by5s : after) = std::max(s < 5 ? by5s : after, peaks[s]);
        std::printf("AGC: peak within 5 s %+.2f dB re AGCPeak, highest peak afterwards %+.2f dB\n", by5s, after);
        EXPECT_NEAR(by5s, 0.0, 3.0);
        // Speech peaks land above the target: the gain rises on quiet frames between the loud
        // ones.  Held here as a bound on that overshoot, not as the 1 dB the target asks.
        EXPECT_LE(after, 6.0);
    }
}

TEST(PreProcessQuality, LimiterPathOvershootOnSpeech) {
    Material m(32000);
    ASSERT_FALSE(m.clean.empty());
    for (int gainPercent : {100, 200}) {
        Chain chain(32000, {{"AttackTime", 2}, {"Gain", gainPercent}});
        chain.SetFloat("Ratio", 0.0f);
        chain.SetFloat("Threshold", -6.0f);
        chain.Begin();
        const auto out = chain.Run(m.clean, 320);
        const double limit = 32767.0 * std::pow(10.0, -6.0 / 20.0);
        size_t over = 0;
        int32_t highest = 0;
        for (size_t i = 64; i < out.size(); ++i) {
            highest = std::max(highest, std::abs(int32_t{out[i]}));
            over += std::abs(int32_t{out[i]}) > limit + 1.0;
        }
        const double overshootDb = 20 * std::log10(highest / limit);
        std::printf("Limiter, gain %d %%: highest output %+.2f dB re threshold, %zu of %zu samples above\n",
                    gainPercent, overshootDb, over, out.size() - 64);
        // The limiter's peak hold expires one look-ahead after the peak was taken, so the tail
        // of a loud stretch leaves while the envelope releases: a bound, not a brick wall.
        EXPECT_LE(overshootDb, gainPercent == 100 ? 1.5 : 3.0);
    }
}

}  // namespace
}  // namespace zelmar
