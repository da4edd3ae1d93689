#include "storage/JsonTextIO.h"

#include <string>

#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim_all.hpp>

#include "core/JsonText.h"

namespace Zelkor {

namespace {

// 2^64 as a double: the first real that no longer fits an unsigned 64-bit number.
constexpr double kTwoPow64 = 18446744073709551616.0;

}  // namespace

bool ParseJsonText(const std::string& text, Json::Value& out, std::string& error) {
    out = Json::Value();
    error.clear();
    Json::Value parsed;
    if (ReadJson(text, parsed, error) != JsonReadResult::ok) {
        // The reader's message spans lines; log lines must not.
        boost::algorithm::replace_all(error, "\n", " ");
        boost::algorithm::trim_all(error);
        return false;
    }
    if (!JsonDepthWithin(parsed, kMaxJsonDepth)) {
        error = "nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels";
        return false;
    }
    out.swap(parsed);
    return true;
}

bool JsonDepthWithin(const Json::Value& value, unsigned maxDepth) {
    if (!value.isArray() && !value.isObject()) {
        return true;
    }
    if (maxDepth == 0) {
        return false;
    }
    for (const auto& member : value) {
        if (!JsonDepthWithin(member, maxDepth - 1)) {
            return false;
        }
    }
    return true;
}

std::optional<std::uint64_t> JsonToUInt64(const Json::Value& value) {
    switch (value.type()) {
    case Json::nullValue:
        return 0;
    case Json::booleanValue:
        return value.asBool() ? 1 : 0;
    case Json::intValue:
    case Json::uintValue:
        if (value.isUInt64()) {
            return value.asUInt64();
        }
        return std::nullopt;
    case Json::realValue: {
        const double d = value.asDouble();
        if (d >= 0.0 && d < kTwoPow64) {
            return static_cast<std::uint64_t>(d);
        }
        return std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

std::optional<unsigned> JsonToUInt(const Json::Value& value) {
    if (!value.isConvertibleTo(Json::uintValue)) {
        return std::nullopt;
    }
    return value.asUInt();
}

}  // namespace Zelkor
