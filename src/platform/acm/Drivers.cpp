#include "platform/acm/Drivers.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/acm/Acm.h"
#include "platform/acm/G711.h"

extern "C" {
#include <gsm.h>
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace zelmar::platform::acm {
namespace {

enum class Library : uint8_t { kNone, kG711, kLibgsm, kLibavcodec };

// What each tag maps to: the library that encodes it, the one that decodes it.
struct TagDriver {
    uint16_t tag;
    const char* name;
    Library encoder;
    Library decoder;
    AVCodecID codec;  // for kLibavcodec
};
constexpr TagDriver kTagDrivers[] = {
    {kTagPcm, "PCM", Library::kNone, Library::kNone, AV_CODEC_ID_NONE},  // libswresample, PCM to PCM
    {kTagMsAdpcm, "Microsoft ADPCM", Library::kLibavcodec, Library::kLibavcodec, AV_CODEC_ID_ADPCM_MS},
    {kTagALaw, "A-law", Library::kG711, Library::kG711, AV_CODEC_ID_NONE},
    {kTagMuLaw, "mu-law", Library::kG711, Library::kG711, AV_CODEC_ID_NONE},
    {kTagImaAdpcm, "IMA ADPCM", Library::kLibavcodec, Library::kLibavcodec, AV_CODEC_ID_ADPCM_IMA_WAV},
    // No library here encodes TrueSpeech.
    {kTagTrueSpeech, "TrueSpeech", Library::kNone, Library::kLibavcodec, AV_CODEC_ID_TRUESPEECH},
    // libgsm's WAVE packing: two 160-sample frames in 65 bytes.
    {kTagGsm610, "GSM 6.10", Library::kLibgsm, Library::kLibgsm, AV_CODEC_ID_NONE},
    // libavcodec encodes the 6.3 kbit/s rate only; it decodes both.
    {kTagG7231, "G.723.1", Library::kLibavcodec, Library::kLibavcodec, AV_CODEC_ID_G723_1},
    // Named so hosts see it, but no library here converts it either way.
    {kTagLhCelp, "LHCELP", Library::kNone, Library::kNone, AV_CODEC_ID_NONE},
};

const TagDriver* Find(uint16_t tag) {
    for (const TagDriver& row : kTagDrivers) {
        if (row.tag == tag) return &row;
    }
    return nullptr;
}

constexpr uint32_t kGsmFramesPerBlock = 2;
constexpr uint32_t kGsmFrameSamples = 160;
constexpr uint32_t kGsmFirstFrameBytes = 33;   // what the decoder reads first
constexpr uint32_t kGsmEncodedFirstBytes = 32;  // what the encoder writes first

// The engine writes nothing to the terminal: libavcodec's notes on a frame it skips (the
// decoders here answer such a frame with silence) are turned off once, process-wide.
void QuietCodecLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

uint64_t DivideUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit; }

// A driver whose codec works on whole blocks: `inUnit` bytes in give `outUnit` bytes out.
// A partial block at the end of the source is kept until the next call completes it.
class BlockDriver : public Driver {
public:
    int32_t Convert(const uint8_t* source, uint32_t sourceBytes, uint8_t* destination, uint32_t destinationBytes,
                    uint32_t* used, uint32_t* made) override {
        uint32_t taken = 0, written = 0;
        if (carried_ > 0) {
            // Only when the block it completes has room to go.
            if (destinationBytes < outUnit_) {
                *used = 0, *made = 0;
                return kOk;
            }
            const uint32_t take = std::min(inUnit_ - carried_, sourceBytes);
            std::memcpy(carry_.data() + carried_, source, take);
            carried_ += take;
            taken = take;
            if (carried_ < inUnit_) {
                *used = taken, *made = 0;
                return kOk;
            }
            Blocks(carry_.data(), destination, 1);
            carried_ = 0;
            written = outUnit_;
        }
        const uint32_t blocks = std::min((sourceBytes - taken) / inUnit_, (destinationBytes - written) / outUnit_);
        Blocks(source + taken, destination + written, blocks);
        taken += blocks * inUnit_;
        written += blocks * outUnit_;
        const uint32_t rest = sourceBytes - taken;
        if (rest < inUnit_) {
            // The source ran out inside a block: the driver keeps the piece.
            std::memcpy(carry_.data(), source + taken, rest);
            carried_ = rest;
            taken = sourceBytes;
        }
        *used = taken, *made = written;
        return kOk;
    }
    uint64_t DestinationFor(uint64_t sourceBytes) const override {
        // A carried piece can complete one block more than the source alone.
        return DivideUp(sourceBytes, inUnit_) * outUnit_;
    }
    uint64_t SourceFor(uint64_t destinationBytes) const override { return destinationBytes / outUnit_ * inUnit_; }
    int32_t Restart() override {
        carried_ = 0;
        return RestartCodec();
    }

protected:
    void SetUnits(uint32_t inUnit, uint32_t outUnit) {
        inUnit_ = inUnit, outUnit_ = outUnit;
        carry_.assign(inUnit, 0);
    }
    virtual void Blocks(const uint8_t* in, uint8_t* out, uint32_t count) = 0;
    virtual int32_t RestartCodec() { return kOk; }

private:
    uint32_t inUnit_ = 1, outUnit_ = 1;
    std::vector<uint8_t> carry_ = std::vector<uint8_t>(1);
    uint32_t carried_ = 0;
};

// G.711, the engine's own: one sample to one code.
class G711Driver final : public BlockDriver {
public:
    G711Driver(uint16_t tag, bool encode, uint16_t channels) : alaw_(tag == kTagALaw), encode_(encode) {
        SetUnits(encode ? 2u * channels : channels, encode ? channels : 2u * channels);
        channels_ = channels;
    }

private:
    void Blocks(const uint8_t* in, uint8_t* out, uint32_t count) override {
        const std::size_t samples = std::size_t(count) * channels_;
        if (encode_) {
            (alaw_ ? ALawEncodeBlock : MuLawEncodeBlock)(in, out, samples);
        } else {
            (alaw_ ? ALawDecodeBlock : MuLawDecodeBlock)(in, out, samples);
        }
    }
    bool alaw_, encode_;
    uint16_t channels_ = 1;
};

// GSM 6.10 through libgsm in its WAVE packing (mono only).
class GsmDriver final : public BlockDriver {
public:
    explicit GsmDriver(bool encode) : encode_(encode) {
        constexpr uint32_t pcmBytes = kGsmFramesPerBlock * kGsmFrameSamples * 2;
        SetUnits(encode ? pcmBytes : 65u, encode ? 65u : pcmBytes);
    }
    ~GsmDriver() override {
        if (gsm_ != nullptr) gsm_destroy(gsm_);
    }
    bool Open() { return RestartCodec() == kOk; }

private:
    int32_t RestartCodec() override {
        // libgsm has no reset: a new run gets a new state.
        if (gsm_ != nullptr) gsm_destroy(gsm_);
        gsm_ = gsm_create();
        if (gsm_ == nullptr) return kErrNoMemory;
        int wav49 = 1;
        gsm_option(gsm_, GSM_OPT_WAV49, &wav49);
        return kOk;
    }
    void Blocks(const uint8_t* in, uint8_t* out, uint32_t count) override {
        for (uint32_t block = 0; block < count; ++block) {
            if (encode_) {
                Encode(in + block * 640u, out + block * 65u);
            } else {
                Decode(in + block * 65u, out + block * 640u);
            }
        }
    }
    void Encode(const uint8_t* pcm, uint8_t* coded) {
        std::memcpy(samples_, pcm, sizeof samples_);
        // The first frame of a pair fills 32 bytes and half of the 33rd, the second the rest.
        gsm_encode(gsm_, samples_, coded);
        gsm_encode(gsm_, samples_ + kGsmFrameSamples, coded + kGsmEncodedFirstBytes);
    }
    void Decode(const uint8_t* coded, uint8_t* pcm) {
        std::memcpy(frame_, coded, 65);
        // A frame the decoder refuses plays as silence rather than stopping the stream.
        if (gsm_decode(gsm_, frame_, samples_) < 0) std::fill_n(samples_, kGsmFrameSamples, gsm_signal{0});
        if (gsm_decode(gsm_, frame_ + kGsmFirstFrameBytes, samples_ + kGsmFrameSamples) < 0) {
            std::fill_n(samples_ + kGsmFrameSamples, kGsmFrameSamples, gsm_signal{0});
        }
        std::memcpy(pcm, samples_, sizeof samples_);
    }

    bool encode_;
    gsm gsm_ = nullptr;
    gsm_signal samples_[kGsmFramesPerBlock * kGsmFrameSamples] = {};
    gsm_byte frame_[65] = {};
};

// A codec of libavcodec, one block per packet.
class AvCodecDriver final : public BlockDriver {
public:
    AvCodecDriver(const CodedShape& shape, AVCodecID id, bool encode) : shape_(shape), id_(id), encode_(encode) {}
    ~AvCodecDriver() override { Close(); }

    bool Open() {
        QuietCodecLog();
        Close();
        const AVCodec* codec = encode_ ? avcodec_find_encoder(id_) : avcodec_find_decoder(id_);
        if (codec == nullptr) return false;
        context_ = avcodec_alloc_context3(codec);
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (context_ == nullptr || frame_ == nullptr || packet_ == nullptr) return false;
        context_->sample_rate = static_cast<int>(shape_.samplesPerSec);
        av_channel_layout_default(&context_->ch_layout, shape_.channels);
        context_->block_align = static_cast<int>(shape_.blockBytes);
        context_->bits_per_coded_sample = shape_.bitsPerSample;
        AVDictionary* options = nullptr;
        if (encode_) {
            context_->sample_fmt = PickSampleFormat(codec);
            if (context_->sample_fmt == AV_SAMPLE_FMT_NONE) return false;
            if (id_ == AV_CODEC_ID_G723_1) context_->bit_rate = 6300;
            av_dict_set_int(&options, "block_size", shape_.blockBytes, 0);
        }
        const int opened = avcodec_open2(context_, codec, &options);
        av_dict_free(&options);
        if (opened < 0) return false;
        const uint32_t pcmBytes = shape_.samplesPerBlock * 2u * shape_.channels;
        if (encode_) {
            // The encoder must make exactly the blocks the format describes.
            if (static_cast<uint32_t>(context_->frame_size) != shape_.samplesPerBlock) return false;
            if (id_ != AV_CODEC_ID_G723_1 && static_cast<uint32_t>(context_->block_align) != shape_.blockBytes) {
                return false;
            }
            frame_->format = context_->sample_fmt;
            frame_->nb_samples = context_->frame_size;
            frame_->sample_rate = context_->sample_rate;
            if (av_channel_layout_copy(&frame_->ch_layout, &context_->ch_layout) < 0) return false;
            if (av_frame_get_buffer(frame_, 0) < 0) return false;
            SetUnits(pcmBytes, shape_.blockBytes);
        } else {
            packetBytes_.assign(shape_.blockBytes + AV_INPUT_BUFFER_PADDING_SIZE, 0);
            SetUnits(shape_.blockBytes, pcmBytes);
        }
        used_ = false;
        return true;
    }

private:
    static AVSampleFormat PickSampleFormat(const AVCodec* codec) {
        for (const AVSampleFormat* f = codec->sample_fmts; f != nullptr && *f != AV_SAMPLE_FMT_NONE; ++f) {
            if (*f == AV_SAMPLE_FMT_S16 || *f == AV_SAMPLE_FMT_S16P) return *f;
        }
        return AV_SAMPLE_FMT_NONE;
    }
    void Close() {
        avcodec_free_context(&context_);
        av_frame_free(&frame_);
        av_packet_free(&packet_);
    }
    int32_t RestartCodec() override {
        // Not every codec here forgets its history when flushed (G.723.1 keeps it): a new
        // run opens the codec again.
        if (!used_) return kOk;
        return Open() ? kOk : kErrNotPossible;
    }
    void Blocks(const uint8_t* in, uint8_t* out, uint32_t count) override {
        const uint32_t pcmBytes = shape_.samplesPerBlock * 2u * shape_.channels;
        for (uint32_t block = 0; block < count; ++block) {
            if (encode_) {
                Encode(in + std::size_t(block) * pcmBytes, out + std::size_t(block) * shape_.blockBytes);
            } else {
                Decode(in + std::size_t(block) * shape_.blockBytes, out + std::size_t(block) * pcmBytes);
            }
        }
        used_ = used_ || count > 0;
    }
    void Encode(const uint8_t* pcm, uint8_t* coded) {
        std::memset(coded, 0, shape_.blockBytes);
        if (av_frame_make_writable(frame_) < 0) return;
        Deinterleave(pcm);
        if (avcodec_send_frame(context_, frame_) < 0) return;
        if (avcodec_receive_packet(context_, packet_) < 0) return;
        std::memcpy(coded, packet_->data, std::min<std::size_t>(std::size_t(packet_->size), shape_.blockBytes));
        av_packet_unref(packet_);
    }
    void Decode(const uint8_t* coded, uint8_t* pcm) {
        const std::size_t pcmBytes = std::size_t(shape_.samplesPerBlock) * 2 * shape_.channels;
        std::memcpy(packetBytes_.data(), coded, shape_.blockBytes);
        packet_->data = packetBytes_.data();
        packet_->size = static_cast<int>(shape_.blockBytes);
        std::size_t made = 0;
        if (avcodec_send_packet(context_, packet_) >= 0) {
            while (avcodec_receive_frame(context_, frame_) >= 0) {
                made = Interleave(pcm, pcmBytes);
                av_frame_unref(frame_);
            }
        }
        // Whatever the decoder does not make (a block it refuses) plays as silence.
        std::memset(pcm + made, 0, pcmBytes - made);
    }
    void Deinterleave(const uint8_t* pcm) {
        const std::size_t samples = shape_.samplesPerBlock;
        if (context_->sample_fmt == AV_SAMPLE_FMT_S16 || shape_.channels == 1) {
            std::memcpy(frame_->data[0], pcm, samples * 2 * shape_.channels);
            return;
        }
        for (uint16_t ch = 0; ch < shape_.channels; ++ch) {
            uint8_t* plane = frame_->data[ch];
            for (std::size_t i = 0; i < samples; ++i) std::memcpy(plane + 2 * i, pcm + 2 * (i * shape_.channels + ch), 2);
        }
    }
    // Copies the decoded frame to `pcm`, interleaved; returns the bytes written.
    std::size_t Interleave(uint8_t* pcm, std::size_t pcmBytes) {
        const std::size_t frames = std::min<std::size_t>(std::size_t(frame_->nb_samples), shape_.samplesPerBlock);
        const bool planar = frame_->format == AV_SAMPLE_FMT_S16P && shape_.channels > 1;
        if (frame_->format != AV_SAMPLE_FMT_S16 && frame_->format != AV_SAMPLE_FMT_S16P) return 0;
        const std::size_t bytes = std::min(pcmBytes, frames * 2 * shape_.channels);
        if (!planar) {
            std::memcpy(pcm, frame_->data[0], bytes);
            return bytes;
        }
        for (uint16_t ch = 0; ch < shape_.channels; ++ch) {
            const uint8_t* plane = frame_->data[ch];
            for (std::size_t i = 0; i < frames; ++i) std::memcpy(pcm + 2 * (i * shape_.channels + ch), plane + 2 * i, 2);
        }
        return bytes;
    }

    CodedShape shape_;
    AVCodecID id_;
    bool encode_;
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::vector<uint8_t> packetBytes_;
    bool used_ = false;  // converted since the codec was last started
};

// PCM to PCM (rate, bits, channels) through libswresample.  It takes whole sample frames;
// a partial frame is left to the caller.
class PcmDriver final : public Driver {
public:
    PcmDriver(const PcmShape& from, const PcmShape& to) : from_(from), to_(to) {}
    ~PcmDriver() override { swr_free(&swr_); }

    bool Open() {
        AVChannelLayout inLayout, outLayout;
        av_channel_layout_default(&inLayout, from_.channels);
        av_channel_layout_default(&outLayout, to_.channels);
        const int made = swr_alloc_set_opts2(&swr_, &outLayout, Format(to_), static_cast<int>(to_.samplesPerSec),
                                             &inLayout, Format(from_), static_cast<int>(from_.samplesPerSec), 0,
                                             nullptr);
        return made >= 0 && swr_init(swr_) >= 0;
    }
    int32_t Convert(const uint8_t* source, uint32_t sourceBytes, uint8_t* destination, uint32_t destinationBytes,
                    uint32_t* used, uint32_t* made) override {
        const uint32_t room = destinationBytes / OutFrame();
        int in = static_cast<int>(std::min<uint64_t>(sourceBytes / InFrame(), SourceFrames(room)));
        while (in > 0 && swr_get_out_samples(swr_, in) > static_cast<int>(room)) --in;
        const uint8_t* inPlanes[1] = {source};
        uint8_t* outPlanes[1] = {destination};
        // Never a null input: to libswresample that means the end of the stream, and it would
        // hand out (and forget) the samples it holds for the next call.
        const int out = swr_convert(swr_, outPlanes, static_cast<int>(room), inPlanes, in);
        if (out < 0) return kErrNotPossible;
        *used = static_cast<uint32_t>(in) * InFrame();
        *made = static_cast<uint32_t>(out) * OutFrame();
        return kOk;
    }
    uint64_t DestinationFor(uint64_t sourceBytes) const override {
        const uint64_t frames = sourceBytes / InFrame();
        if (from_.samplesPerSec == to_.samplesPerSec) return frames * OutFrame();
        // A resampler may hand out one frame it held back from before.
        return (DivideUp(frames * to_.samplesPerSec, from_.samplesPerSec) + 1) * OutFrame();
    }
    uint64_t SourceFor(uint64_t destinationBytes) const override {
        return SourceFrames(destinationBytes / OutFrame()) * InFrame();
    }
    int32_t Restart() override { return swr_init(swr_) >= 0 ? kOk : kErrNotPossible; }

private:
    static AVSampleFormat Format(const PcmShape& shape) {
        return shape.bitsPerSample == 8 ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_S16;
    }
    uint32_t InFrame() const { return from_.bitsPerSample / 8u * from_.channels; }
    uint32_t OutFrame() const { return to_.bitsPerSample / 8u * to_.channels; }
    uint64_t SourceFrames(uint64_t outFrames) const {
        return outFrames * from_.samplesPerSec / to_.samplesPerSec;
    }

    PcmShape from_, to_;
    SwrContext* swr_ = nullptr;
};

template <typename D>
std::unique_ptr<Driver> Opened(std::unique_ptr<D> driver) {
    if (!driver->Open()) return nullptr;
    return driver;
}

std::unique_ptr<Driver> Make(const CodedShape& shape, bool encode) {
    const TagDriver* row = Find(shape.tag);
    if (row == nullptr) return nullptr;
    switch (encode ? row->encoder : row->decoder) {
        case Library::kG711: return std::make_unique<G711Driver>(shape.tag, encode, shape.channels);
        case Library::kLibgsm: return Opened(std::make_unique<GsmDriver>(encode));
        case Library::kLibavcodec: return Opened(std::make_unique<AvCodecDriver>(shape, row->codec, encode));
        case Library::kNone: break;
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<Driver> MakePcmConverter(const PcmShape& from, const PcmShape& to) {
    return Opened(std::make_unique<PcmDriver>(from, to));
}
std::unique_ptr<Driver> MakeEncoder(const CodedShape& to) { return Make(to, true); }
std::unique_ptr<Driver> MakeDecoder(const CodedShape& from) { return Make(from, false); }

bool CanEncode(uint16_t tag) {
    const TagDriver* row = Find(tag);
    return row != nullptr && row->encoder != Library::kNone;
}
bool CanDecode(uint16_t tag) {
    const TagDriver* row = Find(tag);
    return row != nullptr && row->decoder != Library::kNone;
}

const char* TagName(uint16_t tag) {
    const TagDriver* row = Find(tag);
    return row != nullptr ? row->name : nullptr;
}

}  // namespace zelmar::platform::acm
