#include "devices/DMOAECAudioIn.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "devices/WaveOrder.h"
#include "framework/DebugOutput.h"
#include "platform/Platform.h"

namespace zelmar {

using namespace platform::audio;

namespace {

enum DmoProperty : int32_t {
    kBlockSamples = 0,
    kEchoLength = 1,
    kAesValue = 2,
    kInBufferTime = 3,
    kInDeviceNum = 4,
    kInDeviceNo = 5,
    kInDeviceName = 6,
    kOutDeviceNum = 7,
    kOutDeviceNo = 8,
    kOutDeviceName = 9,
    kEnableEffect = 10,
    kDisableEffect = 11,
    kWaveFormat = 12,
    kTimeOut = 13,
    kNotifySize = 14,
    kTotalIn = 15,
    kUnknown = 17,
};

constexpr PropertyRules kRules = [] {
    PropertyRules rules;
    rules.unknownOnSet = kOk;  // unknown and read-only names are accepted and ignored
    rules.unknownOnGet = kErrInvalidArg;
    rules.lockedWhileRunning = true;  // only the effect switches are taken while running
    return rules;
}();

constexpr uint32_t kPollMs = 10;
constexpr uint32_t kEmptyDrainPauseMs = 20;
constexpr uint32_t kMaxEmptyReads = 100;  // about a second of an object that produces nothing
// Failing reads are bounded as empty ones are: a capture that went away ends the call.
constexpr uint32_t kMaxFailedReads = 100;
constexpr uint32_t kSingleChannelAec = 0;
constexpr uint32_t kSingleChannelNsAgc = 5;

unsigned Hex(HResult result) { return static_cast<unsigned>(result); }

// The property-store writes: a key that already holds the value is neither written nor
// traced; a null label traces nothing.
HResult SetPropertyInt(IPropertyStore* store, uint32_t pid, int32_t value, const char* label) {
    PropVariant old;
    HResult result = store->GetValue(VoiceKey(pid), &old);
    if (result >= 0 && old.lVal != value) {
        PropVariant wanted;
        wanted.vt = kVtI4;
        wanted.lVal = value;
        result = store->SetValue(VoiceKey(pid), wanted);
        if (label != nullptr) DebugPrintf("SetPropertyInt(%x): %s %5d(%d) \n", Hex(result), label, value, old.lVal);
    }
    PropVariantClear(&old);
    return result;
}

HResult SetPropertyBool(IPropertyStore* store, uint32_t pid, bool flag, const char* label) {
    const int16_t value = flag ? kVariantTrue : kVariantFalse;
    PropVariant old;
    HResult result = store->GetValue(VoiceKey(pid), &old);
    if (result >= 0 && old.boolVal != value) {
        PropVariant wanted;
        wanted.vt = kVtBool;
        wanted.boolVal = value;
        result = store->SetValue(VoiceKey(pid), wanted);
        if (label != nullptr) DebugPrintf("SetPropertyBool(%x): %s %5d \n", Hex(result), label, value);
    }
    PropVariantClear(&old);
    return result;
}

HResult GetPropertyInt(IPropertyStore* store, uint32_t pid, int32_t* out, const char* label) {
    PropVariant read;
    const HResult result = store->GetValue(VoiceKey(pid), &read);
    if (result >= 0) {
        *out = read.lVal;
        if (label != nullptr) DebugPrintf("GetPropertyInt(%x): %s %5d \n", Hex(result), label, read.lVal);
    }
    PropVariantClear(&read);
    return result;
}

// Endpoint indexes travel in the list order of a waveIn / waveOut arrangement as the first
// four bytes of an otherwise zero id, so a position no device filled (a zero id) reads -1.
DeviceGuid IndexId(int32_t endpoint) {
    DeviceGuid id;
    const uint32_t stored = static_cast<uint32_t>(endpoint) + 1;
    std::memcpy(id.bytes, &stored, sizeof stored);
    return id;
}
int32_t IdIndex(const DeviceGuid& id) {
    uint32_t stored;
    std::memcpy(&stored, id.bytes, sizeof stored);
    return static_cast<int32_t>(stored) - 1;
}

}  // namespace

const PropertyTable<CDMOAECAudioIn>& CDMOAECAudioIn::Properties() {
    using C = CDMOAECAudioIn;
    constexpr Settable kSetting = Settable::kUnlessRunning;
    static constexpr PropertyRow<C> kRows[] = {
        {"BlockSamples", kBlockSamples, kSetting, Readable::kNo, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.blockSamples; }},
        // 128, 256, 512 or 1024 ms only.
        {"EchoLength", kEchoLength, kSetting, Readable::kNo, Value::kHook, kAnyInt, nullptr, nullptr, &C::SetEchoLength},
        {"AESValue", kAesValue, kSetting, Readable::kNo, Value::kInt32, {0, 2},
         [](C& c) -> void* { return &c.settings_.echoSuppression; }},
        {"InBufferTime", kInBufferTime, Settable::kNo, Readable::kNo, Value::kHook},
        {"InDeviceNum", kInDeviceNum, Settable::kNo, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.capture_.count; }},
        {"InDeviceNo", kInDeviceNo, kSetting, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.captureDevice; }, nullptr, &C::SetInDeviceNo},
        {"InDeviceName", kInDeviceName, Settable::kNo, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr, nullptr,
         &C::GetInDeviceName},
        {"OutDeviceNum", kOutDeviceNum, Settable::kNo, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.render_.count; }},
        {"OutDeviceNo", kOutDeviceNo, kSetting, Readable::kYes, Value::kInt32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.renderDevice; }, nullptr, &C::SetOutDeviceNo},
        {"OutDeviceName", kOutDeviceName, Settable::kNo, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         nullptr, &C::GetOutDeviceName},
        // Effect switches are taken in every state; a running capture applies them at its next read.
        {"EnableEffect", kEnableEffect, Settable::kAlways, Readable::kNo, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::EnableEffect},
        {"DisableEffect", kDisableEffect, Settable::kAlways, Readable::kNo, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::DisableEffect},
        {"WaveFormat", kWaveFormat, Settable::kNo, Readable::kNo, Value::kHook},
        {"TimeOut", kTimeOut, kSetting, Readable::kNo, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.settings_.timeOutMs; }},
        {"NotifySize", kNotifySize, Settable::kNo, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr, nullptr,
         &C::GetNotifySize},
        {"TotalIn", kTotalIn, Settable::kNo, Readable::kYes, Value::kUint32, kAnyInt,
         [](C& c) -> void* { return &c.totalIn_; }},
    };
    static constexpr PropertyTable<C> kTable{kRows, kUnknown, kRules};
    return kTable;
}

