#include "platform/audio/VoiceCapture.h"

#include "dsp/blocks/EchoDelayFinder.h"

#include <webrtc/common.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace zelmar::platform::audio {

bool Guid::operator==(const Guid& o) const {
    return data1 == o.data1 && data2 == o.data2 && data3 == o.data3 && std::memcmp(data4, o.data4, 8) == 0;
}

HResult MoInitMediaType(DmoMediaType* type, uint32_t formatBytes) {
    if (type == nullptr) return kHrPointer;
    *type = DmoMediaType{};
    if (formatBytes > 0) {
        type->pbFormat = static_cast<uint8_t*>(std::calloc(formatBytes, 1));
        if (type->pbFormat == nullptr) return static_cast<HResult>(0x8007000Eu);  // out of memory
        type->cbFormat = formatBytes;
    }
    return kHrOk;
}

HResult MoFreeMediaType(DmoMediaType* type) {
    if (type == nullptr) return kHrPointer;
    std::free(type->pbFormat);
    type->pbFormat = nullptr;
    type->cbFormat = 0;
    return kHrOk;
}

namespace {

constexpr uint32_t kChunkSamples = kVoiceFrameSamples;
// Each capture buffer holds 1 s; collected audio waits at most that long too.
constexpr uint32_t kRingMs = 1000;
constexpr uint32_t kQueueSamples = kVoiceRateHz * kRingMs / 1000;
// A captured chunk waits for its reference chunk while fewer than this many chunks are
// queued; beyond that the reference has stalled and the chunk is processed without it.
constexpr uint32_t kReferenceWaitChunks = 4;
// The echo delay is looked at every half second; an echo is best placed this far after its
// far end, early in the canceller's filter.
constexpr uint64_t kAlignEveryChunks = 50;
constexpr int32_t kEchoAfterFarMs = 30;
// Echo delays are looked for up to this far, whatever the echo length: the delay is the
// path's latency (the sound server's buffers and the air), the echo length the room's tail
// after it, which the canceller's filter models.  Half a second covers the latency of any
// sound server setup seen, and the search starts only once this much capture has come.
constexpr uint32_t kDelaySearchMs = 500;
// Echoes are looked for from this far ahead of their reference on: a render device's monitor
// captured both as the microphone and as the reference gives two streams whose starts differ
// by a few milliseconds either way (whichever the server served last is behind).
constexpr uint32_t kFinderLeadMs = 20;
// Suppressed stretches are filled with noise this far down (RMS of a uniform distribution
// of +-kNoiseFillPeak: peak / sqrt(3) = 2.9 LSB, about -81 dBFS) so they never fall to digital
// silence, which listeners take for a dropped line.
constexpr int32_t kNoiseFillPeak = 5;

bool IsVoiceFormat(const WAVEFORMATEX& f) {
    return f.wFormatTag == 1 && f.nChannels == 1 && f.nSamplesPerSec == kVoiceRateHz && f.wBitsPerSample == 16 &&
           f.nBlockAlign == 2 && f.nAvgBytesPerSec == kVoiceRateHz * 2;
}

WAVEFORMATEX VoiceFormat() {
    WAVEFORMATEX f{};
    f.wFormatTag = 1;
    f.nChannels = 1;
    f.nSamplesPerSec = kVoiceRateHz;
    f.nAvgBytesPerSec = kVoiceRateHz * 2;
    f.nBlockAlign = 2;
    f.wBitsPerSample = 16;
    return f;
}

// A fixed queue of samples; the oldest go when it overflows, as a device overruns.
class SampleQueue {
public:
    void Init(uint32_t capacity) {
        samples_.assign(capacity, 0);
        Clear();
    }
    void Clear() { first_ = count_ = 0; }
    uint32_t count() const { return count_; }
    void Push(const int16_t* in, uint32_t n) { PushBytes(reinterpret_cast<const uint8_t*>(in), 2 * n); }
    // The whole 16-bit samples of `bytes` (in the host's order); `finder` is told them as
    // far-end samples.  Copied in at most two pieces, as the ring wraps.
    void PushBytes(const uint8_t* bytes, uint32_t n, CEchoDelayFinder* finder = nullptr) {
        const auto size = static_cast<uint32_t>(samples_.size());
        uint32_t samples = n / 2;
        if (size == 0 || samples == 0) return;
        if (samples > size) {  // only the newest fit
            bytes += 2 * (samples - size);
            samples = size;
        }
        if (count_ + samples > size) Drop(count_ + samples - size);
        const uint32_t at = (first_ + count_) % size;
        const uint32_t head = std::min(samples, size - at);
        std::memcpy(&samples_[at], bytes, 2 * std::size_t{head});
        std::memcpy(samples_.data(), bytes + 2 * head, 2 * std::size_t{samples - head});
        count_ += samples;
        if (finder != nullptr) {
            finder->AddFar(&samples_[at], head);
            finder->AddFar(samples_.data(), samples - head);
        }
    }
    void Pop(int16_t* out, uint32_t n) { PopBytes(reinterpret_cast<uint8_t*>(out), n); }
    // The oldest `n` samples (at most what is held) as bytes.
    void PopBytes(uint8_t* out, uint32_t n) {
        n = std::min(n, count_);
        const auto size = static_cast<uint32_t>(samples_.size());
        const uint32_t head = std::min(n, size - first_);
        std::memcpy(out, &samples_[first_], 2 * std::size_t{head});
        std::memcpy(out + 2 * head, samples_.data(), 2 * std::size_t{n - head});
        Drop(n);
    }
    void Drop(uint32_t n) {
        n = std::min(n, count_);
        if (n == 0) return;
        first_ = (first_ + n) % static_cast<uint32_t>(samples_.size());
        count_ -= n;
    }

private:
    std::vector<int16_t> samples_;
    uint32_t first_ = 0;
    uint32_t count_ = 0;
};

// One capture buffer the object reads from, and what it has read but not yet used.
struct CaptureStream {
    std::unique_ptr<ICaptureDevice> device;
    std::unique_ptr<ICaptureBuffer> buffer;
    uint32_t ringBytes = 0;
    uint32_t readAt = 0;
    SampleQueue queue;
    CEchoDelayFinder* finder = nullptr;  // told every far-end sample collected

