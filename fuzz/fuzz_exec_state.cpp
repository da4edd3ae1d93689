// "exec", the device-state words and "list" driven by arbitrary bytes: the real command
// interface (its handler choice on a device, its places of sent requests on a
// controller), the real device state service over a small device-state object, and the
// list router with every option routed ("publishers" to a real subscription service over
// the sample tree, "presets" to the device state service's route, "discovered" to a
// recorder: the discovery service needs a whole driver). Lines are read as the receive
// road reads them (header parsed once, the body from it) and raised as it raises them;
// the services send through a sender that checks every line instead of sending it.
//
// Input: "\n"-separated steps. A step's first byte, less "0", picks the connection (bits
// 0-1: handles 1..3 over TCP, 4 a UDP socket), the routing header put in front (bits 2-3:
// none, plain, with a sender hash, through a router), whether the connection refuses the
// requests the step sends (bit 4) and whether a send goes to the null handle, a multicast
// (bit 5). Its second byte, less "A", modulo the number of operations, picks the
// operation; the rest is the body. Operations, in order: an "exec" request; an "exec"
// reply; exec sent with ordered, named and text arguments ("command,arg,arg" or
// "command,key=value,..."; a body beginning "!" sends without handler); a raw exec line;
// an exec handler and a raw handler queued directly; the default exec-result handler set
// (empty body: cleared); the device's handler slots set (first byte: a mask over named
// with connection, named, ordered with connection, ordered, text with connection, text);
// the connection lost; a "setip" request; "getdevicestate"; "getpresetinfo"; the
// device-state texts set (a body beginning "throw": every operation throws); a "list"
// request; a "list" reply; a "subscribe" request (a publisher for the lists); "setip"
// sent ("mac,ip,mask,gateway,dhcp").
//
// Held: every line sent is one line; every reply and every request a service sends reads
// back with the peer's reader of its word (a "list" reply also through a peer's router, to
// the same option); a reply carries the request's route and sender hash (a UDP "setip"
// reply none). A device request is answered exactly once ("setip" over UDP: once when its
// MAC is local and its settings are new, else never; "list" as its option says), and an
// exec request by the handler its arguments choose, or "status" "false" when that form
// has none. On the controller, each reply, readable or not, goes to the oldest place of
// its connection (a modelled queue per connection: exec handlers, default copies and raw
// handlers), a request the connection refused calls its exec handler at once, a lost
// connection calls its waiting exec handlers, and an exec handler is called once at most.
// After the input every connection is lost: every exec handler whose request went out
// has been called exactly once. Texts are compared as the peer reads them back (bytes
// that are no UTF-8 come out changed, the same way each time).
//
// The device's exec handlers answer "fail" with false and throw for "throw"; its
// device-state object refuses the settings of the gateway "fail", throws for "throw",
// turns dhcp over for the mask "flip", and only 02:00:5e:00:53:01 is a local MAC. A
// controller's exec handler whose reply's result is "again" sends again from its call.
//
// ZELKOR_FUZZ_TRACE set in the environment prints every line sent, to read a reproducer.

#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <json/value.h>

#include "FuzzSupport.h"
#include "core/ErrorReply.h"
#include "core/JsonText.h"
#include "core/MacAddress.h"
#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "core/MessageSignalFactory.h"
#include "core/RequestErrors.h"
#include "core/ZelkorLog.h"
#include "device/IDeviceState.h"
#include "driver/IServiceSender.h"
#include "services/CommandInterfaceService.h"
#include "services/DeviceStateMessages.h"
#include "services/DeviceStateService.h"
#include "services/EndedRequest.h"
#include "services/ExecMessages.h"
#include "services/ListCommand.h"
#include "services/ListCommandDiscovered.h"
#include "services/ListCommandRouter.h"
#include "services/ListPresets.h"
#include "services/ListPublishers.h"
#include "services/SubscriptionService.h"
#include "services/ValueSubscriptionMessages.h"
#include "storage/JsonModel.h"
#include "storage/RequestBound.h"
#include "storage/StorageModel.h"

namespace {

using Zelkor::Message;
using Zelkor::MessageForwardInfo;
using Zelkor::Param;

// Small enough for fuzz inputs to reach.
constexpr std::size_t kBound = 16;
constexpr std::size_t kConnections = 3;
const char* const kLocalMac = "02:00:5e:00:53:01";

void* handleOf(std::size_t number) { return reinterpret_cast<void*>(number); }
void* const kUdp = handleOf(kConnections + 1);

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool tracing() {
    static const bool on = std::getenv("ZELKOR_FUZZ_TRACE") != nullptr;
    return on;
}

// What a peer reads of a parameter: the text up to its first NUL, empty when unset.
std::string textOf(const Message& message, Param p) {
    const char* text = message.GetParameter(p);
    return text ? std::string(text) : std::string();
}

std::string cut(const std::string& text) { return std::string(text.c_str()); }

// A value as the peer reads it back from a line: the JSON writer escapes what is not
// ASCII and decodes bytes that are no UTF-8 as if they were, so such a text arrives
// changed (the same way each time).
Json::Value reread(const Json::Value& value) {
    Json::Value back;
    std::string errors;
    check(Zelkor::ReadJson(Zelkor::WriteCompactJson(value), back, errors) == Zelkor::JsonReadResult::ok);
    return back;
}

std::string travels(const std::string& text) { return reread(Json::Value(text)).asString(); }

// A member's text as the base writer (GetParameters) puts it in a line: one that is a
// JSON array or object in its compact form, any other unchanged.
std::string baseForm(const std::string& text) {
    Json::Value structured;
    return Zelkor::ReadStructuredJson(text, structured) ? Zelkor::WriteCompactJson(structured) : text;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            return pieces;
        }
        start = end + 1;
    }
}

// --- what the peer reads ------------------------------------------------------------------

// A line as a peer reads it: its header (the peer's name given) and the message its
// word's reader made of the body.
struct Read {
    MessageForwardInfo header;
    std::unique_ptr<Message> message;
};

std::unique_ptr<Message> createFor(const std::string& word) {
    if (word == "exec") {
        return Zelkor::CreateExecCommand();
    }
    if (word == "setip") {
        return Zelkor::CreateSetIP();
    }
    if (word == "getdevicestate") {
        return Zelkor::CreateGetDeviceState();
    }
    if (word == "getpresetinfo") {
        return Zelkor::CreateGetPreset();
    }
    if (word == "list") {
        return Zelkor::CreateListCommand();
    }
    if (word == "subscribe") {
        return Zelkor::CreateSubscribe();
    }
    if (word == "error") {
        return std::make_unique<Zelkor::ErrorReply>();
    }
    return nullptr;
}