// ---- the media buffers ----

HResult CDMOAECAudioIn::CBaseMediaBuffer::QueryInterface(const Guid& iid, void** object) {
    if (object == nullptr) return kHrPointer;
    if (iid == kIidUnknown || iid == kIidMediaBuffer) {
        AddRef();
        *object = static_cast<IMediaBuffer*>(this);
        return kHrOk;
    }
    *object = nullptr;
    return kHrNoInterface;
}

uint32_t CDMOAECAudioIn::CBaseMediaBuffer::AddRef() {
    return static_cast<uint32_t>(__atomic_add_fetch(&references_, 1, __ATOMIC_ACQ_REL));
}

uint32_t CDMOAECAudioIn::CBaseMediaBuffer::Release() {
    const int32_t left = __atomic_sub_fetch(&references_, 1, __ATOMIC_ACQ_REL);
    if (left == 0) delete this;
    return static_cast<uint32_t>(left);
}

HResult CDMOAECAudioIn::CBaseMediaBuffer::SetLength(uint32_t length) {
    length_ = length;
    return kHrOk;
}

HResult CDMOAECAudioIn::CBaseMediaBuffer::GetMaxLength(uint32_t* maxLength) {
    if (maxLength != nullptr) *maxLength = maxLength_;
    return kHrOk;
}

