// The file transfer service of node "N" driven by arbitrary bytes from two peer
// connections, without a network: its storage root a folder of its own, filled the same
// way before every input (files, an empty one, a hidden one, a subfolder, symbolic links
// to a file and to a folder outside the root), its devices a fake directory (device "A"
// reached directly on connection 1, "B" behind router "rtr" on connection 2, "D" known
// without a connection), its lines recorded by a sender of this file. Received lines go in as the
// driver's receive road hands them over; the driver's write hook (PrepareBlock after a
// "block" request) follows each step unless the step holds it back, so that a peer may
// also run ahead of the writes.
//
// Input: "\n"-separated steps. A step's first byte picks the connection (bit 0), the
// routing header put in front of what the peer sends (bits 1-3: none, from peer "p", from
// "q", from device "B" through the router, with a sender hash, from "p" through the
// router, misrouted, passing through) and whether the writes are held back (bit 4); its
// second byte, modulo the number of operations, picks the operation; the rest is the body.
// Operations, in order: a line (the body: a word and its JSON, "@" for a reply); a block
// request (the body's first byte its number, the rest its data, encoded); the answer to
// the oldest request the service sent on the connection, as a peer would give it (the
// body's first byte picks: as it should be, an error, wrong count and digest, bare, a
// smaller block size, none at all; a "getfile" opening is served with the rest of the
// body, blocks and end included); a put and a get queued (the body's bytes pick the local
// file, the devices and the block size, the rest is the remote path); a tick of the
// queue's timer; a tick after every target's reply time-out; the connection lost;
// "cancelput" to A or B of the body's remote path; the block size and transfer count; the
// worker's results awaited; Refresh; the put source shortened; the held writes done.
// Only the first few steps that sleep (a wait for the worker, a time-out) do so, to keep
// an input quick.
//
// Held throughout: every line sent is one line on one of the two connections; a
// transfer's `done` comes at most once per device, and after Refresh every call so far
// heard once per device. After the input, Stop: nothing active, no connection marked
// transferring, no `done` more; then, the service gone: no descriptor more open than
// before, nothing outside the root changed, and in the root every entry as it was unless
// it is a regular file a peer's put or a queued get named, of a length announced for it
// (which leaves no room for a temporary, hidden or not, nor for a file cut short).
//
// ZELKOR_FUZZ_TRACE set in the environment prints every line in and out.

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <json/value.h>

#include "FuzzSupport.h"
#include "core/Base64.h"
#include "core/Digest.h"
#include "core/JsonText.h"
#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "core/ZelkorLog.h"
#include "driver/CommandTable.h"
#include "driver/IServiceSender.h"
#include "filetransfer/BlockLine.h"
#include "filetransfer/BlockSize.h"
#include "filetransfer/FileTransferService.h"
#include "support/FakeTransferDevices.h"
#include "transport/TcpSocket.h"

namespace {

namespace fs = std::filesystem;

const char* const kNode = "N";
// The scratch folder's name: the prefix, the process id, a unique tail.
const char* const kFolderPrefix = "zelkor-fuzz-transfer-";
constexpr std::size_t kConnections = 2;
// Steps that sleep (a settle, a time-out) per input; later ones do nothing.
constexpr int kWaits = 4;

bool tracing() {
    static const bool on = std::getenv("ZELKOR_FUZZ_TRACE") != nullptr;
    return on;
}

void require(bool condition, const std::string& what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_transfer_service: %s\n", what.c_str());
        std::abort();
    }
}

std::string md5Of(const std::string& bytes) {
    MD5Digest digest;
    digest.Update(bytes);
    return digest.GetDigest();
}

