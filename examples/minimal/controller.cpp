// A controller in one page: finds the minimal device, connects, reads and sets one value,
// subscribes to another, prints what arrives, stops after three publishes, and gives up
// after 30 s without them (exit 1). Discovery asks on UDP port 4197 and finds only devices
// listening there; the fallback, connect-by-address (zelkor_minimal_controller
// ADDRESS:PORT), reaches any port.

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "device/IDevice.h"
#include "discovery/IDeviceList.h"
#include "discovery/IDiscoveryService.h"
#include "driver/IZelkorDriver.h"
#include "storage/JsonModel.h"
#include "storage/ObjectParamContainer.h"

namespace {

// A controller is a node too: its tree names it to the devices it talks to.
const char* const kTree = R"({"configuration": {".kind": "obj", "device": {".kind": "obj",
  "name": {".kind": "param", ".type": "string", ".value": "minimal-controller"},
  "guid": {".kind": "param", ".type": "string", ".access": "ro", ".value": ""}}}})";

Zelkor::IDevice::ValuesCallback print(const char* what) {
    return [what](const Zelkor::ObjectParamContainer& values) {
        std::cout << what << ' ' << values.ToJsonText() << std::endl;
    };
}

// Handlers are cut at every disconnection, so they are registered on each connection.
void use(Zelkor::IDevice& device, int& publishes) {
    device.OnPublish([&publishes](const Zelkor::ObjectParamContainer& values) {
        print("publish")(values);
        if (++publishes == 3) {
            Zelkor::DestroyDriver();  // allowed in a handler: Run returns once all is closed
        }
    });
    Zelkor::ObjectParamContainer gain, louder, uptime;
    gain.FromJsonText(R"({"path": "/settings/gain"})");
    louder.FromJsonText(R"({"path": "/settings/gain", "value": 75})");
    uptime.FromJsonText(R"({"path": "/status/uptime"})");
    // A connection carries one request at a time: the replies come in this order.
    device.GetParameter(gain, print("read"), false, "");
    device.SetParameter(louder, print("set"), false, "");
    device.Subscribe(uptime);
}

}  // namespace

int main(int argc, char* argv[]) {
    // The fallback's ADDRESS:PORT, checked before anything starts.
    const std::string endpoint = argc > 1 ? argv[1] : "";
    const auto colon = endpoint.rfind(':');
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(endpoint.substr(0, colon), error);
    const unsigned long port = std::strtoul(endpoint.substr(colon + 1).c_str(), nullptr, 10);
    if (argc > 2 || (argc == 2 && (error || colon == std::string::npos || port == 0 || port > 65535))) {
        std::cerr << "usage: zelkor_minimal_controller [ADDRESS:PORT]\n";
        return 2;
    }
    boost::asio::io_context loop;
    Zelkor::IZelkorDriver* driver = Zelkor::CreateDriver(loop);  // the process's one driver
    // Standard output is for what arrives: the library's log goes to standard error.
    driver->RegisterExternalLogger([](std::string& line) { std::cerr << line << std::endl; });
    auto tree = std::make_shared<Zelkor::JsonModel>(kTree);
    // Two nodes with one GUID drop each other's replies: a new one for every run.
    const std::string guid = boost::uuids::to_string(boost::uuids::random_generator()());
    tree->SetValueForPath("/configuration/device/guid", "variant", Json::Value(guid), false);
    driver->InitDiscovery(tree);  // the driver keeps the tree; Run needs discovery
    Zelkor::IDiscoveryService* discovery = driver->GetDiscoveryService();
    discovery->SetMode("controller");  // sends discovery requests, lists the devices that answer
    int publishes = 0;
    discovery->GetDeviceList()->OnListChange(  // every change of every device, on the event loop
        [&publishes](std::shared_ptr<Zelkor::IDevice> device, Zelkor::DeviceNetState state) {
            if (state == Zelkor::DeviceNetStateNew && device->GetDiscoInfo().classname == "minimal") {
                device->Connect(false);  // found by discovery, and ours to use
            } else if (state == Zelkor::DeviceNetStateConnected) {
                use(*device, publishes);
            }
        });
    // A connect that fails is tried again, and so is a listener: when the controller gives
    // up, the last reason is what its user needs to hear.
    std::string lastFailure;
    boost::signals2::scoped_connection results = driver->ConnectionResults().Connect(
        [&lastFailure](const Zelkor::ConnectionResult& result) {
            if (result.failure != Zelkor::ConnectionResult::Failure::None) {
                lastFailure = "connect to " + result.peer.address().to_string() + ":" +
                              std::to_string(result.peer.port()) + ": " + result.error.message();
            }
        });
    driver->OnListenerFailed([&lastFailure](const std::string& ip, unsigned short port, const std::string& why) {
        lastFailure = "listen on " + ip + ":" + std::to_string(port) + ": " + why;
    });
    if (argc > 1) {
        discovery->Connect(address, static_cast<unsigned short>(port));  // the fallback
    } else {
        driver->AddListener("127.0.0.1", 4198);  // a socket of ours for discovery replies
        discovery->SetDiscoReplyPort("4198");    // to come to: 4197 is the device's
    }
    constexpr std::chrono::seconds kGiveUp{30};
    boost::asio::steady_timer giveUp(loop, kGiveUp);
    giveUp.async_wait([&](const boost::system::error_code& cancelled) {
        if (!cancelled) {
            std::cerr << "gave up: no minimal device published three times within " << kGiveUp.count() << " s"
                      << (lastFailure.empty() ? "" : " (last failure: " + lastFailure + ")") << std::endl;
            Zelkor::DestroyDriver();
        }
    });
    std::cout << "looking for the minimal device; giving up after " << kGiveUp.count() << " s" << std::endl;
    driver->Run();  // the event loop, on this thread, until the driver is stopped
    results.disconnect();
    Zelkor::DeleteDriver();
    return publishes >= 3 ? 0 : 1;
}
