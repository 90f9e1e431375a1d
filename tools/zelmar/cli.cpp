#include "cli.h"

#include <zelmar/zelmar_c.h>

#include "explain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace cli {

std::string Hex(int32_t code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<uint32_t>(code));
    return hex;
}

std::string ResultText(int32_t code) { return Hex(code) + " (" + ZelmarResultText(code) + ")"; }

int Fail(const std::string& message) {
    std::fprintf(stderr, "zelmar: %s\n", message.c_str());
    return 1;
}

ComponentSetup::ComponentSetup(const char* name) : name_(name), component_(name), exists_(static_cast<bool>(component_)) {
    if (!exists_) error_ = "the engine has no component '" + name_ + "'";
}

ComponentSetup& ComponentSetup::Set(const char* property, int32_t value) {
    int32_t copy = value;
    settings_[property] = value;
    return Set(property, value, &copy, std::to_string(value));
}

ComponentSetup& ComponentSetup::Set(const char* property, const std::string& text) {
    return Set(property, 0, const_cast<char*>(text.c_str()), text);
}

ComponentSetup& ComponentSetup::Set(const char* property, const WAVEFORMATEX& format, int32_t value) {
    return Set(property, value, const_cast<WAVEFORMATEX*>(&format), DescribeFormat(format));
}

ComponentSetup& ComponentSetup::Set(const char* property, int32_t value, void* data, const std::string& shown) {
    if (!error_.empty()) return *this;
    const int32_t code = component_->SetProperty(property, value, data);
    if (code != 0) error_ = Describe(property, shown, code);
    return *this;
}

ComponentSetup& ComponentSetup::Try(const char* property, int32_t value) {
    if (!error_.empty()) return *this;
    int32_t copy = value;
    const int32_t code = component_->SetProperty(property, value, &copy);
    if (code != 0) {
        if (!refusals_.empty()) refusals_ += ", ";
        refusals_ += std::string(property) + "=" + std::to_string(value) + ": " + ResultText(code);
    }
    return *this;
}

std::string ComponentSetup::Describe(const std::string& step, const std::string& shown, int32_t code) {
    const std::string words = Explain({name_, step, shown, code, component_.get(), settings_});
    if (!words.empty()) return words + " (" + Hex(code) + ")";
    if (step == "Build" || step == "Start") return name_ + ": " + step + " returned " + ResultText(code);
    return name_ + " refused " + step + "=" + shown + ": " + ResultText(code);
}

Component ComponentSetup::Build(std::string* error) { return Finish(false, error); }

Component ComponentSetup::Start(std::string* error) { return Finish(true, error); }

Component ComponentSetup::Finish(bool start, std::string* error) {
    int32_t code;
    if (error_.empty() && (code = component_->Build()) != 0) error_ = Describe("Build", "", code);
    if (error_.empty() && start && (code = component_->Start()) != 0) error_ = Describe("Start", "", code);
    if (!error_.empty()) {
        *error = error_;
        return Component();
    }
    return std::move(component_);
}

namespace {

ComponentSetup DeviceSetup(const char* name, const char* bufferTime, const char* deviceNo, const DeviceBlocks& blocks) {
    ComponentSetup setup(name);
    setup.Set("SamplesPerSec", blocks.rate)
        .Set("Channels", blocks.channels)
        .Set("BitsPerSample", blocks.bits)
        .Set("BlockSamples", blocks.blockSamples)
        .Set(bufferTime, blocks.bufferMs)
        .Set(deviceNo, blocks.device);
    return setup;
}

}  // namespace

ComponentSetup CaptureSetup(const DeviceBlocks& blocks, int generation) {
    return DeviceSetup(generation == 2 ? "DSoundAudioIn2" : "DSoundAudioIn", "InBufferTime", "InDeviceNo", blocks);
}

ComponentSetup PlaybackSetup(const DeviceBlocks& blocks, int generation) {
    return DeviceSetup(generation == 2 ? "DSoundAudioOut2" : "DSoundAudioOut", "OutBufferTime", "OutDeviceNo", blocks);
}

ComponentSetup Siren14Setup(int32_t rate, int32_t bitRate, Coding coding) {
    ComponentSetup setup("Siren14AudioFilter");
    setup.Set("Bitrate", bitRate).Set("SamplesPerSec", rate).Set("Direction", static_cast<int32_t>(coding));
    return setup;
}

