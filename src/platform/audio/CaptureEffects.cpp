#include "platform/audio/CaptureEffects.h"

#include <webrtc/common.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace zelmar::platform::audio {
namespace {

constexpr float kFromInt16 = 1.0f / 32768.0f;

bool IsProcessableRate(uint32_t rate) { return rate == 8000 || rate == 16000 || rate == 32000 || rate == 48000; }

bool IsProcessable(const WAVEFORMATEX& f) {
    return f.wFormatTag == 1 && f.wBitsPerSample == 16 && (f.nChannels == 1 || f.nChannels == 2) &&
           IsProcessableRate(f.nSamplesPerSec) && f.nBlockAlign == 2 * f.nChannels;
}

// Interleaved 16-bit little-endian samples to one float buffer per channel.
void Deinterleave(const uint8_t* bytes, uint32_t frames, int channels, std::vector<float>* out) {
    for (uint32_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            int16_t sample;
            std::memcpy(&sample, bytes + (i * channels + c) * 2, 2);
            out[c][i] = sample * kFromInt16;
        }
    }
}

// The first channel of 16-bit frames `frameBytes` apart, one sample of T each.
template <typename T>
void FirstChannel(const uint8_t* bytes, uint32_t frames, uint32_t frameBytes, T* out) {
    for (uint32_t i = 0; i < frames; ++i) {
        int16_t sample;
        std::memcpy(&sample, bytes + size_t{i} * frameBytes, 2);
        out[i] = sample;
    }
}

float BlockEnergy(const std::vector<float>& x) {
    float sum = 0;
    for (float v : x) sum += v * v;
    return sum;
}

void Interleave(const std::vector<float>* in, uint32_t frames, int channels, uint8_t* bytes) {
    for (uint32_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            const float scaled = std::clamp(in[c][i] * 32768.0f, -32768.0f, 32767.0f);
            const auto sample = static_cast<int16_t>(scaled < 0 ? scaled - 0.5f : scaled + 0.5f);
            std::memcpy(bytes + (i * channels + c) * 2, &sample, 2);
        }
    }
}

}  // namespace

bool CaptureEffects::CanProcess(const WAVEFORMATEX& format) { return IsProcessable(format); }

std::shared_ptr<CaptureEffects> CaptureEffects::Create(const WAVEFORMATEX& format, bool echoCancellation,
                                                       bool noiseSuppression) {
    if (!IsProcessable(format)) return nullptr;
    std::shared_ptr<CaptureEffects> effects(new CaptureEffects(format, echoCancellation, noiseSuppression));
    if (!effects->Init()) return nullptr;
    return effects;
}

CaptureEffects::CaptureEffects(const WAVEFORMATEX& format, bool echoCancellation, bool noiseSuppression)
    : format_(format), hasEcho_(echoCancellation), hasNoise_(noiseSuppression), echoOn_(echoCancellation),
      noiseOn_(noiseSuppression) {}

CaptureEffects::~CaptureEffects() {
    delete apm_;
    delete noiseApm_;
}

uint32_t CaptureEffects::CancellerLagSamples(uint32_t rate) {
    switch (rate) {
        case 8000: return kCancellerLagSamples[0];
        case 16000: return kCancellerLagSamples[1];
        case 32000: return kCancellerLagSamples[2];
        default: return kCancellerLagSamples[3];
    }
}

