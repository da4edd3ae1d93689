#include "storage/StoragePath.h"

namespace Zelkor {

std::optional<std::vector<std::string>> SplitStoragePath(const std::string& path) {
    const bool networkRoot = path.size() > 2 && path[0] == '/' && path[1] == '/' && path[2] != '/';
    if (networkRoot) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < path.size()) {
        const std::size_t end = path.find('/', start);
        const std::size_t stop = end == std::string::npos ? path.size() : end;
        if (stop > start) {
            names.emplace_back(path, start, stop - start);
        }
        start = stop + 1;
    }
    // "a/b/" ends in an element "." that no node has; "/" and "///" are the root itself.
    if (!names.empty() && path.back() == '/') {
        return std::nullopt;
    }
    return names;
}

std::string JoinStoragePath(const std::vector<std::string>& names, std::size_t count) {
    std::string path;
    for (std::size_t i = 0; i < count && i < names.size(); ++i) {
        path += '/';
        path += names[i];
    }
    return path.empty() ? std::string("/") : path;
}

}  // namespace Zelkor
