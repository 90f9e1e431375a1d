// Shared pieces of the zelmar command-line host.  The host uses only the public interface.
#pragma once

#include <zelmar/zelmar.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace cli {

// "0x80000001 (wrong state or unrecognised property)".
std::string ResultText(int32_t code);

// Prints "zelmar: <message>" to stderr and returns the exit status 1.
int Fail(const std::string& message);

// Owns one engine component.
class Component {
public:
    explicit Component(const char* name) : io_(ZelmarCreateComponent(name)) {}
    ~Component() { ZelmarDisposeComponent(io_); }
    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;
    IAudioIO* operator->() const { return io_; }
    IAudioIO* get() const { return io_; }
    explicit operator bool() const { return io_ != nullptr; }

private:
    IAudioIO* io_;
};

// Command-line options: "--name value", "--flag", and positional arguments.
class Options {
public:
    // `flags` names the options that take no value.
    bool Parse(int argc, char** argv, const std::vector<std::string>& valued,
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

// Header facts of a WAV file, read by the host to know its length.
struct WavProbe {
    WAVEFORMATEX format{};
    uint32_t dataBytes = 0;
};
// Returns an empty string on success, else what is wrong with the file.
std::string ProbeWav(const std::string& path, WavProbe* probe);

std::string DescribeFormat(const WAVEFORMATEX& format);

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
