// The compression manager the codec bridge talks to: format suggestion, conversion streams
// (open, size, prepare a header, convert, unprepare, close) and the format choice, keyed by
// WAVE format tags.  Conversions are real ones over Debian's codec libraries (libgsm,
// libavcodec, libswresample) and the engine's own G.711; a tag or direction that no library
// converts is refused as a compression manager refuses it, with "not possible".
//
// Result codes are the compression manager's own numbers (0, 5, 7, 10, 11, 512, 514, 515).
#pragma once

#include <zelmar/zelmar.h>

#include <cstdint>

namespace zelmar::platform::acm {

// Result codes.
constexpr int32_t kOk = 0;
constexpr int32_t kErrInvalidHandle = 5;
constexpr int32_t kErrNoMemory = 7;
constexpr int32_t kErrInvalidFlag = 10;
constexpr int32_t kErrInvalidParam = 11;
constexpr int32_t kErrNotPossible = 512;
constexpr int32_t kErrUnprepared = 514;
constexpr int32_t kErrCanceled = 515;

// Format tags the drivers know.
constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagMsAdpcm = 2;
constexpr uint16_t kTagALaw = 6;
constexpr uint16_t kTagMuLaw = 7;
constexpr uint16_t kTagImaAdpcm = 17;
constexpr uint16_t kTagTrueSpeech = 34;
constexpr uint16_t kTagGsm610 = 49;
constexpr uint16_t kTagG7231 = 66;
constexpr uint16_t kTagLhCelp = 112;

// FormatSuggest: which fields of the destination the caller fixes.
constexpr uint32_t kSuggestTag = 0x00010000;
constexpr uint32_t kSuggestChannels = 0x00020000;
constexpr uint32_t kSuggestRate = 0x00040000;
constexpr uint32_t kSuggestBits = 0x00080000;
constexpr uint32_t kSuggestMask = 0x000F0000;

// StreamSize: which side `bytes` counts.
constexpr uint32_t kSizeSource = 0x00000000;
constexpr uint32_t kSizeDestination = 0x00000001;

// StreamConvert: the first conversion of a run (the driver starts its codec afresh).
constexpr uint32_t kConvertStart = 0x00000010;
constexpr uint32_t kConvertEnd = 0x00000020;
constexpr uint32_t kConvertBlockAlign = 0x00000004;

// StreamOpen: accepted and ignored (every stream here converts in the caller's thread).
constexpr uint32_t kOpenNonRealtime = 0x00000004;

// FormatChoose: offer only formats a stream can convert `enumFormat` into.
constexpr uint32_t kEnumConvert = 0x00100000;

// The largest format a driver writes: a WAVEFORMATEX and its extra bytes.
constexpr uint32_t kMaxFormatBytes = ZELMAR_FORMAT_BLOCK_BYTES;

struct Stream;  // opaque: one open conversion

struct StreamHeader {
    uint32_t status = 0;  // kHeaderPrepared while prepared
    const uint8_t* source = nullptr;
    uint32_t sourceBytes = 0;
    uint32_t sourceBytesUsed = 0;
    uint8_t* destination = nullptr;
    uint32_t destinationBytes = 0;
    uint32_t destinationBytesUsed = 0;
    const Stream* preparedFor = nullptr;
};
constexpr uint32_t kHeaderPrepared = 0x00020000;

struct ChooseRequest {
    WAVEFORMATEX* format = nullptr;   // in: the starting format; out: the chosen one
    uint32_t formatBytes = 0;         // room at `format`
    uint32_t enumFlags = 0;           // kEnumConvert or 0
    const WAVEFORMATEX* enumFormat = nullptr;
};

// Completes `destination` from `source`: the fields named in `flags` are kept as the caller
// set them, the rest are the driver's choice.  `destinationBytes` is the room there.
int32_t FormatSuggest(const WAVEFORMATEX* source, WAVEFORMATEX* destination, uint32_t destinationBytes,
                      uint32_t flags);

// Opens a stream converting `source` into `destination` (both read with their extra bytes).
int32_t StreamOpen(Stream** stream, const WAVEFORMATEX* source, const WAVEFORMATEX* destination,
                   uint32_t flags);
int32_t StreamClose(Stream* stream);

// kSizeSource: the most destination bytes `bytes` source bytes can make in one conversion;
// kSizeDestination: the source bytes one conversion takes to make at most `bytes`.
int32_t StreamSize(Stream* stream, uint32_t bytes, uint32_t* result, uint32_t flags);

int32_t StreamPrepareHeader(Stream* stream, StreamHeader* header, uint32_t flags);
int32_t StreamConvert(Stream* stream, StreamHeader* header, uint32_t flags);
int32_t StreamUnprepareHeader(Stream* stream, StreamHeader* header, uint32_t flags);

// Offers the formats reachable from the request's format to the chooser a host installed
// (ZelmarSetFormatChooser); kErrCanceled when there is none or it declines.
int32_t FormatChoose(ChooseRequest* request);

// The total length of a format with its extra bytes (18 for plain PCM, whose cbSize is
// ignored), or 0 when it cannot be one.
uint32_t FormatBytes(const WAVEFORMATEX* format);

// A short human name of a tag ("GSM 6.10"), or null for tags no driver knows.
const char* TagName(uint16_t tag);

}  // namespace zelmar::platform::acm
