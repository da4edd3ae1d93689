// The listen state over real interfaces: a driver whose every thread lives in namespace
// "a" serves A1 and follows it; namespace "b" sends it datagrams. What is open is read
// back from the namespace's own socket tables, independently of the driver's lists.
// Root only, else skipped.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <thread>

#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/ip/v6_only.hpp>

#include "support/DriverHarness.h"
#include "support/LogCapture.h"
#include "support/NetNamespace.h"
#include "support/RunUntil.h"
#include "transport/LinuxPlatform.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::udp;
using Strings = std::vector<std::string>;

constexpr unsigned short P = 4300;
constexpr unsigned short P2 = 4301;

std::string at(const std::string& ip, unsigned short port) { return ip + ":" + std::to_string(port); }

class EdgeNet : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pair.Missing().empty()) {
            GTEST_SKIP() << pair.Missing();
        }
        driver().OnListenerAdded([this](const std::string& ip, unsigned short port) { note("+" + at(ip, port)); });
        driver().OnListenerRemoved([this](const std::string& ip, unsigned short port) { note("-" + at(ip, port)); });
        InA([&] { harness.Start(); });
    }

    Zelkor::ZelkorDriver& driver() { return *harness.driver; }
    void InA(const std::function<void()>& work) { ASSERT_TRUE(pair.a.Run(work)); }
    // An enumeration and a run, as the discovery timer makes them.
    void Update() {
        InA([&] {
            driver().BuildNetworkInfo();
            driver().UpdateListenState();
        });
    }
    void note(const std::string& change) {
        std::lock_guard<std::mutex> lock(_mutex);
        _changes.push_back(change);
    }
    // The listener changes reported since the last call: "+ip:port" opened, "-" closed.
    Strings Changes() {
        std::lock_guard<std::mutex> lock(_mutex);
        return std::exchange(_changes, {});
    }
    // What namespace "a" has bound on the port, sorted.
    Strings Bound(unsigned short port) {
        Strings bound;
        const std::string suffix = ":" + std::to_string(port);
        InA([&] {
            for (const auto& socket : BoundSockets()) {
                if (socket.compare(socket.size() - suffix.size(), suffix.size(), suffix) == 0) {
                    bound.push_back(socket);
                }
            }
        });
        return bound;
    }
    // Closes are done on the loop: the sockets go a moment after the run.
    bool BoundSettles(unsigned short port, const Strings& expected) {
        return WaitUntil([&] { return Bound(port) == expected; });
    }
    // One datagram "identify {"n":N}" from B1's address of the destination's family.
    void SendFromB(const std::string& n, const std::string& to) {
        ASSERT_TRUE(pair.b.Run([&] {
            boost::asio::io_context io;
            udp::socket socket(io);
            const auto destination = make_address(to);
            socket.open(destination.is_v4() ? udp::v4() : udp::v6());
            socket.set_option(udp::socket::broadcast(destination.is_v4()));
            if (destination.is_v6()) {
                const auto b1 = Zelkor::Platform::InterfaceIndex(pair.b1);
                socket.set_option(boost::asio::ip::multicast::outbound_interface(b1));
            }
            socket.bind({make_address(destination.is_v4() ? VethPair::AddressB : VethPair::AddressB6), 0});
            // A fresh link gets its multicast route once the system has seen its carrier.
            const std::string text = "identify {\"n\":\"" + n + "\"}\n";
            boost::system::error_code error;
            WaitUntil([&] {
                socket.send_to(boost::asio::buffer(text), udp::endpoint(destination, P), 0, error);
                return error != boost::asio::error::network_unreachable;
            });
            EXPECT_FALSE(error) << to << ": " << error.message();
        }));
    }
    std::size_t Handled(const std::string& n) {
        const auto lines = harness.discovery->Lines();
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), "identify {\"n\":\"" + n + "\"}"));
    }

    VethPair pair;
    DriverHarness harness;

private:
    std::mutex _mutex;
    Strings _changes;
};

