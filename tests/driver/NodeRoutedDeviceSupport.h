#pragma once
// A device behind a router, each node a runner process in a namespace of a veth pair: the
// device amp1 (the sample tree) serves AddressB in namespace b, the router rt1 serves
// AddressA in namespace a with its route to the device, and controllers reach the device
// through the router. Every node serves one port, where it is answered discovery too.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "services/NodeSubscriptionsTestSupport.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {

inline constexpr unsigned short kRoutedPort = 5000;

// A node's options `more`, then those to serve `address` on the port, then `extra`.
inline std::vector<std::string> ServedAt(const std::string& address, std::vector<std::string> more,
                                         const std::vector<std::string>& extra) {
    const std::string port = std::to_string(kRoutedPort);
    more.insert(more.end(), {"--listen", address + ":" + port, "--reply-port", port, "--disco-interval", "5"});
    more.insert(more.end(), extra.begin(), extra.end());
    return more;
}

// The device, started anew (the one before, if any, stopped first).
inline void StartDevice(const VethPair& pair, const std::vector<std::string>& extra, std::unique_ptr<Node>& device) {
    device.reset();
    device = std::make_unique<Node>(
        Options("device", "amp1", ServedAt(VethPair::AddressB, {"--guid", kAmp, "--tree", kSampleTreeFile}, extra)),
        pair.b.Name());
    ASSERT_FALSE(device->process.Await(LineWith("listenerAdded", "port", kRoutedPort)).isNull());
}

// The device and the router, each with the options `extra`, the router's timer at
// `routerScale`; once the router's connection to the device has answered.
inline void StartDeviceAndRouter(const VethPair& pair, const std::vector<std::string>& extra,
                                 std::unique_ptr<Node>& device, std::unique_ptr<Node>& router,
                                 const char* routerScale = kScale) {
    ASSERT_NO_FATAL_FAILURE(StartDevice(pair, extra, device));
    router = std::make_unique<Node>(
        Options("router", "rt1",
                ServedAt(VethPair::AddressA, {"--route", std::string(VethPair::AddressB) + ",5000"}, extra),
                routerScale),
        pair.a.Name());
    ASSERT_FALSE(router->process.Await(Answered("amp1", 1), std::chrono::seconds(60)).isNull());
}

// The controller `name` in `space`, serving `address` with the options `extra`, with its
// route to the router, connected to the device through it; `guid` takes its GUID.
inline void StartRoutedController(const NetNamespace& space, const std::string& name, const std::string& address,
                                  const std::vector<std::string>& extra, std::unique_ptr<Node>& controller,
                                  std::string& guid) {
    controller = std::make_unique<Node>(
        Options("controller", name,
                ServedAt(address, {"--route", std::string(VethPair::AddressA) + ",5000"}, extra)),
        space.Name());
    NodeProcess& ctl = controller->process;
    guid = ctl.AwaitEvent("start")["options"]["guid"].asString();
    ASSERT_EQ(ctl.Await(DeviceLine("amp1", "New"), std::chrono::seconds(60))["proxy"], "rt1") << name;
    ASSERT_TRUE(ctl.Send(ConnectCommand(VethPair::AddressB, kRoutedPort)));
    ASSERT_EQ(ctl.Await(DeviceLine("amp1", "Connected"), std::chrono::seconds(60))["proxy"], "rt1") << name;
}

}  // namespace ZelkorTest
