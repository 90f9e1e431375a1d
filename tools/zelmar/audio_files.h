// Audio files beyond what the engine's WAV components read, and "-" for standard input and
// output.  The engine reads 8- and 16-bit PCM WAV; the command line is the host that adapts:
// any format libsndfile reads (WAV with extensible headers, 24-bit, float, RF64, FLAC, AIFF,
// ...) is converted into a temporary 16-bit WAV, mixed down and resampled (libsoxr) where a
// command's path needs it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace cli {

// What a command's path needs of its input.
struct InputNeeds {
    int maxChannels = 2;  // more are mixed down to mono
    // The rate the path needs for a file at `rate`, or 0 to keep it (converted with libsoxr).
    std::function<int(int rate)> rateFor = [](int) { return 0; };
};

// An input for the engine: the file itself when the engine reads it as it is and it meets the
// needs, else a converted temporary copy.  "-" reads standard input (kept in a temporary file).
class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    // "" or why the file cannot be read.
    std::string Open(const std::string& path, const InputNeeds& needs = {});
    // The file as it is, whatever it holds ("-": standard input kept in a temporary file).
    std::string OpenAsItIs(const std::string& path);
    // The WAV file the engine is to read.
    const std::string& path() const { return enginePath_; }
    // The name to show ("standard input" for "-").
    const std::string& name() const { return name_; }
    // What the conversion did ("FLAC 24-bit 44100 Hz stereo -> 16-bit 16000 Hz mono"), or "".
    const std::string& conversion() const { return conversion_; }
    bool mixedDown() const { return mixedDown_; }

private:
    std::string Convert(const std::string& source, const InputNeeds& needs);

    std::string name_, enginePath_, conversion_;
    std::vector<std::string> temporaries_;
    bool mixedDown_ = false;
};

// An output: the path itself, or for "-" a temporary file that Finish copies to standard
// output (which then carries only the audio: reports go to standard error, see Report()).
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    // "" or why not.
    std::string Open(const std::string& path);
    const std::string& path() const { return path_; }
    const std::string& name() const { return name_; }
    // Copies a "-" output to standard output; "" or what failed.
    std::string Finish();

private:
    std::string path_, name_, temporary_;
};

// Where a command's report goes: standard output, unless it carries audio.
FILE* Report();

// Facts and levels of any file libsndfile reads.
struct SoundFileFacts {
    std::string format;  // "FLAC (FLAC Lossless Audio Codec), 24-bit"
    int rate = 0, channels = 0;
    int64_t frames = 0;                 // read
    int64_t declaredFrames = 0;         // what the header claims
    std::vector<double> peak, rms;      // per channel, full scale 1.0
};
// "" or why the file (called `shown` in messages) cannot be read.
std::string ReadSoundFile(const std::string& path, const std::string& shown, SoundFileFacts* facts);

}  // namespace cli
