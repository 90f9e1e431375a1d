// zelmar chain: runs a WAV file through a chain of the engine's filter components.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio_files.h"
#include "cli.h"
#include "commands.h"
#include "interrupt.h"
#include "wav_file.h"

namespace cli {

const char kChainUsage[] =
    "usage: zelmar chain -i IN.wav -o OUT.wav [--block MS] [--meter] NAME[:PROP=VALUE,...] ...\n"
    "Reads IN.wav with RIFFAudioIn, passes it block by block through the named filter\n"
    "components in order (Process), and records the result with RIFFAudioOut.\n"
    "  -i IN.wav          input: any file libsndfile reads (WAV, FLAC, AIFF, RF64, 24-bit,\n"
    "                     float, ...; converted to 16-bit PCM, more than two channels mixed\n"
    "                     to mono), or - for standard input\n"
    "  -o OUT.wav         output (directories on its path are created), or - for standard\n"
    "                     output (the report then goes to standard error)\n"
    "  --block MS         block length in milliseconds of input, 1..1000 (default 20)\n"
    "  --meter            print, per second of input, each PreProcessAudioFilter's and\n"
    "                     AmplifierAudioFilter's input peak (MaxLevel) and the pre-processor's\n"
    "                     gate: open, or muted (with the share of blocks held back), and the\n"
    "                     calls answered from its pre-roll ring\n"
    "  NAME               a filter's factory name, e.g. ResampleAudioFilter,\n"
    "                     ToneControlAudioFilter, NoiseGateAudioFilter,\n"
    "                     AccelerateAudioFilter, MixerAudioFilter, PreProcessAudioFilter,\n"
    "                     AmplifierAudioFilter\n"
    "  PROP=VALUE         set before Build, by name.  An integer goes in the value argument\n"
    "                     (and `data` points to it); a value with a decimal point or an\n"
    "                     exponent (0.5, 1e3) is passed as a float through `data`, with its\n"
    "                     integer part as the value.\n"
    "The stream's rate goes to SamplesPerSec or InSamplesPerSec where a component has them\n"
    "(a PROP given on the command line wins); a component's OutSamplesPerSec sets the rate\n"
    "after it.  Filters other than the mixer take 16-bit mono: other input is converted\n"
    "with a MixerAudioFilter first.  The mixer takes the stream's format as InWaveFormat;\n"
    "its output format is the same unless OutChannels, OutBitsPerSample or\n"
    "OutSamplesPerSec are given among its PROPs (these three are the host's, not the\n"
    "component's).\n"
    "Prints one line: durations in and out, formats, and the real-time factor of the whole\n"
    "run (reading, filtering, writing).  A component or property the engine does not know,\n"
    "or a value it refuses, ends the run with the engine's result code.  When the engine's\n"
    "companion library is missing, a PreProcessAudioFilter stage is noted on stderr: it then\n"
    "runs without IIR filters, noise suppression or pitch-based voice detection.\n"
    "Ctrl-C (or SIGTERM) ends the run early; OUT.wav is finished either way.\n"
    "example: zelmar chain -i speech.wav -o fast.wav NoiseGateAudioFilter:Threshold_db=4000 \\\n"
    "           AccelerateAudioFilter:Speed=125 ResampleAudioFilter:OutSamplesPerSec=8000\n";

namespace {

struct StreamFormat {
    uint32_t rate = 0;
    uint16_t channels = 0;
    uint16_t bits = 0;

