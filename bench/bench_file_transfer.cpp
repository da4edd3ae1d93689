// Files between two node processes over loopback: a 256 MiB file put to a device node and
// fetched back from it, plain and TLS, at block sizes ("blocksize", Base64 characters per
// block) of 64 KiB and 1 MiB, beside `md5sum` of the same file with the page cache warm.
// Both ends are node runners in child processes of the benchmark, the controller sending
// "sendfile" and "recvfile" commands, so the library's code runs the same on both sides
// and the benchmark's own work stays out of either process.
//
// A transfer is timed from the controller's "transfer" line that begins it (the queue's
// timer tick before it is not the transfer's) to the line that ends it; that includes the
// receiver's final sync and rename. Each case reports MB/s (10^6 bytes), the ratio of its
// rate to md5sum's, and the peak resident set (VmHWM) of the controller and the device
// once the first 64 MiB had moved and at the end of the first 256 MiB: a transfer that
// streams keeps them equal. Beside them, the CPU time each process spent on a transfer:
// on a busy machine it varies far less than the rate does.
//
// A connection carries one request at a time, so every block waits for the answer to the
// one before. Before each transfer the case measures that wait's floor on the machine as
// it is then: bare Asio with blocking calls, the same number of block lines of the same
// size (and TLS or not) out to a small pong process (bench_get_pong) and a short line back
// for each, with no file, digest or Base64 on either end. Each case reports its rate as a
// share of that floor too.
//
// Everything lives in a temporary folder (TMPDIR, else /tmp), removed at the end; the
// receiver syncs what it installs, so a folder on a disk costs the disk's write time. A
// case that cannot be set up is skipped with its reason; every wait is bounded.

#include <benchmark/benchmark.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/streambuf.hpp>
#include <json/value.h>

#include "core/JsonText.h"
#include "helpers/ChildProcess.h"
#include "helpers/PongPeer.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using ZelkorBench::Child;

constexpr std::uint64_t kFileSize = 256ull << 20;
constexpr std::uint64_t kEarlyMark = 64ull << 20;
const char* const kDeviceGuid = "5f0e2a71-8c3d-4b96-a1e4-3c7d9b2f6a18";
const char* const kCode = "bench-code";
// A transfer that makes no line for this long has stalled.
constexpr auto kLineWait = std::chrono::seconds(120);

// The scratch folder: the controller's files under ctl/, the device's storage root dev/.
fs::path& scratch() {
    static fs::path folder;
    return folder;
}
fs::path controllerFile(const std::string& name) { return scratch() / "ctl" / name; }
fs::path deviceFile(const std::string& name) { return scratch() / "dev" / name; }

unsigned short freePort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor probe(
        io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    return probe.local_endpoint().port();
}

// The file to move: bytes that do not compress, written a mebibyte at a time.
bool writeSource(const fs::path& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    std::vector<std::uint64_t> piece((1u << 20) / sizeof(std::uint64_t));
    for (std::uint64_t done = 0; done < kFileSize && out; done += piece.size() * sizeof(std::uint64_t)) {
        for (auto& word : piece) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        out.write(reinterpret_cast<const char*>(piece.data()),
                  static_cast<std::streamsize>(piece.size() * sizeof(std::uint64_t)));
    }
    return static_cast<bool>(out);
}

// The digest md5sum prints for the file, and the seconds it took; empty when it failed.
std::string md5sum(const fs::path& path, double& seconds) {
    const std::string command = "md5sum -- '" + path.string() + "' 2>/dev/null";
    const auto start = Clock::now();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        return {};
    }
    char digest[33] = {};
    const bool read = std::fread(digest, 1, 32, pipe) == 32;
    const bool ended = ::pclose(pipe) == 0;
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return read && ended ? std::string(digest, 32) : std::string();
}

// The process's peak resident set in MiB, from VmHWM; 0 when it cannot be read.
double peakResidentMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
        }
    }
    return 0.0;
}

// The CPU time the process used so far (user and system, all its threads) in seconds;
// 0 when it cannot be read. Unlike the rate it hardly depends on what else the machine runs.
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    // The fields after the command's name, which may hold blanks, closed by the last ")".
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return 0.0;
    }
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    unsigned long long user = 0, system = 0;
    // State is the 3rd field of the line; user and system time the 14th and 15th.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) {
            user = std::strtoull(field.c_str(), nullptr, 10);
        } else if (index == 15) {
            system = std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    const long ticks = sysconf(_SC_CLK_TCK);
    return ticks > 0 ? static_cast<double>(user + system) / static_cast<double>(ticks) : 0.0;
}

Json::Value parsed(const std::string& line) {
    Json::Value value;
    Zelkor::ReadWholeJson(line, value);
    return value;
}

