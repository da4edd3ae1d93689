// The subscription, poll, log, event and publishers messages on the wire, without I/O:
// what each word writes, what its reader takes and refuses (with the texts peers see),
// the entry bound on every list a peer sends, and the list router keeping a routed
// message's routing header.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "core/JsonText.h"
#include "core/MessageSignalData.h"
#include "driver/CommandTable.h"
#include "driver/StandInMessage.h"
#include "services/EventMessages.h"
#include "services/ListCommand.h"
#include "services/ListCommandDiscovered.h"
#include "services/ListCommandRouter.h"
#include "services/ListPublishers.h"
#include "services/LogMessages.h"
#include "services/SubscribePollWorker.h"
#include "services/ValueSubscriptionMessages.h"
#include "storage/RequestBound.h"
#include "support/LogCapture.h"

namespace ZelkorTest {
namespace {

using Zelkor::Message;
using Zelkor::Param;

struct BoundGuard {
    explicit BoundGuard(std::size_t count) { Zelkor::SetMaxEntriesPerMessage(count); }
    ~BoundGuard() { Zelkor::SetMaxEntriesPerMessage(Zelkor::kDefaultMaxEntriesPerMessage); }
};

std::string Text(const Message& message, Param p) {
    const char* text = message.GetParameter(p);
    return text ? text : "-";
}

std::string Json(const Json::Value& value) { return value.isNull() ? "-" : Zelkor::WriteCompactJson(value); }

// Reads `body` after the word (with "@" for a reply); the error text, "" on success.
std::string Read(Message& message, bool request, const std::string& body) {
    std::string line = std::string(request ? "" : "@") + message.CommandName();
    if (!body.empty()) {
        line += " " + body;
    }
    std::string error;
    const bool ok = message.FromNetworkFormat(request, line, error);
    return ok ? "" : (error.empty() ? "?" : error);
}

TEST(SubscriptionMessages, TheTwelveWordsMakeTheirOwnMessages) {
    const std::vector<std::pair<const char*, const std::type_info*>> words = {
        {"event", &typeid(Zelkor::EventCommand)},
        {"log", &typeid(Zelkor::LogRow)},
        {"poll", &typeid(Zelkor::PollSubscription)},
        {"publish", &typeid(Zelkor::MultiPublishValue)},
        {"sublog", &typeid(Zelkor::SubLog)},
        {"subscribe", &typeid(Zelkor::Subscribe)},
        {"subscribeevent", &typeid(Zelkor::SubscribeEvent)},
        {"subscribepoll", &typeid(Zelkor::SubscribePoll)},
        {"unsublog", &typeid(Zelkor::UnsubLog)},
        {"unsubscribe", &typeid(Zelkor::Unsubscribe)},
        {"unsubscribeevent", &typeid(Zelkor::UnsubscribeEvent)},
        {"unsubscribepoll", &typeid(Zelkor::UnsubscribePoll)},
    };
    for (const auto& [word, type] : words) {
        const auto made = Zelkor::LookupCommand(word)();
        const auto again = made->Instantiate();
        const Message& message = *made;
        const Message& instance = *again;
        EXPECT_EQ(typeid(message), *type) << word;
        EXPECT_EQ(typeid(instance), *type) << word;
    }
    EXPECT_EQ(Zelkor::_factoryMap.size(), 42u);
    // A publish built for a reply, like every entry of it, keeps the flag.
    const auto publish = Zelkor::CreatePublish();
    EXPECT_TRUE(static_cast<Zelkor::MultiPublishValue&>(*publish).GetFlag());
    EXPECT_TRUE(static_cast<Zelkor::MultiPublishValue&>(*publish).Factory()->GetFlag());
}

// What travels in each direction: subscribe asks by path and is answered with values,
// unsubscribe never carries values, publish carries values only as a request.
TEST(SubscriptionMessages, ValueWordsWriteAndReadByDirection) {
    const auto fill = [](Zelkor::MultiSetGetWorker& message) {
        message.AddValue("/a/b", "12", "number", nullptr, false);
        message.AddValue("/a/c", nullptr, nullptr, "Invalid Path", false);
    };
    struct Row {
        std::unique_ptr<Message> message;
        bool markedReply;
        const char* request;
        const char* reply;
    };
    Row rows[] = {
        {Zelkor::CreateSubscribe(), false, R"(subscribe [{"format":"number","path":"/a/b"},{"error":"Invalid Path","path":"/a/c"}])",
         R"(@subscribe [{"format":"number","path":"/a/b","value":12},{"error":"Invalid Path","path":"/a/c"}])"},
        {Zelkor::CreateUnsubscribe(), false, R"(unsubscribe [{"format":"number","path":"/a/b"},{"error":"Invalid Path","path":"/a/c"}])",
         R"(@unsubscribe [{"format":"number","path":"/a/b"},{"error":"Invalid Path","path":"/a/c"}])"},
        {Zelkor::CreatePublish(), false, R"(publish [{"format":"number","path":"/a/b","value":12},{"error":"Invalid Path","path":"/a/c"}])",
         R"(@publish [{"format":"number","path":"/a/b","value":12},{"error":"Invalid Path","path":"/a/c"}])"},
        // A received publish reply is paths only, whichever way a router writes it.
        {Zelkor::CreatePublish(), true, R"(publish [{"format":"number","path":"/a/b"},{"error":"Invalid Path","path":"/a/c"}])",
         R"(@publish [{"format":"number","path":"/a/b"},{"error":"Invalid Path","path":"/a/c"}])"},
    };
    for (auto& row : rows) {
        auto& message = static_cast<Zelkor::MultiSetGetWorker&>(*row.message);
        fill(message);
        message.SetIsReply(row.markedReply);
        EXPECT_EQ(message.ToNetworkFormat(true), row.request);
        EXPECT_EQ(message.ToNetworkFormat(false), row.reply);
    }

    struct ReadRow {
        std::unique_ptr<Message> (*create)();
        bool request;
        const char* body;
        const char* error;
        std::size_t entries;
    };
    const ReadRow reads[] = {
        {Zelkor::CreateSubscribe, true, "", "Path required", 0},
        {Zelkor::CreateSubscribe, false, "", "", 0},
        {Zelkor::CreateSubscribe, true, R"([{"format":"number"}])", "Path is required if no error", 0},
        {Zelkor::CreateSubscribe, true, R"({"path":"/a","error":"x"})", "Request contained an error parameter", 0},
        {Zelkor::CreateSubscribe, false, R"([{"path":"/a","value":1},{"path":"/b","error":"Invalid Path"}])", "", 2},
        // The bare word asks to drop every subscription of the connection.
        {Zelkor::CreateUnsubscribe, true, "", "", 0},
        {Zelkor::CreateUnsubscribe, true, R"([{"format":"number"},{"path":"/a"}])", "", 2},
        {Zelkor::CreatePublish, true, "", "Path required", 0},
        {Zelkor::CreatePublish, true, R"({"path":"/a","value":{"b":1,"c":2}})", "", 2},
        {Zelkor::CreatePublish, false, "", "", 0},
        {Zelkor::CreatePublish, false, R"({"format":"number"})", "", 1},
    };
    for (const auto& row : reads) {
        auto message = row.create();
        EXPECT_EQ(Read(*message, row.request, row.body), row.error) << message->CommandName() << " " << row.body;
        EXPECT_EQ(static_cast<Zelkor::MultiSetGetWorker&>(*message).EntryCount(), row.entries) << row.body;
    }

    // A peer's list stops at the entry bound.
    BoundGuard bound(2);
    auto subscribe = Zelkor::CreateSubscribe();
    EXPECT_EQ(Read(*subscribe, true, R"([{"path":"/a"},{"path":"/b"},{"path":"/c"}])"), Zelkor::kTooManyEntries);
    EXPECT_EQ(static_cast<Zelkor::MultiSetGetWorker&>(*subscribe).EntryCount(), 2u);
}

TEST(SubscriptionMessages, PollReadersTakeAndRefuseAsPeersRelyOn) {
    struct Row {
        std::unique_ptr<Message> (*create)();
        bool request;
        const char* body;
        const char* error;  // "" for success
        const char* name;
        const char* format;
        const char* targets;
        const char* targetValues;
    };
    const Row rows[] = {
        {Zelkor::CreateSubscribePoll, true, R"({"name":"p","targets":["/a","/b"]})", "", "p", "variant", R"(["/a","/b"])",
         R"(["/a","/b"])"},
        {Zelkor::CreateSubscribePoll, true, R"({"name":"p"})", "required targets parameter is missing", "p", "variant",
         "-", "-"},
        {Zelkor::CreateSubscribePoll, true, R"({"targets":["/a"]})", "required name parameter is missing", "-", "-", "-",
         "-"},
        {Zelkor::CreateSubscribePoll, true, R"({"name":"p","targets":"/a"})", "targets must be an arry", "p", "variant",
         "-", "-"},
        {Zelkor::CreateSubscribePoll, true, R"({"name":"p","format":"default","targets":[]})", "", "p", "variant", "[]",
         "[]"},
        {Zelkor::CreateSubscribePoll, true, R"({"name":"p","format":"float","targets":[]})", "format value is unknown",
         "p", "-", "-", "-"},
        {Zelkor::CreateSubscribePoll, true, R"({"name":"p","format":3,"targets":[]})", "format is not a string", "p", "-",
         "-", "-"},
        {Zelkor::CreateSubscribePoll, true, R"({"name":"","targets":[]})", "name string is empty", "-", "-", "-", "-"},
        {Zelkor::CreateSubscribePoll, true, R"({"name":5,"targets":[]})", "name is not a string", "-", "-", "-", "-"},
        {Zelkor::CreateSubscribePoll, false, R"({"format":"number","targets":[{"path":"/a","value":1}]})", "", "-",
         "number", R"([{"path":"/a","value":1}])", R"([{"path":"/a","value":1}])"},
        {Zelkor::CreateSubscribePoll, false, R"({"name":"p","targets":5})", "targets must be an arry or an object", "p",
         "variant", "-", "-"},
        {Zelkor::CreateSubscribePoll, false, R"({"error":"No subscribable targets"})", "", "-", "variant", "-", "-"},
        {Zelkor::CreatePollSubscription, true, "{}", "required name parameter is missing", "-", "-", "-", "-"},
        {Zelkor::CreatePollSubscription, true, R"({"name":"p","targets":["x"]})", "", "p", "variant", "-", "-"},
        {Zelkor::CreatePollSubscription, false, R"({"name":"p","targets":5})", "", "p", "variant", "5", "5"},
        {Zelkor::CreatePollSubscription, false, R"({"name":"p","format":"string","targets":["1",""]})", "", "p",
         "string", R"(["1",""])", R"(["1",""])"},
        {Zelkor::CreatePollSubscription, false, R"({"name":"p"})", "required targets parameter is missing", "p",
         "variant", "-", "-"},
        {Zelkor::CreatePollSubscription, false, R"({"name":"p","targets":null})",
         "required targets parameter is missing", "p", "variant", "-", "-"},
        {Zelkor::CreatePollSubscription, false, R"({"error":"Polled Subscription Not Found"})", "", "-", "variant", "-",
         "-"},
        {Zelkor::CreateUnsubscribePoll, true, "", "", "-", "-", "-", "-"},
        {Zelkor::CreateUnsubscribePoll, false, R"({"targets":[1]})", "", "-", "-", "-", "-"},
        {Zelkor::CreateUnsubscribePoll, true, "{", "Error while parsing json", "-", "-", "-", "-"},
    };
    for (const auto& row : rows) {
        auto message = row.create();
        auto& poll = static_cast<Zelkor::SubscribePollWorker&>(*message);
        const std::string label = std::string(message->CommandName()) + " " + row.body;
        EXPECT_EQ(Read(*message, row.request, row.body), row.error) << label;
        EXPECT_EQ(Text(*message, Param::name), row.name) << label;
        EXPECT_EQ(Text(*message, Param::format), row.format) << label;
        EXPECT_EQ(Json(poll.GetTargets()), row.targets) << label;
        Json::Value values;
        poll.GetTargetValues(values);
        EXPECT_EQ(Json(values), row.targetValues) << label;
    }

    // Each refusal is logged with its code, the word and the direction; an "error" member
    // is taken in a request too, with a warning.
    LogCapture log;
    auto subscribe = Zelkor::CreateSubscribePoll();
    Read(*subscribe, true, R"({"name":"p"})");
    EXPECT_TRUE(log.Contains("PSUB ZK5410E subscribepoll request required targets parameter is missing"));
    auto poll = Zelkor::CreatePollSubscription();
    EXPECT_EQ(Read(*poll, true, R"({"name":"p","error":7})"), "");
    EXPECT_EQ(Text(*poll, Param::error), "7");
    EXPECT_TRUE(log.Contains("ZK5401W poll request error param is not a string"));
    EXPECT_TRUE(log.Contains("ZK5403W poll request should not contain an error param"));
    // A body that is no JSON is refused with the parser's text, an unreadable header
    // without one.
    std::string error;
    EXPECT_FALSE(Zelkor::PollSubscription().FromNetworkFormat(false, "@poll {\"name\":", error));
    EXPECT_EQ(error, "Error while parsing json");
    error.clear();
    EXPECT_FALSE(Zelkor::PollSubscription().FromNetworkFormat(false, "[ctl @poll {}", error));
    EXPECT_EQ(error, "JSON parse failed");
    EXPECT_TRUE(log.Contains("ZK5400E poll reply JSON parse failed"));

    BoundGuard bound(2);
    auto many = Zelkor::CreateSubscribePoll();
    EXPECT_EQ(Read(*many, true, R"({"name":"p","targets":["/a","/b","/c"]})"), Zelkor::kTooManyEntries);
    EXPECT_EQ(Json(static_cast<Zelkor::SubscribePollWorker&>(*many).GetTargets()), R"(["/a","/b"])");
    EXPECT_TRUE(log.Contains("ZK5412E subscribepoll request Too many entries"));
    EXPECT_FALSE(static_cast<Zelkor::SubscribePollWorker&>(*many).AddTarget(Json::Value("/c")));
}

TEST(SubscriptionMessages, PollWritersCarryTargetsByWord) {
    Zelkor::MessageForwardInfo routed;
    routed.SetTargetPaths("ctl");
    routed.SetSourcePaths("dev");

    Zelkor::SubscribePoll subscribe;
    subscribe.SetParameter(Param::name, "p");
    subscribe.AddTarget(std::vector<std::string>{"/a", "/b"});
    EXPECT_EQ(subscribe.Build(true), R"(subscribepoll {"name":"p","targets":["/a","/b"]})" "\n");
    // A reply carries the accepted entries rather than the asked paths.
    subscribe.SetParameter(Param::format, "number");
    subscribe.AddTargetValues(Json::Value("/a"));
    EXPECT_EQ(subscribe.Build(false), R"(@subscribepoll {"format":"number","name":"p","targets":["/a"]})" "\n");
    subscribe.SetParameter(Param::error, "No subscribable targets");
    subscribe.SetMessageForwardInfo(routed);
    EXPECT_EQ(subscribe.Build(false), R"([ctl][dev] @subscribepoll {"error":"No subscribable targets"})" "\n");

    Zelkor::UnsubscribePoll unsubscribe;
    EXPECT_EQ(unsubscribe.Build(true), "unsubscribepoll\n");
    unsubscribe.SetMessageForwardInfo(routed);
    EXPECT_EQ(unsubscribe.Build(false), "[ctl][dev] @unsubscribepoll\n");

    // A received poll reply keeps its values when a router writes it on; other received
    // replies drop their targets.
    Zelkor::PollSubscription poll;
    std::string error;
    ASSERT_TRUE(poll.FromNetworkFormat(false, R"(@poll {"name":"p","targets":["1",""]})", error));
    poll.SetIsReply(true);
    EXPECT_EQ(poll.Build(false), R"(@poll {"format":"variant","name":"p","targets":["1",""]})" "\n");
    Zelkor::UnsubscribePoll marked;
    marked.AddTarget(Json::Value("/a"));
    EXPECT_EQ(marked.Build(true), R"(unsubscribepoll {"targets":["/a"]})" "\n");
    marked.SetIsReply(true);
    EXPECT_EQ(marked.Build(true), "unsubscribepoll\n");
}

TEST(SubscriptionMessages, LogWordsKeepTheirBodies) {
    Zelkor::LogRow row;
    LOGROW values;
    values.seqno = 7;
    values.time = -1;
    values.priority = 2;
    values.category = "net";
    values.event = "up";
    row.SetRow(values);
    EXPECT_EQ(row.Build(true),
              R"(log {"category":"net","event":"up","priority":"2","seqno":"7","time":"-1"})" "\n");
    // The reply is "{}" whatever the row holds; a request missing a value is not sent.
    EXPECT_EQ(row.Build(false), "@log {}\n");
    row.SetParameter(Param::event, nullptr);
    EXPECT_EQ(row.Build(true), "");

    struct Row {
        bool request;
        const char* body;
        const char* error;
    };
    const Row reads[] = {
        {true, R"({"seqno":7,"time":-1,"priority":2,"category":"net","event":"up"})", ""},
        {true, R"({"time":1,"priority":2,"category":"c","event":"e"})", "Seqno is required."},
        {true, R"({"seqno":null,"priority":2})", "Seqno is required."},
        {true, R"({"seqno":1,"priority":2,"category":"c","event":"e"})", "Time is required."},
        {true, R"({"seqno":1,"time":1,"category":"c","event":"e"})", "Priority is required."},
        {true, R"({"seqno":1,"time":1,"priority":2,"event":"e"})", "Category is required."},
        {true, R"({"seqno":1,"time":1,"priority":2,"category":"c"})", "Event is required."},
        {false, "{}", ""},
        {false, "", ""},
    };
    for (const auto& read : reads) {
        Zelkor::LogRow message;
        EXPECT_EQ(Read(message, read.request, read.body), read.error) << read.body;
    }
    Zelkor::LogRow received;
    ASSERT_EQ(Read(received, true, R"({"seqno":7,"time":-1,"priority":2,"category":"net","event":{"a":1}})"), "");
    const LOGROW got = received.GetRow();
    EXPECT_EQ(got.seqno, 7u);
    EXPECT_EQ(got.time, -1);
    EXPECT_EQ(got.priority, 2u);
    EXPECT_EQ(got.event, R"({"a":1})");
    // A number that does not read is 0.
    received.SetParameter(Param::priority, "high");
    EXPECT_EQ(received.GetRow().priority, 0u);

    Zelkor::SubLog sublog;
    EXPECT_EQ(sublog.Build(true), "sublog {}\n");
    sublog.SetParameter(Param::mark, "-5");
    sublog.SetParameter(Param::priority, "2");
    EXPECT_EQ(sublog.Build(true), R"(sublog {"mark":-5,"priority":2})" "\n");
    Zelkor::SubLog readBack;
    ASSERT_EQ(Read(readBack, true, R"({"mark":-9223372036854775808,"priority":4})"), "");
    EXPECT_EQ(Text(readBack, Param::mark), "-9223372036854775808");
    EXPECT_EQ(readBack.Build(true), R"(sublog {"mark":-9223372036854775808,"priority":4})" "\n");
    Zelkor::SubLog refused;
    refused.SetParameter(Param::error, "Invalid priority");
    EXPECT_EQ(refused.Build(false), R"(@sublog {"error":"Invalid priority"})" "\n");
    EXPECT_EQ(Zelkor::UnsubLog().Build(false), "@unsublog\n");
}

TEST(SubscriptionMessages, EventsInThreeFormsAndAsAReply) {
    struct Row {
        void (*fill)(Zelkor::EventCommand&);
        const char* request;
        const char* reply;
    };
    const Row rows[] = {
        {[](Zelkor::EventCommand& e) { e.SetParameter(Param::value, "on"); }, R"(event {"path":"/a","value":"on"})",
         R"(@event {"path":"/a","value":"on"})"},
        {[](Zelkor::EventCommand& e) { e.AddParameter("k", "v");
             e.AddParameter("n", ""); },
         R"(event {"arguments":{"k":"v","n":""},"path":"/a"})", R"(@event {"path":"/a"})"},
        {[](Zelkor::EventCommand& e) { e.AddParameter("x");
             e.AddParameter("y"); },
         R"(event {"arguments":["x","y"],"path":"/a"})", R"(@event {"path":"/a"})"},
        {[](Zelkor::EventCommand&) {}, R"(event {"path":"/a"})", R"(@event {"path":"/a"})"},
    };
    for (const auto& row : rows) {
        Zelkor::EventCommand event;
        event.SetParameter(Param::path, "/a");
        row.fill(event);
        EXPECT_EQ(event.ToNetworkFormat(true), row.request);
        EXPECT_EQ(event.ToNetworkFormat(false), row.reply);
        // What the subscriber reads is what was raised.
        Zelkor::EventCommand received;
        ASSERT_EQ(Read(received, true, std::string(row.request).substr(6)), "") << row.request;
        EXPECT_EQ(received.ToNetworkFormat(true), row.request);
    }
    Zelkor::EventCommand nameless;
    nameless.SetParameter(Param::value, "v");
    EXPECT_EQ(nameless.Build(true), "");
    EXPECT_EQ(Zelkor::EventCommand().Build(false), "@event {}\n");
    nameless.SetParameter(Param::path, "");
    EXPECT_EQ(nameless.Build(true), "");

    Zelkor::EventCommand read;
    EXPECT_EQ(Read(read, true, R"({"path":"","value":"v"})"), "Name is required");
    EXPECT_EQ(Read(read, true, R"({"path":5})"), "Name is required");
    Zelkor::EventCommand reply;
    EXPECT_EQ(Read(reply, false, R"({"value":""})"), "");
    EXPECT_EQ(reply.Build(false), "@event {}\n");
    Zelkor::EventCommand mapped;
    ASSERT_EQ(Read(mapped, true, R"({"path":"/a","arguments":{"k":1}})"), "");
    EXPECT_EQ(mapped.GetNamedParms().at("k"), "1");

    BoundGuard bound(2);
    Zelkor::EventCommand many;
    EXPECT_EQ(Read(many, true, R"({"path":"/a","arguments":["1","2","3"]})"), Zelkor::kTooManyEntries);
    EXPECT_TRUE(many.GetOrderedParms().empty());

    // The subscription words: the bare word subscribes to every event.
    Zelkor::SubscribeEvent all;
    EXPECT_EQ(all.Build(true), "subscribeevent\n");
    ASSERT_EQ(Read(all, false, R"({"path":"/a","error":"SubscribeEvent failed."})"), "");
    EXPECT_EQ(all.Build(false), R"(@subscribeevent {"error":"SubscribeEvent failed.","path":"/a"})" "\n");
    Zelkor::UnsubscribeEvent unsubscribe;
    ASSERT_EQ(Read(unsubscribe, true, R"({"path":"/a/b"})"), "");
    EXPECT_EQ(unsubscribe.Build(false), R"(@unsubscribeevent {"path":"/a/b"})" "\n");
}

TEST(SubscriptionMessages, PublishersListsWriteAndReadTheirTable) {
    Zelkor::ListPublishers list;
    EXPECT_TRUE(list.AddPublisher("/a", "number"));
    EXPECT_TRUE(list.AddPublisher("/a", "string"));
    EXPECT_TRUE(list.AddPublisher("/b", ""));
    EXPECT_TRUE(list.AddPublisher("/c", nullptr));
    EXPECT_FALSE(list.AddPublisher(nullptr, "number"));
    EXPECT_EQ(list.Build(false), R"(@list {"/a":["number","string"],"/b":"variant","/c":"variant","command":"publishers"})" "\n");
    EXPECT_EQ(Zelkor::ListPublishers().Build(true), R"(list {"command":"publishers"})" "\n");

    struct Row {
        const char* body;
        const char* error;
        const char* table;  // path=format,format;...
    };
    const Row rows[] = {
        {R"({"command":"publishers","/a":["number","string"],"/b":"string","/c":null,"/d":[],"/e":5})", "",
         "/a=number,string;/b=string;/c=variant;/d=;/e=5;"},
        {R"({"command":"publishers"})", "", ""},
        {R"({"command":"Publishers","/a":"x"})", "Missing list command name: publishers", ""},
        {R"({"/a":"x"})", "Missing list command name: publishers", ""},
        {R"({"command":"publishers","/a":[1,{"x":2}]})", "", R"(/a=1,{"x":2};)"},
    };
    for (const auto& row : rows) {
        Zelkor::ListPublishers read;
        EXPECT_EQ(Read(read, false, row.body), row.error) << row.body;
        std::string table;
        for (const auto& [path, formats] : read.GetPublishers()) {
            table += path + "=";
            for (std::size_t i = 0; i < formats.size(); ++i) {
                table += (i ? "," : "") + formats[i];
            }
            table += ";";
        }
        EXPECT_EQ(table, row.table) << row.body;
    }
    // A path read without formats is written as "variant".
    Zelkor::ListPublishers none;
    ASSERT_EQ(Read(none, false, R"({"command":"publishers","/d":[]})"), "");
    EXPECT_EQ(none.Build(false), R"(@list {"/d":"variant","command":"publishers"})" "\n");

    // The bound counts each format, and a path without any as one.
    BoundGuard bound(3);
    Zelkor::ListPublishers many;
    EXPECT_EQ(Read(many, false, R"({"command":"publishers","/a":["1","2"],"/b":[],"/c":"x"})"), Zelkor::kTooManyEntries);
    EXPECT_EQ(many.EntryCount(), 3u);
    EXPECT_EQ(many.GetPublishers().size(), 2u);
    EXPECT_TRUE(many.AddPublisher("/b", "number"));
    EXPECT_FALSE(many.AddPublisher("/c", "number"));
    Zelkor::ListPublishers wide;
    EXPECT_EQ(Read(wide, false, R"({"command":"publishers","/a":["1","2","3","4"]})"), Zelkor::kTooManyEntries);
    EXPECT_TRUE(wide.GetPublishers().empty());
}

// The router hands a routed list on with the routing header it came with, hash
// included: a device behind a router answers along the way the request came.
TEST(SubscriptionMessages, RouterKeepsTheRoutingHeaderOfEveryOption) {
    struct Recorder : Zelkor::ISignalObserver<Zelkor::MessageSignalData> {
        void SignalRaised(Zelkor::MessageSignalData& data) override {
            const Message* message = data.GetMessage();
            ASSERT_NE(message, nullptr);
            seen.push_back({typeid(*message).name(), message->GetIsReply(), message->GetMessageForwardInfo()});
            if (const auto* list = dynamic_cast<const Zelkor::ListPublishers*>(message)) {
                paths += list->GetPublishers().size();
            }
        }
        struct Seen {
            std::string type;
            bool reply;
            Zelkor::MessageForwardInfo header;
        };
        std::vector<Seen> seen;
        std::size_t paths = 0;
    } recorder;
    Zelkor::ListCommandRouter router(nullptr);
    router.AddRoute("discovered", &recorder);
    router.AddRoute("publishers", &recorder);

    const char* const lines[] = {
        R"(5-ab12 [dev][ctl&rtr] list {"command":"publishers"})",
        R"(6-ab12 [dev][ctl&rtr] @list {"command":"publishers","/a":"number"})",
        R"(7-ab12 [dev][ctl&rtr] list {"command":"discovered"})",
        R"(8-ab12 [dev][ctl&rtr] @list {"endpoints":[{"name":"x"}]})",
    };
    for (const std::string line : lines) {
        // As the driver hands a message on: parsed with the header of its line.
        Zelkor::MessageForwardInfo header;
        ASSERT_FALSE(header.PullHeader(line).empty()) << line;
        auto list = Zelkor::CreateListCommand();
        std::string error;
        ASSERT_TRUE(list->FromReceived(!header.isReply, header.CommandText() + " " + std::string(header.JsonText()), header, error))
            << line << ": " << error;
        list->SetMessageForwardInfo(header);
        list->SetIsReply(header.isReply);
        Zelkor::MessageSignalData data(nullptr, nullptr, true, std::move(list));
        router.SignalRaised(data);
    }
    ASSERT_EQ(recorder.seen.size(), 4u);
    for (std::size_t i = 0; i < recorder.seen.size(); ++i) {
        const auto& seen = recorder.seen[i];
        EXPECT_EQ(seen.type, i < 2 ? typeid(Zelkor::ListPublishers).name() : typeid(Zelkor::ListCommandDiscovered).name());
        EXPECT_EQ(seen.reply, i % 2 == 1);
        EXPECT_EQ(seen.header.TargetList(), std::vector<std::string>{"dev"}) << i;
        EXPECT_EQ(seen.header.SourceList(), (std::vector<std::string>{"ctl", "rtr"})) << i;
        EXPECT_EQ(seen.header.HashText(), std::to_string(5 + i) + "-ab12") << i;
    }
    EXPECT_EQ(recorder.paths, 1u);
}

}  // namespace
}  // namespace ZelkorTest
