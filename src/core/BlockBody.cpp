#include "core/BlockBody.h"

#include <array>
#include <limits>

namespace Zelkor {

namespace {

constexpr std::string_view kBodyFront = "{\"blockno\":";
constexpr std::string_view kDataFront = ",\"data\":\"";
constexpr std::string_view kBodyEnd = "\"}";

// Characters a JSON string carries as they are: printable ASCII without quote and
// backslash. Only such data is read here, so the view equals the string a JSON reader
// would make of it.
constexpr std::array<bool, 256> MakePlainTable() {
    std::array<bool, 256> table{};
    for (int c = 0x20; c <= 0x7e; ++c) {
        table[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    }
    return table;
}

constexpr std::array<bool, 256> kPlain = MakePlainTable();

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
    while (at < body.size() && kPlain[static_cast<unsigned char>(body[at])]) {
        ++at;
    }
    if (body.substr(at) != kBodyEnd) {
        return false;
    }
    out.hasNumber = true;
    out.number = number;
    out.hasData = true;
    out.data = body.substr(dataAt, at - dataAt);
    return true;
}

}  // namespace Zelkor
