#include "filetransfer/DiskJobShares.h"

namespace Zelkor {

bool DiskJobShares::Take(const Requester& requester, std::size_t bytes) {
    if (_totalBytes + bytes > MaxTotalBytes) {
        return false;
    }
    Share& share = _shares[requester];
    if (share.jobs + 1 > MaxJobs || share.bytes + bytes > MaxBytes) {
        if (share.jobs == 0) {
            _shares.erase(requester);
        }
        return false;
    }
    ++share.jobs;
    share.bytes += bytes;
    _totalBytes += bytes;
    return true;
}

void DiskJobShares::Give(const Requester& requester, std::size_t bytes) {
    const auto found = _shares.find(requester);
    if (found == _shares.end()) {
        return;
    }
    Share& share = found->second;
    share.jobs -= share.jobs > 0 ? 1 : 0;
    share.bytes -= bytes < share.bytes ? bytes : share.bytes;
    _totalBytes -= bytes < _totalBytes ? bytes : _totalBytes;
    if (share.jobs == 0) {
        _shares.erase(found);
    }
}

bool DiskJobShares::Holds(const void* connection) const {
    const auto found = _shares.lower_bound(Requester(connection, std::string()));
    return found != _shares.end() && found->first.first == connection && found->second.jobs > 0;
}

std::size_t DiskJobShares::Jobs(const Requester& requester) const {
    const auto found = _shares.find(requester);
    return found == _shares.end() ? 0 : found->second.jobs;
}

}  // namespace Zelkor
