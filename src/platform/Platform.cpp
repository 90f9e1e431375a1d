#include "platform/Platform.h"

#include <zelmar/zelmar.h>

namespace zelmar::platform {
namespace {

// The real services live as long as the process; they are created on first use.
ITimeService* RealTime() {
    static const auto time = CreateRealTimeService();
    return time.get();
}

// One virtual clock for the process, for hosts that render offline.  Never destroyed, so
// components made while it was active stay valid after a switch back.
ITimeService* OfflineTime() {
    static VirtualTimeService* const time = new VirtualTimeService(/*autoAdvance=*/true);
    return time;
}

Services& Active() {
    static const auto files = CreatePosixFileSystem();
    static const auto libraries = CreateDlopenLibraryLoader();
    static const auto network = CreatePosixUdpNetwork();
    static const auto sound = audio::CreateSystemAudioService();
    static const auto endpoints = CreatePulseEndpointVolume();
    static const auto mixer = CreateAlsaInputMixer();
    static Services active{RealTime(), files.get(), libraries.get(), network.get(), sound.get(), endpoints.get(),
                           mixer.get()};
    return active;
}

}  // namespace

const Services& Current() { return Active(); }

ScopedPlatform::ScopedPlatform(const Services& replacement) : saved_(Active()) {
    Services& active = Active();
    if (replacement.time != nullptr) active.time = replacement.time;
    if (replacement.files != nullptr) active.files = replacement.files;
    if (replacement.libraries != nullptr) active.libraries = replacement.libraries;
    if (replacement.network != nullptr) active.network = replacement.network;
    if (replacement.audio != nullptr) active.audio = replacement.audio;
    if (replacement.endpoints != nullptr) active.endpoints = replacement.endpoints;
    if (replacement.inputMixer != nullptr) active.inputMixer = replacement.inputMixer;
}

ScopedPlatform::~ScopedPlatform() { Active() = saved_; }

}  // namespace zelmar::platform

extern "C" ZELMAR_API int32_t ZelmarSetTimeMode(int32_t mode) {
    using namespace zelmar::platform;
    switch (mode) {
        case ZELMAR_TIME_REAL: Active().time = RealTime(); return ZELMAR_OK;
        case ZELMAR_TIME_VIRTUAL: Active().time = OfflineTime(); return ZELMAR_OK;
        default: return ZELMAR_E_INVALIDARG;
    }
}
