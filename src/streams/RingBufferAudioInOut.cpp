#include "streams/RingBufferAudioInOut.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>

#include "framework/DebugOutput.h"
#include "framework/Properties.h"

namespace zelmar {
namespace {

using Ring = CRingBufferAudioInOut::CRingBufferShort4;

// A fill that has stayed above the target for longer than this is compressed.
constexpr uint64_t kOverTargetCompressMs = 1000;
// Within this many milliseconds above the target the ratio aims at the target exactly;
// further above it compresses at the strongest ratio.
constexpr uint32_t kGentleCompressSpanMs = 80;
// Expansion ratio = kExpandNumeratorSamples / fill + 1: an almost empty ring doubles, a ring
// holding 40 ms (1280 samples) grows by 2x, a fuller one proportionally less.
constexpr double kExpandNumeratorSamples = 1280.0;

// A cross-faded sample: the blend of `from` (weight 1 - w) and `to` (weight w), truncated
// toward zero and kept as its low 16 bits.
inline int16_t Blend(int16_t from, int16_t to, float w) {
    const float mixed = static_cast<float>(from) * (1.0f - w) + static_cast<float>(to) * w;
    return static_cast<int16_t>(static_cast<int32_t>(mixed));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CRingBufferShort4

Ring::CRingBufferShort4()
    : storage_(new int16_t[kStorageSamples]()), expandScratch_(new int16_t[kStorageSamples]()) {}

Ring::~CRingBufferShort4() {
    if (verbose_ != 0) {
        DebugPrintf("RingBufferStats exp=%d, comp=%d\n", static_cast<int>(expansions_),
                    static_cast<int>(compressions_));
    }
}

void Ring::Init(uint32_t bufferTimeMs, int32_t bytesPerSec) {
    targetMs_ = bufferTimeMs;
    // Two seconds of audio counted in 16-bit samples.  The store holds 65 536 samples, so a
    // larger capacity is cut to it rather than letting writes overrun unread samples.
    const int64_t twoSecondsSamples = int64_t{bytesPerSec} * 2000 / 1000 / 2;
    capacity_ = static_cast<int32_t>(std::clamp<int64_t>(twoSecondsSamples, 0, kStorageSamples));
}

uint32_t Ring::LowWaterSamples() const {
    // A target under 2 ms has no "half the target less one millisecond": such a ring never
    // expands instead of wrapping to a huge mark and expanding on every Get.
    if (targetMs_ < 2) return 0;
    const uint64_t samples = uint64_t{(targetMs_ - 2) / 2} * kSamplesPerSec / 1000;
    return static_cast<uint32_t>(std::min<uint64_t>(samples, std::numeric_limits<uint32_t>::max()));
}

int32_t Ring::Put(const int16_t* samples, uint32_t bytes) {
    if (!consumerSeen_) return 0;
    if (samples == nullptr) {
        // A null block of 0 bytes empties the ring; a null block with bytes has nothing to copy.
        if (bytes == 0) {
            fill_ = 0;
            readIndex_ = 0;
            writeIndex_ = 0;
        }
        return 0;
    }
    ++puts_;
    uint32_t count = bytes / 2;
    muted_ = false;

    // A block longer than the whole ring keeps only its newest `capacity` samples.
    const uint32_t capacity = static_cast<uint32_t>(std::max(capacity_, 0));
    uint32_t skipped = 0;
    if (count > capacity) {
        skipped = count - capacity;
        count = capacity;
    }
    // Overflow: the `count` oldest samples go (all of them when fewer are held).
    if (int64_t{capacity_} - fill_ < int64_t{count}) {
        const uint32_t dropped = std::min<uint32_t>(count, static_cast<uint32_t>(fill_));
        readIndex_ = static_cast<uint16_t>(readIndex_ + dropped);
        fill_ -= static_cast<int32_t>(dropped);
    }

    const uint32_t fillMs = static_cast<uint32_t>(fill_) * 1000u / kSamplesPerSec;
    if (fillMs > targetMs_) {
        ++overTargetRun_;
        const uint64_t overTargetMs = uint64_t{overTargetRun_} * count * 1000 / kSamplesPerSec;
        if (overTargetMs > kOverTargetCompressMs && compressHoldOff_ <= 0) {
            float ratio = kMinCompressRatio;
            if (fillMs - targetMs_ < kGentleCompressSpanMs) {
                ratio = std::max(static_cast<float>(targetMs_) / static_cast<float>(fillMs), kMinCompressRatio);
            }
            Compress(ratio);
            overTargetRun_ = 0;
        }
    } else {
        overTargetRun_ = 0;
    }

    const auto* source = reinterpret_cast<const uint8_t*>(samples) + 2 * std::size_t{skipped};
    const uint32_t firstPart = std::min<uint32_t>(count, kStorageSamples - writeIndex_);
    std::memcpy(&storage_[writeIndex_], source, 2 * std::size_t{firstPart});
    std::memcpy(&storage_[0], source + 2 * std::size_t{firstPart}, 2 * std::size_t{count - firstPart});
    writeIndex_ = static_cast<uint16_t>(writeIndex_ + count);
    fill_ += static_cast<int32_t>(count);
    return static_cast<int32_t>(count * 2);
}

void Ring::AppendSilence(uint32_t samples) {
    for (uint32_t i = 0; i < samples; ++i) At(writeIndex_ + i) = 0;
    writeIndex_ = static_cast<uint16_t>(writeIndex_ + samples);
    fill_ += static_cast<int32_t>(samples);
}

int32_t Ring::Get(int16_t* samples, uint32_t bytes) {
    consumerSeen_ = true;
    if (samples == nullptr) return 0;
    if (puts_ == 0) {
        std::memset(samples, 0, bytes);
        return static_cast<int32_t>(bytes);
    }
    // A request longer than the store is served in store-sized pieces, so the silence padded
    // for it never laps unread samples.
    const uint32_t count = bytes / 2;
    auto* out = reinterpret_cast<uint8_t*>(samples);
    for (uint32_t done = 0; done < count;) {
        const uint32_t piece = std::min(count - done, kStorageSamples);
        GetChunk(reinterpret_cast<int16_t*>(out + 2 * std::size_t{done}), piece);
        done += piece;
    }
    return static_cast<int32_t>(bytes);
}

void Ring::GetChunk(int16_t* samples, uint32_t count) {
    if (muted_) {
        // A muted ring pads silently: the producer is known to be paused.
        if (static_cast<uint32_t>(fill_) < count) AppendSilence(count - static_cast<uint32_t>(fill_));
    } else {
        if (static_cast<uint32_t>(fill_) <= LowWaterSamples() && expandHoldOff_ <= 0) {
            float ratio = kMaxExpandRatio;
            if (fill_ > 0) {
                ratio = std::min(static_cast<float>(kExpandNumeratorSamples / fill_ + 1.0), kMaxExpandRatio);
            }
            Expand(ratio);
        }
        if (static_cast<uint32_t>(fill_) < count) {
            AppendSilence(count - static_cast<uint32_t>(fill_));
            ++underflows_;
        }
    }

    auto* out = reinterpret_cast<uint8_t*>(samples);
    const uint32_t firstPart = std::min<uint32_t>(count, kStorageSamples - readIndex_);
    std::memcpy(out, &storage_[readIndex_], 2 * std::size_t{firstPart});
    std::memcpy(out + 2 * std::size_t{firstPart}, &storage_[0], 2 * std::size_t{count - firstPart});
    readIndex_ = static_cast<uint16_t>(readIndex_ + count);
    fill_ -= static_cast<int32_t>(count);

    if (compressHoldOff_ > 0) compressHoldOff_ -= static_cast<int32_t>(count);
    if (expandHoldOff_ > 0) expandHoldOff_ -= static_cast<int32_t>(count);
}

void Ring::SetBufferTime(uint32_t bufferTimeMs) { targetMs_ = bufferTimeMs; }

void Ring::GetStats(uint32_t* underflows, uint32_t* compressions, uint32_t* fillBytes) {
    if (underflows != nullptr) *underflows = underflows_;
    if (compressions != nullptr) *compressions = compressions_;
    if (fillBytes != nullptr) *fillBytes = static_cast<uint32_t>(fill_) * 2;
}

void Ring::SetVerbose(int32_t verbose) { verbose_ = verbose; }

void Ring::Mute() { muted_ = true; }

int32_t Ring::FreeSpace() { return capacity_ - fill_; }

int32_t Ring::FindBestLag(uint16_t start) const {
    // The samples the search reads, unwrapped once so the inner loop runs on a plain array.
    constexpr int32_t kSpan = kLagSearchWindow + kMaxLag;
    int16_t window[kSpan];
    for (int32_t i = 0; i < kSpan; ++i) window[i] = At(uint32_t{start} + static_cast<uint32_t>(i));

    int32_t bestLag = kMinLag;
    int32_t bestSum = std::numeric_limits<int32_t>::max();
    for (int32_t lag = kMinLag; lag <= kMaxLag; lag += 2) {
        int32_t sum = 0;  // at most 500 * 65535, far inside 32 bits
        for (int32_t k = 0; k < kLagSearchWindow; ++k) {
            const int32_t difference = int32_t{window[k + lag]} - int32_t{window[k]};
            sum += difference < 0 ? -difference : difference;
        }
        if (sum < bestSum) {
            bestSum = sum;
            bestLag = lag;
        }
    }
    return bestLag;
}

void Ring::Expand(float ratio) {
    if (fill_ == 0) return;
    ++expansions_;
    if (fill_ <= kMinScalableFill) return;
    // Ratios outside (1, 2] are not expansions: nothing to do beyond counting, or the
    // strongest expansion.
    if (!(ratio > 1.0f)) return;
    ratio = std::min(ratio, kMaxExpandRatio);

    // The result must fit the ring: a ratio that would grow the audio past the capacity is
    // lowered to the largest one that fits (and nothing happens when none does).
    const int64_t maxOut = std::min<int64_t>(std::max(capacity_, 0), kStorageSamples);
    int64_t outSize = static_cast<int64_t>(static_cast<float>(fill_) * ratio) + kMinScalableFill;
    if (outSize > maxOut) {
        if (maxOut <= kMinScalableFill) return;
        ratio = static_cast<float>(maxOut - kMinScalableFill) / static_cast<float>(fill_);
        if (!(ratio > 1.0f)) return;
        outSize = std::min<int64_t>(static_cast<int64_t>(static_cast<float>(fill_) * ratio) + kMinScalableFill, maxOut);
    }

    int16_t* out = expandScratch_.get();
    int64_t outCount = 0;
    int32_t remaining = fill_;
    uint32_t pos = readIndex_;
    int32_t lag = kLagSearchWindow;
    do {
        if (remaining > kMinScalableFill) lag = FindBestLag(static_cast<uint16_t>(pos));
        if (outCount + lag > outSize) {  // keeps the scratch in bounds whatever the rounding
            remaining = 0;
            break;
        }
        // A blend from the current pitch period into the previous one, inserted before pos.
        for (int32_t k = 0; k < lag; ++k) {
            const float w = static_cast<float>(k) / static_cast<float>(lag);
            out[outCount++] = Blend(At(pos + static_cast<uint32_t>(k)),
                                    At(pos - static_cast<uint32_t>(lag) + static_cast<uint32_t>(k)), w);
        }
        const float copyLength = static_cast<float>(lag) / (ratio - 1.0f);
        const int32_t copy = copyLength < static_cast<float>(remaining) ? static_cast<int32_t>(copyLength) : remaining;
        if (outCount + copy > outSize) {
            remaining = 0;
            break;
        }
        for (int32_t k = 0; k < copy; ++k) out[outCount++] = At(pos++);
        remaining -= copy;
    } while (lag < remaining);
    remaining = static_cast<int32_t>(std::min<int64_t>(remaining, outSize - outCount));
    for (int32_t k = 0; k < remaining; ++k) out[outCount++] = At(pos++);

    for (int64_t i = 0; i < outCount; ++i) At(readIndex_ + static_cast<uint32_t>(i)) = out[i];
    writeIndex_ = static_cast<uint16_t>(readIndex_ + outCount);
    fill_ = static_cast<int32_t>(outCount);
    expandHoldOff_ = static_cast<int32_t>(outCount);
}

void Ring::Compress(float ratio) {
    if (fill_ == 0) return;
    ++compressions_;
    // Ratios below the strongest compression (or not numbers) take the strongest; ratios of 1
    // or more keep everything, since they drop no period.
    if (!(ratio >= kMinCompressRatio)) ratio = kMinCompressRatio;

    uint32_t src = readIndex_;
    uint32_t dst = readIndex_;
    int32_t remaining = fill_;
    int32_t outCount = 0;
    while (remaining > kMinScalableFill) {
        const int32_t lag = FindBestLag(static_cast<uint16_t>(src));
        // The period at src is dropped; the following period fades in from it.
        for (int32_t k = 0; k < lag; ++k) {
            const float w = static_cast<float>(k) / static_cast<float>(lag);
            const uint32_t later = src + static_cast<uint32_t>(lag + k);
            At(later) = Blend(At(src + static_cast<uint32_t>(k)), At(later), w);
        }
        src += static_cast<uint32_t>(lag);
        remaining -= lag;

        int32_t copy = remaining;
        if (ratio < 1.0f) {
            const float copyLength = static_cast<float>(lag) * ratio / (1.0f - ratio);
            if (copyLength < static_cast<float>(remaining)) copy = static_cast<int32_t>(copyLength);
        }
        for (int32_t k = 0; k < copy; ++k) At(dst++) = At(src++);
        outCount += copy;
        remaining -= copy;
    }
    for (int32_t k = 0; k < remaining; ++k) At(dst++) = At(src++);
    outCount += remaining;

    writeIndex_ = static_cast<uint16_t>(readIndex_ + static_cast<uint32_t>(outCount));
    fill_ = outCount;
    compressHoldOff_ = outCount;
}

// ---------------------------------------------------------------------------------------------
// CRingBufferAudioInOut

const PropertyTable<CRingBufferAudioInOut>& CRingBufferAudioInOut::Properties() {
    using C = CRingBufferAudioInOut;
    static constexpr PropertyRow<C> kRows[] = {
        // Sets the capacity, so only before the ring is built.
        {"AvgBytesPerSec", kAvgBytesPerSec, Settable::kWhileCreated, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.bytesPerSec; }},
        // A negative target would read as a huge unsigned one: refused.
        {"BufferTime", kBufferTime, Settable::kAlways, Readable::kYes, Value::kInt32, kNonNegative,
         [](C& c) -> void* { return &c.settings_.bufferTimeMs; }, &C::ApplyBufferTime},
        // A recognised name with nothing to adjust: refused both ways.
        {"Adjust", kAdjust, Settable::kNo, Readable::kNo, Value::kHook},
        {"BufferSize", kBufferSize, Settable::kNo, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr, nullptr,
         &C::GetBufferSize},
        {"TotalIn", kTotalIn, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.counters_.putBytes; }},
        {"TotalOut", kTotalOut, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.counters_.gotBytes; }},
        {"OverFlow", kOverFlow, Settable::kNo, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr, nullptr,
         &C::GetOverFlow},
        {"UnderFlow", kUnderFlow, Settable::kNo, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr, nullptr,
         &C::GetUnderFlow},
        {"Verbose", kVerbose, Settable::kAlways, Readable::kNo, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetVerbose},
        {"Mute", kMute, Settable::kAlways, Readable::kNo, Value::kHook, kAnyInt, nullptr, nullptr, &C::SetMute},
        {"FillBytes", kFillBytes, Settable::kNo, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr, nullptr,
         &C::GetFillBytes},
    };
    static_assert(std::size(kRows) == kUnknown, "one row per property");
    // A null name reads as an unknown one, before a null `out` is looked at.
    static constexpr PropertyRules kRules{NameMatch::kExact, /*nullNameOnSet=*/kErrState, /*nullNameOnGet=*/kErrState,
                                          kErrState, kErrState, kErrState, /*outCheckedFirst=*/false};
    static constexpr PropertyTable<C> kTable{kRows, kUnknown, kRules};
    return kTable;
}

