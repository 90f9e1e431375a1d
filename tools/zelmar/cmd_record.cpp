// zelmar record: a capture device recorded into a WAV file, with a level meter.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <unistd.h>

#include "cli.h"
#include "commands.h"

namespace cli {

const char kRecordUsage[] =
    "usage: zelmar record [--device N] [--seconds S] [--rate HZ] [--channels C] OUT.wav\n"
    "Records 16-bit PCM from a capture device (DSoundAudioIn) into OUT.wav (RIFFAudioOut),\n"
    "showing the peak level on a terminal.\n"
    "  --device N     capture device number from 'zelmar devices' (default -1, the default)\n"
    "  --seconds S    duration, 0.1..36000 (default 5)\n"
    "  --rate HZ      sample rate, 8000..96000 (default 16000)\n"
    "  --channels C   1 or 2 (default 1)\n";

int RunRecord(int argc, char** argv) {
    Options options;
    std::string error;
    if (!options.Parse(argc, argv, {"--device", "--seconds", "--rate", "--channels"}, {}, &error)) {
        return Fail(error + " (see zelmar record --help)");
    }
    if (options.Positional().size() != 1) return Fail("record takes one output file (see zelmar record --help)");
    const std::string output = options.Positional()[0];
    double device = -1, seconds = 5, rate = 16000, channels = 1;
    if (!options.Number("--device", -1, 15, &device, &error) || !options.Number("--seconds", 0.1, 36000, &seconds, &error) ||
        !options.Number("--rate", 8000, 96000, &rate, &error) || !options.Number("--channels", 1, 2, &channels, &error)) {
        return Fail(error);
    }
    ZelmarSetTimeMode(ZELMAR_TIME_REAL);
    const int32_t sampleRate = static_cast<int32_t>(rate);
    const int32_t channelCount = static_cast<int32_t>(channels);
    const int32_t blockSamples = sampleRate / 100;  // 10 ms blocks
    Component capture("DSoundAudioIn");
    Component writer("RIFFAudioOut");
    if (!capture || !writer) return Fail("this build lacks DSoundAudioIn or the WAV writer");
    int32_t code;
    const struct { const char* name; int32_t value; } settings[] = {
        {"SamplesPerSec", sampleRate}, {"Channels", channelCount}, {"BitsPerSample", 16},
        {"BlockSamples", blockSamples}, {"InBufferTime", 200}, {"InDeviceNo", static_cast<int32_t>(device)},
    };
    for (const auto& setting : settings) {
        if ((code = capture->SetProperty(setting.name, setting.value, nullptr)) != 0) {
            return Fail(std::string("DSoundAudioIn refused ") + setting.name + ": " + ResultText(code));
        }
    }
    if ((code = capture->Build()) != 0) return Fail("cannot open the capture device: " + ResultText(code));
    WAVEFORMATEX format{};
    capture->GetProperty("WaveFormat", 0, &format);
    if ((code = writer->SetProperty("Filename", 0, const_cast<char*>(output.c_str()))) != 0 ||
        (code = writer->SetProperty("WaveFormat", 0, &format)) != 0 || (code = writer->Build()) != 0 ||
        (code = writer->Start()) != 0) {
        return Fail("cannot write " + output + ": " + ResultText(code));
    }
    if ((code = capture->Start()) != 0) return Fail("cannot start capturing: " + ResultText(code));

    const bool meter = isatty(STDERR_FILENO) != 0;
    const int32_t blockBytes = blockSamples * channelCount * 2;
    const int64_t blocks = static_cast<int64_t>(seconds * 100 + 0.5);
    std::vector<int16_t> block(static_cast<size_t>(blockSamples * channelCount));
    int peak = 0;
    int timeouts = 0;
    for (int64_t b = 0; b < blocks;) {
        code = capture->GetData(block.data(), blockBytes);
        if (code == ZELMAR_E_TIMEOUT && ++timeouts < 300) continue;  // the device was slow; ask again
        if (code != blockBytes) return Fail("capture failed: " + ResultText(code));
        timeouts = 0;
        if ((code = writer->PutData(block.data(), blockBytes)) < 0) return Fail("writing failed: " + ResultText(code));
        for (int16_t s : block) peak = std::max(peak, std::abs(static_cast<int>(s)));
        ++b;
        if (meter && b % 10 == 0) {
            const double db = peak > 0 ? 20 * std::log10(peak / 32768.0) : -99;
            const int bars = static_cast<int>(std::max(0.0, (db + 60) / 60 * 40));
            std::fprintf(stderr, "\r%6.1f s  %6.1f dBFS  [%-40.*s]", b / 100.0, db, bars,
                         "########################################");
            peak = 0;
        }
    }
    if (meter) std::fprintf(stderr, "\n");
    capture->Stop();
    writer->Stop();
    std::printf("%s: %.2f s of %s\n", output.c_str(), blocks / 100.0, DescribeFormat(format).c_str());
    return 0;
}

}  // namespace cli
