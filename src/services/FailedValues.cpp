#include "services/FailedValues.h"

#include <memory>

#include "services/EndedRequest.h"
#include "services/FolderLookup.h"
#include "services/MultiGetValue.h"
#include "services/MultiSetValue.h"

namespace Zelkor {

namespace {

std::unique_ptr<MultiSetGetWorker> messageOf(const std::string& word) {
    if (word == "set") {
        return std::make_unique<MultiSetValue>(true);
    }
    return std::make_unique<MultiGetValue>(true);
}

}  // namespace

ObjectParamContainer FailedValues(const std::string& word, const std::string& requestLine, const std::string& reason) {
    // Read as the reply the request's peer would have sent to refuse every entry.
    const std::string refusal = EndedRequestReply(requestLine, reason);
    ObjectParamContainer container;
    if (!refusal.empty()) {
        const auto reply = messageOf(word);
        std::string error;
        if (reply->FromNetworkFormat(false, refusal, error)) {
            FolderLookup::BuildObjects(reply->GetValues(), container, true);
        }
    }
    if (container.GetContainerNames().empty()) {
        ContainerFormatValue record;
        record.AddErrorContainer(std::string(), reason);
        container.AddContainers(std::string(), record);
    }
    return container;
}

ObjectParamContainer FailedValues(const std::string& word, const ObjectParamContainer& request,
                                  const std::string& reason) {
    const auto message = messageOf(word);
    if (FolderLookup::ProcessObjectsIntoWorkerMessage(true, *message, request)) {
        return FailedValues(word, message->Build(true), reason);
    }
    // Past the entries bound no line is made of it: its own values are marked instead.
    ObjectParamContainer failed = request;
    for (const auto& path : failed.GetContainerNames()) {
        for (auto& value : *failed.GetContainers(path)) {
            for (const auto& name : value.GetContainerNames()) {
                for (auto& pair : *value.GetContainer(name)) {
                    pair.value = Json::Value();
                    pair.error = reason;
                }
            }
        }
    }
    return failed;
}

}  // namespace Zelkor
