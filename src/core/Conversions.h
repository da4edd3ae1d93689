#pragma once
// Decimal text to number and back through string streams. Neither throws: a text that
// does not read gives 0, a failed write the empty text. Pure functions: any thread.

#include <sstream>
#include <string>

namespace Zelkor {
namespace Conversions {

// Reads one number from the front of the text (leading white space skipped, reading
// stops at the first character that does not belong to it); 0 for a null text or when
// nothing can be read.
template <class T>
T StringToNumber(const char* text) {
    if (!text) {
        return T(0);
    }
    try {
        std::istringstream stream(text);
        T value{};
        if (stream >> value) {
            return value;
        }
    } catch (...) {
    }
    return T(0);
}

template <class T>
std::string NumberToString(T value) {
    try {
        std::ostringstream stream;
        stream << value;
        return stream.str();
    } catch (...) {
        return std::string();
    }
}

}  // namespace Conversions
}  // namespace Zelkor
