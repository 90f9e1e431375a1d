// The commands of the zelmar host.  Each takes the arguments after its name.
#pragma once

#include <cstdint>

namespace cli {

struct Command {
    const char* name;
    const char* summary;
    const char* usage;  // full help text
    int (*run)(int argc, char** argv);
};

int RunTone(int argc, char** argv);
int RunInfo(int argc, char** argv);
int RunEncode(int argc, char** argv);
int RunDecode(int argc, char** argv);
int RunChain(int argc, char** argv);
int RunDevices(int argc, char** argv);
int RunRecord(int argc, char** argv);
int RunPlay(int argc, char** argv);
int RunVoice(int argc, char** argv);
int RunRepair(int argc, char** argv);
int RunVolume(int argc, char** argv);

// On stderr: capture device N's volume and mute switch (nothing for -1 or a device without).
void PrintCaptureVolume(int32_t device);
int RunConvert(int argc, char** argv);
int RunEchoTest(int argc, char** argv);

extern const char kToneUsage[];
extern const char kInfoUsage[];
extern const char kEncodeUsage[];
extern const char kDecodeUsage[];
extern const char kChainUsage[];
extern const char kDevicesUsage[];
extern const char kRecordUsage[];
extern const char kPlayUsage[];
extern const char kVoiceUsage[];
extern const char kRepairUsage[];
extern const char kVolumeUsage[];
extern const char kConvertUsage[];
extern const char kEchoTestUsage[];

}  // namespace cli
