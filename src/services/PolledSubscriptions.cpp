// Polled subscriptions on the device side: "subscribepoll" registers a named list of
// readable targets, "poll" reads them all again, "unsubscribepoll" drops one or all.

#include <exception>

#include "core/JsonText.h"
#include "driver/IServiceSender.h"
#include "services/SubscribePollWorker.h"
#include "services/SubscriptionService.h"
#include "storage/ContainerFormatValue.h"
#include "storage/RequestBound.h"
#include "storage/StorageModel.h"
#include "storage/SubscriptionBound.h"

namespace Zelkor {

namespace {

const char* const kVariant = "variant";

std::string textOf(const Json::Value& value) {
    return value.isString() ? value.asString() : WriteCompactJson(value);
}

bool lastIsAttribute(const std::string& path) {
    const std::size_t cut = path.rfind('/');
    const std::size_t start = cut == std::string::npos ? 0 : cut + 1;
    return start < path.size() && path[start] == '.';
}

}  // namespace

void SubscriptionService::AddSubscriptionPollPrepareReply(MessageSignalData& data, SubscribePoll& reply) {
    const auto* request = dynamic_cast<const SubscribePollWorker*>(data.GetMessage());
    if (!request) {
        return;
    }
    const char* nameText = request->GetParameter(Param::name);
    const std::string name = nameText ? nameText : "";
    const char* formatText = request->GetParameter(Param::format);
    const std::string format = formatText && *formatText ? formatText : kVariant;
    reply.SetParameter(Param::name, name.c_str());
    reply.SetParameter(Param::format, format.c_str());

    std::vector<std::string> accepted;
    const Json::Value& targets = request->GetTargets();
    const std::size_t bound = MaxEntriesPerMessage();
    for (Json::ArrayIndex index = 0; _storage && targets.isArray() && index < targets.size(); ++index) {
        const std::string target = textOf(targets[index]);
        const IStorage::STATUS status = _storage->VerifyPath(target.c_str(), format.c_str());
        if (status == IStorage::PathWriteonly || status == IStorage::InvalidPath ||
            status == IStorage::InvalidFormat || status == IStorage::PathConstant ||
            status == IStorage::InvalidAccess) {
            continue;
        }
        if (status == IStorage::PathOk && !lastIsAttribute(target)) {
            std::string access;
            const std::string accessPath = target + "/.access";
            if (_storage->GetValueForPath(accessPath.c_str(), format.c_str(), access) == IStorage::PathOk &&
                (access == "c" || access == "wo")) {
                continue;
            }
        }
        Json::Value value;
        if (_storage->GetValueForPath(target.c_str(), format.c_str(), value) != IStorage::PathOk) {
            continue;
        }
        ContainerFormatValue scratch;
        std::vector<std::pair<std::string, Json::Value>> attributes;
        ProcessAttributes(target, scratch, target + "/", &attributes);
        // The reply names every accepted target: one that does not fit is not taken.
        if (reply.TargetValues().size() + attributes.size() + 1 > bound) {
            PeerWarning("ZK6550W subscribepoll targets cut", kTooManyEntries);
            break;
        }
        for (const auto& [attribute, attributeValue] : attributes) {
            Json::Value entry(Json::objectValue);
            entry["path"] = target + "/" + attribute;
            entry["value"] = attributeValue;
            reply.AddTargetValues(entry);
        }
        Json::Value entry(Json::objectValue);
        entry["path"] = target;
        entry["value"] = std::move(value);
        reply.AddTargetValues(entry);
        accepted.push_back(target);
    }
    if (accepted.empty()) {
        reply.SetParameter(Param::error, NoSubscribableTargets);
        return;
    }
    const SubscriberKey subscriber = SubscriberKey::Of(data.Handle(), request->GetMessageForwardInfo());
    // The bound holds for the connection: the controllers behind a router share it.
    std::size_t held = 0;
    for (auto at = _polled.lower_bound(SubscriberKey(subscriber.connection));
         at != _polled.end() && at->first.connection == subscriber.connection; ++at) {
        for (const auto& [other, record] : at->second) {
            held += at->first == subscriber && other == name ? 0 : record.targets.size();
        }
    }
    if (held + accepted.size() > MaxSubscriptionsPerConnection()) {
        PeerWarning("ZK6551W Polled targets per connection bound reached; subscribepoll refused", name);
        reply.SetParameter(Param::error, kTooManyEntries);
        return;
    }
    PolledRecord& record = _polled[subscriber][name];
    record.format = format;
    record.header = request->GetMessageForwardInfo().RouteOnly();
    record.targets = std::move(accepted);
}

void SubscriptionService::RemoveSubscriptionPollPrepareReply(MessageSignalData& data, UnsubscribePoll& reply) {
    const auto found = _polled.find(SubscriberKey::Of(data.Handle(), data.GetMessage()->GetMessageForwardInfo()));
    if (found == _polled.end()) {
        reply.SetParameter(Param::error, NoPolledSubscription);
        return;
    }
    const char* name = data.GetMessage()->GetParameter(Param::name);
    if (name) {
        const auto record = found->second.find(name);
        if (record == found->second.end()) {
            reply.SetParameter(Param::error, NamedPollNotFound);
            return;
        }
        found->second.erase(record);
    } else {
        found->second.clear();
    }
    if (found->second.empty()) {
        _polled.erase(found);
    }
}

void SubscriptionService::ProcessPollSubscription(MessageSignalData& data, SubscribePollWorker& reply) {
    const char* name = data.GetMessage()->GetParameter(Param::name);
    if (!name) {
        return;
    }
    reply.SetParameter(Param::name, name);
    const PolledRecord* record = nullptr;
    const auto found = _polled.find(SubscriberKey::Of(data.Handle(), data.GetMessage()->GetMessageForwardInfo()));
    if (found != _polled.end()) {
        const auto named = found->second.find(name);
        if (named != found->second.end()) {
            record = &named->second;
        }
    }
    if (!record || record->format.empty() || record->targets.empty() || !_storage) {
        reply.SetParameter(Param::error, PollNotFound);
        return;
    }
    reply.SetParameter(Param::format, record->format.c_str());
    try {
        for (const auto& target : record->targets) {
            Json::Value value;
            const IStorage::STATUS status = _storage->GetValueForPath(target.c_str(), record->format.c_str(), value);
            // The position names the target: a failed read keeps its place, and a reply
            // that cannot hold every target (the bound lowered since) is refused whole.
            const bool read = status == IStorage::PathOk;
            if (!reply.AddTarget(read ? value : Json::Value(""))) {
                PeerWarning("ZK6554W Poll reply over the entries bound", name);
                reply.SetParameter(Param::error, kTooManyEntries);
                break;
            }
            if (read) {
                continue;
            }
            if (LogLevel() >= 2) {
                PeerWarning(Join("ZK6502W Storage layer returned non-zero result from GetValueForPath path: (", target,
                                 ") format: (", record->format, ") value: (", [&] { return textOf(value); },
                                 ") result: (", static_cast<int>(status), ")"));
            }
        }
    } catch (const std::exception& error) {
        Error("ZK6503E GetValueForPath error", error.what());
    }
}

}  // namespace Zelkor
