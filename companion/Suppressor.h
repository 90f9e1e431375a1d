// One frame-based noise suppressor behind the companion's NR_ functions.  Two methods exist,
// both from Debian libraries of the field; docs/preprocess.md gives the figures that chose the
// default.
#pragma once

#include <cstdint>
#include <memory>

namespace zelmar::ec {

class ISuppressor {
public:
    virtual ~ISuppressor() = default;
    // Suppresses noise in one frame of FrameSamples() samples, in place.
    virtual void ProcessFrame(int16_t* frame) = 0;
    // Largest attenuation of noise, in dB (positive).  Takes effect from the next frame.
    virtual void SetAttenuationDb(int attenuationDb) = 0;
};

// Null when the method cannot run at this rate.
std::unique_ptr<ISuppressor> CreateSpeexSuppressor(int sampleRateHz, int frameSamples, int attenuationDb);
std::unique_ptr<ISuppressor> CreateWebRtcSuppressor(int sampleRateHz, int frameSamples, int attenuationDb);

}  // namespace zelmar::ec
