// A device in one page: serves a small tree of its own on loopback, answers discovery, and
// counts its uptime in the tree every second, which subscribers receive. Usage:
// zelkor_minimal_device [PORT]. The port defaults to 4197, where controllers send
// discovery: a device listening on any other port is found only by its address.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "driver/IZelkorDriver.h"
#include "storage/JsonModel.h"

namespace {

// Peers drop a discovery reply without a name or a class name, and a tree without a GUID
// makes a node nobody discovers (the log only warns): a device keeps one GUID for life.
// (The node runner gives a tree without one a GUID at start, made by
// boost::uuids::random_generator and written to /configuration/device/guid.)
const char* const kTree = R"({
  "configuration": {".kind": "obj", "device": {".kind": "obj",
    "name": {".kind": "param", ".type": "string", ".max": 63, ".value": "minimal-device"},
    "guid": {".kind": "param", ".type": "string", ".access": "ro",
             ".value": "5c0b1e9a-3f2d-4e8b-9a61-2d7f4c8e1b03"},
    "classname": {".kind": "param", ".type": "string", ".access": "ro", ".value": "minimal"},
    "protocolversion": {".kind": "param", ".type": "string", ".access": "ro", ".value": ""}}},
  "settings": {".kind": "obj",
    "gain": {".kind": "param", ".type": "integer", ".min": 0, ".max": 100, ".value": 50}},
  "status": {".kind": "obj",
    "uptime": {".kind": "param", ".type": "integer", ".access": "ro", ".value": 0}}
})";

// The tree takes no lock: it is written on the event loop, where the library reads it. The
// library publishes each change to the value's subscribers.
void countUptime(boost::asio::steady_timer& timer, Zelkor::JsonModel& tree, int seconds) {
    timer.expires_after(std::chrono::seconds(1));
    timer.async_wait([&timer, &tree, seconds](const boost::system::error_code& error) {
        if (!error) {
            tree.SetValueForPath("/status/uptime", "variant", Json::Value(seconds + 1), false);
            countUptime(timer, tree, seconds + 1);
        }
    });
}

}  // namespace

int main(int argc, char* argv[]) {
    char* end = nullptr;
    const unsigned long port = argc > 1 ? std::strtoul(argv[1], &end, 10) : 4197;
    if (argc > 2 || (end && *end != '\0') || port == 0 || port > 65535) {
        std::cerr << "usage: zelkor_minimal_device [PORT]\n";
        return 2;
    }
    boost::asio::io_context loop;  // the driver's work and our timer share its one thread
    Zelkor::IZelkorDriver* driver = Zelkor::CreateDriver(loop);  // the process's one driver
    // The library's log goes to standard error, not to standard output and a log file.
    driver->RegisterExternalLogger([](std::string& line) { std::cerr << line << std::endl; });
    auto tree = std::make_shared<Zelkor::JsonModel>(kTree);
    driver->InitDiscovery(tree);  // serves the tree to peers; the driver keeps it, Run needs it
    // A TCP listener and UDP sockets on loopback only: no other host reaches this device.
    // The add opens them at once and tells how that went before it returns.
    bool served = false;
    std::string failure = "loopback is down";
    driver->OnListenerAdded([&served](const std::string&, unsigned short) { served = true; });
    driver->OnListenerFailed(
        [&failure](const std::string&, unsigned short, const std::string& reason) { failure = reason; });
    if (driver->AddListener("127.0.0.1", static_cast<unsigned short>(port)) != 0 || !served) {
        std::cerr << "cannot listen on 127.0.0.1:" << port << ": " << failure << "\n";  // a port held
        Zelkor::DeleteDriver();
        return 2;
    }
    boost::asio::steady_timer timer(loop);
    countUptime(timer, *tree, 0);
    boost::asio::signal_set signals(loop, SIGINT, SIGTERM);  // Ctrl-C or a kill: Run returns
    signals.async_wait([](const boost::system::error_code&, int) { Zelkor::DestroyDriver(); });
    std::cout << "device serving on 127.0.0.1:" << port << std::endl;
    driver->Run();  // the event loop, on this thread, until the driver is stopped
    Zelkor::DeleteDriver();  // our context stays ours
    return 0;
}
