#pragma once
// The authentication code by which a controller proves a device's verification code,
// composed and checked the same way on both peers, and the memory of the nonces a device
// accepted, so that a captured code cannot be replayed.
//
// The code is the Base64 text (128 characters, no padding) of 96 bytes:
//   proof      SHA-256(verification code + key digest + nonce)
//   key digest SHA-256("Kasdor" + nonce); any other 32 bytes prove the code without the
//              prefix's privileges
//   nonce      32 random bytes
//
// Threads: the functions are stateless; a NonceMemory may be used from any thread.

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_set>

namespace Zelkor {
namespace AuthenticationCode {

constexpr std::size_t FieldSize = 32;
constexpr std::size_t BlockSize = 3 * FieldSize;
constexpr std::size_t TextLength = BlockSize / 3 * 4;
// The fixed prefix of the key digest, shared by every node.
extern const char* const Prefix;

// Whole, correctly padded Base64 of the standard alphabet, in one pass (the empty text
// included).
bool IsBase64(const std::string& text);
// Equal secrets, compared in time that does not depend on where they differ (nor, for
// texts of different lengths, on their lengths).
bool SameSecret(const std::string& a, const std::string& b);
// 32 bytes from the system's cryptographic generator; false when it fails.
bool NewNonce(std::string& nonce);
// The code proving `verificationCode` (decoded bytes) with this nonce (32 bytes) and key
// digest (SHA-256 of the prefix and the nonce unless one is given); "" for a nonce or key
// digest of another size.
std::string Compose(const std::string& verificationCode, const std::string& nonce,
                    const std::string& keyDigest = std::string());

enum class Verdict {
    Malformed,   // not 128 characters of Base64 for 96 bytes: never decoded further
    WrongProof,  // the proof does not match the code
    Proven,
};

struct Check {
    Verdict verdict = Verdict::Malformed;
    // The key digest is SHA-256 of the prefix and the nonce.
    bool kasdor = false;
    std::string nonce;
};

// Checks a received code against the code in force (decoded bytes; empty when none).
Check Verify(const std::string& text, const std::string& verificationCode);

}  // namespace AuthenticationCode

// The nonces of the codes a device accepted, the latest `Capacity` of them: a code whose
// nonce is among them is a replay.
class NonceMemory {
public:
    static constexpr std::size_t DefaultCapacity = 4096;

    // False, and nothing remembered, when the nonce is known; else it is remembered (the
    // oldest is forgotten when full).
    bool Remember(const std::string& nonce);
    // At least one; the oldest are forgotten down to the new capacity.
    void SetCapacity(std::size_t capacity);
    std::size_t Capacity() const;
    std::size_t Size() const;
    void Clear();

private:
    void trimLocked();

    mutable std::mutex _mutex;
    std::size_t _capacity = DefaultCapacity;
    std::unordered_set<std::string> _known;
    std::deque<std::string> _order;
};

}  // namespace Zelkor
