// Nodes in processes of their own finding and keeping each other, over a veth pair (root
// only, else skipped) and over loopback: discovery, connecting, keep-alives, static
// routes, the incoming-connection limit and a device reached through a router. Every
// node runs its discovery timer twenty times faster, so that each period is a fraction
// of a second, and each wait is bounded by a deadline.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "discovery/NodesTestSupport.h"
#include "support/DriverHarness.h"
#include "support/NetNamespace.h"
#include "support/NodeProcess.h"
#include "support/TempDir.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;

// The discovery requests ("disco" lines over UDP) that cross `link` for `window`, counted by
// destination port. Call it inside the link's namespace; it needs a packet socket (root).
std::map<unsigned short, int> CountDiscoRequests(const std::string& link, std::chrono::milliseconds window) {
    std::map<unsigned short, int> counts;
    // Bound to every protocol: only such a socket also sees the packets the host sends.
    const int fd = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd < 0) {
        ADD_FAILURE() << "no packet socket";
        return counts;
    }
    sockaddr_ll where{};
    where.sll_family = AF_PACKET;
    where.sll_protocol = htons(ETH_P_ALL);
    where.sll_ifindex = static_cast<int>(::if_nametoindex(link.c_str()));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        ADD_FAILURE() << "cannot watch " << link;
        ::close(fd);
        return counts;
    }
    const auto until = std::chrono::steady_clock::now() + window;
    std::array<unsigned char, 65536> packet{};
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd watch{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&watch, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        sockaddr_ll from{};
        socklen_t fromSize = sizeof from;
        const ssize_t size =
            ::recvfrom(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (size < 28 || from.sll_protocol != htons(ETH_P_IP) || packet[9] != IPPROTO_UDP) {
            continue;
        }
        const std::size_t udp = (packet[0] & 0x0Fu) * 4u;
        const std::string payload(reinterpret_cast<const char*>(packet.data()) + std::min<std::size_t>(udp + 8, size),
                                  reinterpret_cast<const char*>(packet.data()) + size);
        if (payload.rfind("disco ", 0) == 0) {
            ++counts[static_cast<unsigned short>(packet[udp + 2] << 8 | packet[udp + 3])];
        }
    }
    ::close(fd);
    return counts;
}

// A controller in namespace b finds the device in namespace a by its broadcast, lists it
// New, connects it on command and keeps it alive; the device it found is the one that
// connects: no second device appears for the endpoint.
TEST(NodesOverVeth, ADiscoveredDeviceIsConnectedOnCommandAndKeptAlive) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    Node device(Options("device", "amp1", {"--guid", kAmp, "--listen", "10.77.0.1:4197"}), pair.a.Name());
    Node controller(Options("controller", "ctl1", {"--listen", "10.77.0.2:4197"}), pair.b.Name());

    const Json::Value found = controller.process.Await(DeviceLine("amp1", "New"));
    EXPECT_EQ(found["guid"], kAmp);
    EXPECT_EQ(found["ip"], "10.77.0.1");
    EXPECT_EQ(found["port"], 4197);
    EXPECT_EQ(found["old"], "None");
    ASSERT_TRUE(controller.process.Send(ConnectCommand("10.77.0.1", 4197)));
    EXPECT_EQ(controller.process.Await(DeviceLine("amp1", "Connected"))["old"], "Connecting");
    EXPECT_FALSE(device.process.Await(ConnectionFrom("10.77.0.2")).isNull());
    // The first answer comes with the connection, the second from the timer.
    EXPECT_FALSE(controller.process.Await(Answered("amp1", 2)).isNull());

    StopCleanly(controller.process);
    for (const auto& text : controller.process.Lines()) {
        EXPECT_EQ(text.find(R"("guid":"")"), std::string::npos) << text;
    }
    StopCleanly(device.process);
}

