// The reply cache alone, with a clock the test moves: what counts as a duplicate, whose
// reply is recorded, and the bounds a peer cannot grow past.

#include <gtest/gtest.h>

#include <chrono>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>

#include "driver/ForwardedRequests.h"
#include "driver/ReplyCache.h"
#include "driver/ReturnRoutes.h"
#include "transport/TcpSocket.h"

namespace ZelkorTest {
namespace {

using Zelkor::ReplyCache;
using Verdict = ReplyCache::Verdict;
using Claimed = Zelkor::ReturnRoutes::Claimed;

class ReplyCacheTest : public ::testing::Test {
protected:
    std::shared_ptr<Zelkor::TcpSocket> Connection() {
        return std::make_shared<Zelkor::TcpSocket>(io, tls, false);
    }
    std::vector<std::shared_ptr<Zelkor::TcpSocket>> Record(const std::string& hash, const std::string& word,
                                                           const std::shared_ptr<Zelkor::TcpSocket>& on,
                                                           const std::string& reply, bool* found = nullptr,
                                                           const std::string& route = {}) {
        bool wasFound = false;
        bool already = false;
        auto waiting = cache.Record(hash, word, on.get(), reply, wasFound, already, route);
        if (found) {
            *found = wasFound;
        }
        return waiting;
    }

