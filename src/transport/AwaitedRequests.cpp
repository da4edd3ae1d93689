#include "transport/AwaitedRequests.h"

#include <algorithm>
#include <utility>

namespace Zelkor {

void AwaitedRequests::Written(std::uint64_t ordinal, const std::string& word) {
    if (_awaited.size() >= MaxAwaited) {
        _awaited.pop_front();
    }
    _awaited.push_back(ConnectionRequest{ordinal, word});
}

ConnectionRequest AwaitedRequests::Answer(const std::string& word) {
    auto found = _awaited.begin();
    if (word != "error" && word != "unrecognized") {
        found = std::find_if(_awaited.begin(), _awaited.end(),
                             [&word](const ConnectionRequest& request) { return request.word == word; });
    }
    if (found == _awaited.end()) {
        return ConnectionRequest{};
    }
    ConnectionRequest answered = std::move(*found);
    _awaited.erase(found);
    return answered;
}

}  // namespace Zelkor
