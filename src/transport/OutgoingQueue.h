#pragma once
// A first-in, first-out queue of lines waiting to be written on one connection (its owner
// may take one out of its turn). It keeps the sum of their sizes, so that the connection
// can bound what it holds for a peer that does not read.
//
// Ownership: owns its lines. Threads: one thread at a time (the connection's loop).

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "transport/AnswerWaits.h"

namespace Zelkor {

struct OutgoingLine {
    std::string text;
    // The command word, for the completion of the write.
    std::string command;
    bool goodbye = false;
    // A request's place among those its connection took (0 for any other line).
    std::uint64_t ordinal = 0;
    // The nodes beyond the peer a request is addressed to: the peer passes it on.
    std::size_t beyond = 0;
    // A notice's targets (AwaitedRequests), empty for any other line.
    std::vector<std::string> route{};
    // A request's kind, which bounds the wait for its answer, and whether it is passed
    // on for a requester behind this node.
    AnswerWait wait = AnswerWait::Work;
    bool forwarded = false;
    // When the connection took a request: for one passed on, its arrival at this node.
    std::chrono::steady_clock::time_point takenAt{};
    // A request a router passes on for a requester: the connection it came on (never
    // dereferenced), how long in all prompt requests of other requesters may be written
    // before it (none may where zero), how long they held it so far, and the last of them.
    const void* requester = nullptr;
    std::chrono::steady_clock::duration overtakable{};
    std::chrono::steady_clock::duration overtaken{};
    std::uint64_t overtakenBy = 0;
};

class OutgoingQueue {
public:
    bool Empty() const { return _lines.empty(); }
    std::size_t Size() const { return _lines.size(); }
    // Bytes of all lines held.
    std::size_t Bytes() const { return _bytes; }
    bool Holds(const std::string& text) const {
        return std::any_of(_lines.begin(), _lines.end(), [&text](const OutgoingLine& line) { return line.text == text; });
    }

    void Push(OutgoingLine line) {
        _bytes += line.text.size();
        _lines.push_back(std::move(line));
    }
    // The oldest line; the queue must not be empty.
    OutgoingLine Pop() { return TakeAt(0); }
    // The line `at` places from the front (below Size()), read, or taken out of its turn.
    const OutgoingLine& At(std::size_t at) const { return _lines[at]; }
    OutgoingLine& At(std::size_t at) { return _lines[at]; }
    OutgoingLine TakeAt(std::size_t at) {
        const auto place = _lines.begin() + static_cast<std::ptrdiff_t>(at);
        OutgoingLine line = std::move(*place);
        _lines.erase(place);
        _bytes -= line.text.size();
        return line;
    }
    void Clear() {
        _lines.clear();
        _bytes = 0;
    }
    // Drops the first line `drops` picks; whether there was one. A line taken back is
    // found near the front, where taking it out moves few others.
    template <class Pick> bool RemoveFirst(Pick drops) {
        const auto found = std::find_if(_lines.begin(), _lines.end(), drops);
        if (found == _lines.end()) {
            return false;
        }
        _bytes -= found->text.size();
        _lines.erase(found);
        return true;
    }
    // Drops the lines `drops` picks; how many went.
    template <class Pick> std::size_t RemoveIf(Pick drops) {
        const auto kept = std::stable_partition(_lines.begin(), _lines.end(),
                                                [&drops](const OutgoingLine& line) { return !drops(line); });
        std::size_t removed = 0;
        for (auto at = kept; at != _lines.end(); ++at) {
            _bytes -= at->text.size();
            ++removed;
        }
        _lines.erase(kept, _lines.end());
        return removed;
    }

private:
    std::deque<OutgoingLine> _lines;
    std::size_t _bytes = 0;
};

}  // namespace Zelkor
