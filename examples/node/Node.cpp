#include "Node.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <vector>
#include <stdexcept>

#include <boost/asio/post.hpp>
#include <json/reader.h>

#include "discovery/IDeviceList.h"
#include "Arguments.h"
#include "driver/VersionInfo.h"
#include "services/ICommandInterfaceService.h"

namespace ZelkorNode {
namespace {

// How long a command waits for a connect in progress to its device.
constexpr std::chrono::seconds kConnectWait{5};

// After the end of the input, how long a peer may stay silent before the node stops
// waiting for its answers: the reply time-out the node runs with, else a few seconds.
std::chrono::milliseconds answerWait(const Options& options) {
    if (options.replyTimeout && *options.replyTimeout > 0) {
        return std::chrono::milliseconds(std::max<unsigned long>(*options.replyTimeout, 1000));
    }
    return std::chrono::seconds(5);
}

// The GUID texts a command names a device by: "guid", or "device" of the transfer words,
// one or a list.
std::vector<std::string> namedDevices(const Json::Value& command) {
    std::vector<std::string> named;
    for (const char* key : {"guid", "device"}) {
        const Json::Value& value = command[key];
        if (value.isString()) {
            named.push_back(value.asString());
        }
        for (const auto& item : value.isArray() ? value : Json::Value(Json::arrayValue)) {
            if (item.isString()) {
                named.push_back(item.asString());
            }
        }
    }
    return named;
}

}  // namespace

Node::Node(Zelkor::IZelkorDriver& driver, boost::asio::io_context& loop, std::shared_ptr<Zelkor::JsonModel> tree,
           const Options& options, Events& events)
    : _driver(driver),
      _loop(loop),
      _tree(std::move(tree)),
      _options(options),
      _events(events),
      _listeners(driver, options, events),
      _discovery(
          driver, options, events, [this](Zelkor::IDevice& device) { adopt(device); },
          [this](Zelkor::IDevice& device) { attach(device); }),
      _security(driver, options, events),
      _requests(driver, options, events),
      _values(driver, events),
      _subscriptions(driver, _tree, events),
      _eventSubscriptions(driver, events),
      _deviceState(driver, options, events),
      _exec(driver, options, events),
      _transfers(driver, options, events),
      _deviceFiles(driver, events),
      _answers(answerWait(options)) {
    _events.Observe([this](const std::string& event, const Json::Value& fields) { _answers.Seen(event, fields); });
}

Node::~Node() {
    finish(_exitCode);
    _events.Observe(nullptr);
}

int Node::Run(const sigset_t& stopSignals) {
    Zelkor::VersionInfo version;
    Zelkor::GetVersionInfo(version);
    Json::Value start;
    start["version"] = version.version;
    start["pid"] = static_cast<Json::Int64>(::getpid());
    start["options"] = _options.ToJson();
    _events.Write("start", start);
    configure();
    // A --listen that cannot be served is known once configure has added it: the node ends
    // before it reads a command, whatever its input holds.
    const std::string unserved = _listeners.Watch([this](const std::string& message) { fail(message); });
    watchSignals(stopSignals);
    if (unserved.empty()) {
        watchInput();
    } else {
        fail(unserved);
    }

    _runThread = std::thread([this] {
        _driver.Run();
        // Run returns once the driver is stopped, or at once when it cannot run.
        boost::asio::post(_control, [this] {
            const int asked = _stopCode;
            finish(asked >= 0 ? asked : 1);
        });
    });
    _control.run();
    return _exitCode;
}

// The application's part, in the order an application takes it: callbacks, the discovery
// service over the tree, the device-state object and the command interface, settings,
// what is served.
void Node::configure() {
    _listeners.Configure();
    _driver.InitDiscovery(_tree);
    _driver.InitFileTransfer(&_deviceState.Object());
    if (Zelkor::ICommandInterfaceService* commands = _driver.InitCommandInterface()) {
        _exec.Configure(*commands);
    }
    _listeners.WatchConnections();
    _discovery.Configure();
    _security.Configure();
    _requests.Configure();
    _subscriptions.Configure();
    _deviceState.Configure();
    _transfers.Configure();
    _driver.UseIPv6(_options.ipv6);
    _driver.DumpTraffic(_options.dump);
    _listeners.Serve();

    _listeners.AddCommands(_commands);
    _discovery.AddCommands(_commands);
    _security.AddCommands(_commands);
    _requests.AddCommands(_commands);
    _values.AddCommands(_commands);
    _subscriptions.AddCommands(_commands);
    _eventSubscriptions.AddCommands(_commands);
    _deviceState.AddCommands(_commands);
    _exec.AddCommands(_commands);
    _transfers.AddCommands(_commands);
    _deviceFiles.AddCommands(_commands);
    look();
}

void Node::adopt(Zelkor::IDevice& device) {
    _security.Adopt(device);
    _values.Adopt(device);
}

void Node::attach(Zelkor::IDevice& device) {
    _subscriptions.Attach(device);
    _eventSubscriptions.Attach(device);
    _deviceState.Attach(device);
    _transfers.Attach(device);
    _deviceFiles.Attach(device);
}

// The library tells of no single answer and no change of a connection's security, but
// keeps both on the device: they are read a few times a second on the loop.
void Node::look() {
    _lookTimer.expires_after(std::chrono::milliseconds(100));
    _lookTimer.async_wait([this](const boost::system::error_code& error) {
        if (error) {
            return;
        }
        _discovery.Look();
        _security.Look();
        runDeferred();
        drain();
        look();
    });
}

// The stop signals are blocked in every thread and read here as data: nothing runs in
// signal context, and a signal that comes once the node is stopping is never acted on.
void Node::watchSignals(const sigset_t& stopSignals) {
    const int fd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0) {
        throw std::runtime_error("cannot watch the stop signals");
    }
    _signals.assign(fd);
    _signals.async_read_some(boost::asio::buffer(&_signal, sizeof _signal),
                             [this](const boost::system::error_code& error, std::size_t) {
                                 if (!error) {
                                     finish(0);
                                 }
                             });
}

