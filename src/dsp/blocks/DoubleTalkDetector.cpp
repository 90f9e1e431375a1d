#include "dsp/blocks/DoubleTalkDetector.h"

#include <algorithm>
#include <cmath>

namespace zelmar {

void CDoubleTalkDetector::Reset(uint32_t blockSamples, uint32_t spanBlocks) {
    block_ = blockSamples;
    farPeaks_.assign(std::max(spanBlocks, 1u), 0.0f);
    farPeakAt_ = 0;
    capturedEnergy_ = estimateEnergy_ = 0;
    hang_ = 0;
}

bool CDoubleTalkDetector::Update(const float* far, const float* captured, const float* echoEstimate) {
    float farPeak = 0, capturedPeak = 0, capturedSum = 0, estimateSum = 0;
    for (uint32_t i = 0; i < block_; ++i) {
        farPeak = std::max(farPeak, std::fabs(far[i]));
        capturedPeak = std::max(capturedPeak, std::fabs(captured[i]));
        capturedSum += captured[i] * captured[i];
        estimateSum += echoEstimate[i] * echoEstimate[i];
    }
    farPeaks_[farPeakAt_] = farPeak;
    farPeakAt_ = farPeakAt_ + 1 == farPeaks_.size() ? 0 : farPeakAt_ + 1;
    const float farSpanPeak = *std::max_element(farPeaks_.begin(), farPeaks_.end());

    const float n = block_ == 0 ? 1.0f : static_cast<float>(block_);
    capturedEnergy_ = kSmoothing * capturedEnergy_ + (1.0f - kSmoothing) * capturedSum / n;
    estimateEnergy_ = kSmoothing * estimateEnergy_ + (1.0f - kSmoothing) * estimateSum / n;

    louderThanEcho_ = capturedPeak > kPeakOverFar * farSpanPeak;
    const bool unexplained = capturedEnergy_ > kQuietCapture && estimateEnergy_ < kEstimateShare * capturedEnergy_;
    if (louderThanEcho_ && unexplained) {
        hang_ = kHangBlocks;
    } else if (hang_ > 0) {
        --hang_;
    }
    return hang_ > 0;
}

}  // namespace zelmar
