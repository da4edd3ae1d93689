// Discovery records and the device list: a discovery reply taken into a device's record
// (with its list fragment written), and look-ups among 10,000 devices by GUID (canonical
// and as a peer may write it), by name and by endpoint. Then the discovery protocol: a
// known device's discovery reply taken by a service that knows 1,000 or 10,000 devices
// (the cost must not grow with the count), and a router's "@list" answer of 10,000
// endpoints: parsed, taken (new devices and known ones) and built by the router.

#include <benchmark/benchmark.h>

#include <cctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "core/JsonText.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "core/ZelkorLog.h"
#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "driver/Packet.h"
#include "driver/ZelkorDriver.h"
#include "services/ListCommandDiscovered.h"
#include "transport/TcpSocket.h"
#include "transport/UdpSocket.h"

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

std::string ipOf(int i) {
    return "10." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + ".1";
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
            body["ip"] = ipOf(i);
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

// A service that has taken the discovery replies of `count` devices by UDP, with each
// device's next reply parsed as the driver hands it over.
struct KnownDevices {
    explicit KnownDevices(int count) : replies(static_cast<std::size_t>(count)) {
        service->SetMaxDevices(static_cast<std::size_t>(count) + 1);
        boost::uuids::random_generator generate;
        for (int i = 0; i < count; ++i) {
            Json::Value body = replyBody(i);
            body["guid"] = boost::uuids::to_string(generate());
            body["name"] = "device-" + std::to_string(i);
            body["ip"] = ipOf(i);
            replies[static_cast<std::size_t>(i)].PullHeader("@disco " + Zelkor::WriteCompactJson(body) + "\n");
            take(static_cast<std::size_t>(i));
        }
        io.poll();
    }

    void take(std::size_t i) {
        Zelkor::Packet packet;
        packet.handle = Zelkor::ZelkorDriver::HandleOf(udp.get());
        packet.isReply = true;
        packet.header = &replies[i];
        service->HandleDiscoReply(packet);
    }

    boost::asio::io_context io;
    std::shared_ptr<Zelkor::ZelkorDriver> driver = std::make_shared<Zelkor::ZelkorDriver>(io);
    std::shared_ptr<Zelkor::DiscoveryService> service =
        std::make_shared<Zelkor::DiscoveryService>(driver.get(), static_cast<Zelkor::IStorage*>(nullptr));
    std::shared_ptr<Zelkor::UdpSocket> udp = std::make_shared<Zelkor::UdpSocket>(io, 4197);
    std::vector<Zelkor::MessageForwardInfo> replies;
};

void BM_HandleDiscoReplyOfKnownDevice(benchmark::State& state) {
    static std::map<int, std::unique_ptr<KnownDevices>> made;
    const int count = static_cast<int>(state.range(0));
    auto& devices = made[count];
    if (!devices) {
        devices = std::make_unique<KnownDevices>(count);
    }
    if (devices->service->TableSizes()["devicesByGuid"] != static_cast<std::size_t>(count)) {
        state.SkipWithError("not every device was added");
        return;
    }
    std::size_t i = 0;
    for (auto _ : state) {
        devices->take(i);
        i = (i + 7919) % static_cast<std::size_t>(count);
    }
    devices->io.poll();
}

// A router with a connection, known to the service, and its answer naming kDevices
// devices behind it.
struct RouterList {
    RouterList() {
        service->SetMaxDevices(kDevices + 1);
        std::string text = "@list {\"endpoints\":[";
        boost::uuids::random_generator generate;
        for (int i = 0; i < kDevices; ++i) {
            Json::Value body = replyBody(i);
            body["guid"] = boost::uuids::to_string(generate());
            body["name"] = "device-" + std::to_string(i);
            body["ip"] = ipOf(i);
            text += (i == 0 ? "" : ",") + Zelkor::WriteCompactJson(body);
        }
        line = text + "]}";
        auto reply = std::make_unique<Zelkor::ListCommandDiscovered>();
        std::string error;
        if (!reply->FromNetworkFormat(false, line, error)) {
            return;
        }
        reply->SetIsReply(true);
        data = std::make_unique<Zelkor::MessageSignalData>(Zelkor::ZelkorDriver::HandleOf(connection.get()),
                                                           connection, true, std::move(reply));
        enterRouter();
    }

    void enterRouter() {
        Json::Value body = replyBody(0);
        body["mode"] = "router";
        body["name"] = "router";
        Zelkor::NewDiscoInfo record;
        record.updateFrom(body);
        auto router = std::make_shared<Zelkor::DeviceImpl>(driver.get(), record);
        router->SetHandle(connection);
        service->enterDevice(router, Zelkor::DiscoveryService::AllTables);
    }

    // Every device forgotten, the router entered again.
    void reset() {
        service->ResetDeviceList();
        io.poll();
        enterRouter();
    }

    boost::asio::io_context io;
    std::shared_ptr<Zelkor::ZelkorDriver> driver = std::make_shared<Zelkor::ZelkorDriver>(io);
    std::shared_ptr<Zelkor::DiscoveryService> service =
        std::make_shared<Zelkor::DiscoveryService>(driver.get(), static_cast<Zelkor::IStorage*>(nullptr));
    std::shared_ptr<Zelkor::TcpSocket> connection =
        std::make_shared<Zelkor::TcpSocket>(io, driver->GetSSLContext(), false);
    std::string line;
    std::unique_ptr<Zelkor::MessageSignalData> data;
};

RouterList& routerList() {
    static RouterList list;
    return list;
}

void BM_ParseListReply(benchmark::State& state) {
    const std::string& line = routerList().line;
    for (auto _ : state) {
        Zelkor::ListCommandDiscovered reply;
        std::string error;
        benchmark::DoNotOptimize(reply.FromNetworkFormat(false, line, error));
    }
}

void BM_HandleListReplyOfNewDevices(benchmark::State& state) {
    RouterList& list = routerList();
    if (!list.data) {
        state.SkipWithError("the answer did not parse");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        list.reset();
        state.ResumeTiming();
        list.service->HandleListDiscoveredReply(*list.data);
    }
    if (list.service->TableSizes()["proxiedDevices"] != static_cast<std::size_t>(kDevices)) {
        state.SkipWithError("not every device is reached through the router");
    }
    list.io.poll();
}

void BM_HandleListReplyOfKnownDevices(benchmark::State& state) {
    RouterList& list = routerList();
    if (!list.data) {
        state.SkipWithError("the answer did not parse");
        return;
    }
    list.reset();
    list.service->HandleListDiscoveredReply(*list.data);
    list.io.poll();
    for (auto _ : state) {
        list.service->HandleListDiscoveredReply(*list.data);
    }
    list.io.poll();
}

// The router's side: the answer built from the records of 10,000 devices, handed to a
// connection that drops it.
void BM_SendListDiscoveredReply(benchmark::State& state) {
    DeviceList& devices = list();
    const auto connection = std::make_shared<Zelkor::TcpSocket>(devices.io, devices.driver->GetSSLContext(), false);
    Zelkor::MessageSignalData data(Zelkor::ZelkorDriver::HandleOf(connection.get()), connection, true,
                                   std::make_unique<Zelkor::ListCommandDiscovered>());
    for (auto _ : state) {
        devices.service->SendListDiscoveredReply(data);
        devices.io.poll();
    }
}

}  // namespace

BENCHMARK(BM_UpdateFromReply);
BENCHMARK(BM_LookupByGuid);
BENCHMARK(BM_LookupByGuidAsPeersWriteIt);
BENCHMARK(BM_LookupByName);
BENCHMARK(BM_LookupByEndpoint);
BENCHMARK(BM_HandleDiscoReplyOfKnownDevice)->Arg(1000)->Arg(10000);
BENCHMARK(BM_ParseListReply)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HandleListReplyOfNewDevices)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HandleListReplyOfKnownDevices)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SendListDiscoveredReply)->Unit(benchmark::kMillisecond);

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
