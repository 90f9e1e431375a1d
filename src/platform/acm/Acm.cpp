#include "platform/acm/Acm.h"

#include <zelmar/zelmar_acm.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/acm/Drivers.h"

namespace zelmar::platform::acm {

struct Stream {
    std::unique_ptr<Driver> driver;
};

namespace {

constexpr uint32_t kMinRate = 1000;
constexpr uint32_t kMaxRate = 384000;
constexpr uint32_t kHeaderBytes = sizeof(WAVEFORMATEX);
constexpr uint16_t kMaxBlockBytes = 8192;  // larger coded blocks than any codec here writes

// The standard Microsoft ADPCM coefficient pairs; the decoders here know no others.
constexpr int16_t kMsAdpcmCoefficients[7][2] = {{256, 0}, {512, -256}, {0, 0},      {192, 64},
                                               {240, 0}, {460, -208}, {392, -232}};

uint16_t ReadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
void WriteU16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}
void WriteU32(uint8_t* p, uint32_t v) {
    WriteU16(p, v & 0xFFFF);
    WriteU16(p + 2, v >> 16);
}
const uint8_t* Extra(const WAVEFORMATEX* format) { return reinterpret_cast<const uint8_t*>(format) + kHeaderBytes; }

bool RateOk(uint32_t rate) { return rate >= kMinRate && rate <= kMaxRate; }

bool ReadPcm(const WAVEFORMATEX& f, PcmShape* shape) {
    if (f.wFormatTag != kTagPcm || (f.wBitsPerSample != 8 && f.wBitsPerSample != 16)) return false;
    if (f.nChannels < 1 || f.nChannels > 2 || !RateOk(f.nSamplesPerSec)) return false;
    const uint32_t align = f.wBitsPerSample / 8u * f.nChannels;
    if (f.nBlockAlign != align || f.nAvgBytesPerSec != align * f.nSamplesPerSec) return false;
    *shape = {f.nChannels, f.wBitsPerSample, f.nSamplesPerSec};
    return true;
}

// Checks a coded format's header and extra bytes against what its codec needs.
bool ReadCoded(const WAVEFORMATEX* format, CodedShape* shape) {
    WAVEFORMATEX f;
    std::memcpy(&f, format, kHeaderBytes);
    if (f.cbSize > kMaxFormatBytes - kHeaderBytes) return false;
    const uint8_t* extra = Extra(format);
    CodedShape s{f.wFormatTag, f.nChannels, f.nSamplesPerSec, f.nBlockAlign, 0, f.wBitsPerSample};
    if (f.nChannels < 1 || f.nChannels > 2 || !RateOk(f.nSamplesPerSec)) return false;
    if (f.nBlockAlign == 0 || f.nBlockAlign > kMaxBlockBytes) return false;
    const uint32_t ch = f.nChannels;
    switch (f.wFormatTag) {
        case kTagALaw:
        case kTagMuLaw:
            if (f.nBlockAlign != ch || f.wBitsPerSample != 8) return false;
            s.samplesPerBlock = 1;
            break;
        case kTagGsm610:
            if (ch != 1 || f.nBlockAlign != 65) return false;
            if (f.cbSize >= 2 && ReadU16(extra) != 320) return false;
            s.samplesPerBlock = 320;
            break;
        case kTagMsAdpcm: {
            if (f.wBitsPerSample != 4 || f.cbSize < 32 || f.nBlockAlign < 7 * ch + ch) return false;
            s.samplesPerBlock = (f.nBlockAlign - 7 * ch) * 2 / ch + 2;
            if (ReadU16(extra) != s.samplesPerBlock || ReadU16(extra + 2) != 7) return false;
            for (int i = 0; i < 7; ++i) {
                if (static_cast<int16_t>(ReadU16(extra + 4 + 4 * i)) != kMsAdpcmCoefficients[i][0] ||
                    static_cast<int16_t>(ReadU16(extra + 6 + 4 * i)) != kMsAdpcmCoefficients[i][1]) {
                    return false;
                }
            }
            break;
        }
        case kTagImaAdpcm:
            if (f.wBitsPerSample != 4 || f.nBlockAlign % (4 * ch) != 0 || f.nBlockAlign < 8 * ch) return false;
            s.samplesPerBlock = (f.nBlockAlign - 4 * ch) * 8 / (4 * ch) + 1;
            if (f.cbSize >= 2 && ReadU16(extra) != s.samplesPerBlock) return false;
            break;
        case kTagTrueSpeech:
            if (ch != 1 || f.nSamplesPerSec != 8000 || f.nBlockAlign != 32) return false;
            s.samplesPerBlock = 240;
            break;
        case kTagG7231:
            if (ch != 1 || f.nSamplesPerSec != 8000 || (f.nBlockAlign != 24 && f.nBlockAlign != 20)) return false;
            s.samplesPerBlock = 240;
            break;
        default: return false;
    }
    *shape = s;
    return true;
}

// The driver for `source` into `destination`, or null when none converts them.
std::unique_ptr<Driver> DriverFor(const WAVEFORMATEX* source, const WAVEFORMATEX* destination) {
    WAVEFORMATEX from, to;
    std::memcpy(&from, source, kHeaderBytes);
    std::memcpy(&to, destination, kHeaderBytes);
    PcmShape pcmFrom, pcmTo;
    CodedShape coded;
    const bool fromPcm = ReadPcm(from, &pcmFrom), toPcm = ReadPcm(to, &pcmTo);
    if (fromPcm && toPcm) return MakePcmConverter(pcmFrom, pcmTo);
    // A codec converts to and from 16-bit PCM of its own rate and channels only.
    if (fromPcm && ReadCoded(destination, &coded) && CanEncode(coded.tag) && pcmFrom.bitsPerSample == 16 &&
        pcmFrom.channels == coded.channels && pcmFrom.samplesPerSec == coded.samplesPerSec) {
        return MakeEncoder(coded);
    }
    if (toPcm && ReadCoded(source, &coded) && CanDecode(coded.tag) && pcmTo.bitsPerSample == 16 &&
        pcmTo.channels == coded.channels && pcmTo.samplesPerSec == coded.samplesPerSec) {
        return MakeDecoder(coded);
    }
    return nullptr;
}

// Whether a suggestion of `destination` for `source` stands: PCM is offered for any PCM or
// any format a codec decodes (whether a stream then converts rate or channels as well is
// the stream's own question); a coded format only where a stream encodes it.
bool Suggestible(const WAVEFORMATEX* source, const WAVEFORMATEX* destination) {
    WAVEFORMATEX from, to;
    std::memcpy(&from, source, kHeaderBytes);
    std::memcpy(&to, destination, kHeaderBytes);
    PcmShape pcm;
    CodedShape coded;
    if (ReadPcm(to, &pcm)) return ReadPcm(from, &pcm) || (ReadCoded(source, &coded) && CanDecode(coded.tag));
    return DriverFor(source, destination) != nullptr;
}

// The format a driver offers for `tag` at `rate` and `channels`, written into `block`
// (kMaxFormatBytes); false for a tag no driver describes.
bool StandardFormat(uint16_t tag, uint32_t rate, uint16_t channels, uint16_t pcmBits, uint8_t* block) {
    std::memset(block, 0, kMaxFormatBytes);
    WAVEFORMATEX f{tag, channels, rate, 0, 0, 0, 0};
    uint8_t* extra = block + kHeaderBytes;
    const uint32_t ch = channels;
    switch (tag) {
        case kTagPcm:
            f.wBitsPerSample = pcmBits;
            f.nBlockAlign = static_cast<uint16_t>(pcmBits / 8u * ch);
            f.nAvgBytesPerSec = f.nBlockAlign * rate;
            break;
        case kTagALaw:
        case kTagMuLaw:
            f.wBitsPerSample = 8, f.nBlockAlign = channels, f.nAvgBytesPerSec = rate * ch;
            break;
        case kTagGsm610:
            f.nBlockAlign = 65, f.nAvgBytesPerSec = rate * 1625 / 8000, f.cbSize = 2;
            WriteU16(extra, 320);
            break;
        case kTagMsAdpcm: {
            const uint32_t base = rate <= 16000 ? 256 : rate <= 32000 ? 512 : 1024;
            const uint32_t align = base * ch, samples = (align - 7 * ch) * 2 / ch + 2;
            f.wBitsPerSample = 4, f.nBlockAlign = static_cast<uint16_t>(align), f.cbSize = 32;
            f.nAvgBytesPerSec = static_cast<uint32_t>(uint64_t(rate) * align / samples);
            WriteU16(extra, samples);
            WriteU16(extra + 2, 7);
            for (int i = 0; i < 7; ++i) {
                WriteU16(extra + 4 + 4 * i, static_cast<uint16_t>(kMsAdpcmCoefficients[i][0]));
                WriteU16(extra + 6 + 4 * i, static_cast<uint16_t>(kMsAdpcmCoefficients[i][1]));
            }
            break;
        }
        case kTagImaAdpcm: {
            const uint32_t base = rate <= 11025 ? 256 : rate <= 22050 ? 512 : 1024;
            const uint32_t align = base * ch, samples = (align - 4 * ch) * 8 / (4 * ch) + 1;
            f.wBitsPerSample = 4, f.nBlockAlign = static_cast<uint16_t>(align), f.cbSize = 2;
            f.nAvgBytesPerSec = static_cast<uint32_t>(uint64_t(rate) * align / samples);
            WriteU16(extra, samples);
            break;
        }
        case kTagTrueSpeech:
            f.nAvgBytesPerSec = 1067, f.nBlockAlign = 32, f.wBitsPerSample = 1, f.cbSize = 32;
            WriteU16(extra, 1);
            WriteU16(extra + 2, 240);
            break;
        case kTagG7231:
            // The 6.3 kbit/s rate, the one both directions convert.
            f.nAvgBytesPerSec = 800, f.nBlockAlign = 24, f.cbSize = 10;
            WriteU16(extra, 2);
            WriteU32(extra + 2, 240);
            WriteU32(extra + 6, 0);
            break;
        default: return false;
    }
    std::memcpy(block, &f, kHeaderBytes);
    return true;
}

// The chooser a host installed, shared by the process.
struct Chooser {
    std::mutex lock;
    ZelmarFormatChooser function = nullptr;
    void* context = nullptr;
};
Chooser& InstalledChooser() {
    static Chooser chooser;
    return chooser;
}

std::string Describe(const WAVEFORMATEX& f) {
    const char* name = TagName(f.wFormatTag);
    char text[96];
    const char* layout = f.nChannels == 1 ? "mono" : f.nChannels == 2 ? "stereo" : "channels?";
    if (f.wFormatTag == kTagPcm) {
        std::snprintf(text, sizeof text, "PCM %u-bit %s %u Hz", unsigned(f.wBitsPerSample), layout,
                      unsigned(f.nSamplesPerSec));
    } else {
        std::snprintf(text, sizeof text, "%s %s %u Hz, %u bytes/s", name != nullptr ? name : "tag?", layout,
                      unsigned(f.nSamplesPerSec), unsigned(f.nAvgBytesPerSec));
    }
    return text;
}

}  // namespace

