#pragma once
// The application's file-system object (see IFileSystem.h): plain files and folders on the
// local disk, listed through the node's one directory walk (DirectoryListing.h) with this
// object's own texts.
//
// Ownership: a handle from Create or Open is a file stream owned by the caller until Close.
// The object owns nothing else; it logs under the module name the application gives it.
//
// Threads: no state besides the module name; calls may run on any thread at once. The
// operations block on the disk, so a program with an event loop runs them off it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ios>
#include <string>
#include <utility>
#include <vector>

#include "core/ZelkorLoggable.h"
#include "filetransfer/IFileSystem.h"
#include "filetransfer/ListFilesItem.h"

namespace Zelkor {

class FileSystemImpl final : public IFileSystem, public ZelkorLoggable {
public:
    using BlockConsumer = std::function<void(const unsigned char* bytes, unsigned long count)>;

    FileSystemImpl() = default;
    explicit FileSystemImpl(std::string moduleName) : ZelkorLoggable(std::move(moduleName)) {}

    void* Create(const char* path, std::string& error, bool truncate) override;
    void* Open(const char* path) override;
    bool Close(void* handle) override;
    bool Delete(const char* path, std::string& error) override;
    bool Append(void* handle, const std::vector<unsigned char>& bytes) override;
    bool Read(void* handle, std::uint32_t count, std::vector<unsigned char>& out) override;
    bool MKDIR(const std::string& path, std::string& error) override;
    bool RMDIR(const std::string& path, std::string& error) override;
    std::uint64_t Freespace(const char* path) override;
    bool GetFileChecksum(const std::string& path, std::string& checksum) override;
    bool GetListFiles(const char* path, std::vector<ListFilesItem>& items, std::string& error,
                      bool fileOnly) override;
    bool GetFileInfoList(const std::string& path, std::vector<ListFilesItem>& items) override;
    std::uint32_t GetBlockSize(std::uint32_t n) override;

    // Hands a regular file's bytes to `consumer`, at most `chunk` at a time, in order.
    // True once the end was reached (an empty file: true without a call); false when the
    // path is no regular file (a pipe is never opened), cannot be opened, or a read fails.
    bool ReadBlocks(const std::string& path, std::size_t chunk, const BlockConsumer& consumer,
                    std::ios::openmode mode) const;
    // Removes a folder and everything below it without following symbolic links (a link is
    // removed as itself); false when anything, the folder included, is still there.
    bool RemoveDir(const std::string& path) const;
    // The listing entry of `path` (links followed); false, logged, when its status cannot
    // be read.
    bool GetFileAttributesInfo(const std::string& path, ListFilesItem& item) const;

private:
    void logUnreadable(const std::string& path, int error) const;
    // Logs `prefix` and the text of what was thrown, at error level.
    void logException(const char* prefix, const char* text) const noexcept;
};

}  // namespace Zelkor