CRingBufferAudioInOut::CRingBufferAudioInOut() = default;
CRingBufferAudioInOut::~CRingBufferAudioInOut() = default;

int32_t CRingBufferAudioInOut::ApplyBufferTime() {
    ring_.SetBufferTime(static_cast<uint32_t>(settings_.bufferTimeMs));
    return kOk;
}

int32_t CRingBufferAudioInOut::SetVerbose(int32_t value, void*) {
    ring_.SetVerbose(value);
    return kOk;
}

// Mutes whatever the value: the producer says it pauses.
int32_t CRingBufferAudioInOut::SetMute(int32_t, void*) {
    ring_.Mute();
    return kOk;
}

// The ring's capacity in bytes: what a host needs to size its own blocks against.
int32_t CRingBufferAudioInOut::GetBufferSize(int32_t, void* out) {
    WriteUint32(out, static_cast<uint32_t>(ring_.capacity()) * 2);
    return kOk;
}

int32_t CRingBufferAudioInOut::GetOverFlow(int32_t, void* out) {
    WriteUint32(out, ring_.compressions());
    return kOk;
}

int32_t CRingBufferAudioInOut::GetUnderFlow(int32_t, void* out) {
    WriteUint32(out, ring_.underflows());
    return kOk;
}

int32_t CRingBufferAudioInOut::GetFillBytes(int32_t, void* out) {
    WriteUint32(out, static_cast<uint32_t>(ring_.fill()) * 2);
    return kOk;
}

