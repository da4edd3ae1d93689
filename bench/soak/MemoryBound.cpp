#include "MemoryBound.h"

#include <algorithm>
#include <cstdio>

namespace ZelkorSoak {
namespace {

long median(std::vector<long> values) {
    if (values.empty()) {
        return -1;
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

std::string whole(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
}

}  // namespace

void MemoryBound::Add(const std::string& node, pid_t pid, double second, long rssKb) {
    if (second < 0 || rssKb < 0) {
        return;
    }
    Samples& samples = _nodes[node];
    if (samples.pid != 0 && samples.pid != pid) {
        samples.restarted = true;
    }
    samples.pid = pid;
    if (second >= kWarmUp && second < kWarmUp + kStretch) {
        samples.afterWarmUp.push_back(rssKb);
    }
    samples.recent.push_back({second, rssKb});
    while (samples.recent.front().second < second - kStretch) {
        samples.recent.pop_front();
    }
}

std::vector<MemoryBound::Verdict> MemoryBound::Judge(const std::vector<std::string>& nodes,
                                                     double loadSeconds) const {
    std::vector<Verdict> verdicts;
    for (const auto& name : nodes) {
        Verdict verdict;
        verdict.node = name;
        const auto found = _nodes.find(name);
        if (loadSeconds < kWarmUp + 2 * kStretch) {
            verdict.why = "the load ran less than " + whole(kWarmUp + 2 * kStretch) + " s";
        } else if (found == _nodes.end() || found->second.afterWarmUp.empty()) {
            verdict.why = "no sample after warm-up";
        } else if (found->second.restarted) {
            verdict.why = "its process was started again during the load";
        } else {
            std::vector<long> atEnd;
            for (const Sample& sample : found->second.recent) {
                if (sample.second >= loadSeconds - kStretch && sample.second <= loadSeconds) {
                    atEnd.push_back(sample.kb);
                }
            }
            if (atEnd.empty()) {
                verdict.why = "no sample in the load's last " + whole(kStretch) + " s";
            } else {
                verdict.judged = true;
                verdict.afterWarmUpKb = median(found->second.afterWarmUp);
                verdict.atEndKb = median(atEnd);
                verdict.allowedKb =
                    std::max(kAllowedKb, static_cast<long>(static_cast<double>(verdict.afterWarmUpKb) * kAllowedShare));
            }
        }
        verdicts.push_back(std::move(verdict));
    }
    return verdicts;
}

}  // namespace ZelkorSoak