    uint32_t FrameBytes() const { return channels * bits / 8u; }
    bool IsMono16() const { return channels == 1 && bits == 16; }
    WAVEFORMATEX Wave() const {
        return WAVEFORMATEX{1, channels, rate, rate * FrameBytes(), static_cast<uint16_t>(FrameBytes()), bits, 0};
    }
    std::string Text() const { return DescribeFormat(Wave()); }
};

// How a filter reports what its Process consumed and produced.
enum class Counting {
    kWrittenBack,           // *inBytes = consumed (unchanged when all), *outBytes = produced
    kSameSizeNotWritten,    // neither count is written; the output is as long as the input
    kMix,                   // the mixer: adds into the output buffer, which the host sizes
    kRepeatWhileUnchanged,  // *inBytes = 0 once the block is consumed; unchanged asks for
                            // another call with the same block; each call fills *outBytes
};

struct FilterTraits {
    const char* name;
    Counting counting;
    bool needsMono16;
};

// Filters whose Process does not write its counts back.  Any other filter is taken to
// follow the codec convention (kWrittenBack) and to want 16-bit mono.
const FilterTraits kFilterTraits[] = {
    {"MixerAudioFilter", Counting::kMix, false},
    {"NoiseGateAudioFilter", Counting::kSameSizeNotWritten, true},
    {"AmplifierAudioFilter", Counting::kSameSizeNotWritten, true},
    {"PreProcessAudioFilter", Counting::kRepeatWhileUnchanged, true},
};

bool SameName(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

FilterTraits TraitsOf(const std::string& name) {
    for (const FilterTraits& traits : kFilterTraits) {
        if (SameName(name, traits.name)) return traits;
    }
    return {nullptr, Counting::kWrittenBack, true};
}

struct StageSpec {
    std::string name;
    std::vector<std::pair<std::string, std::string>> properties;
};

// "NAME[:PROP=VALUE,...]"
bool ParseStage(const std::string& text, StageSpec* spec, std::string* error) {
    const auto colon = text.find(':');
    spec->name = text.substr(0, colon);
    if (spec->name.empty()) {
        *error = "a stage needs a component name: '" + text + "'";
        return false;
    }
    if (colon == std::string::npos) return true;
    std::string rest = text.substr(colon + 1);
    std::size_t at = 0;
    while (at <= rest.size()) {
        const auto comma = std::min(rest.find(',', at), rest.size());
        const std::string item = rest.substr(at, comma - at);
        const auto eq = item.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == item.size()) {
            *error = "expected PROP=VALUE in '" + text + "', not '" + item + "'";
            return false;
        }
        spec->properties.emplace_back(item.substr(0, eq), item.substr(eq + 1));
        at = comma + 1;
    }
    return true;
}

// A property value: an int32, or a float when written with a point or an exponent.
struct PropertyValue {
    bool isFloat = false;
    int32_t integer = 0;
    float real = 0.0f;
};

bool ParseValue(const std::string& text, PropertyValue* value, std::string* error) {
    char* end = nullptr;
    errno = 0;
    const bool looksFloat = text.find_first_of(".eE") != std::string::npos && text.find_first_of("xX") == std::string::npos;
    if (looksFloat) {
        const double parsed = std::strtod(text.c_str(), &end);
        if (*end != 0 || errno != 0 || !std::isfinite(parsed) || std::fabs(parsed) > 2147483647.0) {
            *error = "'" + text + "' is not a usable number";
            return false;
        }
        value->isFloat = true;
        value->real = static_cast<float>(parsed);
        value->integer = static_cast<int32_t>(parsed);
        return true;
    }
    const long long parsed = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != 0 || errno != 0 || parsed < INT32_MIN || parsed > INT32_MAX) {
        *error = "'" + text + "' is not a 32-bit integer";
        return false;
    }
    value->integer = static_cast<int32_t>(parsed);
    return true;
}

// Host-side settings of the mixer's output format.
bool IsMixerOutputSetting(const std::string& property) {
    return property == "OutChannels" || property == "OutBitsPerSample" || property == "OutSamplesPerSec";
}

bool KnowsProperty(IAudioIO* component, const char* name) {
    int32_t scratch[64] = {};  // room for a whole format block, should a component copy one
    return component->GetProperty(name, 0, scratch) == 0;
}

// One filter of the chain with the buffer its output goes into.
class Stage {
public:
    Stage(const std::string& name, FilterTraits traits, Component component, StreamFormat in, StreamFormat out)
        : name_(name), traits_(traits), component_(std::move(component)), in_(in), out_(out) {}

    IAudioIO* operator->() const { return component_.get(); }

