#include "transport/LostRequests.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <utility>

#include "transport/AwaitedRequests.h"

namespace Zelkor {

bool KeptRequests::AnsweredWhenLost(const std::string& word) {
    // "goodbye" and "senddisco" are the discovery's own; a block, a put and a get are a
    // transfer's, and a cancel of one ends a put that ends with the connection anyway. The
    // services of "get", "set" and "exec" keep each line in its place and answer it
    // themselves as the connection ends.
    static constexpr std::array<std::string_view, 15> unanswered = {
        "disco", "authenticate", "starttls", "senddisco", "goodbye", "publish", "log", "event",
        "block", "putfile",      "getfile",  "cancelputfile", "get", "set",   "exec"};
    return !word.empty() && std::find(unanswered.begin(), unanswered.end(), word) == unanswered.end();
}

std::string KeptRequests::HeadOf(const std::string& line) {
    // The front's parts go blank-separated: a sender hash (a number), the routing lists (in
    // brackets), then the word, which starts with neither.
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t end = std::min(line.find_first_of(" \n", at), line.size());
        if (end > at && line[at] != '[' && !std::isdigit(static_cast<unsigned char>(line[at]))) {
            return line.substr(0, end);
        }
        at = end + 1;
    }
    return line;
}

std::string KeptRequests::KeptOf(std::string line) {
    return line.size() <= WholeLineBound ? std::move(line) : HeadOf(line);
}

void KeptRequests::Written(std::uint64_t ordinal, const std::string& word, const std::string& line) {
    if (!AnsweredWhenLost(word)) {
        return;
    }
    if (_written.size() >= AwaitedRequests::MaxAwaited) {
        _written.pop_front();
    }
    _written.push_back(LostRequest{ordinal, word, KeptOf(line), {}});
}

void KeptRequests::Answered(std::uint64_t ordinal) {
    const auto found = std::find_if(_written.begin(), _written.end(),
                                    [ordinal](const LostRequest& kept) { return kept.ordinal == ordinal; });
    if (found != _written.end()) {
        _written.erase(found);
    }
}

std::vector<LostRequest> KeptRequests::Take() {
    std::vector<LostRequest> taken(std::make_move_iterator(_written.begin()), std::make_move_iterator(_written.end()));
    _written.clear();
    return taken;
}

}  // namespace Zelkor
