// Folder listings, the way every listing of a node makes them: a folder of 1,000 files of
// 64 KiB walked by ListPath, each file's attributes read and its MD5 computed, beside
// `md5sum` of the same files run as a child process (page cache warm, a first run to warm
// it). The ratio of the listing's rate to md5sum's is reported; aim: at least 0.7.
//
// Beside that, the event loop's longest pause while listings run as a device runs them: on
// a worker thread of their own, each result posted back to the loop, which meanwhile runs
// a 1 ms timer and records the largest gap between two of its expiries. Aim: under 10 ms.
// The same loop idle for about as long tells which pauses are the machine's own.
//
// Everything lives in a temporary folder (TMPDIR, else /tmp), removed at the end.

#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "filetransfer/DirectoryListing.h"
#include "filetransfer/TransferWorker.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFiles = 1000;
constexpr std::size_t kFileSize = 64 * 1024;
// Above the folder's entries, so that the walk lists them all.
constexpr std::size_t kMostEntries = 100000;
constexpr auto kTick = std::chrono::milliseconds(1);

fs::path& scratch() {
    static fs::path folder;
    return folder;
}

// md5sum's listings per second over the folder, cache warm: the yardstick.
double& md5Rate() {
    static double rate = 0.0;
    return rate;
}

// Bytes that do not compress, different in every file.
bool writeFiles() {
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    std::vector<std::uint64_t> content(kFileSize / sizeof(std::uint64_t));
    for (std::size_t index = 0; index < kFiles; ++index) {
        for (auto& word : content) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        char name[32];
        std::snprintf(name, sizeof name, "file-%04zu.bin", index);
        std::ofstream out(scratch() / name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(kFileSize));
        if (!out) {
            return false;
        }
    }
    return true;
}

// One md5sum over every file of the folder; the seconds it took, or a negative value when
// it failed or did not digest them all.
double md5sumOnce() {
    const std::string command = "md5sum -- '" + scratch().string() + "'/* 2>/dev/null";
    const auto start = Clock::now();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        return -1.0;
    }
    std::size_t lines = 0;
    char text[4096];
    while (std::fgets(text, sizeof text, pipe)) {
        ++lines;
    }
    const bool ended = ::pclose(pipe) == 0;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return ended && lines == kFiles ? seconds : -1.0;
}

// One listing of the folder; false unless every file came with its digest.
bool listOnce() {
    std::vector<Zelkor::ListFilesItem> items;
    const auto result = Zelkor::ListPath(scratch().string(), false, items, kMostEntries);
    return result == Zelkor::ListingResult::Listed && items.size() == kFiles &&
           std::all_of(items.begin(), items.end(), [](const Zelkor::ListFilesItem& item) {
               return item.size == kFileSize && item.checksum && item.checksum->size() == 32;
           });
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

void md5sumCase(benchmark::State& state) {
    std::vector<double> rates;
    for (auto _ : state) {
        const double seconds = md5sumOnce();
        if (seconds <= 0.0) {
            state.SkipWithError("md5sum failed");
            break;
        }
        state.SetIterationTime(seconds);
        rates.push_back(1.0 / seconds);
    }
    if (!state.error_occurred()) {
        state.counters["listings_per_s"] = median(rates);
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFiles * kFileSize));
    }
}

void listingCase(benchmark::State& state) {
    if (md5Rate() <= 0.0) {
        state.SkipWithError("md5sum could not be measured");
        return;
    }
    std::vector<double> rates;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (!listOnce()) {
            state.SkipWithError("the listing missed files or digests");
            break;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        rates.push_back(1.0 / seconds);
    }
    if (!state.error_occurred()) {
        const double rate = median(rates);
        state.counters["listings_per_s"] = rate;
        state.counters["ratio_to_md5sum"] = rate / md5Rate();
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFiles * kFileSize));
    }
}

