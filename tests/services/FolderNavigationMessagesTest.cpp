// The folder navigation messages without I/O: the listing reader as a table of lines,
// its entry bound, the "cd" reader, and what the three write.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/JsonText.h"
#include "services/FolderNavigationMessages.h"
#include "storage/RequestBound.h"
#include "support/LogCapture.h"

namespace ZelkorTest {
namespace {

using Zelkor::Param;

// A parameter's text; "-" when it is not set.
std::string Text(const Zelkor::Message& message, Param p) {
    const char* text = message.GetParameter(p);
    return text ? text : "-";
}

// Every entry as "key|path|value|error", the value in compact JSON.
std::vector<std::string> Entries(const Zelkor::FolderListing& listing) {
    std::vector<std::string> out;
    for (const auto& [key, entries] : listing.GetEntries()) {
        for (const auto& entry : entries) {
            Json::Value value;
            entry->GetJsonParameter(value, Param::value);
            out.push_back(key + "|" + Text(*entry, Param::path) + "|" +
                          (value.isNull() ? "-" : Zelkor::WriteCompactJson(value)) + "|" + Text(*entry, Param::error));
        }
    }
    return out;
}

TEST(FolderListingReader, ReadsListingsAsATable) {
    const LogCapture quiet;  // the broken line is logged
    struct Case {
        const char* line;
        bool ok;
        const char* error;  // the error text afterwards; null for the JSON reader's text
        std::vector<std::string> entries;
        const char* own;  // the message's own "path|error"
    };
    const Case cases[] = {
        {"@ls []", true, "", {}, "-|-"},
        {R"(@ls [{"path":"configuration/device/name","value":"x"}])", true, "",
         {"/configuration/device|configuration/device/name|\"x\"|-"}, "-|-"},
        {R"(@ls [{"path":"/","value":1},{"path":"/a","format":"string","error":5}])", true, "", {"|/|1|-", "/|/a|-|5"},
         "-|-"},
        // One object: its path is the message's own, and a lone error is too.
        {R"(@ls {"error":"Not authenticated"})", true, "Not authenticated", {"||-|Not authenticated"},
         "/|Not authenticated"},
        {R"(ls {"path":""})", true, "", {"||-|-"}, "|-"},
        // A value object lists its members under the path as given; object members are no values.
        {R"(@ls [{"path":"/a","value":{"x":1,"y":[1,2],"z":{"q":1}}}])", true, "", {"/a|/a|1|-", "/a|/a|[1,2]|-"},
         "-|-"},
        {"ls", false, "Objects must contain a path or error", {}, "-|-"},
        {R"(@ls [{"path":"/a","value":1},7])", false, "Array must contain objects", {"/|/a|1|-"}, "-|-"},
        {R"(@ls [{"path":"/a"},{"path":7},{"path":"/b"}])", false, "Objects must contain a path or error",
         {"/|/a|-|-"}, "-|-"},
        {R"(@ls [{"path":)", false, nullptr, {}, "-|-"},
    };
    for (const auto& c : cases) {
        Zelkor::ListFolder listing;
        std::string error;
        EXPECT_EQ(listing.FromNetworkFormat(c.line[0] != '@', c.line, error), c.ok) << c.line;
        if (c.error) {
            EXPECT_EQ(error, c.error) << c.line;
        } else {
            EXPECT_FALSE(error.empty()) << c.line;
        }
        EXPECT_EQ(Entries(listing), c.entries) << c.line;
        EXPECT_EQ(Text(listing, Param::path) + "|" + Text(listing, Param::error), c.own) << c.line;
    }
    // The recursive listing reads alike, but keeps a lone error off its own parameters.
    Zelkor::RecurseFolder recursive;
    std::string error;
    EXPECT_TRUE(recursive.FromNetworkFormat(false, R"(@rls {"error":"Not authenticated"})", error));
    EXPECT_EQ(error, "Not authenticated");
    EXPECT_EQ(Text(recursive, Param::path) + "|" + Text(recursive, Param::error), "/|-");
}

// A listing becomes at most the entry bound of entries, however its objects spread; the
// entries before the bound stay. AddValue keeps to the same bound.
TEST(FolderListingReader, StopsAtTheEntryBound) {
    struct Bound {
        ~Bound() { Zelkor::SetMaxEntriesPerMessage(Zelkor::kDefaultMaxEntriesPerMessage); }
    } restore;
    Zelkor::SetMaxEntriesPerMessage(2);
    const std::pair<const char*, bool> cases[] = {
        {R"(@ls [{"path":"/a"},{"path":"/b"}])", true},
        {R"(@ls [{"path":"/a"},{"path":"/b"},{"path":"/c"}])", false},
        {R"(@ls {"path":"/a","value":{"x":1,"y":2,"z":3}})", false},
        {R"(@ls [{"path":"/a","value":{"x":1}},{"path":"/b","value":{"y":2,"z":3}}])", false},
    };
    for (const auto& [line, ok] : cases) {
        Zelkor::RecurseFolder listing;
        std::string error;
        EXPECT_EQ(listing.FromNetworkFormat(false, line, error), ok) << line;
        EXPECT_EQ(error, ok ? "" : "Too many entries") << line;
        EXPECT_EQ(listing.EntryCount(), 2u) << line;
    }
    Zelkor::ListFolder built;
    EXPECT_TRUE(built.AddValue("/", "root", "string", nullptr, false));
    EXPECT_TRUE(built.AddValue("/a/b", nullptr, "string", "bad", false));
    EXPECT_FALSE(built.AddValue("/a/c", "3", nullptr, nullptr, false));
    EXPECT_EQ(Entries(built), (std::vector<std::string>{"/|/|\"root\"|-", "/a|/a/b|-|bad"}));
}

// "cd" takes non-empty texts only; requests carry their path; a reply read is written
// again as it came, so that a router passes it on whole; an unread reply without error
// is the bare word and a blank.
TEST(FolderMessages, CdReaderAndTheWriters) {
    const std::pair<const char*, const char*> cd[] = {
        {R"(@cd {"path":"/x","error":""})", "/x|-"},  {R"(@cd {"error":"Path not found"})", "-|Path not found"},
        {R"(@cd {"path":5})", "-|-"},                 {"@cd [1,2]", "-|-"},
        {"cd", "-|-"},
    };
    for (const auto& [line, expected] : cd) {
        Zelkor::NavigateFolder message;
        std::string error;
        EXPECT_TRUE(message.FromNetworkFormat(line[0] != '@', line, error)) << line;
        EXPECT_EQ(Text(message, Param::path) + "|" + Text(message, Param::error), expected) << line;
    }

    Zelkor::ListFolder request;
    request.SetJsonParameter(Param::path, Json::Value("/configuration"));
    EXPECT_EQ(request.Build(true), "ls {\"path\":\"/configuration\"}\n");
    EXPECT_EQ(Zelkor::ListFolder().Build(false), "@ls \n");
    const std::string listing = R"(@rls [{"path":"/a","value":"x"},{"path":"/b","value":[1, 2]}])";
    Zelkor::RecurseFolder read;
    std::string error;
    ASSERT_TRUE(read.FromNetworkFormat(false, listing, error));
    read.SetMessageForwardInfo(Zelkor::MessageForwardInfo("ctl", "router&dev", ""));
    EXPECT_EQ(read.Build(false), "[ctl][router&dev] " + listing + "\n");
    Zelkor::NavigateFolder refused;
    Zelkor::NavigateFolderInfo info{"/y", "Path not found"};
    EXPECT_TRUE(refused.SetParams(info));
    EXPECT_EQ(refused.Build(false), "@cd {\"error\":\"Path not found\",\"path\":\"/y\"}\n");
}

}  // namespace
}  // namespace ZelkorTest
