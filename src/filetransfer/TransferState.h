#pragma once
// The results of a file transfer and the direction of one. Every result, good or bad, is
// one TransferState; its fixed text travels in the "error" parameter of the transfer
// messages and in the reports to the application, so the texts are part of the wire.
//
// Threads: the table is built once, before first use, and only read afterwards.

#include <cstdint>
#include <map>

namespace Zelkor {

// Names the message that opened a transfer, not the direction seen from the node that
// holds it: a controller's put and a device's answer to "putfile" both carry Send.
enum class TransferOperation : std::uint32_t { Send = 0, Receive = 1 };

enum class TransferState {
    Ready = 0,
    Started = 1,
    EndpointUnknown = 2,
    FileMissing = 3,
    SourceIsFolder = 4,
    CannotStat = 5,
    LocalFileEmpty = 6,
    CannotCreateFstream = 7,
    CannotOpenFile = 8,
    CannotRename = 9,
    CannotRemove = 10,
    NoConnection = 11,
    UnexpectedReply = 12,
    Error = 13,
    BlockProcessed = 14,
    TransferCompleted = 15,
    StateMissing = 16,
    StateInvalid = 17,
    LengthMissing = 18,
    LengthInvalid = 19,
    LengthMismatch = 20,
    ChecksumMismatch = 21,
    PathMissing = 22,
    PathInvalid = 23,
    EndpointDisconnected = 24,
    Timeout = 25,
};

// All 26 states with their texts ("ready" ... "timeout").
const std::map<TransferState, const char*>& TransferStateMessage();
// The text of a state; never null.
const char* TransferStateText(TransferState state);

// Texts of the transfer that are not states.
namespace TransferText {
// What a peer that cancelled answers a block with, and what a cancelled target reports.
inline constexpr const char* PeerCanceled = "Transfer canceled";
inline constexpr const char* Canceled = "transfer canceled";
// A block whose data is not whole Base64, larger than the block size, or out of order.
inline constexpr const char* InvalidBlock = "invalid block";
// An opening while as many transfers as allowed are active.
inline constexpr const char* TooManyTransfers = "too many transfers";
// A transfer whose digest was lost (its worker stopped with blocks waiting): no side
// vouches for the bytes, so nothing is installed on them.
inline constexpr const char* ChecksumUnavailable = "checksum unavailable";
inline constexpr const char* Success = "Success";
}  // namespace TransferText

}  // namespace Zelkor
