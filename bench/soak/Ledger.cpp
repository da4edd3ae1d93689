#include "Ledger.h"

#include <algorithm>

namespace ZelkorSoak {
namespace {

constexpr std::size_t kKeptLines = 20;
constexpr std::size_t kKeptLate = 10;

}  // namespace

Ledger::Id Ledger::Sent(const std::string& controller, unsigned incarnation, const std::string& cmd,
                        const std::string& device, double now, const std::string& deviceState) {
    Entry entry;
    entry.controller = controller;
    entry.incarnation = incarnation;
    entry.cmd = cmd;
    entry.device = device;
    entry.sentAt = now;
    entry.deviceState = deviceState;
    ++_closed[cmd].sent;
    _entries.emplace(_next, std::move(entry));
    return _next++;
}

void Ledger::Made(Id id, const std::string& line) {
    const auto found = _entries.find(id);
    if (found != _entries.end() && !found->second.made) {
        found->second.made = true;
        found->second.line = line;
        ++_closed[found->second.cmd].made;
    }
}

void Ledger::Refused(Id id, const std::string& message) {
    const auto found = _entries.find(id);
    if (found == _entries.end()) {
        return;
    }
    ++_closed[found->second.cmd].refused;
    ++_refusedTexts[found->second.cmd + ": " + message];
    _entries.erase(found);
}

bool Ledger::Answered(Id id, const std::string& error, double now) {
    const auto found = _entries.find(id);
    if (found == _entries.end()) {
        return false;
    }
    const Entry& entry = found->second;
    Totals& totals = _closed[entry.cmd];
    // An answer may come before the request line (a request refused at once): it shows the
    // request was made, and its line is not counted again.
    if (!entry.made) {
        ++totals.made;
    }
    ++totals.answered;
    totals.slowest = std::max(totals.slowest, now - entry.sentAt);
    if (!error.empty()) {
        ++totals.errors;
        ++_errorTexts[entry.cmd + ": " + error];
    }
    if (now - entry.sentAt > _lateBound) {
        late(entry, now, error.empty() ? "answered with success" : "answered \"" + error + "\"");
    }
    _entries.erase(found);
    return true;
}

void Ledger::Unexpected(const std::string& cmd, const std::string& controller, const std::string& line) {
    ++_unexpected;
    if (_unexpectedLines.size() < kKeptLines) {
        _unexpectedLines.push_back(controller + " (" + cmd + "): " + line);
    }
}

void Ledger::Lost(const std::string& controller, unsigned incarnation, double now) {
    for (auto entry = _entries.begin(); entry != _entries.end();) {
        if (entry->second.controller == controller && entry->second.incarnation == incarnation) {
            // Overdue before its controller went: the kill did not cause the wait.
            if (now - entry->second.sentAt > _lateBound) {
                late(entry->second, now, "not answered before its controller ended");
            } else {
                ++_closed[entry->second.cmd].lost;
            }
            entry = _entries.erase(entry);
        } else {
            ++entry;
        }
    }
}

void Ledger::late(const Entry& entry, double now, const std::string& outcome) {
    ++_closed[entry.cmd].late;
    if (_lateOnes.size() < kKeptLate) {
        Request request = shown(entry, now);
        request.outcome = outcome;
        _lateOnes.push_back(std::move(request));
    }
}

std::size_t Ledger::Overdue(double now) const {
    return static_cast<std::size_t>(std::count_if(_entries.begin(), _entries.end(), [&](const auto& entry) {
        return now - entry.second.sentAt > _lateBound;
    }));
}

std::map<std::string, Ledger::Totals> Ledger::ByCommand() const {
    std::map<std::string, Totals> totals = _closed;
    for (const auto& [id, entry] : _entries) {
        Totals& row = totals[entry.cmd];
        ++(entry.made ? row.open : row.unacknowledged);
    }
    return totals;
}

Ledger::Request Ledger::shown(const Entry& entry, double now) const {
    return {entry.controller, entry.cmd,
            entry.device,     entry.sentAt,
            entry.made ? entry.line : "(no request line came)", entry.deviceState,
            now - entry.sentAt, ""};
}

std::vector<Ledger::Request> Ledger::Oldest(std::size_t count, double now) const {
    std::vector<Request> open;
    for (const auto& [id, entry] : _entries) {
        if (open.size() >= count) {
            break;
        }
        open.push_back(shown(entry, now));
    }
    return open;
}

}  // namespace ZelkorSoak