uint32_t FormatBytes(const WAVEFORMATEX* format) {
    if (format == nullptr) return 0;
    WAVEFORMATEX f;
    std::memcpy(&f, format, kHeaderBytes);
    if (f.wFormatTag == kTagPcm) return kHeaderBytes;
    if (f.cbSize > kMaxFormatBytes - kHeaderBytes) return 0;
    return kHeaderBytes + f.cbSize;
}

int32_t FormatSuggest(const WAVEFORMATEX* source, WAVEFORMATEX* destination, uint32_t destinationBytes,
                      uint32_t flags) {
    if (source == nullptr || destination == nullptr || destinationBytes < kHeaderBytes) return kErrInvalidParam;
    if ((flags & ~kSuggestMask) != 0) return kErrInvalidFlag;
    if (FormatBytes(source) == 0) return kErrNotPossible;
    WAVEFORMATEX from, wanted;
    std::memcpy(&from, source, kHeaderBytes);
    std::memcpy(&wanted, destination, kHeaderBytes);
    const uint16_t tag = (flags & kSuggestTag) != 0 ? wanted.wFormatTag : kTagPcm;
    const uint16_t channels = (flags & kSuggestChannels) != 0 ? wanted.nChannels : from.nChannels;
    const uint32_t rate = (flags & kSuggestRate) != 0 ? wanted.nSamplesPerSec : from.nSamplesPerSec;
    const uint16_t pcmBits = (flags & kSuggestBits) != 0 ? wanted.wBitsPerSample
                             : from.wFormatTag == kTagPcm ? from.wBitsPerSample
                                                          : 16;
    uint8_t block[kMaxFormatBytes];
    if (!StandardFormat(tag, rate, channels, pcmBits, block)) return kErrNotPossible;
    WAVEFORMATEX offered;
    std::memcpy(&offered, block, kHeaderBytes);
    if ((flags & kSuggestBits) != 0 && offered.wBitsPerSample != wanted.wBitsPerSample) return kErrNotPossible;
    if (!Suggestible(source, reinterpret_cast<const WAVEFORMATEX*>(block))) return kErrNotPossible;
    const uint32_t bytes = FormatBytes(&offered);
    if (destinationBytes < bytes) return kErrNotPossible;
    std::memcpy(destination, block, bytes);
    return kOk;
}

