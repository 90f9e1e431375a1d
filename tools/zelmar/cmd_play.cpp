// zelmar play: a WAV file played through a playback device.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "audio_files.h"
#include "cli.h"
#include "commands.h"
#include "wav_file.h"

namespace cli {

const char kPlayUsage[] =
    "usage: zelmar play [--device N] [--gen 1|2] IN\n"
    "Plays an audio file (RIFFAudioIn; any file libsndfile reads, converted to 16-bit PCM,\n"
    "more than two channels mixed to mono; - reads standard input) through a playback device\n"
    "(DSoundAudioOut), showing progress on a terminal.\n"
    "  --device N     playback device number from 'zelmar devices' (default -1, the default)\n"
    "  --gen 2        the second-generation playback (DSoundAudioOut2: placed by the device's\n"
    "                 cursors, devices in waveOut order; default 1)\n";

int RunPlay(int argc, char** argv) {
    Options options;
    std::string error;
    if (!options.Parse("play", argc, argv, {"--device", "--gen"}, {}, &error)) return Fail(error);
    if (options.Positional().size() != 1) return Fail("play takes one audio file (see zelmar play --help)");
    const std::string input = options.Positional()[0];
    double device = -1;
    if (!options.Number("--device", -1, 15, &device, &error)) return Fail(error);
    double generation = 1;
    if (!options.Number("--gen", 1, 2, &generation, &error)) return Fail(error);
    if (generation != 1 && generation != 2) return Fail("--gen takes 1 or 2");
    const bool second = generation == 2;
    InputFile source;
    if (!(error = source.Open(input)).empty()) return Fail(error);
    WavProbe probe;
    if (!(error = ProbeWav(source.path(), &probe)).empty()) return Fail(error);
    const WAVEFORMATEX& f = probe.format;
    if (f.wFormatTag != 1 || (f.wBitsPerSample != 8 && f.wBitsPerSample != 16) || f.nChannels < 1 ||
        f.nChannels > 2 || f.nSamplesPerSec < 100) {
        return Fail(source.name() + " is " + DescribeFormat(f) + "; play takes 8- or 16-bit PCM, mono or stereo");
    }
    ZelmarSetTimeMode(ZELMAR_TIME_REAL);
    WavInput reader;
    if (!(error = reader.Open(source.path(), probe)).empty()) return Fail(error);
    const int32_t blockSamples = static_cast<int32_t>(f.nSamplesPerSec / 100);  // 10 ms blocks
    constexpr int32_t kBufferMs = 200;
    const int32_t deviceNo = static_cast<int32_t>(device);
    Component output = PlaybackSetup({static_cast<int32_t>(f.nSamplesPerSec), f.nChannels, f.wBitsPerSample,
                                      blockSamples, kBufferMs, deviceNo},
                                     second ? 2 : 1)
                           .Start(&error);
    if (!output) return Fail("cannot play on device " + std::to_string(deviceNo) + ": " + error);
    std::fprintf(stderr, "%s\n", DeviceLine(output.get(), false, deviceNo).c_str());

    const int32_t blockBytes = blockSamples * f.nBlockAlign;
    const uint32_t blocks = probe.dataBytes / static_cast<uint32_t>(blockBytes);
    // One ring of silence after the file, so the looping buffer does not replay its end.  The
    // second generation mutes its first 50 blocks (silence goes first, so none of the file is
    // lost) and writes up to a buffer time ahead of the device (the tail carries the file's
    // last block past the device's own latency too).
    const uint32_t leadBlocks = second ? 50 : 0;
    const uint32_t tailBlocks = second ? kBufferMs / 10 + 10 : kBufferMs / 10 + 1;
    std::vector<uint8_t> block(static_cast<size_t>(blockBytes));
    Progress progress("playing");
    for (uint32_t b = 0; b < leadBlocks; ++b) {
        std::fill(block.begin(), block.end(), f.wBitsPerSample == 8 ? 0x80 : 0x00);
        const int32_t code = PutDeviceBlock(output.get(), block.data(), blockBytes);
        if (code != blockBytes) return Fail("playback failed: " + ResultText(code));
    }
    for (uint32_t b = 0; b < blocks + tailBlocks; ++b) {
        int32_t code;
        if (b < blocks) {
            if ((code = reader.Read(block.data(), blockBytes)) < 0) return Fail("reading failed: " + ResultText(code));
        } else {
            std::fill(block.begin(), block.end(), f.wBitsPerSample == 8 ? 0x80 : 0x00);
        }
        code = PutDeviceBlock(output.get(), block.data(), blockBytes);
        if (code != blockBytes) return Fail("playback failed: " + ResultText(code));
        progress.Update(static_cast<double>(b + 1) / (blocks + tailBlocks));
    }
    progress.Done();
    output->Stop();
    std::printf("%s: played %.2f s\n", source.name().c_str(), blocks / 100.0);
    return 0;
}

}  // namespace cli
