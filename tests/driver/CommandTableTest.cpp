// The command-word table and the text helpers around it: every word of the protocol
// makes a message of that word, raw lines split as callers rely on.

#include <gtest/gtest.h>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/io_context.hpp>

#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "core/Signal.h"
#include "driver/CommandTable.h"
#include "driver/StandInMessage.h"
#include "driver/ZelkorDriver.h"
#include "support/LogCapture.h"

namespace ZelkorTest {
namespace {

TEST(CommandTable, HoldsTheFortyTwoWordsEachMakingItsOwnMessage) {
    const std::vector<std::string> words = {
        "authenticate", "block", "cancelputfile", "cd", "deletefile", "disco", "error", "event", "exec",
        "freespace", "fwupdate", "get", "getdevicestate", "getfile", "getpresetinfo", "goodbye", "identify",
        "list", "listfiles", "locate", "log", "ls", "mkdir", "poll", "publish", "putfile", "reboot", "rls",
        "rmdir", "senddisco", "set", "setip", "setverificationcode", "starttls", "sublog", "subscribe",
        "subscribeevent", "subscribepoll", "unsublog", "unsubscribe", "unsubscribeevent", "unsubscribepoll"};
    std::vector<std::string> table;
    for (const auto& [word, create] : Zelkor::_factoryMap) {
        table.push_back(word);
        EXPECT_STREQ(create()->CommandName(), word.c_str());
    }
    EXPECT_EQ(table, words);
    for (const char* miss : {"Get", "@get", "frob", ""}) {
        EXPECT_EQ(Zelkor::LookupCommand(miss), nullptr) << miss;
    }
}

// A word's first registration in the driver's map wins: a service that merges its map
// later cannot take a word over.
TEST(CommandTable, AWordsFirstRegistrationWins) {
    boost::asio::io_context io;
    Zelkor::ZelkorDriver driver(io);
    Zelkor::Signal<Zelkor::MessageSignalData> first;
    Zelkor::Signal<Zelkor::MessageSignalData> second;
    driver.SetMessageSignalFactory({"frob", &first, Zelkor::LookupCommand("goodbye")});
    driver.SetMessageSignalFactory({"frob", &second, Zelkor::LookupCommand("locate")});
    driver.SetMessageSignalFactory({"error", &second, Zelkor::LookupCommand("locate")});
    int heard = 0;
    auto frob = driver.AddHandler2("frob", [&](Zelkor::MessageSignalData&) { ++heard; });
    auto error = driver.AddHandler2("error", [&](Zelkor::MessageSignalData&) { heard += 10; });
    Zelkor::MessageSignalData data(nullptr, nullptr, true, std::unique_ptr<Zelkor::Message>());
    second.Raise(data);
    EXPECT_EQ(heard, 0);
    first.Raise(data);
    EXPECT_EQ(heard, 1);
}

TEST(CommandTable, StandInsWriteTheirBodyBackUnchanged) {
    auto message = std::make_unique<Zelkor::StandInMessage>("freespace");
    std::string error;
    ASSERT_TRUE(message->FromNetworkFormat(true, "freespace {\"path\":\"/a\",\"n\":[1, 2]}", error));
    EXPECT_EQ(message->Build(false), "@freespace {\"path\":\"/a\",\"n\":[1, 2]}\n");
    ASSERT_TRUE(message->FromNetworkFormat(true, "freespace", error));
    EXPECT_EQ(message->Build(true), "freespace\n");
}

// The receive road hands each message the parse its socket made of the line: every word
// reads it exactly as it reads the line's text, and takes the header's parsed body along.
TEST(CommandTable, EveryWordReadsAParsedLineAsItsText) {
    const char* const bodies[] = {"",          R"({"reason":"shutdown","error":"x","n":[1, 2]})",
                                  "[1,{\"a\":2}]", "12",
                                  R"("a{b}")", R"({"option":"discovered"})"};
    for (const auto& [word, create] : Zelkor::_factoryMap) {
        for (const std::string body : bodies) {
            for (const bool request : {true, false}) {
                Zelkor::MessageForwardInfo header;
                ASSERT_FALSE(header.PullHeader("7 [R][C] " + std::string(request ? "" : "@") + word + " " + body + "\n")
                                 .empty());
                // As the driver gives it: the word, a blank, the JSON text.
                const std::string line = header.CommandText() + " " + std::string(header.JsonText());
                auto fromText = create();
                auto fromParse = create();
                std::string textError;
                std::string parseError;
                EXPECT_EQ(fromText->FromNetworkFormat(request, line, textError),
                          fromParse->FromReceived(request, line, header, parseError))
                    << line;
                EXPECT_EQ(textError, parseError) << line;
                EXPECT_EQ(fromText->Build(true), fromParse->Build(true)) << line;
                EXPECT_EQ(fromText->Build(false), fromParse->Build(false)) << line;
                EXPECT_TRUE(header.JsonBody().isNull()) << line;
            }
        }
    }
}

TEST(CommandTable, SplitRawCommandAndGetResponseError) {
    boost::asio::io_context io;
    auto driver = std::make_shared<Zelkor::ZelkorDriver>(io);
    struct Row {
        const char* raw;
        const char* word;
        const char* json;
        bool reply;
    };
    const Row rows[] = {
        {"@get {\"a\":1}", "get", "{\"a\":1}", true},
        {"  exec  ", "exec", "kept", false},
        {"set [1,2]\r\nmore", "set", "[1,2]", false},
        {"@ls", "ls", "kept", true},
    };
    for (const auto& row : rows) {
        std::string word;
        std::string json = "kept";
        EXPECT_EQ(driver->SplitRawCommand(row.raw, word, json), row.reply) << row.raw;
        EXPECT_EQ(word, row.word) << row.raw;
        EXPECT_EQ(json, row.json) << row.raw;
    }
    EXPECT_EQ(driver->GetResponseError("@goodbye {\"error\":\"gone\"}"), "gone");
    EXPECT_EQ(driver->GetResponseError("@frob {\"error\":\"gone\"}"), "");
    // A multi-value reply keeps its body's error in its entries.
    EXPECT_EQ(driver->GetResponseError("@get {\"error\":\"Not authenticated\"}"), "Not authenticated");
    // A raw line that does not read logs its code alone; an unknown word logs nothing.
    LogCapture log;
    Zelkor::MessageForwardInfo header;
    driver->SendRawCommand(nullptr, "list {}", header, nullptr);
    driver->SendRawCommand(nullptr, "frob {}", header, nullptr);
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_TRUE(boost::algorithm::ends_with(log.Lines()[0], "ZK7879E Unidentified raw command")) << log.Lines()[0];
}

}  // namespace
}  // namespace ZelkorTest
