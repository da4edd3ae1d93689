// zelkor_soak: a router, devices and controllers as node runner processes on loopback,
// under a load of checked requests, subscriptions and transfers, with faults injected on
// a schedule; at the end a table of what was counted. README.md beside this file, or
// `zelkor_soak --help`.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Options.h"
#include "Soak.h"

int main(int argc, char** argv) {
    using namespace ZelkorSoak;
    // A node that has gone makes a write to it fail, not the run end.
    signal(SIGPIPE, SIG_IGN);

    Options defaults;
    defaults.node = ZELKOR_NODE_PROGRAM;
    defaults.seed = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) %
                    1000000007ULL;
    std::string error;
    const auto options = ReadOptions(std::vector<std::string>(argv + 1, argv + argc), defaults, error);
    if (!options) {
        std::fprintf(stderr, "zelkor_soak: %s (--help lists the options)\n", error.c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(Usage(), stdout);
        return 0;
    }
    if (::access(options->node.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "zelkor_soak: no node runner at %s (--node names it)\n", options->node.c_str());
        return 2;
    }
    // The run's lines are read as they come, also through a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Soak soak(*options);
    return soak.Run();
}
