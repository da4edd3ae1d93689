#pragma once
// The driver's table of the sockets that report to it, by handle: a handle an application
// or a service kept past its socket's end resolves to nothing here instead of to freed
// memory.
//
// Ownership: a member of the driver; it holds its sockets weakly. Threads: every
// operation takes the table's own mutex.

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace Zelkor {

class Socket;
class TcpSocket;

class LiveSockets {
public:
    void Add(const std::shared_ptr<Socket>& socket);
    void Remove(const Socket* socket);
    // The socket of the handle while it lives; empty for a handle never seen or gone.
    std::shared_ptr<Socket> Find(const void* handle) const;
    // The TCP connections that still live.
    std::vector<std::shared_ptr<TcpSocket>> Connections() const;

private:
    mutable std::mutex _mutex;
    std::unordered_map<const void*, std::weak_ptr<Socket>> _sockets;
    // Entries of sockets gone are dropped whenever the table has doubled since the last
    // sweep, so that it never grows past twice the sockets alive.
    std::size_t _sweepAt = 64;
};

}  // namespace Zelkor
