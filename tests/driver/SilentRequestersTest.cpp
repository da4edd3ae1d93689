// A router's notices toward requesters, with times the test gives: how long a notice may
// wait for its answer, what waits behind one left unanswered, and who is refused for a
// time once one is.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/context.hpp>

#include "driver/ForwardedRequests.h"
#include "driver/SilentRequesters.h"
#include "transport/TcpSocket.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using Zelkor::ForwardedRequests;
using Zelkor::SilentRequesters;
using Clock = std::chrono::steady_clock;

class RoutedNotices : public ::testing::Test {
protected:
    std::shared_ptr<Zelkor::TcpSocket> Connection() { return std::make_shared<Zelkor::TcpSocket>(io, tls, false); }

    // A notice of `device` toward `requester` queued at `at`.
    static ForwardedRequests::Pending Notice(std::uint64_t ordinal, const std::string& device,
                                             const std::string& requester, Clock::time_point at,
                                             bool direct = true) {
        ForwardedRequests::Pending notice;
        notice.ordinal = ordinal;
        notice.head = device;
        notice.source = device;
        notice.notice = true;
        notice.toRequester = true;
        notice.destination = requester;
        notice.direct = direct;
        notice.bound = direct ? ForwardedRequests::NoticeBound : 2 * ForwardedRequests::NoticeBound;
        notice.queued = at;
        return notice;
    }

    // The devices whose notices were refused, in order, "!" after those left unanswered.
    static std::string Heads(const std::vector<ForwardedRequests::Refused>& refused) {
        std::string heads;
        for (const auto& each : refused) {
            heads += each.pending.head + (each.unanswered ? "! " : " ");
        }
        return heads;
    }

    boost::asio::io_context io;
    boost::asio::ssl::context tls{boost::asio::ssl::context::tls};
    const Clock::time_point t0 = Clock::time_point{} + 1h;
};

// Notices of requesters behind a router in front wait their turn behind each other's:
// however long the later ones wait, none is refused while each written one is answered
// within the bound; the one left unanswered is refused once the bound has passed since
// its requester took it. Nor does anything age behind this node's own request.
TEST_F(RoutedNotices, BehindOtherRequestersNoticesAgeFromTheirWriteNotFromTheirTurn) {
    ForwardedRequests forwarded;
    const auto router = Connection();
    const auto* r = router.get();
    const std::string requesters = "ABC";
    for (std::uint64_t ordinal = 1; ordinal <= 3; ++ordinal) {
        forwarded.Forwarded(r, Notice(ordinal, "D" + std::to_string(ordinal), requesters.substr(ordinal - 1, 1), t0,
                                      false));
    }
    // This node's own request holds the connection first.
    ForwardedRequests::InFlight inFlight{9, 0s, t0};
    const auto flight = [&](const Zelkor::TcpSocket*) { return inFlight; };
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 60s, flight)), "");
    auto start = t0 + 60s;
    for (std::uint64_t ordinal = 1; ordinal <= 2; ++ordinal) {
        inFlight = {ordinal, 0s, start};
        forwarded.Written(r, ordinal, start);
        EXPECT_EQ(Heads(forwarded.ExpireNotices(start + 9s, flight)), "");
        ASSERT_TRUE(forwarded.Answered(r, ordinal, inFlight, start + 9s));
        start += 9s;
    }
    inFlight = {3, 0s, start};
    forwarded.Written(r, 3, start);
    EXPECT_EQ(Heads(forwarded.ExpireNotices(start + 9s, flight)), "");
    EXPECT_EQ(Heads(forwarded.ExpireNotices(start + 10s, flight)), "D3! ");
    // The device had its answer: the late reply is not passed on.
    EXPECT_FALSE(forwarded.Answered(r, 3, inFlight, start + 11s));
}

