// Value reads and writes by path on the sample device tree, a recursive multi-value get
// of the whole tree, the largest request a peer can make of it in one line, and the copy
// a log replay makes of a full event log.

#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <cstdint>
#include <string>
#include <vector>
#include <system_error>

#include <json/value.h>

#include "core/ZelkorLog.h"
#include "storage/EventStore.h"
#include "storage/JsonModel.h"
#include "storage/LogRow.h"
#include "storage/ObjectParamContainer.h"

namespace {

std::shared_ptr<Zelkor::JsonModel> loadSample() {
    std::ifstream in(ZELKOR_SOURCE_DIR "/examples/device-tree.json");
    return std::make_shared<Zelkor::JsonModel>(
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

void readByPath(benchmark::State& state, const char* path, const char* format) {
    auto model = loadSample();
    for (auto _ : state) {
        Json::Value value;
        benchmark::DoNotOptimize(model->GetValueForPath(path, format, value));
        benchmark::DoNotOptimize(value);
    }
}

void BM_ReadStringVariant(benchmark::State& state) {
    readByPath(state, "/configuration/device/name", "variant");
}
void BM_ReadFloatNorm(benchmark::State& state) { readByPath(state, "/audio/gain", "norm"); }
void BM_ReadEnumString(benchmark::State& state) { readByPath(state, "/audio/mode", "string"); }
void BM_ReadDeepArrayElement(benchmark::State& state) {
    readByPath(state, "/audio/channels/2/sends/3", "number");
}

void BM_ReadAsText(benchmark::State& state) {
    auto model = loadSample();
    for (auto _ : state) {
        std::string value;
        benchmark::DoNotOptimize(model->GetValueForPath("/audio/trim", "string", value));
        benchmark::DoNotOptimize(value);
    }
}

// Two values written in turn, so that every write is a real change.
void writeByPath(benchmark::State& state, const char* path, const char* format,
                 const Json::Value& first, const Json::Value& second) {
    auto model = loadSample();
    bool flip = false;
    for (auto _ : state) {
        benchmark::DoNotOptimize(model->SetValueForPath(path, format, flip ? first : second, true));
        flip = !flip;
    }
}

void BM_WriteFloatVariant(benchmark::State& state) {
    writeByPath(state, "/audio/gain", "variant", Json::Value(-6.5), Json::Value(3));
}
void BM_WriteFloatText(benchmark::State& state) {
    writeByPath(state, "/audio/gain", "variant", Json::Value("-6.5"), Json::Value("3"));
}
void BM_WriteEnumString(benchmark::State& state) {
    writeByPath(state, "/audio/mode", "string", Json::Value("On"), Json::Value("Auto"));
}
void BM_WriteRefusedLocked(benchmark::State& state) {
    writeByPath(state, "/audio/limiter", "variant", Json::Value(-1), Json::Value(-2));
}

void BM_MultiGetWholeTreeRecursive(benchmark::State& state) {
    auto model = loadSample();
    Zelkor::ObjectParamContainer request;
    request.FromJsonText(R"({"path":"/","format":"variant"})");
    std::size_t pairs = 0;
    for (auto _ : state) {
        Zelkor::ObjectParamContainer get = request;
        model->GetObjectsParameters(get, true);
        const std::string reply = get.ToJsonText();
        pairs = get.ToJson().size();
        benchmark::DoNotOptimize(reply);
    }
    state.counters["pairs"] = static_cast<double>(pairs);
}

// A "sublog" from the first event of a full log: everything copied, or only the output
// bound's worth (64 KiB) that a replay can send.
void replayFromAFullLog(benchmark::State& state, std::size_t maxBytes) {
    Zelkor::EventStore store;
    for (int i = 0; i < 100000; ++i) {
        LOGROW row{0, 1700000000 + i, 2, "fuzz", std::string(200, 'e')};
        store.StoreEvent(row);
    }
    std::size_t rows = 0;
    for (auto _ : state) {
        std::vector<std::string> out;
        store.RetrieveEventsUpTo(1, 0, maxBytes, out);
        rows = out.size();
        benchmark::DoNotOptimize(out);
    }
    state.counters["rows"] = static_cast<double>(rows);
}
void BM_ReplayCopyOfAFullLogWhole(benchmark::State& state) { replayFromAFullLog(state, SIZE_MAX); }
void BM_ReplayCopyOfAFullLogUpToTheBound(benchmark::State& state) { replayFromAFullLog(state, 65536); }

}  // namespace

BENCHMARK(BM_ReadStringVariant);
BENCHMARK(BM_ReadFloatNorm);
BENCHMARK(BM_ReadEnumString);
BENCHMARK(BM_ReadDeepArrayElement);
BENCHMARK(BM_ReadAsText);
BENCHMARK(BM_WriteFloatVariant);
BENCHMARK(BM_WriteFloatText);
BENCHMARK(BM_WriteEnumString);
BENCHMARK(BM_WriteRefusedLocked);
BENCHMARK(BM_MultiGetWholeTreeRecursive);
BENCHMARK(BM_ReplayCopyOfAFullLogWhole)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplayCopyOfAFullLogUpToTheBound)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    ZelkorLog::TheLog().SetLevel(0);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    // Each model writes its event log into the working folder when it goes away: they
    // all run in a folder of their own, removed at the end.
    const auto start = std::filesystem::current_path();
    std::string scratch = (std::filesystem::temp_directory_path() / "zelkor-bench-XXXXXX").string();
    if (mkdtemp(scratch.data()) == nullptr) {
        return 1;
    }
    std::filesystem::current_path(scratch);
    benchmark::RunSpecifiedBenchmarks();
    std::filesystem::current_path(start);
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    benchmark::Shutdown();
    return 0;
}
