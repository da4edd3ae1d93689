#pragma once
// One received line as the driver handles it: where it came from, its parsed routing
// header and, for TCP, when the connection last sent a request and when the line came.
//
// Built on the stack by the sockets' message-received calls, handled synchronously on the
// event-loop thread, then dropped. Owns only its share of the TCP connection; the header
// belongs to the receiving socket and is valid while the packet is handled.

#include <chrono>
#include <cstdint>
#include <memory>

namespace Zelkor {

class MessageForwardInfo;
class TcpSocket;

struct Packet {
    using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

    // The receiving socket object (TCP connection or UDP endpoint): the handle every
    // sending operation takes.
    void* handle = nullptr;
    // Empty for a datagram.
    std::shared_ptr<TcpSocket> socket;
    // True for TCP.
    bool reliable = false;
    // The line's command word carried the reply mark.
    bool isReply = false;
    MessageForwardInfo* header = nullptr;
    // Zero for UDP.
    TimePoint requestSent{};
    TimePoint received{};
    // The reply-cache entry the request made when it was admitted; 0 when none.
    std::uint64_t cacheEntry = 0;
};

}  // namespace Zelkor
