#include "storage/LogRow.h"

#include <optional>
#include <utility>

#include <json/json.h>

#include "core/JsonText.h"
#include "storage/JsonTextIO.h"
#include "storage/ValueText.h"

namespace {

constexpr const char* kCategory = "category";
constexpr const char* kEvent = "event";
constexpr const char* kPriority = "priority";
constexpr const char* kSeqno = "seqno";
constexpr const char* kTime = "time";

// Time as written by to_json (unsigned) or by anyone else (signed).
std::optional<std::int64_t> readTime(const Json::Value& value) {
    if (value.isInt64()) {
        return value.asInt64();
    }
    if (const auto bits = Zelkor::JsonToUInt64(value)) {
        return static_cast<std::int64_t>(*bits);
    }
    return std::nullopt;
}

}  // namespace

std::string LOGROW::to_json() const {
    Json::Value json(Json::objectValue);
    json[kCategory] = category;
    json[kEvent] = event;
    json[kPriority] = Json::UInt64(priority);
    json[kSeqno] = Json::UInt64(seqno);
    json[kTime] = static_cast<Json::UInt64>(time);
    return Zelkor::WriteCompactJson(json);
}

bool LOGROW::from_json(const std::string& text) {
    const auto brace = text.find('{');
    if (brace == std::string::npos) {
        return false;
    }
    Json::Value parsed;
    std::string error;
    if (!Zelkor::ParseJsonText(text.substr(brace), parsed, error) || !parsed.isObject()) {
        return false;
    }
    const Json::Value& json = parsed;
    const auto newSeqno = Zelkor::JsonToUInt64(json[kSeqno]);
    const auto newTime = readTime(json[kTime]);
    const auto newPriority = Zelkor::JsonToUInt(json[kPriority]);
    std::string newCategory;
    std::string newEvent;
    if (!newSeqno || !newTime || !newPriority || !Zelkor::ValueText(json[kCategory], newCategory) ||
        !Zelkor::ValueText(json[kEvent], newEvent)) {
        return false;
    }
    seqno = *newSeqno;
    time = *newTime;
    priority = *newPriority;
    category = std::move(newCategory);
    event = std::move(newEvent);
    return true;
}
