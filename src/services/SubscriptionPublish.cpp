// Value subscriptions on the device side: "subscribe", "unsubscribe", "publish", the
// publishers list, and the publishing of every change the storage reports.

#include <exception>
#include <map>
#include <optional>
#include <sstream>
#include <utility>

#include "driver/IServiceSender.h"
#include "services/FolderLookup.h"
#include "services/FolderModificationService.h"
#include "services/ListPublishers.h"
#include "services/SubscriptionService.h"
#include "services/ValueSubscriptionMessages.h"
#include "storage/PathAppend.h"
#include "storage/RequestBound.h"
#include "storage/StorageModel.h"
#include "storage/StoragePath.h"
#include "storage/SubscriptionBound.h"

namespace Zelkor {

namespace {

const char* const kVariant = "variant";

std::string textOf(const char* text) { return text ? text : ""; }

template <class Visit>
void forEachPair(ObjectParamContainer& container, Visit visit) {
    for (const auto& objectPath : container.GetContainerNames()) {
        for (auto& entry : *container.GetContainers(objectPath)) {
            for (const auto& name : entry.GetContainerNames()) {
                for (auto& pair : *entry.GetContainer(name)) {
                    visit(objectPath, name, pair);
                }
            }
        }
    }
}

void giveEveryPair(ObjectParamContainer& container, const std::string& error) {
    forEachPair(container, [&error](const std::string&, const std::string&, FormatValuePair& pair) {
        pair.error = error;
    });
}

// Whether a path's status lets it be subscribed: a folder's members only when readable
// as such, a parameter named directly unless the path or format is wrong or it is gone.
bool keeps(IStorage::STATUS status, bool inFolder) {
    if (inFolder) {
        return status == IStorage::PathReadonly || status == IStorage::PathReadWrite;
    }
    switch (status) {
        case IStorage::PathReadonly:
        case IStorage::PathWriteonly:
        case IStorage::InvalidFormat:
        case IStorage::PathLocked:
        case IStorage::PathConstant:
        case IStorage::PathReadWrite:
        case IStorage::PathNoSubscribe:
            return true;
        default:
            return false;
    }
}

// Subscribers by the keys the table holds, in their order.
struct PointeeLess {
    bool operator()(const SubscriberKey* a, const SubscriberKey* b) const { return *a < *b; }
};

std::string addressText(const void* address) {
    std::ostringstream text;
    text << address;
    return text.str();
}

}  // namespace

const char* SubscriptionService::ValueType(const Json::Value& value) {
    switch (value.type()) {
        case Json::intValue:
        case Json::uintValue:
            return "integer";
        case Json::realValue:
            return "float";
        case Json::booleanValue:
            return "boolean";
        default:
            return "string";
    }
}

bool SubscriptionService::ProcessAttributes(const std::string& path, ContainerFormatValue& entry,
                                            const std::string& prefix,
                                            std::vector<std::pair<std::string, Json::Value>>* added) {
    if (!_storage) {
        return false;
    }
    Json::Value attributes;
    if (!_storage->GetAttributesForPath(path.c_str(), attributes) || !attributes.isObject()) {
        return false;
    }
    const Json::Value& dynamic = attributes[".dynamic"];
    if (!dynamic.isBool() || !dynamic.asBool()) {
        return false;
    }
    for (const auto& name : attributes.getMemberNames()) {
        if (name.empty() || name.front() != '.') {
            continue;
        }
        const Json::Value& value = attributes[name];
        const std::string member = prefix + name;
        entry.AddContainer(member, value, kVariant, value.isArray() || value.isObject(), true);
        // Written as the value it is, not as the text of one.
        entry.GetContainer(member)->back().type = ValueType(value);
        if (added) {
            added->emplace_back(name, value);
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Requests

bool SubscriptionService::readRequested(const Message& request, ObjectParamContainer& container) {
    const auto* values = dynamic_cast<const MultiSetGetWorker*>(&request);
    if (!values) {
        return false;
    }
    FolderLookup::BuildObjects(values->GetValues(), container, false);
    if (!_storage || !_storage->GetStorage()) {
        giveEveryPair(container, FolderModificationService::NoStorage);
        return false;
    }
    try {
        _storage->GetObjectsParameters(container, true);
        return true;
    } catch (const std::exception& error) {
        Error("ZK6544E GetObjectsParameters error", error.what());
    } catch (...) {
        Error("ZK6544E GetObjectsParameters error");
    }
    giveEveryPair(container, FolderModificationService::StorageException);
    return false;
}

void SubscriptionService::answerSubscribe(MessageSignalData& data) {
    if (!overConnection(data, "subscribe")) {
        return;
    }
    const Message& request = *data.GetMessage();
    Subscribe answer;
    {
        // Gone before the reply is written: a request of many entries holds never both.
        ObjectParamContainer container;
        if (readRequested(request, container)) {
            const auto attributes = filterSubscribed(container);
            // The route alone: a subscriber that filters duplicates by hash would take a
            // later publish carrying this request's hash for a repeat, and the request's
            // text would be kept once per path and format.
            const MessageForwardInfo header = request.GetMessageForwardInfo().RouteOnly();
            subscribeEntries(container, attributes, SubscriberKey::Of(data.Handle(), header), header);
        }
        if (!FolderLookup::ProcessObjectsIntoWorkerMessage(false, answer, container)) {
            PeerWarning("ZK6545W subscribe reply cut at the entries bound");
        }
    }
    reply(data, answer);
}

std::set<std::pair<std::string, std::string>> SubscriptionService::filterSubscribed(ObjectParamContainer& container) {
    std::set<std::pair<std::string, std::string>> attributes;
    for (const auto& path : container.GetContainerNames()) {
        auto* entries = container.GetContainers(path);
        const std::size_t present = entries->size();
        bool folder = false;
        for (const auto& entry : *entries) {
            folder = folder || entry.IsObject();
        }
        if (folder) {
            ContainerFormatValue own;
            std::vector<std::pair<std::string, Json::Value>> added;
            if (ProcessAttributes(path, own, "", &added)) {
                for (const auto& attribute : added) {
                    attributes.emplace(path, attribute.first);
                }
                container.AddContainers(path, std::move(own));
            }
        }
        auto entry = entries->begin();
        for (std::size_t left = present; left > 0; --left, ++entry) {
            // The attributes added below are no members to check.
            for (const auto& name : entry->GetContainerNames()) {
                const std::string member = AppendPath(path, name);
                std::vector<std::pair<std::string, Json::Value>> added;
                ProcessAttributes(member, *entry, name + "/", &added);
                for (const auto& attribute : added) {
                    attributes.emplace(path, name + "/" + attribute.first);
                }
                for (auto& pair : *entry->GetContainer(name)) {
                    if (!pair.error.empty()) {
                        continue;  // the read's own finding says more
                    }
                    const IStorage::STATUS status = _storage->VerifyPath(member.c_str(), pair.format.c_str());
                    if (!keeps(status, entry->IsObject())) {
                        pair.error = _storage->GetStatusString(status);
                    }
                }
            }
        }
    }
    return attributes;
}

void SubscriptionService::subscribeEntries(ObjectParamContainer& container,
                                           const std::set<std::pair<std::string, std::string>>& attributes,
                                           const SubscriberKey& subscriber, const MessageForwardInfo& header) {
    const std::size_t bound = MaxSubscriptionsPerConnection();
    std::size_t refused = 0;
    forEachPair(container, [&](const std::string& objectPath, const std::string& name, FormatValuePair& pair) {
        // A dynamic parameter's attributes travel with it; their changes publish it.
        if (!pair.error.empty() || attributes.count({objectPath, name}) != 0) {
            return;
        }
        std::string path = AppendPath(objectPath, name);
        if (LogLevel() >= 7) {
            Debug("ZK6500I AddSubscriptionPrepareReply path", path);
        }
        if (!path.empty() && path.front() != '/') {
            path.insert(path.begin(), '/');
            Debug("ZK6501I Path prepended", path);
        }
        const std::string format = pair.formatDefaulted ? kVariant : pair.format;
        if (!addValueSubscription(path, format, subscriber, header, bound)) {
            pair.error = kTooManyEntries;
            ++refused;
        }
    });
    if (refused > 0) {
        PeerWarning("ZK6546W Subscriptions per connection bound reached; entries refused", refused);
    }
}

bool SubscriptionService::addValueSubscription(const std::string& path, const std::string& format,
                                               const SubscriberKey& subscriber, const MessageForwardInfo& header,
                                               std::size_t bound) {
    auto key = std::make_pair(path, format);
    const auto held = _valuePairs.find(subscriber);
    if (held == _valuePairs.end() || held->second.count(key) == 0) {
        // The bound holds for the connection: the controllers behind a router share it.
        if (ValueSubscriptionCount(subscriber.connection) >= bound) {
            return false;
        }
        ++_valueCounts[subscriber.connection];
        _valuePairs[subscriber].insert(std::move(key));
    }
    _values[path][format][subscriber] = header;
    return true;
}

void SubscriptionService::removeValueSubscription(const std::string& path, const std::string& format,
                                                  const SubscriberKey& subscriber) {
    const auto formats = _values.find(path);
    if (formats == _values.end()) {
        return;
    }
    std::vector<std::string> words;
    if (format.empty()) {
        for (const auto& entry : formats->second) {
            words.push_back(entry.first);
        }
    } else {
        words.push_back(format);
    }
    const auto pairs = _valuePairs.find(subscriber);
    for (const auto& word : words) {
        dropFromValues(path, word, subscriber);
        if (pairs != _valuePairs.end() && pairs->second.erase({path, word}) != 0) {
            const auto count = _valueCounts.find(subscriber.connection);
            if (count != _valueCounts.end() && --count->second == 0) {
                _valueCounts.erase(count);
            }
        }
    }
    if (pairs != _valuePairs.end() && pairs->second.empty()) {
        _valuePairs.erase(pairs);
    }
}

void SubscriptionService::answerUnsubscribe(MessageSignalData& data) {
    const Message& request = *data.GetMessage();
    // Only the requester's own: behind a router, the route it came by.
    const SubscriberKey subscriber = SubscriberKey::Of(data.Handle(), request.GetMessageForwardInfo());
    Unsubscribe answer;
    bool named = false;
    {
        // Gone before the reply is written: a request of many entries holds never both.
        ObjectParamContainer container;
        readRequested(request, container);
        if (!FolderLookup::ProcessObjectsIntoWorkerMessage(false, answer, container)) {
            PeerWarning("ZK6547W unsubscribe reply cut at the entries bound");
        }
        forEachPair(container, [&](const std::string& objectPath, const std::string& name, FormatValuePair& pair) {
            named = true;
            if (pair.error.empty()) {
                removeValueSubscription(AppendPath(objectPath, name), pair.formatDefaulted ? "" : pair.format,
                                        subscriber);
            }
        });
    }
    if (!named) {
        removeSubscriber(subscriber);
    }
    reply(data, answer);
}

void SubscriptionService::answerPublish(MessageSignalData& data) {
    MultiPublishValue answer(true);
    reply(data, answer);
}

void SubscriptionService::answerPublishers(MessageSignalData& data) {
    ListPublishers answer;
    bool full = false;
    for (const auto& [path, formats] : _values) {
        for (const auto& entry : formats) {
            if (!answer.AddPublisher(path.c_str(), entry.first.c_str())) {
                full = true;
                break;
            }
        }
        if (full) {
            break;
        }
    }
    if (full) {
        PeerWarning("ZK6548W Publishers list cut", kTooManyEntries);
        answer.SetParameter(Param::error, kTooManyEntries);
    }
    reply(data, answer);
}

// ---------------------------------------------------------------------------------------
// Change reports

void SubscriptionService::ValueChanged(const char* path, const char* format, const char* value, bool changed) {
    if (LogLevel() >= 6) {
        Trace("ZK6507I SubscriptionService::ValueChanged(A) path (" + textOf(path) + ") value " + textOf(value));
    }
    ValueChanged(path, format, value, nullptr, changed);
    Trace("ZK6508I SubscriptionService::ValueChanged(A) end");
}

void SubscriptionService::ValueChanged(const char* path, const char* format, const char* value, bool changed,
                                       std::weak_ptr<IStorage> storage) {
    if (LogLevel() >= 6) {
        Trace("ZK6523I SubscriptionService::ValueChanged(C) path (" + textOf(path) + ") value " + textOf(value));
    }
    ValueChanged(path, format, value, nullptr, changed, std::move(storage));
    Trace("ZK6524I SubscriptionService::ValueChanged(C) end");
}

void SubscriptionService::ValueChanged(const char* path, const char* format, const char* value, const char* type,
                                       bool changed, std::weak_ptr<IStorage> storage) {
    Trace("ZK6525I SubscriptionService::ValueChanged(D) begin");
    const auto reporting = storage.lock();
    const auto current = _storage ? _storage->GetStorage() : nullptr;
    if (LogLevel() >= 6) {
        Trace("ZK6529I storage original (" + addressText(reporting.get()) + ") current (" +
              addressText(current.get()) + ")");
    }
    if (!_storage) {
        Warning("ZK6526W SubscriptionService::_storage is null");
        return;
    }
    if (!reporting) {
        Warning("ZK6528W SubscriptionService::ValueChanged(D) storage is nullptr");
        return;
    }
    if (!current) {
        Warning("ZK6527W StorageModel::GetStorage returned null");
        return;
    }
    if (reporting != current) {
        Warning("ZK6530W Original storage address differs from current address");
    }
    ValueChanged(path, format, value, type, changed);
    Trace("ZK6531I SubscriptionService::ValueChanged(D) end");
}

void SubscriptionService::ValueChanged(const char* path, const char* /*format*/, const char* value,
                                       const char* /*type*/, bool changed) {
    Trace("ZK6509I SubscriptionService::ValueChanged(B) begin");
    if (IsFinalized()) {
        return;
    }
    if (!path) {
        Warning("ZK6521W SubscriptionService::ValueChanged(B) no path");
        return;
    }
    if (!value) {
        Warning("ZK6522W SubscriptionService::ValueChanged(B) no value");
        return;
    }
    // The tables are the loop's: a write on another thread publishes from there.
    onLoop([path = std::string(path), value = std::string(value), changed](SubscriptionService& self) {
        self.publish(path, value, changed);
    });
}

void SubscriptionService::publish(const std::string& path, const std::string& value, bool flag) {
    if (IsFinalized()) {
        return;
    }
    if (_sender) {
        _sender->UpdateDiscoReplyValue(path, value);
    }
    if (_values.empty()) {
        Debug("ZK6510I Onchange subscription map is empty");
        return;
    }
    if (LogLevel() >= 7) {
        Debug("ZK6511I ValueChanged path (" + path + ") value " + value);
    }
    const std::string subscribed = subscribedPathOf(path);
    const auto formats = subscribed.empty() ? _values.end() : _values.find(subscribed);
    if (formats == _values.end() || !_storage || !_sender) {
        return;
    }
    // Each format is read once for every subscriber of it.
    std::map<std::string, std::optional<Json::Value>> read;
    std::map<const SubscriberKey*, std::vector<std::pair<const std::string*, const MessageForwardInfo*>>,
             PointeeLess>
        bySubscriber;
    for (const auto& [format, subscribers] : formats->second) {
        Debug("ZK6514I Calling _storage->GetValueForPath");
        Json::Value current;
        const IStorage::STATUS status = _storage->GetValueForPath(subscribed.c_str(), format.c_str(), current);
        if (status == IStorage::PathOk) {
            read[format] = std::move(current);
        } else {
            Debug("ZK6516I GetValueForPath returned", static_cast<int>(status));
            read[format] = std::nullopt;
        }
        for (const auto& [subscriber, header] : subscribers) {
            bySubscriber[&subscriber].emplace_back(&format, &header);
        }
    }
    const auto [key, name] = SplitParameterPath(subscribed);
    for (const auto& [subscriber, list] : bySubscriber) {
        MultiPublishValue message(flag);
        std::size_t values = 0;
        // The last format's header goes with the publish.
        const MessageForwardInfo* route = nullptr;
        // Only an entries bound below the subscriptions bound stops a value here: one
        // publish per change and connection is what subscribers rely on, so it is cut, and
        // says so.
        bool cut = false;
        for (const auto& [format, header] : list) {
            const auto& current = read[*format];
            if (current) {
                Debug("ZK6515I ValueChanged publish values added");
                const bool held = current->isArray() || current->isObject();
                if (message.AddValue(subscribed.c_str(), key.c_str(), name.c_str(), *current, format->c_str(),
                                     ValueType(*current), nullptr, held, true)) {
                    ++values;
                } else {
                    cut = true;
                }
            }
            route = header;
        }
        if (route) {
            message.SetMessageForwardInfo(*route);
        }
        if (cut) {
            PeerWarning("ZK6555W Publish cut at the entries bound", subscribed);
        }
        // Every reader refuses a "publish" without a value ("Path required").
        if (values == 0) {
            Debug("ZK6549I ValueChanged no value read, nothing published for", subscribed);
            continue;
        }
        Debug("ZK6517I ValueChanged BuildAndSendMessageDelayed called");
        _sender->BuildAndSendMessageDelayed(subscriber->connection, message, true);
    }
    Trace("ZK6518I SubscriptionService::ValueChanged(B) end");
}

std::string SubscriptionService::subscribedPathOf(const std::string& path) const {
    if (_values.count(path) != 0) {
        return path;
    }
    const std::size_t cut = path.rfind('/');
    if (cut == std::string::npos) {
        return std::string();
    }
    std::string attribute = path.substr(cut + 1);
    std::string parent = cut == 0 ? "/" : path.substr(0, cut);
    if (LogLevel() >= 7) {
        Debug("ZK6512I ValueChanged attributePath (" + attribute + ") parentPath " + parent);
    }
    if (attribute.empty() || attribute.front() != '.') {
        // An element of an attribute list (".flags/2") stands for the list.
        const std::size_t up = parent.rfind('/');
        if (up != std::string::npos && up + 1 < parent.size() && parent[up + 1] == '.') {
            attribute = parent.substr(up + 1);
            parent = up == 0 ? "/" : parent.substr(0, up);
            if (LogLevel() >= 7) {
                Debug("ZK6513I ValueChanged attributePath .flags array index (" + attribute + ") parentPath " +
                      parent);
            }
        }
    }
    if (attribute.empty() || attribute.front() != '.') {
        return std::string();
    }
    return _values.count(parent) != 0 ? parent : std::string();
}

}  // namespace Zelkor
