#include "storage/PathAppend.h"

namespace Zelkor {

std::string AppendPath(const std::string& first, const std::string& second) {
    if (second.empty()) {
        return first;
    }
    if (first.empty() || first.back() == '/' || second.front() == '/') {
        return first + second;
    }
    return first + '/' + second;
}

}  // namespace Zelkor
