// Answering discovery requests and taking discovery replies: the values this node gives an
// asker, and the devices that the replies of others keep up to date or add.
//
// Every refusal of a peer's reply is a log line and nothing else: no error goes back.
// Runs on the event loop; the device locks are never held while a device or the driver
// is called.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <locale>
#include <set>
#include <sstream>

#include <boost/asio/ip/address.hpp>

#include "core/CLocaleNumber.h"
#include "core/JsonText.h"
#include "core/MessageForwardInfo.h"
#include "core/Param.h"
#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "discovery/Goodbye.h"
#include "discovery/GuidText.h"
#include "discovery/ScalarText.h"
#include "driver/Packet.h"
#include "driver/ZelkorDriver.h"
#include "transport/TcpSocket.h"
#include "transport/TcpSocketSet.h"
#include "transport/UdpSocket.h"

namespace Zelkor {

namespace {

// Characters a device name may not hold: a name travels in routing headers and paths.
const char kForbiddenNameCharacters[] = "$@#^&\"()[]\\/:;'<>{}|+=*%!`,?";

bool validDeviceName(const std::string& name) {
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        // Control characters would split or bend the lines the name is written into.
        if (byte < 0x20 || byte == 0x7F || std::strchr(kForbiddenNameCharacters, c)) {
            return false;
        }
    }
    return true;
}

std::string fixedSix(double number) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::fixed << std::setprecision(6) << number;
    return out.str();
}

// The name of the interface the handle's socket receives on ("" when it is not tied to one).
std::string receivingInterface(void* handle) {
    Socket* socket = ZelkorDriver::SocketOf(handle);
    if (socket->IsReliableTransport()) {
        return static_cast<TcpSocket*>(socket)->InterfaceName();
    }
    return static_cast<UdpSocket*>(socket)->InterfaceName();
}

const Json::Value* member(const Json::Value& body, const char* key) {
    return body.isObject() ? body.find(key, key + std::strlen(key)) : nullptr;
}

// A string member's text, or false when the member is missing or not a string.
bool stringMember(const Json::Value& body, const char* key, std::string& out) {
    const Json::Value* found = member(body, key);
    if (!found || !found->isString()) {
        return false;
    }
    out = found->asString();
    return true;
}

}  // namespace

bool DiscoveryService::_parseUUID(const char* text, boost::uuids::uuid& out) {
    return text && *text && ParseGuid(text, out);
}

bool DiscoveryService::GetPortValue(const Json::Value& value, unsigned short& port, std::string& error) {
    double number = 0;
    switch (value.type()) {
        case Json::intValue:
        case Json::uintValue:
        case Json::realValue:
            number = value.asDouble();
            break;
        case Json::stringValue: {
            const std::string text = value.asString();
            char* end = nullptr;
            errno = 0;
            number = StrtodC(text.c_str(), &end);
            if (end == text.c_str()) {
                error = "Invalid port value " + text;
                return false;
            }
            if (errno == ERANGE) {
                error = "Port value out of range " + text;
                return false;
            }
            break;
        }
        default:
            error = "Invalid port value: " + WriteCompactJson(value);
            return false;
    }
    if (std::floor(number) != number) {
        error = "Non-integral port value: " + fixedSix(number);
        return false;
    }
    if (number < 1 || number > 65535) {
        error = "Port value out of range: " + fixedSix(number);
        return false;
    }
    port = static_cast<unsigned short>(number);
    return true;
}

