// zelmar voice: the engine's voice path end to end, built from its components.
//
//   talker thread:    source -> PreProcessAudioFilter -> ResampleAudioFilter (to 32 kHz)
//                     -> Siren14AudioFilter (encode, one coded frame per 20 ms) -> network
//   network thread:   network -> Siren14AudioFilter (decode, lost frames concealed)
//                     -> RingBufferAudioInOut (PutData)
//   listener thread:  RingBufferAudioInOut (GetData, on its own clock) -> RIFFAudioOut
//
// The source may be a capture device (DSoundAudioIn) and the listener may play to a playback
// device (DSoundAudioOut); a device paces its side of the path in real time.
//
// The network is either real UDP datagrams on 127.0.0.1 (UDPAudioOut -> UDPAudioIn, two coded
// frames per 40 ms datagram) or an in-process channel that delays each frame by a random
// jitter and drops a given share of them.  A stage whose component this library lacks is
// skipped and named as such.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "path_clock.h"

// The speech sample embedded at build time (empty when the build had no espeak-ng).
extern "C" const unsigned char zelmar_voice_sample_begin[];
extern "C" const unsigned char zelmar_voice_sample_end[];

namespace cli {

const char kVoiceUsage[] =
    "usage: zelmar voice [--input FILE.wav | --generator] [-o FILE.wav] [--seconds S]\n"
    "                    [--network channel|udp] [--jitter MS] [--loss PERCENT] [--seed N]\n"
    "                    [--port N] [--bitrate 24000|32000|48000] [--buffer-ms MS]\n"
    "                    [--drift PPM] [--record-at STAGE[,STAGE...]] [--agc] [--realtime]\n"
    "                    [--capture N] [--playback N]\n"
    "Runs speech through the voice path: pre-processing, resampling to 32 kHz, Siren14\n"
    "encoding, a network between two threads, Siren14 decoding with loss concealment, and a\n"
    "jitter-absorbing ring buffer read on the listener's own clock; records the result.\n"
    "  --input FILE.wav  16-bit mono PCM source (default: the embedded speech sample)\n"
    "  --generator       a 440 Hz test tone at 16 kHz instead of speech\n"
    "  -o FILE.wav       output (default voice-out.wav)\n"
    "  --seconds S       use at most S seconds of the source, 0.1..3600\n"
    "  --network N       channel: in-process, with jitter and loss (default); udp: real\n"
    "                    datagrams on 127.0.0.1 (always real time)\n"
    "  --jitter MS       channel delay, uniform in 0..MS, 0..1000 (default 30)\n"
    "  --loss PERCENT    channel frames lost at random, 0..100 (default 2)\n"
    "  --seed N          random seed of the channel (default 1)\n"
    "  --port N          UDP port, 1024..65535 (default: the first free one from 45000)\n"
    "  --bitrate B       Siren14 bit rate (default 32000)\n"
    "  --buffer-ms MS    ring buffer target fill, 2..1000 (default 120)\n"
    "  --drift PPM       listener clock offset in parts per million, -50000..50000\n"
    "                    (default -3125: it takes 31 900 samples per producer second)\n"
    "  --record-at LIST  also record stages: source, preprocess, resample, decode\n"
    "                    (files voice-STAGE.wav beside the output)\n"
    "  --agc             turn on the pre-processor's automatic gain control\n"
    "  --realtime        pace in real time (default: offline, on a virtual clock)\n"
    "  --capture N       speak into capture device N of 'zelmar devices' (-1: the default)\n"
    "                    for --seconds (default 5), 16 kHz; shows a level meter\n"
    "  --playback N      play the listener's audio on playback device N (-1: the default);\n"
    "                    the device's clock paces the listener, so no --drift; the file is\n"
    "                    written only when -o is given\n";

namespace {

constexpr int32_t kCodecRate = 32000;
constexpr int32_t kFrameMs = 20;
constexpr int32_t kCodecFrameSamples = kCodecRate * kFrameMs / 1000;  // 640
constexpr int32_t kFramesPerDatagram = 2;                              // 40 ms per datagram
constexpr int64_t kFrameUs = kFrameMs * 1000;
constexpr int32_t kPlaybackBufferMs = 200;

enum Participant { kTalker = 0, kNetwork = 1, kListener = 2, kParticipants = 3 };

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// What one stage did: filled by the thread that runs it, read after the threads are joined.
struct Stage {
    explicit Stage(const char* stageName, const char* componentName = "") : name(stageName), component(componentName) {}
    std::string name;
    std::string component;
    bool used = false;
    std::string skipped;  // why it did not run
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
    double cpuSeconds = 0;
    double audioSeconds = 0;
    std::string notes;
};

// Adds the calling thread's CPU time between construction and destruction to a stage.
class CpuSpan {
public:
    explicit CpuSpan(Stage& stage) : stage_(stage), start_(ThreadCpuSeconds()) {}
    ~CpuSpan() { stage_.cpuSeconds += ThreadCpuSeconds() - start_; }

private:
    Stage& stage_;
    double start_;
};

std::string Thousands(uint64_t value) {
    std::string digits = std::to_string(value), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

int32_t Set(Component& component, const char* name, int32_t value, std::string* failure) {
    int32_t scratch = value;  // some setters want a non-null data pointer
    const int32_t code = component->SetProperty(name, value, &scratch);
    if (code != 0 && failure->empty()) *failure = std::string(name) + ": " + ResultText(code);
    return code;
}

uint32_t GetU32(Component& component, const char* name) {
    uint32_t value = 0;
    return component->GetProperty(name, 0, &value) == 0 ? value : 0;
}

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

// The source: blocks of 20 ms at the source rate.
class Source {
public:
    virtual ~Source() = default;
    // Fills up to `count` samples; returns how many (0 at the end).
    virtual int32_t Read(int16_t* samples, int32_t count) = 0;
};

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
    ComponentSource(const char* name, int64_t totalSamples) : component(name), remaining_(totalSamples) {}
    int32_t Read(int16_t* out, int32_t count) override {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, remaining_));
        if (n <= 0) return 0;
        const int32_t got = component->GetData(out, n * 2);
        if (got <= 0) return 0;
        remaining_ -= got / 2;
        return got / 2;
    }
    Component component;

private:
    int64_t remaining_;
};

// Peak levels of the last blocks on each side, for the live meter.
struct LevelMeter {
    std::atomic<int> inputPeak{0};
    std::atomic<int> outputPeak{0};
    static void Note(std::atomic<int>& peak, const int16_t* samples, int32_t count) {
        int highest = 0;
        for (int32_t i = 0; i < count; ++i) highest = std::max(highest, std::abs(static_cast<int>(samples[i])));
        int seen = peak.load();
        while (highest > seen && !peak.compare_exchange_weak(seen, highest)) {
        }
    }
};

