// Shared pieces of the zelmar command-line host.  The host uses only the public interface.
#pragma once

#include <zelmar/zelmar.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace cli {

// "0x80000001 (wrong state or unrecognised property)".
std::string ResultText(int32_t code);
// The code alone, "0x80000003", for a message that says the cause in words.
std::string Hex(int32_t code);

// Prints "zelmar: <message>" to stderr and returns the exit status 1.
int Fail(const std::string& message);

// Owns one engine component (or none: a name the engine does not know, or moved from).
class Component {
public:
    Component() = default;
    explicit Component(const char* name) : io_(ZelmarCreateComponent(name)) {}
    ~Component() { ZelmarDisposeComponent(io_); }
    Component(Component&& other) noexcept : io_(other.io_) { other.io_ = nullptr; }
    Component& operator=(Component&& other) noexcept {
        std::swap(io_, other.io_);
        return *this;
    }
    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;
    IAudioIO* operator->() const { return io_; }
    IAudioIO* get() const { return io_; }
    explicit operator bool() const { return io_ != nullptr; }

private:
    IAudioIO* io_ = nullptr;
};

// Creates a component by name, sets its properties and builds and starts it, naming what
// failed:
//   std::string error;
//   Component writer = ComponentSetup("RIFFAudioOut").Set("Filename", path)
//                          .Set("WaveFormat", format).Start(&error);
//   if (!writer) return Fail("cannot create " + path + ": " + error);
// The first failure ends the setup; its text says the cause in words where it is known
// ("AccelerateAudioFilter needs Speed of 100 % or more, not 50 (0x80000003)", explain.h), else
// names the component, the property and value or the step, and the result code: "the engine
// has no component 'X'", "X refused Prop=5: 0x80000003 (invalid argument)", "X: Build returned
// 0x80000003 (invalid argument)".
class ComponentSetup {
public:
    explicit ComponentSetup(const char* name);

    // Whether the engine knows the name (also once the component has been handed over).
    bool exists() const { return exists_; }
    // The failure that ended the setup, "" while there is none.
    const std::string& error() const { return error_; }
    // The component while it is being set up, for questions asked in between.
    IAudioIO* operator->() const { return component_.get(); }

    // An integer property; `data` points at a copy of the value, which the components that
    // want a non-null `data` beside their integers (the resampler, the mixer) accept.
    ComponentSetup& Set(const char* property, int32_t value);
    // A text property (a file name) through `data`.
    ComponentSetup& Set(const char* property, const std::string& text);
    // A format property through `data`, with `value` as the component wants it (0 or the size).
    ComponentSetup& Set(const char* property, const WAVEFORMATEX& format, int32_t value = 0);
    // Any property: `shown` is how its value reads in a message.
    ComponentSetup& Set(const char* property, int32_t value, void* data, const std::string& shown);
    // An integer property the component may refuse without ending the setup: the refusal is
    // collected in refusals() ("Prop=5: 0x80000003 (invalid argument)", comma separated).
    ComponentSetup& Try(const char* property, int32_t value);
    const std::string& refusals() const { return refusals_; }

    // Builds (and Start also starts) the component and hands it over; on any failure so far
    // returns an empty Component and sets *error.
    Component Build(std::string* error);
    Component Start(std::string* error);

private:
    Component Finish(bool start, std::string* error);

    std::string name_;
    Component component_;
    bool exists_;
    // The refusal in words where there are better words than the code, the code kept in
    // parentheses.
    std::string Describe(const std::string& step, const std::string& shown, int32_t code);

    std::string error_;
    std::string refusals_;
    std::map<std::string, int32_t> settings_;  // the integers set so far, for Describe
};

// The usual setups: a sound device ("DSoundAudioIn" or "DSoundAudioOut") delivering or taking
// PCM blocks.
struct DeviceBlocks {
    int32_t rate;
    int32_t channels;
    int32_t bits;
    int32_t blockSamples;
    int32_t bufferMs;
    int32_t device;  // -1: the default device
};
// Capture and playback by the first generation ("DSoundAudioIn", "DSoundAudioOut") or the
// second ("DSoundAudioIn2", "DSoundAudioOut2").
ComponentSetup CaptureSetup(const DeviceBlocks& blocks, int generation = 1);
ComponentSetup PlaybackSetup(const DeviceBlocks& blocks, int generation = 1);
// "Siren14AudioFilter" coding 16-bit mono PCM at `rate` (16000 or 32000 Hz) to `bitRate`,
// or decoding it back.
enum class Coding { kEncode = 0, kDecode = 1 };
ComponentSetup Siren14Setup(int32_t rate, int32_t bitRate, Coding coding);

// 16-bit mono PCM at `rate`, and whether a format is that.
WAVEFORMATEX Mono16Format(int32_t rate);
bool IsMono16Pcm(const WAVEFORMATEX& format);

// An integer property, 0 when the component does not answer.
int32_t IntProperty(IAudioIO* io, const char* name, int32_t arg = 0);
// A text property such as a device name; false when the component does not answer.
bool TextProperty(IAudioIO* io, const char* name, int32_t arg, std::string* text);

// A device answers a block that is not ready yet (capture) or has no room yet (playback) with
// a time-out: these ask again, for a few seconds at the most, and return the last result.
int32_t GetDeviceBlock(IAudioIO* device, void* buffer, int32_t bytes);
int32_t PutDeviceBlock(IAudioIO* device, const void* buffer, int32_t bytes);

// Wall-clock seconds since `start`, for the run times the commands print, and how many
// times faster than real time that handled `audioSeconds`.
double SecondsSince(std::chrono::steady_clock::time_point start);
double RealTimeFactor(double audioSeconds, double wallSeconds);

// A peak sample (full scale 32768) in dBFS for the live meters, -99 for silence.
double PeakDbfs(int peak);

// Command-line options: "--name value", "--flag", and positional arguments.
class Options {
public:
    // `flags` names the options that take no value.  An error names the option and points
    // to the help of `command`.
    bool Parse(const char* command, int argc, char** argv, const std::vector<std::string>& valued,
               const std::vector<std::string>& flags, std::string* error);
    bool Has(const std::string& name) const { return values_.count(name) > 0; }
    std::string Text(const std::string& name, const std::string& fallback = "") const;
    // Parses a number within [low, high]; on failure sets *error and returns false.
    bool Number(const std::string& name, double low, double high, double* value, std::string* error) const;
    const std::vector<std::string>& Positional() const { return positional_; }

private:
    std::map<std::string, std::string> values_;
    std::vector<std::string> positional_;
};

std::string DescribeFormat(const WAVEFORMATEX& format);

// One line on which device a built "DSoundAudioIn" (`capture`) or "DSoundAudioOut" uses and
// through which backend: "recording from device 1, Monitor of Null Output (PulseAudio)", or,
// when no sound server answered, that the engine's virtual device stands in (it captures
// silence unless something plays into it).
std::string DeviceLine(IAudioIO* device, bool capture, int32_t number);

// Why a file cannot be read, or cannot be created (or replaced), in words: "cannot open x:
// is a directory", "cannot create a/b.wav: no directory a" ...; empty when nothing is known
// to stand in the way.
std::string WhyNotReadable(const std::string& path);
std::string WhyNotWritable(const std::string& path);
// The whole file ("-": standard input), or why not.
std::string ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes);

// Progress on a terminal: a bar that redraws itself on stderr; silent when stderr is not a tty.
class Progress {
public:
    explicit Progress(const char* label);
    void Update(double fraction);
    void Done();

private:
    const char* label_;
    bool enabled_;
    int lastPercent_ = -1;
};

}  // namespace cli
