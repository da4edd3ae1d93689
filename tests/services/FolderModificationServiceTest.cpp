// The folder modification service over a recording sender: replies meet the handlers of
// their requests by order on each connection, whatever went out without a handler, was
// refused by the connection or came back unreadable; and a device's reply carries the
// storage's failure in every entry.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "services/FolderModificationService.h"
#include "storage/JsonModel.h"
#include "storage/RequestBound.h"
#include "storage/StorageModel.h"
#include "support/ContainerSummary.h"
#include "support/FakeServiceSender.h"
#include "support/TempDir.h"

namespace ZelkorTest {
namespace {

using Zelkor::FolderModificationService;
using Zelkor::ObjectParamContainer;
using Handler = Zelkor::IFolderModificationService::ReplyHandler;

struct FolderModificationTest : ::testing::Test {
    explicit FolderModificationTest(std::shared_ptr<StorageModel> storage = nullptr)
        : service(&sender, std::move(storage)) {}

    Handler Record(const std::string& name) {
        return [this, name](const ObjectParamContainer& container) { calls.push_back(name + ":" + Summary(container)); };
    }

    static ObjectParamContainer Paths(const std::string& path) {
        ObjectParamContainer values;
        values.FromJsonText(R"({"path":")" + path + R"("})");
        return values;
    }

    void Get(void* handle, Handler handler, const std::string& path = "/audio/gain") {
        ObjectParamContainer values = Paths(path);
        service.SendMultiGetValue(handle, values, header, std::move(handler), true, "t");
    }
    void GetWithout(void* handle, const std::string& path = "/audio/gain") {
        ObjectParamContainer values = Paths(path);
        service.SendMultiGetValue(handle, values, header, true);
    }
    void Set(void* handle, Handler handler) {
        ObjectParamContainer values;
        values.FromJsonText(R"({"path":"/audio/gain","value":3})");
        service.SendMultiSetValue(handle, values, header, std::move(handler), true, "t");
    }

    // As the driver's receive road hands a reply over: read, else unreadable.
    void Reply(void* handle, const std::string& line) {
        const std::string word = WordOf(line);
        auto message = MultiValueOf(word);
        std::string error;
        if (!message->FromNetworkFormat(false, line, error)) {
            service.UnreadableReply(handle, word, error);
            return;
        }
        message->SetIsReply(true);
        Zelkor::MessageSignalData data(handle, nullptr, true, std::move(message));
        (word == "set" ? service.SetValueSignal() : service.GetValueSignal()).Raise(data);
    }
    void GainReply(void* handle, int value) {
        Reply(handle, R"(@get {"path":"/audio/gain","value":)" + std::to_string(value) + "}");
    }

    // As the driver hands a device a request: the reply goes to the sender.
    std::string Request(const std::string& line) {
        auto message = MultiValueOf(WordOf(line));
        std::string error;
        EXPECT_TRUE(message->FromNetworkFormat(true, line, error)) << error;
        Zelkor::MessageSignalData data(first, nullptr, true, std::move(message));
        service.SignalRaised(data);
        return sender.Last();
    }

    static std::string Gain(int value) { return "/audio|gain=" + std::to_string(value); }