// A capture device: DSoundAudioIn delivering 20 ms blocks in real time.
class DeviceSource final : public Source {
public:
    DeviceSource(int64_t totalSamples, LevelMeter& meter)
        : component("DSoundAudioIn"), remaining_(totalSamples), meter_(meter) {}
    std::string Open(int32_t device, int32_t rate) {
        if (!component) return "this library lacks DSoundAudioIn";
        std::string failure;
        Set(component, "SamplesPerSec", rate, &failure);
        Set(component, "Channels", 1, &failure);
        Set(component, "BitsPerSample", 16, &failure);
        Set(component, "BlockSamples", rate * kFrameMs / 1000, &failure);
        Set(component, "InBufferTime", 200, &failure);
        Set(component, "InDeviceNo", device, &failure);
        if (!failure.empty()) return "DSoundAudioIn refused " + failure;
        int32_t code;
        if ((code = component->Build()) != 0) return "cannot open capture device " + std::to_string(device) + ": " + ResultText(code);
        char name[1024] = {};
        if (device >= 0 && component->GetProperty("InDeviceName", device, name) == 0) description = name;
        if ((code = component->Start()) != 0) return "cannot start capturing: " + ResultText(code);
        return "";
    }
    int32_t Read(int16_t* out, int32_t count) override {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, remaining_));
        if (n <= 0 || failed_) return 0;
        int32_t got = 0;
        // A time-out means the block is not complete yet: ask again (for up to a few seconds).
        for (int timeouts = 0; timeouts < 300; ++timeouts) {
            got = component->GetData(out, count * 2);
            if (got != ZELMAR_E_TIMEOUT) break;
        }
        if (got != count * 2) {
            failure = "capture failed: " + ResultText(got);
            failed_ = true;
            return 0;
        }
        LevelMeter::Note(meter_.inputPeak, out, n);
        remaining_ -= n;
        return n;
    }
    Component component;
    std::string description;
    std::string failure;

private:
    int64_t remaining_;
    LevelMeter& meter_;
    bool failed_ = false;
};

// A recording of one stage, when asked for.
class Recorder {
public:
    Recorder() = default;
    std::string Open(const std::string& path, int32_t rate) {
        writer_ = std::make_unique<Component>("RIFFAudioOut");
        if (!*writer_) return "this library lacks RIFFAudioOut";
        const WAVEFORMATEX format{1, 1, static_cast<uint32_t>(rate), static_cast<uint32_t>(rate) * 2, 2, 16, 0};
        int32_t code;
        if ((code = (*writer_)->SetProperty("Filename", 0, const_cast<char*>(path.c_str()))) != 0 ||
            (code = (*writer_)->SetProperty("WaveFormat", 0, const_cast<WAVEFORMATEX*>(&format))) != 0 ||
            (code = (*writer_)->Build()) != 0 || (code = (*writer_)->Start()) != 0) {
            writer_.reset();
            return "cannot record " + path + ": " + ResultText(code);
        }
        path_ = path;
        return "";
    }
    void Write(const int16_t* samples, int32_t count) {
        if (writer_ && count > 0 && (*writer_)->PutData(samples, count * 2) != count * 2) failed_ = true;
    }
    void Close() {
        if (writer_) (*writer_)->Stop();
        writer_.reset();
    }
    bool active() const { return writer_ != nullptr; }
    bool failed() const { return failed_; }
    const std::string& path() const { return path_; }

private:
    std::unique_ptr<Component> writer_;
    std::string path_;
    bool failed_ = false;
};

// One coded frame on its way through the network.
struct Packet {
    uint32_t sequence;
    int64_t arrivalUs;
    std::vector<uint8_t> payload;
};

// The in-process network: frames arrive after a random delay, some never; it shares the
// path clock's lock, so a waiting receiver sees a frame the moment it is due.
class Channel {
public:
    Channel(PathClock& clock, double jitterMs, double lossPercent, uint32_t seed)
        : clock_(clock), random_(seed), delayUs_(0.0, jitterMs * 1000.0), lost_(lossPercent / 100.0) {}

    void Send(uint32_t sequence, const uint8_t* frame, int32_t bytes) {
        std::lock_guard<std::mutex> hold(clock_.mutex());
        ++sent_;
        if (lost_.p() > 0 && lost_(random_)) {
            ++dropped_;
            return;
        }
        // One route: frames are delayed by different amounts but never overtake each other.
        const int64_t arrival = std::max(lastArrivalUs_, clock_.NowUsLocked() + static_cast<int64_t>(delayUs_(random_)));
        lastArrivalUs_ = arrival;
        queue_.push_back({sequence, arrival, std::vector<uint8_t>(frame, frame + bytes)});
        clock_.Notify();
    }
    void Close() {
        std::lock_guard<std::mutex> hold(clock_.mutex());
        closed_ = true;
        clock_.Notify();
    }
    // Blocks until the earliest frame is due; false once the channel is closed and empty.
    bool Receive(Packet* packet) {
        std::unique_lock<std::mutex> lock(clock_.mutex());
        clock_.WaitUntil(kNetwork, lock, [this] {
            if (queue_.empty()) return closed_ ? int64_t{0} : PathClock::kNever;
            return Earliest()->arrivalUs;
        });
        if (queue_.empty() || clock_.stalled()) return false;
        auto earliest = Earliest();
        *packet = std::move(*earliest);
        queue_.erase(earliest);
        return true;
    }
    uint64_t sent() const { return sent_; }
    uint64_t dropped() const { return dropped_; }

private:
    std::deque<Packet>::iterator Earliest() {
        return std::min_element(queue_.begin(), queue_.end(),
                                [](const Packet& a, const Packet& b) { return a.arrivalUs < b.arrivalUs; });
    }

    PathClock& clock_;
    std::mt19937 random_;
    std::uniform_real_distribution<double> delayUs_;
    std::bernoulli_distribution lost_;
    std::deque<Packet> queue_;
    bool closed_ = false;
    int64_t lastArrivalUs_ = 0;
    uint64_t sent_ = 0;
    uint64_t dropped_ = 0;
};

struct Settings {
    std::string output = "voice-out.wav";
    std::string input;
    bool generator = false;
    double seconds = 0;
    bool udp = false;
    double jitterMs = 30, lossPercent = 2, seed = 1, port = 0, bitrate = 32000, bufferMs = 120, driftPpm = -3125;
    std::vector<std::string> recordAt;
    bool realtime = false;
    bool agc = false;
    bool writeFile = true;
    int32_t captureDevice = kNoDevice;
    int32_t playbackDevice = kNoDevice;
    static constexpr int32_t kNoDevice = -2;
};