// md5sum's rate over the file, cache warm: the yardstick of every case.
double& md5Rate() {
    static double rate = 0.0;
    return rate;
}

// Lines of `line` out, each answered by one line back, until `count` were answered.
template <class Stream>
bool exchange(Stream& stream, const std::string& line, std::uint64_t count) {
    boost::asio::streambuf input;
    for (std::uint64_t sent = 0; sent < count; ++sent) {
        if (!ZelkorBench::RoundTrip(stream, line, input)) {
            return false;
        }
    }
    return true;
}

// The lock-step floor in MB/s of file data: as many block lines as the file takes at
// `blockSize`, each answered before the next goes; 0 (and why) when it cannot be measured.
double lockStepFloor(bool tls, unsigned long blockSize, std::string& why) {
    const std::uint64_t perBlock = blockSize / 4 * 3;
    const std::uint64_t blocks = (kFileSize + perBlock - 1) / perBlock;
    const std::string line = R"(block {"blockno":1,"data":")" + std::string(blockSize, 'A') + "\"}\n";
    double seconds = 0.0;
    const auto timed = [&](auto& stream) {
        const auto start = Clock::now();
        const bool done = exchange(stream, line, blocks);
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return done;
    };
    if (!ZelkorBench::WithPong(ZELKOR_PONG_PROGRAM, tls, R"(@block {"blockno":"1"})", timed, why) ||
        seconds <= 0.0) {
        return 0.0;
    }
    return static_cast<double>(kFileSize) / seconds / 1e6;
}

// A device node serving dev/ and a controller node connected to it, fresh for each case
// so that their peak resident sets are the case's.
class Nodes {
public:
    Nodes(bool tls, unsigned long blockSize) {
        const std::string size = std::to_string(blockSize);
        const unsigned short devicePort = freePort();
        std::vector<std::string> device{ZELKOR_NODE_PROGRAM, "--role",  "device", "--name", "bench-device",
                                        "--guid",            kDeviceGuid, "--listen",
                                        "127.0.0.1:" + std::to_string(devicePort), "--storage-root",
                                        (scratch() / "dev").string(), "--block-size", size, "--log-level", "1"};
        if (tls) {
            device.insert(device.end(), {"--code", kCode});
        }
        _device = std::make_unique<Child>(device, scratch().string());
        if (_device->AwaitLine("\"listenerAdded\"").empty()) {
            failure = "the device node did not start";
            return;
        }
        // Its lines are not needed; a full pipe would stop it.
        _device->Drain();

        const unsigned short controllerPort = freePort();
        std::vector<std::string> controller{ZELKOR_NODE_PROGRAM, "--role", "controller", "--name", "bench-controller",
                                            "--listen", "127.0.0.1:" + std::to_string(controllerPort),
                                            "--reply-port", std::to_string(controllerPort), "--block-size", size,
                                            "--transfer-interval", "50", "--log-level", "1"};
        if (tls) {
            controller.insert(controller.end(), {"--tls-level", "1", "--code", kCode});
        }
        _controller = std::make_unique<Child>(controller, scratch().string());
        if (_controller->AwaitLine("\"listenerAdded\"").empty()) {
            failure = "the controller node did not start";
            return;
        }
        const std::string connect =
            R"({"cmd":"connect","address":"127.0.0.1","port":)" + std::to_string(devicePort) + "}";
        if (!_controller->Send(connect) || !awaitSecurity(tls)) {
            failure = tls ? "the controller did not get an authenticated TLS connection to the device"
                          : "the controller did not connect to the device";
        }
    }