bool IsMono16Pcm(const WAVEFORMATEX& format) {
    return format.wFormatTag == 1 && format.nChannels == 1 && format.wBitsPerSample == 16;
}

WAVEFORMATEX Mono16Format(int32_t rate) {
    const uint32_t samplesPerSec = static_cast<uint32_t>(rate);
    return WAVEFORMATEX{1, 1, samplesPerSec, samplesPerSec * 2, 2, 16, 0};
}

int32_t IntProperty(IAudioIO* io, const char* name, int32_t arg) {
    int32_t value = 0;
    return io->GetProperty(name, arg, &value) == 0 ? value : 0;
}

bool TextProperty(IAudioIO* io, const char* name, int32_t arg, std::string* text) {
    char buffer[1024] = {};  // names are short; the component writes text and NUL
    if (io->GetProperty(name, arg, buffer) != 0) return false;
    *text = buffer;
    return true;
}

namespace {

// Repeats a device call while it times out, a few seconds of the devices' time-outs at most.
template <typename Call>
int32_t AskAgainOnTimeout(Call call) {
    constexpr int kTries = 300;
    int32_t code = 0;
    for (int tries = 0; tries < kTries; ++tries) {
        code = call();
        if (code != ZELMAR_E_TIMEOUT) break;
    }
    return code;
}

}  // namespace

int32_t GetDeviceBlock(IAudioIO* device, void* buffer, int32_t bytes) {
    return AskAgainOnTimeout([&] { return device->GetData(buffer, bytes); });
}

int32_t PutDeviceBlock(IAudioIO* device, const void* buffer, int32_t bytes) {
    return AskAgainOnTimeout([&] { return device->PutData(buffer, bytes); });
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double RealTimeFactor(double audioSeconds, double wallSeconds) {
    return wallSeconds > 0 ? audioSeconds / wallSeconds : 0.0;
}

double PeakDbfs(int peak) { return peak > 0 ? 20 * std::log10(peak / 32768.0) : -99; }

bool Options::Parse(const char* command, int argc, char** argv, const std::vector<std::string>& valued,
                    const std::vector<std::string>& flags, std::string* error) {
    const std::string seeHelp = std::string(" (see zelmar ") + command + " --help)";
    auto known = [](const std::vector<std::string>& names, const std::string& name) {
        for (const auto& n : names) if (n == name) return true;
        return false;
    };
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.size() > 1 && arg[0] == '-' && !(arg.size() > 1 && (std::isdigit(static_cast<unsigned char>(arg[1])) || arg[1] == '.'))) {
            std::string name = arg, value;
            const auto eq = arg.find('=');
            const bool inlineValue = eq != std::string::npos;
            if (inlineValue) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
            }
            if (known(flags, name) && !inlineValue) {
                values_[name] = "1";
            } else if (known(valued, name)) {
                if (!inlineValue) {
                    if (i + 1 >= argc) {
                        *error = "option " + name + " needs a value" + seeHelp;
                        return false;
                    }
                    value = argv[++i];
                }
                values_[name] = value;
            } else {
                *error = "unknown option " + name + seeHelp;
                return false;
            }
        } else {
            positional_.push_back(arg);
        }
    }
    return true;
}

std::string Options::Text(const std::string& name, const std::string& fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

bool Options::Number(const std::string& name, double low, double high, double* value,
                     std::string* error) const {
    auto it = values_.find(name);
    if (it == values_.end()) return true;  // keep the caller's default
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(it->second.c_str(), &end);
    if (it->second.empty() || *end != 0 || errno != 0 || !std::isfinite(parsed)) {
        *error = name + " expects a number, not '" + it->second + "'";
        return false;
    }
    if (parsed < low || parsed > high) {
        char range[96];
        std::snprintf(range, sizeof range, " must be between %g and %g", low, high);
        *error = name + range + " (got " + it->second + ")";
        return false;
    }
    *value = parsed;
    return true;
}

std::string DescribeFormat(const WAVEFORMATEX& f) {
    char text[160];
    if (f.wFormatTag == 1) {
        std::snprintf(text, sizeof text, "PCM %u Hz, %u-bit, %s", f.nSamplesPerSec, f.wBitsPerSample,
                      f.nChannels == 1 ? "mono" : f.nChannels == 2 ? "stereo" : "multichannel");
    } else {
        std::snprintf(text, sizeof text, "format tag 0x%04X, %u Hz, %u channel(s), %u bytes/s", f.wFormatTag,
                      f.nSamplesPerSec, f.nChannels, f.nAvgBytesPerSec);
    }
    return text;
}

Progress::Progress(const char* label) : label_(label), enabled_(::isatty(STDERR_FILENO) == 1) {}

void Progress::Update(double fraction) {
    if (!enabled_) return;
    const int percent = static_cast<int>(fraction * 100.0);
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", label_, filled, "########################################",
                 kWidth - filled, "", percent);
    std::fflush(stderr);
}

