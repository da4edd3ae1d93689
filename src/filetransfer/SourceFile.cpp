#include "filetransfer/SourceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace Zelkor {

namespace {

std::string systemText(int error) { return std::error_code(error, std::system_category()).message(); }

}  // namespace

std::unique_ptr<SourceFile> SourceFile::Open(const std::string& path, std::string& error) {
    // Non-blocking, so that a pipe in the file's place cannot stall the opening thread
    // waiting for a writer (it is refused below), and kept so: a file that calls itself
    // regular and waits for data to read (as a kernel's message log does) fails its read
    // rather than stall the reader.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = systemText(errno);
        return nullptr;
    }
    struct stat info {};
    int refusal = 0;
    if (fstat(fd, &info) != 0) {
        refusal = errno;
    } else if (S_ISDIR(info.st_mode)) {
        refusal = EISDIR;
    } else if (!S_ISREG(info.st_mode)) {
        // A pipe or a device has no size to announce and check.
        refusal = EINVAL;
    }
    if (refusal != 0) {
        close(fd);
        error = systemText(refusal);
        return nullptr;
    }
    // The constructor is private so that every object holds an open regular file.
    return std::unique_ptr<SourceFile>(new SourceFile(fd, static_cast<std::uint64_t>(info.st_size)));
}

SourceFile::~SourceFile() { close(_fd); }

long SourceFile::Read(char* buffer, std::size_t count, std::string& error) {
    // A block is read whole unless the file ends, so that a short read never makes a
    // short block in the middle of a file.
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = read(_fd, buffer + done, count - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = systemText(errno);
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long>(done);
}

}  // namespace Zelkor
