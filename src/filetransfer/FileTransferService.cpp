#include "filetransfer/FileTransferService.h"

#include <algorithm>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/filesystem/operations.hpp>

#include "core/Message.h"
#include "driver/IServiceSender.h"
#include "filetransfer/BlockSize.h"
#include "filetransfer/FileSystemWords.h"
#include "filetransfer/TransferMessages.h"
#include "transport/LineFramer.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

// What each handler logs when a message came without a connection (a datagram): the
// transfer words work over TCP only.
const char* noConnectionText(const std::string& word, bool reply) {
    if (const char* text = FileSystemNoConnectionText(word)) {
        return text;
    }
    if (word == "block") {
        return "ZK7912I ProcessBlock packet.ConnHandle() is null";
    }
    if (word == "cancelputfile") {
        return "ZK7913I ProcessCancelPutFile packet.ConnHandle() is null";
    }
    if (word == "putfile") {
        return reply ? "ZK7900I ProcessReplyPutFile packet.ConnHandle() is null"
                     : "ZK7906I ProcessPutFile packet.ConnHandle() is null";
    }
    return reply ? "ZK7901I ProcessReplyGetFile packet.ConnHandle() is null"
                 : "ZK7910I ProcessGetFile packet.ConnHandle() is null";
}

void* handleOf(const std::shared_ptr<TcpSocket>& socket) { return static_cast<Socket*>(socket.get()); }

}  // namespace

FileTransferService::FileTransferService(IServiceSender* sender, ITransferDevices* devices, IDeviceState* deviceState,
                                         boost::asio::io_context& io)
    : ZelkorLoggable("FXFR"),
      _sender(sender),
      _devices(devices),
      _deviceState(deviceState),
      _io(io),
      _listingLineBound(LineFramer::LineAllowance) {
    registerFileSystemWords();
}

FileTransferService::~FileTransferService() {
    if (_transferTimer) {
        _transferTimer->cancel();
    }
    _timerStopped = true;
}

void FileTransferService::Start() { StartTransferTimer(); }

// --- dispatch -------------------------------------------------------------------------

bool FileTransferService::IsTransferWord(const std::string& word) {
    return word == "block" || word == "putfile" || word == "getfile" || word == "cancelputfile";
}

bool FileTransferService::IsServiceWord(const std::string& word) {
    return IsTransferWord(word) || IsFileSystemWord(word);
}

bool FileTransferService::IsServiceCommand(const std::string& word) {
    return IsServiceWord(word) && word != "fwupdate";
}

void FileTransferService::SignalRaised(MessageSignalData& data) {
    Message* message = data.GetMessage();
    if (!message) {
        return;
    }
    const std::string word = message->CommandName();
    const bool reply = message->GetIsReply();
    if (!IsServiceWord(word)) {
        return;
    }
    // A datagram reaches any host unauthorised, and a reply to it would go to every
    // listened interface: these words work over TCP only, both ways.
    if (!data.Socket()) {
        Warning(noConnectionText(word, reply));
        return;
    }
    if (IsFileSystemWord(word)) {
        dispatchFileSystem(data, *message, word, reply);
        return;
    }
    if (word == "block") {
        processBlock(data, *message, reply);
    } else if (reply) {
        if (word == "putfile") {
            ProcessReplyPutFile(data, *message);
        } else if (word == "getfile") {
            ProcessReplyGetFile(data, *message);
        }
    } else if (word == "putfile") {
        ProcessPutFile(data, *message);
    } else if (word == "getfile") {
        ProcessGetFile(data, *message);
    } else {
        ProcessCancelPutFile(data, *message, false);
    }
}

void FileTransferService::processBlock(MessageSignalData& data, Message& message, bool reply) {
    const TcpSocket* socket = data.Socket().get();
    const std::string source = message.GetMessageForwardInfo().GetSource();
    // Answered transfers first: a node may serve one peer while it fetches from another
    // over the same connection, and the two are told apart by side and operation.
    Found answered = findAnswering(socket, source);
    if (answered) {
        if (!reply && answered.element->operation == TransferOperation::Send) {
            answerPutBlock(data, message, *answered.element, *answered.target);
            return;
        }
        if (reply && answered.element->operation == TransferOperation::Receive) {
            blockReply(data, message, *answered.element, *answered.target);
            return;
        }
    }
    Found opened = findOpening(socket, source, !reply);
    if (opened) {
        if (reply && opened.element->operation == TransferOperation::Send) {
            blockReply(data, message, *opened.element, *opened.target);
            return;
        }
        if (!reply && opened.element->operation == TransferOperation::Receive) {
            receiveGetBlock(data, message, *opened.element, *opened.target);
            return;
        }
    }
    if (reply) {
        PeerDetail("ZK7964I Block reply for no transfer on", socket->Tag());
        return;
    }
    // A block after its transfer ended (cancelled, failed, timed out): refused, so that
    // the sender stops rather than believe it stored.
    BlockTransfer refusal;
    if (const char* number = message.GetParameter(Param::blockno)) {
        refusal.SetParameter(Param::blockno, number);
    }
    refusal.SetParameter(Param::error, TransferText::PeerCanceled);
    replyTo(data, refusal);
}

