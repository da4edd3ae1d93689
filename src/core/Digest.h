#pragma once
// MD5 and SHA-256 digests over OpenSSL's EVP interface, written as lower-case hexadecimal.
//
// Ownership: each digest object owns its OpenSSL context (released with the object).
// Threads: one object is used by one thread at a time; separate objects are independent.
//
// Use: Update() any number of times, then GetDigest() (or Final()); finishing again
// returns the same digest, and bytes added after finishing are ignored, until
// Reset()/Init() starts a new one.

#include <array>
#include <cstddef>
#include <memory>
#include <string>

struct evp_md_ctx_st;
struct evp_md_st;

namespace ZelkorDigestDetail {

struct ContextDeleter {
    void operator()(evp_md_ctx_st* context) const;
};

template <std::size_t N>
class EvpDigest {
public:
    static constexpr std::size_t kSize = N;

    void Init();
    void Reset() { Init(); }
    void Update(const std::string& bytes) { Update(bytes.data(), bytes.size()); }
    void Update(const char* bytes, unsigned long count);
    // Finishes the digest into the object's buffer; a second call keeps the first result.
    void Final();
    // Finishes (when not yet finished) and returns the digest as 2*N hexadecimal digits.
    std::string GetDigest();
    // The raw bytes of the finished digest (valid after Final or GetDigest).
    const std::array<unsigned char, N>& RawDigest() const { return _digest; }

protected:
    explicit EvpDigest(const evp_md_st* (*algorithm)());

private:
    const evp_md_st* (*_algorithm)();
    std::unique_ptr<evp_md_ctx_st, ContextDeleter> _context;
    std::array<unsigned char, N> _digest{};
    bool _finished = false;
};

}  // namespace ZelkorDigestDetail

class MD5Digest : public ZelkorDigestDetail::EvpDigest<16> {
public:
    MD5Digest();
};

class SHA256Digest : public ZelkorDigestDetail::EvpDigest<32> {
public:
    SHA256Digest();
};

// MD5 of a whole file as 32 lower-case hexadecimal digits. Returns false, leaving
// `checksum` unchanged, when the file cannot be opened or read to its end (a directory,
// a read error or a failed seek included).
bool GetFileChecksum(const std::string& path, std::string& checksum);
// The same over a file already open for reading (best opened non-blocking), read from
// where it stands; the descriptor stays the caller's.
bool GetDescriptorChecksum(int descriptor, std::string& checksum);
