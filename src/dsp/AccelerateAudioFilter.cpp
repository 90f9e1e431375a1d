#include "dsp/AccelerateAudioFilter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <new>

#include "dsp/blocks/SampleConversion.h"

namespace zelmar {
namespace {

constexpr double kFadePi = 3.1415926535;  // the ramp has always used this value of pi
// Input taken per frame, in percent of the window: every input sample is used once.
constexpr float kInputHopPercent = 100.0f;

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

const PropertyTable<CAccelerateAudioFilter>& CAccelerateAudioFilter::Properties() {
    using C = CAccelerateAudioFilter;
    static constexpr PropertyRow<C> kRows[] = {
        // Below 100 would slow down, which the overlap-add cannot do; negative values are
        // refused too rather than read as huge speeds.
        {"Speed", kSpeed, Settable::kUnlessRunning, Readable::kYes, Value::kInt32, {kMinSpeedPercent, INT32_MAX},
         [](C& c) -> void* { return &c.settings_.speedPercent; }},
        {"SamplesPerSec", kSamplesPerSec, Settable::kUnlessRunning, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.samplesPerSec; }},
        // 0 is no window, and a negative one would be a huge one.
        {"WindowTime", kWindowTime, Settable::kUnlessRunning, Readable::kYes, Value::kInt32, kPositive,
         [](C& c) -> void* { return &c.settings_.windowMs; }, nullptr, nullptr, &C::GetWindowTime},
        // Named, but the filter keeps no counters.
        {"TotalIn", kTotalIn, Settable::kNo, Readable::kNo, Value::kHook},
        {"TotalOut", kTotalOut, Settable::kNo, Readable::kNo, Value::kHook},
    };
    static_assert(std::size(kRows) == kUnknown, "one row per property");
    static constexpr PropertyRules kRules{NameMatch::kExact, /*nullNameOnSet=*/kErrState,
                                          /*nullNameOnGet=*/kErrState};
    static constexpr PropertyTable<C> kTable{kRows, kUnknown, kRules};
    return kTable;
}

CAccelerateAudioFilter::CAccelerateAudioFilter() = default;

CAccelerateAudioFilter::~CAccelerateAudioFilter() = default;

float CAccelerateAudioFilter::WindowMs() const {
    return static_cast<float>(static_cast<uint32_t>(settings_.windowMs));
}

// The window time as the float it is kept in, truncated; the largest settings round up to
// 2^31 there, which reads back as INT32_MAX rather than an undefined conversion.
int32_t CAccelerateAudioFilter::GetWindowTime(int32_t, void* out) {
    const float ms = WindowMs();
    WriteInt32(out, ms < 2147483648.0f ? static_cast<int32_t>(ms) : INT32_MAX);
    return kOk;
}

int32_t CAccelerateAudioFilter::Build() {
    if (state_ != kStateCreated) return kErrState;
    state_ = kStateBuilt;
    return kOk;
}

int32_t CAccelerateAudioFilter::Start() {
    if (state_ != kStateBuilt) return kErrState;
    // N = trunc(rate * window / 1000): the product is a float, as the window time is.
    const double windowSamples =
        static_cast<double>(static_cast<float>(settings_.samplesPerSec) * WindowMs()) / 1000.0;
    if (windowSamples >= static_cast<double>(kMaxWindowSamples)) return kErrInvalidArg;
    const int32_t window = static_cast<int32_t>(windowSamples);

    // f = 1 - (100 / speed) * (hop / 100) is the part of a frame that overlaps the next one
    // in the output; the fade covers that part, at most half the window.
    const float overlap =
        static_cast<float>(1.0 - (100.0 / settings_.speedPercent) * (kInputHopPercent / 100.0));
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
    const auto inputHop = static_cast<int32_t>(window * kInputHopPercent / 100.0);
    const auto outputHop = static_cast<int32_t>(100.0 / settings_.speedPercent * inputHop);
    // Half a window of zeros ahead of the input delays the first frame by half a window; the
    // read position skips that half window of output again.
    stream_ = Stream{window, fadeLength, inputHop, outputHop, window / 2, Phase::kCollecting};
    input_.PushZeros(window / 2);
    accumulator_.PushZeros(window);
    state_ = kStateRunning;
    return kOk;
}

int32_t CAccelerateAudioFilter::Stop() {
    if (state_ != kStateRunning) return kErrState;
    fade_.reset();
    state_ = kStateBuilt;
    return kOk;
}

int32_t CAccelerateAudioFilter::Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) {
    if (state_ != kStateRunning) return kErrState;
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
    const int32_t N = stream_.window;
    const int32_t L = stream_.fade;
    const int32_t P = stream_.outputHop;
    float* acc = accumulator_.data();
    const float* w = fade_.get();

    int32_t i = 0, o = 0;
    while (i < inCount && o < outCount) {
        if (stream_.phase == Phase::kCollecting) {
            while (!input_.full() && i < inCount) {
                input_.Push(dsp::SampleToFloat(dsp::LoadSample(source + 2 * i)));
                ++i;
            }
            if (!input_.full()) break;
            const float* frame = input_.data();
            for (int32_t k = 0; k < L; ++k) acc[k] += w[L - 1 - k] * frame[k];          // fade in
            for (int32_t k = L; k < N - L; ++k) acc[k] += frame[k];                     // middle
            for (int32_t k = N - L; k < N; ++k) acc[k] += w[k - (N - L)] * frame[k];    // fade out
            input_.PopFront(std::min(stream_.inputHop, input_.size()));
            stream_.phase = Phase::kEmitting;
        }
        if (stream_.phase == Phase::kEmitting) {
            int32_t& read = stream_.readPosition;
            for (; read < P && o < outCount; ++read, ++o) {
                dsp::StoreSample(dsp::TruncateToSample(acc[read] * dsp::kSampleScale), target + 2 * o);
            }
            if (read >= P && o < outCount) {
                read -= P;
                accumulator_.PopFront(std::min(P, accumulator_.size()));
                accumulator_.PushZeros(N - accumulator_.size());
                stream_.phase = Phase::kCollecting;
            }
        }
    }
    *inBytes = 2 * i;
    *outBytes = 2 * o;
    return kOk;
}

}  // namespace zelmar