    // One transfer, timed from its beginning to its end; `early` gets both peak resident
    // sets once 64 MiB moved, `late` at the end.
    struct Figures {
        double seconds = 0.0;
        double controllerEarly = 0.0, deviceEarly = 0.0;
        double controllerLate = 0.0, deviceLate = 0.0;
        double controllerCpu = 0.0, deviceCpu = 0.0;  // seconds of CPU over the transfer
    };
    bool Transfer(bool put, unsigned long blockSize, const std::string& tag, Figures& figures, std::string& why) {
        Json::Value command;
        command["cmd"] = put ? "sendfile" : "recvfile";
        command["device"] = kDeviceGuid;
        command["local"] = controllerFile(put ? "source.bin" : "fetched.bin").string();
        command["remote"] = put ? "put.bin" : "served.bin";
        command["blocksize"] = static_cast<Json::UInt64>(blockSize);
        command["tag"] = tag;
        if (!_controller->Send(Zelkor::WriteCompactJson(command))) {
            why = "the controller took no command";
            return false;
        }
        Clock::time_point begun{};
        bool early = false;
        for (;;) {
            const std::string text = _controller->AwaitLine("\"event\":\"", kLineWait);
            if (text.empty()) {
                why = "the controller went silent";
                return false;
            }
            const Json::Value line = parsed(text);
            const std::string event = line["event"].asString();
            if (event == "transfer" && line["state"] == "begin" && begun == Clock::time_point{}) {
                begun = Clock::now();
                figures.controllerCpu = -cpuSeconds(_controller->Pid());
                figures.deviceCpu = -cpuSeconds(_device->Pid());
            } else if (event == "progress" && !early &&
                       line["percent"].asDouble() >= 100.0 * kEarlyMark / kFileSize) {
                early = true;
                figures.controllerEarly = peakResidentMiB(_controller->Pid());
                figures.deviceEarly = peakResidentMiB(_device->Pid());
            } else if ((event == "sendfile" || event == "recvfile") && line["tag"] == tag) {
                if (!line["success"].asBool()) {
                    why = "the transfer failed: " + line["text"].asString();
                    return false;
                }
                figures.seconds = std::chrono::duration<double>(Clock::now() - begun).count();
                figures.controllerCpu += cpuSeconds(_controller->Pid());
                figures.deviceCpu += cpuSeconds(_device->Pid());
                figures.controllerLate = peakResidentMiB(_controller->Pid());
                figures.deviceLate = peakResidentMiB(_device->Pid());
                if (begun == Clock::time_point{} || !early) {
                    why = "the transfer's beginning or progress was not told";
                    return false;
                }
                return true;
            }
        }
    }

    std::string failure;

private:
    // The device's security line: over TLS authenticated with the shared code.
    bool awaitSecurity(bool tls) {
        const auto until = Clock::now() + std::chrono::seconds(15);
        while (Clock::now() < until) {
            const std::string text = _controller->AwaitLine("\"event\":\"security\"", std::chrono::seconds(15));
            if (text.empty()) {
                return false;
            }
            const Json::Value line = parsed(text);
            if (line["guid"] == kDeviceGuid && line["authenticated"].asBool() == tls) {
                return true;
            }
        }
        return false;
    }

    std::unique_ptr<Child> _device;
    std::unique_ptr<Child> _controller;
};

// What a case found, for the table at the end.
struct Result {
    double rate = 0.0;  // MB/s, the median of the case's transfers
    double controllerEarly = 0.0, deviceEarly = 0.0;
    double controllerLate = 0.0, deviceLate = 0.0;
    double controllerCpu = 0.0, deviceCpu = 0.0;  // seconds per transfer, the median's
    double floor = 0.0;                            // MB/s, the median of the floors
};
std::map<std::string, Result>& results() {
    static std::map<std::string, Result> table;
    return table;
}

std::string caseName(bool put, bool tls, unsigned long blockSize) {
    return std::string(put ? "put" : "get") + "/" + (tls ? "TLS" : "TCP") + "/" +
           (blockSize >= (1ul << 20) ? std::to_string(blockSize >> 20) + "MiB" : std::to_string(blockSize >> 10) + "KiB");
}

