#include "Values.h"

#include "Options.h"
#include "discovery/IDeviceList.h"

namespace ZelkorNode {

Values::Values(Zelkor::IZelkorDriver& driver, Events& events) : _driver(driver), _events(events) {}

// The device calls its callbacks while it lives, so they may hold it by plain pointer.
void Values::Adopt(Zelkor::IDevice& device) {
    using Container = Zelkor::ObjectParamContainer;
    Zelkor::IDevice* const from = &device;
    device.OnGetResult(
        [this, from](const Container& values) { replyLine("get", "", true, from->GetDiscoInfo().guid, values); });
    device.OnSetResult(
        [this, from](const Container& values) { replyLine("set", "", true, from->GetDiscoInfo().guid, values); });
}

void Values::AddCommands(Commands& commands) {
    for (const char* name : {"get", "set"}) {
        commands[name] = [this, name](const Json::Value& command) { request(name, command); };
    }
}

// {"cmd":"get"|"set","guid":G,"values":V[,"tag":T]}, V in a container's JSON form.
void Values::request(const std::string& name, const Json::Value& command) {
    std::string guid;
    Zelkor::ObjectParamContainer values;
    const Json::Value& tag = command["tag"];
    Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
    // The first argument that is wrong, named with what it should be.
    const char* fault = nullptr;
    if (!command["guid"].isString() || !CanonicalGuid(command["guid"].asString(), guid)) {
        fault = "\"guid\": expected a GUID";
    } else if (!tag.isNull() && !tag.isString()) {
        fault = "\"tag\": expected a text";
    } else if (!values.FromJson(command["values"])) {
        fault = "\"values\": expected a list of entries, each with a \"path\" text";
    } else if (!discovery) {
        fault = "no discovery service";
    }
    if (fault) {
        _events.Error("bad arguments for " + name + ": " + fault);
        return;
    }
    const auto device = discovery->GetDeviceList()->GetDeviceByUUID(guid);
    if (!device) {
        _events.Error("no device " + command["guid"].asString() + " for " + name);
        return;
    }
    const bool set = name == "set";
    if (tag.isNull()) {
        set ? device->SetParameter(values) : device->GetParameter(values);
    } else {
        const std::string text = tag.asString();
        auto callback = [this, event = set ? "set" : "get", text, guid](const Zelkor::ObjectParamContainer& reply) {
            replyLine(event, text, false, guid, reply);
        };
        set ? device->SetParameter(values, callback, false, text) : device->GetParameter(values, callback, false, text);
    }
    Json::Value answer = RequestLine(name, guid, true);
    if (!tag.isNull()) {
        answer["tag"] = tag;
    }
    _events.Write("request", answer);
}

// {"event":"get"|"set","tag":T,"default":D,"guid":G,"values":V}: the device that answered,
// so that a reply is never taken for another device's.
void Values::replyLine(const char* event, const std::string& tag, bool byDefault, const std::string& guid,
                       const Zelkor::ObjectParamContainer& values) {
    Json::Value fields;
    fields["tag"] = tag;
    fields["default"] = byDefault;
    fields["guid"] = guid;
    fields["values"] = values.ToJson();
    _events.Write(event, fields);
}

}  // namespace ZelkorNode
