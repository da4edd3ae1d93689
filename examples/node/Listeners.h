#pragma once
// Listeners and connections: what the node serves (the options, then the listener
// commands), and a line for every listener added or removed and every connection result.
//
// Commands, each answered by a line named after it:
//   addListener, removeListener, addInterface, removeInterface, addNetwork, removeNetwork,
//   addAllListeners, removeAllListeners, addMulticast, removeMulticast, listMulticast,
//   listInterfaces, getEndPoints, getEndPointInterfaces, disconnectAllExcept.

#include <boost/signals2/connection.hpp>

#include "Commands.h"
#include "Events.h"
#include "Options.h"
#include "driver/IZelkorDriver.h"

namespace ZelkorNode {

class Listeners {
public:
    Listeners(Zelkor::IZelkorDriver& driver, const Options& options, Events& events);

    // The "listenerAdded", "listenerRemoved" and "connection" lines.
    void Configure();
    // Serves what the options name; a wish the driver refuses is noted in the log.
    void Serve();
    void AddCommands(Commands& commands);
    // No more "connection" lines: before the driver is deleted.
    void Detach() { _connectionResults.disconnect(); }

private:
    void listenerLine(const char* event, const std::string& address, unsigned short port);

    Zelkor::IZelkorDriver& _driver;
    const Options& _options;
    Events& _events;
    boost::signals2::scoped_connection _connectionResults;
};

}  // namespace ZelkorNode
