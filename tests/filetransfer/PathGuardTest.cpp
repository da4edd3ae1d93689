// Which paths a peer may name: a ".." element climbs out of the folder the path seems to
// name and a NUL cuts what the system sees short of what was checked.

#include <gtest/gtest.h>

#include <string>

#include "storage/PathGuard.h"

namespace ZelkorTest {
namespace {

TEST(PathGuard, RefusesParentElementsUnlessAllowedAndAlwaysNulAndEmpty) {
    struct Case {
        std::string path;
        bool allowed;  // with parent paths allowed
        bool plain;    // without
    };
    const Case cases[] = {
        {"a.bin", true, true},
        {"a/b/c.bin", true, true},
        {"/etc/x", true, true},  // absolute paths stay (under an empty root)
        {"../x", true, false},
        {"a/../b", true, false},
        {"a/..", true, false},
        {"..", true, false},
        {"a\\..\\b", true, false},
        {"..\\x", true, false},
        {"a/..\\..", true, false},
        {"a//../", true, false},
        {"a/..b", true, true},
        {"..a/b", true, true},
        {"a/b..", true, true},
        {"...", true, true},
        {"./a", true, true},
        {".", true, true},
        {std::string("x\0y", 3), false, false},
        {std::string("a.bin\0", 6), false, false},
        {"", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Zelkor::PeerPathAllowed(c.path, true), c.allowed) << c.path;
        EXPECT_EQ(Zelkor::PeerPathAllowed(c.path, false), c.plain) << c.path;
    }
}

}  // namespace
}  // namespace ZelkorTest
