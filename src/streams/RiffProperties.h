// What the WAV reader and writer share: their four properties in one lookup order, the
// "Filename" setting and the file Start opens, and how the split-channel calls read the format.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "framework/AudioComponent.h"
#include "framework/Format.h"
#include "framework/Properties.h"
#include "framework/Result.h"
#include "platform/FileSystem.h"

namespace zelmar {
namespace riff {

enum Property : int32_t { kFilename = 0, kWaveFormat = 1, kTotalIn = 2, kTotalOut = 3, kUnknown = 4 };

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

// What a split-channel call does: return `refusal`, hand a mono stream whole to the plain
// call, or move stereo frames of two samples `sampleBytes` wide each.
struct SplitCall {
    int32_t refusal = kOk;
    bool mono = false;
    uint32_t sampleBytes = 0;
};

// Split calls need an open PCM stream; a mono stream goes to the plain call before the second
// buffer is looked at.  Samples are 16 bits wide or, for any other width, one byte.
inline SplitCall PlanSplit(bool open, const FormatBlock& format, const void* left, const void* right, int32_t bytes) {
    const WAVEFORMATEX wfx = format.Format();
    if (!open || wfx.wFormatTag != kFormatTagPcm) return {kErrState};
    if (wfx.nChannels == 1) return {kOk, true};
    if (left == nullptr || right == nullptr || bytes < 1) return {kErrInvalidArg};
    return {kOk, false, wfx.wBitsPerSample == 16 ? 2u : 1u};
}

constexpr char kRiffTag[4] = {'R', 'I', 'F', 'F'};
constexpr char kWaveTag[4] = {'W', 'A', 'V', 'E'};
constexpr char kFmtTag[4] = {'f', 'm', 't', ' '};
constexpr char kDataTag[4] = {'d', 'a', 't', 'a'};

}  // namespace riff

// The base of both WAV components: the name of the file and the file itself while it is open.
template <typename C, typename Interface>
class CRiffFile : public CTableComponent<C, Interface> {
protected:
    int32_t SetFilename(int32_t, void* data) { return fileName_.Set(data); }
    int32_t GetFilename(int32_t, void* out) { return fileName_.Get(out); }

    bool IsOpen() const { return file_ != nullptr; }
    // Start refuses a component that is open already or has no name to open.
    bool CanStart() const { return file_ == nullptr && fileName_; }

    riff::FileName fileName_;                 // a setting: only the property writes it
    std::unique_ptr<platform::IFile> file_;   // open from a successful Start to Stop
};

// The rows of both WAV components.  Each keeps one byte counter (the reader "TotalIn", the
// writer "TotalOut") and refuses the other as an unknown name.
template <typename C>
struct RiffRows {
    struct Own {
        int32_t (C::*setFormat)(int32_t value, void* data);
        int32_t (C::*getFormat)(int32_t size, void* out);
        riff::Property counted;
        void* (*counter)(C&);
    };

    static constexpr std::array<PropertyRow<C>, riff::kUnknown> Make(Own own) {
        return {{
            // A new name or format takes effect at the next Build (reader) or Start (writer).
            {"Filename", riff::kFilename, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr,
             nullptr, &C::SetFilename, &C::GetFilename},
            {"WaveFormat", riff::kWaveFormat, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr,
             nullptr, own.setFormat, own.getFormat},
            Counter("TotalIn", riff::kTotalIn, own),
            Counter("TotalOut", riff::kTotalOut, own),
        }};
    }

private:
    static constexpr PropertyRow<C> Counter(const char* name, riff::Property index, const Own& own) {
        const bool kept = index == own.counted;
        return {name, index, Settable::kNo, kept ? Readable::kYes : Readable::kNo, Value::kUint32, kAnyInt,
                kept ? own.counter : nullptr};
    }
};

}  // namespace zelmar