void transferCase(benchmark::State& state, bool put, bool tls, unsigned long blockSize) {
    const std::string name = caseName(put, tls, blockSize);
    state.SetLabel(name);
    if (md5Rate() <= 0.0) {
        state.SkipWithError("md5sum could not be measured");
        return;
    }
    Nodes nodes(tls, blockSize);
    if (!nodes.failure.empty()) {
        state.SkipWithError(nodes.failure.c_str());
        return;
    }
    std::vector<double> rates;
    std::vector<double> controllerCpu, deviceCpu, floors;
    Nodes::Figures first;
    int round = 0;
    for (auto _ : state) {
        // Every transfer replaces a destination that is there, as the common case.
        Nodes::Figures figures;
        std::string why;
        floors.push_back(lockStepFloor(tls, blockSize, why));
        if (floors.back() <= 0.0) {
            state.SkipWithError(why.c_str());
            break;
        }
        if (!nodes.Transfer(put, blockSize, name + "#" + std::to_string(round), figures, why)) {
            state.SkipWithError(why.c_str());
            break;
        }
        if (round++ == 0) {
            first = figures;
        }
        state.SetIterationTime(figures.seconds);
        rates.push_back(static_cast<double>(kFileSize) / figures.seconds / 1e6);
        controllerCpu.push_back(figures.controllerCpu);
        deviceCpu.push_back(figures.deviceCpu);
    }
    if (state.error_occurred() || rates.empty()) {
        return;
    }
    const auto median = [](std::vector<double>& values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    Result result{median(rates),    first.controllerEarly, first.deviceEarly, first.controllerLate,
                  first.deviceLate, median(controllerCpu), median(deviceCpu), median(floors)};
    results()[name] = result;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
    state.counters["MBps"] = result.rate;
    state.counters["ratio"] = result.rate / md5Rate();
    state.counters["ctl_rss64_MiB"] = result.controllerEarly;
    state.counters["ctl_rss256_MiB"] = result.controllerLate;
    state.counters["dev_rss64_MiB"] = result.deviceEarly;
    state.counters["dev_rss256_MiB"] = result.deviceLate;
    state.counters["ctl_cpu_s"] = result.controllerCpu;
    state.counters["dev_cpu_s"] = result.deviceCpu;
    state.counters["floor_MBps"] = result.floor;
}

void md5sumCase(benchmark::State& state) {
    double seconds = 0.0;
    for (auto _ : state) {
        if (md5sum(controllerFile("source.bin"), seconds).empty()) {
            state.SkipWithError("md5sum failed");
            break;
        }
        state.SetIterationTime(seconds);
    }
    if (!state.error_occurred()) {
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
        state.counters["MBps"] = md5Rate();
    }
}

// Three runs each (a case runs for seconds): the median rate is reported.
void registerCases() {
    benchmark::RegisterBenchmark("BM_Md5sum", md5sumCase)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
    for (bool put : {true, false}) {
        for (bool tls : {false, true}) {
            for (unsigned long blockSize : {65536ul, 1048576ul}) {
                benchmark::RegisterBenchmark(("BM_FileTransfer/" + caseName(put, tls, blockSize)).c_str(),
                                             [put, tls, blockSize](benchmark::State& state) {
                                                 transferCase(state, put, tls, blockSize);
                                             })
                    ->Iterations(3)
                    ->UseManualTime()
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
}

void printSummary() {
    std::printf("\nmd5sum (cache warm): %.0f MB/s\n", md5Rate());
    std::printf("%-14s %9s %7s %12s %12s %12s %12s %8s %8s %7s %9s\n", "case", "MB/s", "ratio", "ctl@64MiB",
                "ctl@256MiB", "dev@64MiB", "dev@256MiB", "ctl CPU", "dev CPU", "floor", "of floor");
    for (const auto& [name, result] : results()) {
        std::printf("%-14s %9.0f %7.2f %9.1f MiB %9.1f MiB %9.1f MiB %9.1f MiB %7.2fs %7.2fs %7.0f %9.2f\n",
                    name.c_str(), result.rate, result.rate / md5Rate(), result.controllerEarly,
                    result.controllerLate, result.deviceEarly, result.deviceLate, result.controllerCpu,
                    result.deviceCpu, result.floor, result.rate / result.floor);
    }
    for (const auto& [name, result] : results()) {
        if (name.find("/64KiB") != std::string::npos) {
            const double ratio = result.rate / md5Rate();
            std::printf("%s: ratio %.2f (aim at least 0.6: %s)\n", name.c_str(), ratio, ratio >= 0.6 ? "met" : "missed");
        }
    }
}

// The source on the controller's side and, as a hard link (no second copy), the file the
// device serves; then md5sum's rate, the cache warmed by a first run.
bool prepare() {
    std::error_code error;
    fs::create_directories(scratch() / "ctl", error);
    fs::create_directories(scratch() / "dev", error);
    if (error || !writeSource(controllerFile("source.bin"))) {
        std::fprintf(stderr, "cannot write the %llu-byte source in %s\n", static_cast<unsigned long long>(kFileSize),
                     scratch().c_str());
        return false;
    }
    fs::create_hard_link(controllerFile("source.bin"), deviceFile("served.bin"), error);
    if (error) {
        fs::copy_file(controllerFile("source.bin"), deviceFile("served.bin"), error);
    }
    double seconds = 0.0;
    const std::string digest = md5sum(controllerFile("source.bin"), seconds);
    std::vector<double> rates;
    for (int run = 0; run < 3 && !digest.empty(); ++run) {
        if (md5sum(controllerFile("source.bin"), seconds) == digest && seconds > 0.0) {
            rates.push_back(static_cast<double>(kFileSize) / seconds / 1e6);
        }
    }
    if (rates.empty()) {
        std::fprintf(stderr, "md5sum cannot be run\n");
        return !error;
    }
    std::sort(rates.begin(), rates.end());
    md5Rate() = rates[rates.size() / 2];
    return !error;
}

// After the cases: what arrived is the file that left.
void checkCopies() {
    double seconds = 0.0;
    const std::string source = md5sum(controllerFile("source.bin"), seconds);
    for (const auto& [copy, what] : {std::pair{deviceFile("put.bin"), "put"}, std::pair{controllerFile("fetched.bin"), "get"}}) {
        std::error_code error;
        if (fs::exists(copy, error) && md5sum(copy, seconds) != source) {
            std::printf("the last %s's copy differs from the source\n", what);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // A node that ended while a command was written to it must not end the benchmark.
    ::signal(SIGPIPE, SIG_IGN);
    registerCases();
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
            checkCopies();
            printSummary();
        }
    }
    benchmark::Shutdown();
    return 0;
}
