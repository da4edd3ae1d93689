#include "filetransfer/BlockLine.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>

#include "filetransfer/Base64Wide.h"

namespace Zelkor {

namespace {

constexpr std::string_view kLineFront = "block {\"blockno\":";
constexpr std::string_view kDataFront = ",\"data\":\"";
constexpr std::string_view kLineEnd = "\"}\n";

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kNotBase64 = 0xff;

constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) {
        entry = kNotBase64;
    }
    for (std::uint8_t value = 0; value < 64; ++value) {
        table[static_cast<unsigned char>(kAlphabet[value])] = value;
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = MakeDecodeTable();

// One table per place in a group, each value already shifted to its place: a group is the
// OR of four look-ups. A character outside the alphabet sets a bit above the 24 of a group,
// which the OR of all groups keeps, so the check costs no branch per group.
constexpr std::uint32_t kForeign = 1u << 24;

constexpr std::array<std::uint32_t, 256> MakeShiftedTable(unsigned shift) {
    std::array<std::uint32_t, 256> table{};
    for (std::size_t c = 0; c < table.size(); ++c) {
        table[c] = kDecode[c] == kNotBase64 ? kForeign : static_cast<std::uint32_t>(kDecode[c]) << shift;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kDecode0 = MakeShiftedTable(18);
constexpr std::array<std::uint32_t, 256> kDecode1 = MakeShiftedTable(12);
constexpr std::array<std::uint32_t, 256> kDecode2 = MakeShiftedTable(6);
constexpr std::array<std::uint32_t, 256> kDecode3 = MakeShiftedTable(0);

std::uint32_t GroupOf(const char* in) {
    return kDecode0[static_cast<unsigned char>(in[0])] | kDecode1[static_cast<unsigned char>(in[1])] |
           kDecode2[static_cast<unsigned char>(in[2])] | kDecode3[static_cast<unsigned char>(in[3])];
}

std::uint32_t ValueOf(char c) { return kDecode[static_cast<unsigned char>(c)]; }

// Two characters for every 12 bits: a group of three bytes takes two look-ups, not four.
struct CharacterPairs {
    char pairs[4096][2];
};

constexpr CharacterPairs MakePairTable() {
    CharacterPairs table{};
    for (std::size_t value = 0; value < 4096; ++value) {
        table.pairs[value][0] = kAlphabet[value >> 6];
        table.pairs[value][1] = kAlphabet[value & 63];
    }
    return table;
}

constexpr CharacterPairs kPairs = MakePairTable();

// Encodes `count` bytes at `in` to Base64 at `out`; returns the characters written.
std::size_t EncodeBase64(char* out, const char* in, std::size_t count) {
    char* const start = out;
    const std::size_t wide = EncodeBase64Wide(reinterpret_cast<const unsigned char*>(in), count, out);
    in += wide;
    out += wide / 3 * 4;
    std::size_t left = count - wide;
    for (; left >= 3; left -= 3, in += 3) {
        const std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(in[0])) << 16 |
                                    static_cast<std::uint32_t>(static_cast<unsigned char>(in[1])) << 8 |
                                    static_cast<unsigned char>(in[2]);
        std::memcpy(out, kPairs.pairs[group >> 12], 2);
        std::memcpy(out + 2, kPairs.pairs[group & 4095], 2);
        out += 4;
    }
    if (left > 0) {
        const std::uint32_t first = static_cast<unsigned char>(in[0]);
        const std::uint32_t second = left == 2 ? static_cast<unsigned char>(in[1]) : 0;
        const std::uint32_t group = first << 16 | second << 8;
        *out++ = kAlphabet[group >> 18];
        *out++ = kAlphabet[(group >> 12) & 63];
        *out++ = left == 2 ? kAlphabet[(group >> 6) & 63] : '=';
        *out++ = '=';
    }
    return static_cast<std::size_t>(out - start);
}

// Fills up to `count` bytes, asking again after a short read: a block is full unless the
// file ends. -1 on a failed read.
long ReadFull(const BlockReader& read, char* buffer, std::size_t count, std::string& error) {
    std::size_t total = 0;
    while (total < count) {
        const long got = read(buffer + total, count - total, error);
        if (got < 0 || static_cast<std::size_t>(got) > count - total) {
            if (error.empty()) {
                error = "read failed";
            }
            return -1;
        }
        if (got == 0) {
            break;
        }
        total += static_cast<std::size_t>(got);
    }
    return static_cast<long>(total);
}

std::size_t PaddingOf(std::string_view text) {
    if (text.size() < 4 || text.size() % 4 != 0 || text.back() != '=') {
        return 0;
    }
    return text[text.size() - 2] == '=' ? 2 : 1;
}


}  // namespace

ComposedBlock ComposeBlockLine(const BlockReader& read, std::uint64_t blockNumber, std::size_t blockSize,
                               std::size_t chunkSize, std::string& line, std::string& raw) {
    ComposedBlock result;
    char number[std::numeric_limits<std::uint64_t>::digits10 + 1];
    const auto written = std::to_chars(number, number + sizeof number, blockNumber);
    const std::string_view numberText(number, static_cast<std::size_t>(written.ptr - number));

    // No more bytes than the block's characters can carry (a block size below 4 carries none).
    const std::size_t chunk = std::min(chunkSize, blockSize / 4 * 3);
    raw.resize(chunk);
    const long got = ReadFull(read, raw.data(), chunk, result.error);
    if (got < 0) {
        raw.clear();
        result.failed = true;
        return result;
    }
    result.read = static_cast<std::size_t>(got);
    raw.resize(result.read);
    if (result.read == 0) {
        return result;
    }
    const std::size_t dataAt = kLineFront.size() + numberText.size() + kDataFront.size();
    line.clear();
    line.reserve(dataAt + (result.read + 2) / 3 * 4 + kLineEnd.size());
    line.append(kLineFront).append(numberText).append(kDataFront);
    // Encoded a piece at a time into a small buffer the cache holds and appended from it:
    // sizing the line first would zero all of it only for the text to overwrite it.
    constexpr std::size_t piece = 3 * 1024;  // whole groups: no padding but at the end
    char text[piece / 3 * 4];
    for (std::size_t at = 0; at < result.read; at += piece) {
        const std::size_t count = std::min(piece, result.read - at);
        line.append(text, EncodeBase64(text, raw.data() + at, count));
    }
    line.append(kLineEnd);
    return result;
}

bool DecodeBase64InPlace(std::string& text) {
    const std::size_t size = text.size();
    if (size % 4 != 0) {
        return false;
    }
    const std::size_t padding = PaddingOf(text);
    // Checked whole before anything is written, so that refused text stays as it came;
    // without a branch per character, as blocks are large and nearly always whole.
    std::uint8_t seen = 0;
    for (std::size_t i = 0; i < size - padding; ++i) {
        seen |= kDecode[static_cast<unsigned char>(text[i])];
    }
    // A character outside the alphabet sets every bit; the alphabet's values stay below 64.
    if (seen == kNotBase64) {
        return false;
    }
    char* const buffer = text.data();
    const std::size_t fullEnd = padding ? size - 4 : size;
    std::size_t out = 0;
    for (std::size_t in = 0; in < fullEnd; in += 4, out += 3) {
        const std::uint32_t group = ValueOf(buffer[in]) << 18 | ValueOf(buffer[in + 1]) << 12 |
                                    ValueOf(buffer[in + 2]) << 6 | ValueOf(buffer[in + 3]);
        buffer[out] = static_cast<char>(group >> 16);
        buffer[out + 1] = static_cast<char>(group >> 8);
        buffer[out + 2] = static_cast<char>(group);
    }
    if (padding) {
        const std::size_t in = size - 4;
        std::uint32_t group = ValueOf(buffer[in]) << 18 | ValueOf(buffer[in + 1]) << 12;
        if (padding == 1) {
            group |= ValueOf(buffer[in + 2]) << 6;
        }
        buffer[out++] = static_cast<char>(group >> 16);
        if (padding == 1) {
            buffer[out++] = static_cast<char>(group >> 8);
        }
    }
    text.resize(out);
    return true;
}

bool DecodeBase64(std::string_view text, std::string& out) {
    out.clear();
    const std::size_t size = text.size();
    if (size % 4 != 0) {
        return false;
    }
    const std::size_t padding = PaddingOf(text);
    const std::size_t fullEnd = padding ? size - 4 : size;
    out.resize(size / 4 * 3 - padding);
    const char* in = text.data();
    char* const start = out.data();
    char* at = start;
    // The long run of whole groups goes wide; what that leaves, or does not accept, is
    // decoded and checked here.
    const std::size_t wide = DecodeBase64Wide(in, fullEnd, at);
    at += wide / 4 * 3;
    std::uint32_t seen = 0;
    for (std::size_t i = wide; i < fullEnd; i += 4, at += 3) {
        const std::uint32_t group = GroupOf(in + i);
        seen |= group;
        at[0] = static_cast<char>(group >> 16);
        at[1] = static_cast<char>(group >> 8);
        at[2] = static_cast<char>(group);
    }
    if (padding) {
        // The padded group's "=" read as "A" (zero); the places they hold are checked to
        // be "=" by the padding count, the others by the table.
        const char* last = in + fullEnd;
        const std::uint32_t group = kDecode0[static_cast<unsigned char>(last[0])] |
                                    kDecode1[static_cast<unsigned char>(last[1])] |
                                    (padding == 1 ? kDecode2[static_cast<unsigned char>(last[2])] : 0);
        seen |= group;
        *at++ = static_cast<char>(group >> 16);
        if (padding == 1) {
            *at++ = static_cast<char>(group >> 8);
        }
    }
    if (seen & kForeign) {
        out.clear();
        return false;
    }
    return true;
}

std::size_t DecodedLength(std::string_view base64) { return base64.size() / 4 * 3 - PaddingOf(base64); }

}  // namespace Zelkor
