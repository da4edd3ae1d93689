#include "TransferFlows.h"

#include <algorithm>

namespace ZelkorNode {

std::uint64_t TransferFlows::Open(bool put, const std::string& path, const std::string& remote,
                                  const std::string& id) {
    Flow flow;
    flow.put = put;
    flow.path = path;
    flow.remote = remote;
    flow.id = id;
    flow.key = ++_lastKey;
    _flows.push_back(std::move(flow));
    return _lastKey;
}

void TransferFlows::Forget(std::uint64_t key) {
    _flows.remove_if([key](const Flow& flow) { return flow.key == key; });
}

TransferFlows::Flow TransferFlows::Report(bool put, const std::string& reported, bool begin, std::uint64_t length,
                                          bool peerFailed) {
    const auto named = [&](const Flow& flow) {
        return flow.put == put && !flow.ended && (flow.path == reported || (flow.key != 0 && flow.remote == reported));
    };
    // Transfers of the same files to several devices begin and end in the queue's order.
    auto found = std::find_if(_flows.begin(), _flows.end(),
                              [&](const Flow& flow) { return named(flow) && flow.begun != begin; });
    if (found == _flows.end()) {
        found = std::find_if(_flows.begin(), _flows.end(), named);
    }
    if (found == _flows.end()) {
        const auto answered = std::count_if(_flows.begin(), _flows.end(), [](const Flow& f) { return f.key == 0; });
        if (static_cast<std::size_t>(answered) >= kMostAnswered) {
            _flows.erase(std::find_if(_flows.begin(), _flows.end(), [](const Flow& f) { return f.key == 0; }));
        }
        Flow flow;
        flow.put = put;
        flow.path = reported;
        found = _flows.insert(_flows.end(), std::move(flow));
    }
    if (length != 0) {
        found->length = length;
    }
    (begin ? found->begun : found->ended) = true;
    found->peerFailed = found->peerFailed || peerFailed;
    const Flow now = *found;
    if (now.ended && now.key == 0) {
        _flows.erase(found);
    }
    return now;
}

const TransferFlows::Flow* TransferFlows::Opened(std::uint64_t key) const {
    const auto found =
        std::find_if(_flows.begin(), _flows.end(), [key](const Flow& flow) { return flow.key == key; });
    return found == _flows.end() ? nullptr : &*found;
}

const TransferFlows::Flow* TransferFlows::Progressing(const std::string& path, const std::string& id) const {
    const auto found = std::find_if(_flows.begin(), _flows.end(), [&](const Flow& flow) {
        return !flow.ended && flow.path == path && flow.id == id;
    });
    return found == _flows.end() ? nullptr : &*found;
}

bool TransferFlows::PutInFlight(const std::string& id) const {
    return std::any_of(_flows.begin(), _flows.end(),
                       [&](const Flow& flow) { return flow.put && flow.key != 0 && !flow.ended && flow.id == id; });
}

}  // namespace ZelkorNode
