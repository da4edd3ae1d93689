// The multi-value messages and the folder lookup on the wire, without I/O: what "get" and
// "set" write, how values are converted, what the reader takes and refuses, and a
// container that travels through a request and comes back as it left.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "core/JsonText.h"
#include "services/FolderLookup.h"
#include "services/FolderNavigationMessages.h"
#include "services/MultiGetValue.h"
#include "services/MultiSetValue.h"
#include "storage/RequestBound.h"
#include "support/LogCapture.h"

namespace ZelkorTest {
namespace {

using Zelkor::FolderLookup;
using Zelkor::MultiGetValue;
using Zelkor::MultiSetGetWorker;
using Zelkor::MultiSetValue;
using Zelkor::ObjectParamContainer;
using Zelkor::Param;

struct BoundGuard {
    explicit BoundGuard(std::size_t count) { Zelkor::SetMaxEntriesPerMessage(count); }
    ~BoundGuard() { Zelkor::SetMaxEntriesPerMessage(Zelkor::kDefaultMaxEntriesPerMessage); }
};

std::string Text(const char* text) { return text ? text : "-"; }

// Every entry as "key|path|name|value|format|error|writeonly", the value in compact JSON.
std::vector<std::string> Entries(const MultiSetGetWorker& message) {
    std::vector<std::string> out;
    for (const auto& [key, entries] : message.GetValues()) {
        for (const auto& entry : entries) {
            const Json::Value& value = entry.Value();
            out.push_back(key + "|" + Text(entry.Path()) + "|" + Text(entry.Name()) + "|" +
                          (value.isNull() ? "-" : Zelkor::WriteCompactJson(value)) + "|" + Text(entry.Format()) +
                          "|" + Text(entry.Error()) + "|" + (entry.WriteOnly() ? "1" : "-"));
        }
    }
    return out;
}

Json::Value Null() { return Json::Value(); }

TEST(MultiValueWriter, WritesLinesAsATable) {
    using Build = std::function<void(MultiSetGetWorker&)>;
    const auto twoOfDevice = [](const char* nameFormat, const char* labelFormat) {
        return [=](MultiSetGetWorker& m) {
            m.AddValue("/configuration/device/name", "N", nameFormat, nullptr, false);
            m.AddValue("/configuration/device/label", "5", labelFormat, nullptr, false);
        };
    };
    const auto stored = [](const char* key, const char* name, Json::Value value, const char* error, bool hasValue) {
        return [=](MultiSetGetWorker& m) {
            m.AddValue(key, key, name, value, nullptr, nullptr, error, false, hasValue);
        };
    };
    struct Case {
        const char* word;
        bool request;
        Build build;
        const char* line;
    };
    const Case cases[] = {
        // A get request is paths only, in the order added, never grouped.
        {"get", true, twoOfDevice(nullptr, "string"),
         R"(get [{"path":"/configuration/device/name"},{"format":"string","path":"/configuration/device/label"}])"},
        {"set", true, twoOfDevice(nullptr, nullptr),
         R"(set {"path":"/configuration/device","value":{"label":"5","name":"N"}})"},
        {"set", true, twoOfDevice("string", "number"),
         R"(set [{"format":"string","path":"/configuration/device/name","value":"N"},)"
         R"({"format":"number","path":"/configuration/device/label","value":5}])"},
        {"get", true, [](MultiSetGetWorker& m) { m.AddValue("/a/.size", "3", "number", nullptr, false); },
         R"(get {"format":"number","path":"/a/.size","value":3})"},
        {"get", false, [](MultiSetGetWorker& m) { m.AddValue("/a/b", "x", nullptr, nullptr, false); },
         R"(@get {"path":"/a/b","value":"x"})"},
        {"get", false, [](MultiSetGetWorker& m) {
             m.SetMessageForwardInfo(Zelkor::MessageForwardInfo("nodeB", "nodeA", ""));
         },
         "[nodeB][nodeA] @get"},
        {"set", false, [](MultiSetGetWorker&) {}, "@set"},
        // The root has no member name: it is never grouped, and a top-level name joins "/" once.
        {"set", true, [](MultiSetGetWorker& m) {
             m.AddValue("/", "r", nullptr, nullptr, false);
             m.AddValue("/x", "1", nullptr, nullptr, false);
         },
         R"(set [{"path":"/","value":"r"},{"path":"/x","value":"1"}])"},
        {"set", true, [](MultiSetGetWorker& m) {
             m.AddValue("/x", "1", nullptr, nullptr, false);
             m.AddValue("/y", "2", nullptr, nullptr, false);
         },
         R"(set {"path":"/","value":{"x":"1","y":"2"}})"},
        // A name given twice would be one member of a grouped object.
        {"set", true, [](MultiSetGetWorker& m) {
             m.AddValue("/a/b", "1", nullptr, nullptr, false);
             m.AddValue("/a/b", "2", nullptr, nullptr, false);
         },
         R"(set [{"path":"/a/b","value":"1"},{"path":"/a/b","value":"2"}])"},
        {"set", false, [&](MultiSetGetWorker& m) {
             stored("/a", "x", Null(), "Path Readonly", true)(m);
             stored("/a", "y", Json::Value("1"), nullptr, true)(m);
         },
         R"(@set {"path":"/a","value":{"x":{"error":"Path Readonly"},"y":"1"}})"},
        // A member without a value would be lost in a grouped object.
        {"set", false, [&](MultiSetGetWorker& m) {
             stored("/a", "w", Null(), nullptr, false)(m);
             stored("/a", "y", Json::Value("1"), nullptr, true)(m);
         },
         R"(@set [{"path":"/a/w"},{"path":"/a/y","value":"1"}])"},
        // A key as a peer sent it, without its leading "/", is not part of the name.
        {"set", false, stored("dev", "device", Json::Value("1"), nullptr, true),
         R"(@set {"path":"dev/device","value":"1"})"},
    };
    for (const auto& c : cases) {
        std::unique_ptr<MultiSetGetWorker> message;
        if (std::string(c.word) == "get") {
            message = std::make_unique<MultiGetValue>(true);
        } else {
            message = std::make_unique<MultiSetValue>(true);
        }
        c.build(*message);
        EXPECT_EQ(message->ToNetworkFormat(c.request), c.line);
        EXPECT_EQ(message->Build(c.request), std::string(c.line) + "\n");
    }
}

// A path read from a peer may hold any character, a NUL among them: written again, it is
// the whole path, escaped as the JSON library escapes it.
TEST(MultiValueWriter, WritesAReadPathWhole) {
    MultiGetValue message(true);
    std::string error;
    ASSERT_TRUE(message.FromNetworkFormat(false, R"(@get {"path":"/a\u0000b/c","value":1})",
                                          error))
        << error;
    const std::string line = message.ToNetworkFormat(false);
    EXPECT_NE(line.find(R"({"path":"/a\u0000b/c",)"), std::string::npos) << line;
}

TEST(MultiValueWriter, ConvertsValuesByFormatAndType) {
    const std::string nines(1 << 20, '9');
    const std::string longOne = "1." + std::string(1 << 20, '0');
    const std::string longHalf = "0.5" + std::string(1 << 20, '0');
    Json::Value array(Json::arrayValue);
    array.append(1);
    array.append("2");
    struct Case {
        const char* format;
        const char* type;
        Json::Value held;
        bool isflags;
        Json::Value written;
    };
    const Case cases[] = {
        {"number", "", Json::Value("12"), false, Json::Value(Json::Int64(12))},
        {"number", "", Json::Value("12.5"), false, Json::Value(12.5)},
        {"number", "", Json::Value("abc"), false, Json::Value("abc")},
        {"number", "", Null(), false, Json::Value(0)},
        {"number", "", Json::Value("1e3"), false, Json::Value(Json::Int64(1000))},
        {"number", "", Json::Value(1e21), false, Json::Value(1e21)},
        {"norm", "", Json::Value("9223372036854775807"), false, Json::Value(Json::Int64(9223372036854775807))},
        {"number", "", Json::Value("9223372036854775808"), false, Json::Value(9223372036854775808.0)},
        {"number", "", Json::Value("-9223372036854775808"), false, Json::Value(Json::Int64(-9223372036854775807 - 1))},
        {"number", "", Json::Value("12.000"), false, Json::Value(Json::Int64(12))},
        {"number", "", Json::Value("-.5e1"), false, Json::Value(Json::Int64(-5))},
        {"number", "", Json::Value("+"), false, Json::Value(0)},
        {"number", "", Json::Value("e5"), false, Json::Value(0)},
        {"number", "", Json::Value("1."), false, Json::Value("1.")},
        {"number(3)", "", Json::Value("7"), false, Json::Value(Json::Int64(7))},
        {"number", "", Json::Value(true), false, Json::Value("true")},
        // A megabyte of digits: beyond any double it keeps its text; long fractions read.
        {"number", "", Json::Value(nines), false, Json::Value(nines)},
        {"number", "", Json::Value(longOne), false, Json::Value(Json::Int64(1))},
        {"number", "", Json::Value(longHalf), false, Json::Value(0.5)},
        {"variant", "boolean", Json::Value("TRUE"), false, Json::Value(true)},
        {"variant", "boolean", Json::Value("1"), false, Json::Value(false)},
        {"variant", "float", Json::Value("2.5"), false, Json::Value(2.5)},
        {"variant", "Integer", Json::Value("42"), false, Json::Value(Json::Int64(42))},
        {"variant", "enum", Json::Value("7"), false, Json::Value(Json::Int64(7))},
        {"variant", "string", Json::Value(5), false, Json::Value("5")},
        {"variant", "", Null(), false, Null()},
        {"string", "", Json::Value(5), false, Json::Value("5")},
        {"number", "", Json::Value("12"), true, Json::Value("12")},
        {"number", "", array, false, array},
    };
    for (const auto& c : cases) {
        MultiGetValue reply(true);
        reply.AddValue("/a", "/a", "v", c.held, c.format, c.type, nullptr, c.isflags, true);
        const std::string line = reply.ToNetworkFormat(false);
        Json::Value body;
        ASSERT_TRUE(Zelkor::ReadWholeJson(line.substr(line.find(' ') + 1), body)) << line.substr(0, 80);
        const Json::Value& written = body["value"];
        EXPECT_EQ(written, c.written) << c.format << " " << Zelkor::WriteCompactJson(c.held).substr(0, 40) << " gave "
                                      << Zelkor::WriteCompactJson(written).substr(0, 40);
    }
}

TEST(MultiValueReader, ReadsAndRefusesAsATable) {
    const LogCapture quiet;  // broken lines are logged
    struct Case {
        const char* line;
        bool request;
        bool ok;
        const char* error;  // null: the JSON reader's text
        std::vector<std::string> entries;
    };
    const Case cases[] = {
        {R"(get [{"path":"/configuration/device/name"},{"format":"string","path":"/configuration/device/label"}])",
         true, true, "",
         {"/configuration/device|/configuration/device/name|name|-|-|-|1",
          "/configuration/device|/configuration/device/label|label|-|string|-|1"}},
        {R"(@get {"path":"configuration/device/name","value":"x"})", false, true, "",
         {"/configuration/device|configuration/device/name|name|\"x\"|-|-|-"}},
        {R"(7-abcd [nodeB][nodeA] @get {"path":"/","value":1})", false, true, "", {"|/|/|1|-|-|-"}},
        {R"(set {"error":"x","path":"/a"})", true, false, "Request contained an error parameter", {}},
        {R"(@set {"error":"Path Readonly","path":"/a/b"})", false, true, "Path Readonly",
         {"/a|/a/b|b|-|-|Path Readonly|1"}},
        {R"(@get {"error":"Not authenticated"})", false, true, "Not authenticated", {"|||-|-|Not authenticated|1"}},
        // Requests need a path; any reply may be empty.
        {"get", true, false, "Path required", {}},
        {"set {}", true, false, "Path required", {}},
        {"@get", false, true, "", {}},
        {"get []", true, true, "", {}},
        {"get [1]", true, false, "Array must contain objects", {}},
        {R"(get [{"path":"/a"},{"value":1}])", true, false, "Path is required if no error", {"/|/a|a|-|-|-|1"}},
        {R"(get {"path":{}})", true, false, "Path is required if no error", {}},
        {R"(get {"path":5})", true, false, "Path must be a string", {}},
        {R"(@get {"error":5,"path":"/a"})", false, false, "Error must be a string", {}},
        {R"(@get {"path":"/a","value":{"b":{"error":7}}})", false, false, "Error must be a string", {}},
        // A value object: members by name, a member that is an object carries only its error.
        {R"(@set {"format":"number","path":"/a","value":{"x":1,"y":{"error":"Path Locked","v":2},"z":[1,2]}})",
         false, true, "",
         {"/a|/a|x|1|number|-|-", "/a|/a|y|-|number|Path Locked|1", "/a|/a|z|[1,2]|number|-|-"}},
        {R"(get {"path":)", true, false, nullptr, {}},
        {"", true, false, "No command found", {}},
    };
    for (const auto& c : cases) {
        MultiGetValue message(true);
        std::string error;
        EXPECT_EQ(message.FromNetworkFormat(c.request, c.line, error), c.ok) << c.line;
        if (c.error) {
            EXPECT_EQ(error, c.error) << c.line;
        } else {
            EXPECT_FALSE(error.empty()) << c.line;
        }
        EXPECT_EQ(Entries(message), c.entries) << c.line;
    }

    // What a writer sends for an empty answer reads back; an empty request does not.
    MultiSetValue empty(true);
    MultiSetValue reread(true);
    std::string error;
    EXPECT_TRUE(reread.FromNetworkFormat(false, empty.Build(false), error));
    EXPECT_EQ(reread.EntryCount(), 0u);
    EXPECT_FALSE(reread.FromNetworkFormat(true, empty.Build(true), error));
    EXPECT_EQ(error, "Path required");
}

// Every member of a grouped object keeps the object's path: a long path and many short
// members would make a line of a few hundred kilobytes a store of many megabytes. Ordinary
// paths and values still fit the entries bound whole.
TEST(MultiValueReader, StopsAtTheBytesBound) {
    // COUNT pieces, each made of its index, joined by "," between OPEN and CLOSE.
    const auto join = [](const char* open, std::size_t count, const std::function<std::string(std::size_t)>& piece,
                         const char* close) {
        std::string text = open;
        for (std::size_t i = 0; i < count; ++i) {
            text += (i == 0 ? "" : ",") + piece(i);
        }
        return text + close;
    };
    const std::string longPath = "/" + std::string(4000, 'k');
    const std::string grouped = join(
        (R"(set {"path":")" + longPath + R"(","value":{)").c_str(), 9000,
        [](std::size_t i) { return "\"m" + std::to_string(i) + "\":1"; }, "}}");
    const std::string ordinaryGet = join("get [", Zelkor::kDefaultMaxEntriesPerMessage, [](std::size_t i) {
        return R"({"format":"string","path":"/configuration/network/interface/)" + std::to_string(i % 8) + R"(/ipv4"})";
    }, "]");
    const std::string ordinarySet = join("set [", Zelkor::kDefaultMaxEntriesPerMessage, [](std::size_t i) {
        return R"({"path":"/configuration/device/location)" + std::to_string(i) + R"(","value":"Hall B, stage left"})";
    }, "]");
    for (const auto& [line, read] : {std::pair{&grouped, false}, {&ordinaryGet, true}, {&ordinarySet, true}}) {
        MultiSetValue message(true);
        std::string error;
        EXPECT_EQ(message.FromNetworkFormat(true, *line, error), read) << error;
        EXPECT_EQ(error, read ? "" : "Too many entries");
        EXPECT_LE(message.EntryBytes(), Zelkor::MaxEntryBytesPerMessage());
        EXPECT_EQ(message.EntryCount() == Zelkor::kDefaultMaxEntriesPerMessage, read);
    }
}

TEST(MultiValueReader, StopsAtTheEntryBound) {
    const BoundGuard bound(3);
    const char* const lines[] = {
        R"(@get [{"path":"/a"},{"path":"/b"},{"path":"/c"},{"path":"/d"}])",
        R"(@get {"path":"/a","value":{"p":1,"q":2,"r":3,"s":4}})",
    };
    for (const char* line : lines) {
        MultiGetValue message(true);
        std::string error;
        EXPECT_FALSE(message.FromNetworkFormat(false, line, error)) << line;
        EXPECT_EQ(error, "Too many entries") << line;
        EXPECT_EQ(message.EntryCount(), 3u) << line;
    }
    MultiGetValue full(true);
    std::string error;
    ASSERT_TRUE(full.FromNetworkFormat(false, R"(@get {"path":"/a","value":{"p":1,"q":2,"r":3}})", error));
    EXPECT_FALSE(full.AddValue("/a/s", "4", nullptr, nullptr, false));
    ObjectParamContainer container;
    FolderLookup::BuildObjects(full.GetValues(), container, true);
    MultiGetValue copy(true);
    EXPECT_TRUE(FolderLookup::ProcessObjectsIntoWorkerMessage(false, copy, container));
    EXPECT_FALSE(FolderLookup::ProcessObjectsIntoWorkerMessage(false, copy, container));
    EXPECT_EQ(copy.EntryCount(), 3u);
}

// Every kind of pair: defaulted and given formats, numbers, raw arrays, typed values, error
// records, errors beside a format, values not shown, the root and a top-level name.
ObjectParamContainer EveryKindOfPair() {
    ObjectParamContainer container;
    Zelkor::ContainerFormatValue device;
    device.AddContainer("name", Json::Value("N"), "variant", false, true);
    device.AddContainer("label", Json::Value("L"), "variant", false, true);
    container.AddContainers("/configuration/device", device);

    Zelkor::ContainerFormatValue mixed;
    mixed.AddContainer("n", Json::Value(12.5), "number", false, false);
    mixed.AddContainer("s", Json::Value("text"), "string", false, false);
    Json::Value array(Json::arrayValue);
    array.append(1);
    array.append("x");
    mixed.AddContainer("arr", array, "variant", true, false);
    mixed.AddErrorContainer("e", "Invalid Path");
    mixed.AddContainer("f", Null(), "string", false, false);
    mixed.GetContainer("f")->back().error = "Path Readonly";
    mixed.AddContainer("w", Null(), "string", false, false);
    mixed.GetContainer("w")->back().accessible = false;
    mixed.AddContainer("b", Json::Value(true), "variant", false, false);
    mixed.GetContainer("b")->back().type = "boolean";
    container.AddContainers("/a", mixed);

    Zelkor::ContainerFormatValue root;
    root.AddContainer("/", Json::Value("r"), "variant", false, true);
    container.AddContainers("", root);
    Zelkor::ContainerFormatValue top;
    top.AddContainer("x", Json::Value(1), "number", false, false);
    container.AddContainers("/", top);
    return container;
}

TEST(FolderLookupTest, ContainerTravelsThroughASetRequestUnchanged) {
    const ObjectParamContainer sent = EveryKindOfPair();
    MultiSetValue request(true);
    ASSERT_TRUE(FolderLookup::ProcessObjectsIntoWorkerMessage(false, request, sent));
    const std::string line = request.Build(true);

    MultiSetValue received(true);
    std::string error;
    ASSERT_TRUE(received.FromNetworkFormat(true, line, error)) << error << "\n" << line;
    ObjectParamContainer back;
    FolderLookup::BuildObjects(received.GetValues(), back, true);
    EXPECT_EQ(back.ToJsonText(), sent.ToJsonText()) << line;
    EXPECT_EQ(back.GetContainerNames(), sent.GetContainerNames());
}

// "format|value|error|defaulted" of each pair of one object path.
std::vector<std::string> Pairs(const ObjectParamContainer& container, const std::string& objectPath) {
    std::vector<std::string> out;
    const auto* values = container.GetContainers(objectPath);
    if (!values) {
        return out;
    }
    for (const auto& value : *values) {
        for (const auto& name : value.GetContainerNames()) {
            for (const auto& pair : *value.GetContainer(name)) {
                out.push_back(name + ":" + pair.format + "|" + Zelkor::WriteCompactJson(pair.value) + "|" +
                              pair.error + "|" + (pair.formatDefaulted ? "1" : "0"));
            }
        }
    }
    return out;
}

TEST(FolderLookupTest, BuildsContainersFromEntries) {
    MultiGetValue request(true);
    std::string error;
    ASSERT_TRUE(request.FromNetworkFormat(
        true,
        R"(get [{"format":"string","path":"/a/s"},{"path":"/a/v"},{"error":"Invalid Path","path":"/a/e"},)"
        R"({"format":"number","path":"/a/n"},{"error":"Path Locked","format":"number","path":"/a/n"}])",
        error));
    request.AddValue("/k", "/k", nullptr, Json::Value(1), nullptr, nullptr, nullptr, false, true);
    ObjectParamContainer container;
    FolderLookup::BuildObjects(request.GetValues(), container, false);
    EXPECT_EQ(Pairs(container, "/a"), (std::vector<std::string>{
                                          "e:|\"\"|Invalid Path|1",
                                          "n:number|\"\"||0",
                                          "n:number|\"\"|Path Locked|0",  // the error stays with its own entry
                                          "s:string|\"\"||0",
                                          "v:variant|\"\"||1",
                                      }));
    ASSERT_NE(container.GetContainers("/k"), nullptr);  // its one entry had no name
    EXPECT_TRUE(container.GetContainers("/k")->front().GetContainerNames().empty());

    // A reply from those pairs names a format only where the request did.
    MultiGetValue reply(true);
    ASSERT_TRUE(FolderLookup::ProcessObjectsIntoWorkerMessage(false, reply, container));
    EXPECT_EQ(reply.ToNetworkFormat(false),
              R"(@get [{"error":"Invalid Path","path":"/a/e"},{"format":"number","path":"/a/n","value":""},)"
              R"({"error":"Path Locked","format":"number","path":"/a/n"},{"format":"string","path":"/a/s","value":""},)"
              R"({"path":"/a/v","value":""}])");

    // Two object paths of two members each: every one of them is grouped in a "set".
    ObjectParamContainer two;
    for (const char* path : {"/a", "/b"}) {
        Zelkor::ContainerFormatValue value;
        value.AddContainer("p", Json::Value(1), "number", false, false);
        value.AddContainer("q", Json::Value(2), "number", false, false);
        two.AddContainers(path, value);
    }
    MultiSetValue set(true);
    ASSERT_TRUE(FolderLookup::ProcessObjectsIntoWorkerMessage(false, set, two));
    EXPECT_EQ(set.ToNetworkFormat(true), R"(set [{"format":"number","path":"/a","value":{"p":1,"q":2}},)"
                                         R"({"format":"number","path":"/b","value":{"p":1,"q":2}}])");

    // A listing names its members by path and keeps its errors on the pairs.
    Zelkor::ListFolder listing;
    ASSERT_TRUE(listing.FromNetworkFormat(false, R"(@ls [{"path":"/a/b","value":1},{"error":"Bad","path":"/a/c"}])",
                                          error));
    ObjectParamContainer listed;
    FolderLookup::BuildObjects(listing.GetEntries(), listed, true);
    EXPECT_EQ(Pairs(listed, "/a"), (std::vector<std::string>{"/a/b:variant|1||1", "/a/c:variant|null|Bad|1"}));
}

}  // namespace
}  // namespace ZelkorTest
