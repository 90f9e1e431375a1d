#include "companion/AudioIppUtil.h"

namespace zelmar {

CAudioIppUtil::CAudioIppUtil() {
    for (const char* name : kRequiredNames) {
        if (Resolve<void*>(name) == nullptr) {
            Unload();
            return;
        }
    }
    maxAbs_ = Resolve<companion::IppsMaxAbs16sFn>("IPPS_MaxAbs16s");
    toFloat_ = Resolve<companion::IppsConvert16s32fFn>("IPPS_Convert_16s32f");
    toInt16_ = Resolve<companion::IppsConvert32f16sFn>("IPPS_Convert_32f16s");
    autoCorrNorm_ = Resolve<companion::IppsAutoCorrNorm32fFn>("IPPS_AutoCorrNorm32f");
}

bool CAudioIppUtil::MaxAbs(const int16_t* samples, int count, int16_t* peak) const {
    *peak = 0;  // stays 0 when the call is not made or fails
    if (maxAbs_ == nullptr) return false;
    if (samples != nullptr && count > 0) maxAbs_(samples, count, peak);
    return true;
}

bool CAudioIppUtil::ToFloat(const int16_t* src, float* dst, int count, int scaleFactor) const {
    if (toFloat_ == nullptr) return false;
    if (count > 0) toFloat_(src, dst, count, scaleFactor);
    return true;
}

bool CAudioIppUtil::ToInt16(const float* src, int16_t* dst, int count, int scaleFactor) const {
    if (toInt16_ == nullptr) return false;
    if (count > 0) toInt16_(src, dst, count, scaleFactor);
    return true;
}

bool CAudioIppUtil::AutoCorrNorm(const float* src, int count, float* dst, int lags) const {
    if (autoCorrNorm_ == nullptr) return false;
    if (count > 0 && lags > 0) autoCorrNorm_(src, count, dst, lags);
    return true;
}

}  // namespace zelmar
