#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/LineFramer.h"

namespace {

using Zelkor::LineFramer;

std::vector<std::string> feed(LineFramer& framer, const std::vector<std::string>& chunks) {
    std::vector<std::string> lines;
    std::string line;
    for (const auto& chunk : chunks) {
        framer.Append(chunk.data(), chunk.size());
        while (framer.Next(line)) {
            lines.push_back(line);
        }
    }
    return lines;
}

TEST(LineFramer, CutsLinesAcrossAndWithinChunks) {
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<std::string> lines;
        std::size_t pending;
    };
    const std::vector<Case> cases = {
        {"split line", {"ge", "t {}", "\n"}, {"get {}\n"}, 0},
        {"several in one", {"a\nb\nc\n"}, {"a\n", "b\n", "c\n"}, 0},
        {"tail kept", {"a\nbc", "d"}, {"a\n"}, 3},
        {"empty lines", {"\n\n"}, {"\n", "\n"}, 0},
        {"embedded NUL", {std::string("a\0b\n", 4)}, {std::string("a\0b\n", 4)}, 0},
    };
    for (const auto& c : cases) {
        LineFramer framer;
        EXPECT_EQ(feed(framer, c.chunks), c.lines) << c.name;
        EXPECT_EQ(framer.PendingSize(), c.pending) << c.name;
        EXPECT_FALSE(framer.Overflowed()) << c.name;
    }
}

TEST(LineFramer, OverflowsOnlyPastTheBound) {
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        bool overflow;
    };
    const std::vector<Case> cases = {
        {"line at the bound", {std::string(8, 'x') + "\n"}, false},
        {"complete line past the bound", {std::string(9, 'x') + "\n"}, true},
        {"growing line past the bound", {std::string(5, 'x'), std::string(5, 'x')}, true},
        {"many short lines", {std::string(40, '\n')}, false},
        {"unfinished line at the bound", {"a\n", std::string(8, 'x')}, false},
    };
    for (const auto& c : cases) {
        LineFramer framer(8);
        feed(framer, c.chunks);
        EXPECT_EQ(framer.Overflowed(), c.overflow) << c.name;
    }
}

TEST(LineFramer, StripFrontDropsOnlyLeadingBlanksAndUnprintableBytes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"  \t\x81\x7fget {\"a\":\" b\"}\r\n", "get {\"a\":\" b\"}\r\n"},
        {"\r\n", ""},
        {"\n", ""},
        {std::string("\0x\n", 3), "x\n"},
        {"get\n", "get\n"},
    };
    for (auto [line, stripped] : cases) {
        LineFramer::StripFront(line);
        EXPECT_EQ(line, stripped);
    }
}

TEST(LineFramer, YieldsNothingAfterOverflowUntilCleared) {
    LineFramer framer(4);
    EXPECT_TRUE(feed(framer, {"toolong\nok\n"}).empty());
    EXPECT_TRUE(framer.Overflowed());
    framer.Clear();
    EXPECT_EQ(feed(framer, {"ok\n"}), std::vector<std::string>{"ok\n"});
}

}  // namespace
