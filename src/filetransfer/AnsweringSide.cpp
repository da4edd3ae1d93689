// The answering side: a peer's "putfile", "getfile", "block" and "cancelputfile" on this
// node. A received file goes to an unnamed temporary beside its destination and is
// installed only once every byte written is accounted for; the peer's words are checked
// before anything is acknowledged, so that nothing it sends can reach outside the storage
// root, grow a line past the block size or change a file it did not prove.

#include "filetransfer/FileTransferService.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <json/value.h>

#include "core/Message.h"
#include "driver/IServiceSender.h"
#include "filetransfer/BlockLine.h"
#include "filetransfer/BlockSize.h"
#include "filetransfer/CancelPutFile.h"
#include "filetransfer/TransferMessages.h"
#include "filetransfer/TransferPath.h"
#include "storage/PathGuard.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

const char* textOf(TransferState state) { return TransferStateText(state); }

enum class Asked { Missing, Begin, End, Other };

Asked askedState(const Message& message) {
    const char* state = message.GetParameter(Param::state);
    if (!state) {
        return Asked::Missing;
    }
    const std::string_view text(state);
    if (text == "begin") {
        return Asked::Begin;
    }
    return text == "end" ? Asked::End : Asked::Other;
}

// A parameter as the peer sent it: a string whole (a NUL byte inside it, which the C text
// would hide, stays), any other value as its JSON text. False when it is not there.
bool paramText(const Message& message, Param p, std::string& out) {
    const char* text = message.GetParameter(p);
    if (!text) {
        return false;
    }
    Json::Value value;
    message.GetJsonParameter(value, p);
    const char* begin = nullptr;
    const char* end = nullptr;
    if (value.isString() && value.getString(&begin, &end)) {
        out.assign(begin, end);
    } else {
        out = text;
    }
    return true;
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A closing request's "length" that is given and is not the count of this side.
bool lengthDiffers(const Message& message, std::uint64_t count) {
    const char* text = message.GetParameter(Param::length);
    std::uint64_t length = 0;
    return text && (!ReadUnsigned(text, length) || length != count);
}

// A digest the peer gave (either letter case) that is not this side's; an empty one is
// one no digest matches, not none.
bool digestDiffers(const std::string& given, const std::string& own) { return lowerCase(given) != own; }

// The link itself counts: a link in the destination's place is replaced by the file.
bool namesFolder(const FileDescriptor& folder, const std::string& name) {
    struct stat info {};
    return name.empty() || name == "." ||
           (fstatat(folder.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode));
}

// Why a file opened to be served cannot be, in the order a peer is told: a folder, then
// an empty file; Started when it can be.
TransferState servedFileState(const FileDescriptor& file) {
    struct stat info {};
    if (fstat(file.Get(), &info) != 0) {
        return TransferState::CannotOpenFile;
    }
    if (S_ISDIR(info.st_mode)) {
        return TransferState::SourceIsFolder;
    }
    return info.st_size == 0 ? TransferState::LocalFileEmpty : TransferState::Started;
}

std::string systemText(int error) { return std::error_code(error, std::system_category()).message(); }

struct Opening {
    std::string path;
    std::uint64_t length = 0;
};

// The refusal of an opening request's parameters, then of one more transfer while `full`;
// null when they hold. `withLength`: a put, which announces its length.
const char* checkOpening(const Message& message, bool withLength, bool parentPathsAllowed, bool full, Opening& out) {
    switch (askedState(message)) {
        case Asked::Missing:
            return textOf(TransferState::StateMissing);
        case Asked::Begin:
            break;
        default:
            return textOf(TransferState::StateInvalid);
    }
    if (withLength) {
        const char* length = message.GetParameter(Param::length);
        if (!length) {
            return textOf(TransferState::LengthMissing);
        }
        if (!ReadUnsigned(length, out.length) || out.length < 1) {
            return textOf(TransferState::LengthInvalid);
        }
    }
    if (!paramText(message, Param::path, out.path)) {
        return textOf(TransferState::PathMissing);
    }
    if (!PeerPathAllowed(out.path, parentPathsAllowed)) {
        return textOf(TransferState::PathInvalid);
    }
    return full ? TransferText::TooManyTransfers : nullptr;
}

// The answer to a request that meets no transfer awaiting it. A close that carries its
// own error (the peer ending a transfer this side already ended) hears that error back,
// so that both sides report the same cause.
void fillUnexpected(Message& reply, const Message& request, const char* state) {
    std::string error;
    const bool closing = askedState(request) == Asked::End && request.GetIsError(error);
    reply.SetParameter(Param::error, closing ? error.c_str() : textOf(TransferState::UnexpectedReply));
    reply.SetParameter(Param::state, state);
}

// Takes a block of a put answered here into element.blockText, decoded, to be held once
// its acknowledgement is out. The refusal's text when it is not taken: then nothing is
// kept.
const char* takeBlock(const Message& message, QueueElement& element, QueueTarget& target) {
    if (target.failed) {
        return target.spare.c_str();
    }
    if (target.canceled) {
        return TransferText::PeerCanceled;
    }
    // After the empty block that ended the data nothing more comes but the close.
    if (target.phase != TransferPhase::Blocks) {
        return TransferText::InvalidBlock;
    }
    const char* numberText = message.GetParameter(Param::blockno);
    // Read where the message keeps it: a block's text is the one large value of the protocol.
    const Json::Value* data = message.JsonParameterAt(Param::data);
    if (!numberText) {
        if (data && !data->isNull()) {
            return TransferText::InvalidBlock;
        }
        target.phase = TransferPhase::End;
        return nullptr;
    }
    std::uint64_t number = 0;
    if (!ReadUnsigned(numberText, number) || number != target.blockNumber) {
        return TransferText::InvalidBlock;
    }
    const char* begin = nullptr;
    const char* end = nullptr;
    if (!data || !data->isString() || !data->getString(&begin, &end) || begin == end) {
        return TransferText::InvalidBlock;
    }
    const std::string_view text(begin, static_cast<std::size_t>(end - begin));
    if (text.size() > element.blockSize || DecodedLength(text) > element.chunkSize) {
        return TransferText::InvalidBlock;
    }
    // Decoded straight from the received text into the buffer of the last block.
    if (!DecodeBase64(text, element.blockText)) {
        return TransferText::InvalidBlock;
    }
    // The block held unwritten counts as received.
    if (element.blockText.size() > element.length - element.bytesDone - target.pendingBlock.size()) {
        element.blockText.clear();
        return textOf(TransferState::LengthMismatch);
    }
    ++target.blockNumber;
    return nullptr;
}

// Why a closing request is refused for its own words (no "end" state, or an error the
// peer tells of); "" when they hold.
std::string closeRequestRefusal(const Message& message) {
    switch (askedState(message)) {
        case Asked::Missing:
            return textOf(TransferState::StateMissing);
        case Asked::End:
            break;
        default:
            return textOf(TransferState::StateInvalid);
    }
    std::string error;
    if (message.GetIsError(error)) {
        return error.empty() ? textOf(TransferState::Error) : error;
    }
    return std::string();
}

// Why a put answered here may not be installed at its close; "" when it may. `announced`
// is the opening request's digest, checked when the close gives none.
std::string putCloseRefusal(const Message& message, const QueueElement& element, const QueueTarget& target,
                            const std::string& announced) {
    const std::string refusal = closeRequestRefusal(message);
    if (!refusal.empty()) {
        return refusal;
    }
    if (target.failed) {
        return target.spare;
    }
    if (target.canceled) {
        return TransferText::PeerCanceled;
    }
    // Only what reached the file counts, and all of it must be the file announced.
    const bool whole = target.file && target.file->BytesWritten() == element.bytesDone &&
                       element.bytesDone == element.length;
    if (!whole || lengthDiffers(message, element.bytesDone)) {
        return textOf(TransferState::LengthMismatch);
    }
    // Checked or not, a file whose own digest is lost is never installed.
    if (element.checksum.empty()) {
        return TransferText::ChecksumUnavailable;
    }
    std::string given;
    const bool gave = paramText(message, Param::checksum, given);
    if (gave ? digestDiffers(given, element.checksum)
             : !announced.empty() && digestDiffers(announced, element.checksum)) {
        return textOf(TransferState::ChecksumMismatch);
    }
    return std::string();
}

// Why a get served here ended badly at its close; "" when it did not.
std::string getCloseRefusal(const Message& message, const QueueElement& element, const QueueTarget& target) {
    const std::string refusal = closeRequestRefusal(message);
    if (!refusal.empty()) {
        return refusal;
    }
    if (!target.spare.empty()) {
        return target.spare;
    }
    if (lengthDiffers(message, element.bytesDone)) {
        return textOf(TransferState::LengthMismatch);
    }
    if (element.checksum.empty()) {
        return TransferText::ChecksumUnavailable;
    }
    std::string given;
    if (paramText(message, Param::checksum, given) && digestDiffers(given, element.checksum)) {
        return textOf(TransferState::ChecksumMismatch);
    }
    return std::string();
}

// The request's header without its body, for the reply to a block: the reply carries none
// of the block, and a copy of the whole header would copy all of it.
MessageForwardInfo blockReplyHeader(MessageSignalData& data) {
    const Message* request = data.GetMessage();
    return request ? request->GetMessageForwardInfo().WithoutBody() : MessageForwardInfo();
}

// A cancelled transfer reports in the words this side uses for its own cancellations.
const char* reportedText(const std::string& refusal) {
    return refusal == TransferText::PeerCanceled ? TransferText::Canceled : refusal.c_str();
}

// A lost digest is left out: an empty "checksum" would read as none to a peer.
void setClosing(Message& reply, const QueueElement& element) {
    reply.SetParameter(Param::state, "end");
    if (!element.checksum.empty()) {
        reply.SetParameter(Param::checksum, element.checksum.c_str());
    }
    reply.SetParameter(Param::length, std::to_string(element.bytesDone).c_str());
}

}  // namespace

