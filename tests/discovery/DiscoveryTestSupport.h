#pragma once
// A driver with the real discovery service over the sample tree, on a context the test
// runs itself (RunUntil), in a temporary working folder (the tree writes its event log
// there). Devices are made from reply bodies as a peer would send them.

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <json/value.h>

#include "core/JsonText.h"
#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "driver/ZelkorDriver.h"
#include "storage/JsonModel.h"
#include "storage/StorageModel.h"
#include "support/SampleTree.h"
#include "support/TempDir.h"

namespace ZelkorTest {


inline Json::Value Body(const std::string& json) {
    Json::Value body;
    std::string errors;
    Zelkor::ReadJson(json, body, errors);
    return body;
}

// A record filled from a reply body; empty GUID when the body is refused.
inline Zelkor::NewDiscoInfo Record(const std::string& json) {
    Zelkor::NewDiscoInfo record;
    record.updateFrom(Body(json));
    return record;
}

inline std::shared_ptr<Zelkor::DeviceImpl> MakeDevice(Zelkor::ZelkorDriver* driver, const std::string& guid,
                                                      const std::string& name, const std::string& ip = "10.0.0.5") {
    return std::make_shared<Zelkor::DeviceImpl>(
        driver, Record(R"({"guid":")" + guid + R"(","name":")" + name + R"(","ip":")" + ip +
                       R"(","port":4197,"classname":"amplifier"})"));
}

struct DiscoveryNode {
    explicit DiscoveryNode(const std::string& tree = SampleTree()) {
        driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(tree));
        service = driver->GetDiscovery();
    }

    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    boost::asio::io_context io;
    std::shared_ptr<Zelkor::ZelkorDriver> driver = std::make_shared<Zelkor::ZelkorDriver>(io);
    Zelkor::DiscoveryService* service = nullptr;
};

}  // namespace ZelkorTest
