// The service as InitDiscovery makes it over the application's storage, and what it reads
// of the tree.

#include <gtest/gtest.h>

#include "discovery/DiscoveryTestSupport.h"
#include "discovery/GuidText.h"
#include "support/LogCapture.h"

namespace ZelkorTest {
namespace {

TEST(DiscoveryStart, InitDiscoveryMakesTheServiceOnce) {
    LogCapture log;
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    boost::asio::io_context io;
    auto driver = std::make_shared<Zelkor::ZelkorDriver>(io);
    driver->InitDiscovery(static_cast<Zelkor::IStorage*>(nullptr));
    driver->InitDiscovery(std::shared_ptr<Zelkor::IStorage>());
    EXPECT_TRUE(log.Contains("ZK7831E Null storage pointer passed to InitDiscovery"));
    EXPECT_TRUE(log.Contains("ZK78E1E Null storage pointer passed to InitDiscovery"));
    EXPECT_EQ(driver->GetDiscoveryService(), nullptr);

    // The plain-pointer form joins the application's shared ownership.
    auto tree = std::make_shared<Zelkor::JsonModel>(SampleTree());
    driver->InitDiscovery(tree.get());
    Zelkor::DiscoveryService* service = driver->GetDiscovery();
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(driver->GetDiscoveryService(), service);
    EXPECT_EQ(driver->GetDriverDiscovery(), service);
    EXPECT_EQ(service->GetStorageModel()->GetStorage(), tree);
    std::string version;
    tree->GetValueForPath("/configuration/device/protocolversion", "string", version);
    EXPECT_EQ(version, "1.16.1.26");
    EXPECT_TRUE(log.Contains("ZK2001I Kasdor Zelkor Protocol Version 1.16.1.26"));
    EXPECT_TRUE(log.Contains("ZK2002I Redundant Zelkor is disabled"));
    EXPECT_EQ(service->GetMaxIncomingConnections(), 8u);
    EXPECT_EQ(service->InstanceName(), "stage-left-amp");
    EXPECT_EQ(Zelkor::CanonicalGuid(service->Guid()), "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13");
    std::string name = "nobody";
    EXPECT_EQ(driver->GetDeviceByName(name), nullptr);

    driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>("{}"));
    EXPECT_EQ(log.Count("ZK78F0E Discovery already initialized"), 1u);
    EXPECT_EQ(driver->GetDiscovery(), service);
}

TEST(DiscoveryStart, InterfaceDhcpFromTheTree) {
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    boost::asio::io_context io;
    auto driver = std::make_shared<Zelkor::ZelkorDriver>(io);
    driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(R"({"configuration": {"network": {"interface": {
        ".kind": "array", ".size": 2, ".static": true,
        ".prototype": {".kind": "obj", "name": {".kind": "param", ".value": ""}},
        "1": {".kind": "obj", "name": {".kind": "param", ".value": "eth0"}},
        "2": {".kind": "obj", "name": {".kind": "param", ".value": "eth1:avahi"},
              "ipv4": {".kind": "obj", "dhcp": {".kind": "param", ".value": "true"}}}}}}})"));
    Zelkor::DiscoveryService& service = *driver->GetDiscovery();
    const struct {
        const char* name;
        bool found;
        const char* dhcp;
    } cases[] = {{"eth1", true, "true"}, {"eth1:avahi", true, "true"}, {"eth1:1", false, ""}, {"eth0", false, ""}, {"eth9", false, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string name = c.name;
        std::string dhcp;
        EXPECT_EQ(service.GetModelDHCP(name, dhcp), c.found);
        EXPECT_EQ(dhcp, c.dhcp);
    }
}

}  // namespace
}  // namespace ZelkorTest
