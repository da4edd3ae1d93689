#pragma once
// Which admitted connection gives its slot to a newcomer once the incoming connections
// are at their limit, by two rules, the first that names one deciding:
//  - Fair share: a newcomer whose source (SourceGroup of its address) would, counting the
//    newcomer, still hold fewer slots than the source holding most takes the place of the
//    quietest connection of that source, those holding nothing first. Only sources with a
//    connection they may give up count: one whose every connection is kept gives none,
//    and the next largest does. One source cannot keep the others out however busy it
//    keeps its connections, and a source is never pushed below what the newcomer's then
//    holds, so two sources cannot take a slot back and forth.
//  - Silence: otherwise the newcomer takes the place of the connection silent longest,
//    once that has been silent since before the bound and holds nothing.
// A connection that proved the code is never given up. A subscription or a transfer under
// way keeps its connection while the connection's source holds at most half of the slots:
// several controllers of one host keep theirs, while one source that subscribes, or
// trickles a transfer, on every connection it opens cannot hold more than half that way.
// Beyond that half such a connection is given up last by fair share, and never for
// silence. What each connection holds, and whether it counts, the caller says.
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
    // A proof of the code: never given up.
    bool kept = false;
    // A subscription or a transfer under way that counts.
    bool engaged = false;
};

constexpr std::size_t NoSlot = std::numeric_limits<std::size_t>::max();

// The holder whose slot a newcomer from `source` takes by fair share, of `slots` in all;
// NoSlot when its source holds its share already, or when none may go.
std::size_t FairShareSlot(const std::vector<SlotHolder>& holders, const boost::asio::ip::address& source,
                          std::size_t slots);

// The holder silent longest that was last heard before `quietSince` and holds nothing;
// NoSlot when none.
std::size_t SilentSlot(const std::vector<SlotHolder>& holders, std::chrono::steady_clock::time_point quietSince);

}  // namespace Zelkor
