#include "services/DeviceStateMessages.h"

#include <boost/algorithm/string/predicate.hpp>
#include <json/value.h>

#include "core/MacAddress.h"

namespace Zelkor {

namespace {

std::string textOf(const Message& message, Param p) {
    const char* text = message.GetParameter(p);
    return text ? std::string(text) : std::string();
}

}  // namespace

GetDeviceState::GetDeviceState() : Message({Param::devicestate, Param::error}) {}

std::unique_ptr<Message> GetDeviceState::Instantiate() const { return std::make_unique<GetDeviceState>(); }

GetPreset::GetPreset() : Message({Param::path, Param::isdirty, Param::error}) {}

std::unique_ptr<Message> GetPreset::Instantiate() const { return std::make_unique<GetPreset>(); }

SetIP::SetIP()
    : Message({Param::mac, Param::dhcp, Param::ip, Param::ipv4, Param::ipv6, Param::subnetmask, Param::gateway,
               Param::error}) {}

std::unique_ptr<Message> SetIP::Instantiate() const { return std::make_unique<SetIP>(); }

std::string SetIP::ToNetworkFormat(bool request) const {
    Json::Value body(Json::objectValue);
    for (const auto& parameter : GetParameters()) {
        const Param p = parameter.ParameterName();
        const char* text = GetParameter(p);
        if (p == Param::dhcp) {
            putBool(body, p, text);
        } else {
            putString(body, p, text);
        }
    }
    return WriteLine(request, body);
}

SETIP_SETTINGS SetIP::GetSettings() const { return ReadSettings(*this); }

SETIP_SETTINGS SetIP::ReadSettings(const Message& message) {
    SETIP_SETTINGS settings;
    const std::string mac = textOf(message, Param::mac);
    if (!mac.empty()) {
        MacAddress address;
        if (address.Set(mac)) {
            settings.mac = address.Text();
        }
    }
    settings.gateway = textOf(message, Param::gateway);
    settings.subnetmask = textOf(message, Param::subnetmask);
    for (Param p : {Param::ipv4, Param::ipv6, Param::ip}) {
        if (const char* text = message.GetParameter(p)) {
            settings.ip = text;
            break;
        }
    }
    // A peer writing "True" means it as much as one writing true.
    settings.dhcp = boost::algorithm::iequals(textOf(message, Param::dhcp), "true");
    settings.error = textOf(message, Param::error);
    settings.result = settings.error.empty();
    return settings;
}

std::unique_ptr<Message> CreateGetDeviceState() { return std::make_unique<GetDeviceState>(); }
std::unique_ptr<Message> CreateGetPreset() { return std::make_unique<GetPreset>(); }
std::unique_ptr<Message> CreateSetIP() { return std::make_unique<SetIP>(); }

}  // namespace Zelkor
