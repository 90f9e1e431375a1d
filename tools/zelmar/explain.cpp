#include "explain.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace cli {
namespace {

int32_t Setting(const Refusal& r, const char* name, int32_t fallback) {
    const auto it = r.settings.find(name);
    return it != r.settings.end() ? it->second : fallback;
}

std::string Number(int32_t value) { return std::to_string(value); }

std::string DeviceRange(const Refusal& r, const char* countProperty, const char* kind) {
    int32_t count = 0;
    if (r.io->GetProperty(countProperty, 0, &count) != 0 || count <= 0) {
        return kind + std::string(" device ") + r.shown + " does not exist (there are none, see zelmar devices)";
    }
    return kind + std::string(" device ") + r.shown + " does not exist (0.." + Number(count - 1) +
           ", or -1 for the default; see zelmar devices)";
}

std::string UdpPort(const Refusal& r) {
    const int32_t port = Setting(r, "PortNo", 0);
    if (port <= 0 || port > 65535) return r.component + " needs PortNo between 1 and 65535, not " + Number(port);
    if (UdpPortInUse(port)) return "UDP port " + Number(port) + " on 127.0.0.1 is in use";
    return "";
}

// One row: which refusal, and what to say about it.
struct Hint {
    const char* component;  // "*": any
    const char* step;       // a property, "Build" or "Start"; "*": any property
    int32_t code;           // 0: any failure
    std::string (*say)(const Refusal&);
};

const Hint kHints[] = {
    {"AccelerateAudioFilter", "Speed", ZELMAR_E_INVALIDARG,
     [](const Refusal& r) { return r.component + " needs Speed of 100 % or more, not " + r.shown; }},
    {"AccelerateAudioFilter", "Start", -1,
     [](const Refusal& r) {
         return r.component + " has nothing to do at Speed " + Number(Setting(r, "Speed", 100)) +
                " %: it plays faster at Speed above 100";
     }},
    {"AccelerateAudioFilter", "Start", ZELMAR_E_INVALIDARG,
     [](const Refusal& r) {
         return r.component + "'s WindowTime of " + Number(Setting(r, "WindowTime", 30)) + " ms is too long at " +
                Number(Setting(r, "SamplesPerSec", 0)) + " Hz";
     }},
    {"ResampleAudioFilter", "Build", ZELMAR_E_INVALIDARG,
     [](const Refusal& r) {
         const int32_t in = Setting(r, "InSamplesPerSec", 0), out = Setting(r, "OutSamplesPerSec", 0);
         if (in <= 0 || out <= 0) return r.component + " needs InSamplesPerSec and OutSamplesPerSec above 0";
         return r.component + " converts only whole ratios: " + Number(in) + " -> " + Number(out) + " is not one";
     }},
    {"Siren14AudioFilter", "Build", 0,
     [](const Refusal& r) {
         return r.component + " codes 16000 Hz at 24000 or 32000 bit/s and 32000 Hz at 24000, 32000 or 48000 bit/s, not " +
                Number(Setting(r, "SamplesPerSec", 0)) + " Hz at " + Number(Setting(r, "Bitrate", 0)) + " bit/s";
     }},
    {"WaveGeneratorAudioIn", "Amplitude", ZELMAR_E_INVALIDARG,
     [](const Refusal& r) { return r.component + " needs Amplitude of 0..100 %, not " + r.shown; }},
    {"DSoundAudioIn", "InDeviceNo", ZELMAR_E_INVALIDARG,
     [](const Refusal& r) { return DeviceRange(r, "InDeviceNum", "capture"); }},
    {"DSoundAudioOut", "OutDeviceNo", ZELMAR_E_INVALIDARG,
     [](const Refusal& r) { return DeviceRange(r, "OutDeviceNum", "playback"); }},
    {"UDPAudioIn", "Build", 0, UdpPort},
    {"UDPAudioIn", "Start", 0, UdpPort},
    {"UDPAudioOut", "Build", 0, UdpPort},
    {"UDPAudioOut", "Start", 0, UdpPort},
    // Before Build, the state code on a property means the component has no such setting.
    {"*", "*", ZELMAR_E_STATE,
     [](const Refusal& r) { return r.component + " has no property " + r.step + " that can be set"; }},
};

bool Matches(const char* pattern, const std::string& text) { return pattern[0] == '*' ? true : text == pattern; }

}  // namespace

std::string Explain(const Refusal& refusal) {
    const bool isStep = refusal.step == "Build" || refusal.step == "Start";
    for (const Hint& hint : kHints) {
        if (!Matches(hint.component, refusal.component)) continue;
        if (hint.step[0] == '*' ? isStep : refusal.step != hint.step) continue;
        if (hint.code != 0 && hint.code != refusal.code) continue;
        std::string words = hint.say(refusal);
        if (!words.empty()) return words;
    }
    return "";
}

bool UdpPortInUse(int32_t port) {
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (probe < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool inUse = ::bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno == EADDRINUSE;
    ::close(probe);
    return inUse;
}

}  // namespace cli
