#pragma once
// What a handler of a command word receives: the connection the message came on and the
// message itself.
//
// Ownership: the record owns its message (released with it) and shares the TCP
// connection. It is raised by reference for the duration of one signal call and is not
// copied. Threads: used by the thread that raises it.

#include <memory>
#include <string>

#include "core/Message.h"

namespace Zelkor {

class TcpSocket;

class MessageSignalData {
public:
    // `handle` is the receiving socket object (the TCP connection, or the UDP endpoint for
    // a datagram); `socket` is empty for UDP; `reliable` is true for TCP.
    MessageSignalData(void* handle, std::shared_ptr<TcpSocket> socket, bool reliable,
                      std::unique_ptr<Message> message);
    MessageSignalData(void* handle, std::shared_ptr<TcpSocket> socket, bool reliable, std::string text,
                      std::unique_ptr<Message> message);
    MessageSignalData(const MessageSignalData&) = delete;
    MessageSignalData& operator=(const MessageSignalData&) = delete;

    void* Handle() const { return _handle; }
    const std::shared_ptr<TcpSocket>& Socket() const { return _socket; }
    bool IsReliable() const { return _reliable; }
    const std::string& CommandText() const { return _text; }
    // The held message (null when there is none); it lives as long as this record or
    // until ReplaceCommand.
    Message* GetMessage() const { return _message.get(); }

    // Takes the given message in place of the held one, which is released. Handing back
    // the message already held changes nothing.
    void ReplaceCommand(std::unique_ptr<Message> message);

private:
    void* _handle;
    std::shared_ptr<TcpSocket> _socket;
    bool _reliable;
    std::string _text;
    std::unique_ptr<Message> _message;
};

}  // namespace Zelkor
