#pragma once
// Many devices in one test process, for a node that connects to them (a router's static
// routes): each listens on a loopback port of its own (inside a namespace when given),
// answers the node's "disco" as a device named "dev<i>" with a GUID of its own, echoes
// every other request's body back in its reply, remembers the way back of its last
// "subscribe" and publishes along it when the test asks. Nothing it sends is checked: it
// stands for devices, the test looks at what reaches the far side, and at the answers
// its publishes get: passed on from their subscriber, or refused by the node between.
//
// Ownership: the object owns its loop thread, listeners and sessions; the destructor stops
// them. Threads: the loop thread does the protocol work; the test thread only calls the
// public operations, which hop onto the loop.

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace ZelkorTest {

class NetNamespace;

class FakeDevices {
public:
    FakeDevices(std::size_t count, const NetNamespace* space = nullptr);
    ~FakeDevices();
    FakeDevices(const FakeDevices&) = delete;
    FakeDevices& operator=(const FakeDevices&) = delete;

    std::size_t Count() const { return _devices.size(); }
    unsigned short Port(std::size_t index) const;
    static std::string Name(std::size_t index);
    static std::string Guid(std::size_t index);
    // Device `index` publishes `body` to whoever subscribed to it last.
    void Publish(std::size_t index, const std::string& body);
    // The answers to the publishes of all devices so far, and those of them that were
    // refusals ("error"). Any thread.
    std::size_t PublishesAnswered() const { return _answered.load(); }
    std::size_t PublishesRefused() const { return _refused.load(); }

private:
    class Device;

    boost::asio::io_context _io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> _work;
    std::vector<std::shared_ptr<Device>> _devices;
    std::atomic<std::size_t> _answered{0};
    std::atomic<std::size_t> _refused{0};
    std::thread _loop;
};

}  // namespace ZelkorTest
