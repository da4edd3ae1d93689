// Building and parsing typical message lines, against the JSON library reading and
// writing the same bodies alone (the floor any line work stands on).

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include <json/reader.h>
#include <json/writer.h>

#include "core/JsonText.h"
#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalMap.h"
#include "core/Signal.h"

namespace {

using Zelkor::Message;
using Zelkor::Param;

// A multi-value request with its own typed body, as the protocol services write them.
class PathsGet : public Message {
public:
    PathsGet() : Message({Param::params, Param::error}) {}
    const char* CommandName() const override { return "get"; }
    std::unique_ptr<Message> Instantiate() const override { return std::make_unique<PathsGet>(); }

    std::string ToNetworkFormat(bool request) const override {
        Json::Value body(Json::objectValue);
        GetJsonParameter(body[GetStringFromParam(Param::params)], Param::params);
        return WriteLine(request, body);
    }
    bool FromNetworkFormat(bool, const std::string& line, std::string& error) override {
        Json::Value body;
        if (!ReadBody(line, body, error)) {
            return false;
        }
        return !body.isObject() || SetJsonParameter(Param::params, body[GetStringFromParam(Param::params)]);
    }
};

// A reply in the base form: every value a string.
class ValueReply : public Message {
public:
    ValueReply() : Message({Param::path, Param::value, Param::type, Param::error}) {}
    const char* CommandName() const override { return "get"; }
    std::unique_ptr<Message> Instantiate() const override { return std::make_unique<ValueReply>(); }
};

std::unique_ptr<Message> createPathsGet() { return std::make_unique<PathsGet>(); }
std::unique_ptr<Message> createValueReply() { return std::make_unique<ValueReply>(); }

const char* const kPaths =
    "[{\"path\":\"/configuration/device/name\"},{\"path\":\"/status/uptime\"},"
    "{\"path\":\"/configuration/network/interface/0/ipv4\"}]";

PathsGet makeRequest() {
    PathsGet request;
    request.SetParameter(Param::params, kPaths);
    return request;
}

ValueReply makeReply() {
    ValueReply reply;
    reply.SetParameter(Param::path, "/configuration/device/name");
    reply.SetParameter(Param::value, "studio-left");
    reply.SetParameter(Param::type, "string");
    Zelkor::MessageForwardInfo route("nodeA", "nodeC&nodeB", "nodeB");
    route.hasHash = true;
    route.SetHash("5f0c3a9e-2b7d-4c1e-9a44-0c2d8e6f7a10");
    reply.SetMessageForwardInfo(route);
    return reply;
}

// Header, word lookup and body, as a socket and the driver take a line in.
template <class Create>
void parseLine(benchmark::State& state, const std::string& line, Create create) {
    Zelkor::Signal<Zelkor::MessageSignalData> signal;
    Zelkor::MessageSignalMap map;
    map.SetMessageSignalFactory(Zelkor::MessageSignalFactory("get", &signal, create));
    std::string error;
    for (auto _ : state) {
        Zelkor::MessageForwardInfo header;
        const std::string rest = header.PullHeader(line);
        auto message = map.GetMessageSignalFactory(header.CommandText().c_str()).MessageFactory()();
        bool ok = message->FromNetworkFormat(!header.isReply, rest, error);
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}

std::string bodyOf(const std::string& line) { return line.substr(line.find('{')); }

void parseBodyAlone(benchmark::State& state, const std::string& body) {
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

void writeBodyAlone(benchmark::State& state, const std::string& body) {
    Json::Value value;
    std::string errors;
    Zelkor::ReadJson(body, value, errors);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    for (auto _ : state) {
        benchmark::DoNotOptimize(Json::writeString(builder, value));
    }
}

void BM_BuildGetRequest(benchmark::State& state) {
    const PathsGet request = makeRequest();
    for (auto _ : state) {
        benchmark::DoNotOptimize(request.Build(true));
    }
}

void BM_BuildRoutedReply(benchmark::State& state) {
    const ValueReply reply = makeReply();
    for (auto _ : state) {
        benchmark::DoNotOptimize(reply.Build(false));
    }
}

void BM_ParseGetRequest(benchmark::State& state) { parseLine(state, makeRequest().Build(true), createPathsGet); }

void BM_ParseRoutedReply(benchmark::State& state) { parseLine(state, makeReply().Build(false), createValueReply); }

void BM_JsonParseGetBody(benchmark::State& state) { parseBodyAlone(state, bodyOf(makeRequest().Build(true))); }

void BM_JsonParseReplyBody(benchmark::State& state) { parseBodyAlone(state, bodyOf(makeReply().Build(false))); }

void BM_JsonWriteGetBody(benchmark::State& state) { writeBodyAlone(state, bodyOf(makeRequest().Build(true))); }

void BM_JsonWriteReplyBody(benchmark::State& state) { writeBodyAlone(state, bodyOf(makeReply().Build(false))); }

}  // namespace

BENCHMARK(BM_BuildGetRequest);
BENCHMARK(BM_BuildRoutedReply);
BENCHMARK(BM_ParseGetRequest);
BENCHMARK(BM_ParseRoutedReply);
BENCHMARK(BM_JsonParseGetBody);
BENCHMARK(BM_JsonParseReplyBody);
BENCHMARK(BM_JsonWriteGetBody);
BENCHMARK(BM_JsonWriteReplyBody);

BENCHMARK_MAIN();