std::string RecordPath(const std::string& output, const std::string& stage) {
    const auto slash = output.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : output.substr(0, slash + 1);
    return dir + "voice-" + stage + ".wav";
}

class VoicePath {
public:
    explicit VoicePath(const Settings& settings) : settings_(settings) {}
    int Run();

private:
    std::string Prepare();
    void Talker();
    void NetworkReceiver();
    void Listener();
    void DecodeInto(const uint8_t* frame, int32_t frames);  // frame null: conceal `frames`
    void PutIntoRing(const int16_t* samples, int32_t count);
    void PrintTable(double wallSeconds);
    // `counted`: the block is the path's audio (not the silence after it) and goes in the table.
    bool PlayBlock(const int16_t* samples, int32_t count, bool counted = true);
    void ShowMeter(const std::atomic<bool>& finished);

    const Settings& settings_;
    std::unique_ptr<Source> source_;
    std::string sourceName_;
    int32_t sourceRate_ = 0;
    int64_t sourceSamples_ = 0;
    int32_t pathRate_ = kCodecRate;  // rate after the resampler (the source's when it is skipped)

    std::unique_ptr<Component> preprocess_, resample_, encoder_, decoder_, ring_, writer_;
    std::unique_ptr<Component> udpOut_, udpIn_;
    std::unique_ptr<Component> player_;  // the playback device, when asked for
    DeviceSource* captureSource_ = nullptr;  // source_ when it is a capture device
    LevelMeter meter_;
    int32_t udpPort_ = 0;
    int32_t codedFrameBytes_ = 0;
    int32_t pcmFrameBytes_ = 0;

    std::unique_ptr<PathClock> clock_;
    std::unique_ptr<Channel> channel_;
    std::mutex ringLock_;  // the ring takes no lock: its producer and consumer share this one
    std::atomic<bool> networkDone_{false};
    std::atomic<bool> talkerDone_{false};

    Stage source_stage_{"source"}, preprocess_stage_{"preprocess", "PreProcessAudioFilter"},
        resample_stage_{"resample", "ResampleAudioFilter"}, encode_stage_{"encode", "Siren14AudioFilter"},
        network_stage_{"network"}, decode_stage_{"decode", "Siren14AudioFilter"},
        ring_stage_{"ring", "RingBufferAudioInOut"}, sink_stage_{"sink", "RIFFAudioOut"},
        playback_stage_{"playback", "DSoundAudioOut"};
    Recorder recSource_, recPreprocess_, recResample_, recDecode_;

    uint64_t framesSent_ = 0, framesDecoded_ = 0, framesConcealed_ = 0, framesLate_ = 0, udpTimeouts_ = 0;
    uint64_t listenerBlocks_ = 0;
    std::string threadFailure_;
    std::mutex failureLock_;
    void ThreadFailed(const std::string& message) {
        std::lock_guard<std::mutex> hold(failureLock_);
        if (threadFailure_.empty()) threadFailure_ = message;
    }
};