// Each address gets a TCP listener and a UDP socket, the port one any-address pair; an
// address label is served when it is named, its UDP socket tied to the link that carries
// it. The callback runs after the run: it may add a network itself.
TEST_F(EdgeNet, EachAddressGetsTcpAndUdpAndThePortOneAnyAddressPair) {
    const std::string label = pair.AddLabelA("10.78.0.1/24", "1");
    ASSERT_FALSE(label.empty());
    driver().OnListenerAdded([&](const std::string& ip, unsigned short port) {
        note("+" + at(ip, port));
        if (ip == VethPair::AddressA) {
            EXPECT_TRUE(driver().AddNetwork(label, P));
        }
    });
    InA([&] { EXPECT_TRUE(driver().AddNetwork(pair.a1, P)); });
    EXPECT_EQ(Changes(), (Strings{"+10.77.0.1:4300", "+10.78.0.1:4300"}));
    EXPECT_EQ(Bound(P), (Strings{"tcp 10.77.0.1:4300", "tcp 10.78.0.1:4300", "udp 0.0.0.0:4300", "udp 10.77.0.1:4300",
                                 "udp 10.78.0.1:4300", "udp6 [::]:4300"}));
    Strings names;
    driver().GetEndPointInterfaces(names);
    EXPECT_EQ(names, (Strings{pair.a1, label}));
}

// A label is an adapter name of its own: its name serves its addresses alone, the link's
// name serves the link's own, and both are reported as they are. A name that matches no
// adapter is kept, and said.
TEST_F(EdgeNet, ALabelIsNamedAsItselfAndTheLinkAsItself) {
    using Endpoints = std::set<Zelkor::IZelkorDriver::Endpoint>;
    const std::string same = pair.AddLabelA("10.77.0.3/24", "1");
    const std::string other = pair.AddLabelA("10.78.0.1/24", "2");
    ASSERT_FALSE(same.empty());
    ASSERT_FALSE(other.empty());
    InA([&] { EXPECT_TRUE(driver().AddNetwork(same, P)); });
    InA([&] { EXPECT_TRUE(driver().AddNetwork(pair.a1, P2)); });
    Update();
    EXPECT_EQ(Changes(), (Strings{"+10.77.0.3:4300", "+10.77.0.1:4301"}));
    Endpoints endpoints;
    driver().GetInterfaceEndPoints(same, endpoints);
    EXPECT_EQ(endpoints, (Endpoints{{"10.77.0.3", P}}));
    driver().GetInterfaceEndPoints(pair.a1, endpoints);
    EXPECT_EQ(endpoints, (Endpoints{{"10.77.0.1", P2}}));
    const auto values = harness.discovery->InterfaceValues();
    EXPECT_EQ(values.at(same + "/ip"), "10.77.0.3");
    EXPECT_EQ(values.at(pair.a1 + "/ip"), "10.77.0.1");

    std::vector<Zelkor::InterfaceInfo> list;
    std::string host;
    driver().ListInterfaces(list, host);
    std::map<std::string, std::string> named;
    for (const auto& record : list) {
        if (!record.ipv4Text.empty()) {
            named[record.ipv4Text] = record.adapterName;
        }
    }
    EXPECT_EQ(named["10.77.0.1"], pair.a1);
    EXPECT_EQ(named["10.77.0.3"], same);
    EXPECT_EQ(named["10.78.0.1"], other);

    LogCapture log;
    InA([&] { EXPECT_TRUE(driver().AddNetwork(pair.a1 + ":9", P)); });
    EXPECT_TRUE(log.Contains("ZK7828W"));
    EXPECT_TRUE(Changes().empty());
}

