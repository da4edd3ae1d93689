#include "storage/IStorage.h"

#include <array>
#include <utility>

namespace Zelkor {

std::string IStorage::StatusText(STATUS status) {
    static const std::array<const char*, 14> kTexts = {
        "Path OK",
        "Path Readonly",
        "Path Writeonly",
        "Invalid Path",
        "Invalid Format",
        "Invalid Format syntax",
        "Value Out Of Range/Invalid Value",
        "Path Locked",
        "Path Disabled",
        "Path Constant",
        "Path Read/Write",
        "Invalid Access",
        "Path No Subscribe",
        "Attribute Disabled",
    };
    const auto index = static_cast<int>(status);
    if (index < 0 || index >= static_cast<int>(kTexts.size())) {
        return std::string();
    }
    return kTexts[static_cast<std::size_t>(index)];
}

bool IStorage::RetrieveEventsUpTo(long long from, unsigned minimumPriority, std::size_t maxBytes,
                                  std::vector<std::string>& out) {
    std::vector<std::string> all;
    const bool result = RetrieveEvents(from, minimumPriority, all);
    std::size_t copied = 0;
    for (auto& text : all) {
        if (copied >= maxBytes) {
            break;
        }
        copied += text.size();
        out.push_back(std::move(text));
    }
    return result;
}

}  // namespace Zelkor
