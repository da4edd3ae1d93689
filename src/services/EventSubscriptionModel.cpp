#include "services/EventSubscriptionModel.h"

#include <utility>

#include "core/Param.h"
#include "driver/IServiceSender.h"
#include "services/EventMessages.h"
#include "storage/SubscriptionBound.h"

namespace Zelkor {

std::string EventSubscriptionModel::ParentName(const std::string& name) {
    if (name.size() > 1 && name.back() == '/') {
        return name.substr(0, name.size() - 1);
    }
    const std::size_t slash = name.rfind('/');
    if (slash == std::string::npos || name == "/") {
        return std::string();
    }
    return name.substr(0, slash == 0 ? 1 : slash);
}

EventSubscribers& EventSubscriptionModel::addEventWorker(const std::string& name) {
    auto found = _events.find(name);
    if (found == _events.end()) {
        found = _events.emplace(name, EventSubscribers{name, {}, false}).first;
    }
    return found->second;
}

void EventSubscriptionModel::AddEvent(const char* name) {
    if (name) {
        addEventWorker(name).registered = true;
    }
}

bool EventSubscriptionModel::makeRecord(const SubscriberKey& subscriber, const MessageForwardInfo& forwardInfo) {
    Held& held = _held[subscriber.connection];
    if (held.records >= MaxSubscriptionsPerConnection()) {
        if (held.records == 0 && held.names == 0) {
            _held.erase(subscriber.connection);
        }
        return false;
    }
    ++held.records;
    // The route alone: no hash (a repeated event is no duplicate) and none of the request's
    // text, kept once per subscriber.
    _subscribers.emplace(subscriber, SubscriberEvents{subscriber, forwardInfo.RouteOnly(), {}});
    return true;
}

bool EventSubscriptionModel::AddSubscription(void* handle, const MessageForwardInfo& forwardInfo, const char* name) {
    const SubscriberKey subscriber = SubscriberKey::Of(handle, forwardInfo);
    auto record = _subscribers.find(subscriber);
    if (!name) {
        // Without a record the subscriber would have no header to be reached by.
        if (record == _subscribers.end() && !makeRecord(subscriber, forwardInfo)) {
            return false;
        }
        _allEventsSubscribers.insert(subscriber);
        return true;
    }
    if (record != _subscribers.end() && record->second.events.count(name) != 0) {
        _allEventsSubscribers.erase(subscriber);
        return true;
    }
    // A refused name leaves the subscriptions as they were.
    const auto held = _held.find(handle);
    if (held != _held.end() && held->second.names >= MaxSubscriptionsPerConnection()) {
        return false;
    }
    if (record == _subscribers.end()) {
        if (!makeRecord(subscriber, forwardInfo)) {
            return false;
        }
        record = _subscribers.find(subscriber);
    }
    _allEventsSubscribers.erase(subscriber);
    addEventWorker(name).subscribers.insert(subscriber);
    record->second.events.insert(name);
    ++_held[handle].names;
    return true;
}

void EventSubscriptionModel::leaveEvent(const SubscriberKey& subscriber, const std::string& name) {
    const auto held = _held.find(subscriber.connection);
    if (held != _held.end() && held->second.names > 0) {
        --held->second.names;
    }
    const auto event = _events.find(name);
    if (event == _events.end()) {
        return;
    }
    event->second.subscribers.erase(subscriber);
    if (event->second.subscribers.empty() && !event->second.registered) {
        _events.erase(event);
    }
}

bool EventSubscriptionModel::RemoveSubscription(const SubscriberKey& subscriber, const char* name) {
    _allEventsSubscribers.erase(subscriber);
    const auto record = _subscribers.find(subscriber);
    if (name) {
        if (record == _subscribers.end() || record->second.events.erase(name) == 0) {
            return false;
        }
        leaveEvent(subscriber, name);
        return true;
    }
    if (record == _subscribers.end()) {
        return true;
    }
    for (const auto& event : record->second.events) {
        leaveEvent(subscriber, event);
    }
    _subscribers.erase(record);
    const auto held = _held.find(subscriber.connection);
    if (held != _held.end() && --held->second.records == 0) {
        _held.erase(held);
    }
    return true;
}

void EventSubscriptionModel::RemoveConnection(void* handle) {
    std::vector<SubscriberKey> subscribers;
    for (auto at = _subscribers.lower_bound(SubscriberKey(handle));
         at != _subscribers.end() && at->first.connection == handle; ++at) {
        subscribers.push_back(at->first);
    }
    for (const auto& subscriber : subscribers) {
        RemoveSubscription(subscriber, nullptr);
    }
    _held.erase(handle);
}

bool EventSubscriptionModel::HasRecord(void* handle) const {
    const auto at = _subscribers.lower_bound(SubscriberKey(handle));
    return at != _subscribers.end() && at->first.connection == handle;
}

void EventSubscriptionModel::GetSubscribers(const std::string& name, std::vector<SubscriberKey>& out) const {
    const auto event = _events.find(name);
    if (event != _events.end()) {
        out.insert(out.end(), event->second.subscribers.begin(), event->second.subscribers.end());
    }
}

std::vector<SubscriberKey> EventSubscriptionModel::GetSubscribers(const char* name) const {
    std::vector<SubscriberKey> out;
    if (!name) {
        return out;
    }
    for (std::string step = name; !step.empty(); step = ParentName(step)) {
        GetSubscribers(step, out);
    }
    return out;
}

void EventSubscriptionModel::SendEvent(EventCommand& event, IServiceSender* sender) const {
    const char* path = event.GetParameter(Param::path);
    if (!path || !*path) {
        return;
    }
    std::vector<SubscriberKey> targets = GetSubscribers(std::string(path).c_str());
    targets.insert(targets.end(), _allEventsSubscribers.begin(), _allEventsSubscribers.end());
    std::set<SubscriberKey> sent;
    for (const auto& subscriber : targets) {
        const auto record = _subscribers.find(subscriber);
        if (record == _subscribers.end() || !sent.insert(subscriber).second) {
            continue;
        }
        event.SetMessageForwardInfo(record->second.forwardInfo);
        if (sender) {
            sender->BuildAndSendMessage(subscriber.connection, event, true);
        }
    }
}

}  // namespace Zelkor