// --- finding, sending, removing ------------------------------------------------------------

FileTransferService::Found FileTransferService::findAnswering(const TcpSocket* socket, const std::string& source) {
    for (auto& element : _activeList) {
        if (!element.incoming) {
            continue;
        }
        for (auto& target : element.targets) {
            if (target.socket.get() == socket && target.source == source) {
                return Found{&element, &target};
            }
        }
    }
    return {};
}

FileTransferService::Found FileTransferService::findOpening(const TcpSocket* socket, const std::string& source,
                                                            bool inboundToo) {
    const auto on = [socket, inboundToo](const QueueTarget& target) {
        if (target.socket.get() == socket) {
            return true;
        }
        return inboundToo && std::any_of(target.inbound.begin(), target.inbound.end(),
                                         [socket](const auto& inbound) { return inbound.get() == socket; });
    };
    // Exactly the target's device: a router's connection may carry a transfer with the
    // router itself beside those with the devices behind it.
    const auto from = [&source](const QueueTarget& target) {
        return source == (target.header.IsEmpty() ? std::string() : target.header.FinalDestination());
    };
    for (auto& element : _activeList) {
        if (element.incoming) {
            continue;
        }
        for (auto& target : element.targets) {
            if (on(target) && from(target)) {
                return Found{&element, &target};
            }
        }
    }
    return {};
}

void FileTransferService::sendTo(QueueTarget& target, Message& message, bool request) {
    if (!_sender || !target.socket) {
        return;
    }
    target.lastActivity = TransferClock::now();
    MessageForwardInfo header = target.header;
    std::string line = message.Build(header, request);
    if (line.empty()) {
        PeerWarning("ZK7965W Transfer line has no valid route", message.CommandName());
        return;
    }
    if (request) {
        _sender->SendRequest(handleOf(target.socket), std::move(line), {});
    } else {
        _sender->SendReply(handleOf(target.socket), line, std::string(), message.CommandName());
    }
}

void FileTransferService::sendBlockTo(QueueTarget& target, std::string body) {
    if (!_sender || !target.socket) {
        return;
    }
    target.lastActivity = TransferClock::now();
    if (target.header.IsEmpty()) {
        _sender->SendRequest(handleOf(target.socket), std::move(body), {});
        return;
    }
    // Routes only: a block carries no sender hash, it is never answered from the cache.
    MessageForwardInfo header = target.header;
    std::string line;
    line.reserve(body.size() + 128);
    if (!header.AppendMessageForwardHeader(line)) {
        PeerWarning("ZK7965W Transfer line has no valid route", "block");
        return;
    }
    line += body;
    _sender->SendRequest(handleOf(target.socket), std::move(line), {});
}

void FileTransferService::replyTo(MessageSignalData& data, Message& reply) {
    const Message* request = data.GetMessage();
    replyWith(data.Handle(), request ? request->GetMessageForwardInfo() : MessageForwardInfo(), reply);
}

void FileTransferService::replyWith(void* handle, const MessageForwardInfo& requestHeader, Message& reply) {
    if (!_sender) {
        return;
    }
    MessageForwardInfo header = requestHeader;
    const std::string line = reply.Build(header, false);
    if (line.empty()) {
        PeerWarning("ZK7965W Transfer line has no valid route", reply.CommandName());
        return;
    }
    _sender->SendReply(handle, line, requestHeader.hasHash ? requestHeader.HashText() : std::string(),
                       reply.CommandName());
}

void FileTransferService::removeTargetsOn(QueueElement& element, const TcpSocket* socket) {
    std::shared_ptr<TcpSocket> keep;
    auto& targets = element.targets;
    for (auto it = targets.begin(); it != targets.end();) {
        if (it->socket.get() == socket) {
            keep = it->socket;
            it = targets.erase(it);
        } else {
            ++it;
        }
    }
    removeEmptyElements();
    if (keep) {
        updateTransferring(keep);
    }
}

