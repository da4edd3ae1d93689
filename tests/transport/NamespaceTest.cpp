// Tests over real interfaces: two throw-away network namespaces joined by two veth pairs,
// removed again with the namespaces. They run only as root with working `ip netns` and
// veth, and are skipped otherwise. Names carry the process id, so that parallel test
// processes do not collide, and nothing touches the host's own network.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>

#include "RecordingSink.h"
#include "transport/LinuxPlatform.h"
#include "transport/NetworkInterface.h"
#include "transport/RawSocket.h"
#include "transport/UdpSocket.h"

using boost::asio::ip::make_address;
using ZelkorTest::RecordingSink;
using Zelkor::UdpSocket;

namespace {

// Runs one `ip` command, bounded in time; true on success.
bool Ip(const std::string& arguments) {
    return std::system(("timeout 10 ip " + arguments + " >/dev/null 2>&1").c_str()) == 0;
}

std::string UniqueName(const std::string& tag) { return "zk" + std::to_string(getpid()) + tag; }

class NetNamespace {
public:
    explicit NetNamespace(const std::string& tag) : _name(UniqueName(tag)) {
        _made = geteuid() == 0 && Ip("netns add " + _name) && Ip("-n " + _name + " link set lo up");
    }
    ~NetNamespace() {
        if (_made) {
            Ip("netns del " + _name);
        }
    }
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool Made() const { return _made; }
    const std::string& Name() const { return _name; }

    // Runs `work` on a thread of its own that has joined this namespace; sockets it opens
    // stay in the namespace after the thread has ended. False when joining failed.
    bool Run(const std::function<void()>& work) const {
        bool joined = false;
        std::thread inside([&] {
            const int fd = open(("/var/run/netns/" + _name).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                return;
            }
            joined = setns(fd, CLONE_NEWNET) == 0;
            close(fd);
            if (joined) {
                work();
            }
        });
        inside.join();
        return joined;
    }

private:
    std::string _name;
    bool _made = false;
};

// Namespace "a" holds a1 (10.77.0.1/24, also 10.78.0.1/24 under the label a1:1) and a2
// (10.79.0.1/24); namespace "b" holds their peers b1 (10.77.0.2) and b2 (10.79.0.2).
class Namespaces : public ::testing::Test {
protected:
    void SetUp() override {
        if (!a.Made() || !b.Made()) {
            GTEST_SKIP() << "needs root and ip netns";
        }
        if (!Veth(a1, kMacA1, "10.77.0.1/24", b1, "02:7a:00:00:01:02", "10.77.0.2/24") ||
            !Veth(a2, kMacA2, "10.79.0.1/24", b2, "02:7a:00:00:02:02", "10.79.0.2/24")) {
            GTEST_SKIP() << "needs veth interfaces";
        }
        ASSERT_TRUE(Ip("-n " + a.Name() + " addr add 10.78.0.1/24 dev " + a1 + " label " + a1 + ":1"));
    }

    // A veth pair from `a` to `b`, each end up with its MAC and IPv4 address.
    bool Veth(const std::string& endA, const char* macA, const char* cidrA, const std::string& endB,
              const char* macB, const char* cidrB) {
        return Ip("-n " + a.Name() + " link add " + endA + " address " + macA + " type veth peer name " + endB +
                  " address " + macB + " netns " + b.Name()) &&
               Ip("-n " + a.Name() + " addr add " + cidrA + " dev " + endA) &&
               Ip("-n " + b.Name() + " addr add " + cidrB + " dev " + endB) &&
               Ip("-n " + a.Name() + " link set " + endA + " up") && Ip("-n " + b.Name() + " link set " + endB + " up");
    }
    // A UDP socket made and bound inside the namespace; its sockets stay there.
    std::shared_ptr<UdpSocket> BoundIn(const NetNamespace& where, RecordingSink* sink, const char* ip,
                                       unsigned short port, const std::string& interfaceName = "") {
        auto socket = std::make_shared<UdpSocket>(io, port);
        socket->SetSink(sink);
        bool bound = false;
        EXPECT_TRUE(where.Run([&] { bound = socket->BindTo(make_address(ip), port, interfaceName); }));
        EXPECT_TRUE(bound) << ip << " " << interfaceName;
        return socket;
    }
    bool Heard(const RecordingSink& sink, const std::string& command) {
        return ZelkorTest::RunUntilHeard(io, sink, command);
    }

    static constexpr const char* kMacA1 = "02:7a:00:00:01:01";
    static constexpr const char* kMacA2 = "02:7a:00:00:02:01";

    boost::asio::io_context io;
    NetNamespace a{"a"};
    NetNamespace b{"b"};
    const std::string a1 = UniqueName("a1"), b1 = UniqueName("b1"), a2 = UniqueName("a2"), b2 = UniqueName("b2");
};

}  // namespace

