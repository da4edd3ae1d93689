#include "transport/TcpSocketSet.h"

#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

bool sameEndpoint(const boost::asio::ip::tcp::endpoint& a, const boost::asio::ip::tcp::endpoint& b) {
    // Address comparison covers family, bytes and the IPv6 scope; a v4 address never
    // equals its v6-mapped form.
    return a.address() == b.address() && a.port() == b.port();
}

}  // namespace

TcpSocketSet::TcpSocketSet() : ZelkorLoggable("TSET") {}

TcpSocketSet::~TcpSocketSet() = default;

std::shared_ptr<TcpSocket> TcpSocketSet::create(std::shared_ptr<TcpSocket>& slot, boost::asio::io_context& io,
                                                boost::asio::ssl::context& tls) {
    if (!slot) {
        slot = std::make_shared<TcpSocket>(io, tls, true, TcpSocket::ProtocolPort, IsRedundant());
        if (_sink) {
            slot->SetSink(_sink);
        }
    }
    return slot;
}

std::shared_ptr<TcpSocket> TcpSocketSet::CreatePrimary(boost::asio::io_context& io, boost::asio::ssl::context& tls) {
    return create(_primary, io, tls);
}

std::shared_ptr<TcpSocket> TcpSocketSet::CreateSecondary(boost::asio::io_context& io, boost::asio::ssl::context& tls) {
    return create(_secondary, io, tls);
}

void TcpSocketSet::DeletePrimary() {
    if (_primary) {
        _primary->Close();
        _primary.reset();
    }
}

void TcpSocketSet::DeleteSecondary() {
    if (_secondary) {
        _secondary->Close();
        _secondary.reset();
    }
}

void TcpSocketSet::Close() {
    DeletePrimary();
    DeleteSecondary();
}

void TcpSocketSet::SetHandle(std::shared_ptr<TcpSocket> socket) { _primary = std::move(socket); }

void TcpSocketSet::Subscribe(SocketSink* sink) {
    _sink = sink;
    if (_primary) {
        _primary->SetSink(sink);
    }
    if (_secondary) {
        _secondary->SetSink(sink);
    }
}

bool TcpSocketSet::SocketIsOpen() {
    if (_primary && _primary->SocketIsOpen()) {
        return true;
    }
    return IsRedundant() && _secondary && _secondary->SocketIsOpen();
}

bool TcpSocketSet::SocketIsConnected() {
    if (_primary && _primary->SocketIsConnected()) {
        return true;
    }
    return IsRedundant() && _secondary && _secondary->SocketIsConnected();
}

template <class Fn>
void TcpSocketSet::forConsidered(Fn&& fn) const {
    if (_primary) {
        fn(*_primary);
    }
    if (IsRedundant() && _secondary) {
        fn(*_secondary);
    }
}

bool TcpSocketSet::IsEncrypted() const {
    bool encrypted = true;
    forConsidered([&encrypted](const TcpSocket& socket) { encrypted = encrypted && socket.GetState() == TcpSocket::Tls; });
    return encrypted;
}

bool TcpSocketSet::IsAuthenticated() const {
    bool authenticated = true;
    forConsidered([&authenticated](const TcpSocket& socket) { authenticated = authenticated && socket.IsAuthenticated(); });
    return authenticated;
}

bool TcpSocketSet::Transferring() const {
    bool transferring = false;
    forConsidered([&transferring](const TcpSocket& socket) { transferring = transferring || socket.Transferring(); });
    return transferring;
}

bool TcpSocketSet::IsPeer(const std::shared_ptr<TcpSocket>& socket) const {
    if (!socket) {
        return false;
    }
    bool peer = false;
    forConsidered([&](const TcpSocket& mine) {
        peer = peer || sameEndpoint(mine.RemoteEndpoint(), socket->RemoteEndpoint());
    });
    return peer;
}

void TcpSocketSet::SendData(const std::string& text, bool request) {
    forConsidered([&](TcpSocket& socket) {
        if (socket.SocketIsConnected()) {
            socket.SendData(text, request);
        }
    });
}

void TcpSocketSet::SendGoodbye() {
    forConsidered([](TcpSocket& socket) {
        if (socket.SocketIsConnected()) {
            socket.SendGoodbye();
        }
    });
}

}  // namespace Zelkor
