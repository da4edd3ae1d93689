// The device side of subscriptions driven by arbitrary bytes: the real subscription and
// event subscription services over the sample tree (its event log holding 40 rows to
// replay), three peer connections and a UDP socket, and a sender that checks every line
// the services send instead of sending it. The services are new for every input; the
// tree is shared and never written.
//
// Input: "\n"-separated steps. A step's first byte picks the connection (handles 1..3),
// the routing header put in front (none, plain, with a sender hash, through a router) and
// now and then the UDP socket instead (handle 4); its second byte, modulo the number of
// operations ("H" + n is operation n), picks the operation; the rest is the body.
// Operations, in order: the requests "subscribe", "unsubscribe", "subscribepoll",
// "unsubscribepoll", "poll", "sublog", "unsublog", "subscribeevent", "unsubscribeevent",
// "event", a publishers list and "publish", read as the receive road reads them and raised
// on the word's signal (the list handed to the service as its router does); a value change
// of the body's path; an event raised under the body's name; the name registered for good;
// the body as a new log row; the connection closed; the two bounds set from the body's
// first two bytes (else 24 subscriptions per connection, 16 entries per message).
//
// Held after every step: a connection's path-and-format pairs, its polled targets and its
// event names each stay within the subscriptions bound (the highest set so far in the
// input), nothing is kept for the UDP socket, a polled subscription stays within the
// entries bound, the service's own count of a connection's pairs matches its table. Held
// for every line sent: one line (or none, when its header cannot be written); a reply
// within the entries bound; a request sent unasked (publish, event, log row) without a
// sender hash; every line readable by the peer's reader of its word. After the input the
// connections close and nothing is left but the names registered for good.
//
// ZELKOR_FUZZ_TRACE set in the environment prints every line sent, to read a reproducer.

#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include <json/value.h>

#include "FuzzSupport.h"
#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "core/ZelkorLog.h"
#include "driver/IServiceSender.h"
#include "services/EventMessages.h"
#include "services/EventSubscriptionService.h"
#include "services/ListPublishers.h"
#include "services/LogMessages.h"
#include "services/MultiSetGetWorker.h"
#include "services/SubscribePollWorker.h"
#include "services/SubscriptionService.h"
#include "services/ValueSubscriptionMessages.h"
#include "storage/JsonModel.h"
#include "storage/LogRow.h"
#include "storage/RequestBound.h"
#include "storage/StorageModel.h"
#include "storage/SubscriptionBound.h"

namespace {

using Zelkor::Message;

// Low enough for a few steps to reach them; an input may set others.
constexpr std::size_t kSubscriptions = 24;
constexpr std::size_t kEntries = 16;
// Small, so that a log replay meets its cut.
constexpr std::size_t kOutputBound = 2048;
constexpr std::size_t kConnections = 3;

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

// Elements a list held as JSON may carry: an array's elements; anything else is one.
std::size_t elements(const Json::Value& value) { return value.isArray() ? value.size() : 1; }

// The largest bounds in force during the current input: what the tables may hold.
struct Bounds {
    std::size_t subscriptions = kSubscriptions;
    std::size_t entries = kEntries;
};
Bounds& highest() {
    static Bounds bounds;
    return bounds;
}

// A peer's reader of the word must take what the device sends.
void checkReadable(const Message& sent, const std::string& line, bool request) {
    Zelkor::MessageForwardInfo header;
    header.SetDeviceName("ctl");
    const std::string rest = header.PullHeader(line.substr(0, line.size() - 1));
    check(!rest.empty());
    check(header.isReply == !request);
    check(header.GetCommand() == sent.CommandName());
    auto again = sent.Instantiate();
    std::string error;
    if (!again->FromReceived(request, rest, header, error)) {
        std::fprintf(stderr, "Sent line not readable (%s): %s", error.c_str(), line.c_str());
        std::abort();
    }
}

void checkSent(const Message& message, const std::string& line, bool request) {
    // None when the header cannot be written; else exactly one line.
    if (line.empty()) {
        return;
    }
    check(line.find('\n') == line.size() - 1);
    const std::size_t entries = Zelkor::MaxEntriesPerMessage();
    if (const auto* values = dynamic_cast<const Zelkor::MultiSetGetWorker*>(&message)) {
        check(values->EntryCount() <= entries);
    }
    if (const auto* poll = dynamic_cast<const Zelkor::SubscribePollWorker*>(&message)) {
        check(elements(poll->GetTargets()) <= entries);
        check(elements(poll->TargetValues()) <= entries);
    }
    if (const auto* list = dynamic_cast<const Zelkor::ListPublishers*>(&message)) {
        check(list->EntryCount() <= entries);
    }
    if (request) {
        // Sent unasked: a subscriber filtering by hash would take a repeat for a duplicate.
        Zelkor::MessageForwardInfo header;
        check(header.Parse(line.substr(0, line.size() - 1), false));
        check(header.HashText().empty());
    }
    checkReadable(message, line, request);
}

// Checks each line and counts what waits on a connection (never written).
class CheckingSender final : public Zelkor::IServiceSender {
public:
    void BuildAndSendMessage(void* handle, Message& message, bool request) override {
        const std::string line = message.Build(request);
        if (tracing()) {
            std::fprintf(stderr, "sent on %p: %s", handle, line.empty() ? "(nothing)\n" : line.c_str());
        }
        checkSent(message, line, request);
        _queued[handle] += line.size();
    }
    void BuildAndSendMessageDelayed(void* handle, Message& message, bool request) override {
        BuildAndSendMessage(handle, message, request);
    }
    void BuildAndSendUnicastMessage(void* handle, Message& message, bool request) override {
        BuildAndSendMessage(handle, message, request);
    }
    void SendRequest(void*, std::string, SendResult done) override {
        if (done) {
            done(false);
        }
    }
    void SendReply(void* handle, const std::string& line, const std::string&, const std::string&) override {
        check(line.empty() || line.find('\n') == line.size() - 1);
        _queued[handle] += line.size();
    }
    void UpdateDiscoReplyValue(const std::string&, const std::string&) override {}
    Zelkor::Signal<Zelkor::ConnectionResult>& ConnectionResults() override { return _results; }
    QueuedOutput QueuedOutputOf(void* handle) override {
        if (handle == kUdp) {
            return {};
        }
        return {_queued[handle], kOutputBound, true};
    }
    unsigned long GetTlsLevel() override { return 0; }
    bool ParentPathsAllowed() override { return false; }

