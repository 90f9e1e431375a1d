// Where the speech of `zelmar voice` comes from: a capture device, a WAV file, the speech
// sample built into the program, or the tone generator.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <zelmar/zelmar.h>

#include "voice.h"
#include "voice_report.h"

namespace cli {
namespace voice {

// The source: read in blocks of 20 ms at the source rate.
class Source {
public:
    virtual ~Source() = default;
    // Fills up to `count` samples; returns how many (0 at the end).
    virtual int32_t Read(int16_t* samples, int32_t count) = 0;
    // Why the source ended early ("" when it simply came to its end).
    virtual std::string failure() const { return ""; }
    // Stops a device; other sources need no stopping.
    virtual void Stop() {}
};

// What the path and the report know of the source.
struct SourceInfo {
    std::string name;       // what it is, for the notes: "440 Hz tone", a file name, ...
    std::string component;  // the component that delivers it, "(memory)" for the sample
    int32_t rate = 0;
    int64_t samples = 0;  // how many it will deliver at the most
    bool device = false;  // a capture device, which paces the talker in real time
};

// Opens the source the settings ask for: the capture device, the input file, the generator,
// or by default the embedded speech (the generator when the build has none).  A capture
// device notes its input level in `meter`.  Returns null with *error set when that fails.
// `paired`: the capture side of a full-duplex pair the caller owns and has started, used as
// the capture device instead of one of the source's own.
std::unique_ptr<Source> OpenSource(const Settings& settings, LevelMeter& meter, SourceInfo* info, std::string* error,
                                   IAudioIO* paired = nullptr);

}  // namespace voice
}  // namespace cli