HResult CDMOAECAudioIn::CBaseMediaBuffer::GetBufferAndLength(uint8_t** buffer, uint32_t* length) {
    if (buffer != nullptr) *buffer = data_;
    if (length != nullptr) *length = length_;
    return kHrOk;
}

CDMOAECAudioIn::CStaticMediaBuffer& CDMOAECAudioIn::SharedOutputBuffer() {
    static CStaticMediaBuffer* const shared = new CStaticMediaBuffer();  // never freed
    return *shared;
}

// ---- devices ----

void CDMOAECAudioIn::DeviceTable::Clear() {
    count = 0;
    for (int32_t i = 0; i < kMaxDevices; ++i) {
        names[i].reset();
        endpoints[i] = -1;
    }
}

int32_t CDMOAECAudioIn::DeviceTable::Endpoint(int32_t number) const {
    return number >= 0 && number < count ? endpoints[number] : -1;
}

int32_t CDMOAECAudioIn::DeviceTable::CopyName(int32_t index, void* out) const {
    if (static_cast<uint32_t>(index) >= static_cast<uint32_t>(count)) return kErrInvalidArg;
    const char* name = names[index] != nullptr ? names[index].get() : "";
    std::memcpy(out, name, std::strlen(name) + 1);
    return kOk;
}

CDMOAECAudioIn::CDMOAECAudioIn() : time_(platform::Current().time), audio_(platform::Current().audio) {
    capture_.Clear();
    render_.Clear();
    EnumerateDevices();
}

CDMOAECAudioIn::~CDMOAECAudioIn() { ReleaseObject(); }

void CDMOAECAudioIn::FillTable(int32_t flow, DeviceTable* table) {
    uint32_t count = 0;
    if (CountEndpoints(audio_, flow, &count) < 0) return;
    std::vector<EndpointRecord> records(count);
    if (ListEndpoints(audio_, flow, count, records.data()) < 0) return;
    table->count = static_cast<int32_t>(std::min<uint32_t>(count, kMaxDevices));
    for (int32_t i = 0; i < table->count; ++i) {
        const std::size_t length = NarrowName(records[i].text, nullptr, 0);
        if (length > 0) {
            table->names[i].reset(new char[length + 1]);
            NarrowName(records[i].text, table->names[i].get(), length + 1);
        }
        table->endpoints[i] = i;
    }
}

void CDMOAECAudioIn::ArrangeTable(WaveDirection direction, DeviceTable* table, const char* mismatch) {
    std::vector<DeviceDescription> listed(static_cast<std::size_t>(table->count));
    for (int32_t i = 0; i < table->count; ++i) {
        if (table->names[i] != nullptr) listed[i].description = table->names[i].get();
        listed[i].guid = IndexId(table->endpoints[i]);
    }
    std::size_t matches = 0;
    std::unique_ptr<IWaveDevices> wave = audio_ != nullptr ? audio_->OpenWaveDevices() : nullptr;
    if (wave == nullptr || !ArrangeInWaveOrder(*wave, direction, &listed, &matches)) {
        if (matches != static_cast<std::size_t>(table->count)) {
            DebugPrintf(mismatch, static_cast<int>(matches), static_cast<int>(table->count));
        }
        return;
    }
    // Each position owns its own copy of its name, also where two devices matched one entry.
    for (int32_t d = 0; d < table->count; ++d) {
        const DeviceDescription& entry = listed[static_cast<std::size_t>(d)];
        table->names[d].reset();
        if (entry.description.empty()) {
            table->endpoints[d] = -1;
            continue;
        }
        table->names[d].reset(new char[entry.description.size() + 1]);
        std::memcpy(table->names[d].get(), entry.description.c_str(), entry.description.size() + 1);
        table->endpoints[d] = IdIndex(entry.guid);
    }
}

