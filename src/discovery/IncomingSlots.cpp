#include "discovery/IncomingSlots.h"

#include <algorithm>
#include <map>

namespace Zelkor {

namespace {

// Whether the holder keeps its slot from every newcomer, its source holding `held` of
// `slots`.
bool keepsItsSlot(const SlotHolder& holder, std::size_t held, std::size_t slots) {
    return holder.kept || (holder.engaged && 2 * held <= slots);
}

}  // namespace

std::size_t FairShareSlot(const std::vector<SlotHolder>& holders, const boost::asio::ip::address& source,
                          std::size_t slots) {
    std::map<boost::asio::ip::address, std::size_t> held;
    for (const auto& holder : holders) {
        ++held[holder.source];
    }
    const auto mayGo = [&](const SlotHolder& holder) { return !keepsItsSlot(holder, held[holder.source], slots); };
    std::size_t most = 0;
    for (const auto& holder : holders) {
        if (mayGo(holder)) {
            most = std::max(most, held[holder.source]);
        }
    }
    const auto own = held.find(source);
    const std::size_t newcomer = (own == held.end() ? 0 : own->second) + 1;
    if (newcomer >= most) {
        return NoSlot;
    }
    std::size_t chosen = NoSlot;
    for (std::size_t at = 0; at < holders.size(); ++at) {
        const SlotHolder& holder = holders[at];
        if (held[holder.source] != most || !mayGo(holder)) {
            continue;
        }
        if (chosen == NoSlot) {
            chosen = at;
            continue;
        }
        const SlotHolder& best = holders[chosen];
        if (holder.engaged != best.engaged ? !holder.engaged : holder.lastHeard < best.lastHeard) {
            chosen = at;
        }
    }
    return chosen;
}

std::size_t SilentSlot(const std::vector<SlotHolder>& holders, std::chrono::steady_clock::time_point quietSince) {
    std::size_t chosen = NoSlot;
    for (std::size_t at = 0; at < holders.size(); ++at) {
        const SlotHolder& holder = holders[at];
        if (holder.kept || holder.engaged || holder.lastHeard >= quietSince) {
            continue;
        }
        if (chosen == NoSlot || holder.lastHeard < holders[chosen].lastHeard) {
            chosen = at;
        }
    }
    return chosen;
}

}  // namespace Zelkor