// `size` bytes that differ from one `seed` to another.
std::string pattern(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t at = 0; at < size; ++at) {
        bytes[at] = static_cast<char>((at * 131 + seed * 17 + 7) % 251);
    }
    return bytes;
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeAll(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// --- the folders -----------------------------------------------------------------------------

// What a folder entry is: its kind, mode, and content (a file's bytes, a link's target).
struct Entry {
    char kind = '?';  // 'f' file, 'd' folder, 'l' link, 'o' other
    unsigned mode = 0;
    std::string content;
    bool operator==(const Entry& other) const {
        return kind == other.kind && mode == other.mode && content == other.content;
    }
};
using Snapshot = std::map<std::string, Entry>;

Entry entryOf(const fs::path& path) {
    Entry entry;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return entry;
    }
    entry.mode = info.st_mode & 07777;
    if (S_ISREG(info.st_mode)) {
        entry.kind = 'f';
        entry.content = readAll(path);
    } else if (S_ISDIR(info.st_mode)) {
        entry.kind = 'd';
    } else if (S_ISLNK(info.st_mode)) {
        entry.kind = 'l';
        std::error_code error;
        entry.content = fs::read_symlink(path, error).string();
    } else {
        entry.kind = 'o';
    }
    return entry;
}

// Every entry below `base`, links not followed, `skip` and what it holds left out.
Snapshot snapshotOf(const fs::path& base, const fs::path& skip = fs::path()) {
    Snapshot snapshot;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(base, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        if (!skip.empty() && it->path() == skip) {
            it.disable_recursion_pending();
            continue;
        }
        snapshot[it->path().lexically_relative(base).string()] = entryOf(it->path());
    }
    return snapshot;
}

std::size_t openDescriptors() {
    std::size_t count = 0;
    if (DIR* folder = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(folder)) {
            count += entry->d_name[0] != '.';
        }
        ::closedir(folder);
    }
    return count;
}

// outer/root is the storage root; outer holds a file its link points to and a folder of
// its own, which no input may touch. On a memory file system where there is one: a
// received file is synced before it is installed.
struct Sandbox {
    fs::path outer;
    fs::path root;
    Snapshot outside;  // outer without the root
    Snapshot initial;  // the root as every input finds it

    void Make() {
        std::error_code error;
        fs::path base = fs::temp_directory_path();
        if (::access("/dev/shm", W_OK) == 0) {
            base = "/dev/shm";
        }
        removeLeftovers(base);
        std::string folder = (base / (kFolderPrefix + std::to_string(::getpid()) + "-XXXXXX")).string();
        require(::mkdtemp(folder.data()) != nullptr, "no scratch folder");
        outer = folder;
        root = outer / "root";
        writeAll(outer / "outside.txt", "outside the root");
        fs::create_directories(outer / "beside", error);
        writeAll(outer / "beside" / "file", "beside the root");
        FillRoot();
        outside = snapshotOf(outer, root);
        initial = snapshotOf(root);
    }

    void FillRoot() {
        std::error_code error;
        fs::remove_all(root, error);
        fs::create_directories(root / "sub", error);
        writeAll(root / "old.bin", pattern(1500, 1));
        writeAll(root / "src.bin", pattern(2000, 2));
        writeAll(root / "tiny", "x");
        writeAll(root / "empty", "");
        writeAll(root / ".hidden", "hidden");
        writeAll(root / "sub" / "inner.bin", pattern(100, 3));
        fs::create_symlink("../outside.txt", root / "link", error);
        fs::create_directory_symlink("../beside", root / "linkdir", error);
        for (const char* name : {"old.bin", "src.bin", "tiny", "empty", ".hidden", "sub/inner.bin"}) {
            fs::permissions(root / name, fs::perms(0644), error);
        }
    }

    // A crash leaves its process's folder behind: the folders of processes gone go.
    static void removeLeftovers(const fs::path& base) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(base, error)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(kFolderPrefix, 0) != 0) {
                continue;
            }
            const long pid = std::strtol(name.c_str() + std::strlen(kFolderPrefix), nullptr, 10);
            if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
                fs::remove_all(entry.path(), error);
            }
        }
    }

    // The path a name given for the root stands for, as the service forms it.
    std::string Under(const std::string& name) const {
        fs::path path = fs::path(root.string() + "/" + name).lexically_normal();
        if (!path.has_filename()) {
            path = path.parent_path();  // "a/" names "a"
        }
        return path.string();
    }
};

Sandbox& sandbox() {
    static Sandbox made;
    return made;
}