// The receive road's reading of a line (without its "\n"): null when the header is
// refused or the word's reader refuses the body; `error` then holds the reader's text.
std::optional<Read> readLine(const std::string& line, const char* self, bool request, std::string& error) {
    Read read;
    read.header.SetDeviceName(self);
    const std::string rest = read.header.PullHeader(line);
    if (rest.empty() || read.header.isReply == request) {
        return std::nullopt;
    }
    read.message = createFor(read.header.GetCommand());
    if (!read.message) {
        return std::nullopt;
    }
    const std::string word = std::string(request ? "" : "@") + read.header.GetCommand();
    const std::string received = word + " " + std::string(read.header.JsonText());
    if (!read.message->FromReceived(request, received, read.header, error)) {
        return std::nullopt;
    }
    read.message->SetMessageForwardInfo(read.header);
    read.message->SetIsReply(!request);
    read.message->SetRawText(received);
    return read;
}

// Counts the lists a router hands over, by the option's message.
struct ListRecorder : Zelkor::ISignalObserver<Zelkor::MessageSignalData> {
    explicit ListRecorder(const char* option) : option(option) {}
    void SignalRaised(Zelkor::MessageSignalData& data) override {
        const Message* message = data.GetMessage();
        check(message != nullptr);
        const std::string name = option;
        if (name == Zelkor::ListCommand::Discovered) {
            check(dynamic_cast<const Zelkor::ListCommandDiscovered*>(message) != nullptr);
        } else if (name == Zelkor::ListPublishers::Option) {
            check(dynamic_cast<const Zelkor::ListPublishers*>(message) != nullptr);
        } else {
            check(dynamic_cast<const Zelkor::ListPresets*>(message) != nullptr);
        }
        const std::string built = message->Build(!message->GetIsReply());
        check(built.empty() || built.find('\n') == built.size() - 1);
        ++count;
    }
    const char* option;
    int count = 0;
};

// A list reply the device sent, through a peer's router: it must reach that option.
void routeAtPeer(Read& read, const std::string& option) {
    ListRecorder discovered(Zelkor::ListCommand::Discovered);
    ListRecorder publishers(Zelkor::ListPublishers::Option);
    ListRecorder presets(Zelkor::ListPresets::Option);
    Zelkor::ListCommandRouter router(nullptr);
    router.AddRoute(discovered.option, &discovered);
    router.AddRoute(publishers.option, &publishers);
    router.AddRoute(presets.option, &presets);
    Zelkor::MessageSignalData data(handleOf(1), nullptr, true, std::move(read.message));
    router.SignalRaised(data);
    for (const ListRecorder* recorder : {&discovered, &publishers, &presets}) {
        check(recorder->count == (option == recorder->option ? 1 : 0));
    }
}

// --- the sender ----------------------------------------------------------------------------

struct Sent {
    void* handle;
    std::string line;
    bool request;
};

class CheckingSender final : public Zelkor::IServiceSender {
public:
    void BuildAndSendMessage(void* handle, Message& message, bool request) override {
        record(handle, message.Build(request), request);
    }
    void BuildAndSendMessageDelayed(void* handle, Message& message, bool request) override {
        BuildAndSendMessage(handle, message, request);
    }
    void BuildAndSendUnicastMessage(void* handle, Message& message, bool request) override {
        BuildAndSendMessage(handle, message, request);
    }
    void SendRequest(void* handle, std::string line, SendResult done) override {
        record(handle, line, true);
        // A null handle goes out as a multicast and the UDP socket holds no connection:
        // neither takes a line the way a connection does.
        const bool taken = handle != nullptr && handle != kUdp && !refusing && !line.empty();
        if (done) {
            done(taken);
        }
    }
    void SendReply(void* handle, const std::string& line, const std::string&, const std::string&) override {
        record(handle, line, false);
    }
    void UpdateDiscoReplyValue(const std::string&, const std::string&) override {}
    Zelkor::Signal<Zelkor::ConnectionResult>& ConnectionResults() override { return _results; }
    QueuedOutput QueuedOutputOf(void* handle) override {
        if (handle == kUdp || handle == nullptr) {
            return {};
        }
        return {0, std::size_t{1} << 24};
    }
    unsigned long GetTlsLevel() override { return 0; }
    bool ParentPathsAllowed() override { return false; }
    bool IsLocalMAC(const std::string& mac) override { return mac == kLocalMac; }

    void Close(void* handle) {
        Zelkor::ConnectionResult result;
        result.handle = handle;
        result.connected = false;
        _results.Raise(result);
    }

    // Lines since the last Take.
    std::vector<Sent> Take() {
        std::vector<Sent> taken;
        taken.swap(_sent);
        return taken;
    }

    bool refusing = false;

private:
    void record(void* handle, const std::string& line, bool request) {
        if (tracing()) {
            std::fprintf(stderr, "sent on %p: %s", handle, line.empty() ? "(nothing)\n" : line.c_str());
        }
        // Nothing (a header that cannot be written) or exactly one line.
        check(line.empty() || line.find('\n') == line.size() - 1);
        _sent.push_back(Sent{handle, line, request});
    }

    Zelkor::Signal<Zelkor::ConnectionResult> _results;
    std::vector<Sent> _sent;
};

// --- the device-state object -----------------------------------------------------------

class FuzzDeviceState final : public Zelkor::IDeviceState {
public:
    std::string GetDeviceStateText() override {
        if (throwing) {
            throw std::runtime_error("state");
        }
        return state;
    }
    std::string GetPresetInfo() override {
        if (throwing) {
            throw std::runtime_error("preset");
        }
        return preset;
    }
    // Gateway "throw" throws, "fail" refuses; a mask "flip" turns dhcp over.
    bool ApplyNetworkSettings(const std::string&, const std::string& subnetmask, const std::string& gateway,
                              const std::string& mac, bool& dhcp) override {
        check(mac == kLocalMac);
        ++applied;
        if (gateway == "throw") {
            throw std::runtime_error("apply");
        }
        if (subnetmask == "flip") {
            dhcp = !dhcp;
        }
        return gateway != "fail";
    }
    bool UpdateFirmware(std::string&, std::string) override { return false; }

