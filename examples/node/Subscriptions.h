#pragma once
// Value, polled and log subscriptions between nodes, and the device's own half of them.
//
// A controller subscribes to values of a listed device, sets up and reads polled
// subscriptions, subscribes to the device's log rows, adds rows to its log, and asks it
// which paths it publishes. Each request tells where it went in a "request" line; what
// comes back reaches the device object's callbacks, one line each, named after the
// command it answers: "subscribe", "unsubscribe", "subscribepoll", "unsubscribepoll",
// "poll", "sublog", "unsublog", and "publish" and "log" for what the device sends on,
// each with the device's "guid". The answer to a publishers list comes as
// "listpublishers".
//
// A device writes its own tree ("write"): a value that changes is published to its
// subscribers. It logs rows ("logevent"): each is stored in its event log, then handed
// to its log subscribers.
//
// Commands: subscribe, unsubscribe, subscribepoll, unsubscribepoll, poll, sublog, unsublog,
// logrow, listpublishers, write, logevent.
//
// Threads: commands and callbacks run on the event loop. The tree is written there too,
// as an application writes it: the storage then reports the change on the thread that
// reads it, and the publish follows the write at once.

#include <memory>
#include <string>

#include <boost/signals2/connection.hpp>

#include "Commands.h"
#include "Events.h"
#include "device/IDevice.h"
#include "driver/IZelkorDriver.h"
#include "storage/JsonModel.h"

namespace Zelkor {
class MessageSignalData;
}

namespace ZelkorNode {

class Subscriptions {
public:
    Subscriptions(Zelkor::IZelkorDriver& driver, std::shared_ptr<Zelkor::JsonModel> tree, Events& events);

    // After the driver's InitDiscovery: the publishers lists.
    void Configure();
    // A device drops its handlers with its connection, keeping the callbacks: they are
    // registered from the moment it is listed, and again on each change of its state.
    void Attach(Zelkor::IDevice& device);
    void AddCommands(Commands& commands);

private:
    void values(const std::string& name, const Json::Value& command);
    void polls(const std::string& name, const Json::Value& command);
    void logs(const std::string& name, const Json::Value& command);
    void listPublishers(const Json::Value& command);
    void write(const Json::Value& command);
    void logEvent(const Json::Value& command);
    void publishersLine(Zelkor::MessageSignalData& data);

    Zelkor::IZelkorDriver& _driver;
    std::shared_ptr<Zelkor::JsonModel> _tree;
    Events& _events;
    // The subscription service goes with the driver, which may go first.
    boost::signals2::scoped_connection _publishers;
};

}  // namespace ZelkorNode
