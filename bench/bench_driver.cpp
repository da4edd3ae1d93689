// The driver's receive road, from a received line to its handler (or to the next hop's
// connection), beside the JSON library parsing the same body alone: the floor any road
// stands on, since every line's body is parsed once.
//
// Each line goes in as a connection delivers it: the header parsed by the socket, then
// the driver's MessageReceived, on the driver's loop. Discovery is a fake whose handler
// only looks at the message; the connections are never opened, so a forwarded line ends
// where the next hop's connection would write it.

#include <benchmark/benchmark.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <json/reader.h>

#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/ZelkorLog.h"
#include "driver/IDriverDiscovery.h"
#include "driver/ZelkorDriver.h"
#include "transport/TcpSocket.h"

namespace {

// A multi-value get of three parameters, the most common request.
const std::string kBody =
    R"([{"path":"/configuration/device/name","format":"string"},{"path":"/status/uptime"},)"
    R"({"path":"/configuration/network/interface/0/ipv4","format":"string"}])";

// Node "R"; device "D" is known behind it, on a connection that is closed.
class Discovery : public Zelkor::IDriverDiscovery {
public:
    std::shared_ptr<Zelkor::TcpSocket> device;

    void Initialize() override {}
    std::shared_ptr<StorageModel> GetStorageModel() override { return nullptr; }
    std::string InstanceName() override { return "R"; }
    bool ReplyDiscos() override { return false; }
    void SendSendDiscoRequest() override {}
    void StartTimer() override {}
    void Stop() override {}
    void ResetDeviceList() override {}
    void ResetIncomingConnections() override {}
    void ResetAllExcept(void*) override {}
    void UpdateDiscoReplyValue(const std::string&, const std::string&) override {}
    bool IsServiceCommand(const std::string& word) override { return word == "get" || word == "goodbye"; }
    void SendDiscoReply(Zelkor::Packet&) override {}
    void HandleDiscoReply(Zelkor::Packet&) override {}
    bool HasVerificationCode() override { return false; }
    bool IsValidConnection(void*) override { return true; }
    bool GetDeviceHandleByName(const std::string& name, std::shared_ptr<Zelkor::TcpSocket>& socket) override {
        socket = device;
        return name == "D";
    }
    void UpdateStatistics(std::shared_ptr<Zelkor::TcpSocket>, TimePoint, TimePoint) override {}
    bool SendDiscos() override { return false; }
    bool IsRouter() const override { return true; }
    std::uint64_t GetKeepAliveDiscoInterval() const override { return 10000; }
    std::string GUID() override { return ""; }
    std::uint64_t MaxQueueDepth() override { return 0; }
    void SetRequestTime(const std::shared_ptr<Zelkor::TcpSocket>&, std::int64_t) override {}
    void ClearRequestTime(const std::shared_ptr<Zelkor::TcpSocket>&) override {}
    void SendKeepAliveDisco(std::shared_ptr<Zelkor::TcpSocket>, Zelkor::MessageForwardInfo&) override {}
    bool GetModelDHCP(std::string&, std::string&) override { return false; }
    void UpdateInterfaceDiscoReplyValue(const std::string&, const std::string&, const std::string&) override {}
    bool AuthenticateDeviceOf(std::shared_ptr<Zelkor::TcpSocket>) override { return false; }
    const char* AdmitForwardedProof(const Zelkor::TcpSocket&, bool&) override { return nullptr; }
    bool ForwardedProofAnswered(const Zelkor::TcpSocket&, const std::string& error) override {
        return error == "Authentication Failed";
    }
    void GiveMessageMapToMessageReceiver(Zelkor::ICombineMessageSignalMaps*) override {}
    void SignalRaised(Zelkor::MessageSignalData& data) override { benchmark::DoNotOptimize(data.GetMessage()); }
};

class Road {
public:
    explicit Road(const Zelkor::ReplyCache::Limits& limits = {}) {
        ZelkorLog::TheLog().RegisterExternalLogger([](std::string&) {});
        driver->SetReplyCacheLimits(limits);
        driver->UseDiscovery(discovery);
        discovery->device = std::make_shared<Zelkor::TcpSocket>(io, driver->GetSSLContext(), true);
        discovery->device->Close();
        // Both connections report to the driver, as accepted ones do: their handles are
        // live, so the road goes on to the connection rather than stopping at a stale handle.
        driver->SocketAccepted(discovery->device);
        driver->SocketAccepted(requester);
    }