bool DiscoveryService::GetRemoteInfo(Packet& packet, IDevice::RemoteInfo& out, std::string& error) {
    if (!packet.handle || !packet.header) {
        error = "No message source socket";
        return false;
    }
    std::string interfaceName = receivingInterface(packet.handle);
    if (_driver) {
        const std::string seenOn = _driver->GetEndPointInterface(ZelkorDriver::SocketOf(packet.handle)->GetRemoteIP());
        if (!seenOn.empty()) {
            interfaceName = seenOn;
        }
    }
    const Json::Value& body = packet.header->JsonBody();
    if (!body.isObject()) {
        return false;
    }
    std::string ip;
    std::string ipv4;
    std::string ipv6;
    stringMember(body, "ip", ip);
    stringMember(body, "ipv4", ipv4);
    stringMember(body, "ipv6", ipv6);
    boost::system::error_code bad;
    boost::asio::ip::address address;
    if (!ip.empty()) {
        address = boost::asio::ip::make_address(ip, bad);
        if (bad) {
            error = "Invalid IP address";
            return false;
        }
    } else if (!ipv4.empty()) {
        address = boost::asio::ip::make_address_v4(ipv4, bad);
        if (bad) {
            error = "Invalid IPv4 address";
            return false;
        }
    } else if (!ipv6.empty()) {
        address = boost::asio::ip::make_address_v6(ipv6, bad);
        if (bad) {
            error = "Invalid IPv6 address";
            return false;
        }
    } else {
        error = "No IP address";
        return false;
    }
    const Json::Value* portValue = member(body, "port");
    if (!portValue) {
        error = "No port number";
        return false;
    }
    unsigned short port = 0;
    std::string portError;
    if (!GetPortValue(*portValue, port, portError)) {
        PeerWarning("ZK2044W Port param error", portError);
        return false;
    }
    out = {interfaceName, {address, port}};
    return true;
}

bool DiscoveryService::ownRequestDue(const Endpoint& asker) {
    const std::int64_t now = Now();
    const auto interval = static_cast<std::int64_t>(std::max<std::uint64_t>(1, DiscoIntervalSeconds()));
    const auto found = _askerTimes.find(asker);
    if (found != _askerTimes.end()) {
        if (now - found->second < interval) {
            return false;
        }
        found->second = now;
        return true;
    }
    if (_askerTimes.size() >= MaxAskers) {
        for (auto at = _askerTimes.begin(); at != _askerTimes.end();) {
            at = now - at->second >= interval ? _askerTimes.erase(at) : std::next(at);
        }
        // Askers by the thousand within one interval: the newest get only the answer.
        if (_askerTimes.size() >= MaxAskers) {
            return false;
        }
    }
    _askerTimes.emplace(asker, now);
    return true;
}

void DiscoveryService::SendDiscoReply(Packet& packet) {
    if (_stopped.load() || (!packet.reliable && !_replyDiscos.load())) {
        return;
    }
    if (!_driver) {
        Error("ZK2039I No driver found");
        return;
    }
    if (!packet.handle || !packet.header) {
        Error("ZK2040E No socket found");
        return;
    }
    Socket* socket = ZelkorDriver::SocketOf(packet.handle);
    const boost::asio::ip::address remote = socket->GetRemoteIP();
    std::string interfaceName = receivingInterface(packet.handle);
    unsigned short replyPort = ProtocolPort;
    const Json::Value& request = packet.header->JsonBody();
    // An interface holds one value of each name, the last served address's: one with
    // addresses in several subnets (a labelled one among them) would tell a peer of one
    // subnet the address of another. A datagram's asker is told the address serving its
    // own subnet, as a locate or identify reply tells it, and is answered under that
    // address's adapter name: a label's own where a label serves it, though the link's
    // first address shares the subnet and is not served.
    NetworkInfo serving;
    const bool inServedSubnet = !packet.reliable && _driver->GetLocalInfo(remote, &serving);
    if (!packet.reliable) {
        const std::string seenOn = inServedSubnet && !serving.interfaceName.empty()
                                       ? serving.interfaceName
                                       : _driver->GetEndPointInterface(remote);
        if (!seenOn.empty()) {
            interfaceName = seenOn;
        }
        std::set<ZelkorDriver::Endpoint> served;
        _driver->GetInterfaceEndPoints(interfaceName, served);
        if (served.empty()) {
            Debug("ZK2041I No listener on interface", interfaceName);
            return;
        }
        if (const Json::Value* asked = member(request, "replyport")) {
            std::string error;
            if (!GetPortValue(*asked, replyPort, error)) {
                PeerWarning("ZK2042E Reply port error", error);
                return;
            }
        }
        if (_driver->IsListener(remote, replyPort)) {
            return;
        }
    }

    const auto replyValue = [&](Param name, Json::Value& value) {
        if (!_discoInfo.GetDiscoReplyValue(interfaceName, name, value)) {
            return false;
        }
        if (inServedSubnet && name == Param::ip) {
            value = serving.ipText;
        } else if (inServedSubnet && name == Param::subnetmask) {
            value = serving.subnetMaskText;
        } else if (inServedSubnet && name == Param::gateway) {
            value = serving.gatewayText;
        }
        return true;
    };

    std::ostringstream line;
    if (packet.reliable && !packet.header->PutMessageForwardHeader(line)) {
        return;
    }
    line << "@disco";
    if (request.isObject()) {
        Json::Value body(Json::objectValue);
        const Json::Value* names = member(request, "params");
        if (names && names->isArray()) {
            const auto& known = ParamFromString();
            for (const auto& name : *names) {
                if (!name.isString()) {
                    continue;
                }
                const auto param = known.find(name.asString());
                Json::Value value;
                if (param != known.end() && replyValue(param->second, value)) {
                    body[param->first] = value;
                }
            }
        }
        line << ' ' << WriteCompactJson(body);
    }
    line << '\n';
    const std::string text = line.str();

    if (packet.reliable) {
        _driver->SendDataToPeer(packet.handle, text, false);
        _driver->RecordReply(packet.handle, packet.header->hasHash ? packet.header->HashText() : std::string(), "disco",
                             text);
        return;
    }
    if (_sendDiscos.load() && replyPort != ProtocolPort && ownRequestDue({remote, replyPort})) {
        SendDiscoCommand(remote, replyPort, interfaceName);
    }
    _driver->SendFrame(text, remote, replyPort, _discoReplyPort.load(), interfaceName);
}