bool CaptureEffects::Init() {
    webrtc::Config config;
    // The echo lands about kFarLeadMs into the filter and slides as the path or the clocks
    // move: the extended filter (128 ms) leaves it room to.
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    // The far end is aligned here (FindDelayLocked): the canceller's own delay search, which
    // would move the filter under that alignment, stays off.
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(false));
    apm_ = webrtc::AudioProcessing::Create(config);
    noiseApm_ = webrtc::AudioProcessing::Create();
    if (apm_ == nullptr || noiseApm_ == nullptr) return false;
    chunkFrames_ = format_.nSamplesPerSec * kChunkMs / 1000;
    chunkBytes_ = chunkFrames_ * format_.nBlockAlign;
    pending_.assign(size_t{chunkBytes_} * kLatencyChunks, 0);
    // The stream starts kLatencyChunks late: those chunks are silence.
    output_.assign(size_t{chunkBytes_} * (kLatencyChunks + 1), 0);
    outputFill_ = chunkBytes_ * kLatencyChunks;
    for (auto& channel : channels_) channel.assign(chunkFrames_, 0.0f);
    finder_.Reset(format_.nSamplesPerSec, kMaxEchoDelayMs);
    finderFar_.assign(chunkFrames_, 0);
    finderCaptured_.assign(chunkFrames_, 0);
    const webrtc::StreamConfig stream(static_cast<int>(format_.nSamplesPerSec), format_.nChannels);
    const webrtc::ProcessingConfig processing{{stream, stream, stream, stream}};
    if (apm_->Initialize(processing) != webrtc::AudioProcessing::kNoError ||
        noiseApm_->Initialize(processing) != webrtc::AudioProcessing::kNoError) {
        return false;
    }
    apm_->echo_cancellation()->enable_drift_compensation(false);
    apm_->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kHighSuppression);
    apm_->echo_cancellation()->Enable(echoOn_);
    noiseApm_->noise_suppression()->set_level(webrtc::NoiseSuppression::kHigh);
    noiseApm_->noise_suppression()->Enable(noiseOn_);
    if (hasEcho_ && format_.nChannels == 1) {
        const uint32_t partitions = kLinearSpanMs / kChunkMs;
        if (!linear_.Init(chunkFrames_, partitions)) return false;
        talk_.Reset(chunkFrames_, partitions);
        for (auto* buffer : {&linearFar_, &linearIn_, &linearOut_, &linearEstimate_}) buffer->assign(chunkFrames_, 0.0f);
        cancellerLag_ = CancellerLagSamples(format_.nSamplesPerSec);
        linearDelay_.assign(cancellerLag_ + chunkFrames_, 0.0f);
        hasLinear_ = true;
    }
    return true;
}

bool CaptureEffects::Has(CaptureEffect kind) const {
    return kind == CaptureEffect::kEchoCancellation ? hasEcho_ : hasNoise_;
}

bool CaptureEffects::IsEnabled(CaptureEffect kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    return kind == CaptureEffect::kEchoCancellation ? echoOn_ : noiseOn_;
}

void CaptureEffects::SetEnabled(CaptureEffect kind, bool enabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (kind == CaptureEffect::kEchoCancellation) {
        echoOn_ = enabled;
        apm_->echo_cancellation()->Enable(enabled);
    } else {
        noiseOn_ = enabled;
        noiseApm_->noise_suppression()->Enable(enabled);
    }
}

namespace {

class EffectSwitch final : public ICaptureEffect {
public:
    EffectSwitch(std::shared_ptr<CaptureEffects> effects, CaptureEffect kind) : effects_(std::move(effects)), kind_(kind) {}
    DsResult GetEnable(bool* enabled) override {
        if (enabled == nullptr) return kDsErrInvalidParam;
        *enabled = effects_->IsEnabled(kind_);
        return kDsOk;
    }
    DsResult SetEnable(bool enabled) override {
        effects_->SetEnabled(kind_, enabled);
        return kDsOk;
    }

private:
    std::shared_ptr<CaptureEffects> effects_;
    const CaptureEffect kind_;
};

}  // namespace

DsResult CaptureEffects::MakeSwitch(CaptureEffect kind, std::unique_ptr<ICaptureEffect>* effect) {
    if (effect == nullptr) return kDsErrInvalidParam;
    if (!Has(kind)) return kDsErrNoInterface;
    *effect = std::make_unique<EffectSwitch>(shared_from_this(), kind);
    return kDsOk;
}

