// Every line the library sends leaves here: built from a message or given ready, sent on
// a TCP connection (replies also into the reply cache) or as UDP datagrams.

#include <algorithm>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/address_v6.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "core/Message.h"
#include "driver/ZelkorDriver.h"
#include "transport/LineFramer.h"
#include "transport/NetworkInfo.h"
#include "transport/TcpSocket.h"
#include "transport/UdpSocket.h"

namespace Zelkor {

bool ZelkorDriver::sendable(const std::string& text) {
    // An empty text is what a message whose routing names were refused builds; a line
    // feed before the end would let a name in a route inject a line of its own; a line
    // blank before its end is read as nothing by the peer, so a request of it would hold
    // the lock-step for a reply that never comes.
    if (!text.empty() && text.find('\n') == text.size() - 1 && !LineFramer::IsBlank(text)) {
        return true;
    }
    Error("ZK78F2E Line not sent", text.substr(0, text.find('\n')));
    return false;
}

void ZelkorDriver::noteDatagram(const std::string& text, const boost::asio::ip::address& destination,
                                const std::string* through) {
    // The word alone: the body of a line this node built needs no second reading.
    MessageForwardInfo header;
    if (!header.Parse(text, false) || header.isReply) {
        return;
    }
    const auto now = DatagramRequests::Clock::now();
    if (const auto subnet = servedBroadcastSubnet(destination, through ? *through : std::string())) {
        _datagramRequests.SentToSubnet(header.GetCommand(), *subnet, now);
    } else {
        _datagramRequests.Sent(header.GetCommand(), destination, now);
    }
}

std::shared_ptr<Socket> ZelkorDriver::liveSocket(void* handle, bool& stale) {
    stale = false;
    if (!handle) {
        return nullptr;
    }
    auto socket = _live.Find(handle);
    if (!socket) {
        // Kept past its socket's end (a service's record of a closed connection, a UDP
        // socket a listener change closed): nothing may be read through it.
        stale = true;
        PeerWarning("ZK78F8W Connection handle no longer valid", Tag(handle));
    }
    return socket;
}

std::shared_ptr<TcpSocket> ZelkorDriver::tcpOf(void* handle) {
    bool stale = false;
    auto socket = liveSocket(handle, stale);
    return socket && socket->IsReliableTransport() ? std::static_pointer_cast<TcpSocket>(socket) : nullptr;
}

std::shared_ptr<TcpSocket> ZelkorDriver::liveConnection(const TcpSocket* known) {
    return tcpOf(HandleOf(const_cast<TcpSocket*>(known)));
}

std::shared_ptr<UdpSocket> ZelkorDriver::udpOf(void* handle) {
    bool stale = false;
    auto socket = liveSocket(handle, stale);
    return socket && !socket->IsReliableTransport() ? std::static_pointer_cast<UdpSocket>(socket) : nullptr;
}

bool ZelkorDriver::IsReliableTransport(void* handle) {
    Trace("ZK7811I ZelkorDriver::IsReliableTransport begin");
    const auto socket = handle ? _live.Find(handle) : nullptr;
    const bool reliable = socket && socket->IsReliableTransport();
    Trace("ZK7812I ZelkorDriver::IsReliableTransport end");
    return reliable;
}

void ZelkorDriver::sendLine(void* handle, const std::string& text, bool request, const MessageForwardInfo& header,
                            const std::string& word, bool record) {
    if (!sendable(text)) {
        return;
    }
    bool stale = false;
    const auto target = liveSocket(handle, stale);
    if (stale) {
        return;
    }
    if (!target || !target->IsReliableTransport()) {
        SendMulticastMessage(text, ProtocolPort);
        return;
    }
    const auto socket = std::static_pointer_cast<TcpSocket>(target);
    const std::string hash = record && !request && header.hasHash ? header.HashText() : std::string();
    onLoop([this, socket, text, request, hash, word] {
        // Only a reply the connection took answers a duplicate later.
        if (socket->SendDataNow(text, request)) {
            RecordReply(HandleOf(socket.get()), hash, word, text);
        }
    });
}

void ZelkorDriver::SendReply(void* handle, const std::string& line, const std::string& hash, const std::string& word) {
    if (!handle || !sendable(line)) {
        return;
    }
    bool stale = false;
    const auto target = liveSocket(handle, stale);
    if (!target) {
        return;
    }
    if (!target->IsReliableTransport()) {
        // To the asker alone: a refusal multicast would make every node that heard one
        // bad datagram broadcast.
        const auto udp = std::static_pointer_cast<UdpSocket>(target);
        onLoop([udp, line] { udp->SendDataTo(line, udp->GetRemoteIP(), udp->GetRemotePort()); });
        return;
    }
    const auto socket = std::static_pointer_cast<TcpSocket>(target);
    onLoop([this, socket, line, hash, word] {
        if (socket->SendDataNow(line, false)) {
            RecordReply(HandleOf(socket.get()), hash, word, line);
        }
    });
}

void ZelkorDriver::BuildAndSendMessage(void* handle, Message& message, bool request) {
    Trace("ZK7865I ZelkorDriver::BuildAndSendMessage begin");
    sendLine(handle, message.Build(request), request, message.GetMessageForwardInfo(), message.CommandName(), true);
    Trace("ZK7866I ZelkorDriver::BuildAndSendMessage end");
}

void ZelkorDriver::AnswerLater(std::function<void()> answer) {
    if (!answer) {
        return;
    }
    boost::asio::post(_io, [weak = weak_from_this(), answer = std::move(answer)] {
        if (weak.lock()) {
            answer();
        }
    });
}

void ZelkorDriver::reportNotTaken(SendResult done) {
    if (done) {
        AnswerLater([done = std::move(done)] { done(false); });
    }
}

void ZelkorDriver::SendRequest(void* handle, std::string line, SendResult done) {
    if (!sendable(line)) {
        reportNotTaken(std::move(done));
        return;
    }
    // Taken here, on the caller's thread, while the caller still holds the connection.
    bool stale = false;
    const auto target = liveSocket(handle, stale);
    if (stale) {
        reportNotTaken(std::move(done));
        return;
    }
    if (!target || !target->IsReliableTransport()) {
        SendMulticastMessage(line, ProtocolPort);
        reportNotTaken(std::move(done));
        return;
    }
    const auto socket = std::static_pointer_cast<TcpSocket>(target);
    onLoop([this, socket, line = std::move(line), done = std::move(done)]() mutable {
        bool taken = false;
        try {
            taken = socket->SendDataNow(std::move(line), true);
        } catch (const std::exception& error) {
            Error("ZK78F6E Request not sent", error.what());
        }
        if (!taken) {
            reportNotTaken(std::move(done));
        } else if (done) {
            done(true);
        }
    });
}

void ZelkorDriver::BuildAndSendMessageDelayed(void* handle, Message& message, bool request) {
    Trace("ZK78C9I ZelkorDriver::BuildAndSendMessageDelayed begin");
    const std::string text = message.Build(request);
    bool stale = false;
    const auto target = liveSocket(handle, stale);
    if (stale) {
        return;
    }
    const bool tcp = target && target->IsReliableTransport();
    const auto socket = tcp ? std::static_pointer_cast<TcpSocket>(target) : nullptr;
    const MessageForwardInfo& header = message.GetMessageForwardInfo();
    const std::string hash = !request && header.hasHash ? header.HashText() : std::string();
    // A notice made for a requester the router says is gone before it is handed over
    // belongs to nobody.
    const std::uint64_t forgotten = socket ? socket->RoutesForgotten() : 0;
    boost::asio::post(_io, [weak = weak_from_this(), tcp, socket, text, request, hash, forgotten,
                            word = std::string(message.CommandName())] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (!tcp) {
            if (self->IsStopped()) {
                self->Warning("ZK78D1W Driver is finalized");
            } else {
                self->SendMulticastMessage(text, ProtocolPort);
            }
            return;
        }
        if (self->IsStopped()) {
            self->Warning("ZK78D0W Driver is finalized");
            return;
        }
        self->Trace("ZK7813I ZelkorDriver::BuildAndSendMessageDelayed TCP lambda begin");
        auto current = self->discovery();
        if (!current) {
            self->Warning("ZK7882W Discovery service not initialized");
        } else if (!socket || !current->IsValidConnection(HandleOf(socket.get()))) {
            self->PeerWarning(Join("ZK7868W device can not send message: ",
                                   std::string_view(text).substr(0, text.find('\n')), " connection not valid."));
        } else if (request && socket->ForgotRouteSince(forgotten, text)) {
            self->Debug("ZK78CAI Notice for a requester gone not sent", word);
        } else if (self->sendable(text) && socket->SendDataNow(text, request)) {
            self->RecordReply(HandleOf(socket.get()), hash, word, text);
        }
    });
}

