// The memory of refused moves that keeps their log to one line per device and endpoint.

#include <gtest/gtest.h>

#include "discovery/RefusedMoves.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::make_address;
using Zelkor::RefusedMoves;

TEST(RefusedMoves, OnceEachPerDeviceAndEndpointWithinItsBound) {
    const std::string a = "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a";
    const std::string b = "1c4f0e2d-3b5a-4d7f-9e1c-2a3b4c5d6e7f";
    const RefusedMoves::Endpoint x{make_address("10.0.0.3"), 4300};
    const RefusedMoves::Endpoint y{make_address("10.0.0.3"), 4301};
    RefusedMoves moves(3);
    EXPECT_TRUE(moves.Refused(a, x));
    EXPECT_FALSE(moves.Refused(a, x));
    EXPECT_TRUE(moves.Refused(a, y));
    EXPECT_TRUE(moves.Refused(b, x));
    // Full: the oldest is forgotten, and news again.
    EXPECT_TRUE(moves.Refused(b, y));
    EXPECT_EQ(moves.Size(), 3u);
    EXPECT_TRUE(moves.Refused(a, x));
    // A device that moved forgets its own, no other's.
    moves.Forget(b);
    EXPECT_EQ(moves.Size(), 1u);
    EXPECT_FALSE(moves.Refused(a, x));
    EXPECT_TRUE(moves.Refused(b, x));
    EXPECT_EQ(RefusedMoves(0).Size(), 0u);
}

}  // namespace
}  // namespace ZelkorTest