    // Processes one block and appends the output to `sink`.  Returns "" or what failed.
    std::string Feed(const uint8_t* data, int32_t bytes, std::vector<uint8_t>& sink) {
        if (bytes <= 0) return "";
        switch (traits_.counting) {
            case Counting::kMix: return FeedMixer(data, bytes, sink);
            case Counting::kSameSizeNotWritten: {
                Reserve(bytes);
                int32_t inBytes = bytes, outBytes = bytes;
                const int32_t code = component_->Process(data, &inBytes, scratch_.data(), &outBytes);
                if (code < 0) return ProcessFailed(code);
                sink.insert(sink.end(), scratch_.begin(), scratch_.begin() + bytes);
                Measure(code, false);
                return "";
            }
            case Counting::kRepeatWhileUnchanged: {
                Reserve(bytes);
                for (int call = 0; call < kMaxCallsPerBlock; ++call) {
                    int32_t inBytes = bytes, outBytes = bytes;
                    // A muted block leaves the output untouched: it is written as silence.
                    std::fill(scratch_.begin(), scratch_.begin() + bytes, uint8_t{0});
                    const int32_t code = component_->Process(data, &inBytes, scratch_.data(), &outBytes);
                    if (code < 0) return ProcessFailed(code);
                    sink.insert(sink.end(), scratch_.begin(), scratch_.begin() + bytes);
                    Measure(code, inBytes == bytes);
                    if (inBytes != bytes) return "";  // consumed
                }
                return name_ + " kept asking for the same block";
            }
            case Counting::kWrittenBack: break;
        }
        // Room for the rate change plus slack; a filter that runs out of room consumes less
        // and is called again with the rest.
        const double ratio = in_.rate > 0 ? static_cast<double>(out_.rate) / in_.rate : 1.0;
        Reserve(static_cast<int32_t>(std::min(1e9, std::ceil(bytes * std::max(1.0, ratio)) + 64)));
        for (int32_t at = 0; at < bytes;) {
            int32_t inBytes = bytes - at;
            int32_t outBytes = static_cast<int32_t>(scratch_.size());
            const int32_t code = component_->Process(data + at, &inBytes, scratch_.data(), &outBytes);
            if (code < 0) return ProcessFailed(code);
            if (inBytes < 0 || inBytes > bytes - at || outBytes < 0 || outBytes > static_cast<int32_t>(scratch_.size())) {
                return name_ + " reported impossible byte counts";
            }
            if (inBytes == 0 && outBytes == 0) return name_ + " made no progress";
            sink.insert(sink.end(), scratch_.begin(), scratch_.begin() + outBytes);
            at += inBytes;
        }
        return "";
    }

    std::string ProcessFailed(int32_t code) const { return name_ + ": Process returned " + ResultText(code); }

    // One meter line for the blocks since the last one; nothing for filters without a meter.
    void PrintMeter(double atSeconds) {
        if (meter_.calls == 0) return;
        const double peakDb = meter_.peak > 0 ? 20.0 * std::log10(meter_.peak / 32767.0) : -96.3;
        std::printf("meter %7.2f s %s: peak %6.1f dBFS", atSeconds, name_.c_str(), peakDb);
        if (traits_.counting == Counting::kRepeatWhileUnchanged) {
            std::printf(", gate %s", meter_.muted == 0 ? "open" : "muted");
            if (meter_.muted != 0 && meter_.muted != meter_.calls) std::printf(" %d of %d blocks", meter_.muted, meter_.calls);
            if (meter_.preRoll != 0) std::printf(", %d pre-roll call%s", meter_.preRoll, meter_.preRoll == 1 ? "" : "s");
        }
        std::printf("\n");
        meter_ = Meter{};
    }

private:
    static constexpr int kMaxCallsPerBlock = 1000;

    // Per-second metering of the pre-processor and the amplifier.
    struct Meter {
        int32_t peak = 0;
        int calls = 0, muted = 0, preRoll = 0;
    };
    void Measure(int32_t result, bool fromPreRoll) {
        int32_t level = 0;
        if (component_->GetProperty("MaxLevel", 0, &level) == 0) meter_.peak = std::max(meter_.peak, level);
        ++meter_.calls;
        // The pre-processor returns 0 for a block it holds back; a block of digital silence
        // (MaxLevel 0) returns 0 too and is not counted.
        if (traits_.counting == Counting::kRepeatWhileUnchanged && result == 0 && level > 0) ++meter_.muted;
        if (fromPreRoll) ++meter_.preRoll;
    }

    void Reserve(int32_t bytes) {
        if (scratch_.size() < static_cast<std::size_t>(bytes)) scratch_.resize(static_cast<std::size_t>(bytes));
    }

    std::string FeedMixer(const uint8_t* data, int32_t bytes, std::vector<uint8_t>& sink) {
        const int64_t inFrames = bytes / static_cast<int32_t>(in_.FrameBytes());
        const int64_t outFrames = inFrames * out_.rate / std::max<uint32_t>(in_.rate, 1);
        int32_t outBytes = static_cast<int32_t>(outFrames * out_.FrameBytes());
        Reserve(outBytes);
        int32_t inBytes = bytes;
        int32_t code = component_->Process(nullptr, &inBytes, scratch_.data(), &outBytes);  // clear the bus
        if (code == 0) code = component_->Process(data, &inBytes, scratch_.data(), &outBytes);
        if (code < 0) return ProcessFailed(code);
        sink.insert(sink.end(), scratch_.begin(), scratch_.begin() + outBytes);
        return "";
    }

