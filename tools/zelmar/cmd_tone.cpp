// zelmar tone: the engine's tone generator recorded into a WAV file.
#include <chrono>
#include <cstdio>
#include <vector>

#include "audio_files.h"
#include "cli.h"
#include "commands.h"
#include "interrupt.h"
#include "wav_file.h"

namespace cli {

const char kToneUsage[] =
    "usage: zelmar tone -o FILE.wav [--rate HZ] [--freq HZ] [--amplitude PERCENT]\n"
    "                   [--seconds S] [--realtime]\n"
    "Generates a sine tone (16-bit mono) with the WaveGeneratorAudioIn component and records\n"
    "it with RIFFAudioOut.\n"
    "  -o FILE.wav       output file (directories on its path are created); - for standard output\n"
    "  --rate HZ         sample rate, 8000..192000 (default 16000)\n"
    "  --freq HZ         tone frequency, 0..rate/2 (default 440)\n"
    "  --amplitude P     percent of full scale, 0..100 (default 50)\n"
    "  --seconds S       duration, 0.01..3600 (default 3)\n"
    "  --realtime        pace blocks in real time as a live source would (default: as fast\n"
    "                    as possible)\n"
    "Ctrl-C (or SIGTERM) ends the tone early with a finished file.\n";

int RunTone(int argc, char** argv) {
    Options options;
    std::string error;
    if (!options.Parse("tone", argc, argv, {"-o", "--rate", "--freq", "--amplitude", "--seconds"}, {"--realtime"}, &error)) {
        return Fail(error);
    }
    if (!options.Positional().empty()) return Fail("unexpected argument '" + options.Positional()[0] + "'");
    const std::string output = options.Text("-o");
    if (output.empty()) return Fail("tone needs an output file: -o FILE.wav");
    double rate = 16000, frequency = 440, amplitude = 50, seconds = 3;
    if (!options.Number("--rate", 8000, 192000, &rate, &error) ||
        !options.Number("--freq", 0, rate / 2, &frequency, &error) ||
        !options.Number("--amplitude", 0, 100, &amplitude, &error) ||
        !options.Number("--seconds", 0.01, 3600, &seconds, &error)) {
        return Fail(error);
    }
    const bool realtime = options.Has("--realtime");
    ZelmarSetTimeMode(realtime ? ZELMAR_TIME_REAL : ZELMAR_TIME_VIRTUAL);

    const int32_t sampleRate = static_cast<int32_t>(rate);
    const int32_t blockSamples = sampleRate / 50;  // 20 ms blocks
    Component generator = ComponentSetup("WaveGeneratorAudioIn")
                              .Set("SamplesPerSec", sampleRate)
                              .Set("BlockSamples", blockSamples)
                              .Set("Frequency", static_cast<int32_t>(frequency))
                              .Set("Amplitude", static_cast<int32_t>(amplitude))
                              .Start(&error);
    if (!generator) return Fail(error);
    const WAVEFORMATEX format = Mono16Format(sampleRate);
    CatchStopSignals();
    OutputFile file;
    if (!(error = file.Open(output)).empty()) return Fail(error);
    WavRecording recording;
    if (!(error = recording.Open(file.path(), format)).empty()) return Fail(error);

    const int64_t totalSamples = static_cast<int64_t>(seconds * sampleRate + 0.5);
    std::vector<int16_t> block(blockSamples);
    Progress progress("tone");
    const auto began = std::chrono::steady_clock::now();
    int64_t written = 0;
    while (written < totalSamples && !StopRequested()) {
        const int32_t samples = static_cast<int32_t>(std::min<int64_t>(blockSamples, totalSamples - written));
        const int32_t got = generator->GetData(block.data(), samples * 2);
        if (got < 0) return FailKeeping(recording, "generator: " + ResultText(got));
        if (!(error = recording.Write(block.data(), got)).empty()) {
            return FailKeeping(recording, "writing " + output + " failed: " + error);
        }
        written += samples;
        progress.Update(static_cast<double>(written) / totalSamples);
    }
    progress.Done();
    if (!(error = recording.Finish()).empty() || !(error = file.Finish()).empty()) return Fail(error);
    generator->Stop();
    const double elapsed = SecondsSince(began);
    std::fprintf(Report(), "wrote %s: %.3f s of %g Hz at %d%% (%s), %lld samples in %.3f s%s\n", file.name().c_str(),
                static_cast<double>(written) / sampleRate, frequency, static_cast<int>(amplitude),
                DescribeFormat(format).c_str(), static_cast<long long>(written), elapsed, StoppedNote());
    return StopRequested() ? StoppedStatus() : 0;
}

}  // namespace cli
