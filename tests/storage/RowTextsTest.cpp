#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "storage/RowTexts.h"

namespace {

using Zelkor::RowTexts;

std::string TextOf(std::size_t length, std::size_t number) {
    std::string text = std::to_string(number) + ":";
    while (text.size() < length) {
        text += static_cast<char>('a' + text.size() % 26);
    }
    return text.substr(0, length);
}

// Texts of every size, across page ends and over several pages, read back whole while the
// oldest leave; the store holds no more pages than what it holds needs, and an emptied
// store starts again at its front.
TEST(RowTexts, TextsReadBackWholeAndOnlyTheirPagesAreHeld) {
    RowTexts texts;
    std::deque<std::pair<RowTexts::Ref, std::string>> held;
    std::size_t heldBytes = 0;
    const std::size_t lengths[] = {0, 1, 100, 4000, 30000, RowTexts::PageSize, RowTexts::PageSize + 7, 200000};
    for (std::size_t i = 0; i < 400; ++i) {
        const std::string text = TextOf(lengths[i % std::size(lengths)], i);
        held.emplace_back(texts.Add(text), text);
        heldBytes += text.size();
        if (held.size() > 50) {
            heldBytes -= held.front().second.size();
            texts.RemoveOldest(held.front().first);
            held.pop_front();
        }
        for (const auto& [ref, expected] : held) {
            ASSERT_EQ(texts.Copy(ref), expected) << i;
        }
        ASSERT_LE(texts.Pages(), heldBytes / RowTexts::PageSize + 2) << i;
    }
    while (!held.empty()) {
        texts.RemoveOldest(held.front().first);
        held.pop_front();
    }
    EXPECT_LE(texts.Pages(), 1u);
    const auto again = texts.Add("again");
    EXPECT_EQ(again.start, 0u);
    EXPECT_EQ(texts.Copy(again), "again");
}

}  // namespace
