#include "devices/DSoundAudioIn.h"

#include <climits>
#include <cstring>

#include "devices/DeviceProperties.h"
#include "devices/DeviceRing.h"
#include "framework/Properties.h"
#include "platform/Platform.h"

namespace zelmar {

using namespace platform::audio;

CDSoundAudioIn::CDSoundAudioIn()
    : time_(platform::Current().time), audio_(platform::Current().audio) {
    EnumerateDevices();
}

CDSoundAudioIn::~CDSoundAudioIn() { ReleaseDevice(); }

void CDSoundAudioIn::ReleaseDevice() {
    // The buffer goes before the events its notifications point at.
    buffer_.reset();
    device_.reset();
    events_.clear();
    blockOffsets_.clear();
}

int32_t CDSoundAudioIn::EnumerateDevices() {
    deviceCount_ = 0;
    ReleaseDevice();
    std::vector<DeviceDescription> devices;
    if (audio_ == nullptr || Failed(audio_->EnumerateCapture(&devices))) return kOk;
    deviceCount_ = KeepDevices(devices, kMaxDevices, descriptions_, guids_);
    return kOk;
}

int32_t CDSoundAudioIn::SetProperty(const char* name, int32_t value, void* data) {
    if (name == nullptr) return kErrInvalidArg;
    const int32_t index = FindDeviceProperty(name);
    if (index == kDevEnableEffect || index == kDevDisableEffect) {
        if (static_cast<uint32_t>(value) > 1) return kErrInvalidArg;
        effectSwitches_[value] = index == kDevEnableEffect ? 1 : 0;
        if (state_ == kStateRunning) ApplyEffects();  // best effort: the switch is what counts
        return kOk;
    }
    if (state_ == kStateRunning) return kErrState;
    switch (index) {
        case kDevSamplesPerSec: samplesPerSec_ = static_cast<uint32_t>(value); break;
        case kDevBitsPerSample: bitsPerSample_ = static_cast<uint16_t>(value); break;
        case kDevChannels: channels_ = static_cast<uint16_t>(value); break;
        case kDevBlockSamples: blockSamples_ = static_cast<uint32_t>(value); break;
        case kDevInBufferTime: inBufferTimeMs_ = static_cast<uint32_t>(value); break;
        case kDevInDeviceNo:
            if (value < -1 || value >= deviceCount_) return kErrInvalidArg;
            deviceNumber_ = value;
            break;
        case kDevTimeOut: timeOutMs_ = static_cast<uint32_t>(value); break;
        case kDevDSCaptureBuffer:
            // The pointer travels in `data`; this component now owns that buffer.
            handedOver_.reset(static_cast<ICaptureBuffer*>(data));
            break;
        default: break;  // read-only and unknown names are accepted and ignored
    }
    return kOk;
}

int32_t CDSoundAudioIn::GetProperty(const char* name, int32_t arg, void* out) {
    if (name == nullptr || out == nullptr) return kErrInvalidArg;
    switch (FindDeviceProperty(name)) {
        case kDevInDeviceNum: WriteInt32(out, deviceCount_); return kOk;
        case kDevInDeviceNo: WriteInt32(out, deviceNumber_); return kOk;
        case kDevInDeviceName: return CopyDeviceName(descriptions_, deviceCount_, arg, out);
        case kDevInDeviceGUID: return CopyDeviceGuid(guids_, deviceCount_, arg, out);
        case kDevWaveFormat: std::memcpy(out, format_.bytes, kWaveFormatBytes); return kOk;
        case kDevNotifySize: WriteInt32(out, blockBytes_); return kOk;
        case kDevTotalIn: WriteUint32(out, totalIn_); return kOk;
        default: return kErrInvalidArg;
    }
}

int32_t CDSoundAudioIn::Build() {
    if (state_ != kStateCreated) {
        // A handed-over buffer goes with the rest: the next Build opens the numbered device
        // unless a buffer is handed over again.
        ReleaseDevice();
        state_ = kStateCreated;
    }
    if (OpenDevice() != 0) return kErrPlatform;
    state_ = kStateBuilt;
    return kOk;
}

int32_t CDSoundAudioIn::OpenDevice() {
    const WAVEFORMATEX wfx = DeviceFormat(samplesPerSec_, bitsPerSample_, channels_);
    const uint64_t blockBytes = uint64_t{blockSamples_} * wfx.nBlockAlign;
    if (blockBytes == 0) return kErrInvalidArg;
    // A block must be addressable by the signed byte counts of GetData.
    if (blockBytes > INT32_MAX) return kErrInvalidArg;
    uint32_t bufferBytes = 0;
    if (!RingBufferBytes(inBufferTimeMs_, wfx, static_cast<uint32_t>(blockBytes), &bufferBytes)) {
        return kErrInvalidArg;
    }

    CaptureBufferDesc desc;
    desc.flags = 0;
    desc.bufferBytes = bufferBytes;
    desc.format = wfx;

    std::unique_ptr<ICaptureDevice> device;
    std::unique_ptr<ICaptureBuffer> buffer;
    if (handedOver_ != nullptr) {
        buffer = std::move(handedOver_);
    } else {
        effectSwitches_[0] = effectSwitches_[1] = 0;
        if (audio_ == nullptr) return kDsErrNoDriver;
        const DeviceGuid* id = deviceNumber_ >= 0 ? &guids_[deviceNumber_] : nullptr;
        DsResult result = audio_->CreateCapture(id, &device);
        if (Failed(result)) return result;
        DeviceCaps caps;
        device->GetCaps(&caps);  // informative only
        result = device->CreateCaptureBuffer(desc, &buffer);
        if (Failed(result)) return result;
    }

    const auto blockCount = static_cast<int32_t>(bufferBytes / blockBytes);
    const auto block = static_cast<uint32_t>(blockBytes);
    // Each block notifies two bytes before its end.
    BlockNotifications made;
    DsResult result = MakeBlockNotifications(
        *time_, blockCount, block, [block](int32_t i) { return static_cast<uint32_t>(i) * block + block - 2; }, &made);
    if (Failed(result)) return result;
    result = buffer->SetNotificationPositions(static_cast<uint32_t>(made.table.size()), made.table.data());
    if (Failed(result)) return result;

    device_ = std::move(device);
    buffer_ = std::move(buffer);
    events_ = std::move(made.events);
    blockOffsets_ = std::move(made.offsets);
    blockCount_ = blockCount;
    blockBytes_ = static_cast<int32_t>(blockBytes);
    bufferBytes_ = bufferBytes;
    format_ = FormatBlock{};
    format_.SetFormat(wfx);
    currentBlock_ = 0;
    return kOk;
}

int32_t CDSoundAudioIn::Start() {
    if (state_ == kStateCreated) return kErrState;
    if (state_ == kStateRunning) return kOk;
    for (auto& event : events_) event->Reset();
    ApplyEffects();
    if (buffer_ != nullptr && Failed(buffer_->Start(kCaptureStartLooping))) return kErrPlatform;
    // The block index carries on: a restarted capture continues after the last block it gave.
    totalIn_ = 0;
    state_ = kStateRunning;
    return kOk;
}

int32_t CDSoundAudioIn::Stop() {
    if (state_ == kStateCreated) return kErrState;
    if (state_ == kStateBuilt) return kOk;
    if (buffer_ != nullptr && Failed(buffer_->Stop())) return kErrPlatform;
    state_ = kStateBuilt;
    return kOk;
}

int32_t CDSoundAudioIn::GetData(void* buffer, int32_t bytes) {
    if (state_ != kStateRunning) return kErrState;
    if (buffer == nullptr || bytes < 1 || bytes < blockBytes_) return kErrInvalidArg;
    return ReadBlock(buffer, bytes);
}

int32_t CDSoundAudioIn::ReadBlock(void* buffer, int32_t bytes) {
    const int32_t ready = WaitBlockReady(bytes);
    if (ready != 0) return ready;
    void* part1 = nullptr;
    void* part2 = nullptr;
    uint32_t bytes1 = 0;
    uint32_t bytes2 = 0;
    if (Failed(buffer_->Lock(blockOffsets_[currentBlock_], static_cast<uint32_t>(bytes), &part1, &bytes1,
                             &part2, &bytes2, 0))) {
        return kErrPlatform;
    }
    // The device never hands out more than was asked for, so both parts fit the caller's
    // `bytes`; checked anyway, as the buffer may be a handed-over one.
    if (uint64_t{bytes1} + bytes2 > static_cast<uint32_t>(bytes)) {
        buffer_->Unlock(part1, bytes1, part2, bytes2);
        return kErrPlatform;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    if (bytes1 != 0) std::memcpy(out, part1, bytes1);
    if (part2 != nullptr && bytes2 != 0) std::memcpy(out + bytes1, part2, bytes2);
    buffer_->Unlock(part1, bytes1, part2, bytes2);
    currentBlock_ = currentBlock_ + 1 == blockCount_ ? 0 : currentBlock_ + 1;
    totalIn_ += bytes1 + bytes2;
    return static_cast<int32_t>(bytes1 + bytes2);
}

int32_t CDSoundAudioIn::IsBlockClear(uint32_t offset, uint32_t length, uint32_t capturePos, uint32_t readPos) {
    const uint32_t end = offset + length;
    if (readPos <= capturePos) {
        // Being filled: [readPos, capturePos).
        return end <= readPos || offset > capturePos ? 1 : 0;
    }
    // Being filled: [readPos, end of buffer) and [0, capturePos).
    return end <= readPos && offset >= capturePos ? 1 : 0;
}

int32_t CDSoundAudioIn::WaitBlockReady(int32_t bytes) {
    if (buffer_ == nullptr) return kErrPlatform;
    const uint32_t pollSleepMs = BlockSleepMs(blockSamples_, samplesPerSec_);
    int tries = 0;
    for (;;) {
        uint32_t capturePos = 0;
        uint32_t readPos = 0;
        if (Failed(buffer_->GetCurrentPosition(&capturePos, &readPos))) return kErrPlatform;
        if (capturePos == readPos) {
            // Cursors together: the device is not moving; give it a whole buffer time.
            time_->SleepMs(inBufferTimeMs_);
            ++tries;
        }
        if (IsBlockClear(blockOffsets_[currentBlock_], static_cast<uint32_t>(bytes), capturePos, readPos)) {
            return kOk;
        }
        time_->SleepMs(pollSleepMs);
        ++tries;
        if (tries >= kMaxPollTries) return kErrTimeout;
    }
}

int32_t CDSoundAudioIn::ApplyEffects() {
    if (buffer_ == nullptr) return kDsErrInvalidCall;
    std::unique_ptr<ICaptureEffect> effect;
    DsResult result = buffer_->GetObjectInPath(CaptureEffect::kNoiseSuppression, &effect);
    if (Failed(result)) return result;
    bool enabled = false;
    result = effect->GetEnable(&enabled);
    if (Failed(result)) return result;
    const bool wanted = effectSwitches_[kEffectNoiseSuppression] != 0;
    if (enabled != wanted) {
        result = effect->SetEnable(wanted);
        effectSwitches_[kEffectNoiseSuppression] = wanted ? 1 : 0;
    }
    return result;
}

}  // namespace zelmar
