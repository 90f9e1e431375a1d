#include "codecs/Siren14AudioFilter.h"

#include <zelmar/zelmar_c.h>

#include <iterator>

namespace zelmar {
namespace {

constexpr int32_t kWideBandwidthHz = 14000;    // 32 000 samples/s
constexpr int32_t kNarrowBandwidthHz = 7000;   // 16 000 samples/s

// Whole frames of `unit` bytes in `bytes`, times `scale`; 0 before Build, when the frame
// sizes are still unknown, rather than a division by zero.
uint32_t Frames(uint32_t bytes, int32_t unit, int32_t scale) {
    if (unit <= 0) return 0;
    return bytes / static_cast<uint32_t>(unit) * static_cast<uint32_t>(scale);
}

}  // namespace

const PropertyTable<CSiren14AudioFilter>& CSiren14AudioFilter::Properties() {
    using C = CSiren14AudioFilter;
    static constexpr PropertyRow<C> kRows[] = {
        // The codec's own Build checks the bit rate against the bandwidth.
        {"Bitrate", kBitrate, Settable::kWhileCreated, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.bitRate; }},
        {"SamplesPerSec", kSamplesPerSec, Settable::kWhileCreated, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.samplesPerSec; }},
        {"Direction", kDirection, Settable::kWhileCreated, Readable::kYes, Value::kInt32, {kEncode, kDecode},
         [](C& c) -> void* { return &c.settings_.direction; }},
        {"InBufferSize", kInBufferSize, Settable::kNo, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         nullptr, &C::GetInBufferSize},
        {"OutBufferSize", kOutBufferSize, Settable::kNo, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         nullptr, &C::GetOutBufferSize},
        {"LastError", kLastError, Settable::kNo, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.meters_.lastError; }},
        // A request, not a setting: taken in every state, yet always answered "wrong state".
        {"Reset", kReset, Settable::kAlways, Readable::kNo, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::ResetCodec},
        {"TotalIn", kTotalIn, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.meters_.totalIn; }},
        {"TotalOut", kTotalOut, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.meters_.totalOut; }},
    };
    static_assert(std::size(kRows) == kUnknown, "one row per property");
    static constexpr PropertyRules kRules{NameMatch::kExact, /*nullNameOnSet=*/kErrInvalidArg,
                                          /*nullNameOnGet=*/kErrInvalidArg};
    static constexpr PropertyTable<C> kTable{kRows, kUnknown, kRules};
    return kTable;
}

CSiren14AudioFilter::CSiren14AudioFilter() = default;
CSiren14AudioFilter::~CSiren14AudioFilter() = default;

// Input needed for `arg` bytes of output; with 0, one PCM frame in either direction.
int32_t CSiren14AudioFilter::GetInBufferSize(int32_t arg, void* out) {
    const auto bytes = static_cast<uint32_t>(arg);
    if (arg == 0) {
        WriteUint32(out, static_cast<uint32_t>(frames_.pcmBytes));
    } else if (Decoding()) {
        WriteUint32(out, Frames(bytes, frames_.pcmBytes, frames_.codedBytes));
    } else {
        WriteUint32(out, Frames(bytes, frames_.codedBytes, frames_.pcmBytes));
    }
    return kOk;
}

// Output made from `arg` bytes of input.
int32_t CSiren14AudioFilter::GetOutBufferSize(int32_t arg, void* out) {
    const auto bytes = static_cast<uint32_t>(arg);
    WriteUint32(out, Decoding() ? Frames(bytes, frames_.codedBytes, frames_.pcmBytes)
                                : Frames(bytes, frames_.pcmBytes, frames_.codedBytes));
    return kOk;
}

int32_t CSiren14AudioFilter::ResetCodec(int32_t, void*) {
    // Before Build no codec state exists yet, so there is nothing to reset.
    if (state_ != kStateCreated) {
        if (Decoding()) {
            siren14_decoder_reset(&decoder_);
        } else {
            siren14_encoder_reset(&encoder_);
        }
    }
    return kErrState;
}

