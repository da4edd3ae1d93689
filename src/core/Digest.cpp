#include "core/Digest.h"

#include <algorithm>
#include <fstream>
#include <vector>

#include <boost/filesystem/operations.hpp>
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

bool GetFileChecksum(const std::string& path, std::string& checksum) {
    // Only regular files have a content to digest: a directory fails only at the first
    // read, and a device or pipe may never reach its end.
    boost::system::error_code error;
    if (!boost::filesystem::is_regular_file(path, error)) {
        return false;
    }
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file.is_open()) {
        return false;
    }
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    file.seekg(0, std::ios::beg);
    if (size < 0 || !file) {
        return false;
    }

    constexpr std::streamoff kMaxChunk = 0x80000;
    std::vector<char> buffer(static_cast<std::size_t>(std::clamp<std::streamoff>(size, 1, kMaxChunk)));
    MD5Digest digest;
    while (file) {
        file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        digest.Update(buffer.data(), static_cast<unsigned long>(file.gcount()));
    }
    // Anything but a clean end of file means part of the content was never read.
    if (file.bad() || !file.eof()) {
        return false;
    }
    checksum = digest.GetDigest();
    return true;
}