int32_t CDMOAECAudioIn::EnumerateDevices() {
    capture_.Clear();
    render_.Clear();
    FillTable(kFlowCapture, &capture_);
    FillTable(kFlowRender, &render_);
    totalIn_ = 0;
    ArrangeTable(WaveDirection::kIn, &capture_, "In Count MisMatch: %d:%d\n");
    ArrangeTable(WaveDirection::kOut, &render_, "Out Count MisMatch: %d:%d\n");
    return kOk;
}

// ---- properties ----

int32_t CDMOAECAudioIn::SetProperty(const char* name, int32_t value, void* data) {
    // The table knows Running as state 2.
    const int32_t state = state_ == kStateRunningHere ? static_cast<int32_t>(kStateRunning) : state_;
    return Properties().Set(*this, state, name, value, data);
}

int32_t CDMOAECAudioIn::GetProperty(const char* name, int32_t arg, void* out) {
    return Properties().Get(*this, name, arg, out);
}

int32_t CDMOAECAudioIn::SetEchoLength(int32_t value, void*) {
    if (value != 128 && value != 256 && value != 512 && value != 1024) return kErrInvalidArg;
    settings_.echoLengthMs = value;
    return kOk;
}

int32_t CDMOAECAudioIn::SetInDeviceNo(int32_t value, void*) {
    if (value < -1 || value >= capture_.count) return kErrInvalidArg;
    settings_.captureDevice = value;
    return kOk;
}

int32_t CDMOAECAudioIn::SetOutDeviceNo(int32_t value, void*) {
    if (value < -1 || value >= render_.count) return kErrInvalidArg;
    settings_.renderDevice = value;
    return kOk;
}

int32_t CDMOAECAudioIn::GetNotifySize(int32_t, void* out) {
    WriteUint32(out, 2 * settings_.blockSamples);
    return kOk;
}

int32_t CDMOAECAudioIn::SwitchEffect(int32_t effect, int32_t on) {
    if (effect < 0 || effect >= kEffectCount) return kErrInvalidArg;
    switches_[effect] = on;
    if (state_ == kStateRunningHere) effectsChanged_ = true;
    return kOk;
}

// ---- lifecycle ----

void CDMOAECAudioIn::ReleaseObject() {
    store_ = nullptr;
    mediaObject_ = nullptr;
    object_.reset();
    staging_.clear();
    staging_.shrink_to_fit();
    held_ = 0;
}