// --- "putfile" and "getfile" alike ----------------------------------------------------------

void FileTransferService::answerTransferRequest(MessageSignalData& data, Message& message,
                                                TransferOperation operation) {
    const bool put = operation == TransferOperation::Send;
    const std::string source = message.GetMessageForwardInfo().GetSource();
    const Asked asked = askedState(message);
    Found found = findAnswering(data.Socket().get(), source);
    // Behind a router a requester restarted under its name is the same peer as its former
    // self: a transfer that self left silent gives way, a live one of the peer stays.
    if (found && asked == Asked::Begin && giveWayToReopen(data.Socket().get(), source)) {
        found = findAnswering(data.Socket().get(), source);
    }
    if (!found && asked != Asked::End) {
        if (put) {
            openPut(data, message, source);
        } else {
            openGet(data, message, source);
        }
        return;
    }
    if (found) {
        found.target->lastActivity = TransferClock::now();
        // A put whose file is being installed is closed already: its reply follows the
        // install.
        if (found.element->operation == operation && asked != Asked::Begin && !WaitsForInstall(*found.target)) {
            if (put) {
                closePut(data, message, *found.element, *found.target);
            } else {
                closeGet(data, message, *found.element, *found.target);
            }
            return;
        }
    }
    // A close of no transfer, another opening from the same peer, or a request amid a
    // transfer of the other kind. Only a "putfile" that meets a transfer of its peer and
    // does not ask "end" hears "begin" back.
    const std::unique_ptr<Message> reply = put ? CreatePutFile() : CreateGetFile();
    fillUnexpected(*reply, message, put && found && asked != Asked::End ? "begin" : "end");
    replyTo(data, *reply);
}

