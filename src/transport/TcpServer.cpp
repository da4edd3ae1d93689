#include "transport/TcpServer.h"

#include <algorithm>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/error.hpp>

#include "transport/SocketOptions.h"
#include "transport/TcpServerEventSink.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

TcpServer::TcpServer(boost::asio::io_context& io, boost::asio::ssl::context& tls, bool tlsProvisioned)
    : ZelkorLoggable("TCPV"),
      _sslContext(tls),
      _tlsProvisioned(tlsProvisioned),
      _ioContext(io),
      _acceptor(io),
      _retryTimer(io) {}

TcpServer::~TcpServer() = default;

std::string TcpServer::Name() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _name;
}

void TcpServer::SetName(const std::string& name) {
    std::lock_guard<std::mutex> lock(_mutex);
    _name = name;
}

void TcpServer::BindTo(const boost::asio::ip::address& address, unsigned short port, bool accept) {
    const boost::asio::ip::tcp::endpoint endpoint(address, port);
    _acceptor.open(endpoint.protocol());
    // Options only tune the listener; one the system refuses is logged, not fatal.
    boost::system::error_code error;
    SetConnectionOptions(_acceptor, error);
    if (error) {
        Warning("ZK7505W TCP server socket option not set", error.message());
    }
    _acceptor.bind(endpoint);
    _acceptor.listen(Backlog);
    {
        // Port 0 is resolved by the bind: remember where the listener really is.
        std::lock_guard<std::mutex> lock(_mutex);
        _bound = _acceptor.local_endpoint();
        _isBound = true;
    }
    if (accept) {
        _accepting.store(true);
        DoAccept(port);
    }
}

void TcpServer::StartAccepting() {
    if (_closing.load() || _accepting.exchange(true)) {
        return;
    }
    DoAccept(LocalEndpoint().port());
}

void TcpServer::DoAccept(unsigned short port) {
    auto socket = std::make_shared<TcpSocket>(_ioContext, _sslContext, false, TcpSocket::ProtocolPort, false);
    {
        std::lock_guard<std::mutex> lock(_incomingMutex);
        _incoming.push_back(socket);
    }
    socket->SetName(Name());
    socket->SetTlsProvisioned(_tlsProvisioned);
    accept(std::move(socket), port);
}

void TcpServer::accept(std::shared_ptr<TcpSocket> socket, unsigned short port) {
    auto& target = socket->GetBasicSocket();
    _acceptor.async_accept(target, [keep = shared_from_this(), socket = std::move(socket),
                                    port](const boost::system::error_code& error) mutable {
        if (keep->_closing) {
            return;
        }
        // The next peer is awaited before this one is handed over: whatever the sink
        // does with it, the listener goes on accepting.
        if (!error) {
            keep->DoAccept(port);
        }
        keep->OnAccept(socket, error);
        if (error && error != boost::asio::error::operation_aborted) {
            // The listener itself is fine (descriptors run out, a peer reset early):
            // the same unconnected socket waits for the next peer after a pause.
            keep->retryLater(std::move(socket), port);
        }
    });
}

void TcpServer::retryLater(std::shared_ptr<TcpSocket> socket, unsigned short port) {
    _retryTimer.expires_after(_retryDelay);
    _retryTimer.async_wait([keep = shared_from_this(), socket = std::move(socket), port](const boost::system::error_code& error) mutable {
        if (error || keep->_closing || !keep->_acceptor.is_open()) {
            return;
        }
        keep->accept(std::move(socket), port);
    });
}

void TcpServer::OnAccept(const std::shared_ptr<TcpSocket>& socket, const boost::system::error_code& error) {
    if (error == boost::asio::error::operation_aborted) {
        Detail("ZK7502I TCP server socket closing");
        return;
    }
    if (error) {
        // Out of descriptors the retries fail every few milliseconds: one line a second
        // tells the operator as much as a flood.
        const auto now = std::chrono::steady_clock::now();
        if (!_acceptErrorLogged || now - *_acceptErrorLogged >= AcceptErrorLogInterval) {
            _acceptErrorLogged = now;
            PeerWarning("ZK7503W TCP server accept error", error.message());
        }
        return;
    }
    _acceptErrorLogged.reset();
    Detail("ZK7504I TCP server accept ok");
    if (auto* sink = _eventSink.load()) {
        try {
            sink->SocketAccepted(socket);
        } catch (const std::exception& failure) {
            Error("ZK7270E Sink call failed, closing conn: " + socket->Tag(), std::string("SocketAccepted: ") + failure.what());
            socket->Close();
            return;
        } catch (...) {
            Error("ZK7270E Sink call failed, closing conn: " + socket->Tag(), "SocketAccepted: unknown exception");
            socket->Close();
            return;
        }
    }
    socket->OnAccept();
}

void TcpServer::Close() {
    if (!_accepting.load() || _ioContext.get_executor().running_in_this_thread() || _ioContext.stopped()) {
        closeNow();
        return;
    }
    boost::asio::dispatch(_ioContext, [keep = shared_from_this()] { keep->closeNow(); });
}

void TcpServer::closeNow() {
    // Set before the sockets close: each reports to the driver, which asks this listener
    // to forget it; that request must not touch the list being walked. The list itself
    // stays until the closes have run, so that the driver still finds each socket in it.
    if (_closing.exchange(true)) {
        return;
    }
    std::list<std::shared_ptr<TcpSocket>> closing;
    {
        std::lock_guard<std::mutex> lock(_incomingMutex);
        closing = _incoming;
    }
    for (const auto& socket : closing) {
        socket->Close();
    }
    {
        std::lock_guard<std::mutex> lock(_incomingMutex);
        _incoming.clear();
    }
    boost::asio::ip::tcp::endpoint endpoint;
    if (boundEndpoint(endpoint)) {
        Info("ZK7500I Closing listener", endpoint);
    }
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _isBound = false;
    }
    boost::system::error_code error;
    _retryTimer.cancel();
    _acceptor.close(error);
    if (error) {
        Warning("ZK7500W TCP server close error", error.message());
    }
}

bool TcpServer::boundEndpoint(boost::asio::ip::tcp::endpoint& endpoint) const {
    std::lock_guard<std::mutex> lock(_mutex);
    endpoint = _bound;
    return _isBound;
}

bool TcpServer::AcceptorIs(const boost::asio::ip::address& address, unsigned short port) const {
    boost::asio::ip::tcp::endpoint endpoint;
    return boundEndpoint(endpoint) && endpoint.address() == address && endpoint.port() == port;
}

bool TcpServer::AcceptorIs(const boost::asio::ip::address& address) const {
    boost::asio::ip::tcp::endpoint endpoint;
    return boundEndpoint(endpoint) && endpoint.address() == address;
}

bool TcpServer::IsIncomingConnection(const std::shared_ptr<TcpSocket>& socket) const {
    std::lock_guard<std::mutex> lock(_incomingMutex);
    return std::find(_incoming.begin(), _incoming.end(), socket) != _incoming.end();
}

void TcpServer::RemoveIncomingConnection(const std::shared_ptr<TcpSocket>& socket) {
    if (_closing) {
        return;
    }
    std::lock_guard<std::mutex> lock(_incomingMutex);
    _incoming.remove(socket);
}

boost::asio::ip::tcp::endpoint TcpServer::LocalEndpoint() const {
    boost::asio::ip::tcp::endpoint endpoint;
    boundEndpoint(endpoint);
    return endpoint;
}

std::size_t TcpServer::IncomingCount() const {
    std::lock_guard<std::mutex> lock(_incomingMutex);
    return _incoming.size();
}

}  // namespace Zelkor
