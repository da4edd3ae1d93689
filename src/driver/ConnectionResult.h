#pragma once
// The outcome of one connection made, refused or closed, raised on the driver's
// connection-result signal (IZelkorDriver::ConnectionResults). Services key their
// per-connection tables by `handle`.
//
// What an application reads of it: `connected` for a connection made (`outgoing` says
// which side opened it, `remote` who the peer is); `failure` for one that failed, with
// `error` saying why and `peer` where it went; neither for a connection closed.
//
// Ownership: the record shares the connection, keeping it alive while observers run; an
// observer that keeps anything keeps a copy, never the record. Made and raised on the
// event-loop thread; observers get it by reference and only read it.

#include <chrono>
#include <cstdint>
#include <memory>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "transport/NetworkInfo.h"

namespace Zelkor {

class TcpSocket;

struct ConnectionResult {
    // Which step of a connection failed.
    enum class Failure {
        None,     // made, or closed
        Connect,  // a connect this node began never came: refused, unreachable, timed out
        Tls,      // the TLS handshake on the connection failed, on either side
    };

    // The address of the TcpSocket object.
    void* handle = nullptr;
    std::shared_ptr<TcpSocket> socket;
    // The peer's address and port, for an established connection only.
    NetworkInfo remote;
    // Left empty by every event.
    NetworkInfo local;
    // True only for a connection that has just been established.
    bool connected = false;
    // True when this node opened the connection; set in a result of a connection made
    // only (a failed connect is always this node's own).
    bool outgoing = false;
    // Which step failed; None for a connection made or closed.
    Failure failure = Failure::None;
    // Why it failed: the connect's error (connection refused, host unreachable, timed
    // out) or the handshake's (a TLS error, the end of the stream when the peer gave up,
    // timed out when it did not finish in time). Clear unless `failure` is set.
    boost::system::error_code error;
    // Where the failed connection went: the connect's target, or the peer of the failed
    // handshake. Unspecified unless `failure` is set.
    boost::asio::ip::tcp::endpoint peer;
    // Seconds since the epoch, when the record was made.
    std::int64_t time = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
};

}  // namespace Zelkor
