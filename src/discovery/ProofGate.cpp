#include "discovery/ProofGate.h"

#include <iterator>
#include <utility>

#include "transport/SourceGroup.h"

namespace Zelkor {

ProofGate::ProofGate(Clock clock) : _waits(clock), _budget(clock), _proven(clock), _clock(std::move(clock)) {}

void ProofGate::SetClock(Clock clock) {
    _waits.SetClock(clock);
    _budget.SetClock(clock);
    _proven.SetClock(clock);
    std::lock_guard<std::mutex> lock(_mutex);
    _clock = std::move(clock);
    _order.clear();
    _awaited.clear();
}

std::chrono::steady_clock::time_point ProofGate::now() const {
    return _clock ? _clock() : std::chrono::steady_clock::now();
}

ProofGate::Admission ProofGate::Admit(const Address& source) {
    if (_waits.Waiting(source)) {
        return {Verdict::Waiting, false};
    }
    if (_proven.Knows(source)) {
        return {Verdict::Check, false};
    }
    return charge();
}

void ProofGate::Checked(const Address& source, const Admission& admission, bool proven) {
    if (proven) {
        _waits.Succeeded(source);
        _proven.Proved(source);
    } else {
        _waits.Failed(source);
    }
    settle(admission, proven);
}

ProofGate::Admission ProofGate::AdmitCarried(const Address& source) {
    if (_waits.Waiting(source)) {
        return {Verdict::Waiting, false};
    }
    return charge();
}

void ProofGate::CheckedCarried(const Address& source, const Admission& admission, bool proven) {
    // The requester's success is no proof of the carrier's: its waits stand, and a guesser
    // behind it gains nothing from an honest requester's proof beside it.
    if (!proven) {
        _waits.Failed(source);
    }
    settle(admission, proven);
}

ProofGate::Admission ProofGate::charge() {
    if (!_budget.Take()) {
        return {Verdict::Spent, false};
    }
    return {Verdict::Check, true};
}

void ProofGate::settle(const Admission& admission, bool proven) {
    // Only failures spend the budget.
    if (proven && admission.charged) {
        _budget.GiveBack();
    }
}

ProofGate::Admission ProofGate::AdmitForwarded(const Address& source) {
    const Address group = SourceGroup(source);
    std::lock_guard<std::mutex> lock(_mutex);
    const auto at = now();
    dropUnanswered(at);
    if (_awaited.count(group) != 0) {
        return {Verdict::Awaiting, false};
    }
    const Admission admission = Admit(source);
    if (admission.verdict == Verdict::Check) {
        _order.push_back(Awaiting{group, admission.charged, at});
        _awaited.emplace(group, std::prev(_order.end()));
    }
    return admission;
}

void ProofGate::Answered(const Address& source, Outcome outcome) {
    Admission admission;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (const auto found = _awaited.find(SourceGroup(source)); found != _awaited.end()) {
            admission.charged = found->second->charged;
            _order.erase(found->second);
            _awaited.erase(found);
        }
    }
    switch (outcome) {
        case Outcome::Proven:
        case Outcome::Failed:
            Checked(source, admission, outcome == Outcome::Proven);
            break;
        case Outcome::Unchecked:
            // Refused beyond for a reason of its own: no guess was checked.
            settle(admission, true);
            break;
    }
}

std::size_t ProofGate::Awaited() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _order.size();
}

void ProofGate::dropUnanswered(std::chrono::steady_clock::time_point at) {
    while (!_order.empty() && at - _order.front().since >= AnswerBound) {
        _awaited.erase(_order.front().group);
        _order.pop_front();
    }
}

}  // namespace Zelkor