    // Runs `work` on the driver's loop, where sockets deliver their lines.
    template <class Work>
    void OnLoop(Work work) {
        boost::asio::post(io, work);
        io.restart();
        io.run();
    }

    void Receive(const std::string& line) {
        Zelkor::MessageForwardInfo header;
        header.ReadReceived(line);
        driver->MessageReceived(requester, header, {}, {});
    }

    boost::asio::io_context io;
    std::shared_ptr<Zelkor::ZelkorDriver> driver = std::make_shared<Zelkor::ZelkorDriver>(io);
    std::shared_ptr<Discovery> discovery = std::make_shared<Discovery>();
    std::shared_ptr<Zelkor::TcpSocket> requester =
        std::make_shared<Zelkor::TcpSocket>(io, driver->GetSSLContext(), false);
};

void runLine(benchmark::State& state, Road& road, const std::string& line) {
    road.OnLoop([&] {
        for (auto _ : state) {
            road.Receive(line);
        }
    });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}

// A request for this node, handled here.
void BM_RoadLocalLine(benchmark::State& state) {
    Road road;
    runLine(state, road, "get " + kBody + "\n");
}

// The same through the duplicate filter: every entry has expired by the next line, so
// each line is admitted, recorded and handled.
void BM_RoadHashedLine(benchmark::State& state) {
    Zelkor::ReplyCache::Limits limits;
    limits.lifetime = std::chrono::milliseconds(0);
    Road road(limits);
    runLine(state, road, "17-a3f0 get " + kBody + "\n");
    state.counters["cached"] = static_cast<double>(road.driver->ReplyCacheSize());
}

// A request for device D behind this node: routed, rebuilt and handed to its connection.
void BM_RoadForwardedLine(benchmark::State& state) {
    Road road;
    runLine(state, road, "[R&D][C] get " + kBody + "\n");
}

// Hashed requests into a full cache: each one pushes the oldest entry out.
void BM_RoadFullCache(benchmark::State& state) {
    Road road;
    const std::size_t capacity = Zelkor::ReplyCache::Limits().capacity;
    std::vector<std::string> lines;
    for (std::size_t n = 0; n < 2 * capacity; ++n) {
        lines.push_back(std::to_string(n + 1) + "-a3f0 get " + kBody + "\n");
    }
    road.OnLoop([&] {
        for (std::size_t n = 0; n < capacity; ++n) {
            road.Receive(lines[n]);
        }
        std::size_t next = capacity;
        for (auto _ : state) {
            road.Receive(lines[next]);
            next = (next + 1) % lines.size();
        }
    });
    state.counters["cached"] = static_cast<double>(road.driver->ReplyCacheSize());
}

// A request in the base message form ("goodbye"), read member by member.
void BM_RoadBaseMessage(benchmark::State& state) {
    Road road;
    runLine(state, road, R"(goodbye {"reason":"shutdown"})" "\n");
}

void parseAlone(benchmark::State& state, const std::string& body) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    for (auto _ : state) {
        Json::Value value;
        std::string errors;
        bool ok = reader->parse(body.data(), body.data() + body.size(), &value, &errors);
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

void BM_JsonParseBody(benchmark::State& state) { parseAlone(state, kBody); }

void BM_JsonParseBaseBody(benchmark::State& state) {
    parseAlone(state, R"({"reason":"shutdown"})");
}

}  // namespace

BENCHMARK(BM_JsonParseBody);
BENCHMARK(BM_RoadLocalLine);
BENCHMARK(BM_RoadHashedLine);
BENCHMARK(BM_RoadForwardedLine);
BENCHMARK(BM_RoadFullCache);
BENCHMARK(BM_JsonParseBaseBody);
BENCHMARK(BM_RoadBaseMessage);

BENCHMARK_MAIN();
