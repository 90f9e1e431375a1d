#include "codecs/ACMAudioFilter.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>

namespace zelmar {
namespace acm = platform::acm;
namespace {

constexpr uint32_t kFormatBlock = static_cast<uint32_t>(kFormatBlockBytes);
constexpr uint32_t kSuggestAll = acm::kSuggestTag | acm::kSuggestChannels | acm::kSuggestRate | acm::kSuggestBits;

// Rates every template accepts (0: left to the format suggestion).
constexpr uint32_t kTemplateRates[] = {0, 8000, 11025, 12000, 16000, 22050, 24000, 32000, 40000, 44100, 48000};

// The coded formats the templates write.
enum class Coded : uint8_t { kGsm, kG7231, kLhCelp, kTrueSpeech, kMsAdpcm, kALaw };

// One template: the checks beyond the common ones, and which side is coded.  The PCM side is
// always PCM(rate, bits, mono): where a row fixes the rate or the bits, its check has made
// them so already.
struct TemplateRow {
    const char* name;
    Coded coded;
    bool codedIsInput;
    bool refuseStereo;   // channels must not be 2
    uint32_t needRate;   // 0: any
    uint16_t needBits;   // 0: any
};
constexpr TemplateRow kTemplates[] = {
    {"PCM2GSM", Coded::kGsm, false, true, 0, 0},
    {"GSM2PCM", Coded::kGsm, true, true, 0, 0},
    {"PCM2G723", Coded::kG7231, false, true, 8000, 16},
    {"G7232PCM", Coded::kG7231, true, true, 0, 16},
    {"PCM2LHCELP", Coded::kLhCelp, false, true, 8000, 16},
    {"LHCELP2PCM", Coded::kLhCelp, true, true, 8000, 16},
    {"PCM2TS", Coded::kTrueSpeech, false, true, 8000, 16},
    {"TS2PCM", Coded::kTrueSpeech, true, true, 8000, 16},
    {"PCM2ADPCM", Coded::kMsAdpcm, false, false, 0, 0},
    {"ADPCM2PCM", Coded::kMsAdpcm, true, false, 0, 0},
    {"PCM2ALAW", Coded::kALaw, false, true, 0, 16},
    {"ALAW2PCM", Coded::kALaw, true, true, 0, 16},
};

constexpr int16_t kMsAdpcmCoefficients[7][2] = {{256, 0}, {512, -256}, {0, 0},      {192, 64},
                                               {240, 0}, {460, -208}, {392, -232}};

// G.723.1's extra bytes: the configuration word (2: 24-byte frames at 6.3 kbit/s, 3: 20-byte
// frames at 5.3 kbit/s), then two 32-bit fields of our choosing: the samples per frame (240)
// and a reserved 0.
constexpr uint32_t kG7231SamplesPerFrame = 240;
constexpr uint32_t kG7231LowRateBytesPerSec = 666;

void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v & 0xFFFF);
    Put16(p + 2, v >> 16);
}

uint16_t Bits(const FormatBlock& block) { return block.Format().wBitsPerSample; }
uint16_t Channels(const FormatBlock& block) { return block.Format().nChannels; }
uint32_t Rate(const FormatBlock& block) { return block.Format().nSamplesPerSec; }

// The PCM rule: block alignment from whole bytes per sample, byte rate from the alignment.
WAVEFORMATEX PcmRule(uint32_t rate, uint16_t bits, uint16_t channels) {
    const auto align = static_cast<uint16_t>(bits / 8 * channels);
    return {kFormatTagPcm, channels, rate, uint32_t(align) * rate, align, bits, 0};
}
void SetPcm(FormatBlock* block, uint32_t rate, uint16_t bits, uint16_t channels) {
    block->SetFormat(PcmRule(rate, bits, channels));
}

