#include "services/EventSubscriptionModel.h"

#include <utility>

#include "core/Param.h"
#include "driver/IServiceSender.h"
#include "services/EventMessages.h"
#include "storage/SubscriptionBound.h"

namespace Zelkor {

namespace {

// The route alone: no hash (a repeated event is no duplicate) and none of the request's
// text, kept once per subscriber.
MessageForwardInfo storedHeader(const MessageForwardInfo& given) { return given.RouteOnly(); }

}  // namespace

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

bool EventSubscriptionModel::AddSubscription(void* handle, const MessageForwardInfo& forwardInfo, const char* name) {
    auto record = _subscribers.find(handle);
    if (!name) {
        _allEventsSubscribers.insert(handle);
        // Without a record the connection would have no header to be reached by.
        if (record == _subscribers.end()) {
            _subscribers.emplace(handle, SubscriberEvents{handle, storedHeader(forwardInfo), {}});
        }
        return true;
    }
    if (record != _subscribers.end()) {
        if (record->second.events.count(name) != 0) {
            _allEventsSubscribers.erase(handle);
            return true;
        }
        // A refused name leaves the connection's subscriptions as they were.
        if (record->second.events.size() >= MaxSubscriptionsPerConnection()) {
            return false;
        }
    }
    _allEventsSubscribers.erase(handle);
    addEventWorker(name).subscribers.insert(handle);
    if (record == _subscribers.end()) {
        _subscribers.emplace(handle, SubscriberEvents{handle, storedHeader(forwardInfo), {name}});
    } else {
        record->second.events.insert(name);
    }
    return true;
}

void EventSubscriptionModel::leaveEvent(void* handle, const std::string& name) {
    const auto event = _events.find(name);
    if (event == _events.end()) {
        return;
    }
    event->second.subscribers.erase(handle);
    if (event->second.subscribers.empty() && !event->second.registered) {
        _events.erase(event);
    }
}

bool EventSubscriptionModel::RemoveSubscription(void* handle, const char* name) {
    _allEventsSubscribers.erase(handle);
    const auto record = _subscribers.find(handle);
    if (name) {
        if (record == _subscribers.end() || record->second.events.erase(name) == 0) {
            return false;
        }
        leaveEvent(handle, name);
        return true;
    }
    if (record == _subscribers.end()) {
        return true;
    }
    for (const auto& event : record->second.events) {
        leaveEvent(handle, event);
    }
    _subscribers.erase(record);
    return true;
}

void EventSubscriptionModel::GetSubscribers(const std::string& name, std::vector<void*>& out) const {
    const auto event = _events.find(name);
    if (event != _events.end()) {
        out.insert(out.end(), event->second.subscribers.begin(), event->second.subscribers.end());
    }
}

std::vector<void*> EventSubscriptionModel::GetSubscribers(const char* name) const {
    std::vector<void*> out;
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
    std::vector<void*> targets = GetSubscribers(std::string(path).c_str());
    targets.insert(targets.end(), _allEventsSubscribers.begin(), _allEventsSubscribers.end());
    std::set<void*> sent;
    for (void* handle : targets) {
        const auto record = _subscribers.find(handle);
        if (record == _subscribers.end() || !sent.insert(handle).second) {
            continue;
        }
        event.SetMessageForwardInfo(record->second.forwardInfo);
        if (sender) {
            sender->BuildAndSendMessage(handle, event, true);
        }
    }
}

}  // namespace Zelkor