    std::string state = "idle";
    std::string preset = "/presets/one";
    bool throwing = false;
    int applied = 0;
};

// --- the storage for the publishers, built once in a folder of its own ----------------

std::shared_ptr<StorageModel>& storage() {
    static std::shared_ptr<StorageModel> facade;
    return facade;
}

// --- one input --------------------------------------------------------------------------

enum Operation : std::uint8_t {
    kExecRequest,
    kExecReply,
    kSendOrdered,
    kSendNamed,
    kSendText,
    kSendRaw,
    kQueueExec,
    kQueueRaw,
    kDefault,
    kHandlers,
    kClose,
    kSetIP,
    kGetDeviceState,
    kGetPreset,
    kStateTexts,
    kList,
    kListReply,
    kSubscribe,
    kSendSetIP,
    kOperations
};

struct Step {
    void* handle;
    bool reliable;
    std::size_t prefix;
    bool refuse;
    bool multicast;
    Operation operation;
    std::string body;
};

const char* const kPrefixes[] = {"", "[dev][ctl] ", "12-abcd [dev][ctl] ", "[dev][rtr&ctl] "};
const char* const kReplyPrefixes[] = {"", "[ctl][dev] ", "12-abcd [ctl][dev] ", "[ctl&rtr][dev] "};

Step stepOf(const std::string& text) {
    const auto select = static_cast<std::uint8_t>(static_cast<std::uint8_t>(text[0]) - '0');
    Step step;
    step.reliable = select % 4 != 3;
    step.handle = handleOf(1 + select % 4);
    step.prefix = (select / 4) % 4;
    step.refuse = (select / 16) % 2 != 0;
    step.multicast = (select / 32) % 2 != 0;
    const auto operation = text.size() > 1 ? static_cast<std::uint8_t>(static_cast<std::uint8_t>(text[1]) - 'A') : 0;
    step.operation = static_cast<Operation>(operation % kOperations);
    step.body = text.size() > 2 ? text.substr(2) : std::string();
    return step;
}

// A reply's route at the peer: the request's lists exchanged, its sender hash kept.
void checkReplyRoute(const MessageForwardInfo& reply, const MessageForwardInfo& request) {
    check(reply.TargetList() == request.SourceList());
    check(reply.SourceList() == request.TargetList());
    check(reply.HashText() == request.HashText());
}

// Read back as the requester reads it; aborts when its reader refuses it.
Read readReply(const Sent& sent, const char* word) {
    check(!sent.request && !sent.line.empty());
    std::string error;
    auto read = readLine(sent.line.substr(0, sent.line.size() - 1), "ctl", false, error);
    if (!read) {
        std::fprintf(stderr, "Reply not readable (%s): %s", error.c_str(), sent.line.c_str());
        std::abort();
    }
    check(read->header.GetCommand() == word);
    return std::move(*read);
}

class Run {
public:
    Run()
        : _commands(&_sender),
          _states(std::make_shared<Zelkor::DeviceStateService>(&_sender, &_deviceState)),
          _values(std::make_shared<Zelkor::SubscriptionService>(&_sender, storage())),
          _router(&_sender) {
        _router.AddRoute(_discovered.option, &_discovered);
        _router.AddRoute(Zelkor::ListPublishers::Option, _values.get());
        _router.AddRoute(Zelkor::ListPresets::Option, _states->PresetsRoute());
        _presetsConnection = _states->ListPresetsSignal() += &_presetsSeen;
        _publishersConnection = _values->ListPublishersSignal() += &_publishersSeen;
        setHandlers(0b100110);
    }

    ~Run() {
        _states->ListPresetsSignal() -= _presetsConnection;
        _values->ListPublishersSignal() -= _publishersConnection;
    }

    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    void Do(const Step& step) {
        _sender.refusing = step.refuse;
        _calls.clear();
        switch (step.operation) {
            case kExecRequest:
                execRequest(step);
                break;
            case kExecReply:
                execReply(step);
                break;
            case kSendOrdered:
            case kSendNamed:
            case kSendText:
                sendExec(step);
                break;
            case kSendRaw:
                sendRaw(step);
                break;
            case kQueueExec:
                queueExec(step);
                break;
            case kQueueRaw:
                queueRaw(step);
                break;
            case kDefault:
                setDefault(step.body);
                break;
            case kHandlers:
                setHandlers(step.body.empty() ? 0 : static_cast<std::uint8_t>(step.body[0]) % 64);
                break;
            case kClose:
                close(step.handle);
                break;
            case kSetIP:
                setIP(step);
                break;
            case kGetDeviceState:
            case kGetPreset:
                stateRequest(step);
                break;
            case kStateTexts:
                _deviceState.throwing = step.body.compare(0, 5, "throw") == 0;
                _deviceState.state = step.body;
                _deviceState.preset = "/presets/" + step.body;
                break;
            case kList:
                list(step, true);
                break;
            case kListReply:
                list(step, false);
                break;
            case kSubscribe:
                subscribe(step);
                break;
            case kSendSetIP:
                sendSetIP(step);
                break;
            case kOperations:
                break;
        }
        // Every step checks its own lines; none may be left over.
        check(_sender.Take().empty());
    }

    // Every connection goes: every exec handler whose request went out has been called once.
    void Finish() {
        for (std::size_t number = 1; number <= kConnections + 1; ++number) {
            _calls.clear();
            close(handleOf(number));
        }
        check(_sender.Take().empty());
        for (const auto& [id, handler] : _handlers) {
            check(handler.calls == (handler.placed ? 1 : 0));
        }
        for (const auto& [id, calls] : _rawCalls) {
            check(calls <= 1);
        }
    }

private:
    // --- the controller side's model -----------------------------------------------------

    struct Call {
        enum Kind { exec, fallback, raw } kind;
        int id;
        std::string path;
        std::string command;
        bool success = false;
        std::string result;
        std::string requestid;
    };
    // One waiting place of a connection, as the service should hold it.
    struct Place {
        enum Kind { exec, defaultCopy, execEmpty, raw, rawEmpty };
        Place(Kind kind, int id, std::string line = {}) : kind(kind), id(id), line(std::move(line)) {}
        Kind kind;
        int id;
        // A raw request's line: what ends it unanswered answers it as a refusal of it.
        std::string line;
    };
    struct Handler {
        int calls = 0;
        // Its request went out or was refused: it must be called once by the end.
        bool placed = false;
    };

