#include "devices/DSoundAudioInOut.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "devices/DeviceRing.h"
#include "framework/DebugOutput.h"
#include "platform/Platform.h"

namespace zelmar {

using namespace platform::audio;

namespace {

// The playback buffer of a pair: cursors as the device plays them, audible without focus,
// with position notifications.
constexpr uint32_t kPairPlaybackFlags = kBufferGetCurrentPosition2 | kBufferGlobalFocus | kBufferCtrlPositionNotify;
static_assert(kPairPlaybackFlags == 0x18100, "the pair's playback buffer flags");
// No device buffer is larger; a pair that would need one is not asked for.
constexpr uint64_t kMaxBufferBytes = 0x0FFFFFFF;

// Hands `buffer` to `inner`, which owns it from then on; one refused (an inner component the
// host left running) is let go here.
template <typename Buffer>
void HandOver(IAudioIO& inner, const char* name, std::unique_ptr<Buffer> buffer) {
    if (inner.SetProperty(name, 0, buffer.get()) == kOk) buffer.release();
}

// A pair's capture buffer should carry `kind`; one that does not is only traced.
void CheckEffect(ICaptureBuffer& buffer, CaptureEffect kind, const char* label) {
    std::unique_ptr<ICaptureEffect> effect;
    const DsResult result = buffer.GetObjectInPath(kind, &effect);
    if (Failed(result)) {
        DebugPrintf("DSoundAudioInOut - GetObjectInPath(%s) Error: %x\n", label, static_cast<unsigned>(result));
    }
}

}  // namespace

template <int32_t kIndex, CDSoundAudioInOut::Inner kTo, auto kField>
int32_t CDSoundAudioInOut::SetKept(int32_t value, void* data) {
    static constexpr const char* kName = DevicePropertyNameOf(kIndex);
    if ((kTo & kToCapture) != 0 && capture_ != nullptr) capture_->SetProperty(kName, value, data);
    if ((kTo & kToPlayback) != 0 && playback_ != nullptr) playback_->SetProperty(kName, value, data);
    if constexpr (!std::is_null_pointer_v<decltype(kField)>) {
        using Field = std::remove_reference_t<decltype(settings_.*kField)>;
        settings_.*kField = static_cast<Field>(value);
    }
    return kOk;
}

template <int32_t kIndex, CDSoundAudioInOut::Inner kTo, auto kField>
int32_t CDSoundAudioInOut::SetAnswered(int32_t value, void* data) {
    static constexpr const char* kName = DevicePropertyNameOf(kIndex);
    IAudioIO* inner = Side(kTo);
    const int32_t result = inner != nullptr ? inner->SetProperty(kName, value, data) : kErrPlatform;
    if constexpr (!std::is_null_pointer_v<decltype(kField)>) {
        if (result == kOk) settings_.*kField = value;
    }
    return result;
}

template <int32_t kIndex, CDSoundAudioInOut::Inner kFrom>
int32_t CDSoundAudioInOut::GetForwarded(int32_t arg, void* out) {
    static constexpr const char* kName = DevicePropertyNameOf(kIndex);
    IAudioIO* inner = Side(kFrom);
    return inner != nullptr ? inner->GetProperty(kName, arg, out) : kErrPlatform;
}

// Only a pair's capture buffer has effects to switch; without the duplex flag the switches
// are taken and change nothing.
template <int32_t kIndex>
int32_t CDSoundAudioInOut::SetEffect(int32_t value, void* data) {
    static constexpr const char* kName = DevicePropertyNameOf(kIndex);
    if (settings_.useDuplex == 0) return kOk;
    return capture_ != nullptr ? capture_->SetProperty(kName, value, data) : kErrPlatform;
}

const PropertyTable<CDSoundAudioInOut>& CDSoundAudioInOut::Properties() {
    using C = CDSoundAudioInOut;
    using S = Settings;
    constexpr Settable kSetting = Settable::kUnlessRunning;
    constexpr Readable kNo = Readable::kNo;
    constexpr Readable kYes = Readable::kYes;
    constexpr Value kHook = Value::kHook;
    static constexpr PropertyRow<C> kRows[] = {
        // The format and block settings go to both sides; the inner answers are theirs alone.
        DeviceRow<C>(kDevSamplesPerSec, kSetting, kNo, kHook, nullptr,
                     &C::SetKept<kDevSamplesPerSec, kToBoth, &S::samplesPerSec>),
        DeviceRow<C>(kDevBitsPerSample, kSetting, kNo, kHook, nullptr,
                     &C::SetKept<kDevBitsPerSample, kToBoth, &S::bitsPerSample>),
        DeviceRow<C>(kDevChannels, kSetting, kNo, kHook, nullptr, &C::SetKept<kDevChannels, kToBoth, &S::channels>),
        DeviceRow<C>(kDevBlockSamples, kSetting, kNo, kHook, nullptr,
                     &C::SetKept<kDevBlockSamples, kToBoth, &S::blockSamples>),
        DeviceRow<C>(kDevInBufferTime, kSetting, kNo, kHook, nullptr,
                     &C::SetKept<kDevInBufferTime, kToCapture, &S::inBufferTimeMs>),
        DeviceRow<C>(kDevOutBufferTime, kSetting, kNo, kHook, nullptr,
                     &C::SetKept<kDevOutBufferTime, kToPlayback, &S::outBufferTimeMs>),
        DeviceRow<C>(kDevInDeviceNum, Settable::kNo, kYes, kHook, nullptr, nullptr,
                     &C::GetForwarded<kDevInDeviceNum, kToCapture>),
        DeviceRow<C>(kDevOutDeviceNum, Settable::kNo, kYes, kHook, nullptr, nullptr,
                     &C::GetForwarded<kDevOutDeviceNum, kToPlayback>),
        // A device number the inner component refuses is refused with its answer.
        DeviceRow<C>(kDevInDeviceNo, kSetting, kNo, kHook, nullptr,
                     &C::SetAnswered<kDevInDeviceNo, kToCapture, &S::inDeviceNumber>),
        DeviceRow<C>(kDevOutDeviceNo, kSetting, kNo, kHook, nullptr,
                     &C::SetAnswered<kDevOutDeviceNo, kToPlayback, &S::outDeviceNumber>),
        DeviceRow<C>(kDevInDeviceName, Settable::kNo, kYes, kHook, nullptr, nullptr,
                     &C::GetForwarded<kDevInDeviceName, kToCapture>),
        DeviceRow<C>(kDevOutDeviceName, Settable::kNo, kYes, kHook, nullptr, nullptr,
                     &C::GetForwarded<kDevOutDeviceName, kToPlayback>),
        // Taken in every state, as the capture side takes them.
        DeviceRow<C>(kDevEnableEffect, Settable::kAlways, kNo, kHook, nullptr, &C::SetEffect<kDevEnableEffect>),
        DeviceRow<C>(kDevDisableEffect, Settable::kAlways, kNo, kHook, nullptr, &C::SetEffect<kDevDisableEffect>),
        DeviceRow<C>(kDevWaveFormat, Settable::kNo, kYes, kHook, nullptr, nullptr, &C::GetWaveFormat),
        DeviceRow<C>(kDevTimeOut, kSetting, kNo, kHook, nullptr, &C::SetKept<kDevTimeOut, kToBoth, &S::timeOutMs>),
        DeviceRow<C>(kDevNotifySize, Settable::kNo, kYes, kHook, nullptr, nullptr, &C::GetNotifySize),
        DeviceRow<C>(kDevAudioIn, Settable::kNo, kYes, kHook, nullptr, nullptr, &C::GetAudioIn),
        DeviceRow<C>(kDevAudioOut, Settable::kNo, kYes, kHook, nullptr, nullptr, &C::GetAudioOut),
        DeviceRow<C>(kDevUseDuplexBuffer, kSetting, kNo, kHook, nullptr, &C::SetUseDuplex),
        DeviceRow<C>(kDevSoftwareBuffer, kSetting, kNo, kHook, nullptr, &C::SetKept<kDevSoftwareBuffer, kToBoth, nullptr>),
        DeviceRow<C>(kDevPrimaryBuffer, kSetting, kNo, kHook, nullptr,
                     &C::SetAnswered<kDevPrimaryBuffer, kToPlayback, nullptr>),
        DeviceRow<C>(kDevhWnd, kSetting, kNo, kHook, nullptr, &C::SetKept<kDevhWnd, kToPlayback, &S::window>),
        DeviceRow<C>(kDevTotalIn, Settable::kNo, kYes, kHook, nullptr, nullptr, &C::GetForwarded<kDevTotalIn, kToCapture>),
        DeviceRow<C>(kDevTotalOut, Settable::kNo, kYes, kHook, nullptr, nullptr,
                     &C::GetForwarded<kDevTotalOut, kToPlayback>),
    };
    // Every other name: SetProperty takes it and does nothing, GetProperty refuses it, and
    // while running only the effect switches are taken.
    static constexpr PropertyTable<C> kTable{kRows, kDevUnknown, kDeviceRules};
    return kTable;
}

// Both inner components or none: a container missing one cannot be made.
CDSoundAudioInOut::CDSoundAudioInOut()
    : capture_(ZelmarCreateComponent("DSoundAudioIn2")),
      playback_(ZelmarCreateComponent("DSoundAudioOut2")),
      audio_(platform::Current().audio) {
    if (capture_ == nullptr || playback_ == nullptr) {
        ReleaseDevice();
        throw std::bad_alloc();
    }
}

CDSoundAudioInOut::~CDSoundAudioInOut() { ReleaseDevice(); }

void CDSoundAudioInOut::ReleaseDevice() {
    ZelmarDisposeComponent(capture_);
    capture_ = nullptr;
    ZelmarDisposeComponent(playback_);
    playback_ = nullptr;
    ReleaseDuplex();
}

int32_t CDSoundAudioInOut::SetProperty(const char* name, int32_t value, void* data) {
    return Properties().Set(*this, state_, name, value, data);
}

int32_t CDSoundAudioInOut::GetProperty(const char* name, int32_t arg, void* out) {
    return Properties().Get(*this, name, arg, out);
}

int32_t CDSoundAudioInOut::SetUseDuplex(int32_t value, void*) {
    settings_.useDuplex = value != 0 ? 1 : 0;
    return kOk;
}

int32_t CDSoundAudioInOut::GetWaveFormat(int32_t, void* out) {
    std::memcpy(out, &format_, sizeof format_);
    return kOk;
}

// The block of the built format at the current block setting; 0 before the first Build.
int32_t CDSoundAudioInOut::GetNotifySize(int32_t, void* out) {
    WriteUint32(out, uint32_t{format_.nBlockAlign} * settings_.blockSamples);
    return kOk;
}

// Whole pointers: a host reads them into an intptr_t.
int32_t CDSoundAudioInOut::GetAudioIn(int32_t, void* out) {
    const auto address = reinterpret_cast<intptr_t>(capture_);
    std::memcpy(out, &address, sizeof address);
    return kOk;
}

int32_t CDSoundAudioInOut::GetAudioOut(int32_t, void* out) {
    const auto address = reinterpret_cast<intptr_t>(playback_);
    std::memcpy(out, &address, sizeof address);
    return kOk;
}

// The inner components keep what they hold: their own Build lets go of it.
int32_t CDSoundAudioInOut::Build() {
    if (state_ != kStateCreated) {
        ReleaseDuplex();
        state_ = kStateCreated;
    }
    if (OpenDevice() != kOk) return kErrPlatform;
    state_ = kStateBuilt;
    return kOk;
}

int32_t CDSoundAudioInOut::OpenDevice() {
    if (capture_ == nullptr || playback_ == nullptr) return kErrPlatform;
    const WAVEFORMATEX wfx = DeviceFormat(settings_.samplesPerSec, settings_.bitsPerSample, settings_.channels);
    // D, a block in whole ms.  Blocks shorter than a millisecond and an output buffer time of
    // 0 give no buffer size at all: refused, with or without the duplex flag.
    const uint32_t blockMs = BlockSleepMs(settings_.blockSamples, settings_.samplesPerSec);
    if (blockMs == 0 || settings_.outBufferTimeMs == 0) return kErrInvalidArg;
    // The output buffer time in whole blocks; the setting keeps the raised value.
    uint64_t outMs = settings_.outBufferTimeMs;
    outMs += (blockMs - outMs % blockMs) % blockMs;
    if (outMs > UINT32_MAX) return kErrInvalidArg;
    settings_.outBufferTimeMs = static_cast<uint32_t>(outMs);
    // Ten output buffer times, then more of them until at least a second; both buffers alike.
    uint64_t bufferMs = kBufferTimesInBuffer * outMs;
    while (bufferMs < kMinBufferMs) bufferMs += outMs;
    const uint64_t bufferBytes = bufferMs * wfx.nAvgBytesPerSec / 1000;

    PlaybackBufferDesc playbackDesc;
    playbackDesc.flags = kPairPlaybackFlags;
    playbackDesc.bufferBytes = static_cast<uint32_t>(bufferBytes);
    playbackDesc.hasFormat = true;
    playbackDesc.format = wfx;
    CaptureBufferDesc captureDesc;
    captureDesc.bufferBytes = static_cast<uint32_t>(bufferBytes);
    captureDesc.format = wfx;
    if (settings_.useDuplex != 0) {
        captureDesc.flags = kCaptureBufferCtrlFx;
        captureDesc.echoCancellation = true;
        captureDesc.noiseSuppression = true;
    }

    // Null ids open the default devices.  A number the inner component took always has an id.
    DeviceGuid captureId;
    DeviceGuid playbackId;
    if (settings_.inDeviceNumber != -1) capture_->GetProperty("InDeviceGUID", settings_.inDeviceNumber, captureId.bytes);
    if (settings_.outDeviceNumber != -1) {
        playback_->GetProperty("OutDeviceGUID", settings_.outDeviceNumber, playbackId.bytes);
    }
    if (settings_.window == 0) settings_.window = static_cast<int32_t>(ownedWindow_.Get());

    bool paired = false;
    if (settings_.useDuplex != 0) {
        std::unique_ptr<IFullDuplex> duplex;
        std::unique_ptr<ICaptureBuffer> captureBuffer;
        std::unique_ptr<IPlaybackBuffer> playbackBuffer;
        DsResult result = kDsErrInvalidParam;
        if (audio_ != nullptr && bufferBytes != 0 && bufferBytes <= kMaxBufferBytes) {
            result = audio_->CreateFullDuplex(captureId != DeviceGuid{} ? &captureId : nullptr,
                                              playbackId != DeviceGuid{} ? &playbackId : nullptr, captureDesc,
                                              playbackDesc, OwnerHandle{settings_.window}, kCooperativePriority,
                                              &duplex, &captureBuffer, &playbackBuffer);
        }
        if (!Failed(result) && captureBuffer != nullptr && playbackBuffer != nullptr) {
            CheckEffect(*captureBuffer, CaptureEffect::kNoiseSuppression, "NS");
            CheckEffect(*captureBuffer, CaptureEffect::kEchoCancellation, "AES");
            HandOver(*capture_, "DSCaptureBuffer", std::move(captureBuffer));
            HandOver(*playback_, "DSPlayBuffer", std::move(playbackBuffer));
            duplex_ = std::move(duplex);
            paired = true;
        } else {
            OutputDebugText("DSoundAudioInOut DirectSoundFullDuplexCreate8 Error\n");
        }
    }
    // Separate devices, without effects: playback needs the owner of its cooperative level.
    if (!paired) playback_->SetProperty("hWnd", settings_.window, nullptr);

    int32_t result = capture_->Build();
    if (result != kOk) {
        DebugPrintf("DSoundAudioInOut - AudioIn Build Error: %x\n", static_cast<unsigned>(result));
        ReleaseDuplex();
        return result;
    }
    result = playback_->Build();
    if (result != kOk) {
        DebugPrintf("DSoundAudioInOut - AudioOut Build Error: %x\n", static_cast<unsigned>(result));
        ReleaseDuplex();
        return result;
    }
    format_ = wfx;
    return kOk;
}

int32_t CDSoundAudioInOut::Start() {
    if (state_ == kStateCreated) return kErrState;
    state_ = kStateRunning;
    return kOk;
}

int32_t CDSoundAudioInOut::Stop() {
    if (state_ == kStateCreated) return kErrState;
    state_ = kStateBuilt;
    return kOk;
}

int32_t CDSoundAudioInOut::GetData(void* buffer, int32_t bytes) {
    return capture_ != nullptr ? capture_->GetData(buffer, bytes) : kErrPlatform;
}

int32_t CDSoundAudioInOut::PutData(const void* buffer, int32_t bytes) {
    return playback_ != nullptr ? playback_->PutData(buffer, bytes) : kErrPlatform;
}

}  // namespace zelmar
