#include "storage/FileReplacement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

bool isLink(const boost::filesystem::path& target) {
    boost::system::error_code ec;
    return boost::filesystem::is_symlink(boost::filesystem::symlink_status(target, ec));
}

// Makes the rename itself durable; a failure here loses nothing already written.
void syncFolderOf(const boost::filesystem::path& file) {
    boost::filesystem::path folder = file.parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
}

}  // namespace

FileReplacement::FileReplacement(const boost::filesystem::path& target, Links links)
    : _target(links == Links::Follow ? resolveLinks(target) : target) {
    if (links == Links::Refuse && isLink(_target)) {
        fail(ELOOP);
        return;
    }
    std::string pattern = _target.string() + ".XXXXXX";
    _fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (_fd < 0) {
        fail();
        return;
    }
    _tempPath = std::move(pattern);
    struct stat info {};
    const mode_t mode = stat(_target.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0644;
    fchmod(_fd, mode);
}

FileReplacement::~FileReplacement() {
    closeFd();
    if (!_tempPath.empty()) {
        unlink(_tempPath.c_str());
    }
}

bool FileReplacement::fail() { return fail(errno); }

bool FileReplacement::fail(int error) {
    _error = std::error_code(error, std::system_category()).message();
    _failed = true;
    return false;
}

void FileReplacement::closeFd() {
    if (_fd >= 0) {
        close(_fd);
        _fd = -1;
    }
}

bool FileReplacement::Write(std::string_view data) {
    if (_fd < 0 || _failed) {
        return false;
    }
    while (!data.empty()) {
        const ssize_t n = write(_fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail();
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool FileReplacement::Commit() {
    if (_fd < 0 || _failed) {
        return false;
    }
    if (fsync(_fd) != 0) {
        return fail();
    }
    const int fd = std::exchange(_fd, -1);
    if (close(fd) != 0) {
        return fail();
    }
    if (rename(_tempPath.c_str(), _target.c_str()) != 0) {
        return fail();
    }
    _tempPath.clear();
    syncFolderOf(_target);
    return true;
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
