// zelmar volume: the capture devices' volume and mute switch, listed or changed through
// "VolumeControlAudioFilter".
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli.h"
#include "commands.h"

namespace cli {

const char kVolumeUsage[] =
    "usage: zelmar volume [--legacy] [--device N [--set PERCENT%] [--mute on|off]]\n"
    "Lists the capture devices (numbered as 'zelmar devices' numbers them) with their volume\n"
    "(0..100 %, and the device's value 0..65535) and mute switch, or changes one device's.\n"
    "  --device N       the capture device to change or show\n"
    "  --set PERCENT%   its volume, 0..100 %\n"
    "  --mute on|off    its mute switch\n"
    "  --legacy         through the legacy mixer paths (ALSA's simple mixer) instead of the\n"
    "                   sound server's endpoints; the value is then the mixer's raw value\n";

namespace {

constexpr int32_t kFullVolume = 65535;

// One device's line: number, volume, mute, name; false when the device does not answer.
bool PrintDevice(IAudioIO* io, int32_t device) {
    std::string name;
    int32_t volume = 0, mute = 0;
    const int32_t volumeCode = io->GetProperty("InDeviceVolume", device, &volume);
    const int32_t muteCode = io->GetProperty("InDeviceMute", device, &mute);
    if (!TextProperty(io, "InDeviceName", device, &name) || volumeCode != 0) return false;
    std::printf("  %2d  volume %3ld%% (%5d)  mute %-3s  %s\n", device, std::lround(volume * 100.0 / kFullVolume), volume,
                muteCode != 0 ? "?" : mute != 0 ? "on" : "off", name.c_str());
    return true;
}

}  // namespace

void PrintCaptureVolume(int32_t device) {
    Component io("VolumeControlAudioFilter");
    int32_t volume = 0, mute = 0;
    if (!io || device < 0 || io->GetProperty("InDeviceVolume", device, &volume) != 0) return;
    const bool muted = io->GetProperty("InDeviceMute", device, &mute) == 0 && mute != 0;
    std::fprintf(stderr, "capture device %d: volume %ld%% (%d)%s\n", device, std::lround(volume * 100.0 / kFullVolume),
                 volume, muted ? ", muted" : "");
}

int RunVolume(int argc, char** argv) {
    Options options;
    std::string error;
    if (!options.Parse("volume", argc, argv, {"--device", "--set", "--mute"}, {"--legacy"}, &error)) return Fail(error);
    if (!options.Positional().empty()) return Fail("volume takes no positional arguments (see zelmar volume --help)");
    setlocale(LC_CTYPE, "");  // device names in the user's character set
    if (options.Has("--legacy")) ZelmarSetSystemVersion(5);
    Component io("VolumeControlAudioFilter");
    if (!io) return Fail("this build lacks VolumeControlAudioFilter");
    int32_t count = 0;
    io->GetProperty("InDeviceNum", 0, &count);
    const bool changes = options.Has("--set") || options.Has("--mute");
    if (changes && !options.Has("--device")) return Fail("--set and --mute need --device N");
    double device = -1;
    if (options.Has("--device") && !options.Number("--device", 0, 65535, &device, &error)) return Fail(error);
    const auto number = static_cast<int32_t>(device);
    if (number >= count) {
        return Fail("capture device " + std::to_string(number) + " does not exist (" +
                    (count > 0 ? "0.." + std::to_string(count - 1) : std::string("there are none")) + "; see zelmar volume)");
    }
    if (options.Has("--set")) {
        std::string text = options.Text("--set");
        if (!text.empty() && text.back() == '%') text.pop_back();
        char* end = nullptr;
        const double percent = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(percent >= 0 && percent <= 100)) {
            return Fail("--set takes a percentage 0..100, not '" + options.Text("--set") + "'");
        }
        int32_t volume = static_cast<int32_t>(std::lround(percent * kFullVolume / 100));
        const int32_t code = io->SetProperty("InDeviceVolume", number, &volume);
        if (code != 0) return Fail("capture device " + std::to_string(number) + " did not take the volume (" + Hex(code) + ")");
    }
    if (options.Has("--mute")) {
        const std::string mute = options.Text("--mute");
        if (mute != "on" && mute != "off") return Fail("--mute takes on or off, not '" + mute + "'");
        int32_t value = mute == "on" ? 1 : 0;
        const int32_t code = io->SetProperty("InDeviceMute", number, &value);
        if (code != 0) return Fail("capture device " + std::to_string(number) + " did not take the mute switch (" + Hex(code) + ")");
    }
    std::printf("capture devices (%s):\n", options.Has("--legacy") ? "legacy mixer" : "endpoints");
    if (number >= 0) {
        return PrintDevice(io.get(), number) ? 0 : Fail("capture device " + std::to_string(number) + " has no volume to show");
    }
    int32_t shown = 0;
    for (int32_t i = 0; i < count; ++i) shown += PrintDevice(io.get(), i) ? 1 : 0;
    if (shown == 0) std::printf("  (none)\n");
    return 0;
}

}  // namespace cli