// --- "putfile" ------------------------------------------------------------------------------

FileTransferService::PeerPathRule FileTransferService::peerPathRule() {
    PeerPathRule rule{GetStorageRootPath(), _sender && _sender->ParentPathsAllowed(), false};
    // A node that keeps the file-system words beneath its root keeps transfers there too,
    // whatever its tree allows: a ".." is then taken only while the path it names stays
    // beneath the root. Without a root nothing is beneath it.
    const bool beneath = _fileSystemConfined.load();
    rule.parentPaths = rule.parentPaths && !(beneath && rule.root.empty());
    rule.confined = !rule.parentPaths || beneath;
    return rule;
}

void FileTransferService::ProcessPutFile(MessageSignalData& data, Message& message) {
    // A datagram never comes here: the dispatch drops it with its log line.
    answerTransferRequest(data, message, TransferOperation::Send);
}

void FileTransferService::openPut(MessageSignalData& data, Message& message, const std::string& source) {
    Opening opening;
    const PeerPathRule rule = peerPathRule();
    const char* refusal =
        checkOpening(message, true, rule.parentPaths, _activeList.size() >= _transferCount.load(), opening);
    std::string path;
    std::unique_ptr<FileReplacement> file;
    if (!refusal) {
        const TransferPath named(rule.root, opening.path, rule.confined);
        path = named.Text();
        TransferPath::Opened folder = named.OpenFolder();
        const bool found = folder.descriptor.IsOpen();
        if (folder.error == EXDEV) {
            PeerWarning("ZK7944W Path leads out of the storage root", path);
            refusal = textOf(TransferState::PathInvalid);
        } else if (found && namesFolder(folder.descriptor, named.Name())) {
            refusal = textOf(TransferState::SourceIsFolder);
        } else {
            // The old file stays untouched until the new one is proven; a process that dies
            // meanwhile leaves no name behind. It is made, and later installed, in the
            // folder found now.
            if (found) {
                file = std::make_unique<FileReplacement>(std::move(folder.descriptor), named.Name(), path,
                                                         FileReplacement::Temporary::Unnamed);
            }
            if (!file || !file->IsOpen()) {
                const std::string error = file ? file->Error() : systemText(folder.error);
                PeerWarning("ZK7909W Unable to open file for writing", Join(path, ": ", error));
                refusal = textOf(TransferState::CannotOpenFile);
            }
        }
    }
    if (refusal) {
        PutFile reply;
        reply.SetParameter(Param::error, refusal);
        reply.SetParameter(Param::state, "begin");
        replyTo(data, reply);
        return;
    }
    const BlockSizes sizes = AnswerBlockSize(message.GetParameter(Param::blocksize), GetBlockSize());
    std::string announced;
    paramText(message, Param::checksum, announced);
    QueueElement element(path, opening.length, sizes.blockSize, sizes.chunkSize, lowerCase(announced),
                         TransferOperation::Send);
    QueueTarget target(path, data.Socket(), source, message.GetMessageForwardInfo().RouteOnly());
    target.file = std::move(file);
    target.phase = TransferPhase::Blocks;
    element.targets.push_back(std::move(target));
    _activeList.push_back(std::move(element));
    updateTransferring(data.Socket());

    PutFile reply;
    reply.SetParameter(Param::blocksize, std::to_string(sizes.blockSize).c_str());
    reply.SetParameter(Param::state, "begin");
    replyTo(data, reply);
    // Last: a handler may change the active list.
    QueueElement& added = _activeList.back();
    NotifyBegin(added, added.targets.front());
}

