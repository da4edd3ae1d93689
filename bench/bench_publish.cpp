// One value change published to 1, 10, 100 and 1,000 subscriber connections, each
// subscribed in one format and then in two, and one raised event fanned out to as many
// subscribers of "/a". Two roads:
//   in process: the subscription and event services over a sender that builds every line
//     and counts it, the sample tree in a storage of this process; a change is a write
//     into that tree, as a device application makes it;
//   end to end: a device node (the node runner serving the sample tree) in a child
//     process, the subscribers raw loopback connections of this process, one thread
//     reading them all and answering each "publish" (the device sends one request at a
//     time per connection); a change is a "set" over one more connection, timed until
//     every subscriber read its publish and the setter its reply.
// Each case reports the time per change and, as "per_line", per subscriber line, so that
// a cost growing with the number of subscribers shows. At the end a table of the medians,
// and the per-line cost at 1,000 subscribers beside that at 10.
//
// Every wait is bounded; a case that cannot be set up is skipped with its reason.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <json/value.h>

#include "helpers/ChildProcess.h"
#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "core/ZelkorLog.h"
#include "driver/IServiceSender.h"
#include "services/EventMessages.h"
#include "services/EventSubscriptionService.h"
#include "services/SubscriptionService.h"
#include "services/ValueSubscriptionMessages.h"
#include "storage/JsonModel.h"
#include "storage/StorageModel.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kPath = "/audio/gain";
const char* const kOneFormat = R"([{"path":"/audio/gain"}])";
const char* const kTwoFormats = R"([{"path":"/audio/gain"},{"path":"/audio/gain","format":"number"}])";
const char* const kGuid = "3b6f2d1e-9a47-4c85-b0e2-7d5a1c3f8e64";
constexpr int kMaxSubscribers = 1000;

const char* subscribeBody(int formats) { return formats == 2 ? kTwoFormats : kOneFormat; }

// The value a change writes over `current`: never the same, so that every write is a
// change (the sample tree starts at 0).
int nextValue(int& current) {
    current = current == -3 ? -4 : -3;
    return current;
}

// A subscriber line's cost, per line: rate counters inverted read as seconds per line.
void countLines(benchmark::State& state, std::int64_t lines, int subscribers) {
    state.counters["per_line"] =
        benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["subscribers"] = subscribers;
    state.SetItemsProcessed(lines);
}

// ---------------------------------------------------------------------------------------
// In process

// What a connection would send: each line built as the driver builds it, then counted.
class CountingSender final : public Zelkor::IServiceSender {
public:
    void BuildAndSendMessage(void* handle, Zelkor::Message& message, bool request) override {
        take(handle, message.Build(request));
    }
    void BuildAndSendMessageDelayed(void* handle, Zelkor::Message& message, bool request) override {
        take(handle, message.Build(request));
    }
    void BuildAndSendUnicastMessage(void* handle, Zelkor::Message& message, bool request) override {
        take(handle, message.Build(request));
    }
    void SendRequest(void* handle, std::string line, SendResult done) override {
        take(handle, line);
        if (done) {
            done(true);
        }
    }
    void SendReply(void* handle, const std::string& line, const std::string&, const std::string&) override {
        take(handle, line);
    }
    void UpdateDiscoReplyValue(const std::string&, const std::string&) override {}
    Zelkor::Signal<Zelkor::ConnectionResult>& ConnectionResults() override { return _results; }
    QueuedOutput QueuedOutputOf(void*) override { return {}; }
    unsigned long GetTlsLevel() override { return 0; }
    bool ParentPathsAllowed() override { return false; }

    std::int64_t lines = 0;
    std::int64_t bytes = 0;
    // While set, the text of the last line is kept in `last`.
    bool keepLast = false;
    std::string last;

private:
    void take(void*, const std::string& line) {
        ++lines;
        bytes += static_cast<std::int64_t>(line.size());
        if (keepLast) {
            last = line;
        }
        benchmark::DoNotOptimize(line.data());
    }