    std::string name_;
    FilterTraits traits_;
    Component component_;
    StreamFormat in_, out_;
    std::vector<uint8_t> scratch_;
    Meter meter_;
};

// Makes and configures a stage for `spec` taking `format`; on success sets *format to the
// stage's output.  Returns "" or what failed.
std::string SetUpStage(const StageSpec& spec, StreamFormat* format, std::vector<std::unique_ptr<Stage>>& stages) {
    const FilterTraits traits = TraitsOf(spec.name);
    if (traits.needsMono16 && !format->IsMono16()) {
        // Bring the stream to 16-bit mono with the engine's own mixer.
        StageSpec convert{"MixerAudioFilter", {{"OutChannels", "1"}, {"OutBitsPerSample", "16"}}};
        std::fprintf(stderr, "chain: %s takes 16-bit mono: mixing %s down for it\n", spec.name.c_str(), format->Text().c_str());
        const std::string error = SetUpStage(convert, format, stages);
        if (!error.empty()) return "converting " + format->Text() + " for " + spec.name + ": " + error;
    }
    ComponentSetup setup(spec.name.c_str());
    if (!setup.exists()) return setup.error();
    StreamFormat out = *format;

    // The stream's rate, unless the command line sets it.
    for (const char* rateName : {"SamplesPerSec", "InSamplesPerSec"}) {
        const bool given = std::any_of(spec.properties.begin(), spec.properties.end(),
                                       [&](const auto& p) { return p.first == rateName; });
        if (!given && KnowsProperty(setup.operator->(), rateName)) setup.Set(rateName, static_cast<int32_t>(format->rate));
    }
    if (!setup.error().empty()) return setup.error();
    // The mixer's formats come first: "Angle" reads the input rate when it is set.
    for (const auto& [property, text] : spec.properties) {
        if (traits.counting != Counting::kMix || !IsMixerOutputSetting(property)) continue;
        PropertyValue value;
        std::string error;
        if (!ParseValue(text, &value, &error)) return spec.name + ": " + property + ": " + error;
        if (property == "OutChannels") out.channels = static_cast<uint16_t>(value.integer);
        if (property == "OutBitsPerSample") out.bits = static_cast<uint16_t>(value.integer);
        if (property == "OutSamplesPerSec") out.rate = static_cast<uint32_t>(value.integer);
    }
    if (traits.counting == Counting::kMix) {
        setup.Set("InWaveFormat", format->Wave(), sizeof(WAVEFORMATEX))
            .Set("OutWaveFormat", out.Wave(), sizeof(WAVEFORMATEX));
    }
    for (const auto& [property, text] : spec.properties) {
        if (!setup.error().empty()) return setup.error();
        if (traits.counting == Counting::kMix && IsMixerOutputSetting(property)) continue;
        PropertyValue value;
        std::string error;
        if (!ParseValue(text, &value, &error)) return spec.name + ": " + property + ": " + error;
        if (value.isFloat) {
            setup.Set(property.c_str(), value.integer, &value.real, text);
        } else {
            setup.Set(property.c_str(), value.integer);
        }
    }
    std::string error;
    Component component = setup.Start(&error);
    if (!component) return error;
    int32_t outRate = 0;
    if (traits.counting != Counting::kMix && component->GetProperty("OutSamplesPerSec", 0, &outRate) == 0 && outRate > 0) {
        out.rate = static_cast<uint32_t>(outRate);
    }
    stages.push_back(std::make_unique<Stage>(spec.name, traits, std::move(component), *format, out));
    *format = out;
    return "";
}

// The pre-processor runs without its companion library, doing less: say so, once.
void NoteMissingCompanion() {
    static bool noted = false;
    char problem[512];
    if (noted || ZelmarCompanionStatus(problem, sizeof problem) == 0) return;
    noted = true;
    std::fprintf(stderr,
                 "zelmar: note: PreProcessAudioFilter runs without its companion library (%s): no IIR "
                 "filters, no noise suppression, and pitch-based voice detection (VADType 1 or 2) hears "
                 "every frame as unvoiced\n",
                 problem);
}

}  // namespace

