#include "driver/ForwardedRequests.h"

#include <utility>

namespace Zelkor {

bool ForwardedRequests::Add(const TcpSocket* onward, std::uint64_t ordinal, Owed owed) {
    auto& records = _records[onward];
    bool room = true;
    if (records.size() >= MaxPerConnection) {
        records.pop_front();
        room = false;
    }
    records.push_back(Record{ordinal, std::move(owed)});
    return room;
}

void ForwardedRequests::Answered(const TcpSocket* onward, std::uint64_t ordinal) {
    if (ordinal == 0) {
        return;
    }
    const auto found = _records.find(onward);
    if (found == _records.end()) {
        return;
    }
    auto& records = found->second;
    while (!records.empty() && records.front().ordinal <= ordinal) {
        records.pop_front();
    }
    if (records.empty()) {
        _records.erase(found);
    }
}

std::vector<ForwardedRequests::Owed> ForwardedRequests::Ended(const TcpSocket* onward) {
    std::vector<Owed> owed;
    const auto found = _records.find(onward);
    if (found == _records.end()) {
        return owed;
    }
    for (auto& record : found->second) {
        owed.push_back(std::move(record.owed));
    }
    _records.erase(found);
    return owed;
}

std::size_t ForwardedRequests::Size() const {
    std::size_t size = 0;
    for (const auto& entry : _records) {
        size += entry.second.size();
    }
    return size;
}

}  // namespace Zelkor
