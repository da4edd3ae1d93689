#pragma once
// Containers and multi-value reply lines as one short text, for comparing in tests.

#include <string>

#include "core/JsonText.h"
#include "services/FolderLookup.h"
#include "services/MultiGetValue.h"
#include "services/MultiSetValue.h"
#include "storage/ObjectParamContainer.h"

namespace ZelkorTest {

// Every pair as "path|name=value" or "path|name!error", in container order, blank between.
inline std::string Summary(const Zelkor::ObjectParamContainer& container) {
    std::string out;
    for (const auto& path : container.GetContainerNames()) {
        for (const auto& value : *container.GetContainers(path)) {
            for (const auto& name : value.GetContainerNames()) {
                for (const auto& pair : *value.GetContainer(name)) {
                    out += (out.empty() ? "" : " ") + path + "|" + name +
                           (pair.error.empty() ? "=" + Zelkor::WriteCompactJson(pair.value) : "!" + pair.error);
                }
            }
        }
    }
    return out;
}

// The word of a line without header: "get" of "@get {...}".
inline std::string WordOf(const std::string& line) {
    const std::size_t start = line.find_first_not_of('@');
    return start == std::string::npos ? std::string() : line.substr(start, line.find_first_of(" \n", start) - start);
}

// An empty "get" or "set" message of the word.
inline std::unique_ptr<Zelkor::MultiSetGetWorker> MultiValueOf(const std::string& word) {
    if (word == "set") {
        return std::make_unique<Zelkor::MultiSetValue>(true);
    }
    return std::make_unique<Zelkor::MultiGetValue>(true);
}

// A "get" or "set" reply line (without header) as the controller's handler sees it.
inline std::string Answer(const std::string& line) {
    auto reply = MultiValueOf(WordOf(line));
    std::string error;
    if (!reply->FromNetworkFormat(false, line.substr(0, line.find('\n')), error)) {
        return "unreadable: " + error;
    }
    Zelkor::ObjectParamContainer container;
    Zelkor::FolderLookup::BuildObjects(reply->GetValues(), container, true);
    return Summary(container);
}

}  // namespace ZelkorTest
