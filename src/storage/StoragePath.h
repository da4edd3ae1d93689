#pragma once
// Syntax of storage paths: "/"-separated member names, as a filesystem path is split.
//
// A leading "/" is the root; runs of "/" count as one separator; the empty path and "/"
// name the root. A trailing "/" and a path that starts with exactly two "/" and a name (a
// network root name) name nothing. Stateless; safe from any thread.

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Zelkor {

// The member names from the root down; nothing when the path's syntax names no node.
std::optional<std::vector<std::string>> SplitStoragePath(const std::string& path);

// True when the path's syntax names a node, as when SplitStoragePath gives names.
bool IsStoragePathValid(std::string_view path);

// The names of a valid path one at a time, where they lie in the path: a lookup made for
// every value served does not build the list SplitStoragePath gives.
class StoragePathNames {
public:
    explicit StoragePathNames(std::string_view path) : _path(path) {}

    // The next name; false after the last.
    bool Next(std::string_view& name) {
        while (_at < _path.size()) {
            const std::size_t end = std::min(_path.find('/', _at), _path.size());
            const std::size_t start = _at;
            _at = end + 1;
            if (end > start) {
                name = _path.substr(start, end - start);
                return true;
            }
        }
        return false;
    }

private:
    std::string_view _path;
    std::size_t _at = 0;
};

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
