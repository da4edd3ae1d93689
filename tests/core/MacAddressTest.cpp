#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/MacAddress.h"

using Zelkor::MacAddress;

namespace {

struct ParseCase {
    std::string text;
    const char* normalised;  // null: not an address
};

const std::vector<ParseCase> kCases = {
    {" {AA-bb:Cc-dD:0e:F1}", "aa:bb:cc:dd:0e:f1"},
    {"\t 00:11:22:33:44:55", "00:11:22:33:44:55"},
    {"{00-11-22-33-44-55", "00:11:22:33:44:55"},
    {"00:11:22:33:44:55}", "00:11:22:33:44:55"},
    {"ff:ff:ff:ff:ff:ff", "ff:ff:ff:ff:ff:ff"},
    {"", nullptr},
    {" \t ", nullptr},
    {"00:11:22:33:44:55 ", nullptr},
    {"00:11:22:33:44", nullptr},
    {"00:11:22:33:44:", nullptr},
    {"00:11:22:33:44:55:66", nullptr},
    {"g0:11:22:33:44:55", nullptr},
    {"001122334455", nullptr},
    {"0:11:22:33:44:55", nullptr},
    {"00::11:22:33:44:55", nullptr},
    {"00.11.22.33.44.55", nullptr},
    {"{{00:11:22:33:44:55}", nullptr},
    {"00:11:22:33:44:55}}", nullptr},
    {"00:11:22:33:44:5g", nullptr},
    {"fe:dc:ba:98:xx:10", nullptr},
    {std::string("00:11:22:33:44:55\0junk", 22), nullptr},
};

}  // namespace

TEST(MacAddress, ParsesWholeTextsOnly) {
    for (const auto& c : kCases) {
        const bool valid = c.normalised != nullptr;
        // A text that is not an address leaves the held one as it was, however much of
        // it parsed before the fault.
        MacAddress address("01:23:45:67:89:ab");
        EXPECT_EQ(address.Set(c.text), valid) << c.text;
        EXPECT_TRUE(address.IsValid()) << c.text;
        EXPECT_EQ(address.Text(), valid ? c.normalised : "01:23:45:67:89:ab") << c.text;
    }
    MacAddress address("01:23:45:67:89:ab");
    EXPECT_FALSE(address.Set(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(address.Set(static_cast<const unsigned char*>(nullptr)));
    EXPECT_EQ(address.Text(), "01:23:45:67:89:ab");
}

TEST(MacAddress, BytesAndEquality) {
    const unsigned char bytes[6] = {0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xff};
    const MacAddress fromBytes(bytes);
    EXPECT_TRUE(fromBytes.IsValid());
    EXPECT_EQ(fromBytes.Text(), "00:1a:2b:c3:d4:ff");
    // Equality looks at the bytes only, whatever separators the text used.
    EXPECT_EQ(fromBytes, MacAddress("00-1A-2b:C3-d4:ff"));
    EXPECT_NE(fromBytes, MacAddress("00:1a:2b:c3:d4:fe"));

    const unsigned char zeros[6] = {};
    const MacAddress zero(zeros);
    EXPECT_TRUE(zero.IsValid());
    EXPECT_TRUE(zero.isEmpty());
    // A default address and a zero address compare equal, validity aside.
    EXPECT_EQ(zero, MacAddress());
    EXPECT_FALSE(MacAddress().IsValid());
    EXPECT_EQ(MacAddress().Text(), "");
}