std::string VoicePath::Prepare() {
    // The source.
    if (settings_.captureDevice != Settings::kNoDevice) {
        sourceRate_ = 16000;
        sourceSamples_ = static_cast<int64_t>((settings_.seconds > 0 ? settings_.seconds : 5.0) * sourceRate_);
        auto device = std::make_unique<DeviceSource>(sourceSamples_, meter_);
        const std::string problem = device->Open(settings_.captureDevice, sourceRate_);
        if (!problem.empty()) return problem;
        sourceName_ = "capture device " + std::to_string(settings_.captureDevice) +
                      (device->description.empty() ? "" : " (" + device->description + ")");
        source_stage_.component = "DSoundAudioIn";
        captureSource_ = device.get();
        source_ = std::move(device);
    } else if (!settings_.input.empty()) {
        WavProbe probe;
        const std::string problem = ProbeWav(settings_.input, &probe);
        if (!problem.empty()) return problem;
        if (probe.format.wFormatTag != 1 || probe.format.nChannels != 1 || probe.format.wBitsPerSample != 16) {
            return settings_.input + " is " + DescribeFormat(probe.format) + "; the voice path takes 16-bit mono PCM";
        }
        sourceRate_ = static_cast<int32_t>(probe.format.nSamplesPerSec);
        sourceSamples_ = probe.dataBytes / 2;
        if (settings_.seconds > 0) sourceSamples_ = std::min<int64_t>(sourceSamples_, static_cast<int64_t>(settings_.seconds * sourceRate_));
        auto reader = std::make_unique<ComponentSource>("RIFFAudioIn", sourceSamples_);
        if (!reader->component) return "this library lacks RIFFAudioIn";
        int32_t code;
        if ((code = reader->component->SetProperty("Filename", 0, const_cast<char*>(settings_.input.c_str()))) != 0 ||
            (code = reader->component->Build()) != 0 || (code = reader->component->Start()) != 0) {
            return "cannot read " + settings_.input + ": " + ResultText(code);
        }
        source_ = std::move(reader);
        sourceName_ = settings_.input;
        source_stage_.component = "RIFFAudioIn";
    } else {
        const std::size_t embeddedBytes = static_cast<std::size_t>(zelmar_voice_sample_end - zelmar_voice_sample_begin);
        WAVEFORMATEX format{};
        const int16_t* samples = nullptr;
        std::size_t count = 0;
        const bool haveSpeech = !settings_.generator && embeddedBytes > 0 &&
                                ParseWav(zelmar_voice_sample_begin, embeddedBytes, &format, &samples, &count) &&
                                format.wFormatTag == 1 && format.nChannels == 1 && format.wBitsPerSample == 16;
        if (haveSpeech) {
            sourceRate_ = static_cast<int32_t>(format.nSamplesPerSec);
            sourceSamples_ = static_cast<int64_t>(count);
            if (settings_.seconds > 0) sourceSamples_ = std::min<int64_t>(sourceSamples_, static_cast<int64_t>(settings_.seconds * sourceRate_));
            source_ = std::make_unique<MemorySource>(samples, static_cast<std::size_t>(sourceSamples_));
            sourceName_ = "embedded speech (espeak-ng)";
            source_stage_.component = "(memory)";
        } else {
            if (!settings_.generator) std::printf("note: this build has no embedded speech (espeak-ng was missing); using the tone generator\n");
            sourceRate_ = 16000;
            sourceSamples_ = static_cast<int64_t>((settings_.seconds > 0 ? settings_.seconds : 10.0) * sourceRate_);
            auto tone = std::make_unique<ComponentSource>("WaveGeneratorAudioIn", sourceSamples_);
            if (!tone->component) return "this library lacks WaveGeneratorAudioIn";
            std::string failure;
            Set(tone->component, "SamplesPerSec", sourceRate_, &failure);
            Set(tone->component, "BlockSamples", sourceRate_ / 50, &failure);
            Set(tone->component, "Frequency", 440, &failure);
            Set(tone->component, "Amplitude", 30, &failure);
            int32_t code;
            if (!failure.empty()) return "tone generator refused " + failure;
            if ((code = tone->component->Build()) != 0 || (code = tone->component->Start()) != 0) {
                return "tone generator failed to start: " + ResultText(code);
            }
            source_ = std::move(tone);
            sourceName_ = "440 Hz tone";
            source_stage_.component = "WaveGeneratorAudioIn";
        }
    }
    source_stage_.used = true;
    if (sourceRate_ % 50 != 0) return "the source rate must be a multiple of 50 Hz (20 ms blocks)";

    // Pre-processor: high-pass and noise suppression (automatic gain on request); no silence
    // gate, so every block comes out as long as it went in.
    preprocess_ = std::make_unique<Component>("PreProcessAudioFilter");
    if (!*preprocess_) {
        preprocess_stage_.skipped = "not in this library";
        preprocess_.reset();
    } else {
        std::string failure;
        Set(*preprocess_, "SamplesPerSec", sourceRate_, &failure);
        Set(*preprocess_, "HiPassCutOff", 100, &failure);
        Set(*preprocess_, "EnableNS", 1, &failure);
        if (settings_.agc) Set(*preprocess_, "AutoGain", 1, &failure);
        int32_t code;
        if ((code = (*preprocess_)->Build()) != 0 || (code = (*preprocess_)->Start()) != 0) {
            preprocess_stage_.skipped = "Build/Start failed: " + ResultText(code);
            preprocess_.reset();
        } else {
            preprocess_stage_.used = true;
            if (!failure.empty()) preprocess_stage_.notes = "refused " + failure;
        }
    }

    // Resampler to the codec's rate.
    if (sourceRate_ != kCodecRate) {
        resample_ = std::make_unique<Component>("ResampleAudioFilter");
        std::string failure;
        int32_t code = 0;
        if (!*resample_) {
            resample_stage_.skipped = "not in this library";
        } else {
            Set(*resample_, "InSamplesPerSec", sourceRate_, &failure);
            Set(*resample_, "OutSamplesPerSec", kCodecRate, &failure);
            if ((code = (*resample_)->Build()) != 0 || (code = (*resample_)->Start()) != 0) {
                resample_stage_.skipped = "Build failed (" + ResultText(code) + "): " + std::to_string(sourceRate_) +
                                          " Hz is no whole fraction of 32000 Hz";
            } else {
                resample_stage_.used = true;
            }
        }
        if (!resample_stage_.used) {
            resample_.reset();
            pathRate_ = sourceRate_;
        }
    } else {
        resample_stage_.skipped = "source is already at 32000 Hz";
    }
    if (pathRate_ != kCodecRate && pathRate_ != 16000) {
        return "without a resampler the path needs a 16000 or 32000 Hz source (this one is " + std::to_string(sourceRate_) + " Hz)";
    }

    // Codec.
    const int32_t frameSamples = pathRate_ * kFrameMs / 1000;
    pcmFrameBytes_ = frameSamples * 2;
    encoder_ = std::make_unique<Component>("Siren14AudioFilter");
    decoder_ = std::make_unique<Component>("Siren14AudioFilter");
    if (!*encoder_ || !*decoder_) {
        encode_stage_.skipped = decode_stage_.skipped = "not in this library: raw PCM crosses the network";
        encoder_.reset();
        decoder_.reset();
        codedFrameBytes_ = pcmFrameBytes_;
    } else {
        std::string failure;
        for (auto* codec : {encoder_.get(), decoder_.get()}) {
            Set(*codec, "Bitrate", static_cast<int32_t>(settings_.bitrate), &failure);
            Set(*codec, "SamplesPerSec", pathRate_, &failure);
            Set(*codec, "Direction", codec == decoder_.get() ? 1 : 0, &failure);
            int32_t code;
            if ((code = (*codec)->Build()) != 0 || (code = (*codec)->Start()) != 0) {
                return "Siren14AudioFilter refused " + std::to_string(static_cast<int>(settings_.bitrate)) + " bit/s at " +
                       std::to_string(pathRate_) + " Hz: " + ResultText(code);
            }
        }
        if (!failure.empty()) return "Siren14AudioFilter refused " + failure;
        codedFrameBytes_ = static_cast<int32_t>(settings_.bitrate) * kFrameMs / 1000 / 8;
        encode_stage_.used = decode_stage_.used = true;
    }

    // Network.
    network_stage_.used = true;
    if (settings_.udp) {
        network_stage_.component = "UDPAudioOut -> UDPAudioIn";
        udpOut_ = std::make_unique<Component>("UDPAudioOut");
        udpIn_ = std::make_unique<Component>("UDPAudioIn");
        if (!*udpOut_ || !*udpIn_) return "this library lacks the UDP components";
        const int32_t first = settings_.port > 0 ? static_cast<int32_t>(settings_.port) : 45000;
        const int32_t last = settings_.port > 0 ? first : first + 100;
        int32_t code = -1;
        for (int32_t port = first; port <= last && code != 0; ++port) {
            (*udpIn_)->SetProperty("PortNo", port, nullptr);
            code = (*udpIn_)->Build();  // 0x80000003: the port is in use
            if (code == 0) udpPort_ = port;
        }
        if (code != 0) return "cannot bind a UDP port on 127.0.0.1 (" + ResultText(code) + ")";
        (*udpIn_)->Start();
        (*udpOut_)->SetProperty("PortNo", udpPort_, nullptr);
        if ((code = (*udpOut_)->Build()) != 0) return "UDPAudioOut: " + ResultText(code);
        (*udpOut_)->Start();
    } else {
        network_stage_.component = "in-process channel";
    }

    // Ring buffer.
    ring_ = std::make_unique<Component>("RingBufferAudioInOut");
    if (!*ring_) {
        ring_stage_.skipped = "not in this library: decoded audio goes straight to the sink";
        ring_.reset();
    } else {
        std::string failure;
        Set(*ring_, "AvgBytesPerSec", pathRate_ * 2, &failure);
        Set(*ring_, "BufferTime", static_cast<int32_t>(settings_.bufferMs), &failure);
        int32_t code;
        if (!failure.empty()) return "RingBufferAudioInOut refused " + failure;
        if ((code = (*ring_)->Build()) != 0 || (code = (*ring_)->Start()) != 0) {
            return "RingBufferAudioInOut: " + ResultText(code);
        }
        ring_stage_.used = true;
    }

    // Sinks: the file and the playback device.
    int32_t code;
    if (settings_.writeFile) {
        writer_ = std::make_unique<Component>("RIFFAudioOut");
        if (!*writer_) return "this library lacks RIFFAudioOut";
        const WAVEFORMATEX format{1, 1, static_cast<uint32_t>(pathRate_), static_cast<uint32_t>(pathRate_) * 2, 2, 16, 0};
        if ((code = (*writer_)->SetProperty("Filename", 0, const_cast<char*>(settings_.output.c_str()))) != 0 ||
            (code = (*writer_)->SetProperty("WaveFormat", 0, const_cast<WAVEFORMATEX*>(&format))) != 0 ||
            (code = (*writer_)->Build()) != 0 || (code = (*writer_)->Start()) != 0) {
            return "cannot create " + settings_.output + ": " + ResultText(code);
        }
        sink_stage_.used = true;
    } else {
        sink_stage_.skipped = "no -o given with --playback";
    }
    if (settings_.playbackDevice != Settings::kNoDevice) {
        player_ = std::make_unique<Component>("DSoundAudioOut");
        if (!*player_) return "this library lacks DSoundAudioOut";
        std::string failure;
        Set(*player_, "SamplesPerSec", pathRate_, &failure);
        Set(*player_, "Channels", 1, &failure);
        Set(*player_, "BitsPerSample", 16, &failure);
        Set(*player_, "BlockSamples", pathRate_ * kFrameMs / 1000, &failure);
        Set(*player_, "OutBufferTime", kPlaybackBufferMs, &failure);
        Set(*player_, "OutDeviceNo", settings_.playbackDevice, &failure);
        if (!failure.empty()) return "DSoundAudioOut refused " + failure;
        if ((code = (*player_)->Build()) != 0) {
            return "cannot open playback device " + std::to_string(settings_.playbackDevice) + ": " + ResultText(code);
        }
        char name[1024] = {};
        playback_stage_.notes = "device " + std::to_string(settings_.playbackDevice);
        if (settings_.playbackDevice >= 0 && (*player_)->GetProperty("OutDeviceName", settings_.playbackDevice, name) == 0) {
            playback_stage_.notes += std::string(" (") + name + ")";
        }
        if ((code = (*player_)->Start()) != 0) return "cannot start playing: " + ResultText(code);
        playback_stage_.used = true;
    }

    // Recordings of inner stages.
    for (const std::string& stage : settings_.recordAt) {
        Recorder* recorder = nullptr;
        int32_t rate = pathRate_;
        if (stage == "source") { recorder = &recSource_; rate = sourceRate_; }
        else if (stage == "preprocess") { recorder = &recPreprocess_; rate = sourceRate_; }
        else if (stage == "resample") recorder = &recResample_;
        else if (stage == "decode") recorder = &recDecode_;
        else return "--record-at knows source, preprocess, resample and decode, not '" + stage + "'";
        const std::string problem = recorder->Open(RecordPath(settings_.output, stage), rate);
        if (!problem.empty()) return problem;
    }

    clock_ = std::make_unique<PathClock>(settings_.realtime || settings_.udp || player_ || captureSource_, kParticipants);
    if (!settings_.udp) {
        channel_ = std::make_unique<Channel>(*clock_, settings_.jitterMs, settings_.lossPercent,
                                             static_cast<uint32_t>(settings_.seed));
    }
    return "";
}

