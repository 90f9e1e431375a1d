// Limits inside the signal path, each checked exactly at its edge: the pre-processor's own
// 16-bit saturation and the automatic gain's rise below unity (the jitter ring's room for one
// more block is checked by its model, tests/ring_buffer_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "dsp/blocks/AutoGainControl.h"
#include "support/TestPlatform.h"

namespace zelmar {
namespace {

// One update of the automatic gain from a given state; the expected gains are worked out by
// hand from the rule: over the target it falls 5 % (1 % below unity) of the way to
// target / peak; in speech it rises upSpeed of that way, five times faster but at most 0.1
// while below unity; in silence it holds; the result stays within the limits.
TEST(Limits, AutomaticGainRisesAtMostATenthPerFrameBelowUnity) {
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
        EXPECT_NEAR(agc.Update(c.peak, c.target, c.silent), c.expected, 1e-6f)
            << "from " << c.gain << " at peak " << c.peak;
    }
    // From half gain on a quiet talker: a tenth per frame up to unity, then slowly.
    CAutoGainControl agc;
    agc.Restart(3.0f, 0.1f);
    agc.gain = 0.5f;
    const float expected[] = {0.6f, 0.7f, 0.8f, 0.9f, 1.0f};
    for (float e : expected) EXPECT_NEAR(agc.Update(0.01f, 0.5f, false), e, 1e-5f);
    EXPECT_NEAR(agc.Update(0.01f, 0.5f, false), 1.0f + 49.0f * 0.0005f, 1e-5f);
}

}  // namespace
}  // namespace zelmar
