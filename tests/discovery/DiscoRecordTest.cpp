// The discovered-device record: what a reply (or a router's list entry) changes, what it
// is refused for, and the JSON fragment it writes for device lists.

#include <gtest/gtest.h>

#include "core/ZelkorLog.h"
#include "discovery/DiscoveryTestSupport.h"
#include "discovery/GuidText.h"
#include "support/LogCapture.h"

namespace ZelkorTest {
namespace {

using Zelkor::NewDiscoInfo;

std::string field(const NewDiscoInfo& record, const std::string& name) {
    const Zelkor::DiscoInfo& info = record.getDiscoInfo();
    if (name == "port") return std::to_string(info.port);
    if (name == "replyport") return std::to_string(info.replyport);
    if (name == "dhcp") return info.dhcp ? "1" : "0";
    if (name == "redundant") return info.redundant ? "1" : "0";
    if (name == "old") return info.oldProtocol ? "1" : "0";
    if (name == "dirty") return info.dirty ? "1" : "0";
    if (name == "version") return info.protocolversion;
    if (name == "name") return info.name;
    if (name == "label") return info.label;
    if (name == "ip") return record.Address().to_string();
    if (name == "guid") return Zelkor::CanonicalGuid(record.Guid());
    if (name == "time") return std::to_string(info.devicelisttime);
    return "?";
}

// Everything a refused reply must leave as it was.
std::string snapshot(const NewDiscoInfo& record) {
    return record.InfoString() + "|" + field(record, "redundant") + field(record, "old") + field(record, "dirty") +
           field(record, "replyport") + field(record, "time");
}

// One record through a script of replies, each checked against the one before.
TEST(DiscoRecord, UpdateFromReplies) {
    LogCapture log;
    ZelkorLog::TheLog().SetLevel(5);
    const std::string longVersion = std::string(100000, '9') + ".0.0.1";
    const std::string awkwardName = "a\\\"b\\\\c\\nd";  // a"b\c<LF>d, as JSON text
    struct Row {
        std::string body;
        bool accepted;
        const char* field;
        std::string value;
    };
    const Row rows[] = {
        {R"({"label":"Main"})", true, "dirty", "1"},
        {R"({"label":"Main"})", true, "dirty", "0"},
        {R"({"port":"0"})", false, "port", "4197"},
        {R"({"port":"70000"})", false, "port", "4197"},
        {R"({"port":4198})", true, "port", "4198"},
        {R"({"replyport":"-1"})", false, "replyport", "0"},
        {R"({"dhcp":"1"})", true, "dhcp", "0"},
        {R"({"dhcp":"auto"})", true, "dhcp", "0"},
        {R"({"dhcp":"0"})", true, "dhcp", "1"},
        {R"({"dhcp":"Static"})", true, "dhcp", "0"},
        {R"({"inclusions":"a|redundant"})", true, "redundant", "1"},
        {R"({"inclusions":"redundant;x"})", true, "redundant", "0"},
        {R"({"protocolversion":"1.7.0.3"})", true, "old", "1"},
        {R"({"protocolversion":"1.16"})", false, "version", "1.7.0.3"},
        {R"({"protocolversion":"1.16.1.26"})", true, "old", "0"},
        {R"({"protocolversion":"0.99.0.0"})", true, "old", "1"},
        {R"({"protocolversion":")" + longVersion + R"("})", true, "old", "0"},
        {R"({"protocolversion":")" + longVersion + R"(x"})", false, "version", longVersion},
        {R"({"protocolversion":"1.8.0.0"})", true, "old", "0"},
        // Keys in ascending order: the bad GUID refuses the reply before "name" is read.
        {R"({"guid":"not-a-guid","name":"renamed"})", false, "name", "amp"},
        // Refused after earlier members were taken: nothing of the reply stays.
        {R"({"label":"Other","protocolversion":"1.16"})", false, "label", "Main"},
        {R"({"ip":"300.1.1.1"})", false, "ip", "10.0.0.5"},
        {R"({"devicelisttime":"x"})", false, "time", "0"},
        {R"({"devicelisttime":"99999999999999999999"})", false, "time", "0"},
        {R"({"devicelisttime":" 42s","name":"a&b"})", false, "time", "0"},
        {R"({"ip":[1],"mac":{"a":1},"label":"L"})", true, "label", "L"},
        {R"({"name":")" + awkwardName + R"("})", true, "name", "a\"b\\c\nd"},
    };
    NewDiscoInfo record = Record(R"({"guid":"{5F0C3A52-8E1D-4B7A-9C64-2D1E7F9A0B13}","name":"amp",)"
                                 R"("ip":"10.0.0.5","port":4197})");
    ASSERT_EQ(field(record, "guid"), "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.body.substr(0, 80));
        const std::string before = snapshot(record);
        EXPECT_EQ(record.updateFrom(Body(row.body)), row.accepted);
        EXPECT_EQ(field(record, row.field), row.value);
        if (!row.accepted) {
            EXPECT_EQ(snapshot(record), before);
        }
    }
    EXPECT_EQ(log.Count("ZK5907W Invalid protocol version"), 3u);
    EXPECT_TRUE(log.Contains("ZK5905W Invalid GUID in disco reply (not-a-guid)"));
    EXPECT_TRUE(log.Contains("ZK5906W Invalid device name (a&b)"));
    EXPECT_TRUE(log.Contains("ZK5903W Invalid argument for device list time (x)"));
    EXPECT_EQ(log.Count("ZK5904W Device list time out of range for time_t"), 1u);
    EXPECT_FALSE(log.Contains("for time_t ("));

    // The peer's texts reach the list fragment escaped: one JSON object, one line.
    const std::string fragment = record.InfoString();
    EXPECT_EQ(fragment.find('\n'), std::string::npos);
    Json::Value parsed;
    ASSERT_TRUE(Zelkor::ReadWholeJson("{" + fragment + "}", parsed)) << fragment;
    EXPECT_EQ(parsed["name"], Json::Value("a\"b\\c\nd"));
    EXPECT_EQ(parsed.size(), 25u);
}

TEST(DiscoRecord, InfoStringOfAFreshRecord) {
    NewDiscoInfo record;
    record.buildInfoStrings();
    EXPECT_EQ(record.InfoString(),
              R"("classname":"","container":"","descriptorversion":"","devicestate":"","dhcp":"DHCP",)"
              R"("exclusions":"","family":"","fingerprint":"","gateway":"0.0.0.0",)"
              R"("guid":"00000000-0000-0000-0000-000000000000","inclusions":"","ip":"0.0.0.0","label":"",)"
              R"("locating":false,"location":"","mac":"","manufacturer":"","mode":"","model":"","name":"",)"
              R"("port":0,"protocolversion":"","serialnumber":"","subnetmask":"0.0.0.0","version":"")");
}

// A router's list entry: the dirty flag tells of this update, and an entry without a
// name changes nothing.
TEST(DiscoRecord, UpdateFromListEntries) {
    using Zelkor::MessageParameter;
    using Zelkor::Param;
    NewDiscoInfo record = Record(R"({"guid":"5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13","name":"amp","ip":"10.0.0.5"})");
    ASSERT_TRUE(record.updateFrom(Body(R"({"label":"new"})")));
    ASSERT_TRUE(record.getDiscoInfo().dirty);
    const std::vector<MessageParameter> same = {{Param::name, "amp"}, {Param::ip, "10.0.0.5"},
                                                {Param::label, "new"}};
    EXPECT_TRUE(record.updateFrom(same));
    EXPECT_FALSE(record.getDiscoInfo().dirty);
    EXPECT_TRUE(record.updateFrom({{Param::name, "amp"}, {Param::ip, "10.0.0.5"}, {Param::dhcp, "static"}}));
    EXPECT_TRUE(record.getDiscoInfo().dirty);
    EXPECT_FALSE(record.getDiscoInfo().dhcp);

    const std::string before = snapshot(record);
    EXPECT_FALSE(record.updateFrom({{Param::label, "lost"}, {Param::name, ""}, {Param::ip, "10.0.0.6"}}));
    EXPECT_FALSE(record.updateFrom({{Param::name, "amp"}, {Param::ip, "bogus"}}));
    EXPECT_EQ(snapshot(record), before);
}

}  // namespace
}  // namespace ZelkorTest
