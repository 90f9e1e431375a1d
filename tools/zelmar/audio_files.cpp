#include "audio_files.h"

#include <sndfile.h>
#include <soxr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "cli.h"
#include "wav_file.h"

namespace cli {
namespace {

bool stdoutCarriesAudio = false;

// A new empty file in the temporary directory, its name ending in `suffix`; "" on failure.
std::string MakeTemporary(const char* suffix) {
    const char* directory = std::getenv("TMPDIR");
    std::string name = std::string(directory != nullptr && *directory != 0 ? directory : "/tmp") + "/zelmar-XXXXXX" + suffix;
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back(0);
    const int fd = ::mkstemps(buffer.data(), static_cast<int>(std::strlen(suffix)));
    if (fd < 0) return "";
    ::close(fd);
    return buffer.data();
}

// Copies everything from `from` to `to`; false on a failed write.
bool CopyStream(int from, int to) {
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(from, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return got == 0;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(to, chunk + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return false;
            done += put;
        }
    }
}

std::string FormatName(const SF_INFO& info) {
    SF_FORMAT_INFO major{}, minor{};
    major.format = info.format & SF_FORMAT_TYPEMASK;
    minor.format = info.format & SF_FORMAT_SUBMASK;
    std::string text = sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof major) == 0 ? major.name : "audio";
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &minor, sizeof minor) == 0) text += std::string(", ") + minor.name;
    return text;
}

std::string Channels(int channels) {
    return channels == 1 ? "mono" : channels == 2 ? "stereo" : std::to_string(channels) + " channels";
}

struct SoundFile {
    SNDFILE* handle = nullptr;
    ~SoundFile() {
        if (handle != nullptr) sf_close(handle);
    }
};

struct Resampler {
    soxr_t handle = nullptr;
    ~Resampler() {
        if (handle != nullptr) soxr_delete(handle);
    }
};

}  // namespace

FILE* Report() { return stdoutCarriesAudio ? stderr : stdout; }

InputFile::~InputFile() {
    for (const std::string& file : temporaries_) ::unlink(file.c_str());
}

std::string InputFile::OpenAsItIs(const std::string& path) {
    name_ = path == "-" ? "standard input" : path;
    enginePath_ = path;
    if (path != "-") return WhyNotReadable(path);
    enginePath_ = MakeTemporary(".in");
    if (enginePath_.empty()) return "cannot keep standard input: " + std::string(std::strerror(errno));
    temporaries_.push_back(enginePath_);
    FILE* keep = std::fopen(enginePath_.c_str(), "wb");
    const bool copied = keep != nullptr && CopyStream(STDIN_FILENO, ::fileno(keep));
    if (keep == nullptr || std::fclose(keep) != 0 || !copied) return "cannot keep standard input in " + enginePath_;
    return "";
}

std::string InputFile::Open(const std::string& path, const InputNeeds& needs) {
    std::string error = OpenAsItIs(path);
    if (!error.empty()) return error;
    const std::string source = enginePath_;
    // A PCM WAV the engine reads, at a rate and width the path takes, is used as it is.
    WavProbe probe;
    if (ProbeWav(source, &probe).empty()) {
        const auto& f = probe.format;
        if (f.wFormatTag == 1 && (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) && f.nChannels >= 1 &&
            f.nChannels <= needs.maxChannels && needs.rateFor(static_cast<int>(f.nSamplesPerSec)) == 0) {
            enginePath_ = source;
            return "";
        }
    }
    return Convert(source, needs);
}

