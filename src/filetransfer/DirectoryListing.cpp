#include "filetransfer/DirectoryListing.h"

#include <sys/stat.h>

#include <cerrno>

#include <boost/filesystem/operations.hpp>

#include "core/Digest.h"

namespace Zelkor {

namespace fs = boost::filesystem;

bool ReadFileAttributes(const std::string& path, ListFilesItem& item, int& error) {
    struct stat status {};
    errno = 0;
    if (::stat(path.c_str(), &status) != 0) {
        error = errno;
        return false;
    }
    item.name = fs::path(path).filename().string();
    item.size = static_cast<std::uint64_t>(status.st_size);
    // A time before the epoch has no unsigned form: absent, as a reader takes it.
    if (status.st_ctime >= 0) {
        item.creationdate = static_cast<std::uint64_t>(status.st_ctime);
    }
    if (status.st_mtime >= 0) {
        item.modifieddate = static_cast<std::uint64_t>(status.st_mtime);
    }
    if (!S_ISDIR(status.st_mode)) {
        std::string checksum;
        if (GetFileChecksum(path, checksum)) {
            item.checksum = std::move(checksum);
        }
    }
    return true;
}

ListingResult ListPath(const std::string& path, bool filesOnly, std::vector<ListFilesItem>& items, std::size_t most,
                       const std::function<void(const std::string&, int)>& skipped) {
    items.clear();
    boost::system::error_code code;
    const fs::file_status status = fs::status(path, code);
    if (code || !fs::exists(status)) {
        return ListingResult::NotFound;
    }
    const bool folder = fs::is_directory(status);
    if (!folder) {
        if (!filesOnly) {
            return ListingResult::IsFile;
        }
        ListFilesItem item;
        int error = 0;
        if (!ReadFileAttributes(path, item, error)) {
            if (skipped) {
                skipped(path, error);
            }
            return ListingResult::FileUnreadable;
        }
        items.push_back(std::move(item));
        return ListingResult::Listed;
    }
    if (filesOnly) {
        return ListingResult::IsFolder;
    }
    fs::directory_iterator entry(path, code);
    if (code) {
        return ListingResult::Failed;
    }
    for (const fs::directory_iterator end; entry != end; entry.increment(code)) {
        if (code) {
            items.clear();
            return ListingResult::Failed;
        }
        if (items.size() >= most) {
            items.clear();
            return ListingResult::TooMany;
        }
        const std::string entryPath = entry->path().string();
        ListFilesItem item;
        int error = 0;
        if (!ReadFileAttributes(entryPath, item, error)) {
            if (skipped) {
                skipped(entryPath, error);
            }
            continue;
        }
        items.push_back(std::move(item));
    }
    if (code) {
        items.clear();
        return ListingResult::Failed;
    }
    return ListingResult::Listed;
}

}  // namespace Zelkor