void Progress::Done() {
    if (enabled_ && lastPercent_ >= 0) std::fprintf(stderr, "\r%*s\r", 60 + static_cast<int>(std::strlen(label_)), "");
}

namespace {

// strerror's text as the rest of a sentence: "is a directory".
std::string Reason(int error) {
    std::string text = std::strerror(error);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string DeviceLine(IAudioIO* device, bool capture, int32_t number) {
    const char* doing = capture ? "recording from" : "playing to";
    int32_t count = 0;
    device->GetProperty(capture ? "InDeviceNum" : "OutDeviceNum", 0, &count);
    const char* nameProperty = capture ? "InDeviceName" : "OutDeviceName";
    auto nameOf = [&](int32_t index) {
        char name[64] = {};
        device->GetProperty(nameProperty, index, name);
        name[sizeof name - 1] = 0;
        return std::string(name);
    };
    // The virtual devices are listed after the server's: a list of nothing else means no server.
    bool server = false;
    for (int32_t i = 0; i < count; ++i) server = server || nameOf(i).rfind("Zelmar virtual", 0) != 0;
    if (!server) {
        return std::string("no sound server answered: ") + doing + " Zelmar's virtual " +
               (capture ? "capture device, which hears nothing but what is played into it"
                        : "playback device, which nobody hears") +
               " (is PulseAudio or PipeWire running? PULSE_SERVER names another)";
    }
    if (number < 0) return std::string(doing) + " the sound server's default " + (capture ? "source" : "sink") + " (PulseAudio)";
    const std::string name = nameOf(number);
    const bool virtualDevice = name.rfind("Zelmar virtual", 0) == 0;
    return std::string(doing) + " device " + std::to_string(number) + ", " + name +
           (virtualDevice ? " (the engine's virtual device)" : " (PulseAudio)");
}

std::string WhyNotReadable(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return "cannot open " + path + ": " + Reason(errno);
    if (S_ISDIR(info.st_mode)) return "cannot open " + path + ": " + Reason(EISDIR);
    if (::access(path.c_str(), R_OK) != 0) return "cannot open " + path + ": " + Reason(errno);
    return "";
}

std::string WhyNotWritable(const std::string& path) {
    if (path.empty()) return "no file name given";
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return "cannot create " + path + ": " + Reason(EISDIR);
        if (::access(path.c_str(), W_OK) != 0) return "cannot create " + path + ": " + Reason(errno);
        return "";
    }
    // A new file: the writer makes missing directories, so look for the nearest one that exists.
    std::string directory = DirectoryOf(path);
    while (::stat(directory.c_str(), &info) != 0 && directory != "." && directory != "/") directory = DirectoryOf(directory);
    if (!S_ISDIR(info.st_mode)) return "cannot create " + path + ": " + directory + " is not a directory";
    if (::access(directory.c_str(), W_OK | X_OK) != 0) return "cannot create " + path + ": " + directory + ": " + Reason(errno);
    return "";
}

std::string ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes) {
    std::string why = path == "-" ? "" : WhyNotReadable(path);
    if (!why.empty()) return why;
    const int fd = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return "cannot open " + path + ": " + Reason(errno);
    bytes->clear();
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) why = "cannot read " + path + ": " + Reason(errno);
        if (got <= 0) break;
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    if (fd != STDIN_FILENO) ::close(fd);
    return why;
}

}  // namespace cli
