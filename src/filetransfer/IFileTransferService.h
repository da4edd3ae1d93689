#pragma once
// The file transfer service as the driver and the application call it: the receive road
// offers it every transfer message first, the socket events tell it of written blocks,
// the driver's stop and refresh end its work, and the application queues puts and gets,
// sets the handlers that hear of them and the settings that bound them.
//
// Ownership: the driver's; the application never deletes it. Threads: the handlers and
// settings may be set from any thread; SendFiles and ReceiveFiles may be called from any
// thread; everything else runs on the event-loop thread, Stop from any thread (it hops
// onto the loop and waits for it).

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/IServiceBase.h"
#include "core/ISignalObserver.h"
#include "core/MessageSignalData.h"

namespace Zelkor {

class MessageForwardInfo;
class TcpSocket;

// What the put and get handlers hear: a transfer's beginning, end or failure.
struct PutFileInfo {
    std::string path;
    std::string state;      // "begin" or "end"
    std::string length;     // decimal
    std::string blocksize;  // decimal
    std::string checksum;
    std::string error;      // empty unless a failure is reported
    // The error is the peer's, as its reply said, not one this node found. Told on the
    // side that opened the transfer; the answering side leaves it false.
    bool peer = false;
};
struct GetFileInfo {
    std::string path;
    std::string state;
    std::string length;
    std::string blocksize;
    std::string checksum;
    std::string error;
    bool peer = false;
};
// What the block handler hears of each block written or sent.
struct BlockInfo {
    std::string name;
    double progress = 0.0;  // percent
    unsigned long long blockSize = 0;
    bool flag = false;
};

class IFileTransferService : public IServiceBase, public ISignalObserver<MessageSignalData> {
public:
    using PutHandler = std::function<void(PutFileInfo&)>;
    using GetHandler = std::function<void(GetFileInfo&)>;
    using BlockHandler = std::function<void(BlockInfo&)>;
    using ProgressHandler = std::function<void(double& percent, std::string& path, std::string& id)>;
    using Done = std::function<void(bool success, const std::string& text)>;
    using FilePairs = std::vector<std::pair<std::string, std::string>>;

    // True for the words this service handles: the transfer words ("block", "putfile",
    // "getfile", "cancelputfile") and the file-system words ("deletefile", "listfiles",
    // "freespace", "mkdir", "rmdir"). "fwupdate" comes to it as well, as its own signal's.
    virtual bool IsServiceCommand(const std::string& word) = 0;
    // A "block" request was written on the connection.
    virtual void PrepareBlock(std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) = 0;
    // Requests to a device (a controller's): each builds its message with `path` (none is
    // sent for a null path) and a copy of `header`, and sends it on the connection.
    // Any thread.
    virtual void SendDeleteFile(void* handle, const char* path, MessageForwardInfo& header) = 0;
    virtual void SendListFiles(void* handle, const char* path, MessageForwardInfo& header) = 0;
    virtual void SendFreeSpace(void* handle, const char* path, MessageForwardInfo& header) = 0;
    virtual void SendMKDIR(void* handle, const char* path, MessageForwardInfo& header) = 0;
    virtual void SendRMDIR(void* handle, const char* path, MessageForwardInfo& header) = 0;
    // "fwupdate" with its "arguments" passed through.
    virtual void SendFirmwareUpdateMode(void* handle, const std::string& arguments, MessageForwardInfo& header) = 0;
    // The connection with that handle was lost: the transfers over it end.
    virtual void NotifyInterruption(void* handle) = 0;
    // The device with that GUID (as the device list keys it) is no longer reached through
    // the router its transfers run over: the transfers this node opened with it through a
    // router end with "end-point disconnected"; the router's connection, shared by the
    // other devices behind it, stays. Any thread.
    virtual void NotifyDeviceGone(const std::string& guid) = 0;

    virtual void OnPutFile(PutHandler handler) = 0;
    virtual void OnGetFile(GetHandler handler) = 0;
    virtual void OnBlock(BlockHandler handler) = 0;
    // "null" clears the root; "" when taken, else "Invalid" or "Does Not Exist".
    virtual std::string SetStorageRootPath(std::string path) = 0;
    virtual std::string GetStorageRootPath() = 0;
    // Whether the file-system words ("listfiles", "freespace", "deletefile", "mkdir",
    // "rmdir") are confined beneath the storage root. Off by default: they take a peer's
    // path as the host's, and reach every file the process may read, change or remove. On,
    // a path is taken below the root as a transfer's is ("/" names the root itself), never
    // leads out of it, by ".." or through a link, and never removes the root; a node
    // without a storage root then refuses them all "Path not allowed". Transfers answered
    // here then stay beneath the root too, also where the tree allows parent paths: a ".."
    // is taken only while the path stays beneath the root.
    virtual void SetFileSystemConfined(bool on) = 0;
    virtual bool GetFileSystemConfined() = 0;
    // The most transfers active at once (1..100, default 100).
    virtual unsigned long SetFileTransferCount(unsigned long count) = 0;
    virtual unsigned long GetFileTransferCount() = 0;
    // Milliseconds between two starts of the queue's timer (50..1000, default 250).
    virtual unsigned long SetFileTransferInterval(unsigned long interval) = 0;
    virtual unsigned long GetFileTransferInterval() = 0;
    // A transfer answered here holds one of the FileTransferCount slots every peer shares:
    // it ends with "timeout" once its peer has been silent on it this long, whatever the
    // reply time-out, and gives the slot back. A transfer this node opened ends the same
    // way while the reply time-out is 0; a reply time-out set bounds it instead. Either
    // bound ends the transfer alone on a router's connection, which other devices share.
    static constexpr std::chrono::milliseconds DefaultAnsweredSilence{60000};
    virtual void SetAnsweredSilence(std::chrono::milliseconds bound) = 0;
    // A peer holds one transfer answered here at a time, and behind a router a peer is the
    // router's connection and the requester's name: a second request of the same peer is
    // refused while the first runs. A requester restarted under its name meets what its
    // former self left; a transfer its peer has left silent this long gives way to a new
    // transfer request of the same peer, and ends with "timeout".
    static constexpr std::chrono::milliseconds DefaultReopenQuiet{5000};
    virtual void SetReopenQuiet(std::chrono::milliseconds quiet) = 0;
    virtual void SetFileTxHandle(ProgressHandler handler) = 0;
    // Base64 characters per block (512..2^28, default 65536).
    virtual unsigned long SetBlockSize(unsigned long size) = 0;
    virtual unsigned long GetBlockSize() = 0;
    // Queues puts (gets) of each (local, remote) pair to (from) each device GUID; `done`
    // is called once per device and pair while the driver runs. Bare local names are
    // completed with the storage root in the caller's vector. Always true.
    virtual bool SendFiles(std::vector<std::string>& targets, FilePairs& files, unsigned long blockSize, Done done) = 0;
    virtual bool ReceiveFiles(std::vector<std::string>& targets, FilePairs& files, unsigned long blockSize, Done done) = 0;
    // Cancels the active transfers to that device of that remote path.
    virtual void CancelPutFile(const std::string& id, const std::string& remotePath) = 0;
    // Ends every active transfer without reports, removing the temporaries it wrote.
    virtual void Stop() = 0;
    // Ends every transfer, active or waiting, each target's `done` called once with
    // (false, "transfer canceled"); the temporaries it wrote are removed.
    virtual void Refresh() = 0;
};

}  // namespace Zelkor