// A requester's notices queued behind each other share its bound: the time it takes over
// one counts against those waiting behind it from when they were queued, and so does the
// time it has left the one in flight unanswered so far. One that passes the bound while
// still waiting is refused as left unanswered, as is the one in flight once it does.
TEST_F(RoutedNotices, ANoticeWaitingBehindItsRequestersOwnAgesFromItsQueueing) {
    ForwardedRequests forwarded;
    const auto requester = Connection();
    const auto* x = requester.get();
    forwarded.Forwarded(x, Notice(1, "D1", "A", t0));
    forwarded.Written(x, 1, t0);
    forwarded.Forwarded(x, Notice(2, "D2", "A", t0 + 1s));
    forwarded.Forwarded(x, Notice(3, "D3", "A", t0 + 1s));
    ForwardedRequests::InFlight inFlight{1, 0s, t0};
    const auto flight = [&](const Zelkor::TcpSocket*) { return inFlight; };
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 4s, flight)), "");
    ASSERT_TRUE(forwarded.Answered(x, 1, inFlight, t0 + 4500ms));
    // D2 and D3 waited 3.5 s of it.
    inFlight = {2, 0s, t0 + 4500ms};
    forwarded.Written(x, 2, t0 + 4500ms);
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 5900ms, flight)), "");
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 6s, flight)), "D2! D3! ");
}

// A notice ages from when its write completed, and while it is being written only as
// its requester falls behind the pace (as its connection tells): a large block on a slow
// link is not refused for its time on the wire, and counts as unanswered at the
// connection's end only from its completion; one whose requester stops taking bytes has
// the bound from then on, and one it fell behind on keeps that time after completion.
TEST_F(RoutedNotices, ANoticeAgesFromItsWritesCompletionNotFromItsStart) {
    ForwardedRequests forwarded;
    const auto slow = Connection(), stalled = Connection(), trickled = Connection();
    forwarded.Forwarded(slow.get(), Notice(1, "D1", "A", t0));
    forwarded.Forwarded(stalled.get(), Notice(1, "E1", "B", t0));
    forwarded.Forwarded(trickled.get(), Notice(1, "F1", "C", t0));
    for (const auto* onward : {slow.get(), stalled.get(), trickled.get()}) {
        forwarded.Written(onward, 1, t0);
    }
    // On pace until 19 s and 2 s; 3 s behind when its write completed at 10 s.
    ForwardedRequests::InFlight onSlow{1, 0s, t0 + 19s};
    const ForwardedRequests::InFlight onStalled{1, 0s, t0 + 2s};
    const ForwardedRequests::InFlight onTrickled{1, 3s, t0 + 10s};
    const auto flight = [&](const Zelkor::TcpSocket* onward) {
        return onward == slow.get() ? onSlow : onward == stalled.get() ? onStalled : onTrickled;
    };
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 6900ms, flight)), "");
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 7s, flight)), "E1! ");
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 11900ms, flight)), "");
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 12s, flight)), "F1! ");
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 20s, flight)), "");
    // Its write completed at 20 s.
    onSlow.at = t0 + 20s;
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 24s, flight)), "");
    const auto left = forwarded.Ended(slow.get(), onSlow, t0 + 24s);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left.front().unanswered, 4s);
}

// A notice waiting behind replies ages only once they have fallen behind the pace by the
// grace in all within one busy run, and only on the requester's own connection: one that
// reads its replies at the pace keeps its notice for as long as they take, one that
// leaves them unread is refused, and so is its next notice queued while it still does
// (it does not get the grace again); a router in front bounds its own requesters.
TEST_F(RoutedNotices, ANoticeWaitingBehindRepliesItsRequesterDoesNotTakeAges) {
    ForwardedRequests forwarded;
    const auto honest = Connection(), unread = Connection(), router = Connection();
    const auto* h = honest.get();
    const auto* u = unread.get();
    const auto* r = router.get();
    forwarded.Forwarded(h, Notice(1, "D1", "A", t0));
    forwarded.Forwarded(u, Notice(1, "D2", "B", t0));
    forwarded.Forwarded(r, Notice(1, "D3", "C", t0, false));
    const auto grace = ForwardedRequests::OutputGrace;
    const auto bound = ForwardedRequests::NoticeBound;
    // Nothing in flight: replies hold the writer.
    ForwardedRequests::InFlight onHonest{}, onUnread{}, onRouter{};
    const auto flight = [&](const Zelkor::TcpSocket* onward) {
        return onward == h ? onHonest : onward == u ? onUnread : onRouter;
    };
    onHonest.stalled = 2s;
    onUnread.stalled = grace + bound - 1ms;
    onRouter.stalled = 10 * grace;
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 1h, flight)), "");
    onUnread.stalled = grace + bound;
    const auto refused = forwarded.ExpireNotices(t0 + 1h, flight);
    ASSERT_EQ(Heads(refused), "D2! ");
    EXPECT_TRUE(refused.front().behindOutput);

    // Its next notice, queued while the run is past the grace, has only the bound.
    forwarded.Forwarded(u, [&] {
        auto next = Notice(2, "D4", "B", t0 + 1h);
        next.stalledAtQueue = onUnread.stalled;
        return next;
    }());
    onUnread.stalled += bound - 1ms;
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 2h, flight)), "");
    onUnread.stalled += 1ms;
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 2h, flight)), "D4! ");
    // A notice whose requester's source used up its grace lately has none, even on a
    // connection that caught up.
    onHonest.stallRun = onHonest.stalled;
    forwarded.Forwarded(h, [&] {
        auto next = Notice(2, "D6", "A", t0 + 2h);
        next.stalledAtQueue = onHonest.stalled;
        next.grace = {};
        return next;
    }());
    onHonest.stalled += bound;
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 2h, flight)), "D6! ");

    // Once it caught up, a new run has the grace again; and a notice written is judged
    // by its own age, whatever was stalled before.
    onUnread.stallRun = onUnread.stalled;
    forwarded.Forwarded(u, [&] {
        auto next = Notice(3, "D5", "B", t0 + 2h);
        next.stalledAtQueue = onUnread.stalled;
        return next;
    }());
    onUnread.stalled += grace + bound - 1ms;
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 2h, flight)), "");
    forwarded.Written(u, 3, t0 + 2h);
    onUnread.stalled += 1h;
    onUnread.ordinal = 3;
    onUnread.at = t0 + 2h;
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 2h + bound - 1ms, flight)), "");
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 2h + bound, flight)), "D5! ");
}