    Zelkor::ICommandInterfaceService::ExecResultHandler execHandler(void* handle) {
        const int id = _nextId++;
        _handlers[id];
        return [this, id, handle](const std::string& path, const std::string& command, bool success,
                                  const std::string& result, const std::string& requestid) {
            auto& handler = _handlers[id];
            check(++handler.calls == 1);
            _calls.push_back(Call{Call::exec, id, path, command, success, result, requestid});
            // A callback may send again.
            if (success && result == "again") {
                Zelkor::MessageForwardInfo forward;
                const auto next = execHandler(handle);
                const int nextId = _nextId - 1;
                _commands.SendExecCommand(handle, "/", "again", Zelkor::ICommandInterfaceService::OrderedArgs{},
                                          forward, std::string(), next);
                _sender.Take();
                placeSent(handle, Place{Place::exec, nextId});
            }
        };
    }

    Zelkor::ICommandInterfaceService::RawReplyHandler rawHandler() {
        const int id = _nextId++;
        _rawCalls[id];
        return [this, id](const std::string& text) {
            check(++_rawCalls[id] == 1);
            Call call{Call::raw, id, {}, {}, false, {}, {}};
            call.result = text;
            _calls.push_back(call);
        };
    }

    // The place a request sent on the handle should hold: with the step's refusal, the
    // model of what the connection took.
    void placeSent(void* handle, Place place) {
        const bool taken = handle != nullptr && handle != kUdp && !_sender.refusing;
        if (place.kind == Place::exec) {
            _handlers[place.id].placed = handle != nullptr;
        }
        if (!handle) {
            return;
        }
        if (taken) {
            _places[handle].push_back(place);
            return;
        }
        // Never sent: an exec handler hears it at once, as for a lost connection.
        expectLost(place);
    }

    void expectLost(const Place& place) {
        std::optional<Call> expected;
        if (place.kind == Place::exec) {
            expected = Call{Call::exec, place.id, "/", "", false, Zelkor::kConnectionLost, ""};
        } else if (place.kind == Place::defaultCopy) {
            expected =
                Call{Call::fallback, place.id, "/", "", false, Zelkor::kConnectionLost, ""};
        } else if (place.kind == Place::raw) {
            expected = Call{Call::raw, place.id, {}, {}, false,
                            Zelkor::EndedRequestText(place.line, Zelkor::kConnectionLost), {}};
        }
        if (!expected) {
            return;
        }
        // Within a reply's handler the handler's own call comes first: checked after it.
        if (_nested) {
            _pending.push_back(*expected);
        } else {
            expectCall(expected);
        }
    }

    // The calls made since the last expectation begin with this one (or none).
    void expectCall(const std::optional<Call>& expected) {
        if (!expected) {
            check(_checked == _calls.size());
            return;
        }
        check(_checked < _calls.size());
        const Call& call = _calls[_checked++];
        check(call.kind == expected->kind && call.id == expected->id);
        check(call.path == expected->path && call.command == expected->command);
        check(call.success == expected->success && call.result == expected->result);
        check(call.requestid == expected->requestid);
    }

    Place emptyPlace(bool raw) const {
        if (raw) {
            return Place{Place::rawEmpty, 0};
        }
        return _default ? Place{Place::defaultCopy, *_default} : Place{Place::execEmpty, 0};
    }

    // Who takes a reply given a place (none: no place waiting).
    std::optional<Call> takerOf(const std::optional<Place>& place) const {
        if (place && place->kind == Place::exec) {
            return Call{Call::exec, place->id, {}, {}, false, {}, {}};
        }
        if (place && place->kind == Place::defaultCopy) {
            return Call{Call::fallback, place->id, {}, {}, false, {}, {}};
        }
        if (place && place->kind == Place::raw) {
            return Call{Call::raw, place->id, {}, {}, false, {}, {}};
        }
        if (_default) {
            return Call{Call::fallback, *_default, {}, {}, false, {}, {}};
        }
        return std::nullopt;
    }

    std::optional<Place> popPlace(void* handle) {
        const auto found = _places.find(handle);
        if (found == _places.end() || found->second.empty()) {
            return std::nullopt;
        }
        const Place place = found->second.front();
        found->second.pop_front();
        return place;
    }

    void setDefault(const std::string& body) {
        if (body.empty()) {
            _commands.OnExecResult(nullptr);
            _default.reset();
            return;
        }
        const int generation = _nextId++;
        _default = generation;
        _commands.OnExecResult([this, generation](const std::string& path, const std::string& command, bool success,
                                                  const std::string& result, const std::string& requestid) {
            _calls.push_back(Call{Call::fallback, generation, path, command, success, result, requestid});
        });
    }

    void close(void* handle) {
        _checked = 0;
        std::deque<Place> waiting;
        const auto found = _places.find(handle);
        if (found != _places.end()) {
            waiting.swap(found->second);
            _places.erase(found);
        }
        _sender.Close(handle);
        check(_sender.Take().empty());
        for (const Place& place : waiting) {
            expectLost(place);
        }
        expectCall(std::nullopt);
    }

    // --- controller operations -------------------------------------------------------

    void* sendHandle(const Step& step) const { return step.multicast ? nullptr : step.handle; }

    MessageForwardInfo forwardOf(const Step& step) const {
        if (step.prefix == 0) {
            return MessageForwardInfo();
        }
        return MessageForwardInfo("dev", step.prefix == 3 ? "rtr&ctl" : "ctl", "ctl");
    }

