#include "storage/FileReplacement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <random>
#include <system_error>
#include <utility>

#include <boost/filesystem/operations.hpp>

namespace Zelkor {

namespace {

boost::filesystem::path resolveLinks(const boost::filesystem::path& target) {
    boost::system::error_code ec;
    const auto resolved = boost::filesystem::weakly_canonical(target, ec);
    return ec ? target : resolved;
}

// Not canonical: a link in the last place must stay in the path to be replaced. Absolute,
// so that texts name the file the same after a change of folder.
boost::filesystem::path absoluteOnly(const boost::filesystem::path& target) {
    boost::system::error_code ec;
    const auto current = target.is_absolute() ? boost::filesystem::path() : boost::filesystem::current_path(ec);
    return ec ? target : current / target;
}

std::string folderOf(const boost::filesystem::path& file) {
    const auto folder = file.parent_path();
    return folder.empty() ? std::string(".") : folder.string();
}

// Six characters of the kind mkostemp uses, for a hidden name that must not be taken.
std::string randomSuffix() {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof(kAlphabet) - 2);
    std::string suffix(6, 'X');
    for (char& c : suffix) {
        c = kAlphabet[pick(generator)];
    }
    return suffix;
}

// The umask without setting it (which would race with other threads making files); the
// usual 022 where the kernel does not show it.
mode_t currentUmask() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "Umask:") {
            unsigned mask = 0;
            if (status >> std::oct >> mask) {
                return static_cast<mode_t>(mask & 0777);
            }
            break;
        }
        status.ignore(4096, '\n');
    }
    return 022;
}

}  // namespace

FileReplacement::FileReplacement(const boost::filesystem::path& target, Links links, Temporary temporary)
    : _target(links == Links::Follow ? resolveLinks(target) : links == Links::Replace ? absoluteOnly(target) : target),
      _folder(open(folderOf(_target).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)),
      _name(_target.filename().string()) {
    if (!_folder.IsOpen()) {
        fail();
        return;
    }
    begin(links, temporary);
}

FileReplacement::FileReplacement(FileDescriptor folder, std::string name, boost::filesystem::path target,
                                 Temporary temporary)
    : _target(std::move(target)), _folder(std::move(folder)), _name(std::move(name)) {
    if (!_folder.IsOpen()) {
        fail(EBADF);
        return;
    }
    begin(Links::Replace, temporary);
}

void FileReplacement::begin(Links links, Temporary temporary) {
    struct stat info {};
    const bool exists = fstatat(_folder.Get(), _name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISLNK(info.st_mode) && links == Links::Refuse) {
        fail(ELOOP);
        return;
    }
    // Refused now rather than after all the content was written.
    if (exists && S_ISDIR(info.st_mode)) {
        fail(EISDIR);
        return;
    }
    const bool opened = temporary == Temporary::Unnamed ? openUnnamed() : openNamed();
    if (!opened) {
        return;
    }
    // What replaces a file for a peer is a new file, as if the old one were deleted first.
    const bool keepsMode = exists && S_ISREG(info.st_mode) && links != Links::Replace;
    // A new unnamed file was made with 0666 and so already has a new file's mode.
    if (keepsMode || !_tempName.empty()) {
        const mode_t mode = keepsMode ? (info.st_mode & 0777) : (0666 & ~currentUmask());
        fchmod(_file.Get(), mode);
    }
}

bool FileReplacement::openUnnamed() {
    _file = FileDescriptor(openat(_folder.Get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (_file.IsOpen()) {
        return true;
    }
    // The kernel or the file system has no unnamed files.
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
        return openNamed();
    }
    return fail();
}

// As mkostemp does, but in the open folder.
bool FileReplacement::openNamed() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = hiddenPrefix() + randomSuffix();
        _file = FileDescriptor(openat(_folder.Get(), name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600));
        if (_file.IsOpen()) {
            _tempName = std::move(name);
            return true;
        }
        if (errno != EEXIST) {
            return fail();
        }
    }
    return fail(EEXIST);
}

FileReplacement::~FileReplacement() { discard(); }

FileReplacement::FileReplacement(FileReplacement&& other) noexcept
    : _target(std::move(other._target)),
      _folder(std::move(other._folder)),
      _name(std::move(other._name)),
      _tempName(std::exchange(other._tempName, std::string())),
      _error(std::move(other._error)),
      _file(std::move(other._file)),
      _written(other._written),
      _failed(other._failed) {}

FileReplacement& FileReplacement::operator=(FileReplacement&& other) noexcept {
    if (this != &other) {
        discard();
        _target = std::move(other._target);
        _folder = std::move(other._folder);
        _name = std::move(other._name);
        _tempName = std::exchange(other._tempName, std::string());
        _error = std::move(other._error);
        _file = std::move(other._file);
        _written = other._written;
        _failed = other._failed;
    }
    return *this;
}

bool FileReplacement::fail() { return fail(errno); }

bool FileReplacement::fail(int error) {
    if (!_failed) {
        _error = std::error_code(error, std::system_category()).message();
        _failed = true;
    }
    discard();
    return false;
}

void FileReplacement::discard() {
    _file.Close();
    if (!_tempName.empty()) {
        unlinkat(_folder.Get(), _tempName.c_str(), 0);
        _tempName.clear();
    }
}

bool FileReplacement::Write(std::string_view data) {
    if (!_file.IsOpen() || _failed) {
        return false;
    }
    while (!data.empty()) {
        const ssize_t n = write(_file.Get(), data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail();
        }
        data.remove_prefix(static_cast<std::size_t>(n));
        _written += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool FileReplacement::Commit() {
    if (!_file.IsOpen() || _failed) {
        return false;
    }
    if (fsync(_file.Get()) != 0) {
        return fail();
    }
    if (_tempName.empty() && !commitUnnamed()) {
        return false;
    }
    if (_file.Close() != 0) {
        return fail();
    }
    if (renameat(_folder.Get(), _tempName.c_str(), _folder.Get(), _name.c_str()) != 0) {
        return fail();
    }
    _tempName.clear();
    syncFolder();
    return true;
}

// Gives the unnamed file a fresh hidden name beside the target, for the rename: a link
// cannot replace the target directly, and the rename is what makes the swap atomic.
bool FileReplacement::commitUnnamed() {
    const std::string self = "/proc/self/fd/" + std::to_string(_file.Get());
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = hiddenPrefix() + randomSuffix();
        if (linkat(AT_FDCWD, self.c_str(), _folder.Get(), name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            const int error = errno;
            if (error == EEXIST) {
                continue;
            }
            // Without /proc, the privileged way still works for a process allowed it.
            if (error != ENOENT || linkat(_file.Get(), "", _folder.Get(), name.c_str(), AT_EMPTY_PATH) != 0) {
                return fail(error);
            }
        }
        _tempName = std::move(name);
        return true;
    }
    return fail(EEXIST);
}

// Makes the rename itself durable; a failure here loses nothing already written. The
// folder is held for lookups only, so it is opened again to be synced.
void FileReplacement::syncFolder() const {
    const FileDescriptor folder(openat(_folder.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.IsOpen()) {
        fsync(folder.Get());
    }
}

bool FileReplacement::Replace(const boost::filesystem::path& target, std::string_view content,
                              std::string& error, Links links) {
    FileReplacement file(target, links);
    if (file.Write(content) && file.Commit()) {
        return true;
    }
    error = file.Target().string() + ": " + file.Error();
    return false;
}

}  // namespace Zelkor
