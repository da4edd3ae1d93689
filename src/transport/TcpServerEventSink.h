#pragma once
// How a TCP listener reports an accepted connection, before the connection starts.
//
// Ownership: the listener holds the sink as a plain pointer and does not own it.
// Threads: called on the event-loop thread inside the accept completion; must not block.

#include <memory>

namespace Zelkor {

class TcpSocket;

class TcpServerEventSink {
public:
    virtual void SocketAccepted(std::shared_ptr<TcpSocket> socket) = 0;

protected:
    // Never deleted through this interface.
    ~TcpServerEventSink() = default;
};

}  // namespace Zelkor
