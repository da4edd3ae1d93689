#pragma once
// A SocketSink that ignores every report and answers every question with "no", "none" or
// 0: the base of the benchmark's sinks, which override only the calls they need.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/SocketSink.h"

namespace ZelkorBench {

class NullSink : public Zelkor::SocketSink {
public:
    using TcpPtr = std::shared_ptr<Zelkor::TcpSocket>;
    using UdpPtr = std::shared_ptr<Zelkor::UdpSocket>;

    void SocketAccepted(TcpPtr) override {}
    void SocketConnected(TcpPtr, bool) override {}
    void SocketSecured(TcpPtr) override {}
    void SocketRejected(TcpPtr) override {}
    void SocketClosed(TcpPtr) override {}
    void MessageReceived(TcpPtr, Zelkor::MessageForwardInfo&, TimePoint, TimePoint) override {}
    void MessageReceived(UdpPtr, Zelkor::MessageForwardInfo&) override {}
    void MessageBlockSent(TcpPtr, Zelkor::MessageForwardInfo&) override {}
    void MessageBlockReplySent(TcpPtr) override {}
    void LogTraffic(bool, const boost::asio::ip::tcp::endpoint&, const std::string&, bool) override {}
    void LogTraffic(bool, const boost::asio::ip::udp::endpoint&, const std::string&) override {}
    bool IsListener(const boost::asio::ip::address&, unsigned short) override { return false; }
    bool RemoveListener(const std::string&, unsigned short) override { return true; }
    void IPv4Address(std::string&, unsigned short&, std::string) override {}
    void CloseSocket(UdpPtr) override {}
    void ListInterfaces(std::vector<Zelkor::InterfaceInfo>&, std::string&) override {}
    void SetRequestTime(TcpPtr, std::int64_t) override {}
    void ClearRequestTime(TcpPtr) override {}
    std::uint64_t MaxQueueDepth() override { return 0; }
    void RequestEnded(TcpPtr, const std::string&, const std::string&) override {}
};

}  // namespace ZelkorBench
