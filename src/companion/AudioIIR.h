// CAudioIIR: one IIR filter of the companion library (Butterworth low-pass or high-pass,
// order 1 or 3), run in place on 16-bit samples.  Inert without the library or one of
// "IPPS_IIRAlloc", "IPPS_IIR", "IPPS_IIRFree"; an inert filter, or one with no state
// allocated yet, leaves the samples unchanged.
#pragma once

#include <cstdint>

#include "companion/AudioIPPS.h"
#include <ZelmarEC/ZelmarEC.h>

namespace zelmar {

class CAudioIIR : public CAudioIPPS {
public:
    static constexpr const char* kRequiredNames[] = {"IPPS_IIRFree", "IPPS_IIR", "IPPS_IIRAlloc"};

    CAudioIIR();
    ~CAudioIIR() override;

    // Frees the previous state, then designs a new one; false when inert or refused.
    bool Allocate(int kind, int order, int cutoffHz, int sampleRateHz);
    // Filters `samples` in place, carrying the filter memory from call to call; -1 when
    // nothing was filtered.
    int Filter(int16_t* samples, int count);
    bool HasState() const { return state_ != nullptr; }

private:
    void FreeState();

    companion::IppsIirAllocFn alloc_ = nullptr;
    companion::IppsIirFreeFn free_ = nullptr;
    companion::IppsIirFn iir_ = nullptr;
    void* state_ = nullptr;
};

}  // namespace zelmar
