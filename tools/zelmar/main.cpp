// zelmar — runs the Zelmar engine's main jobs from a terminal.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include <zelmar/zelmar.h>

#include "cli.h"
#include "commands.h"

namespace {

const cli::Command kCommands[] = {
    {"tone", "write a sine test tone into a WAV file", cli::kToneUsage, cli::RunTone},
    {"info", "show a WAV file's format, duration, peak and RMS level", cli::kInfoUsage, cli::RunInfo},
    {"encode", "encode a WAV file into a Siren14 (.s14) file", cli::kEncodeUsage, cli::RunEncode},
    {"decode", "decode a Siren14 (.s14) file into a WAV file, optionally losing frames", cli::kDecodeUsage, cli::RunDecode},
    {"chain", "run a WAV file through a chain of filter components", cli::kChainUsage, cli::RunChain},
    {"convert", "convert a WAV file between PCM and coded formats (GSM, ADPCM, A-law, ...)", cli::kConvertUsage, cli::RunConvert},
    {"devices", "list the capture and playback devices, numbered as hosts number them", cli::kDevicesUsage, cli::RunDevices},
    {"record", "record a capture device into a WAV file, with a level meter", cli::kRecordUsage, cli::RunRecord},
    {"play", "play a WAV file through a playback device", cli::kPlayUsage, cli::RunPlay},
    {"echo-test", "play a test signal, record it back: the echo's delay, level and ERLE", cli::kEchoTestUsage, cli::RunEchoTest},
    {"voice", "run speech through the voice path (codec, network, jitter buffer)", cli::kVoiceUsage, cli::RunVoice},
    {"volume", "list or change the capture devices' volume and mute switch", cli::kVolumeUsage, cli::RunVolume},
    {"repair", "write the sizes of a WAV file whose recording never finished", cli::kRepairUsage, cli::RunRepair},
};

void PrintUsage(FILE* to) {
    std::fprintf(to,
                 "usage: zelmar [--verbose] COMMAND [ARGS...]\n"
                 "       zelmar help COMMAND | zelmar COMMAND --help\n\ncommands:\n");
    for (const auto& command : kCommands) std::fprintf(to, "  %-8s %s\n", command.name, command.summary);
    std::fprintf(to, "\n--verbose prints the engine's trace messages to stderr; --version the version.\n");
}

// The version, and whether the companion library the engine loads at run time is there.
int PrintVersion() {
    char missing[512];
    const bool complete = ZelmarCompanionStatus(missing, sizeof missing) == ZELMAR_OK;
    std::printf("zelmar %s\ncompanion library: %s\n", ZELMAR_VERSION, complete ? "complete" : missing);
    return 0;
}

const cli::Command* FindCommand(const char* name) {
    for (const auto& command : kCommands) {
        if (std::strcmp(command.name, name) == 0) return &command;
    }
    return nullptr;
}

void TraceToStderr(const char* text, void*) { std::fputs(text, stderr); }

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    if (first < argc && std::strcmp(argv[first], "--verbose") == 0) {
        ZelmarSetDebugOutput(TraceToStderr, nullptr);
        ++first;
    }
    if (first >= argc) {
        PrintUsage(stderr);
        return 2;
    }
    const char* name = argv[first];
    if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0) {
        PrintUsage(stdout);
        return 0;
    }
    if (std::strcmp(name, "--version") == 0) return PrintVersion();
    if (std::strcmp(name, "help") == 0) {
        if (first + 1 >= argc) {
            PrintUsage(stdout);
            return 0;
        }
        const cli::Command* command = FindCommand(argv[first + 1]);
        if (command == nullptr) return cli::Fail(std::string("no command '") + argv[first + 1] + "' (try zelmar --help)");
        std::fputs(command->usage, stdout);
        return 0;
    }
    const cli::Command* command = FindCommand(name);
    if (command == nullptr) return cli::Fail(std::string("no command '") + name + "' (try zelmar --help)");
    for (int i = first + 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(command->usage, stdout);
            return 0;
        }
    }
    // Nothing thrown may end the tool with an abort: every command's failures are messages.
    try {
        return command->run(argc - first - 1, argv + first + 1);
    } catch (const std::exception& e) {
        return cli::Fail(std::string(name) + " stopped on an unexpected error: " + e.what());
    } catch (...) {
        return cli::Fail(std::string(name) + " stopped on an unexpected error");
    }
}