    bool open() const { return buffer != nullptr; }

    DsResult Open(IAudioService& service, const DeviceGuid* id, uint32_t queueSamples = kQueueSamples) {
        DsResult result = service.CreateCapture(id, &device);
        CaptureBufferDesc desc;
        desc.format = VoiceFormat();
        desc.bufferBytes = desc.format.nAvgBytesPerSec * kRingMs / 1000;
        if (!Failed(result)) result = device->CreateCaptureBuffer(desc, &buffer);
        if (!Failed(result)) result = buffer->Start(kCaptureStartLooping);
        if (Failed(result)) {
            Close();
            return result;
        }
        ringBytes = desc.bufferBytes;
        readAt = 0;
        queue.Init(queueSamples);
        return kDsOk;
    }
    void Close() {
        buffer.reset();
        device.reset();
    }

    // Moves what the device captured since the last call into the queue.
    DsResult Collect() {
        uint32_t capturePos = 0, readPos = 0;
        DsResult result = buffer->GetCurrentPosition(&capturePos, &readPos);
        if (Failed(result)) return result;
        uint32_t ready = (readPos % ringBytes + ringBytes - readAt) % ringBytes;
        ready -= ready % 2;
        if (ready == 0) return kDsOk;
        void* part1 = nullptr;
        void* part2 = nullptr;
        uint32_t bytes1 = 0, bytes2 = 0;
        result = buffer->Lock(readAt, ready, &part1, &bytes1, &part2, &bytes2, 0);
        if (Failed(result)) return result;
        queue.PushBytes(static_cast<const uint8_t*>(part1), bytes1, finder);
        if (part2 != nullptr) queue.PushBytes(static_cast<const uint8_t*>(part2), bytes2, finder);
        buffer->Unlock(part1, bytes1, part2, bytes2);
        readAt = (readAt + ready) % ringBytes;
        return kDsOk;
    }
    // Forgets what was captured up to now.
    void Discard() {
        if (open()) {
            Collect();
        }
        queue.Clear();
    }
};

// What the property store asks of the processing, once the modes are resolved.
struct Processing {
    bool echoCancellation = true;
    int32_t echoSuppression = 0;  // 0..2
    bool noiseSuppression = true;
    bool gainControl = false;
    bool gainBounder = true;
    bool noiseFill = true;
    int32_t echoLengthMs = 256;

