#include "filetransfer/TransferRecords.h"

#include <utility>

#include "filetransfer/BlockSize.h"

namespace Zelkor {

bool InstallTicket::Begin() {
    int expected = Waiting;
    return _state.compare_exchange_strong(expected, Begun);
}

bool InstallTicket::Withdraw() {
    int expected = Waiting;
    return _state.compare_exchange_strong(expected, Withdrawn) || expected == Withdrawn;
}

InstallHold& InstallHold::operator=(InstallHold&& other) noexcept {
    if (this != &other) {
        withdraw();
        _ticket = std::move(other._ticket);
        other._ticket.reset();
    }
    return *this;
}

void InstallHold::withdraw() {
    if (_ticket) {
        _ticket->Withdraw();
        _ticket.reset();
    }
}

QueueTarget::QueueTarget(std::string id_, std::string remotePath_, TransferDone done_)
    : id(std::move(id_)), remotePath(std::move(remotePath_)), done(std::move(done_)) {}

QueueTarget::QueueTarget(std::string localFile_, std::shared_ptr<TcpSocket> socket_, std::string source_,
                         MessageForwardInfo header_)
    : localFile(std::move(localFile_)),
      socket(std::move(socket_)),
      lastActivity(TransferClock::now()),
      header(std::move(header_)),
      source(std::move(source_)) {}

QueueElement::QueueElement(std::string path_, std::uint64_t blockSize_, std::vector<QueueTarget> targets_,
                           TransferOperation operation_)
    : path(std::move(path_)),
      operation(operation_),
      targets(std::move(targets_)),
      blockSize(blockSize_),
      chunkSize(ChunkSizeOf(blockSize_)) {}

QueueElement::QueueElement(std::string path_, std::uint64_t length_, std::uint64_t blockSize_,
                           std::uint64_t chunkSize_, std::string checksum_, TransferOperation operation_)
    : path(std::move(path_)),
      checksum(std::move(checksum_)),
      operation(operation_),
      blockSize(blockSize_),
      chunkSize(chunkSize_),
      length(length_),
      incoming(true) {}

}  // namespace Zelkor
