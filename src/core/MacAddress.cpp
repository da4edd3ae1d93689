#include "core/MacAddress.h"

#include <algorithm>
#include <optional>

namespace Zelkor {

namespace {

std::optional<unsigned char> HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<unsigned char>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<unsigned char>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<unsigned char>(c - 'A' + 10);
    }
    return std::nullopt;
}

// Reads the address from `text` into `bytes`; false at the first character that breaks
// the rules.
bool Parse(std::string_view text, MacAddress::Bytes6& bytes) {
    std::size_t at = text.find_first_not_of(" \t");
    if (at == std::string_view::npos) {
        return false;
    }
    auto next = [&](char c) {
        if (at < text.size() && text[at] == c) {
            ++at;
            return true;
        }
        return false;
    };
    next('{');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && !next(':') && !next('-')) {
            return false;
        }
        if (text.size() - at < 2) {
            return false;
        }
        const auto high = HexValue(text[at]);
        const auto low = HexValue(text[at + 1]);
        if (!high || !low) {
            return false;
        }
        bytes[i] = static_cast<unsigned char>(*high << 4 | *low);
        at += 2;
    }
    next('}');
    return at == text.size();
}

}  // namespace

MacAddress::MacAddress(const std::string& text) { Set(std::string_view(text)); }

MacAddress::MacAddress(const char* text) { Set(text); }

MacAddress::MacAddress(const unsigned char* bytes) { Set(bytes); }

bool MacAddress::Set(const char* text) { return text != nullptr && Set(std::string_view(text)); }

bool MacAddress::Set(std::string_view text) {
    Bytes6 bytes{};
    if (!Parse(text, bytes)) {
        return false;
    }
    assign(bytes);
    return true;
}

bool MacAddress::Set(const unsigned char* bytes) {
    if (bytes == nullptr) {
        return false;
    }
    Bytes6 copy{};
    std::copy_n(bytes, copy.size(), copy.begin());
    assign(copy);
    return true;
}

bool MacAddress::isEmpty() const {
    return std::all_of(_bytes.begin(), _bytes.end(), [](unsigned char b) { return b == 0; });
}

void MacAddress::assign(const Bytes6& bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    _bytes = bytes;
    _text.clear();
    for (std::size_t i = 0; i < _bytes.size(); ++i) {
        if (i > 0) {
            _text += ':';
        }
        _text += kHex[_bytes[i] >> 4];
        _text += kHex[_bytes[i] & 0x0f];
    }
    _valid = true;
}

}  // namespace Zelkor
