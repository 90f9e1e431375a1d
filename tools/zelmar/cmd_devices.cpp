// zelmar devices: the capture and playback devices, numbered as hosts number them.
#include <cstdio>

#include "cli.h"
#include "commands.h"

namespace cli {

const char kDevicesUsage[] =
    "usage: zelmar devices\n"
    "Lists the capture devices (DSoundAudioIn's \"InDeviceNo\") and the playback devices\n"
    "(DSoundAudioOut's \"OutDeviceNo\").  -1 means the default device.\n";

namespace {

int List(const char* component, const char* countName, const char* nameName, const char* title) {
    Component io(component);
    if (!io) return Fail(std::string("this build lacks ") + component);
    int32_t count = 0;
    const int32_t code = io->GetProperty(countName, 0, &count);
    if (code != 0) return Fail(std::string(component) + " cannot list devices: " + ResultText(code));
    std::printf("%s:\n", title);
    for (int32_t i = 0; i < count; ++i) {
        std::string name;
        if (TextProperty(io.get(), nameName, i, &name)) std::printf("  %2d  %s\n", i, name.c_str());
    }
    if (count == 0) std::printf("  (none)\n");
    return 0;
}

}  // namespace

int RunDevices(int argc, char** argv) {
    Options options;
    std::string error;
    if (!options.Parse("devices", argc, argv, {}, {}, &error)) return Fail(error);
    if (!options.Positional().empty()) return Fail("devices takes no arguments");
    if (int status = List("DSoundAudioIn", "InDeviceNum", "InDeviceName", "capture")) return status;
    return List("DSoundAudioOut", "OutDeviceNum", "OutDeviceName", "playback");
}

}  // namespace cli
