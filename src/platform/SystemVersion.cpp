#include "platform/SystemVersion.h"

#include <zelmar/zelmar.h>

#include <atomic>

namespace zelmar::platform {
namespace {

std::atomic<int32_t>& Reported() {
    static std::atomic<int32_t> major{kEndpointMajorVersion};
    return major;
}

}  // namespace

int32_t ReportedMajorVersion() { return Reported().load(); }

int32_t SetReportedMajorVersion(int32_t major) { return Reported().exchange(major); }

}  // namespace zelmar::platform

extern "C" ZELMAR_API int32_t ZelmarSetSystemVersion(int32_t major) {
    return zelmar::platform::SetReportedMajorVersion(major);
}