// The talker: one 20 ms block of the source per 20 ms of its clock, through the capture-side
// filters and the encoder onto the network.
void VoicePath::Talker() {
    const int32_t blockSamples = sourceRate_ * kFrameMs / 1000;
    std::vector<int16_t> block(blockSamples), cleaned(blockSamples), resampled(pcmFrameBytes_ / 2 + blockSamples * 8);
    std::vector<int16_t> pending;  // PCM at the path rate waiting for a whole codec frame
    pending.reserve(resampled.size() * 2);
    std::vector<uint8_t> frame(static_cast<std::size_t>(std::max(codedFrameBytes_, pcmFrameBytes_)));
    std::vector<uint8_t> datagram;
    uint32_t sequence = 0;
    int64_t blockIndex = 0;

    for (;;) {
        {   // a capture device delivers a block once it has been spoken
            std::unique_lock<std::mutex> lock(clock_->mutex());
            const int64_t due = (blockIndex + 1) * kFrameUs;
            // UDP sends and a capture device pace themselves.
            if (!settings_.udp && captureSource_ == nullptr) clock_->WaitUntil(kTalker, lock, [due] { return due; });
        }
        int32_t count;
        {
            CpuSpan span(source_stage_);
            count = source_->Read(block.data(), blockSamples);
        }
        const bool ending = count <= 0;
        if (ending && captureSource_ != nullptr && !captureSource_->failure.empty()) {
            ThreadFailed(captureSource_->failure);
            break;
        }
        if (ending) {
            // The last partial codec frame goes out padded with silence.
            if (pending.empty()) break;
            pending.resize(static_cast<std::size_t>(pcmFrameBytes_ / 2), 0);
        } else {
        ++blockIndex;
        source_stage_.bytesOut += static_cast<uint64_t>(count) * 2;
        source_stage_.audioSeconds += static_cast<double>(count) / sourceRate_;
        recSource_.Write(block.data(), count);

        const int16_t* current = block.data();
        if (preprocess_) {
            CpuSpan span(preprocess_stage_);
            int32_t inBytes = count * 2, outBytes = count * 2;
            const int32_t level = (*preprocess_)->Process(block.data(), &inBytes, cleaned.data(), &outBytes);
            if (level < 0) {
                ThreadFailed("PreProcessAudioFilter: " + ResultText(level));
                break;
            }
            preprocess_stage_.bytesIn += static_cast<uint64_t>(count) * 2;
            preprocess_stage_.bytesOut += static_cast<uint64_t>(count) * 2;
            preprocess_stage_.audioSeconds += static_cast<double>(count) / sourceRate_;
            current = cleaned.data();
        }
        recPreprocess_.Write(current, count);

        int32_t produced = count;
        if (resample_) {
            CpuSpan span(resample_stage_);
            int32_t inBytes = count * 2, outBytes = static_cast<int32_t>(resampled.size() * 2);
            const int32_t code = (*resample_)->Process(current, &inBytes, resampled.data(), &outBytes);
            if (code != 0) {
                ThreadFailed("ResampleAudioFilter: " + ResultText(code));
                break;
            }
            produced = outBytes / 2;
            resample_stage_.bytesIn += static_cast<uint64_t>(count) * 2;
            resample_stage_.bytesOut += static_cast<uint64_t>(outBytes);
            resample_stage_.audioSeconds += static_cast<double>(count) / sourceRate_;
            current = resampled.data();
            recResample_.Write(current, produced);
        }
        pending.insert(pending.end(), current, current + produced);
        }

        // Whole codec frames go out; a partial one waits for the next block.
        std::size_t taken = 0;
        while (pending.size() - taken >= static_cast<std::size_t>(pcmFrameBytes_ / 2)) {
            const int16_t* pcm = pending.data() + taken;
            taken += static_cast<std::size_t>(pcmFrameBytes_ / 2);
            int32_t frameBytes = pcmFrameBytes_;
            if (encoder_) {
                CpuSpan span(encode_stage_);
                int32_t inBytes = pcmFrameBytes_, outBytes = codedFrameBytes_;
                const int32_t code = (*encoder_)->Process(pcm, &inBytes, frame.data(), &outBytes);
                if (code != 0 || outBytes != codedFrameBytes_) {
                    ThreadFailed("Siren14AudioFilter encode: " + ResultText(code));
                    break;
                }
                encode_stage_.bytesIn += static_cast<uint64_t>(inBytes);
                encode_stage_.bytesOut += static_cast<uint64_t>(outBytes);
                encode_stage_.audioSeconds += static_cast<double>(kFrameMs) / 1000.0;
                frameBytes = outBytes;
            } else {
                std::memcpy(frame.data(), pcm, static_cast<std::size_t>(pcmFrameBytes_));
            }
            ++framesSent_;
            network_stage_.bytesIn += static_cast<uint64_t>(frameBytes);
            if (channel_) {
                channel_->Send(sequence++, frame.data(), frameBytes);
            } else {
                datagram.insert(datagram.end(), frame.begin(), frame.begin() + frameBytes);
                if (datagram.size() == static_cast<std::size_t>(frameBytes) * kFramesPerDatagram) {
                    CpuSpan span(network_stage_);
                    // UDPAudioOut paces the datagrams: one per 40 ms, two frames each.
                    const int32_t sent = (*udpOut_)->PutData(datagram.data(), static_cast<int32_t>(datagram.size()));
                    if (sent != static_cast<int32_t>(datagram.size())) ThreadFailed("UDPAudioOut: send failed");
                    datagram.clear();
                }
            }
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(taken));
        if (ending || !threadFailure_.empty()) break;
    }
    if (!datagram.empty() && udpOut_) (*udpOut_)->PutData(datagram.data(), static_cast<int32_t>(datagram.size()));
    if (channel_) channel_->Close();
    talkerDone_ = true;
    clock_->Leave(kTalker);
}

