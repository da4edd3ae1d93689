#pragma once
// Requester names that ended on a connection to a device (their owner's connection closed,
// or the name passed to another connection), each with the point on that connection after
// which the device is known to have heard of the end.
//
// When a name ends, the router tells each device its requests went to that the requester
// is gone, by a line that goes before any request it forwards later. The device forgets
// what it kept for the name, and drops what it had not written yet. But a notice (a
// publish, a log row, an event, a block) the device wrote before it read that line is
// still on its way, and a notice carries only the name it is for: taken for the name's
// next holder's, it would bring that holder what it never asked for; refused, it would
// make the device forget what the next holder asked for meanwhile. Such a notice is known
// by its place: it comes before the device's reply to any request this node wrote on the
// connection after it told the device. Until such a reply comes, a notice for the name on
// that connection is the old holder's.
//
// Ownership: a member of the driver; connections are known by address only and forgotten
// when they close. Bounded: at most MaxEntries names in all, the oldest told going first.
// Threads: the event-loop thread only.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace Zelkor {

class TcpSocket;

class PassedNames {
public:
    static constexpr std::size_t MaxEntries = 4096;

    // The device behind `connection` was told that `name` ended, when the connection had
    // taken `requestsTaken` requests (TcpSocket::LastRequestTaken): a later request of the
    // connection is written after the telling.
    void Told(const TcpSocket* connection, const std::string& name, std::uint64_t requestsTaken);
    // Whether a notice for `name` on `connection` may still be one the device wrote before
    // it heard that the name ended.
    bool Knows(const TcpSocket* connection, const std::string& name) const;
    // A reply came on `connection` to its request of `ordinal`: the device heard of every
    // end told before that request was taken.
    void Answered(const TcpSocket* connection, std::uint64_t ordinal);
    void Closed(const TcpSocket* connection);
    std::size_t Size() const { return _marks.size(); }

private:
    using Key = std::pair<const TcpSocket*, std::string>;
    struct Mark {
        std::uint64_t taken = 0;
        std::uint64_t order = 0;
    };
    void erase(std::map<Key, Mark>::iterator at);

    std::map<Key, Mark> _marks;
    // The marks in the order they were told, for the bound.
    std::map<std::uint64_t, Key> _told;
    std::uint64_t _next = 0;
};

}  // namespace Zelkor
