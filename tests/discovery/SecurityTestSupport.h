#pragma once
// Peer-security tests: the authentication code computed independently of the library
// (OpenSSL's digest and Base64 called directly), the application's keeper of a
// verification code, and the routing of the three security words to a discovery service.

#include <atomic>
#include <mutex>
#include <string>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "core/MessageSignalFactory.h"
#include "core/Signal.h"
#include "discovery/Authenticate.h"
#include "discovery/DiscoveryService.h"
#include "discovery/SetVerificationCode.h"
#include "discovery/StartTLS.h"
#include "driver/ZelkorDriver.h"

namespace ZelkorTest {

inline std::string Sha256(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), size);
}

inline std::string ToBase64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

inline std::string RandomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count));
    return bytes;
}

// The proof of `code` as the protocol defines it: Base64 of SHA-256(code + key + nonce),
// key, nonce; the key is SHA-256("Kasdor" + nonce) unless given.
inline std::string ProofOf(const std::string& code, const std::string& nonce, std::string key = std::string()) {
    if (key.empty()) {
        key = Sha256("Kasdor" + nonce);
    }
    return ToBase64(Sha256(code + key + nonce) + key + nonce);
}

// The application's side of the verification-code callback: the code in force, stores
// counted, refused while `refuse` is set.
class CodeKeeper {
public:
    explicit CodeKeeper(std::string code) : _code(std::move(code)) {}
    Zelkor::IDiscoveryService::VerificationCallback Callback() {
        return [this](Zelkor::VerificationCode::Operation operation, std::string& code) {
            std::lock_guard<std::mutex> lock(_mutex);
            if (operation == Zelkor::VerificationCode::Read) {
                code = _code;
                return true;
            }
            ++stores;
            if (refuse) {
                return false;
            }
            _code = code;
            return true;
        };
    }
    std::string Code() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _code;
    }
    void SetCode(std::string code) {
        std::lock_guard<std::mutex> lock(_mutex);
        _code = std::move(code);
    }
    std::atomic<bool> refuse{false};
    std::atomic<int> stores{0};

private:
    mutable std::mutex _mutex;
    std::string _code;
};

}  // namespace ZelkorTest
