#include "devices/DSoundAudioOut.h"

#include <climits>
#include <cstring>

#include "devices/DeviceProperties.h"
#include "devices/DeviceRing.h"
#include "devices/DummyWindow.h"
#include "framework/Properties.h"
#include "platform/Platform.h"

namespace zelmar {

using namespace platform::audio;

CDSoundAudioOut::CDSoundAudioOut()
    : time_(platform::Current().time), audio_(platform::Current().audio) {
    EnumerateDevices();
}

CDSoundAudioOut::~CDSoundAudioOut() {
    ReleaseDevice();
    events_.clear();
    handedOver_.reset();
    DestroyDummyWindow(ownedWindow_);
}

void CDSoundAudioOut::ReleaseDevice() {
    buffer_.reset();
    primary_.reset();
    device_.reset();
    notifications_.clear();
}

void CDSoundAudioOut::EnumerateDevices() {
    deviceCount_ = 0;
    std::vector<DeviceDescription> devices;
    if (audio_ == nullptr || Failed(audio_->EnumeratePlayback(&devices))) return;
    deviceCount_ = KeepDevices(devices, kMaxDevices, descriptions_, guids_);
}

int32_t CDSoundAudioOut::SetProperty(const char* name, int32_t value, void* data) {
    if (name == nullptr) return kErrInvalidArg;
    if (state_ == kStateRunning) return kErrState;
    switch (FindDeviceProperty(name)) {
        case kDevSamplesPerSec: samplesPerSec_ = static_cast<uint32_t>(value); break;
        case kDevBitsPerSample: bitsPerSample_ = static_cast<uint16_t>(value); break;
        case kDevChannels: channels_ = static_cast<uint16_t>(value); break;
        case kDevBlockSamples: blockSamples_ = static_cast<uint32_t>(value); break;
        case kDevOutBufferTime: outBufferTimeMs_ = static_cast<uint32_t>(value); break;
        case kDevOutDeviceNo:
            if (value < -1 || value >= deviceCount_) return kErrInvalidArg;
            deviceNumber_ = value;
            break;
        case kDevTimeOut: timeOutMs_ = static_cast<uint32_t>(value); break;
        case kDevDSPlayBuffer:
            // The pointer travels in `data`; this component now owns that buffer.
            handedOver_.reset(static_cast<IPlaybackBuffer*>(data));
            break;
        case kDevhWnd: window_ = value; break;
        default: break;  // read-only and unknown names are accepted and ignored
    }
    return kOk;
}

int32_t CDSoundAudioOut::GetProperty(const char* name, int32_t arg, void* out) {
    if (name == nullptr || out == nullptr) return kErrInvalidArg;
    switch (FindDeviceProperty(name)) {
        case kDevOutDeviceNum: WriteInt32(out, deviceCount_); return kOk;
        case kDevOutDeviceNo: WriteInt32(out, deviceNumber_); return kOk;
        case kDevOutDeviceName: return CopyDeviceName(descriptions_, deviceCount_, arg, out);
        case kDevOutDeviceGUID: return CopyDeviceGuid(guids_, deviceCount_, arg, out);
        case kDevWaveFormat: std::memcpy(out, format_.bytes, kWaveFormatBytes); return kOk;
        case kDevNotifySize: WriteInt32(out, blockBytes_); return kOk;
        case kDevTotalOut: WriteUint32(out, totalOut_); return kOk;
        default: return kErrInvalidArg;
    }
}

int32_t CDSoundAudioOut::Build() {
    if (state_ != kStateCreated) {
        ReleaseDevice();
        state_ = kStateCreated;
    }
    if (OpenDevice() != 0) return kErrPlatform;
    state_ = kStateBuilt;
    return kOk;
}

int32_t CDSoundAudioOut::OpenDevice() {
    const WAVEFORMATEX wfx = DeviceFormat(samplesPerSec_, bitsPerSample_, channels_);
    const uint64_t blockBytes = uint64_t{blockSamples_} * wfx.nBlockAlign;
    if (blockBytes == 0 || blockBytes > INT32_MAX) return kErrInvalidArg;
    uint32_t bufferBytes = 0;
    if (!RingBufferBytes(outBufferTimeMs_, wfx, static_cast<uint32_t>(blockBytes), &bufferBytes)) {
        return kErrInvalidArg;
    }

    std::unique_ptr<IPlaybackDevice> device;
    std::unique_ptr<IPlaybackBuffer> primary;
    std::unique_ptr<IPlaybackBuffer> buffer;
    if (handedOver_ != nullptr) {
        buffer = std::move(handedOver_);
    } else {
        if (audio_ == nullptr) return kDsErrNoDriver;
        const DeviceGuid* id = deviceNumber_ >= 0 ? &guids_[deviceNumber_] : nullptr;
        DsResult result = audio_->CreatePlayback(id, &device);
        if (Failed(result)) return result;
        if (window_ == 0) {
            // The owner is made on this (the building) thread and kept for every later Build.
            if (ownedWindow_ == 0) ownedWindow_ = CreateDummyWindow();
            window_ = ownedWindow_;
        }
        result = device->SetCooperativeLevel(window_, kCooperativePriority);
        if (Failed(result)) return result;
        PlaybackBufferDesc primaryDesc;
        primaryDesc.flags = kBufferPrimary;
        result = device->CreateSoundBuffer(primaryDesc, &primary);
        if (Failed(result)) return result;
        result = primary->SetFormat(wfx);
        if (Failed(result)) return result;
        PlaybackBufferDesc desc;
        desc.flags = kBufferGetCurrentPosition2 | kBufferGlobalFocus | kBufferCtrlPositionNotify;
        desc.bufferBytes = bufferBytes;
        desc.hasFormat = true;
        desc.format = wfx;
        result = device->CreateSoundBuffer(desc, &buffer);
        if (Failed(result)) return result;
    }

    const auto blockCount = static_cast<int32_t>(bufferBytes / blockBytes);
    // Entry i fires two bytes before the end of the block after block i: by then block i has
    // been played and may be written again.
    BlockNotifications made;
    DsResult result = MakeBlockNotifications(
        *time_, blockCount, static_cast<uint32_t>(blockBytes),
        [blockBytes, bufferBytes](int32_t i) {
            return static_cast<uint32_t>(((uint64_t{static_cast<uint32_t>(i)} + 2) * blockBytes - 2) % bufferBytes);
        },
        &made);
    if (Failed(result)) return result;
    result = buffer->SetNotificationPositions(static_cast<uint32_t>(made.table.size()), made.table.data());
    if (Failed(result)) return result;

    // Silence over the whole buffer: 0 for 16-bit samples, 0x80 (unsigned mid-scale) otherwise.
    void* part1 = nullptr;
    uint32_t bytes1 = 0;
    void* part2 = nullptr;
    uint32_t bytes2 = 0;
    result = buffer->Lock(0, bufferBytes, &part1, &bytes1, &part2, &bytes2, 0);
    if (Failed(result)) return result;
    std::memset(part1, bitsPerSample_ == 16 ? 0x00 : 0x80, bytes1);
    result = buffer->Unlock(part1, bytes1, part2, bytes2);
    if (Failed(result)) return result;

    device_ = std::move(device);
    primary_ = std::move(primary);
    buffer_ = std::move(buffer);
    // The old events go only after the buffer that pointed at them.
    events_ = std::move(made.events);
    notifications_ = std::move(made.table);
    blockOffsets_ = std::move(made.offsets);
    blockCount_ = blockCount;
    blockBytes_ = static_cast<int32_t>(blockBytes);
    bufferBytes_ = bufferBytes;
    currentBlock_ = 0;
    format_ = FormatBlock{};
    format_.SetFormat(wfx);
    return kOk;
}

int32_t CDSoundAudioOut::Start() {
    if (state_ == kStateCreated) return kErrState;
    if (state_ == kStateRunning) return kOk;
    if (buffer_ != nullptr && Failed(buffer_->Play(0))) return kErrPlatform;
    // Writing starts again at the head of the ring.
    currentBlock_ = 0;
    totalOut_ = 0;
    state_ = kStateRunning;
    return kOk;
}

int32_t CDSoundAudioOut::Stop() {
    if (state_ == kStateCreated) return kErrState;
    if (state_ == kStateBuilt) return kOk;
    // The buffer keeps its contents and play position.
    if (buffer_ != nullptr && Failed(buffer_->Stop())) return kErrPlatform;
    state_ = kStateBuilt;
    return kOk;
}

int32_t CDSoundAudioOut::PutData(const void* buffer, int32_t bytes) {
    if (state_ != kStateRunning) return kErrState;
    if (buffer == nullptr || bytes <= 0) return kErrInvalidArg;
    return WriteBlock(buffer, bytes);
}

bool CDSoundAudioOut::IsBlockClear(uint32_t offset, uint32_t bytes, uint32_t play, uint32_t write) {
    const uint32_t end = offset + bytes;
    if (play <= write) return end <= play || offset >= write;
    // The span play .. write wraps past the end of the buffer.
    return end <= play && offset >= write;
}

int32_t CDSoundAudioOut::WaitBlockReady(int32_t bytes) {
    const uint32_t pollSleepMs = BlockSleepMs(blockSamples_, samplesPerSec_);
    int tries = 0;
    for (;;) {
        uint32_t play = 0;
        uint32_t write = 0;
        if (Failed(buffer_->GetCurrentPosition(&play, &write))) return kErrPlatform;
        if (play == write) {
            // Cursors together: the buffer is not playing; give it a whole buffer time.
            time_->SleepMs(outBufferTimeMs_);
            ++tries;
        }
        if (IsBlockClear(blockOffsets_[currentBlock_], static_cast<uint32_t>(bytes), play, write)) return kOk;
        time_->SleepMs(pollSleepMs);
        ++tries;
        if (tries >= kMaxPollTries) return kErrTimeout;
    }
}

int32_t CDSoundAudioOut::WriteBlock(const void* buffer, int32_t bytes) {
    if (buffer_ == nullptr) return kErrPlatform;
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
    // Never read past the caller's `bytes`, even from a misbehaving handed-over buffer.
    if (uint64_t{bytes1} + bytes2 > static_cast<uint32_t>(bytes)) {
        buffer_->Unlock(part1, bytes1, part2, bytes2);
        return kErrPlatform;
    }
    const auto* in = static_cast<const uint8_t*>(buffer);
    if (bytes1 != 0) std::memcpy(part1, in, bytes1);
    if (part2 != nullptr && bytes2 != 0) std::memcpy(part2, in + bytes1, bytes2);
    buffer_->Unlock(part1, bytes1, part2, bytes2);
    currentBlock_ = currentBlock_ + 1 == blockCount_ ? 0 : currentBlock_ + 1;
    totalOut_ += bytes1 + bytes2;
    return static_cast<int32_t>(bytes1 + bytes2);
}

}  // namespace zelmar