void DiscoveryService::HandleDiscoReply(Packet& packet) {
    if (_stopped.load()) {
        return;
    }
    if (!_driver) {
        Error("ZK2009E No driver found");
        return;
    }
    if (!packet.handle || !packet.header) {
        Error("ZK2099E No socket found");
        return;
    }
    const boost::asio::ip::address from = ZelkorDriver::SocketOf(packet.handle)->GetRemoteIP();
    const Json::Value& body = packet.header->JsonBody();
    if (!body.isObject() || body.empty()) {
        PeerDetail("ZK2010I No parameters in disco reply from", from);
        return;
    }
    if (const Json::Value* reported = packet.reliable ? member(body, "error") : nullptr) {
        std::string text;
        ScalarText(*reported, text);
        PeerDetail(Join("ZK2011I Error reported in disco reply from ", from, " (", text, ")"));
        // A router's refusal of a disco meant for a node beyond it says nothing of the
        // router's own connection, which every node behind it shares.
        if (packet.socket && packet.header->SourceList().empty()) {
            packet.socket->SetCloseAfterSend(true);
            MessageForwardInfo header = *packet.header;
            SendGoodbye(packet.socket, GoodbyeKeepAliveError, header);
        }
        return;
    }
    std::string guidText;
    if (!stringMember(body, "guid", guidText)) {
        PeerDetail("ZK2012I No GUID in disco reply from", from);
        return;
    }
    boost::uuids::uuid parsed{};
    if (!_parseUUID(guidText.c_str(), parsed)) {
        PeerDetail(Join("ZK2013I Invalid UUID in disco reply from ", from, " (", guidText, ")"));
        return;
    }
    if (parsed == _guid) {
        PeerDetail("ZK2014I Ignoring disco reply with our GUID from", from);
        return;
    }
    // Every form a peer writes keys the same device.
    const std::string guid = CanonicalGuid(parsed);
    std::string name;
    if (!stringMember(body, "name", name)) {
        PeerDetail("ZK2015I Missing name in disco reply from", from);
        return;
    }
    if (name.empty()) {
        PeerDetail("ZK2016I Empty name in disco rely from", from);
        return;
    }
    if (!validDeviceName(name)) {
        PeerDetail("ZK2017I Invalid name characters in disco reply from", from);
        return;
    }
    std::string classname;
    if (!stringMember(body, "classname", classname)) {
        PeerDetail("ZK2018I Missing classname in disco reply from", from);
        return;
    }
    if (classname.empty()) {
        PeerDetail("ZK2019I Empty classname in disco reply from", from);
        return;
    }
    if (_exclusionHandler->IsDeviceExcludedFromDisco(classname, name, guid)) {
        PeerDetail("ZK2020I Disco exclusion found for", Join(classname, ":", name, ":", guid));
        Socket* socket = ZelkorDriver::SocketOf(packet.handle);
        EraseDevice(socket->GetRemoteIP(), socket->GetRemotePort());
        return;
    }
    PeerDetail("ZK2021I No disco exclusion found for", Join(classname, ":", name, ":", guid));
    // Kept with the connection whatever becomes of the reply: the driver weighs it, with
    // the peer's proofs, when the connection speaks in a unit's name.
    if (packet.reliable && packet.socket && packet.header->IsEmpty()) {
        packet.socket->SetAnsweredGuid(guid);
    }

    std::shared_ptr<DeviceImpl> device = GetDeviceImplByUUID(guid);
    if (!device) {
        // The device whose dial the reply came on first: another record may share the
        // endpoint it dials.
        device = packet.reliable && packet.socket && packet.socket->IsOutgoing() ? deviceHolding(packet.socket)
                                                                                  : nullptr;
        if (!device) {
            Socket* socket = ZelkorDriver::SocketOf(packet.handle);
            device = GetDeviceImplByIPAndPort(socket->GetRemoteIP(), socket->GetRemotePort());
        }
        // Only a device known by its endpoint alone (made by Connect) takes a GUID from a
        // reply: another GUID at a known device's endpoint is another device, never a new
        // key of that one, which would leave its old keys behind without bound.
        if (device && !device->GuidKey().empty()) {
            device = nullptr;
        }
    }
    if (device) {
        if (!takeKnownReply(device, packet, guid, name)) {
            return;
        }
    } else {
        device = takeNewReply(packet, guid, name);
        if (!device) {
            return;
        }
    }

    {
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        GuidTimes& times = packet.reliable ? _tcpDiscoReplyTimes : _udpDiscoReplyTimes;
        times.Set(guid, Now());
        heardLocked(guid, senderOf(packet));
        if (packet.reliable) {
            PeerDetail("ZK2028I _tcpDiscoReplyTimeGUIDSet size", times.Pairs());
        }
    }

    if (!packet.reliable) {
        return;
    }
    const DiscoInfo info = device->GetDiscoInfo();
    if (info.mode.empty() || info.mode == "device" || (info.mode == "controller" && device->discoveredByUdp.load())) {
        return;
    }
    if (_exclusionHandler->IsDeviceExcludedFromList(info.classname, info.name, guid)) {
        return;
    }
    device->listTime.store(info.devicelisttime);
    SendListDiscovered(packet.handle);
}

