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

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/MessageForwardInfo.h"
#include "filetransfer/BlockDigest.h"
#include "filetransfer/SourceFile.h"
#include "filetransfer/TransferState.h"
#include "storage/FileReplacement.h"

namespace Zelkor {

class TcpSocket;

using TransferDone = std::function<void(bool success, const std::string& text)>;
using TransferClock = std::chrono::steady_clock;

// Which reply (or, answering a put, which request) a target waits for next; the last two
// wait for no peer: the target's received file is proven and waits for another copy's
// install (a get from several devices), or is with the worker for its sync and rename.
enum class TransferPhase { Nothing, Begin, Blocks, End, Proven, Installing };

// A received file handed to the worker: installed only if no one withdrew it first, so
// that a transfer ended while its file waits in the worker's queue changes no file.
// Threads: Withdraw on the loop, Begin on the worker.
class InstallTicket {
public:
    // True when the install may go ahead; from then on a withdrawal changes nothing.
    bool Begin();
    // False when the install had begun already.
    bool Withdraw();

private:
    enum State : int { Waiting, Begun, Withdrawn };
    std::atomic<int> _state{Waiting};
};

// A target's claim on the install of its file: dropping the target (a stop, a refresh)
// withdraws an install that has not begun. Move-only; a moved-from hold claims nothing.
class InstallHold {
public:
    InstallHold() = default;
    explicit InstallHold(std::shared_ptr<InstallTicket> ticket) : _ticket(std::move(ticket)) {}
    InstallHold(InstallHold&&) noexcept = default;
    InstallHold& operator=(InstallHold&& other) noexcept;
    ~InstallHold() { withdraw(); }

    bool Holds(const InstallTicket* ticket) const { return ticket && _ticket.get() == ticket; }
    // The result came: nothing is left to withdraw.
    void Release() { _ticket.reset(); }

private:
    void withdraw();

    std::shared_ptr<InstallTicket> _ticket;
};

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
    std::string deviceKey;   // the same GUID as the device list keys it, once started
    std::string localFile;   // the file this target writes (a get's destination answering: the served file)
    std::string remotePath;  // the path on the device ("path")
    std::string spare;
    // The failure is the peer's own, as its reply said, not one this node found.
    bool peerFailure = false;
    TransferDone done;
    std::shared_ptr<TcpSocket> socket;
    std::vector<std::shared_ptr<TcpSocket>> inbound;
    bool ended = false;
    BlockDigest digest;
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
    // A get opened here: the block size this target's device agreed to (0: not yet); its
    // blocks are held to it, whatever the other devices of the element agreed.
    std::uint64_t blockSize = 0;
    // While its received file is with the worker (phase Installing).
    InstallHold install;
    // The decoded block acknowledged and not yet written, at most one, and its number. It
    // goes to the disk once the next block is answered (or the data ends), so that no
    // write stands between a block and its reply while the peer waits for it.
    std::string pendingBlock;
    std::string pendingName;

    // The route every line to this target carries (its device's, or the request's).
    MessageForwardInfo header;
    // Answering side: the routed source of the requester (empty when direct).
    std::string source;
    TransferPhase phase = TransferPhase::Nothing;
};

// A target whose file is proven and waits for its install: it owes no peer a line.
inline bool WaitsForInstall(const QueueTarget& target) {
    return target.phase == TransferPhase::Proven || target.phase == TransferPhase::Installing;
}

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
    // A block's raw bytes: read for the next line (sending), or just decoded (receiving).
    // The buffer goes on to the digest, which hands another back.
    std::string blockText;
    TransferOperation operation = TransferOperation::Send;
    std::vector<QueueTarget> targets;
    BlockDigest digest;
    std::uint64_t blockSize = 0;
    std::uint64_t chunkSize = 0;
    std::uint64_t lastRead = 0;
    std::uint64_t length = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t blockNumber = 1;
    // What this side reads: a put's source file, or the file served to a get.
    std::unique_ptr<SourceFile> file;
    bool incoming = false;
    // A get opened here: a proven copy replaced the destination (set by the install's
    // success, not before).
    bool closed = false;
    double progress = 0.0;
};

}  // namespace Zelkor
