#include "Commands.h"

#include "Options.h"
#include "discovery/IDeviceList.h"

namespace ZelkorNode {

bool ReadDeviceRequest(Zelkor::IZelkorDriver& driver, Events& events, const std::string& name,
                       const Json::Value& command, DeviceRequest& out) {
    bool valid = true;
    for (const char* key : {"guid", "path", "current", "new", "mac", "name", "timeout"}) {
        const Json::Value& value = command[key];
        if (value.isString()) {
            out.texts[key] = value.asString();
        } else if (std::string(key) == "timeout" && value.isIntegral()) {
            out.texts[key] = value.asString();
        } else if (!value.isNull()) {
            valid = false;
        }
    }
    const std::string& guid = out.texts["guid"];
    valid = valid && (guid.empty() || CanonicalGuid(guid, out.guid));
    out.discovery = driver.GetDiscoveryService();
    if (!valid || !out.discovery) {
        events.Error("bad arguments for " + name);
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
    if (!command["guid"].isString() || !CanonicalGuid(command["guid"].asString(), guid) || !discovery) {
        events.Error("bad arguments for " + name);
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

std::string Unbracketed(const std::string& address) {
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        return address.substr(1, address.size() - 2);
    }
    return address;
}

}  // namespace ZelkorNode
