#include "dsp/AccelerateAudioFilter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "framework/Properties.h"

namespace zelmar {
namespace {

constexpr NamedIndex kProperties[] = {
    {"Speed", CAccelerateAudioFilter::kSpeed},
    {"SamplesPerSec", CAccelerateAudioFilter::kSamplesPerSec},
    {"WindowTime", CAccelerateAudioFilter::kWindowTime},
    {"TotalIn", CAccelerateAudioFilter::kTotalIn},
    {"TotalOut", CAccelerateAudioFilter::kTotalOut},
};

constexpr double kSampleScale = 32767.0;
constexpr double kFadePi = 3.1415926535;  // the ramp has always used this value of pi

}  // namespace

bool CAccelerateAudioFilter::FloatQueue::Reset(int32_t capacity) {
    Release();
    data_.reset(new (std::nothrow) float[static_cast<std::size_t>(capacity)]);
    if (!data_) return false;
    capacity_ = capacity;
    return true;
}

void CAccelerateAudioFilter::FloatQueue::Release() {
    data_.reset();
    capacity_ = size_ = 0;
}

void CAccelerateAudioFilter::FloatQueue::PushZeros(int32_t count) {
    const int32_t room = std::min(count, capacity_ - size_);
    if (room <= 0) return;
    std::fill(data_.get() + size_, data_.get() + size_ + room, 0.0f);
    size_ += room;
}

void CAccelerateAudioFilter::FloatQueue::PopFront(int32_t count) {
    count = std::min(count, size_);
    std::memmove(data_.get(), data_.get() + count, static_cast<std::size_t>(size_ - count) * sizeof(float));
    size_ -= count;
}

CAccelerateAudioFilter::CAccelerateAudioFilter() = default;

CAccelerateAudioFilter::~CAccelerateAudioFilter() = default;

int32_t CAccelerateAudioFilter::FindProperty(const char* name) {
    return FindPropertyIndex(kProperties, name, kUnknown);
}

int32_t CAccelerateAudioFilter::SetProperty(const char* name, int32_t value, void*) {
    if (name == nullptr || state_ == kStateRunning) return kErrState;
    switch (FindProperty(name)) {
        case kSpeed:
            // Below 100 would slow down, which the overlap-add cannot do; negative values are
            // refused too rather than read as huge speeds.
            if (value < kMinSpeedPercent) return kErrInvalidArg;
            speedPercent_ = value;
            return kOk;
        case kSamplesPerSec: sampleRate_ = static_cast<uint32_t>(value); return kOk;
        case kWindowTime:
            if (value <= 0) return kErrInvalidArg;  // no window; negative would be a huge one
            windowMs_ = static_cast<float>(static_cast<uint32_t>(value));
            return kOk;
        default: return kErrState;  // the counters are named but not kept; unknown names
    }
}

int32_t CAccelerateAudioFilter::GetProperty(const char* name, int32_t, void* out) {
    if (out == nullptr) return kErrInvalidArg;
    if (name == nullptr) return kErrState;
    switch (FindProperty(name)) {
        case kSpeed: WriteInt32(out, speedPercent_); return kOk;
        case kSamplesPerSec: WriteUint32(out, sampleRate_); return kOk;
        case kWindowTime: WriteInt32(out, static_cast<int32_t>(windowMs_)); return kOk;
        default: return kErrState;
    }
}

int32_t CAccelerateAudioFilter::Build() {
    if (state_ != kStateCreated) return kErrState;
    state_ = kStateBuilt;
    return kOk;
}

int32_t CAccelerateAudioFilter::Start() {
    if (state_ != kStateBuilt) return kErrState;
    // N = trunc(rate * window / 1000): the product is a float, as the window time is.
    const double windowSamples = static_cast<double>(static_cast<float>(sampleRate_) * windowMs_) / 1000.0;
    if (windowSamples >= static_cast<double>(kMaxWindowSamples)) return kErrInvalidArg;
    const int32_t window = static_cast<int32_t>(windowSamples);

    // f = 1 - (100 / speed) * (hop / 100) is the part of a frame that overlaps the next one
    // in the output; the fade covers that part, at most half the window.
    const float overlap = static_cast<float>(1.0 - (100.0 / speedPercent_) * (inputHopPercent_ / 100.0));
    const int32_t fadeLength = static_cast<int32_t>(window * std::min(static_cast<double>(overlap), 0.5));
    if (fadeLength <= 1) return kNoUsableFade;

    std::unique_ptr<float[]> fade(new (std::nothrow) float[static_cast<std::size_t>(fadeLength)]);
    if (!fade || !input_.Reset(window) || !accumulator_.Reset(window)) {
        input_.Release();
        accumulator_.Release();
        return kErrInvalidArg;
    }
    for (int32_t i = 0; i < fadeLength; ++i) {
        const float raised = static_cast<float>(std::cos(i * kFadePi / fadeLength) + 1.0);
        fade[i] = static_cast<float>(raised * 0.5);
    }
    fade_ = std::move(fade);
    fadeLength_ = fadeLength;
    windowLength_ = window;
    readPosition_ = window / 2;
    // Half a window of zeros ahead of the input delays the first frame by half a window; the
    // read position skips that half window of output again.
    input_.PushZeros(window / 2);
    accumulator_.PushZeros(window);
    phase_ = 1;
    state_ = kStateRunning;
    return kOk;
}

int32_t CAccelerateAudioFilter::Stop() {
    if (state_ != kStateRunning) return kErrState;
    fade_.reset();
    fadeLength_ = 0;
    phase_ = 0;
    state_ = kStateBuilt;
    return kOk;
}

int32_t CAccelerateAudioFilter::Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) {
    if (phase_ == 0) return kErrState;
    if (in == nullptr || inBytes == nullptr || out == nullptr || outBytes == nullptr) return kErrInvalidArg;
    if (*inBytes < 0 || *outBytes < 0) return kErrInvalidArg;
    const int32_t inCount = *inBytes / 2;
    const int32_t outCount = *outBytes / 2;
    if (inCount < 1) {
        *inBytes = *outBytes = 0;
        return kOk;
    }
    const auto* source = static_cast<const uint8_t*>(in);
    auto* target = static_cast<uint8_t*>(out);
    const int32_t N = windowLength_;
    const int32_t L = fadeLength_;
    const int32_t inputHop = static_cast<int32_t>(N * inputHopPercent_ / 100.0);
    const int32_t outputHop = static_cast<int32_t>(100.0 / speedPercent_ * inputHop);
    float* acc = accumulator_.data();
    const float* w = fade_.get();

    int32_t i = 0, o = 0;
    while (i < inCount && o < outCount) {
        if (phase_ == 1) {
            while (!input_.full() && i < inCount) {
                int16_t s;
                std::memcpy(&s, source + 2 * i, sizeof s);
                input_.Push(static_cast<float>(s / kSampleScale));
                ++i;
            }
            if (!input_.full()) break;
            const float* frame = input_.data();
            for (int32_t k = 0; k < L; ++k) acc[k] += w[L - 1 - k] * frame[k];          // fade in
            for (int32_t k = L; k < N - L; ++k) acc[k] += frame[k];                     // middle
            for (int32_t k = N - L; k < N; ++k) acc[k] += w[k - (N - L)] * frame[k];    // fade out
            input_.PopFront(std::min(inputHop, input_.size()));
            phase_ = 2;
        }
        if (phase_ == 2) {
            for (; readPosition_ < outputHop && o < outCount; ++readPosition_, ++o) {
                double scaled = static_cast<double>(acc[readPosition_]) * kSampleScale;
                if (scaled > 32767.0) scaled = 32767.0;
                if (scaled < -32768.0) scaled = -32768.0;
                const int16_t s = static_cast<int16_t>(scaled);
                std::memcpy(target + 2 * o, &s, sizeof s);
            }
            if (readPosition_ >= outputHop && o < outCount) {
                readPosition_ -= outputHop;
                accumulator_.PopFront(std::min(outputHop, accumulator_.size()));
                accumulator_.PushZeros(N - accumulator_.size());
                phase_ = 1;
            }
        }
    }
    *inBytes = 2 * i;
    *outBytes = 2 * o;
    return kOk;
}

}  // namespace zelmar
