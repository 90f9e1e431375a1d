#include "devices/DSoundAudioIn.h"

#include <cstring>

namespace zelmar {

using namespace platform::audio;

const PropertyTable<CDSoundAudioIn>& CDSoundAudioIn::Properties() {
    using C = CDSoundAudioIn;
    static constexpr PropertyRow<C> kOwnRows[] = {
        // Effect switches are taken in every state, a running capture applying them at once.
        DeviceRow<C>(kDevEnableEffect, Settable::kAlways, Readable::kNo, Value::kHook, nullptr, &C::EnableEffect),
        DeviceRow<C>(kDevDisableEffect, Settable::kAlways, Readable::kNo, Value::kHook, nullptr, &C::DisableEffect),
        DeviceRow<C>(kDevTotalIn, Settable::kNo, Readable::kYes, Value::kUint32,
                     [](C& c) -> void* { return &c.counters_.totalIn; }),
    };
    static constexpr auto kRows = InDeviceTableOrder(JoinRows(EndpointRows<C>(), kOwnRows));
    static constexpr PropertyTable<C> kTable{kRows, kDevUnknown, kDeviceRules};
    return kTable;
}

CDSoundAudioIn::CDSoundAudioIn() { EnumerateDevices(); }

CDSoundAudioIn::~CDSoundAudioIn() = default;

int32_t CDSoundAudioIn::EnumerateDevices() {
    ReleaseDevice();
    ListDevices();
    return kOk;
}

int32_t CDSoundAudioIn::SetProperty(const char* name, int32_t value, void* data) {
    return Properties().Set(*this, state_, name, value, data);
}

int32_t CDSoundAudioIn::GetProperty(const char* name, int32_t arg, void* out) {
    return Properties().Get(*this, name, arg, out);
}

int32_t CDSoundAudioIn::SwitchEffect(int32_t effect, int32_t on) {
    if (static_cast<uint32_t>(effect) > 1) return kErrInvalidArg;
    effectSwitches_[effect] = on;
    if (state_ == kStateRunning) ApplyEffects();  // best effort: the switch is what counts
    return kOk;
}

int32_t CDSoundAudioIn::Build() {
    return LenientBuild([this] { ReleaseDevice(); }, [this] { return OpenDevice(); });
}

int32_t CDSoundAudioIn::OpenDevice() {
    WAVEFORMATEX wfx;
    RingLayout layout;
    if (const int32_t planned = PlanRing(&wfx, &layout); planned != kOk) return planned;

    std::unique_ptr<ICaptureDevice> device;
    std::unique_ptr<ICaptureBuffer> buffer = std::move(handedOver_);
    if (buffer == nullptr) {
        effectSwitches_[0] = effectSwitches_[1] = 0;
        DsResult result = CreateDevice(&device);
        if (Failed(result)) return result;
        DeviceCaps caps;
        device->GetCaps(&caps);  // informative only
        CaptureBufferDesc desc;
        desc.bufferBytes = layout.bufferBytes;
        desc.format = wfx;
        result = device->CreateCaptureBuffer(desc, &buffer);
        if (Failed(result)) return result;
    }

    // Each block notifies two bytes before its end.
    const auto block = static_cast<uint32_t>(layout.blockBytes);
    BlockNotifications notifications;
    const DsResult result = ArmRing(
        *buffer, layout, NotifyEvents::kPerBlockAndStop, [block](uint32_t i) { return i * block + block - 2; },
        &notifications);
    if (Failed(result)) return result;
    Keep(std::move(device), std::move(buffer), wfx, layout, std::move(notifications));
    return kOk;
}

int32_t CDSoundAudioIn::Start() {
    return LenientStart([this] {
        ring_.ResetEvents();
        ApplyEffects();
        if (buffer_ != nullptr && Failed(buffer_->Start(kCaptureStartLooping))) return false;
        counters_ = Counters{};
        return true;
    });
}

int32_t CDSoundAudioIn::GetData(void* buffer, int32_t bytes) {
    if (state_ != kStateRunning) return kErrState;
    if (buffer == nullptr || bytes < 1 || bytes < ring_.layout().blockBytes) return kErrInvalidArg;
    return ReadBlock(buffer, bytes);
}

int32_t CDSoundAudioIn::ReadBlock(void* buffer, int32_t bytes) {
    const int32_t ready = WaitBlockReady(bytes);
    if (ready != kOk) return ready;
    auto* to = static_cast<uint8_t*>(buffer);
    const int32_t read =
        ring_.Transfer(*buffer_, bytes, [to](void* part, uint32_t at, uint32_t n) { std::memcpy(to + at, part, n); });
    if (read >= 0) counters_.totalIn += static_cast<uint32_t>(read);
    return read;
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
    const uint32_t offset = ring_.CurrentOffset();
    const auto length = static_cast<uint32_t>(bytes);
    return PollUntilClear(*buffer_, *time_, settings_.bufferTimeMs, settings_.PollSleepMs(),
                          [this, offset, length](uint32_t capturePos, uint32_t readPos) {
                              return IsBlockClear(offset, length, capturePos, readPos) != 0;
                          });
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
    if (enabled != wanted) result = effect->SetEnable(wanted);
    return result;
}

}  // namespace zelmar
