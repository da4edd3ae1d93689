#include "core/Digest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include <openssl/evp.h>

namespace ZelkorDigestDetail {

void ContextDeleter::operator()(evp_md_ctx_st* context) const { EVP_MD_CTX_free(context); }

template <std::size_t N>
EvpDigest<N>::EvpDigest(const evp_md_st* (*algorithm)()) : _algorithm(algorithm) {
    Init();
}

template <std::size_t N>
void EvpDigest<N>::Init() {
    if (!_context) {
        _context.reset(EVP_MD_CTX_new());
    }
    _digest.fill(0);
    _finished = false;
    if (_context) {
        EVP_DigestInit_ex(_context.get(), _algorithm(), nullptr);
    }
}

template <std::size_t N>
void EvpDigest<N>::Update(const char* bytes, unsigned long count) {
    if (!bytes || count == 0 || !_context || _finished) {
        return;
    }
    EVP_DigestUpdate(_context.get(), bytes, count);
}

template <std::size_t N>
void EvpDigest<N>::Final() {
    if (_finished || !_context) {
        return;
    }
    unsigned int length = 0;
    EVP_DigestFinal_ex(_context.get(), _digest.data(), &length);
    _finished = true;
}

template <std::size_t N>
std::string EvpDigest<N>::GetDigest() {
    Final();
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * N);
    for (unsigned char byte : _digest) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0x0f];
    }
    return text;
}

template class EvpDigest<16>;
template class EvpDigest<32>;

}  // namespace ZelkorDigestDetail

MD5Digest::MD5Digest() : EvpDigest<16>(&EVP_md5) {}

SHA256Digest::SHA256Digest() : EvpDigest<32>(&EVP_sha256) {}

namespace {

struct OpenDescriptor {
    explicit OpenDescriptor(int descriptor) : fd(descriptor) {}
    ~OpenDescriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    OpenDescriptor(const OpenDescriptor&) = delete;
    OpenDescriptor& operator=(const OpenDescriptor&) = delete;
    const int fd;
};

}  // namespace

bool GetFileChecksum(const std::string& path, std::string& checksum) {
    // Non-blocking: a pipe in the file's place cannot stall the open.
    const OpenDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    return file.fd >= 0 && GetDescriptorChecksum(file.fd, checksum);
}

bool GetDescriptorChecksum(int fd, std::string& checksum) {
    // Only regular files have a content to digest: a directory fails only at the first
    // read, and a device or pipe may never reach its end. A file that calls itself regular
    // yet waits for data (a kernel's message log), opened non-blocking, fails its read
    // instead of stalling the reader.
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    constexpr std::size_t kMaxChunk = 0x80000;
    std::vector<char> buffer(std::clamp<std::size_t>(static_cast<std::size_t>(info.st_size), 1, kMaxChunk));
    MD5Digest digest;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // Anything but a clean end of file means part of the content was never read.
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        digest.Update(buffer.data(), static_cast<unsigned long>(n));
    }
    checksum = digest.GetDigest();
    return true;
}