void WriteCoded(FormatBlock* block, Coded coded, uint32_t rate, uint16_t channels) {
    const bool lowRateG7231 = block->Format().nAvgBytesPerSec == kG7231LowRateBytesPerSec;
    std::memset(block->bytes, 0, sizeof block->bytes);
    uint8_t* extra = block->bytes + kWaveFormatBytes;
    WAVEFORMATEX f{};
    switch (coded) {
        case Coded::kGsm:
            f = {acm::kTagGsm610, 1, rate, static_cast<uint32_t>(uint64_t(rate) * 1625 / 8000), 65, 0, 2};
            Put16(extra, 320);
            break;
        case Coded::kG7231:
            // A format that already says 5.3 kbit/s keeps its 20-byte frames.
            f = lowRateG7231 ? WAVEFORMATEX{acm::kTagG7231, 1, 8000, kG7231LowRateBytesPerSec, 20, 0, 10}
                             : WAVEFORMATEX{acm::kTagG7231, 1, 8000, 800, 24, 0, 10};
            Put16(extra, lowRateG7231 ? 3 : 2);
            Put32(extra + 2, kG7231SamplesPerFrame);
            Put32(extra + 6, 0);
            break;
        case Coded::kLhCelp: f = {acm::kTagLhCelp, 1, 8000, 600, 12, 16, 0}; break;
        case Coded::kTrueSpeech:
            f = {acm::kTagTrueSpeech, 1, 8000, 1067, 32, 1, 32};
            Put16(extra, 1);
            Put16(extra + 2, 240);
            break;
        case Coded::kMsAdpcm: {
            // Block size by rate: 256 bytes (500 samples) up to 16 kHz, 512 (1012) up to
            // 32 kHz, 1024 (2036) above; times the channels.
            const int64_t base = rate <= 16000 ? 256 : rate <= 32000 ? 512 : 1024;
            const int64_t samples = rate <= 16000 ? 500 : rate <= 32000 ? 1012 : 2036;
            const int64_t align = base * channels;
            // Byte rate (r x 6 / (A - 6) + r) / 2, both divisions truncating; no division by 0.
            const int64_t r = rate;
            const int64_t avg = align == 6 ? 0 : (r * 6 / (align - 6) + r) / 2;
            f = {acm::kTagMsAdpcm, channels, rate, static_cast<uint32_t>(avg), static_cast<uint16_t>(align), 4, 32};
            Put16(extra, static_cast<uint32_t>(samples));
            Put16(extra + 2, 7);
            for (int i = 0; i < 7; ++i) {
                Put16(extra + 4 + 4 * i, static_cast<uint16_t>(kMsAdpcmCoefficients[i][0]));
                Put16(extra + 6 + 4 * i, static_cast<uint16_t>(kMsAdpcmCoefficients[i][1]));
            }
            break;
        }
        case Coded::kALaw: f = {acm::kTagALaw, channels, rate, rate, 1, 8, 0}; break;
    }
    block->SetFormat(f);
}

// Format properties move `bytes` of a block, 146 when 0; never more than the block holds.
bool BlockBytes(int32_t bytes, uint32_t* count) {
    if (bytes < 0) return false;
    *count = bytes == 0 ? kFormatBlock : std::min<uint32_t>(static_cast<uint32_t>(bytes), kFormatBlock);
    return true;
}

int32_t ReadUint16(const void* field, void* out) {
    uint16_t v;
    std::memcpy(&v, field, sizeof v);
    WriteInt32(out, v);
    return kOk;
}

}  // namespace