TEST_F(Namespaces, EnumerationReadsVethLinkAddressesAndMasks) {
    std::map<std::string, Zelkor::NetworkInterface> seen;
    ASSERT_TRUE(a.Run([&] {
        Zelkor::EnumerateInterface([&](Zelkor::NetworkInterface& adapter) {
            seen[adapter.Name()] = adapter;
            return true;
        });
    }));
    ASSERT_EQ(seen.count(a1), 1u);
    ASSERT_EQ(seen.count(a1 + ":1"), 1u);
    ASSERT_EQ(seen.count(a2), 1u);
    EXPECT_EQ(seen.count(b1), 0u) << "the peer lives in the other namespace";

    const auto& one = seen[a1];
    EXPECT_TRUE(one.up);
    EXPECT_EQ(one.MAC_as_str(), kMacA1);
    EXPECT_EQ(one.IPv4(), "10.77.0.1");
    EXPECT_EQ(one.SubnetMask(make_address("10.77.0.1")), make_address("255.255.255.0"));

    // The label shares its adapter's link address but has its own address.
    const auto& label = seen[a1 + ":1"];
    EXPECT_EQ(label.MAC_as_str(), kMacA1);
    EXPECT_EQ(label.IPv4(), "10.78.0.1");
    EXPECT_EQ(label.SubnetMask(make_address("10.78.0.1")), make_address("255.255.255.0"));

    EXPECT_EQ(seen[a2].MAC_as_str(), kMacA2);
    EXPECT_EQ(seen[a2].IPv4(), "10.79.0.1");
}

// Subnet and limited broadcasts reach a receiver on the any-address; one tied to an
// interface hears only what arrives there.
TEST_F(Namespaces, BroadcastsReachAnyAddressReceiversAndTiedOnesOnlyFromTheirInterface) {
    RecordingSink anySink;
    RecordingSink tiedSink;
    auto any = BoundIn(a, &anySink, "0.0.0.0", 4197);
    auto tied = BoundIn(a, &tiedSink, "0.0.0.0", 4197, a1);
    auto viaOne = BoundIn(b, nullptr, "10.77.0.2", 4197);
    auto viaTwo = BoundIn(b, nullptr, "10.79.0.2", 0);
    viaOne->SetSubnet(make_address("255.255.255.0"));

    const auto all = make_address("255.255.255.255");
    viaTwo->SendDataTo("two\n", make_address("10.79.0.255"), 4197);
    viaOne->SendMulticastMessage("subnet\n", all, 4197, false, true);
    ASSERT_TRUE(Heard(anySink, "subnet"));
    viaOne->SendMulticastMessage("limited\n", all, 4197, true, false);
    ASSERT_TRUE(Heard(anySink, "limited"));
    EXPECT_EQ(anySink.received.back().sender.address(), make_address("10.77.0.2"));
    ASSERT_TRUE(Heard(anySink, "two"));
    ASSERT_TRUE(Heard(tiedSink, "limited"));
    // Broadcasts are queued to every receiver at once: whatever the tied socket was going
    // to get has arrived by now.
    ASSERT_TRUE(ZelkorTest::Drain(io, *tied));
    EXPECT_EQ(tiedSink.Commands(), (std::vector<std::string>{"subnet", "limited"}));
}

TEST_F(Namespaces, RawReceiverReadsBroadcastFramesFromAVethDevice) {
    boost::asio::generic::raw_protocol::socket device(io);
    boost::system::error_code error;
    ASSERT_TRUE(a.Run([&] {
        device = Zelkor::Platform::OpenFrameDevice(io, Zelkor::Platform::InterfaceIndex(a1), error);
    }));
    ASSERT_FALSE(error) << error.message();

    RecordingSink sink;
    sink.interfaces = {ZelkorTest::InterfaceRecord(kMacA1, "10.77.0.1", "255.255.255.0")};
    auto raw = std::make_shared<Zelkor::RawSocket>(io, 4199);
    raw->SetSink(&sink);
    raw->localMac = kMacA1;
    ASSERT_TRUE(raw->SetFrameDescriptor(device.native_handle()));
    ASSERT_TRUE(raw->BindTo(make_address("0.0.0.0"), 4199, ""));

    auto viaOne = BoundIn(b, nullptr, "10.77.0.2", 0);
    auto viaTwo = BoundIn(b, nullptr, "10.79.0.2", 0);
    // veth does not pad frames: payloads of 18 bytes and more make full-size frames.
    viaTwo->SendDataTo("othernetworkxxxxxxx\n", make_address("10.79.0.255"), 4199);
    viaOne->SendDataTo("limitedxxxxxxxxxxxx\n", make_address("255.255.255.255"), 4199);
    viaOne->SendDataTo("subnetxxxxxxxxxxxxx\n", make_address("10.77.0.255"), 4199);
    ASSERT_TRUE(Heard(sink, "limitedxxxxxxxxxxxx"));
    ASSERT_TRUE(Heard(sink, "subnetxxxxxxxxxxxxx"));
    EXPECT_EQ(sink.received.size(), 2u);
    EXPECT_EQ(sink.received.back().sender.address(), make_address("10.77.0.2"));
    raw->Close();
}
