#include "core/BlockBody.h"

#include <limits>

namespace Zelkor {

namespace {

constexpr std::string_view kBodyFront = "{\"blockno\":";
constexpr std::string_view kDataFront = ",\"data\":\"";
constexpr std::string_view kBodyEnd = "\"}";

// True when every character is one a JSON string carries as it is: printable ASCII without
// quote and backslash. Only such data is read here, so the view equals the string a JSON
// reader would make of it. No table and no early exit, so that the compiler checks many
// characters at once: a block's data is nearly always all plain.
bool AllPlain(std::string_view text) {
    const auto* at = reinterpret_cast<const unsigned char*>(text.data());
    unsigned char bad = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = at[i];
        bad |= static_cast<unsigned char>((c < 0x20) | (c > 0x7e) | (c == '"') | (c == '\\'));
    }
    return bad == 0;
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
