// The network edge: the look-ups other parts make on every datagram, connection and
// discovery reply, over 64 listening records (127.0.0.1 on 64 ports); a listen-state
// run that finds nothing to change; and the generation of a key and certificate.
//
// The records are real listeners on loopback (and the ports' any-address UDP sockets),
// made through the driver's own configuration; nothing is sent.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "core/ZelkorLog.h"
#include "driver/SelfSignedCertificate.h"
#include "driver/ZelkorDriver.h"
#include "storage/JsonModel.h"

namespace {

constexpr int kRecords = 64;
const char* const kGuid = "6f9619ff-8b86-d011-b42d-00cf4fc964ff";

const char* const kTree = R"({"configuration":{".kind":"obj","device":{".kind":"obj",
  "name":{".kind":"param",".type":"string",".value":"bench"},
  "guid":{".kind":"param",".type":"string",".value":"6f9619ff-8b86-d011-b42d-00cf4fc964ff"},
  "protocolversion":{".kind":"param",".type":"string",".value":""}}}})";

// A port the system has free just now.
unsigned short freePort(boost::asio::io_context& io) {
    boost::asio::ip::tcp::acceptor probe(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    return probe.local_endpoint().port();
}

// A driver serving 127.0.0.1 on kRecords ports, its loop never run.
class Served {
public:
    Served() {
        ZelkorLog::TheLog().RegisterExternalLogger([](std::string&) {});
        driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(kTree));
        for (int i = 0; i < kRecords; ++i) {
            ports.push_back(freePort(io));
            driver->AddListener("127.0.0.1", ports.back());
        }
        // The look-up tables hold what the previous run served.
        driver->UpdateListenState();
    }
    ~Served() { driver->Stop(); }

    boost::asio::io_context io;
    std::shared_ptr<Zelkor::ZelkorDriver> driver = std::make_shared<Zelkor::ZelkorDriver>(io);
    std::vector<unsigned short> ports;
};

Served& served() {
    static Served instance;
    return instance;
}

void BM_IsListener(benchmark::State& state) {
    auto& edge = served();
    const auto address = boost::asio::ip::make_address("127.0.0.1");
    std::size_t at = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(edge.driver->IsListener(address, edge.ports[at]));
        at = (at + 1) % edge.ports.size();
    }
    state.counters["records"] = static_cast<double>(edge.ports.size());
}

void BM_GetEndPointInterface(benchmark::State& state) {
    auto& edge = served();
    const auto address = boost::asio::ip::make_address("127.0.0.9");
    for (auto _ : state) {
        benchmark::DoNotOptimize(edge.driver->GetEndPointInterface(address));
    }
}

// Arg 0: the first record serves the peer; arg 1: none does (every record is tried).
void BM_GetLocalInfo(benchmark::State& state) {
    auto& edge = served();
    const auto address = boost::asio::ip::make_address(state.range(0) == 0 ? "127.0.0.9" : "fd00::9");
    Zelkor::NetworkInfo info;
    for (auto _ : state) {
        benchmark::DoNotOptimize(edge.driver->GetLocalInfo(address, &info));
    }
}

// Every record present, up and wanted: each is handed to Listen, which opens nothing.
void BM_UpdateWithNothingToChange(benchmark::State& state) {
    auto& edge = served();
    for (auto _ : state) {
        edge.driver->UpdateListenState();
    }
    state.counters["records"] = static_cast<double>(edge.ports.size());
}

void BM_GenerateKeyAndCertificate(benchmark::State& state) {
    std::string key;
    std::string certificate;
    for (auto _ : state) {
        Zelkor::SelfSignedCertificate::Generate(kGuid, key, certificate);
    }
}

}  // namespace

BENCHMARK(BM_IsListener);
BENCHMARK(BM_GetEndPointInterface);
BENCHMARK(BM_GetLocalInfo)->Arg(0)->Arg(1);
BENCHMARK(BM_UpdateWithNothingToChange)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GenerateKeyAndCertificate)->Unit(benchmark::kMillisecond)->Iterations(10);

BENCHMARK_MAIN();
