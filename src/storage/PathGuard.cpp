#include "storage/PathGuard.h"

#include <algorithm>

namespace Zelkor {

bool HasParentElement(std::string_view path, std::string_view separators) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = std::min(path.find_first_of(separators, start), path.size());
        if (path.substr(start, end - start) == "..") {
            return true;
        }
        start = end + 1;
    }
    return false;
}

bool PeerPathAllowed(std::string_view path, bool parentPathsAllowed) {
    if (path.empty() || path.find('\0') != std::string_view::npos) {
        return false;
    }
    return parentPathsAllowed || !HasParentElement(path);
}

}  // namespace Zelkor