    void sendExec(const Step& step) {
        _checked = 0;
        void* handle = sendHandle(step);
        const bool without = !step.body.empty() && step.body[0] == '!';
        std::vector<std::string> pieces = split(without ? step.body.substr(1) : step.body, ',');
        const std::string command = pieces.front();
        pieces.erase(pieces.begin());
        // The application's arguments, within what a device reads.
        if (pieces.size() > kBound) {
            pieces.resize(kBound);
        }
        const std::string requestid = step.prefix == 2 ? "id-" + std::to_string(_nextId) : std::string();
        MessageForwardInfo forward = forwardOf(step);
        Zelkor::ICommandInterfaceService::ExecResultHandler handler;
        std::optional<int> id;
        if (!without) {
            handler = execHandler(handle);
            id = _nextId - 1;
        }
        const Place place = id ? Place{Place::exec, *id} : emptyPlace(false);
        Zelkor::ICommandInterfaceService::NamedArgs named;
        std::string text;
        if (step.operation == kSendOrdered) {
            _commands.SendExecCommand(handle, "/p", command.c_str(), pieces, forward, requestid, handler);
        } else if (step.operation == kSendNamed) {
            for (const auto& piece : pieces) {
                const auto equals = piece.find('=');
                named[piece.substr(0, equals)] = equals == std::string::npos ? std::string() : piece.substr(equals + 1);
            }
            _commands.SendExecCommand(handle, "/p", command.c_str(), named, forward, requestid, handler);
        } else {
            text = step.body.substr(std::min(step.body.size(), command.size() + (without ? 2 : 1)));
            _commands.SendExecCommand(handle, "/p", command.c_str(), text, forward, requestid, handler);
        }
        // The request as the device reads it.
        const auto sent = _sender.Take();
        check(sent.size() == 1 && sent[0].request && sent[0].handle == handle);
        std::string error;
        auto read = readLine(sent[0].line.substr(0, sent[0].line.size() - 1), "dev", true, error);
        if (!read) {
            std::fprintf(stderr, "Exec request not readable (%s): %s", error.c_str(), sent[0].line.c_str());
            std::abort();
        }
        const Message& request = *read->message;
        check(textOf(request, Param::command) == travels(cut(command)));
        check(textOf(request, Param::path) == "/p");
        check(textOf(request, Param::requestid) == requestid);
        if (step.operation == kSendOrdered) {
            std::vector<std::string> expected;
            for (const auto& piece : pieces) {
                expected.push_back(travels(piece));
            }
            check(request.GetOrderedParms() == expected);
        } else if (step.operation == kSendNamed) {
            Zelkor::ICommandInterfaceService::NamedArgs expected;
            for (const auto& [key, value] : named) {
                expected[travels(key)] = travels(value);
            }
            // Names that arrive alike (bytes that are no UTF-8) leave one member.
            check(expected.size() == named.size() ? request.GetNamedParms() == expected
                                                  : request.GetNamedParms().size() <= named.size());
        } else {
            check(request.GetStrParms() == travels(text));
        }
        placeSent(handle, place);
        expectCall(std::nullopt);
    }

    void sendRaw(const Step& step) {
        _checked = 0;
        void* handle = sendHandle(step);
        const bool without = !step.body.empty() && step.body[0] == '!';
        const std::string line =
            std::string(kPrefixes[step.prefix]) + "exec " + (without ? step.body.substr(1) : step.body) + "\n";
        Zelkor::ICommandInterfaceService::RawReplyHandler handler;
        std::optional<int> id;
        if (!without) {
            handler = rawHandler();
            id = _nextId - 1;
        }
        std::optional<bool> heard;
        _commands.SendRawExecLine(handle, line, handler, [&heard](bool taken) { heard = taken; });
        const auto sent = _sender.Take();
        check(sent.size() == 1 && sent[0].request && sent[0].line == line);
        const bool taken = handle != nullptr && handle != kUdp && !_sender.refusing;
        check(heard == taken);
        if (taken) {
            _places[handle].push_back(id ? Place{Place::raw, *id, line} : emptyPlace(true));
        } else if (handle && id) {
            // Never sent: its handler hears the refusal at once.
            expectLost(Place{Place::raw, *id, line});
        }
        expectCall(std::nullopt);
    }

    void queueExec(const Step& step) {
        _checked = 0;
        void* handle = sendHandle(step);
        const bool without = !step.body.empty() && step.body[0] == '!';
        Zelkor::ICommandInterfaceService::ExecResultHandler handler;
        Place place = emptyPlace(false);
        if (!without) {
            handler = execHandler(handle);
            place = Place{Place::exec, _nextId - 1};
        }
        _commands.SetExecReplyHandler(handle, handler);
        if (handle) {
            _places[handle].push_back(place);
            if (place.kind == Place::exec) {
                _handlers[place.id].placed = true;
            }
        }
        expectCall(std::nullopt);
    }

    void queueRaw(const Step& step) {
        _checked = 0;
        void* handle = sendHandle(step);
        const bool without = !step.body.empty() && step.body[0] == '!';
        Zelkor::ICommandInterfaceService::RawReplyHandler handler;
        Place place = emptyPlace(true);
        if (!without) {
            handler = rawHandler();
            place = Place{Place::raw, _nextId - 1};
        }
        _commands.SetRawReplyHandler(handle, handler);
        if (handle) {
            _places[handle].push_back(place);
        }
        expectCall(std::nullopt);
    }

    // An "exec" reply as the road hands it over: read, or unreadable and said so.
    void execReply(const Step& step) {
        _checked = 0;
        Zelkor::MessageForwardInfo header;
        header.SetDeviceName("ctl");
        const std::string rest = header.PullHeader(kReplyPrefixes[step.prefix] + std::string("@exec ") + step.body);
        if (rest.empty()) {
            return;
        }
        const std::string line = "@exec " + std::string(header.JsonText());
        auto reply = Zelkor::CreateExecCommand();
        std::string error;
        const bool readable = reply->FromReceived(false, line, header, error);
        std::optional<Call> expected = takerOf(popPlace(step.handle));
        _nested = true;
        if (readable) {
            reply->SetMessageForwardInfo(std::move(header));
            reply->SetIsReply(true);
            reply->SetRawText(line);
            if (expected) {
                fillOutcome(*expected, *reply, line);
            }
            Zelkor::MessageSignalData data(step.handle, nullptr, step.reliable, std::move(reply));
            _commands.ExecSignal().Raise(data);
        } else {
            const std::string text = error.empty() ? "Invalid message body" : error;
            if (expected && expected->kind == Call::raw) {
                expected->result = line;
            } else if (expected) {
                expected->result = text;
            }
            _commands.UnreadableReply(step.handle, line, text);
        }
        _nested = false;
        // The taker first, then what its sending again called.
        expectCall(expected);
        for (const Call& call : _pending) {
            expectCall(call);
        }
        _pending.clear();
        expectCall(std::nullopt);
    }

