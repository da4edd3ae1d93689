#include "core/Base64.h"

#include <algorithm>
#include <cstddef>

#include <openssl/evp.h>

namespace {

// OpenSSL counts in int; longer inputs are fed in pieces of whole groups, so that no
// padding appears before the end.
constexpr std::size_t kEncodePiece = 3u << 20;
constexpr std::size_t kDecodePiece = 4u << 20;

std::size_t EncodedLength(std::size_t byteCount) { return (byteCount + 2) / 3 * 4; }

// Writes the Base64 text of `bytes` to `out`, which has room for its length plus the
// NUL that the block encoder appends; returns the text's length.
std::size_t EncodeInto(const std::string& bytes, unsigned char* out) {
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t written = 0;
    for (std::size_t offset = 0; offset < bytes.size(); offset += kEncodePiece) {
        const std::size_t piece = std::min(kEncodePiece, bytes.size() - offset);
        written += static_cast<std::size_t>(EVP_EncodeBlock(out + written, in + offset, static_cast<int>(piece)));
    }
    return written;
}

bool IsAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// Number of "=" that end a text of whole groups.
std::size_t PaddingOf(const char* text, std::size_t count) {
    if (count < 4 || text[count - 1] != '=') {
        return 0;
    }
    return text[count - 2] == '=' ? 2 : 1;
}

// What the block decoder passes over around the text: blanks and tabs in front; blanks,
// tabs, line ends and the end mark "-" behind, while more than three characters remain.
// Peers may send text framed that way.
void TrimAsTheBlockDecoder(const char*& text, std::size_t& count) {
    while (count > 0 && (*text == ' ' || *text == '\t')) {
        ++text;
        --count;
    }
    const auto trailing = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '-'; };
    while (count > 3 && trailing(text[count - 1])) {
        --count;
    }
}

// Decodes `count` characters of `text` into `out`; false for text that is not
// complete, correctly padded Base64 once trimmed as the block decoder trims it. Within
// the text the block decoder would also pass misplaced padding, and it counts the
// padding as decoded bytes.
bool DecodeInto(const char* text, std::size_t count, std::string& out) {
    TrimAsTheBlockDecoder(text, count);
    const std::size_t padding = PaddingOf(text, count);
    if (count % 4 != 0 || !std::all_of(text, text + count - padding, IsAlphabet)) {
        return false;
    }
    out.assign(count / 4 * 3 + 1, '\0');
    auto* target = reinterpret_cast<unsigned char*>(out.data());
    const auto* source = reinterpret_cast<const unsigned char*>(text);
    std::size_t written = 0;
    for (std::size_t offset = 0; offset < count; offset += kDecodePiece) {
        const std::size_t piece = std::min(kDecodePiece, count - offset);
        const int produced = EVP_DecodeBlock(target + written, source + offset, static_cast<int>(piece));
        if (produced < 0) {
            return false;
        }
        written += static_cast<std::size_t>(produced);
    }
    // The block decoder writes three bytes for every group, the padded last one included.
    out.resize(written - padding);
    return true;
}

}  // namespace

std::vector<unsigned char> Base64::Encode(const std::string& bytes) {
    std::vector<unsigned char> text(EncodedLength(bytes.size()) + 1);
    text.resize(EncodeInto(bytes, text.data()));
    return text;
}

unsigned long Base64::Encode(const std::string& bytes, std::string& text) {
    text.assign(EncodedLength(bytes.size()) + 1, '\0');
    text.resize(EncodeInto(bytes, reinterpret_cast<unsigned char*>(text.data())));
    return static_cast<unsigned long>(text.size());
}

std::string Base64::Decode(std::string& text, unsigned long& length) {
    std::string decoded;
    if (length > text.size() || !DecodeInto(text.data(), length, decoded)) {
        decoded.clear();
    }
    length = static_cast<unsigned long>(decoded.size());
    text = decoded;
    return decoded;
}
