#include "volume/VolumeControlAudioFilter.h"

#include <locale.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Platform.h"
#include "platform/SystemVersion.h"

namespace zelmar {
namespace {

constexpr std::size_t kConvertedBytes = 512;
constexpr uint32_t kMaxVolume = 65535;
// The locale tried for a name the current one cannot represent.
constexpr const char* kFallbackLocale = "Japanese";

// `wide` as multibyte text of the calling thread's locale into `text` (at most
// kConvertedBytes); the byte count, 0 when a character has no representation there.
std::size_t ToMultibyte(const std::wstring& wide, char (&text)[kConvertedBytes]) {
    const std::size_t bytes = std::wcstombs(text, wide.c_str(), kConvertedBytes);
    return bytes == static_cast<std::size_t>(-1) ? 0 : bytes;
}

// A name the current locale cannot represent is tried once more in the fallback locale.  That
// locale is made current for this thread only (uselocale), so the process locale, and what
// other threads convert meanwhile, never change.
std::size_t ToMultibyteWithFallback(const std::wstring& wide, char (&text)[kConvertedBytes]) {
    std::size_t bytes = ToMultibyte(wide, text);
    if (bytes >= 1) return bytes;
    const locale_t fallback = newlocale(LC_CTYPE_MASK, kFallbackLocale, static_cast<locale_t>(0));
    if (fallback == static_cast<locale_t>(0)) return 0;
    const locale_t previous = uselocale(fallback);
    bytes = ToMultibyte(wide, text);
    uselocale(previous);
    freelocale(fallback);
    return bytes;
}

// At most kNameBufferBytes - 1 bytes of `text` and a terminating zero.
void CopyName(const char* text, std::size_t bytes, void* out) {
    const std::size_t copied = std::min<std::size_t>(bytes, CVolumeControlAudioFilter::kNameBufferBytes - 1);
    std::memcpy(out, text, copied);
    static_cast<char*>(out)[copied] = '\0';
}

}  // namespace

const PropertyTable<CVolumeControlAudioFilter>& CVolumeControlAudioFilter::Properties() {
    using C = CVolumeControlAudioFilter;
    // GetProperty refuses a null `out` before anything else, then a null name as an unknown
    // one; SetProperty refuses a null name the same way.
    static constexpr PropertyRules kRules{.match = NameMatch::kExact, .nullNameOnSet = kErrState,
                                          .nullNameOnGet = kErrState, .outCheckedFirst = true};
    static constexpr PropertyRow<C> kRows[] = {
        {"InDeviceNum", kInDeviceNum, Settable::kNo, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         nullptr, &C::GetCount},
        {"InDeviceName", kInDeviceName, Settable::kNo, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         nullptr, &C::GetName},
        {"InDeviceVolume", kInDeviceVolume, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr,
         nullptr, &C::SetVolume, &C::GetVolume},
        {"InDeviceMute", kInDeviceMute, Settable::kAlways, Readable::kYes, Value::kHook, kAnyInt, nullptr, nullptr,
         &C::SetMute, &C::GetMute},
    };
    static constexpr PropertyTable<C> kTable{kRows, kUnknown, kRules};
    return kTable;
}

CVolumeControlAudioFilter::CVolumeControlAudioFilter()
    : endpointMode_(platform::ReportedMajorVersion() >= platform::kEndpointMajorVersion ? 1 : 0),
      endpoints_(platform::Current().endpoints),
      mixer_(platform::Current().inputMixer) {}

int32_t CVolumeControlAudioFilter::GetCount(int32_t, void* out) {
    // A failed enumeration's negative result is passed on as the count.
    WriteInt32(out, endpointMode_ != 0 ? endpoints_->Count() : mixer_->DeviceCount());
    return kOk;
}

int32_t CVolumeControlAudioFilter::GetName(int32_t index, void* out) {
    const auto device = static_cast<uint32_t>(index);
    if (endpointMode_ == 0) {
        if (device >= static_cast<uint32_t>(mixer_->DeviceCount())) return kErrInvalidArg;
        std::memset(out, 0, kNameBufferBytes);
        std::string name;
        if (mixer_->DeviceName(device, &name) < 0) return kErrInvalidArg;
        CopyName(name.c_str(), name.size(), out);
        return kOk;
    }
    std::wstring wide;
    if (endpoints_->FriendlyName(device, &wide) < 0) return kErrInvalidArg;
    char text[kConvertedBytes] = {};
    CopyName(text, ToMultibyteWithFallback(wide, text), out);
    return kOk;
}

int32_t CVolumeControlAudioFilter::GetVolume(int32_t index, void* out) {
    const auto device = static_cast<uint32_t>(index);
    if (endpointMode_ == 0) {
        // The mixer's answer is written even when it is a failure.
        const int32_t volume = mixer_->Control(device, platform::MixerControl::kVolume, platform::kMixerReadOnly);
        WriteInt32(out, volume);
        return volume < 0 ? kErrPlatform : kOk;
    }
    float scalar = 0.0f;
    if (endpoints_->GetScalar(device, &scalar) < 0) return kErrPlatform;
    WriteInt32(out, static_cast<int32_t>(static_cast<double>(scalar) * kMaxVolume));
    return kOk;
}

int32_t CVolumeControlAudioFilter::SetVolume(int32_t index, void* data) {
    if (data == nullptr) return kErrInvalidArg;
    uint32_t volume = 0;
    std::memcpy(&volume, data, sizeof volume);
    if (volume > kMaxVolume) return kErrInvalidArg;
    const auto device = static_cast<uint32_t>(index);
    const int32_t result = endpointMode_ != 0
        ? endpoints_->SetScalar(device, static_cast<float>(volume / static_cast<double>(kMaxVolume)))
        : mixer_->Control(device, platform::MixerControl::kVolume, volume);
    return result < 0 ? kErrPlatform : kOk;
}

int32_t CVolumeControlAudioFilter::GetMute(int32_t index, void* out) {
    const int32_t mute = mixer_->Control(static_cast<uint32_t>(index), platform::MixerControl::kMute,
                                         platform::kMixerReadOnly);
    if (mute < 0) return kErrPlatform;
    WriteInt32(out, mute);
    return kOk;
}

int32_t CVolumeControlAudioFilter::SetMute(int32_t index, void* data) {
    if (data == nullptr) return kErrInvalidArg;
    uint32_t mute = 0;
    std::memcpy(&mute, data, sizeof mute);
    if (mute > 1) return kErrInvalidArg;
    return mixer_->Control(static_cast<uint32_t>(index), platform::MixerControl::kMute, mute) < 0 ? kErrPlatform : kOk;
}

}  // namespace zelmar
