#pragma once
// One entry of a folder listing, as a device writes it into a "listfiles" reply and as a
// controller reads it back. A device never fills `version` or `readonly`; a controller
// engages them only when the reply carries them.
//
// A plain value; any thread.

#include <cstdint>
#include <optional>
#include <string>

namespace Zelkor {

struct ListFilesItem {
    std::string name;  // last path component
    std::optional<std::string> version;
    std::uint64_t size = 0;
    std::optional<std::uint64_t> creationdate;  // seconds since the epoch (status change)
    std::optional<std::uint64_t> modifieddate;  // seconds since the epoch
    std::optional<std::string> checksum;        // MD5, 32 lowercase hex digits
    std::optional<bool> readonly;
};

}  // namespace Zelkor
