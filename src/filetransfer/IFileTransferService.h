#pragma once
// The file transfer service as the driver calls it: the receive road offers it every
// message first, the socket events tell it of written blocks, and the driver's stop and
// refresh end its work.
//
// Ownership: the driver's; the application never deletes it. Threads: called on the
// event-loop thread, Stop from the thread that stops the driver.

#include <memory>
#include <string>

#include "core/IServiceBase.h"
#include "core/ISignalObserver.h"
#include "core/MessageSignalData.h"

namespace Zelkor {

class MessageForwardInfo;
class TcpSocket;

class IFileTransferService : public IServiceBase, public ISignalObserver<MessageSignalData> {
public:
    // True for the words this service handles ("block", "putfile", "getfile", ...).
    virtual bool IsServiceCommand(const std::string& word) = 0;
    // A "block" request was written on the connection.
    virtual void PrepareBlock(std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) = 0;
    // A "@block" reply was written on the connection.
    virtual void AcceptBlock(std::shared_ptr<TcpSocket> socket) = 0;
    // The connection with that handle was lost: the transfers over it end.
    virtual void NotifyInterruption(void* handle) = 0;
    // Number of transfers started so far (starts at 100).
    virtual unsigned long TransferCount() const = 0;
    virtual void Stop() = 0;
};

}  // namespace Zelkor
