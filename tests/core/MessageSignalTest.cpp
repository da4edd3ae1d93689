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
#include "TestMessages.h"

using Zelkor::MessageSignalData;
using Zelkor::MessageSignalFactory;
using Zelkor::MessageSignalMap;
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

// A service with one word, registered as every service registers its words; it notes the
// words its handlers are asked for.
class WordService : public Zelkor::IServiceBaseImpl<Zelkor::IServiceBase> {
public:
    WordService() { _messageSignalMap.SetMessageSignalFactory(MessageSignalFactory("Get", &get, ZelkorTest::CreateGetMessage)); }
    boost::signals2::connection AddHandler2(const std::string& word, Handler handler) override {
        asked.push_back(word);
        return IServiceBaseImpl::AddHandler2(word, std::move(handler));
    }
    Signal<MessageSignalData> get;
    std::vector<std::string> asked;
};

}  // namespace

// A request and its reply find the same entry, whatever the letter case of either.
TEST(MessageSignalMap, WordsAreFoundIgnoringCaseAndOneReplyMark) {
    Signal<MessageSignalData> first;
    Signal<MessageSignalData> second;
    MessageSignalMap map;
    map.SetMessageSignalFactory(MessageSignalFactory("set", &first, ZelkorTest::CreateGetMessage));
    map.SetMessageSignalFactory(MessageSignalFactory("event", &first, ZelkorTest::CreateGetMessage));
    // The last registration of a word wins, word, signal and function.
    map.SetMessageSignalFactory(MessageSignalFactory("SeT", &second, createError));
    for (const char* word : {"set", "@set", "SET", "@Set", "sEt"}) {
        const auto found = map.GetMessageSignalFactory(word);
        EXPECT_STREQ(found.Command(), "set") << word;
        EXPECT_EQ(found.MessageSignal(), &second) << word;
        EXPECT_EQ(found.MessageFactory(), &createError) << word;
    }
    for (const char* word : {"@@set", "", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(map.GetMessageSignalFactory(word).MessageSignal(), nullptr) << (word ? word : "(null)");
    }
}

// Two records holding one message would free it twice.
static_assert(!std::is_copy_constructible_v<MessageSignalData> && !std::is_copy_assignable_v<MessageSignalData>,
              "a MessageSignalData is the one owner of its message");

// Handing back the held message once freed it while it was still held.
TEST(MessageSignalData, OwnsItsMessageAndKeepsItWhenHandedBack) {
    auto data = dataFor(std::make_unique<ZelkorTest::GetMessage>());
    Zelkor::Message* held = data.GetMessage();
    data.ReplaceCommand(std::unique_ptr<Zelkor::Message>(held));
    EXPECT_EQ(data.GetMessage(), held);
    EXPECT_STREQ(data.GetMessage()->CommandName(), "get");
    data.ReplaceCommand(std::make_unique<Zelkor::ErrorReply>());
    EXPECT_STREQ(data.GetMessage()->CommandName(), "error");
}

// The observer records were once keyed by connections whose order changes when their slot
// goes, which corrupted the map; a null observer was attached and called.
TEST(Signal, ObserversAndFunctionsAreCalledInConnectionOrder) {
    std::vector<std::string> calls;
    Recorder first(calls, "first");
    Recorder second(calls, "second");
    Signal<MessageSignalData> signal;
    auto a = signal += &first;
    signal.Connect([&calls](MessageSignalData&) { calls.push_back("function"); });
    auto b = signal += &second;
    auto data = dataFor(nullptr);
    signal.Raise(data);
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "function", "second"}));

    signal -= a;
    signal -= a;
    b.disconnect();  // behind the signal's back: the record goes all the same
    EXPECT_EQ(signal.ObserverCount(), 0u);
    signal += &first;
    EXPECT_FALSE((signal += nullptr).connected());
    calls.clear();
    signal.Raise(data);
    EXPECT_EQ(calls, (std::vector<std::string>{"function", "first"}));
}

// How applications hook command words: any letter case and one reply mark find the word,
// handlers run in the order they were added, a word the service does not handle connects
// nothing, and AddHandler goes through the overridable AddHandler2.
TEST(IServiceBase, HandlersHookOnlyTheServicesWords) {
    WordService service;
    Zelkor::IServiceBase& base = service;
    std::vector<std::string> calls;
    const auto handler = [&calls](const char* name) { return [&calls, name](MessageSignalData&) { calls.push_back(name); }; };
    base.AddHandler("GET", handler("kept"));
    auto second = base.AddHandler2("@get", handler("second"));
    EXPECT_FALSE(base.AddHandler2("set", handler("unknown")).connected());
    base.AddHandler("@@get", handler("unknown"));
    EXPECT_TRUE(second.connected());
    EXPECT_EQ(service.asked, (std::vector<std::string>{"GET", "@get", "set", "@@get"}));

    auto data = dataFor(nullptr);
    service.get.Raise(data);
    second.disconnect();
    service.get.Raise(data);
    EXPECT_EQ(calls, (std::vector<std::string>{"kept", "second", "kept"}));
}
