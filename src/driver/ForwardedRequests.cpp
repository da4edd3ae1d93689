#include "driver/ForwardedRequests.h"

#include <algorithm>
#include <utility>

namespace Zelkor {

void ForwardedRequests::Forwarded(const TcpSocket* onward, Pending pending) {
    auto& waiting = _pending[onward];
    if (waiting.size() >= MaxPerConnection) {
        waiting.pop_front();
    }
    waiting.push_back(std::move(pending));
}

void ForwardedRequests::Answered(const TcpSocket* onward, const std::string& name, const std::string& word) {
    const auto found = _pending.find(onward);
    if (found == _pending.end()) {
        return;
    }
    auto& waiting = found->second;
    const bool anyWord = word == "error" || word == "unrecognized";
    const auto answered = std::find_if(waiting.begin(), waiting.end(), [&](const Pending& pending) {
        return pending.name == name && (anyWord || pending.word == word);
    });
    if (answered != waiting.end()) {
        waiting.erase(answered);
    }
    if (waiting.empty()) {
        _pending.erase(found);
    }
}

std::vector<ForwardedRequests::Pending> ForwardedRequests::Ended(const TcpSocket* onward) {
    std::vector<Pending> ended;
    const auto found = _pending.find(onward);
    if (found == _pending.end()) {
        return ended;
    }
    ended.assign(std::make_move_iterator(found->second.begin()), std::make_move_iterator(found->second.end()));
    _pending.erase(found);
    return ended;
}

std::size_t ForwardedRequests::Size(const TcpSocket* onward) const {
    const auto found = _pending.find(onward);
    return found == _pending.end() ? 0 : found->second.size();
}

}  // namespace Zelkor
