#include "storage/StoragePath.h"

namespace Zelkor {

namespace {

// "//" and a name: a network root, which no node of the tree is.
bool isNetworkRoot(std::string_view path) {
    return path.size() > 2 && path[0] == '/' && path[1] == '/' && path[2] != '/';
}

}  // namespace

bool IsStoragePathValid(std::string_view path) {
    // A trailing "/" after a name leaves an element "." that no node has.
    return !isNetworkRoot(path) &&
           !(!path.empty() && path.back() == '/' && path.find_first_not_of('/') != std::string_view::npos);
}

std::optional<std::vector<std::string>> SplitStoragePath(const std::string& path) {
    if (isNetworkRoot(path)) {
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

std::pair<std::string, std::string> SplitParameterPath(const std::string& path) {
    const std::size_t last = path.rfind('/');
    if (last == std::string::npos) {
        return {path, std::string()};
    }
    if (last + 1 == path.size()) {
        const std::size_t kept = path.find_last_not_of('/');
        if (kept == std::string::npos) {
            return {std::string(), "/"};
        }
        return {path.substr(0, kept + 1), "."};
    }
    // The separator run before the name ends the object path.
    const std::size_t before = path.find_last_not_of('/', last);
    if (before == std::string::npos) {
        if (isNetworkRoot(path)) {
            return {path, std::string()};
        }
        return {"/", path.substr(last + 1)};
    }
    return {path.substr(0, before + 1), path.substr(last + 1)};
}

}  // namespace Zelkor
