#pragma once
// Which paths a peer may name for file work on this node. A NUL byte would cut the path
// the system sees short of the one that was checked, and a ".." element climbs out of
// the folder the path seems to name: both are refused, ".." unless the node allows
// parent paths. Absolute paths stay allowed.
//
// Threads: a free function without state.

#include <string_view>

namespace Zelkor {

// A whole ".." element between separators (any of `separators`), or the whole path.
bool HasParentElement(std::string_view path, std::string_view separators = "/\\");

// False for an empty path, one with a NUL byte, or one with a ".." element (between "/"
// or "\" separators, or the whole path) unless `parentPathsAllowed`.
bool PeerPathAllowed(std::string_view path, bool parentPathsAllowed);

}  // namespace Zelkor