void FileTransferService::removeEmptyElements() {
    _activeList.erase(std::remove_if(_activeList.begin(), _activeList.end(),
                                     [](const QueueElement& element) { return element.targets.empty(); }),
                      _activeList.end());
}

void FileTransferService::digestLost(const std::string& path) {
    Warning("ZK7945W Transfer digest lost: " + path, TransferText::ChecksumUnavailable);
}

void FileTransferService::updateTransferring(const std::shared_ptr<TcpSocket>& socket) {
    if (!socket) {
        return;
    }
    // Only a direct transfer marks its connection: routed transfers are told apart by
    // their source, so a router's connection carries them side by side (and keeps
    // serving the other devices behind it).
    const bool inUse = std::any_of(_activeList.begin(), _activeList.end(), [&socket](const QueueElement& element) {
        return std::any_of(element.targets.begin(), element.targets.end(), [&socket](const QueueTarget& target) {
            return target.socket == socket && target.header.IsEmpty();
        });
    });
    socket->SetTransferring(inUse);
}

void FileTransferService::install(std::unique_ptr<FileReplacement> file, std::shared_ptr<InstallTicket> ticket,
                                  std::function<void(FileTransferService&, const InstallResult&)> then) {
    // std::function wants a copyable job; the file still has one owner at a time.
    auto held = std::make_shared<std::unique_ptr<FileReplacement>>(std::move(file));
    // Always posted, even a refusal: the caller is amid its list work when it asks.
    const auto deliver = [weak = weak_from_this(), then, &io = _io](InstallResult result) {
        // The io_context outlives the service, whose destructor joins the worker.
        boost::asio::post(io, [weak, then, result = std::move(result)] {
            if (const auto self = weak.lock()) {
                then(*self, result);
            }
        });
    };
    const bool posted = _worker.Post([held, ticket, deliver] {
        InstallResult result;
        if (!ticket || !ticket->Begin()) {
            // The transfer ended while its file waited: the temporary goes, nothing else.
            held->reset();
            result.outcome = InstallResult::Withdrawn;
        } else if (*held && (*held)->Commit()) {
            result.outcome = InstallResult::Installed;
        } else {
            result.error = *held ? (*held)->Error() : std::string("no file");
        }
        deliver(std::move(result));
    });
    if (!posted) {
        deliver(InstallResult{InstallResult::Failed, "Too many requests"});
    }
}

FileTransferService::Found FileTransferService::findInstalling(const InstallTicket* ticket) {
    for (auto& element : _activeList) {
        for (auto& target : element.targets) {
            if (target.install.Holds(ticket)) {
                return Found{&element, &target};
            }
        }
    }
    return {};
}

void FileTransferService::onLoop(std::function<void(FileTransferService&)> job) {
    if (_io.get_executor().running_in_this_thread()) {
        job(*this);
        return;
    }
    boost::asio::post(_io, [weak = weak_from_this(), job = std::move(job)] {
        if (const auto self = weak.lock()) {
            job(*self);
        }
    });
}

// --- reports ------------------------------------------------------------------------------

namespace {

template <class Info>
Info makeInfo(const QueueElement& element, const std::string& path, const char* state, const char* error,
              bool peer) {
    Info info;
    info.path = path;
    info.state = state;
    info.length = std::to_string(element.length);
    info.blocksize = std::to_string(element.blockSize);
    info.checksum = element.checksum;
    info.error = error ? error : "";
    info.peer = error && peer;
    return info;
}

// A handler as it is now, copied under its mutex, to be called outside every lock: a
// handler may set another handler, or queue transfers.
template <class Handler>
Handler copyUnder(std::mutex& mutex, const Handler& handler) {
    std::lock_guard<std::mutex> lock(mutex);
    return handler;
}

// The target's one `done`: taken out before it is called, so a second ending of the same
// target finds none.
void finish(QueueTarget& target, bool success, const char* text) {
    if (target.done) {
        auto done = std::move(target.done);
        target.done = nullptr;
        done(success, text ? text : "");
    }
}

}  // namespace