    bool operator==(const Processing& o) const {
        return echoCancellation == o.echoCancellation && echoSuppression == o.echoSuppression &&
               noiseSuppression == o.noiseSuppression && gainControl == o.gainControl &&
               gainBounder == o.gainBounder && noiseFill == o.noiseFill && echoLengthMs == o.echoLengthMs;
    }
};

// One key of the store: its type, its value, and the values it accepts.
struct StoreEntry {
    uint32_t pid;
    uint16_t vt;
    int32_t value;  // kVtI4: the integer; kVtBool: kVariantTrue or kVariantFalse
    bool (*accepts)(int32_t);
};

bool AnyValue(int32_t) { return true; }
bool SystemModeValue(int32_t v) { return v == 0 || v == 5; }  // one microphone: no array modes
bool EchoSuppressionValue(int32_t v) { return v >= 0 && v <= 2; }
bool OnOffValue(int32_t v) { return v == 0 || v == 1; }
bool EchoLengthValue(int32_t v) { return v == 128 || v == 256 || v == 512 || v == 1024; }
bool FrameSizeValue(int32_t v) { return v == static_cast<int32_t>(kVoiceFrameSamples); }

// The store's keys with the values a new object starts from.
constexpr StoreEntry kDefaultStore[] = {
    {kPidSystemMode, kVtI4, 0, &SystemModeValue},
    {kPidDeviceIndexes, kVtI4, -1, &AnyValue},  // both default devices
    {kPidFeatureMode, kVtBool, kVariantFalse, &AnyValue},
    {kPidFrameSize, kVtI4, static_cast<int32_t>(kVoiceFrameSamples), &FrameSizeValue},
    {kPidEchoLength, kVtI4, 256, &EchoLengthValue},
    {kPidNoiseSuppression, kVtI4, 1, &OnOffValue},
    {kPidGainControl, kVtBool, kVariantFalse, &AnyValue},
    {kPidEchoSuppression, kVtI4, 0, &EchoSuppressionValue},
    {kPidCenterClip, kVtBool, kVariantTrue, &AnyValue},
    {kPidNoiseFill, kVtBool, kVariantTrue, &AnyValue},
    {kPidMicGainBounder, kVtBool, kVariantTrue, &AnyValue},
};
constexpr std::size_t kStoreKeys = sizeof kDefaultStore / sizeof kDefaultStore[0];

class VoiceCapture final : public IVoiceCapture {
public:
    explicit VoiceCapture(IAudioService& service) : service_(service) {
        std::copy(std::begin(kDefaultStore), std::end(kDefaultStore), store_);
        chunk_.assign(kChunkSamples, 0);
        near_.assign(kChunkSamples, 0.0f);
        far_.assign(kChunkSamples, 0.0f);
        output_.Init(kQueueSamples);
    }
    ~VoiceCapture() override { delete apm_; }

    HResult GetValue(const PropertyKey& key, PropVariant* value) override {
        if (value == nullptr) return kHrPointer;
        const StoreEntry* entry = Find(key);
        if (entry == nullptr) return kHrInvalidArg;
        *value = PropVariant{};
        value->vt = entry->vt;
        if (entry->vt == kVtBool) {
            value->boolVal = static_cast<int16_t>(entry->value);
        } else {
            value->lVal = entry->value;
        }
        return kHrOk;
    }

    HResult SetValue(const PropertyKey& key, const PropVariant& value) override {
        StoreEntry* entry = Find(key);
        if (entry == nullptr || value.vt != entry->vt) return kHrInvalidArg;
        const int32_t v = entry->vt == kVtBool ? (value.boolVal != 0 ? kVariantTrue : kVariantFalse) : value.lVal;
        if (!entry->accepts(v)) return kHrInvalidArg;
        entry->value = v;
        return kHrOk;
    }

