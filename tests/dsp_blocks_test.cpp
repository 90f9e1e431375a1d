#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <deque>
#include <random>
#include <vector>

#include "dsp/blocks/AutoGainControl.h"
#include "dsp/blocks/BiquadFilter.h"
#include "dsp/blocks/BiquadFilter2.h"
#include "dsp/blocks/EnvelopeDetector.h"
#include "dsp/blocks/LevelGate.h"
#include "dsp/blocks/Limiter.h"
#include "support/DspReference.h"

namespace zelmar {
namespace {

constexpr double kPi = 3.141592653589793;

// |H| on the unit circle for a section's normalised coefficients.
template <typename Section>
double Magnitude(const Section& s, double hz, double fs) {
    const std::complex<double> z1 = std::polar(1.0, -2 * kPi * hz / fs), z2 = z1 * z1;
    return std::abs((s.b0 + s.b1 * z1 + s.b2 * z2) / (1.0 + s.a1 * z1 + s.a2 * z2));
}

double Db(double gain) { return 20 * std::log10(gain); }

constexpr double kZero = -1000.0;  // a design target of no signal at all
struct DesignCase {
    uint32_t kind;
    double f0, fs, gainDb;
    double atF0Db, atDcDb, atNyquistDb;  // the design targets in closed form
};

// Every kind against the targets its design sets at the design frequency, DC and Nyquist, and
// the section's steps against a direct-form-I section designed from the published equations,
// sample for sample on a long signal; the second family of sections designs and steps alike.
TEST(BiquadFilter, EveryKindMeetsItsDesignTargetsAndStepsLikeTheCookbookSection) {
    const DesignCase cases[] = {
        {CBiquadFilter::kLowPass, 3400, 16000, 0, -3.0103, 0, kZero},
        {CBiquadFilter::kLowPass, 6400, 32000, 0, -3.0103, 0, kZero},
        {CBiquadFilter::kHighPass, 120, 16000, 0, -3.0103, kZero, 0},
        {CBiquadFilter::kHighPass, 300, 48000, 0, -3.0103, kZero, 0},
        {CBiquadFilter::kBandPass, 1000, 16000, 0, 0, kZero, kZero},
        {CBiquadFilter::kNotch, 1000, 16000, 0, kZero, 0, 0},
        {CBiquadFilter::kPeaking, 1000, 16000, 0, 0, 0, 0},  // 0 dB: b = a, transparent
        {CBiquadFilter::kPeaking, 1000, 16000, 6, 6, 0, 0},
        {CBiquadFilter::kPeaking, 1000, 32000, -9.5, -9.5, 0, 0},
        {CBiquadFilter::kLowShelf, 200, 16000, 6, 3, 6, 0},
        {CBiquadFilter::kLowShelf, 200, 32000, -12, -6, -12, 0},
        {CBiquadFilter::kHighShelf, 5000, 16000, 6, 3, 0, 6},
        {CBiquadFilter::kHighShelf, 5000, 44100, -8, -4, 0, -8},
    };
    const std::vector<int16_t> signal = test::TestSignal(16000, 3.0, 5);
    for (const DesignCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << c.kind << " f0 " << c.f0 << " fs " << c.fs << " gain " << c.gainDb);
        CBiquadFilter filter(static_cast<int>(c.fs));
        CBiquadFilter2 twin(static_cast<int>(c.fs));
        for (CBiquadFilter* section : {&filter, static_cast<CBiquadFilter*>(&twin)}) {
            section->type = c.kind;
            section->frequency = c.f0;
            section->gainDb = c.gainDb;
            section->ComputeCoefficients();
        }
        const double at[] = {c.f0, 0.0, c.fs / 2}, target[] = {c.atF0Db, c.atDcDb, c.atNyquistDb};
        for (int i = 0; i < 3; ++i) {
            if (target[i] == kZero) EXPECT_LT(Magnitude(filter, at[i], c.fs), 1e-6) << "at " << at[i] << " Hz";
            else EXPECT_NEAR(Db(Magnitude(filter, at[i], c.fs)), target[i], 0.01) << "at " << at[i] << " Hz";
        }
        test::RefBiquad reference;
        reference.Design(static_cast<int>(c.kind), c.f0, c.fs, c.gainDb);
        for (std::size_t n = 0; n < signal.size(); ++n) {
            const float x = static_cast<float>(signal[n] / 32768.0), y = filter.ProcessSample(x);
            ASSERT_EQ(y, reference.Step(x)) << "sample " << n;
            ASSERT_EQ(twin.ProcessSample(x), y) << "sample " << n;
        }
    }
}

// One update of the automatic gain from a given state; the expected gains are worked out by
// hand from the rule: over the target it falls 5 % (1 % below unity) of the way to
// target / peak; in speech it rises upSpeed of that way, five times faster but at most 0.1
// while below unity; in silence it holds; the result stays within the limits.
TEST(AutoGainControl, RisesAtMostATenthPerFrameBelowUnity) {
    struct Case { float gain, peak, target, upSpeed; bool silent; float expected; };
    const Case cases[] = {
        {0.5f, 0.01f, 0.5f, 0.0005f, false, 0.6f},        // (50 - 0.5) x 0.0025 = 0.124, capped
        {0.95f, 0.01f, 0.5f, 0.0005f, false, 1.05f},      // capped, crossing unity
        {0.5f, 0.25f, 0.5f, 0.0005f, false, 0.50375f},    // (2 - 0.5) x 0.0025
        {0.2f, 0.001f, 0.5f, 0.01f, false, 0.5f},         // capped at 0.3, then the lower limit 0.5
        {1.0f, 0.01f, 0.5f, 0.0005f, false, 1.0245f},     // at unity: (50 - 1) x 0.0005, no cap
        {2.0f, 0.01f, 0.5f, 0.01f, false, 2.48f},         // above unity: (50 - 2) x 0.01, no cap
        {2.9f, 0.01f, 0.5f, 0.01f, false, 3.0f},          // the upper limit
        {0.5f, 0.01f, 0.5f, 0.0005f, true, 0.5f},         // silence holds
        {2.0f, 0.5f, 0.5f, 0.0005f, false, 1.95f},        // over the target: 2 + (1 - 2) x 0.05
        {0.9f, 0.8f, 0.5f, 0.0005f, false, 0.89725f},     // below unity: 0.9 + (0.625 - 0.9) x 0.01
    };
    for (const Case& c : cases) {
        CAutoGainControl agc;
        agc.Restart(3.0f, 0.5f);
        agc.gain = c.gain;
        agc.upSpeed = c.upSpeed;
        const float result = agc.Update(c.peak, c.target, c.silent);
        EXPECT_NEAR(result, c.expected, 1e-6f) << "from " << c.gain << " at peak " << c.peak;
        EXPECT_EQ(agc.gain, result) << "the next frame starts from the gain returned";
    }
}

// The envelope closes 1 - 1/e of a step in its time, the limiter's followers 99 %.
TEST(EnvelopeDetector, FollowersCloseTheirShareOfAStepInTheirTime) {
    EnvelopeDetector<float> detector(5.0f, 16000);  // 5 ms = 80 samples
    float state = 0.0f;
    for (int n = 0; n < 80; ++n) detector.Smooth(1.0f, state);
    EXPECT_NEAR(state, 1.0 - std::exp(-1.0), 1e-4);
    detector.SetSampleRate(32000);
    EXPECT_FLOAT_EQ(detector.coefficient, static_cast<float>(std::exp(-1000.0 / (5.0 * 32000))));
    CLimiter limiter;
    EXPECT_NEAR(limiter.attack.coefficient, std::pow(0.01, 0.03125), 1e-6);
    EXPECT_NEAR(limiter.release.coefficient, std::pow(0.01, 0.003125), 1e-6);
    limiter.SetSampleRate(16000);
    limiter.SetReleaseTime(20.0f);  // 320 samples at 16 kHz
    state = 0.0f;
    for (int n = 0; n < 320; ++n) limiter.release.Smooth(1.0f, state);
    EXPECT_NEAR(state, 0.99, 1e-4);
}

// A restarted level gate knows no threshold: the first frame, however loud, only sets the
// starting threshold (100) and noise (30) and counts as silent; the next loud one is heard.
TEST(LevelGate, TheFirstFrameAfterARestartTeachesTheStartingThreshold) {
    CLevelGate gate;
    for (int pass = 0; pass < 2; ++pass, gate.Restart()) {
        EXPECT_EQ(gate.Threshold(), 0);
        EXPECT_TRUE(gate.Update(0.5f));
        EXPECT_EQ(gate.Threshold(), 100);
        EXPECT_EQ(gate.Noise(), 30.0f);
        EXPECT_FALSE(gate.Update(0.5f));  // the second loud frame in a row opens it
    }
}

TEST(Limiter, LookAheadAndRingSizeFollowTheAttackTime) {
    CLimiter limiter;
    limiter.SetAttackTime(2.0f);
    EXPECT_EQ(limiter.lookahead, 64u);
    ASSERT_TRUE(limiter.Reset());
    EXPECT_EQ(limiter.ringMask, 63u);
    limiter.SetAttackTime(3.0f);  // had a look-ahead: resets itself
    EXPECT_EQ(limiter.lookahead, 96u);
    EXPECT_EQ(limiter.ringMask, 127u);
    limiter.SetSampleRate(8000);
    limiter.SetAttackTime(2.0f);
    EXPECT_EQ(limiter.lookahead, 64u);
    limiter.SetAttackTime(1e9f);  // absurd: refused by Reset, the limiter turns transparent
    EXPECT_EQ(limiter.ProcessSample(3.0f), 3.0f);

    CLimiter transparent;  // no look-ahead: every sample unchanged, whatever the threshold
    transparent.SetThreshold(-20.0f);
    ASSERT_TRUE(transparent.Reset());
    for (float x : {0.0f, 0.5f, -2.0f, 7.25f}) EXPECT_EQ(transparent.ProcessSample(x), x);
}

// The limiter step written out from its definition, with a plain queue as the delay line.
class ReferenceLimiter {
public:
    ReferenceLimiter(float threshold, uint32_t lookahead, float attackK, float releaseK)
        : threshold_(threshold), lookahead_(lookahead), attackK_(attackK), releaseK_(releaseK),
          held_(threshold), envelope_(threshold), delay_(lookahead, 0.0f) {}
    float Step(float x) {
        float p = std::fabs(x);
        if (p < threshold_) p = threshold_;
        if (++hold_ >= lookahead_ || held_ < p) {
            held_ = p;
            hold_ = 0;
        }
        envelope_ = held_ + (envelope_ - held_) * (envelope_ < held_ ? attackK_ : releaseK_);
        const float gain = threshold_ / envelope_;
        delay_.push_back(x);
        const float y = delay_.front();
        delay_.pop_front();
        return y * gain;
    }

private:
    float threshold_;
    uint32_t lookahead_, hold_ = 0;
    float attackK_, releaseK_, held_, envelope_;
    std::deque<float> delay_;
};

// Sample for sample against the definition on long signals at 16 kHz; and sudden peaks at the
// limiter's 32 kHz: a peak enters the detector `lookahead` samples before it leaves the delay
// line, and the attack follower closes 99 % of the rise meanwhile, so the output exceeds the
// threshold by at most 1 / (1 - k^(lookahead + 1)), under 0.1 dB.  Bursts of constant
// magnitude (square waves) rise abruptly out of silence.  Checked while the detector sees the
// burst: once a burst ends, the peak hold expires onto the quiet input while the burst's last
// samples are still in the delay line, and those leave with a releasing envelope, above the
// threshold.  That release is how this limiter behaves.
TEST(Limiter, MatchesItsDefinitionAndHoldsSuddenPeaksWithinTheAttackFollowersResidual) {
    for (float attackMs : {1.0f, 2.0f, 3.0f}) {
        CLimiter limiter, peaks;
        limiter.SetSampleRate(16000);
        for (CLimiter* l : {&limiter, &peaks}) {
            l->SetThreshold(-6.0f);
            l->SetAttackTime(attackMs);
        }
        limiter.SetReleaseTime(30.0f);
        ASSERT_TRUE(limiter.Reset() && peaks.Reset());
        ReferenceLimiter reference(limiter.threshold, limiter.lookahead, limiter.attack.coefficient,
                                   limiter.release.coefficient);
        std::mt19937 random(11);
        std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
        for (int n = 0; n < 16000 * 4; ++n) {
            // Bursts of loud noise and a tone, with quiet stretches between them.
            const float loud = (n / 4000) % 2 == 0 ? 1.5f : 0.2f;
            const float x = loud * (0.5f * noise(random) + 0.5f * static_cast<float>(std::sin(n * 0.03)));
            ASSERT_EQ(limiter.ProcessSample(x), reference.Step(x)) << "sample " << n << " attack " << attackMs;
        }
        const double bound = peaks.threshold / (1.0 - std::pow(double{peaks.attack.coefficient}, peaks.lookahead + 1.0));
        EXPECT_LT(Db(bound / peaks.threshold), 0.1);
        double worst = 0;
        for (int n = 0; n < 32000 * 5; ++n) {
            const int burst = (n / 3200) % 4;
            const double level = burst == 1 ? 1.0 : burst == 3 ? 4.0 : 0.0;
            const float y = peaks.ProcessSample(static_cast<float>(level * ((n / 37) % 2 == 0 ? 1.0 : -1.0)));
            if (level > 0.0) worst = std::max(worst, std::fabs(double{y}));
        }
        EXPECT_LE(worst, bound) << attackMs;
        EXPECT_GT(worst, peaks.threshold * 0.98);  // it limits, it does not mute
    }
}

}  // namespace
}  // namespace zelmar