void VoicePath::PutIntoRing(const int16_t* samples, int32_t count) {
    recDecode_.Write(samples, count);
    if (!ring_) {
        if (writer_) {
            CpuSpan span(sink_stage_);
            (*writer_)->PutData(samples, count * 2);
            sink_stage_.bytesIn += static_cast<uint64_t>(count) * 2;
        }
        if (player_ && !PlayBlock(samples, count)) ThreadFailed("playback failed");
        return;
    }
    std::lock_guard<std::mutex> hold(ringLock_);
    CpuSpan span(ring_stage_);
    (*ring_)->PutData(samples, count * 2);
    ring_stage_.bytesIn += static_cast<uint64_t>(count) * 2;
}

void VoicePath::DecodeInto(const uint8_t* frame, int32_t frames) {
    std::vector<int16_t> pcm(static_cast<std::size_t>(pcmFrameBytes_ / 2) * static_cast<std::size_t>(frames));
    if (!decoder_) {
        if (frame != nullptr) std::memcpy(pcm.data(), frame, pcm.size() * 2);  // raw PCM frames; lost ones are silence
        framesConcealed_ += frame == nullptr ? static_cast<uint64_t>(frames) : 0;
        PutIntoRing(pcm.data(), static_cast<int32_t>(pcm.size()));
        return;
    }
    int32_t inBytes = codedFrameBytes_ * frames, outBytes = static_cast<int32_t>(pcm.size() * 2);
    {
        CpuSpan span(decode_stage_);
        const int32_t code = (*decoder_)->Process(frame, &inBytes, pcm.data(), &outBytes);
        if (code != 0) {
            ThreadFailed("Siren14AudioFilter decode: " + ResultText(code));
            return;
        }
    }
    decode_stage_.bytesIn += static_cast<uint64_t>(inBytes);
    decode_stage_.bytesOut += static_cast<uint64_t>(outBytes);
    decode_stage_.audioSeconds += static_cast<double>(outBytes / 2) / pathRate_;
    if (frame == nullptr) framesConcealed_ += static_cast<uint64_t>(outBytes / pcmFrameBytes_);
    else framesDecoded_ += static_cast<uint64_t>(outBytes / pcmFrameBytes_);
    PutIntoRing(pcm.data(), outBytes / 2);
}

// The network side: frames in order of arrival; a gap in the sequence is concealed, a frame
// that comes after its successors is too late to play.
void VoicePath::NetworkReceiver() {
    uint32_t expected = 0;
    if (channel_) {
        Packet packet;
        while (channel_->Receive(&packet)) {
            network_stage_.bytesOut += packet.payload.size();
            if (packet.sequence < expected) {
                ++framesLate_;
                continue;
            }
            if (packet.sequence > expected) DecodeInto(nullptr, static_cast<int32_t>(packet.sequence - expected));
            DecodeInto(packet.payload.data(), 1);
            expected = packet.sequence + 1;
        }
        // Frames lost at the very end are concealed too: the listener hears their duration.
        const uint64_t sent = channel_->sent();
        if (sent > expected) DecodeInto(nullptr, static_cast<int32_t>(sent - expected));
    } else {
        std::vector<uint8_t> datagram(static_cast<std::size_t>(codedFrameBytes_) * kFramesPerDatagram);
        for (;;) {
            int32_t got;
            {
                CpuSpan span(network_stage_);
                got = (*udpIn_)->GetData(datagram.data(), static_cast<int32_t>(datagram.size()));
            }
            if (got < 0) {
                ThreadFailed("UDPAudioIn: socket error");
                break;
            }
            if (got == 0) {  // nothing for 100 ms
                if (talkerDone_) break;
                ++udpTimeouts_;
                continue;
            }
            network_stage_.bytesOut += static_cast<uint64_t>(got);
            DecodeInto(datagram.data(), got / codedFrameBytes_);
        }
    }
    networkDone_ = true;
    clock_->Leave(kNetwork);
}