bool DiscoveryService::takeKnownReply(const std::shared_ptr<DeviceImpl>& device, Packet& packet,
                                      const std::string& guid, const std::string& name) {
    // A reply that tells no valid port moves nothing; it still updates the device when it
    // comes from where the device is, and then ends.
    IDevice::RemoteInfo remote;
    std::string error;
    const bool located = GetRemoteInfo(packet, remote, error);
    const auto unlocated = [&] {
        PeerDetail(Join("ZK2025I Unable to retrieve remote info for (", name, "): ", error));
        return false;
    };
    // A reply through a router is not its connection's owner; one from another device
    // than the connection's is refused as a new one would be, unless the unit at an
    // address this node dialled was replaced by this known one.
    const bool onConnection = packet.reliable && packet.socket && packet.header->IsEmpty();
    std::shared_ptr<DeviceImpl> owner;
    if (onConnection) {
        owner = GetDeviceImplBySocket(packet.socket);
        if (owner && owner != device && unitBeside(packet, owner, device)) {
            return false;
        }
        if (owner && owner != device && !unitReplaced(packet, owner, device)) {
            refuseUnmatched(packet, guid, name, owner);
            return false;
        }
    }
    // The record's endpoint stays where the device is reached. A reply heard from an
    // endpoint that is none of its ways moves it there, unless it is in use; on the
    // device's own connection, or one that passes to it, the device speaks for itself.
    // Through a router the router's list tells where the device is.
    Endpoint at = device->Endpoint();
    bool moves = false;
    if (const auto from = heardFrom(packet)) {
        const bool own = onConnection && (owner || device->HasHandle(ZelkorDriver::HandleOf(packet.socket.get())));
        if (!located) {
            bool reachedThere = own;
            device->forEachRemote([&](const IDevice::RemoteInfo& way) { reachedThere |= way.second.first == *from; });
            if (!reachedThere) {
                return unlocated();
            }
        } else {
            remote.second.first = *from;
            if (!device->HasRemote(remote.second)) {
                if (!own && !mayMove(device, remote.second)) {
                    // Perhaps the device itself, on a new address it may not take yet:
                    // while this node cannot reach it, it is not lost for want of replies.
                    if (!packet.reliable && !device->IsConnected()) {
                        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
                        _udpDiscoReplyTimes.Set(guid, Now());
                    }
                    return false;
                }
                moves = true;
                at = remote.second;
            } else if (!device->HasRemote(at)) {
                at = remote.second;
            }
        }
    }
    // Renamed, it would be entered under the new name: one that a device in use holds
    // elsewhere stays that device's, and one a live requester connection holds, the
    // requester's.
    if (!device->HasName(name)) {
        if (nameInUseElsewhere(packet, guid, name, at.first)) {
            return false;
        }
        if (onConnection && !packet.socket->IsOutgoing() && !nameFreeFor(name, packet.socket, nullptr)) {
            refuseName(name, true);
            return false;
        }
    }
    if (!device->updateFrom(packet, at)) {
        return false;
    }
    // Entered after the update, so that a new name or class name moves the GUID, and a
    // device known only by its endpoint until now is found by its GUID. One connected by
    // its endpoint before its GUID was known is kept connected from now on, as Connect
    // meant it to be.
    enterDevice(device, ByGuid | ByName | ByClassName);
    if (device->WantsConnections()) {
        WantsConnections(guid, true);
    }
    if (onConnection) {
        if (owner && owner != device) {
            passAddress(packet, owner, device, device->getDiscoInfo());
        }
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        _guidBySocket[packet.socket] = guid;
    }
    // A known node that connected here again (a requester restarted, say) is reached on its
    // new connection, as one that connected for the first time: what is sent to it goes
    // there, with the security it chose, and this node does not dial it meanwhile.
    if (onConnection && !packet.socket->IsOutgoing() &&
        !device->HasHandle(ZelkorDriver::HandleOf(packet.socket.get()))) {
        if (mayAdopt(device, packet.socket, name, device->GetDiscoInfo().mode == "router")) {
            PeerInfo("ZK2024I Adding the already connected end point", name);
            adoptConnection(device, packet.socket);
        } else {
            refuseName(name, true);
        }
    }
    if (!located) {
        return unlocated();
    }
    if (moves) {
        device->MoveRemote(remote);
        device->ForgetAttempts();
        _refusedMoves.Forget(guid);
    }
    const DiscoInfo info = device->GetDiscoInfo();
    device->SetOldProtocol(info.oldProtocol);
    if (info.dirty) {
        device->setCurrentState(DeviceNetStateChanged);
        Summary("ZK2026I Device disco update " + guid + " " + info.protocolversion);
    }
    const DeviceNetState state = device->GetCurrentState();
    if (!device->IsDirectlyConnected() && !packet.reliable && !_driver->ConnectionPolicyIsLazy() &&
        state != DeviceNetStateConnected && state != DeviceNetStateConnecting) {
        Detail("ZK2027I Rediscovered device", name);
        device->setCurrentState(DeviceNetStateNew);
    }
    return true;
}