void FileTransferService::closePut(MessageSignalData& data, Message& message, QueueElement& element,
                                   QueueTarget& target) {
    target.lastActivity = TransferClock::now();
    // The last block, held since its answer, goes to the disk first: its bytes count too.
    const BlockReport written = DecomposeBlock(element, target);
    target.ended = true;
    const std::string announced = std::move(element.checksum);
    element.checksum = element.digest.GetDigest();
    if (element.checksum.empty()) {
        digestLost(target.localFile);
    }
    const std::string refusal = putCloseRefusal(message, element, target, announced);
    if (refusal.empty()) {
        PeerInfo("ZK7907I Received file size", element.bytesDone);
        installPut(data, message, element, target);
        reportBlock(written);
        return;
    }
    PutFile reply;
    setClosing(reply, element);
    reply.SetParameter(Param::error, refusal.c_str());
    replyTo(data, reply);
    // The temporary goes with the detached element.
    QueueElement ended = detachAnswered(element);
    reportBlock(written);
    NotifyError(ended, ended.targets.front(), reportedText(refusal));
}

void FileTransferService::installPut(MessageSignalData& data, Message& message, QueueElement& element,
                                     QueueTarget& target) {
    auto ticket = std::make_shared<InstallTicket>();
    target.phase = TransferPhase::Installing;
    target.install = InstallHold(ticket);
    install(std::move(target.file), ticket,
            [ticket, handle = data.Handle(), header = message.GetMessageForwardInfo(), checksum = element.checksum,
             count = element.bytesDone](FileTransferService& self, const InstallResult& result) {
                self.putInstalled(ticket.get(), handle, header, checksum, count, result);
            });
}

