#include "transport/Socket.h"

#include <algorithm>

namespace Zelkor {

Socket::Socket(boost::asio::io_context& io, unsigned short port, std::size_t receiveBufferSize)
    : _receiveBuffer(receiveBufferSize), _io(io), _port(port) {}

std::string Socket::Excerpt(const char* data, std::size_t count) {
    const std::size_t shown = std::min<std::size_t>(count, 80);
    return std::string(data, std::find(data, data + shown, '\0'));
}

}  // namespace Zelkor