    boost::asio::io_context io;
    boost::asio::ssl::context tls{boost::asio::ssl::context::tls};
    ReplyCache::Clock::time_point now{};
    ReplyCache cache{[this] { return now; }};
};

TEST_F(ReplyCacheTest, DuplicateWaitsGetsTheReplyThenTheReplayEndsTheEntry) {
    auto first = Connection();
    auto second = Connection();
    EXPECT_EQ(cache.Admit("5-ab12", "get", "{}", first).verdict, Verdict::Handle);
    EXPECT_EQ(cache.Admit("5-ab12", "get", "{}", second).verdict, Verdict::Pending);
    EXPECT_EQ(cache.Admit("5-ab12", "get", "{}", second).verdict, Verdict::Pending);
    // The reply on another connection is not this entry's; the first requester's is,
    // and the second connection waits for it once.
    bool found = true;
    EXPECT_TRUE(Record("5-ab12", "get", second, "@get {}\n", &found).empty());
    EXPECT_FALSE(found);
    EXPECT_EQ(Record("5-ab12", "get", first, "@get {}\n"), (std::vector<std::shared_ptr<Zelkor::TcpSocket>>{second}));
    const auto replay = cache.Admit("5-ab12", "get", "{}", second);
    EXPECT_EQ(replay.verdict, Verdict::Replay);
    EXPECT_EQ(replay.reply, "@get {}\n");
    EXPECT_EQ(cache.Admit("5-ab12", "get", "{}", second).verdict, Verdict::Handle);
}

TEST_F(ReplyCacheTest, SameHashWithAnotherWordOrBodyIsANewRequest) {
    auto peer = Connection();
    EXPECT_EQ(cache.Admit("1", "get", "{\"a\":1}", peer).verdict, Verdict::Handle);
    EXPECT_EQ(cache.Admit("1", "get", "{\"a\":2}", peer).verdict, Verdict::Handle);
    EXPECT_EQ(cache.Admit("1", "set", "{\"a\":1}", peer).verdict, Verdict::Handle);
    EXPECT_EQ(cache.Size(), 3u);
    // A known reply is dropped only from the connection of the first requester.
    EXPECT_FALSE(cache.TakeKnownReply("1", "get", Connection().get()));
    EXPECT_TRUE(cache.TakeKnownReply("1", "get", peer.get()));
    EXPECT_EQ(cache.Size(), 2u);
}

TEST_F(ReplyCacheTest, TheOldestGoWhenFullAndEntriesExpire) {
    auto peer = Connection();
    cache.SetLimits({std::chrono::seconds(60), 3});
    for (const char* hash : {"1", "2", "3", "4"}) {
        cache.Admit(hash, "get", "", peer);
    }
    EXPECT_EQ(cache.Size(), 3u);
    EXPECT_EQ(cache.Admit("4", "get", "", peer).verdict, Verdict::Pending);
    EXPECT_EQ(cache.Admit("1", "get", "", peer).verdict, Verdict::Handle);
    now += std::chrono::seconds(59);
    EXPECT_EQ(cache.Admit("3", "get", "", peer).verdict, Verdict::Pending);
    now += std::chrono::seconds(1);
    EXPECT_EQ(cache.Admit("3", "get", "", peer).verdict, Verdict::Handle);
    EXPECT_EQ(cache.Size(), 1u);
    // Long texts count too: past the bytes allowed the oldest go, for a reply as well, and
    // a request too long on its own is not kept.
    cache.SetLimits({std::chrono::seconds(60), 3, 32});
    cache.Admit("5", "get", "{\"long\":1}", peer);
    Record("5", "get", peer, "@get {\"long\":1}\n");
    EXPECT_EQ(cache.Size(), 1u);
    EXPECT_EQ(cache.Admit("5", "get", "{\"long\":1}", peer).verdict, Verdict::Replay);
    EXPECT_EQ(cache.Admit("6", "get", std::string(40, 'x'), peer).verdict, Verdict::Handle);
    EXPECT_EQ(cache.Size(), 0u);
}

TEST_F(ReplyCacheTest, ClosedWaitersAreSkipped) {
    auto first = Connection();
    auto gone = Connection();
    cache.Admit("7", "get", "", first);
    cache.Admit("7", "get", "", gone);
    gone.reset();
    EXPECT_TRUE(Record("7", "get", first, "@get \n").empty());
}

// Two requesters behind one router reach this node on the router's connection with the
// same bare counter: each request runs and each reply replays only to its own route.
TEST_F(ReplyCacheTest, RequestersBehindOneRouterAreToldApartByTheirRoute) {
    auto router = Connection();
    EXPECT_EQ(cache.Admit("3", "get", "{}", router, "R&A").verdict, Verdict::Handle);
    EXPECT_EQ(cache.Admit("3", "get", "{}", router, "R&C").verdict, Verdict::Handle);
    bool found = false;
    Record("3", "get", router, "3 [R&C][B] @get {\"c\":1}\n", &found, "R&C");
    EXPECT_TRUE(found);
    EXPECT_EQ(cache.Admit("3", "get", "{}", router, "R&A").verdict, Verdict::Pending);
    const auto replay = cache.Admit("3", "get", "{}", router, "R&C");
    EXPECT_EQ(replay.verdict, Verdict::Replay);
    EXPECT_EQ(replay.reply, "3 [R&C][B] @get {\"c\":1}\n");
}

// A requester whose connection closed before its reply leaves no entry to wait on: the
// next one asking runs the request and gets its reply.
TEST_F(ReplyCacheTest, ARetryAfterTheFirstRequesterWentRunsAgain) {
    auto first = Connection();
    auto retry = Connection();
    cache.Admit("8", "get", "{}", first);
    first.reset();
    EXPECT_EQ(cache.Admit("8", "get", "{}", retry).verdict, Verdict::Handle);
    bool found = false;
    Record("8", "get", retry, "@get {}\n", &found);
    EXPECT_TRUE(found);
    EXPECT_EQ(cache.Admit("8", "get", "{}", retry).verdict, Verdict::Replay);
}

// Routes back to requesters are bounded in count and in name length, and held weakly.
TEST_F(ReplyCacheTest, ReturnRoutesAreBoundedAndWeak) {
    Zelkor::ReturnRoutes routes(2);
    auto a = Connection(), b = Connection(), c = Connection(), next = Connection();
    // Long after any of them spoke: no name is held by a live requester.
    const auto later = Zelkor::ReturnRoutes::Clock::now() + std::chrono::hours(1);
    const auto claim = [&](const std::string& name, const std::shared_ptr<Zelkor::TcpSocket>& from) {
        return routes.Claim(name, from, next, later, std::chrono::seconds(20));
    };
    claim("A", a);
    claim("B", b);
    claim("A", a);  // refreshed: B is now the oldest
    claim("C", c);
    claim(std::string(Zelkor::ReturnRoutes::MaxNameLength + 1, 'x'), c);
    EXPECT_EQ(routes.Back("A", next.get()), a);
    EXPECT_EQ(routes.Back("B", next.get()), nullptr);
    EXPECT_EQ(routes.Size(), 2u);
    c.reset();
    EXPECT_EQ(routes.Back("C", next.get()), nullptr);

    // Names in use are never pushed out for a newcomer: it finds no room instead, and one
    // connection owns only so many.
    Zelkor::ReturnRoutes full(2);
    auto d = Connection(), e = Connection(), f = Connection();
    const auto fresh = d->LastLineAt();
    ASSERT_EQ(full.Claim("D", d, next, fresh, std::chrono::seconds(20)), Claimed::Taken);
    ASSERT_EQ(full.Claim("E", e, next, fresh, std::chrono::seconds(20)), Claimed::Taken);
    EXPECT_EQ(full.Claim("F", f, next, fresh, std::chrono::seconds(20)), Claimed::Full);
    EXPECT_EQ(full.Back("D", next.get()), d);
    Zelkor::ReturnRoutes many;
    for (std::size_t i = 0; i < Zelkor::ReturnRoutes::MaxNamesPerOwner; ++i) {
        ASSERT_EQ(many.Claim("N" + std::to_string(i), f, next, fresh, std::chrono::seconds(20)), Claimed::Taken);
    }
    EXPECT_EQ(many.Claim("one-more", f, next, fresh, std::chrono::seconds(20)), Claimed::Full);
}

// A name belongs to the connection it came on: another connection claiming it is refused
// while the owner is open and has spoken within the quiet time, and takes it over once the
// owner is closed or has gone quiet. Replies come back only from where its requests went.
TEST_F(ReplyCacheTest, ANameBelongsToTheConnectionItCameOn) {
    Zelkor::ReturnRoutes routes;
    auto owner = Connection(), thief = Connection(), device = Connection(), other = Connection();
    const auto spoke = owner->LastLineAt();
    const auto quiet = std::chrono::seconds(20);
    const Zelkor::ReturnRoutes::Way way{{"dev"}, {"R", "ctl"}};
    ASSERT_EQ(routes.Claim("ctl", owner, device, spoke, quiet, &way), Claimed::Taken);
    EXPECT_EQ(routes.Claim("ctl", thief, other, spoke + std::chrono::seconds(19), quiet), Claimed::InUse);
    EXPECT_EQ(routes.Back("ctl", device.get()), owner);
    EXPECT_EQ(routes.Back("ctl", other.get()), nullptr);
    EXPECT_EQ(routes.Back("ctl", owner.get()), nullptr);
    // Awaiting an answer through here, a quiet owner keeps its name.
    const auto awaits = [&](const Zelkor::TcpSocket& holder, const std::string&) { return &holder == owner.get(); };
    EXPECT_EQ(routes.Claim("ctl", thief, other, spoke + std::chrono::seconds(21), quiet, nullptr, awaits),
              Claimed::InUse);

    // The owner gone quiet (a half-open connection): the newer connection takes the name,
    // the device the owner asked is reported to be told, and the new owner carries none of
    // the old one's ways: the device's late replies to the old owner go nowhere.
    std::vector<Zelkor::ReturnRoutes::Ended> ended;
    EXPECT_EQ(routes.Claim("ctl", thief, other, spoke + std::chrono::seconds(21), quiet, nullptr, {}, &ended),
              Claimed::Taken);
    ASSERT_EQ(ended.size(), 1u);
    ASSERT_EQ(ended[0].carriers.size(), 1u);
    EXPECT_EQ(ended[0].carriers[0].first, device);
    EXPECT_EQ(ended[0].carriers[0].second, std::vector<Zelkor::ReturnRoutes::Way>{way});
    EXPECT_EQ(routes.Back("ctl", device.get()), nullptr);
    EXPECT_EQ(routes.Back("ctl", other.get()), thief);

    // The owner closed: taken at once.
    thief->Close();
    io.poll();
    EXPECT_EQ(routes.Claim("ctl", owner, device, spoke, quiet), Claimed::Taken);
    EXPECT_EQ(routes.Back("ctl", device.get()), owner);
}

// A connection that ends leaves nothing behind at once: the names it owned, and its place
// among the carriers of the names whose requests it carried.
TEST_F(ReplyCacheTest, AClosedConnectionsNamesAndCarriersGoAtOnce) {
    Zelkor::ReturnRoutes routes;
    auto owner = Connection(), other = Connection(), device = Connection(), second = Connection();
    const auto now = owner->LastLineAt();
    ASSERT_EQ(routes.Claim("ctl", owner, device, now, std::chrono::seconds(20)), Claimed::Taken);
    ASSERT_EQ(routes.Claim("ctl", owner, second, now, std::chrono::seconds(20)), Claimed::Taken);
    ASSERT_EQ(routes.Claim("tool", other, device, now, std::chrono::seconds(20)), Claimed::Taken);
    routes.Closed(device.get());
    EXPECT_EQ(routes.Back("ctl", device.get()), nullptr);
    EXPECT_EQ(routes.Back("tool", device.get()), nullptr);
    EXPECT_EQ(routes.Back("ctl", second.get()), owner);
    routes.Closed(owner.get());
    EXPECT_EQ(routes.Size(), 1u);
    EXPECT_EQ(routes.Back("ctl", second.get()), nullptr);
}

// A reply answers the request of its ordinal, whichever place it holds, so that what a
// closed connection leaves is exactly what went unanswered; a connection keeps no more
// than its bound, the oldest forgotten.
TEST_F(ReplyCacheTest, ForwardedRequestsAreAnsweredByOrdinalAndBounded) {
    Zelkor::ForwardedRequests forwarded;
    auto onward = Connection(), requester = Connection();
    for (std::uint64_t ordinal = 1; ordinal <= 4; ++ordinal) {
        EXPECT_TRUE(forwarded.Forwarded(onward.get(), {ordinal, requester, "r" + std::to_string(ordinal), "A"}));
    }
    const auto now = std::chrono::steady_clock::now();
    forwarded.Answered(onward.get(), 2, {}, now);
    forwarded.Answered(onward.get(), 0, {}, now);
    forwarded.Answered(requester.get(), 1, {}, now);
    std::string left;
    for (const auto& each : forwarded.Ended(onward.get(), {}, now)) {
        left += each.pending.head + " ";
    }
    EXPECT_EQ(left, "r1 r3 r4 ");
    EXPECT_TRUE(forwarded.Ended(onward.get(), {}, now).empty());

    for (std::uint64_t ordinal = 1; ordinal <= Zelkor::ForwardedRequests::MaxPerConnection; ++ordinal) {
        ASSERT_TRUE(forwarded.Forwarded(onward.get(), {ordinal, requester, std::to_string(ordinal), "A"}));
    }
    EXPECT_FALSE(forwarded.Forwarded(onward.get(), {0, requester, "last", "A"}));
    const auto kept = forwarded.Ended(onward.get(), {}, now);
    ASSERT_EQ(kept.size(), Zelkor::ForwardedRequests::MaxPerConnection);
    EXPECT_EQ(kept.front().pending.head, "2");
    EXPECT_EQ(kept.back().pending.head, "last");
}

// Past the bound the requester that fills it loses its own refusals: one whose single
// request waits among a flood keeps it, whether it shares no connection with the flooder
// or its router's; a requester gone gives up its place first.
TEST_F(ReplyCacheTest, ForwardedRequestsPastTheBoundForgetTheFloodersOwn) {
    Zelkor::ForwardedRequests forwarded;
    auto onward = Connection(), honest = Connection(), flooder = Connection(), router = Connection();
    auto gone = Connection();
    constexpr auto bound = Zelkor::ForwardedRequests::MaxPerConnection;
    forwarded.Forwarded(onward.get(), {1, honest, "honest", "H"});
    forwarded.Forwarded(onward.get(), {2, router, "neighbour", "N"});
    forwarded.Forwarded(onward.get(), {3, gone, "gone", "G"});
    gone.reset();
    for (std::uint64_t ordinal = 4; ordinal <= bound + 10; ++ordinal) {
        forwarded.Forwarded(onward.get(), {ordinal, router, "flood", "F"});
    }
    const auto kept = forwarded.Ended(onward.get(), {}, std::chrono::steady_clock::now());
    ASSERT_EQ(kept.size(), bound);
    std::size_t floods = 0;
    std::string others;
    for (const auto& [pending, unanswered] : kept) {
        if (pending.head == "flood") {
            ++floods;
        } else {
            others += pending.head + " ";
        }
    }
    EXPECT_EQ(others, "honest neighbour ");
    EXPECT_EQ(floods, bound - 2);
    EXPECT_EQ(kept.back().pending.ordinal, bound + 10);
}

}  // namespace
}  // namespace ZelkorTest
