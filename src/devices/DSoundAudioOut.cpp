#include "devices/DSoundAudioOut.h"

#include <cstring>

namespace zelmar {

using namespace platform::audio;

const PropertyTable<CDSoundAudioOut>& CDSoundAudioOut::Properties() {
    using C = CDSoundAudioOut;
    static constexpr PropertyRow<C> kOwnRows[] = {
        DeviceRow<C>(kDevhWnd, Settable::kUnlessRunning, Readable::kNo, Value::kInt32,
                     [](C& c) -> void* { return &c.hostWindow_; }),
        DeviceRow<C>(kDevTotalOut, Settable::kNo, Readable::kYes, Value::kUint32,
                     [](C& c) -> void* { return &c.counters_.totalOut; }),
    };
    static constexpr auto kRows = InDeviceTableOrder(JoinRows(EndpointRows<C>(), kOwnRows));
    static constexpr PropertyTable<C> kTable{kRows, kDevUnknown, kDeviceRules};
    return kTable;
}

CDSoundAudioOut::CDSoundAudioOut() { ListDevices(); }

// The device goes before the owner of its cooperative level.
CDSoundAudioOut::~CDSoundAudioOut() { ReleaseDevice(); }

void CDSoundAudioOut::ReleaseDevice() {
    buffer_.reset();
    primary_.reset();
    CDeviceEndpoint::ReleaseDevice();
}

int32_t CDSoundAudioOut::SetProperty(const char* name, int32_t value, void* data) {
    return Properties().Set(*this, state_, name, value, data);
}

int32_t CDSoundAudioOut::GetProperty(const char* name, int32_t arg, void* out) {
    return Properties().Get(*this, name, arg, out);
}

int32_t CDSoundAudioOut::Build() {
    return LenientBuild([this] { ReleaseDevice(); }, [this] { return OpenDevice(); });
}

int32_t CDSoundAudioOut::OpenDevice() {
    WAVEFORMATEX wfx;
    RingLayout layout;
    if (const int32_t planned = PlanRing(&wfx, &layout); planned != kOk) return planned;

    std::unique_ptr<IPlaybackDevice> device;
    std::unique_ptr<IPlaybackBuffer> primary;
    std::unique_ptr<IPlaybackBuffer> buffer = std::move(handedOver_);
    if (buffer == nullptr) {
        const DsResult result = OpenPlayback(wfx, layout.bufferBytes, &device, &primary, &buffer);
        if (Failed(result)) return result;
    }

    // Entry i fires two bytes before the end of the block after block i: by then block i has
    // been played and may be written again.
    const uint64_t block = static_cast<uint32_t>(layout.blockBytes);
    const uint64_t ring = layout.bufferBytes;
    BlockNotifications notifications;
    DsResult result = ArmRing(
        *buffer, layout, NotifyEvents::kPerBlockAndStop,
        [block, ring](uint32_t i) { return static_cast<uint32_t>(((i + uint64_t{2}) * block - 2) % ring); },
        &notifications);
    if (Failed(result)) return result;

    // Silence over the whole buffer: 0 for 16-bit samples, 0x80 (unsigned mid-scale) otherwise.
    void* part1 = nullptr;
    uint32_t bytes1 = 0;
    void* part2 = nullptr;
    uint32_t bytes2 = 0;
    result = buffer->Lock(0, layout.bufferBytes, &part1, &bytes1, &part2, &bytes2, 0);
    if (Failed(result)) return result;
    std::memset(part1, wfx.wBitsPerSample == 16 ? 0x00 : 0x80, bytes1);
    result = buffer->Unlock(part1, bytes1, part2, bytes2);
    if (Failed(result)) return result;

    primary_ = std::move(primary);
    Keep(std::move(device), std::move(buffer), wfx, layout, std::move(notifications));
    return kOk;
}

DsResult CDSoundAudioOut::OpenPlayback(const WAVEFORMATEX& wfx, uint32_t bufferBytes,
                                       std::unique_ptr<IPlaybackDevice>* device,
                                       std::unique_ptr<IPlaybackBuffer>* primary,
                                       std::unique_ptr<IPlaybackBuffer>* buffer) {
    DsResult result = CreateDevice(device);
    if (Failed(result)) return result;
    // Without the host's owner, one is made on this (the building) thread and kept.
    const OwnerHandle owner = hostWindow_ != 0 ? OwnerHandle{hostWindow_} : ownedWindow_.Get();
    result = (*device)->SetCooperativeLevel(owner, kCooperativePriority);
    if (Failed(result)) return result;
    PlaybackBufferDesc primaryDesc;
    primaryDesc.flags = kBufferPrimary;
    result = (*device)->CreateSoundBuffer(primaryDesc, primary);
    if (Failed(result)) return result;
    result = (*primary)->SetFormat(wfx);
    if (Failed(result)) return result;
    PlaybackBufferDesc desc;
    desc.flags = kBufferGetCurrentPosition2 | kBufferGlobalFocus | kBufferCtrlPositionNotify;
    desc.bufferBytes = bufferBytes;
    desc.hasFormat = true;
    desc.format = wfx;
    return (*device)->CreateSoundBuffer(desc, buffer);
}

int32_t CDSoundAudioOut::Start() {
    return LenientStart([this] {
        if (buffer_ != nullptr && Failed(buffer_->Play(kPlayLooping))) return false;
        ring_.Rewind();
        counters_ = Counters{};
        return true;
    });
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
    const uint32_t offset = ring_.CurrentOffset();
    const auto length = static_cast<uint32_t>(bytes);
    return PollUntilClear(
        *buffer_, *time_, settings_.bufferTimeMs, settings_.PollSleepMs(),
        [offset, length](uint32_t play, uint32_t write) { return IsBlockClear(offset, length, play, write); });
}

int32_t CDSoundAudioOut::WriteBlock(const void* buffer, int32_t bytes) {
    if (buffer_ == nullptr) return kErrPlatform;
    const int32_t ready = WaitBlockReady(bytes);
    if (ready != kOk) return ready;
    const auto* from = static_cast<const uint8_t*>(buffer);
    const int32_t written = ring_.Transfer(
        *buffer_, bytes, [from](void* part, uint32_t at, uint32_t n) { std::memcpy(part, from + at, n); });
    if (written >= 0) counters_.totalOut += static_cast<uint32_t>(written);
    return written;
}

}  // namespace zelmar