void ZelkorDriver::BuildAndSendUnicastMessage(void* handle, Message& message, bool request) {
    if (!handle) {
        return;
    }
    const std::string text = message.Build(request);
    bool stale = false;
    const auto target = liveSocket(handle, stale);
    if (!target) {
        return;
    }
    if (target->IsReliableTransport()) {
        sendLine(handle, text, request, message.GetMessageForwardInfo(), message.CommandName(), true);
        return;
    }
    if (!sendable(text)) {
        return;
    }
    const auto udp = std::static_pointer_cast<UdpSocket>(target);
    onLoop([this, udp, text] {
        if (!discovery()) {
            Warning("ZK7869W Discovery service not initialized");
            return;
        }
        SendFrame(text, udp->GetRemoteIP(), udp->GetRemotePort(), 0, udp->Name());
    });
}

void ZelkorDriver::BuildAndSendRawCommand(void* handle, const std::string& text, bool request) {
    if (!handle) {
        return;
    }
    if (!sendable(text)) {
        return;
    }
    bool stale = false;
    const auto target = liveSocket(handle, stale);
    if (!target) {
        return;
    }
    if (!target->IsReliableTransport()) {
        const auto udp = std::static_pointer_cast<UdpSocket>(target);
        onLoop([this, udp, text] { SendMulticastMessage(text, udp->GetRemotePort()); });
        return;
    }
    const auto socket = std::static_pointer_cast<TcpSocket>(target);
    onLoop([this, socket, text, request] {
        auto current = discovery();
        if (!current) {
            Warning("ZK7867W Discovery service not initialized");
        } else if (!current->IsValidConnection(HandleOf(socket.get()))) {
            PeerWarning(Join("ZK7867W device can not send message: ", std::string_view(text).substr(0, text.find('\n')),
                             " connection not valid."));
        } else {
            socket->SendData(text, request);
        }
    });
}

