#include "Files.h"

#include <array>
#include <cstdio>
#include <memory>
#include <vector>

#include <openssl/evp.h>

#include "File.h"
#include "Json.h"

namespace ZelkorSoak {
namespace {

constexpr std::size_t kChunk = 1 << 20;

struct DigestFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Digest = std::unique_ptr<EVP_MD_CTX, DigestFree>;

Digest newMd5() {
    Digest digest(EVP_MD_CTX_new());
    if (digest && EVP_DigestInit_ex(digest.get(), EVP_md5(), nullptr) != 1) {
        digest.reset();
    }
    return digest;
}

std::string hexOf(EVP_MD_CTX* digest) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> sum{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(digest, sum.data(), &length) != 1) {
        return "";
    }
    static const char* const kHex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[sum[i] >> 4];
        text += kHex[sum[i] & 15];
    }
    return text;
}

}  // namespace

std::string WriteRandomFile(const std::string& path, std::uint64_t bytes, std::mt19937_64& random) {
    File file(std::fopen(path.c_str(), "wb"));
    Digest digest = newMd5();
    if (!file || !digest) {
        return "";
    }
    std::vector<std::uint64_t> words(kChunk / sizeof(std::uint64_t));
    for (std::uint64_t left = bytes; left > 0;) {
        for (auto& word : words) {
            word = random();
        }
        const std::size_t size = left < kChunk ? static_cast<std::size_t>(left) : kChunk;
        if (std::fwrite(words.data(), 1, size, file.get()) != size ||
            EVP_DigestUpdate(digest.get(), words.data(), size) != 1) {
            return "";
        }
        left -= size;
    }
    if (std::fclose(file.release()) != 0) {
        return "";
    }
    return hexOf(digest.get());
}

std::string Md5OfFile(const std::string& path) {
    File file(std::fopen(path.c_str(), "rb"));
    Digest digest = newMd5();
    if (!file || !digest) {
        return "";
    }
    std::vector<char> chunk(kChunk);
    for (;;) {
        const std::size_t count = std::fread(chunk.data(), 1, chunk.size(), file.get());
        if (count > 0 && EVP_DigestUpdate(digest.get(), chunk.data(), count) != 1) {
            return "";
        }
        if (count < chunk.size()) {
            break;
        }
    }
    if (std::ferror(file.get())) {
        return "";
    }
    return hexOf(digest.get());
}

bool WriteEventLog(const std::string& path, unsigned rows, const std::function<Json::Value()>& event) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        return false;
    }
    for (unsigned seqno = 1; seqno <= rows; ++seqno) {
        Json::Value row = event();
        row["seqno"] = seqno;
        const std::string line = Compact(row) + "\n";
        if (std::fwrite(line.data(), 1, line.size(), file.get()) != line.size()) {
            return false;
        }
    }
    return std::fclose(file.release()) == 0;
}

}  // namespace ZelkorSoak