std::shared_ptr<DeviceImpl> DiscoveryService::takeNewReply(Packet& packet, const std::string& guid,
                                                           const std::string& name) {
    IDevice::RemoteInfo remote;
    std::string error;
    if (!GetRemoteInfo(packet, remote, error)) {
        PeerDetail(Join("ZK2022I Unable to retrieve remote info for (", name, "): ", error));
        return nullptr;
    }
    // The device is where the reply came from; the port is the one it announces.
    if (const auto from = heardFrom(packet)) {
        remote.second.first = *from;
    }
    // The endpoint form sets the address, its text and the port; the reply's "guid" sets
    // the GUID.
    NewDiscoInfo record(remote.second.first, remote.second.second);
    record.SetInterfaceName(remote.first);
    if (!packet.header || !record.updateFrom(packet.header->JsonBody(), remote.second)) {
        return nullptr;
    }
    if (!packet.reliable) {
        if (nameInUseElsewhere(packet, guid, name, remote.second.first)) {
            return nullptr;
        }
        auto device = addDevice(record, senderOf(packet));
        if (device) {
            device->AddRemoteInfo(remote);
            device->discoveredByUdp.store(true);
        }
        return device;
    }
    if (!packet.socket) {
        return nullptr;
    }
    // Through a router: the router's list, not its forwarding, adds what stands behind
    // it, and nothing is said of the router itself, whose connection is everyone's.
    if (!packet.header->IsEmpty()) {
        return nullptr;
    }
    const bool nameInUse = nameInUseElsewhere(packet, guid, name, remote.second.first);
    std::shared_ptr<DeviceImpl> device;
    if (const auto owner = GetDeviceImplBySocket(packet.socket)) {
        if (nameInUse || !unitReplaced(packet, owner, nullptr)) {
            refuseUnmatched(packet, guid, name, owner);
            return nullptr;
        }
        device = passAddress(packet, owner, nullptr, record);
        if (!device) {
            refuseUnmatched(packet, guid, name, owner);
            return nullptr;
        }
    }
    if (nameInUse && !device) {
        return nullptr;
    }
    const NewDiscoInfo::IpAddress address = record.Address();
    const unsigned short port = record.getDiscoInfo().port;
    if (!device) {
        device = deviceAt({address, port});
        // Another GUID's record at the endpoint is another unit's, which a reply never renames.
        if (device && packet.socket->IsOutgoing() && !device->GuidKey().empty()) {
            device = nullptr;
        }
    }
    // A peer that connected here speaks for itself only: it takes no name, and no end
    // point, of a device connected on another connection. This node's own dial of the
    // endpoint is no other connection: it gives way (mayAdopt), unless the unit it reaches
    // there still answers on it.
    if (!packet.socket->IsOutgoing()) {
        // The newcomer is then another unit beside it (a host with several addresses that
        // connects from the device's, two units behind one address translation), with a
        // record of its own. What this node knows tells whether the unit answers there: a
        // connection on which it answered as itself (its own, one dialled, its router's);
        // or, once they are gone or lost, this node's dials of it not yet unanswered as long
        // as a device it uses takes to move. A unit restarted in its place answers one of
        // those dials, and the endpoint passes to it then (unitBeside). A record known by
        // its endpoint alone (made by Connect) stands for whatever answers there.
        const bool known = device && !device->GuidKey().empty();
        const bool answers = known && answersAsItself(device);
        const bool beside = answers || (known && !unreachedForAMove(device));
        // A dial of it that has not answered yet tells nothing of who stands there: the
        // newcomer itself, it may be. It holds no name against the newcomer.
        const std::shared_ptr<TcpSocket> unproven = beside && !answers ? device->GetHandle() : nullptr;
        if (beside ? !nameFreeFor(name, packet.socket, unproven.get())
                   : !mayAdopt(device, packet.socket, name, record.getDiscoInfo().mode == "router")) {
            refuseName(name, true);
            return nullptr;
        }
        if (beside) {
            PeerInfo(Join("ZK20ECI ", address, ":", port, " answers as (", guid, ") on a connection it made, beside (",
                          [&] { return device->GuidKey(); }, "), still reached there"));
            device = nullptr;
        } else if (device && !device->GuidKey().empty()) {
            // Another GUID at a record's endpoint, whose unit no longer answers there, is
            // another unit in its place (a requester restarted with a new GUID, say).
            // Renamed, the record would stay under its old GUID's keys; it keeps them, and
            // the endpoint passes to a record of the new GUID.
            PeerInfo(Join("ZK20E9I ", address, ":", port, " answers as (", guid, ") in place of (",
                          [&] { return device->GuidKey(); }, ") on a connection it made"));
            dropOwnDials(device, nullptr);
            giveUpEndpoint(device, {address, port});
            device = nullptr;
        } else if (device) {
            // Known by this endpoint alone (made by Connect): the reply gives it its GUID, by
            // which it is entered with the connection.
            device->AddRemoteInfo(remote);
            device->updateFrom(packet, remote.second);
            PeerInfo("ZK2024I Adding the already connected end point", name);
            adoptConnection(device, packet.socket);
        }
    }
    if (!device) {
        device = addConnectedDevice(record, packet.socket);
        if (!device) {
            return nullptr;
        }
    }
    device->AddRemoteInfo(remote);
    device->updateFrom(packet, remote.second);
    const DiscoInfo info = device->GetDiscoInfo();
    if (const auto connection = device->GetHandle()) {
        connection->SetOldProtocol(info.oldProtocol);
    }
    return device;
}

