// zelmar encode / zelmar decode: WAV <-> .s14 files through the Siren14AudioFilter.
//
// .s14 file: a header, then coded frames back to back in the codec's layout (bit rate / 800
// 16-bit words per 20 ms frame, each word least significant byte first).
//   offset 0   4 bytes   magic "S14P" (24-byte header) or "S14F" (16-byte header)
//   offset 4   uint32    sampling rate: 16000 (7 kHz mode) or 32000 (14 kHz mode)
//   offset 8   uint32    bit rate: 24000, 32000 or 48000 (48000 only at 32000)
//   offset 12  uint32    frame count, or 0xFFFFFFFF when not known (read to the end)
//   "S14P" only:
//   offset 16  uint32    priming: samples the decoder's output starts late by (one frame)
//   offset 20  uint32    samples the encoder was given, at the sampling rate above
// All header numbers are little-endian.  The codec's output lags its input by one frame, so
// the encoder codes one frame of silence after the input and records the lag and the length:
// a decoded "S14P" file is exactly as long as its input and in step with it.  An "S14F"
// file (a bare stream) decodes to every frame's samples as they come.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

#include <zelmar/zelmar_c.h>

#include "audio_files.h"
#include "cli.h"
#include "commands.h"
#include "interrupt.h"
#include "wav_file.h"

