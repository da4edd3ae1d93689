#pragma once
// How often a log line that a peer can cause at will is written, by its message code: a
// peer that repeats a refused request thousands of times a second must not fill the disk,
// nor push every other line out of a bounded log file. The first kBurst lines of a code
// pass at once, then one each kPeriod; the lines left out are counted, and the count is
// handed back once the code passes again, or once it could, or at once when its owner
// will write no later line.
//
// Memory: a fixed table of kCodes codes; admitting, refusing and counting allocate
// nothing. Lines of codes beyond the table share one further count.
// Threads: none of its own; its owner (the logger) calls it under its mutex.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Zelkor {

class PeerLineLimit {
public:
    using Clock = std::chrono::steady_clock;

    // Lines of one code written at once before the rate holds.
    static constexpr unsigned kBurst = 20;
    // Then one line of that code each period.
    static constexpr std::chrono::seconds kPeriod{10};
    // Codes counted apart; the library's peer-caused codes are far fewer.
    static constexpr std::size_t kCodes = 128;
    // The longest code kept: "ZK", four hexadecimal digits and the kind's letter.
    static constexpr std::size_t kCodeLength = 7;

    // The message code a log text begins with ("ZK20CEW"; the kind's letter may be
    // missing), or "" when it begins with none.
    static std::string_view CodeOf(std::string_view text);

    // Whether a line of `code` may be written at `now`; a line that may not is counted.
    bool Admit(std::string_view code, Clock::time_point now);

    // Hands each count of lines left out that is due at `now` to
    // `tell(code, count)` and forgets it: due once a line of its code has passed since,
    // or once one could. Lines of codes beyond the table come with the code "".
    template <class Tell>
    void TakeLeftOut(Clock::time_point now, Tell&& tell) {
        takeLeftOut(&now, tell);
    }
    // Hands back every count of lines left out, due or not: when no later line will come.
    template <class Tell>
    void TakeEveryLeftOut(Tell&& tell) {
        takeLeftOut(nullptr, tell);
    }
    // Whether any count of lines left out waits to be handed back.
    bool LeftOutWaiting() const { return _waiting != 0; }

private:
    struct Entry {
        std::array<char, kCodeLength> code{};
        std::size_t length = 0;
        // When the line after the next would be on time (the rate's theoretical arrival
        // time): the burst is spent while it lies kBurst periods ahead.
        Clock::time_point due{};
        std::uint64_t leftOut = 0;
        bool passedSince = false;  // a line passed while some were left out
    };

    // `now` null: every count, due or not.
    template <class Tell>
    void takeLeftOut(const Clock::time_point* now, Tell& tell) {
        if (_waiting == 0) {
            return;
        }
        for (std::size_t at = 0; at < _used; ++at) {
            handBack(_entries[at], now, tell);
        }
        handBack(_further, now, tell);
    }
    template <class Tell>
    void handBack(Entry& entry, const Clock::time_point* now, Tell& tell) {
        if (entry.leftOut != 0 && (!now || entry.passedSince || mayPass(entry, *now))) {
            tell(std::string_view(entry.code.data(), entry.length), entry.leftOut);
            entry.leftOut = 0;
            entry.passedSince = false;
            --_waiting;
        }
    }
    static bool mayPass(const Entry& entry, Clock::time_point now);
    bool take(Entry& entry, Clock::time_point now);
    Entry* find(std::string_view code);

    std::array<Entry, kCodes> _entries{};
    std::size_t _used = 0;
    Entry _further;
    // Counts not yet handed back, so that a quiet table is not searched.
    std::size_t _waiting = 0;
};

}  // namespace Zelkor