void FileTransferService::putInstalled(const InstallTicket* ticket, void* handle,
                                       const MessageForwardInfo& requestHeader, const std::string& checksum,
                                       std::uint64_t count, const InstallResult& result) {
    const Found found = findInstalling(ticket);
    const std::string path = found ? found.target->localFile : std::string();
    PutFile reply;
    reply.SetParameter(Param::state, "end");
    reply.SetParameter(Param::checksum, checksum.c_str());
    reply.SetParameter(Param::length, std::to_string(count).c_str());
    const char* failure = nullptr;
    if (result.outcome == InstallResult::Withdrawn) {
        failure = TransferText::PeerCanceled;
    } else if (result.outcome == InstallResult::Failed) {
        Warning("ZK7941W Unable to install received file", path + ": " + result.error);
        failure = textOf(TransferState::CannotRename);
    }
    if (failure) {
        reply.SetParameter(Param::error, failure);
    }
    replyWith(handle, requestHeader, reply);
    if (!found) {
        return;  // ended meanwhile, and reported (or, by a stop, silenced) by what ended it
    }
    found.target->install.Release();
    QueueElement ended = detachAnswered(*found.element);
    if (!failure) {
        NotifyEnd(ended, ended.targets.front());
    } else {
        NotifyError(ended, ended.targets.front(), reportedText(failure));
    }
}

// --- "block" of a put answered here -------------------------------------------------------

void FileTransferService::answerPutBlock(MessageSignalData& data, Message& message, QueueElement& element,
                                         QueueTarget& target) {
    target.lastActivity = TransferClock::now();
    BlockTransfer reply;
    if (const char* number = message.GetParameter(Param::blockno)) {
        reply.SetParameter(Param::blockno, number);
    }
    if (WaitsForInstall(target)) {
        // Closed and proven: a stray block changes nothing, the install goes on.
        reply.SetParameter(Param::error, TransferText::InvalidBlock);
        replyWith(data.Handle(), blockReplyHeader(data), reply);
        return;
    }
    const char* taken = takeBlock(message, element, target);
    if (!taken) {
        // Answered first: the block before goes to the disk while the peer sends the next,
        // and this one once that next one is answered.
        replyWith(data.Handle(), blockReplyHeader(data), reply);
        const BlockReport written = DecomposeBlock(element, target);
        if (!element.blockText.empty()) {
            holdBlock(element, target, message.GetParameter(Param::blockno));
        }
        reportBlock(written);
        return;
    }
    const std::string refusal = taken;
    PeerDetail("ZK7942I Block refused", refusal);
    reply.SetParameter(Param::error, refusal.c_str());
    replyWith(data.Handle(), blockReplyHeader(data), reply);
    QueueElement ended = detachAnswered(element);
    NotifyError(ended, ended.targets.front(), reportedText(refusal));
}

