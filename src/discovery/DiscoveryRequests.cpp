// The discovery requests the service sends: "disco" (multicast, unicast, keep-alive),
// "senddisco" and "goodbye". Lines are built on the calling thread; sending hops onto the
// event loop.

#include <sstream>

#include <json/value.h>

#include "core/JsonText.h"
#include "discovery/Disco.h"
#include "discovery/DiscoveryService.h"
#include "driver/Packet.h"
#include "driver/ZelkorDriver.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

std::string DiscoveryService::BuildDiscoRequest() {
    MessageForwardInfo header;
    return BuildDiscoRequest(header);
}

std::string DiscoveryService::BuildDiscoRequest(MessageForwardInfo& header) {
    std::ostringstream out;
    if (!header.PutHeader(out, true, "disco")) {
        return std::string();
    }
    Json::Value body(Json::objectValue);
    Json::Value& names = body["params"] = Json::Value(Json::arrayValue);
    for (Param name : Disco::RequestedNames()) {
        names.append(ParamName(name));
    }
    const unsigned short replyPort = _discoReplyPort.load();
    if (replyPort != ProtocolPort) {
        body["replyport"] = Json::UInt(replyPort);
    }
    out << WriteCompactJson(body) << '\n';
    return out.str();
}

void DiscoveryService::SendDiscoCommand(unsigned short port) {
    if (!_driver) {
        return;
    }
    onLoop([driver = _driver, text = BuildDiscoRequest(), port] { driver->SendMulticastMessage(text, port); });
}

void DiscoveryService::SendDiscoCommand(const boost::asio::ip::address& address, unsigned short port,
                                        const std::string& interfaceName) {
    if (!_driver) {
        return;
    }
    onLoop([driver = _driver, text = BuildDiscoRequest(), address, port, from = _discoReplyPort.load(),
            interfaceName] { driver->SendFrame(text, address, port, from, interfaceName); });
}

void DiscoveryService::SendKeepAliveDisco(std::shared_ptr<TcpSocket> connection, MessageForwardInfo& header) {
    if (_driver && connection) {
        connection->SendData(BuildDiscoRequest(header), true);
    }
}

void DiscoveryService::SendSendDiscoRequest() {
    if (!_driver || _stopped.load()) {
        return;
    }
    SendDiscoMsg message;
    onLoop([driver = _driver, text = message.Build(true)] { driver->SendMulticastMessage(text, ProtocolPort); });
    const Endpoint target = SendDiscoAddress();
    SendSendDiscoRequest(target.first, target.second);
}

void DiscoveryService::SendSendDiscoRequest(const boost::asio::ip::address& address, unsigned short port) {
    // The test is on the configured address; the datagram goes to the one given.
    if (!_driver || _stopped.load() || SendDiscoAddress().first.is_unspecified()) {
        return;
    }
    SendDiscoMsg message;
    onLoop([driver = _driver, text = message.Build(true), address, port, from = _discoReplyPort.load()] {
        driver->SendFrame(text, address, port, from);
    });
}

void DiscoveryService::SendMulticastMessage(Message& message, bool request) {
    if (_driver) {
        onLoop([driver = _driver, text = message.Build(request)] { driver->SendMulticastMessage(text, ProtocolPort); });
    }
}

void DiscoveryService::SendGoodbye(std::shared_ptr<TcpSocket> connection, GOODBYE_REASON reason,
                                   MessageForwardInfo& header) {
    if (!_driver || !connection) {
        return;
    }
    Goodbye goodbye;
    if (const char* word = GoodbyeReasonWord(reason)) {
        goodbye.SetParameter(Param::reason, word);
    }
    // Ahead of the queued lines and outside the lock-step: the connection closes next.
    connection->SendGoodbye(goodbye.Build(header, true));
}

}  // namespace Zelkor
