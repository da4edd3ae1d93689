#pragma once
// The node's life. The driver runs on a thread of its own (Run makes it the event-loop
// thread); the main thread runs a small control loop that watches the stop signals,
// standard input and the end of Run, and stops the node: DestroyDriver, join the run
// thread, DeleteDriver. Commands read from standard input are posted to the event loop;
// at the end of the input (unless --stay) and on "stop" the loop stops the node once what
// it read is done and answered, or its peers have been quiet too long.

#include <signal.h>
#include <sys/signalfd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include "Commands.h"
#include "DeviceFiles.h"
#include "DeviceState.h"
#include "Discovery.h"
#include "EventSubscriptions.h"
#include "Events.h"
#include "Exec.h"
#include "Listeners.h"
#include "Options.h"
#include "Pending.h"
#include "Requests.h"
#include "Security.h"
#include "Subscriptions.h"
#include "Transfers.h"
#include "Values.h"
#include "driver/IZelkorDriver.h"
#include "storage/JsonModel.h"

namespace ZelkorNode {

class Node {
public:
    Node(Zelkor::IZelkorDriver& driver, boost::asio::io_context& loop, std::shared_ptr<Zelkor::JsonModel> tree,
         const Options& options, Events& events);
    ~Node();
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // Runs the node until it stops; returns the exit code.
    int Run(const sigset_t& stopSignals);

private:
    void configure();
    // What the node does with every device it comes to know.
    void adopt(Zelkor::IDevice& device);
    // The device object's callbacks, from the moment a device is listed on.
    void attach(Zelkor::IDevice& device);
    void look();
    void watchSignals(const sigset_t& stopSignals);
    void watchInput();
    void readInput();
    void takeInput(std::size_t count);
    void endInput();
    void runCommand(const std::string& line);
    void dispatch(const Json::Value& command);
    // The command names a device that is not connected while a connect may yet bring it.
    bool waitsForConnect(const Json::Value& command);
    // Why the device the last connect reached will never be listed by its GUID: its
    // endpoint and the refusal of this node's proof. Empty while nothing says so. With
    // `unchecked`, also why it is not listed yet: a proof refused before it was checked.
    std::string refusedConnect(bool unchecked);
    void runDeferred();
    // Once the input has ended or a stop was read: stops the node when nothing is left to
    // do or to await, with an "error" line for each request it gives up on.
    void drain();
    // Ends the node with an "error" line and exit code 2.
    void fail(const std::string& message);
    void finish(int exitCode);

    Zelkor::IZelkorDriver& _driver;
    boost::asio::io_context& _loop;
    // The application's own tree: the node writes it and logs into it.
    std::shared_ptr<Zelkor::JsonModel> _tree;
    const Options& _options;
    Events& _events;

    // The areas, each with its callbacks, lines and commands.
    Listeners _listeners;
    Discovery _discovery;
    Security _security;
    Requests _requests;
    Values _values;
    Subscriptions _subscriptions;
    EventSubscriptions _eventSubscriptions;
    // Its device-state object outlives the driver: the node deletes the driver first.
    DeviceState _deviceState;
    Exec _exec;
    Transfers _transfers;
    DeviceFiles _deviceFiles;
    Commands _commands;

    boost::asio::io_context _control;
    boost::asio::posix::stream_descriptor _signals{_control};
    signalfd_siginfo _signal{};
    boost::asio::posix::stream_descriptor _input{_control};
    std::array<char, 4096> _chunk{};
    std::string _pending;
    bool _skipping = false;

    // Loop only: the answers awaited, the commands held back (in their order) while a
    // connect is in progress, the end of that wait, and whether the input has ended.
    Pending _answers;
    std::deque<Json::Value> _deferred;
    std::chrono::steady_clock::time_point _connectWindow{};
    // The endpoint of the last valid connect, and when it was asked.
    struct LastConnect {
        boost::asio::ip::address address;
        unsigned short port = 0;
        std::chrono::steady_clock::time_point at;
    };
    std::optional<LastConnect> _lastConnect;
    bool _inputEnded = false;
    // When a "stop" was read: later commands are not run.
    std::optional<std::chrono::steady_clock::time_point> _stopAsked;

    boost::asio::steady_timer _lookTimer{_loop};
    std::thread _runThread;
    // The exit code asked for ("stop": 0, a failure: 2); -1 while none is.
    std::atomic<int> _stopCode{-1};
    bool _finished = false;
    int _exitCode = 1;
};

}  // namespace ZelkorNode
