#pragma once
// The records of the transfer queue: one QueueElement per file, one QueueTarget per peer
// of it. A controller's elements are made by the queue and started by the timer; the
// answering side makes one element with one target per "putfile"/"getfile" it accepts.
// Both sit in the service's active list.
//
// Ownership: an element owns the file it reads, a target the temporary file it writes
// (removed with the target unless installed). Records move, never copy, so that every
// file is closed exactly once. Threads: the waiting queue under the service's queue
// mutex, everything else on the event-loop thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Digest.h"
#include "core/MessageForwardInfo.h"
#include "filetransfer/SourceFile.h"
#include "filetransfer/TransferState.h"
#include "storage/FileReplacement.h"

namespace Zelkor {

class TcpSocket;

using TransferDone = std::function<void(bool success, const std::string& text)>;
using TransferClock = std::chrono::steady_clock;

// Which reply (or, answering a put, which request) a target waits for next.
enum class TransferPhase { Nothing, Begin, Blocks, End };

struct QueueTarget {
    QueueTarget() = default;
    // A controller's target, made by the queue.
    QueueTarget(std::string id, std::string remotePath, TransferDone done);
    // An answering side's target: the file named in the request, the requesting
    // connection, the request's routed source and its route (reply form, no hash).
    QueueTarget(std::string localFile, std::shared_ptr<TcpSocket> socket, std::string source,
                MessageForwardInfo header);
    QueueTarget(QueueTarget&&) = default;
    QueueTarget& operator=(QueueTarget&&) = default;

    std::string id;          // the device's GUID text; empty on the answering side
    std::string localFile;   // the file this target writes (a get's destination answering: the served file)
    std::string remotePath;  // the path on the device ("path")
    std::string spare;
    TransferDone done;
    std::shared_ptr<TcpSocket> socket;
    std::vector<std::shared_ptr<TcpSocket>> inbound;
    bool ended = false;
    MD5Digest digest;
    std::uint64_t length = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t blockNumber = 1;
    // Set at the start and at every line; a steady clock, so that a clock change neither
    // times everything out nor nothing.
    TransferClock::time_point lastActivity{};
    // What this side writes: the unnamed temporary installed over `localFile` (a get
    // opened here) or over the request's path (a put answered here).
    std::unique_ptr<FileReplacement> file;
    bool awaitingReply = false;
    bool canceled = false;
    bool failed = false;
    double progress = 0.0;

    // The route every line to this target carries (its device's, or the request's).
    MessageForwardInfo header;
    // Answering side: the routed source of the requester (empty when direct).
    std::string source;
    TransferPhase phase = TransferPhase::Nothing;
};

struct QueueElement {
    QueueElement() = default;
    // A controller's element, made by the queue.
    QueueElement(std::string path, std::uint64_t blockSize, std::vector<QueueTarget> targets,
                 TransferOperation operation);
    // An answering side's element.
    QueueElement(std::string path, std::uint64_t length, std::uint64_t blockSize, std::uint64_t chunkSize,
                 std::string checksum, TransferOperation operation);
    QueueElement(QueueElement&&) = default;
    QueueElement& operator=(QueueElement&&) = default;

    std::string path;
    std::string checksum;
    // The next composed block line, without routing header; empty when none waits.
    std::string chunk;
    std::string blockNoText;
    std::string blockText;
    TransferOperation operation = TransferOperation::Send;
    std::vector<QueueTarget> targets;
    MD5Digest digest;
    std::uint64_t blockSize = 0;
    std::uint64_t chunkSize = 0;
    std::uint64_t lastRead = 0;
    std::uint64_t length = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t blockNumber = 1;
    // What this side reads: a put's source file, or the file served to a get.
    std::unique_ptr<SourceFile> file;
    bool incoming = false;
    bool closed = false;
    double progress = 0.0;
};

}  // namespace Zelkor
