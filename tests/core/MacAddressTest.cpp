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
    {std::string("00:11:22:33:44:55\0junk", 22), nullptr},
};

}  // namespace

TEST(MacAddress, ParsesTextTable) {
    for (const auto& c : kCases) {
        const MacAddress address(c.text);
        EXPECT_EQ(address.IsValid(), c.normalised != nullptr) << c.text;
        EXPECT_EQ(address.Text(), c.normalised ? c.normalised : "") << c.text;
        if (!c.normalised) {
            EXPECT_TRUE(address.isEmpty()) << c.text;
        }

        MacAddress viaSet;
        EXPECT_EQ(viaSet.Set(c.text), c.normalised != nullptr) << c.text;
        EXPECT_EQ(viaSet.IsValid(), c.normalised != nullptr) << c.text;
    }
}

TEST(MacAddress, FailedParseKeepsThePreviousAddress) {
    MacAddress address("01:23:45:67:89:ab");
    ASSERT_TRUE(address.IsValid());
    // Four good pairs before the fault must not leak into the held address.
    EXPECT_FALSE(address.Set("fe:dc:ba:98:xx:10"));
    EXPECT_FALSE(address.Set(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(address.Set(static_cast<const unsigned char*>(nullptr)));
    EXPECT_TRUE(address.IsValid());
    EXPECT_EQ(address.Text(), "01:23:45:67:89:ab");
    EXPECT_EQ(address, MacAddress("01-23-45-67-89-AB"));
}

TEST(MacAddress, BytesAndNullPointers) {
    const unsigned char bytes[6] = {0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xff};
    const MacAddress fromBytes(bytes);
    EXPECT_TRUE(fromBytes.IsValid());
    EXPECT_FALSE(fromBytes.isEmpty());
    EXPECT_EQ(fromBytes.Text(), "00:1a:2b:c3:d4:ff");
    EXPECT_EQ(fromBytes.Bytes()[3], 0xc3);
    // Equality looks at the bytes only, whatever separators the text used.
    EXPECT_EQ(fromBytes, MacAddress("00-1A-2b:C3-d4:ff"));
    EXPECT_NE(fromBytes, MacAddress("00:1a:2b:c3:d4:fe"));

    const unsigned char zeros[6] = {};
    const MacAddress zero(zeros);
    EXPECT_TRUE(zero.IsValid());
    EXPECT_TRUE(zero.isEmpty());
    EXPECT_EQ(zero.Text(), "00:00:00:00:00:00");
    // A default address and a parsed zero address compare equal, validity aside.
    EXPECT_EQ(zero, MacAddress());

    const MacAddress none;
    EXPECT_FALSE(none.IsValid());
    EXPECT_TRUE(none.isEmpty());
    EXPECT_EQ(none.Text(), "");
    EXPECT_FALSE(MacAddress(static_cast<const char*>(nullptr)).IsValid());
    EXPECT_FALSE(MacAddress(static_cast<const unsigned char*>(nullptr)).IsValid());
}
