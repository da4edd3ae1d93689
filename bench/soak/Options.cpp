#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace ZelkorSoak {
namespace {

bool readWhole(const std::string& text, std::uint64_t lowest, std::uint64_t highest, std::uint64_t& out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) {
        return false;
    }
    out = std::strtoull(text.c_str(), nullptr, 10);
    return out >= lowest && out <= highest;
}

bool readMinutes(const std::string& text, double& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && errno == 0 && end && *end == '\0' && std::isfinite(out) && out > 0 && out <= 10080;
}

}  // namespace

std::optional<Options> ReadOptions(const std::vector<std::string>& arguments, const Options& defaults,
                                   std::string& error) {
    Options options = defaults;
    bool seeded = false;
    bool logRowsGiven = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--help" || option == "-h") {
            options.help = true;
            return options;
        }
        if (i + 1 >= arguments.size()) {
            error = option.rfind("--", 0) == 0 ? "option " + option + " needs a value" : "unknown option " + option;
            return std::nullopt;
        }
        const std::string& value = arguments[++i];
        std::uint64_t number = 0;
        if (option == "--minutes") {
            if (!readMinutes(value, options.minutes)) {
                error = "invalid value for --minutes: " + value + " (a number of minutes above 0, at most a week)";
                return std::nullopt;
            }
        } else if (option == "--seed") {
            if (!readWhole(value, 0, UINT64_MAX, options.seed)) {
                error = "invalid value for --seed: " + value + " (a whole number)";
                return std::nullopt;
            }
            seeded = true;
        } else if (option == "--timer-scale") {
            if (!readWhole(value, 1, 1000, number)) {
                error = "invalid value for --timer-scale: " + value + " (1-1000)";
                return std::nullopt;
            }
            options.timerScale = static_cast<unsigned>(number);
        } else if (option == "--drain") {
            if (!readWhole(value, 1, 3600, number)) {
                error = "invalid value for --drain: " + value + " (1-3600 seconds)";
                return std::nullopt;
            }
            options.drainSeconds = static_cast<unsigned>(number);
        } else if (option == "--event-log") {
            if (!readWhole(value, 0, kEventLogBound, number)) {
                error = "invalid value for --event-log: " + value + " (0-" + std::to_string(kEventLogBound) + " events)";
                return std::nullopt;
            }
            options.eventLogRows = static_cast<unsigned>(number);
            logRowsGiven = true;
        } else if (option == "--mode") {
            if (value != "load" && value != "fuzz") {
                error = "invalid value for --mode: " + value + " (load or fuzz)";
                return std::nullopt;
            }
            options.mode = value == "fuzz" ? Mode::Fuzz : Mode::Load;
        } else if (option == "--node") {
            options.node = value;
        } else if (option == "--run-dir") {
            options.runDir = value;
        } else {
            error = "unknown option " + option;
            return std::nullopt;
        }
    }
    if (!seeded) {
        options.seed = defaults.seed;
    }
    if (!logRowsGiven && options.mode == Mode::Fuzz) {
        options.eventLogRows = kEventLogBound;
    }
    return options;
}

const char* Usage() {
    return R"(Usage: zelkor_soak [options]

Runs a router, two devices and four controllers as zelkor_node processes on
loopback ports it picks free, each in a folder of its own, all in a network
namespace the run makes for itself (as root, or inside a user namespace), so
that no node of another program on the host hears, answers or is listed by the
run's nodes: dev1 (plain) and dev2-tls (a verification code, TLS); ctl1 (plain,
both devices) and ctl2-tls (TLS and the code, dev2-tls alone) connect directly;
ctl3-routed (plain) and ctl4-routed-tls (TLS and the code) reach both devices
through the router, which holds the code and reaches the devices by static
routes. The controllers make checked gets and sets, subscribe and unsubscribe,
and put files of 1-50 MB of random content to the devices and get them back.
Faults are injected on a schedule: kill -9 of a controller mid-transfer and of a
device, SIGSTOP and SIGCONT of a device, restarts of a device and of the router
(which comes back under a new GUID), the router never sooner than 100 s after the
fault before it ended, so that it does not answer what that fault left waiting. When the time is
up the run drains and prints what it counted; an answer that came more than 90 s
after its command is late, a failure of its own column. Nothing is sent to any
address but 127.0.0.1.

With --mode fuzz it runs the two devices and the router alone, and against each
of them four plain and two TLS connections and a datagram socket write mutated
well-formed lines of every word (paths, values, formats, names, numbers, sizes,
hashes, routing headers, cut and repeated bodies) for --minutes; no faults. Then
each node must still answer a get. The memory table shows each node's RSS every
30 s, and each node's RSS is judged: the median of its samples of the load's last
60 s may lie above that of 30-90 s into the load (after warm-up) by 4 MB, or 10 %
where that is more; a long line in flight for a sample or two does not move a
median. Judged after a load of 150 s or more, with the event log started full
(the default of --event-log there). No line names an address off loopback, a
port outside the run or a file outside the run folder.

Options:
  --mode M          load (the checked load and faults) or fuzz (hostile lines)
                    (load)
  --minutes N       how long the load and the faults run (5; fractions allowed)
  --seed N          the random seed: the same one repeats the faults' kinds,
                    times and lengths (the values and files come from it too)
                    (default: from the clock; the report names it)
  --timer-scale N   passed to every node: its discovery timer (keep-alives,
                    reconnections) N times faster, 1-1000 (1)
  --node PATH       the node runner (default: the zelkor_node of this build)
  --run-dir DIR     where the nodes' folders go; made if missing (default: a new
                    folder under $TMPDIR or /tmp). Kept after the run: each node's
                    event lines (events.jsonl, with the second each came) and log
  --drain N         seconds to wait for the last answers after the load (60)
  --event-log N     each node starts with N events in its event log, made as the
                    fuzz's own log lines make them, as after a long run; 100000,
                    the log's bound, keeps its filling out of the memory curve
                    (0; in fuzz mode 100000: fewer leaves the memory unjudged)
  --help            this text

Exit codes: 0 when nothing was left unanswered, nothing was answered later than
90 s, no value was wrong, no publish foreign, no transfer corrupt, no node ended
on its own and no node outside the run was listed (in fuzz mode: no node ended on
its own, each answered its get and each kept its RSS within its bound); 1
otherwise; 2 when the options or the set-up failed (no network namespace, say).
Ctrl-C ends the load early (a second one ends the drain); the report is printed
either way.
)";
}

}  // namespace ZelkorSoak