int32_t CDMOAECAudioIn::Build() {
    if (state_ != kStateCreated) {
        ReleaseObject();
        state_ = kStateCreated;
    }
    const HResult created = CreateVoiceCapture(audio_, &object_);
    if (created < 0 || object_ == nullptr) {
        // Without the object there is nothing to capture with: the build fails.
        DebugPrintf("CDMOAECAudioIn::Build : %x, %s \n", Hex(created), "voice capture object Failed");
        object_.reset();
        return kErrPlatform;
    }
    mediaObject_ = object_.get();
    store_ = object_.get();

    const int32_t captureIndex = capture_.Endpoint(settings_.captureDevice);
    const int32_t renderIndex = render_.Endpoint(settings_.renderDevice);
    const uint32_t indexes = (static_cast<uint32_t>(renderIndex) << 16) + (static_cast<uint32_t>(captureIndex) & 0xFFFF);
    SetPropertyInt(store_, kPidSystemMode, kSingleChannelAec, "SYSTEM_MODE is");
    SetPropertyInt(store_, kPidDeviceIndexes, static_cast<int32_t>(indexes), "DEVICE_INDEXES is");
    const HResult featureMode = SetPropertyBool(store_, kPidFeatureMode, true, "FEATURE_MODE is");
    if (featureMode < 0) {
        DebugPrintf("CDMOAECAudioIn::Build : %d, %s \n", featureMode, "MFPKEY_WMAAECMA_FEATURE_MODE Failed");
    }
    SetPropertyInt(store_, kPidEchoSuppression, settings_.echoSuppression, "AES is");
    SetPropertyInt(store_, kPidNoiseSuppression, 0, "NS is");
    SetPropertyBool(store_, kPidGainControl, false, "AGC is");
    SetPropertyBool(store_, kPidCenterClip, true, "CENTER_CLIP is");
    SetPropertyBool(store_, kPidNoiseFill, true, "NoiseFill is");
    SetPropertyBool(store_, kPidMicGainBounder, false, "MicGainBounder is");
    if (settings_.echoLengthMs != 0) SetPropertyInt(store_, kPidEchoLength, settings_.echoLengthMs, "EchoLength is");
    int32_t frameSize = 0;
    GetPropertyInt(store_, kPidFrameSize, &frameSize, "FrameSize is");

    switches_[0] = settings_.echoSuppression;
    switches_[1] = switches_[2] = switches_[3] = 0;
    switches_[4] = 1;

    DmoMediaType type;
    const HResult init = MoInitMediaType(&type, sizeof(WAVEFORMATEX));
    if (init < 0) {
        DebugPrintf("CDMOAECAudioIn::Build : %x, %s \n", Hex(init), "MoInitMediaType Failed");
    } else {
        type.majortype = kMediaTypeAudio;
        type.subtype = kMediaSubtypePcm;
        type.bFixedSizeSamples = 1;
        type.bTemporalCompression = 0;
        type.lSampleSize = 0;
        type.formattype = kFormatWaveFormatEx;
        WAVEFORMATEX format{};
        format.wFormatTag = 1;
        format.nChannels = 1;
        format.nSamplesPerSec = 16000;
        format.nAvgBytesPerSec = 32000;
        format.nBlockAlign = 2;
        format.wBitsPerSample = 16;
        format.cbSize = 0;
        std::memcpy(type.pbFormat, &format, sizeof format);
        const HResult set = mediaObject_->SetOutputType(0, &type, 0);
        if (set < 0) DebugPrintf("CDMOAECAudioIn::Build : %x, %s \n", Hex(set), "SetOutputType Failed");
        MoFreeMediaType(&type);
    }

    staging_.assign(kStagingBytes, 0);
    held_ = 0;
    state_ = kStateBuilt;
    return kOk;
}

int32_t CDMOAECAudioIn::Start() {
    if (state_ == kStateCreated) return kErrState;
    if (state_ == kStateRunningHere) return kOk;
    held_ = 0;
    totalIn_ = 0;
    state_ = kStateRunningHere;
    return kOk;
}

int32_t CDMOAECAudioIn::Stop() {
    if (state_ == kStateCreated) return kErrState;
    state_ = kStateBuilt;
    return kOk;
}

int32_t CDMOAECAudioIn::ApplyEffects(const int32_t* switches) {
    if (store_ == nullptr || mediaObject_ == nullptr || switches == nullptr) return kHrPointer;
    HResult result = SetPropertyInt(store_, kPidSystemMode, switches[0] != 0 ? kSingleChannelAec : kSingleChannelNsAgc,
                                    "SYSTEM_MODE is");
    int32_t scratch = 0;
    GetPropertyInt(store_, kPidEchoSuppression, &scratch, "AES is");
    mediaObject_->Flush();
    held_ = 0;
    result |= SetPropertyInt(store_, kPidNoiseSuppression, switches[1] != 0 ? 1 : 0, "NS is");
    result |= SetPropertyBool(store_, kPidGainControl, switches[2] != 0, "AGC is");
    result |= SetPropertyBool(store_, kPidMicGainBounder, switches[3] != 0, "MGB is");
    result |= SetPropertyBool(store_, kPidNoiseFill, switches[4] != 0, "NOISE_FILL is");
    return result;
}

// ---- capture ----

