#include "storage/ValueSyntax.h"

#include <cstddef>

namespace Zelkor {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool isBase64Alphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || isDigit(c) || c == '+' ||
           c == '/';
}

// Advances over a run of digits and tells how many there were.
std::size_t skipDigits(const std::string& text, std::size_t& pos, bool (*digit)(char) = isDigit) {
    const std::size_t start = pos;
    while (pos < text.size() && digit(text[pos])) {
        ++pos;
    }
    return pos - start;
}

void skipSign(const std::string& text, std::size_t& pos) {
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        ++pos;
    }
}

}  // namespace

bool IsNumberText(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    std::size_t pos = 0;
    skipSign(text, pos);
    skipDigits(text, pos);
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        if (skipDigits(text, pos) == 0) {
            return false;
        }
    }
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        ++pos;
        skipSign(text, pos);
        if (skipDigits(text, pos) == 0) {
            return false;
        }
    }
    return pos == text.size();
}

bool IsHexFloatText(const std::string& text) {
    std::size_t pos = 0;
    skipSign(text, pos);
    if (text.compare(pos, 2, "0x") != 0 && text.compare(pos, 2, "0X") != 0) {
        return false;
    }
    pos += 2;
    std::size_t digits = skipDigits(text, pos, isHexDigit);
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        digits += skipDigits(text, pos, isHexDigit);
    }
    if (digits == 0 || pos >= text.size() || (text[pos] != 'p' && text[pos] != 'P')) {
        return false;
    }
    ++pos;
    skipSign(text, pos);
    return skipDigits(text, pos) > 0 && pos == text.size();
}

bool IsBase64Text(const std::string& text) {
    const std::size_t size = text.size();
    if (size % 4 != 0) {
        return false;
    }
    if (size == 0) {
        return true;
    }
    const std::size_t lastGroup = size - 4;
    for (std::size_t i = 0; i < lastGroup; ++i) {
        if (!isBase64Alphabet(text[i])) {
            return false;
        }
    }
    // The last group: four characters, or two or three followed by padding up to four.
    std::size_t alphabet = 0;
    while (alphabet < 4 && isBase64Alphabet(text[lastGroup + alphabet])) {
        ++alphabet;
    }
    if (alphabet == 4) {
        return true;
    }
    if (alphabet < 2) {
        return false;
    }
    for (std::size_t i = lastGroup + alphabet; i < size; ++i) {
        if (text[i] != '=') {
            return false;
        }
    }
    return true;
}

}  // namespace Zelkor
