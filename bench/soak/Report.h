#pragma once
// The table printed at the end of a run: the requests by command (made, answered, errors,
// never answered, late), the errors by text, the checked values, the publishes (foreign
// and missing ones too), the transfers, the faults injected (in fuzz mode the fuzz's own
// table instead), each node's memory and descriptors and its memory over the load (in
// fuzz mode judged against its bound), the nodes outside the run that were listed; then
// examples of every fault found, with the runner lines that show it.

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "Findings.h"
#include "Fuzz.h"
#include "Ledger.h"
#include "MemoryBound.h"
#include "MemoryCurve.h"
#include "Node.h"
#include "Outsiders.h"

namespace ZelkorSoak {

struct ReportInput {
    double minutes = 0;
    std::uint64_t seed = 0;
    unsigned timerScale = 1;
    std::string runDir;
    // When the drain ended: how long the requests still open have waited.
    double endedAt = 0;
    const Ledger* ledger = nullptr;
    const Findings* findings = nullptr;
    const std::map<std::string, unsigned>* faults = nullptr;
    std::vector<const Node*> nodes;
    // In fuzz mode, the fuzz: its table takes the place of the requests, values,
    // publishes, transfers and faults.
    const Fuzz* fuzz = nullptr;
    const MemoryCurve* curve = nullptr;
    // In load mode: who the nodes listed that is not of the run.
    const Outsiders* outsiders = nullptr;
    // In fuzz mode: each node's memory judged after warm-up; not failed when
    // `memoryNotJudged` says why the bound does not hold for this run.
    const std::vector<MemoryBound::Verdict>* memory = nullptr;
    std::string memoryNotJudged;
};

// Prints the report to `out`; the faults that make the run fail, as texts (none: it
// passed).
std::vector<std::string> PrintReport(std::FILE* out, const ReportInput& input);

}  // namespace ZelkorSoak