    Zelkor::Signal<Zelkor::ConnectionResult> _results;
};

std::string readFile(const std::string& name) {
    std::ifstream in(name);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The sample tree with a GUID of its own (the file holds an empty one, the device's first).
std::string sampleTree() {
    std::string tree = readFile(ZELKOR_SOURCE_DIR "/examples/device-tree.json");
    const std::string empty = "\".value\": \"\"";
    const auto guid = tree.find("\"guid\"");
    const auto value = guid == std::string::npos ? guid : tree.find(empty, guid);
    if (value != std::string::npos) {
        tree.replace(value, empty.size(), std::string("\".value\": \"") + kGuid + "\"");
    }
    return tree;
}

// Opaque connection handles: the services never look through them.
void* handleOf(int index) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x10000 + 64 * index)); }

// A request line received on `handle`, as the driver's receive road hands it on: the
// header parsed, the body read into the word's class, the word's signal raised.
bool receive(Zelkor::Signal<Zelkor::MessageSignalData>& signal, std::unique_ptr<Zelkor::Message> message,
             void* handle, const std::string& line) {
    Zelkor::MessageForwardInfo header;
    const std::string rest = header.PullHeader(line);
    std::string error;
    if (!message->FromReceived(true, rest, header, error)) {
        return false;
    }
    message->SetMessageForwardInfo(header);
    Zelkor::MessageSignalData data(handle, nullptr, true, std::move(message));
    signal.Raise(data);
    return true;
}

// The subscription service of a device serving the sample tree, its subscribers
// subscribed; the storage reports each write to it at once (the bench thread stands for
// the loop).
class InProcessValues {
public:
    InProcessValues(int subscribers, int formats) {
        service = std::make_shared<Zelkor::SubscriptionService>(&sender, storage);
        storage->SetStorageEventHandler(service.get());
        const std::string line = std::string("subscribe ") + subscribeBody(formats);
        for (int index = 0; index < subscribers; ++index) {
            if (!receive(service->SubscribeSignal(), Zelkor::CreateSubscribe(), handleOf(index), line)) {
                failure = "a subscribe line was not read";
                return;
            }
        }
        // Every subscriber answered and held in each format.
        const auto& table = service->Values();
        const auto path = table.find(kPath);
        bool held = sender.lines == subscribers && path != table.end() &&
                    path->second.size() == static_cast<std::size_t>(formats);
        if (held) {
            for (const auto& format : path->second) {
                held = held && format.second.size() == static_cast<std::size_t>(subscribers);
            }
        }
        if (!held) {
            failure = "the subscribers were not all subscribed";
        }
    }

    ~InProcessValues() { storage->SetStorageEventHandler(nullptr); }

    bool Change() {
        return model->SetValueForPath(kPath, "variant", Json::Value(nextValue(_value)), false) ==
               Zelkor::IStorage::PathOk;
    }

    std::shared_ptr<Zelkor::JsonModel> model = std::make_shared<Zelkor::JsonModel>(sampleTree());
    std::shared_ptr<StorageModel> storage = std::make_shared<StorageModel>(model);
    CountingSender sender;
    std::shared_ptr<Zelkor::SubscriptionService> service;
    std::string failure;

private:
    int _value = 0;
};