const PropertyTable<CACMAudioFilter>& CACMAudioFilter::Properties() {
    using C = CACMAudioFilter;
    static constexpr PropertyRow<C> kRows[] = {
        // The three PCM settings are fields of the input format; any value is kept, and the
        // template or the format suggestion judges it at Build.
        {"SamplesPerSec", kSamplesPerSec, Settable::kAlways, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return c.settings_.input.bytes + offsetof(WAVEFORMATEX, nSamplesPerSec); }},
        {"BitsPerSample", kBitsPerSample, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetBits, &C::GetBits},
        {"Channels", kChannels, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetChannels, &C::GetChannels},
        {"Template", kTemplate, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetTemplate, &C::GetTemplate},
        {"InBufferSize", kInBufferSize, Settable::kNo, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         nullptr, &C::GetInBufferSize},
        {"OutBufferSize", kOutBufferSize, Settable::kNo, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         nullptr, &C::GetOutBufferSize},
        {"InWaveFormat", kInWaveFormat, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetInWaveFormat, &C::GetInWaveFormat},
        {"OutWaveFormat", kOutWaveFormat, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr,
         nullptr, &C::SetOutWaveFormat, &C::GetOutWaveFormat},
        {"LastError", kLastError, Settable::kNo, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.meters_.lastError; }},
        // A request the stream does not need: taken, and nothing changes.
        {"Reset", kReset, Settable::kAlways, Readable::kNo, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::ResetRequest},
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

CACMAudioFilter::CACMAudioFilter() { SetPcm(&settings_.input, 16000, 16, 1); }

CACMAudioFilter::~CACMAudioFilter() { CloseStream(); }

void CACMAudioFilter::CloseStream() {
    if (stream_ != nullptr) acm::StreamClose(stream_);
    stream_ = nullptr;
}

int32_t CACMAudioFilter::SetBits(int32_t value, void*) {
    const auto bits = static_cast<uint16_t>(value);  // the low 16 bits
    std::memcpy(settings_.input.bytes + offsetof(WAVEFORMATEX, wBitsPerSample), &bits, sizeof bits);
    return kOk;
}
int32_t CACMAudioFilter::GetBits(int32_t, void* out) {
    return ReadUint16(settings_.input.bytes + offsetof(WAVEFORMATEX, wBitsPerSample), out);
}
int32_t CACMAudioFilter::SetChannels(int32_t value, void*) {
    const auto channels = static_cast<uint16_t>(value);
    std::memcpy(settings_.input.bytes + offsetof(WAVEFORMATEX, nChannels), &channels, sizeof channels);
    return kOk;
}
int32_t CACMAudioFilter::GetChannels(int32_t, void* out) {
    return ReadUint16(settings_.input.bytes + offsetof(WAVEFORMATEX, nChannels), out);
}

int32_t CACMAudioFilter::SetTemplate(int32_t, void* data) {
    if (data == nullptr) return kErrInvalidArg;
    // At most 64 characters: a longer name is cut there, and then matches no template.
    const char* name = static_cast<const char*>(data);
    std::size_t length = 0;
    while (length < kTemplateChars && name[length] != '\0') ++length;
    std::memcpy(settings_.templateName, name, length);
    settings_.templateName[length] = '\0';
    return kOk;
}
int32_t CACMAudioFilter::GetTemplate(int32_t, void* out) {
    std::memcpy(out, settings_.templateName, std::strlen(settings_.templateName) + 1);
    return kOk;
}

int32_t CACMAudioFilter::StreamSize(int32_t bytes, uint32_t side) const {
    uint32_t size = 0;
    if (bytes < 0 || acm::StreamSize(stream_, static_cast<uint32_t>(bytes), &size, side) != acm::kOk) return 0;
    return static_cast<int32_t>(size);
}
int32_t CACMAudioFilter::GetInBufferSize(int32_t arg, void* out) {
    WriteInt32(out, StreamSize(arg, acm::kSizeDestination));
    return kOk;
}
int32_t CACMAudioFilter::GetOutBufferSize(int32_t arg, void* out) {
    WriteInt32(out, StreamSize(arg, acm::kSizeSource));
    return kOk;
}

