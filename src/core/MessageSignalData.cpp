#include "core/MessageSignalData.h"

#include <utility>

namespace Zelkor {

MessageSignalData::MessageSignalData(void* handle, std::shared_ptr<TcpSocket> socket, bool reliable,
                                     std::unique_ptr<Message> message)
    : MessageSignalData(handle, std::move(socket), reliable, std::string(), std::move(message)) {}

MessageSignalData::MessageSignalData(void* handle, std::shared_ptr<TcpSocket> socket, bool reliable,
                                     std::string text, std::unique_ptr<Message> message)
    : _handle(handle),
      _socket(std::move(socket)),
      _reliable(reliable),
      _text(std::move(text)),
      _message(std::move(message)) {}

void MessageSignalData::ReplaceCommand(std::unique_ptr<Message> message) {
    if (message.get() == _message.get()) {
        // A second owner of the held message must not delete it: give up that claim.
        static_cast<void>(message.release());
        return;
    }
    _message = std::move(message);
}

}  // namespace Zelkor