    HResult SetOutputType(uint32_t stream, const DmoMediaType* type, uint32_t flags) override {
        if (stream != 0) return kDmoInvalidStreamIndex;
        if (type == nullptr) return kHrPointer;
        WAVEFORMATEX format{};
        if (type->majortype != kMediaTypeAudio || type->subtype != kMediaSubtypePcm ||
            type->formattype != kFormatWaveFormatEx || type->pbFormat == nullptr || type->cbFormat < sizeof format) {
            return kDmoTypeNotAccepted;
        }
        std::memcpy(&format, type->pbFormat, sizeof format);
        if (!IsVoiceFormat(format)) return kDmoTypeNotAccepted;
        if (flags & kSetTypeTestOnly) return kHrOk;
        return OpenStreams();
    }

    HResult ProcessOutput(uint32_t, uint32_t count, DmoOutputDataBuffer* buffers, uint32_t* status) override {
        if (count != 1 || buffers == nullptr) return kHrInvalidArg;
        if (buffers[0].pBuffer == nullptr) return kHrPointer;
        if (status != nullptr) *status = 0;
        buffers[0].dwStatus = 0;
        if (!mic_.open()) return kDmoTypeNotSet;
        if (!Configure()) return kHrFail;
        if (DsResult result = mic_.Collect(); Failed(result)) return result;
        // A reference that fails is left out, as a far end that went quiet.
        if (far_stream_.open() && Failed(far_stream_.Collect())) far_stream_.Close();
        ProcessReady();
        return Deliver(buffers[0]);
    }

    HResult Flush() override {
        mic_.Discard();
        far_stream_.Discard();
        output_.Clear();
        finder_.Resync();
        farFed_ = micDone_;
        return kHrOk;
    }

private:
    StoreEntry* Find(const PropertyKey& key) {
        if (key.fmtid != kVoiceCaptureKeys) return nullptr;
        for (StoreEntry& entry : store_) {
            if (entry.pid == key.pid) return &entry;
        }
        return nullptr;
    }
    int32_t Value(uint32_t pid) { return Find(VoiceKey(pid))->value; }

    // The endpoint `index` of one list: null for -1 (the default device).
    DsResult EndpointGuid(bool capture, int32_t index, DeviceGuid* guid, bool* isDefault) {
        *isDefault = index == -1;
        if (index == -1) return kDsOk;
        std::vector<DeviceDescription> devices;
        const DsResult result = capture ? service_.EnumerateCapture(&devices) : service_.EnumeratePlayback(&devices);
        if (Failed(result)) return result;
        if (index < 0 || static_cast<std::size_t>(index) >= devices.size()) return kHrInvalidArg;
        *guid = devices[static_cast<std::size_t>(index)].guid;
        return kDsOk;
    }

    HResult OpenStreams() {
        mic_.Close();
        far_stream_.Close();
        const uint32_t indexes = static_cast<uint32_t>(Value(kPidDeviceIndexes));
        const int32_t captureIndex = static_cast<int16_t>(indexes & 0xFFFF);
        const int32_t renderIndex = static_cast<int16_t>(indexes >> 16);
        DeviceGuid captureId, renderId, monitorId;
        bool captureDefault = false, renderDefault = false;
        if (DsResult result = EndpointGuid(true, captureIndex, &captureId, &captureDefault); Failed(result)) return result;
        if (DsResult result = EndpointGuid(false, renderIndex, &renderId, &renderDefault); Failed(result)) return result;
        if (DsResult result = mic_.Open(service_, captureDefault ? nullptr : &captureId); Failed(result)) return result;
        // Without a monitor of the render device the canceller hears no far end.
        if (!Failed(service_.MonitorOf(renderDefault ? nullptr : &renderId, &monitorId))) {
            // Room for a far end held back by the longest delay, and a second more.
            far_stream_.Open(service_, &monitorId, kQueueSamples + kVoiceRateHz * kDelaySearchMs / 1000);
            far_stream_.finder = &finder_;
        }
        finder_.Reset(kVoiceRateHz, kDelaySearchMs, kFinderLeadMs);
        farFed_ = micDone_ = 0;
        farHeld_ = 0;
        output_.Clear();
        return kHrOk;
    }