// The listener: one 20 ms block per 20 ms of its own clock, which runs `driftPpm` off the
// talker's, until the network has finished and the ring is empty.
void VoicePath::Listener() {
    const int32_t blockSamples = pathRate_ * kFrameMs / 1000;
    std::vector<int16_t> block(blockSamples);
    const double periodUs = static_cast<double>(kFrameUs) / (1.0 + settings_.driftPpm / 1e6);
    const int64_t giveUpUs = static_cast<int64_t>((static_cast<double>(sourceSamples_) / sourceRate_ * 2.0 + 10.0) * 1e6);
    for (int64_t index = 0;; ++index) {
        const int64_t due = static_cast<int64_t>(static_cast<double>(index) * periodUs);
        if (player_) {
            // The playback device takes a block when it has room: its clock is the listener's.
            if (clock_->NowUs() > giveUpUs) break;
        } else {
            std::unique_lock<std::mutex> lock(clock_->mutex());
            clock_->WaitUntil(kListener, lock, [due] { return due; });
            if (clock_->stalled() || due > giveUpUs) break;
        }
        if (!ring_) {
            if (networkDone_) break;
            continue;
        }
        uint32_t fillBytes;
        {
            std::lock_guard<std::mutex> hold(ringLock_);
            fillBytes = GetU32(*ring_, "FillBytes");
            if (networkDone_ && fillBytes == 0) break;
            CpuSpan span(ring_stage_);
            (*ring_)->GetData(block.data(), blockSamples * 2);
        }
        ring_stage_.bytesOut += static_cast<uint64_t>(blockSamples) * 2;
        ring_stage_.audioSeconds += static_cast<double>(blockSamples) / pathRate_;
        if (writer_) {
            CpuSpan span(sink_stage_);
            if ((*writer_)->PutData(block.data(), blockSamples * 2) != blockSamples * 2) {
                ThreadFailed("writing " + settings_.output + " failed");
                break;
            }
            sink_stage_.bytesIn += static_cast<uint64_t>(blockSamples) * 2;
        }
        if (player_ && !PlayBlock(block.data(), blockSamples)) {
            ThreadFailed("playback failed");
            break;
        }
        ++listenerBlocks_;
        if (networkDone_ && fillBytes <= static_cast<uint32_t>(blockSamples) * 2) break;
    }
    if (player_) {
        // A ring of silence after the end, so the looping device buffer does not replay it.
        std::fill(block.begin(), block.end(), 0);
        for (int32_t b = 0; b <= kPlaybackBufferMs / kFrameMs && PlayBlock(block.data(), blockSamples, false); ++b) {
        }
    }
    clock_->Leave(kListener);
}

// One block to the playback device; a time-out means it has no room yet, so ask again.
bool VoicePath::PlayBlock(const int16_t* samples, int32_t count, bool counted) {
    LevelMeter::Note(meter_.outputPeak, samples, count);
    int32_t code = 0;
    for (int timeouts = 0; timeouts < 300; ++timeouts) {
        CpuSpan span(playback_stage_);
        code = (*player_)->PutData(samples, count * 2);
        if (code != ZELMAR_E_TIMEOUT) break;
    }
    if (code != count * 2) return false;
    if (!counted) return true;
    playback_stage_.bytesIn += static_cast<uint64_t>(count) * 2;
    playback_stage_.audioSeconds += static_cast<double>(count) / pathRate_;
    return true;
}

// The live meter on a terminal: seconds since the start and the peak level of each device
// side over the last tenth of a second.
void VoicePath::ShowMeter(const std::atomic<bool>& finished) {
    if (isatty(STDERR_FILENO) == 0 || (captureSource_ == nullptr && !player_)) return;
    const auto bar = [](int peak, char* text, std::size_t size) {
        const double db = peak > 0 ? 20 * std::log10(peak / 32768.0) : -99;
        const int bars = static_cast<int>(std::max(0.0, (db + 60) / 60 * 20));
        std::snprintf(text, size, "%6.1f dBFS [%-20.*s]", db, bars, "####################");
    };
    const auto start = std::chrono::steady_clock::now();
    while (!finished) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        char in[64] = "", out[64] = "";
        bar(meter_.inputPeak.exchange(0), in, sizeof in);
        bar(meter_.outputPeak.exchange(0), out, sizeof out);
        std::fprintf(stderr, "\r%6.1f s", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (captureSource_ != nullptr) std::fprintf(stderr, "  in %s", in);
        if (player_) std::fprintf(stderr, "  out %s", out);
    }
    std::fprintf(stderr, "\n");
}

void VoicePath::PrintTable(double wallSeconds) {
    sink_stage_.audioSeconds = static_cast<double>(sink_stage_.bytesIn) / 2.0 / pathRate_;
    network_stage_.audioSeconds = static_cast<double>(framesSent_) * kFrameMs / 1000.0;
    source_stage_.notes = sourceName_ + ", " + std::to_string(sourceRate_) + " Hz";
    if (preprocess_stage_.used && preprocess_stage_.notes.empty()) preprocess_stage_.notes = settings_.agc ? "high-pass 100 Hz, noise suppression, AGC" : "high-pass 100 Hz, noise suppression";
    if (resample_stage_.used) resample_stage_.notes = std::to_string(sourceRate_) + " -> " + std::to_string(kCodecRate) + " Hz";
    if (encode_stage_.used) {
        encode_stage_.notes = Thousands(framesSent_) + " frames of " + std::to_string(codedFrameBytes_) + " bytes, " +
                              std::to_string(static_cast<int>(settings_.bitrate)) + " bit/s";
    }
    char text[256];
    if (channel_) {
        std::snprintf(text, sizeof text, "%s sent, %s lost (%.1f%%), %s late; jitter 0..%g ms", Thousands(channel_->sent()).c_str(),
                      Thousands(channel_->dropped()).c_str(),
                      channel_->sent() ? 100.0 * static_cast<double>(channel_->dropped()) / static_cast<double>(channel_->sent()) : 0.0,
                      Thousands(framesLate_).c_str(), settings_.jitterMs);
    } else {
        std::snprintf(text, sizeof text, "127.0.0.1:%d, %d frames per datagram, %s receive time-outs", udpPort_, kFramesPerDatagram,
                      Thousands(udpTimeouts_).c_str());
    }
    network_stage_.notes = text;
    std::snprintf(text, sizeof text, "%s decoded, %s concealed", Thousands(framesDecoded_).c_str(), Thousands(framesConcealed_).c_str());
    if (decode_stage_.used) decode_stage_.notes = text;
    else if (framesConcealed_ > 0) network_stage_.notes += std::string(", ") + Thousands(framesConcealed_) + " frames of silence";
    if (ring_stage_.used) {
        char listener[64] = "listener on the playback device's clock";
        if (!player_) std::snprintf(listener, sizeof listener, "listener %+g ppm", settings_.driftPpm);
        std::snprintf(text, sizeof text, "target %g ms, %s: %u underflows, %u compressions", settings_.bufferMs,
                      listener, GetU32(*ring_, "UnderFlow"), GetU32(*ring_, "OverFlow"));
        ring_stage_.notes = text;
    }
    if (sink_stage_.used) sink_stage_.notes = settings_.output;

    std::printf("\n%-11s %-26s %13s %13s %9s %10s  %s\n", "stage", "component", "bytes in", "bytes out", "CPU ms",
                "x realtime", "notes");
    for (const Stage* stage : {&source_stage_, &preprocess_stage_, &resample_stage_, &encode_stage_, &network_stage_,
                               &decode_stage_, &ring_stage_, &sink_stage_, &playback_stage_}) {
        if (stage == &playback_stage_ && !player_) continue;
        if (!stage->used) {
            std::printf("%-11s %-26s %s\n", stage->name.c_str(), stage->component.c_str(),
                        ("skipped: " + stage->skipped).c_str());
            continue;
        }
        std::string speed = "-";
        if (stage->cpuSeconds > 0 && stage->audioSeconds > 0) {
            std::snprintf(text, sizeof text, "%.0f", stage->audioSeconds / stage->cpuSeconds);
            speed = text;
        }
        std::printf("%-11s %-26s %13s %13s %9.1f %10s  %s\n", stage->name.c_str(), stage->component.c_str(),
                    stage->bytesIn ? Thousands(stage->bytesIn).c_str() : "-",
                    stage->bytesOut ? Thousands(stage->bytesOut).c_str() : "-", stage->cpuSeconds * 1000.0,
                    speed.c_str(), stage->notes.c_str());
    }
    const double audio = static_cast<double>(source_stage_.bytesOut) / 2.0 / sourceRate_;
    std::printf("\n%.2f s of audio in %.2f s (%s)", audio, wallSeconds, clock_->realtime() ? "real time" : "offline, virtual clock");
    if (sink_stage_.used) std::printf("; wrote %s (%.2f s at %d Hz)", settings_.output.c_str(), sink_stage_.audioSeconds, pathRate_);
    if (player_) std::printf("; played %.2f s at %d Hz", playback_stage_.audioSeconds, pathRate_);
    std::printf("\n");
    for (const Recorder* recorder : {&recSource_, &recPreprocess_, &recResample_, &recDecode_}) {
        if (!recorder->path().empty()) std::printf("recorded %s\n", recorder->path().c_str());
    }
}

