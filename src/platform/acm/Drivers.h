// The conversion drivers behind the compression manager's streams: one object per open
// stream, converting as much as both buffers allow and keeping what a codec needs between
// calls (a partial block, the codec's history) until the next run starts.
#pragma once

#include <cstdint>
#include <memory>

namespace zelmar::platform::acm {

// What a coded format's blocks hold, once its header has been checked.
struct CodedShape {
    uint16_t tag = 0;
    uint16_t channels = 0;
    uint32_t samplesPerSec = 0;
    uint32_t blockBytes = 0;        // coded bytes per block
    uint32_t samplesPerBlock = 0;   // sample frames per block
    uint16_t bitsPerSample = 0;     // the header's, which some decoders need
};

struct PcmShape {
    uint16_t channels = 0;
    uint16_t bitsPerSample = 0;     // 8 or 16
    uint32_t samplesPerSec = 0;
};

class Driver {
public:
    virtual ~Driver() = default;
    // Converts from `source` into `destination`; reports the bytes taken and made.
    virtual int32_t Convert(const uint8_t* source, uint32_t sourceBytes, uint8_t* destination,
                            uint32_t destinationBytes, uint32_t* used, uint32_t* made) = 0;
    // The most destination bytes `sourceBytes` can make in one call; the source bytes one
    // call takes to make at most `destinationBytes`.  64-bit: the caller bounds them.
    virtual uint64_t DestinationFor(uint64_t sourceBytes) const = 0;
    virtual uint64_t SourceFor(uint64_t destinationBytes) const = 0;
    // The next conversion begins a new run: the codec starts afresh, nothing carried over.
    virtual int32_t Restart() = 0;
};

// Each returns null when no library converts that pair (the caller answers "not possible").
std::unique_ptr<Driver> MakePcmConverter(const PcmShape& from, const PcmShape& to);
std::unique_ptr<Driver> MakeEncoder(const CodedShape& to);
std::unique_ptr<Driver> MakeDecoder(const CodedShape& from);

// Which directions a library here converts for `tag`.
bool CanEncode(uint16_t tag);
bool CanDecode(uint16_t tag);

}  // namespace zelmar::platform::acm
