#pragma once
// Whole-text number readings for the discovery-level messages: an optional "+" or "-",
// then decimal digits and nothing else. A "-" negates modulo the width, as the standard
// lexical conversion of unsigned numbers does; the magnitude must fit the width.
//
// Pure functions: any thread. They never throw on peer text.

#include <cstdint>
#include <limits>
#include <string>

namespace Zelkor {

namespace NumberText {

// The magnitude and sign of the text; false for anything but sign and digits, and for a
// magnitude above `limit`.
inline bool readMagnitude(const std::string& text, std::uint64_t limit, std::uint64_t& magnitude, bool& negative) {
    std::size_t at = 0;
    negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        at = 1;
    }
    if (at == text.size()) {
        return false;
    }
    magnitude = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c < '0' || c > '9') {
            return false;
        }
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
        if (magnitude > limit) {
            return false;
        }
    }
    return true;
}

template <class Unsigned>
bool ReadUnsigned(const std::string& text, Unsigned& out) {
    std::uint64_t magnitude = 0;
    bool negative = false;
    if (!readMagnitude(text, std::numeric_limits<Unsigned>::max(), magnitude, negative)) {
        return false;
    }
    out = static_cast<Unsigned>(negative ? Unsigned(0) - static_cast<Unsigned>(magnitude) : magnitude);
    return true;
}

inline bool ReadSigned32(const std::string& text, std::int32_t& out) {
    std::uint64_t magnitude = 0;
    bool negative = false;
    const std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
    if (!readMagnitude(text, limit, magnitude, negative) || (!negative && magnitude == limit)) {
        return false;
    }
    const auto value = static_cast<std::int64_t>(magnitude);
    out = static_cast<std::int32_t>(negative ? -value : value);
    return true;
}

}  // namespace NumberText

}  // namespace Zelkor
