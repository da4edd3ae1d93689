#include "core/BlockBody.h"

#include <cstring>
#include <limits>

namespace Zelkor {

namespace {

constexpr std::string_view kBodyFront = "{\"blockno\":";
constexpr std::string_view kDataFront = ",\"data\":\"";
constexpr std::string_view kBodyEnd = "\"}";

// True when every character is one a JSON string carries as it is: printable ASCII without
// quote and backslash. Only such data is read here, so the view equals the string a JSON
// reader would make of it. Sixteen characters at a time and no early exit: a block's data
// is nearly always all plain.
bool AllPlain(std::string_view text) {
    using Bytes = unsigned char __attribute__((vector_size(16)));
    const char* at = text.data();
    const char* const end = at + text.size();
    Bytes bad = {};
    for (; end - at >= 16; at += 16) {
        Bytes c;
        std::memcpy(&c, at, sizeof c);
        // Below the blank wraps round to above the range, as does all past "~".
        bad |= reinterpret_cast<Bytes>((c - 0x20) > 0x5e) | reinterpret_cast<Bytes>(c == '"') |
               reinterpret_cast<Bytes>(c == '\\');
    }
    unsigned char rest = 0;
    for (; at < end; ++at) {
        const auto c = static_cast<unsigned char>(*at);
        rest |= static_cast<unsigned char>(static_cast<unsigned char>(c - 0x20) > 0x5e || c == '"' || c == '\\');
    }
    for (int i = 0; i < 16; ++i) {
        rest |= bad[i];
    }
    return rest == 0;
}

}  // namespace

bool ReadBlockBody(std::string_view body, BlockBody& out) {
    if (body == "{}") {
        out = BlockBody{};
        return true;
    }
    if (body.substr(0, kBodyFront.size()) != kBodyFront) {
        return false;
    }
    std::size_t at = kBodyFront.size();
    const std::size_t numberAt = at;
    std::uint64_t number = 0;
    for (; at < body.size() && body[at] >= '0' && body[at] <= '9'; ++at) {
        const unsigned digit = static_cast<unsigned>(body[at] - '0');
        if (number > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            return false;
        }
        number = number * 10 + digit;
    }
    const std::size_t digits = at - numberAt;
    // JSON knows no leading zeros; a reader that takes them is not to be second-guessed.
    if (digits == 0 || (digits > 1 && body[numberAt] == '0')) {
        return false;
    }
    if (body.substr(at, kDataFront.size()) != kDataFront) {
        return false;
    }
    at += kDataFront.size();
    const std::size_t dataAt = at;
    // As plain data cannot hold a quote, the data ends where the body's end begins.
    if (body.size() < dataAt + kBodyEnd.size() || body.substr(body.size() - kBodyEnd.size()) != kBodyEnd) {
        return false;
    }
    at = body.size() - kBodyEnd.size();
    if (!AllPlain(body.substr(dataAt, at - dataAt))) {
        return false;
    }
    out.hasNumber = true;
    out.number = number;
    out.hasData = true;
    out.data = body.substr(dataAt, at - dataAt);
    return true;
}

}  // namespace Zelkor
