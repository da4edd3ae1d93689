#pragma once
// A MAC address value: six bytes, whether they hold an address, and the normalised text
// form (six two-digit lower-case hexadecimal groups joined by ":").
//
// Ownership: a plain value, freely copied. Threads: like any value, no internal locking.

#include <array>
#include <string>
#include <string_view>

namespace Zelkor {

class MacAddress {
public:
    using Bytes6 = std::array<unsigned char, 6>;

    // All zero, not valid, empty text.
    MacAddress() = default;
    // Parses the text (see Set); valid when it was an address.
    explicit MacAddress(const std::string& text);
    explicit MacAddress(const char* text);
    // Takes six bytes; a null pointer gives an address that is not valid.
    explicit MacAddress(const unsigned char* bytes);

    // Accepts blanks and tabs, an optional "{", six hexadecimal pairs each of the first
    // five followed by ":" or "-", an optional "}", and nothing after. Returns whether
    // the whole text was an address; a text that is not leaves this value unchanged.
    bool Set(const char* text);
    bool Set(std::string_view text);
    // Takes six bytes; false (and no change) for a null pointer.
    bool Set(const unsigned char* bytes);

    bool IsValid() const { return _valid; }
    // True when all six bytes are zero.
    bool isEmpty() const;
    const Bytes6& Bytes() const { return _bytes; }
    // "aa:bb:cc:dd:ee:ff", or empty when no address was ever set.
    const std::string& Text() const { return _text; }

    // Compare the six bytes only.
    bool operator==(const MacAddress& other) const { return _bytes == other._bytes; }
    bool operator!=(const MacAddress& other) const { return !(*this == other); }

private:
    void assign(const Bytes6& bytes);

    bool _valid = false;
    Bytes6 _bytes{};
    std::string _text;
};

}  // namespace Zelkor
