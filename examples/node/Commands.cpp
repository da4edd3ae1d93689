#include "Commands.h"

#include "Options.h"
#include "discovery/IDeviceList.h"

namespace ZelkorNode {

bool ReadDeviceRequest(Zelkor::IZelkorDriver& driver, Events& events, const std::string& name,
                       const Json::Value& command, DeviceRequest& out) {
    // The first argument that is wrong, named with what it should be.
    std::string fault;
    for (const char* key : {"guid", "path", "current", "new", "mac", "name", "timeout"}) {
        const Json::Value& value = command[key];
        const bool timeout = std::string(key) == "timeout";
        if (value.isString() || (timeout && value.isIntegral())) {
            out.texts[key] = value.asString();
        } else if (!value.isNull() && fault.empty()) {
            fault = std::string("\"") + key + "\": expected " + (timeout ? "a text or a whole number" : "a text");
        }
    }
    const std::string& guid = out.texts["guid"];
    if (fault.empty() && !guid.empty() && !CanonicalGuid(guid, out.guid)) {
        fault = "\"guid\": expected a GUID";
    }
    out.discovery = driver.GetDiscoveryService();
    if (fault.empty() && !out.discovery) {
        fault = "no discovery service";
    }
    if (!fault.empty()) {
        events.Error("bad arguments for " + name + ": " + fault);
        return false;
    }
    if (!out.guid.empty()) {
        out.device = out.discovery->GetDeviceList()->GetDeviceByUUID(out.guid);
    }
    return true;
}

std::shared_ptr<Zelkor::IDevice> ListedDevice(Zelkor::IZelkorDriver& driver, Events& events, const std::string& name,
                                              const Json::Value& command) {
    std::string guid;
    Zelkor::IDiscoveryService* discovery = driver.GetDiscoveryService();
    if (!command["guid"].isString() || !CanonicalGuid(command["guid"].asString(), guid)) {
        events.Error("bad arguments for " + name + ": \"guid\": expected a GUID");
        return nullptr;
    }
    if (!discovery) {
        events.Error("bad arguments for " + name + ": no discovery service");
        return nullptr;
    }
    auto device = discovery->GetDeviceList()->GetDeviceByUUID(guid);
    if (!device) {
        events.Error("no device " + command["guid"].asString() + " for " + name);
    }
    return device;
}

Json::Value DeviceFields(Zelkor::IDevice& device) {
    Json::Value fields;
    fields["guid"] = device.GetDiscoInfo().guid;
    return fields;
}

Json::Value RequestLine(const std::string& name, const std::string& guid, bool toDevice) {
    Json::Value line;
    line["cmd"] = name;
    line["guid"] = guid;
    line["to"] = toDevice ? "device" : "all";
    return line;
}

bool Reachable(Zelkor::IDevice& device) { return device.GetConnectionHandle() != nullptr; }

void WriteRequest(Events& events, Json::Value line, bool sent, const std::string& why) {
    if (sent) {
        events.Write("request", line);
        return;
    }
    line["sent"] = false;
    events.Write("request", line);
    const std::string name = line["cmd"].asString();
    events.Error(name + " to " + line["guid"].asString() + " not sent, no answer will come: " +
                 (why.empty() ? "the device has no connection, its own or a router's (one heard by discovery is "
                                "connected by \"connect\")"
                              : why));
}

std::string Unbracketed(const std::string& address) {
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        return address.substr(1, address.size() - 2);
    }
    return address;
}

}  // namespace ZelkorNode
