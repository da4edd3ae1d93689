#include "services/EndedRequest.h"

#include <memory>

#include <json/value.h>

#include "core/JsonText.h"
#include "core/MessageForwardInfo.h"
#include "services/MultiGetValue.h"
#include "services/MultiSetValue.h"

namespace Zelkor {

namespace {

// A longer text is repeated by no refusal: no list option is that long.
constexpr std::size_t kMaxIdentifyingText = 64;

// The entries of a "get" or "set" request, each carrying `reason`; null for another word,
// or for a request whose entries do not read.
std::unique_ptr<MultiSetGetWorker> refusedEntries(const std::string& word, const std::string& line,
                                                  const std::string& reason) {
    std::unique_ptr<MultiSetGetWorker> request;
    if (word == "get") {
        request = std::make_unique<MultiGetValue>(true);
    } else if (word == "set") {
        request = std::make_unique<MultiSetValue>(true);
    } else {
        return nullptr;
    }
    std::string error;
    if (!request->FromNetworkFormat(true, line, error)) {
        return nullptr;
    }
    auto reply = request->Factory();
    for (const auto& [key, entries] : request->GetValues()) {
        for (const auto& entry : entries) {
            const Json::Value format = entry.Format() ? Json::Value(entry.Format()) : Json::Value();
            reply->AddValue(entry.Path() ? entry.Path() : "", key.c_str(), entry.Name() ? entry.Name() : "",
                            Json::Value(), format, Json::Value(reason), false, false);
        }
    }
    return reply->EntryCount() > 0 ? std::move(reply) : nullptr;
}

}  // namespace

std::string EndedRequestReply(const std::string& line, const std::string& reason) {
    MessageForwardInfo header;
    if (!header.ReadReceived(line, false) || header.isReply || header.GetCommand().empty()) {
        return std::string();
    }
    header.ReversePaths();
    return RefusalOf(line, header, reason);
}

std::string RefusalOf(const std::string& line, MessageForwardInfo& header, const std::string& reason) {
    const std::string word = header.GetCommand();
    if (auto entries = refusedEntries(word, line, reason)) {
        entries->SetMessageForwardInfo(header);
        return entries->Build(false);
    }
    // Read again with its body, for what the refusal repeats of it; a body that does not
    // read repeats nothing.
    MessageForwardInfo request;
    const Json::Value body = request.ReadReceived(line, true) ? request.TakeJsonBody() : Json::Value();
    return RefusalLine(header, word, reason, IdentifyingMembers(word, body));
}

Json::Value IdentifyingMembers(const std::string& word, const Json::Value& request) {
    Json::Value kept(Json::objectValue);
    if (word == "list" && request.isObject()) {
        const Json::Value& option = request["command"];
        if (option.isString() && option.asString().size() <= kMaxIdentifyingText) {
            kept["command"] = option;
        }
    }
    return kept;
}

std::string RefusalLine(MessageForwardInfo& header, const std::string& word, const std::string& text,
                        const Json::Value& repeated) {
    std::string line;
    if (!header.AppendHeader(line, false, word.c_str())) {
        return std::string();
    }
    Json::Value body = repeated.isObject() ? repeated : Json::Value(Json::objectValue);
    body["error"] = text;
    line += WriteCompactJson(body);
    line += '\n';
    return line;
}

std::string EndedRequestText(const std::string& line, const std::string& reason) {
    std::string text = EndedRequestReply(line, reason);
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

}  // namespace Zelkor