int32_t StreamOpen(Stream** stream, const WAVEFORMATEX* source, const WAVEFORMATEX* destination,
                   uint32_t flags) {
    if (stream == nullptr || source == nullptr || destination == nullptr) return kErrInvalidParam;
    *stream = nullptr;
    if ((flags & ~kOpenNonRealtime) != 0) return kErrInvalidFlag;
    if (FormatBytes(source) == 0 || FormatBytes(destination) == 0) return kErrNotPossible;
    std::unique_ptr<Driver> driver = DriverFor(source, destination);
    if (driver == nullptr) return kErrNotPossible;
    *stream = new Stream{std::move(driver)};
    return kOk;
}

int32_t StreamClose(Stream* stream) {
    if (stream == nullptr) return kErrInvalidHandle;
    delete stream;
    return kOk;
}

int32_t StreamSize(Stream* stream, uint32_t bytes, uint32_t* result, uint32_t flags) {
    if (stream == nullptr) return kErrInvalidHandle;
    if (result == nullptr) return kErrInvalidParam;
    uint64_t size;
    if (flags == kSizeSource) {
        size = stream->driver->DestinationFor(bytes);
    } else if (flags == kSizeDestination) {
        size = stream->driver->SourceFor(bytes);
    } else {
        return kErrInvalidFlag;
    }
    // Byte counts travel as 32-bit signed values further on.
    if (size > uint64_t(INT32_MAX)) return kErrNotPossible;
    *result = static_cast<uint32_t>(size);
    return kOk;
}