    FakeServiceSender sender;
    FolderModificationService service;
    Zelkor::MessageForwardInfo header;
    int connectionA = 0;
    int connectionB = 0;
    void* first = &connectionA;
    void* second = &connectionB;
    std::vector<std::string> calls;
};

TEST_F(FolderModificationTest, RepliesMeetTheirRequestsInOrderWithRequestsWithoutHandlerInPlace) {
    service.SetDefaultGetReplyHandler(Record("default"));
    GetWithout(first);
    Get(first, Record("A"));
    GetWithout(first);
    Get(first, Record("B"));
    Set(first, Record("S"));
    ASSERT_EQ(sender.Count(), 5u);
    EXPECT_EQ(sender.Lines()[0].text, "get {\"path\":\"/audio/gain\"}\n");
    for (int n = 1; n <= 4; ++n) {
        GainReply(first, n);
    }
    Reply(first, R"(@set {"path":"/audio/gain","value":3})");
    EXPECT_EQ(calls, (std::vector<std::string>{"default:" + Gain(1), "A:" + Gain(2), "default:" + Gain(3),
                                               "B:" + Gain(4), "S:" + Gain(3)}));
}

TEST_F(FolderModificationTest, AHandlerQueuedAheadWaitsForTheNextRequestWithoutOne) {
    service.SetGetReplyHandler(first, Record("P"), "p");
    Get(first, Record("A"));
    GetWithout(first);
    GainReply(first, 1);
    GainReply(first, 2);
    EXPECT_EQ(calls, (std::vector<std::string>{"A:" + Gain(1), "P:" + Gain(2)}));

    // Queued empty while no default is set, it swallows its reply; the next one finds
    // the default.
    calls.clear();
    service.SetGetReplyHandler(first, nullptr, "empty");
    service.SetDefaultGetReplyHandler(Record("default"));
    GetWithout(first);
    GetWithout(first);
    GainReply(first, 3);
    GainReply(first, 4);
    EXPECT_EQ(calls, (std::vector<std::string>{"default:" + Gain(4)}));
}

// A refused request holds no place, and hears of the refusal as of a lost connection:
// its handler (one sent without: the default) every value failed, a raw line its refusal.
TEST_F(FolderModificationTest, ARequestTheConnectionRefusedHoldsNoPlace) {
    sender.SetAccept([](void*, const std::string& line) { return line.find("/refused") == std::string::npos; });
    Get(first, Record("A"), "/refused");
    service.SetDefaultGetReplyHandler(Record("default"));
    GetWithout(first, "/refused");
    service.SendRequestLine(first, "get", "get {\"path\":\"/refused\"}\n",
                            [this](const std::string& text) { calls.push_back("raw:" + text); });
    Get(first, Record("B"));
    const std::string lost = "/|refused!connection lost";
    EXPECT_EQ(calls, (std::vector<std::string>{"A:" + lost, "default:" + lost, "default:" + lost,
                                               R"(raw:@get {"error":"connection lost","path":"/refused"})"}));
    calls.clear();
    GainReply(first, 1);
    GainReply(first, 2);
    EXPECT_EQ(calls, (std::vector<std::string>{"B:" + Gain(1), "default:" + Gain(2)}));
}

// A request that never goes out is answered where its reply would have gone: past the
// entries bound every value fails "Too many entries", nothing sent; refused by the
// connection, one sent with an empty handler goes to nobody, and one sent without a
// handler to the handler queued ahead for it, which it uses up.
TEST_F(FolderModificationTest, ARequestNeverSentIsAnsweredWhereItsReplyWouldHaveGone) {
    service.SetDefaultGetReplyHandler(Record("default"));
    ObjectParamContainer two;
    ASSERT_TRUE(two.FromJsonText(R"([{"path":"/a/b"},{"path":"/a/c"}])"));
    Zelkor::SetMaxEntriesPerMessage(1);
    service.SendMultiGetValue(first, two, header, Record("A"), true, "t");
    service.SetGetReplyHandler(first, Record("P"), "p");
    service.SendMultiGetValue(first, two, header, true);
    Zelkor::SetMaxEntriesPerMessage(Zelkor::kDefaultMaxEntriesPerMessage);
    EXPECT_EQ(sender.Count(), 0u);
    const std::string over = "/a|b!Too many entries /a|c!Too many entries";
    EXPECT_EQ(calls, (std::vector<std::string>{"A:" + over, "P:" + over}));

    calls.clear();
    sender.SetAccept([](void*, const std::string& line) { return line.find("/refused") == std::string::npos; });
    Get(first, nullptr, "/refused");
    service.SetGetReplyHandler(first, Record("Q"), "q");
    GetWithout(first, "/refused");
    GetWithout(first);
    GainReply(first, 1);
    EXPECT_EQ(calls, (std::vector<std::string>{"Q:/|refused!connection lost", "default:" + Gain(1)}));
}

TEST_F(FolderModificationTest, AnErrorReplyAndAnUnreadableReplyEachReachTheirOwnHandler) {
    for (const char* name : {"A", "B", "C", "D", "E"}) {
        Get(first, Record(name));
    }
    Reply(first, R"(@get {"error":"Not authenticated"})");
    Reply(first, "@get [1]");
    {
        struct Bound {
            Bound() { Zelkor::SetMaxEntriesPerMessage(1); }
            ~Bound() { Zelkor::SetMaxEntriesPerMessage(Zelkor::kDefaultMaxEntriesPerMessage); }
        } bound;
        Reply(first, R"(@get [{"path":"/a","value":1},{"path":"/b","value":2}])");
    }
    // A reply without entries is the bare word.
    Reply(first, "@get");
    GainReply(first, 5);
    // A refusal or a body that does not read names no entry: every entry asked about
    // hears it.
    EXPECT_EQ(calls, (std::vector<std::string>{"A:/audio|gain!Not authenticated",
                                               "B:/audio|gain!Array must contain objects",
                                               "C:/audio|gain!Too many entries", "D:", "E:" + Gain(5)}));
}

// Each request the lost connection took hears every value failed, one sent without
// handler through the default, a raw line as its refusal; a handler queued ahead for a
// request not sent goes uncalled, and nothing of the connection is left to a later reply.
TEST_F(FolderModificationTest, ALostConnectionAnswersTheRequestsItTookAndDropsTheRest) {
    service.SetDefaultGetReplyHandler(Record("default"));
    Get(first, Record("A"));
    GetWithout(first);
    Set(first, Record("S"));
    service.SendRequestLine(first, "set", "set {\"path\":\"/audio/gain\",\"value\":1}\n",
                            [this](const std::string& text) { calls.push_back("raw:" + text); });
    service.SetGetReplyHandler(first, Record("P"), "p");
    Get(second, Record("B"));
    sender.Close(first);
    const std::string lost = "/audio|gain!connection lost";
    EXPECT_EQ(calls, (std::vector<std::string>{"A:" + lost, "default:" + lost, "S:" + lost,
                                               R"(raw:@set {"error":"connection lost","path":"/audio/gain"})"}));
    calls.clear();
    service.SetDefaultSetReplyHandler(Record("defaultSet"));
    GainReply(first, 1);
    Reply(first, R"(@set {"path":"/audio/gain","value":2})");
    GainReply(second, 3);
    EXPECT_EQ(calls, (std::vector<std::string>{"default:" + Gain(1), "defaultSet:" + Gain(2), "B:" + Gain(3)}));
}

// At the reply time-out each request sent by then and still unanswered hears every value
// failed with "timeout", a raw line its refusal; each keeps its place, so its late reply
// goes to nobody and the next reply to the next request. A later loss of the connection
// answers only what was not answered yet.
TEST_F(FolderModificationTest, ARequestUnansweredAtTheTimeOutHearsItOnceAndItsLateReplyGoesToNobody) {
    service.SetDefaultGetReplyHandler(Record("default"));
    Get(first, Record("A"));
    service.SendRequestLine(first, "get", "get {\"path\":\"/audio/gain\"}\n",
                            [this](const std::string& text) { calls.push_back("raw:" + text); });
    const auto cutoff = std::chrono::steady_clock::now();
    // What is sent from now on is stamped after the cut-off.
    while (std::chrono::steady_clock::now() <= cutoff) {
    }
    Get(second, Record("B"));
    service.ExpireRequests(cutoff - std::chrono::hours(1));
    EXPECT_TRUE(calls.empty());
    service.ExpireRequests(cutoff);
    const std::string timedOut = "/audio|gain!timeout";
    EXPECT_EQ(calls, (std::vector<std::string>{"A:" + timedOut, "default:" + timedOut,
                                               R"(raw:@get {"error":"timeout","path":"/audio/gain"})"}));
    calls.clear();
    service.ExpireRequests(cutoff);
    Get(first, Record("C"));
    GainReply(first, 1);
    GainReply(first, 2);
    GainReply(first, 3);
    Get(first, Record("D"));
    sender.Close(first);
    sender.Close(second);
    EXPECT_EQ(calls, (std::vector<std::string>{"C:" + Gain(3), "D:/audio|gain!connection lost",
                                               "B:/audio|gain!connection lost"}));
}

TEST_F(FolderModificationTest, AHandlerMaySendAgain) {
    Get(first, [this](const ObjectParamContainer& container) {
        calls.push_back("A:" + Summary(container));
        Get(first, Record("B"));
    });
    GainReply(first, 1);
    ASSERT_EQ(sender.Count(), 2u);
    GainReply(first, 2);
    EXPECT_EQ(calls, (std::vector<std::string>{"A:" + Gain(1), "B:" + Gain(2)}));
}

TEST_F(FolderModificationTest, WithoutStorageEveryEntryOfTheReplyCarriesTheText) {
    const std::string set = Request(R"(set [{"path":"/audio/gain","value":3},{"path":"/audio/mute","value":true}])");
    EXPECT_EQ(Answer(set), "/audio|gain!No storage layer found /audio|mute!No storage layer found") << set;
    EXPECT_EQ(Answer(Request(R"(get {"path":"/audio/gain"})")), "/audio|gain!No storage layer found");

    // A facade with nothing behind it is no storage either.
    FolderModificationService hollow(&sender, std::make_shared<StorageModel>(static_cast<Zelkor::IStorage*>(nullptr)));
    auto message = MultiValueOf("set");
    std::string error;
    ASSERT_TRUE(message->FromNetworkFormat(true, R"(set {"path":"/audio/gain","value":3})", error));
    Zelkor::MessageSignalData data(first, nullptr, true, std::move(message));
    hollow.SignalRaised(data);
    EXPECT_EQ(Answer(sender.Last()), "/audio|gain!No storage layer found");
}

// Fills nothing: the storage fails as a whole.
class ThrowingModel : public Zelkor::JsonModel {
public:
    ThrowingModel() : JsonModel(ReadFile(std::string(ZELKOR_SOURCE_DIR) + "/examples/device-tree.json")) {}
    void GetObjectsParameters(ObjectParamContainer&, bool) override { throw std::runtime_error("disk"); }
    void SetObjectsParameters(ObjectParamContainer&) override { throw std::runtime_error("disk"); }
};

struct ThrowingStorageTest : FolderModificationTest {
    ThrowingStorageTest() : FolderModificationTest(std::make_shared<StorageModel>(std::make_shared<ThrowingModel>())) {}
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
};

TEST_F(ThrowingStorageTest, EveryEntryOfTheReplyCarriesTheText) {
    EXPECT_EQ(Answer(Request(R"(set [{"path":"/audio/gain","value":3},{"path":"/version","value":"x"}])")),
              "/|version!Exception in storage layer /audio|gain!Exception in storage layer");
    EXPECT_EQ(Answer(Request(R"(get [{"path":"/audio/gain"},{"path":"/audio/mute"}])")),
              "/audio|gain!Exception in storage layer /audio|mute!Exception in storage layer");
}

}  // namespace
}  // namespace ZelkorTest