FileTransferService::BlockReport FileTransferService::DecomposeBlock(QueueElement& element, QueueTarget& target) {
    if (target.pendingBlock.empty()) {
        return {};
    }
    if (!target.file) {
        // Failed or ended: nothing more reaches the disk.
        target.pendingBlock.clear();
        return {};
    }
    const bool put = element.operation == TransferOperation::Send;
    const std::string& bytes = target.pendingBlock;
    if (!target.file->Write(bytes.data(), bytes.size())) {
        Warning("ZK7943W Unable to write received block", target.localFile + ": " + target.file->Error());
        target.failed = true;
        target.spare = target.file->Error();
        target.file.reset();
        target.pendingBlock.clear();
        return {};
    }
    BlockDigest& digest = put ? element.digest : target.digest;
    std::uint64_t& done = put ? element.bytesDone : target.bytesDone;
    double& progress = put ? element.progress : target.progress;
    const std::uint64_t length = put ? element.length : target.length;
    done += bytes.size();
    digest.Add(&_digestWorker, target.pendingBlock);

    BlockReport report;
    report.written = true;
    report.name = target.pendingName;
    report.percent = length == 0 ? 0.0 : static_cast<double>(done) / static_cast<double>(length) * 100.0;
    report.progressed = static_cast<long long>(report.percent) > static_cast<long long>(progress);
    progress = report.percent;
    report.path = element.path;
    report.id = target.id;
    report.blockSize = !put && target.blockSize != 0 ? target.blockSize : element.blockSize;
    return report;
}

void FileTransferService::holdBlock(QueueElement& element, QueueTarget& target, const char* number) {
    target.pendingBlock.swap(element.blockText);
    element.blockText.clear();
    target.pendingName = number ? number : "";
}

void FileTransferService::reportBlock(const BlockReport& report) {
    if (!report.written) {
        return;
    }
    if (report.progressed) {
        NotifyProgress(report.percent, report.path, report.id);
    }
    NotifyBlock(report.name, report.percent, report.blockSize, false);
}

// --- "getfile" ------------------------------------------------------------------------------

void FileTransferService::ProcessGetFile(MessageSignalData& data, Message& message) {
    answerTransferRequest(data, message, TransferOperation::Receive);
}

void FileTransferService::openGet(MessageSignalData& data, Message& message, const std::string& source) {
    Opening opening;
    const PeerPathRule rule = peerPathRule();
    const char* refusal =
        checkOpening(message, false, rule.parentPaths, _activeList.size() >= _transferCount.load(), opening);
    std::string path;
    std::unique_ptr<SourceFile> file;
    if (!refusal) {
        const TransferPath named(rule.root, opening.path, rule.confined);
        path = named.Text();
        // Non-blocking, as a source file is read: a pipe in the file's place cannot stall
        // the loop.
        TransferPath::Opened opened = named.Open(O_RDONLY | O_NONBLOCK);
        const int error = opened.error;
        if (error == EXDEV) {
            PeerWarning("ZK7944W Path leads out of the storage root", path);
            refusal = textOf(TransferState::PathInvalid);
        } else if (error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG) {
            refusal = textOf(TransferState::FileMissing);
        } else if (error != 0) {
            PeerWarning("ZK7911W Unable to open input file", Join(path, ": ", [&] { return systemText(error); }));
            refusal = textOf(TransferState::CannotOpenFile);
        } else if (const TransferState state = servedFileState(opened.descriptor); state != TransferState::Started) {
            refusal = textOf(state);
        } else {
            std::string why;
            file = SourceFile::Adopt(std::move(opened.descriptor), why);
            if (!file) {
                PeerWarning("ZK7911W Unable to open input file", Join(path, ": ", why));
                refusal = textOf(TransferState::CannotOpenFile);
            }
        }
    }
    if (refusal) {
        GetFile reply;
        reply.SetParameter(Param::error, refusal);
        reply.SetParameter(Param::state, "end");
        replyTo(data, reply);
        return;
    }
    const BlockSizes sizes = AnswerBlockSize(message.GetParameter(Param::blocksize), GetBlockSize());
    QueueElement element(path, file->Size(), sizes.blockSize, sizes.chunkSize, std::string(),
                         TransferOperation::Receive);
    element.file = std::move(file);
    QueueTarget target(path, data.Socket(), source, message.GetMessageForwardInfo().RouteOnly());
    target.phase = TransferPhase::Blocks;
    element.targets.push_back(std::move(target));
    _activeList.push_back(std::move(element));
    updateTransferring(data.Socket());

    GetFile reply;
    reply.SetParameter(Param::length, std::to_string(_activeList.back().length).c_str());
    reply.SetParameter(Param::blocksize, std::to_string(sizes.blockSize).c_str());
    reply.SetParameter(Param::state, "begin");
    replyTo(data, reply);

    QueueElement& served = _activeList.back();
    QueueTarget& peer = served.targets.front();
    const std::string failure = serveFirstBlocks(served, peer);
    if (!failure.empty()) {
        failServedGet(served, peer, failure.c_str());
    }
    // Last: a handler may change the active list.
    NotifyBegin(served, peer);
}

