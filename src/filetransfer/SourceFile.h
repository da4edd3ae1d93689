#pragma once
// A file read block by block for sending: the file a put sends, or the file a device
// serves to a get. Its size is taken when it opens, so that a file that shrinks while it
// is sent is noticed rather than sent short with a matching length.
//
// Ownership: owns its descriptor, closed with the object. Threads: one thread at a time.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "storage/FileDescriptor.h"

namespace Zelkor {

class SourceFile {
public:
    // Opens a regular file for reading; null with `error` set to the system's text (a
    // folder is refused as one).
    static std::unique_ptr<SourceFile> Open(const std::string& path, std::string& error);
    // The same for a file opened already (non-blocking, as Open opens it), which the
    // object then owns.
    static std::unique_ptr<SourceFile> Adopt(FileDescriptor file, std::string& error);
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;

    // The size when the file was opened.
    std::uint64_t Size() const { return _size; }
    // Reads up to `count` bytes at the current position: the count (0 at the end), or -1
    // with `error` set on a read failure. Interrupted reads are retried.
    long Read(char* buffer, std::size_t count, std::string& error);

private:
    SourceFile(FileDescriptor file, std::uint64_t size) : _file(std::move(file)), _size(size) {}
    FileDescriptor _file;
    std::uint64_t _size;
};

}  // namespace Zelkor
