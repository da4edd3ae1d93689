// The file-system words on the wire: each word's request and reply as a peer sees them,
// the listing and deletion readers against what peers may send, and the listing's
// entries as a controller's callback receives them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/CommandTable.h"
#include "filetransfer/FileSystemMessages.h"
#include "storage/RequestBound.h"

namespace ZelkorTest {
namespace {

using Zelkor::Param;

struct Set {
    Param param;
    const char* text;
};

Zelkor::ListFiles entry(std::vector<Set> values) {
    Zelkor::ListFiles file;
    for (const auto& set : values) {
        file.SetParameter(set.param, set.text);
    }
    return file;
}

TEST(FileSystemMessages, EachWordWritesItsRequestAndReply) {
    struct Case {
        const char* word;
        bool request;
        std::vector<Set> set;
        const char* line;  // "" when nothing may be sent
    };
    const Case cases[] = {
        {"deletefile", true, {{Param::path, "a/b.txt"}}, R"(deletefile {"path":"a/b.txt"})"},
        // A request without a path writes nothing, so nothing is sent.
        {"deletefile", true, {}, ""},
        {"deletefile", false, {}, "@deletefile {}"},
        {"deletefile", false, {{Param::error, "File not found"}}, R"(@deletefile {"error":"File not found"})"},
        {"listfiles", true, {{Param::path, "/data"}}, R"(listfiles {"path":"/data"})"},
        {"listfiles", true, {}, ""},
        {"listfiles", false, {{Param::path, "/data"}, {Param::error, "Path not found"}},
         R"(@listfiles {"error":"Path not found","path":"/data"})"},
        {"listfiles", false, {{Param::path, "/empty"}}, R"(@listfiles {"files":[],"path":"/empty"})"},
        {"freespace", true, {{Param::path, "/"}}, R"(freespace {"path":"/"})"},
        {"freespace", false, {{Param::size, "12345"}}, R"(@freespace {"size":"12345"})"},
        {"mkdir", true, {{Param::path, "x/y"}}, R"(mkdir {"path":"x/y"})"},
        {"mkdir", false, {}, "@mkdir"},
        {"rmdir", false, {{Param::error, "Path not allowed"}}, R"(@rmdir {"error":"Path not allowed"})"},
        {"fwupdate", true, {{Param::arguments, "image=a.bin"}}, R"(fwupdate {"arguments":"image=a.bin"})"},
        {"fwupdate", false, {{Param::error, "busy"}}, R"(@fwupdate {"error":"busy"})"},
    };
    for (const auto& c : cases) {
        auto message = Zelkor::LookupCommand(c.word)();
        ASSERT_EQ(std::string(message->CommandName()), c.word);
        for (const auto& set : c.set) {
            ASSERT_TRUE(message->SetParameter(set.param, set.text)) << c.line;
        }
        const std::string line = message->Build(c.request);
        EXPECT_EQ(line, *c.line ? std::string(c.line) + "\n" : std::string()) << c.word;
    }
}

TEST(FileSystemMessages, ListingEntriesCarryAllSevenKeys) {
    Zelkor::ListFiles reply;
    reply.SetParameter(Param::path, "d");
    reply.AddListFiles(entry({{Param::name, "a"}, {Param::size, "3"}, {Param::creationdate, "10"},
                              {Param::modifieddate, "11"}, {Param::checksum, "900150983cd24fb0d6963f7d28e17f72"}}));
    // A folder: no checksum; a text that is no number is written as 0.
    reply.AddListFiles(entry({{Param::name, "sub"}, {Param::size, "x"}, {Param::readonly, "1"}, {Param::version, "2"}}));
    EXPECT_EQ(reply.Build(false),
              R"(@listfiles {"files":[{"checksum":"900150983cd24fb0d6963f7d28e17f72","creationdate":10,"modifieddate":11,)"
              R"("name":"a","readonly":null,"size":3,"version":null},{"checksum":null,"creationdate":null,)"
              R"("modifieddate":null,"name":"sub","readonly":true,"size":0,"version":"2"}],"path":"d"})"
              "\n");
    // An error replaces the entries; copies carry them.
    Zelkor::ListFiles copy(reply);
    ASSERT_EQ(copy.Entries().size(), 2u);
    copy.SetParameter(Param::error, "Path is a file");
    EXPECT_EQ(copy.Build(false), R"(@listfiles {"error":"Path is a file","path":"d"})" "\n");
    EXPECT_EQ(reply.Entries().size(), 2u);
}

TEST(FileSystemMessages, ReadersTakeWhatPeersSend) {
    struct Case {
        const char* word;
        bool request;
        const char* line;
        bool read;
        const char* error;      // the read's error, or the message's "error" parameter
        const char* path;       // null: absent
    };
    const Case cases[] = {
        {"deletefile", true, R"(deletefile {"path":"a"})", true, "", "a"},
        {"deletefile", true, R"(deletefile {"path":""})", false, "Path is required", nullptr},
        {"deletefile", true, R"(deletefile {"path":7})", false, "Path is required", nullptr},
        {"deletefile", true, "deletefile {}", false, "Path is required", nullptr},
        {"deletefile", false, "@deletefile {}", true, "", nullptr},
        {"deletefile", false, R"(@deletefile {"error":"Path is a folder. Try rmdir"})", true,
         "Path is a folder. Try rmdir", nullptr},
        {"deletefile", true, R"(deletefile {"path":)", false, nullptr, nullptr},
        {"listfiles", true, R"(listfiles {"path":)", false, "Unparseable JSON", nullptr},
        {"listfiles", true, "listfiles [1]", false, "Unparseable JSON", nullptr},
        {"listfiles", true, R"(listfiles {"path":1})", false, "Path is required", nullptr},
        {"listfiles", true, R"(listfiles {"path":"/x"})", true, "", "/x"},
        {"listfiles", false, R"(@listfiles {"error":"Path not found","files":[{"name":"a"}]})", true,
         "Path not found", nullptr},
    };
    for (const auto& c : cases) {
        auto message = Zelkor::LookupCommand(c.word)();
        std::string error;
        EXPECT_EQ(message->FromNetworkFormat(c.request, c.line, error), c.read) << c.line;
        if (c.error && !c.read) {
            EXPECT_EQ(error, c.error) << c.line;
        } else if (c.error) {
            const char* stored = message->GetParameter(Param::error);
            EXPECT_EQ(stored ? std::string(stored) : std::string(), c.error) << c.line;
        }
        if (c.read) {
            const char* path = message->GetParameter(Param::path);
            EXPECT_EQ(path == nullptr, c.path == nullptr) << c.line;
            if (path && c.path) {
                EXPECT_STREQ(path, c.path);
            }
        }
    }
}

TEST(FileSystemMessages, ListingReaderSkipsWhatIsNotAnEntry) {
    Zelkor::ListFiles reply;
    std::string error;
    ASSERT_TRUE(reply.FromNetworkFormat(
        false,
        R"(@listfiles {"files":[{"name":"a","size":5,"creationdate":-3,"modifieddate":7,"checksum":1,)"
        R"("readonly":false,"version":"v1"},"stray",[1],{"size":"9","readonly":1},{"name":null,"size":18446744073709551615}]})",
        error))
        << error;
    std::vector<Zelkor::ListFilesItem> items{Zelkor::ListFilesItem{}};
    reply.GetListFilesInfo(items);
    // Appended after what the vector held.
    ASSERT_EQ(items.size(), 4u);
    const auto& a = items[1];
    EXPECT_EQ(a.name, "a");
    EXPECT_EQ(a.size, 5u);
    // A negative date is absent, as is a checksum of another type.
    EXPECT_FALSE(a.creationdate.has_value());
    EXPECT_EQ(a.modifieddate.value_or(0), 7u);
    EXPECT_FALSE(a.checksum.has_value());
    ASSERT_TRUE(a.readonly.has_value());
    EXPECT_FALSE(*a.readonly);
    EXPECT_EQ(a.version.value_or(""), "v1");
    // Members of other types are skipped: no size, no readonly, missing size is 0.
    EXPECT_EQ(items[2].name, "");
    EXPECT_EQ(items[2].size, 0u);
    EXPECT_FALSE(items[2].readonly.has_value());
    EXPECT_FALSE(items[2].version.has_value());
    EXPECT_EQ(items[3].size, 18446744073709551615u);
}

TEST(FileSystemMessages, ListingsPastTheBoundAreRefusedWhole) {
    struct Bound {
        explicit Bound(std::size_t most) { Zelkor::SetMaxEntriesPerMessage(most); }
        ~Bound() { Zelkor::SetMaxEntriesPerMessage(Zelkor::kDefaultMaxEntriesPerMessage); }
    } bound(2);
    Zelkor::ListFiles reply;
    std::string error;
    ASSERT_TRUE(reply.FromNetworkFormat(false, R"(@listfiles {"files":[{"name":"a"},{"name":"b"},{"name":"c"}]})", error));
    EXPECT_TRUE(reply.Entries().empty());
    EXPECT_STREQ(reply.GetParameter(Param::error), "Too many entries");
    ASSERT_TRUE(reply.FromNetworkFormat(false, R"(@listfiles {"files":[{"name":"a"},7,{"name":"b"}]})", error));

    Zelkor::ListFiles written;
    for (const char* name : {"a", "b", "c"}) {
        written.AddListFiles(entry({{Param::name, name}}));
    }
    EXPECT_EQ(written.Build(false), R"(@listfiles {"error":"Too many entries"})" "\n");
}

TEST(FileSystemMessages, AccessorsReadOnlyTheirType) {
    Json::Value object(Json::objectValue);
    Zelkor::SetJsonNumber(object, Param::size, "42");
    Zelkor::SetJsonBool(object, Param::readonly, "0");
    Zelkor::SetJsonString(object, Param::name, nullptr);
    std::uint64_t number = 9;
    bool flag = true;
    std::string text = "x";
    EXPECT_TRUE(Zelkor::GetJsonNumber(object, Param::size, number));
    EXPECT_EQ(number, 42u);
    EXPECT_TRUE(Zelkor::GetJsonBool(object, Param::readonly, flag));
    EXPECT_FALSE(flag);
    EXPECT_FALSE(Zelkor::GetJsonString(object, Param::name, text));
    EXPECT_EQ(text, "");
    EXPECT_FALSE(Zelkor::GetJsonNumber(Json::Value(Json::arrayValue), Param::size, number));
    EXPECT_EQ(number, 0u);
}

}  // namespace
}  // namespace ZelkorTest
