#include "filetransfer/FileTransferService.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <json/value.h>

#include "core/Message.h"
#include "core/RequestErrors.h"
#include "filetransfer/BlockLine.h"
#include "filetransfer/BlockSize.h"
#include "filetransfer/CancelPutFile.h"
#include "filetransfer/LeavingTarget.h"
#include "filetransfer/TransferMessages.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

const char* stateText(TransferState state) { return TransferStateText(state); }

// A put opened here or a get answered here: the elements whose blocks this node sends.
bool sendsBlocks(const QueueElement& element) {
    return element.incoming == (element.operation == TransferOperation::Receive);
}

bool isOpenedGet(const QueueElement& element) {
    return !element.incoming && element.operation == TransferOperation::Receive;
}

double percentOf(std::uint64_t done, std::uint64_t length) {
    return length == 0 ? 0.0 : static_cast<double>(done) / static_cast<double>(length) * 100.0;
}

// The "error" a message carries ("" when none); an empty one still is an error.
std::string errorOf(const Message& message) {
    const char* error = message.GetParameter(Param::error);
    if (!error) {
        return std::string();
    }
    return *error ? error : stateText(TransferState::Error);
}

bool sameDigest(std::string_view theirs, std::string_view ours) {
    return theirs.size() == ours.size() &&
           std::equal(theirs.begin(), theirs.end(), ours.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

// A closing reply that names another count or digest than this side's: a reply without
// them passes, as older peers send none.
const char* closingMismatch(const Message& reply, std::uint64_t count, const std::string& digest) {
    if (const char* length = reply.GetParameter(Param::length)) {
        std::uint64_t theirs = 0;
        if (!ReadUnsigned(length, theirs) || theirs != count) {
            return stateText(TransferState::LengthMismatch);
        }
    }
    if (const char* checksum = reply.GetParameter(Param::checksum)) {
        if (!sameDigest(checksum, digest)) {
            return stateText(TransferState::ChecksumMismatch);
        }
    }
    return nullptr;
}

// The line that tells a peer fetching a file that its data cannot come.
std::string errorBlockBody(const std::string& text) {
    BlockTransfer failure;
    failure.SetParameter(Param::error, text.c_str());
    return failure.ToNetworkFormat(true) + "\n";
}


// A router's refusal of a line to the device behind it, which it no longer reaches: not
// listed, without a connection, or whose connection ended with the line on its way. The
// device is gone, and no line of this node reaches it any more.
bool refusedByRouter(const QueueTarget& target, const Message& reply) {
    const char* error = reply.GetParameter(Param::error);
    if (target.header.IsEmpty() || !error) {
        return false;
    }
    const std::string_view text(error);
    return text == "Device not found" || text == kDeviceNotConnected || text == kConnectionLost;
}

// The request's header without its body, for the reply to a block: the reply carries none
// of the block, and a copy of the whole header would copy all of it.
MessageForwardInfo blockReplyHeader(MessageSignalData& data) {
    const Message* request = data.GetMessage();
    return request ? request->GetMessageForwardInfo().WithoutBody() : MessageForwardInfo();
}
}  // namespace

// --- composing ------------------------------------------------------------------------------

void FileTransferService::ComposeBlock(QueueElement& element) {
    if (!element.file) {
        return;
    }
    SourceFile& file = *element.file;
    const std::uint64_t chunk = std::min<std::uint64_t>(element.chunkSize, element.blockSize / 4 * 3);
    // Every earlier block was read whole (only the end of the file makes one short), so
    // this much was read before; nothing past the size announced at the start is sent.
    const std::uint64_t before = (element.blockNumber - 1) * chunk;
    const std::uint64_t left = file.Size() > before ? file.Size() - before : 0;
    const std::size_t wanted = static_cast<std::size_t>(std::min(chunk, left));
    std::size_t allowed = wanted;
    const BlockReader read = [&file, &allowed](char* buffer, std::size_t count, std::string& error) -> long {
        const std::size_t asked = std::min(count, allowed);
        if (asked == 0) {
            return 0;
        }
        const long got = file.Read(buffer, asked, error);
        if (got > 0) {
            allowed -= static_cast<std::size_t>(got);
        }
        return got;
    };
    const ComposedBlock composed =
        ComposeBlockLine(read, element.blockNumber, static_cast<std::size_t>(element.blockSize),
                         static_cast<std::size_t>(element.chunkSize), element.chunk, element.blockText);
    if (composed.read > 0) {
        element.digest.Add(&_digestWorker, element.blockText);
    }
    // Whole, and nothing read only where the file really ends.
    if (!composed.failed && composed.read == wanted && (wanted > 0 || before >= file.Size())) {
        element.lastRead = composed.read;
        if (composed.read > 0) {
            ++element.blockNumber;
        }
        return;
    }
    // A failed read, or a file that ends before its size at the start: sending on would
    // end the transfer short with a matching length.
    const std::string reason = composed.failed ? composed.error : stateText(TransferState::LengthMismatch);
    Warning("ZK7960W Cannot read file to send: " + element.path, reason);
    element.file.reset();
    element.lastRead = 0;
    element.chunk = errorBlockBody(reason);
    for (auto& target : element.targets) {
        if (target.spare.empty()) {
            target.spare = reason;
        }
    }
}

void FileTransferService::PrepareBlock(std::shared_ptr<TcpSocket> socket, MessageForwardInfo& /*header*/) {
    if (!socket) {
        return;
    }
    for (auto& element : _activeList) {
        // Only a transfer whose data runs: block 1 waits for the sizes all targets answer.
        if (!sendsBlocks(element) || !element.file || !element.chunk.empty() || element.blockNumber == 1) {
            continue;
        }
        const bool on = std::any_of(element.targets.begin(), element.targets.end(),
                                    [&socket](const QueueTarget& target) { return target.socket == socket; });
        if (on) {
            ComposeBlock(element);
            element.bytesDone += element.lastRead;
            return;
        }
    }
}

FileTransferService::Found FileTransferService::awaitingTarget(MessageSignalData& data, Message& message,
                                                               TransferOperation operation) {
    const Found found = findOpening(data.Socket().get(), message.GetMessageForwardInfo().GetSource());
    if (!found) {
        PeerDetail("ZK7961I Transfer reply for no transfer on", data.Socket()->Tag());
        return Found{};
    }
    QueueElement& element = *found.element;
    QueueTarget& target = *found.target;
    target.lastActivity = TransferClock::now();
    if (element.operation != operation || !target.awaitingReply ||
        (target.phase != TransferPhase::Begin && target.phase != TransferPhase::End)) {
        onUnexpected(element, target);
        return Found{};
    }
    target.awaitingReply = false;
    return found;
}

// --- a put opened here ----------------------------------------------------------------------

void FileTransferService::ProcessReplyPutFile(MessageSignalData& data, Message& message) {
    const Found found = awaitingTarget(data, message, TransferOperation::Send);
    if (!found) {
        return;
    }
    if (found.target->phase == TransferPhase::Begin) {
        putBegun(message, *found.element, *found.target);
    } else {
        putClosed(message, *found.element, *found.target);
    }
}

void FileTransferService::putBegun(Message& reply, QueueElement& element, QueueTarget& target) {
    const std::string refusal = errorOf(reply);
    if (!refusal.empty()) {
        target.peerFailure = true;
        leave(element, target, refusal.c_str());
        return;
    }
    target.ended = true;
    target.phase = TransferPhase::Blocks;
    element.blockSize = LowerBlockSize(element.blockSize, reply.GetParameter(Param::blocksize));
    advancePut(element, true);
}

void FileTransferService::putClosed(Message& reply, QueueElement& element, QueueTarget& target) {
    std::string failure = target.spare;
    if (refusedByRouter(target, reply)) {
        cancelAtDevice(target);
        if (failure.empty()) {
            failure = stateText(TransferState::EndpointDisconnected);
        }
    }
    if (failure.empty()) {
        failure = errorOf(reply);
        target.peerFailure = !failure.empty();
    }
    if (failure.empty()) {
        if (const char* mismatch = closingMismatch(reply, element.bytesDone, element.checksum)) {
            failure = mismatch;
        }
    }
    leave(element, target, failure.empty() ? nullptr : failure.c_str());
}

void FileTransferService::cancelAtDevice(QueueTarget& target) {
    // A device the router refused the line for may still hold the put: frozen past the
    // router's bound on its answer, it wakes with the put open and would refuse this
    // node's next one until its own silence bound. Best effort: a device that is gone
    // never hears it, and its answer, or the router's refusal, ends here unread.
    cancelPutFile cancel;
    sendTo(target, cancel, true);
}

void FileTransferService::advancePut(QueueElement& element, bool reportProgress) {
    auto& targets = element.targets;
    const auto holdsBack = [](const QueueTarget& target) {
        return target.awaitingReply && target.phase != TransferPhase::End;
    };
    if (std::any_of(targets.begin(), targets.end(), holdsBack)) {
        return;
    }
    const auto waits = [](const QueueTarget& target) {
        return target.phase == TransferPhase::Blocks && !target.awaitingReply;
    };
    const auto wantsData = [&waits](const QueueTarget& target) {
        return waits(target) && target.spare.empty() && !target.canceled;
    };
    if (std::any_of(targets.begin(), targets.end(), wantsData) && element.chunk.empty() && element.file) {
        if (element.blockNumber == 1) {
            element.chunkSize = ChunkSizeOf(element.blockSize);
        }
        ComposeBlock(element);
        element.bytesDone += element.lastRead;
    }
    // One line, read, digested and encoded once, goes to every target with its own route.
    const std::uint64_t sent = element.lastRead;
    struct Progress {
        double percent;
        std::string id;
    };
    std::vector<Progress> progress;
    std::vector<QueueTarget*> receivers;
    bool endOfData = false;
    for (auto& target : targets) {
        if (!waits(target)) {
            continue;
        }
        if (target.canceled && target.spare.empty()) {
            target.spare = TransferText::Canceled;
        }
        if (!target.spare.empty() || sent == 0) {
            endOfData = endOfData || target.spare.empty();
            sendPutClose(element, target);
            continue;
        }
        receivers.push_back(&target);
    }
    for (QueueTarget* target : receivers) {
        // The last one takes the line itself rather than a copy.
        sendBlockTo(*target, target == receivers.back() ? std::move(element.chunk) : element.chunk);
        target->awaitingReply = true;
        target->bytesDone += sent;
        const double percent = percentOf(target->bytesDone, element.length);
        if (percent - target->progress >= 1.0) {
            target->progress = percent;
            progress.push_back(Progress{percent, target->id});
        }
    }
    if (sent > 0) {
        element.chunk.clear();
        element.lastRead = 0;
        const double percent = percentOf(element.bytesDone, element.length);
        if (percent - element.progress >= 1.0) {
            element.progress = percent;
        }
    }
    if (endOfData) {
        element.file.reset();
    }
    if (reportProgress && !progress.empty()) {
        const std::string path = element.path;
        for (const auto& report : progress) {
            NotifyProgress(report.percent, path, report.id);
        }
    }
}

void FileTransferService::sendPutClose(QueueElement& element, QueueTarget& target) {
    if (target.spare.empty()) {
        element.checksum = element.digest.GetDigest();
        if (element.checksum.empty()) {
            digestLost(element.path);
            target.spare = TransferText::ChecksumUnavailable;
        }
    }
    PutFile close;
    close.SetParameter(Param::state, "end");
    if (!target.spare.empty()) {
        close.SetParameter(Param::error, target.spare.c_str());
    } else {
        close.SetParameter(Param::checksum, element.checksum.c_str());
        close.SetParameter(Param::length, std::to_string(element.bytesDone).c_str());
    }
    sendTo(target, close, true);
    target.phase = TransferPhase::End;
    target.awaitingReply = true;
    target.ended = true;
}

void FileTransferService::continueAfterLeave(QueueElement& element) {
    if (!element.incoming && element.operation == TransferOperation::Send && !element.targets.empty()) {
        advancePut(element, false);
    }
}

// --- block replies (the sending side) -------------------------------------------------------

void FileTransferService::blockReply(MessageSignalData& /*data*/, Message& message, QueueElement& element,
                                     QueueTarget& target) {
    target.lastActivity = TransferClock::now();
    if (element.incoming) {
        servedBlockReply(message, element, target);
    } else {
        putBlockReply(message, element, target);
    }
}

void FileTransferService::putBlockReply(Message& reply, QueueElement& element, QueueTarget& target) {
    if (target.phase == TransferPhase::Begin) {
        // No block of this put has gone yet: the reply is to an earlier put to the same
        // device that ended here without its connection (a router's) being closed.
        PeerDetail("ZK79B1I Block reply of an ended transfer dropped", target.socket ? target.socket->Tag() : "");
        return;
    }
    if (target.phase != TransferPhase::Blocks || !target.awaitingReply) {
        onUnexpected(element, target);
        return;
    }
    target.awaitingReply = false;
    if (refusedByRouter(target, reply)) {
        // No closing request would reach a device that is gone; one the router only gave
        // up waiting for is told by the cancel.
        cancelAtDevice(target);
        const std::string failure =
            target.spare.empty() ? std::string(stateText(TransferState::EndpointDisconnected)) : target.spare;
        leave(element, target, failure.c_str());
        return;
    }
    if (target.spare.empty()) {
        target.spare = target.canceled ? std::string(TransferText::Canceled) : errorOf(reply);
        target.peerFailure = !target.canceled && !target.spare.empty();
    }
    if (!target.spare.empty()) {
        sendPutClose(element, target);
    }
    advancePut(element, true);
}

void FileTransferService::servedBlockReply(Message& reply, QueueElement& element, QueueTarget& target) {
    if (!target.awaitingReply) {
        if (!target.ended) {
            onUnexpected(element, target);
        }
        return;
    }
    target.awaitingReply = false;
    const bool numbered = reply.GetParameter(Param::blockno) != nullptr;
    if (target.canceled) {
        if (numbered) {
            failServedGet(element, target, TransferText::PeerCanceled);
        }
        return;
    }
    if (reply.GetParameter(Param::error)) {
        // The peer refused a block and closes the transfer itself.
        target.phase = TransferPhase::End;
        return;
    }
    if (element.chunk.empty() && element.file) {
        ComposeBlock(element);
        element.bytesDone += element.lastRead;
    }
    const std::uint64_t sent = element.lastRead;
    if (sent == 0) {
        if (!numbered) {
            return;  // the answer to the end of the data
        }
        if (!target.spare.empty()) {
            const std::string reason = target.spare;
            failServedGet(element, target, reason.c_str());
            return;
        }
        BlockTransfer end;
        sendTo(target, end, true);
        target.ended = true;
        target.awaitingReply = true;
        target.phase = TransferPhase::End;
        return;
    }
    sendBlockTo(target, std::move(element.chunk));
    element.chunk.clear();
    element.lastRead = 0;
    target.awaitingReply = true;
    target.bytesDone += sent;
}

void FileTransferService::onUnexpected(QueueElement& element, QueueTarget& target) {
    const char* unexpected = stateText(TransferState::UnexpectedReply);
    PeerWarning("ZK7962W Unexpected transfer reply from", target.socket ? target.socket->Tag() : std::string());
    if (WaitsForInstall(target)) {
        return;  // its copy is proven: nothing the peer says now changes it
    }
    if (element.incoming) {
        if (element.operation == TransferOperation::Receive && !target.ended) {
            failServedGet(element, target, unexpected);
        }
        return;
    }
    if (target.phase == TransferPhase::End) {
        // Its closing reply is awaited already; that reply reports the failure.
        if (target.spare.empty()) {
            target.spare = unexpected;
        }
        return;
    }
    if (element.operation == TransferOperation::Receive) {
        closeGetEarly(target, unexpected);
        return;
    }
    target.spare = unexpected;
    sendPutClose(element, target);
    continueAfterLeave(element);
}

// --- a get opened here ----------------------------------------------------------------------

void FileTransferService::ProcessReplyGetFile(MessageSignalData& data, Message& message) {
    const Found found = awaitingTarget(data, message, TransferOperation::Receive);
    if (!found) {
        return;
    }
    if (found.target->phase == TransferPhase::Begin) {
        getBegun(message, *found.element, *found.target);
    } else {
        getClosed(message, *found.element, *found.target);
    }
}

void FileTransferService::getBegun(Message& reply, QueueElement& element, QueueTarget& target) {
    const std::string refusal = errorOf(reply);
    if (!refusal.empty()) {
        target.peerFailure = true;
        leave(element, target, refusal.c_str());
        return;
    }
    const char* length = reply.GetParameter(Param::length);
    std::uint64_t announced = 0;
    if (!length) {
        closeGetEarly(target, stateText(TransferState::LengthMissing));
        return;
    }
    if (!ReadUnsigned(length, announced) || announced == 0) {
        closeGetEarly(target, stateText(TransferState::LengthInvalid));
        return;
    }
    target.length = announced;
    target.ended = true;
    target.phase = TransferPhase::Blocks;
    target.blockNumber = 0;  // the last block received
    // This device's own: another device's answer neither lowers nor raises it.
    target.blockSize = LowerBlockSize(element.blockSize, reply.GetParameter(Param::blocksize));
}

void FileTransferService::receiveGetBlock(MessageSignalData& data, Message& message, QueueElement& element,
                                          QueueTarget& target) {
    target.lastActivity = TransferClock::now();
    // The block before, written once this one is answered, is reported last (a handler may
    // stop the service).
    struct Report {
        FileTransferService& self;
        BlockReport written;
        ~Report() { self.reportBlock(written); }
    } earlier{*this, {}};
    const char* numberText = message.GetParameter(Param::blockno);
    const std::string number = numberText ? numberText : "";
    BlockTransfer answer;
    if (numberText) {
        answer.SetParameter(Param::blockno, number.c_str());
    }
    // Nothing of a refused block is written; the peer hears why in the answer and the
    // transfer closes with the same text.
    const auto refuse = [&](const std::string& text) {
        answer.SetParameter(Param::error, text.c_str());
        replyWith(data.Handle(), blockReplyHeader(data), answer);
        closeGetEarly(target, text);
    };
    if (WaitsForInstall(target)) {
        // Closed and proven: a stray block is refused and changes nothing.
        answer.SetParameter(Param::error, TransferText::InvalidBlock);
        replyWith(data.Handle(), blockReplyHeader(data), answer);
        return;
    }
    if (target.canceled) {
        if (target.spare.empty()) {
            target.spare = TransferText::Canceled;
        }
        refuse(TransferText::PeerCanceled);
        return;
    }
    if (target.phase == TransferPhase::Begin) {
        // The device answers the opening before its first block, on the same way: this
        // block belongs to an earlier get from it that ended here without its connection
        // (a router's) being closed. Refused as a block of no transfer; this get waits on.
        answer.SetParameter(Param::error, TransferText::PeerCanceled);
        replyWith(data.Handle(), blockReplyHeader(data), answer);
        return;
    }
    if (target.phase != TransferPhase::Blocks) {
        // After the data ended: nothing is taken.
        refuse(target.spare.empty() ? std::string(TransferText::InvalidBlock) : target.spare);
        return;
    }
    if (!numberText) {
        replyWith(data.Handle(), blockReplyHeader(data), answer);
        const std::string failure = errorOf(message);
        if (!failure.empty()) {
            target.peerFailure = target.spare.empty();
            closeGetEarly(target, failure);
            return;
        }
        // The data ended: the last block goes to the disk before the count and digest go out.
        earlier.written = DecomposeBlock(element, target);
        const std::string digest = target.digest.GetDigest();
        if (digest.empty()) {
            digestLost(element.path);
            closeGetEarly(target, TransferText::ChecksumUnavailable);
            return;
        }
        GetFile close;
        close.SetParameter(Param::state, "end");
        close.SetParameter(Param::length, std::to_string(target.bytesDone).c_str());
        close.SetParameter(Param::checksum, digest.c_str());
        sendTo(target, close, true);
        target.phase = TransferPhase::End;
        target.awaitingReply = true;
        return;
    }
    std::uint64_t blockNumber = 0;
    // Read where the message keeps it, without the copy a C text would take; data that
    // is no string is no Base64, as the answering side holds too.
    const Json::Value* dataValue = message.JsonParameterAt(Param::data);
    const char* dataBegin = nullptr;
    const char* dataEnd = nullptr;
    std::string_view text;
    if (dataValue && dataValue->isString() && dataValue->getString(&dataBegin, &dataEnd)) {
        text = std::string_view(dataBegin, static_cast<std::size_t>(dataEnd - dataBegin));
    }
    if (!ReadUnsigned(number.c_str(), blockNumber) || blockNumber != target.blockNumber + 1 || text.empty() ||
        text.size() % 4 != 0) {
        refuse(TransferText::InvalidBlock);
        return;
    }
    const std::uint64_t agreed = target.blockSize != 0 ? target.blockSize : element.blockSize;
    const std::uint64_t size = DecodedLength(text);
    if (text.size() > agreed || size > ChunkSizeOf(agreed)) {
        refuse(TransferText::InvalidBlock);
        return;
    }
    // The block held unwritten counts as received.
    const std::uint64_t received = target.bytesDone + target.pendingBlock.size();
    if (size > target.length - std::min(target.length, received)) {
        refuse(stateText(TransferState::LengthMismatch));
        return;
    }
    if (!DecodeBase64(text, element.blockText) || element.blockText.size() != size) {
        element.blockText.clear();
        refuse(TransferText::InvalidBlock);
        return;
    }
    if (target.failed || !target.file) {
        element.blockText.clear();
        refuse(target.spare.empty() ? std::string(stateText(TransferState::Error)) : target.spare);
        return;
    }
    target.blockNumber = blockNumber;
    // Answered first, as the answering side does: the block before goes to the disk while
    // the device sends the next, and this one once that next one is answered. A failed
    // write fails the transfer at the next line, whose data is then refused.
    replyWith(data.Handle(), blockReplyHeader(data), answer);
    earlier.written = DecomposeBlock(element, target);
    holdBlock(element, target, number.c_str());
}

void FileTransferService::closeGetEarly(QueueTarget& target, const std::string& text) {
    if (target.spare.empty()) {
        target.spare = text;
    }
    if (target.file) {
        Detail("ZK7903I Removing local temporary file: ", target.file->Target().string());
        target.file.reset();
    }
    if (target.phase == TransferPhase::End) {
        return;
    }
    GetFile close;
    close.SetParameter(Param::state, "end");
    close.SetParameter(Param::error, text.c_str());
    sendTo(target, close, true);
    target.phase = TransferPhase::End;
    target.awaitingReply = true;
    target.ended = true;
}

void FileTransferService::getClosed(Message& reply, QueueElement& element, QueueTarget& target) {
    std::string failure = target.spare;
    if (failure.empty() && refusedByRouter(target, reply)) {
        failure = stateText(TransferState::EndpointDisconnected);
    }
    if (failure.empty()) {
        failure = errorOf(reply);
        target.peerFailure = !failure.empty();
    }
    if (failure.empty() && !target.file) {
        failure = stateText(TransferState::Error);
    }
    if (failure.empty() && target.bytesDone != target.length) {
        failure = stateText(TransferState::LengthMismatch);
    }
    if (failure.empty()) {
        if (const char* mismatch = closingMismatch(reply, target.bytesDone, target.digest.GetDigest())) {
            failure = mismatch;
        }
    }
    if (failure.empty() && !element.closed) {
        holdProvenCopy(element, target);
        return;
    }
    leave(element, target, failure.empty() ? nullptr : failure.c_str());
}

void FileTransferService::holdProvenCopy(QueueElement& element, QueueTarget& target) {
    target.phase = TransferPhase::Proven;
    target.awaitingReply = false;
    const bool pending = std::any_of(element.targets.begin(), element.targets.end(), [](const QueueTarget& each) {
        return each.phase == TransferPhase::Installing;
    });
    if (!pending) {
        installCopy(element, target);
    }
}

void FileTransferService::installCopy(QueueElement& /*element*/, QueueTarget& target) {
    auto ticket = std::make_shared<InstallTicket>();
    target.phase = TransferPhase::Installing;
    target.install = InstallHold(ticket);
    install(std::move(target.file), ticket, [ticket](FileTransferService& self, const InstallResult& result) {
        self.copyInstalled(ticket.get(), result);
    });
}

void FileTransferService::copyInstalled(const InstallTicket* ticket, const InstallResult& result) {
    const Found found = findInstalling(ticket);
    if (!found) {
        return;  // ended meanwhile, and reported (or, by a stop, silenced) by what ended it
    }
    QueueElement& element = *found.element;
    found.target->install.Release();
    const bool ok = result.outcome == InstallResult::Installed;
    std::string failure;
    if (ok) {
        element.closed = true;
    } else {
        failure = result.outcome == InstallResult::Withdrawn ? std::string(TransferText::Canceled) : result.error;
        Warning("ZK7963W Cannot install received file: " + element.path, failure);
    }
    // Installed: the copies proven meanwhile succeed as they are. Not installed: this one
    // fails, and the next proven copy installs its own.
    std::vector<std::pair<LeavingTarget, bool>> left;
    std::vector<QueueTarget> kept;
    for (auto& each : element.targets) {
        const bool installed = &each == found.target;
        if (installed || (ok && each.phase == TransferPhase::Proven)) {
            left.emplace_back(leavingOf(element, each, ok || !installed), !ok && installed);
        } else {
            kept.push_back(std::move(each));
        }
    }
    element.targets = std::move(kept);
    const auto next = std::find_if(element.targets.begin(), element.targets.end(),
                                   [](const QueueTarget& each) { return each.phase == TransferPhase::Proven; });
    if (!ok && next != element.targets.end()) {
        installCopy(element, *next);
    }
    removeEmptyElements();
    for (auto& [gone, failed] : left) {
        updateTransferring(gone.target.socket);
        if (gone.target.file) {
            Detail("ZK7904I Local temporary file removed: ", gone.target.file->Target().string());
            gone.target.file.reset();
        }
    }
    // Last: a handler may stop the service.
    for (auto& [gone, failed] : left) {
        reportLeft(gone, failed ? failure.c_str() : nullptr);
    }
}

// --- leaving ----------------------------------------------------------------------------------

LeavingTarget FileTransferService::leavingOf(const QueueElement& element, QueueTarget& target, bool success) {
    LeavingTarget gone{ReportShell(element), std::move(target)};
    if (isOpenedGet(element)) {
        if (gone.target.blockSize != 0) {
            gone.element.blockSize = gone.target.blockSize;
        }
        if (success) {
            gone.element.length = gone.target.length;
            gone.element.checksum = gone.target.digest.GetDigest();
        }
    }
    return gone;
}

void FileTransferService::leave(QueueElement& element, QueueTarget& target, const char* error) {
    const bool failed = error != nullptr;
    const std::string text = failed ? error : "";
    LeavingTarget gone = leavingOf(element, target, !failed);
    auto& targets = element.targets;
    const auto at =
        std::find_if(targets.begin(), targets.end(), [&target](const QueueTarget& each) { return &each == &target; });
    if (at != targets.end()) {
        targets.erase(at);
    }
    continueAfterLeave(element);
    removeEmptyElements();
    updateTransferring(gone.target.socket);
    // A get's copy that came after the file was installed is dropped, its transfer
    // successful all the same; a failed one goes too.
    if (gone.target.file) {
        if (failed) {
            Detail("ZK7903I Removing local temporary file: ", gone.target.file->Target().string());
        } else {
            Detail("ZK7904I Local temporary file removed: ", gone.target.file->Target().string());
        }
        gone.target.file.reset();
    }
    reportLeft(gone, failed ? text.c_str() : nullptr);
}

void FileTransferService::reportLeft(LeavingTarget& left, const char* failure) {
    if (failure) {
        NotifyError(left.element, left.target, failure);
        return;
    }
    const std::uint64_t length =
        left.element.operation == TransferOperation::Receive ? left.target.length : left.element.length;
    const double percent = percentOf(left.target.bytesDone, length);
    if (percent != left.target.progress) {
        left.target.progress = percent;
        NotifyProgress(percent, left.element.path, left.target.id);
    }
    NotifyEnd(left.element, left.target);
}

// --- cancelling -------------------------------------------------------------------------------

void FileTransferService::CancelPutFile(const std::string& id, const std::string& remotePath) {
    onLoop([id, remotePath](FileTransferService& self) {
        // The element's file stays open: the other targets still read from it. Each
        // cancelled target ends at its next block or block reply.
        for (auto& element : self._activeList) {
            if (element.incoming) {
                continue;
            }
            for (auto& target : element.targets) {
                if (target.id == id && target.remotePath == remotePath) {
                    target.canceled = true;
                }
            }
        }
    });
}

}  // namespace Zelkor