std::string InputFile::Convert(const std::string& source, const InputNeeds& needs) {
    SF_INFO in{};
    SoundFile reader;
    reader.handle = sf_open(source.c_str(), SFM_READ, &in);
    if (reader.handle == nullptr) return name_ + " is not an audio file zelmar can read (" + sf_strerror(nullptr) + ")";
    if (in.channels < 1 || in.samplerate < 1) return name_ + " holds no audio zelmar can use";
    const int channels = in.channels <= needs.maxChannels ? in.channels : 1;
    mixedDown_ = channels != in.channels;
    const int wanted = needs.rateFor(in.samplerate);
    const int rate = wanted > 0 ? wanted : in.samplerate;

    const std::string target = MakeTemporary(".wav");
    if (target.empty()) return "cannot make a temporary file: " + std::string(std::strerror(errno));
    temporaries_.push_back(target);
    SF_INFO out{};
    out.samplerate = rate;
    out.channels = channels;
    out.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SoundFile writer;
    writer.handle = sf_open(target.c_str(), SFM_WRITE, &out);
    if (writer.handle == nullptr) return "cannot write " + target + ": " + sf_strerror(nullptr);
    // Float samples beyond full scale are clipped when written as 16-bit.
    sf_command(writer.handle, SFC_SET_CLIPPING, nullptr, SF_TRUE);

    Resampler resampler;
    if (rate != in.samplerate) {
        soxr_error_t error = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        resampler.handle = soxr_create(in.samplerate, rate, static_cast<unsigned>(channels), &error, &io, &quality, nullptr);
        if (resampler.handle == nullptr) return "cannot resample " + name_ + ": " + (error != nullptr ? error : "");
    }
    constexpr sf_count_t kFrames = 4096;
    std::vector<float> block(static_cast<size_t>(kFrames * in.channels)), mixed(static_cast<size_t>(kFrames * channels));
    std::vector<float> resampled(static_cast<size_t>(kFrames * channels) * (rate / in.samplerate + 2) + 64);
    auto write = [&](const float* samples, size_t frames) {
        return sf_writef_float(writer.handle, samples, static_cast<sf_count_t>(frames)) == static_cast<sf_count_t>(frames);
    };
    // Pushes `frames` of `mixed` (null: the end) through the resampler, if any, into the file.
    auto emit = [&](const float* samples, size_t frames) {
        if (resampler.handle == nullptr) return samples == nullptr || write(samples, frames);
        const size_t room = resampled.size() / static_cast<size_t>(channels);
        for (bool more = true; more;) {
            size_t used = 0, made = 0;
            soxr_process(resampler.handle, samples, frames, &used, resampled.data(), room, &made);
            if (made > 0 && !write(resampled.data(), made)) return false;
            if (samples != nullptr) {
                samples += used * static_cast<size_t>(channels);
                frames -= used;
                more = frames > 0 || made == room;
            } else {
                more = made > 0;
            }
        }
        return true;
    };
    sf_count_t total = 0;
    for (sf_count_t got; (got = sf_readf_float(reader.handle, block.data(), kFrames)) > 0; total += got) {
        const float* frames = block.data();
        if (mixedDown_) {
            for (sf_count_t i = 0; i < got; ++i) {
                float sum = 0.0f;
                for (int c = 0; c < in.channels; ++c) sum += block[static_cast<size_t>(i * in.channels + c)];
                mixed[static_cast<size_t>(i)] = sum / static_cast<float>(in.channels);
            }
            frames = mixed.data();
        }
        if (!emit(frames, static_cast<size_t>(got))) return "cannot write " + target + ": " + sf_strerror(writer.handle);
    }
    if (!emit(nullptr, 0)) return "cannot write " + target + ": " + sf_strerror(writer.handle);
    if (total == 0) return name_ + " holds no audio";

    conversion_ = FormatName(in) + " " + std::to_string(in.samplerate) + " Hz " + Channels(in.channels) + " -> 16-bit PCM " +
                  std::to_string(rate) + " Hz " + Channels(channels);
    enginePath_ = target;
    return "";
}

OutputFile::~OutputFile() {
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

std::string OutputFile::Open(const std::string& path) {
    name_ = path == "-" ? "standard output" : path;
    if (path != "-") {
        path_ = path;
        return "";
    }
    temporary_ = MakeTemporary(".out");
    if (temporary_.empty()) return "cannot make a temporary file: " + std::string(std::strerror(errno));
    path_ = temporary_;
    stdoutCarriesAudio = true;
    return "";
}

std::string OutputFile::Finish() {
    if (temporary_.empty()) return "";
    std::fflush(stdout);
    FILE* kept = std::fopen(temporary_.c_str(), "rb");
    const bool copied = kept != nullptr && CopyStream(::fileno(kept), STDOUT_FILENO);
    if (kept != nullptr) std::fclose(kept);
    return copied ? "" : "cannot write to standard output: " + std::string(std::strerror(errno));
}

std::string ReadSoundFile(const std::string& path, const std::string& shown, SoundFileFacts* facts) {
    SF_INFO info{};
    SoundFile file;
    file.handle = sf_open(path.c_str(), SFM_READ, &info);
    if (file.handle == nullptr) return shown + " is not an audio file zelmar can read (" + sf_strerror(nullptr) + ")";
    *facts = SoundFileFacts{};
    facts->format = FormatName(info);
    facts->rate = info.samplerate;
    facts->channels = info.channels;
    facts->declaredFrames = info.frames;
    facts->peak.assign(static_cast<size_t>(info.channels), 0.0);
    std::vector<double> sumSquares(static_cast<size_t>(info.channels), 0.0);
    std::vector<double> block(static_cast<size_t>(4096 * info.channels));
    for (sf_count_t got; (got = sf_readf_double(file.handle, block.data(), 4096)) > 0; facts->frames += got) {
        for (sf_count_t i = 0; i < got * info.channels; ++i) {
            const size_t channel = static_cast<size_t>(i % info.channels);
            const double sample = block[static_cast<size_t>(i)];
            facts->peak[channel] = std::max(facts->peak[channel], std::fabs(sample));
            sumSquares[channel] += sample * sample;
        }
    }
    for (double sum : sumSquares) facts->rms.push_back(facts->frames > 0 ? std::sqrt(sum / facts->frames) : 0.0);
    return "";
}

}  // namespace cli