// Behind a notice refused unanswered the connection writes nothing until its requester
// answers after all: what waits there goes with it, and so does what comes while it stays
// so. A notice for a requester beyond another router has twice as long, that router
// refusing its own requester's first.
TEST_F(RoutedNotices, WhatWaitsBehindANoticeLeftUnansweredGoesWithIt) {
    ForwardedRequests forwarded;
    const auto requester = Connection();
    const auto router = Connection();
    const auto* x = requester.get();
    const auto* r = router.get();
    forwarded.Forwarded(x, Notice(1, "D1", "A", t0));
    forwarded.Forwarded(x, Notice(2, "D2", "A", t0 + 1s));
    forwarded.Forwarded(r, Notice(1, "D3", "B", t0, false));
    forwarded.Forwarded(r, Notice(2, "D4", "C", t0, false));
    forwarded.Written(x, 1, t0);
    forwarded.Written(r, 1, t0);
    const auto flight = [&](const Zelkor::TcpSocket*) { return ForwardedRequests::InFlight{1, 0s, t0}; };
    EXPECT_FALSE(forwarded.Blocked(x, 1));
    EXPECT_EQ(Heads(forwarded.ExpireNotices(t0 + 5s, flight)), "D1! D2 ");
    EXPECT_TRUE(forwarded.Blocked(x, 1));
    EXPECT_FALSE(forwarded.Blocked(r, 1));
    // The router in front refuses its requester's notice itself, in time.
    ASSERT_TRUE(forwarded.Answered(r, 1, {1, 0s, t0}, t0 + 7s));
    forwarded.Written(r, 2, t0 + 7s);
    EXPECT_EQ(Heads(forwarded.ExpireNotices(
                  t0 + 10s, [&](const Zelkor::TcpSocket*) { return ForwardedRequests::InFlight{2, 0s, t0 + 7s}; })),
              "");
    // The requester answers after all: nothing holds its connection any more.
    EXPECT_FALSE(forwarded.Answered(x, 1, {1, 0s, t0}, t0 + 11s));
    EXPECT_FALSE(forwarded.Blocked(x, 1));
    EXPECT_TRUE(forwarded.Ended(x, {}, t0 + 11s).empty());
}