void DiscoveryService::refuseUnmatched(Packet& packet, const std::string& guid, const std::string& name,
                                       const std::shared_ptr<DeviceImpl>& owner) {
    PeerWarning(Join("ZK2023W GUID (", guid, ") from device (", name, ") at ", packet.socket->GetRemoteIP(),
                     " is unmatched and should be (", [&] { return owner->GuidKey(); }, ")"));
    packet.socket->SetCloseAfterSend(true);
    MessageForwardInfo header;
    owner->GetForwardInfo(header);
    SendGoodbye(packet.socket, GoodbyeGuidChanged, header);
}

void DiscoveryService::heardLocked(const std::string& guid, const DeviceSender& sender) {
    _hearings.Heard(guid, _discoRound.load(), sender);
}

DeviceSender DiscoveryService::senderOf(const Packet& packet) {
    if (packet.reliable && packet.socket) {
        return packet.header && !packet.header->IsEmpty() ? DeviceSender::Through(packet.socket)
                                                          : DeviceSender::From(packet.socket->GetRemoteIP());
    }
    return DeviceSender::From(ZelkorDriver::SocketOf(packet.handle)->GetRemoteIP());
}

std::shared_ptr<DeviceImpl> DiscoveryService::deviceToGiveUp(const DeviceSender& sender) {
    std::shared_ptr<DeviceImpl> chosen;
    std::lock_guard<std::mutex> lock(_deviceTablesMutex);
    _hearings.ToGiveUp(sender, [&](const std::string& guid) {
        auto device = deviceOfGuidLocked(guid);
        if (!device || device->IsFinalized()) {
            return false;
        }
        // Connected (also through its router), being connected or to be kept connected:
        // the node uses it, whatever made it known. Reached through a connected router
        // but not connected to, a device is only listed: else a router's list would keep
        // its part of a full list for good.
        const DeviceNetState state = device->GetCurrentState();
        const bool connectedThroughRouter =
            device->IsProxyConnected() && (state == DeviceNetStateConnected || state == DeviceNetStateUnresponsive);
        if (device->WantsConnections() || state == DeviceNetStateConnecting || device->IsDirectlyConnected() ||
            connectedThroughRouter) {
            return false;
        }
        chosen = std::move(device);
        return true;
    });
    return chosen;
}

