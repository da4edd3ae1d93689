// Arbitrary bytes as the bodies of the subscription words, requests and replies:
// "subscribe", "unsubscribe", "publish", "subscribepoll", "unsubscribepoll", "poll",
// "log", "sublog", "unsublog", "event" and "subscribeevent", each read both as a caller
// hands a line to its reader and as the receive road does (header parsed once, body
// taken from it); and as the body of a "list" reply through the list router to the
// "publishers" list. Whatever a reader holds stays within the entry bound, a built line
// is empty or one line, and what was accepted is written, read back and written again to
// the same line.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "core/ZelkorLog.h"
#include "services/EventMessages.h"
#include "services/ListCommand.h"
#include "services/ListCommandRouter.h"
#include "services/ListPublishers.h"
#include "services/LogMessages.h"
#include "services/SubscribePollWorker.h"
#include "services/ValueSubscriptionMessages.h"
#include "storage/RequestBound.h"

namespace {

using Zelkor::Message;

// Small enough for fuzz inputs to reach.
constexpr std::size_t kBound = 16;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void checkLine(const std::string& line) { check(line.empty() || line.find('\n') == line.size() - 1); }

// Elements a list held as JSON may carry: an array's elements; anything else is one.
std::size_t elements(const Json::Value& value) { return value.isArray() ? value.size() : 1; }

void checkBound(const Message& message) {
    if (const auto* values = dynamic_cast<const Zelkor::MultiSetGetWorker*>(&message)) {
        check(values->EntryCount() <= kBound);
        std::size_t held = 0;
        for (const auto& [key, entries] : values->GetValues()) {
            held += entries.size();
        }
        check(held == values->EntryCount());
    }
    if (const auto* poll = dynamic_cast<const Zelkor::SubscribePollWorker*>(&message)) {
        check(elements(poll->GetTargets()) <= kBound);
        check(elements(poll->TargetValues()) <= kBound);
    }
    if (const auto* list = dynamic_cast<const Zelkor::ListPublishers*>(&message)) {
        check(list->EntryCount() <= kBound);
        std::size_t held = 0;
        for (const auto& [path, formats] : list->GetPublishers()) {
            held += formats.empty() ? 1 : formats.size();
        }
        check(held == list->EntryCount());
    }
    check(message.GetNamedParms().size() <= kBound);
    check(message.GetOrderedParms().size() <= kBound);
}

// An accepted message is written; that line reads back and is written again unchanged.
void roundTrip(const Message& message, bool request) {
    checkLine(message.Build(!request));
    const std::string written = message.Build(request);
    checkLine(written);
    // A request that carries an error is written as that error alone, which is no request.
    if (written.empty() || (request && message.GetParameter(Zelkor::Param::error))) {
        return;
    }
    auto again = message.Instantiate();
    again->SetIsReply(message.GetIsReply());
    std::string error;
    check(again->FromNetworkFormat(request, written.substr(0, written.size() - 1), error));
    checkBound(*again);
    check(again->Build(request) == written);
}

// `make` gives a new empty message of the word's class.
void exercise(std::unique_ptr<Message> (*make)(), const std::string& bytes, bool roundTrips) {
    for (const bool request : {true, false}) {
        const std::string line = std::string(request ? "" : "@") + make()->CommandName() + " " + bytes;

        auto direct = make();
        std::string error;
        const bool accepted = direct->FromNetworkFormat(request, line, error);
        checkBound(*direct);
        if (accepted && roundTrips) {
            roundTrip(*direct, request);
        }

        // As the receive road reads it: the header parsed once, its body handed over.
        Zelkor::MessageForwardInfo header;
        if (header.PullHeader(line).empty()) {
            continue;
        }
        const std::string received = std::string(header.isReply ? "@" : "") + header.GetCommand() + " " +
                                     std::string(header.JsonText());
        auto road = make();
        error.clear();
        const bool took = road->FromReceived(request, received, header, error);
        checkBound(*road);
        check(took == accepted);
        if (took) {
            road->SetMessageForwardInfo(header);
            checkLine(road->Build(request));
            checkLine(road->Build(!request));
        }
    }
}

struct Recorder : Zelkor::ISignalObserver<Zelkor::MessageSignalData> {
    void SignalRaised(Zelkor::MessageSignalData& data) override {
        const Message* message = data.GetMessage();
        check(message != nullptr && dynamic_cast<const Zelkor::ListPublishers*>(message) != nullptr);
        check(message->GetIsReply());
        checkBound(*message);
        checkLine(message->Build(false));
    }
};

// A "list" reply whose body is the bytes, read as the driver reads it and routed.
void publishersReply(const std::string& bytes) {
    const std::string line = "@list " + bytes;
    Zelkor::MessageForwardInfo header;
    if (header.PullHeader(line).empty()) {
        return;
    }
    const std::string received = "@" + header.GetCommand() + " " + std::string(header.JsonText());
    auto list = Zelkor::CreateListCommand();
    std::string error;
    if (!list->FromReceived(false, received, header, error)) {
        return;
    }
    list->SetMessageForwardInfo(header);
    list->SetIsReply(true);
    list->SetRawText(received);
    Recorder recorder;
    Zelkor::ListCommandRouter router(nullptr);
    router.AddRoute(Zelkor::ListPublishers::Option, &recorder);
    Zelkor::MessageSignalData data(nullptr, nullptr, true, std::move(list));
    router.SignalRaised(data);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Refusals are logged; keep the formatting but not the console.
    ZelkorLog::TheLog().RegisterExternalLogger([](std::string&) {});
    Zelkor::SetMaxEntriesPerMessage(kBound);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    // The multi-value body has a target of its own; here only its bound and lines.
    exercise(Zelkor::CreateSubscribe, bytes, false);
    exercise(Zelkor::CreateUnsubscribe, bytes, false);
    exercise(Zelkor::CreatePublish, bytes, false);
    exercise(Zelkor::CreateSubscribePoll, bytes, true);
    exercise(Zelkor::CreateUnsubscribePoll, bytes, true);
    exercise(Zelkor::CreatePollSubscription, bytes, true);
    exercise(Zelkor::CreateLogRow, bytes, true);
    exercise(Zelkor::CreateSubLog, bytes, true);
    exercise(Zelkor::CreateUnsubLog, bytes, true);
    exercise(Zelkor::CreateEventCommand, bytes, true);
    exercise(Zelkor::CreateSubscribeEvent, bytes, true);
    exercise(Zelkor::CreateListPublishers, bytes, true);
    publishersReply(bytes);
    return 0;
}
