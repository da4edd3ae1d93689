#pragma once
// Why a transfer failed, told beside the library's state text: which side failed (this
// node, or the device as its reply said) and, where this node knows it, why. The state
// text alone reads the same for either side ("cannot open file").
//
// Threads: any; it reads the local file system only for a failure this node found.

#include <string>

namespace ZelkorNode {

struct TransferFailure {
    bool put = false;
    // The device's reply carried the failure.
    bool byDevice = false;
    std::string text;
    std::string local;
    std::string remote;
};

struct TransferReason {
    std::string side;  // "device" or "node"
    std::string reason;
};

TransferReason ReasonOf(const TransferFailure& failure);

}  // namespace ZelkorNode