void ZelkorDriver::SendDataToPeer(std::shared_ptr<TcpSocket> socket, const std::string& text, bool request) {
    if (!socket || !sendable(text)) {
        return;
    }
    onLoop([socket, text, request] {
        if (socket->SocketIsConnected()) {
            socket->SendData(text, request);
        }
    });
}

void ZelkorDriver::SendDataToPeer(void* handle, const std::string& text, bool request) {
    if (!handle) {
        return;
    }
    auto socket = tcpOf(handle);
    if (!socket) {
        Warning("ZK78F3W Not a TCP connection handle", Tag(handle));
        return;
    }
    if (sendable(text)) {
        socket->SendData(text, request);
    }
}

void ZelkorDriver::SendMulticastMessage(const std::string& text, unsigned short port) {
    if (port == 0 || !sendable(text)) {
        return;
    }
    const auto all = boost::asio::ip::address_v4::broadcast();
    noteDatagram(text, boost::asio::ip::address());
    // One send per interface and address family, through the first socket of each: an
    // IPv4 socket broadcasts, an IPv6 one sends to the discovery group, and an interface
    // that serves both reaches the peers of both.
    std::vector<std::pair<std::string, bool>> served;
    std::lock_guard<std::mutex> lock(_udpMutex);
    for (const auto& socket : _udpSockets) {
        const std::pair<std::string, bool> key{socket->Name(), socket->GetLocalIP().is_v6()};
        if (std::find(served.begin(), served.end(), key) != served.end()) {
            continue;
        }
        socket->SendMulticastMessage(text, all, port, _broadcast.load(), _subnetBroadcast.load());
        served.push_back(key);
    }
}

