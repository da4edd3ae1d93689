// A device's file-system words and "fwupdate" driven by arbitrary bytes: each step is a
// request or a reply of one of the six words, read by the word's message reader and
// handed to the transfer service as the receive road would, on one accepted connection,
// with a working folder of the target's own as the process's working folder.
//
// Input: "\n"-separated steps. A step's first byte picks the word (modulo 6) and whether
// it is a reply (bit 3); the rest is the JSON body. A request whose path is absolute or
// holds ".." is not handed over: the driver keeps the work inside the working folder.
//
// Held: every request handed over gets exactly one reply, every reply none; each reply is
// one line on the connection; nothing outside the working folder changes (a sentinel
// beside it stays as it was).

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <json/value.h>

#include "FuzzSupport.h"
#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "driver/CommandTable.h"
#include "driver/IServiceSender.h"
#include "filetransfer/FileSystemPaths.h"
#include "filetransfer/FileTransferService.h"
#include "support/FirmwareHost.h"
#include "transport/TcpSocket.h"

namespace {

namespace sfs = std::filesystem;

const char* const kWords[] = {"deletefile", "listfiles", "freespace", "mkdir", "rmdir", "fwupdate"};

class Sender final : public Zelkor::IServiceSender {
public:
    void BuildAndSendMessage(void* handle, Zelkor::Message& message, bool request) override {
        record(handle, message.Build(request));
    }
    void BuildAndSendMessageDelayed(void* handle, Zelkor::Message& message, bool request) override {
        record(handle, message.Build(request));
    }
    void BuildAndSendUnicastMessage(void* handle, Zelkor::Message& message, bool request) override {
        record(handle, message.Build(request));
    }
    void SendRequest(void* handle, std::string line, SendResult done) override {
        record(handle, line);
        if (done) {
            done(true);
        }
    }
    void SendReply(void* handle, const std::string& line, const std::string&, const std::string&) override {
        record(handle, line);
    }
    void UpdateDiscoReplyValue(const std::string&, const std::string&) override {}
    Zelkor::Signal<Zelkor::ConnectionResult>& ConnectionResults() override { return _results; }
    QueuedOutput QueuedOutputOf(void*) override { return {}; }
    unsigned long GetTlsLevel() override { return 0; }
    bool ParentPathsAllowed() override { return false; }

    std::size_t Count() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _count;
    }

private:
    void record(void* handle, const std::string& line) {
        std::lock_guard<std::mutex> lock(_mutex);
        if (handle != expected || line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) {
            std::abort();
        }
        ++_count;
    }

public:
    void* expected = nullptr;

private:
    Zelkor::Signal<Zelkor::ConnectionResult> _results;
    mutable std::mutex _mutex;
    std::size_t _count = 0;
};

sfs::path gWork;
sfs::path gSentinel;
const std::string kSentinelText = "outside";

// A path the driver keeps inside the working folder: relative, never climbing.
bool Contained(const Zelkor::Message& message) {
    Json::Value value;
    message.GetJsonParameter(value, Zelkor::Param::path);
    if (!value.isString()) {
        return true;
    }
    const std::string path = value.asString();
    if (path.empty()) {
        return true;
    }
    // Not the working folder itself either ("." and its kin): its removal would take the
    // ground from under the next input.
    return path[0] != '/' && path.find("..") == std::string::npos && Zelkor::NormalPath(path) != Zelkor::NormalPath("");
}

void Lay() {
    std::error_code ignored;
    sfs::create_directories(gWork, ignored);
    for (const auto& entry : sfs::directory_iterator(gWork, ignored)) {
        sfs::remove_all(entry.path(), ignored);
    }
    sfs::create_directories(gWork / "d" / "e", ignored);
    std::ofstream(gWork / "d" / "f") << "abc";
    std::ofstream(gWork / "g") << "";
    sfs::create_directory_symlink("d", gWork / "l", ignored);
    ::mkfifo((gWork / "p").c_str(), 0600);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    ZelkorFuzz::TurnEntropicOff(argc, argv);
    std::string pattern = (sfs::temp_directory_path() / "zelkor-fs-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    static sfs::path top = pattern;
    gWork = top / "work";
    gSentinel = top / "sentinel";
    sfs::create_directories(gWork);
    std::ofstream(gSentinel) << kSentinelText;
    std::atexit([] {
        std::error_code ignored;
        sfs::remove_all(top, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Lay();
    const auto start = sfs::current_path();
    sfs::current_path(gWork);
    boost::asio::io_context io;
    boost::asio::ssl::context tls{boost::asio::ssl::context::tls};
    Sender sender;
    // The host's answer by the arguments' length: taken, refused with them, or a throw.
    ZelkorTest::FirmwareHost host([](std::string& error, const std::string& arguments) {
        if (arguments.size() % 3 == 1) {
            throw std::runtime_error(arguments);
        }
        error = arguments;
        return arguments.size() % 3 == 0;
    });
    auto socket = std::make_shared<Zelkor::TcpSocket>(io, tls, false);
    sender.expected = socket.get();
    std::size_t requests = 0;
    {
        auto service = std::make_shared<Zelkor::FileTransferService>(&sender, nullptr, &host, io);
        const std::string input(reinterpret_cast<const char*>(data), size);
        ZelkorFuzz::ForEachLine(input, [&](const std::string& step) {
            const auto pick = static_cast<unsigned char>(step[0]);
            const std::string word = kWords[pick % 6];
            const bool reply = (pick & 8) != 0;
            auto message = Zelkor::LookupCommand(word)();
            std::string error;
            if (!message || !message->FromNetworkFormat(!reply, step.substr(1), error)) {
                return;
            }
            if (!reply && !Contained(*message)) {
                return;
            }
            message->SetIsReply(reply);
            Zelkor::MessageSignalData signal(socket.get(), socket, true, std::move(message));
            service->SignalRaised(signal);
            requests += reply ? 0 : 1;
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (sender.Count() < requests && std::chrono::steady_clock::now() < deadline) {
            io.run_for(std::chrono::milliseconds(1));
            io.restart();
        }
        if (sender.Count() != requests) {
            std::abort();
        }
    }
    sfs::current_path(start);
    std::string text;
    std::getline(std::ifstream(gSentinel), text);
    if (text != kSentinelText || !sfs::exists(gWork)) {
        std::abort();
    }
    return 0;
}
