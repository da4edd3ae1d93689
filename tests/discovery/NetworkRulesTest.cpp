// The network exclusion rules: what the stored rules exclude, the add and remove requests
// with their replies and what they leave in storage, the goodbye to the devices a new rule
// names, and requests from several threads at once.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "discovery/DiscoveryTestSupport.h"

namespace ZelkorTest {
namespace {

using Zelkor::RuleDetails;
using Stored = std::map<std::string, std::vector<std::string>>;

const char* const kGuidA = "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13";
const char* const kGuidAUpper = "{5F0C3A52-8E1D-4B7A-9C64-2D1E7F9A0B13}";

// A tree whose six rule arrays have `size` elements; `stored` fills the first elements of
// arrays named like "disco/name" ("" leaves an element free).
std::string ruleTree(const Stored& stored, int size = 4) {
    const auto element = [](const std::string& value) {
        Json::Value node;
        node[".kind"] = "obj";
        node["name"][".kind"] = "param";
        node["name"][".value"] = value;
        return node;
    };
    Json::Value exclude;
    exclude[".kind"] = "obj";
    for (const char* set : {"disco", "list"}) {
        exclude[set][".kind"] = "obj";
        for (const char* type : {"classname", "name", "guid"}) {
            Json::Value& array = exclude[set][type];
            array[".kind"] = "array";
            array[".size"] = size;
            array[".static"] = true;
            array[".prototype"] = element("");
            const auto found = stored.find(std::string(set) + "/" + type);
            for (std::size_t i = 0; found != stored.end() && i < found->second.size(); ++i) {
                array[std::to_string(i + 1)] = element(found->second[i]);
            }
        }
    }
    Json::Value root;
    root["configuration"]["network"]["rules"]["exclude"] = exclude;
    return Zelkor::WriteCompactJson(root);
}

std::vector<std::string> storedValues(DiscoveryNode& node, const std::string& array, int size) {
    std::vector<std::string> values;
    for (int i = 1; i <= size; ++i) {
        const std::string path = "/configuration/network/rules/exclude/" + array + "/" + std::to_string(i) + "/name";
        std::string value = "(missing)";
        node.service->GetStorageModel()->GetValueForPath(path.c_str(), "string", value);
        values.push_back(value);
    }
    return values;
}

TEST(NetworkRules, StoredRulesExcludeByClassPrefixNameAndGuid) {
    DiscoveryNode node(ruleTree({{"disco/classname", {"amp"}},
                                 {"disco/name", {"", "stage-right"}},
                                 {"disco/guid", {kGuidAUpper}},
                                 {"list/classname", {"mixer"}}}));
    const auto& rules = node.service->ExclusionRules();
    const struct {
        const char *classname, *name, *guid;
        bool disco, list;
    } cases[] = {
        {"amp", "a", "", true, false},
        {"amplifier", "a", "", true, false},
        {"preamp", "a", "", false, false},
        {"speaker", "stage-right", "", true, false},
        {"speaker", "stage-right-2", "", false, false},
        {"speaker", "a", kGuidA, true, false},
        {"speaker", "", "", true, false},
        {"", "a", "", true, false},
        {"mixer", "a", "", false, true},
        {"mixer-2", "a", "", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.classname) + "|" + c.name + "|" + c.guid);
        EXPECT_EQ(rules.IsDeviceExcludedFromDisco(c.classname, c.name, c.guid), c.disco);
        EXPECT_EQ(rules.IsDeviceExcludedFromList(c.classname, c.name, c.guid), c.list);
    }
    // Without the arrays in storage no rule is in use.
    DiscoveryNode bare("{}");
    EXPECT_FALSE(bare.service->ExclusionRules().IsDeviceExcludedFromDisco("", "", ""));
}

TEST(NetworkRules, RequestsAnswerOnceAndKeepStorageInStep) {
    struct Row {
        const char* what;
        std::string tree;
        bool remove;
        std::vector<std::string> classnames, names, guids;
        std::string message;
        bool ok;
        RuleDetails details;
        std::vector<std::string> storedNames, storedGuids;
    };
    const std::vector<std::string> none(4, "");
    const std::vector<Row> rows = {
        {"adjacent repeat", ruleTree({}), false, {}, {"A", "A", "B"}, {}, "No error occurred", true,
         {{"Added to active exclusion list", {"A", "B"}}, {"Added to storage", {"A", "B"}}}, {"A", "B", "", ""}, none},
        // The later A is refused and not stored again.
        {"repeat further on", ruleTree({}), false, {}, {"A", "B", "A"}, {}, "Error occurred", false,
         {{"Added to active exclusion list", {"A", "B"}}, {"Network rule already active", {"A"}},
          {"Added to storage", {"A", "B"}}},
         {"A", "B", "", ""}, none},
        {"bad GUID", ruleTree({}), false, {}, {"C"}, {"not-a-guid", kGuidAUpper}, "Error occurred", false,
         {{"Guid not valid", {"not-a-guid"}}, {"Added to active exclusion list", {"C", kGuidA}},
          {"Added to storage", {"C", kGuidA}}},
         {"C", "", "", ""}, {kGuidA, "", "", ""}},
        {"already active", ruleTree({{"disco/name", {"X"}}}), false, {}, {"X"}, {}, "No parameter to set", false,
         {{"Network rule already active", {"X"}}}, {"X", "", "", ""}, none},
        {"database full", ruleTree({{"disco/name", {"P", "", "Q"}}}, 3), false, {}, {"R", "S"}, {}, "Error occurred",
         false,
         {{"Added to active exclusion list", {"R", "S"}}, {"Added to storage", {"R"}}, {"Database full", {"S"}}},
         {"P", "R", "Q"}, {"", "", ""}},
        {"nothing to add", ruleTree({}), false, {}, {}, {}, "No parameter to set", false, {}, none, none},
        {"not prepared", "{}", false, {}, {"A"}, {}, "Database not prepared for network rules", false, {},
         std::vector<std::string>(4, "(missing)"), std::vector<std::string>(4, "(missing)")},
        // Every stored copy goes; a GUID that does not read fails the removal.
        {"removal", ruleTree({{"disco/name", {"A", "B", "A"}}, {"disco/guid", {kGuidAUpper}}}), true, {}, {"A"},
         {"bad", kGuidA}, "Error occurred", false,
         {{"Guid not valid", {"bad"}},
          {"Removed from active exclusion list", {"A", "A", kGuidA}},
          {"Removed from storage", {"A", "A", kGuidAUpper}}},
         {"", "B", "", ""}, none},
        {"nothing to remove", ruleTree({}), true, {}, {}, {}, "No parameter to set", false, {}, none, none},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        DiscoveryNode node(row.tree);
        int replies = 0;
        std::string message;
        bool ok = !row.ok;
        RuleDetails details;
        const Zelkor::RuleReply reply = [&](const std::string text, bool success, RuleDetails& got) {
            ++replies;
            message = text;
            ok = success;
            details = got;
        };
        if (row.remove) {
            node.service->RemoveNetworkRuleExcusion(row.classnames, row.names, row.guids, reply);
        } else {
            node.service->AddNetworkRuleExcusion(row.classnames, row.names, row.guids, reply);
        }
        EXPECT_EQ(replies, 1);
        EXPECT_EQ(message, row.message);
        EXPECT_EQ(ok, row.ok);
        EXPECT_EQ(details, row.details);
        const int size = static_cast<int>(row.storedNames.size());
        EXPECT_EQ(storedValues(node, "disco/name", size), row.storedNames);
        EXPECT_EQ(storedValues(node, "disco/guid", size), row.storedGuids);
    }
}

// A new class-name rule tells goodbye to every device it excludes from discovery: the
// class name itself and every longer one that begins with it.
TEST(NetworkRules, ANewRuleDisconnectsTheDevicesItNames) {
    DiscoveryNode node(ruleTree({}));
    const struct {
        const char *guid, *classname;
        Zelkor::DeviceNetState after;
    } cases[] = {
        {kGuidA, "amplifier", Zelkor::DeviceNetStateDisconnected},
        {"0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a", "amp", Zelkor::DeviceNetStateDisconnected},
        {"1c4f0e2d-3b5a-4d7f-9e1c-2a3b4c5d6e7f", "preamp", Zelkor::DeviceNetStateNew},
        {"2d5a1f3e-4c6b-4e8a-8f2d-3b4c5d6e7f80", "speaker", Zelkor::DeviceNetStateDisconnected},
    };
    std::vector<std::shared_ptr<Zelkor::DeviceImpl>> devices;
    for (const auto& c : cases) {
        devices.push_back(std::make_shared<Zelkor::DeviceImpl>(
            node.driver.get(), Record(std::string(R"({"guid":")") + c.guid + R"(","name":"n-)" + c.classname +
                                      R"(","ip":"10.0.0.5","port":4197,"classname":")" + c.classname + R"("})")));
        node.service->enterDevice(devices.back(), Zelkor::DiscoveryService::AllTables);
        devices.back()->setCurrentState(Zelkor::DeviceNetStateNew);
    }
    node.service->AddNetworkRuleExcusion({"amp"}, {}, {"2D5A1F3E4C6B4E8A8F2D3B4C5D6E7F80"}, nullptr);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(devices[i]->GetCurrentState(), cases[i].after) << cases[i].classname;
        EXPECT_NE(node.service->GetDeviceByUUID(cases[i].guid), nullptr);
    }
}

// Requests from several threads take free elements one at a time while the checks go on.
TEST(NetworkRulesThreads, ConcurrentAddsStoreEveryRuleOnce) {
    DiscoveryNode node(ruleTree({}, 8));
    std::atomic<bool> done{false};
    std::thread checker([&] {
        while (!done.load()) {
            node.service->ExclusionRules().IsDeviceExcludedFromDisco("speaker", "n3", kGuidA);
        }
    });
    std::vector<std::thread> adders;
    std::atomic<int> replies{0};
    for (const char* prefix : {"a", "b"}) {
        adders.emplace_back([&, prefix] {
            for (int i = 0; i < 4; ++i) {
                node.service->AddNetworkRuleExcusion(
                    {}, {prefix + std::to_string(i)}, {},
                    [&](const std::string, bool ok, RuleDetails&) { replies += ok ? 1 : 100; });
            }
        });
    }
    for (auto& adder : adders) {
        adder.join();
    }
    done.store(true);
    checker.join();
    EXPECT_EQ(replies.load(), 8);
    auto stored = storedValues(node, "disco/name", 8);
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(stored, (std::vector<std::string>{"a0", "a1", "a2", "a3", "b0", "b1", "b2", "b3"}));
}

}  // namespace
}  // namespace ZelkorTest