// Two controllers whose reply ports are not the protocol port answer each other's
// discovery request with one of their own; the exchange stays at one request per
// discovery interval (23 s, scaled to 1.15 s) each way.
TEST(NodesOverVeth, ControllersOnOtherReplyPortsTradeOneRequestPerInterval) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    Node a(Options("controller", "ca", {"--listen", "10.77.0.1:4197", "--listen", "10.77.0.1:5001", "--reply-port",
                                        "5001"}),
           pair.a.Name());
    Node b(Options("controller", "cb", {"--listen", "10.77.0.2:4197", "--listen", "10.77.0.2:5002", "--reply-port",
                                        "5002"}),
           pair.b.Name());
    EXPECT_EQ(a.process.Await(DeviceLine("cb", "New"))["port"], 5002);
    EXPECT_EQ(b.process.Await(DeviceLine("ca", "New"))["port"], 5001);

    std::map<unsigned short, int> requests;
    ASSERT_TRUE(pair.b.Run([&] { requests = CountDiscoRequests(pair.b1, 3s); }));
    // At most one per interval started in the window, and the exchange goes on.
    for (const unsigned short port : {5001, 5002}) {
        EXPECT_GE(requests[port], 1) << port;
        EXPECT_LE(requests[port], 4) << port;
    }
    StopCleanly(a.process);
    StopCleanly(b.process);
}

// A device node restarted after it was killed is connected again by the controller's
// static route, and kept alive.
TEST(NodesOverVeth, AKilledDeviceIsReconnectedByTheStaticRoute) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    const auto deviceOptions = Options("device", "amp1", {"--guid", kAmp, "--listen", "10.77.0.1:4197"});
    auto device = std::make_unique<Node>(deviceOptions, pair.a.Name());
    Node controller(Options("controller", "ctl1", {"--listen", "10.77.0.2:4197", "--route", "10.77.0.1,4197"}),
                    pair.b.Name());
    EXPECT_FALSE(controller.process.Await(Answered("amp1", 1)).isNull());

    ASSERT_TRUE(device->process.Signal(SIGKILL));
    EXPECT_EQ(device->process.Wait(), 128 + SIGKILL);
    EXPECT_EQ(controller.process.Await(DeviceLine("amp1", "Disconnected"))["guid"], kAmp);

    device = std::make_unique<Node>(deviceOptions, pair.a.Name());
    EXPECT_EQ(controller.process.Await(DeviceLine("amp1", "Connected"))["guid"], kAmp);
    EXPECT_FALSE(device->process.Await(ConnectionFrom("10.77.0.2")).isNull());
    const Json::Value alive = controller.process.AwaitEvent("alive");
    EXPECT_EQ(alive["guid"], kAmp);
    // Milliseconds to the microsecond, never the 17 digits of a binary fraction.
    for (const auto& text : controller.process.Lines()) {
        if (text.find(R"("event":"alive")") != std::string::npos) {
            EXPECT_TRUE(std::regex_search(text, std::regex(R"("roundTripMs":[0-9]+(\.[0-9]{1,3})?[,}])"))) << text;
        }
    }
    EXPECT_FALSE(controller.process.Await(Answered("amp1", alive["answered"].asUInt() + 1)).isNull());
    StopCleanly(controller.process);
    StopCleanly(device->process);
}

// Three processes: the device serves only the loopback of namespace a, the router in a
// reaches it by a static route and serves the link, the controller in b reaches the
// router by its own route. The router's device list brings the device to the controller,
// which connects it through the router: it never opens a connection of its own to it.
TEST(NodesOverVeth, AControllerReachesADeviceThroughARouter) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    Node device(Options("device", "amp1", {"--guid", kAmp, "--listen", "127.0.0.1:4197"}), pair.a.Name());
    Node router(Options("router", "rt1", {"--listen", "10.77.0.1:4197", "--route", "127.0.0.1,4197"}),
                pair.a.Name());
    Node controller(Options("controller", "ctl1", {"--listen", "10.77.0.2:4197", "--route", "10.77.0.1,4197"}),
                    pair.b.Name());

    EXPECT_FALSE(router.process.Await(Answered("amp1", 1)).isNull());
    const Json::Value listed = controller.process.Await(DeviceLine("amp1", "New"));
    EXPECT_EQ(listed["guid"], kAmp);
    EXPECT_EQ(listed["proxy"], "rt1");
    EXPECT_EQ(listed["ip"], "127.0.0.1");
    ASSERT_TRUE(controller.process.Send(ConnectCommand("127.0.0.1", 4197)));
    const Json::Value connected = controller.process.Await(DeviceLine("amp1", "Connected"));
    EXPECT_EQ(connected["proxy"], "rt1");
    EXPECT_EQ(connected["old"], "New");

    StopCleanly(controller.process);
    for (const auto& text : controller.process.Lines()) {
        EXPECT_EQ(text.find(R"("peer":"127.0.0.1)"), std::string::npos) << text;
    }
    StopCleanly(router.process);
    StopCleanly(device.process);
}

