#include "dsp/blocks/EchoDelayFinder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zelmar {

namespace {
// Four floats in one vector register (SSE on x86-64, NEON on ARM).
typedef float Float4 __attribute__((vector_size(16)));
}  // namespace

void CEchoDelayFinder::Reset(uint32_t sampleRateHz, uint32_t maxLagMs, uint32_t leadMs) {
    decimation_ = std::max<uint32_t>(1, sampleRateHz / kAnalysisRateHz);
    const uint64_t lag = (uint64_t{maxLagMs} + leadMs) * kAnalysisRateHz / 1000;
    maxLag_ = static_cast<uint32_t>(std::min<uint64_t>(lag, kRingSamples / 2));
    lead_ = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{leadMs} * kAnalysisRateHz / 1000, maxLag_));
    // Room for the lead and for a far end up to 50 ms behind.
    pending_.assign(lead_ + kAnalysisRateHz / 20, 0.0f);
    pendingFirst_ = pendingCount_ = 0;
    sums_.assign(maxLag_ + 1, 0.0f);
    sumsScale_ = 1.0f;
    far_.assign(2 * kRingSamples, 0.0f);
    farCount_ = micCount_ = seen_ = 0;
    farAcc_ = micAcc_ = 0;
    farFill_ = micFill_ = 0;
}

void CEchoDelayFinder::AddFar(const int16_t* in, uint32_t n) {
    if (far_.empty()) return;
    for (uint32_t i = 0; i < n; ++i) {
        farAcc_ += in[i];
        if (++farFill_ < decimation_) continue;
        // Stored backwards, and twice: the samples before any one of them then lie after it, in
        // one straight run whatever the ring's wrap (see AddCaptured).
        const uint32_t at = kRingSamples - 1 - static_cast<uint32_t>(farCount_ % kRingSamples);
        far_[at] = far_[at + kRingSamples] = static_cast<float>(farAcc_) / static_cast<float>(decimation_);
        ++farCount_;
        farAcc_ = 0;
        farFill_ = 0;
    }
    CorrelatePending();
}

void CEchoDelayFinder::AddCaptured(const int16_t* in, uint32_t n) {
    if (far_.empty()) return;
    for (uint32_t i = 0; i < n; ++i) {
        micAcc_ += in[i];
        if (++micFill_ < decimation_) continue;
        const float m = static_cast<float>(micAcc_) / static_cast<float>(decimation_);
        micAcc_ = 0;
        micFill_ = 0;
        // A far end that lags by more than the queue holds: the oldest waiting sample goes
        // uncompared.
        const auto size = static_cast<uint32_t>(pending_.size());
        if (pendingCount_ == size) {
            pendingFirst_ = (pendingFirst_ + 1) % size;
            --pendingCount_;
        }
        pending_[(pendingFirst_ + pendingCount_) % size] = m;
        ++pendingCount_;
        ++micCount_;
        CorrelatePending();
    }
}

void CEchoDelayFinder::CorrelatePending() {
    const auto size = static_cast<uint32_t>(pending_.size());
    while (pendingCount_ > 0) {
        // The oldest waiting sample's place in the stream, moved on by the lead.
        const uint64_t index = micCount_ - pendingCount_ + lead_;
        if (index >= farCount_) return;  // its far end has not come yet
        Correlate(pending_[pendingFirst_], index);
        pendingFirst_ = (pendingFirst_ + 1) % size;
        --pendingCount_;
    }
}

void CEchoDelayFinder::Correlate(float m, uint64_t index) {
    // A far end that ran too far ahead gives nothing to compare, nor does the stream's start.
    if (farCount_ - index >= kRingSamples / 2 || index < maxLag_) return;
    // before[lag] is the far-end sample `lag` steps before this one.  This loop is the
    // finder's whole cost (1 001 lags for 500 ms, 1 000 times a second), so it runs four
    // lags at a time in the compiler's vector type, and the forgetting is not done
    // here: the sums are kept divided by kForget^t, so that each new product is
    // scaled up instead, once, and the stored sums are brought back down now and then.
    sumsScale_ /= kForget;
    ++seen_;
    // Every second captured sample is enough: the lags keep their 0.5 ms step (the far
    // end is there at the full analysis rate), only the sums gather half the products.
    if (index % kCorrelateEvery != 0) return;
    const float scaled = m * sumsScale_;
    const float* before = &far_[kRingSamples - 1 - static_cast<uint32_t>(index % kRingSamples)];
    float* sums = sums_.data();
    const uint32_t count = maxLag_ + 1;
    const Float4 mic = {scaled, scaled, scaled, scaled};
    uint32_t lag = 0;
    for (; lag + 4 <= count; lag += 4) {
        Float4 sum, far;
        std::memcpy(&sum, sums + lag, sizeof sum);
        std::memcpy(&far, before + lag, sizeof far);
        sum += mic * far;
        std::memcpy(sums + lag, &sum, sizeof sum);
    }
    for (; lag < count; ++lag) sums[lag] += scaled * before[lag];
    if (sumsScale_ > kRescaleAbove) {
        for (float& sum : sums_) sum /= sumsScale_;
        sumsScale_ = 1.0f;
    }
}

void CEchoDelayFinder::Resync() {
    micCount_ = farCount_;
    pendingFirst_ = pendingCount_ = 0;
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

float CEchoDelayFinder::StrengthAt(int32_t delayMs) const {
    const int64_t lag = int64_t{delayMs} * kAnalysisRateHz / 1000;
    if (sums_.empty() || lag < 0 || lag > int64_t{maxLag_}) return 0.0f;
    float peak = 0;
    for (const float sum : sums_) peak = std::max(peak, std::fabs(sum));
    return peak > 0 ? std::fabs(sums_[static_cast<size_t>(lag)]) / peak : 0.0f;
}

}  // namespace zelmar
