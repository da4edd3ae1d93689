#include "DeviceState.h"

#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "discovery/IDeviceList.h"
#include "driver/ZelkorDriver.h"
#include "services/DeviceStateService.h"
#include "services/IDeviceStateService.h"

namespace ZelkorNode {
namespace {

Json::Value SettingsFields(const Zelkor::SETIP_SETTINGS& settings) {
    Json::Value fields;
    fields["mac"] = settings.mac;
    fields["ip"] = settings.ip;
    fields["subnetmask"] = settings.subnetmask;
    fields["gateway"] = settings.gateway;
    fields["dhcp"] = settings.dhcp;
    fields["result"] = settings.result;
    fields["error"] = settings.error;
    return fields;
}

// A text member of a reply; "" when it has none.
std::string ReplyText(const Zelkor::Message& message, Zelkor::Param name) {
    const char* text = message.GetParameter(name);
    return text ? text : "";
}

}  // namespace

RunnerDeviceState::RunnerDeviceState(const Options& options, Events& events) : _options(options), _events(events) {}

std::string RunnerDeviceState::GetDeviceStateText() {
    Json::Value fields;
    fields["text"] = _options.deviceState;
    _events.Write("getDeviceStateText", fields);
    return _options.deviceState;
}

std::string RunnerDeviceState::GetPresetInfo() {
    Json::Value fields;
    fields["text"] = _options.presetInfo;
    _events.Write("getPresetInfo", fields);
    return _options.presetInfo;
}

bool RunnerDeviceState::ApplyNetworkSettings(const std::string& ip, const std::string& subnetmask,
                                             const std::string& gateway, const std::string& mac, bool& dhcp) {
    Json::Value fields;
    fields["ip"] = ip;
    fields["subnetmask"] = subnetmask;
    fields["gateway"] = gateway;
    fields["mac"] = mac;
    fields["dhcp"] = dhcp;
    fields["result"] = _options.setIPAccepted;
    _events.Write("applyNetworkSettings", fields);
    return _options.setIPAccepted;
}

bool RunnerDeviceState::UpdateFirmware(std::string& error, std::string arguments) {
    Json::Value fields;
    fields["reply"] = false;
    fields["arguments"] = arguments;
    _events.Write("fwupdate", fields);
    if (_options.firmwareError) {
        error = *_options.firmwareError;
        return false;
    }
    return true;
}

DeviceState::DeviceState(Zelkor::IZelkorDriver& driver, const Options& options, Events& events)
    : _driver(driver), _events(events), _object(options, events) {}

Json::Value DeviceState::replyFields(Zelkor::MessageSignalData& data) {
    Json::Value fields;
    fields["tag"] = Zelkor::ZelkorDriver::Tag(data.Handle());
    fields["source"] = data.GetMessage() ? data.GetMessage()->GetMessageForwardInfo().GetSource() : "";
    return fields;
}

void DeviceState::Configure() {
    auto* service = dynamic_cast<Zelkor::DeviceStateService*>(_driver.GetDeviceStateService());
    if (!service) {
        return;
    }
    // Requests reach the same signals; the service has answered them before these run.
    _stateReplies = service->AddHandler2("getdevicestate", [this](Zelkor::MessageSignalData& data) {
        const Zelkor::Message* reply = data.GetMessage();
        if (!reply || !reply->GetIsReply()) {
            return;
        }
        Json::Value fields = replyFields(data);
        fields["devicestate"] = ReplyText(*reply, Zelkor::Param::devicestate);
        fields["error"] = ReplyText(*reply, Zelkor::Param::error);
        _events.Write("getdevicestate", fields);
    });
    _presetReplies = service->AddHandler2("getpresetinfo", [this](Zelkor::MessageSignalData& data) {
        const Zelkor::Message* reply = data.GetMessage();
        if (!reply || !reply->GetIsReply()) {
            return;
        }
        Json::Value fields = replyFields(data);
        fields["path"] = ReplyText(*reply, Zelkor::Param::path);
        fields["isdirty"] = ReplyText(*reply, Zelkor::Param::isdirty);
        fields["error"] = ReplyText(*reply, Zelkor::Param::error);
        _events.Write("getpresetinfo", fields);
    });
    // Routed presets lists, requests among them, come here once.
    _presetsLists = service->ListPresetsSignal().Connect([this](Zelkor::MessageSignalData& data) {
        const Zelkor::Message* reply = data.GetMessage();
        if (!reply || !reply->GetIsReply()) {
            return;
        }
        Json::Value fields = replyFields(data);
        fields["command"] = ReplyText(*reply, Zelkor::Param::command);
        fields["error"] = ReplyText(*reply, Zelkor::Param::error);
        _events.Write("listpresets", fields);
    });
    if (Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService()) {
        discovery->GetDeviceList()->OnSetIP(
            [this](Zelkor::SETIP_SETTINGS& settings) { _events.Write("setip", SettingsFields(settings)); });
    }
}

// The device calls its callback while it lives, so it may hold the device by plain pointer.
void DeviceState::Attach(Zelkor::IDevice& device) {
    Zelkor::IDevice* const from = &device;
    device.OnSetIP([this, from](Zelkor::SETIP_SETTINGS& settings) {
        Json::Value fields = SettingsFields(settings);
        fields["guid"] = from->GetDiscoInfo().guid;
        _events.Write("setip", fields);
    });
}

void DeviceState::AddCommands(Commands& commands) {
    for (const char* name : {"getdevicestate", "getpresetinfo", "listpresets"}) {
        commands[name] = [this, name](const Json::Value& command) { ask(name, command); };
    }
    commands["setip"] = [this](const Json::Value& command) { setIP(command); };
}

// {"cmd":"getdevicestate"|"getpresetinfo"|"listpresets","guid":G}: on the connection a
// request to the device takes, with the device's routing header, so that a device behind a
// router answers itself. "sent" is false when the device has no connection.
void DeviceState::ask(const std::string& name, const Json::Value& command) {
    const auto device = ListedDevice(_driver, _events, name, command);
    Zelkor::IDeviceStateService* service = _driver.GetDeviceStateService();
    if (!device) {
        return;
    }
    void* const handle = device->GetConnectionHandle();
    if (handle && service) {
        device->SetForwardInfo();
        Zelkor::MessageForwardInfo header;
        device->GetForwardInfo(header);
        if (name == "getdevicestate") {
            service->SendGetDeviceState(handle, header);
        } else if (name == "getpresetinfo") {
            service->SendGetPreset(handle, header);
        } else {
            service->SendListPresets(handle, header);
        }
    }
    Json::Value answer = RequestLine(name, device->GetDiscoInfo().guid, true);
    answer["sent"] = handle != nullptr && service != nullptr;
    if (handle) {
        answer["connection"] = Zelkor::ZelkorDriver::Tag(handle);
    }
    WriteRequest(_events, answer, handle != nullptr && service != nullptr,
                 service ? "" : "the node has no device-state service");
}

// {"cmd":"setip"[,"guid":G],"mac":M[,"ip":I][,"subnetmask":S][,"gateway":W][,"dhcp":D]}:
// to the listed device through its device object, or without "guid" to every node.
void DeviceState::setIP(const Json::Value& command) {
    Zelkor::SETIP_SETTINGS settings;
    bool valid = command["dhcp"].isNull() || command["dhcp"].isBool();
    for (const char* key : {"mac", "ip", "subnetmask", "gateway"}) {
        valid = valid && (command[key].isNull() || command[key].isString());
    }
    if (!valid) {
        _events.Error("bad arguments for setip");
        return;
    }
    settings.mac = command["mac"].asString();
    settings.ip = command["ip"].asString();
    settings.subnetmask = command["subnetmask"].asString();
    settings.gateway = command["gateway"].asString();
    settings.dhcp = command["dhcp"].asBool();
    if (command.isMember("guid")) {
        const auto device = ListedDevice(_driver, _events, "setip", command);
        if (!device) {
            return;
        }
        const bool sent = Reachable(*device);
        if (sent) {
            device->SetIP(settings);
        }
        WriteRequest(_events, RequestLine("setip", device->GetDiscoInfo().guid, true), sent);
        return;
    }
    if (Zelkor::IDeviceStateService* service = _driver.GetDeviceStateService()) {
        service->SendSetIP(settings);
    }
    _events.Write("request", RequestLine("setip", "", false));
}

}  // namespace ZelkorNode
