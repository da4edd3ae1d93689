#pragma once
// The small file-system object offered to the application: files through opaque handles,
// folders, free space, a file's MD5 digest, listings and block sizes. The library never
// calls it itself; an application builds a FileSystemImpl and uses it through this
// interface.
//
// Handles: Create and Open hand the caller a stream it owns until it gives the handle back
// to Close (exactly once). NoFileHandle() (all bits set) means that there is no file; every
// operation taking a handle refuses it.
//
// Failures are results and error texts; no operation throws.
//
// The interface is not for deleting through: an implementation is owned and destroyed as
// itself.
//
// Threads: the object holds no state; any thread may call it, a handle is used by one
// thread at a time.

#include <cstdint>
#include <string>
#include <vector>

#include "filetransfer/ListFilesItem.h"

namespace Zelkor {

// The handle of no file: minus one, all bits set.
inline void* NoFileHandle() { return reinterpret_cast<void*>(~std::uintptr_t{0}); }

class IFileSystem {
public:
    // A stream writing `path`: with `truncate` the file starts empty, without it the bytes
    // already there stay and writes go to its end. NoFileHandle() with "Path not found" or
    // "Access denied" in `error`.
    virtual void* Create(const char* path, std::string& error, bool truncate) = 0;
    // A stream reading `path`, or NoFileHandle(). A pipe's opening waits for its writer, as
    // the system's does.
    virtual void* Open(const char* path) = 0;
    // Closes and destroys the handle's stream; false for no file or a failed final write.
    virtual bool Close(void* handle) = 0;
    virtual bool Delete(const char* path, std::string& error) = 0;
    virtual bool Append(void* handle, const std::vector<unsigned char>& bytes) = 0;
    // Up to `count` bytes into `out` (emptied first); true also when nothing was left.
    virtual bool Read(void* handle, std::uint32_t count, std::vector<unsigned char>& out) = 0;
    // Makes the folder with every missing parent.
    virtual bool MKDIR(const std::string& path, std::string& error) = 0;
    // Removes the folder with everything below it; a symbolic link is removed as a link.
    virtual bool RMDIR(const std::string& path, std::string& error) = 0;
    // Free bytes of the file system holding `path` (not those available to unprivileged
    // users); 0 when unknown.
    virtual std::uint64_t Freespace(const char* path) = 0;
    // MD5 of a regular file's bytes, 32 lowercase hexadecimal digits.
    virtual bool GetFileChecksum(const std::string& path, std::string& checksum) = 0;
    // A folder's entries, or with `fileOnly` a file's own entry.
    virtual bool GetListFiles(const char* path, std::vector<ListFilesItem>& items, std::string& error,
                              bool fileOnly) = 0;
    // A folder's entries, or the entry of the path itself.
    virtual bool GetFileInfoList(const std::string& path, std::vector<ListFilesItem>& items) = 0;
    // 0 gives 32768; otherwise n, at most 268435456.
    virtual std::uint32_t GetBlockSize(std::uint32_t n) = 0;

protected:
    IFileSystem() = default;
    IFileSystem(const IFileSystem&) = default;
    IFileSystem& operator=(const IFileSystem&) = default;
    ~IFileSystem() = default;
};

}  // namespace Zelkor
