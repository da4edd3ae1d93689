#include "services/FailedValues.h"

#include <memory>

#include "driver/EndedRequest.h"
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
    std::string line;
    // A container past the entries bound is never sent: it reads as no entries.
    if (FolderLookup::ProcessObjectsIntoWorkerMessage(true, *message, request)) {
        line = message->Build(true);
    }
    return FailedValues(word, line, reason);
}

}  // namespace Zelkor
