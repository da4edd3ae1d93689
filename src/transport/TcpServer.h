#pragma once
// A TCP listener on one address and port. For every connection it makes a server-side
// TcpSocket, keeps it among its incoming connections, tells its event sink and lets the
// socket start. One failed accept (out of descriptors, say) does not end listening: the
// accept is armed again after a short pause. While failures go on, their warning is
// written once per AcceptErrorLogInterval, not once per attempt.
//
// Ownership: owned through std::shared_ptr (a pending accept and the retry timer hold
// one); shares its incoming sockets. The event sink is not owned.
// Threads: accepts complete on the I/O context's thread. Close may be called from any
// thread (off a running loop it is posted there, unless the listener never accepted: then
// no handler can hold it and it closes at once); BindTo and StartAccepting belong to the
// thread that made the listener before the loop serves it, or to the loop. The incoming list is guarded, so
// IsIncomingConnection and RemoveIncomingConnection may be called anywhere.

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "core/ZelkorLoggable.h"

namespace Zelkor {

class TcpServerEventSink;
class TcpSocket;

class TcpServer : public ZelkorLoggable, public std::enable_shared_from_this<TcpServer> {
public:
    static constexpr int Backlog = 128;
    static constexpr std::chrono::seconds AcceptErrorLogInterval{1};

    TcpServer(boost::asio::io_context& io, boost::asio::ssl::context& tls, bool tlsProvisioned);
    ~TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    // Opens, configures, binds, listens and, unless `accept` is false, starts accepting.
    // Failures of open, bind and listen are thrown as boost::system::system_error naming
    // the operation.
    void BindTo(const boost::asio::ip::address& address, unsigned short port, bool accept = true);
    // Starts accepting on a listener bound with `accept` false; once only.
    void StartAccepting();
    // Closes every incoming connection and the acceptor; a second call does nothing. The
    // connections stay incoming ones until their closes have run: the sink, told of each
    // close, can still tell an incoming connection from an outgoing one.
    void Close();
    // The acceptor is bound to exactly this address (and port); false when not bound.
    bool AcceptorIs(const boost::asio::ip::address& address, unsigned short port) const;
    bool AcceptorIs(const boost::asio::ip::address& address) const;
    void Subscribe(TcpServerEventSink* sink) { _eventSink.store(sink); }
    bool IsIncomingConnection(const std::shared_ptr<TcpSocket>& socket) const;
    void RemoveIncomingConnection(const std::shared_ptr<TcpSocket>& socket);
    std::size_t IncomingCount() const;
    // Where the acceptor is bound (port 0 asks the system for one); empty when not bound.
    boost::asio::ip::tcp::endpoint LocalEndpoint() const;

    // Name given to every accepted socket (the interface the listener serves).
    std::string Name() const;
    void SetName(const std::string& name);

    // Pause before the accept is armed again after a failure.
    void SetRetryDelay(std::chrono::milliseconds delay) { _retryDelay = delay; }

private:
    void DoAccept(unsigned short port);
    void accept(std::shared_ptr<TcpSocket> socket, unsigned short port);
    void OnAccept(const std::shared_ptr<TcpSocket>& socket, const boost::system::error_code& error);
    void retryLater(std::shared_ptr<TcpSocket> socket, unsigned short port);
    void closeNow();
    bool boundEndpoint(boost::asio::ip::tcp::endpoint& endpoint) const;

    boost::asio::ssl::context& _sslContext;
    const bool _tlsProvisioned;
    boost::asio::io_context& _ioContext;
    boost::asio::ip::tcp::acceptor _acceptor;
    boost::asio::steady_timer _retryTimer;
    std::chrono::milliseconds _retryDelay{100};
    // When the last accept failure was logged; unset while accepts succeed.
    std::optional<std::chrono::steady_clock::time_point> _acceptErrorLogged;
    // Guards the name and the bound endpoint, which other threads may ask about.
    mutable std::mutex _mutex;
    std::string _name;
    boost::asio::ip::tcp::endpoint _bound;
    bool _isBound = false;
    std::atomic<TcpServerEventSink*> _eventSink{nullptr};
    std::atomic<bool> _closing{false};
    std::atomic<bool> _accepting{false};
    mutable std::mutex _incomingMutex;
    std::list<std::shared_ptr<TcpSocket>> _incoming;
};

}  // namespace Zelkor