    // What the taker of a readable reply hears.
    static void fillOutcome(Call& call, const Message& reply, const std::string& line) {
        if (call.kind == Call::raw) {
            call.result = line;
            return;
        }
        call.path = textOf(reply, Param::path);
        call.command = textOf(reply, Param::command);
        call.requestid = textOf(reply, Param::requestid);
        const std::string error = textOf(reply, Param::error);
        const std::string status = textOf(reply, Param::status);
        if (!error.empty()) {
            call.success = false;
            call.result = error;
            return;
        }
        call.result = textOf(reply, Param::result);
        call.success = status == "true" || (call.path.empty() && call.command.empty() && status.empty() &&
                                            call.result.empty() && call.requestid.empty());
    }

    // --- device operations -------------------------------------------------------------

    // A request as the road hands it over; null when the road would refuse it itself.
    std::unique_ptr<Message> received(const Step& step, const std::string& word,
                                      Zelkor::MessageFactoryFunction create) {
        Zelkor::MessageForwardInfo header;
        header.SetDeviceName("dev");
        const std::string rest = header.PullHeader(kPrefixes[step.prefix] + word + " " + step.body);
        if (rest.empty() || header.isReply) {
            return nullptr;
        }
        auto message = create();
        std::string error;
        if (!message->FromReceived(true, rest, header, error)) {
            return nullptr;
        }
        message->SetMessageForwardInfo(std::move(header));
        message->SetRawText(rest);
        return message;
    }

    void setHandlers(unsigned mask) {
        _mask = mask;
        using Service = Zelkor::ICommandInterfaceService;
        const auto slot = [this](int number, const std::string& args, const std::string& command, std::string& result) {
            _deviceCalls.push_back(number);
            _deviceArgs = args;
            if (command == "throw") {
                result = "lost";
                throw std::runtime_error("exec handler");
            }
            if (command == "fail") {
                result = "failed";
                return false;
            }
            result = args;
            return true;
        };
        const auto named = [](const Service::NamedArgs& args) {
            Json::Value object(Json::objectValue);
            for (const auto& [key, value] : args) {
                object[key] = value;
            }
            return Zelkor::WriteCompactJson(object);
        };
        const auto ordered = [](const Service::OrderedArgs& args) {
            Json::Value array(Json::arrayValue);
            for (const auto& value : args) {
                array.append(value);
            }
            return Zelkor::WriteCompactJson(array);
        };
        Service::NamedConnHandler namedConn;
        Service::NamedHandler namedPlain;
        Service::OrderedConnHandler orderedConn;
        Service::OrderedHandler orderedPlain;
        Service::TextConnHandler textConn;
        Service::TextHandler textPlain;
        if (mask & 1) {
            namedConn = [this, slot, named](void* conn, const std::string&, const std::string& command,
                                            const Service::NamedArgs& args, std::string& result) {
                _deviceConn = conn;
                return slot(0, named(args), command, result);
            };
        }
        if (mask & 2) {
            namedPlain = [slot, named](const std::string&, const std::string& command, const Service::NamedArgs& args,
                                       std::string& result) { return slot(1, named(args), command, result); };
        }
        if (mask & 4) {
            orderedConn = [this, slot, ordered](void* conn, const std::string&, const std::string& command,
                                                const Service::OrderedArgs& args, std::string& result) {
                _deviceConn = conn;
                return slot(2, ordered(args), command, result);
            };
        }
        if (mask & 8) {
            orderedPlain = [slot, ordered](const std::string&, const std::string& command,
                                           const Service::OrderedArgs& args,
                                           std::string& result) { return slot(3, ordered(args), command, result); };
        }
        if (mask & 16) {
            textConn = [this, slot](void* conn, const std::string&, const std::string& command, const std::string& args,
                                    std::string& result) {
                _deviceConn = conn;
                return slot(4, args, command, result);
            };
        }
        if (mask & 32) {
            textPlain = [slot](const std::string&, const std::string& command, const std::string& args,
                               std::string& result) { return slot(5, args, command, result); };
        }
        // Empty ones clear their slots.
        _commands.OnExecNamedConnParams(namedConn);
        _commands.OnExecNamedParams(namedPlain);
        _commands.OnExecOrderedConnParams(orderedConn);
        _commands.OnExecOrderedParams(orderedPlain);
        _commands.OnExecStrConnParams(textConn);
        _commands.OnExecStrParams(textPlain);
    }

    // The slot the arguments' form chooses (-1: that form has none), with what it gets.
    int chosenSlot(const Message& request, std::string& args) const {
        const auto has = [this](int slot) { return (_mask >> slot) & 1; };
        const auto either = [&has](int withConn) {
            return has(withConn) ? withConn : has(withConn + 1) ? withConn + 1 : -1;
        };
        if (!request.GetNamedParms().empty()) {
            Json::Value object(Json::objectValue);
            for (const auto& [key, value] : request.GetNamedParms()) {
                object[key] = value;
            }
            args = Zelkor::WriteCompactJson(object);
            return either(0);
        }
        if (!request.GetOrderedParms().empty()) {
            Json::Value array(Json::arrayValue);
            for (const auto& value : request.GetOrderedParms()) {
                array.append(value);
            }
            args = Zelkor::WriteCompactJson(array);
            return either(2);
        }
        if (!request.GetStrParms().empty()) {
            args = request.GetStrParms();
            return either(4);
        }
        if (!request.GetJsonParms().isNull()) {
            args = Zelkor::WriteCompactJson(request.GetJsonParms());
            return either(4);
        }
        for (int slot = 0; slot < 6; ++slot) {
            if (has(slot)) {
                args = slot < 2 ? "{}" : slot < 4 ? "[]" : "";
                return slot;
            }
        }
        return -1;
    }

