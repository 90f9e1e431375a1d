// CAudioIppUtil: the companion library's vector operations (peak, conversions between 16-bit
// and float, normalised autocorrelation).  Inert without the library or a required name;
// "IPPS_Malloc_32f", "IPPS_Malloc_16s", "IPPS_Free" and "IPPS_AutoCorrNorm32f" are optional.
// Callers fall back to their own code when a call reports false.
#pragma once

#include <cstdint>

#include "companion/AudioIPPS.h"
#include <ZelmarEC/ZelmarEC.h>

namespace zelmar {

class CAudioIppUtil : public CAudioIPPS {
public:
    // The names that must all resolve for the wrapper to load, although only some are called.
    static constexpr const char* kRequiredNames[] = {
        "IPPS_MaxAbs16s", "IPPS_Max16s", "IPPS_MulC16s", "IPPS_MulC16sI", "IPPS_Add16s",
        "IPPS_Add16sI", "IPPS_Convert_32f16s", "IPPS_Convert_16s32f", "IPPS_AutoCorr",
    };

    CAudioIppUtil();

    // *peak = peak |sample| of the vector, 0..32767 (-32768 counts as 32767); false (and
    // *peak = 0) when inert.
    bool MaxAbs(const int16_t* samples, int count, int16_t* peak) const;
    // dst = src * 2^-scaleFactor.
    bool ToFloat(const int16_t* src, float* dst, int count, int scaleFactor) const;
    // dst = round(src * 2^-scaleFactor), saturated.
    bool ToInt16(const float* src, int16_t* dst, int count, int scaleFactor) const;
    // dst[j] = normalised autocorrelation of src at lag j, j < lags.
    bool AutoCorrNorm(const float* src, int count, float* dst, int lags) const;

private:
    companion::IppsMaxAbs16sFn maxAbs_ = nullptr;
    companion::IppsConvert16s32fFn toFloat_ = nullptr;
    companion::IppsConvert32f16sFn toInt16_ = nullptr;
    companion::IppsAutoCorrNorm32fFn autoCorrNorm_ = nullptr;
};

}  // namespace zelmar