// A file or /dev/null is read through to its end like a pipe. Input that cannot be
// watched at all gives no commands and no end: the node then runs until a signal.
void Node::watchInput() {
    const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    boost::system::error_code error;
    if (fd >= 0) {
        _input.assign(fd, error);
    }
    if (fd < 0 || error) {
        if (fd >= 0) {
            ::close(fd);
        }
        Note("standard input cannot be watched: no commands are read");
        return;
    }
    readInput();
}

void Node::readInput() {
    _input.async_read_some(boost::asio::buffer(_chunk),
                           [this](const boost::system::error_code& error, std::size_t count) {
                               if (error) {
                                   if (error != boost::asio::error::operation_aborted) {
                                       endInput();
                                   }
                                   return;
                               }
                               takeInput(count);
                               readInput();
                           });
}

// Cuts the input into lines; a line longer than kMaxCommand is refused whole.
void Node::takeInput(std::size_t count) {
    static constexpr std::size_t kMaxCommand = 64 * 1024;
    _pending.append(_chunk.data(), count);
    for (auto end = _pending.find('\n'); end != std::string::npos; end = _pending.find('\n')) {
        std::string line = _pending.substr(0, end);
        _pending.erase(0, end + 1);
        if (_skipping) {
            _skipping = false;
            continue;
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            boost::asio::post(_loop, [this, line] { runCommand(line); });
        }
    }
    if (_pending.size() > kMaxCommand) {
        _events.Error("command longer than " + std::to_string(kMaxCommand) + " bytes");
        _pending.clear();
        _skipping = true;
    }
}

// A last line without its newline counts as well. The loop takes the end after every
// command read before it.
void Node::endInput() {
    if (!_skipping && !_pending.empty()) {
        boost::asio::post(_loop, [this, line = _pending] { runCommand(line); });
    }
    _pending.clear();
    boost::asio::post(_loop, [this] { _inputEnded = true; });
}

// On the event loop, like every other piece of the node's work.
void Node::runCommand(const std::string& line) {
    Json::Value command;
    std::string errors;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    bool parsed = false;
    try {
        parsed = reader->parse(line.data(), line.data() + line.size(), &command, &errors);
    } catch (const std::exception&) {
        // Nesting beyond the reader's limit.
    }
    if (!parsed || !command.isObject() || !command["cmd"].isString()) {
        _events.Error("not a command: " + line);
        return;
    }
    // Held back in order: a command never overtakes one read before it.
    if (!_deferred.empty() || waitsForConnect(command)) {
        _deferred.push_back(std::move(command));
        return;
    }
    dispatch(command);
}