// A requester refused: its other notices on the connection go at once, those written
// (the connection wrote on after a stray reply) as well as those waiting; requests and
// other requesters' notices stay.
TEST_F(RoutedNotices, ARequestersOtherNoticesAreRefusedWithIt) {
    ForwardedRequests forwarded;
    const auto router = Connection();
    const auto* r = router.get();
    forwarded.Forwarded(r, Notice(1, "D1", "A", t0, false));
    forwarded.Forwarded(r, Notice(2, "D2", "B", t0, false));
    forwarded.Forwarded(r, Notice(3, "D3", "A", t0, false));
    forwarded.Written(r, 1, t0);
    ForwardedRequests::Pending request;
    request.ordinal = 4;
    request.head = "get";
    forwarded.Forwarded(r, request);
    const auto refused =
        forwarded.RefuseNotices(r, [](const ForwardedRequests::Pending& notice) { return notice.destination == "A"; });
    EXPECT_EQ(Heads(refused), "D1 D3 ");
    EXPECT_FALSE(forwarded.Answered(r, 1, {1, 0s, t0}, t0 + 1s));
    std::string left;
    for (const auto& each : forwarded.Ended(r, {}, t0 + 1s)) {
        left += each.pending.head + " ";
    }
    EXPECT_EQ(left, "D2 get ");
}

class SilentRequestersTest : public RoutedNotices {
protected:
    SilentRequesters silent;
    const boost::asio::ip::address here = boost::asio::ip::make_address("10.0.0.2");
    const boost::asio::ip::address there = boost::asio::ip::make_address("10.0.0.3");
    const Clock::duration period = SilentRequesters::Period;
};

// A requester is known by its name and its connection's source: it is refused for the
// period on any connection from that source (it came back), not from another, and its
// neighbours behind the same router are not; where it was the connection's own peer, the
// connection is refused whatever name it gives next, until it closes.
TEST_F(SilentRequestersTest, ARequesterIsRefusedByNameAndSourceAndItsOwnConnection) {
    const auto router = Connection(), own = Connection(), again = Connection();
    EXPECT_FALSE(silent.Silent("A", router.get(), here, false, t0, period));
    EXPECT_TRUE(silent.Refuses("A", router.get(), here, t0));
    EXPECT_TRUE(silent.Refuses("A", again.get(), here, t0 + period - 1ms));
    EXPECT_FALSE(silent.Refuses("A", again.get(), here, t0 + period));
    EXPECT_FALSE(silent.Refuses("A", again.get(), there, t0));
    EXPECT_FALSE(silent.Refuses("B", router.get(), here, t0));

    silent.Silent("S", own.get(), there, true, t0, period);
    EXPECT_TRUE(silent.Refuses("S2", own.get(), there, t0 + 1s));
    EXPECT_FALSE(silent.Refuses("S2", again.get(), there, t0 + 1s));
    silent.Closed(own.get());
    EXPECT_FALSE(silent.Refuses("S2", own.get(), there, t0 + 1s));
}

// New names cost nothing: a source whose requesters leave notices unanswered twice within
// the period is refused as a whole for the period from the second; strikes further apart
// do not add up, and another source is not touched. One requester whose notices go
// together is one strike.
TEST_F(SilentRequestersTest, ASourceWhoseRequestersKeepDoingItIsRefusedWhole) {
    const auto elsewhere = boost::asio::ip::make_address("10.0.0.4");
    EXPECT_FALSE(silent.Silent("B", nullptr, elsewhere, false, t0, period));
    EXPECT_FALSE(silent.Silent("B", nullptr, elsewhere, false, t0, period));
    EXPECT_FALSE(silent.Refuses("B2", nullptr, elsewhere, t0));

    EXPECT_FALSE(silent.Silent("A1", nullptr, here, false, t0, period));
    EXPECT_FALSE(silent.Silent("A2", nullptr, here, false, t0 + period, period));
    EXPECT_FALSE(silent.Refuses("A3", nullptr, here, t0 + period));
    EXPECT_TRUE(silent.Silent("A3", nullptr, here, false, t0 + period + 1s, period));
    EXPECT_TRUE(silent.Refuses("A4", nullptr, here, t0 + 2 * period));
    EXPECT_FALSE(silent.Refuses("A4", nullptr, here, t0 + 2 * period + 1s));
    EXPECT_FALSE(silent.Refuses("A4", nullptr, there, t0 + period + 1s));
}

