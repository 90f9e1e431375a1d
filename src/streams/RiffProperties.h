// Property names shared by the WAV reader and writer.
#pragma once

#include <cstring>
#include <memory>

#include "framework/Properties.h"
#include "framework/Result.h"

namespace zelmar::riff {

enum Property : int32_t { kFilename = 0, kWaveFormat = 1, kTotalIn = 2, kTotalOut = 3, kUnknown = 4 };

constexpr NamedIndex kProperties[] = {
    {"Filename", kFilename},
    {"WaveFormat", kWaveFormat},
    {"TotalIn", kTotalIn},
    {"TotalOut", kTotalOut},
};

// The "Filename" property: an owned copy of a NUL-terminated name.
class FileName {
public:
    int32_t Set(const void* data) {
        if (data == nullptr) return kErrInvalidArg;
        const std::size_t length = std::strlen(static_cast<const char*>(data)) + 1;
        text_ = std::make_unique<char[]>(length);
        std::memcpy(text_.get(), data, length);
        return kOk;
    }
    // Copies the name with its NUL; the caller's buffer must hold it.
    int32_t Get(void* out) const {
        if (!text_) return kErrState;
        std::memcpy(out, text_.get(), std::strlen(text_.get()) + 1);
        return kOk;
    }
    const char* c_str() const { return text_.get(); }
    explicit operator bool() const { return text_ != nullptr; }

private:
    std::unique_ptr<char[]> text_;
};

constexpr char kRiffTag[4] = {'R', 'I', 'F', 'F'};
constexpr char kWaveTag[4] = {'W', 'A', 'V', 'E'};
constexpr char kFmtTag[4] = {'f', 'm', 't', ' '};
constexpr char kDataTag[4] = {'d', 'a', 't', 'a'};

}  // namespace zelmar::riff
