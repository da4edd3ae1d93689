#pragma once
// Syntax of storage paths: "/"-separated member names, as a filesystem path is split.
//
// A leading "/" is the root; runs of "/" count as one separator; the empty path and "/"
// name the root. A trailing "/" and a path that starts with exactly two "/" and a name (a
// network root name) name nothing. Stateless; safe from any thread.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace Zelkor {

// The member names from the root down; nothing when the path's syntax names no node.
std::optional<std::vector<std::string>> SplitStoragePath(const std::string& path);

// "/" followed by the first `count` names joined with "/" ("/" alone for none).
std::string JoinStoragePath(const std::vector<std::string>& names, std::size_t count);

}  // namespace Zelkor
