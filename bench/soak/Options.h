#pragma once
// The soak tool's options, read from its command line, and its usage text.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ZelkorSoak {

enum class Mode {
    // Checked requests, subscriptions and transfers of the controllers, with faults.
    Load,
    // Mutated lines of every word against the devices and the router (Fuzz.h).
    Fuzz,
};

// The most events a node's event log holds.
constexpr unsigned kEventLogBound = 100000;

struct Options {
    Mode mode = Mode::Load;
    // How long the load and the faults run; then the run drains and reports.
    double minutes = 5;
    std::uint64_t seed = 0;
    // Passed to every node: its discovery timer (keep-alives, reconnections) that much faster.
    unsigned timerScale = 1;
    // The node runner, zelkor_node.
    std::string node;
    // Where each node gets a folder of its own; empty: a new folder under $TMPDIR (or /tmp).
    std::string runDir;
    // How long the run waits for the last answers once the load has stopped.
    unsigned drainSeconds = 60;
    // Events each node's log holds when it starts, as after a long run: at the log's bound
    // its filling is no part of the memory curve. Unless given, 0 for the load and the
    // bound for the fuzz, whose memory is judged.
    unsigned eventLogRows = 0;
    bool help = false;
};

// The options of `arguments` (the program's name left out), starting from `defaults`;
// nothing, and `error` saying why, when they cannot be used.
std::optional<Options> ReadOptions(const std::vector<std::string>& arguments, const Options& defaults,
                                   std::string& error);

const char* Usage();

}  // namespace ZelkorSoak