void publishInProcess(benchmark::State& state, int subscribers, int formats) {
    InProcessValues device(subscribers, formats);
    if (!device.failure.empty()) {
        state.SkipWithError(device.failure.c_str());
        return;
    }
    // One change first, its last line looked at: a publish of every format.
    device.sender.keepLast = true;
    const bool published = device.Change() && device.sender.last.rfind("publish ", 0) == 0 &&
                           (formats == 1 || device.sender.last.find(R"("format":"number")") != std::string::npos);
    device.sender.keepLast = false;
    if (!published) {
        state.SkipWithError("the first change was not published in every format");
        return;
    }
    const std::int64_t before = device.sender.lines;
    const std::int64_t bytesBefore = device.sender.bytes;
    for (auto _ : state) {
        if (!device.Change()) {
            state.SkipWithError("the write was refused");
            break;
        }
    }
    const std::int64_t lines = device.sender.lines - before;
    if (state.error_occurred()) {
        return;
    }
    if (lines != static_cast<std::int64_t>(state.iterations()) * subscribers) {
        state.SkipWithError("a change did not reach every subscriber once");
        return;
    }
    countLines(state, lines, subscribers);
    state.counters["line_bytes"] = static_cast<double>(device.sender.bytes - bytesBefore) / static_cast<double>(lines);
}

// The event service with `subscribers` connections subscribed to "/a".
class InProcessEvents {
public:
    explicit InProcessEvents(int subscribers) {
        service = std::make_shared<Zelkor::EventSubscriptionService>(&sender);
        for (int index = 0; index < subscribers; ++index) {
            if (!receive(service->SubscribeEventSignal(), Zelkor::CreateSubscribeEvent(), handleOf(index),
                         R"(subscribeevent {"path":"/a"})")) {
                failure = "a subscribeevent line was not read";
                return;
            }
        }
        if (sender.lines != subscribers) {
            failure = "the subscribers were not all answered";
        }
    }

    CountingSender sender;
    std::shared_ptr<Zelkor::EventSubscriptionService> service;
    std::string failure;
};

void raiseEventInProcess(benchmark::State& state, int subscribers) {
    InProcessEvents device(subscribers);
    if (!device.failure.empty()) {
        state.SkipWithError(device.failure.c_str());
        return;
    }
    const std::int64_t before = device.sender.lines;
    const std::int64_t bytesBefore = device.sender.bytes;
    for (auto _ : state) {
        device.service->RaiseEvent("/a", "1");
    }
    const std::int64_t lines = device.sender.lines - before;
    if (lines != static_cast<std::int64_t>(state.iterations()) * subscribers) {
        state.SkipWithError("an event did not reach every subscriber once");
        return;
    }
    countLines(state, lines, subscribers);
    state.counters["line_bytes"] = static_cast<double>(device.sender.bytes - bytesBefore) / static_cast<double>(lines);
}

// ---------------------------------------------------------------------------------------
// End to end

using ZelkorBench::Child;

unsigned short freePort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor probe(
        io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    return probe.local_endpoint().port();
}

// The device node, one for every end-to-end case, listening on loopback without a bound
// on incoming connections.
class DeviceNode {
public:
    DeviceNode() {
        const std::string folder = std::filesystem::current_path() / "device";
        std::filesystem::create_directories(folder);
        std::ofstream(folder + "/tree.json") << sampleTree();
        port = freePort();
        _child = std::make_unique<Child>(std::vector<std::string>{ZELKOR_NODE_PROGRAM, "--tree", folder + "/tree.json",
                                                                  "--listen", "127.0.0.1:" + std::to_string(port),
                                                                  "--max-incoming", "0", "--log-level", "1"},
                                         folder);
        if (_child->AwaitLine("\"listenerAdded\"").empty()) {
            failure = "the device node did not start";
        }
        _child->Drain();
    }

    unsigned short port = 0;
    std::string failure;
    // Its value of the subscribed path, as last written.
    int value = 0;

private:
    std::unique_ptr<Child> _child;
};

std::unique_ptr<DeviceNode> theNode;

// Connections made before the device answered them: below its listen backlog.
constexpr std::size_t kBatch = 64;

// One raw connection: its descriptor and what it read of a line not yet ended.
struct Peer {
    int fd = -1;
    std::string pending;
};

