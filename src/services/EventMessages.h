#pragma once
// The event words. "path" holds the event name in each.
//   "event"             request (raiser to subscriber): {"path", "value"} for a single
//                       value, {"arguments": {...}, "path"} for named values,
//                       {"arguments": [...], "path"} for a list; reply: {"path"} (or
//                       {"path", "value"}), "{}" when neither is set, or a router's
//                       {"error"} for an event it could not pass on.
//   "subscribeevent"    {"path"} or the bare word (all events), both ways; a reply may
//                       carry "error".
//   "unsubscribeevent"  likewise (the bare word: every subscription of the connection).
// The subscription words use the base form (every member a string).
//
// Ownership and threads as for every Message. The readers never throw on peer text.

#include <memory>
#include <string>

#include "core/Message.h"

namespace Zelkor {

class EventCommand : public Message {
public:
    EventCommand();

    const char* CommandName() const override { return "event"; }
    std::unique_ptr<Message> Instantiate() const override;
    // The header, "@" for a reply, "event", a blank and the object: "arguments" (requests
    // only, from the message's arguments), "path" and "value" when set. A request without
    // a name (unset or empty) is the empty text: nothing goes out.
    std::string ToNetworkFormat(bool request) const override;
    // "path" and "value" are taken when they are non-empty strings, and so is "error" in a
    // reply; a request without a name fails with "Name is required". "arguments" goes to the message's arguments (an
    // object of plain values: named, an array of them: the list); one with more than
    // MaxEntriesPerMessage() members or elements fails with "Too many entries".
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;
};

class SubscribeEvent : public Message {
public:
    SubscribeEvent();

    const char* CommandName() const override { return "subscribeevent"; }
    std::unique_ptr<Message> Instantiate() const override;
};

class UnsubscribeEvent : public Message {
public:
    UnsubscribeEvent();

    const char* CommandName() const override { return "unsubscribeevent"; }
    std::unique_ptr<Message> Instantiate() const override;
};

// The creators of the three words: each a new empty message. CreateEventCommand is also
// the driver's table entry for "event".
std::unique_ptr<Message> CreateEventCommand();
std::unique_ptr<Message> CreateSubscribeEvent();
std::unique_ptr<Message> CreateUnsubscribeEvent();

}  // namespace Zelkor