    void execRequest(const Step& step) {
        auto request = received(step, "exec", Zelkor::CreateExecCommand);
        if (!request) {
            return;
        }
        const MessageForwardInfo route = request->GetMessageForwardInfo();
        const std::string command = textOf(*request, Param::command);
        std::string args;
        const int slot = chosenSlot(*request, args);
        const std::string path = textOf(*request, Param::path);
        const std::string requestid = textOf(*request, Param::requestid);
        _deviceCalls.clear();
        _deviceConn = nullptr;
        Zelkor::MessageSignalData data(step.handle, nullptr, step.reliable, std::move(request));
        _commands.ExecSignal().Raise(data);

        const auto sent = _sender.Take();
        check(sent.size() == 1 && sent[0].handle == step.handle);
        Read read = readReply(sent[0], "exec");
        checkReplyRoute(read.header, route);
        const Message& reply = *read.message;
        if (_mask == 0 || command.empty()) {
            check(_deviceCalls.empty());
            check(textOf(reply, Param::error) == (_mask == 0 ? Zelkor::CommandInterfaceService::NotImplemented
                                                             : Zelkor::CommandInterfaceService::MissingCommand));
            check(!reply.GetParameter(Param::status));
            return;
        }
        check(textOf(reply, Param::command) == travels(command));
        check(textOf(reply, Param::path) == travels(path));
        check(textOf(reply, Param::requestid) == travels(requestid));
        check(!reply.GetParameter(Param::error));
        if (slot < 0) {
            check(_deviceCalls.empty());
            check(textOf(reply, Param::status) == "false");
            check(!reply.GetParameter(Param::result));
            return;
        }
        check(_deviceCalls.size() == 1 && _deviceCalls[0] == slot);
        check(_deviceArgs == args);
        if (slot % 2 == 0) {
            check(_deviceConn == step.handle);
        }
        const bool fine = command != "throw" && command != "fail";
        check(textOf(reply, Param::status) == (fine ? "true" : "false"));
        // A thrown handler's result is not answered.
        const std::string given = command == "throw" ? std::string() : command == "fail" ? "failed" : args;
        const std::string result = cut(given);
        if (given.empty()) {
            check(!reply.GetParameter(Param::result));
            return;
        }
        Json::Value structured;
        if (Zelkor::ReadStructuredJson(result, structured)) {
            check(textOf(reply, Param::result) == Zelkor::WriteCompactJson(reread(structured)));
        } else {
            check(textOf(reply, Param::result) == travels(result));
        }
    }

    void stateRequest(const Step& step) {
        const bool state = step.operation == kGetDeviceState;
        auto request = received(step, state ? "getdevicestate" : "getpresetinfo",
                                state ? Zelkor::CreateGetDeviceState : Zelkor::CreateGetPreset);
        if (!request) {
            return;
        }
        const MessageForwardInfo route = request->GetMessageForwardInfo();
        Zelkor::MessageSignalData data(step.handle, nullptr, step.reliable, std::move(request));
        (state ? _states->GetDeviceStateSignal() : _states->GetPresetSignal()).Raise(data);
        const auto sent = _sender.Take();
        check(sent.size() == 1 && sent[0].handle == step.handle);
        Read read = readReply(sent[0], state ? "getdevicestate" : "getpresetinfo");
        checkReplyRoute(read.header, route);
        const bool throwing = _deviceState.throwing;
        if (state) {
            check(textOf(*read.message, Param::devicestate) ==
                  (throwing ? "" : travels(baseForm(cut(_deviceState.state)))));
        } else {
            check(textOf(*read.message, Param::path) == (throwing ? "" : travels(baseForm(cut(_deviceState.preset)))));
            check(textOf(*read.message, Param::isdirty) == "false");
        }
    }

    static bool sameSettings(const Zelkor::SETIP_SETTINGS& a, const Zelkor::SETIP_SETTINGS& b) {
        return a.mac == b.mac && a.ip == b.ip && a.subnetmask == b.subnetmask && a.gateway == b.gateway &&
               a.dhcp == b.dhcp;
    }

    // The settings' address as it travels: unchanged when it reads as one, else none.
    static std::string addressOf(const std::string& ip) {
        boost::system::error_code error;
        boost::asio::ip::make_address(ip, error);
        return ip.empty() || error ? std::string() : ip;
    }

    static void checkSettings(const Zelkor::SETIP_SETTINGS& settings) {
        if (!settings.mac.empty()) {
            Zelkor::MacAddress mac;
            check(mac.Set(settings.mac) && mac.Text() == settings.mac);
        }
        check(settings.result == settings.error.empty());
    }

    void setIP(const Step& step) {
        auto request = received(step, "setip", Zelkor::CreateSetIP);
        if (!request) {
            return;
        }
        const auto* setip = dynamic_cast<const Zelkor::SetIP*>(request.get());
        check(setip != nullptr);
        const Zelkor::SETIP_SETTINGS settings = setip->GetSettings();
        checkSettings(settings);
        const MessageForwardInfo route = request->GetMessageForwardInfo();
        const bool local = settings.mac == kLocalMac;
        bool answered = step.reliable;
        if (!step.reliable) {
            // One multicast may come twice: only new settings count, and only the owner answers.
            const bool fresh = !sameSettings(settings, _lastUdp);
            if (fresh) {
                _lastUdp = settings;
            }
            answered = fresh && local;
        }
        const int applied = _deviceState.applied;
        Zelkor::MessageSignalData data(step.handle, nullptr, step.reliable, std::move(request));
        _states->SetIPSignal().Raise(data);
        const auto sent = _sender.Take();
        check(_deviceState.applied == applied + (answered && local ? 1 : 0));
        if (!answered) {
            check(sent.empty());
            return;
        }
        check(sent.size() == 1 && sent[0].handle == step.handle);
        Read read = readReply(sent[0], "setip");
        if (step.reliable) {
            checkReplyRoute(read.header, route);
        } else {
            check(read.header.TargetList().empty() && read.header.SourceList().empty() && !read.header.hasHash);
        }
        const auto* reply = dynamic_cast<const Zelkor::SetIP*>(read.message.get());
        check(reply != nullptr);
        const Zelkor::SETIP_SETTINGS answer = reply->GetSettings();
        checkSettings(answer);
        check(answer.mac == settings.mac);
        check(answer.ip == addressOf(settings.ip));
        check(answer.subnetmask == travels(baseForm(settings.subnetmask)));
        check(answer.gateway == travels(baseForm(settings.gateway)));
        std::string error;
        if (!local) {
            error = Zelkor::DeviceStateService::UnknownMac;
        } else if (settings.gateway == "throw" || settings.gateway == "fail") {
            error = Zelkor::DeviceStateService::UnableToUpdate;
        }
        check(answer.error == error);
        const bool flipped = local && settings.gateway != "throw" && settings.subnetmask == "flip";
        check(answer.dhcp == (flipped ? !settings.dhcp : settings.dhcp));
    }

