#include "storage/PathGuard.h"

namespace Zelkor {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool HasParentElement(std::string_view path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) {
            ++end;
        }
        if (path.substr(start, end - start) == "..") {
            return true;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace

bool PeerPathAllowed(std::string_view path, bool parentPathsAllowed) {
    if (path.empty() || path.find('\0') != std::string_view::npos) {
        return false;
    }
    return parentPathsAllowed || !HasParentElement(path);
}

}  // namespace Zelkor
