#pragma once
// Named events between nodes: a controller subscribes to a listed device's events (one
// name and those under it, or all), and the device raises them.
//
// Each request tells where it went in a "request" line; what comes back reaches the
// device object's callbacks, one line each, with the device's "guid": "subscribeevent"
// and "unsubscribeevent" (the name the reply carries), "event"
// (the name, its "form" and its payload: "value", or "values" as an object or a list) and
// "eventResult" (the name of an "event" reply).
//
// A device raises an event to every subscriber of its name or of a name above it, with
// one value, named values or a list of values ("raise"), and keeps a name registered
// though nobody subscribes to it ("addevent").
//
// Commands: subscribeevent, unsubscribeevent, raise, addevent.
//
// Threads: commands and callbacks run on the event loop.

#include "Commands.h"
#include "Events.h"
#include "device/IDevice.h"
#include "driver/IZelkorDriver.h"

namespace ZelkorNode {

class EventSubscriptions {
public:
    EventSubscriptions(Zelkor::IZelkorDriver& driver, Events& events);

    // A device drops its handlers with its connection, keeping the callbacks: they are
    // registered from the moment it is listed, and again on each change of its state.
    void Attach(Zelkor::IDevice& device);
    void AddCommands(Commands& commands);

private:
    void subscription(const std::string& name, const Json::Value& command);
    void raise(const Json::Value& command);
    void addEvent(const Json::Value& command);

    Zelkor::IZelkorDriver& _driver;
    Events& _events;
};

}  // namespace ZelkorNode