// The subscribers and the setter on raw loopback connections, read by one epoll set on
// the bench thread.
class Subscribers {
public:
    Subscribers(unsigned short port, int& value, int count, int formats)
        : _value(value), _epoll(::epoll_create1(EPOLL_CLOEXEC)) {
        _peers.resize(static_cast<std::size_t>(count) + 1);
        const std::string line = std::string("subscribe ") + subscribeBody(formats) + "\n";
        // In batches, each answered before the next connects: the device's queue of
        // connections not yet accepted is short, and a connection past it waits a second
        // for the kernel to try again.
        for (std::size_t first = 0; first < _peers.size(); first += kBatch) {
            const std::size_t end = std::min(first + kBatch, static_cast<std::size_t>(count));
            for (std::size_t index = first; index < std::min(first + kBatch, _peers.size()); ++index) {
                if (!open(port, index)) {
                    failure = std::string("connection failed: ") + std::strerror(errno);
                    return;
                }
            }
            for (std::size_t index = first; index < end; ++index) {
                send(_peers[index], line);
            }
            std::size_t answered = first;
            const bool done = end <= first || pump(std::chrono::seconds(10), [&](std::size_t, const std::string& text) {
                if (text.rfind("@subscribe", 0) == 0 && text.find("error") == std::string::npos) {
                    ++answered;
                }
                return answered == end;
            });
            if (!done) {
                failure = "the subscribers were not all answered";
                return;
            }
        }
    }

    ~Subscribers() {
        for (const auto& peer : _peers) {
            if (peer.fd >= 0) {
                ::close(peer.fd);
            }
        }
        if (_epoll >= 0) {
            ::close(_epoll);
        }
    }

    Subscribers(const Subscribers&) = delete;
    Subscribers& operator=(const Subscribers&) = delete;

    // One "set" of the value, answered, and its publish read by every subscriber. With
    // `formats`, each publish must carry the value written that many times.
    bool Change(int formats = 0) {
        const std::size_t setter = _peers.size() - 1;
        const std::string value = std::to_string(nextValue(_value));
        send(_peers[setter], std::string(R"(set {"path":"/audio/gain","value":)") + value + "}\n");
        const std::string written = R"("value":)" + value + "}";
        const std::size_t subscribers = setter;
        std::size_t published = 0;
        bool answered = false;
        bool whole = true;
        const bool done = pump(std::chrono::seconds(5), [&](std::size_t index, const std::string& text) {
            if (index == setter) {
                answered = answered || text.rfind("@set", 0) == 0;
            } else if (text.rfind("publish ", 0) == 0) {
                ++published;
                whole = whole && (formats == 0 || count(text, written) == formats);
            }
            return answered && published == subscribers;
        });
        return done && whole;
    }

