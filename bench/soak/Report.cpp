#include "Report.h"

#include <algorithm>

#include "PublishesOwed.h"

namespace ZelkorSoak {
namespace {

constexpr std::size_t kExamples = 10;

// `counts` by count, largest first.
std::vector<std::pair<std::string, unsigned long>> byCount(const std::map<std::string, unsigned long>& counts) {
    std::vector<std::pair<std::string, unsigned long>> sorted(counts.begin(), counts.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    return sorted;
}

void printTexts(std::FILE* out, const char* title, const std::map<std::string, unsigned long>& counts) {
    if (counts.empty()) {
        return;
    }
    std::fprintf(out, "\n%s\n", title);
    for (const auto& [text, count] : byCount(counts)) {
        std::fprintf(out, "  %9lu  %s\n", count, text.c_str());
    }
}

void printExamples(std::FILE* out, const char* title, const Findings::Kind& kind) {
    if (kind.count == 0) {
        return;
    }
    std::fprintf(out, "\n%s: %lu (the first %zu)\n", title, kind.count, kind.examples.size());
    for (const auto& example : kind.examples) {
        std::fprintf(out, "  %s\n", example.c_str());
    }
}

std::string megabytes(long kilobytes) {
    if (kilobytes < 0) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(kilobytes) / 1024);
    return text;
}

std::string number(long value) { return value < 0 ? "-" : std::to_string(value); }

void printRequests(std::FILE* out, const Ledger& ledger, Ledger::Totals& all) {
    char late[24];
    std::snprintf(late, sizeof late, "late >%.0fs", ledger.LateBound());
    std::fprintf(out, "\n%-12s %9s %8s %9s %9s %8s %15s %11s %10s %9s\n", "requests", "written", "refused", "made",
                 "answered", "errors", "never answered", "lost (kill)", late, "slowest");
    const auto row = [out](const std::string& name, const Ledger::Totals& totals) {
        std::fprintf(out, "%-12s %9lu %8lu %9lu %9lu %8lu %15lu %11lu %10lu %8.1fs\n", name.c_str(), totals.sent,
                     totals.refused, totals.made, totals.answered, totals.errors, totals.open, totals.lost,
                     totals.late, totals.slowest);
    };
    for (const auto& [cmd, totals] : ledger.ByCommand()) {
        row(cmd, totals);
        all.sent += totals.sent;
        all.refused += totals.refused;
        all.made += totals.made;
        all.answered += totals.answered;
        all.errors += totals.errors;
        all.open += totals.open;
        all.lost += totals.lost;
        all.late += totals.late;
        all.unacknowledged += totals.unacknowledged;
        all.slowest = std::max(all.slowest, totals.slowest);
    }
    row("all", all);
    std::fprintf(out, "unexpected answers (a second one, or one to nothing asked): %lu\n", ledger.UnexpectedCount());
    if (all.unacknowledged > 0) {
        std::fprintf(out, "commands whose request line never came (nor an answer): %lu\n", all.unacknowledged);
    }
}

void printRequestList(std::FILE* out, const std::vector<Ledger::Request>& requests) {
    for (const auto& request : requests) {
        std::fprintf(out, "  %.3f s %s, %s of %s (%s), %s after %.1f s\n      %s\n", request.sentAt,
                     request.controller.c_str(), request.cmd.c_str(), request.device.c_str(),
                     request.deviceState.c_str(), request.outcome.empty() ? "still open" : request.outcome.c_str(),
                     request.waited, request.line.c_str());
    }
}

void printNodes(std::FILE* out, const std::vector<const Node*>& nodes) {
    std::fprintf(out, "\n%-16s %-10s %8s   %-24s %-20s\n", "node", "role", "restarts", "RSS MB start/max/end",
                 "descriptors start/max/end");
    for (const Node* node : nodes) {
        const Figure& rss = node->Usage().RssKb();
        const Figure& fds = node->Usage().Descriptors();
        const std::string memory = megabytes(rss.start) + " / " + megabytes(rss.max) + " / " + megabytes(rss.end);
        const std::string descriptors = number(fds.start) + " / " + number(fds.max) + " / " + number(fds.end);
        std::fprintf(out, "%-16s %-10s %8u   %-24s %-20s\n", node->Name().c_str(), RoleName(node->Spec().role),
                     node->Restarts(), memory.c_str(), descriptors.c_str());
    }
}

std::string verdictOf(const std::vector<std::string>& failed) {
    std::string verdict;
    for (const auto& text : failed) {
        verdict += (verdict.empty() ? "" : ", ") + text;
    }
    return failed.empty() ? "pass" : "FAIL (" + verdict + ")";
}

std::vector<std::string> nodeNames(const std::vector<const Node*>& nodes) {
    std::vector<std::string> names;
    for (const Node* node : nodes) {
        names.push_back(node->Name());
    }
    return names;
}

std::string signedMegabytes(long kilobytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.1f", static_cast<double>(kilobytes) / 1024);
    return text;
}

void printMemoryBound(std::FILE* out, const ReportInput& input, std::vector<std::string>& failed) {
    std::fprintf(out,
                 "\nRSS after warm-up (MB; the median of %.0f-%.0f s against that of the load's last %.0f s; "
                 "allowed: %.0f MB or %.0f %%, whichever is more)\n",
                 MemoryBound::kWarmUp, MemoryBound::kWarmUp + MemoryBound::kStretch, MemoryBound::kStretch,
                 static_cast<double>(MemoryBound::kAllowedKb) / 1024, MemoryBound::kAllowedShare * 100);
    const bool binding = input.memoryNotJudged.empty();
    for (const auto& verdict : *input.memory) {
        if (!verdict.judged) {
            std::fprintf(out, "  %-16s not judged: %s\n", verdict.node.c_str(), verdict.why.c_str());
            continue;
        }
        const char* mark = !verdict.Exceeded() ? "ok" : binding ? "OVER" : "over (not judged)";
        std::fprintf(out, "  %-16s %6s -> %6s  %6s (allowed +%s)  %s\n", verdict.node.c_str(),
                     megabytes(verdict.afterWarmUpKb).c_str(), megabytes(verdict.atEndKb).c_str(),
                     signedMegabytes(verdict.RiseKb()).c_str(), megabytes(verdict.allowedKb).c_str(), mark);
        if (verdict.Exceeded() && binding) {
            failed.push_back(verdict.node + "'s RSS rose " + megabytes(verdict.RiseKb()) + " MB after warm-up");
        }
    }
    if (!binding) {
        std::fprintf(out, "  not judged: %s\n", input.memoryNotJudged.c_str());
    }
}

std::vector<std::string> printFuzzReport(std::FILE* out, const ReportInput& input) {
    const Findings& findings = *input.findings;
    std::vector<std::string> failed = input.fuzz->Print(out);
    printNodes(out, input.nodes);
    if (input.curve) {
        input.curve->Print(out, nodeNames(input.nodes));
    }
    if (input.memory) {
        printMemoryBound(out, input, failed);
    }
    std::fprintf(out, "nodes that ended without being asked to: %lu\n", findings.UnexpectedExits().count);
    printExamples(out, "nodes that ended without being asked to", findings.UnexpectedExits());
    if (findings.UnexpectedExits().count > 0) {
        failed.push_back(std::to_string(findings.UnexpectedExits().count) + " nodes ended by themselves");
    }
    std::fprintf(out, "\nresult: %s\n", verdictOf(failed).c_str());
    std::fflush(out);
    return failed;
}

}  // namespace

std::vector<std::string> PrintReport(std::FILE* out, const ReportInput& input) {
    const Ledger& ledger = *input.ledger;
    const Findings& findings = *input.findings;
    std::fprintf(out, "\n== zelkor_soak: %.1f min of %s, seed %llu, timer scale %u\n   run folder %s\n",
                 input.minutes, input.fuzz ? "fuzz" : "load", static_cast<unsigned long long>(input.seed),
                 input.timerScale, input.runDir.c_str());
    if (input.fuzz) {
        return printFuzzReport(out, input);
    }

    Ledger::Totals all;
    printRequests(out, ledger, all);
    printTexts(out, "errors by text (answers that carried one)", ledger.ErrorTexts());
    printTexts(out, "refused by the runner (no request made)", ledger.RefusedTexts());

    std::fprintf(out, "\nvalues checked %lu, wrong values %lu\n", findings.CheckedValues(),
                 findings.WrongValues().count);
    std::fprintf(out, "publishes %lu, foreign publishes %lu (late, just after their subscription ended: %lu)\n",
                 findings.Publishes(), findings.ForeignPublishes().count, findings.LatePublishes().count);
    std::fprintf(out, "missing publishes %lu (a change a standing subscription covered, not published within %.0f s)\n",
                 findings.MissingPublishes().count, PublishesOwed::kBound);
    std::fprintf(out, "transfers ok %lu (%.2f GB), failed %lu, corrupt %lu, cut by a kill %lu\n",
                 findings.TransfersOk(), static_cast<double>(findings.BytesOk()) / 1e9, findings.TransfersFailed(),
                 findings.CorruptTransfers().count, findings.TransfersCut());
    printTexts(out, "failed transfers by text", findings.FailureTexts());

    std::fprintf(out, "\nfaults injected\n");
    for (const auto& [kind, count] : *input.faults) {
        std::fprintf(out, "  %9u  %s\n", count, kind.c_str());
    }
    printNodes(out, input.nodes);
    if (input.curve) {
        input.curve->Print(out, nodeNames(input.nodes));
    }
    std::fprintf(out, "nodes that ended without being asked to: %lu\n", findings.UnexpectedExits().count);
    const Findings::Kind outsiders = input.outsiders ? input.outsiders->Found() : Findings::Kind{};
    std::fprintf(out, "nodes outside the run listed by its nodes: %lu\n", outsiders.count);

    const std::vector<Ledger::Request> open = ledger.Oldest(kExamples, input.endedAt);
    if (!open.empty()) {
        std::fprintf(out, "\nnever answered: %lu (the first %zu; the device as the controller last saw it)\n",
                     all.open + all.unacknowledged, open.size());
        printRequestList(out, open);
    }
    if (all.late > 0) {
        std::fprintf(out, "\nlate, more than %.0f s after the command: %lu (the first %zu)\n", ledger.LateBound(),
                     all.late, ledger.LateOnes().size());
        printRequestList(out, ledger.LateOnes());
    }
    printExamples(out, "wrong values", findings.WrongValues());
    printExamples(out, "foreign publishes", findings.ForeignPublishes());
    printExamples(out, "missing publishes", findings.MissingPublishes());
    printExamples(out, "late publishes (not a failure)", findings.LatePublishes());
    printExamples(out, "corrupt transfers", findings.CorruptTransfers());
    printExamples(out, "nodes that ended without being asked to", findings.UnexpectedExits());
    printExamples(out, "nodes outside the run listed (the first line of each)", outsiders);
    if (!ledger.UnexpectedLines().empty()) {
        std::fprintf(out, "\nunexpected answers: %lu (the first %zu)\n", ledger.UnexpectedCount(),
                     ledger.UnexpectedLines().size());
        for (const auto& line : ledger.UnexpectedLines()) {
            std::fprintf(out, "  %s\n", line.c_str());
        }
    }

    std::vector<std::string> failed;
    const auto check = [&failed](unsigned long count, const char* what) {
        if (count > 0) {
            failed.push_back(std::to_string(count) + " " + what);
        }
    };
    check(all.open + all.unacknowledged, "never answered");
    const std::string lateText = "later than " + std::to_string(static_cast<int>(ledger.LateBound())) + " s";
    check(all.late, lateText.c_str());
    check(findings.WrongValues().count, "wrong values");
    check(findings.ForeignPublishes().count, "foreign publishes");
    check(findings.MissingPublishes().count, "missing publishes");
    check(findings.CorruptTransfers().count, "corrupt transfers");
    check(findings.UnexpectedExits().count, "nodes ended by themselves");
    check(outsiders.count, "nodes outside the run listed");
    std::fprintf(out, "\nresult: %s\n", verdictOf(failed).c_str());
    std::fflush(out);
    return failed;
}

}  // namespace ZelkorSoak
