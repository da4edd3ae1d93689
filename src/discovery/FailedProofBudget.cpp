#include "discovery/FailedProofBudget.h"

#include <algorithm>
#include <utility>

namespace Zelkor {

FailedProofBudget::FailedProofBudget(Clock clock) : _clock(std::move(clock)) {}

void FailedProofBudget::SetClock(Clock clock) {
    std::lock_guard<std::mutex> lock(_mutex);
    _clock = std::move(clock);
    // A budget measured on the old clock means nothing on the new one.
    _whole = std::chrono::steady_clock::time_point::min();
}

std::chrono::steady_clock::time_point FailedProofBudget::now() const {
    return _clock ? _clock() : std::chrono::steady_clock::now();
}

bool FailedProofBudget::Take() {
    std::lock_guard<std::mutex> lock(_mutex);
    const auto at = now();
    const auto whole = std::max(_whole, at);
    // Each token taken and not yet back puts the whole budget one interval further off.
    if (whole - at > (Burst - 1) * Interval) {
        return false;
    }
    _whole = whole + Interval;
    return true;
}

void FailedProofBudget::GiveBack() {
    std::lock_guard<std::mutex> lock(_mutex);
    // Never more than whole: the max at the next take clamps a time already past.
    _whole = std::max(_whole, now()) - Interval;
}

unsigned FailedProofBudget::Available() const {
    std::lock_guard<std::mutex> lock(_mutex);
    const auto at = now();
    const auto owed = std::max(_whole, at) - at;
    // Tokens still coming back, a part of one counted as a whole.
    const auto taken = static_cast<unsigned>((owed + Interval - std::chrono::steady_clock::duration(1)) / Interval);
    return taken >= Burst ? 0 : Burst - taken;
}

}  // namespace Zelkor