// A source's refusal spares a requester that answered before it began, on the connection
// it answered on, and left nothing unanswered; not a name that answered later, or nothing,
// nor the name on another connection. One spared that stalls ends the sparing for the
// period from then; a later refusal spares again, but not it. A host's many names forget
// their own answers, not another's.
TEST_F(SilentRequestersTest, ASourcesRefusalSparesRequestersThatAnsweredUntilOneOfThemStalls) {
    const auto ctl = Connection(), host = Connection(), again = Connection();
    silent.Answered("ctl", ctl.get(), t0);
    for (const char* name : {"p1", "p2", "p3", "p4", "p5"}) {
        silent.Answered(name, host.get(), t0);
    }
    const auto t1 = t0 + 10s;
    EXPECT_FALSE(silent.Silent("p1", host.get(), here, false, t1, period));
    EXPECT_TRUE(silent.Silent("p2", host.get(), here, false, t1, period));
    silent.Answered("late", host.get(), t1);
    for (std::size_t n = 0; n < SilentRequesters::MaxRecords; ++n) {
        silent.Answered("m" + std::to_string(n), again.get(), t0);
    }
    EXPECT_FALSE(silent.Refuses("ctl", ctl.get(), here, t1));
    EXPECT_FALSE(silent.Refuses("p3", host.get(), here, t1));
    EXPECT_TRUE(silent.Refuses("ctl", again.get(), here, t1));
    EXPECT_TRUE(silent.Refuses("other", ctl.get(), here, t1));
    EXPECT_TRUE(silent.Refuses("late", host.get(), here, t1));
    EXPECT_TRUE(silent.Refuses("p1", host.get(), here, t1));

    const auto t2 = t1 + 30s;
    EXPECT_TRUE(silent.Silent("p3", host.get(), here, false, t2, period));
    EXPECT_TRUE(silent.Refuses("ctl", ctl.get(), here, t2 + period - 1ms));
    EXPECT_TRUE(silent.Refuses("p4", host.get(), here, t2 + period - 1ms));
    EXPECT_FALSE(silent.Refuses("other", ctl.get(), here, t2 + period));

    const auto t3 = t2 + 2 * period;
    silent.Silent("q1", host.get(), here, false, t3, period);
    EXPECT_TRUE(silent.Silent("q2", host.get(), here, false, t3, period));
    EXPECT_FALSE(silent.Refuses("ctl", ctl.get(), here, t3));
    EXPECT_FALSE(silent.Refuses("p4", host.get(), here, t3));
    EXPECT_TRUE(silent.Refuses("p3", host.get(), here, t3));
}

// A source whose requester left output untaken past the grace has none for a while, on
// any connection; no other source loses it, and nobody is refused for it alone. Bounded
// like the other records.
TEST_F(SilentRequestersTest, ASourceThatLeftOutputUntakenHasNoGraceForAWhile) {
    const auto memory = SilentRequesters::GraceMemory;
    silent.LeftOutputUntaken(here, t0, memory);
    EXPECT_TRUE(silent.LeftOutputLately(here, t0 + memory - 1ms));
    EXPECT_FALSE(silent.LeftOutputLately(here, t0 + memory));
    EXPECT_FALSE(silent.LeftOutputLately(there, t0));
    EXPECT_FALSE(silent.Refuses("A", nullptr, here, t0));
    for (std::size_t n = 0; n < SilentRequesters::MaxRecords; ++n) {
        silent.LeftOutputUntaken(boost::asio::ip::make_address_v4(0x0a010000u + static_cast<unsigned>(n)),
                                 t0 + std::chrono::milliseconds(n + 1), memory);
    }
    EXPECT_FALSE(silent.LeftOutputLately(here, t0 + 1s));
    EXPECT_TRUE(silent.LeftOutputLately(boost::asio::ip::make_address_v4(0x0a010000u), t0 + 1s));
}

// The records are bounded: past the bound the one whose time ends first gives way.
TEST_F(SilentRequestersTest, TheRecordsAreBounded) {
    for (std::size_t n = 0; n <= SilentRequesters::MaxRecords; ++n) {
        const auto source = boost::asio::ip::make_address_v4(0x0a010000u + static_cast<unsigned>(n));
        silent.Silent("R" + std::to_string(n), nullptr, source, false, t0 + std::chrono::milliseconds(n), period);
    }
    EXPECT_FALSE(silent.Refuses("R0", nullptr, boost::asio::ip::make_address_v4(0x0a010000u), t0 + 1s));
    EXPECT_TRUE(silent.Refuses("R1", nullptr, boost::asio::ip::make_address_v4(0x0a010001u), t0 + 1s));
    const auto last = static_cast<unsigned>(SilentRequesters::MaxRecords);
    EXPECT_TRUE(silent.Refuses("R" + std::to_string(last), nullptr, boost::asio::ip::make_address_v4(0x0a010000u + last),
                               t0 + 2s));
}

}  // namespace
}  // namespace ZelkorTest