    std::string failure;

private:
    static int count(const std::string& text, const std::string& part) {
        int found = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
            ++found;
        }
        return found;
    }

    bool open(unsigned short port, std::size_t index) {
        Peer& peer = _peers[index];
        peer.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (peer.fd < 0) {
            return false;
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(peer.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            return false;
        }
        const int on = 1;
        ::setsockopt(peer.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::fcntl(peer.fd, F_SETFL, ::fcntl(peer.fd, F_GETFL) | O_NONBLOCK);
        epoll_event watch{};
        watch.events = EPOLLIN;
        watch.data.u64 = index;
        return ::epoll_ctl(_epoll, EPOLL_CTL_ADD, peer.fd, &watch) == 0;
    }

    // Short lines into a socket buffer that is nearly empty: written whole or not at all.
    static void send(Peer& peer, const std::string& line) {
        const ssize_t written = ::send(peer.fd, line.data(), line.size(), MSG_NOSIGNAL);
        if (written != static_cast<ssize_t>(line.size())) {
            std::fprintf(stderr, "a line was not written whole\n");
        }
    }

    // Reads every peer's lines until `seen` (given the peer and each line) says done;
    // requests of the device are answered, as a subscriber answers a publish. False at the
    // deadline or when a connection ended.
    template <class Seen>
    bool pump(std::chrono::milliseconds deadline, Seen seen) {
        const auto until = Clock::now() + deadline;
        epoll_event ready[256];
        char chunk[16384];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) {
                return false;
            }
            const int events = ::epoll_wait(_epoll, ready, 256, static_cast<int>(left));
            if (events < 0 && errno != EINTR) {
                return false;
            }
            bool done = false;
            for (int at = 0; at < events; ++at) {
                const std::size_t index = ready[at].data.u64;
                Peer& peer = _peers[index];
                for (;;) {
                    const ssize_t got = ::recv(peer.fd, chunk, sizeof chunk, 0);
                    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                        return false;
                    }
                    if (got < 0) {
                        break;
                    }
                    peer.pending.append(chunk, static_cast<std::size_t>(got));
                    // What came later is reported again: no call only to learn there is none.
                    if (static_cast<std::size_t>(got) < sizeof chunk) {
                        break;
                    }
                }
                std::size_t start = 0;
                for (auto end = peer.pending.find('\n'); end != std::string::npos;
                     end = peer.pending.find('\n', start)) {
                    const std::string text = peer.pending.substr(start, end - start);
                    start = end + 1;
                    if (!text.empty() && text.front() != '@') {
                        send(peer, "@" + text.substr(0, text.find(' ')) + "\n");
                    }
                    done = seen(index, text) || done;
                }
                peer.pending.erase(0, start);
            }
            if (done) {
                return true;
            }
        }
    }

    int& _value;
    int _epoll;
    std::vector<Peer> _peers;
};

void publishEndToEnd(benchmark::State& state, int subscribers, int formats) {
    if (!theNode) {
        theNode = std::make_unique<DeviceNode>();
    }
    if (!theNode->failure.empty()) {
        state.SkipWithError(theNode->failure.c_str());
        return;
    }
    Subscribers peers(theNode->port, theNode->value, subscribers, formats);
    if (!peers.failure.empty()) {
        state.SkipWithError(peers.failure.c_str());
        return;
    }
    if (!peers.Change(formats)) {
        state.SkipWithError("the first change was not published to every subscriber in every format");
        return;
    }
    for (auto _ : state) {
        if (!peers.Change()) {
            state.SkipWithError("a change was not published to every subscriber within 5 s");
            break;
        }
    }
    if (!state.error_occurred()) {
        countLines(state, static_cast<std::int64_t>(state.iterations()) * subscribers, subscribers);
    }
}

// Medians of a few runs: the machine's other work moves single figures.
constexpr int kRepetitions = 5;

// Every case with a fixed count of changes, fewer as the subscribers grow: each
// repetition sets up its subscribers once, runs the same count (which the repetitions in
// random order need) and lasts some tens of milliseconds, an end-to-end one about half a
// second.
void registerCases() {
    const auto add = [](const std::string& name, auto run, std::int64_t changes) {
        return benchmark::RegisterBenchmark(name.c_str(), run)
            ->Iterations(changes)
            ->Repetitions(kRepetitions)
            ->ReportAggregatesOnly(true);
    };
    const std::vector<int> counts{1, 10, 100, kMaxSubscribers};
    const auto valueCase = [](const char* family, int subscribers, int formats) {
        return std::string(family) + "/subscribers:" + std::to_string(subscribers) +
               "/formats:" + std::to_string(formats);
    };
    for (int formats : {1, 2}) {
        for (int subscribers : counts) {
            add(valueCase("BM_PublishInProcess", subscribers, formats),
                [subscribers, formats](benchmark::State& state) { publishInProcess(state, subscribers, formats); },
                std::max(10, 10000 / (subscribers * formats)));
        }
    }
    for (int subscribers : counts) {
        add("BM_RaiseEventInProcess/subscribers:" + std::to_string(subscribers),
            [subscribers](benchmark::State& state) { raiseEventInProcess(state, subscribers); },
            std::max(20, 20000 / subscribers));
    }
    for (int formats : {1, 2}) {
        for (int subscribers : counts) {
            add(valueCase("BM_PublishEndToEnd", subscribers, formats),
                [subscribers, formats](benchmark::State& state) { publishEndToEnd(state, subscribers, formats); },
                std::max(20, 4000 / subscribers))
                ->UseRealTime();
        }
    }
}