    // The processing the store asks for now.
    Processing Wanted() {
        Processing p;
        const bool features = Value(kPidFeatureMode) != kVariantFalse;
        const bool nsAgcOnly = Value(kPidSystemMode) == 5;
        p.echoCancellation = !nsAgcOnly;
        if (features) {
            p.echoSuppression = Value(kPidEchoSuppression);
            p.noiseSuppression = Value(kPidNoiseSuppression) != 0;
            p.gainControl = Value(kPidGainControl) != kVariantFalse;
            p.gainBounder = Value(kPidMicGainBounder) != kVariantFalse;
            p.noiseFill = Value(kPidNoiseFill) != kVariantFalse;
            p.echoLengthMs = Value(kPidEchoLength);
        } else if (nsAgcOnly) {
            p.gainControl = true;
        }
        return p;
    }

    // Brings WebRTC's processing in line with the store; false when it cannot be made.
    bool Configure() {
        const Processing wanted = Wanted();
        if (apm_ != nullptr && wanted == current_) return true;
        // The echo tail beyond 128 ms needs the extended filter, which is fixed when the
        // processing is made: a change of it makes the processing afresh.
        const bool extended = wanted.echoLengthMs > 128;
        if (apm_ == nullptr || extended != extendedFilter_) {
            delete apm_;
            apm_ = nullptr;
            webrtc::Config config;
            config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(extended));
            // The far end is aligned here (Align), so the canceller's own delay search is off.
            config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(false));
            config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
            apm_ = webrtc::AudioProcessing::Create(config);
            if (apm_ == nullptr) return false;
            const webrtc::StreamConfig mono(static_cast<int>(kVoiceRateHz), 1);
            if (apm_->Initialize({{mono, mono, mono, mono}}) != webrtc::AudioProcessing::kNoError) {
                delete apm_;
                apm_ = nullptr;
                return false;
            }
            extendedFilter_ = extended;
        }
        static constexpr webrtc::EchoCancellation::SuppressionLevel kLevels[] = {
            webrtc::EchoCancellation::kLowSuppression, webrtc::EchoCancellation::kModerateSuppression,
            webrtc::EchoCancellation::kHighSuppression};
        apm_->echo_cancellation()->enable_drift_compensation(false);
        apm_->echo_cancellation()->set_suppression_level(kLevels[std::clamp(wanted.echoSuppression, 0, 2)]);
        apm_->echo_cancellation()->Enable(wanted.echoCancellation);
        apm_->noise_suppression()->set_level(webrtc::NoiseSuppression::kHigh);
        apm_->noise_suppression()->Enable(wanted.noiseSuppression);
        // The gain bounder is WebRTC's limiter: with gain control on it caps the gain's peaks;
        // alone it runs the fixed digital stage at 0 dB so only its limiter acts.
        webrtc::GainControl* gain = apm_->gain_control();
        if (wanted.gainControl) {
            gain->set_mode(webrtc::GainControl::kAdaptiveDigital);
            gain->set_target_level_dbfs(3);
            gain->set_compression_gain_db(9);
        } else {
            gain->set_mode(webrtc::GainControl::kFixedDigital);
            gain->set_compression_gain_db(0);
        }
        gain->enable_limiter(wanted.gainBounder);
        gain->Enable(wanted.gainControl || wanted.gainBounder);
        current_ = wanted;
        return true;
    }

    // Processes every captured chunk whose reference is there (or overdue) while the output
    // has room.
    void ProcessReady() {
        const webrtc::StreamConfig mono(static_cast<int>(kVoiceRateHz), 1);
        while (mic_.queue.count() >= kChunkSamples && output_.count() + kChunkSamples <= kQueueSamples) {
            // Far chunk k goes to the canceller with captured chunk k + farHeld_ (which is
            // negative when the far end must run ahead of the capture).
            const auto farDue = [this] { return static_cast<int64_t>(farFed_) + farHeld_ <= static_cast<int64_t>(micDone_); };
            while (far_stream_.open() && farDue() && far_stream_.queue.count() >= kChunkSamples) {
                far_stream_.queue.Pop(chunk_.data(), kChunkSamples);
                ToFloat(chunk_.data(), far_.data());
                float* channels[1] = {far_.data()};
                apm_->ProcessReverseStream(channels, mono, mono, channels);
                ++farFed_;
            }
            // A far end that must run ahead makes the capture wait that much longer for it.
            const uint32_t waitChunks = kReferenceWaitChunks + static_cast<uint32_t>(std::max<int64_t>(0, -farHeld_));
            if (far_stream_.open() && farDue() && mic_.queue.count() < kChunkSamples * waitChunks) break;
            mic_.queue.Pop(chunk_.data(), kChunkSamples);
            ++micDone_;
            if (current_.echoCancellation) {
                finder_.AddCaptured(chunk_.data(), kChunkSamples);
                if (micDone_ % kAlignEveryChunks == 0) Align();
            }
            ToFloat(chunk_.data(), near_.data());
            float* channels[1] = {near_.data()};
            if (current_.echoCancellation) apm_->set_stream_delay_ms(0);
            // On a failure the chunk passes unprocessed rather than being lost.
            if (apm_->ProcessStream(channels, mono, mono, channels) == webrtc::AudioProcessing::kNoError) {
                FromFloat(near_.data(), chunk_.data());
            }
            if (current_.noiseFill && (current_.echoCancellation || current_.noiseSuppression)) FillNoise();
            output_.Push(chunk_.data(), kChunkSamples);
        }
    }

    // Holds the far end back so that its echo starts kEchoAfterFarMs after the far end
    // reaches the canceller, or, for an echo sooner than that (a sink's monitor heard
    // directly, a low-latency device), holds the capture back instead: the canceller expects
    // an echo some 20 ms after its far end at the least, and finds one that comes sooner only
    // after many seconds.  That costs the output kEchoAfterFarMs - delay of latency.  A move
    // of less than two chunks is left alone, as every move makes the filter start over.
    void Align() {
        const int32_t foundMs = finder_.DelayMs();
        if (foundMs < 0) return;
        const int64_t offsetMs = int64_t{foundMs} - kFinderLeadMs - kEchoAfterFarMs;
        const int64_t wanted = offsetMs >= 0 ? offsetMs / 10 : -((9 - offsetMs) / 10);  // rounded down
        if (std::llabs(wanted - farHeld_) < 2) return;
        farHeld_ = wanted;
    }

    void FillNoise() {
        for (int16_t& s : chunk_) {
            noise_ = noise_ * 1664525u + 1013904223u;
            // The top 16 bits scaled onto 0..2 * peak: a multiply where a remainder would divide.
            const int32_t n = static_cast<int32_t>(((noise_ >> 16) * (2 * kNoiseFillPeak + 1)) >> 16) - kNoiseFillPeak;
            s = static_cast<int16_t>(std::clamp<int32_t>(s + n, INT16_MIN, INT16_MAX));
        }
    }

    static void ToFloat(const int16_t* in, float* out) {
        for (uint32_t i = 0; i < kChunkSamples; ++i) out[i] = in[i] * (1.0f / 32768.0f);
    }
    static void FromFloat(const float* in, int16_t* out) {
        for (uint32_t i = 0; i < kChunkSamples; ++i) {
            const float scaled = std::clamp(in[i] * 32768.0f, -32768.0f, 32767.0f);
            out[i] = static_cast<int16_t>(scaled < 0 ? scaled - 0.5f : scaled + 0.5f);
        }
    }

    // Hands out as much processed audio as the buffer takes.
    HResult Deliver(DmoOutputDataBuffer& out) {
        uint8_t* data = nullptr;
        uint32_t length = 0, maxLength = 0;
        if (out.pBuffer->GetBufferAndLength(&data, &length) < 0 || out.pBuffer->GetMaxLength(&maxLength) < 0) {
            return kHrFail;
        }
        if (output_.count() == 0) return kHrFalse;
        const uint32_t room = maxLength > length ? (maxLength - length) / 2 : 0;
        const uint32_t n = std::min(room, output_.count());
        output_.PopBytes(data + length, n);
        out.pBuffer->SetLength(length + 2 * n);
        if (output_.count() > 0) out.dwStatus |= kDmoOutputIncomplete;
        return kHrOk;
    }

    IAudioService& service_;
    StoreEntry store_[kStoreKeys];
    CaptureStream mic_;
    CaptureStream far_stream_;
    SampleQueue output_;
    webrtc::AudioProcessing* apm_ = nullptr;
    bool extendedFilter_ = false;
    Processing current_;
    std::vector<int16_t> chunk_;
    std::vector<float> near_;
    std::vector<float> far_;
    uint32_t noise_ = 22222;
    CEchoDelayFinder finder_;
    uint64_t farFed_ = 0;   // far-end chunks given to the canceller
    uint64_t micDone_ = 0;  // captured chunks processed
    int64_t farHeld_ = 0;   // captured chunks a far chunk waits for (< 0: runs ahead by), to align its echo
};