void FileTransferService::report(const QueueElement& element, const std::string& path, const char* state,
                                 const char* error, bool peer) {
    if (element.operation == TransferOperation::Receive) {
        if (const GetHandler handler = copyUnder(_handlerMutex, _getHandler)) {
            auto info = makeInfo<GetFileInfo>(element, path, state, error, peer);
            handler(info);
        }
        return;
    }
    if (const PutHandler handler = copyUnder(_handlerMutex, _putHandler)) {
        auto info = makeInfo<PutFileInfo>(element, path, state, error, peer);
        handler(info);
    }
}

void FileTransferService::NotifyBegin(QueueElement& element, QueueTarget& target) {
    std::string path;
    if (element.incoming) {
        path = target.localFile;
    } else if (element.operation == TransferOperation::Receive) {
        path = target.remotePath;
    } else {
        path = element.path;
    }
    report(element, path, "begin", nullptr);
}

void FileTransferService::NotifyEnd(QueueElement& element, QueueTarget& target) {
    // The end names what now stands on disk: the destination of a file received here.
    report(element, element.incoming ? target.localFile : element.path, "end", nullptr);
    finish(target, true, TransferText::Success);
}

void FileTransferService::NotifyError(QueueElement& element, QueueTarget& target, const char* text) {
    report(element, element.incoming ? target.localFile : target.remotePath, target.ended ? "end" : "begin", text,
           target.peerFailure);
    finish(target, false, text);
}

void FileTransferService::NotifyProgress(double percent, const std::string& path, const std::string& id) {
    if (const ProgressHandler handler = copyUnder(_handlerMutex, _progressHandler)) {
        std::string pathCopy = path;
        std::string idCopy = id;
        handler(percent, pathCopy, idCopy);
    }
}

void FileTransferService::NotifyBlock(const std::string& name, double percent, std::uint64_t size, bool flag) {
    if (const BlockHandler handler = copyUnder(_handlerMutex, _blockHandler)) {
        BlockInfo info;
        info.name = name;
        info.progress = percent;
        info.blockSize = size;
        info.flag = flag;
        handler(info);
    }
}

// --- handlers and settings ---------------------------------------------------------------

void FileTransferService::OnPutFile(PutHandler handler) {
    std::lock_guard<std::mutex> lock(_handlerMutex);
    _putHandler = std::move(handler);
}

void FileTransferService::OnGetFile(GetHandler handler) {
    std::lock_guard<std::mutex> lock(_handlerMutex);
    _getHandler = std::move(handler);
}

void FileTransferService::OnBlock(BlockHandler handler) {
    std::lock_guard<std::mutex> lock(_handlerMutex);
    _blockHandler = std::move(handler);
}

void FileTransferService::SetFileTxHandle(ProgressHandler handler) {
    std::lock_guard<std::mutex> lock(_handlerMutex);
    _progressHandler = std::move(handler);
}

std::string FileTransferService::SetStorageRootPath(std::string path) {
    if (path == "null") {
        std::lock_guard<std::mutex> lock(_handlerMutex);
        _storageRoot.clear();
        return std::string();
    }
    const boost::filesystem::path root(path);
    if (root.has_root_directory()) {
        boost::system::error_code error;
        const auto status = boost::filesystem::status(root, error);
        if (error || !boost::filesystem::exists(status)) {
            Error("ZK7927E Requested file does not exist", path);
            return "Does Not Exist";
        }
    } else if (std::find(_refusedRoots.begin(), _refusedRoots.end(), path) != _refusedRoots.end()) {
        Error("ZK7928E Requested storagerootpath is Invalid", path);
        return "Invalid";
    }
    std::lock_guard<std::mutex> lock(_handlerMutex);
    _storageRoot = std::move(path);
    return std::string();
}

std::string FileTransferService::GetStorageRootPath() {
    std::lock_guard<std::mutex> lock(_handlerMutex);
    return _storageRoot;
}

unsigned long FileTransferService::SetFileTransferCount(unsigned long count) {
    const unsigned long stored = std::min(std::max(count, 1ul), DefaultTransferCount);
    _transferCount.store(stored);
    return stored;
}

unsigned long FileTransferService::SetBlockSize(unsigned long size) {
    const unsigned long raised = std::max<unsigned long>(size, MinBlockSize);
    const unsigned long stored = std::min<unsigned long>(raised, MaxBlockSize);
    _blockSize.store(stored);
    if (_sender) {
        _sender->SetTransferBlockSize(stored);
    }
    return raised;
}

void FileTransferService::GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) {
    if (receiver) {
        _messageSignalMap.GiveTo(receiver);
    }
}

}  // namespace Zelkor