    void sendSetIP(const Step& step) {
        std::vector<std::string> pieces = split(step.body, ',');
        pieces.resize(std::max<std::size_t>(pieces.size(), 5));
        Zelkor::SETIP_SETTINGS settings;
        settings.mac = pieces[0];
        settings.ip = pieces[1];
        settings.subnetmask = pieces[2];
        settings.gateway = pieces[3];
        settings.dhcp = pieces[4] == "1";
        void* handle = sendHandle(step);
        if (handle) {
            _states->SendSetIP(handle, forwardOf(step), settings);
        } else {
            _states->SendSetIP(settings);
        }
        const auto sent = _sender.Take();
        check(sent.size() == 1 && sent[0].request && sent[0].handle == handle);
        std::string error;
        auto read = readLine(sent[0].line.substr(0, sent[0].line.size() - 1), "dev", true, error);
        if (!read) {
            std::fprintf(stderr, "setip request not readable (%s): %s", error.c_str(), sent[0].line.c_str());
            std::abort();
        }
        const auto* request = dynamic_cast<const Zelkor::SetIP*>(read->message.get());
        check(request != nullptr);
        const Zelkor::SETIP_SETTINGS got = request->GetSettings();
        checkSettings(got);
        Zelkor::MacAddress mac;
        check(got.mac == (mac.Set(settings.mac) ? mac.Text() : std::string()));
        check(got.ip == cut(addressOf(settings.ip)));
        check(got.subnetmask == travels(baseForm(cut(settings.subnetmask))));
        check(got.gateway == travels(baseForm(cut(settings.gateway))));
        check(got.dhcp == settings.dhcp && got.result);
    }

    void subscribe(const Step& step) {
        auto request = received(step, "subscribe", Zelkor::CreateSubscribe);
        if (!request) {
            return;
        }
        const MessageForwardInfo route = request->GetMessageForwardInfo();
        Zelkor::MessageSignalData data(step.handle, nullptr, step.reliable, std::move(request));
        _values->SubscribeSignal().Raise(data);
        for (const Sent& sent : _sender.Take()) {
            check(sent.handle == step.handle);
            Read read = readReply(sent, "subscribe");
            checkReplyRoute(read.header, route);
        }
    }

    // A "list" line as the road reads it, handed to the router as the word's signal does.
    void list(const Step& step, bool request) {
        Zelkor::MessageForwardInfo header;
        header.SetDeviceName("dev");
        const char* prefix = request ? kPrefixes[step.prefix] : kReplyPrefixes[step.prefix];
        const std::string rest = header.PullHeader(prefix + std::string(request ? "list " : "@list ") + step.body);
        if (rest.empty()) {
            return;
        }
        const std::string line = std::string(request ? "" : "@") + "list " + std::string(header.JsonText());
        auto message = Zelkor::CreateListCommand();
        std::string error;
        if (!message->FromReceived(request, line, header, error)) {
            return;
        }
        const MessageForwardInfo route = header;
        message->SetMessageForwardInfo(std::move(header));
        message->SetIsReply(!request);
        message->SetRawText(line);
        const char* command = message->GetParameter(Param::command);
        const std::string option = command ? std::string(command) : std::string(Zelkor::ListCommand::Discovered);

        const int discovered = _discovered.count;
        const int publishers = _publishersSeen.count;
        const int presets = _presetsSeen.count;
        Zelkor::MessageSignalData data(step.handle, nullptr, step.reliable, std::move(message));
        _router.SignalRaised(data);
        const auto sent = _sender.Take();

        const bool isDiscovered = option == Zelkor::ListCommand::Discovered;
        const bool isPublishers = option == Zelkor::ListPublishers::Option;
        const bool isPresets = option == Zelkor::ListPresets::Option;
        check(_discovered.count == discovered + (isDiscovered ? 1 : 0));
        // Replies and requests alike are raised once on the presets signal; only replies on
        // the publishers one.
        check(_presetsSeen.count == presets + (isPresets ? 1 : 0));
        check(_publishersSeen.count == publishers + (isPublishers && !request ? 1 : 0));
        if (!request) {
            check(sent.empty());
            return;
        }
        if (isDiscovered) {
            check(sent.empty());
            return;
        }
        check(sent.size() == 1 && sent[0].handle == step.handle);
        if (!isPublishers && !isPresets) {
            Read read = readReply(sent[0], "error");
            checkReplyRoute(read.header, route);
            check(textOf(*read.message, Param::message) == "Unrecognized list option.");
            return;
        }
        Read read = readReply(sent[0], "list");
        checkReplyRoute(read.header, route);
        routeAtPeer(read, option);
    }

    // Counts a signal's raisings.
    struct Counter : Zelkor::ISignalObserver<Zelkor::MessageSignalData> {
        void SignalRaised(Zelkor::MessageSignalData&) override { ++count; }
        int count = 0;
    };

    CheckingSender _sender;
    FuzzDeviceState _deviceState;
    Zelkor::CommandInterfaceService _commands;
    std::shared_ptr<Zelkor::DeviceStateService> _states;
    std::shared_ptr<Zelkor::SubscriptionService> _values;
    Zelkor::ListCommandRouter _router;
    ListRecorder _discovered{Zelkor::ListCommand::Discovered};
    Counter _presetsSeen;
    Counter _publishersSeen;
    boost::signals2::connection _presetsConnection;
    boost::signals2::connection _publishersConnection;

    // Device side.
    unsigned _mask = 0;
    std::vector<int> _deviceCalls;
    std::string _deviceArgs;
    void* _deviceConn = nullptr;
    Zelkor::SETIP_SETTINGS _lastUdp;

    // Controller side.
    int _nextId = 1;
    std::optional<int> _default;
    std::map<int, Handler> _handlers;
    std::map<int, int> _rawCalls;
    std::map<void*, std::deque<Place>> _places;
    std::vector<Call> _calls;
    std::size_t _checked = 0;
    bool _nested = false;
    std::vector<Call> _pending;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    ZelkorFuzz::TurnEntropicOff(argc, argv);
    // Refusals are logged; keep the formatting but not the console.
    ZelkorLog::TheLog().RegisterExternalLogger([](std::string&) {});
    Zelkor::SetMaxEntriesPerMessage(kBound);
    ZelkorFuzz::BuildInWorkFolder([] {
        std::ifstream in(ZELKOR_SOURCE_DIR "/examples/device-tree.json");
        const std::string tree((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        storage() = std::make_shared<StorageModel>(std::make_shared<Zelkor::JsonModel>(tree));
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    Run run;
    ZelkorFuzz::ForEachLine(input, [&run](const std::string& line) { run.Do(stepOf(line)); });
    run.Finish();
    return 0;
}
