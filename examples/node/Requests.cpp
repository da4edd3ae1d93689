#include "Requests.h"

#include <boost/asio/ip/address.hpp>

#include "core/Message.h"
#include "core/MessageSignalData.h"
#include "discovery/DiscoInfo.h"
#include "discovery/IDeviceList.h"
#include "driver/ZelkorDriver.h"

namespace ZelkorNode {
namespace {

// A reply's "error" is written only by one that has it (a refusal), and only for a reply.
template <class Info>
Json::Value peerFields(const Info& info) {
    Json::Value fields;
    fields["reply"] = info.reply;
    fields["guid"] = info.guid;
    fields["mac"] = info.mac;
    fields["name"] = info.name;
    fields["ip"] = AddressText(info.ip);
    fields["port"] = info.port;
    if (info.reply) {
        fields["error"] = info.error;
    }
    return fields;
}

}  // namespace

Requests::Requests(Zelkor::IZelkorDriver& driver, const Options& options, Events& events)
    : _driver(driver), _options(options), _events(events) {}

void Requests::Configure() {
    const auto lineEvent = [this](const char* event, const std::string& line) {
        Json::Value fields;
        fields["line"] = line;
        _events.Write(event, fields);
        return true;
    };
    _driver.OnCustomCommand([lineEvent](std::string& line) { return lineEvent("custom", line); });
    _driver.OnCustomCommandResponse([lineEvent](std::string& line) { return lineEvent("customreply", line); });
    // The reply to a folder request, with the tag of the connection it came by.
    const auto replyEvent = [this](const char* event, Zelkor::MessageSignalData& data) {
        Json::Value fields;
        fields["tag"] = Zelkor::ZelkorDriver::Tag(data.Handle());
        fields["line"] = data.GetMessage() ? data.GetMessage()->GetRawText() : std::string();
        _events.Write(event, fields);
    };
    _driver.OnLs([replyEvent](Zelkor::MessageSignalData& data) { replyEvent("ls", data); });
    _driver.OnRls([replyEvent](Zelkor::MessageSignalData& data) { replyEvent("rls", data); });
    _driver.OnCd([replyEvent](Zelkor::MessageSignalData& data) { replyEvent("cd", data); });

    Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
    if (!discovery) {
        return;
    }
    const auto wanted = [this](const char* name) { return _options.noCallback.count(name) == 0; };
    Zelkor::IDeviceList& list = *discovery->GetDeviceList();
    if (wanted("locate")) {
        list.OnLocate([this](LocateInfo& info) {
            Json::Value fields = peerFields(info);
            fields["timeout"] = info.timeout;
            _events.Write("locate", fields);
            return true;
        });
    }
    if (wanted("identify")) {
        list.OnIdentify([this](IdentifyInfo& info) {
            _events.Write("identify", peerFields(info));
            return true;
        });
    }
    if (wanted("reboot")) {
        // Accepted, and only told: the node does not restart.
        list.OnReboot([this](RebootInfo& info) {
            Json::Value fields;
            fields["reply"] = info.reply;
            fields["guid"] = info.guid;
            fields["mac"] = info.mac;
            fields["error"] = info.error;
            _events.Write("reboot", fields);
            return true;
        });
    }
}

void Requests::AddCommands(Commands& commands) {
    for (const char* name : {"ls", "rls", "cd", "locate", "identify", "reboot", "goodbye"}) {
        commands[name] = [this, name](const Json::Value& command) { request(name, command); };
    }
}

// To the listed device that "guid" names; locate, identify and reboot go to every served
// interface when no listed device has that GUID (or none is given), locate and identify to
// "address" (at "port", else the protocol's) when one is given.
void Requests::request(const std::string& name, const Json::Value& command) {
    DeviceRequest request;
    if (!ReadDeviceRequest(_driver, _events, name, command, request)) {
        return;
    }
    const bool addressed = name == "locate" || name == "identify";
    if (addressed && !request.device && command.isMember("address")) {
        toAddress(name, command, request);
        return;
    }
    auto& texts = request.texts;
    const auto& device = request.device;
    // An empty MAC names the node asked: to every node it would name each.
    if (name == "reboot" && texts["mac"].empty() && !device) {
        _events.Error("bad arguments for reboot");
        return;
    }
    const bool toAll = name == "locate" || name == "identify" || name == "reboot";
    if (!device && !toAll) {
        _events.Error("no device " + texts["guid"] + " for " + name);
        return;
    }
    // The folder words go on the device's own connection alone, a reboot on the one a
    // request takes; the device object drops one that finds none, unanswered.
    const bool folders = name == "ls" || name == "rls" || name == "cd";
    if (folders && !device->IsDirectlyConnected()) {
        WriteRequest(_events, RequestLine(name, request.guid, true), false,
                     "ls, rls and cd go on the device's own connection only, and it has none (a device heard by "
                     "discovery is connected by \"connect\"; one behind a router is not asked them)");
        return;
    }
    if (name == "reboot" && device && !Reachable(*device)) {
        WriteRequest(_events, RequestLine(name, request.guid, true), false);
        return;
    }
    if (name == "ls") {
        device->SendLsCmdRequest(texts["path"]);
    } else if (name == "rls") {
        device->SendRlsCmdRequest(texts["path"]);
    } else if (name == "cd") {
        device->SendCdCmdRequest(texts["path"]);
    } else if (name == "goodbye") {
        // Then the device is disconnected.
        device->Goodbye();
    } else if (name == "reboot") {
        device ? device->SendReboot(texts["mac"]) : request.discovery->SendReboot(texts["mac"]);
    } else if (name == "locate") {
        if (device) {
            // The device's own callback takes its next reply, as the list's does.
            const std::string guid = request.guid;
            device->OnLocate([this, guid](LocateInfo& info) {
                Json::Value fields = peerFields(info);
                fields["timeout"] = info.timeout;
                fields["device"] = guid;
                _events.Write("locate", fields);
                return true;
            });
            device->Locate(texts["timeout"]);
        } else {
            LocateInfo info;
            info.guid = request.guid;
            info.mac = texts["mac"];
            info.name = texts["name"];
            info.timeout = texts["timeout"];
            request.discovery->SendLocateRequest(info);
        }
    } else {
        IdentifyInfo info;
        info.guid = request.guid;
        info.mac = texts["mac"];
        info.name = texts["name"];
        if (device) {
            // The device's own values, as it announced them.
            const Zelkor::DiscoInfo known = device->GetDiscoInfo();
            info.mac = known.mac;
            info.name = known.name;
            device->Identify(info);
        } else {
            request.discovery->SendIdentifyRequest(info);
        }
    }
    _events.Write("request", RequestLine(name, request.guid, device != nullptr));
}

// {"cmd":"locate"|"identify",["guid":G,]"address":A[,"port":P],...}: one datagram to A,
// a unicast, multicast or broadcast address.
void Requests::toAddress(const std::string& name, const Json::Value& command, DeviceRequest& request) {
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(Unbracketed(command["address"].asString()), error);
    if (error) {
        _events.Error("bad arguments for " + name + ": \"address\": expected an IP address");
        return;
    }
    const auto port = static_cast<unsigned short>(command.isMember("port") ? command["port"].asUInt() : kProtocolPort);
    auto& texts = request.texts;
    if (name == "locate") {
        LocateInfo info;
        info.guid = request.guid;
        info.mac = texts["mac"];
        info.name = texts["name"];
        info.timeout = texts["timeout"];
        request.discovery->SendLocateRequest(address, port, info);
    } else {
        IdentifyInfo info;
        info.guid = request.guid;
        info.mac = texts["mac"];
        info.name = texts["name"];
        request.discovery->SendIdentifyRequest(address, port, info);
    }
    Json::Value line = RequestLine(name, request.guid, false);
    line["to"] = "address";
    line["address"] = AddressText(address);
    line["port"] = port;
    _events.Write("request", line);
}

}  // namespace ZelkorNode
