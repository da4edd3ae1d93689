#pragma once
// The options every protocol connection and listener runs with: address reuse,
// keep-alive probes and no Nagle delay (lines are small and lock-stepped).
//
// Works on any socket or acceptor of the networking library; stops at the first option
// the system refuses and reports it through `error`. Threads: those of the socket.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/system/error_code.hpp>

namespace Zelkor {

template <class SocketLike>
void SetConnectionOptions(SocketLike& socket, boost::system::error_code& error) {
    socket.set_option(boost::asio::socket_base::reuse_address(true), error);
    if (!error) {
        socket.set_option(boost::asio::socket_base::keep_alive(true), error);
    }
    if (!error) {
        socket.set_option(boost::asio::ip::tcp::no_delay(true), error);
    }
}

}  // namespace Zelkor
