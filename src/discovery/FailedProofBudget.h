#pragma once
// The node-wide bound on checking proofs of the code that fail: a burst of `Burst` (10),
// then one a second (60 a minute), however many addresses the proofs come from. A proof
// is checked only with a token taken; one that proves the code gives its token back, so
// only failures spend the budget. While it is spent, proofs are refused unchecked.
//
// Kept as the time at which the budget would be whole again were no token taken, which
// moves on by one interval per token taken (a generic cell rate): no timer, no table.
//
// Ownership: a plain value, owned by the discovery service. Threads: it locks itself; the
// clock is called under that lock and must not call back into the budget.

#include <chrono>
#include <functional>
#include <mutex>

namespace Zelkor {

class FailedProofBudget {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr unsigned Burst = 10;
    // The time in which one token comes back.
    static constexpr std::chrono::seconds Interval{1};

    // An empty clock is the steady clock.
    explicit FailedProofBudget(Clock clock = Clock());

    // Replaces the clock (tests); an empty one is the steady clock again.
    void SetClock(Clock clock);
    // Takes a token; false, taking nothing, when the budget is spent.
    bool Take();
    // Gives back a token taken for a proof that proved the code.
    void GiveBack();
    // The tokens that may be taken now.
    unsigned Available() const;

private:
    std::chrono::steady_clock::time_point now() const;

    mutable std::mutex _mutex;
    Clock _clock;
    // Before it, every token is in hand.
    std::chrono::steady_clock::time_point _whole = std::chrono::steady_clock::time_point::min();
};

}  // namespace Zelkor