void CaptureEffects::Render(const WAVEFORMATEX& format, const uint8_t* bytes, uint32_t count, int64_t heardAtUs) {
    if (!hasEcho_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!IsProcessable(format)) return;
    if (format.nSamplesPerSec != farFormat_.nSamplesPerSec || format.nChannels != farFormat_.nChannels) {
        // A new far-end format: chunks start afresh (the processing reinitialises itself).
        farFormat_ = format;
        farChunkBytes_ = format.nSamplesPerSec * kChunkMs / 1000 * format.nBlockAlign;
        farInput_.assign(farChunkBytes_, 0);
        farQueue_.assign(size_t{farChunkBytes_} * kFarChunks, 0);
        farFill_ = 0;
        farToCanceller_ = farToFinder_ = farWritten_;
        for (auto& channel : farChannels_) channel.assign(farChunkBytes_ / format.nBlockAlign, 0.0f);
    }
    const uint32_t bytesPerSecond = format.nAvgBytesPerSec;
    for (uint32_t done = 0; done < count;) {
        if (farFill_ == 0) farInputAtUs_ = heardAtUs + int64_t{done} * 1000000 / bytesPerSecond;
        const uint32_t n = std::min(count - done, farChunkBytes_ - farFill_);
        std::memcpy(farInput_.data() + farFill_, bytes + done, n);
        farFill_ += n;
        done += n;
        if (farFill_ < farChunkBytes_) continue;
        farFill_ = 0;
        // Nobody captures: the oldest is dropped.
        if (farWritten_ - std::min(farToCanceller_, farToFinder_) == kFarChunks) DropOldestFarLocked();
        const auto slot = static_cast<uint32_t>(farWritten_ % kFarChunks);
        std::memcpy(farQueue_.data() + size_t{slot} * farChunkBytes_, farInput_.data(), farChunkBytes_);
        farHeardAtUs_[slot] = farInputAtUs_;
        ++farWritten_;
        farEndUntilUs_ = farInputAtUs_ + int64_t{kChunkMs} * 1000;
    }
}

void CaptureEffects::FeedFarEndLocked(int64_t untilUs) {
    const webrtc::StreamConfig config(static_cast<int>(farFormat_.nSamplesPerSec), farFormat_.nChannels);
    const uint32_t frames = farFormat_.nBlockAlign == 0 ? 0 : farChunkBytes_ / farFormat_.nBlockAlign;
    while (farToCanceller_ < farWritten_ && farHeardAtUs_[farToCanceller_ % kFarChunks] <= untilUs) {
        const size_t slot = farToCanceller_ % kFarChunks;
        Deinterleave(farQueue_.data() + slot * farChunkBytes_, frames, farFormat_.nChannels, farChannels_);
        float* data[2] = {farChannels_[0].data(), farChannels_[1].data()};
        apm_->ProcessReverseStream(data, config, config, data);
        ++farToCanceller_;
    }
}

void CaptureEffects::DropOldestFarLocked() {
    const uint64_t oldest = std::min(farToCanceller_, farToFinder_);
    farToCanceller_ = std::max(farToCanceller_, oldest + 1);
    farToFinder_ = std::max(farToFinder_, oldest + 1);
}