// The first read after Start throws away what the object held since it last delivered.
// Returns with *done set when the caller gets silence instead (nothing was ready yet).
int32_t CDMOAECAudioIn::Drain(void* buffer, int32_t bytes, DmoOutputDataBuffer* out, bool* done) {
    CStaticMediaBuffer& media = SharedOutputBuffer();
    HResult result = kHrOk;
    uint32_t status = 0;
    do {
        media.Point(staging_.data(), kStagingBytes, 0);
        out->dwStatus = 0;
        result = mediaObject_->ProcessOutput(0, 1, out, &status);
        if (result == kHrOk) {
            DebugPrintf("%x, %s , %x\n", 0u, "ProcessOutput(1)", out->dwStatus);
        } else if (result == kHrFalse) {
            DebugPrintf("ProcessOutput(1) S_FALSE, %x\n", status);
            std::memset(buffer, 0, static_cast<std::size_t>(bytes));
            time_->SleepMs(kEmptyDrainPauseMs);
            *done = true;
            return kOk;
        }
    } while (out->dwStatus & kDmoOutputIncomplete);
    DebugPrintf("%x, %s, %x\n", Hex(result), "ProcessOutput(1) Exit", status);
    return kOk;
}

int32_t CDMOAECAudioIn::Fill(uint32_t bytes, DmoOutputDataBuffer* out) {
    CStaticMediaBuffer& media = SharedOutputBuffer();
    uint32_t emptyReads = 0, failedReads = 0;
    while (held_ < bytes) {
        time_->SleepMs(kPollMs);
        do {
            // A full staging buffer serves this call; more output waits in the object.
            if (held_ >= kStagingBytes) break;
            media.Point(staging_.data() + held_, kStagingBytes - held_, 0);
            out->dwStatus = 0;
            uint32_t status = 0;
            const HResult result = mediaObject_->ProcessOutput(0, 1, out, &status);
            if (result == kHrFalse) {
                if (++emptyReads > kMaxEmptyReads) {
                    DebugPrintf("%s , %x, %x, status=%d,%d,%d,len=%d\n", "ProcessOutput(2) S_FALSE", 1u, out->dwStatus,
                                status, held_, kStagingBytes, media.length());
                    return kErrTimeout;
                }
                continue;
            }
            held_ += std::min(media.length(), kStagingBytes - held_);
            if (result < 0 && ++failedReads > kMaxFailedReads) {
                DebugPrintf("CDMOAECAudioIn::GetData : %x, %s \n", Hex(result), "ProcessOutput Failed");
                return kErrPlatform;
            }
        } while (out->dwStatus & kDmoOutputIncomplete);
    }
    return kOk;
}

int32_t CDMOAECAudioIn::GetData(void* buffer, int32_t bytes) {
    if (state_ != kStateRunningHere) return kErrState;
    if (buffer == nullptr || bytes < 1) return kErrInvalidArg;
    // The staging buffer is all the audio a call can gather.
    if (static_cast<uint32_t>(bytes) > kStagingBytes) {
        DebugPrintf("CDMOAECAudioIn::GetData : %d, %s \n", bytes, "more than the staging buffer holds");
        return kErrInvalidArg;
    }
    if (effectsChanged_) {
        ApplyEffects(switches_);
        effectsChanged_ = false;
    }
    DmoOutputDataBuffer out;
    out.pBuffer = &SharedOutputBuffer();
    int stage = 1;
    try {
        if (totalIn_ == 0) {
            bool done = false;
            Drain(buffer, bytes, &out, &done);
            if (done) return kOk;
        }
        stage = 2;
        if (const int32_t filled = Fill(static_cast<uint32_t>(bytes), &out); filled != kOk) return filled;
    } catch (...) {
        DebugPrintf("exception!! stamp = %d\n", stage);
        std::memset(buffer, 0, static_cast<std::size_t>(bytes));  // the caller gets silence, never stale bytes
        return kOk;
    }
    std::memcpy(buffer, staging_.data(), static_cast<std::size_t>(bytes));
    held_ -= static_cast<uint32_t>(bytes);
    std::memmove(staging_.data(), staging_.data() + bytes, held_);
    totalIn_ += static_cast<uint32_t>(bytes);
    return kOk;
}

}  // namespace zelmar