int32_t CRingBufferAudioInOut::Build() {
    if (state_ != kStateCreated) return kErrState;
    // A rate of zero gives no capacity, and a negative one would make every Put overflow.
    if (settings_.bytesPerSec <= 0) {
        DebugPrintf("CRingBufferAudioInOut::Build, %d,%d\n", static_cast<int>(settings_.bytesPerSec),
                    static_cast<int>(settings_.bufferTimeMs));
        return kErrInvalidArg;
    }
    ring_.Init(static_cast<uint32_t>(settings_.bufferTimeMs), settings_.bytesPerSec);
    state_ = kStateBuilt;
    return kOk;
}

int32_t CRingBufferAudioInOut::Start() {
    if (state_ != kStateBuilt) return kErrState;
    state_ = kStateRunning;
    return kOk;
}

int32_t CRingBufferAudioInOut::Stop() {
    if (state_ != kStateRunning) return kErrState;
    state_ = kStateBuilt;
    return kOk;
}

int32_t CRingBufferAudioInOut::PutData(const void* buffer, int32_t bytes) {
    if (state_ != kStateRunning) return kErrState;
    if (bytes < 0 || (buffer == nullptr && bytes > 0)) return kErrInvalidArg;
    ring_.Put(static_cast<const int16_t*>(buffer), static_cast<uint32_t>(bytes));
    counters_.putBytes += static_cast<uint32_t>(bytes);
    return bytes;
}

int32_t CRingBufferAudioInOut::GetData(void* buffer, int32_t bytes) {
    if (state_ != kStateRunning) return kErrState;
    if (bytes < 0 || (buffer == nullptr && bytes > 0)) return kErrInvalidArg;
    int16_t dummy = 0;  // a zero-byte request still tells the ring that a consumer exists
    ring_.Get(buffer != nullptr ? static_cast<int16_t*>(buffer) : &dummy, static_cast<uint32_t>(bytes));
    counters_.gotBytes += static_cast<uint32_t>(bytes);
    return bytes;
}

}  // namespace zelmar
