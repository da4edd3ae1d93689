#include <gtest/gtest.h>

#include "core/Param.h"

using Zelkor::Param;

TEST(Param, EveryNameMapsBackToItsValue) {
    for (int i = 0; i < Zelkor::kParamCount; ++i) {
        auto p = static_cast<Param>(i);
        EXPECT_EQ(Zelkor::ParamFromName(Zelkor::ParamName(p)), p) << i;
        EXPECT_EQ(Zelkor::StringFromParam().at(p), Zelkor::ParamName(p));
        EXPECT_EQ(Zelkor::ParamFromString().at(Zelkor::ParamName(p)), p);
    }
}

TEST(Param, FixedNumbersOutOfAlphabeticalOrder) {
    EXPECT_STREQ(Zelkor::ParamName(static_cast<Param>(0)), "arguments");
    EXPECT_STREQ(Zelkor::ParamName(static_cast<Param>(19)), "dhcp");
    EXPECT_STREQ(Zelkor::ParamName(static_cast<Param>(20)), "inclusions");
    EXPECT_STREQ(Zelkor::ParamName(static_cast<Param>(26)), "isdirty");
    EXPECT_STREQ(Zelkor::ParamName(static_cast<Param>(23)), "error");
    EXPECT_STREQ(Zelkor::ParamName(static_cast<Param>(47)), "message");
    EXPECT_STREQ(Zelkor::ParamName(static_cast<Param>(53)), "new");
    EXPECT_STREQ(Zelkor::ParamName(static_cast<Param>(55)), "path");
    EXPECT_STREQ(Zelkor::ParamName(static_cast<Param>(71)), "value");
    EXPECT_STREQ(Zelkor::ParamName(static_cast<Param>(77)), "writeonly");
}

TEST(Param, LookupIgnoresCaseButNotBlanks) {
    EXPECT_EQ(Zelkor::ParamFromName("PaTh"), Param::path);
    EXPECT_EQ(Zelkor::ParamFromName(" path"), Param::unknown);
    EXPECT_EQ(Zelkor::ParamFromName(""), Param::unknown);
    EXPECT_STREQ(Zelkor::ParamName(Param::unknown), "");
    EXPECT_STREQ(Zelkor::ParamName(static_cast<Param>(-1)), "");
    EXPECT_STREQ(Zelkor::ParamName(static_cast<Param>(1000)), "");
    // The exact-key table does not fold case.
    EXPECT_EQ(Zelkor::ParamFromString().count("Path"), 0u);
}