// The console's report, with each case's per-line cost kept for the closing comparison.
class LineCostReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& reports) override {
        for (const auto& run : reports) {
            const auto line = run.counters.find("per_line");
            if (run.error_occurred || line == run.counters.end()) {
                continue;
            }
            const bool plain = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (plain || median) {
                const std::string name = run.run_name.function_name + "/" + run.run_name.args;
                _costs[without(name, "subscribers")][static_cast<int>(run.counters.at("subscribers").value)] =
                    line->second.value;
            }
        }
        ConsoleReporter::ReportRuns(reports);
    }

    // Per family, the medians in order of subscribers (the time per change is the time
    // per line times the subscribers), then the per-line cost at 1,000 beside that at 10.
    void PrintSummary() const {
        std::printf("\n%-36s %11s %14s %12s\n", "medians", "subscribers", "per change", "per line");
        for (const auto& [family, costs] : _costs) {
            for (const auto& [subscribers, line] : costs) {
                std::printf("%-36s %11d %11.1f us %9.2f us\n", family.c_str(), subscribers,
                            line * subscribers * 1e6, line * 1e6);
            }
        }
        for (const auto& [family, costs] : _costs) {
            const auto ten = costs.find(10);
            const auto thousand = costs.find(kMaxSubscribers);
            if (ten == costs.end() || thousand == costs.end()) {
                continue;
            }
            const double ratio = thousand->second / ten->second;
            std::printf("%s: per line %.2f us at 10, %.2f us at 1000 subscribers, ratio %.2f (aim 1.5: %s)\n",
                        family.c_str(), ten->second * 1e6, thousand->second * 1e6, ratio,
                        ratio <= 1.5 ? "met" : "missed");
        }
    }

private:
    // The case's name without the subscriber count and the run's settings: its family
    // ("BM_PublishInProcess/formats:2").
    static std::string without(const std::string& name, const std::string& argument) {
        std::string out;
        std::size_t start = 0;
        while (start < name.size()) {
            const std::size_t end = std::min(name.find('/', start), name.size());
            const std::string part = name.substr(start, end - start);
            const bool setting = part.rfind(argument + ":", 0) == 0 || part.rfind("min_time:", 0) == 0 ||
                                 part.rfind("iterations:", 0) == 0 || part.rfind("repeats:", 0) == 0 ||
                                 part == "real_time";
            if (!part.empty() && !setting) {
                out += (out.empty() ? "" : "/") + part;
            }
            start = end + 1;
        }
        return out;
    }

    // Family -> subscribers -> seconds per line.
    std::map<std::string, std::map<int, double>> _costs;
};

// The subscribers' descriptors and the node's (it inherits the limit) need more than the
// usual 1,024.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    ZelkorLog::TheLog().SetLevel(1);
    raiseDescriptorLimit();
    registerCases();
    // The repetitions of every case in random order: a spell of other work on the machine
    // then spreads over all cases instead of moving the figures of the few it meets. A
    // flag given on the command line comes later and wins.
    std::vector<char*> arguments(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + (argc > 0 ? 1 : 0), interleave);
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) {
        return 1;
    }
    // The storages and the node write their event logs into their working folders:
    // everything runs in a folder of its own, removed at the end.
    const auto start = std::filesystem::current_path();
    std::string scratch = (std::filesystem::temp_directory_path() / "zelkor-bench-XXXXXX").string();
    if (mkdtemp(scratch.data()) == nullptr) {
        return 1;
    }
    std::filesystem::current_path(scratch);
    LineCostReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    theNode.reset();
    reporter.PrintSummary();
    std::filesystem::current_path(start);
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    benchmark::Shutdown();
    return 0;
}
