#include "filetransfer/TransferPath.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <utility>

#include "transport/LinuxPlatform.h"

namespace Zelkor {

namespace {

using Opened = TransferPath::Opened;

Opened failed(int error) { return Opened{FileDescriptor(), error}; }

// What an open call returned, its errno with it; called straight after the call.
Opened taken(int descriptor) { return descriptor >= 0 ? Opened{FileDescriptor(descriptor), 0} : failed(errno); }

// The folder `folder` names below `base`, one element at a time, none of them followed:
// a link on the way is refused as leaving (EXDEV), as is "..".
Opened walkFolders(int base, const std::string& folder) {
    Opened current = taken(openat(base, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::size_t start = 0;
    while (current.descriptor.IsOpen() && start <= folder.size()) {
        const std::size_t slash = std::min(folder.find('/', start), folder.size());
        const std::string element = folder.substr(start, slash - start);
        start = slash + 1;
        if (element.empty() || element == ".") {
            continue;
        }
        if (element == "..") {
            return failed(EXDEV);
        }
        Opened next = taken(openat(current.descriptor.Get(), element.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (next.descriptor.IsOpen() && fstat(next.descriptor.Get(), &info) != 0) {
            return failed(errno);
        }
        if (next.descriptor.IsOpen() && !S_ISDIR(info.st_mode)) {
            return failed(S_ISLNK(info.st_mode) ? EXDEV : ENOTDIR);
        }
        current = std::move(next);
    }
    return current;
}

// Whether the path's ".." elements climb above the folder it starts from, read as
// written: a path that only comes back down to the root after leaving it would still
// tell a peer, by its answer, what lies above the root.
bool climbsAbove(const std::string& path) {
    long depth = 0;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        const std::string_view element(path.data() + start, slash - start);
        start = slash + 1;
        if (element == "..") {
            if (--depth < 0) {
                return true;
            }
        } else if (!element.empty() && element != ".") {
            ++depth;
        }
    }
    return false;
}

}  // namespace

TransferPath::TransferPath(const std::string& root, const std::string& path, bool confined, Walk walk)
    : _text(root.empty() ? path : root + "/" + path), _root(root), _confined(confined && !root.empty()), _walk(walk) {
    if (root.empty()) {
        _relative = path;
    } else {
        // Below the root, whatever the path looks like: "/etc/x" is root/etc/x.
        const std::size_t first = path.find_first_not_of('/');
        _relative = first == std::string::npos ? std::string(".") : path.substr(first);
    }
    const std::size_t slash = _relative.rfind('/');
    if (slash == std::string::npos) {
        _folder = ".";
        _name = _relative;
    } else {
        _folder = slash == 0 ? std::string("/") : _relative.substr(0, slash);
        _name = _relative.substr(slash + 1);
    }
}

TransferPath::Opened TransferPath::openBase() const {
    if (_relative.find('\0') != std::string::npos) {
        return failed(EINVAL);  // what the system would see is not what was named
    }
    if (_confined && climbsAbove(_relative)) {
        return failed(EXDEV);
    }
    // The root itself is the owner's choice: a link there is followed.
    return _root.empty() ? Opened{} : taken(open(_root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

namespace {

// The kernel has no openat2, or a filter in front of it refuses the call outright: the
// folders are then walked one at a time.
bool kernelCannot(int error) { return error == ENOSYS || error == EPERM; }

}  // namespace

TransferPath::Opened TransferPath::OpenFolder() const {
    const Opened base = openBase();
    if (base.error != 0) {
        return failed(base.error);
    }
    const int from = base.descriptor.IsOpen() ? base.descriptor.Get() : AT_FDCWD;
    const int flags = O_PATH | O_DIRECTORY;
    if (!_confined) {
        return taken(openat(from, _folder.c_str(), flags | O_CLOEXEC));
    }
    Opened found = beneath(from, _folder, flags, false);
    return found.error == EXDEV ? throughLinks(from, _folder, flags) : std::move(found);
}

TransferPath::Opened TransferPath::Open(int flags) const {
    const Opened base = openBase();
    if (base.error != 0) {
        return failed(base.error);
    }
    const int from = base.descriptor.IsOpen() ? base.descriptor.Get() : AT_FDCWD;
    if (!_confined) {
        return taken(openat(from, _relative.c_str(), flags | O_CLOEXEC));
    }
    Opened found = beneath(from, _relative, flags, true);
    return found.error == EXDEV ? throughLinks(from, _relative, flags) : std::move(found);
}

TransferPath::Opened TransferPath::beneath(int root, const std::string& path, int flags, bool named) const {
    if (_walk == Walk::Kernel) {
        const int descriptor = Platform::OpenBeneath(root, path, flags);
        if (descriptor >= 0 || !kernelCannot(errno)) {
            return taken(descriptor);
        }
    }
    Opened folder = walkFolders(root, _folder);
    if (!named || !folder.descriptor.IsOpen()) {
        return folder;
    }
    if (_name == "..") {
        return failed(EXDEV);
    }
    const char* name = _name.empty() ? "." : _name.c_str();
    Opened last = taken(openat(folder.descriptor.Get(), name, flags | O_NOFOLLOW | O_CLOEXEC));
    // O_NOFOLLOW's answer to a link in the last place; opened for lookups, the link itself.
    struct stat info {};
    if (last.error == ELOOP || (last.descriptor.IsOpen() && (flags & O_PATH) != 0 &&
                                fstat(last.descriptor.Get(), &info) == 0 && S_ISLNK(info.st_mode))) {
        return failed(EXDEV);
    }
    return last;
}

TransferPath::Opened TransferPath::throughLinks(int root, const std::string& path, int flags) const {
    // Every link is followed here as the host follows it (the kernel bounds their
    // loops); what was reached is then judged as it is open, so a link changed meanwhile
    // leads nowhere else. Opened for lookups first: nothing outside the root is opened for
    // reading or writing.
    FileDescriptor reached(openat(root, path.c_str(), O_PATH | (flags & O_DIRECTORY) | O_CLOEXEC));
    if (!reached.IsOpen()) {
        return failed(EXDEV);
    }
    const std::string top = Platform::OpenedPath(root);
    const std::string where = Platform::OpenedPath(reached.Get());
    const bool inside = !top.empty() && !where.empty() &&
                        (top == "/" || where == top || where.rfind(top + "/", 0) == 0);
    if (!inside) {
        return failed(EXDEV);
    }
    if ((flags & O_PATH) != 0) {
        return Opened{std::move(reached), 0};
    }
    return taken(Platform::Reopen(reached.Get(), flags));
}

}  // namespace Zelkor
