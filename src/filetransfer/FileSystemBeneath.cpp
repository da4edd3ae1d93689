#include "filetransfer/FileSystemBeneath.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include "core/Digest.h"
#include "filetransfer/TransferPath.h"
#include "transport/LinuxPlatform.h"

namespace Zelkor {

namespace {

using Opened = TransferPath::Opened;

std::vector<std::string> elementsOf(const std::string& path) {
    std::vector<std::string> elements;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        std::string element = path.substr(start, slash - start);
        start = slash + 1;
        if (!element.empty() && element != ".") {
            elements.push_back(std::move(element));
        }
    }
    return elements;
}

TransferPath below(const std::string& root, const std::string& relative) { return TransferPath(root, relative, true); }

struct DirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;

// The folder open for reading its entries; null with errno set.
Directory readable(int descriptor) {
    const int own = openat(descriptor, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (own < 0) {
        return nullptr;
    }
    Directory directory(fdopendir(own));
    if (!directory) {
        const int error = errno;
        close(own);
        errno = error;
    }
    return directory;
}

bool isDots(const char* name) { return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')); }

// `name` in the open folder `parent` and everything below it, never through a link: each
// folder is opened by its one name in its parent, refusing a link in its place.
int removeTree(int parent, const char* name) {
    const int own = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (own < 0) {
        return errno;
    }
    Directory directory(fdopendir(own));
    if (!directory) {
        const int error = errno;
        close(own);
        return error;
    }
    const int folder = dirfd(directory.get());
    errno = 0;
    while (const dirent* entry = readdir(directory.get())) {
        if (isDots(entry->d_name)) {
            continue;
        }
        struct stat status {};
        if (fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                continue;  // gone meanwhile
            }
            return errno;
        }
        const int result = S_ISDIR(status.st_mode) ? removeTree(folder, entry->d_name)
                           : unlinkat(folder, entry->d_name, 0) == 0 || errno == ENOENT ? 0
                                                                                        : errno;
        if (result != 0) {
            return result;
        }
        errno = 0;
    }
    if (errno != 0) {
        return errno;
    }
    directory.reset();
    return unlinkat(parent, name, AT_REMOVEDIR) == 0 ? 0 : errno;
}

// An entry's attributes as ReadFileAttributes gives them, the entry reached beneath the
// root; false with the errno value in `error`.
bool readAttributes(const TransferPath& entry, const std::string& name, ListFilesItem& item, int& error) {
    const Opened found = entry.Open(O_PATH);
    struct stat status {};
    if (!found.descriptor.IsOpen() || fstat(found.descriptor.Get(), &status) != 0) {
        error = found.descriptor.IsOpen() ? errno : found.error;
        return false;
    }
    item.name = name;
    item.size = static_cast<std::uint64_t>(status.st_size);
    if (status.st_ctime >= 0) {
        item.creationdate = static_cast<std::uint64_t>(status.st_ctime);
    }
    if (status.st_mtime >= 0) {
        item.modifieddate = static_cast<std::uint64_t>(status.st_mtime);
    }
    // Only a regular file is opened for its content: a device's open may act.
    if (S_ISREG(status.st_mode)) {
        const FileDescriptor content(Platform::Reopen(found.descriptor.Get(), O_RDONLY | O_NONBLOCK | O_NOCTTY));
        std::string checksum;
        if (content.IsOpen() && GetDescriptorChecksum(content.Get(), checksum)) {
            item.checksum = std::move(checksum);
        }
    }
    return true;
}

}  // namespace

std::string PathBelowRoot(const std::string& path) {
    std::string relative;
    for (const auto& element : elementsOf(path)) {
        relative += relative.empty() ? element : "/" + element;
    }
    return relative;
}

int RemoveFileBeneath(const std::string& root, const std::string& path) {
    const std::string relative = PathBelowRoot(path);
    const TransferPath named = below(root, relative);
    if (relative.empty() || named.Name() == "..") {
        return EISDIR;
    }
    const Opened folder = named.OpenFolder();
    if (!folder.descriptor.IsOpen()) {
        return folder.error;
    }
    struct stat status {};
    if (fstatat(folder.descriptor.Get(), named.Name().c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    if (S_ISDIR(status.st_mode)) {
        return EISDIR;
    }
    return unlinkat(folder.descriptor.Get(), named.Name().c_str(), 0) == 0 ? 0 : errno;
}

int MakeFoldersBeneath(const std::string& root, const std::string& path) {
    bool made = false;
    std::string reached;
    for (const auto& element : elementsOf(path)) {
        reached += reached.empty() ? element : "/" + element;
        const TransferPath named = below(root, reached);
        const Opened there = named.Open(O_PATH | O_DIRECTORY);
        if (there.descriptor.IsOpen()) {
            continue;
        }
        if (there.error != ENOENT) {
            return there.error;
        }
        const Opened folder = named.OpenFolder();
        if (!folder.descriptor.IsOpen()) {
            return folder.error;
        }
        // One made meanwhile by another is as good; the next element is opened beneath
        // the root again, whatever stands there now.
        if (mkdirat(folder.descriptor.Get(), element.c_str(), 0777) == 0) {
            made = true;
        } else if (errno != EEXIST) {
            return errno;
        }
    }
    return made ? 0 : EEXIST;
}

int RemoveFolderBeneath(const std::string& root, const std::string& path) {
    const std::string relative = PathBelowRoot(path);
    const TransferPath named = below(root, relative);
    if (relative.empty() || named.Name() == "..") {
        return EBUSY;
    }
    const Opened folder = named.OpenFolder();
    if (!folder.descriptor.IsOpen()) {
        return folder.error == EXDEV ? EXDEV : ENOTDIR;
    }
    struct stat status {};
    if (fstatat(folder.descriptor.Get(), named.Name().c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(status.st_mode)) {
        return ENOTDIR;
    }
    return removeTree(folder.descriptor.Get(), named.Name().c_str());
}

int FreeSpaceBeneath(const std::string& root, const std::string& path, std::uint64_t& free) {
    const Opened found = below(root, PathBelowRoot(path)).Open(O_PATH);
    if (!found.descriptor.IsOpen()) {
        return found.error;
    }
    struct statvfs space {};
    if (fstatvfs(found.descriptor.Get(), &space) != 0) {
        return errno;
    }
    free = static_cast<std::uint64_t>(space.f_bfree) * space.f_frsize;
    return 0;
}

ListingResult ListBeneath(const std::string& root, const std::string& path, std::vector<ListFilesItem>& items,
                          std::size_t most, const std::function<void(const std::string&, int)>& skipped) {
    items.clear();
    const std::string relative = PathBelowRoot(path);
    const Opened found = below(root, relative).Open(O_PATH);
    if (!found.descriptor.IsOpen()) {
        return found.error == EXDEV ? ListingResult::LeavesRoot : ListingResult::NotFound;
    }
    struct stat status {};
    if (fstat(found.descriptor.Get(), &status) != 0) {
        return ListingResult::NotFound;
    }
    if (!S_ISDIR(status.st_mode)) {
        return ListingResult::IsFile;
    }
    const Directory directory = readable(found.descriptor.Get());
    if (!directory) {
        return ListingResult::Failed;
    }
    errno = 0;
    while (const dirent* entry = readdir(directory.get())) {
        if (isDots(entry->d_name)) {
            continue;
        }
        if (items.size() >= most) {
            items.clear();
            return ListingResult::TooMany;
        }
        const std::string name = entry->d_name;
        const std::string place = relative.empty() ? name : relative + "/" + name;
        ListFilesItem item;
        int error = 0;
        if (readAttributes(below(root, place), name, item, error)) {
            items.push_back(std::move(item));
        } else if (skipped) {
            skipped(root + "/" + place, error);
        }
        errno = 0;
    }
    if (errno != 0) {
        items.clear();
        return ListingResult::Failed;
    }
    return ListingResult::Listed;
}

}  // namespace Zelkor
