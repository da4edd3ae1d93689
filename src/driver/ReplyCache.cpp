#include "driver/ReplyCache.h"

#include <algorithm>
#include <utility>

namespace Zelkor {

ReplyCache::ReplyCache(Now now) : _now(std::move(now)) {}

void ReplyCache::SetLimits(const Limits& limits) {
    std::lock_guard<std::mutex> lock(_mutex);
    _limits = limits;
    expire(_now());
}

ReplyCache::Limits ReplyCache::GetLimits() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _limits;
}

std::size_t ReplyCache::Size() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _entries.size();
}

void ReplyCache::erase(Entries::iterator entry) {
    auto [first, last] = _byHash.equal_range(entry->hash);
    for (auto at = first; at != last; ++at) {
        if (at->second == entry) {
            _byHash.erase(at);
            break;
        }
    }
    _bytes -= entry->bytes;
    _entries.erase(entry);
}

void ReplyCache::expire(Clock::time_point now) {
    while (!_entries.empty() && (now - _entries.front().born >= _limits.lifetime ||
                                 _entries.size() > _limits.capacity || _bytes > _limits.bytes)) {
        erase(_entries.begin());
    }
}

ReplyCache::Admission ReplyCache::Admit(const std::string& hash, const std::string& word, std::string_view json,
                                        const std::shared_ptr<TcpSocket>& requester, const std::string& route) {
    std::lock_guard<std::mutex> lock(_mutex);
    const auto now = _now();
    expire(now);
    auto [first, last] = _byHash.equal_range(hash);
    for (auto at = first; at != last; ++at) {
        Entry& entry = *at->second;
        if (entry.word != word || entry.json != json || entry.route != route) {
            continue;
        }
        if (entry.replied) {
            Admission replay{Verdict::Replay, std::move(entry.reply)};
            erase(at->second);
            return replay;
        }
        // Closed waiters go; a connection asking again waits once.
        auto& waiters = entry.waiters;
        waiters.erase(std::remove_if(waiters.begin(), waiters.end(), [](const auto& w) { return w.expired(); }),
                      waiters.end());
        const bool waiting = std::any_of(waiters.begin(), waiters.end(),
                                         [&](const auto& w) { return w.lock() == requester; });
        if (entry.requester.expired()) {
            // Its reply would find no entry to record into: this requester runs it again.
            entry.requester = requester;
            entry.requesterHandle = requester.get();
            return {Verdict::Handle, {}, entry.id};
        }
        if (!waiting) {
            waiters.push_back(requester);
        }
        return {Verdict::Pending, {}};
    }
    if (_limits.capacity == 0) {
        return {};
    }
    const std::uint64_t id = ++_lastId;
    _entries.push_back(Entry{hash, word, std::string(json), route, requester, requester.get(), false, {}, {}, now,
                             hash.size() + word.size() + json.size() + route.size(), id});
    _bytes += _entries.back().bytes;
    _byHash.emplace(hash, std::prev(_entries.end()));
    // Room is made from the oldest; an entry too long on its own goes too (its request
    // still runs, it is just not remembered).
    expire(now);
    return {Verdict::Handle, {}, id};
}

void ReplyCache::Forget(const std::string& hash, std::uint64_t entry) {
    if (entry == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    auto [first, last] = _byHash.equal_range(hash);
    for (auto at = first; at != last; ++at) {
        if (at->second->id == entry) {
            if (!at->second->replied) {
                erase(at->second);
            }
            return;
        }
    }
}

ReplyCache::Entries::iterator ReplyCache::findByRequester(const std::string& hash, const std::string& word,
                                                          const void* connection, const std::string* route) {
    auto found = _entries.end();
    auto [first, last] = _byHash.equal_range(hash);
    for (auto at = first; at != last; ++at) {
        Entry& entry = *at->second;
        // The handle alone could name a new connection at a freed one's address.
        if (entry.word != word || entry.requesterHandle != connection || entry.requester.expired() ||
            (route && entry.route != *route)) {
            continue;
        }
        const bool better = found == _entries.end() || (found->replied && !entry.replied) ||
                            (found->replied == entry.replied && entry.born < found->born);
        if (better) {
            found = at->second;
        }
    }
    return found;
}

bool ReplyCache::TakeKnownReply(const std::string& hash, const std::string& word, const void* connection) {
    std::lock_guard<std::mutex> lock(_mutex);
    expire(_now());
    const auto entry = findByRequester(hash, word, connection);
    if (entry == _entries.end()) {
        return false;
    }
    erase(entry);
    return true;
}

std::vector<std::shared_ptr<TcpSocket>> ReplyCache::Record(const std::string& hash, const std::string& word,
                                                           const void* connection, const std::string& reply,
                                                           bool& found, bool& alreadyRecorded,
                                                           const std::string& route) {
    std::lock_guard<std::mutex> lock(_mutex);
    const auto now = _now();
    expire(now);
    std::vector<std::shared_ptr<TcpSocket>> waiting;
    const auto entry = findByRequester(hash, word, connection, &route);
    found = entry != _entries.end();
    alreadyRecorded = found && entry->replied;
    if (!found) {
        return waiting;
    }
    if (!entry->replied) {
        entry->replied = true;
        entry->reply = reply;
        entry->bytes += reply.size();
        _bytes += reply.size();
        for (const auto& waiter : entry->waiters) {
            if (auto socket = waiter.lock()) {
                waiting.push_back(std::move(socket));
            }
        }
    }
    entry->waiters.clear();
    expire(now);
    return waiting;
}

}  // namespace Zelkor