void CaptureEffects::FindDelayLocked(const uint8_t* chunk, int64_t capturedAtUs) {
    // Stream positions must line up for the finder: each captured chunk goes with exactly one
    // far-end chunk, the last one heard by the time it was captured (silence when none came
    // since the last); the chunks' starts differ by less than a chunk, always by the same.
    bool found = false;
    while (farToFinder_ < farWritten_ && farHeardAtUs_[farToFinder_ % kFarChunks] <= capturedAtUs) {
        const size_t slot = farToFinder_ % kFarChunks;
        FirstChannel(farQueue_.data() + slot * farChunkBytes_, chunkFrames_, farFormat_.nBlockAlign, finderFar_.data());
        found = true;
        ++farToFinder_;
    }
    if (!found) std::fill(finderFar_.begin(), finderFar_.end(), int16_t{0});
    FirstChannel(chunk, chunkFrames_, format_.nBlockAlign, finderCaptured_.data());
    finder_.AddFar(finderFar_.data(), chunkFrames_);
    finder_.AddCaptured(finderCaptured_.data(), chunkFrames_);
    if (++chunksDone_ % kAlignEveryChunks != 0) return;
    const int32_t delayMs = finder_.DelayMs();
    // A peak of a moment (a vowel's period, a pause's onset) moves nothing: the hold moves
    // only to a delay found at kSteadyChecks checks in a row.
    if (delayMs < 0 || std::llabs(delayMs - candidateMs_) > kSteadyWithinMs) {
        candidateMs_ = delayMs;
        candidateChecks_ = 0;
    }
    if (delayMs < 0 || ++candidateChecks_ < kSteadyChecks) return;
    // Nor while the delay held still correlates half as well as the new one: a near-end
    // talker can make another lag peak for a moment while the echo stays where it was.
    if (std::llabs(delayMs - heldMs_) >= kRealignMs &&
        (heldMs_ == 0 || finder_.StrengthAt(static_cast<int32_t>(heldMs_)) < kHeldStrengthToMove)) {
        heldMs_ = delayMs;
    }
}

// The linear canceller on the captured chunk in channels_[0], with the next far-end chunk
// (silence when none came); whether the near end talks.
bool CaptureEffects::CancelLinearLocked() {
    if (heldMs_ != linearHeldMs_) {  // the far end moved against the capture: a new path
        linear_.Reset();  // a start-over: the trust and its sums go with it below
        linearInputEnergy_ = linearOutputEnergy_ = linearEchoEnergy_ = linearFarEnergy_ = 0;
        linearHeldMs_ = heldMs_;
    }
    // The far-end chunk kLinearFarHoldChunks before the one WebRTC's canceller got last, if
    // one came since the last captured chunk (as the delay finder pairs them) and is still
    // queued; silence otherwise.
    const uint64_t newest = farToCanceller_ - 1 - kLinearFarHoldChunks;
    const bool fresh = farToCanceller_ > kLinearFarHoldChunks && newest != linearFarUsed_ &&
                       farWritten_ - newest < kFarChunks && farFormat_.nSamplesPerSec == format_.nSamplesPerSec;
    if (fresh) {
        const uint8_t* chunk = farQueue_.data() + size_t{newest % kFarChunks} * farChunkBytes_;
        FirstChannel(chunk, chunkFrames_, farFormat_.nBlockAlign, linearFar_.data());
        linearFarUsed_ = newest;
    } else {
        std::fill(linearFar_.begin(), linearFar_.end(), 0.0f);
    }
    for (uint32_t i = 0; i < chunkFrames_; ++i) linearIn_[i] = channels_[0][i] * 32768.0f;
    linear_.Process(linearFar_.data(), linearIn_.data(), linearOut_.data());
    for (uint32_t i = 0; i < chunkFrames_; ++i) linearEstimate_[i] = linearIn_[i] - linearOut_[i];
    const bool talking = talk_.Update(linearFar_.data(), linearIn_.data(), linearEstimate_.data());
    // How well it cancels, from the chunks without a talker: once it takes the echo 6 dB down,
    // its output is used while the near end talks.  It loses that, and must earn it again,
    // when it starts over or when its output comes out 1 dB louder than the capture over all
    // chunks (a talker adds to both alike): a path that moved under it looks like a talker to
    // the detector, and the canceller would not learn it again.  Untrusted, the talk marks keep
    // it from nothing: before it has learnt the path, its mismatch looks like a talker too.
    const float inEnergy = BlockEnergy(linearIn_), outEnergy = BlockEnergy(linearOut_);
    linearOutputEnergy_ = kLinearTrustForget * linearOutputEnergy_ + outEnergy;
    linearInputEnergy_ = kLinearTrustForget * linearInputEnergy_ + inEnergy;
    if (linear_.StartsOver() != linearStartsOver_ || linearOutputEnergy_ > kLinearLouderBy * linearInputEnergy_) {
        linearStartsOver_ = linear_.StartsOver();
        linearTrusted_ = false;
        linearCapturedEnergy_ = linearResidualEnergy_ = 0;
        linearTrustChunks_ = 0;
    }
    // Geigel's test takes a captured peak over half the far end's for a talker: on a path
    // that loud (a sink's monitor heard directly) it marks the echo too, and the linear
    // canceller's output is never handed out.
    const bool loudPath = linearEchoEnergy_ > kLoudPathEnergyShare * linearFarEnergy_;
    if (!talking || !linearTrusted_ || loudPath) linear_.Learn();
    if (!talking) {
        linearCapturedEnergy_ = kLinearTrustForget * linearCapturedEnergy_ + inEnergy;
        linearResidualEnergy_ = kLinearTrustForget * linearResidualEnergy_ + outEnergy;
        linearEchoEnergy_ = kLinearTrustForget * linearEchoEnergy_ + BlockEnergy(linearEstimate_);
        linearFarEnergy_ = kLinearTrustForget * linearFarEnergy_ + BlockEnergy(linearFar_);
        if (++linearTrustChunks_ >= kLinearTrustAfterChunks &&
            linearCapturedEnergy_ > kLinearTrustRatio * linearResidualEnergy_) {
            linearTrusted_ = true;
        }
    }
    // Into the delay ring, then the chunk WebRTC's lag behind it out.
    const auto size = static_cast<uint32_t>(linearDelay_.size());
    for (uint32_t i = 0; i < chunkFrames_; ++i) {
        linearDelay_[linearDelayAt_] = linearOut_[i];
        linearDelayAt_ = linearDelayAt_ + 1 == size ? 0 : linearDelayAt_ + 1;
    }
    uint32_t from = (linearDelayAt_ + size - chunkFrames_ - cancellerLag_) % size;
    for (uint32_t i = 0; i < chunkFrames_; ++i) {
        linearOut_[i] = linearDelay_[from];
        from = from + 1 == size ? 0 : from + 1;
    }
    return talking && linearTrusted_ && !loudPath;
}

