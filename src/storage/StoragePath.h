#pragma once
// Syntax of storage paths: "/"-separated member names, as a filesystem path is split.
//
// A leading "/" is the root; runs of "/" count as one separator; the empty path and "/"
// name the root. A trailing "/" and a path that starts with exactly two "/" and a name (a
// network root name) name nothing. Stateless; safe from any thread.

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Zelkor {

// The member names from the root down; nothing when the path's syntax names no node.
std::optional<std::vector<std::string>> SplitStoragePath(const std::string& path);

// "/" followed by the first `count` names joined with "/" ("/" alone for none).
std::string JoinStoragePath(const std::vector<std::string>& names, std::size_t count);

// Object path and member name of a full path, by the rules above, such that joining the
// two again (AppendPath) names what the full path names. The name is the last element:
// "/a/b" gives "/a" and "b", "/c" gives "/" and "c", "/a//b" gives "/a" and "b". A path
// that names nothing still does: "/a/b/" gives "/a/b" and "." (which no node has), a
// network root "//x" gives "//x" and no name. The root, "/", gives "" and "/" (the whole
// tree). A path without "/" is an object path with no name. The object path keeps the
// text it was given, so that answers name a parameter as its request did.
std::pair<std::string, std::string> SplitParameterPath(const std::string& path);

}  // namespace Zelkor
