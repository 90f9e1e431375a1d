// zelmar repair: the sizes of a WAV file whose recording never finished, from its length.
#include <cstdio>

#include "cli.h"
#include "commands.h"
#include "wav_file.h"

namespace cli {

const char kRepairUsage[] =
    "usage: zelmar repair FILE.wav\n"
    "Writes the RIFF and data sizes of a WAV file whose recorder never finished it (a crash,\n"
    "a power cut, a killed program leaves them 0) from the file's length, so that players and\n"
    "RIFFAudioIn read it again.  Sizes that are right are left alone; a torn last sample\n"
    "frame is cut off.  The file is changed in place.\n";

int RunRepair(int argc, char** argv) {
    Options options;
    std::string error;
    if (!options.Parse("repair", argc, argv, {}, {}, &error)) return Fail(error);
    if (options.Positional().size() != 1) return Fail("repair takes one WAV file (see zelmar repair --help)");
    std::string report;
    if (!(error = RepairWav(options.Positional()[0], &report)).empty()) return Fail(error);
    std::printf("%s\n", report.c_str());
    return 0;
}

}  // namespace cli
