#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "core/ErrorReply.h"
#include "core/IServiceBaseImpl.h"
#include "core/MessageSignalData.h"
#include "core/MessageSignalMap.h"
#include "core/Signal.h"
#include "discovery/Goodbye.h"
#include "TestMessages.h"

using Zelkor::MessageSignalData;
using Zelkor::MessageSignalFactory;
using Zelkor::MessageSignalMap;
using Zelkor::Param;
using Zelkor::Signal;

namespace {

std::unique_ptr<Zelkor::Message> createError() { return std::make_unique<Zelkor::ErrorReply>(); }

MessageSignalData dataFor(std::unique_ptr<Zelkor::Message> message) {
    return MessageSignalData(nullptr, nullptr, false, std::move(message));
}

struct Recorder : Zelkor::ISignalObserver<MessageSignalData> {
    Recorder(std::vector<std::string>& calls, std::string name) : calls(calls), name(std::move(name)) {}
    void SignalRaised(MessageSignalData&) override { calls.push_back(name); }
    std::vector<std::string>& calls;
    std::string name;
};

// A service with the one word "get", as services register theirs.
struct GetService : Zelkor::IServiceBaseImpl<Zelkor::IServiceBase> {
    GetService() { _messageSignalMap.SetMessageSignalFactory(MessageSignalFactory("GET", &signal, ZelkorTest::CreateGetMessage)); }
    Signal<MessageSignalData> signal;
};

}  // namespace

// A request and its reply find the same entry, whatever the letter case of either.
TEST(MessageSignalMap, WordsAreFoundIgnoringCaseAndOneReplyMark) {
    Signal<MessageSignalData> first;
    Signal<MessageSignalData> second;
    MessageSignalMap map;
    map.SetMessageSignalFactory(MessageSignalFactory("set", &first, ZelkorTest::CreateGetMessage));
    map.SetMessageSignalFactory(MessageSignalFactory("get", &first, ZelkorTest::CreateGetMessage));
    map.SetMessageSignalFactory(MessageSignalFactory("event", &first, ZelkorTest::CreateGetMessage));
    // The last registration of a word wins, word, signal and function.
    map.SetMessageSignalFactory(MessageSignalFactory("SeT", &second, createError));
    for (const char* word : {"set", "SET", "@Set", "@set"}) {
        const auto found = map.GetMessageSignalFactory(word);
        EXPECT_STREQ(found.Command(), "set") << word;
        EXPECT_EQ(found.MessageSignal(), &second) << word;
        EXPECT_EQ(found.MessageFactory(), &createError) << word;
    }
    for (const char* word : {"@@set", "sets", "", "@", static_cast<const char*>(nullptr)}) {
        const auto missing = map.GetMessageSignalFactory(word);
        EXPECT_STREQ(missing.Command(), "");
        EXPECT_EQ(missing.MessageSignal(), nullptr);
        EXPECT_EQ(missing.MessageFactory(), nullptr);
    }
    std::vector<std::string> words;
    for (const auto& factory : map.GetMessageSignals()) {
        words.emplace_back(factory.Command());
    }
    EXPECT_EQ(words, (std::vector<std::string>{"event", "get", "set"}));
}

// Two records holding one message would free it twice.
static_assert(!std::is_copy_constructible_v<MessageSignalData> && !std::is_copy_assignable_v<MessageSignalData>,
              "a MessageSignalData is the one owner of its message");

TEST(MessageSignalData, OwnsItsMessageAndKeepsItWhenHandedBack) {
    auto data = dataFor(std::make_unique<ZelkorTest::GetMessage>());
    Zelkor::Message* held = data.GetMessage();
    ASSERT_NE(held, nullptr);
    // A careless second owner of the held message must not free it.
    data.ReplaceCommand(std::unique_ptr<Zelkor::Message>(held));
    EXPECT_EQ(data.GetMessage(), held);
    EXPECT_STREQ(data.GetMessage()->CommandName(), "get");

    data.ReplaceCommand(std::make_unique<Zelkor::ErrorReply>());
    EXPECT_STREQ(data.GetMessage()->CommandName(), "error");
}

TEST(Signal, ObserversAndFunctionsAreCalledInConnectionOrder) {
    std::vector<std::string> calls;
    Recorder first(calls, "first");
    Recorder second(calls, "second");
    Signal<MessageSignalData> signal;
    auto a = signal += &first;
    signal.Connect([&calls](MessageSignalData&) { calls.push_back("function"); });
    auto b = signal += &second;
    EXPECT_EQ(signal.ObserverCount(), 2u);
    auto data = dataFor(nullptr);
    signal.Raise(data);
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "function", "second"}));

    calls.clear();
    signal -= a;
    signal -= a;
    EXPECT_FALSE(a.connected());
    EXPECT_EQ(signal.ObserverCount(), 1u);
    signal.Raise(data);
    EXPECT_EQ(calls, (std::vector<std::string>{"function", "second"}));

    // Disconnected behind the signal's back: the record goes, later attachments work.
    b.disconnect();
    auto c = signal += &first;
    EXPECT_EQ(signal.ObserverCount(), 1u);
    boost::signals2::connection never;
    signal -= never;
    calls.clear();
    signal.Raise(data);
    EXPECT_EQ(calls, (std::vector<std::string>{"function", "first"}));
    EXPECT_FALSE((signal += nullptr).connected());
}

TEST(ServiceBase, HandlersConnectOnlyToTheServicesOwnWords) {
    GetService service;
    std::vector<std::string> calls;
    auto unknown = service.AddHandler2("set", [&calls](MessageSignalData&) { calls.push_back("set"); });
    EXPECT_FALSE(unknown.connected());
    service.AddHandler("@Get", [&calls](MessageSignalData&) { calls.push_back("one"); });
    auto two = service.AddHandler2("get", [&calls](MessageSignalData& data) {
        calls.push_back(std::string("two:") + data.GetMessage()->CommandName());
    });
    EXPECT_TRUE(two.connected());
    auto data = dataFor(ZelkorTest::CreateGetMessage());
    service.signal.Raise(data);
    EXPECT_EQ(calls, (std::vector<std::string>{"one", "two:get"}));
}

// The fixed messages take only their own parameters and write the base body.
TEST(FixedMessages, CarryOnlyTheirOwnParameters) {
    EXPECT_EQ(Zelkor::Goodbye().Build(false), "@goodbye\n");
    Zelkor::ErrorReply reply;
    Zelkor::Goodbye goodbye;
    for (int i = 0; i <= Zelkor::kParamCount; ++i) {
        const auto p = static_cast<Param>(i);
        EXPECT_EQ(reply.SetParameter(p, "x"), p == Param::message) << i;
        EXPECT_EQ(goodbye.SetParameter(p, "x"), p == Param::reason || p == Param::error) << i;
    }
    EXPECT_EQ(reply.Build(false), "@error {\"message\":\"x\"}\n");
    EXPECT_EQ(goodbye.Build(true), "goodbye {\"error\":\"x\",\"reason\":\"x\"}\n");
}
