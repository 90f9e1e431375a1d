// zelmar info: what a WAV file holds, and how loud it is.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "wav_file.h"

namespace cli {

const char kInfoUsage[] =
    "usage: zelmar info FILE.wav\n"
    "Prints the file's format, duration, and per channel the peak and RMS level in dBFS\n"
    "(PCM files), reading the audio through the RIFFAudioIn component.  A file that\n"
    "component cannot scan (an odd-sized chunk and its pad byte before the data, or a\n"
    "recording that was never finished, whose sizes are 0) is read by zelmar itself.\n";

namespace {

double Dbfs(double linear) { return linear > 0 ? 20.0 * std::log10(linear) : -INFINITY; }

}  // namespace

int RunInfo(int argc, char** argv) {
    Options options;
    std::string error;
    if (!options.Parse("info", argc, argv, {}, {}, &error)) return Fail(error);
    if (options.Positional().size() != 1) return Fail("info takes one WAV file (see zelmar info --help)");
    const std::string path = options.Positional()[0];
    WavProbe probe;
    if (!(error = ProbeWav(path, &probe)).empty()) return Fail(error);
    const WAVEFORMATEX& f = probe.format;

    std::printf("%s\n  format:   %s\n", path.c_str(), DescribeFormat(f).c_str());
    const double duration = f.nAvgBytesPerSec > 0 ? static_cast<double>(probe.dataBytes) / f.nAvgBytesPerSec : 0.0;
    std::printf("  data:     %u bytes, %.3f s\n", probe.dataBytes, duration);
    if (probe.unfinished) {
        std::printf("  note:     the header's sizes are 0 or pass the end of the file (a recording that was\n"
                    "            never finished); 'zelmar repair %s' writes them\n", path.c_str());
    }
    const bool pcm = f.wFormatTag == 1 && (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) &&
                     f.nChannels >= 1 && f.nChannels <= 2;
    if (!pcm) return 0;

    WavInput reader;
    if (!(error = reader.Open(path, probe)).empty()) return Fail(error);
    const int channels = f.nChannels;
    const int sampleBytes = f.wBitsPerSample / 8;
    const uint32_t frameBytes = static_cast<uint32_t>(channels * sampleBytes);
    const uint32_t frames = probe.dataBytes / frameBytes;
    std::vector<double> peak(channels, 0.0), sumSquares(channels, 0.0);
    std::vector<uint8_t> block(frameBytes * 4096);
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min<uint32_t>(4096, frames - done);
        const int32_t code = reader.Read(block.data(), static_cast<int32_t>(n * frameBytes));
        if (code < 0) return Fail("reading " + path + ": " + ResultText(code));
        for (uint32_t i = 0; i < n * channels; ++i) {
            double sample;  // full scale 1.0
            if (sampleBytes == 2) {
                int16_t s;
                std::memcpy(&s, &block[2 * i], 2);
                sample = s / 32768.0;
            } else {
                sample = (block[i] - 128) / 128.0;
            }
            const int channel = static_cast<int>(i % channels);
            peak[channel] = std::max(peak[channel], std::fabs(sample));
            sumSquares[channel] += sample * sample;
        }
        done += n;
    }
    for (int c = 0; c < channels; ++c) {
        const double rms = frames > 0 ? std::sqrt(sumSquares[c] / frames) : 0.0;
        std::printf("  %-9s peak %7.2f dBFS, RMS %7.2f dBFS\n", channels == 1 ? "level:" : c == 0 ? "left:" : "right:",
                    Dbfs(peak[c]), Dbfs(rms));
    }
    return 0;
}

}  // namespace cli