void Node::dispatch(const Json::Value& given) {
    Json::Value command = given;
    const std::string name = CommandWord(command);
    if (_stopAsked) {
        _events.Error("not run, the node is stopping: " + given["cmd"].asString());
        return;
    }
    if (name == "stop") {
        // As at the end of the input: the answers in flight are awaited, for a bounded time.
        // A transfer may run for long yet: it is not waited for, and the stop ends it where
        // it is (drain) then, not before: one that ends while the others are awaited is
        // answered as usual.
        _stopAsked = std::chrono::steady_clock::now();
        drain();
        return;
    }
    if (name == "connect") {
        _connectWindow = std::chrono::steady_clock::now() + kConnectWait;
        const Json::Value& text = given["address"];
        const Json::Value& port = given["port"];
        boost::system::error_code error;
        const auto address = boost::asio::ip::make_address(text.isString() ? Unbracketed(text.asString()) : "", error);
        if (!error && port.isUInt() && port.asUInt() >= 1 && port.asUInt() <= 65535) {
            _lastConnect = LastConnect{address, static_cast<unsigned short>(port.asUInt()),
                                       std::chrono::steady_clock::now()};
        }
    }
    const auto found = _commands.find(name);
    if (found == _commands.end()) {
        _events.Error("unknown command " + given["cmd"].asString());
        return;
    }
    const std::string fault = NormalizeArguments(name, command);
    if (!fault.empty()) {
        _events.Error("bad arguments for " + name + ": " + fault);
        return;
    }
    // The device of the last connect, once it refused this node's proof, stays listed by
    // its endpoint alone: a command naming a GUID that no listed device has is told why.
    // The words that go to every node when no listed device has the GUID still go so.
    const bool toAll = name == "connect" || name == "locate" || name == "identify" || name == "reboot";
    Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
    const std::string refused = toAll || !discovery ? "" : refusedConnect(true);
    for (const auto& text : refused.empty() ? std::vector<std::string>() : namedDevices(command)) {
        std::string guid;
        if (CanonicalGuid(text, guid) && !discovery->GetDeviceList()->GetDeviceByUUID(guid)) {
            _events.Error("no device " + text + " for " + name + ": " + refused);
            return;
        }
    }
    found->second(command);
}

bool Node::waitsForConnect(const Json::Value& command) {
    Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
    // A connect whose proof was refused brings no device: nothing to wait for.
    if (!discovery || std::chrono::steady_clock::now() >= _connectWindow || !refusedConnect(false).empty()) {
        return false;
    }
    for (const auto& text : namedDevices(command)) {
        std::string guid;
        if (!CanonicalGuid(text, guid)) {
            continue;
        }
        const auto device = discovery->GetDeviceList()->GetDeviceByUUID(guid);
        if (!device || !device->IsConnected()) {
            return true;
        }
    }
    return false;
}

std::string Node::refusedConnect(bool unchecked) {
    Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
    if (!discovery || !_lastConnect) {
        return "";
    }
    const auto device = discovery->GetDeviceByIPAndPort(_lastConnect->address, _lastConnect->port);
    if (!device) {
        return "";
    }
    const std::string at = EndpointText(_lastConnect->address.to_string(), _lastConnect->port);
    const std::string refusal = _security.RefusedProof(*device, _lastConnect->at);
    if (!refusal.empty()) {
        return "the device at " + at + " refused this node's proof of its code (" + refusal +
               "), so it never gave its GUID";
    }
    // Refused before it was checked, the proof is made again later: only a command that
    // waited for the device in vain is told why it did not come.
    const std::string waiting = unchecked ? _security.RefusedUnchecked(*device, _lastConnect->at) : "";
    if (waiting.empty()) {
        return "";
    }
    return "the device at " + at + " refused this node's proof of its code unchecked (" + waiting +
           ": proofs from this address failed before, and the device waits before it checks another), so it "
           "has not given its GUID yet; this node proves it again later";
}

void Node::runDeferred() {
    while (!_deferred.empty() && !waitsForConnect(_deferred.front())) {
        const Json::Value command = std::move(_deferred.front());
        _deferred.pop_front();
        dispatch(command);
    }
}

void Node::drain() {
    const bool ending = (_inputEnded && !_options.stay) || _stopAsked;
    if (!ending || !_deferred.empty() || _stopCode >= 0) {
        return;
    }
    // A stop waits no longer than the quiet bound, however busy its peers keep the node.
    const bool waited = _stopAsked && std::chrono::steady_clock::now() - *_stopAsked >= _answers.Quiet();
    if (!_answers.Settled(_stopAsked.has_value()) && !waited) {
        return;
    }
    // Only what is still awaited now goes unanswered: the driver ends with the next line.
    if (_stopAsked) {
        for (const auto& transfer : _answers.Abandon(true)) {
            _events.Error("no answer to " + transfer + ": the node stops before the transfer ends");
        }
    }
    for (const auto& request : _answers.Abandon()) {
        _events.Error("no answer to " + request + ": the node stopped waiting for it");
    }
    _stopCode = 0;
    Zelkor::DestroyDriver();
}

// What the user asked of the node cannot be done (on the loop, or before it runs).
void Node::fail(const std::string& message) {
    _events.Error(message);
    int none = -1;
    _stopCode.compare_exchange_strong(none, 2);
    Zelkor::DestroyDriver();
}

// Control thread. The first reason to stop wins; later ones find the node stopping.
void Node::finish(int exitCode) {
    if (_finished) {
        return;
    }
    _finished = true;
    _exitCode = exitCode;
    Zelkor::DestroyDriver();
    if (_runThread.joinable()) {
        _runThread.join();
    }
    _listeners.Detach();
    Zelkor::DeleteDriver();
    _control.stop();
}

}  // namespace ZelkorNode