// IPv6 after IPv4 and away with the switch; down, up, a new address, and a removal that
// waits for the next run. The served interface's values go to the discovery.
TEST_F(EdgeNet, FollowsTheSwitchAndTheInterface) {
    driver().UseIPv6(true);
    InA([&] { driver().AddNetwork(pair.a1, P); });
    Strings changes = Changes();
    ASSERT_EQ(changes.size(), 3u);
    std::sort(changes.begin() + 1, changes.end());
    EXPECT_EQ(changes, (Strings{"+10.77.0.1:4300", "+fd00:77::1:4300", "+fe80::1%" + pair.a1 + ":4300"}));
    EXPECT_EQ(Bound(P).size(), 8u);
    driver().UseIPv6(false);
    Update();
    EXPECT_EQ(Changes().size(), 2u);
    EXPECT_TRUE(BoundSettles(P, {"tcp 10.77.0.1:4300", "udp 0.0.0.0:4300", "udp 10.77.0.1:4300", "udp6 [::]:4300"}));
    const auto values = harness.discovery->InterfaceValues();
    EXPECT_EQ(values.at(pair.a1 + "/ip") + " " + values.at(pair.a1 + "/port") + " " +
                  values.at(pair.a1 + "/subnetmask") + " " + values.at(pair.a1 + "/dhcp"),
              "10.77.0.1 4300 255.255.255.0 Static");

    ASSERT_TRUE(pair.SetLinkA(false));
    Update();
    EXPECT_EQ(Changes(), Strings{"-10.77.0.1:4300"});
    EXPECT_TRUE(BoundSettles(P, {}));
    ASSERT_TRUE(pair.SetLinkA(true));
    Update();
    EXPECT_EQ(Changes(), Strings{"+10.77.0.1:4300"});
    ASSERT_TRUE(pair.ReplaceAddressA("10.77.0.1", "10.77.0.3"));
    InA([&] { driver().AddNetwork(pair.a1, P2); });
    EXPECT_EQ(Changes(), (Strings{"-10.77.0.1:4300", "+10.77.0.3:4300", "+10.77.0.3:4301"}));
    driver().RemoveListener("10.77.0.3");
    EXPECT_EQ(Bound(P2).size(), 4u);
    Update();
    EXPECT_EQ(Changes(), (Strings{"-10.77.0.3:4300", "-10.77.0.3:4301"}));
    EXPECT_TRUE(BoundSettles(P2, {}));
}

// Runs from two threads at once, round after round on a fresh port: the sockets open are
// exactly those of the records, one any-address pair per port, and a removal leaves none.
TEST_F(EdgeNet, RunsOnTwoThreadsAtOnceLeaveOneSocketSetMatchingTheRecords) {
    pair.AddLabelA("10.78.0.1/24", "1");
    for (unsigned short port = 4400; port < 4440; ++port) {
        std::atomic<int> ready{0};
        const auto add = [&](const char* ip) {
            InA([&] {
                ++ready;
                while (ready.load() < 2) {
                }
                driver().AddListener(ip, port);
            });
        };
        std::thread first(add, "10.77.0.1");
        std::thread second(add, "10.78.0.1");
        first.join();
        second.join();
        const std::string p = std::to_string(port);
        EXPECT_EQ(Bound(port), (Strings{"tcp 10.77.0.1:" + p, "tcp 10.78.0.1:" + p, "udp 0.0.0.0:" + p,
                                        "udp 10.77.0.1:" + p, "udp 10.78.0.1:" + p, "udp6 [::]:" + p}));
        driver().RemoveAllListeners();
        Update();
        EXPECT_TRUE(BoundSettles(port, {})) << port;
    }
}

// A UDP bind that fails after the TCP bind frees the TCP port; a "::" that cannot be had
// (taken here, missing on a host without IPv6) leaves IPv4 served, with one warning.
TEST_F(EdgeNet, AFailedUdpBindFreesTheTcpPortAndATakenIPv6AnyAddressWarnsOnce) {
    LogCapture log;
    boost::asio::io_context io;
    udp::socket taken(io);
    std::vector<udp::socket> takenAny6;
    InA([&] {
        taken.open(udp::v4());
        taken.bind({make_address(VethPair::AddressA), P});
        for (unsigned short port : {P, P2}) {
            takenAny6.emplace_back(io, udp::v6());
            takenAny6.back().set_option(boost::asio::ip::v6_only(true));
            takenAny6.back().bind({boost::asio::ip::address_v6::any(), port});
        }
    });
    InA([&] { EXPECT_EQ(driver().AddListener(VethPair::AddressA, P), 0); });
    EXPECT_EQ(Changes(), Strings{});
    EXPECT_EQ(log.Count("ZK78A2W Listen UDP bind error (10.77.0.1:system:98:"), 1u);
    EXPECT_TRUE(BoundSettles(P, {"udp 10.77.0.1:4300", "udp6 [::]:4300"}));
    taken.close();
    Update();
    InA([&] { driver().AddListener(VethPair::AddressA, P2); });
    EXPECT_EQ(Changes(), (Strings{"+10.77.0.1:4300", "+10.77.0.1:4301"}));
    EXPECT_EQ(Bound(P), (Strings{"tcp 10.77.0.1:4300", "udp 0.0.0.0:4300", "udp 10.77.0.1:4300", "udp6 [::]:4300"}));
    EXPECT_EQ(log.Count("ZK78B0W Listen RAW bind error (:::system:98:"), 1u);
}