namespace cli {

const char kEncodeUsage[] =
    "usage: zelmar encode [--bitrate 24000|32000|48000] IN.wav OUT.s14\n"
    "Encodes an audio file with the Siren14 codec (Siren14AudioFilter).  Any file libsndfile\n"
    "reads is taken (more than one channel is mixed to mono); - reads standard input, and an\n"
    "OUT.s14 of - writes standard output.  16000 Hz input is coded in the 7 kHz mode, 32000 Hz\n"
    "input in the 14 kHz mode (the only mode with 48000 bit/s).  Other rates are converted by\n"
    "ResampleAudioFilter when the ratio to 16000 or 32000 is whole (e.g. 8000, 48000, 96000),\n"
    "else by libsoxr (44100 Hz and above to 32000 Hz, lower rates to 16000 Hz).  The codec's output lags by\n"
    "one 20 ms frame: the file records that and the input's length, and zelmar decode gives\n"
    "back exactly the input's length, in step with it.\n"
    "  --bitrate B   24000, 32000 or 48000 (default 32000)\n";

const char kDecodeUsage[] =
    "usage: zelmar decode [--loss PERCENT [--seed N]] IN.s14 OUT.wav\n"
    "Decodes a .s14 file (see zelmar encode; - for standard input) into a 16-bit mono WAV\n"
    "file (- for standard output) with the\n"
    "Siren14AudioFilter.  Frames the decoder cannot read are concealed and counted as damaged;\n"
    "a file none of whose frames can be read fails.\n"
    "  --loss P   drop P percent of the frames at random (0..100, default 0); each dropped\n"
    "             frame is concealed by the decoder, as a receiver does for a lost packet\n"
    "  --seed N   seed of the loss pattern (default 1), so a run can be repeated\n";

namespace {

constexpr char kBareMagic[4] = {'S', '1', '4', 'F'}, kMagic[4] = {'S', '1', '4', 'P'};
constexpr uint32_t kUnknownFrameCount = 0xFFFFFFFFu;
constexpr int kBareHeaderBytes = 16, kHeaderBytes = 24;
constexpr int kFramesPerCall = 50;  // one second per Process call

void PutLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
uint32_t GetLe32(const uint8_t* at) {
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

// The codec rate a WAV rate is brought to: itself when the codec takes it, else the codec
// rate it has a whole ratio with (0 when there is none).
int32_t CodecRateFor(int32_t rate) {
    if (rate == 16000 || rate == 32000) return rate;
    if (rate > 32000 && rate % 32000 == 0) return 32000;
    if (rate % 16000 == 0 || 16000 % rate == 0) return 16000;
    if (32000 % rate == 0) return 32000;
    return 0;
}

}  // namespace

int RunEncode(int argc, char** argv) {
    Options options;
    std::string error;
    if (!options.Parse("encode", argc, argv, {"--bitrate"}, {}, &error)) return Fail(error);
    if (options.Positional().size() != 2) return Fail("encode takes IN.wav and OUT.s14 (see zelmar encode --help)");
    const std::string input = options.Positional()[0], output = options.Positional()[1];
    double bitRateValue = 32000;
    if (!options.Number("--bitrate", 0, 1e9, &bitRateValue, &error)) return Fail(error);
    const int32_t bitRate = static_cast<int32_t>(bitRateValue);
    if (bitRate != 24000 && bitRate != 32000 && bitRate != 48000) {
        return Fail("--bitrate must be 24000, 32000 or 48000 (got " + options.Text("--bitrate") + ")");
    }

    // Any file libsndfile reads: mixed to mono, and resampled with libsoxr to 16000 or 32000 Hz
    // when the rate has no whole ratio to either (the engine's resampler takes the others).
    InputFile source;
    InputNeeds needs;
    needs.maxChannels = 1;
    needs.rateFor = [](int rate) { return CodecRateFor(rate) != 0 ? 0 : rate >= 32000 ? 32000 : 16000; };
    if (!(error = source.Open(input, needs)).empty()) return Fail(error);
    WavProbe probe;
    if (!(error = ProbeWav(source.path(), &probe)).empty()) return Fail(error);
    const WAVEFORMATEX& f = probe.format;
    if (!IsMono16Pcm(f)) {
        return Fail(source.name() + " is " + DescribeFormat(f) + "; the Siren14 encoder takes 16-bit mono PCM");
    }
    const int32_t wavRate = static_cast<int32_t>(f.nSamplesPerSec);
    const int32_t codecRate = wavRate > 0 ? CodecRateFor(wavRate) : 0;
    if (codecRate == 0) {
        return Fail(input + " is at " + std::to_string(wavRate) +
                    " Hz; Siren14 codes 16000 or 32000 Hz and no whole ratio leads there");
    }
    if (bitRate == 48000 && codecRate != 32000) {
        return Fail("48000 bit/s exists only in the 14 kHz mode (32000 Hz input); " + input + " is coded at " +
                    std::to_string(codecRate) + " Hz");
    }

    WavInput reader;
    if (!(error = reader.Open(source.path(), probe)).empty()) return Fail(error);
    Component encoder = Siren14Setup(codecRate, bitRate, Coding::kEncode).Start(&error);
    if (!encoder) {
        return Fail("cannot encode " + std::to_string(codecRate) + " Hz at " + std::to_string(bitRate) + " bit/s: " + error);
    }
    // Only a rate the codec does not take goes through the resampler.
    Component resampler;
    if (wavRate != codecRate) {
        resampler = ComponentSetup("ResampleAudioFilter")
                        .Set("InSamplesPerSec", wavRate)
                        .Set("OutSamplesPerSec", codecRate)
                        .Start(&error);
        if (!resampler) {
            return Fail("cannot bring " + std::to_string(wavRate) + " Hz to " + std::to_string(codecRate) + " Hz: " + error);
        }
    }

    OutputFile target;
    if (output != "-" && !(error = WhyNotWritable(output)).empty()) return Fail(error);
    if (!(error = target.Open(output)).empty()) return Fail(error);
    std::ofstream out(target.path(), std::ios::binary);
    if (!out) return Fail("cannot create " + target.name() + ": " + std::strerror(errno));
    uint8_t header[kHeaderBytes];
    std::memcpy(header, kMagic, 4);
    PutLe32(header + 4, static_cast<uint32_t>(codecRate));
    PutLe32(header + 8, static_cast<uint32_t>(bitRate));
    PutLe32(header + 12, kUnknownFrameCount);  // these three are rewritten at the end
    PutLe32(header + 16, 0);
    PutLe32(header + 20, 0);
    out.write(reinterpret_cast<const char*>(header), kHeaderBytes);

    const int32_t pcmFrameBytes = IntProperty(encoder.get(), "InBufferSize", 0);
    const int32_t codedFrameBytes = IntProperty(encoder.get(), "OutBufferSize", pcmFrameBytes);
    const int32_t ratioUp = codecRate > wavRate ? codecRate / wavRate : 1;
    const int32_t ratioDown = wavRate > codecRate ? wavRate / codecRate : 1;
    // Samples at the codec rate waiting for a whole frame, and the coded output.
    std::vector<uint8_t> pending;
    std::vector<uint8_t> wavBlock(static_cast<size_t>(pcmFrameBytes) * kFramesPerCall * ratioDown);
    std::vector<uint8_t> converted(wavBlock.size() * ratioUp + 16);
    std::vector<uint8_t> coded(static_cast<size_t>(codedFrameBytes) * (kFramesPerCall + 1));
    uint32_t frames = 0;
    uint64_t samples = 0;  // given to the encoder, at the codec rate
    Progress progress("encode");
    const auto began = std::chrono::steady_clock::now();

    int32_t code = 0;
    auto encodePending = [&](bool flush) -> bool {
        if (flush && pending.size() % pcmFrameBytes != 0) pending.resize((pending.size() / pcmFrameBytes + 1) * pcmFrameBytes, 0);
        size_t offset = 0;
        while (pending.size() - offset >= static_cast<size_t>(pcmFrameBytes)) {
            int32_t inBytes = static_cast<int32_t>(std::min(pending.size() - offset, coded.size() / codedFrameBytes * pcmFrameBytes));
            int32_t outBytes = static_cast<int32_t>(coded.size());
            if ((code = encoder->Process(pending.data() + offset, &inBytes, coded.data(), &outBytes)) != 0 || inBytes == 0) {
                return false;
            }
            out.write(reinterpret_cast<const char*>(coded.data()), outBytes);
            frames += static_cast<uint32_t>(outBytes / codedFrameBytes);
            offset += static_cast<size_t>(inBytes);
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(offset));
        return true;
    };

    uint32_t done = 0;
    while (done < probe.dataBytes) {
        const uint32_t want = std::min<uint32_t>(static_cast<uint32_t>(wavBlock.size()), (probe.dataBytes - done) & ~1u);
        if (want == 0) break;
        const int32_t got = reader.Read(wavBlock.data(), static_cast<int32_t>(want));
        if (got < 0) return Fail("reading " + source.name() + ": " + ResultText(got));
        done += want;
        const size_t before = pending.size();
        if (wavRate == codecRate) {
            pending.insert(pending.end(), wavBlock.begin(), wavBlock.begin() + want);
        } else {
            int32_t inBytes = static_cast<int32_t>(want), outBytes = static_cast<int32_t>(converted.size());
            if ((code = resampler->Process(wavBlock.data(), &inBytes, converted.data(), &outBytes)) != 0) {
                return Fail("ResampleAudioFilter: " + ResultText(code));
            }
            pending.insert(pending.end(), converted.begin(), converted.begin() + outBytes);
        }
        samples += (pending.size() - before) / 2;
        if (!encodePending(false)) return Fail("Siren14AudioFilter: " + ResultText(code));
        progress.Update(static_cast<double>(done) / probe.dataBytes);
    }
    // One frame of silence brings the input's last samples out of the decoder.
    pending.resize(pending.size() + static_cast<size_t>(pcmFrameBytes), 0);
    if (!encodePending(true)) return Fail("Siren14AudioFilter: " + ResultText(code));
    progress.Done();
    if (samples > 0xFFFFFFFFu) return Fail(input + " is too long for one .s14 file");
    PutLe32(header + 12, frames);
    PutLe32(header + 16, static_cast<uint32_t>(pcmFrameBytes / 2));
    PutLe32(header + 20, static_cast<uint32_t>(samples));
    out.seekp(0);
    out.write(reinterpret_cast<const char*>(header), kHeaderBytes);
    out.close();
    if (!out) return Fail("writing " + target.name() + " failed");
    if (!(error = target.Finish()).empty()) return Fail(error);
    encoder->Stop();

    const double audioSeconds = static_cast<double>(samples) / codecRate, elapsed = SecondsSince(began);
    if (!source.conversion().empty()) std::fprintf(Report(), "read %s as %s\n", source.name().c_str(), source.conversion().c_str());
    std::fprintf(Report(), "encoded %s (%d Hz%s, %d kHz mode) at %d bit/s: %u frames, %.3f s -> %s (%u bytes) in %.3f s (%.0fx real time)\n",
                source.name().c_str(), wavRate, wavRate != codecRate ? (" resampled to " + std::to_string(codecRate) + " Hz").c_str() : "",
                codecRate == 32000 ? 14 : 7, bitRate, frames, audioSeconds, target.name().c_str(),
                kHeaderBytes + frames * static_cast<uint32_t>(codedFrameBytes), elapsed,
                RealTimeFactor(audioSeconds, elapsed));
    return 0;
}

int RunDecode(int argc, char** argv) {
    Options options;
    std::string error;
    if (!options.Parse("decode", argc, argv, {"--loss", "--seed"}, {}, &error)) return Fail(error);
    if (options.Positional().size() != 2) return Fail("decode takes IN.s14 and OUT.wav (see zelmar decode --help)");
    const std::string input = options.Positional()[0], output = options.Positional()[1];
    double lossPercent = 0, seed = 1;
    if (!options.Number("--loss", 0, 100, &lossPercent, &error) || !options.Number("--seed", 0, 4294967295.0, &seed, &error)) {
        return Fail(error);
    }

    std::vector<uint8_t> file;
    if (!(error = ReadWholeFile(input, &file)).empty()) return Fail(error);
    const bool bare = file.size() >= static_cast<size_t>(kBareHeaderBytes) && std::memcmp(file.data(), kBareMagic, 4) == 0;
    if (!bare && (file.size() < static_cast<size_t>(kHeaderBytes) || std::memcmp(file.data(), kMagic, 4) != 0)) {
        return Fail(input + " is not a .s14 file (no S14P or S14F header)");
    }
    const size_t headerBytes = bare ? kBareHeaderBytes : kHeaderBytes;
    const int32_t sampleRate = static_cast<int32_t>(GetLe32(file.data() + 4));
    const int32_t bitRate = static_cast<int32_t>(GetLe32(file.data() + 8));
    const uint32_t declaredFrames = GetLe32(file.data() + 12);

    ComponentSetup decoderSetup = Siren14Setup(sampleRate, bitRate, Coding::kDecode);
    Component decoder = decoderSetup.Start(&error);
    if (!decoderSetup.exists()) return Fail(error);
    if (!decoder) {
        return Fail(input + " declares " + std::to_string(sampleRate) + " Hz at " + std::to_string(bitRate) +
                    " bit/s, which Siren14 does not code (" + error + ")");
    }
    const int32_t pcmFrameBytes = IntProperty(decoder.get(), "InBufferSize", 0);
    const int32_t codedFrameBytes = IntProperty(decoder.get(), "InBufferSize", pcmFrameBytes);
    const size_t payload = file.size() - headerBytes;
    const uint32_t present = static_cast<uint32_t>(payload / codedFrameBytes);
    if (declaredFrames != kUnknownFrameCount && declaredFrames > present) {
        return Fail(input + " is truncated: its header declares " + std::to_string(declaredFrames) + " frames, it holds " +
                    std::to_string(present));
    }
    const uint32_t frames = declaredFrames != kUnknownFrameCount ? declaredFrames : present;
    // The samples to drop at the start and to keep: all of them in a bare stream.
    const uint64_t decodedSamples = uint64_t{frames} * static_cast<uint32_t>(pcmFrameBytes / 2);
    const uint64_t priming = bare ? 0 : std::min<uint64_t>(GetLe32(file.data() + 16), decodedSamples);
    const uint64_t keep = bare ? decodedSamples : std::min<uint64_t>(GetLe32(file.data() + 20), decodedSamples - priming);

    CatchStopSignals();
    OutputFile target;
    if (!(error = target.Open(output)).empty()) return Fail(error);
    WavRecording recording;
    if (!(error = recording.Open(target.path(), Mono16Format(sampleRate))).empty()) return Fail(error);

    std::mt19937 random(static_cast<uint32_t>(seed));
    std::uniform_real_distribution<double> uniform(0.0, 100.0);
    std::vector<uint8_t> pcm(static_cast<size_t>(pcmFrameBytes));
    uint32_t lost = 0, damaged = 0;
    uint64_t skipped = 0, kept = 0;
    int32_t code;
    Progress progress("decode");
    const auto began = std::chrono::steady_clock::now();
    uint32_t frame = 0;
    for (; frame < frames && !StopRequested(); ++frame) {
        // A lost frame is handed over as a null input: the decoder conceals it.
        const bool drop = lossPercent > 0 && uniform(random) < lossPercent;
        lost += drop;
        const uint8_t* source = file.data() + headerBytes + static_cast<size_t>(frame) * codedFrameBytes;
        // The decoder conceals a frame it cannot read without a word: count them here.
        damaged += !drop && ZelmarSiren14FrameIsValid(source, codedFrameBytes, sampleRate, bitRate) == 0;
        int32_t inBytes = codedFrameBytes, outBytes = pcmFrameBytes;
        if ((code = decoder->Process(drop ? nullptr : source, &inBytes, pcm.data(), &outBytes)) != 0 || outBytes != pcmFrameBytes) {
            return FailKeeping(recording, "Siren14AudioFilter: " + ResultText(code));
        }
        const uint64_t dropped = std::min<uint64_t>(priming - skipped, static_cast<uint64_t>(outBytes / 2));
        const uint64_t write = std::min<uint64_t>(keep - kept, static_cast<uint64_t>(outBytes / 2) - dropped);
        skipped += dropped;
        kept += write;
        if (write > 0 && !(error = recording.Write(pcm.data() + 2 * dropped, static_cast<int32_t>(2 * write))).empty()) {
            return FailKeeping(recording, "writing " + target.name() + " failed: " + error);
        }
        if (frame % kFramesPerCall == 0) progress.Update(static_cast<double>(frame) / frames);
    }
    progress.Done();
    if (!(error = recording.Finish()).empty() || !(error = target.Finish()).empty()) return Fail(error);
    decoder->Stop();
    const double audioSeconds = static_cast<double>(kept) / sampleRate, elapsed = SecondsSince(began);
    std::fprintf(Report(), "decoded %s (%d kHz mode, %d bit/s): %u frames (%u lost and concealed, %u damaged and concealed), "
                "%.3f s -> %s in %.3f s (%.0fx real time)%s\n",
                input.c_str(), sampleRate == 32000 ? 14 : 7, bitRate, frame, lost, damaged, audioSeconds, target.name().c_str(),
                elapsed, RealTimeFactor(audioSeconds, elapsed), StoppedNote());
    if (StopRequested()) return StoppedStatus();
    if (frame > 0 && damaged == frame - lost && damaged > 0) {
        return Fail("none of the " + std::to_string(damaged) + " frames of " + input + " could be read: is it a Siren14 stream at " +
                    std::to_string(sampleRate) + " Hz and " + std::to_string(bitRate) + " bit/s?");
    }
    return 0;
}

}  // namespace cli
