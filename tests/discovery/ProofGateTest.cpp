// The bounds on guessing the code, on a clock the test moves: the node-wide budget of
// failed proofs, the sources that proved the code, and the proofs a router passes on.

#include <gtest/gtest.h>

#include <chrono>

#include "discovery/ProofGate.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::make_address;
using Zelkor::FailedProofBudget;
using Zelkor::ProofGate;
using Zelkor::ProvenSources;
using Verdict = ProofGate::Verdict;

struct ManualClock {
    std::chrono::steady_clock::time_point now{};
    ProofGate::Clock Clock() {
        return [this] { return now; };
    }
};

boost::asio::ip::address Numbered(unsigned n) { return boost::asio::ip::address_v4(0x0a000000u + n); }

// Failures from ever new addresses: ten at once, then one a second, and a proof that
// proves the code spends nothing. A source that proved is not held; its own waits hold it.
TEST(ProofGate, FailedProofsAreCheckedAtTheNodesRateButNotThoseOfProvenSources) {
    ManualClock clock;
    ProofGate gate(clock.Clock());
    unsigned next = 0;
    const auto fail = [&] {
        const auto source = Numbered(next++);
        const auto admission = gate.Admit(source);
        if (admission.verdict == Verdict::Check) {
            gate.Checked(source, admission, false);
        }
        return admission.verdict;
    };
    const auto owner = make_address("10.77.9.9");
    auto admission = gate.Admit(owner);
    ASSERT_EQ(admission.verdict, Verdict::Check);
    gate.Checked(owner, admission, true);
    for (int guess = 0; guess < 10; ++guess) {
        EXPECT_EQ(fail(), Verdict::Check) << guess;
    }
    EXPECT_EQ(fail(), Verdict::Spent);
    // A newcomer waits with the guessers, unchecked; the owner does not.
    const auto newcomer = make_address("10.77.8.8");
    EXPECT_EQ(gate.Admit(newcomer).verdict, Verdict::Spent);
    admission = gate.Admit(owner);
    EXPECT_EQ(admission.verdict, Verdict::Check);
    EXPECT_FALSE(admission.charged);
    gate.Checked(owner, admission, false);
    EXPECT_EQ(gate.Admit(owner).verdict, Verdict::Waiting);

    clock.now += 999ms;
    EXPECT_EQ(fail(), Verdict::Spent);
    clock.now += 1ms;
    admission = gate.Admit(newcomer);
    ASSERT_EQ(admission.verdict, Verdict::Check);
    EXPECT_TRUE(admission.charged);
    gate.Checked(newcomer, admission, true);
    EXPECT_EQ(fail(), Verdict::Check);
    EXPECT_EQ(fail(), Verdict::Spent);
    // A minute refills the burst, no more.
    clock.now += 60s;
    for (int guess = 0; guess < 10; ++guess) {
        EXPECT_EQ(fail(), Verdict::Check) << guess;
    }
    EXPECT_EQ(fail(), Verdict::Spent);

    // A carried proof counts in the budget, and its failure makes its carrier's address
    // wait, for its own proofs too.
    clock.now += 10s;
    const auto carrier = make_address("10.77.6.6");
    admission = gate.AdmitCarried(carrier);
    EXPECT_EQ(admission.verdict, Verdict::Check);
    EXPECT_TRUE(admission.charged);
    gate.CheckedCarried(carrier, admission, false);
    EXPECT_EQ(gate.AdmitCarried(carrier).verdict, Verdict::Waiting);
    EXPECT_EQ(gate.Admit(carrier).verdict, Verdict::Waiting);
    EXPECT_EQ(gate.Admit(Numbered(0)).verdict, Verdict::Check);
}

// One address carrying proofs for ever new requesters, as fast as it likes, on any number
// of connections: its waits space them out, so the node-wide bound stays whole for a
// newcomer. A requester's right proof carried beside them forgets none of the carrier's
// waits, nor makes it a source that proved the code.
TEST(ProofGate, ProofsCarriedFromOneAddressWaitAsItsOwnAndLeaveTheBoundToOthers) {
    ManualClock clock;
    ProofGate gate(clock.Clock());
    const auto carrier = make_address("fd00:77::2");
    const auto sameSlash64 = make_address("fd00:77::9:2");
    int checked = 0;
    unsigned newcomer = 0;
    for (int tick = 0; tick < 12000; ++tick, clock.now += 10ms) {
        const auto& from = tick % 2 == 0 ? carrier : sameSlash64;
        const auto admission = gate.AdmitCarried(from);
        if (admission.verdict == Verdict::Check) {
            ++checked;
            gate.CheckedCarried(from, admission, false);
        } else {
            ASSERT_EQ(admission.verdict, Verdict::Waiting) << tick;
        }
        if (tick % 100 == 0) {
            const auto fresh = Numbered(newcomer++);
            const auto own = gate.Admit(fresh);
            ASSERT_EQ(own.verdict, Verdict::Check) << tick;
            gate.Checked(fresh, own, true);
        }
    }
    // Within 120 s, checked at 0, 1, 3, 7, 15, 31, 63 s, then a minute apart.
    EXPECT_EQ(checked, 7);

    // Its wait ends at 123 s: a right proof carried then leaves the next failure's wait at
    // its longest, and the carrier still held by the node-wide bound.
    clock.now = std::chrono::steady_clock::time_point{} + 123s;
    auto admission = gate.AdmitCarried(carrier);
    ASSERT_EQ(admission.verdict, Verdict::Check);
    gate.CheckedCarried(carrier, admission, true);
    admission = gate.AdmitCarried(carrier);
    ASSERT_EQ(admission.verdict, Verdict::Check);
    EXPECT_TRUE(admission.charged);
    gate.CheckedCarried(carrier, admission, false);
    clock.now += 59s;
    EXPECT_EQ(gate.AdmitCarried(carrier).verdict, Verdict::Waiting);
    clock.now += 1s;
    admission = gate.Admit(carrier);
    EXPECT_EQ(admission.verdict, Verdict::Check);
    EXPECT_TRUE(admission.charged);
}