// Broadcasts reach the any-address sockets, unicast the address's own socket: every
// datagram is handled once, the node's own are dropped, and each switch silences its
// sockets. With IPv6 the "::" socket has joined ff12::1 on A1.
TEST_F(EdgeNet, DatagramsFromBAreHandledOnceAndTheSwitchesSilenceTheirSockets) {
    driver().UseIPv6(true);
    InA([&] { driver().AddNetwork(pair.a1, P); });
    Update();
    ASSERT_TRUE(harness.OnLoop([] {}));
    const std::vector<std::pair<const char*, const char*>> rows = {{"subnet", "10.77.0.255"},
                                                                   {"limited", "255.255.255.255"},
                                                                   {"unicast", VethPair::AddressA},
                                                                   {"group", "ff12::1"},
                                                                   {"unicast6", VethPair::AddressA6}};
    driver().SendMulticastMessage("identify {\"n\":\"own\"}\n", P);
    for (const auto& [n, to] : rows) {
        SendFromB(n, to);
        EXPECT_TRUE(WaitUntil([&, n = n] { return Handled(n) > 0; })) << n;
    }
    driver().BroadcastUDP(false);
    SendFromB("quiet-broadcast", "10.77.0.255");
    SendFromB("heard-unicast", VethPair::AddressA);
    EXPECT_TRUE(WaitUntil([&] { return Handled("heard-unicast") > 0; }));
    driver().BroadcastUDP(true);
    driver().SubnetUDP(false);
    SendFromB("quiet-unicast", VethPair::AddressA);
    SendFromB("heard-broadcast", "255.255.255.255");
    EXPECT_TRUE(WaitUntil([&] { return Handled("heard-broadcast") > 0; }));
    for (const auto& [n, to] : rows) {
        EXPECT_EQ(Handled(n), 1u) << n;
    }
    EXPECT_EQ(Handled("own") + Handled("quiet-broadcast") + Handled("quiet-unicast"), 0u);
}

// The node's sends reach peers of both families: a multicast goes once per interface and
// family (IPv4 broadcast and the IPv6 group from one dual-stack interface), and a datagram
// to an IPv6 asker leaves through a socket of that family.
TEST_F(EdgeNet, SendsReachPeersOfBothFamilies) {
    constexpr unsigned short Q = 4310;
    driver().UseIPv6(true);
    InA([&] { driver().AddNetwork(pair.a1, P); });
    Update();
    ASSERT_TRUE(harness.OnLoop([] {}));
    boost::asio::io_context io;
    udp::socket v4(io);
    udp::socket v6(io);
    ASSERT_TRUE(pair.b.Run([&] {
        v4.open(udp::v4());
        v4.bind({boost::asio::ip::address_v4::any(), Q});
        v6.open(udp::v6());
        v6.set_option(boost::asio::ip::v6_only(true));
        v6.bind({boost::asio::ip::address_v6::any(), Q});
        v6.set_option(boost::asio::ip::multicast::join_group(make_address("ff12::1").to_v6(),
                                                             Zelkor::Platform::InterfaceIndex(pair.b1)));
    }));
    // Everything each socket gets within the deadline.
    const auto heard = [&io](udp::socket& socket, std::size_t wanted) {
        std::vector<std::string> lines;
        std::array<char, 2048> data{};
        std::function<void()> next = [&] {
            socket.async_receive(boost::asio::buffer(data), [&](boost::system::error_code error, std::size_t n) {
                if (!error) {
                    lines.emplace_back(data.data(), n);
                    if (lines.size() < wanted) {
                        next();
                    }
                }
            });
        };
        next();
        io.restart();
        io.run_for(std::chrono::seconds(3));
        socket.cancel();
        io.restart();
        io.run();
        return lines;
    };
    // A fresh link gets its multicast route once the system has seen its carrier.
    Strings six;
    for (int attempt = 0; attempt < 10 && six.empty(); ++attempt) {
        InA([&] { driver().SendMulticastMessage("identify {\"n\":\"all\"}\n", Q); });
        six = heard(v6, 1);
    }
    EXPECT_EQ(six, Strings{"identify {\"n\":\"all\"}\n"});
    EXPECT_FALSE(heard(v4, 1).empty());
    // Sockets made for a send belong to the caller's network namespace.
    InA([&] {
        driver().SendFrame("identify {\"n\":\"via\"}\n", make_address(VethPair::AddressB6), Q, P, pair.a1);
        driver().SendFrame("identify {\"n\":\"any\"}\n", make_address(VethPair::AddressB6), Q, 0);
    });
    EXPECT_EQ(heard(v6, 2), (Strings{"identify {\"n\":\"via\"}\n", "identify {\"n\":\"any\"}\n"}));
}

