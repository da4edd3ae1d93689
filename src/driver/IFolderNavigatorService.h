#pragma once
// The senders of the folder navigation requests "cd", "ls" and "rls", used by the remote
// device object: on a device's connection set with its routing header, or on one
// connection.
//
// Ownership: the driver implements it. Threads: any; the sends hop onto the event loop.

#include <memory>

namespace Zelkor {

class MessageForwardInfo;
class TcpSocket;
class TcpSocketSet;

class IFolderNavigatorService {
public:
    virtual ~IFolderNavigatorService() = default;
    virtual void SendNavigateFolder(std::shared_ptr<TcpSocketSet> set, const char* path, MessageForwardInfo& header) = 0;
    virtual void SendNavigateFolder(std::shared_ptr<TcpSocket> socket, const char* path) = 0;
    virtual void SendListFolder(std::shared_ptr<TcpSocketSet> set, const char* path, MessageForwardInfo& header) = 0;
    virtual void SendListFolder(std::shared_ptr<TcpSocket> socket, const char* path) = 0;
    virtual void SendRecurseFolder(std::shared_ptr<TcpSocketSet> set, const char* path, MessageForwardInfo& header) = 0;
    virtual void SendRecurseFolder(std::shared_ptr<TcpSocket> socket, const char* path) = 0;
};

}  // namespace Zelkor
