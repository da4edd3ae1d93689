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

// The connection tests cover lines split over reads and several in one read; these are
// the bound's edges, which a wide-margin test over a socket would not notice.
TEST(LineFramer, CutsLinesUpToTheBound) {
    const std::string x8(8, 'x');
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<std::string> lines;
        bool overflow;
    };
    const std::vector<Case> cases = {
        {"tail kept for the next chunk", {"a\nbc", "d\n"}, {"a\n", "bcd\n"}, false},
        {"embedded NUL", {std::string("a\0b\n", 4)}, {std::string("a\0b\n", 4)}, false},
        {"line at the bound", {x8 + "\n"}, {x8 + "\n"}, false},
        {"unfinished line at the bound", {"a\n", x8}, {"a\n"}, false},
        {"many short lines", {std::string(12, '\n')}, std::vector<std::string>(12, "\n"), false},
        {"complete line past the bound", {x8 + "x\nok\n"}, {}, true},
        {"growing line past the bound", {"xxxxx", "xxxxx"}, {}, true},
    };
    for (const auto& c : cases) {
        LineFramer framer(8);
        EXPECT_EQ(feed(framer, c.chunks), c.lines) << c.name;
        EXPECT_EQ(framer.Overflowed(), c.overflow) << c.name;
    }
    // Nothing more comes out of an overflowed stream until it is cleared.
    LineFramer framer(4);
    EXPECT_TRUE(feed(framer, {"toolong\n", "ok\n"}).empty());
    framer.Clear();
    EXPECT_EQ(feed(framer, {"ok\n"}), std::vector<std::string>{"ok\n"});
}

TEST(LineFramer, StripFrontDropsOnlyLeadingBlanksAndUnprintableBytes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"  \t\x81\x7fget {\"a\":\" b\"}\r\n", "get {\"a\":\" b\"}\r\n"},
        {"\r\n", ""},
        {std::string("\0x\n", 3), "x\n"},
        {"get\n", "get\n"},
    };
    for (auto [line, stripped] : cases) {
        LineFramer::StripFront(line);
        EXPECT_EQ(line, stripped);
    }
}

}  // namespace