int32_t CSiren14AudioFilter::Build() {
    if (state_ != kStateCreated) return kErrState;
    int32_t bandwidth;
    if (settings_.samplesPerSec == 32000) {
        bandwidth = kWideBandwidthHz;
    } else if (settings_.samplesPerSec == 16000) {
        bandwidth = kNarrowBandwidthHz;
    } else {
        return kErrInvalidArg;
    }
    int32_t frameLength;
    int32_t bitsPerFrame;
    if (Decoding()) {
        if (siren14_decoder_init(settings_.bitRate, bandwidth, &decoder_) < 0) return kErrInvalidArg;
        frameLength = decoder_.frameLength;
        bitsPerFrame = decoder_.bitsPerFrame;
    } else {
        if (siren14_encoder_init(settings_.bitRate, bandwidth, &encoder_) < 0) return kErrInvalidArg;
        frameLength = encoder_.frameLength;
        bitsPerFrame = encoder_.bitsPerFrame;
    }
    frames_.pcmBytes = 2 * frameLength;
    frames_.codedBytes = bitsPerFrame / 8;
    state_ = kStateBuilt;
    return kOk;
}

int32_t CSiren14AudioFilter::Start() {
    if (state_ != kStateBuilt) return kErrState;
    state_ = kStateRunning;
    return kOk;
}

int32_t CSiren14AudioFilter::Stop() {
    if (state_ != kStateRunning) return kErrState;
    state_ = kStateBuilt;
    return kOk;
}

int32_t CSiren14AudioFilter::Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) {
    if (state_ != kStateRunning) return kErrState;

    if (out == nullptr) {
        // Size query: frame-aligned counts for the caller's buffers; the codec is not touched.
        if (outBytes == nullptr || in == nullptr || inBytes == nullptr) return kErrInvalidArg;
        if (Decoding()) {
            const int32_t frames = *outBytes / frames_.pcmBytes;
            *inBytes = frames * frames_.codedBytes;
            *outBytes = frames * frames_.pcmBytes;
        } else {
            const int32_t frames = *inBytes / frames_.pcmBytes;
            *outBytes = frames * frames_.codedBytes;
            *inBytes = frames * frames_.pcmBytes;
        }
        return kOk;
    }

    // Counts are in-out arguments of every coding call, and an encoder has nothing to code
    // without input: refuse rather than guess.
    if (inBytes == nullptr || outBytes == nullptr) return kErrInvalidArg;
    if (Decoding()) {
        // A null input stands for lost frames: the decoder conceals as many as fit.
        decoder_.frameErrorFlag = in == nullptr ? 1 : 0;
        const int32_t consumed = siren14_decode(in, *inBytes, out, *outBytes, &decoder_);
        *inBytes = consumed;
        *outBytes = consumed / frames_.codedBytes * frames_.pcmBytes;
    } else {
        if (in == nullptr) return kErrInvalidArg;
        const int32_t consumed = siren14_encode(in, *inBytes, out, *outBytes, &encoder_);
        *inBytes = consumed;
        *outBytes = consumed / frames_.pcmBytes * frames_.codedBytes;
    }
    meters_.totalIn += static_cast<uint32_t>(*inBytes);
    meters_.totalOut += static_cast<uint32_t>(*outBytes);
    return kOk;
}

}  // namespace zelmar

extern "C" ZELMAR_API int32_t ZelmarSiren14FrameIsValid(const void* frame, int32_t bytes, int32_t sampleRate,
                                                        int32_t bitRate) {
    const int32_t bandwidth = sampleRate == 16000 ? zelmar::kNarrowBandwidthHz
                              : sampleRate == 32000 ? zelmar::kWideBandwidthHz : 0;
    const bool coded = bitRate == 24000 || bitRate == 32000 || (bitRate == 48000 && sampleRate == 32000);
    if (frame == nullptr || bandwidth == 0 || !coded || bytes < bitRate / 400) return zelmar::kErrInvalidArg;
    return zelmar::siren14_frame_is_valid(frame, bitRate, bandwidth) ? 1 : 0;
}