// The service's devices of one flow.
DsResult Endpoints(IAudioService* service, int32_t flow, std::vector<DeviceDescription>* devices) {
    if (service == nullptr) return kHrClassNotRegistered;
    if (flow != kFlowRender && flow != kFlowCapture) return kHrInvalidArg;
    return flow == kFlowCapture ? service->EnumerateCapture(devices) : service->EnumeratePlayback(devices);
}

// UTF-8 to UTF-16, at most `limit` units.
std::size_t Widen(const std::string& text, char16_t* out, std::size_t limit) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size() && n < limit;) {
        const auto c = static_cast<unsigned char>(text[i]);
        uint32_t code = c;
        std::size_t extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (i + extra >= text.size()) extra = 0;  // a cut sequence: its bytes count as they are
        if (extra > 0) code = c & (0x3F >> extra);
        for (std::size_t k = 1; k <= extra; ++k) code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += 1 + extra;
        if (code >= 0x10000) {
            if (n + 2 > limit) break;
            code -= 0x10000;
            out[n++] = static_cast<char16_t>(0xD800 + (code >> 10));
            out[n++] = static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out[n++] = static_cast<char16_t>(code);
        }
    }
    return n;
}

}  // namespace

HResult CreateVoiceCapture(IAudioService* service, std::unique_ptr<IVoiceCapture>* object) {
    if (object == nullptr) return kHrPointer;
    if (service == nullptr) return kHrClassNotRegistered;
    *object = std::make_unique<VoiceCapture>(*service);
    return kHrOk;
}