void removeSandbox() {
    std::error_code ignored;
    fs::remove_all(sandbox().outer, ignored);
}

// --- the sender --------------------------------------------------------------------------------

// Records every line on its connection; each must be one line for one of the two.
class Sender final : public Zelkor::IServiceSender {
public:
    struct Line {
        std::size_t connection;
        std::string text;
        bool request;
    };

    explicit Sender(std::vector<void*> handles) : _handles(std::move(handles)) {}

    void BuildAndSendMessage(void* handle, Zelkor::Message& message, bool request) override {
        take(handle, message.Build(request), request);
    }
    void BuildAndSendMessageDelayed(void* handle, Zelkor::Message& message, bool request) override {
        BuildAndSendMessage(handle, message, request);
    }
    void BuildAndSendUnicastMessage(void* handle, Zelkor::Message& message, bool request) override {
        BuildAndSendMessage(handle, message, request);
    }
    void SendRequest(void* handle, std::string line, SendResult done) override {
        take(handle, std::move(line), true);
        if (done) {
            done(true);
        }
    }
    void SendReply(void* handle, const std::string& line, const std::string&, const std::string&) override {
        take(handle, line, false);
    }
    void UpdateDiscoReplyValue(const std::string&, const std::string&) override {}
    Zelkor::Signal<Zelkor::ConnectionResult>& ConnectionResults() override { return _results; }
    QueuedOutput QueuedOutputOf(void*) override { return {}; }
    unsigned long GetTlsLevel() override { return 0; }
    bool ParentPathsAllowed() override { return false; }

    std::vector<Line> lines;

private:
    void take(void* handle, std::string text, bool request) {
        std::size_t connection = _handles.size();
        for (std::size_t at = 0; at < _handles.size(); ++at) {
            if (_handles[at] == handle) {
                connection = at / 2;
            }
        }
        require(connection < kConnections, "a line sent on no connection of the peers: " + text);
        require(!text.empty() && text.find('\n') == text.size() - 1, "a line sent is not one line: " + text);
        if (tracing()) {
            std::fprintf(stderr, "out %zu: %s", connection + 1, text.c_str());
        }
        lines.push_back(Line{connection, std::move(text), request});
    }

    std::vector<void*> _handles;  // two per connection: as a TcpSocket and as its Socket base
    Zelkor::Signal<Zelkor::ConnectionResult> _results;
};

// --- one input -----------------------------------------------------------------------------------

enum Operation : std::uint8_t {
    kLine,
    kBlock,
    kAnswer,
    kQueuePut,
    kQueueGet,
    kTick,
    kTimeout,
    kInterrupt,
    kCancel,
    kSettings,
    kSettle,
    kRefresh,
    kShrink,
    kPump,
    kOperations
};

struct Step {
    std::size_t connection = 0;
    std::string prefix;
    bool hold = false;
    Operation operation = kLine;
    std::string body;
};

Step stepOf(const std::string& text) {
    static const char* const prefixes[] = {"",           "[N][p] ",          "[N][q] ",  "[N][rtr&B] ",
                                           "7-abcd [N][p] ", "[N][rtr&p] ", "[M][p] ", "[rtr&N][p] "};
    const auto select = static_cast<std::uint8_t>(text[0]);
    Step step;
    step.connection = select & 1;
    step.prefix = prefixes[(select >> 1) & 7];
    step.hold = (select & 0x10) != 0;
    step.operation = static_cast<Operation>(text.size() > 1 ? static_cast<std::uint8_t>(text[1]) % kOperations : 0);
    step.body = text.size() > 2 ? text.substr(2) : std::string();
    return step;
}

std::uint8_t byteAt(const std::string& body, std::size_t at) {
    return at < body.size() ? static_cast<std::uint8_t>(body[at]) : 0;
}

std::string quoted(const std::string& text) {
    Json::Value value(text);
    return Zelkor::WriteCompactJson(value);
}

std::string blockLine(std::uint64_t number, const std::string& bytes) {
    std::string text;
    Base64::Encode(bytes, text);
    return "block {\"blockno\":" + std::to_string(number) + ",\"data\":\"" + text + "\"}";
}

