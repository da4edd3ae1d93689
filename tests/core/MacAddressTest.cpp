#include <gtest/gtest.h>

#include <string>

#include "core/MacAddress.h"

using Zelkor::MacAddress;

// A text that is not an address once left the pairs read before the fault in the held
// address; a failed parse now leaves it as it was.
TEST(MacAddress, ParsesWholeTextsOnly) {
    const struct {
        std::string text;
        const char* normalised;  // null: not an address
    } cases[] = {
        {" {AA-bb:Cc-dD:0e:F1}", "aa:bb:cc:dd:0e:f1"},
        {" \t ", nullptr},
        {"00:11:22:33:44:55 ", nullptr},
        {"00:11:22:33:44", nullptr},
        {"g0:11:22:33:44:55", nullptr},
        {"0:11:22:33:44:55", nullptr},
        {std::string("00:11:22:33:44:55\0junk", 22), nullptr},
    };
    for (const auto& c : cases) {
        MacAddress address("01:23:45:67:89:ab");
        EXPECT_EQ(address.Set(c.text), c.normalised != nullptr) << c.text;
        EXPECT_EQ(address.Text(), c.normalised ? c.normalised : "01:23:45:67:89:ab") << c.text;
    }
    MacAddress address("01:23:45:67:89:ab");
    EXPECT_FALSE(address.Set(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(address.Set(static_cast<const unsigned char*>(nullptr)));

    // Equality looks at the bytes only, whatever separators the text used.
    const unsigned char bytes[6] = {0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xff};
    EXPECT_EQ(MacAddress(bytes).Text(), "00:1a:2b:c3:d4:ff");
    EXPECT_EQ(MacAddress(bytes), MacAddress("00-1A-2b:C3-d4:ff"));
    EXPECT_NE(MacAddress(bytes), MacAddress("00:1a:2b:c3:d4:fe"));
}
