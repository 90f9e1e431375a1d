// The one place components get their platform services from.
//
// By default these are the real services (monotonic clock, POSIX files, dlopen, POSIX
// sockets, the sound server's devices followed by the virtual ones, the recording devices'
// volume controls).  A test replaces any of them for its own scope with ScopedPlatform before
// it creates components; components take what they need when they are constructed or built.
#pragma once

#include "platform/DynamicLibrary.h"
#include "platform/FileSystem.h"
#include "platform/InputVolume.h"
#include "platform/Time.h"
#include "platform/UdpSocket.h"
#include "platform/audio/AudioDevice.h"

namespace zelmar::platform {

// Start from `Services{}` and fill in what you replace: members added later stay null.
struct Services {
    ITimeService* time = nullptr;
    IFileSystem* files = nullptr;
    ILibraryLoader* libraries = nullptr;
    IUdpNetwork* network = nullptr;  // loopback UDP sockets
    audio::IAudioService* audio = nullptr;
    IEndpointVolume* endpoints = nullptr;  // recording devices' volume, endpoint paths
    IInputMixer* inputMixer = nullptr;     // recording devices' volume and mute, legacy paths
};

const Services& Current();

// Replaces the non-null members of `replacement` until destroyed.  Not thread-safe: swap
// services only while no component is working.
class ScopedPlatform {
public:
    explicit ScopedPlatform(const Services& replacement);
    ~ScopedPlatform();
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;

private:
    Services saved_;
};

}  // namespace zelmar::platform
