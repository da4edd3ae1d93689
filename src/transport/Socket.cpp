#include "transport/Socket.h"

namespace Zelkor {

Socket::Socket(boost::asio::io_context& io, unsigned short port)
    : _receiveBuffer(ReceiveBufferSize), _io(io), _port(port) {}

}  // namespace Zelkor
