// Value subscriptions on a device: what a subscribe stores and answers, what a change
// publishes to whom, and when subscriptions go.

#include "services/SubscriptionServiceTestSupport.h"

#include <algorithm>
#include <climits>

#include "services/ListPublishers.h"
#include "storage/RequestBound.h"
#include "storage/SubscriptionBound.h"
#include "support/LogCapture.h"

namespace ZelkorTest {
namespace {

using Zelkor::SubscriptionService;

bool Has(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

const char* const kSubscribeGain = R"([dev][ctl] subscribe {"path":"/audio/gain"})";

// Named directly, a parameter is kept unless the path or format is wrong; as a member of
// a subscribed folder only when it reads as read-only or read-write.
TEST_F(SubscriptionServiceTest, FilterKeepsDirectNamesAndDropsFolderMembers) {
    struct Case {
        const char* path;
        const char* folder;   // subscribed as a member of this folder
        const char* error;    // in the folder's reply; "" when subscribed
    };
    const Case cases[] = {
        {"/configuration/device/authenticate", "/configuration/device", "Path Writeonly"},
        {"/configuration/device/serialnumber", "/configuration/device", "Path Constant"},
        {"/audio/level", "/audio", "Path No Subscribe"},
        {"/audio/limiter", "/audio", "Path Locked"},
        {"/audio/crossover", "/audio", ""},
        {"/configuration/device/name", "/configuration/device", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string direct = Answer(b, std::string(R"([dev][ctl] subscribe {"path":")") + c.path + R"("})");
        EXPECT_EQ(direct.find("error"), std::string::npos) << direct;
        EXPECT_TRUE(Has(Subscribed(b), std::string(c.path) + " variant"));

        const std::string reply = Answer(a, std::string(R"([dev][ctl] subscribe {"path":")") + c.folder + R"("})");
        const bool kept = *c.error == 0;
        EXPECT_EQ(Has(Subscribed(a), std::string(c.path) + " variant"), kept);
        if (!kept) {
            EXPECT_EQ(Entries(reply)[c.path], std::string("error:") + c.error) << reply;
        }
    }
}

// A dynamic parameter's attributes come with its value; the parameter alone is
// subscribed, and a change of an attribute publishes it.
TEST_F(SubscriptionServiceTest, DynamicParameterAnswersItsAttributes) {
    const std::string reply = Answer(a, R"([dev][ctl] subscribe {"path":"/audio/crossover"})");
    const auto entries = Entries(reply);
    EXPECT_EQ(entries.at("/audio/crossover/.max"), "20000") << reply;
    EXPECT_EQ(entries.at("/audio/crossover"), "80") << reply;
    EXPECT_EQ(Subscribed(a), std::vector<std::string>{"/audio/crossover variant"});

    const auto lines = Write("/audio/crossover/.max", Json::Value(300));
    EXPECT_EQ(lines, std::vector<std::string>{
                         R"([ctl][dev] publish {"format":"variant","path":"/audio/crossover","value":80})"});
}

TEST_F(SubscriptionServiceTest, PathWithoutRootPublishesFromTheRoot) {
    Answer(a, R"([dev][ctl] subscribe {"path":"audio/gain"})");
    EXPECT_EQ(Subscribed(a), std::vector<std::string>{"/audio/gain variant"});
    EXPECT_EQ(Write("/audio/gain", Json::Value(3)),
              std::vector<std::string>{R"([ctl][dev] publish {"format":"variant","path":"/audio/gain","value":3})"});
}

TEST_F(SubscriptionServiceTest, RepeatedSubscribeKeepsOneWithTheNewerHeaderAndFormatsShareOnePublish) {
    Answer(a, kSubscribeGain);
    Answer(a, R"([dev][ctl2] subscribe {"path":"/audio/gain"})");
    EXPECT_EQ(Subscribed(a), std::vector<std::string>{"/audio/gain variant"});
    EXPECT_EQ(service->ValueSubscriptionCount(a), 1u);

    Answer(a, R"([dev][ctl] subscribe {"path":"/audio/gain","format":"number"})");
    Answer(b, kSubscribeGain);
    const auto lines = Write("/audio/gain", Json::Value(-6));
    // One line per connection, ascending; the last format's header wins.
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], R"([ctl2][dev] publish [{"format":"number","path":"/audio/gain","value":-6},)"
                        R"({"format":"variant","path":"/audio/gain","value":-6}])");
    EXPECT_EQ(lines[1], R"([ctl][dev] publish {"format":"variant","path":"/audio/gain","value":-6})");
}

TEST_F(SubscriptionServiceTest, AttributeChangesPublishTheParameterOtherPathsOnlyTheDiscoveryReply) {
    Answer(a, kSubscribeGain);
    LogLevelGuard level(7);
    LogCapture log;
    const std::string gain = R"([ctl][dev] publish {"format":"variant","path":"/audio/gain","value":0})";
    for (const char* attribute : {"/audio/gain/.max", "/audio/gain/.flags/2"}) {
        const std::size_t before = sender.Count();
        service->ValueChanged(attribute, "variant", "1", nullptr, true);
        EXPECT_EQ(Since(before), std::vector<std::string>{gain}) << attribute;
    }
    EXPECT_TRUE(log.Contains("ZK6513I"));
    for (const char* other : {"/audio/gainx", "/audio/trim/2", "/audio/.max"}) {
        const std::size_t before = sender.Count();
        service->ValueChanged(other, "variant", "5", nullptr, true);
        EXPECT_TRUE(Since(before).empty()) << other;
    }
    EXPECT_TRUE(Write("/audio/trim", Json::Value(5)).empty());
    EXPECT_TRUE(Has(sender.DiscoValues(), "/audio/trim 5\n"));
}

// A subscriber that sends hashes must not take the next publish for a repeat of the
// subscribe; a publish without a value is refused by every reader.
TEST_F(SubscriptionServiceTest, PublishCarriesNoHashAndNeedsAValue) {
    Answer(a, R"(41-beef [dev][ctl] subscribe {"path":"/audio/gain"})");
    Answer(a, R"(42-beef [dev][ctl] subscribe {"path":"/audio/label"})");
    EXPECT_EQ(Write("/audio/gain", Json::Value(2)),
              std::vector<std::string>{R"([ctl][dev] publish {"format":"variant","path":"/audio/gain","value":2})"});

    model->failing = "/audio/label";
    EXPECT_TRUE(Write("/audio/label", Json::Value("Side")).empty());
}

TEST_F(SubscriptionServiceTest, UnsubscribeByPathOrWhole) {
    Answer(a, R"([dev][ctl] subscribe [{"path":"/audio/gain"},{"path":"/audio/gain","format":"number"},)"
              R"({"path":"/audio/trim"}])");
    Answer(b, R"([dev][ctl] subscribe [{"path":"/audio/gain"},{"path":"/audio/gain","format":"number"}])");
    Request(a, R"([dev][ctl] subscribepoll {"name":"p","targets":["/audio/gain"]})");
    Request(a, R"([dev][ctl] sublog {"priority":1})");

    EXPECT_EQ(Answer(a, R"([dev][ctl] unsubscribe {"path":"/audio/gain"})"),
              R"([ctl][dev] @unsubscribe {"path":"/audio/gain"})");
    EXPECT_EQ(Subscribed(a), std::vector<std::string>{"/audio/trim variant"});
    EXPECT_EQ(Subscribed(b), (std::vector<std::string>{"/audio/gain number", "/audio/gain variant"}));
    // Not subscribed: nothing changes.
    Answer(a, R"([dev][ctl] unsubscribe {"path":"/audio/mute","format":"string"})");
    EXPECT_EQ(Subscribed(a), std::vector<std::string>{"/audio/trim variant"});

    EXPECT_EQ(Answer(a, "[dev][ctl] unsubscribe"), "[ctl][dev] @unsubscribe");
    EXPECT_TRUE(Subscribed(a).empty());
    EXPECT_EQ(service->Polled().count(Zelkor::SubscriberKey(a)), 0u);
    EXPECT_EQ(service->LogSubscribers().count(Zelkor::SubscriberKey(a)), 0u);
    EXPECT_EQ(Subscribed(b).size(), 2u);
}

TEST_F(SubscriptionServiceTest, FailedConnectionResultDropsOnlyThatConnection) {
    Answer(a, kSubscribeGain);
    Answer(b, kSubscribeGain);
    Request(a, R"([dev][ctl] sublog {"priority":1})");
    Zelkor::ConnectionResult made;
    made.handle = a;
    made.connected = true;
    sender.ConnectionResults().Raise(made);
    EXPECT_EQ(Subscribed(a).size(), 1u);

    sender.Close(a);
    EXPECT_TRUE(Subscribed(a).empty());
    EXPECT_EQ(service->LogSubscribers().count(Zelkor::SubscriberKey(a)), 0u);
    EXPECT_EQ(Subscribed(b).size(), 1u);
    EXPECT_EQ(Service::ValueType(Json::Value(1.5)), std::string("float"));
}

TEST_F(SubscriptionServiceTest, FinalizedServiceIgnoresRequestsAndChanges) {
    Answer(a, kSubscribeGain);
    service->Finalize();
    EXPECT_TRUE(Request(a, R"([dev][ctl] subscribe {"path":"/audio/trim"})").empty());
    EXPECT_TRUE(Request(a, "[dev][ctl] unsubscribe").empty());
    EXPECT_TRUE(Write("/audio/gain", Json::Value(1)).empty());
    EXPECT_EQ(Subscribed(a).size(), 1u);
}

// Subscriptions come over connections only: no connection result would end one made over
// a datagram, and its publishes would be multicast for ever.
TEST_F(SubscriptionServiceTest, SubscribingOverUdpIsDropped) {
    LogCapture log;
    EXPECT_TRUE(Request(a, kSubscribeGain, false).empty());
    EXPECT_TRUE(Request(a, R"([dev][ctl] subscribepoll {"name":"p","targets":["/audio/gain"]})", false).empty());
    EXPECT_TRUE(Request(a, R"([dev][ctl] sublog {"priority":1})", false).empty());
    EXPECT_TRUE(service->Values().empty());
    EXPECT_TRUE(service->Polled().empty());
    EXPECT_TRUE(service->LogSubscribers().empty());
    EXPECT_EQ(log.Count("ZK6540W"), 3u);
}

TEST_F(SubscriptionServiceTest, SubscriptionsPerConnectionAreBounded) {
    BoundGuard guard(Zelkor::MaxSubscriptionsPerConnection, Zelkor::SetMaxSubscriptionsPerConnection, 2);
    const std::string reply = Answer(a, R"x([dev][ctl] subscribe [{"path":"/audio/gain","format":"number(1)"},)x"
                                        R"x({"path":"/audio/gain","format":"number(2)"},)x"
                                        R"x({"path":"/audio/gain","format":"number(3)"}])x");
    EXPECT_EQ(Entries(reply)["/audio/gain number(3)"], "error:Too many entries") << reply;
    EXPECT_EQ(service->ValueSubscriptionCount(a), 2u);
    // A repeat replaces and costs nothing; another connection has its own room.
    EXPECT_EQ(Answer(a, R"x([dev][ctl] subscribe {"path":"/audio/gain","format":"number(1)"})x").find("error"),
              std::string::npos);
    Answer(b, R"([dev][ctl] subscribe [{"path":"/audio/trim"},{"path":"/audio/mute"}])");
    EXPECT_EQ(service->ValueSubscriptionCount(b), 2u);

    // The publishers list stops at the entries bound and says so, and its reader takes the
    // word as the list's error, not as a path.
    BoundGuard entries(Zelkor::MaxEntriesPerMessage, Zelkor::SetMaxEntriesPerMessage, 3);
    const std::string cut = Answer(a, R"(list {"command":"publishers"})");
    EXPECT_EQ(cut, R"x(@list {"/audio/gain":["number(1)","number(2)"],"/audio/mute":"variant","command":"publishers",)x"
                   R"x("error":"Too many entries"})x");
    Zelkor::ListPublishers read;
    std::string error;
    ASSERT_TRUE(read.FromNetworkFormat(false, cut, error)) << error;
    EXPECT_EQ(read.GetPublishers().count("error"), 0u);
    EXPECT_STREQ(read.GetParameter(Zelkor::Param::error), "Too many entries");
}

TEST_F(SubscriptionServiceTest, PublishersListAndPublishAnswers) {
    EXPECT_EQ(Answer(a, R"([dev][ctl] list {"command":"publishers"})"), R"([ctl][dev] @list {"command":"publishers"})");
    Answer(a, R"([dev][ctl] subscribe [{"path":"/audio/gain"},{"path":"/audio/gain","format":"number"}])");
    Answer(b, R"([dev][ctl] subscribe {"path":"/audio/mute","format":"string"})");
    EXPECT_EQ(Answer(b, R"(list {"command":"publishers"})"),
              R"(@list {"/audio/gain":["number","variant"],"/audio/mute":"string","command":"publishers"})");
    EXPECT_EQ(Answer(a, R"([dev][ctl] publish {"path":"/x","value":1})"), "[ctl][dev] @publish");

    // A publishers reply is the application's, raised once.
    int raised = 0;
    service->ListPublishersSignal().Connect([&raised](Zelkor::MessageSignalData&) { ++raised; });
    auto answer = std::make_unique<Zelkor::ListPublishers>();
    answer->SetIsReply(true);
    Zelkor::MessageSignalData data(a, nullptr, true, std::move(answer));
    const std::size_t before = sender.Count();
    service->SignalRaised(data);
    EXPECT_EQ(raised, 1);
    EXPECT_EQ(sender.Count(), before);
}

// A value written on another thread than the loop's is published from the loop.
class OffLoopTest : public SubscriptionServiceTest {
protected:
    OffLoopTest()
        : SubscriptionServiceTest([this](Service::LoopJob job) {
              if (std::this_thread::get_id() == loop) {
                  job();
              } else {
                  std::lock_guard<std::mutex> lock(mutex);
                  posted.push_back(std::move(job));
              }
          }) {}
    std::thread::id loop = std::this_thread::get_id();
    std::mutex mutex;
    std::vector<Service::LoopJob> posted;
};

TEST_F(OffLoopTest, ReportFromAnotherThreadIsPostedWithItsTexts) {
    Answer(a, kSubscribeGain);
    std::thread writer([this] { model->SetValueForPath("/audio/gain", "variant", Json::Value(7), false); });
    writer.join();
    EXPECT_TRUE(sender.DiscoValues().empty());
    ASSERT_EQ(posted.size(), 1u);
    const std::size_t before = sender.Count();
    posted.front()();
    EXPECT_EQ(Since(before),
              std::vector<std::string>{R"([ctl][dev] publish {"format":"variant","path":"/audio/gain","value":7})"});
    EXPECT_TRUE(Has(sender.DiscoValues(), "/audio/gain 7\n"));
}

// The storage outlives the service: a write after the service went reaches nobody.
TEST_F(SubscriptionServiceTest, DestroyedServiceLeavesTheStorage) {
    Answer(a, kSubscribeGain);
    service.reset();
    EXPECT_EQ(model->SetValueForPath("/audio/gain", "variant", Json::Value(4), false), Zelkor::IStorage::PathOk);
    EXPECT_EQ(sender.Count(), 1u);
}

// Controller side: each sender writes one request line; a null path or name sends
// nothing but for an unsubscribe, where it stands for everything.
TEST_F(SubscriptionServiceTest, SendersWriteTheirRequests) {
    Zelkor::MessageForwardInfo header;
    header.SetTargetPaths("dev");
    header.SetSourcePaths("ctl");
    Zelkor::ObjectParamContainer values;
    values.FromJsonText(R"([{"path":"/audio/gain"},{"path":"/audio/mute","format":"string"}])");
    LOGROW row{3, -1, 2, "c", "e"};
    service->SendSubscribe(a, "/audio/gain", "number");
    service->SendSubscribe(a, nullptr, "number");
    service->SendUnsubscribe(a, nullptr);
    service->SendMultiSubscribe(a, values, header);
    service->SendMultiUnsubscribe(a, values, header);
    service->SendListPublishers(a, header);
    service->SendSubscribePoll(a, "p", {"/audio/gain", "/audio/mute"}, header, "number");
    service->SendSubscribePoll(a, nullptr, {"/audio/gain"}, header, nullptr);
    service->SendUnsubscribePoll(a, header, nullptr);
    service->SendPollSubscription(a, "p", header);
    service->SendPollSubscription(a, nullptr, header);
    service->SendSubLog(a, LLONG_MIN, 4, header);
    service->SendUnsubLog(a, header);
    service->SendLogRow(a, row, header);
    const std::vector<std::string> expected = {
        R"(subscribe {"format":"number","path":"/audio/gain"})",
        "unsubscribe",
        R"([dev][ctl] subscribe [{"path":"/audio/gain"},{"format":"string","path":"/audio/mute"}])",
        R"([dev][ctl] unsubscribe [{"path":"/audio/gain"},{"format":"string","path":"/audio/mute"}])",
        R"([dev][ctl] list {"command":"publishers"})",
        R"([dev][ctl] subscribepoll {"format":"number","name":"p","targets":["/audio/gain","/audio/mute"]})",
        "[dev][ctl] unsubscribepoll",
        R"([dev][ctl] poll {"name":"p"})",
        R"([dev][ctl] sublog {"mark":-9223372036854775808,"priority":4})",
        "[dev][ctl] unsublog",
        R"([dev][ctl] log {"category":"c","event":"e","priority":"2","seqno":"3","time":"-1"})",
    };
    EXPECT_EQ(Since(0), expected);
}

}  // namespace
}  // namespace ZelkorTest

namespace ZelkorTest {
namespace {

// What a subscriber's record keeps of its request is the route: a large request is not held
// once per path and format, and no hash travels with later publishes, rows or polls.
TEST_F(SubscriptionServiceTest, StoredHeadersKeepTheRouteAlone) {
    std::string entries;
    for (int i = 1; i <= 50; ++i) {
        entries += std::string(i > 1 ? "," : "") + R"({"path":"/audio/gain","format":"number()" + std::to_string(i) +
                   ")\"}";
    }
    Request(a, "7-abcd [dev][ctl] subscribe [" + entries + "]");
    Request(a, R"(8-abcd [dev][ctl] subscribepoll {"name":"p","targets":["/audio/gain"]})");
    Request(a, R"(9-abcd [dev][ctl] sublog {"priority":4})");
    const auto expectRoute = [](const Zelkor::MessageForwardInfo& header) {
        EXPECT_TRUE(header.JsonText().empty());
        EXPECT_TRUE(header.HashText().empty());
        EXPECT_FALSE(header.hasHash);
        EXPECT_EQ(header.SourceList(), std::vector<std::string>{"ctl"});
    };
    std::size_t stored = 0;
    for (const auto& [path, formats] : service->Values()) {
        for (const auto& [format, subscribers] : formats) {
            for (const auto& [conn, header] : subscribers) {
                expectRoute(header);
                ++stored;
            }
        }
    }
    EXPECT_EQ(stored, 50u);
    expectRoute(service->Polled().at(Zelkor::SubscriberKey(a)).at("p").header);
    expectRoute(service->LogSubscribers().at(Zelkor::SubscriberKey(a)).header);
}

}  // namespace
}  // namespace ZelkorTest

namespace ZelkorTest {
namespace {

// A publish stays one line per change and connection: past a lowered entries bound it
// carries what fits and says so.
TEST_F(SubscriptionServiceTest, APublishPastALoweredEntriesBoundIsCutAndSaysSo) {
    const LogCapture log;
    Answer(a, R"x([dev][ctl] subscribe [{"path":"/audio/gain","format":"number(1)"},)x"
              R"x({"path":"/audio/gain","format":"number(2)"},{"path":"/audio/gain","format":"number(3)"}])x");
    BoundGuard entries(Zelkor::MaxEntriesPerMessage, Zelkor::SetMaxEntriesPerMessage, 2);
    const auto lines = Write("/audio/gain", -3);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Entries(lines.front()).size(), 2u) << lines.front();
    EXPECT_EQ(log.Count("ZK6555W Publish cut at the entries bound (/audio/gain)"), 1u);
}

}  // namespace
}  // namespace ZelkorTest
