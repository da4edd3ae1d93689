#pragma once
// Whether a proof of the code ("authenticate") is checked, and what its outcome leaves
// behind: the one place that bounds guessing the code. Three bounds meet here:
// - each source (an address's group, SourceGroup) waits after a failure, longer after
//   each (AuthenticationWaits);
// - node-wide, failed proofs are checked at a bounded rate (FailedProofBudget), however
//   many sources they come from; a source that proved the code within the last day
//   (ProvenSources) is never held by it, only by its own waits;
// - proofs that name a requester behind a peer that never proved the code are that
//   peer's for both bounds: its source waits after their failures as after its own;
// - a router holds the proofs it passes on for its requesters to the same two bounds,
//   each by the requester's own source, and learns their outcome from the answer that
//   comes back. Until that answer comes, the source's next proof passed on is refused,
//   as a proof made here would be were the one before to fail.
// A proof refused is answered at once, unchecked.
//
// Ownership: a plain value, owned by the discovery service. Threads: any; each table locks
// itself and the proofs on their way have a lock of their own. The clock is called under
// those locks and must not call back into the gate.

#include <chrono>
#include <cstddef>
#include <list>
#include <map>
#include <mutex>

#include <boost/asio/ip/address.hpp>

#include "discovery/AuthenticationWaits.h"
#include "discovery/FailedProofBudget.h"
#include "discovery/ProvenSources.h"

namespace Zelkor {

class ProofGate {
public:
    using Clock = AuthenticationWaits::Clock;
    using Address = boost::asio::ip::address;

    enum class Verdict {
        Check,
        // The source waits after a failure.
        Waiting,
        // The answer to the source's last proof passed on has not come back.
        Awaiting,
        // Failed proofs are over the node-wide bound.
        Spent,
    };
    struct Admission {
        Verdict verdict = Verdict::Check;
        // A token of the node-wide budget was taken for the proof.
        bool charged = false;
    };
    enum class Outcome { Proven, Failed, Unchecked };

    // A proof passed on and never answered within it is done with: its source may send the
    // next, and its token stays spent.
    static constexpr std::chrono::seconds AnswerBound{10};

    // An empty clock is the steady clock.
    explicit ProofGate(Clock clock = Clock());

    // Replaces the clock of every bound (tests); an empty one is the steady clock again.
    void SetClock(Clock clock);

    // A proof made to this node by a peer at `source`.
    Admission Admit(const Address& source);
    // Its outcome, once checked under `admission`.
    void Checked(const Address& source, const Admission& admission, bool proven);

    // A proof that names a requester behind its connection's peer at `source`, which never
    // proved the code: the route may be a claim. It counts in the node-wide bound and, when
    // it fails, in the waits of the peer's own source, so that one address cannot spend the
    // bound for everyone; a router without the code shares those waits with every
    // requester behind it. A success forgets no wait and proves nothing of the source.
    Admission AdmitCarried(const Address& source);
    void CheckedCarried(const Address& source, const Admission& admission, bool proven);

    // A proof this router passes on for a requester at `source`; on Check it is on its way
    // until Answered.
    Admission AdmitForwarded(const Address& source);
    // The answer to the proof passed on for `source` came back.
    void Answered(const Address& source, Outcome outcome);
    // Proofs passed on whose answers are awaited (tests).
    std::size_t Awaited() const;

private:
    struct Awaiting {
        Address group;
        bool charged;
        std::chrono::steady_clock::time_point since;
    };
    using Order = std::list<Awaiting>;

    // A token of the node-wide budget for a proof about to be checked, and its return.
    Admission charge();
    void settle(const Admission& admission, bool proven);
    // Forgets the proofs passed on longer ago than AnswerBound. Under _mutex.
    void dropUnanswered(std::chrono::steady_clock::time_point at);
    std::chrono::steady_clock::time_point now() const;

    AuthenticationWaits _waits;
    FailedProofBudget _budget;
    ProvenSources _proven;
    mutable std::mutex _mutex;
    Clock _clock;
    // Passed on longest ago first; one per source at most.
    Order _order;
    std::map<Address, Order::iterator> _awaited;
};

}  // namespace Zelkor
