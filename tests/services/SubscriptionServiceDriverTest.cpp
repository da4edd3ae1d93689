// The driver's subscription service: made by InitDiscovery as the storage's event
// handler, replaceable by a test's own, finalised by Stop, and let go of by the storage
// when the driver goes.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "driver/ZelkorDriver.h"
#include "services/SubscriptionService.h"
#include "storage/JsonModel.h"
#include "support/SampleTree.h"
#include "support/SubscriptionServiceStub.h"
#include "support/TempDir.h"

namespace ZelkorTest {
namespace {

class CountingSubscriptions : public SubscriptionServiceStub {
public:
    using SubscriptionServiceStub::ValueChanged;
    void ValueChanged(const char*, const char*, const char*, const char*, bool,
                      std::weak_ptr<Zelkor::IStorage>) override {
        ++changes;
    }
    int changes = 0;
};

struct Node {
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    boost::asio::io_context io;
    std::shared_ptr<Zelkor::JsonModel> model = std::make_shared<Zelkor::JsonModel>(SampleTree());
    std::shared_ptr<Zelkor::ZelkorDriver> driver = std::make_shared<Zelkor::ZelkorDriver>(io);
};

TEST(SubscriptionServiceDriver, InitDiscoveryMakesItAndTheSeamReplacesIt) {
    Node node;
    EXPECT_EQ(node.driver->GetSubscriptionService(), nullptr);
    node.driver->InitDiscovery(node.model);
    auto* made = dynamic_cast<Zelkor::SubscriptionService*>(node.driver->GetSubscriptionService());
    ASSERT_NE(made, nullptr);
    EXPECT_TRUE(node.driver->AddHandler2("subscribe", [](Zelkor::MessageSignalData&) {}).connected());

    auto own = std::make_shared<CountingSubscriptions>();
    node.driver->UseSubscriptionService(own);
    EXPECT_EQ(node.driver->GetSubscriptionService(), own.get());
    EXPECT_TRUE(made->IsFinalized());
    node.model->SetValueForPath("/audio/gain", "variant", Json::Value(2), false);
    EXPECT_EQ(own->changes, 1);

    // With the driver gone, the storage reports to nobody.
    node.driver.reset();
    node.model->SetValueForPath("/audio/gain", "variant", Json::Value(3), false);
    EXPECT_EQ(own->changes, 1);
}

TEST(SubscriptionServiceDriver, StopFinalizesAndTheTreeOutlivesTheDriver) {
    Node node;
    node.driver->InitDiscovery(node.model);
    auto* made = dynamic_cast<Zelkor::SubscriptionService*>(node.driver->GetSubscriptionService());
    ASSERT_NE(made, nullptr);
    node.driver->Stop();
    EXPECT_TRUE(made->IsFinalized());
    node.driver.reset();
    EXPECT_EQ(node.model->SetValueForPath("/audio/gain", "variant", Json::Value(3), false), Zelkor::IStorage::PathOk);
}

}  // namespace
}  // namespace ZelkorTest
