// zelmar info: what a WAV file holds, and how loud it is.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio_files.h"
#include "cli.h"
#include "commands.h"
#include "wav_file.h"

namespace cli {

const char kInfoUsage[] =
    "usage: zelmar info FILE\n"
    "Prints the file's format, duration, and per channel the peak and RMS level in dBFS.\n"
    "8- and 16-bit PCM WAV files are read through the RIFFAudioIn component (a file that\n"
    "component cannot scan, with an odd-sized chunk and its pad byte before the data or a\n"
    "recording that was never finished, is read by zelmar itself); any other file libsndfile\n"
    "reads (WAV of other widths or float, RF64, FLAC, AIFF, ...) through libsndfile, with a\n"
    "warning when it holds less than its header claims.  - reads standard input.\n";

namespace {

double Dbfs(double linear) { return linear > 0 ? 20.0 * std::log10(linear) : -INFINITY; }

void PrintLevels(const std::vector<double>& peak, const std::vector<double>& rms) {
    const size_t channels = peak.size();
    for (size_t c = 0; c < channels; ++c) {
        const std::string label = channels == 1 ? "level:" : channels == 2 ? (c == 0 ? "left:" : "right:")
                                                                           : "ch " + std::to_string(c + 1) + ":";
        std::printf("  %-9s peak %7.2f dBFS, RMS %7.2f dBFS\n", label.c_str(), Dbfs(peak[c]), Dbfs(rms[c]));
    }
}

// A file the engine's WAV components do not read, through libsndfile.
int InfoThroughLibsndfile(const std::string& path, const std::string& shown) {
    SoundFileFacts facts;
    const std::string error = ReadSoundFile(path, shown, &facts);
    if (!error.empty()) return Fail(error);
    std::printf("%s\n  format:   %s, %d Hz, %d channel%s\n", shown.c_str(), facts.format.c_str(), facts.rate, facts.channels,
                facts.channels == 1 ? "" : "s");
    std::printf("  data:     %lld frames, %.3f s\n", static_cast<long long>(facts.frames),
                static_cast<double>(facts.frames) / facts.rate);
    // A RIFF header's own claim, which libsndfile quietly trims to what the file holds.
    WavLayout layout;
    if (ReadWavLayout(path, &layout).empty() && layout.haveData && layout.declaredDataBytes > layout.BytesAfterDataHeader() &&
        layout.declaredDataBytes != 0xFFFFFFFFu) {
        std::printf("  warning:  the header claims %u bytes of audio; the file holds %llu after it: it is cut short\n",
                    layout.declaredDataBytes, static_cast<unsigned long long>(layout.BytesAfterDataHeader()));
    }
    if (facts.frames < facts.declaredFrames) {
        std::printf("  warning:  the header claims %lld frames (%.3f s); the file holds %lld: it is cut short\n",
                    static_cast<long long>(facts.declaredFrames), static_cast<double>(facts.declaredFrames) / facts.rate,
                    static_cast<long long>(facts.frames));
    }
    PrintLevels(facts.peak, facts.rms);
    return 0;
}

}  // namespace

int RunInfo(int argc, char** argv) {
    Options options;
    std::string error;
    if (!options.Parse("info", argc, argv, {}, {}, &error)) return Fail(error);
    if (options.Positional().size() != 1) return Fail("info takes one audio file (see zelmar info --help)");
    InputFile input;
    const std::string shown = options.Positional()[0] == "-" ? "standard input" : options.Positional()[0];
    if (!(error = input.OpenAsItIs(options.Positional()[0])).empty()) return Fail(error);
    const std::string path = input.path();
    WavProbe probe;
    if (!ProbeWav(path, &probe).empty()) return InfoThroughLibsndfile(path, shown);
    const WAVEFORMATEX& f = probe.format;

    const bool pcm = f.wFormatTag == 1 && (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) &&
                     f.nChannels >= 1 && f.nChannels <= 2;
    if (!pcm) return InfoThroughLibsndfile(path, shown);
    std::printf("%s\n  format:   %s\n", shown.c_str(), DescribeFormat(f).c_str());
    const double duration = f.nAvgBytesPerSec > 0 ? static_cast<double>(probe.dataBytes) / f.nAvgBytesPerSec : 0.0;
    std::printf("  data:     %u bytes, %.3f s\n", probe.dataBytes, duration);
    if (probe.unfinished) {
        std::printf("  note:     the header's sizes are 0 or pass the end of the file (a recording that was\n"
                    "            never finished); 'zelmar repair %s' writes them\n", shown.c_str());
    }

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
    std::vector<double> rms;
    for (int c = 0; c < channels; ++c) rms.push_back(frames > 0 ? std::sqrt(sumSquares[c] / frames) : 0.0);
    PrintLevels(peak, rms);
    return 0;
}

}  // namespace cli