TEST(ProofGate, TheBudgetCountsWholeTokensAndGivesNoneBeyondItsBurst) {
    ManualClock clock;
    FailedProofBudget budget(clock.Clock());
    EXPECT_EQ(budget.Available(), 10u);
    budget.GiveBack();
    EXPECT_EQ(budget.Available(), 10u);
    EXPECT_TRUE(budget.Take());
    clock.now += 500ms;
    EXPECT_EQ(budget.Available(), 9u);
    clock.now += 500ms;
    EXPECT_EQ(budget.Available(), 10u);
}

TEST(ProvenSources, ADayLongAtMostItsCapacityTheOldestLeavingFirstAndIPv6ByItsSlash64) {
    ManualClock clock;
    ProvenSources proven(clock.Clock());
    EXPECT_EQ(proven.Capacity(), 1024u);
    proven.Proved(make_address("fd00:77::2"));
    EXPECT_TRUE(proven.Knows(make_address("fd00:77::1:2")));
    EXPECT_FALSE(proven.Knows(make_address("fd00:78::2")));
    clock.now += ProvenSources::Remembered - 1s;
    EXPECT_TRUE(proven.Knows(make_address("fd00:77::2")));
    clock.now += 1s;
    EXPECT_FALSE(proven.Knows(make_address("fd00:77::2")));

    for (unsigned n = 0; n < 1024; ++n) {
        proven.Proved(Numbered(n));
        clock.now += 1s;
    }
    EXPECT_EQ(proven.Size(), 1024u);
    proven.Proved(Numbered(0));
    proven.Proved(Numbered(1024));
    EXPECT_EQ(proven.Size(), 1024u);
    EXPECT_TRUE(proven.Knows(Numbered(0)) && proven.Knows(Numbered(2)) && proven.Knows(Numbered(1024)));
    EXPECT_FALSE(proven.Knows(Numbered(1)));
}

// A router's requester has one proof on its way at a time, its /64 counted as one; the
// answer leaves the waits and the budget as a proof made to the router would, and one
// never answered is let go.
TEST(ProofGate, AProofPassedOnIsHeldByItsRequestersSourceUntilItsAnswerComes) {
    ManualClock clock;
    ProofGate gate(clock.Clock());
    const auto requester = make_address("fd00:77::2");
    const auto sameHost = make_address("fd00:77::2:1");
    const auto other = make_address("10.77.0.3");
    ASSERT_EQ(gate.AdmitForwarded(requester).verdict, Verdict::Check);
    EXPECT_EQ(gate.AdmitForwarded(sameHost).verdict, Verdict::Awaiting);
    ASSERT_EQ(gate.AdmitForwarded(other).verdict, Verdict::Check);
    gate.Answered(requester, ProofGate::Outcome::Failed);
    EXPECT_EQ(gate.AdmitForwarded(sameHost).verdict, Verdict::Waiting);
    EXPECT_EQ(gate.Admit(requester).verdict, Verdict::Waiting);

    // Refused beyond unchecked, or proven: the token comes back.
    gate.Answered(other, ProofGate::Outcome::Unchecked);
    EXPECT_EQ(gate.Awaited(), 0u);
    for (unsigned n = 0; n < 9; ++n) {
        ASSERT_EQ(gate.AdmitForwarded(Numbered(n)).verdict, Verdict::Check) << n;
    }
    EXPECT_EQ(gate.AdmitForwarded(Numbered(9)).verdict, Verdict::Spent);
    gate.Answered(Numbered(0), ProofGate::Outcome::Proven);
    EXPECT_EQ(gate.Admit(Numbered(0)).verdict, Verdict::Check);
    ASSERT_EQ(gate.AdmitForwarded(Numbered(9)).verdict, Verdict::Check);
    EXPECT_EQ(gate.AdmitForwarded(Numbered(10)).verdict, Verdict::Spent);

    // Never answered: let go after the bound, its token still spent.
    clock.now += ProofGate::AnswerBound - 1ms;
    EXPECT_EQ(gate.AdmitForwarded(Numbered(1)).verdict, Verdict::Awaiting);
    clock.now += 1ms;
    EXPECT_EQ(gate.AdmitForwarded(Numbered(1)).verdict, Verdict::Check);
    EXPECT_EQ(gate.Awaited(), 1u);
}

}  // namespace
}  // namespace ZelkorTest
