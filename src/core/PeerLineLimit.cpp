#include "core/PeerLineLimit.h"

#include <algorithm>
#include <cctype>

namespace Zelkor {

namespace {

// How far ahead of now the rate's next arrival may lie while a line still passes: the
// burst's room less the line itself.
constexpr auto kRoom = PeerLineLimit::kPeriod * (PeerLineLimit::kBurst - 1);

}  // namespace

std::string_view PeerLineLimit::CodeOf(std::string_view text) {
    if (text.size() < 6 || text[0] != 'Z' || text[1] != 'K' ||
        !std::all_of(text.begin() + 2, text.begin() + 6,
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; })) {
        return std::string_view();
    }
    const bool kind = text.size() >= kCodeLength && (text[6] == 'I' || text[6] == 'W' || text[6] == 'E');
    return text.substr(0, kind ? kCodeLength : kCodeLength - 1);
}

bool PeerLineLimit::mayPass(const Entry& entry, Clock::time_point now) {
    return std::max(entry.due, now) - now <= kRoom;
}

bool PeerLineLimit::take(Entry& entry, Clock::time_point now) {
    const Clock::time_point from = std::max(entry.due, now);
    if (from - now > kRoom) {
        return false;
    }
    entry.due = from + kPeriod;
    return true;
}

PeerLineLimit::Entry* PeerLineLimit::find(std::string_view code) {
    for (std::size_t at = 0; at < _used; ++at) {
        Entry& entry = _entries[at];
        if (std::string_view(entry.code.data(), entry.length) == code) {
            return &entry;
        }
    }
    if (_used == kCodes) {
        return nullptr;
    }
    Entry& added = _entries[_used++];
    added.length = std::min(code.size(), kCodeLength);
    std::copy_n(code.begin(), added.length, added.code.begin());
    return &added;
}

bool PeerLineLimit::Admit(std::string_view code, Clock::time_point now) {
    Entry* const found = find(code);
    Entry& entry = found ? *found : _further;
    if (take(entry, now)) {
        entry.passedSince = entry.leftOut != 0;
        return true;
    }
    if (entry.leftOut++ == 0) {
        ++_waiting;
    }
    return false;
}

}  // namespace Zelkor
