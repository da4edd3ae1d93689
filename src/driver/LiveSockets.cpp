#include "driver/LiveSockets.h"

#include "transport/Socket.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

void LiveSockets::Add(const std::shared_ptr<Socket>& socket) {
    if (!socket) {
        return;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _sockets[socket.get()] = socket;
    if (_sockets.size() >= _sweepAt) {
        for (auto entry = _sockets.begin(); entry != _sockets.end();) {
            entry = entry->second.expired() ? _sockets.erase(entry) : std::next(entry);
        }
        _sweepAt = std::max<std::size_t>(64, 2 * _sockets.size());
    }
}

void LiveSockets::Remove(const Socket* socket) {
    std::lock_guard<std::mutex> lock(_mutex);
    _sockets.erase(socket);
}

std::shared_ptr<Socket> LiveSockets::Find(const void* handle) const {
    std::lock_guard<std::mutex> lock(_mutex);
    const auto found = _sockets.find(handle);
    return found == _sockets.end() ? nullptr : found->second.lock();
}

std::vector<std::shared_ptr<TcpSocket>> LiveSockets::Connections() const {
    std::vector<std::shared_ptr<TcpSocket>> connections;
    std::lock_guard<std::mutex> lock(_mutex);
    for (const auto& entry : _sockets) {
        if (auto socket = entry.second.lock(); socket && socket->IsReliableTransport()) {
            connections.push_back(std::static_pointer_cast<TcpSocket>(socket));
        }
    }
    return connections;
}

}  // namespace Zelkor
