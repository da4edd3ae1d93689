#include "Exec.h"

#include <map>
#include <stdexcept>
#include <vector>

#include "core/JsonText.h"
#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "device/IDevice.h"
#include "driver/CommandTable.h"
#include "driver/ZelkorDriver.h"
#include "services/ICommandInterfaceService.h"

namespace ZelkorNode {
namespace {

using Service = Zelkor::ICommandInterfaceService;

// Arguments are texts: a member that is no text travels as its compact JSON.
std::string ArgumentText(const Json::Value& value) {
    return value.isString() ? value.asString() : Zelkor::WriteCompactJson(value);
}

bool OptionalText(const Json::Value& value) { return value.isNull() || value.isString(); }

}  // namespace

Exec::Exec(Zelkor::IZelkorDriver& driver, const Options& options, Events& events)
    : _driver(driver), _options(options), _events(events) {}

void Exec::Configure(Service& service) {
    // Every role hears its replies; only a device runs commands.
    service.OnExecResult([this](const std::string& path, const std::string& command, bool success,
                                const std::string& result, const std::string& requestid) {
        resultLine("", true, "", path, command, success, result, requestid);
    });
    if (auto* driver = dynamic_cast<Zelkor::ZelkorDriver*>(&_driver)) {
        _errors = driver->AddHandler2("error", [this](Zelkor::MessageSignalData& data) { errorLine(data); });
    }
    if (_options.role != "device") {
        return;
    }
    const auto wanted = [this](const char* name) { return _options.noCallback.count(name) == 0; };
    // The forms that take the connection, so that each line tells which one asked.
    if (wanted("execnamed")) {
        service.OnExecNamedConnParams([this](void* conn, const std::string& path, const std::string& command,
                                             const Service::NamedArgs& args, std::string& result) {
            Json::Value arguments(Json::objectValue);
            for (const auto& [name, value] : args) {
                arguments[name] = value;
            }
            return run("named", conn, path, command, arguments, Zelkor::WriteCompactJson(arguments), result);
        });
    }
    if (wanted("execordered")) {
        service.OnExecOrderedConnParams([this](void* conn, const std::string& path, const std::string& command,
                                               const Service::OrderedArgs& args, std::string& result) {
            Json::Value arguments(Json::arrayValue);
            for (const auto& value : args) {
                arguments.append(value);
            }
            return run("ordered", conn, path, command, arguments, Zelkor::WriteCompactJson(arguments), result);
        });
    }
    if (wanted("exectext")) {
        service.OnExecStrConnParams([this](void* conn, const std::string& path, const std::string& command,
                                           const std::string& args, std::string& result) {
            return run("text", conn, path, command, Json::Value(args), args, result);
        });
    }
}

bool Exec::run(const char* form, void* conn, const std::string& path, const std::string& command,
               const Json::Value& arguments, const std::string& echo, std::string& result) {
    Json::Value fields;
    fields["reply"] = false;
    fields["form"] = form;
    fields["tag"] = Zelkor::ZelkorDriver::Tag(conn);
    fields["path"] = path;
    fields["command"] = command;
    fields["arguments"] = arguments;
    _events.Write("exec", fields);
    if (command == "echo") {
        result = echo;
        return true;
    }
    if (command == "throw") {
        throw std::runtime_error("thrown as asked");
    }
    result = command == "fail" ? "failed as asked" : "unknown command " + command;
    return false;
}

void Exec::AddCommands(Commands& commands) {
    commands["exec"] = [this](const Json::Value& command) { exec(command); };
    commands["raw"] = [this](const Json::Value& command) { raw(command); };
}

// {"cmd":"exec","guid":G,"command":C[,"path":P][,"arguments":A][,"requestid":R][,"tag":T]}:
// A an array (ordered), an object (named) or a text; absent, none. With a tag the reply
// reaches a callback of its own, without one the default handler.
void Exec::exec(const Json::Value& command) {
    const Json::Value& arguments = command["arguments"];
    const Json::Value& tag = command["tag"];
    const bool valid = command["command"].isString() && OptionalText(command["path"]) &&
                       OptionalText(command["requestid"]) && OptionalText(tag) &&
                       (arguments.isNull() || arguments.isArray() || arguments.isObject() || arguments.isString());
    if (!valid) {
        _events.Error("bad arguments for exec");
        return;
    }
    const auto device = ListedDevice(_driver, _events, "exec", command);
    if (!device) {
        return;
    }
    const std::string guid = device->GetDiscoInfo().guid;
    const std::string path = command["path"].asString();
    const std::string name = command["command"].asString();
    const std::string requestid = command["requestid"].asString();
    Zelkor::IDevice::ExecCallback callback;
    if (!tag.isNull()) {
        callback = [this, text = tag.asString(), guid](const std::string& path, const std::string& command,
                                                       bool success, const std::string& result,
                                                       const std::string& requestid) {
            resultLine(text, false, guid, path, command, success, result, requestid);
        };
    }
    if (arguments.isArray()) {
        std::vector<std::string> list;
        for (const auto& value : arguments) {
            list.push_back(ArgumentText(value));
        }
        device->SendExecCommand(path.c_str(), name.c_str(), list, requestid, callback);
    } else if (arguments.isObject()) {
        std::map<std::string, std::string> named;
        for (const auto& member : arguments.getMemberNames()) {
            named[member] = ArgumentText(arguments[member]);
        }
        device->SendExecCommand(path.c_str(), name.c_str(), named, requestid, callback);
    } else {
        device->SendExecCommand(path.c_str(), name.c_str(), arguments.asString(), requestid, callback);
    }
    Json::Value answer = RequestLine("exec", guid, true);
    if (!tag.isNull()) {
        answer["tag"] = tag;
    }
    _events.Write("request", answer);
}

// {"cmd":"raw","guid":G,"line":L[,"tag":T]}: the line as typed, "get {...}" say; its reply
// comes as a "raw" line with the text as it came in.
void Exec::raw(const Json::Value& command) {
    const Json::Value& tag = command["tag"];
    if (!command["line"].isString() || !OptionalText(tag)) {
        _events.Error("bad arguments for raw");
        return;
    }
    const auto device = ListedDevice(_driver, _events, "raw", command);
    if (!device) {
        return;
    }
    const std::string guid = device->GetDiscoInfo().guid;
    const std::string line = command["line"].asString();
    Json::Value answer = RequestLine("raw", guid, true);
    if (!tag.isNull()) {
        answer["tag"] = tag;
    }
    // The library sends no line that does not read as a request, and answers none: the
    // script is told so, not left waiting.
    const std::string refusal = rawRefusal(line);
    if (!refusal.empty()) {
        WriteRequest(_events, answer, false, refusal);
        return;
    }
    if (void* const handle = device->GetConnectionHandle()) {
        answer["connection"] = Zelkor::ZelkorDriver::Tag(handle);
    }
    device->SendRawCommand(line.c_str(), [this, guid, text = tag.asString()](const std::string& reply) {
        Json::Value fields;
        fields["guid"] = guid;
        fields["tag"] = text;
        fields["text"] = reply;
        _events.Write("raw", fields);
    });
    _events.Write("request", answer);
}

std::string Exec::rawRefusal(const std::string& line) {
    auto* driver = dynamic_cast<Zelkor::ZelkorDriver*>(&_driver);
    if (!driver || !driver->RawRequestLine(line.c_str(), Zelkor::MessageForwardInfo()).empty()) {
        return "";
    }
    std::string word;
    std::string json;
    const bool reply = _driver.SplitRawCommand(line, word, json);
    if (word.empty()) {
        return "the line names no command word";
    }
    if (reply) {
        return "\"@" + word + "\" is a reply, not a request";
    }
    if (!Zelkor::LookupCommand(word)) {
        return "\"" + word + "\" is no command word of the protocol";
    }
    return "its body does not read as a \"" + word + "\" request";
}

// {"event":"exec","reply":true,"tag":T,"default":D[,"guid":G],"path":P,"command":C,"success":S,
//  "result":R,"requestid":I}: the guid only for a request's own callback (the default
// handler serves every device).
void Exec::resultLine(const std::string& tag, bool byDefault, const std::string& guid, const std::string& path,
                      const std::string& command, bool success, const std::string& result,
                      const std::string& requestid) {
    Json::Value fields;
    fields["reply"] = true;
    fields["tag"] = tag;
    fields["default"] = byDefault;
    if (!guid.empty()) {
        fields["guid"] = guid;
    }
    fields["path"] = path;
    fields["command"] = command;
    fields["success"] = success;
    fields["result"] = result;
    fields["requestid"] = requestid;
    _events.Write("exec", fields);
}

// {"event":"errorReply","tag":T,"source":S,"message":M}: the source is the answering
// node's name when it came through a router, else "".
void Exec::errorLine(Zelkor::MessageSignalData& data) {
    const Zelkor::Message* reply = data.GetMessage();
    if (!reply || !reply->GetIsReply()) {
        return;
    }
    Json::Value fields;
    fields["tag"] = Zelkor::ZelkorDriver::Tag(data.Handle());
    fields["source"] = reply->GetMessageForwardInfo().GetSource();
    const char* message = reply->GetParameter(Zelkor::Param::message);
    fields["message"] = message ? message : "";
    _events.Write("errorReply", fields);
}

}  // namespace ZelkorNode
