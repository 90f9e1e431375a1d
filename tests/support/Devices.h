// Helpers for the sound-device tests: capture buffers of a service made as the components make
// theirs, and whether an effect of one is on.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "platform/audio/AudioDevice.h"
#include "support/TestPlatform.h"

namespace zelmar::test {

inline constexpr WAVEFORMATEX kMono16k{1, 1, 16000, 32000, 2, 16, 0};

// From the default capture device; `effects` asks for both.  Buffers outlive their device.
inline std::unique_ptr<platform::audio::ICaptureBuffer> CaptureBuffer(platform::audio::IAudioService& audio,
                                                                      uint32_t bytes, bool effects = false) {
    namespace pa = platform::audio;
    std::unique_ptr<pa::ICaptureDevice> device;
    EXPECT_EQ(audio.CreateCapture(nullptr, &device), pa::kDsOk);
    pa::CaptureBufferDesc desc;
    desc.flags = effects ? pa::kCaptureBufferCtrlFx : 0;
    desc.bufferBytes = bytes;
    desc.format = kMono16k;
    desc.echoCancellation = desc.noiseSuppression = effects;
    std::unique_ptr<pa::ICaptureBuffer> buffer;
    EXPECT_EQ(device->CreateCaptureBuffer(desc, &buffer), pa::kDsOk);
    return buffer;
}

inline bool EffectOn(platform::audio::ICaptureBuffer* buffer, platform::audio::CaptureEffect kind) {
    std::unique_ptr<platform::audio::ICaptureEffect> effect;
    bool on = false;
    EXPECT_EQ(buffer->GetObjectInPath(kind, &effect), platform::audio::kDsOk);
    EXPECT_TRUE(effect != nullptr && effect->GetEnable(&on) == platform::audio::kDsOk);
    return on;
}

}  // namespace zelmar::test