// channels_[0] holds WebRTC's output; while the near end talks it becomes the linear
// canceller's, faded over the chunk where that changes.
void CaptureEffects::MixLinearLocked(bool talking) {
    if (!talking && !wasTalking_) return;
    const float step = 1.0f / static_cast<float>(chunkFrames_);
    for (uint32_t i = 0; i < chunkFrames_; ++i) {
        float linearShare = talking ? 1.0f : 0.0f;
        if (talking != wasTalking_) linearShare = talking ? (i + 1) * step : 1.0f - (i + 1) * step;
        const float linear = linearOut_[i] * (1.0f / 32768.0f);
        channels_[0][i] = linearShare * linear + (1.0f - linearShare) * channels_[0][i];
    }
    wasTalking_ = talking;
}

int32_t CaptureEffects::HeldBackMs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int32_t>(heldMs_);
}

void CaptureEffects::Process(uint8_t* bytes, uint32_t count, int64_t capturedAtUs) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t bytesPerSecond = format_.nAvgBytesPerSec;
    // Each step takes in what completes the chunk being gathered and hands back as many
    // processed bytes.  At most kLatencyChunks - 1 whole chunks wait unprocessed, so the
    // output ring (kLatencyChunks chunks of silence at first) never runs short.
    for (uint32_t done = 0; done < count;) {
        if (inputFill_ == 0) inputAtUs_ = capturedAtUs + int64_t{done} * 1000000 / bytesPerSecond;
        const uint32_t n = std::min(count - done, chunkBytes_ - inputFill_);
        uint8_t* slot = pending_.data() + size_t{(pendingFirst_ + pendingCount_) % kLatencyChunks} * chunkBytes_;
        std::memcpy(slot + inputFill_, bytes + done, n);
        inputFill_ += n;
        if (inputFill_ == chunkBytes_) {
            pendingAtUs_[(pendingFirst_ + pendingCount_) % kLatencyChunks] = inputAtUs_;
            ++pendingCount_;
            inputFill_ = 0;
            // A chunk waits for the far end that may hold its echo, but never so long that
            // the output would run dry.
            while (pendingCount_ > 0 && (pendingCount_ >= kLatencyChunks || FarEndReadyLocked(pendingAtUs_[pendingFirst_]))) {
                ProcessChunkLocked(pending_.data() + size_t{pendingFirst_} * chunkBytes_, pendingAtUs_[pendingFirst_]);
                pendingFirst_ = (pendingFirst_ + 1) % kLatencyChunks;
                --pendingCount_;
            }
        }
        const uint32_t size = static_cast<uint32_t>(output_.size());
        for (uint32_t i = 0; i < n; ++i) {
            bytes[done + i] = output_[outputRead_];
            outputRead_ = outputRead_ + 1 == size ? 0 : outputRead_ + 1;
        }
        outputFill_ -= n;
        done += n;
    }
}

