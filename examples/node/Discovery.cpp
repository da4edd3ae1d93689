#include "Discovery.h"

#include <cmath>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "core/Message.h"
#include "device/DeviceImpl.h"
#include "discovery/Disco.h"
#include "discovery/DiscoInfo.h"
#include "discovery/DiscoveryService.h"
#include "discovery/IDeviceList.h"

namespace ZelkorNode {
namespace {

// The library names the stored states; the notifications and "no state yet" get names here.
std::string stateName(Zelkor::DeviceNetState state) {
    const auto found = Zelkor::DeviceNetStateString.find(state);
    if (found != Zelkor::DeviceNetStateString.end()) {
        return found->second;
    }
    switch (state) {
        case Zelkor::DeviceNetStateNone:
            return "None";
        case Zelkor::DeviceNetStateChanged:
            return "Changed";
        case Zelkor::DeviceNetStateDescriptorWanted:
            return "DescriptorWanted";
        default:
            return std::to_string(static_cast<int>(state));
    }
}

}  // namespace

Discovery::Discovery(Zelkor::IZelkorDriver& driver, const Options& options, Events& events, Adopt adopt,
                     Adopt attach)
    : _driver(driver),
      _options(options),
      _events(events),
      _adopt(std::move(adopt)),
      _attach(std::move(attach)) {}

void Discovery::Configure() {
    Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
    if (!discovery) {
        return;
    }
    discovery->SetMode(_options.role);
    if (_options.discoInterval != 0) {
        discovery->SetDiscoInterval(_options.discoInterval * 1000);
    }
    if (!_options.replyPort.empty()) {
        discovery->SetDiscoReplyPort(_options.replyPort);
    }
    if (!_options.sendDisco.empty()) {
        discovery->SetSendDiscoAddress(_options.sendDisco);
    }
    if (_options.maxIncoming) {
        discovery->SetMaxIncomingConnections(*_options.maxIncoming);
    }
    auto* service = dynamic_cast<Zelkor::DiscoveryService*>(discovery);
    if (service) {
        // A test seam: every period of the discovery timer divided by the scale.
        service->SetTimerScale(static_cast<unsigned>(_options.timerScale));
    }
    excludeFromDiscovery(*discovery);
    discovery->GetDeviceList()->OnListChange(
        [this](std::shared_ptr<Zelkor::IDevice> device, Zelkor::DeviceNetState state, Zelkor::DeviceNetState old) {
            deviceLine(device, state, old);
        });

    // The node's own values, as its peers will read them in its discovery replies.
    Json::Value own;
    if (service) {
        for (const Zelkor::Param name : Zelkor::Disco::RequestedNames()) {
            Json::Value value;
            if (service->GetDiscoInfo().GetDiscoReplyValue("", name, value)) {
                own[Zelkor::Message::GetStringFromParam(name)] = value;
            }
        }
    }
    Json::Value fields;
    fields["values"] = own;
    fields["replyPort"] = discovery->DiscoReplyPort();
    _events.Write("discovery", fields);
}

// The disco rules of the options, in one request; the answer comes as an "exclude" line.
// (The list rules are in the tree already: they are read when the node starts.)
void Discovery::excludeFromDiscovery(Zelkor::IDiscoveryService& discovery) {
    std::map<std::string, std::vector<std::string>> values;
    for (const auto& rule : _options.exclude) {
        if (rule.set == "disco") {
            values[rule.type].push_back(rule.value);
        }
    }
    if (values.empty()) {
        return;
    }
    discovery.AddNetworkRuleExcusion(
        values["classname"], values["name"], values["guid"],
        [this](const std::string message, bool ok, Zelkor::RuleDetails& details) {
            Json::Value fields;
            fields["message"] = message;
            fields["ok"] = ok;
            fields["details"] = Json::Value(Json::objectValue);
            for (const auto& [text, concerned] : details) {
                Json::Value& list = fields["details"][text] = Json::Value(Json::arrayValue);
                for (const auto& value : concerned) {
                    list.append(value);
                }
            }
            _events.Write("exclude", fields);
        });
}

void Discovery::deviceLine(const std::shared_ptr<Zelkor::IDevice>& device, Zelkor::DeviceNetState state,
                           Zelkor::DeviceNetState old) {
    if (device && old == Zelkor::DeviceNetStateNone) {
        _adopt(*device);
    }
    // A device answers through its router, or says it is not connected, before it is ever
    // Connected; and a disconnection cuts the handlers that feed its callbacks, whatever
    // state it goes to.
    const bool stored = Zelkor::DeviceNetStateString.count(state) != 0;
    if (device && stored && state != Zelkor::DeviceNetStateLost) {
        _attach(*device);
    }
    Json::Value fields;
    if (device) {
        const Zelkor::DiscoInfo info = device->GetDiscoInfo();
        fields["guid"] = info.guid;
        fields["name"] = info.name;
        fields["ip"] = AddressText(info.ip);
        fields["port"] = info.port;
        if (device->HasProxy()) {
            fields["proxy"] = device->ProxyName();
        }
    }
    fields["state"] = stateName(state);
    fields["old"] = stateName(old);
    _events.Write("device", fields);
}

// The library tells of no single answer, but counts them on the device.
void Discovery::Look() {
    Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
    if (!discovery) {
        return;
    }
    std::map<const Zelkor::IDevice*, std::uint64_t> seen;
    discovery->GetDeviceList()->forEach([&](std::shared_ptr<Zelkor::IDevice> device) {
        const auto* concrete = dynamic_cast<const Zelkor::DeviceImpl*>(device.get());
        if (!concrete) {
            return;
        }
        const std::uint64_t count = concrete->GetRoundTripCount();
        const auto known = _answers.find(device.get());
        seen[device.get()] = count;
        if (count == 0 || (known != _answers.end() && known->second == count)) {
            return;
        }
        const Zelkor::DiscoInfo info = device->GetDiscoInfo();
        Json::Value fields;
        fields["guid"] = info.guid;
        fields["name"] = info.name;
        fields["answered"] = static_cast<Json::UInt64>(count);
        fields["roundTripMs"] = std::round(device->GetAvgRoundTripTime() * 1000000.0) / 1000.0;
        _events.WriteTimes("alive", fields);
    });
    // Devices that left the list are forgotten.
    _answers = std::move(seen);
}

void Discovery::AddCommands(Commands& commands) {
    commands["connect"] = [this](const Json::Value& command) { connect(command); };
}

// {"cmd":"connect","address":A,"port":P}: the discovery service connects the listed device
// that announces the endpoint, else makes a device for it; the "device" lines follow it.
void Discovery::connect(const Json::Value& command) {
    Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
    const std::string text = command["address"].isString() ? Unbracketed(command["address"].asString()) : "";
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(text, error);
    unsigned long port = 0;
    const bool valid = command["address"].isString() && !error && command["port"].isUInt() &&
                       ParseNumber(command["port"].asString(), 65535, port) && port != 0;
    if (!valid || !discovery) {
        _events.Error(std::string("bad arguments for connect: ") +
                      (error || !command["address"].isString() ? "\"address\": expected an IP address"
                                                                : "\"port\": expected a number 1-65535"));
        return;
    }
    const auto number = static_cast<unsigned short>(port);
    const bool known = discovery->GetDeviceByIPAndPort(address, number) != nullptr;
    discovery->Connect(address, number);
    // A device made for the endpoint is adopted at once: it proves the node's code from
    // its first connection on. A known one keeps the code confirmed for it.
    if (const auto device = known ? nullptr : discovery->GetDeviceByIPAndPort(address, number)) {
        _adopt(*device);
        _attach(*device);
    }
    Json::Value answer;
    answer["address"] = AddressText(text);
    answer["port"] = number;
    _events.Write("connect", answer);
}

}  // namespace ZelkorNode