// What the driver tells of the local network, with a second link in "a" (dm0, a veth
// whose peer stays in "a") that holds a second IPv4 subnet and A1's link-local address:
// a link-local peer is served by the record of its own link.
TEST_F(EdgeNet, LocalInformationComesFromTheInterfacesAndTheRecords) {
    for (const char* command : {"link add dm0 type veth peer name dm1", "link set dm0 addrgenmode none",
                                "link set dm1 addrgenmode none", "addr add 10.78.0.1/24 dev dm0",
                                "addr add fe80::1/64 dev dm0 nodad", "link set dm1 up", "link set dm0 up"}) {
        ASSERT_TRUE(pair.a.Ip(command)) << command;
    }
    driver().UseIPv6(true);
    InA([&] {
        driver().AddNetwork(pair.a1, P);
        driver().AddNetwork("dm0", P);
    });
    Update();
    const std::string a1 = pair.a1;
    InA([&] {
        // Peer address, the interface it belongs to, the record that serves it.
        const std::vector<std::array<std::string, 3>> rows = {
            {"10.77.0.9", a1, "10.77.0.1"},          {"10.78.0.200", "dm0", "10.78.0.1"},
            {"::ffff:10.78.0.9", "", "10.78.0.1"},   {"fd00:77::5", "", "fd00:77::1"},
            {"fd00:77::1", a1, "fd00:77::1"},        {"fe80::2%dm0", "", "fe80::1%dm0"},
            {"fe80::1%dm0", "dm0", "fe80::1%dm0"},   {"fe80::2%" + a1, "", "fe80::1%" + a1},
            {"10.79.0.1", "", ""}};
        for (const auto& [peer, name, served] : rows) {
            Zelkor::NetworkInfo info;
            EXPECT_EQ(driver().GetEndPointInterface(make_address(peer)), name) << peer;
            EXPECT_EQ(driver().GetLocalInfo(make_address(peer), &info), !served.empty()) << peer;
            EXPECT_EQ(at(info.GetIPAddressStr(), info.port), served.empty() ? ":0" : served + ":4300") << peer;
        }
        Zelkor::NetworkInfo info;
        driver().GetLocalInfo(make_address("10.77.0.200"), &info);
        EXPECT_EQ(info.subnetMaskText, "255.255.255.0");
    });
    std::set<Zelkor::IZelkorDriver::Endpoint> endpoints;
    driver().GetInterfaceEndPoints(a1, endpoints);
    EXPECT_EQ(endpoints.size(), 3u);
    std::string ip = "unset";
    unsigned short port = 0;
    driver().IPv4Address(ip, port, "nosuch");
    EXPECT_EQ(ip, "unset");
    driver().IPv4Address(ip, port, a1);
    EXPECT_EQ(at(ip, port), "10.77.0.1:4300");
    std::vector<Zelkor::InterfaceInfo> list;
    driver().ListInterfaces(list, ip);
    const auto own = std::find_if(list.begin(), list.end(), [&](const auto& info) { return info.adapterName == a1; });
    ASSERT_NE(own, list.end());
    std::string upper = own->macText;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    EXPECT_TRUE(driver().IsLocalMAC(own->macText));
    EXPECT_FALSE(driver().IsLocalMAC(upper));
    ASSERT_TRUE(pair.a.Ip("link set dm0 down"));
    Update();
    EXPECT_EQ(driver().GetEndPointInterface(make_address("10.78.0.200")), "");
}

}  // namespace
}  // namespace ZelkorTest