// One transfer call: how many devices it names (each hears once), how many have.
struct Call {
    std::size_t devices = 0;
    std::size_t heard = 0;
};

// Made once, before the first input counts the descriptors.
boost::asio::ssl::context& tls() {
    static boost::asio::ssl::context context(boost::asio::ssl::context::tls);
    return context;
}

class Run {
public:
    Run()
        : _sockets{std::make_shared<Zelkor::TcpSocket>(_io, tls(), false),
                   std::make_shared<Zelkor::TcpSocket>(_io, tls(), false)},
          _sender({_sockets[0].get(), static_cast<Zelkor::Socket*>(_sockets[0].get()), _sockets[1].get(),
                   static_cast<Zelkor::Socket*>(_sockets[1].get())}) {
        _devices.Add("A", _sockets[0]);
        _devices.Add("B", _sockets[1], "rtr&B", kNode);
        _devices.Add("D", nullptr);
        _service = std::make_shared<Zelkor::FileTransferService>(&_sender, &_devices, nullptr, _io);
        _service->SetStorageRootPath(sandbox().root.string());
        _expected = sandbox().initial;
    }

    ~Run() {
        // The service holds the sender and the directory by plain pointers.
        _service.reset();
        drain();
    }

    void Do(const Step& step) {
        switch (step.operation) {
            case kLine:
                deliver(step.connection, step.prefix + step.body);
                break;
            case kBlock:
                deliver(step.connection, step.prefix + blockLine(byteAt(step.body, 0),
                                                                  step.body.size() > 1 ? step.body.substr(1) : ""));
                break;
            case kAnswer:
                answer(step.connection, step.body);
                break;
            case kQueuePut:
                queue(step.body, true);
                break;
            case kQueueGet:
                queue(step.body, false);
                break;
            case kTick:
                onLoop([this] { _service->TickNow(); });
                break;
            case kTimeout:
                if (!mayWait()) {
                    break;
                }
                // Every target's last line lies further back than its time-out.
                _devices.replyTimeoutMs = 1;
                std::this_thread::sleep_for(std::chrono::microseconds(1500));
                onLoop([this] { _service->TickNow(); });
                _devices.replyTimeoutMs = 0;
                break;
            case kInterrupt:
                _service->NotifyInterruption(static_cast<Zelkor::Socket*>(_sockets[step.connection].get()));
                break;
            case kCancel:
                _service->CancelPutFile(step.connection == 0 ? "A" : "B", step.body);
                break;
            case kSettings: {
                static const unsigned long sizes[] = {512, 600, 1001, 4096, 65536};
                _service->SetBlockSize(sizes[byteAt(step.body, 0) % 5]);
                _service->SetFileTransferCount(1 + byteAt(step.body, 1) % 3);
                break;
            }
            case kSettle:
                settle();
                break;
            case kRefresh:
                refresh();
                break;
            case kShrink:
                shrink(byteAt(step.body, 0));
                break;
            case kPump:
            case kOperations:
                break;
        }
        drain();
        collect();
        if (!step.hold || step.operation == kPump) {
            pump();
        }
    }

    // Stop, then the service gone and its worker with it: what may be left is checked.
    void Finish() {
        onLoop([this] { _service->Stop(); });
        require(_service->ActiveCount() == 0, "a transfer active after Stop");
        for (const auto& socket : _sockets) {
            require(!socket->Transferring(), "a connection marked transferring after Stop");
        }
        const std::size_t heard = heardSoFar();
        _service.reset();
        drain();
        require(heardSoFar() == heard, "a done after Stop");
        checkRoot();
    }

private:

    // Runs what the loop holds, as often as it gives more.
    void drain() {
        for (int round = 0; round < 64; ++round) {
            _io.restart();
            if (_io.poll() == 0) {
                return;
            }
        }
    }

    void onLoop(std::function<void()> job) {
        boost::asio::post(_io, std::move(job));
        drain();
    }

