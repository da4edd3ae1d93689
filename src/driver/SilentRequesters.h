#pragma once
// The requesters behind a router that left a device's notice unanswered, whose notices
// the router refuses at once for a time instead of holding a device's connection for
// them again: a requester that reopens its transfers, or comes back on a new connection,
// would otherwise hold it once more each time.
//
// A requester is known by its name and the source (SourceGroup) of the connection it
// speaks on: the name alone is anyone's to take, and the connection alone is new at each
// reconnection. Another router in front of this one shares its connection and source
// between its requesters, whose names differ: none of them is refused for another's one
// refusal. Where the requester is the connection's own peer (the notice went to it
// directly), that connection is refused as well, whatever name it speaks for next. A
// source whose requesters keep doing it, SourceStrikes of them within the period, is
// refused as a whole for the period: names cost nothing. The strikes count against any
// source, a router in front too. One that refuses its own requesters' notices within
// the notice bound (ForwardedRequests), as this node does, answers for each of them
// before this node's doubled bound runs out, and so is never struck; one that does not
// (a longer bound of its own, too loaded to answer in time) has every requester behind
// it refused once two of them were.
//
// A source is a whole IPv6 /64, whose hosts need not be one peer: the source's refusal
// spares its requesters that had answered notices before it began and never left one
// unanswered, each by its name on the connection it answered on (a new connection, or a
// new name, has proved nothing). Should one of them leave a notice unanswered after all,
// the source is refused as a whole, sparing none, for the period from then: a host that
// prepares many names gains one more stall, not one for each.
//
// A source whose requester left output untaken past the grace (ForwardedRequests::
// OutputGrace) is remembered longer, for GraceMemory: its requesters, on any connection,
// have no grace for a while, so that one that reopens cannot hold a device for the whole
// grace each time.
//
// Ownership: a member of the driver; connections are known by address only, and let go
// when they close. Bounded: at most MaxRecords requesters and MaxRecords sources are
// kept, those whose time runs out first giving way, and MaxRecords requesters' answers,
// those of the connection that holds most giving way (a peer that makes many names
// forgets its own). Threads: the event-loop thread only.

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>

#include <boost/asio/ip/address.hpp>

namespace Zelkor {

class TcpSocket;

class SilentRequesters {
public:
    using Clock = std::chrono::steady_clock;
    using Address = boost::asio::ip::address;

    static constexpr std::size_t MaxRecords = 1024;
    // How long a requester's notices are refused (at the timer's scale).
    static constexpr std::chrono::seconds Period{60};
    // A requester whose connection ends while a notice written to it has waited this long
    // for its answer counts as one that left it unanswered: else it could leave each just
    // short of the bound and reconnect. One killed in the middle of a transfer had
    // answered the one before at once.
    static constexpr std::chrono::seconds LeftAtEnd{1};
    // Requesters of one source refused within the period that refuse the whole source.
    static constexpr std::size_t SourceStrikes = 2;
    // How long a source that left output untaken past the grace has none (at the timer's
    // scale).
    static constexpr std::chrono::minutes GraceMemory{10};

    // The requester `name` on `connection` (one closing too, told before Closed) from
    // `source` left a notice unanswered at `now`: refused until `now` + `period`, its
    // connection too when `own` (the connection is the requester's own). A strike against
    // the source unless the requester was refused already. True when this refused the
    // whole source, or ended its sparing.
    bool Silent(const std::string& name, const TcpSocket* connection, const Address& source, bool own,
                Clock::time_point now, Clock::duration period);
    // `name` on `connection` answered a notice at `now`.
    void Answered(const std::string& name, const TcpSocket* connection, Clock::time_point now);
    // Whether a notice for `name` on `connection` from `source` is refused at `now`.
    bool Refuses(const std::string& name, const TcpSocket* connection, const Address& source,
                 Clock::time_point now) const;
    // A requester from `source` left output untaken past the grace at `now`: its source
    // has none for `memory`.
    void LeftOutputUntaken(const Address& source, Clock::time_point now, Clock::duration memory);
    bool LeftOutputLately(const Address& source, Clock::time_point now) const;
    // `connection` closed: its address may be another's next.
    void Closed(const TcpSocket* connection);

private:
    struct Source {
        // When its requesters were refused, within the period; and until when the source
        // is refused as a whole.
        std::deque<Clock::time_point> strikes;
        Clock::time_point until{};
        // When the present refusal began, and whether it spares none.
        Clock::time_point since{};
        bool whole = false;
    };

    // A requester's answers on one connection: its first, and whether it left one
    // unanswered there.
    struct Answers {
        Clock::time_point first{};
        bool left = false;
    };

    // Whether `group`'s refusal spares `name` on `connection` (the refusal in force).
    bool spares(const std::string& name, const TcpSocket* connection, const Source& group) const;
    // The answers of `name` on `connection`, kept from `now` on when new.
    Answers& answers(const std::string& name, const TcpSocket* connection, Clock::time_point now);

    // Makes room in `records` for one more by letting go of the one whose time ends first.
    template <class Records, class Until>
    static void makeRoom(Records& records, Clock::time_point now, Until until);

    std::map<std::pair<std::string, Address>, Clock::time_point> _requesters;
    std::unordered_map<const TcpSocket*, Clock::time_point> _connections;
    std::map<Address, Source> _sources;
    std::map<Address, Clock::time_point> _untaken;
    // At most MaxRecords in all: the connection holding most gives one up.
    std::unordered_map<const TcpSocket*, std::map<std::string, Answers>> _answers;
    std::size_t _answerCount = 0;
};

}  // namespace Zelkor