int RunChain(int argc, char** argv) {
    Options options;
    std::string error;
    if (!options.Parse("chain", argc, argv, {"-i", "-o", "--block"}, {"--meter"}, &error)) return Fail(error);
    const bool meter = options.Has("--meter");
    const std::string input = options.Text("-i"), output = options.Text("-o");
    if (input.empty() || output.empty()) return Fail("chain needs -i IN.wav and -o OUT.wav (see zelmar chain --help)");
    double blockMs = 20;
    if (!options.Number("--block", 1, 1000, &blockMs, &error)) return Fail(error);
    if (options.Positional().empty()) return Fail("chain needs at least one component (see zelmar chain --help)");

    // Any file libsndfile reads comes in as 16-bit PCM, more than two channels mixed to mono.
    InputFile source;
    if (!(error = source.Open(input)).empty()) return Fail(error);
    if (!source.conversion().empty()) {
        std::fprintf(stderr, "chain: read %s as %s\n", source.name().c_str(), source.conversion().c_str());
    }
    WavProbe probe;
    if (!(error = ProbeWav(source.path(), &probe)).empty()) return Fail(error);
    const WAVEFORMATEX& wave = probe.format;
    if (wave.wFormatTag != 1 || (wave.nChannels != 1 && wave.nChannels != 2) ||
        (wave.wBitsPerSample != 8 && wave.wBitsPerSample != 16) || wave.nSamplesPerSec == 0) {
        return Fail(source.name() + " is " + DescribeFormat(wave) + "; chain takes 8- or 16-bit PCM, mono or stereo");
    }
    StreamFormat format{wave.nSamplesPerSec, wave.nChannels, wave.wBitsPerSample};
    const StreamFormat inputFormat = format;

    std::vector<std::unique_ptr<Stage>> stages;
    for (const std::string& text : options.Positional()) {
        StageSpec spec;
        if (!ParseStage(text, &spec, &error)) return Fail(error);
        if (!(error = SetUpStage(spec, &format, stages)).empty()) return Fail(error);
        if (SameName(spec.name, "PreProcessAudioFilter")) NoteMissingCompanion();
    }

    WavInput reader;
    if (!(error = reader.Open(source.path(), probe)).empty()) return Fail(error);
    CatchStopSignals();
    OutputFile target;
    if (!(error = target.Open(output)).empty()) return Fail(error);
    WavRecording recording;
    if (!(error = recording.Open(target.path(), format.Wave())).empty()) return Fail(error);

    const uint32_t frameBytes = inputFormat.FrameBytes();
    const uint32_t totalFrames = probe.dataBytes / frameBytes;
    const uint32_t blockFrames = std::max<uint32_t>(1, static_cast<uint32_t>(inputFormat.rate * blockMs / 1000.0));
    std::vector<uint8_t> block(static_cast<std::size_t>(blockFrames) * frameBytes);
    std::vector<uint8_t> current, next;
    Progress progress("chain");
    const auto began = std::chrono::steady_clock::now();
    uint32_t done = 0;
    while (done < totalFrames && !StopRequested()) {
        const uint32_t frames = std::min(blockFrames, totalFrames - done);
        const int32_t got = reader.Read(block.data(), static_cast<int32_t>(frames * frameBytes));
        if (got < 0) return FailKeeping(recording, "reading " + source.name() + ": " + ResultText(got));
        current.assign(block.begin(), block.begin() + got);
        for (auto& stage : stages) {
            next.clear();
            if (!(error = stage->Feed(current.data(), static_cast<int32_t>(current.size()), next)).empty()) {
                return FailKeeping(recording, error);
            }
            current.swap(next);
        }
        if (!(error = recording.Write(current.data(), static_cast<int32_t>(current.size()))).empty()) {
            return FailKeeping(recording, "writing " + target.name() + " failed: " + error);
        }
        done += frames;
        if (meter && (done / inputFormat.rate != (done - frames) / inputFormat.rate || done == totalFrames)) {
            for (auto& stage : stages) stage->PrintMeter(static_cast<double>(done) / inputFormat.rate);
        }
        progress.Update(static_cast<double>(done) / totalFrames);
    }
    progress.Done();
    for (auto& stage : stages) (*stage)->Stop();
    if (!(error = recording.Finish()).empty() || !(error = target.Finish()).empty()) return Fail(error);
    const double elapsed = SecondsSince(began);
    const double secondsIn = static_cast<double>(done) / inputFormat.rate;
    const double secondsOut = static_cast<double>(recording.bytes() / format.FrameBytes()) / format.rate;
    std::fprintf(Report(), "chain: %zu stage%s, in %.3f s (%s), out %.3f s (%s), %.0fx real time%s\n", stages.size(),
                stages.size() == 1 ? "" : "s", secondsIn, inputFormat.Text().c_str(), secondsOut, format.Text().c_str(),
                RealTimeFactor(secondsIn, elapsed), StoppedNote());
    return StopRequested() ? StoppedStatus() : 0;
}

}  // namespace cli
