#pragma once
// What the transfer service needs of the discovered devices: a device's connection for a
// transfer and its route, the reply time-out, and a device's inbound connections. The
// driver answers from its discovery service; tests give a fake.
//
// Ownership: the driver's, outliving the service. Threads: the event-loop thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/MessageForwardInfo.h"

namespace Zelkor {

class TcpSocket;

class ITransferDevices {
public:
    enum class Lookup { Found, Unknown, NoConnection };
    struct Route {
        std::shared_ptr<TcpSocket> socket;
        // The device's routing header (empty for a device reached directly).
        MessageForwardInfo header;
        // The device's GUID as the device list keys it, whatever form the caller gave.
        std::string key;
    };

    virtual ~ITransferDevices() = default;

    // False when there is no discovery service or no device list: nothing can start.
    virtual bool HasDevices() = 0;
    // Milliseconds; 0: nothing times out.
    virtual std::uint64_t ReplyTimeoutMs() = 0;
    // The device with that GUID text and a connection free for a transfer (one not
    // transferring), its route refreshed.
    virtual Lookup FindDevice(const std::string& id, Route& route) = 0;
    // The inbound connections of the device that `socket` reaches.
    virtual void InboundConnections(const std::shared_ptr<TcpSocket>& socket,
                                    std::vector<std::shared_ptr<TcpSocket>>& out) = 0;
};

}  // namespace Zelkor