    // What waits on the connection has been written.
    void Written(void* handle) { _queued[handle] = 0; }

    void Close(void* handle) {
        Zelkor::ConnectionResult result;
        result.handle = handle;
        result.connected = false;
        _results.Raise(result);
        _queued.erase(handle);
    }

private:
    Zelkor::Signal<Zelkor::ConnectionResult> _results;
    std::map<void*, std::size_t> _queued;
};

// --- the tree, built once in a folder of its own (its event log lives there) ------------

std::shared_ptr<StorageModel>& storage() {
    static std::shared_ptr<StorageModel> facade;
    return facade;
}

void buildStorage() {
    std::ifstream in(ZELKOR_SOURCE_DIR "/examples/device-tree.json");
    const std::string tree((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    storage() = std::make_shared<StorageModel>(std::make_shared<Zelkor::JsonModel>(tree));
    // Rows for "sublog" to replay, every priority, long enough to meet the replay's cut.
    for (int index = 0; index < 40; ++index) {
        LOGROW row;
        row.time = index;
        row.priority = static_cast<std::uint32_t>(index % 5);
        row.category = "fuzz";
        row.event = "row " + std::to_string(index) + " of the replayed history";
        check(storage()->StoreEvent(row.to_json()));
    }
}

// --- one input --------------------------------------------------------------------------

enum Operation : std::uint8_t {
    kSubscribe,
    kUnsubscribe,
    kSubscribePoll,
    kUnsubscribePoll,
    kPoll,
    kSubLog,
    kUnsubLog,
    kSubscribeEvent,
    kUnsubscribeEvent,
    kEvent,
    kPublishers,
    kPublish,
    kValueChanged,
    kRaiseEvent,
    kAddEvent,
    kLogRow,
    kClose,
    kSetBounds,
    kLogAnswer,
    kWritten,
    kOperations
};

struct Step {
    void* handle;
    bool reliable;
    std::string prefix;
    Operation operation;
    std::string body;
};

Step stepOf(const std::string& text) {
    static const char* const prefixes[] = {"", "[dev][ctl] ", "12-abcd [dev][ctl] ", "[dev][rtr&ctl] "};
    const auto select = static_cast<std::uint8_t>(text[0]);
    Step step;
    step.reliable = (select / 12) % 4 != 3;
    step.handle = step.reliable ? handleOf(1 + select % kConnections) : kUdp;
    step.prefix = prefixes[(select / 3) % 4];
    step.operation = static_cast<Operation>(text.size() > 1 ? static_cast<std::uint8_t>(text[1]) % kOperations : 0);
    step.body = text.size() > 2 ? text.substr(2) : std::string();
    return step;
}

class Run {
public:
    Run()
        : _values(std::make_shared<Zelkor::SubscriptionService>(&_sender, storage())),
          _events(std::make_shared<Zelkor::EventSubscriptionService>(&_sender)) {}

    void Do(const Step& step) {
        switch (step.operation) {
            case kSubscribe:
                request(step, "subscribe", Zelkor::CreateSubscribe, _values->SubscribeSignal());
                break;
            case kUnsubscribe:
                request(step, "unsubscribe", Zelkor::CreateUnsubscribe, _values->UnsubscribeSignal());
                break;
            case kSubscribePoll:
                request(step, "subscribepoll", Zelkor::CreateSubscribePoll, _values->SubscribePollSignal());
                break;
            case kUnsubscribePoll:
                request(step, "unsubscribepoll", Zelkor::CreateUnsubscribePoll, _values->UnsubscribePollSignal());
                break;
            case kPoll:
                request(step, "poll", Zelkor::CreatePollSubscription, _values->PollSubscriptionSignal());
                break;
            case kSubLog:
                request(step, "sublog", Zelkor::CreateSubLog, _values->SubLogSignal());
                break;
            case kUnsubLog:
                request(step, "unsublog", Zelkor::CreateUnsubLog, _values->UnsubLogSignal());
                break;
            case kSubscribeEvent:
                request(step, "subscribeevent", Zelkor::CreateSubscribeEvent, _events->SubscribeEventSignal());
                break;
            case kUnsubscribeEvent:
                request(step, "unsubscribeevent", Zelkor::CreateUnsubscribeEvent, _events->UnsubscribeEventSignal());
                break;
            case kEvent:
                request(step, "event", Zelkor::CreateEventCommand, _events->EventSignal());
                break;
            case kPublishers:
                publishers(step);
                break;
            case kPublish:
                request(step, "publish", Zelkor::CreatePublish, _values->PublishSignal());
                break;
            case kValueChanged:
                _values->ValueChanged(step.body.c_str(), "variant", "1", nullptr, true);
                break;
            case kRaiseEvent:
                _events->RaiseEvent(step.body.c_str(), "1");
                // One argument: the entries bound may be 1.
                _events->RaiseEvent(step.body.c_str(), std::map<std::string, std::string>{{"a", step.body}});
                break;
            case kAddEvent:
                _events->AddEvent(step.body.c_str());
                _registered.insert(step.body.c_str());  // the name ends at a NUL byte
                break;
            case kLogRow:
                _values->LogEvent(step.body);
                break;
            case kClose:
                _sender.Close(step.handle);
                break;
            case kSetBounds:
                setBounds(step.body);
                break;
            case kLogAnswer:
                logAnswer(step);
                break;
            case kWritten:
                _sender.Written(step.handle);
                break;
            case kOperations:
                break;
        }
        checkTables(step.operation == kSubscribeEvent);
    }

    // Every connection goes: nothing may stay but the names registered for good.
    void Finish() {
        for (std::size_t number = 1; number <= kConnections + 1; ++number) {
            _sender.Close(handleOf(number));
        }
        check(_values->Values().empty());
        check(_values->Polled().empty());
        check(_values->LogSubscribers().empty());
        const auto& model = _events->Model();
        check(model.EventCount() == _registered.size());
        for (const auto& name : _registered) {
            check(model.HasEvent(name));
        }
        for (std::size_t number = 1; number <= kConnections + 1; ++number) {
            check(!model.HasRecord(handleOf(number)));
            check(_values->ValueSubscriptionCount(handleOf(number)) == 0);
        }
    }

private:
    // As the receive road hands a request over: the header parsed once, the body read
    // from it, the word's signal raised with the connection.
    void request(const Step& step, const char* word, Zelkor::MessageFactoryFunction create,
                 Zelkor::Signal<Zelkor::MessageSignalData>& signal) {
        Zelkor::MessageForwardInfo header;
        header.SetDeviceName("dev");
        const std::string rest = header.PullHeader(step.prefix + word + " " + step.body);
        if (rest.empty()) {
            return;
        }
        auto message = create();
        std::string error;
        if (!message->FromReceived(true, rest, header, error)) {
            return;
        }
        message->SetMessageForwardInfo(header);
        if (std::string(word) == "subscribeevent") {
            if (const char* name = message->GetParameter(Zelkor::Param::path)) {
                _eventNames.insert(name);
            }
        }
        Zelkor::MessageSignalData data(step.handle, nullptr, step.reliable, std::move(message));
        signal.Raise(data);
    }

    // A subscriber's answer to a row, which moves its replay on.
    void logAnswer(const Step& step) {
        Zelkor::MessageForwardInfo header;
        header.SetDeviceName("dev");
        const std::string rest = header.PullHeader(step.prefix + "@log " + step.body);
        auto message = Zelkor::CreateLogRow();
        std::string error;
        if (rest.empty() || !message->FromReceived(false, rest, header, error)) {
            return;
        }
        message->SetMessageForwardInfo(header);
        message->SetIsReply(true);
        Zelkor::MessageSignalData data(step.handle, nullptr, step.reliable, std::move(message));
        _values->LogRowSignal().Raise(data);
    }

    // The list router hands the request to the service directly.
    void publishers(const Step& step) {
        Zelkor::MessageForwardInfo header;
        header.SetDeviceName("dev");
        const std::string rest = header.PullHeader(step.prefix + R"(list {"command":"publishers"})");
        auto message = Zelkor::CreateListPublishers();
        std::string error;
        check(message->FromReceived(true, rest, header, error));
        message->SetMessageForwardInfo(header);
        Zelkor::MessageSignalData data(step.handle, nullptr, step.reliable, std::move(message));
        _values->SignalRaised(data);
    }

    void setBounds(const std::string& body) {
        const auto byte = [&body](std::size_t at) { return at < body.size() ? static_cast<std::uint8_t>(body[at]) : 0; };
        Zelkor::SetMaxSubscriptionsPerConnection(1 + byte(0) % 48);
        Zelkor::SetMaxEntriesPerMessage(1 + byte(1) % 32);
        highest().subscriptions = std::max(highest().subscriptions, Zelkor::MaxSubscriptionsPerConnection());
        highest().entries = std::max(highest().entries, Zelkor::MaxEntriesPerMessage());
    }

    // Event names are counted only when a step may have added one.
    void checkTables(bool eventNames) const {
        const Bounds bounds = highest();
        std::map<void*, std::size_t> pairs;
        for (const auto& [path, formats] : _values->Values()) {
            check(!formats.empty());
            for (const auto& [format, subscribers] : formats) {
                check(!subscribers.empty());
                for (const auto& subscriber : subscribers) {
                    ++pairs[subscriber.first.connection];
                }
            }
        }
        for (const auto& [conn, count] : pairs) {
            check(conn != kUdp);
            check(count <= bounds.subscriptions);
            check(count == _values->ValueSubscriptionCount(conn));
        }
        // The subscribers behind one connection share its bounds.
        std::map<void*, std::size_t> targets;
        for (const auto& [key, records] : _values->Polled()) {
            check(key.connection != kUdp);
            check(!records.empty());
            for (const auto& [name, record] : records) {
                check(!record.targets.empty());
                check(record.targets.size() <= bounds.entries);
                targets[key.connection] += record.targets.size();
            }
        }
        for (const auto& [conn, count] : targets) {
            check(count <= bounds.subscriptions);
        }
        std::map<void*, std::size_t> logs;
        for (const auto& [key, subscriber] : _values->LogSubscribers()) {
            check(key.connection != kUdp);
            check(subscriber.priority < 5);
            ++logs[key.connection];
        }
        for (const auto& [conn, count] : logs) {
            check(count <= bounds.subscriptions);
        }
        const auto& model = _events->Model();
        check(!model.HasRecord(kUdp));
        if (!eventNames) {
            return;
        }
        std::map<void*, std::size_t> names;
        std::vector<Zelkor::SubscriberKey> subscribers;
        for (const auto& name : _eventNames) {
            subscribers.clear();
            model.GetSubscribers(name, subscribers);
            for (const auto& subscriber : subscribers) {
                ++names[subscriber.connection];
            }
        }
        for (const auto& [conn, count] : names) {
            check(conn != kUdp);
            check(count <= bounds.subscriptions);
        }
    }

    CheckingSender _sender;
    std::shared_ptr<Zelkor::SubscriptionService> _values;
    std::shared_ptr<Zelkor::EventSubscriptionService> _events;
    std::set<std::string> _eventNames;
    std::set<std::string> _registered;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    ZelkorFuzz::TurnEntropicOff(argc, argv);
    // Refusals are logged; keep the formatting but not the console.
    ZelkorLog::TheLog().RegisterExternalLogger([](std::string&) {});
    ZelkorFuzz::BuildInWorkFolder([] {
        buildStorage();
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Zelkor::SetMaxSubscriptionsPerConnection(kSubscriptions);
    Zelkor::SetMaxEntriesPerMessage(kEntries);
    highest() = Bounds();
    const std::string input(reinterpret_cast<const char*>(data), size);
    Run run;
    ZelkorFuzz::ForEachLine(input, [&run](const std::string& line) { run.Do(stepOf(line)); });
    run.Finish();
    return 0;
}
