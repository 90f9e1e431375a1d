// zelmar convert: a WAV file through the codec bridge ("ACMAudioFilter") into another WAV file.
#include <zelmar/zelmar_acm.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "interrupt.h"
#include "wav_file.h"

namespace cli {

const char kConvertUsage[] =
    "usage: zelmar convert [--template NAME | --to TAG | --choose] IN.wav OUT.wav\n"
    "Converts a WAV file through the ACMAudioFilter component and writes the result as a WAV\n"
    "file in the output format.\n"
    "  --template NAME  a conversion template, filled from the input's rate, bits and channels:\n"
    "                   PCM2GSM GSM2PCM PCM2G723 G7232PCM PCM2ADPCM ADPCM2PCM PCM2ALAW ALAW2PCM\n"
    "                   PCM2TS TS2PCM PCM2LHCELP LHCELP2PCM (the coded input of a ...2PCM\n"
    "                   template must be the file's own format)\n"
    "  --to TAG         the template SUGGEST: the output gets format tag TAG (1 PCM, 2 Microsoft\n"
    "                   ADPCM, 6 A-law, 7 mu-law, 17 IMA ADPCM, 49 GSM 6.10, 66 G.723.1) with the\n"
    "                   input's channels, rate and bits, the rest as the codec suggests; so a\n"
    "                   coded output needs an input of the bits it writes (GSM and G.723.1: a\n"
    "                   coded input of 0 bits), and PCM from GSM or G.723.1 is --to 1\n"
    "  --choose         lists the formats the codecs make of the input, numbered, and reads the\n"
    "                   number of the one to write from the terminal (empty: cancel)\n"
    "With none of these a coded input is decoded to 16-bit PCM.  A last partial block of PCM\n"
    "going into a codec is completed with silence.  Prints both formats, the sizes, their ratio\n"
    "and the real-time factor.\n";

namespace {

// The format choice on the terminal: the list on stderr, the answer from stdin.
int32_t ChooseOnTerminal(const WAVEFORMATEX* const*, const char* const* names, int32_t count, void*) {
    std::fprintf(stderr, "formats the codecs can make:\n");
    for (int32_t i = 0; i < count; ++i) std::fprintf(stderr, "  %2d  %s\n", i + 1, names[i]);
    std::fprintf(stderr, "number (empty cancels): ");
    std::string line;
    if (!std::getline(std::cin, line)) return -1;
    char* end = nullptr;
    const long chosen = std::strtol(line.c_str(), &end, 10);
    if (end == line.c_str() || chosen < 1 || chosen > count) return -1;
    return static_cast<int32_t>(chosen - 1);
}

std::vector<uint8_t> FormatProperty(IAudioIO* io, const char* name) {
    std::vector<uint8_t> block(ZELMAR_FORMAT_BLOCK_BYTES);
    io->GetProperty(name, 0, block.data());
    return block;
}

WAVEFORMATEX Header(const uint8_t* block) {
    WAVEFORMATEX f;
    std::memcpy(&f, block, sizeof f);
    return f;
}

// Bytes of a format with its extra bytes (PCM has none).
size_t FormatBytes(const WAVEFORMATEX& f) { return f.wFormatTag == 1 ? 16 : sizeof f + f.cbSize; }

}  // namespace

int RunConvert(int argc, char** argv) {
    Options options;
    std::string error;
    if (!options.Parse("convert", argc, argv, {"--template", "--to"}, {"--choose"}, &error)) return Fail(error);
    if (options.Positional().size() != 2) return Fail("convert takes IN.wav and OUT.wav (see zelmar convert --help)");
    if (int(options.Has("--template")) + int(options.Has("--to")) + int(options.Has("--choose")) > 1) {
        return Fail("--template, --to and --choose exclude each other");
    }
    const std::string inPath = options.Positional()[0], outPath = options.Positional()[1];
    WavLayout layout;
    WavProbe probe;
    if (!(error = ReadWavLayout(inPath, &layout)).empty() || !(error = ProbeWav(inPath, &probe)).empty()) {
        return Fail(error);
    }
    const WAVEFORMATEX& in = probe.format;
    const bool pcmInput = in.wFormatTag == 1;

    ComponentSetup setup("ACMAudioFilter");
    setup.Set("InWaveFormat", ZELMAR_FORMAT_BLOCK_BYTES, layout.formatBlock, DescribeFormat(in));
    if (options.Has("--template")) {
        // A decoding template's bits are those of the PCM it writes.
        setup.Set("SamplesPerSec", static_cast<int32_t>(in.nSamplesPerSec))
            .Set("Channels", in.nChannels)
            .Set("BitsPerSample", pcmInput ? in.wBitsPerSample : 16)
            .Set("Template", options.Text("--template"));
    } else if (options.Has("--to")) {
        double tag = 0;
        if (!options.Number("--to", 1, 65535, &tag, &error)) return Fail(error);
        const WAVEFORMATEX wanted{static_cast<uint16_t>(tag), 0, 0, 0, 0, 0, 0};
        setup.Set("OutWaveFormat", wanted, sizeof wanted).Set("Template", std::string("SUGGEST"));
    } else if (options.Has("--choose")) {
        ZelmarSetFormatChooser(ChooseOnTerminal, nullptr);
        setup.Set("SamplesPerSec", static_cast<int32_t>(in.nSamplesPerSec))
            .Set("Channels", in.nChannels)
            .Set("BitsPerSample", in.wBitsPerSample)
            .Set("OutWaveFormat", 0, nullptr, "(chosen)");
        ZelmarSetFormatChooser(nullptr, nullptr);
    } else if (!pcmInput) {
        const WAVEFORMATEX pcm{1, in.nChannels, in.nSamplesPerSec, 2u * in.nChannels * in.nSamplesPerSec,
                               static_cast<uint16_t>(2 * in.nChannels), 16, 0};
        setup.Set("OutWaveFormat", pcm, sizeof pcm);
    } else {
        return Fail(inPath + " is PCM: name a --template, a --to TAG or --choose");
    }
    if (!setup.exists()) return Fail("the engine has no ACMAudioFilter");
    if (!setup.error().empty()) return Fail(setup.error());
    Component bridge = setup.Start(&error);
    if (!bridge) {
        // What the compression manager or the template step said, when it said anything.
        const int32_t last = IntProperty(setup.operator->(), "LastError");
        char note[48] = "";
        if (last != 0) std::snprintf(note, sizeof note, " (LastError 0x%08X)", static_cast<unsigned>(last));
        return Fail(error + note);
    }
    const std::vector<uint8_t> inFormat = FormatProperty(bridge.get(), "InWaveFormat");
    const std::vector<uint8_t> outFormat = FormatProperty(bridge.get(), "OutWaveFormat");
    const WAVEFORMATEX from = Header(inFormat.data()), to = Header(outFormat.data());
    // A template describes its input itself: it has to be what the file holds.
    if (!pcmInput && std::memcmp(inFormat.data(), layout.formatBlock, FormatBytes(in)) != 0) {
        return Fail(inPath + " holds " + DescribeFormat(in) + "; the conversion reads " + DescribeFormat(from));
    }
    if (pcmInput && (from.wFormatTag != 1 || std::memcmp(&from, &in, 16) != 0)) {
        return Fail(inPath + " holds " + DescribeFormat(in) + "; the conversion reads " + DescribeFormat(from));
    }

    WavInput reader;
    if (!(error = reader.Open(inPath, probe)).empty()) return Fail(error);
    WavRecording recording;
    if (!(error = recording.Open(outPath, to, outFormat.data())).empty()) return Fail(error);

    // About a second of input per call, in whole blocks.
    const uint32_t align = std::max<uint32_t>(from.nBlockAlign, 1);
    const uint32_t chunk = std::max<uint32_t>(align, from.nAvgBytesPerSec / align * align);
    std::vector<uint8_t> input(chunk);
    std::vector<uint8_t> output;
    CatchStopSignals();
    const auto started = std::chrono::steady_clock::now();
    uint64_t read = 0, written = 0;
    while (read < probe.dataBytes && !StopRequested()) {
        const int32_t want = static_cast<int32_t>(std::min<uint64_t>(chunk, probe.dataBytes - read));
        const int32_t got = reader.Read(input.data(), want);
        if (got < 0) return FailKeeping(recording, "reading " + inPath + ": " + ResultText(got));
        read += static_cast<uint64_t>(want);
        for (int32_t at = 0; at < want;) {
            int32_t inBytes = want - at;
            const int32_t room = IntProperty(bridge.get(), "OutBufferSize", inBytes);
            output.resize(static_cast<size_t>(std::max(room, 1)));
            int32_t outBytes = room;
            const int32_t code = bridge->Process(input.data() + at, &inBytes, output.data(), &outBytes);
            if (code != 0) return FailKeeping(recording, "ACMAudioFilter refused a block: " + ResultText(code));
            if (!(error = recording.Write(output.data(), outBytes)).empty()) {
                return FailKeeping(recording, "writing " + outPath + ": " + error);
            }
            written += static_cast<uint64_t>(outBytes);
            if (inBytes == 0) break;  // the stream holds the rest of a block
            at += inBytes;
        }
    }
    // The codec holds a last partial block: complete it with silence so it is written too.
    const int32_t blockIn = pcmInput && to.wFormatTag != 1 ? IntProperty(bridge.get(), "InBufferSize", to.nBlockAlign) : 0;
    if (blockIn > 0 && read % static_cast<uint64_t>(blockIn) != 0 && !StopRequested()) {
        int32_t inBytes = blockIn - static_cast<int32_t>(read % static_cast<uint64_t>(blockIn));
        std::vector<uint8_t> silence(static_cast<size_t>(inBytes), from.wBitsPerSample == 8 ? 128 : 0);
        output.resize(static_cast<size_t>(to.nBlockAlign));
        int32_t outBytes = to.nBlockAlign;
        if (bridge->Process(silence.data(), &inBytes, output.data(), &outBytes) == 0) {
            if (!(error = recording.Write(output.data(), outBytes)).empty()) {
                return FailKeeping(recording, "writing " + outPath + ": " + error);
            }
            written += static_cast<uint64_t>(outBytes);
        }
    }
    const double wall = SecondsSince(started);
    if (!(error = recording.Finish()).empty()) return Fail(outPath + ": " + error);
    const double seconds = from.nAvgBytesPerSec > 0 ? static_cast<double>(read) / from.nAvgBytesPerSec : 0.0;
    std::printf("converted %s (%s, %llu bytes) -> %s (%s, %llu bytes): ratio %.3f, %.3f s, %.0fx real time%s\n",
                inPath.c_str(), DescribeFormat(from).c_str(), static_cast<unsigned long long>(read), outPath.c_str(),
                DescribeFormat(to).c_str(), static_cast<unsigned long long>(written),
                read > 0 ? static_cast<double>(written) / static_cast<double>(read) : 0.0, seconds,
                RealTimeFactor(seconds, wall), StoppedNote());
    return StopRequested() ? StoppedStatus() : 0;
}

}  // namespace cli
