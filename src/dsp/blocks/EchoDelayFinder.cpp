#include "dsp/blocks/EchoDelayFinder.h"

#include <algorithm>
#include <cmath>

namespace zelmar {

void CEchoDelayFinder::Reset(uint32_t sampleRateHz, uint32_t maxLagMs) {
    decimation_ = std::max<uint32_t>(1, sampleRateHz / kAnalysisRateHz);
    const uint64_t lag = uint64_t{maxLagMs} * kAnalysisRateHz / 1000;
    maxLag_ = static_cast<uint32_t>(std::min<uint64_t>(lag, kRingSamples / 2));
    sums_.assign(maxLag_ + 1, 0.0f);
    far_.assign(kRingSamples, 0.0f);
    farCount_ = micCount_ = seen_ = 0;
    farAcc_ = micAcc_ = 0;
    farFill_ = micFill_ = 0;
}

void CEchoDelayFinder::AddFar(const int16_t* in, uint32_t n) {
    if (far_.empty()) return;
    for (uint32_t i = 0; i < n; ++i) {
        farAcc_ += in[i];
        if (++farFill_ < decimation_) continue;
        far_[farCount_ % kRingSamples] = static_cast<float>(farAcc_) / static_cast<float>(decimation_);
        ++farCount_;
        farAcc_ = 0;
        farFill_ = 0;
    }
}

void CEchoDelayFinder::AddCaptured(const int16_t* in, uint32_t n) {
    if (far_.empty()) return;
    for (uint32_t i = 0; i < n; ++i) {
        micAcc_ += in[i];
        if (++micFill_ < decimation_) continue;
        const float m = static_cast<float>(micAcc_) / static_cast<float>(decimation_);
        micAcc_ = 0;
        micFill_ = 0;
        // A far end that lags, or one that ran too far ahead, gives nothing to compare.
        if (micCount_ < farCount_ && farCount_ - micCount_ < kRingSamples / 2 && micCount_ >= maxLag_) {
            for (uint32_t lag = 0; lag <= maxLag_; ++lag) {
                sums_[lag] = sums_[lag] * kForget + m * far_[(micCount_ - lag) % kRingSamples];
            }
            ++seen_;
        }
        ++micCount_;
    }
}

void CEchoDelayFinder::Resync() {
    micCount_ = farCount_;
    micFill_ = farFill_ = 0;
    micAcc_ = farAcc_ = 0;
}

int32_t CEchoDelayFinder::DelayMs() const {
    if (seen_ < kMinSamples || sums_.empty()) return -1;
    double total = 0;
    uint32_t best = 0;
    for (uint32_t lag = 0; lag <= maxLag_; ++lag) {
        total += std::fabs(sums_[lag]);
        if (std::fabs(sums_[lag]) > std::fabs(sums_[best])) best = lag;
    }
    const double mean = total / (maxLag_ + 1);
    if (mean <= 0 || std::fabs(sums_[best]) < kPeakOverMean * mean) return -1;
    return static_cast<int32_t>(uint64_t{best} * 1000 / kAnalysisRateHz);
}

}  // namespace zelmar
