// Arbitrary discovery traffic through the real discovery service: each line of the input,
// taken as the body of a discovery request and of a discovery reply, goes through
// SendDiscoReply and HandleDiscoReply as a datagram and over a connection, and as a
// router's "@list" answer through HandleListDiscoveredReply. The device cap is small:
// whatever comes, the list never holds more devices than the cap, and no name in it
// holds a control character (it would split the lines it is written into).
//
// Where the process may make a network namespace of its own (root), the node listens on
// 127.0.0.1 there, so that answers to datagram requests are built and sent, into that
// namespace only; elsewhere datagram requests stop at the missing listener. The
// connections are never opened.
//
// Input: the first byte holds switches (bit 0: the connection's lines carry a routing
// header through a router, bit 1: the node is a controller, bit 2: datagrams come from
// port 4197 rather than 5000), then one body per line.

#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "FuzzSupport.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "core/ZelkorLog.h"
#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "driver/Packet.h"
#include "driver/ZelkorDriver.h"
#include "services/ListCommandDiscovered.h"
#include "storage/JsonModel.h"
#include "transport/TcpSocket.h"
#include "transport/UdpSocket.h"

namespace {

constexpr std::size_t kCap = 4;

// A datagram endpoint whose sender the input chooses.
class Datagrams : public Zelkor::UdpSocket {
public:
    using UdpSocket::UdpSocket;
    void From(const boost::asio::ip::address& address, unsigned short port) { _senderEndpoint = {address, port}; }
};

std::string sampleTree() {
    std::ifstream in(ZELKOR_SOURCE_DIR "/examples/device-tree.json");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A namespace of this process's own with its loopback up; false where it cannot be made.
bool privateLoopback() {
    if (unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return up;
}

struct Node {
    boost::asio::io_context io;
    std::shared_ptr<Zelkor::ZelkorDriver> driver = std::make_shared<Zelkor::ZelkorDriver>(io);
    Zelkor::DiscoveryService* service = nullptr;
    std::shared_ptr<Datagrams> udp = std::make_shared<Datagrams>(io, Zelkor::ZelkorDriver::ProtocolPort);

    Node() {
        Zelkor::ReplyCache::Limits limits;
        limits.capacity = 8;
        driver->SetReplyCacheLimits(limits);
        driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(sampleTree()));
        service = driver->GetDiscovery();
        service->SetMaxDevices(kCap);
        if (privateLoopback()) {
            driver->AddListener("127.0.0.1", Zelkor::ZelkorDriver::ProtocolPort);
        }
    }
};

Node& node() {
    static Node made;
    return made;
}

const Json::Value& routerBody() {
    static const Json::Value body = [] {
        Json::Value made;
        made["classname"] = "router";
        made["guid"] = "a1b2c3d4-0000-4000-8000-000000000001";
        made["ip"] = "10.0.0.1";
        made["mode"] = "router";
        made["name"] = "rtr";
        made["port"] = 4197;
        return made;
    }();
    return body;
}

void checkList(Zelkor::DiscoveryService& service) {
    if (service.TableSizes()["deviceSet"] > kCap || service.TableSizes()["devicesByGuid"] > kCap) {
        __builtin_trap();
    }
    service.forEach([](std::shared_ptr<Zelkor::IDevice> device) {
        for (const char c : device->GetDiscoInfo().name) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                __builtin_trap();
            }
        }
    });
}

void discoLine(Node& at, const std::string& line, bool reliable, bool reply,
               const std::shared_ptr<Zelkor::TcpSocket>& connection) {
    Zelkor::MessageForwardInfo header;
    if (header.PullHeader(line).empty()) {
        return;
    }
    Zelkor::Packet packet;
    packet.reliable = reliable;
    packet.isReply = reply;
    packet.header = &header;
    if (reliable) {
        packet.socket = connection;
        packet.handle = Zelkor::ZelkorDriver::HandleOf(connection.get());
    } else {
        packet.handle = Zelkor::ZelkorDriver::HandleOf(at.udp.get());
    }
    if (reply) {
        at.service->HandleDiscoReply(packet);
    } else {
        at.service->SendDiscoReply(packet);
    }
}

void routerList(Node& at, const std::string& body, const std::shared_ptr<Zelkor::TcpSocket>& routerConnection) {
    auto list = std::make_unique<Zelkor::ListCommandDiscovered>();
    std::string error;
    if (!list->FromNetworkFormat(false, "@list " + body, error)) {
        return;
    }
    list->SetIsReply(true);
    Zelkor::MessageSignalData data(Zelkor::ZelkorDriver::HandleOf(routerConnection.get()), routerConnection, true,
                                   std::move(list));
    at.service->HandleListDiscoveredReply(data);
}

void exercise(Node& at, std::uint8_t switches, const std::string& text) {
    auto& tls = at.driver->GetSSLContext();
    const auto connection = std::make_shared<Zelkor::TcpSocket>(at.io, tls, false);
    const auto routerConnection = std::make_shared<Zelkor::TcpSocket>(at.io, tls, false);
    at.service->SetMode((switches & 2) ? "controller" : "device");
    at.udp->From(boost::asio::ip::make_address("127.0.0.1"), (switches & 4) ? 4197 : 5000);
    Zelkor::NewDiscoInfo record;
    record.updateFrom(routerBody());
    const auto router = std::make_shared<Zelkor::DeviceImpl>(at.driver.get(), record);
    router->SetHandle(routerConnection);
    at.service->enterDevice(router, Zelkor::DiscoveryService::AllTables);
    const std::string routed = (switches & 1) ? "[" + at.service->InstanceName() + "][far&rtr] " : "";

    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string body = text.substr(start, end - start);
        start = end + 1;
        discoLine(at, "disco " + body + "\n", false, false, connection);
        discoLine(at, routed + "disco " + body + "\n", true, false, connection);
        discoLine(at, "@disco " + body + "\n", false, true, connection);
        discoLine(at, routed + "@disco " + body + "\n", true, true, connection);
        routerList(at, body, routerConnection);
        checkList(*at.service);
    }
    at.service->ResetDeviceList();
    connection->Close();
    routerConnection->Close();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ZelkorLog::TheLog().SetLevel(0);
    ZelkorFuzz::BuildInWorkFolder([] {
        node();
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    Node& at = node();
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    // On the loop, as the sockets deliver.
    boost::asio::post(at.io, [&] { exercise(at, data[0], text); });
    at.io.restart();
    // Bounded: every job the lines made, and the ones those made, are run.
    for (int round = 0; round < 64 && at.io.poll() > 0; ++round) {
    }
    return 0;
}
