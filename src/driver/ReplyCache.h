#pragma once
// The duplicate filter's memory: requests that carried a sender hash, each with the reply
// sent for it and the connections that asked again before that reply existed.
//
// A duplicate is a request with the same hash, word, JSON text and route back (the
// source list of its routing header): a bare counter is no unique hash, and two
// requesters behind one router share the router's connection. An entry remembers the
// connection of its first requester: the reply recorded for it, and a reply dropped as
// known, must come with the same hash and word on that connection, a recorded reply also
// addressed along the same route. When that first requester's connection has gone before
// its reply, the next requester asking again takes its place instead of waiting for a
// reply that has nowhere to go. Entries expire after a
// time and the oldest go when the cache holds too many or too many bytes of text, so that
// no peer grows it without bound; waiters are held weakly, so a closed connection is
// simply skipped.
//
// Ownership: a member of the driver. Threads: every operation takes the cache's own
// mutex and returns what to send; the caller sends after the call, never under the lock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Zelkor {

class TcpSocket;

class ReplyCache {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    struct Limits {
        std::chrono::milliseconds lifetime{std::chrono::seconds(60)};
        std::size_t capacity = 4096;
        // The texts kept (request bodies and replies) together: a peer's long lines do not
        // turn a few thousand entries into gigabytes.
        std::size_t bytes = std::size_t{32} << 20;
    };

    enum class Verdict {
        Handle,   // first sight: handle the request
        Replay,   // answered before: send `reply` (the entry is gone)
        Pending,  // asked before, not answered yet: the connection now waits
    };
    struct Admission {
        Verdict verdict = Verdict::Handle;
        std::string reply;
        // The entry a handled request made or took over; 0 when it made none.
        std::uint64_t entry = 0;
    };

    explicit ReplyCache(Now now = Clock::now);

    void SetLimits(const Limits& limits);
    Limits GetLimits() const;

    // A request with a sender hash arrived on `requester`; `route` is its source list.
    Admission Admit(const std::string& hash, const std::string& word, std::string_view json,
                    const std::shared_ptr<TcpSocket>& requester, const std::string& route = {});
    // A reply with a sender hash arrived on `connection`: true (and the entry gone) when it
    // answers a request this node received there.
    bool TakeKnownReply(const std::string& hash, const std::string& word, const void* connection);
    // A reply goes out on `connection`. When it answers a waiting entry, the entry keeps
    // it and the connections waiting for it come back, for the caller to send to.
    // `alreadyRecorded` tells that the entry had a reply already; `route` is the reply's
    // target list.
    // A request admitted as `entry` was refused before any service answered it: the entry
    // goes unless it holds a reply, so that a repeat is handled (and refused) afresh rather
    // than wait for a reply that never comes.
    void Forget(const std::string& hash, std::uint64_t entry);
    std::vector<std::shared_ptr<TcpSocket>> Record(const std::string& hash, const std::string& word,
                                                   const void* connection, const std::string& reply,
                                                   bool& found, bool& alreadyRecorded,
                                                   const std::string& route = {});

    std::size_t Size() const;

private:
    struct Entry {
        std::string hash;
        std::string word;
        std::string json;
        std::string route;
        std::weak_ptr<TcpSocket> requester;
        const void* requesterHandle = nullptr;
        bool replied = false;
        std::string reply;
        std::vector<std::weak_ptr<TcpSocket>> waiters;
        Clock::time_point born;
        std::size_t bytes = 0;
        std::uint64_t id = 0;
    };
    using Entries = std::list<Entry>;

    void expire(Clock::time_point now);
    void erase(Entries::iterator entry);
    // The oldest entry of the hash and word whose first requester is `connection`,
    // preferring one still waiting for its reply; with a route, only an entry of that route.
    Entries::iterator findByRequester(const std::string& hash, const std::string& word, const void* connection,
                                      const std::string* route = nullptr);

    Now _now;
    mutable std::mutex _mutex;
    Limits _limits;
    // Oldest first: expiry and eviction take from the front.
    Entries _entries;
    std::size_t _bytes = 0;
    std::uint64_t _lastId = 0;
    std::unordered_multimap<std::string, Entries::iterator> _byHash;
};

}  // namespace Zelkor
