// Discovery records and the device list: a discovery reply taken into a device's record
// (with its list fragment written), and look-ups among 10,000 devices by GUID (canonical
// and as a peer may write it), by name and by endpoint.

#include <benchmark/benchmark.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "core/JsonText.h"
#include "core/ZelkorLog.h"
#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "driver/ZelkorDriver.h"

namespace {

constexpr int kDevices = 10000;

Json::Value replyBody(int label) {
    Json::Value body;
    std::string errors;
    Zelkor::ReadJson(R"({"classname":"amplifier","container":"","descriptorversion":"2.3.1","devicelisttime":0,)"
                     R"("devicestate":"Running","dhcp":"0","exclusions":"","family":"ZA","fingerprint":"",)"
                     R"("gateway":"10.0.0.1","guid":"5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13","inclusions":"",)"
                     R"("ip":"10.0.0.5","label":"Stage \"left\"","locating":false,"location":"Hall B",)"
                     R"("mac":"00:11:22:33:44:55","manufacturer":"Zelkor Labs","mode":"device","model":"ZA-400",)"
                     R"("name":"stage-left-amp","port":4197,"protocolversion":"1.16.1.26",)"
                     R"("serialnumber":"SN-20417-0093","subnetmask":"255.255.255.0","version":"2.3.1"})",
                     body, errors);
    body["label"] = "label " + std::to_string(label);
    return body;
}

void BM_UpdateFromReply(benchmark::State& state) {
    const Json::Value bodies[2] = {replyBody(1), replyBody(2)};
    Zelkor::NewDiscoInfo record;
    std::size_t turn = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(record.updateFrom(bodies[++turn & 1]));
    }
}

struct DeviceList {
    DeviceList() {
        boost::uuids::random_generator generate;
        for (int i = 0; i < kDevices; ++i) {
            const std::string guid = boost::uuids::to_string(generate());
            Json::Value body = replyBody(i);
            body["guid"] = guid;
            body["name"] = "device-" + std::to_string(i);
            body["ip"] = "10." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + ".1";
            Zelkor::NewDiscoInfo record;
            record.updateFrom(body);
            service->enterDevice(std::make_shared<Zelkor::DeviceImpl>(driver.get(), record),
                                 Zelkor::DiscoveryService::AllTables);
            guids.push_back(guid);
            names.push_back(body["name"].asString());
            endpoints.push_back(record.Address());
        }
    }

    boost::asio::io_context io;
    std::shared_ptr<Zelkor::ZelkorDriver> driver = std::make_shared<Zelkor::ZelkorDriver>(io);
    std::shared_ptr<Zelkor::DiscoveryService> service =
        std::make_shared<Zelkor::DiscoveryService>(driver.get(), static_cast<Zelkor::IStorage*>(nullptr));
    std::vector<std::string> guids;
    std::vector<std::string> names;
    std::vector<boost::asio::ip::address> endpoints;
};

DeviceList& list() {
    static DeviceList devices;
    return devices;
}

template <class Lookup>
void lookups(benchmark::State& state, Lookup&& lookup) {
    DeviceList& devices = list();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(lookup(devices, i));
        i = (i + 7919) % kDevices;
    }
}

void BM_LookupByGuid(benchmark::State& state) {
    lookups(state, [](DeviceList& d, std::size_t i) { return d.service->GetDeviceByUUID(d.guids[i]); });
}

void BM_LookupByGuidAsPeersWriteIt(benchmark::State& state) {
    std::vector<std::string> braced;
    for (const auto& guid : list().guids) {
        std::string upper = "{" + guid + "}";
        for (char& c : upper) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        braced.push_back(upper);
    }
    lookups(state, [&braced](DeviceList& d, std::size_t i) { return d.service->GetDeviceByUUID(braced[i]); });
}

void BM_LookupByName(benchmark::State& state) {
    lookups(state, [](DeviceList& d, std::size_t i) { return d.service->GetDeviceByName(d.names[i]); });
}

void BM_LookupByEndpoint(benchmark::State& state) {
    lookups(state, [](DeviceList& d, std::size_t i) { return d.service->GetDeviceByIPAndPort(d.endpoints[i], 4197); });
}

}  // namespace

BENCHMARK(BM_UpdateFromReply);
BENCHMARK(BM_LookupByGuid);
BENCHMARK(BM_LookupByGuidAsPeersWriteIt);
BENCHMARK(BM_LookupByName);
BENCHMARK(BM_LookupByEndpoint);

int main(int argc, char** argv) {
    ZelkorLog::TheLog().SetLevel(0);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
