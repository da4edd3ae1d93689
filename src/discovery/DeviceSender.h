#pragma once
// Who speaks for a listed device, for the share of a full device list each may hold: the
// source group (see transport/SourceGroup.h) of the address its datagrams, or its own
// connection, come from; for a device reached through a router, that router's
// connection, which speaks for every device behind it. The address a datagram came from
// counts, never the "ip" its body claims.
//
// A value type; any thread. It holds a connection weakly: the key stays distinct from
// any later connection after this one is gone.

#include <memory>

#include <boost/asio/ip/address.hpp>

namespace Zelkor {

class TcpSocket;

class DeviceSender {
public:
    // No known sender: every device made without one shares this key.
    DeviceSender() = default;
    static DeviceSender From(const boost::asio::ip::address& source);
    static DeviceSender Through(const std::shared_ptr<TcpSocket>& router);

    friend bool operator<(const DeviceSender& a, const DeviceSender& b) {
        if (a._group != b._group) {
            return a._group < b._group;
        }
        return a._router.owner_before(b._router);
    }
    friend bool operator==(const DeviceSender& a, const DeviceSender& b) { return !(a < b) && !(b < a); }
    friend bool operator!=(const DeviceSender& a, const DeviceSender& b) { return !(a == b); }

private:
    boost::asio::ip::address _group;
    std::weak_ptr<TcpSocket> _router;
};

}  // namespace Zelkor
