#pragma once
// The table printed at the end of a run: the requests by command (made, answered, errors,
// never answered), the errors by text, the checked values, the publishes, the transfers,
// the faults injected, and each node's memory and descriptors; then examples of every
// fault found, with the runner lines that show it.

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "Findings.h"
#include "Ledger.h"
#include "Node.h"

namespace ZelkorSoak {

struct ReportInput {
    double minutes = 0;
    std::uint64_t seed = 0;
    unsigned timerScale = 1;
    std::string runDir;
    const Ledger* ledger = nullptr;
    const Findings* findings = nullptr;
    const std::map<std::string, unsigned>* faults = nullptr;
    std::vector<const Node*> nodes;
};

// Prints the report to `out`; the faults that make the run fail, as texts (none: it
// passed).
std::vector<std::string> PrintReport(std::FILE* out, const ReportInput& input);

}  // namespace ZelkorSoak
