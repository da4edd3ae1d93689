#include "filetransfer/FileSystemPaths.h"

#include <algorithm>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "storage/PathGuard.h"

namespace Zelkor {

std::string NormalPath(std::string_view path) {
    std::string absolute;
    if (path.empty() || path.front() != '/') {
        boost::system::error_code error;
        const auto current = boost::filesystem::current_path(error);
        if (error) {
            return std::string();
        }
        absolute = current.string();
        absolute += '/';
    }
    absolute.append(path.data(), path.size());

    std::vector<std::string_view> kept;
    const std::string_view text(absolute);
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t slash = std::min(text.find('/', start), text.size());
        const std::string_view element = text.substr(start, slash - start);
        if (element == "..") {
            if (!kept.empty()) {
                kept.pop_back();
            }
        } else if (!element.empty() && element != ".") {
            kept.push_back(element);
        }
        start = slash + 1;
    }
    std::string normal;
    for (const auto element : kept) {
        normal += '/';
        normal.append(element.data(), element.size());
    }
    return normal.empty() ? std::string("/") : normal;
}

bool FileSystemPathAllowed(std::string_view path, bool parentPathsAllowed, bool folderRemoval) {
    if (!PeerPathAllowed(path, parentPathsAllowed)) {
        return false;
    }
    if (!folderRemoval) {
        return true;
    }
    const std::string normal = NormalPath(path);
    // Without a working folder a relative path cannot be told from the root: refused.
    if (normal.empty() || normal == "/") {
        return false;
    }
    // Nor a name that leads to the root through links ("/proc/self/root").
    boost::system::error_code error;
    const auto real = boost::filesystem::canonical(normal, error);
    return error || real != "/";
}

}  // namespace Zelkor
