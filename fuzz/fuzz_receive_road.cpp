// Arbitrary lines through the driver's receive road, as TCP and UDP requests and replies:
// each line is cleaned and its header parsed as the sockets do, then handed to the driver
// on its loop. Discovery is a small fake answering from this file; the connections are
// never opened, so nothing reaches a network. Whatever comes, nothing crashes and the
// reply cache stays within its (small) cap.
//
// Input: the first byte sets the connections' security (bit 0: TLS, bit 1: authenticated,
// bit 2: Kasdor-authenticated, bit 3: the node holds a verification code). Then one line
// after the other; a line's first character may pick where it comes from: '<' requester
// A (also the default), '>' requester B, '!' the device D behind this node, '~' a datagram.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "FuzzSupport.h"
#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/ZelkorLog.h"
#include "driver/IDriverDiscovery.h"
#include "driver/StandInMessage.h"
#include "driver/ZelkorDriver.h"
#include "transport/TcpSocket.h"
#include "transport/UdpSocket.h"

namespace {

constexpr std::size_t CacheCap = 8;

// Node "R" with device "D" connected behind it and device "U" known but not connected.
// Its service words are answered at once with the request's own body, as a service
// would answer, so replies are sent and recorded.
class Discovery : public Zelkor::IDriverDiscovery {
public:
    explicit Discovery(Zelkor::ZelkorDriver& driver) : _driver(driver) {}

    std::shared_ptr<Zelkor::TcpSocket> device;
    bool hasCode = false;

    void Initialize() override {}
    std::shared_ptr<StorageModel> GetStorageModel() override { return nullptr; }
    std::string InstanceName() override { return "R"; }
    bool ReplyDiscos() override { return false; }
    void SendSendDiscoRequest() override {}
    void StartTimer() override {}
    void Stop() override {}
    void ResetDeviceList() override {}
    void ResetIncomingConnections() override {}
    void ResetAllExcept(void*) override {}
    void UpdateDiscoReplyValue(const std::string&, const std::string&) override {}
    bool IsServiceCommand(const std::string& word) override { return _words.count(word) > 0; }
    void SendDiscoReply(Zelkor::Packet&) override {}
    void HandleDiscoReply(Zelkor::Packet&) override {}
    bool HasVerificationCode() override { return hasCode; }
    bool IsValidConnection(void*) override { return true; }
    bool GetDeviceHandleByName(const std::string& name, std::shared_ptr<Zelkor::TcpSocket>& socket) override {
        if (name == "D") {
            socket = device;
            return true;
        }
        return name == "U";
    }
    void UpdateStatistics(std::shared_ptr<Zelkor::TcpSocket>, TimePoint, TimePoint) override {}
    bool SendDiscos() override { return false; }
    bool IsRouter() const override { return true; }
    std::uint64_t GetKeepAliveDiscoInterval() const override { return 10000; }
    std::string GUID() override { return ""; }
    std::uint64_t MaxQueueDepth() override { return 0; }
    void SetRequestTime(const std::shared_ptr<Zelkor::TcpSocket>&, std::int64_t) override {}
    void ClearRequestTime(const std::shared_ptr<Zelkor::TcpSocket>&) override {}
    void SendKeepAliveDisco(std::shared_ptr<Zelkor::TcpSocket>, Zelkor::MessageForwardInfo&) override {}
    bool GetModelDHCP(std::string&, std::string&) override { return false; }
    void UpdateInterfaceDiscoReplyValue(const std::string&, const std::string&, const std::string&) override {}
    bool AuthenticateDeviceOf(std::shared_ptr<Zelkor::TcpSocket>) override { return false; }
    const char* AdmitForwardedProof(const Zelkor::TcpSocket&, bool&) override { return nullptr; }
    bool ForwardedProofAnswered(const Zelkor::TcpSocket&, const std::string& error) override {
        return error == "Authentication Failed";
    }
    void GiveMessageMapToMessageReceiver(Zelkor::ICombineMessageSignalMaps*) override {}

