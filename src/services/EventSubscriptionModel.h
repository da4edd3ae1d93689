#pragma once
// Which connection wants which named events, the routing header each is reached by, and
// the fan-out of one raised event to them.
//
// Event names are slash-separated like tree paths: a subscription to a name covers every
// name below it. A subscription without a name covers every event. A connection's record
// keeps the routing header of its first subscription, without the sender hash: events go
// out unasked, and a hash repeated on them would make a peer take a second event with the
// same body for a duplicate.
//
// A name stays registered while someone subscribes to it, or for good once AddEvent named
// it; a connection holds at most MaxSubscriptionsPerConnection() names.
//
// Ownership: owned by value by the event subscription service; handles are opaque and
// never dereferenced. Threads: none of its own; the service uses it on the event loop only.

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/MessageForwardInfo.h"

namespace Zelkor {

class EventCommand;
class IServiceSender;

struct EventSubscribers {
    std::string name;
    std::set<void*> subscribers;
    // Named by AddEvent: kept when its last subscriber leaves.
    bool registered = false;
};

struct SubscriberEvents {
    void* subscriber = nullptr;
    MessageForwardInfo forwardInfo;
    std::set<std::string> events;
};

class EventSubscriptionModel {
public:
    // Registers the name for good; null does nothing.
    void AddEvent(const char* name);
    // Null name: all events. The first subscription of a connection, with or without a
    // name, gives its record this header (without hash); later ones keep it. False when
    // the connection already holds its bound of names and this one is new to it.
    bool AddSubscription(void* handle, const MessageForwardInfo& forwardInfo, const char* name);
    // One name (false when the connection does not hold it), or with null every
    // subscription of the connection and its record (always true). Either way the
    // connection leaves all events.
    bool RemoveSubscription(void* handle, const char* name);
    // The handles subscribed to the name or an ancestor, nearest first; a handle may
    // appear more than once. Null gives none.
    std::vector<void*> GetSubscribers(const char* name) const;
    // Appends the handles subscribed to exactly `name`.
    void GetSubscribers(const std::string& name, std::vector<void*>& out) const;
    // One request per subscribing connection that has a record, each with its stored
    // header: those of the name and its ancestors, then the all-events ones. An event
    // without a name sends nothing.
    void SendEvent(EventCommand& event, IServiceSender* sender) const;

    // The next name up the walk: "/a/b" -> "/a" -> "/" -> ""; a trailing "/" is dropped
    // ("/a/b/" -> "/a/b"), a name without "/" ends (""). Always shorter than `name`.
    static std::string ParentName(const std::string& name);

    bool HasEvent(const std::string& name) const { return _events.count(name) != 0; }
    std::size_t EventCount() const { return _events.size(); }
    bool HasRecord(void* handle) const { return _subscribers.count(handle) != 0; }

private:
    EventSubscribers& addEventWorker(const std::string& name);
    // Takes the handle off the name, which goes when nobody is left and AddEvent never
    // named it.
    void leaveEvent(void* handle, const std::string& name);

    std::map<void*, SubscriberEvents> _subscribers;
    std::map<std::string, EventSubscribers> _events;
    std::set<void*> _allEventsSubscribers;
};

}  // namespace Zelkor
