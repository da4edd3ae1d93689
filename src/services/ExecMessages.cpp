#include "services/ExecMessages.h"

#include "core/JsonText.h"
#include "storage/RequestBound.h"

namespace Zelkor {

namespace {

const char* const kArguments = "arguments";

// A string member, stored as that very text (SetParameter would turn a text that looks
// like JSON into structure).
void takeText(Message& message, const Json::Value& body, Param p) {
    const Json::Value& member = body[Message::GetStringFromParam(p)];
    if (member.isString()) {
        message.SetJsonParameter(p, member);
    }
}

void putText(const Message& message, Json::Value& body, Param p) {
    if (const char* text = message.GetParameter(p)) {
        body[Message::GetStringFromParam(p)] = text;
    }
}

}  // namespace

ExecCommand::ExecCommand()
    : Message({Param::path, Param::command, Param::result, Param::status, Param::name, Param::requestid,
               Param::error}) {}

std::unique_ptr<Message> ExecCommand::Instantiate() const { return std::make_unique<ExecCommand>(); }

std::string ExecCommand::ToNetworkFormat(bool request) const {
    Json::Value body(Json::objectValue);
    putText(*this, body, Param::command);
    putText(*this, body, Param::path);
    if (!request) {
        putText(*this, body, Param::status);
        if (const char* result = GetParameter(Param::result)) {
            Json::Value structured;
            if (ReadStructuredJson(result, structured)) {
                body[GetStringFromParam(Param::result)] = std::move(structured);
            } else {
                body[GetStringFromParam(Param::result)] = result;
            }
        }
    }
    putText(*this, body, Param::error);
    putText(*this, body, Param::requestid);
    ToNetworkParms(body);
    return WriteLine(request, body);
}

bool ExecCommand::FromNetworkFormat(bool request, const std::string& line, std::string& error) {
    Json::Value parsed;
    if (!ReadBody(line, parsed, error)) {
        return false;
    }
    if (!parsed.isObject()) {
        return true;
    }
    const Json::Value& body = parsed;
    for (const Param p : {Param::command, Param::path, Param::requestid}) {
        takeText(*this, body, p);
    }
    if (!request) {
        takeText(*this, body, Param::status);
        takeText(*this, body, Param::error);
        const Json::Value& result = body[GetStringFromParam(Param::result)];
        if (result.isString() || result.isObject() || result.isArray()) {
            SetJsonParameter(Param::result, result);
        }
    }
    const Json::Value& arguments = body[kArguments];
    if ((arguments.isArray() || arguments.isObject()) && arguments.size() > MaxEntriesPerMessage()) {
        error = kTooManyEntries;
        return false;
    }
    FromNetworkParms(arguments);
    return true;
}

std::unique_ptr<Message> CreateExecCommand() { return std::make_unique<ExecCommand>(); }

}  // namespace Zelkor
