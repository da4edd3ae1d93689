#pragma once
// The service of event subscriptions and raised events, as the driver hands it to the
// application: a device raises named events to the connections subscribed to them; a
// controller asks a peer for them (the peer's replies reach the handlers connected with
// AddHandler2 to "subscribeevent" and "unsubscribeevent", its events those on "event").
//
// Ownership: the driver's; the application never deletes it.
// Threads: any thread. ReplyEvent, AddEvent and RaiseEvent copy their arguments and do
// their work on the event loop, in call order; the two senders build and send at once.

#include <map>
#include <string>
#include <vector>

#include "core/IServiceBase.h"

namespace Zelkor {

class MessageForwardInfo;

class IEventSubscriptionService : public IServiceBase {
public:
    // An "event" reply with the name and value (either may be null) on the connection.
    virtual void ReplyEvent(void* handle, const char* name, MessageForwardInfo& forwardInfo, const char* value) = 0;
    // Keeps the name registered even when nobody subscribes to it.
    virtual void AddEvent(const char* name) = 0;
    // An event to every connection subscribed to the name, one of its ancestors or all
    // events: with one value (null: none), named values or a list of values. An event
    // without a name goes nowhere.
    virtual void RaiseEvent(const char* name, const char* value) = 0;
    virtual void RaiseEvent(const char* name, const std::map<std::string, std::string>& values) = 0;
    virtual void RaiseEvent(const char* name, const std::vector<std::string>& values) = 0;
    // Asks the peer for the events of the name, or all events with null.
    virtual void SendSubscribeEvent(void* handle, MessageForwardInfo& forwardInfo, const char* name) = 0;
    // Cancels the name, or with null every subscription this connection holds there.
    virtual void SendUnsubscribeEvent(void* handle, MessageForwardInfo& forwardInfo, const char* name) = 0;
};

}  // namespace Zelkor
