// The sources of `zelmar voice`.
#include "voice_sources.h"

#include "audio_files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "wav_file.h"

// The speech sample embedded at build time (empty when the build had no espeak-ng).
extern "C" const unsigned char zelmar_voice_sample_begin[];
extern "C" const unsigned char zelmar_voice_sample_end[];

namespace cli {
namespace voice {

namespace {

constexpr int32_t kDeviceRate = 16000;     // capture devices and the generator
constexpr double kCaptureSeconds = 5.0;    // without --seconds
constexpr double kGeneratorSeconds = 10.0;  // without --seconds

// A PCM WAV in memory: the embedded sample.
bool ParseWav(const unsigned char* bytes, std::size_t size, WAVEFORMATEX* format, const int16_t** samples,
              std::size_t* count) {
    if (size < 12 || std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0) return false;
    bool haveFormat = false;
    for (std::size_t at = 12; at + 8 <= size;) {
        uint32_t chunkBytes;
        std::memcpy(&chunkBytes, bytes + at + 4, 4);
        const std::size_t body = at + 8;
        const std::size_t available = std::min<std::size_t>(chunkBytes, size - body);
        if (std::memcmp(bytes + at, "fmt ", 4) == 0 && available >= 16) {
            std::memcpy(format, bytes + body, 16);
            haveFormat = true;
        } else if (std::memcmp(bytes + at, "data", 4) == 0 && haveFormat) {
            *samples = reinterpret_cast<const int16_t*>(bytes + body);
            *count = available / 2;
            return true;
        }
        at = body + chunkBytes + (chunkBytes & 1);
    }
    return false;
}

// `samples`, cut to --seconds when it is given.
int64_t Limited(const Settings& settings, int64_t samples, int32_t rate) {
    if (settings.seconds <= 0) return samples;
    return std::min<int64_t>(samples, static_cast<int64_t>(settings.seconds * rate));
}

// --seconds of samples, or `fallbackSeconds` of them.
int64_t Lasting(const Settings& settings, double fallbackSeconds, int32_t rate) {
    return static_cast<int64_t>((settings.seconds > 0 ? settings.seconds : fallbackSeconds) * rate);
}

class MemorySource final : public Source {
public:
    MemorySource(const int16_t* samples, std::size_t count) : samples_(samples), count_(count) {}
    int32_t Read(int16_t* out, int32_t count) override {
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(count), count_ - position_);
        std::memcpy(out, samples_ + position_, n * 2);
        position_ += n;
        return static_cast<int32_t>(n);
    }

private:
    const int16_t* samples_;
    std::size_t count_;
    std::size_t position_ = 0;
};

// A component source (WAV reader or tone generator) limited to `totalSamples`.
class ComponentSource final : public Source {
public:
    ComponentSource(Component component, int64_t totalSamples)
        : component_(std::move(component)), remaining_(totalSamples) {}
    int32_t Read(int16_t* out, int32_t count) override {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, remaining_));
        if (n <= 0) return 0;
        const int32_t got = component_->GetData(out, n * 2);
        if (got <= 0) return 0;
        remaining_ -= got / 2;
        return got / 2;
    }

private:
    Component component_;
    int64_t remaining_;
};

// A WAV file, limited to `totalSamples`.
class FileSource final : public Source {
public:
    explicit FileSource(int64_t totalSamples) : remaining_(totalSamples) {}
    void Limit(int64_t totalSamples) { remaining_ = totalSamples; }
    WavInput& input() { return input_; }
    InputFile& file() { return file_; }
    int32_t Read(int16_t* out, int32_t count) override {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, remaining_));
        if (n <= 0) return 0;
        const int32_t got = input_.Read(out, n * 2);
        if (got <= 0) return 0;
        remaining_ -= got / 2;
        return got / 2;
    }

private:
    InputFile file_;  // first: it keeps a converted copy the reader reads
    WavInput input_;
    int64_t remaining_;
};

// A capture device: DSoundAudioIn (or DSoundAudioIn2) delivering 20 ms blocks in real time.
class DeviceSource final : public Source {
public:
    // `device` is `owned`, or a capture side owned elsewhere (`owned` then empty).
    DeviceSource(Component owned, IAudioIO* device, int64_t totalSamples, LevelMeter& meter)
        : owned_(std::move(owned)), device_(device), remaining_(totalSamples), meter_(meter) {}
    int32_t Read(int16_t* out, int32_t count) override {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, remaining_));
        if (n <= 0 || !failure_.empty()) return 0;
        const int32_t got = GetDeviceBlock(device_, out, count * 2);
        if (got != count * 2) {
            failure_ = "capture failed: " + ResultText(got);
            return 0;
        }
        LevelMeter::Note(meter_.inputPeak, out, n);
        remaining_ -= n;
        return n;
    }
    std::string failure() const override { return failure_; }
    void Stop() override { device_->Stop(); }

private:
    Component owned_;
    IAudioIO* device_;
    int64_t remaining_;
    LevelMeter& meter_;
    std::string failure_;
};