int VoicePath::Run() {
    const std::string problem = Prepare();
    if (!problem.empty()) return Fail(problem);

    const auto began = std::chrono::steady_clock::now();
    std::atomic<bool> finished{false};
    std::thread meter(&VoicePath::ShowMeter, this, std::cref(finished));
    std::thread listener(&VoicePath::Listener, this);
    std::thread network(&VoicePath::NetworkReceiver, this);
    std::thread talker(&VoicePath::Talker, this);
    talker.join();
    network.join();
    listener.join();
    finished = true;
    meter.join();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    if (writer_) (*writer_)->Stop();
    if (player_) (*player_)->Stop();
    if (captureSource_ != nullptr) captureSource_->component->Stop();
    for (Recorder* recorder : {&recSource_, &recPreprocess_, &recResample_, &recDecode_}) recorder->Close();
    if (!threadFailure_.empty()) return Fail(threadFailure_);
    if (clock_->stalled()) return Fail("the path stalled: no thread could make progress");
    PrintTable(wall);
    return 0;
}

}  // namespace

int RunVoice(int argc, char** argv) {
    Options options;
    std::string error;
    if (!options.Parse(argc, argv,
                       {"-o", "--input", "--seconds", "--network", "--jitter", "--loss", "--seed", "--port", "--bitrate",
                        "--buffer-ms", "--drift", "--record-at", "--capture", "--playback"},
                       {"--generator", "--realtime", "--agc"}, &error)) {
        return Fail(error + " (see zelmar voice --help)");
    }
    if (!options.Positional().empty()) return Fail("unexpected argument '" + options.Positional()[0] + "'");
    Settings settings;
    settings.output = options.Text("-o", settings.output);
    settings.input = options.Text("--input");
    settings.generator = options.Has("--generator");
    if (settings.generator && !settings.input.empty()) return Fail("--input and --generator exclude each other");
    const std::string network = options.Text("--network", "channel");
    if (network != "channel" && network != "udp") return Fail("--network is channel or udp, not '" + network + "'");
    settings.udp = network == "udp";
    if (!options.Number("--seconds", 0.1, 3600, &settings.seconds, &error) ||
        !options.Number("--jitter", 0, 1000, &settings.jitterMs, &error) ||
        !options.Number("--loss", 0, 100, &settings.lossPercent, &error) ||
        !options.Number("--seed", 0, 4294967295.0, &settings.seed, &error) ||
        !options.Number("--port", 1024, 65535, &settings.port, &error) ||
        !options.Number("--bitrate", 24000, 48000, &settings.bitrate, &error) ||
        !options.Number("--buffer-ms", 2, 1000, &settings.bufferMs, &error) ||
        !options.Number("--drift", -50000, 50000, &settings.driftPpm, &error)) {
        return Fail(error);
    }
    if (!options.Has("--seconds")) settings.seconds = 0;
    if (!options.Has("--port")) settings.port = 0;
    const int bitrate = static_cast<int>(settings.bitrate);
    if (bitrate != 24000 && bitrate != 32000 && bitrate != 48000) return Fail("--bitrate is 24000, 32000 or 48000");
    if (settings.udp && (options.Has("--jitter") || options.Has("--loss"))) {
        return Fail("--jitter and --loss shape the in-process channel; a UDP run has the real network's");
    }
    std::stringstream stages(options.Text("--record-at"));
    for (std::string stage; std::getline(stages, stage, ',');) {
        if (!stage.empty()) settings.recordAt.push_back(stage);
    }
    double captureDevice = 0, playbackDevice = 0;
    if (!options.Number("--capture", -1, 15, &captureDevice, &error) ||
        !options.Number("--playback", -1, 15, &playbackDevice, &error)) {
        return Fail(error);
    }
    if (options.Has("--capture")) {
        if (settings.generator || !settings.input.empty()) return Fail("--capture is the source: no --input or --generator with it");
        settings.captureDevice = static_cast<int32_t>(captureDevice);
    }
    if (options.Has("--playback")) {
        if (options.Has("--drift")) return Fail("--drift sets the listener's clock; with --playback the device's clock is used");
        settings.playbackDevice = static_cast<int32_t>(playbackDevice);
        settings.writeFile = options.Has("-o");
    }
    settings.realtime = options.Has("--realtime");
    settings.agc = options.Has("--agc");
    // Offline runs never wait in the engine either (UDP datagram pacing is real time).
    const bool devices = options.Has("--capture") || options.Has("--playback");
    ZelmarSetTimeMode(settings.realtime || settings.udp || devices ? ZELMAR_TIME_REAL : ZELMAR_TIME_VIRTUAL);

    VoicePath path(settings);
    return path.Run();
}

}  // namespace cli