void ZelkorDriver::SendFrame(const std::string& text, const boost::asio::ip::address& destination,
                             unsigned short port, unsigned short /*sourcePort*/, const std::string& interfaceName) {
    if (!sendable(text)) {
        return;
    }
    // The interface table knows an IPv6 address only as this host's own: a peer's IPv6
    // address is on a served network when a listening record's prefix holds it.
    NetworkInfo serving;
    const bool inServedSubnet = GetLocalInfo(destination, &serving);
    if (GetEndPointInterface(destination).empty() && !(destination.is_v6() && inServedSubnet)) {
        return;
    }
    std::shared_ptr<UdpSocket> through;
    {
        // A socket of the interface in the destination's family (an IPv4 socket cannot
        // reach an IPv6 asker), the one of the address serving the destination's subnet
        // where the interface has addresses in several: the asker takes the sender's
        // address for the node's, and may have no route to another subnet.
        std::lock_guard<std::mutex> lock(_udpMutex);
        for (const auto& socket : _udpSockets) {
            if (socket->Name() != interfaceName || socket->GetLocalIP().is_v6() != destination.is_v6()) {
                continue;
            }
            if (!through) {
                through = socket;
            }
            if (inServedSubnet && socket->GetLocalIP() == serving.GetIPAddress()) {
                through = socket;
                break;
            }
        }
    }
    if (through) {
        noteDatagram(text, destination, &interfaceName);
        through->SendMulticastMessage(text, destination, port, _broadcast.load(), _subnetBroadcast.load());
    }
}

void ZelkorDriver::SendFrame(const std::string& text, const boost::asio::ip::address& destination,
                             unsigned short port, unsigned short localPort) {
    if (!sendable(text)) {
        return;
    }
    auto socket = std::make_shared<UdpSocket>(_io, port);
    socket->SetSink(this);
    try {
        // Bound in the destination's family, or an IPv6 destination would be unreachable.
        const boost::asio::ip::address any = destination.is_v6() ? boost::asio::ip::address(boost::asio::ip::address_v6::any())
                                                                 : boost::asio::ip::address(boost::asio::ip::address_v4::any());
        if (!socket->BindTo(any, localPort, "")) {
            Warning("ZK78A1 SendFrame UDP bind failed");
            return;
        }
    } catch (const boost::system::system_error& error) {
        Warning("ZK78A1 SendFrame UDP bind failed", error.what());
        return;
    }
    // The pending send keeps the socket alive; it closes itself once the send is done.
    socket->SetCloseAfterSend(true);
    noteDatagram(text, destination);
    socket->SendMulticastMessage(text, destination, port, _broadcast.load(), _subnetBroadcast.load());
}

void ZelkorDriver::SendFrame(const std::string& text, void* handle) {
    if (!handle) {
        return;
    }
    auto udp = udpOf(handle);
    if (!udp) {
        Warning("ZK78F3W Not a UDP socket handle", Tag(handle));
        return;
    }
    if (!sendable(text)) {
        return;
    }
    onLoop([this, udp, text] {
        noteDatagram(text, udp->GetRemoteIP());
        udp->SendDataTo(text, udp->GetRemoteIP(), udp->GetRemotePort());
    });
}

}  // namespace Zelkor
