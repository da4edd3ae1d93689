#include "transport/AwaitedRequests.h"

#include <algorithm>
#include <utility>

namespace Zelkor {

bool AwaitedRequests::IsNotice(const std::string& word) {
    return word == "publish" || word == "log" || word == "event" || word == "block" || word == "fwupdate";
}

void AwaitedRequests::Written(ConnectionRequest request) { _awaited.push_back(std::move(request)); }

ConnectionRequest AwaitedRequests::Answer(const std::string& word, const std::vector<std::string>& sources) {
    auto found = _awaited.begin();
    if (word != "error" && word != "unrecognized") {
        const bool notice = IsNotice(word);
        found = std::find_if(_awaited.begin(), _awaited.end(), [&](const ConnectionRequest& request) {
            return request.word == word && (!notice || request.route == sources);
        });
    }
    if (found == _awaited.end()) {
        return ConnectionRequest{};
    }
    ConnectionRequest answered = std::move(*found);
    _awaited.erase(found);
    return answered;
}

}  // namespace Zelkor
