#include <gtest/gtest.h>

#include <utility>

#include "core/Param.h"

using Zelkor::Param;
using Zelkor::ParamName;

// Tables elsewhere are keyed by the numbers, which do not follow the alphabet.
TEST(Param, NamesAndFixedNumbersMapBothWays) {
    for (int i = 0; i < Zelkor::kParamCount; ++i) {
        const auto p = static_cast<Param>(i);
        EXPECT_EQ(Zelkor::ParamFromName(ParamName(p)), p) << i;
        EXPECT_EQ(Zelkor::StringFromParam().at(p), ParamName(p));
    }
    const std::pair<int, const char*> fixed[] = {{0, "arguments"}, {20, "inclusions"}, {26, "isdirty"},
                                                 {53, "new"},      {72, "seqno"},      {77, "writeonly"}};
    for (const auto& [number, name] : fixed) {
        EXPECT_STREQ(ParamName(static_cast<Param>(number)), name);
    }
    // Lookup folds case but does not trim; the exact-key table does not fold case.
    EXPECT_EQ(Zelkor::ParamFromName("PaTh"), Param::path);
    EXPECT_EQ(Zelkor::ParamFromName(" path"), Param::unknown);
    EXPECT_EQ(Zelkor::ParamFromString().count("Path"), 0u);
    EXPECT_STREQ(ParamName(Param::unknown), "");
}
