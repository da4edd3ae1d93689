#pragma once
// The transfer service over a recording sender and a fake device directory, driven by the
// test: received lines go in through SignalRaised, the driver's write hooks are stood in
// for by Pump, and the loop (timer, worker results) runs under RunUntil.
//
// Threads: the test thread is the event loop.

#include <cstddef>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <gtest/gtest.h>
#include <json/value.h>

#include "core/JsonText.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "driver/CommandTable.h"
#include "filetransfer/FileTransferService.h"
#include "support/FakeServiceSender.h"
#include "support/FakeTransferDevices.h"
#include "support/RunUntil.h"
#include "support/TempDir.h"
#include "transport/TcpSocket.h"

namespace ZelkorTest {

// The JSON body of a line ("null" when it has none).
inline Json::Value BodyOf(const std::string& line) {
    Json::Value body;
    const auto brace = line.find('{');
    if (brace != std::string::npos) {
        Zelkor::ReadWholeJson(std::string_view(line).substr(brace), body);
    }
    return body;
}

// Descriptors of this process open on files under `folder` (an unnamed temporary shows
// as "folder/#inode (deleted)").
inline int OpenFilesUnder(const std::filesystem::path& folder) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (!error && target.string().rfind(folder.string() + "/", 0) == 0) {
            ++count;
        }
    }
    return count;
}

// Holds the service's digest worker with a job of its own: the blocks digested meanwhile
// wait behind it, and Lose stops the worker with them still waiting, so that their
// transfers' digests are lost. The job ends, at the latest, with this object.
class HeldDigestWorker {
public:
    explicit HeldDigestWorker(Zelkor::FileTransferService& service) : _service(service) {
        auto running = std::make_shared<std::promise<void>>();
        auto started = running->get_future();
        _held = _service.PostDigestJob([running, released = _release.get_future().share()] {
            running->set_value();
            released.wait();
        });
        if (_held) {
            started.wait();
        }
    }
    ~HeldDigestWorker() { release(); }
    HeldDigestWorker(const HeldDigestWorker&) = delete;
    HeldDigestWorker& operator=(const HeldDigestWorker&) = delete;

    bool Held() const { return _held; }
    void Lose() {
        _service.StopDigestWorker();
        release();
    }

private:
    void release() {
        if (!_released) {
            _released = true;
            _release.set_value();
        }
    }

    Zelkor::FileTransferService& _service;
    std::promise<void> _release;
    bool _held = false;
    bool _released = false;
};

class TransferServiceFixture : public ::testing::Test {
protected:
    TransferServiceFixture() {
        service = std::make_shared<Zelkor::FileTransferService>(&sender, &devices, nullptr, io);
    }
    ~TransferServiceFixture() override {
        // A loop that no longer runs is stopped at once, rather than waited for.
        io.stop();
        if (service) {
            service->Stop();
        }
    }

    // A connection of its own for each peer; never connected, only its identity counts.
    std::shared_ptr<Zelkor::TcpSocket> NewSocket() {
        auto socket = std::make_shared<Zelkor::TcpSocket>(io, tls, false);
        sockets[socket.get()] = socket;
        return socket;
    }

    // A received line (routing header included, "\n" optional) on `socket`, as the receive
    // road hands it over. `deviceName` is this node's name in routed headers.
    void Receive(const std::shared_ptr<Zelkor::TcpSocket>& socket, const std::string& line,
                 const std::string& deviceName = "dev") {
        Zelkor::MessageForwardInfo header;
        header.SetDeviceName(deviceName);
        const std::string rest = header.PullHeader(line);
        ASSERT_FALSE(rest.empty()) << line;
        auto message = Zelkor::LookupCommand(header.GetCommand())();
        ASSERT_TRUE(message) << line;
        std::string error;
        ASSERT_TRUE(message->FromNetworkFormat(!header.isReply, rest, error)) << error << ": " << line;
        message->SetIsReply(header.isReply);
        message->SetMessageForwardInfo(header);
        Zelkor::MessageSignalData data(socket.get(), socket, true, std::move(message));
        service->SignalRaised(data);
    }

    // Tells the service of every line written since the last call, as the driver does
    // after a "block" request or an "@block" reply went out. Returns the lines.
    std::vector<FakeServiceSender::Line> Pump() {
        std::vector<FakeServiceSender::Line> fresh;
        const auto lines = sender.Lines();
        for (; pumped < lines.size(); ++pumped) {
            const auto& line = lines[pumped];
            fresh.push_back(line);
            const auto socket = sockets.find(line.handle);
            if (socket == sockets.end()) {
                continue;
            }
            Zelkor::MessageForwardInfo header;
            header.Parse(line.text, false);
            if (header.CommandText() == "block") {
                Zelkor::MessageForwardInfo own;
                service->PrepareBlock(socket->second, own);
            }
        }
        return fresh;
    }

    // Runs the loop until `done` or the deadline.
    bool Until(const std::function<bool()>& done, std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
        return RunUntil(io, done, deadline);
    }

    // The lines sent on one connection, in order.
    std::vector<std::string> LinesOn(const std::shared_ptr<Zelkor::TcpSocket>& socket) const {
        std::vector<std::string> out;
        for (const auto& line : sender.Lines()) {
            if (line.handle == socket.get()) {
                out.push_back(line.text);
            }
        }
        return out;
    }

    boost::asio::io_context io;
    boost::asio::ssl::context tls{boost::asio::ssl::context::tls};
    FakeServiceSender sender;
    FakeTransferDevices devices;
    TempDir dir;
    std::map<void*, std::shared_ptr<Zelkor::TcpSocket>> sockets;
    std::size_t pumped = 0;
    std::shared_ptr<Zelkor::FileTransferService> service;
};

}  // namespace ZelkorTest
