#pragma once
// The build's version record, filled by GetVersionInfo. A plain value.

#include <cstdint>
#include <string>

namespace Zelkor {

struct VersionInfo {
    std::string version;
    std::string branch;
    std::string commit;
    std::string buildHost;
    // The compiler's build-date ("Jul 23 2025") and build-time ("13:47:49") forms.
    std::string buildDate;
    std::string buildTime;
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t patch = 0;
    std::uint32_t build = 0;
};

}  // namespace Zelkor