// The loop as a device runs it: a timer every millisecond, listings on a worker, each
// result handed back to the loop, the next listing asked for when it arrives.
class PausedLoop {
public:
    // `listings` one after another; with none, the loop runs its timer alone for `idle`,
    // to tell the machine's own pauses from the listing's.
    explicit PausedLoop(int listings, Clock::duration idle = {}) : _left(listings), _idle(idle), _timer(_io) {}

    // The longest gap between two expiries in milliseconds; negative when a listing failed.
    double Run() {
        _last = Clock::now();
        _until = _last + _idle;
        arm();
        if (_left > 0) {
            boost::asio::post(_io, [this] { next(); });
        }
        _io.run();
        return _failed ? -1.0 : std::chrono::duration<double, std::milli>(_longest).count();
    }

private:
    void arm() {
        _timer.expires_after(kTick);
        _timer.async_wait([this](const boost::system::error_code& error) {
            // A cancel misses an expiry whose handler is already queued; the flag does not.
            if (error || _stopped) {
                return;
            }
            const auto now = Clock::now();
            _longest = std::max(_longest, now - _last);
            _last = now;
            if (_idle > Clock::duration::zero() && now >= _until) {
                return;
            }
            arm();
        });
    }

    void stop() {
        _stopped = true;
        _timer.cancel();
    }

    void next() {
        if (_left-- == 0 || _failed) {
            stop();
            return;
        }
        const bool posted = _worker.Post([this] {
            auto items = std::make_shared<std::vector<Zelkor::ListFilesItem>>();
            const auto result = Zelkor::ListPath(scratch().string(), false, *items, kMostEntries);
            boost::asio::post(_io, [this, items, result] {
                _failed = _failed || result != Zelkor::ListingResult::Listed || items->size() != kFiles;
                next();
            });
        });
        if (!posted) {
            _failed = true;
            stop();
        }
    }

    int _left;
    const Clock::duration _idle;
    Clock::time_point _until;
    bool _failed = false;
    bool _stopped = false;
    boost::asio::io_context _io;
    boost::asio::steady_timer _timer;
    Clock::time_point _last;
    Clock::duration _longest{};
    // Last, so that it is joined before the loop it posts to goes.
    Zelkor::TransferWorker _worker;
};

void loopPauseCase(benchmark::State& state, int listings) {
    double longest = 0.0;
    for (auto _ : state) {
        PausedLoop loop(listings, listings == 0 ? std::chrono::milliseconds(1500) : std::chrono::milliseconds(0));
        const double pause = loop.Run();
        if (pause < 0.0) {
            state.SkipWithError("a listing failed");
            break;
        }
        longest = std::max(longest, pause);
    }
    if (!state.error_occurred()) {
        state.counters["longest_pause_ms"] = longest;
    }
}

// md5sum's rate, the page cache warmed by a first run of it.
bool prepare() {
    if (!writeFiles()) {
        std::fprintf(stderr, "cannot write %zu files in %s\n", kFiles, scratch().c_str());
        return false;
    }
    if (md5sumOnce() <= 0.0) {
        std::fprintf(stderr, "md5sum cannot be run\n");
        return true;
    }
    std::vector<double> rates;
    for (int run = 0; run < 5; ++run) {
        const double seconds = md5sumOnce();
        if (seconds > 0.0) {
            rates.push_back(1.0 / seconds);
        }
    }
    md5Rate() = median(rates);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("BM_Md5sumFolder", md5sumCase)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_ListPathFolder", listingCase)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_LoopPauseIdle", [](benchmark::State& state) { loopPauseCase(state, 0); })
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_LoopPauseWhileListing", [](benchmark::State& state) { loopPauseCase(state, 10); })
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    {
        // Under TMPDIR, else /tmp; removed with all in it at the end.
        const ZelkorTest::TempDir folder;
        scratch() = folder.Path();
        if (prepare()) {
            benchmark::RunSpecifiedBenchmarks();
        }
    }
    benchmark::Shutdown();
    return 0;
}
