// zelmar record: a capture device recorded into a WAV file, with a level meter.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <unistd.h>

#include "audio_files.h"
#include "cli.h"
#include "commands.h"
#include "interrupt.h"
#include "wav_file.h"

namespace cli {

const char kRecordUsage[] =
    "usage: zelmar record [--device N] [--seconds S] [--rate HZ] [--channels C] [--gen 1|2] OUT.wav\n"
    "       zelmar record --aec [--capture N] [--render M] [--seconds S] OUT.wav\n"
    "Records 16-bit PCM from a capture device (DSoundAudioIn) into OUT.wav (RIFFAudioOut),\n"
    "showing the peak level on a terminal.  Ctrl-C (or SIGTERM) ends the recording early;\n"
    "whatever ends it, OUT.wav is a finished WAV file of what was recorded.  OUT.wav of -\n"
    "writes standard output when the recording ends.\n"
    "  --device N     capture device number from 'zelmar devices' (default -1, the default)\n"
    "  --seconds S    duration, 0.1..36000 (default 5)\n"
    "  --rate HZ      sample rate, 8000..96000 (default 16000)\n"
    "  --channels C   1 or 2 (default 1)\n"
    "  --gen G        1: DSoundAudioIn, polling the device (default); 2: DSoundAudioIn2, woken by\n"
    "                 the device at every block (devices numbered in waveIn order)\n"
    "  --aec          record echo-cancelled speech at 16 kHz mono (DMOAECAudioIn): the echo of\n"
    "                 what plays on the render device is removed; the meter shows the raw\n"
    "                 capture's peak beside the cleaned one\n"
    "  --capture N    with --aec: capture device number (default --device, else -1)\n"
    "  --render M     with --aec: playback device whose sound is the echo (default 0)\n";

namespace {

// The echo-cancelled recording: DMOAECAudioIn for the cleaned audio, a plain capture of the
// same device beside it for the raw level the meter shows.
int RecordEchoCancelled(const Options& options, const std::string& output, double seconds) {
    std::string error;
    double captureNo = -1, renderNo = 0;
    // --device names the capture device too, as for a plain recording.
    const char* captureOption = options.Has("--capture") ? "--capture" : "--device";
    if (!options.Number(captureOption, -1, 15, &captureNo, &error) || !options.Number("--render", -1, 15, &renderNo, &error)) {
        return Fail(error);
    }
    ZelmarSetTimeMode(ZELMAR_TIME_REAL);
    constexpr int32_t kBlockSamples = 320;  // 20 ms at 16 kHz
    constexpr int32_t kBlockBytes = kBlockSamples * 2;
    Component aec = ComponentSetup("DMOAECAudioIn")
                        .Set("InDeviceNo", static_cast<int32_t>(captureNo))
                        .Set("OutDeviceNo", static_cast<int32_t>(renderNo))
                        .Set("AESValue", 2)
                        .Start(&error);
    if (!aec) return Fail("cannot record echo-cancelled audio: " + error);
    // Numbered in waveIn order, as DMOAECAudioIn numbers its devices.
    Component raw = CaptureSetup({16000, 1, 16, kBlockSamples, 200, static_cast<int32_t>(captureNo)}, 2).Start(&error);
    std::fprintf(stderr, "recording from device %d with the echo of device %d removed\n", static_cast<int>(captureNo),
                 static_cast<int>(renderNo));
    const WAVEFORMATEX format = Mono16Format(16000);
    CatchStopSignals();
    OutputFile target;
    if (!(error = target.Open(output)).empty()) return Fail(error);
    WavRecording recording;
    if (!(error = recording.Open(target.path(), format)).empty()) return Fail(error);

    const bool meter = isatty(STDERR_FILENO) != 0;
    const int64_t blocks = static_cast<int64_t>(seconds * 50 + 0.5);
    std::vector<int16_t> block(kBlockSamples), rawBlock(kBlockSamples);
    int peak = 0, rawPeak = 0;
    for (int64_t b = 0; b < blocks && !StopRequested();) {
        const int32_t code = aec->GetData(block.data(), kBlockBytes);
        if (code != 0) return FailKeeping(recording, "capture failed: " + ResultText(code));
        if (!(error = recording.Write(block.data(), kBlockBytes)).empty()) {
            return FailKeeping(recording, "writing " + target.name() + " failed: " + error);
        }
        for (int16_t s : block) peak = std::max(peak, std::abs(static_cast<int>(s)));
        // The raw capture only feeds the meter: a block it does not have yet is skipped.
        if (raw && raw->GetData(rawBlock.data(), kBlockBytes) == kBlockBytes) {
            for (int16_t s : rawBlock) rawPeak = std::max(rawPeak, std::abs(static_cast<int>(s)));
        }
        ++b;
        if (meter && b % 5 == 0) {
            std::fprintf(stderr, "\r%6.1f s  raw %6.1f dBFS  cleaned %6.1f dBFS", b / 50.0, PeakDbfs(rawPeak),
                         PeakDbfs(peak));
            peak = rawPeak = 0;
        }
    }
    if (meter) std::fprintf(stderr, "\n");
    aec->Stop();
    if (raw) raw->Stop();
    if (!(error = recording.Finish()).empty() || !(error = target.Finish()).empty()) return Fail(error);
    std::fprintf(Report(), "%s: %.2f s of %s, echo-cancelled%s\n", target.name().c_str(), recording.seconds(),
                 DescribeFormat(format).c_str(), StoppedNote());
    return StopRequested() ? StoppedStatus() : 0;
}

}  // namespace

int RunRecord(int argc, char** argv) {
    Options options;
    std::string error;
    if (!options.Parse("record", argc, argv,
                       {"--device", "--seconds", "--rate", "--channels", "--gen", "--capture", "--render"}, {"--aec"},
                       &error)) {
        return Fail(error);
    }
    if (options.Positional().size() != 1) return Fail("record takes one output file (see zelmar record --help)");
    const std::string output = options.Positional()[0];
    double device = -1, seconds = 5, rate = 16000, channels = 1, generation = 1;
    if (!options.Number("--device", -1, 15, &device, &error) || !options.Number("--seconds", 0.1, 36000, &seconds, &error) ||
        !options.Number("--rate", 8000, 96000, &rate, &error) || !options.Number("--channels", 1, 2, &channels, &error) ||
        !options.Number("--gen", 1, 2, &generation, &error)) {
        return Fail(error);
    }
    if (options.Has("--aec")) return RecordEchoCancelled(options, output, seconds);
    ZelmarSetTimeMode(ZELMAR_TIME_REAL);
    const int32_t sampleRate = static_cast<int32_t>(rate);
    const int32_t channelCount = static_cast<int32_t>(channels);
    const int32_t blockSamples = sampleRate / 100;  // 10 ms blocks
    constexpr int32_t kBufferMs = 200;
    const int32_t deviceNo = static_cast<int32_t>(device);
    Component capture = CaptureSetup({sampleRate, channelCount, 16, blockSamples, kBufferMs, deviceNo},
                                     static_cast<int>(generation))
                            .Build(&error);
    if (!capture) return Fail("cannot record from device " + std::to_string(deviceNo) + ": " + error);
    std::fprintf(stderr, "%s\n", DeviceLine(capture.get(), true, deviceNo).c_str());
    WAVEFORMATEX format{};
    capture->GetProperty("WaveFormat", 0, &format);
    CatchStopSignals();
    OutputFile target;
    if (!(error = target.Open(output)).empty()) return Fail(error);
    WavRecording recording;
    if (!(error = recording.Open(target.path(), format)).empty()) return Fail(error);
    int32_t code;
    if ((code = capture->Start()) != 0) return Fail("cannot start capturing: " + ResultText(code));
    std::fprintf(stderr, "recording %s (Ctrl-C stops)\n", target.name().c_str());
    PrintCaptureVolume(deviceNo);

    const bool meter = isatty(STDERR_FILENO) != 0;
    const int32_t blockBytes = blockSamples * channelCount * 2;
    const int64_t blocks = static_cast<int64_t>(seconds * 100 + 0.5);
    std::vector<int16_t> block(static_cast<size_t>(blockSamples * channelCount));
    int peak = 0;
    for (int64_t b = 0; b < blocks && !StopRequested();) {
        if ((code = GetDeviceBlock(capture.get(), block.data(), blockBytes)) != blockBytes) {
            return FailKeeping(recording, "capture failed: " + ResultText(code));
        }
        if (!(error = recording.Write(block.data(), blockBytes)).empty()) {
            return FailKeeping(recording, "writing " + target.name() + " failed: " + error);
        }
        for (int16_t s : block) peak = std::max(peak, std::abs(static_cast<int>(s)));
        ++b;
        if (meter && b % 10 == 0) {
            const double db = PeakDbfs(peak);
            const int bars = static_cast<int>(std::max(0.0, (db + 60) / 60 * 40));
            std::fprintf(stderr, "\r%6.1f s  %6.1f dBFS  [%-40.*s]", b / 100.0, db, bars,
                         "########################################");
            peak = 0;
        }
    }
    if (meter) std::fprintf(stderr, "\n");
    capture->Stop();
    if (!(error = recording.Finish()).empty() || !(error = target.Finish()).empty()) return Fail(error);
    std::fprintf(Report(), "%s: %.2f s of %s%s\n", target.name().c_str(), recording.seconds(), DescribeFormat(format).c_str(),
                StoppedNote());
    return StopRequested() ? StoppedStatus() : 0;
}

}  // namespace cli