bool DiscoveryService::roomForDevice(const DeviceSender& sender) {
    const auto full = [this] {
        std::lock_guard<std::mutex> lock(_deviceSetMutex);
        return _deviceSet.size() >= _maxDevices.load();
    };
    if (!full()) {
        _deviceCapWarned.store(false);
        return true;
    }
    const auto given = deviceToGiveUp(sender);
    if (!given) {
        if (!_deviceCapWarned.exchange(true)) {
            PeerWarning("ZK20D7W Device limit reached, no more devices are added", _maxDevices.load());
        }
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        if (LogLevel() >= 5) {
            PeerDetail(Join("ZK20D9I Device list full: dropped ", [&] { return given->GuidKey(); }, " (",
                            [&] { return given->GetDiscoInfo().name; },
                            [&] {
                                return _hearings.HeardOnce(given->GuidKey()) ? "), heard in one discovery round only"
                                                                             : "), its sender holding more of the list";
                            }));
        }
        _hearings.GiveUp(given->GuidKey());
    }
    EraseDevice(given);
    // A cap lowered below the list's size is not worked down by newcomers.
    return !full();
}

std::shared_ptr<DeviceImpl> DiscoveryService::makeDevice(const NewDiscoInfo& record, const char* failure,
                                                         const DeviceSender& sender) {
    if (!roomForDevice(sender)) {
        return nullptr;
    }
    try {
        return std::make_shared<DeviceImpl>(_driver, record);
    } catch (const std::exception&) {
        Error(failure, record.getDiscoInfo().name);
        return nullptr;
    }
}

std::shared_ptr<DeviceImpl> DiscoveryService::addDevice(NewDiscoInfo& record, const DeviceSender& sender) {
    const auto device = makeDevice(record, "ZK2047E Unable to create instance for discovered device", sender);
    if (!device) {
        return nullptr;
    }
    // Times that leave the node (device lists) are wall time.
    device->lastSeen.store(WallSeconds());
    _deviceListTime.store(WallSeconds());
    enterDevice(device, InDeviceSet | ByGuid | ByName | ByClassName);
    device->setCurrentState(DeviceNetStateNew);
    Detail("ZK2082I Discovered device added", record.getDiscoInfo().name);
    return device;
}

