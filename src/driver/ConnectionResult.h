#pragma once
// The outcome of one connection made, refused or closed, raised on the driver's
// connection-result signal. Services key their per-connection tables by `handle`.
//
// Ownership: the record shares the connection, keeping it alive while observers run.
// Made and raised on the event-loop thread; observers get it by reference.

#include <chrono>
#include <cstdint>
#include <memory>

#include <boost/system/error_code.hpp>

#include "transport/NetworkInfo.h"

namespace Zelkor {

class TcpSocket;

struct ConnectionResult {
    // The address of the TcpSocket object.
    void* handle = nullptr;
    std::shared_ptr<TcpSocket> socket;
    // The peer's address and port, for an established connection only.
    NetworkInfo remote;
    // Left empty by every event.
    NetworkInfo local;
    // True only for a connection that has just been established.
    bool connected = false;
    // True when this node opened the connection.
    bool outgoing = false;
    // Why a connection this node opened never came (refused, unreachable, timed out);
    // clear for every other event.
    boost::system::error_code error;
    // Seconds since the epoch, when the record was made.
    std::int64_t time = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
};

}  // namespace Zelkor