    // The worker's results: the loop run until it stays idle for a while.
    void settle() {
        if (!mayWait()) {
            return;
        }
        for (int idle = 0, round = 0; idle < 3 && round < 100; ++round) {
            _io.restart();
            if (_io.poll() > 0) {
                idle = 0;
            } else {
                ++idle;
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        }
    }

    // The steps that wait are few per input, so that an input stays quick.
    bool mayWait() { return _waits++ < kWaits; }

    // A received line as the receive road hands it on: the header parsed, a line for
    // another node or passing through dropped, the body read into the word's class.
    void deliver(std::size_t connection, const std::string& line) {
        if (tracing()) {
            std::fprintf(stderr, "in %zu: %s\n", connection + 1, line.c_str());
        }
        Zelkor::MessageForwardInfo header;
        header.SetDeviceName(kNode);
        const std::string rest = header.PullHeader(line);
        if (rest.empty()) {
            return;
        }
        const auto& targets = header.TargetList();
        if (!targets.empty() && !targets.front().empty() && targets.front() != kNode) {
            return;
        }
        std::string next;
        if (header.TransitionTargetToSource(next)) {
            return;
        }
        const Zelkor::MessageFactoryFunction create = Zelkor::LookupCommand(header.GetCommand());
        if (!create) {
            return;
        }
        std::unique_ptr<Zelkor::Message> message = create();
        // The transfer words only: the file-system words act on paths as given, absolute
        // ones too (their own target keeps them inside a working folder).
        if (!message || !Zelkor::FileTransferService::IsTransferWord(message->CommandName())) {
            return;
        }
        const bool reply = header.isReply;
        std::string error;
        if (!message->FromReceived(!reply, rest, header, error)) {
            return;
        }
        message->SetMessageForwardInfo(std::move(header));
        message->SetIsReply(reply);
        message->SetRawTextFromHeader();
        noteAnnounced(*message, reply);
        const auto& socket = _sockets[connection];
        Zelkor::MessageSignalData data(static_cast<Zelkor::Socket*>(socket.get()), socket, true, std::move(message));
        _service->SignalRaised(data);
    }

    // The lengths a put's opening or a get's answer announce: a file they install has one.
    void noteAnnounced(const Zelkor::Message& message, bool reply) {
        const char* length = message.GetParameter(Zelkor::Param::length);
        std::uint64_t value = 0;
        if (!length || !Zelkor::ReadUnsigned(length, value)) {
            return;
        }
        const std::string word = message.CommandName();
        if (word == "getfile" && reply) {
            _getLengths.insert(value);
        }
        const char* path = message.GetParameter(Zelkor::Param::path);
        if (word == "putfile" && !reply && path) {
            _allowed[sandbox().Under(path)].insert(value);
        }
    }

    // The lines sent since the last call: each request waits for the peer's answer.
    void collect() {
        for (; _collected < _sender.lines.size(); ++_collected) {
            const auto& line = _sender.lines[_collected];
            if (line.request) {
                _pending[line.connection].push_back(line.text);
            }
        }
    }

    // The driver's hooks for the lines written since the last call.
    void pump() {
        for (int round = 0; round < 1000 && _pumped < _sender.lines.size(); ++round) {
            const std::size_t end = _sender.lines.size();
            for (; _pumped < end; ++_pumped) {
                const Sender::Line line = _sender.lines[_pumped];
                Zelkor::MessageForwardInfo header;
                header.Parse(line.text, false);
                const auto& socket = _sockets[line.connection];
                if (header.CommandText() == "block") {
                    Zelkor::MessageForwardInfo own;
                    _service->PrepareBlock(socket, own);
                }
            }
            collect();
        }
    }

    // --- the peer's answers --------------------------------------------------------------------

    struct Peer {
        std::string received;  // a put's data since its opening, a served get's since its start
        std::string served;    // what it serves to a get
    };

    // The oldest request sent on the connection answered, with the request's route
    // turned back.
    void answer(std::size_t connection, const std::string& body) {
        auto& pending = _pending[connection];
        if (pending.empty()) {
            return;
        }
        const std::string request = pending.front();
        pending.pop_front();
        const int variant = byteAt(body, 0) % 6;
        if (variant == 5) {
            return;  // never answered
        }
        Zelkor::MessageForwardInfo header;
        const std::string rest = header.PullHeader(request.substr(0, request.size() - 1));
        const std::string word = rest.substr(0, rest.find(' '));
        Json::Value json;
        if (rest.find('{') != std::string::npos) {
            Zelkor::ReadWholeJson(std::string_view(rest).substr(rest.find('{')), json);
        }
        if (!json.isObject()) {
            json = Json::Value(Json::objectValue);
        }
        std::string prefix;
        if (!header.TargetText().empty() || !header.SourceText().empty()) {
            prefix = "[" + header.SourceText() + "][" + header.TargetText() + "] ";
        }
        Peer& peer = _peers[std::to_string(connection) + prefix];
        const auto send = [&](const std::string& line) { deliver(connection, prefix + line); };
        const std::string state = json["state"].isString() ? json["state"].asString() : "";
        const std::string error = json["error"].isString() ? json["error"].asString() : "";
        if (word == "putfile") {
            answerPut(peer, send, state, error, json, variant, body);
        } else if (word == "getfile") {
            answerGet(peer, send, state, error, json, variant, body);
        } else if (word == "block") {
            answerBlock(peer, send, error, json, variant);
        }
    }

    template <class Send>
    void answerPut(Peer& peer, const Send& send, const std::string& state, const std::string& error,
                   const Json::Value& json, int variant, const std::string& body) {
        if (state == "begin") {
            peer.received.clear();
            if (variant == 1) {
                send(R"(@putfile {"error":"cannot open file","state":"begin"})");
            } else if (variant == 3) {
                send("@putfile {}");
            } else {
                std::string size;
                if (variant == 4) {
                    size = std::to_string(512 + 4 * byteAt(body, 1));
                } else if (json["blocksize"].isUInt64()) {
                    size = std::to_string(json["blocksize"].asUInt64());
                }
                send(R"(@putfile {)" + (size.empty() ? "" : R"("blocksize":)" + size + ",") + R"("state":"begin"})");
            }
            return;
        }
        if (!error.empty()) {
            send(R"(@putfile {"error":)" + quoted(error) + R"(,"state":"end"})");
        } else if (variant == 1) {
            send(R"(@putfile {"error":"checksum mismatch","state":"end"})");
        } else if (variant == 2) {
            send(R"(@putfile {"checksum":")" + md5Of(peer.received + "x") + R"(","length":)" +
                 std::to_string(peer.received.size() + 1) + R"(,"state":"end"})");
        } else if (variant == 3) {
            send(R"(@putfile {"state":"end"})");
        } else {
            send(R"(@putfile {"checksum":")" + md5Of(peer.received) + R"(","length":)" +
                 std::to_string(peer.received.size()) + R"(,"state":"end"})");
        }
        peer.received.clear();
    }

    // A get opened here, served: the opening answered and all of the data sent at once
    // (the service answers each block); its close answered with the digest served.
    template <class Send>
    void answerGet(Peer& peer, const Send& send, const std::string& state,
                   const std::string& error, const Json::Value& json, int variant, const std::string& body) {
        if (state != "begin") {
            if (!error.empty()) {
                send(R"(@getfile {"error":)" + quoted(error) + R"(,"state":"end"})");
            } else if (variant == 2) {
                send(R"(@getfile {"checksum":")" + md5Of(peer.served + "x") + R"(","length":)" +
                     std::to_string(peer.served.size()) + R"(,"state":"end"})");
            } else {
                send(R"(@getfile {"checksum":")" + md5Of(peer.served) + R"(","length":)" +
                     std::to_string(peer.served.size()) + R"(,"state":"end"})");
            }
            return;
        }
        if (variant == 1) {
            send(R"(@getfile {"error":"file missing","state":"end"})");
            return;
        }
        if (variant == 3) {
            send(R"(@getfile {"state":"begin"})");
            return;
        }
        peer.served = body.size() > 2 ? body.substr(2) : pattern(1000, 4);
        std::uint64_t size = json["blocksize"].isUInt64() ? json["blocksize"].asUInt64() : Zelkor::DefaultBlockSize;
        if (variant == 4) {
            size = std::min<std::uint64_t>(size, 512 + 4 * byteAt(body, 1));
        }
        size = std::max<std::uint64_t>(size, Zelkor::MinBlockSize) / 4 * 4;
        // One more byte announced than served: the count must not pass.
        const std::size_t announced = peer.served.size() + (variant == 2 ? 1 : 0);
        send(R"(@getfile {"blocksize":)" + std::to_string(size) + R"(,"length":)" + std::to_string(announced) +
             R"(,"state":"begin"})");
        const std::size_t chunk = static_cast<std::size_t>(Zelkor::ChunkSizeOf(size));
        std::uint64_t number = 1;
        for (std::size_t at = 0; at < peer.served.size(); at += chunk, ++number) {
            send(blockLine(number, peer.served.substr(at, chunk)));
            collect();
            pump();
        }
        send("block {}");
    }

    template <class Send>
    void answerBlock(Peer& peer, const Send& send, const std::string& error, const Json::Value& json, int variant) {
        if (!json.isMember("blockno")) {
            // The end of a get served here, or its failure: answered, then closed as the
            // peer closes it.
            send("@block {}");
            if (!error.empty()) {
                send(R"(getfile {"error":)" + quoted(error) + R"(,"state":"end"})");
            } else if (variant == 2) {
                send(R"(getfile {"checksum":")" + md5Of(peer.received) + R"(","length":)" +
                     std::to_string(peer.received.size() + 1) + R"(,"state":"end"})");
            } else {
                send(R"(getfile {"checksum":")" + md5Of(peer.received) + R"(","length":)" +
                     std::to_string(peer.received.size()) + R"(,"state":"end"})");
            }
            peer.received.clear();
            return;
        }
        const std::string number = Zelkor::WriteCompactJson(json["blockno"]);
        std::string data = json["data"].isString() ? json["data"].asString() : "";
        if (Zelkor::DecodeBase64InPlace(data)) {
            peer.received += data;
        }
        if (variant == 1) {
            send(R"(@block {"blockno":)" + number + R"(,"error":"invalid block"})");
        } else if (variant == 3) {
            send("@block {}");
        } else {
            send(R"(@block {"blockno":)" + number + "}");
        }
    }

    // --- the application's calls ------------------------------------------------------------------

    void queue(const std::string& body, bool put) {
        static const std::vector<std::vector<std::string>> deviceSets = {{"A"}, {"B"}, {"A", "B"}, {"C"}, {"D"},
                                                                         {"A", "A"}};
        static const unsigned long blockSizes[] = {0, 512, 600, 1001, 4096};
        const std::string root = sandbox().root.string();
        const std::vector<std::string> sources = {"src.bin", "tiny", "empty", "missing", "sub", "", "link",
                                                  root + "/sub/inner.bin"};
        const std::vector<std::string> destinations = {"got.bin", "old.bin", "link", "sub", "", ".hidden",
                                                       root + "/sub/new.bin", "tiny"};
        const auto& names = put ? sources : destinations;
        std::string local = names[byteAt(body, 0) % names.size()];
        std::vector<std::string> devices = deviceSets[byteAt(body, 1) % deviceSets.size()];
        const unsigned long blockSize = blockSizes[byteAt(body, 2) % 5];
        const std::string remote = body.size() > 3 ? body.substr(3) : std::string();
        if (!put && !local.empty()) {
            const std::string destination = sandbox().Under(local.front() == '/' ? local.substr(root.size() + 1) : local);
            _allowed[destination];
            _getDestinations.insert(destination);
        }
        const std::set<std::string> distinct(devices.begin(), devices.end());
        const std::size_t index = _calls.size();
        _calls.push_back(Call{distinct.size(), 0});
        auto done = [this, index](bool, const std::string&) {
            Call& call = _calls[index];
            ++call.heard;
            require(call.heard <= call.devices, "a transfer's done came twice for one device");
        };
        Zelkor::IFileTransferService::FilePairs files{{local, remote}};
        if (put) {
            _service->SendFiles(devices, files, blockSize, done);
        } else {
            _service->ReceiveFiles(devices, files, blockSize, done);
        }
    }

    // Every call so far hears once per device, the active and the waiting by Refresh; a
    // result the worker still owes comes within the bound.
    void refresh() {
        onLoop([this] { _service->Refresh(); });
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        for (;;) {
            drain();
            const auto missing = std::find_if(_calls.begin(), _calls.end(),
                                              [](const Call& call) { return call.heard != call.devices; });
            if (missing == _calls.end()) {
                return;
            }
            require(std::chrono::steady_clock::now() < until,
                    "after Refresh, call " + std::to_string(missing - _calls.begin()) + " heard " +
                        std::to_string(missing->heard) + " of " + std::to_string(missing->devices) + " dones");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::size_t heardSoFar() const {
        std::size_t heard = 0;
        for (const auto& call : _calls) {
            heard += call.heard;
        }
        return heard;
    }

    // The put source shortened while it may be sent: what it holds now is what the
    // root may hold.
    void shrink(std::uint8_t size) {
        const fs::path source = sandbox().root / "src.bin";
        std::error_code error;
        if (fs::is_regular_file(fs::symlink_status(source, error))) {
            fs::resize_file(source, std::min<std::uintmax_t>(size, fs::file_size(source, error)), error);
        }
        const Entry now = entryOf(source);
        if (now.kind == '?') {
            _expected.erase("src.bin");
        } else {
            _expected["src.bin"] = now;
        }
    }

    // Every entry as it was, or a whole file a transfer named; nothing gone.
    void checkRoot() const {
        const Snapshot now = snapshotOf(sandbox().root);
        for (const auto& [name, entry] : _expected) {
            require(now.count(name) != 0, "gone from the root: " + name);
        }
        for (const auto& [name, entry] : now) {
            const auto before = _expected.find(name);
            if (before != _expected.end() && before->second == entry) {
                continue;
            }
            const std::string path = sandbox().Under(name);
            const auto allowed = _allowed.find(path);
            require(allowed != _allowed.end(), "an entry no transfer named in the root: " + name);
            require(entry.kind == 'f', "not a file where a transfer wrote: " + name);
            const std::uint64_t size = entry.content.size();
            const bool announced = allowed->second.count(size) != 0 ||
                                   (_getDestinations.count(path) != 0 && _getLengths.count(size) != 0);
            require(announced, "a file of a length nobody announced: " + name + " (" + std::to_string(size) + ")");
        }
    }

    boost::asio::io_context _io;
    std::shared_ptr<Zelkor::TcpSocket> _sockets[kConnections];
    Sender _sender;
    ZelkorTest::FakeTransferDevices _devices;
    std::vector<Call> _calls;
    int _waits = 0;
    std::size_t _collected = 0;
    std::size_t _pumped = 0;
    std::deque<std::string> _pending[kConnections];
    std::map<std::string, Peer> _peers;
    Snapshot _expected;
    // Paths a transfer may write, each with the lengths announced for it.
    std::map<std::string, std::set<std::uint64_t>> _allowed;
    std::set<std::string> _getDestinations;
    std::set<std::uint64_t> _getLengths;
    // Declared last: gone first, while what it points to is still there.
    std::shared_ptr<Zelkor::FileTransferService> _service;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    ZelkorFuzz::TurnEntropicOff(argc, argv);
    // Refusals are logged; keep the formatting but not the console.
    ZelkorLog::TheLog().RegisterExternalLogger([](std::string&) {});
    sandbox().Make();
    std::atexit(removeSandbox);
    tls();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Sandbox& box = sandbox();
    box.FillRoot();
    const std::size_t descriptors = openDescriptors();
    const std::string input(reinterpret_cast<const char*>(data), size);
    {
        Run run;
        ZelkorFuzz::ForEachLine(input, [&run](const std::string& line) { run.Do(stepOf(line)); });
        run.Finish();
    }
    require(openDescriptors() == descriptors, "a descriptor left open");
    require(snapshotOf(box.outer, box.root) == box.outside, "something outside the root changed");
    return 0;
}
