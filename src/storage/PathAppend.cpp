#include "storage/PathAppend.h"

#include <boost/filesystem/path.hpp>

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

std::pair<std::string, std::string> SplitParameterPath(const std::string& path) {
    if (path.find('/') == std::string::npos) {
        return {path, std::string()};
    }
    const boost::filesystem::path p(path);
    return {p.parent_path().string(), p.filename().string()};
}

}  // namespace Zelkor
