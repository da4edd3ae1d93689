#include "filetransfer/SourceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace Zelkor {

namespace {

std::string systemText(int error) { return std::error_code(error, std::system_category()).message(); }

}  // namespace

std::unique_ptr<SourceFile> SourceFile::Open(const std::string& path, std::string& error) {
    // Non-blocking, so that a pipe in the file's place cannot stall the opening thread
    // waiting for a writer (it is refused below), and kept so: a file that calls itself
    // regular and waits for data to read (as a kernel's message log does) fails its read
    // rather than stall the reader.
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!file.IsOpen()) {
        error = systemText(errno);
        return nullptr;
    }
    return Adopt(std::move(file), error);
}

std::unique_ptr<SourceFile> SourceFile::Adopt(FileDescriptor file, std::string& error) {
    struct stat info {};
    int refusal = 0;
    if (fstat(file.Get(), &info) != 0) {
        refusal = errno;
    } else if (S_ISDIR(info.st_mode)) {
        refusal = EISDIR;
    } else if (!S_ISREG(info.st_mode)) {
        // A pipe or a device has no size to announce and check.
        refusal = EINVAL;
    }
    if (refusal != 0) {
        error = systemText(refusal);
        return nullptr;
    }
    // The constructor is private so that every object holds an open regular file.
    return std::unique_ptr<SourceFile>(new SourceFile(std::move(file), static_cast<std::uint64_t>(info.st_size)));
}

long SourceFile::Read(char* buffer, std::size_t count, std::string& error) {
    // A block is read whole unless the file ends, so that a short read never makes a
    // short block in the middle of a file.
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = read(_file.Get(), buffer + done, count - done);
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