HResult CountEndpoints(IAudioService* service, int32_t flow, uint32_t* count) {
    if (count == nullptr) return kHrPointer;
    std::vector<DeviceDescription> devices;
    if (HResult result = Endpoints(service, flow, &devices); result < 0) return result;
    *count = static_cast<uint32_t>(devices.size());
    return kHrOk;
}

HResult ListEndpoints(IAudioService* service, int32_t flow, uint32_t count, EndpointRecord* records) {
    std::vector<DeviceDescription> devices;
    if (HResult result = Endpoints(service, flow, &devices); result < 0) return result;
    if (devices.size() != count) return kHrInvalidArg;
    if (count > 0 && records == nullptr) return kHrPointer;
    std::memset(records, 0, sizeof(EndpointRecord) * count);
    for (uint32_t i = 0; i < count; ++i) {
        const std::size_t n = Widen(devices[i].description, records[i].text, kEndpointNameChars);
        records[i].text[n] = 0;
    }
    return kHrOk;
}

std::size_t NarrowName(const char16_t* name, char* out, std::size_t outBytes) {
    std::string text;
    for (std::size_t i = 0; name != nullptr && name[i] != 0; ++i) {
        uint32_t code = name[i];
        if (code >= 0xD800 && code < 0xDC00 && name[i + 1] >= 0xDC00 && name[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            ++i;
        }
        if (code < 0x80) {
            text += static_cast<char>(code);
        } else if (code < 0x800) {
            text += static_cast<char>(0xC0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            text += static_cast<char>(0xE0 | (code >> 12));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | (code >> 18));
            text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    if (out != nullptr && outBytes > text.size()) std::memcpy(out, text.c_str(), text.size() + 1);
    return text.size();
}

}  // namespace zelmar::platform::audio
