// The event record and its one-line JSON form. Rows are compared through that form, whose
// every field the first test pins.
#include <gtest/gtest.h>

#include <string>

#include "storage/LogRow.h"

TEST(LogRow, WritesOneCompactLineInNameOrder) {
    const LOGROW row{12, 1700000000, 3, "net", "link \"up\"\n"};
    EXPECT_EQ(row.to_json(),
              R"({"category":"net","event":"link \"up\"\n","priority":3,"seqno":12,"time":1700000000})");
}

TEST(LogRow, RoundTripsEveryField) {
    const LOGROW rows[] = {
        {0, 0, 0, "", ""},
        {18446744073709551615ULL, -5, 4294967295U, "c", "e"},
        {7, -9223372036854775807LL - 1, 1, "ümlaut", "tab\t"},
    };
    for (const auto& row : rows) {
        LOGROW back;
        ASSERT_TRUE(back.from_json(row.to_json())) << row.to_json();
        EXPECT_EQ(back.to_json(), row.to_json());
    }
}

TEST(LogRow, ReadsFromTheFirstBraceAndDefaultsAbsentMembers) {
    LOGROW row{1, 2, 3, "old", "old"};
    ASSERT_TRUE(row.from_json(R"(ab{"seqno":7})"));
    EXPECT_EQ(row.to_json(), (LOGROW{7, 0, 0, "", ""}.to_json()));

    // Rows stored in the event log carry extra members and a signed time.
    ASSERT_TRUE(
        row.from_json(R"({"category":"c","event":"e","priority":2,"seqno":3,"time":-4,"extra":[1]})"));
    EXPECT_EQ(row.to_json(), (LOGROW{3, -4, 2, "c", "e"}.to_json()));
}

TEST(LogRow, RefusedTextLeavesTheRowAlone) {
    const std::string texts[] = {
        "",
        "no brace here",
        "{\"seqno\":",
        R"({"seqno":"7"})",
        R"({"seqno":-1})",
        R"({"time":"now"})",
        R"({"priority":4294967296})",
        R"({"priority":-1})",
        R"({"category":{}})",
        R"({"event":[1]})",
        "{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}",
    };
    for (const auto& text : texts) {
        LOGROW row{1, 2, 3, "c", "e"};
        EXPECT_FALSE(row.from_json(text)) << text;
        EXPECT_EQ(row.to_json(), (LOGROW{1, 2, 3, "c", "e"}.to_json()));
    }
}
