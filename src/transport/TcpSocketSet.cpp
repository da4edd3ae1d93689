#include "transport/TcpSocketSet.h"

#include <vector>

#include "transport/TcpSocket.h"

namespace Zelkor {

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

bool TcpSocketSet::Delete(const std::shared_ptr<TcpSocket>& socket) {
    if (!socket) {
        return false;
    }
    if (socket == _primary) {
        DeletePrimary();
        return true;
    }
    if (socket == _secondary) {
        DeleteSecondary();
        return true;
    }
    return false;
}

bool TcpSocketSet::Release(const std::shared_ptr<TcpSocket>& socket) {
    if (!socket) {
        return false;
    }
    for (auto* slot : {&_primary, &_secondary}) {
        if (*slot == socket) {
            slot->reset();
            return true;
        }
    }
    return false;
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

template <class Pred>
bool TcpSocketSet::anyConsidered(Pred&& pred) const {
    return (_primary && pred(*_primary)) || (IsRedundant() && _secondary && pred(*_secondary));
}

template <class Fn>
void TcpSocketSet::forConsidered(Fn&& fn) const {
    anyConsidered([&fn](TcpSocket& socket) {
        fn(socket);
        return false;
    });
}

bool TcpSocketSet::SocketIsOpen() {
    return anyConsidered([](TcpSocket& socket) { return socket.SocketIsOpen(); });
}

bool TcpSocketSet::SocketIsConnected() {
    return anyConsidered([](TcpSocket& socket) { return socket.SocketIsConnected(); });
}

bool TcpSocketSet::IsEncrypted() const {
    return !anyConsidered([](const TcpSocket& socket) { return socket.GetState() != TcpSocket::Tls; });
}

bool TcpSocketSet::IsAuthenticated() const {
    return !anyConsidered([](const TcpSocket& socket) { return !socket.IsProvenToPeer(); });
}

bool TcpSocketSet::Transferring() const {
    return anyConsidered([](const TcpSocket& socket) { return socket.Transferring(); });
}

bool TcpSocketSet::IsPeer(const std::shared_ptr<TcpSocket>& socket) const {
    // Endpoint equality covers family, bytes, the IPv6 scope and the port: a v4 address
    // never equals its v6-mapped form.
    return socket && anyConsidered([&socket](const TcpSocket& mine) {
               return mine.RemoteEndpoint() == socket->RemoteEndpoint();
           });
}

void TcpSocketSet::SendData(std::string text, bool request) {
    std::vector<TcpSocket*> targets;
    forConsidered([&targets](TcpSocket& socket) {
        if (socket.SocketIsConnected()) {
            targets.push_back(&socket);
        }
    });
    // The last connection takes the text itself; only a redundant one costs a copy.
    for (std::size_t i = 0; i + 1 < targets.size(); ++i) {
        targets[i]->SendData(text, request);
    }
    if (!targets.empty()) {
        targets.back()->SendData(std::move(text), request);
    }
}

void TcpSocketSet::SendGoodbye() {
    forConsidered([](TcpSocket& socket) {
        if (socket.SocketIsConnected()) {
            socket.SendGoodbye();
        }
    });
}

}  // namespace Zelkor
