#include "filetransfer/FileSystemImpl.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <fstream>
#include <limits>
#include <memory>
#include <system_error>

#include <boost/filesystem/operations.hpp>

#include "core/Digest.h"
#include "filetransfer/DirectoryListing.h"
#include "filetransfer/FileSystemPaths.h"
#include "filetransfer/SourceFile.h"

namespace Zelkor {

namespace fs = boost::filesystem;

namespace {

constexpr std::uint32_t kDefaultBlockSize = 32768;
constexpr std::uint32_t kMostBlockSize = 268435456;
constexpr std::size_t kChecksumChunk = 524288;
// Read takes the bytes a piece at a time, so that a large count on a short file grows the
// output only by what is there.
constexpr std::size_t kReadPiece = std::size_t{1} << 20;
// The application's listings are its own to bound.
constexpr std::size_t kNoBound = std::numeric_limits<std::size_t>::max();

std::fstream* streamOf(void* handle) {
    return handle == nullptr || handle == NoFileHandle() ? nullptr : static_cast<std::fstream*>(handle);
}

// The error code is set also for a path that does not resolve; the status tells that apart
// from a status that cannot be read.
bool missing(const fs::file_status& status) { return status.type() == fs::file_not_found; }

std::string systemText(int error) { return std::system_category().message(error); }

// What a thrown file-system error would say.
std::string describe(const boost::system::error_code& code, const std::string& path) {
    return code.message() + ": \"" + path + "\"";
}

std::string folderFailure(const boost::system::error_code& code) {
    return code.value() == EACCES ? "Access denied or Readonly Directory/files" : "Operation failed";
}

// Links are never followed: a link inside the tree, or the tree itself a link, goes as a
// link, so a removal never reaches into a folder elsewhere.
bool removeTree(const fs::path& folder) {
    boost::system::error_code code;
    const fs::file_status status = fs::symlink_status(folder, code);
    if (code) {
        return false;
    }
    if (!fs::is_directory(status)) {
        return fs::remove(folder, code) && !code;
    }
    fs::directory_iterator entry(folder, code);
    if (!code) {
        for (const fs::directory_iterator end; entry != end; entry.increment(code)) {
            if (code || !removeTree(entry->path())) {
                return false;
            }
        }
    }
    // An unreadable folder is removed only when it is empty; a folder still holding
    // anything is a failure, whatever the walk reported.
    code.clear();
    return fs::remove(folder, code) && !code;
}

}  // namespace

void* FileSystemImpl::Create(const char* path, std::string& error, bool truncate) {
    try {
        if (!path) {
            error = "Path not found";
            return NoFileHandle();
        }
        const fs::path file(path);
        if (file.has_parent_path()) {
            boost::system::error_code code;
            const fs::file_status parent = fs::status(file.parent_path(), code);
            if (code || !fs::exists(parent)) {
                error = "Path not found";
                return NoFileHandle();
            }
        }
        // Without truncation an output stream would still empty the file; appending keeps
        // what is there.
        const std::ios::openmode mode =
            std::ios::out | std::ios::binary | (truncate ? std::ios::trunc : std::ios::app);
        auto stream = std::make_unique<std::fstream>(path, mode);
        if (!stream->is_open()) {
            error = "Access denied";
            return NoFileHandle();
        }
        return stream.release();
    } catch (const std::exception& exception) {
        logException("Create: Exception: ", exception.what());
        error = "Access denied";
        return NoFileHandle();
    }
}

void* FileSystemImpl::Open(const char* path) {
    try {
        if (!path) {
            return NoFileHandle();
        }
        auto stream = std::make_unique<std::fstream>(path, std::ios::in | std::ios::binary);
        return stream->is_open() ? stream.release() : NoFileHandle();
    } catch (const std::exception& exception) {
        logException("Open: Exception: ", exception.what());
        return NoFileHandle();
    }
}

bool FileSystemImpl::Close(void* handle) {
    std::fstream* const raw = streamOf(handle);
    if (!raw) {
        Warning("Invalid File Handle");
        return false;
    }
    const std::unique_ptr<std::fstream> stream(raw);
    try {
        // A final flush that fails loses written bytes; the caller hears of it.
        return !stream->is_open() || stream->rdbuf()->close() != nullptr;
    } catch (const std::exception& exception) {
        logException("Close: Exception: ", exception.what());
        return false;
    }
}

bool FileSystemImpl::Delete(const char* path, std::string& error) {
    if (!path) {
        return false;
    }
    try {
        boost::system::error_code code;
        // A link goes as itself, whatever it points at.
        const fs::file_status status = fs::symlink_status(path, code);
        if (fs::is_directory(status)) {
            error = "Path is folder";
            return false;
        }
        if (missing(status)) {
            error = "File not found";
            return false;
        }
        if (code) {
            error = code.message();
            return false;
        }
        if (::unlink(path) != 0) {
            error = systemText(errno);
            return false;
        }
        Info("File Deletion successful", path);
        return true;
    } catch (const std::exception& exception) {
        logException("Delete: Exception: ", exception.what());
        error = "Operation failed";
        return false;
    }
}

bool FileSystemImpl::Append(void* handle, const std::vector<unsigned char>& bytes) {
    std::fstream* const stream = streamOf(handle);
    if (!stream) {
        Warning("Invalid File Handle");
        return false;
    }
    if (bytes.empty()) {
        return true;
    }
    try {
        stream->write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    } catch (const std::exception& exception) {
        logException("Cannot write file: ", exception.what());
        return false;
    }
    return stream->good();
}

bool FileSystemImpl::Read(void* handle, std::uint32_t count, std::vector<unsigned char>& out) {
    std::fstream* const stream = streamOf(handle);
    if (!stream) {
        Warning("Invalid File Handle");
        return false;
    }
    try {
        out.clear();
        std::size_t left = count;
        while (left > 0) {
            const std::size_t piece = std::min(left, kReadPiece);
            const std::size_t had = out.size();
            out.resize(had + piece);
            stream->read(reinterpret_cast<char*>(out.data() + had), static_cast<std::streamsize>(piece));
            const auto got = static_cast<std::size_t>(std::max<std::streamsize>(stream->gcount(), 0));
            out.resize(had + got);
            left -= got;
            if (got < piece) {
                break;
            }
        }
        return true;
    } catch (const std::exception& exception) {
        logException("Read: Exception: ", exception.what());
        out.clear();
        return false;
    }
}

bool FileSystemImpl::MKDIR(const std::string& path, std::string& error) {
    try {
        boost::system::error_code code;
        if (fs::exists(path, code)) {
            Warning("MKDIR: Path already exists");
            error = "Path already exists";
            return false;
        }
        // A status that cannot be read is the creation's failure to report.
        code.clear();
        const bool made = fs::create_directories(path, code);
        if (code) {
            error = folderFailure(code);
            Error("MKDIR: Exception: " + describe(code, path));
            return false;
        }
        if (!made) {
            error = "Operation failed";
            Error("MKDIR: Create_directory");
            return false;
        }
        return true;
    } catch (const std::exception& exception) {
        error = "Operation failed";
        logException("MKDIR: Exception: ", exception.what());
        return false;
    }
}

bool FileSystemImpl::RMDIR(const std::string& path, std::string& error) {
    try {
        boost::system::error_code code;
        const fs::file_status status = fs::status(path, code);
        if (missing(status)) {
            Warning("RMDIR: Path not found");
            error = "Path not found";
            return false;
        }
        if (code) {
            error = folderFailure(code);
            Error("RMDIR: Exception: " + describe(code, path));
            return false;
        }
        if (!fs::is_directory(status)) {
            Warning("RMDIR: Path is file");
            error = "Path is file";
            return false;
        }
        if (!RemoveDir(path)) {
            error = "Operation failed";
            Error("RMDIR: Operation failed");
            return false;
        }
        return true;
    } catch (const std::exception& exception) {
        error = "Operation failed";
        logException("RMDIR: Exception: ", exception.what());
        return false;
    }
}

bool FileSystemImpl::RemoveDir(const std::string& path) const {
    try {
        // "link/" would name the folder behind the link: its normal form names the link.
        const std::string normal = NormalPath(path);
        return !normal.empty() && removeTree(normal);
    } catch (const std::exception& exception) {
        logException("RemoveDir: Exception: ", exception.what());
        return false;
    }
}

std::uint64_t FileSystemImpl::Freespace(const char* path) {
    if (!path) {
        return 0;
    }
    try {
        boost::system::error_code code;
        const fs::space_info space = fs::space(path, code);
        if (code) {
            Error("Freespace exception: " + describe(code, path));
            return 0;
        }
        return space.free;
    } catch (const std::exception& exception) {
        logException("Freespace exception: ", exception.what());
        return 0;
    }
}

bool FileSystemImpl::GetFileChecksum(const std::string& path, std::string& checksum) {
    if (path.empty()) {
        Warning("File Path Empty");
        return false;
    }
    try {
        MD5Digest digest;
        const bool read = ReadBlocks(
            path, kChecksumChunk,
            [&digest](const unsigned char* bytes, unsigned long count) {
                digest.Update(reinterpret_cast<const char*>(bytes), count);
            },
            std::ios::binary);
        if (!read) {
            return false;
        }
        checksum = digest.GetDigest();
        return true;
    } catch (const std::exception& exception) {
        logException("GetFileChecksum: Exception: ", exception.what());
        return false;
    }
}

bool FileSystemImpl::ReadBlocks(const std::string& path, std::size_t chunk, const BlockConsumer& consumer,
                                std::ios::openmode /*mode*/) const {
    if (!consumer || chunk == 0) {
        return false;
    }
    // Only a regular file has an end to reach: opening a pipe waits for a writer, and a
    // device may never end. The source file refuses both, and fails the read of a file
    // that waits for data rather than wait with it.
    std::string error;
    const auto file = SourceFile::Open(path, error);
    if (!file) {
        return false;
    }
    // Read to the end the reads find, not to the size of the status: a file may change
    // meanwhile, and some report no size at all.
    std::vector<unsigned char> buffer(static_cast<std::size_t>(std::clamp<std::uint64_t>(file->Size(), 1, chunk)));
    for (;;) {
        const long got = file->Read(reinterpret_cast<char*>(buffer.data()), buffer.size(), error);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            return true;
        }
        consumer(buffer.data(), static_cast<unsigned long>(got));
    }
}

