// The event record and its one-line JSON form. Rows are compared through that form, whose
// every field the first test pins.
#include <gtest/gtest.h>

#include <string>

#include "storage/LogRow.h"

TEST(LogRow, WritesOneCompactLineInNameOrderAndReadsItBack) {
    const LOGROW row{12, 1700000000, 3, "net", "link \"up\"\n"};
    EXPECT_EQ(row.to_json(),
              R"({"category":"net","event":"link \"up\"\n","priority":3,"seqno":12,"time":1700000000})");
    const LOGROW extremes{18446744073709551615ULL, -9223372036854775807LL - 1, 4294967295U, "", ""};
    for (const LOGROW& sample : {row, extremes}) {
        LOGROW back;
        ASSERT_TRUE(back.from_json(sample.to_json())) << sample.to_json();
        EXPECT_EQ(back.to_json(), sample.to_json());
    }
}

TEST(LogRow, RefusedTextLeavesTheRowAlone) {
    const std::string texts[] = {
        "no brace here", "{\"seqno\":", R"({"seqno":-1})", R"({"time":"now"})",
        R"({"priority":4294967296})", R"({"event":[1]})",
        "{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}",
    };
    for (const auto& text : texts) {
        LOGROW row{1, 2, 3, "c", "e"};
        EXPECT_FALSE(row.from_json(text)) << text;
        EXPECT_EQ(row.to_json(), (LOGROW{1, 2, 3, "c", "e"}.to_json()));
    }
}