bool CaptureEffects::FarEndReadyLocked(int64_t capturedAtUs) const {
    // Without echo cancellation nothing is waited for; with it, the far end must have come
    // up to kFarLeadMs past the chunk (a stopped far end never does: the chunk then waits
    // its longest).
    return !hasEcho_ || !echoOn_ || farEndUntilUs_ >= capturedAtUs + FarLeadUsLocked();
}

void CaptureEffects::ProcessChunkLocked(uint8_t* chunk, int64_t capturedAtUs) {
    // The far end this chunk may hold the echo of (the hold keeps back what is heard in
    // it only later), and kFarLeadMs more: the canceller then sees each echo a steady
    // kFarLeadMs after its source.
    if (hasEcho_ && echoOn_ && farFormat_.nSamplesPerSec == format_.nSamplesPerSec) FindDelayLocked(chunk, capturedAtUs);
    if (hasEcho_) FeedFarEndLocked(capturedAtUs + FarLeadUsLocked());
    if (echoOn_ || noiseOn_) {
        Deinterleave(chunk, chunkFrames_, format_.nChannels, channels_);
        float* data[2] = {channels_[0].data(), channels_[1].data()};
        const webrtc::StreamConfig config(static_cast<int>(format_.nSamplesPerSec), format_.nChannels);
        // On a failure the chunk passes unprocessed rather than being lost.
        bool processed = true;
        if (echoOn_) {
            const bool talking = hasLinear_ && CancelLinearLocked();
            // Reported two chunks short of the lead: the canceller finds echoes that come later
            // than reported (by up to about 40 ms), not earlier, and the times the backends
            // give are good to about 10 ms.
            apm_->set_stream_delay_ms(static_cast<int>(kFarLeadMs - 2 * kChunkMs));
            processed = apm_->ProcessStream(data, config, config, data) == webrtc::AudioProcessing::kNoError;
            if (processed && hasLinear_) MixLinearLocked(talking);
        }
        if (processed && noiseOn_) {
            processed = noiseApm_->ProcessStream(data, config, config, data) == webrtc::AudioProcessing::kNoError;
        }
        if (processed) Interleave(channels_, chunkFrames_, format_.nChannels, chunk);
    }
    const uint32_t size = static_cast<uint32_t>(output_.size());
    uint32_t at = (outputRead_ + outputFill_) % size;
    for (uint32_t i = 0; i < chunkBytes_; ++i) {
        output_[at] = chunk[i];
        at = at + 1 == size ? 0 : at + 1;
    }
    outputFill_ += chunkBytes_;
}

}  // namespace zelmar::platform::audio