int32_t StreamPrepareHeader(Stream* stream, StreamHeader* header, uint32_t flags) {
    if (stream == nullptr) return kErrInvalidHandle;
    if (header == nullptr || flags != 0) return header == nullptr ? kErrInvalidParam : kErrInvalidFlag;
    if (header->source == nullptr || header->destination == nullptr) return kErrInvalidParam;
    header->status |= kHeaderPrepared;
    header->preparedFor = stream;
    return kOk;
}

int32_t StreamConvert(Stream* stream, StreamHeader* header, uint32_t flags) {
    if (stream == nullptr) return kErrInvalidHandle;
    if (header == nullptr) return kErrInvalidParam;
    if ((flags & ~(kConvertStart | kConvertEnd | kConvertBlockAlign)) != 0) return kErrInvalidFlag;
    if ((header->status & kHeaderPrepared) == 0 || header->preparedFor != stream) return kErrUnprepared;
    if ((flags & kConvertStart) != 0) {
        if (const int32_t restarted = stream->driver->Restart(); restarted != kOk) return restarted;
    }
    uint32_t used = 0, made = 0;
    const int32_t result = stream->driver->Convert(header->source, header->sourceBytes, header->destination,
                                                   header->destinationBytes, &used, &made);
    if (result != kOk) return result;
    header->sourceBytesUsed = used;
    header->destinationBytesUsed = made;
    return kOk;
}

