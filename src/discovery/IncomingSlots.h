#pragma once
// Which admitted connection gives its slot to a newcomer once the incoming connections
// are at their limit, by two rules, the first that names one deciding:
//  - Fair share: a newcomer whose source (SourceGroup of its address) would, counting the
//    newcomer, still hold fewer slots than the source holding most takes the place of the
//    quietest connection of that source, those holding nothing worth keeping first. One
//    source cannot keep the others out however busy it keeps its connections, and a source
//    is never pushed below what the newcomer's then holds, so two sources cannot take a
//    slot back and forth.
//  - Silence: otherwise the newcomer takes the place of the connection silent longest,
//    once that has been silent since before the bound and holds nothing worth keeping.
// What is worth keeping (a proof, a transfer, a subscription that counts) the caller says.
//
// Stateless; any thread.

#include <chrono>
#include <cstddef>
#include <limits>
#include <vector>

#include <boost/asio/ip/address.hpp>

namespace Zelkor {

struct SlotHolder {
    // The source group of the peer's address.
    boost::asio::ip::address source;
    // When the peer last sent anything.
    std::chrono::steady_clock::time_point lastHeard;
    // A proof, a transfer or a subscription that counts: given up last, and never for
    // silence.
    bool worthKeeping = false;
};

constexpr std::size_t NoSlot = std::numeric_limits<std::size_t>::max();

// The holder whose slot a newcomer from `source` takes by fair share; NoSlot when its
// source holds its share already.
std::size_t FairShareSlot(const std::vector<SlotHolder>& holders, const boost::asio::ip::address& source);

// The holder silent longest that was last heard before `quietSince` and holds nothing
// worth keeping; NoSlot when none.
std::size_t SilentSlot(const std::vector<SlotHolder>& holders, std::chrono::steady_clock::time_point quietSince);

}  // namespace Zelkor
