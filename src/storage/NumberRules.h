#pragma once
// The number rules shared by reads and writes of stored values, by descriptor attributes
// and by request containers. None of them throws or has undefined behaviour for any
// input: conversions that cannot be represented come back empty instead. Texts are read
// in the "C" locale whatever locale the application set, since numbers on the wire and in
// stored trees always carry a decimal point. Stateless; safe from any thread.

#include <optional>
#include <string>

#include <json/value.h>

namespace Zelkor {

// The standard text-to-double conversion: leading white space skipped, the longest valid
// prefix read (decimal, hexadecimal, "inf", "nan"). 0 when there is no number at the
// start or the number is out of the double range; `overflowed` (when given) tells the
// latter case for magnitudes beyond the largest double.
double TextToNumber(const std::string& text, bool* overflowed = nullptr);

// The number of a text that is one finite number (as TextToNumber reads it) and nothing
// after it; empty otherwise.
std::optional<double> WholeTextNumber(const std::string& text);

// The C `atoi` rule: leading white space, an optional sign and the digits after it; 0 when
// there are none. Saturates at the limits of long long instead of overflowing.
long long LeadingInteger(const std::string& text);

// Nearest integer, halves away from zero; empty for NaN, infinities and results outside
// the target range.
std::optional<int> RoundToInt32(double x);
std::optional<long long> RoundToInt64(double x);

// A JSON signed or unsigned integer; a real is none, whatever its value.
bool IsIntegerValue(const Json::Value& value);

// A whole number as JSON: a 32-bit integer where it fits, else a 64-bit one.
Json::Value IntegerValue(long long number);

// How a computed double is answered: a whole number inside the 32-bit range as a JSON
// integer, a wider whole number as a 64-bit JSON integer (or a real beyond that), a number
// with a fraction as a JSON real. Empty for NaN and infinities, which have no JSON form.
std::optional<Json::Value> NumberResult(double x);

}  // namespace Zelkor
