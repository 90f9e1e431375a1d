// Property names shared by the WAV reader and writer.
#pragma once

#include <cstring>
#include <memory>

#include "framework/Properties.h"

namespace zelmar::riff {

enum Property : int32_t { kFilename = 0, kWaveFormat = 1, kTotalIn = 2, kTotalOut = 3, kUnknown = 4 };

constexpr PropertyRow kProperties[] = {
    {"Filename", kFilename},
    {"WaveFormat", kWaveFormat},
    {"TotalIn", kTotalIn},
    {"TotalOut", kTotalOut},
};

// Owned copy of a NUL-terminated file name.
inline std::unique_ptr<char[]> CopyName(const char* text) {
    const std::size_t length = std::strlen(text) + 1;
    auto copy = std::make_unique<char[]>(length);
    std::memcpy(copy.get(), text, length);
    return copy;
}

constexpr char kRiffTag[4] = {'R', 'I', 'F', 'F'};
constexpr char kWaveTag[4] = {'W', 'A', 'V', 'E'};
constexpr char kFmtTag[4] = {'f', 'm', 't', ' '};
constexpr char kDataTag[4] = {'d', 'a', 't', 'a'};

}  // namespace zelmar::riff
