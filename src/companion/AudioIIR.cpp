#include "companion/AudioIIR.h"

namespace zelmar {

CAudioIIR::CAudioIIR() {
    for (const char* name : kRequiredNames) {
        if (Resolve<void*>(name) == nullptr) {
            Unload();
            return;
        }
    }
    free_ = Resolve<companion::IppsIirFreeFn>("IPPS_IIRFree");
    iir_ = Resolve<companion::IppsIirFn>("IPPS_IIR");
    alloc_ = Resolve<companion::IppsIirAllocFn>("IPPS_IIRAlloc");
}

CAudioIIR::~CAudioIIR() { FreeState(); }

void CAudioIIR::FreeState() {
    if (state_ != nullptr && free_ != nullptr) free_(state_);
    state_ = nullptr;
}

bool CAudioIIR::Allocate(int kind, int order, int cutoffHz, int sampleRateHz) {
    if (!IsLoaded()) return false;
    FreeState();
    state_ = alloc_(kind, order, cutoffHz, sampleRateHz);
    return state_ != nullptr;
}

int CAudioIIR::Filter(int16_t* samples, int count) {
    if (!IsLoaded() || state_ == nullptr || samples == nullptr || count <= 0) return -1;
    return iir_(samples, samples, count, state_);
}

}  // namespace zelmar
