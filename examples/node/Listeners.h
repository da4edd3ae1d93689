#pragma once
// Listeners and connections: what the node serves (the options, then the listener
// commands), and a line for every listener added or removed and every connection result.
//
// Commands, each answered by a line named after it:
//   addlistener, removelistener, addinterface, removeinterface, addnetwork, removenetwork,
//   addalllisteners, removealllisteners, addmulticast, removemulticast, listmulticast,
//   listinterfaces, getendpoints, getendpointinterfaces, disconnectallexcept.

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/signals2/connection.hpp>

#include "Commands.h"
#include "Events.h"
#include "Options.h"
#include "driver/IZelkorDriver.h"

namespace Zelkor {
struct ConnectionResult;
}

namespace ZelkorNode {

class Listeners {
public:
    Listeners(Zelkor::IZelkorDriver& driver, const Options& options, Events& events);

    // The "listenerAdded", "listenerRemoved" and "connection" lines.
    void Configure();
    // Serves what the options name; a wish the driver refuses is noted in the log, but
    // a --listen is the user's promise to its peers: see Watch.
    void Serve();
    // On the loop: `failed` hears, with why, of the first --listen that is not served
    // kServeBound after the start (or at once when it cannot be).
    using Failure = std::function<void(const std::string& message)>;
    void Watch(boost::asio::io_context& loop, Failure failed);
    void AddCommands(Commands& commands);
    // No more "connection" lines: before the driver is deleted.
    void Detach() { _connectionResults.disconnect(); }

private:
    void listenerLine(const char* event, const std::string& address, unsigned short port);
    void connectionLine(const Zelkor::ConnectionResult& result);
    void checkServed();

    Zelkor::IZelkorDriver& _driver;
    const Options& _options;
    Events& _events;
    boost::signals2::scoped_connection _connectionResults;
    // The --listen endpoints not yet served, and why some never will be (loop only once
    // the driver runs).
    std::vector<Endpoint> _awaited;
    std::vector<std::string> _unservable;
    // The listeners told of by a "listenerAdded" and not yet by a "listenerRemoved".
    std::set<Endpoint> _reported;
    std::unique_ptr<boost::asio::steady_timer> _serveTimer;
    Failure _failed;
};

}  // namespace ZelkorNode