bool FileSystemImpl::GetFileAttributesInfo(const std::string& path, ListFilesItem& item) const {
    int error = 0;
    if (!ReadFileAttributes(path, item, error)) {
        logUnreadable(path, error);
        return false;
    }
    return true;
}

bool FileSystemImpl::GetFileInfoList(const std::string& path, std::vector<ListFilesItem>& items) {
    if (path.empty()) {
        return false;
    }
    try {
        const auto skipped = [this](const std::string& entry, int error) { logUnreadable(entry, error); };
        switch (ListPath(path, false, items, kNoBound, skipped)) {
        case ListingResult::Listed:
            return true;
        case ListingResult::IsFile:
        case ListingResult::NotFound: {
            ListFilesItem item;
            if (GetFileAttributesInfo(path, item)) {
                items.push_back(std::move(item));
            }
            return true;
        }
        default:
            return false;
        }
    } catch (const std::exception& exception) {
        logException("GetFileInfoList: Exception: ", exception.what());
        items.clear();
        return false;
    }
}

bool FileSystemImpl::GetListFiles(const char* path, std::vector<ListFilesItem>& items, std::string& error,
                                  bool fileOnly) {
    items.clear();
    if (!path) {
        error = "Path not found";
        return false;
    }
    try {
        const auto skipped = [this](const std::string& entry, int code) { logUnreadable(entry, code); };
        switch (ListPath(path, fileOnly, items, kNoBound, skipped)) {
        case ListingResult::Listed:
        case ListingResult::FileUnreadable:  // skipped and logged, as an entry of a folder is
            return true;
        case ListingResult::NotFound:
            error = "Path not found";
            return false;
        case ListingResult::IsFolder:
            error = "Path is directory";
            return false;
        case ListingResult::IsFile:
            error = "Path is a file";
            return false;
        case ListingResult::Failed:
        case ListingResult::TooMany:
        case ListingResult::LeavesRoot:
            break;
        }
        error = "Access Denied";
        return false;
    } catch (const std::exception& exception) {
        logException("GetListFiles: Exception: ", exception.what());
        items.clear();
        error = "Access Denied";
        return false;
    }
}

std::uint32_t FileSystemImpl::GetBlockSize(std::uint32_t n) { return n == 0 ? kDefaultBlockSize : std::min(n, kMostBlockSize); }

void FileSystemImpl::logUnreadable(const std::string& path, int error) const {
    Error("Could not get file properties", path + ": " + systemText(error));
}

void FileSystemImpl::logException(const char* prefix, const char* text) const noexcept {
    try {
        Error(std::string(prefix) + text);
    } catch (...) {
        // Nothing is left to tell it with.
    }
}

}  // namespace Zelkor
