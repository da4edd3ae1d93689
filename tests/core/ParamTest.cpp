#include <gtest/gtest.h>

#include <utility>

#include "core/Param.h"

using Zelkor::Param;
using Zelkor::ParamName;

TEST(Param, NamesAndFixedNumbersMapBothWays) {
    for (int i = 0; i < Zelkor::kParamCount; ++i) {
        const auto p = static_cast<Param>(i);
        EXPECT_EQ(Zelkor::ParamFromName(ParamName(p)), p) << i;
        EXPECT_EQ(Zelkor::StringFromParam().at(p), ParamName(p));
        EXPECT_EQ(Zelkor::ParamFromString().at(ParamName(p)), p);
    }
    // Tables elsewhere are keyed by the numbers, which do not follow the alphabet.
    const std::pair<int, const char*> fixed[] = {{0, "arguments"}, {19, "dhcp"},   {20, "inclusions"},
                                                 {23, "error"},    {26, "isdirty"}, {47, "message"},
                                                 {53, "new"},      {55, "path"},    {71, "value"},
                                                 {77, "writeonly"}};
    for (const auto& [number, name] : fixed) {
        EXPECT_STREQ(ParamName(static_cast<Param>(number)), name);
    }

    // Lookup folds case but does not trim; numbers outside the table have no name.
    EXPECT_EQ(Zelkor::ParamFromName("PaTh"), Param::path);
    EXPECT_EQ(Zelkor::ParamFromName(" path"), Param::unknown);
    EXPECT_EQ(Zelkor::ParamFromName(""), Param::unknown);
    for (int outside : {78, -1, 1000}) {
        EXPECT_STREQ(ParamName(static_cast<Param>(outside)), "") << outside;
    }
    // The exact-key table does not fold case.
    EXPECT_EQ(Zelkor::ParamFromString().count("Path"), 0u);
}