// On one host: the controller's broadcast to 127.255.255.255 reaches the device's
// any-address socket, and the device answers on the controller's reply port, which is
// the controller's own port. Inside a namespace of its own when the test may make one.
TEST(NodesOnLoopback, ADeviceAndAControllerFindAndKeepEachOther) {
    NetNamespace space("lo");
    const std::string place = space.Made() ? space.Name() : "";
    Node device(Options("device", "amp1", {"--guid", kAmp, "--listen", "127.0.0.1:4197"}), place);
    Node controller(Options("controller", "ctl1", {"--listen", "127.0.0.1:4198", "--reply-port", "4198"}), place);

    const Json::Value found = controller.process.Await(DeviceLine("amp1", "New"));
    EXPECT_EQ(found["guid"], kAmp);
    EXPECT_EQ(found["ip"], "127.0.0.1");
    ASSERT_TRUE(controller.process.Send(ConnectCommand("127.0.0.1", 4197)));
    EXPECT_FALSE(controller.process.Await(DeviceLine("amp1", "Connected")).isNull());
    EXPECT_FALSE(controller.process.Await(Answered("amp1", 2)).isNull());
    StopCleanly(controller.process);
    StopCleanly(device.process);
}

// With --max-incoming 2 two peers are admitted and served, a third is told goodbye
// ("busy") and closed, and a slot freed by a closed peer admits the next one.
TEST(NodesOnLoopback, AnIncomingLimitOfTwoRefusesTheThirdPeerBusy) {
    boost::asio::io_context io;
    const auto loopback = boost::asio::ip::make_address("127.0.0.1");
    unsigned short port = 0;
    {
        boost::asio::ip::tcp::acceptor probe(io, {loopback, 0});
        port = probe.local_endpoint().port();
    }
    Node device(Options("device", "amp1", {"--listen", "127.0.0.1:" + std::to_string(port), "--max-incoming", "2"}));
    ASSERT_FALSE(device.process.AwaitEvent("listenerAdded").isNull());

    const std::string ask = "disco {\"params\":[\"name\"]}\n";
    const std::string answer = "@disco {\"name\":\"amp1\"}\n";
    auto first = std::make_unique<RawPeer>();
    RawPeer second, third, fourth;
    for (RawPeer* peer : {first.get(), &second}) {
        ASSERT_TRUE(peer->Connect({loopback, port}));
        peer->Send(ask);
        EXPECT_EQ(peer->ReadLine(), answer);
    }
    ASSERT_TRUE(third.Connect({loopback, port}));
    EXPECT_EQ(third.ReadLine(), "goodbye {\"reason\":\"busy\"}\n");
    EXPECT_TRUE(third.WaitClosed());

    const auto closed = [](const Json::Value& line) {
        return line["event"] == "connection" && line["connected"] == false;
    };
    ASSERT_FALSE(device.process.Await(closed).isNull());  // the third
    first.reset();
    ASSERT_FALSE(device.process.Await(closed).isNull());
    ASSERT_TRUE(fourth.Connect({loopback, port}));
    fourth.Send(ask);
    EXPECT_EQ(fourth.ReadLine(), answer);
    StopCleanly(device.process);
}

}  // namespace
}  // namespace ZelkorTest
