#include "MemoryCurve.h"

#include <algorithm>
#include <cmath>

namespace ZelkorSoak {

void MemoryCurve::Add(const std::string& node, double second, long rssKb) {
    if (second < 0 || rssKb < 0) {
        return;
    }
    const long mark = static_cast<long>(std::floor(second / kStep) * kStep);
    _marks[mark].emplace(node, rssKb);
}

void MemoryCurve::Print(std::FILE* out, const std::vector<std::string>& nodes) const {
    if (_marks.empty()) {
        return;
    }
    std::fprintf(out, "\nmemory over the load (RSS MB, every %.0f s)\n  %7s", kStep, "second");
    for (const auto& node : nodes) {
        std::fprintf(out, " %16s", node.c_str());
    }
    std::fprintf(out, "\n");
    for (const auto& [mark, samples] : _marks) {
        std::fprintf(out, "  %7ld", mark);
        for (const auto& node : nodes) {
            const auto found = samples.find(node);
            if (found == samples.end()) {
                std::fprintf(out, " %16s", "-");
            } else {
                std::fprintf(out, " %16.1f", static_cast<double>(found->second) / 1024);
            }
        }
        std::fprintf(out, "\n");
    }
    const long half = std::prev(_marks.end())->first / 2;
    std::fprintf(out, "  second half (from %ld s), least to most:", half);
    for (const auto& node : nodes) {
        long least = -1;
        long most = -1;
        for (auto at = _marks.lower_bound(half); at != _marks.end(); ++at) {
            const auto found = at->second.find(node);
            if (found != at->second.end()) {
                least = least < 0 ? found->second : std::min(least, found->second);
                most = std::max(most, found->second);
            }
        }
        if (least >= 0) {
            std::fprintf(out, "  %s %.1f-%.1f", node.c_str(), static_cast<double>(least) / 1024,
                         static_cast<double>(most) / 1024);
        }
    }
    std::fprintf(out, "\n");
}

}  // namespace ZelkorSoak
