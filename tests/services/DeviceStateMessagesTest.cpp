// The device-state words on the wire: what a "setip" line reads as and the line settings
// make, and the bodies of the state, preset, presets and cancel replies peers rely on.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "driver/CommandTable.h"
#include "filetransfer/CancelPutFile.h"
#include "services/DeviceStateMessages.h"
#include "services/DeviceStateService.h"
#include "services/ListPresets.h"

namespace ZelkorTest {
namespace {

using Zelkor::SETIP_SETTINGS;

Zelkor::SETIP_SETTINGS Read(const std::string& line) {
    auto message = Zelkor::LookupCommand("setip")();
    std::string error;
    EXPECT_TRUE(message->FromNetworkFormat(line[0] != '@', line, error)) << error;
    return Zelkor::SetIP::ReadSettings(*message);
}

std::string Write(const SETIP_SETTINGS& settings, bool request) {
    Zelkor::SetIP message;
    Zelkor::DeviceStateService::BuildSetIP(settings, request, message);
    return message.Build(request);
}

SETIP_SETTINGS Settings(std::string ip, std::string mac, bool dhcp, bool result = true, std::string error = "") {
    SETIP_SETTINGS settings;
    settings.ip = std::move(ip);
    settings.mac = std::move(mac);
    settings.dhcp = dhcp;
    settings.result = result;
    settings.error = std::move(error);
    return settings;
}

TEST(DeviceStateMessages, SetIPReadsMacAddressDhcpAndError) {
    struct Case {
        const char* line;
        const char* mac;
        const char* ip;
        bool dhcp;
        const char* error;
    };
    const Case cases[] = {
        // "ipv4" before "ip", a MAC in another spelling normalised, a JSON boolean.
        {R"(setip {"mac":"AA-BB-CC-DD-EE-0F","dhcp":true,"ip":"10.0.0.9","ipv4":"10.0.0.5"})",
         "aa:bb:cc:dd:ee:0f", "10.0.0.5", true, ""},
        {R"(setip {"mac":"nonsense","dhcp":"True","ip":"10.0.0.9","ipv6":"fe80::1"})", "", "fe80::1", true, ""},
        {R"(setip {"dhcp":false,"ip":"10.0.0.9","subnetmask":"255.0.0.0"})", "", "10.0.0.9", false, ""},
        {R"(setip {"dhcp":"yes","mac":""})", "", "", false, ""},
        {R"(@setip {"mac":"aa:bb:cc:dd:ee:0f","dhcp":false,"error":"Unknown MAC address"})", "aa:bb:cc:dd:ee:0f", "",
         false, "Unknown MAC address"},
        {"setip", "", "", false, ""},
    };
    for (const Case& c : cases) {
        const SETIP_SETTINGS settings = Read(c.line);
        EXPECT_EQ(settings.mac, c.mac) << c.line;
        EXPECT_EQ(settings.ip, c.ip) << c.line;
        EXPECT_EQ(settings.dhcp, c.dhcp) << c.line;
        EXPECT_EQ(settings.error, c.error) << c.line;
        EXPECT_EQ(settings.result, settings.error.empty()) << c.line;
    }
    EXPECT_EQ(Read(R"(setip {"subnetmask":"255.255.0.0","gateway":"10.0.0.1"})").gateway, "10.0.0.1");
}

TEST(DeviceStateMessages, SetIPWritesDhcpAsBooleanAndTheAddressByFamily) {
    SETIP_SETTINGS full = Settings("192.168.1.7", "AA:BB:CC:DD:EE:FF", true);
    full.subnetmask = "255.255.255.0";
    full.gateway = "192.168.1.1";
    const std::pair<std::string, std::string> cases[] = {
        {Write(full, true),
         R"(setip {"dhcp":true,"gateway":"192.168.1.1","ipv4":"192.168.1.7","mac":"aa:bb:cc:dd:ee:ff","subnetmask":"255.255.255.0"})"
         "\n"},
        {Write(Settings("fe80::1", "", false), true), "setip {\"dhcp\":false,\"ipv6\":\"fe80::1\"}\n"},
        // An address or MAC that does not read is left out.
        {Write(Settings("300.1.1.1", "aa:bb", false), true), "setip {\"dhcp\":false}\n"},
        // Only a reply carries the refusal, a refusal without text in the general words.
        {Write(Settings("", "", false, false), true), "setip {\"dhcp\":false}\n"},
        {Write(Settings("", "", false, false), false),
         "@setip {\"dhcp\":false,\"error\":\"Unable to update network settings\"}\n"},
        {Write(Settings("", "", false, false, "Unknown MAC address"), false),
         "@setip {\"dhcp\":false,\"error\":\"Unknown MAC address\"}\n"},
        {Write(Settings("10.1.1.1", "", true), false), "@setip {\"dhcp\":true,\"ipv4\":\"10.1.1.1\"}\n"},
    };
    for (const auto& [written, expected] : cases) {
        EXPECT_EQ(written, expected);
    }
    // What is written reads back as it was given.
    const SETIP_SETTINGS back = Read(Write(full, true));
    EXPECT_EQ(back.mac + back.ip + back.subnetmask + back.gateway,
              "aa:bb:cc:dd:ee:ff" + full.ip + full.subnetmask + full.gateway);
    EXPECT_TRUE(back.dhcp);
}

TEST(DeviceStateMessages, StatePresetPresetsAndCancelBodies) {
    Zelkor::GetDeviceState state;
    // An application's text that looks like JSON still travels as a text.
    state.SetJsonParameter(Zelkor::Param::devicestate, Json::Value("{\"a\":1}"));
    Zelkor::GetPreset preset;
    preset.SetJsonParameter(Zelkor::Param::path, Json::Value("/presets/one"));
    preset.SetJsonParameter(Zelkor::Param::isdirty, Json::Value("false"));
    Zelkor::ListPresets presets;
    presets.SetJsonParameter(Zelkor::Param::command, Json::Value("presets"));
    Zelkor::cancelPutFile cancel;
    Zelkor::cancelPutFile refused;
    refused.SetParameter(Zelkor::Param::error, "Transfer canceled");
    const std::pair<std::string, std::string> cases[] = {
        {state.Build(false), "@getdevicestate {\"devicestate\":\"{\\\"a\\\":1}\"}\n"},
        {Zelkor::GetDeviceState().Build(true), "getdevicestate\n"},
        {preset.Build(false), "@getpresetinfo {\"isdirty\":\"false\",\"path\":\"/presets/one\"}\n"},
        {Zelkor::GetPreset().Build(true), "getpresetinfo\n"},
        {presets.Build(false), "@list {\"command\":\"presets\"}\n"},
        {cancel.Build(true), "cancelputfile\n"},
        {cancel.Build(false), "@cancelputfile\n"},
        {refused.Build(false), "@cancelputfile {\"error\":\"Transfer canceled\"}\n"},
    };
    for (const auto& [written, expected] : cases) {
        EXPECT_EQ(written, expected);
    }
    // The driver's table makes these classes; a bare cancel reply reads.
    for (const char* word : {"getdevicestate", "getpresetinfo", "setip", "cancelputfile"}) {
        auto made = Zelkor::LookupCommand(word)();
        std::string error;
        EXPECT_TRUE(made->FromNetworkFormat(false, std::string("@") + word, error)) << word << error;
    }
    auto read = Zelkor::LookupCommand("getdevicestate")();
    std::string error;
    ASSERT_TRUE(read->FromNetworkFormat(false, "@getdevicestate {\"devicestate\":\"idle\"}", error));
    EXPECT_EQ(read->GetParamValue(Zelkor::Param::devicestate), "idle");
}

}  // namespace
}  // namespace ZelkorTest
