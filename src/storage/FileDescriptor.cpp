#include "storage/FileDescriptor.h"

#include <unistd.h>

#include <utility>

namespace Zelkor {

FileDescriptor::~FileDescriptor() { Close(); }

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept
    : _descriptor(std::exchange(other._descriptor, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        Close();
        _descriptor = std::exchange(other._descriptor, -1);
    }
    return *this;
}

int FileDescriptor::Close() {
    // Not retried on EINTR: on Linux the descriptor is gone whatever close says.
    return _descriptor < 0 ? 0 : ::close(std::exchange(_descriptor, -1));
}

}  // namespace Zelkor
