#include "storage/NumberRules.h"

#include <cerrno>
#include <cmath>
#include <limits>

#include "core/CLocaleNumber.h"

namespace Zelkor {

namespace {

// 2^63 and 2^31 as doubles: the first values past the signed ranges.
constexpr double kInt64Bound = 9223372036854775808.0;
constexpr double kInt32Bound = 2147483648.0;

// strtod in the "C" locale: the number, where it ended, and whether it was out of range.
double convert(const std::string& text, const char*& end, bool& outOfRange) {
    const char* begin = text.c_str();
    char* stop = nullptr;
    errno = 0;
    const double value = StrtodC(begin, &stop);
    outOfRange = errno == ERANGE;
    end = stop;
    return value;
}

}  // namespace

double TextToNumber(const std::string& text, bool* overflowed) {
    if (overflowed) {
        *overflowed = false;
    }
    const char* end = nullptr;
    bool outOfRange = false;
    const double value = convert(text, end, outOfRange);
    if (end == text.c_str()) {
        return 0.0;
    }
    if (outOfRange) {
        if (overflowed && std::isinf(value)) {
            *overflowed = true;
        }
        return 0.0;
    }
    return value;
}

std::optional<double> WholeTextNumber(const std::string& text) {
    const char* end = nullptr;
    bool outOfRange = false;
    const double value = convert(text, end, outOfRange);
    if (end == text.c_str() || end != text.c_str() + text.size() || outOfRange ||
        !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

long long LeadingInteger(const std::string& text) {
    return StrtollC(text.c_str(), nullptr, 10);
}

std::optional<long long> RoundToInt64(double x) {
    if (!std::isfinite(x)) {
        return std::nullopt;
    }
    const double rounded = std::round(x);
    if (rounded < -kInt64Bound || rounded >= kInt64Bound) {
        return std::nullopt;
    }
    return static_cast<long long>(rounded);
}

std::optional<int> RoundToInt32(double x) {
    if (!std::isfinite(x)) {
        return std::nullopt;
    }
    const double rounded = std::round(x);
    if (rounded < -kInt32Bound || rounded >= kInt32Bound) {
        return std::nullopt;
    }
    return static_cast<int>(rounded);
}

bool IsIntegerValue(const Json::Value& value) {
    return value.type() == Json::intValue || value.type() == Json::uintValue;
}

Json::Value IntegerValue(long long number) {
    if (number >= std::numeric_limits<Json::Int>::min() &&
        number <= std::numeric_limits<Json::Int>::max()) {
        return Json::Value(static_cast<Json::Int>(number));
    }
    return Json::Value(static_cast<Json::Int64>(number));
}

std::optional<Json::Value> NumberResult(double x) {
    if (!std::isfinite(x)) {
        return std::nullopt;
    }
    if (std::trunc(x) != x) {
        return Json::Value(x);
    }
    if (x >= -kInt64Bound && x < kInt64Bound) {
        return IntegerValue(static_cast<long long>(x));
    }
    return Json::Value(x);
}

}  // namespace Zelkor
