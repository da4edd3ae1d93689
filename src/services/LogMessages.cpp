#include "services/LogMessages.h"

#include <cstdint>
#include <utility>

#include "core/Conversions.h"
#include "core/JsonText.h"

namespace Zelkor {

namespace {

struct RowMember {
    Param param;
    const char* missing;
};

const RowMember kRowMembers[] = {
    {Param::seqno, "Seqno is required."},       {Param::time, "Time is required."},
    {Param::priority, "Priority is required."}, {Param::category, "Category is required."},
    {Param::event, "Event is required."},
};

// A member's text: strings as they are, other scalars in their JSON text, structures in
// their compact form (asString would throw on them).
std::string textOf(const Json::Value& value) {
    return value.isArray() || value.isObject() ? WriteCompactJson(value) : value.asString();
}

template <class Number>
Number numberOf(const Message& message, Param p) {
    return Conversions::StringToNumber<Number>(message.GetParameter(p));
}

std::string textOf(const Message& message, Param p) {
    const char* text = message.GetParameter(p);
    return text ? text : "";
}

}  // namespace

LogRow::LogRow()
    : Message({Param::error, Param::seqno, Param::time, Param::priority, Param::category, Param::event}) {}

std::unique_ptr<Message> LogRow::Instantiate() const { return std::make_unique<LogRow>(); }

std::string LogRow::ToNetworkFormat(bool request) const {
    Json::Value body(Json::objectValue);
    if (request) {
        for (const auto& member : kRowMembers) {
            const char* text = GetParameter(member.param);
            if (!text) {
                return std::string();
            }
            body[GetStringFromParam(member.param)] = text;
        }
    }
    return WriteLine(request, body);
}

bool LogRow::FromNetworkFormat(bool request, const std::string& line, std::string& error) {
    Json::Value body;
    if (!ReadBody(line, body, error)) {
        return false;
    }
    if (!body.isObject()) {
        body = Json::Value(Json::objectValue);
    }
    const Json::Value& members = body;
    if (!request) {
        for (auto member = members.begin(); member != members.end(); ++member) {
            if (!member->isArray() && !member->isObject()) {
                SetJsonParameter(GetParamFromString(member.name()), Json::Value(member->asString()));
            }
        }
        return true;
    }
    for (const auto& member : kRowMembers) {
        const Json::Value& value = members[GetStringFromParam(member.param)];
        if (value.isNull()) {
            error = member.missing;
            return false;
        }
        SetJsonParameter(member.param, Json::Value(textOf(value)));
    }
    return true;
}

LOGROW LogRow::GetRow() const {
    LOGROW row;
    row.seqno = numberOf<std::uint64_t>(*this, Param::seqno);
    row.time = numberOf<std::int64_t>(*this, Param::time);
    row.priority = numberOf<std::uint32_t>(*this, Param::priority);
    row.category = textOf(*this, Param::category);
    row.event = textOf(*this, Param::event);
    return row;
}

void LogRow::SetRow(const LOGROW& row) {
    SetJsonParameter(Param::seqno, Json::Value(std::to_string(row.seqno)));
    SetJsonParameter(Param::time, Json::Value(std::to_string(row.time)));
    SetJsonParameter(Param::priority, Json::Value(std::to_string(row.priority)));
    SetJsonParameter(Param::category, Json::Value(row.category));
    SetJsonParameter(Param::event, Json::Value(row.event));
}

SubLog::SubLog() : Message({Param::error, Param::mark, Param::priority}) {}

std::unique_ptr<Message> SubLog::Instantiate() const { return std::make_unique<SubLog>(); }

std::string SubLog::ToNetworkFormat(bool request) const {
    Json::Value body(Json::objectValue);
    for (const auto& parameter : GetParameters()) {
        const Param p = parameter.ParameterName();
        if (p == Param::error) {
            putString(body, p, parameter.ParameterValue(0));
        } else {
            putInt(body, p, parameter.ParameterValue(0));
        }
    }
    return WriteLine(request, body);
}

UnsubLog::UnsubLog() : Message({Param::error}) {}

std::unique_ptr<Message> UnsubLog::Instantiate() const { return std::make_unique<UnsubLog>(); }

std::unique_ptr<Message> CreateLogRow() { return std::make_unique<LogRow>(); }

std::unique_ptr<Message> CreateSubLog() { return std::make_unique<SubLog>(); }

std::unique_ptr<Message> CreateUnsubLog() { return std::make_unique<UnsubLog>(); }

}  // namespace Zelkor