int32_t CACMAudioFilter::SetInWaveFormat(int32_t value, void* data) {
    if (value == 0) {
        // Rebuilt from its own rate, bits and channels.
        SetPcm(&settings_.input, Rate(settings_.input), Bits(settings_.input), Channels(settings_.input));
        return kOk;
    }
    uint32_t bytes;
    if (data == nullptr || !BlockBytes(value, &bytes)) return kErrInvalidArg;
    std::memcpy(settings_.input.bytes, data, bytes);
    return kOk;
}
int32_t CACMAudioFilter::GetInWaveFormat(int32_t arg, void* out) {
    uint32_t bytes;
    if (!BlockBytes(arg, &bytes)) return kErrInvalidArg;
    std::memcpy(out, settings_.input.bytes, bytes);
    return kOk;
}
int32_t CACMAudioFilter::SetOutWaveFormat(int32_t value, void* data) {
    if (data == nullptr) {
        // Both formats become the input's PCM, and the host's chooser picks the output.
        const WAVEFORMATEX pcm = PcmRule(Rate(settings_.input), Bits(settings_.input), Channels(settings_.input));
        settings_.input.SetFormat(pcm);
        settings_.output.SetFormat(pcm);
        return Choose();
    }
    uint32_t bytes;
    if (!BlockBytes(value, &bytes)) return kErrInvalidArg;
    std::memcpy(settings_.output.bytes, data, bytes);
    return kOk;
}
int32_t CACMAudioFilter::GetOutWaveFormat(int32_t arg, void* out) {
    uint32_t bytes;
    if (!BlockBytes(arg, &bytes)) return kErrInvalidArg;
    std::memcpy(out, settings_.output.bytes, bytes);
    return kOk;
}

// The format choice on the output format: only formats reachable from it are offered.
int32_t CACMAudioFilter::Choose() {
    auto* output = reinterpret_cast<WAVEFORMATEX*>(settings_.output.bytes);
    acm::ChooseRequest request;
    request.format = output;
    request.formatBytes = kFormatBlock;
    if (settings_.output.Format().wFormatTag != 0) {
        request.enumFlags = acm::kEnumConvert;
        request.enumFormat = output;
    }
    return acm::FormatChoose(&request);
}

// Fills the formats from the template and the input's rate, bits and channels; 0 or the
// failure "LastError" then reports.
int32_t CACMAudioFilter::RunTemplate() {
    const uint32_t rate = Rate(settings_.input);
    const uint16_t bits = Bits(settings_.input), channels = Channels(settings_.input);
    if (std::find(std::begin(kTemplateRates), std::end(kTemplateRates), rate) == std::end(kTemplateRates) ||
        (bits != 0 && bits != 8 && bits != 16) || channels > 2) {
        return kErrInvalidArg;
    }
    const char* name = settings_.templateName;
    if (std::strcmp(name, "SUGGEST") == 0) {
        WAVEFORMATEX out = settings_.output.Format();
        uint32_t flags = out.wFormatTag != 0 ? acm::kSuggestTag : 0;
        if (channels != 0) out.nChannels = channels;
        if (out.nChannels != 0) flags |= acm::kSuggestChannels;
        if (rate != 0) out.nSamplesPerSec = rate, flags |= acm::kSuggestRate;
        if (bits != 0) out.wBitsPerSample = bits, flags |= acm::kSuggestBits;
        settings_.output.SetFormat(out);
        const auto* input = reinterpret_cast<const WAVEFORMATEX*>(settings_.input.bytes);
        auto* output = reinterpret_cast<WAVEFORMATEX*>(settings_.output.bytes);
        if (acm::FormatSuggest(input, output, kFormatBlock, flags) != acm::kOk) return kErrFormat;
        out = settings_.output.Format();
        if (out.wFormatTag == kFormatTagPcm) out.cbSize = 0, settings_.output.SetFormat(out);
        return kOk;
    }
    if (std::strcmp(name, "CHOOSE") == 0) {
        SetPcm(&settings_.input, rate, bits, channels);
        SetPcm(&settings_.output, rate, bits, channels);
        return Choose();
    }
    const TemplateRow* row = nullptr;
    for (const TemplateRow& candidate : kTemplates) {
        if (std::strcmp(candidate.name, name) == 0) row = &candidate;
    }
    if (row == nullptr || (row->refuseStereo && channels == 2) || (row->needRate != 0 && rate != row->needRate) ||
        (row->needBits != 0 && bits != row->needBits)) {
        return kErrInvalidArg;
    }
    FormatBlock* pcm = row->codedIsInput ? &settings_.output : &settings_.input;
    FormatBlock* coded = row->codedIsInput ? &settings_.input : &settings_.output;
    SetPcm(pcm, rate, bits, 1);
    WriteCoded(coded, row->coded, rate, channels);
    return kOk;
}

