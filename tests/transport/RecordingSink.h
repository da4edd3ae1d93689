#pragma once
// A SocketSink that records what datagram endpoints report and answers their questions
// (own listeners, interface records) from test-set tables, and the waits the datagram
// tests share. Called on the loop thread only; read by the test once the loop is idle or
// has ended.

#include <sys/ioctl.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/MessageForwardInfo.h"
#include "support/RunUntil.h"
#include "transport/InterfaceInfo.h"
#include "transport/UdpSocket.h"

#include "NullSink.h"

namespace ZelkorTest {

class RecordingSink : public NullSink {
public:
    using udp = boost::asio::ip::udp;
    using address = boost::asio::ip::address;

    struct Received {
        std::string command;  // as parsed, "@" included
        std::string json;
        std::string targets;
        udp::endpoint sender;  // the socket's remote end while it was delivering
    };
    struct Traffic {
        bool incoming;
        udp::endpoint remote;
        std::string text;
        std::thread::id thread;  // the thread the socket reported on
    };

    // Filled by the sockets.
    std::vector<Received> received;
    std::vector<Traffic> traffic;
    std::size_t interfaceQueries = 0;
    // Set by the test.
    std::set<std::pair<address, unsigned short>> listeners;
    std::vector<Zelkor::InterfaceInfo> interfaces;

    std::vector<std::string> Commands() const {
        std::vector<std::string> out;
        for (const auto& r : received) {
            out.push_back(r.command);
        }
        return out;
    }
    bool Heard(const std::string& command) const {
        const auto commands = Commands();
        return std::find(commands.begin(), commands.end(), command) != commands.end();
    }

    void MessageReceived(std::shared_ptr<Zelkor::UdpSocket> socket, Zelkor::MessageForwardInfo& header) override {
        received.push_back({header.CommandText(), header.JsonText(), header.GetTargetPaths(),
                            udp::endpoint(socket->GetRemoteIP(), socket->GetRemotePort())});
    }
    void LogTraffic(bool incoming, const udp::endpoint& remote, const std::string& text) override {
        traffic.push_back({incoming, remote, text, std::this_thread::get_id()});
    }
    bool IsListener(const address& ip, unsigned short port) override { return listeners.count({ip, port}) > 0; }
    void ListInterfaces(std::vector<Zelkor::InterfaceInfo>& list, std::string& hostName) override {
        ++interfaceQueries;
        list = interfaces;
        hostName = "testhost";
    }
};

inline Zelkor::InterfaceInfo InterfaceRecord(const char* mac, const char* ip, const char* mask) {
    Zelkor::InterfaceInfo info;
    info.macText = mac;
    info.ipv4Text = ip;
    info.subnetMaskText = mask;
    return info;
}

// Runs the loop until `sink` has been handed a line with `command`.
inline bool RunUntilHeard(boost::asio::io_context& io, const RecordingSink& sink, const std::string& command) {
    return RunUntil(io, [&] { return sink.Heard(command); });
}

// Runs the loop until the socket has taken every queued datagram, then whatever that made
// ready: each datagram has been handled, delivered or dropped.
inline bool Drain(boost::asio::io_context& io, Zelkor::UdpSocket& socket) {
    int pending = 0;
    const bool drained = RunUntil(io, [&] {
        ioctl(socket.GetBasicSocket().native_handle(), FIONREAD, &pending);
        return pending == 0;
    });
    io.restart();
    io.poll();
    return drained;
}

}  // namespace ZelkorTest