std::string FileTransferService::serveFirstBlocks(QueueElement& element, QueueTarget& target) {
    ComposeBlock(element);
    if (element.lastRead == 0) {
        // The file was opened with a size above 0: a read that finds nothing failed, or
        // the file shrank meanwhile.
        return target.spare.empty() ? std::string(textOf(TransferState::LengthMismatch)) : target.spare;
    }
    element.bytesDone += element.lastRead;
    target.bytesDone += element.lastRead;
    element.lastRead = 0;
    sendBlockTo(target, std::move(element.chunk));
    element.chunk.clear();
    target.awaitingReply = true;
    // The second block is ready before the first is answered; its bytes count for the
    // peer once it is sent. A failure here is told at the first reply, after block 1.
    ComposeBlock(element);
    element.bytesDone += element.lastRead;
    return std::string();
}

void FileTransferService::failServedGet(QueueElement& element, QueueTarget& target, const char* text) {
    if (target.phase == TransferPhase::End && !target.spare.empty()) {
        return;  // told already
    }
    if (target.spare.empty()) {
        target.spare = text;
    }
    element.file.reset();
    element.chunk.clear();
    element.lastRead = 0;
    BlockTransfer stop;
    stop.SetParameter(Param::error, text);
    sendTo(target, stop, true);
    target.phase = TransferPhase::End;
    target.ended = true;
    target.awaitingReply = true;
}

void FileTransferService::closeGet(MessageSignalData& data, Message& message, QueueElement& element,
                                   QueueTarget& target) {
    target.lastActivity = TransferClock::now();
    target.ended = true;
    element.checksum = element.digest.GetDigest();
    if (element.checksum.empty()) {
        digestLost(target.localFile);
    }
    const std::string refusal = getCloseRefusal(message, element, target);
    GetFile reply;
    setClosing(reply, element);
    if (!refusal.empty()) {
        reply.SetParameter(Param::error, refusal.c_str());
    }
    replyTo(data, reply);
    // The served file closes with the detached element.
    QueueElement ended = detachAnswered(element);
    if (refusal.empty()) {
        NotifyEnd(ended, ended.targets.front());
    } else {
        NotifyError(ended, ended.targets.front(), reportedText(refusal));
    }
}

// --- "cancelputfile" and the shared helpers -----------------------------------------------

void FileTransferService::ProcessCancelPutFile(MessageSignalData& data, Message& message, bool /*reply*/) {
    // Only what this node answers for the asker: other peers on the same host, or behind
    // the same router, keep their transfers.
    // A put's temporary goes at once: a requester whose router gave up on this node
    // cancels what it no longer carries on, and nothing of it should wait on the disk for
    // the requester's next line, which may never come.
    const std::string source = message.GetMessageForwardInfo().GetSource();
    for (auto& element : _activeList) {
        if (!element.incoming) {
            continue;
        }
        for (auto& target : element.targets) {
            if (target.socket == data.Socket() && target.source == source) {
                endAnswered(element, target);
            }
        }
    }
    cancelPutFile reply;
    replyTo(data, reply);
}

void FileTransferService::endAnswered(QueueElement& element, QueueTarget& target) {
    // As a cancel: the peer hears it at its next line. A put's temporary goes at once, so
    // that nothing of it reaches the disk; a file already proven is left to its install.
    target.canceled = true;
    target.lastActivity = TransferClock::now();
    if (element.operation == TransferOperation::Send && !WaitsForInstall(target)) {
        target.file.reset();
    }
}

QueueElement FileTransferService::detachAnswered(QueueElement& element) {
    QueueElement detached = std::move(element);
    element.targets.clear();
    removeEmptyElements();
    for (const auto& target : detached.targets) {
        updateTransferring(target.socket);
    }
    return detached;
}

}  // namespace Zelkor
