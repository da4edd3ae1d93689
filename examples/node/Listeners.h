#pragma once
// Listeners and connections: what the node serves (the options, then the listener
// commands), and a line for every listener added, removed or failed and every connection
// result, as the driver tells them.
//
// Commands, each answered by a line named after it:
//   addlistener, removelistener, addinterface, removeinterface, addnetwork, removenetwork,
//   addalllisteners, removealllisteners, addmulticast, removemulticast, listmulticast,
//   listinterfaces, getendpoints, getendpointinterfaces, disconnectallexcept.

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <boost/signals2/connection.hpp>

#include "Commands.h"
#include "Events.h"
#include "Options.h"
#include "driver/IZelkorDriver.h"

namespace ZelkorNode {

class Listeners {
public:
    Listeners(Zelkor::IZelkorDriver& driver, const Options& options, Events& events);

    // The "listenerAdded", "listenerRemoved" and "listenerFailed" lines.
    void Configure();
    // The "connection" lines. Called once the driver's services are made: they answer the
    // requests of a lost connection as its end is raised, so a slot connected before
    // theirs would tell of the loss before those answers, against the library's order.
    void WatchConnections();
    // Serves what the options name; a wish the driver refuses is noted in the log, but
    // a --listen is the user's promise to its peers: see Watch.
    void Serve();
    // A --listen is the user's promise to its peers: the driver tells each one's outcome
    // while Serve adds it. Returns why the first --listen is not served ("" when all
    // are); `failed` hears of one that fails later (a listen-state run on the loop, once
    // its interface is up).
    using Failure = std::function<void(const std::string& message)>;
    std::string Watch(Failure failed);
    void AddCommands(Commands& commands);
    // No more "connection" lines: before the driver is deleted.
    void Detach() { _connectionResults.disconnect(); }

private:
    void listenerLine(const char* event, const std::string& address, unsigned short port);
    void listenerFailed(const std::string& address, unsigned short port, const std::string& reason);
    void connectionLine(const Zelkor::ConnectionResult& result);

    Zelkor::IZelkorDriver& _driver;
    const Options& _options;
    Events& _events;
    boost::signals2::scoped_connection _connectionResults;
    // The --listen endpoints not yet served, and why some cannot be. Written by Serve, then
    // by the listener callbacks: the thread of an add, later the loop.
    std::mutex _mutex;
    std::vector<Endpoint> _awaited;
    std::vector<std::string> _unservable;
    // The listeners told of by a "listenerAdded" and not yet by a "listenerRemoved".
    std::set<Endpoint> _reported;
    Failure _failed;
};

}  // namespace ZelkorNode