int32_t StreamUnprepareHeader(Stream* stream, StreamHeader* header, uint32_t flags) {
    if (stream == nullptr) return kErrInvalidHandle;
    if (header == nullptr) return kErrInvalidParam;
    if (flags != 0) return kErrInvalidFlag;
    if ((header->status & kHeaderPrepared) == 0 || header->preparedFor != stream) return kErrUnprepared;
    header->status &= ~kHeaderPrepared;
    header->preparedFor = nullptr;
    return kOk;
}

int32_t FormatChoose(ChooseRequest* request) {
    if (request == nullptr || request->format == nullptr || request->formatBytes < kHeaderBytes) {
        return kErrInvalidParam;
    }
    // The offer: from a PCM start every format a stream makes of it; from a coded one, the
    // PCM it decodes to.
    const WAVEFORMATEX* from = (request->enumFlags & kEnumConvert) != 0 ? request->enumFormat : request->format;
    if (from == nullptr || FormatBytes(from) == 0) return kErrInvalidParam;
    WAVEFORMATEX start;
    std::memcpy(&start, from, kHeaderBytes);
    std::vector<std::vector<uint8_t>> offered;
    auto offer = [&](uint16_t tag, uint16_t channels, uint16_t bits) {
        std::vector<uint8_t> block(kMaxFormatBytes);
        if (!StandardFormat(tag, start.nSamplesPerSec, channels, bits, block.data())) return;
        const auto* format = reinterpret_cast<const WAVEFORMATEX*>(block.data());
        if ((request->enumFlags & kEnumConvert) != 0 && DriverFor(from, format) == nullptr) return;
        if (FormatBytes(format) > request->formatBytes) return;
        offered.push_back(std::move(block));
    };
    for (uint16_t channels : {uint16_t(1), uint16_t(2)}) {
        offer(kTagPcm, channels, 16);
        offer(kTagPcm, channels, 8);
        for (uint16_t tag : {kTagGsm610, kTagMsAdpcm, kTagImaAdpcm, kTagALaw, kTagMuLaw, kTagG7231, kTagTrueSpeech}) {
            offer(tag, channels, 16);
        }
    }
    std::vector<const WAVEFORMATEX*> formats;
    std::vector<std::string> names;
    std::vector<const char*> nameTexts;
    for (const auto& block : offered) {
        formats.push_back(reinterpret_cast<const WAVEFORMATEX*>(block.data()));
        names.push_back(Describe(*formats.back()));
    }
    for (const std::string& name : names) nameTexts.push_back(name.c_str());

    Chooser& chooser = InstalledChooser();
    ZelmarFormatChooser function;
    void* context;
    {
        std::lock_guard<std::mutex> hold(chooser.lock);
        function = chooser.function, context = chooser.context;
    }
    if (function == nullptr || formats.empty()) return kErrCanceled;
    const int32_t chosen = function(formats.data(), nameTexts.data(), static_cast<int32_t>(formats.size()), context);
    if (chosen < 0 || chosen >= static_cast<int32_t>(formats.size())) return kErrCanceled;
    std::memcpy(request->format, formats[std::size_t(chosen)], FormatBytes(formats[std::size_t(chosen)]));
    return kOk;
}

}  // namespace zelmar::platform::acm

extern "C" ZELMAR_API void ZelmarSetFormatChooser(ZelmarFormatChooser chooser, void* context) {
    auto& installed = zelmar::platform::acm::InstalledChooser();
    std::lock_guard<std::mutex> hold(installed.lock);
    installed.function = chooser;
    installed.context = context;
}
