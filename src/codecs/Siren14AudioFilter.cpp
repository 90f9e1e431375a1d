#include "codecs/Siren14AudioFilter.h"

#include "framework/Properties.h"

namespace zelmar {
namespace {

constexpr NamedIndex kProperties[] = {
    {"Bitrate", CSiren14AudioFilter::kBitrate},
    {"SamplesPerSec", CSiren14AudioFilter::kSamplesPerSec},
    {"Direction", CSiren14AudioFilter::kDirection},
    {"InBufferSize", CSiren14AudioFilter::kInBufferSize},
    {"OutBufferSize", CSiren14AudioFilter::kOutBufferSize},
    {"LastError", CSiren14AudioFilter::kLastError},
    {"Reset", CSiren14AudioFilter::kReset},
    {"TotalIn", CSiren14AudioFilter::kTotalIn},
    {"TotalOut", CSiren14AudioFilter::kTotalOut},
};

constexpr int32_t kWideBandwidthHz = 14000;    // 32 000 samples/s
constexpr int32_t kNarrowBandwidthHz = 7000;   // 16 000 samples/s

// Whole frames of `unit` bytes in `bytes`, times `scale`; 0 before Build, when the frame
// sizes are still unknown, rather than a division by zero.
uint32_t Frames(uint32_t bytes, int32_t unit, int32_t scale) {
    if (unit <= 0) return 0;
    return bytes / static_cast<uint32_t>(unit) * static_cast<uint32_t>(scale);
}

}  // namespace

CSiren14AudioFilter::CSiren14AudioFilter() = default;
CSiren14AudioFilter::~CSiren14AudioFilter() = default;

int32_t CSiren14AudioFilter::FindProperty(const char* name) {
    return FindPropertyIndex(kProperties, name, kUnknown);
}

int32_t CSiren14AudioFilter::SetProperty(const char* name, int32_t value, void*) {
    if (name == nullptr) return kErrInvalidArg;
    const int32_t property = FindProperty(name);
    if (property == kReset) {
        // Before Build no codec state exists yet, so there is nothing to reset.  The answer is
        // "wrong state" in every state, as "Reset" is not a setting.
        if (state_ != kStateCreated) {
            if (Decoding()) {
                siren14_decoder_reset(&decoder_);
            } else {
                siren14_encoder_reset(&encoder_);
            }
        }
        return kErrState;
    }
    if (state_ != kStateCreated) return kErrState;
    switch (property) {
        case kBitrate: bitRate_ = value; return kOk;
        case kSamplesPerSec: samplesPerSec_ = value; return kOk;
        case kDirection:
            if (static_cast<uint32_t>(value) > kDecode) return kErrInvalidArg;
            direction_ = value;
            return kOk;
        default: return kErrState;
    }
}

int32_t CSiren14AudioFilter::GetProperty(const char* name, int32_t arg, void* out) {
    if (name == nullptr || out == nullptr) return kErrInvalidArg;
    const uint32_t bytes = static_cast<uint32_t>(arg);
    switch (FindProperty(name)) {
        case kBitrate: WriteInt32(out, bitRate_); return kOk;
        case kSamplesPerSec: WriteInt32(out, samplesPerSec_); return kOk;
        case kDirection: WriteInt32(out, direction_); return kOk;
        case kInBufferSize:
            // Input needed for `arg` bytes of output; with 0, one PCM frame in either direction.
            if (arg == 0) {
                WriteUint32(out, static_cast<uint32_t>(pcmFrameBytes_));
            } else if (Decoding()) {
                WriteUint32(out, Frames(bytes, pcmFrameBytes_, codedFrameBytes_));
            } else {
                WriteUint32(out, Frames(bytes, codedFrameBytes_, pcmFrameBytes_));
            }
            return kOk;
        case kOutBufferSize:
            WriteUint32(out, Decoding() ? Frames(bytes, codedFrameBytes_, pcmFrameBytes_)
                                        : Frames(bytes, pcmFrameBytes_, codedFrameBytes_));
            return kOk;
        case kLastError: WriteInt32(out, lastError_); return kOk;
        case kTotalIn: WriteUint32(out, totalIn_); return kOk;
        case kTotalOut: WriteUint32(out, totalOut_); return kOk;
        default: return kErrState;  // "Reset" and unknown names
    }
}

int32_t CSiren14AudioFilter::Build() {
    if (state_ != kStateCreated) return kErrState;
    int32_t bandwidth;
    if (samplesPerSec_ == 32000) {
        bandwidth = kWideBandwidthHz;
    } else if (samplesPerSec_ == 16000) {
        bandwidth = kNarrowBandwidthHz;
    } else {
        return kErrInvalidArg;
    }
    int32_t frameLength;
    int32_t bitsPerFrame;
    if (Decoding()) {
        if (siren14_decoder_init(bitRate_, bandwidth, &decoder_) < 0) return kErrInvalidArg;
        frameLength = decoder_.frameLength;
        bitsPerFrame = decoder_.bitsPerFrame;
    } else {
        if (siren14_encoder_init(bitRate_, bandwidth, &encoder_) < 0) return kErrInvalidArg;
        frameLength = encoder_.frameLength;
        bitsPerFrame = encoder_.bitsPerFrame;
    }
    pcmFrameBytes_ = 2 * frameLength;
    codedFrameBytes_ = bitsPerFrame / 8;
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
            const int32_t frames = *outBytes / pcmFrameBytes_;
            *inBytes = frames * codedFrameBytes_;
            *outBytes = frames * pcmFrameBytes_;
        } else {
            const int32_t frames = *inBytes / pcmFrameBytes_;
            *outBytes = frames * codedFrameBytes_;
            *inBytes = frames * pcmFrameBytes_;
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
        *outBytes = consumed / codedFrameBytes_ * pcmFrameBytes_;
    } else {
        if (in == nullptr) return kErrInvalidArg;
        const int32_t consumed = siren14_encode(in, *inBytes, out, *outBytes, &encoder_);
        *inBytes = consumed;
        *outBytes = consumed / pcmFrameBytes_ * codedFrameBytes_;
    }
    totalIn_ += static_cast<uint32_t>(*inBytes);
    totalOut_ += static_cast<uint32_t>(*outBytes);
    return kOk;
}

}  // namespace zelmar