    void SignalRaised(Zelkor::MessageSignalData& data) override {
        Zelkor::Message* request = data.GetMessage();
        if (!request || request->GetIsReply()) {
            return;
        }
        const std::string& line = request->GetRawText();
        const auto space = line.find(' ');
        Zelkor::StandInMessage reply(request->CommandName());
        std::string error;
        reply.FromNetworkFormat(false, "@" + std::string(request->CommandName()) +
                                           (space == std::string::npos ? "" : line.substr(space)),
                                error);
        reply.SetMessageForwardInfo(request->GetMessageForwardInfo());
        _driver.BuildAndSendMessage(data.Handle(), reply, false);
    }

private:
    Zelkor::ZelkorDriver& _driver;
    const std::set<std::string> _words{"get", "set", "identify", "locate", "subscribe"};
};

struct Node {
    boost::asio::io_context io;
    std::shared_ptr<Zelkor::ZelkorDriver> driver = std::make_shared<Zelkor::ZelkorDriver>(io);
    std::shared_ptr<Discovery> discovery = std::make_shared<Discovery>(*driver);

    Node() {
        Zelkor::ReplyCache::Limits limits;
        limits.capacity = CacheCap;
        driver->SetReplyCacheLimits(limits);
        driver->UseDiscovery(discovery);
    }
};

Node& node() {
    static Node made;
    return made;
}

void receive(Node& at, const std::shared_ptr<Zelkor::TcpSocket>& tcp, const std::shared_ptr<Zelkor::UdpSocket>& udp,
             std::string line) {
    Zelkor::MessageForwardInfo header;
    if (!ZelkorFuzz::ReceivedLine(line, header)) {
        return;
    }
    if (tcp) {
        at.driver->MessageReceived(tcp, header, {}, {});
    } else {
        at.driver->MessageReceived(udp, header);
    }
    if (at.driver->ReplyCacheSize() > CacheCap) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ZelkorLog::TheLog().RegisterExternalLogger([](std::string&) {});
    node();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    Node& at = node();
    auto& tls = at.driver->GetSSLContext();
    auto connection = [&](bool client) {
        auto socket = std::make_shared<Zelkor::TcpSocket>(at.io, tls, client);
        socket->SetState((data[0] & 1) ? Zelkor::TcpSocket::Tls : Zelkor::TcpSocket::Plain);
        socket->IsAuthenticated((data[0] & 2) != 0);
        socket->IsKasdorAuthenticated((data[0] & 4) != 0);
        return socket;
    };
    const auto a = connection(false);
    const auto b = connection(false);
    at.discovery->device = connection(true);
    at.discovery->hasCode = (data[0] & 8) != 0;
    const auto udp = std::make_shared<Zelkor::UdpSocket>(at.io, Zelkor::ZelkorDriver::ProtocolPort);

    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    // On the loop, as the sockets deliver: sends made while handling happen at once.
    boost::asio::post(at.io, [&] {
        std::size_t start = 0;
        while (start < text.size()) {
            auto end = text.find('\n', start);
            if (end == std::string::npos) {
                end = text.size();
            }
            std::string line = text.substr(start, end - start);
            start = end + 1;
            std::shared_ptr<Zelkor::TcpSocket> from = a;
            std::shared_ptr<Zelkor::UdpSocket> datagram;
            switch (line.empty() ? '\0' : line.front()) {
                case '>': from = b; break;
                case '!': from = at.discovery->device; break;
                case '~': from = nullptr; datagram = udp; break;
                default: break;
            }
            if (!line.empty() && (line.front() == '<' || from != a)) {
                line.erase(0, 1);
            }
            receive(at, from, datagram, line);
        }
    });
    at.io.restart();
    // Bounded: every job the lines made, and the ones those made, are run.
    for (int round = 0; round < 64 && at.io.poll() > 0; ++round) {
    }
    for (const auto& socket : {a, b, at.discovery->device}) {
        socket->Close();
    }
    udp->Close();
    at.discovery->device.reset();
    at.io.restart();
    for (int round = 0; round < 64 && at.io.poll() > 0; ++round) {
    }
    return 0;
}
