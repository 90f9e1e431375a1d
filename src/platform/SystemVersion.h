// What the engine's version query reports: the major version of the system it runs on, as
// components that choose between the endpoint paths (6 and higher) and the legacy ones (below
// 6) read it when they are constructed.  It reports 6 unless a test or a host sets otherwise
// (ZelmarSetSystemVersion), so the endpoint paths are the normal ones.
#pragma once

#include <cstdint>

namespace zelmar::platform {

constexpr int32_t kEndpointMajorVersion = 6;

int32_t ReportedMajorVersion();
// Returns the version reported before.
int32_t SetReportedMajorVersion(int32_t major);

// Reports `major` for its scope.
class ScopedMajorVersion {
public:
    explicit ScopedMajorVersion(int32_t major) : saved_(SetReportedMajorVersion(major)) {}
    ~ScopedMajorVersion() { SetReportedMajorVersion(saved_); }
    ScopedMajorVersion(const ScopedMajorVersion&) = delete;
    ScopedMajorVersion& operator=(const ScopedMajorVersion&) = delete;

private:
    int32_t saved_;
};

}  // namespace zelmar::platform
