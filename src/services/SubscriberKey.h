#pragma once
// Who a subscription on a device belongs to. A peer connected directly is its connection.
// Behind a router many controllers share the router's one connection: a request the router
// forwarded names two or more sources in its header (the router nearest, the controller
// last), and its subscriptions belong to the connection and that route, so that each
// controller keeps its own and is sent its own publishes, rows and events.
//
// A router answers a notice for a controller that is gone with "Device not found" or
// "Device not connected" (SubscriberGone); the device then drops what that route held.
//
// A plain value; ordered by connection, then route, so that a connection's subscribers lie
// together.

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace Zelkor {

class MessageForwardInfo;

struct SubscriberKey {
    void* connection = nullptr;
    // The sources of the subscribing request, nearest hop first; empty for a direct peer.
    std::vector<std::string> route;

    SubscriberKey() = default;
    // A direct peer.
    explicit SubscriberKey(void* conn) : connection(conn) {}
    SubscriberKey(void* conn, std::vector<std::string> sources) : connection(conn), route(std::move(sources)) {}

    // The subscriber a request on `conn` with `header` speaks for: the route when the header
    // names two or more sources, else the connection alone.
    static SubscriberKey Of(void* conn, const MessageForwardInfo& header);

    bool Routed() const { return !route.empty(); }

    friend bool operator<(const SubscriberKey& a, const SubscriberKey& b) {
        if (a.connection != b.connection) {
            return std::less<void*>()(a.connection, b.connection);
        }
        return a.route < b.route;
    }
    friend bool operator==(const SubscriberKey& a, const SubscriberKey& b) {
        return a.connection == b.connection && a.route == b.route;
    }
    friend bool operator!=(const SubscriberKey& a, const SubscriberKey& b) { return !(a == b); }
};

// Whether an error a router answered a notice with says that the subscriber behind it is gone.
bool SubscriberGone(const std::string& error);

}  // namespace Zelkor
