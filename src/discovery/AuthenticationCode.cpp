#include "discovery/AuthenticationCode.h"

#include <algorithm>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "core/Base64.h"
#include "core/Digest.h"

namespace Zelkor {
namespace AuthenticationCode {

const char* const Prefix = "Kasdor";

namespace {

bool inAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

std::string sha256(const std::string& a, const std::string& b, const std::string& c = std::string()) {
    SHA256Digest digest;
    digest.Update(a);
    digest.Update(b);
    digest.Update(c);
    digest.Final();
    const auto& raw = digest.RawDigest();
    return std::string(reinterpret_cast<const char*>(raw.data()), raw.size());
}

bool equalBytes(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

bool IsBase64(const std::string& text) {
    const std::size_t size = text.size();
    if (size % 4 != 0) {
        return false;
    }
    std::size_t padding = 0;
    if (size >= 4 && text[size - 1] == '=') {
        padding = text[size - 2] == '=' ? 2 : 1;
    }
    return std::all_of(text.begin(), text.end() - static_cast<std::ptrdiff_t>(padding), inAlphabet);
}

bool SameSecret(const std::string& a, const std::string& b) {
    // Digests of equal length hide where, and by how much, the texts differ.
    return equalBytes(sha256(a, std::string()), sha256(b, std::string())) && a.size() == b.size();
}

bool NewNonce(std::string& nonce) {
    nonce.assign(FieldSize, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(nonce.data()), static_cast<int>(nonce.size())) != 1) {
        nonce.clear();
        return false;
    }
    return true;
}

std::string Compose(const std::string& verificationCode, const std::string& nonce, const std::string& keyDigest) {
    if (nonce.size() != FieldSize || (!keyDigest.empty() && keyDigest.size() != FieldSize)) {
        return std::string();
    }
    const std::string key = keyDigest.empty() ? sha256(Prefix, nonce) : keyDigest;
    std::string text;
    Base64::Encode(sha256(verificationCode, key, nonce) + key + nonce, text);
    return text;
}

Check Verify(const std::string& text, const std::string& verificationCode) {
    Check check;
    // 96 bytes are exactly 128 characters without padding: anything else is refused
    // before a byte is decoded.
    if (text.size() != TextLength || !std::all_of(text.begin(), text.end(), inAlphabet)) {
        return check;
    }
    std::string decoded = text;
    unsigned long length = static_cast<unsigned long>(decoded.size());
    Base64::Decode(decoded, length);
    if (decoded.size() != BlockSize) {
        return check;
    }
    const std::string proof = decoded.substr(0, FieldSize);
    const std::string key = decoded.substr(FieldSize, FieldSize);
    check.nonce = decoded.substr(2 * FieldSize);
    check.verdict = equalBytes(sha256(verificationCode, key, check.nonce), proof) ? Verdict::Proven : Verdict::WrongProof;
    check.kasdor = check.verdict == Verdict::Proven && equalBytes(sha256(Prefix, check.nonce), key);
    return check;
}

}  // namespace AuthenticationCode

bool NonceMemory::Remember(const std::string& nonce) {
    std::lock_guard<std::mutex> lock(_mutex);
    if (!_known.insert(nonce).second) {
        return false;
    }
    _order.push_back(nonce);
    trimLocked();
    return true;
}

void NonceMemory::SetCapacity(std::size_t capacity) {
    std::lock_guard<std::mutex> lock(_mutex);
    _capacity = std::max<std::size_t>(1, capacity);
    trimLocked();
}

std::size_t NonceMemory::Capacity() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _capacity;
}

std::size_t NonceMemory::Size() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _order.size();
}

void NonceMemory::Clear() {
    std::lock_guard<std::mutex> lock(_mutex);
    _known.clear();
    _order.clear();
}

void NonceMemory::trimLocked() {
    while (_order.size() > _capacity) {
        _known.erase(_order.front());
        _order.pop_front();
    }
}

}  // namespace Zelkor
