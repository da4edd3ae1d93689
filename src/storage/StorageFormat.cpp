#include "storage/StorageFormat.h"

#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>

namespace Zelkor {

const std::vector<std::string>& StorageFormats() {
    static const std::vector<std::string> kFormats = {"norm", "number", "string", "variant"};
    return kFormats;
}

bool IsStorageFormat(const std::string& word) {
    const auto& formats = StorageFormats();
    return std::find(formats.begin(), formats.end(), word) != formats.end();
}

std::string CutFormat(const char* format) {
    if (format == nullptr) {
        return "variant";
    }
    std::string word(format);
    const auto paren = word.find('(');
    if (paren != std::string::npos) {
        word.erase(paren);
    }
    return word;
}

std::string ReadFormat(const char* format) {
    const std::string word = CutFormat(format);
    return word == "default" ? "variant" : word;
}

std::string VerifyFormat(const char* format) {
    if (format == nullptr || boost::algorithm::iequals(format, "default")) {
        return "variant";
    }
    return format;
}

}  // namespace Zelkor