std::unique_ptr<Source> OpenCapture(const Settings& settings, LevelMeter& meter, SourceInfo* info, std::string* error,
                                    IAudioIO* paired) {
    const int32_t device = settings.captureDevice;
    // A pair runs both sides at the codec's rate: one format for the capture and the playback.
    info->rate = paired != nullptr ? kCodecRate : kDeviceRate;
    info->samples = Lasting(settings, kCaptureSeconds, info->rate);
    Component capture;
    if (paired == nullptr) {
        capture = CaptureSetup({info->rate, 1, 16, info->rate * kFrameMs / 1000, kCaptureBufferMs, device},
                               settings.generation)
                      .Start(error);
        if (!capture) {
            *error = "cannot open capture device " + std::to_string(device) + ": " + *error;
            return nullptr;
        }
    }
    IAudioIO* input = paired != nullptr ? paired : capture.get();
    std::fprintf(stderr, "%s\n", DeviceLine(input, true, device).c_str());
    std::string description;
    info->name = "capture device " + std::to_string(device);
    if (device >= 0 && TextProperty(input, "InDeviceName", device, &description) && !description.empty()) {
        info->name += " (" + description + ")";
    }
    info->component = paired != nullptr ? "DSoundAudioInOut (echo cancelled)"
                      : settings.generation == 2 ? "DSoundAudioIn2"
                                                 : "DSoundAudioIn";
    info->device = true;
    return std::make_unique<DeviceSource>(std::move(capture), input, info->samples, meter);
}

std::unique_ptr<Source> OpenFile(const Settings& settings, SourceInfo* info, std::string* error) {
    // Any file libsndfile reads, mixed to mono: the voice path takes 16-bit mono PCM.
    auto source = std::make_unique<FileSource>(0);
    InputNeeds mono;
    mono.maxChannels = 1;
    // Rates with a whole ratio to 16000 Hz are the path's resampler's; others go to 16 or 32 kHz.
    mono.rateFor = [](int rate) { return rate % 16000 == 0 || 16000 % rate == 0 ? 0 : rate >= 32000 ? 32000 : 16000; };
    if (!(*error = source->file().Open(settings.input, mono)).empty()) return nullptr;
    WavProbe probe;
    if (!(*error = ProbeWav(source->file().path(), &probe)).empty()) return nullptr;
    if (!IsMono16Pcm(probe.format)) {
        *error = source->file().name() + " is " + DescribeFormat(probe.format) + "; the voice path takes 16-bit mono PCM";
        return nullptr;
    }
    info->rate = static_cast<int32_t>(probe.format.nSamplesPerSec);
    info->samples = Limited(settings, probe.dataBytes / 2, info->rate);
    source->Limit(info->samples);
    if (!(*error = source->input().Open(source->file().path(), probe)).empty()) return nullptr;
    info->name = source->file().name();
    info->component = source->input().reader() == std::string("RIFFAudioIn") ? "RIFFAudioIn" : "(read by zelmar)";
    return source;
}

// Null when the build carries no usable sample.
std::unique_ptr<Source> OpenEmbeddedSpeech(const Settings& settings, SourceInfo* info) {
    const std::size_t bytes = static_cast<std::size_t>(zelmar_voice_sample_end - zelmar_voice_sample_begin);
    WAVEFORMATEX format{};
    const int16_t* samples = nullptr;
    std::size_t count = 0;
    if (bytes == 0 || !ParseWav(zelmar_voice_sample_begin, bytes, &format, &samples, &count) || !IsMono16Pcm(format)) {
        return nullptr;
    }
    info->rate = static_cast<int32_t>(format.nSamplesPerSec);
    info->samples = Limited(settings, static_cast<int64_t>(count), info->rate);
    info->name = "embedded speech (espeak-ng)";
    info->component = "(memory)";
    return std::make_unique<MemorySource>(samples, static_cast<std::size_t>(info->samples));
}

std::unique_ptr<Source> OpenGenerator(const Settings& settings, SourceInfo* info, std::string* error) {
    info->rate = kDeviceRate;
    info->samples = Lasting(settings, kGeneratorSeconds, info->rate);
    Component tone = ComponentSetup("WaveGeneratorAudioIn")
                         .Set("SamplesPerSec", info->rate)
                         .Set("BlockSamples", info->rate / 50)
                         .Set("Frequency", 440)
                         .Set("Amplitude", 30)
                         .Start(error);
    if (!tone) return nullptr;
    info->name = "440 Hz tone";
    info->component = "WaveGeneratorAudioIn";
    return std::make_unique<ComponentSource>(std::move(tone), info->samples);
}

}  // namespace

std::unique_ptr<Source> OpenSource(const Settings& settings, LevelMeter& meter, SourceInfo* info, std::string* error,
                                   IAudioIO* paired) {
    if (settings.captureDevice != Settings::kNoDevice) return OpenCapture(settings, meter, info, error, paired);
    if (!settings.input.empty()) return OpenFile(settings, info, error);
    if (!settings.generator) {
        if (auto speech = OpenEmbeddedSpeech(settings, info)) return speech;
        std::printf("note: this build has no embedded speech (espeak-ng was missing); using the tone generator\n");
    }
    return OpenGenerator(settings, info, error);
}

}  // namespace voice
}  // namespace cli