std::shared_ptr<DeviceImpl> DiscoveryService::addConnectedDevice(NewDiscoInfo& record,
                                                                 const std::shared_ptr<TcpSocket>& connection) {
    if (!connection) {
        return nullptr;
    }
    const std::string& name = record.getDiscoInfo().name;
    PeerInfo("ZK2024I Adding the already connected end point", name);
    // The caller found no record to take the connection at the endpoint: one there is
    // another unit's, which still answers there.
    const auto device = makeDevice(record, "ZK2053E Unable to create instance for connected device",
                                   DeviceSender::From(connection->GetRemoteIP()));
    if (!device) {
        return nullptr;
    }
    adoptConnection(device, connection);
    Detail("ZK2084I Connected device added", name);
    return device;
}

bool DiscoveryService::mayAdopt(const std::shared_ptr<DeviceImpl>& device, const std::shared_ptr<TcpSocket>& connection,
                                const std::string& name, bool peerRoutes) {
    std::shared_ptr<TcpSocket> yielding;
    if (device) {
        const auto held = device->GetHandle();
        if (held && held != connection) {
            // Two nodes that each gave their own dial up for the other's would close both,
            // and dial again: only a router gives way, to a peer that routes nothing (a
            // requester it keeps connected), which never gives way to it.
            const bool givesWay =
                held->IsOutgoing() ? IsRouter() && !peerRoutes : _driver->SameUnit(connection, held);
            if (!givesWay) {
                return false;
            }
            yielding = held;
        }
    }
    return nameFreeFor(name, connection, yielding.get());
}

bool DiscoveryService::nameFreeFor(const std::string& name, const std::shared_ptr<TcpSocket>& connection,
                                   const TcpSocket* yielding) {
    // A connection whose peer has not answered discovery on it yet holds no name: who stands
    // there is unknown until it does. A dead requester's record, dialled again at its
    // endpoint, would otherwise keep its name from the unit restarted there, connecting
    // here meanwhile on a connection of its own.
    std::shared_ptr<TcpSocket> named;
    GetDeviceHandleByName(name, named);
    if (named && named != connection && named.get() != yielding && !named->AnsweredGuid().empty()) {
        return false;
    }
    // A name a live requester connection holds goes to no record of another connection's
    // answer, a new unit's as a known one's, unless that connection proves it comes from
    // the same unit: else the requester's own requests would be refused as another's.
    return !_driver->NameSpokenElsewhere(name, connection, yielding);
}

bool DiscoveryService::answersAsItself(const std::shared_ptr<DeviceImpl>& device) {
    if (device->IsProxyConnected()) {
        return true;
    }
    const std::string guid = device->GuidKey();
    const auto connections = device->Connections();
    return std::any_of(connections.begin(), connections.end(), [&](const std::shared_ptr<TcpSocket>& connection) {
        return connection->SocketIsConnected() && connection->AnsweredGuid() == guid;
    });
}

void DiscoveryService::adoptConnection(const std::shared_ptr<DeviceImpl>& device,
                                       const std::shared_ptr<TcpSocket>& connection) {
    dropOwnDials(device, connection);
    // The device adopts the connection first: entering maps its connections to its GUID.
    // A connection of the peer's that it held before is let go, open: the peer may still
    // use it, and it closes as any connection does.
    device->SetHandle(connection);
    device->secured.store(connection->GetState() == TcpSocket::Tls);
    device->SetAuthentication(connection->IsProvenToPeer());
    device->lastSeen.store(WallSeconds());
    _deviceListTime.store(WallSeconds());
    // The endpoint stays the key of a record whose unit answers there beside this one:
    // static routes and Connect(address, port) reach what this node reaches there.
    enterDevice(device, endpointKeyHeldBeside(device) ? AllTables & ~ByEndpoint : AllTables);
    device->WantsConnections(true);
    WantsConnections(device->GuidKey(), true);
    device->setCurrentState(DeviceNetStateConnected);
}

void DiscoveryService::dropOwnDials(const std::shared_ptr<DeviceImpl>& device, const std::shared_ptr<TcpSocket>& keep) {
    for (const auto& dial : device->Connections()) {
        if (dial == keep || !dial->IsOutgoing() || !device->ReleaseConnection(dial)) {
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(_deviceTablesMutex);
            _guidBySocket.erase(dial);
        }
        // A dial still under way finds itself out of the set when it completes, and closes.
        dial->Close();
    }
}

}  // namespace Zelkor
