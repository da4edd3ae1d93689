#pragma once
// Which subscriber wants which named events, the routing header each is reached by, and
// the fan-out of one raised event to them.
//
// A subscriber is a connection, or behind a router a connection and the route of the
// controller that subscribed (SubscriberKey): each controller behind one router has its
// own record, is sent the events it asked for with its own route, and removes only its own.
//
// Event names are slash-separated like tree paths: a subscription to a name covers every
// name below it. A subscription without a name covers every event. A subscriber's record
// keeps the routing header of its first subscription, without the sender hash: events go
// out unasked, and a hash repeated on them would make a peer take a second event with the
// same body for a duplicate.
//
// A name stays registered while someone subscribes to it, or for good once AddEvent named
// it. A connection holds at most MaxSubscriptionsPerConnection() names, and as many
// records, over all the subscribers behind it.
//
// Ownership: owned by value by the event subscription service; handles are opaque and
// never dereferenced. Threads: none of its own; the service uses it on the event loop only.

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/MessageForwardInfo.h"
#include "services/SubscriberKey.h"

namespace Zelkor {

class EventCommand;
class IServiceSender;

struct EventSubscribers {
    std::string name;
    std::set<SubscriberKey> subscribers;
    // Named by AddEvent: kept when its last subscriber leaves.
    bool registered = false;
};

struct SubscriberEvents {
    SubscriberKey subscriber;
    MessageForwardInfo forwardInfo;
    std::set<std::string> events;
};

class EventSubscriptionModel {
public:
    // Registers the name for good; null does nothing.
    void AddEvent(const char* name);
    // Subscribes the subscriber a request on `handle` with `forwardInfo` speaks for. Null
    // name: all events. The first subscription of a subscriber, with or without a name,
    // gives its record this header (without hash); later ones keep it. False when the
    // connection already holds its bound of names and this one is new to the subscriber,
    // or its bound of records and the subscriber has none.
    bool AddSubscription(void* handle, const MessageForwardInfo& forwardInfo, const char* name);
    // One name (false when the subscriber does not hold it), or with null every
    // subscription of the subscriber and its record (always true). Either way the
    // subscriber leaves all events.
    bool RemoveSubscription(const SubscriberKey& subscriber, const char* name);
    // Every subscriber of the connection, as RemoveSubscription without a name.
    void RemoveConnection(void* handle);
    // True while a subscriber of the connection holds a subscription.
    bool Holds(void* handle) const { return _held.count(handle) > 0; }
    // The subscribers of the name or an ancestor, nearest first; one may appear more than
    // once. Null gives none.
    std::vector<SubscriberKey> GetSubscribers(const char* name) const;
    // Appends the subscribers of exactly `name`.
    void GetSubscribers(const std::string& name, std::vector<SubscriberKey>& out) const;
    // One request per subscriber that has a record, each with its stored header, on its
    // connection: those of the name and its ancestors, then the all-events ones. An event
    // without a name sends nothing.
    void SendEvent(EventCommand& event, IServiceSender* sender) const;

    // The next name up the walk: "/a/b" -> "/a" -> "/" -> ""; a trailing "/" is dropped
    // ("/a/b/" -> "/a/b"), a name without "/" ends (""). Always shorter than `name`.
    static std::string ParentName(const std::string& name);

    bool HasEvent(const std::string& name) const { return _events.count(name) != 0; }
    std::size_t EventCount() const { return _events.size(); }
    // Whether any subscriber of the connection has a record.
    bool HasRecord(void* handle) const;
    bool HasRecord(const SubscriberKey& subscriber) const { return _subscribers.count(subscriber) != 0; }

private:
    // What the subscribers of one connection hold together.
    struct Held {
        std::size_t names = 0;
        std::size_t records = 0;
    };

    EventSubscribers& addEventWorker(const std::string& name);
    // Takes the subscriber off the name, which goes when nobody is left and AddEvent never
    // named it.
    void leaveEvent(const SubscriberKey& subscriber, const std::string& name);
    // A record for the subscriber; false when its connection holds its bound of them.
    bool makeRecord(const SubscriberKey& subscriber, const MessageForwardInfo& forwardInfo);

    std::map<SubscriberKey, SubscriberEvents> _subscribers;
    std::map<std::string, EventSubscribers> _events;
    std::set<SubscriberKey> _allEventsSubscribers;
    std::map<void*, Held> _held;
};

}  // namespace Zelkor
