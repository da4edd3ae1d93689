// Tests over real interfaces: two throw-away network namespaces joined by two veth pairs.
// They run only as root with a working `ip netns` and are skipped otherwise.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "NetNamespace.h"
#include "transport/NetworkInterface.h"

using boost::asio::ip::make_address;
using ZelkorTest::NetNamespace;
using ZelkorTest::VethPair;

namespace {

// Namespace "a" holds a1 (10.77.0.1/24, also 10.78.0.1/24 under the label a1:1) and a2
// (10.79.0.1/24); namespace "b" holds their peers b1 (10.77.0.2) and b2 (10.79.0.2).
class Namespaces : public ::testing::Test {
protected:
    void SetUp() override {
        a = std::make_unique<NetNamespace>("a");
        b = std::make_unique<NetNamespace>("b");
        if (!a->Made() || !b->Made()) {
            GTEST_SKIP() << "needs root and ip netns";
        }
        pair1 = std::make_unique<VethPair>(*a, ZelkorTest::VethEnd{"a1", kMacA1, "10.77.0.1/24"},
                                           *b, ZelkorTest::VethEnd{"b1", kMacB1, "10.77.0.2/24"});
        pair2 = std::make_unique<VethPair>(*a, ZelkorTest::VethEnd{"a2", kMacA2, "10.79.0.1/24"},
                                           *b, ZelkorTest::VethEnd{"b2", kMacB2, "10.79.0.2/24"});
        ASSERT_TRUE(pair1->Made() && pair2->Made());
        ASSERT_TRUE(ZelkorTest::Ip("-n " + a->Name() + " addr add 10.78.0.1/24 dev " +
                                   pair1->NameA() + " label " + pair1->NameA() + ":1"));
    }

    static constexpr const char* kMacA1 = "02:7a:00:00:01:01";
    static constexpr const char* kMacB1 = "02:7a:00:00:01:02";
    static constexpr const char* kMacA2 = "02:7a:00:00:02:01";
    static constexpr const char* kMacB2 = "02:7a:00:00:02:02";

    std::unique_ptr<NetNamespace> a;
    std::unique_ptr<NetNamespace> b;
    std::unique_ptr<VethPair> pair1;
    std::unique_ptr<VethPair> pair2;
};

}  // namespace

TEST_F(Namespaces, EnumerationReadsVethLinkAddressesAndMasks) {
    std::map<std::string, Zelkor::NetworkInterface> seen;
    ASSERT_TRUE(a->Run([&] {
        Zelkor::EnumerateInterface([&](Zelkor::NetworkInterface& adapter) {
            seen[adapter.Name()] = adapter;
            return true;
        });
    }));
    const std::string a1 = pair1->NameA();
    ASSERT_EQ(seen.count(a1), 1u);
    ASSERT_EQ(seen.count(a1 + ":1"), 1u);
    ASSERT_EQ(seen.count(pair2->NameA()), 1u);
    EXPECT_EQ(seen.count(pair1->NameB()), 0u) << "the peer lives in the other namespace";

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

    EXPECT_EQ(seen[pair2->NameA()].MAC_as_str(), kMacA2);
    EXPECT_EQ(seen[pair2->NameA()].IPv4(), "10.79.0.1");
}