int32_t CACMAudioFilter::Build() {
    if (settings_.templateName[0] != '\0') {
        if (const int32_t result = RunTemplate(); result != kOk) {
            meters_.lastError = result;
            return kErrFormat;
        }
    }
    const auto* input = reinterpret_cast<const WAVEFORMATEX*>(settings_.input.bytes);
    auto* output = reinterpret_cast<WAVEFORMATEX*>(settings_.output.bytes);
    if (acm::FormatSuggest(input, output, kFormatBlock, kSuggestAll) != acm::kOk) return kErrFormat;
    CloseStream();
    if (const int32_t opened = acm::StreamOpen(&stream_, input, output, acm::kOpenNonRealtime);
        opened != acm::kOk) {
        meters_.lastError = opened;
        stream_ = nullptr;
        return kErrPlatform;
    }
    state_ = kStateBuilt;
    return kOk;
}

int32_t CACMAudioFilter::Start() {
    if (state_ != kStateBuilt) return kErrState;
    state_ = kStateRunning;
    startOfRun_ = true;
    return kOk;
}

int32_t CACMAudioFilter::Stop() {
    if (state_ != kStateRunning) return kErrState;
    state_ = kStateBuilt;
    startOfRun_ = true;
    return kOk;
}

int32_t CACMAudioFilter::Process(const void* in, int32_t* inBytes, void* out, int32_t* outBytes) {
    if (state_ != kStateRunning) return kErrState;
    if (out == nullptr) {
        // How much output *inBytes of input give.
        if (outBytes == nullptr || in == nullptr || inBytes == nullptr) return kErrInvalidArg;
        *outBytes = StreamSize(*inBytes, acm::kSizeSource);
        return kOk;
    }
    if (in == nullptr) {
        // How much input *outBytes of output need.
        if (inBytes == nullptr || outBytes == nullptr) return kErrInvalidArg;
        *inBytes = StreamSize(*outBytes, acm::kSizeDestination);
        return kOk;
    }
    // A count below zero is no buffer size.
    if (inBytes == nullptr || outBytes == nullptr || *inBytes < 0 || *outBytes < 0) return kErrInvalidArg;
    acm::StreamHeader header;
    header.source = static_cast<const uint8_t*>(in);
    header.sourceBytes = static_cast<uint32_t>(*inBytes);
    header.destination = static_cast<uint8_t*>(out);
    header.destinationBytes = static_cast<uint32_t>(*outBytes);
    if (const int32_t prepared = acm::StreamPrepareHeader(stream_, &header, 0); prepared != acm::kOk) {
        meters_.lastError = prepared;
        return kErrPlatform;
    }
    const uint32_t flags = startOfRun_ ? acm::kConvertStart : 0;
    startOfRun_ = false;
    if (const int32_t converted = acm::StreamConvert(stream_, &header, flags); converted != acm::kOk) {
        meters_.lastError = converted;
        acm::StreamUnprepareHeader(stream_, &header, 0);
        return kErrPlatform;
    }
    if (const int32_t unprepared = acm::StreamUnprepareHeader(stream_, &header, 0); unprepared != acm::kOk) {
        meters_.lastError = unprepared;
        return kErrPlatform;
    }
    *inBytes = static_cast<int32_t>(header.sourceBytesUsed);
    *outBytes = static_cast<int32_t>(header.destinationBytesUsed);
    meters_.totalIn += header.sourceBytesUsed;
    meters_.totalOut += header.destinationBytesUsed;
    return kOk;
}

}  // namespace zelmar
