// An application's handler may stop or refresh the service from inside any report, in
// the middle of a transfer, on either side: the service never reads a record the stop
// took away, every caller's `done` comes once at most (once exactly after a refresh), and
// no temporary stays behind.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <boost/asio/post.hpp>
#include <json/value.h>

#include "core/Base64.h"
#include "core/Digest.h"
#include "filetransfer/BlockLine.h"
#include "filetransfer/TransferServiceFixture.h"

namespace ZelkorTest {
namespace {

namespace fs = std::filesystem;

std::string Md5(const std::string& bytes) {
    MD5Digest digest;
    digest.Update(bytes);
    return digest.GetDigest();
}

std::string Pattern(std::size_t size, int seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 13 + static_cast<std::size_t>(seed)) % 251);
    }
    return bytes;
}

std::string BlockLine(std::uint64_t number, const std::string& bytes) {
    std::string text;
    Base64::Encode(bytes, text);
    return "block {\"blockno\":" + std::to_string(number) + ",\"data\":\"" + text + "\"}";
}

// Which side of which transfer this node is on: answering a peer's put or get, or
// opening one to two devices (put: one of them refuses; get: one serves a larger file).
enum class Scenario { AnsweredPut, AnsweredGet, OpenedPut, OpenedGet };
enum class Hook { Progress, Block, Put, Get, Done };
enum class Action { Stop, Refresh };

struct Row {
    const char* name;
    Scenario scenario;
    Hook hook;
    int at;  // the handler's call that acts (1: its first)
    Action action;
};

// A device as the service meets it: it takes a put, or serves `content` to a get one
// block per reply, the way a peer waits for each answer.
struct Device {
    std::shared_ptr<Zelkor::TcpSocket> socket;
    std::string content;
    bool refuseBegin = false;
    std::string received;
    std::size_t served = 0;
    std::uint64_t blockNumber = 0;
    int doneCalls = 0;
};

class HandlerReentry : public TransferServiceFixture, public ::testing::WithParamInterface<Row> {
protected:
    HandlerReentry() {
        service->SetStorageRootPath(dir.Path().string());
        service->SetFileTransferInterval(50);
        service->SetFileTxHandle([this](double&, std::string&, std::string&) { Act(Hook::Progress); });
        service->OnBlock([this](Zelkor::BlockInfo&) { Act(Hook::Block); });
        service->OnPutFile([this](Zelkor::PutFileInfo& info) {
            finals += info.state == "end" || !info.error.empty();
            Act(Hook::Put);
        });
        service->OnGetFile([this](Zelkor::GetFileInfo& info) {
            finals += info.state == "end" || !info.error.empty();
            Act(Hook::Get);
        });
    }

    // The row's handler call stops or refreshes the service, from inside the report.
    void Act(Hook hook) {
        const Row& row = GetParam();
        if (row.hook == hook && ++calls == row.at) {
            acted = true;
            if (row.action == Action::Stop) {
                service->Stop();
            } else {
                service->Refresh();
            }
        }
    }

    ~HandlerReentry() override { io.stop(); }

    // Runs `work` on the loop, as the receive road does: a stop there takes effect at once.
    void OnLoop(const std::function<void()>& work) {
        bool ran = false;
        boost::asio::post(io, [&] {
            work();
            ran = true;
        });
        ASSERT_TRUE(Until([&] { return ran; }));
    }

    void Peer(const std::string& line) { OnLoop([&] { Receive(peer, line); }); }

    bool Over() { return service->ActiveCount() == 0 && service->WaitingCount() == 0; }

    // A device's answer to a line the service sent it.
    void Answer(Device& device, const FakeServiceSender::Line& line) {
        Zelkor::MessageForwardInfo header;
        header.SetDeviceName("peer");
        header.PullHeader(line.text);
        const std::string word = header.CommandText();
        const Json::Value body = header.JsonBody();
        const std::string state = body["state"].asString();
        const bool error = body.isMember("error");
        if (word == "putfile" && state == "begin") {
            Receive(device.socket, device.refuseBegin ? R"(@putfile {"error":"cannot open file","state":"begin"})"
                                                      : R"(@putfile {"blocksize":512,"state":"begin"})");
        } else if (word == "putfile") {
            Receive(device.socket, error ? R"(@putfile {"error":"x","state":"end"})"
                                         : R"(@putfile {"checksum":")" + Md5(device.received) + R"(","length":)" +
                                               std::to_string(device.received.size()) + R"(,"state":"end"})");
        } else if (word == "block") {
            std::string data = body["data"].asString();
            Zelkor::DecodeBase64InPlace(data);
            device.received += data;
            Receive(device.socket, "@block {\"blockno\":" + body["blockno"].asString() + "}");
        } else if (word == "getfile" && state == "begin") {
            Receive(device.socket, R"(@getfile {"blocksize":512,"length":)" + std::to_string(device.content.size()) +
                                       R"(,"state":"begin"})");
            serveNext(device);
        } else if (word == "@block" && !error && body.isMember("blockno")) {
            serveNext(device);
        } else if (word == "getfile") {
            Receive(device.socket, error ? R"(@getfile {"error":"x","state":"end"})"
                                         : R"(@getfile {"checksum":")" + Md5(device.content) + R"(","length":)" +
                                               std::to_string(device.content.size()) + R"(,"state":"end"})");
        }
    }

    void serveNext(Device& device) {
        if (device.served >= device.content.size()) {
            Receive(device.socket, "block {}");
            return;
        }
        const std::size_t chunk = std::min<std::size_t>(384, device.content.size() - device.served);
        Receive(device.socket, BlockLine(++device.blockNumber, device.content.substr(device.served, chunk)));
        device.served += chunk;
    }

    // The devices answer every line the service sends them until the transfers are over.
    void Exchange() {
        for (int round = 0; round < 1000; ++round) {
            bool quiet = false;
            OnLoop([&] {
                const auto fresh = Pump();
                for (const auto& line : fresh) {
                    for (auto& [id, device] : devices_) {
                        if (static_cast<void*>(device.socket.get()) == line.handle) {
                            Answer(device, line);
                        }
                    }
                }
                quiet = fresh.empty();
            });
            if (quiet && Over()) {
                return;
            }
            if (quiet) {
                Until([&] { return sender.Count() > pumped || Over(); }, std::chrono::seconds(2));
            }
        }
        FAIL() << "the exchange never ends";
    }

    Device& AddDevice(const std::string& id) {
        Device& device = devices_[id];
        device.socket = NewSocket();
        devices.Add(id, device.socket);
        return device;
    }

    void Open(Zelkor::TransferOperation operation, const std::string& local) {
        Zelkor::IFileTransferService::FilePairs files{{local, "remote.bin"}};
        // One call per device, each with its own done, joined into one transfer of the file.
        for (auto& [id, each] : devices_) {
            std::vector<std::string> one{id};
            Device* device = &each;
            const auto done = [this, device](bool, const std::string&) {
                ++device->doneCalls;
                Act(Hook::Done);
            };
            if (operation == Zelkor::TransferOperation::Send) {
                service->SendFiles(one, files, 512, done);
            } else {
                service->ReceiveFiles(one, files, 512, done);
            }
        }
        service->Start();
    }

    void RunScenario() {
        const Row& row = GetParam();
        const std::string content = Pattern(1000, 1);  // three blocks of up to 384 bytes
        switch (row.scenario) {
            case Scenario::AnsweredPut: {
                WriteFile(dir.File("dest.bin"), "old content");
                peer = NewSocket();
                Peer(R"(putfile {"path":"dest.bin","state":"begin","length":1000,"blocksize":512})");
                // Block 1 is written once its reply is out; block 2 when block 3 comes
                // first; block 3 by the close.
                Peer(BlockLine(1, content.substr(0, 384)));
                OnLoop([this] { Pump(); });
                Peer(BlockLine(2, content.substr(384, 384)));
                Peer(BlockLine(3, content.substr(768)));
                Peer(R"(putfile {"state":"end","length":1000,"checksum":")" + Md5(content) + "\"}");
                break;
            }
            case Scenario::AnsweredGet: {
                WriteFile(dir.File("served.bin"), content);
                Device self;
                self.socket = NewSocket();
                peer = self.socket;
                Peer(R"(getfile {"path":"served.bin","state":"begin","blocksize":512})");
                for (int round = 0; round < 20 && service->ActiveCount() > 0; ++round) {
                    OnLoop([&] {
                        for (const auto& line : Pump()) {
                            answerServed(line, self);
                        }
                    });
                }
                break;
            }
            case Scenario::OpenedPut: {
                const std::string local = dir.File("send.bin");
                WriteFile(local, Pattern(3000, 2));
                AddDevice("A");
                AddDevice("B").refuseBegin = true;
                Open(Zelkor::TransferOperation::Send, local);
                Exchange();
                break;
            }
            case Scenario::OpenedGet: {
                const std::string local = dir.File("dest.bin");
                WriteFile(local, "old content");
                AddDevice("A").content = content;
                AddDevice("B").content = Pattern(3000, 3);
                Open(Zelkor::TransferOperation::Receive, local);
                Exchange();
                break;
            }
        }
        // A peer's put ends with its closing reply, which follows the install.
        const auto closed = [this] {
            const std::string last = sender.Last();
            return last.find("@putfile ") != std::string::npos && BodyOf(last)["state"] == "end";
        };
        Until([&] { return Over() && OpenFilesUnder(dir.Path()) == 0 && (acted || closed()); },
              std::chrono::seconds(3));
    }

    // A peer fetching a file from this node: it answers each block and closes with its count
    // and digest.
    void answerServed(const FakeServiceSender::Line& line, Device& self) {
        Zelkor::MessageForwardInfo header;
        header.SetDeviceName("peer");
        header.PullHeader(line.text);
        const Json::Value body = header.JsonBody();
        if (header.CommandText() != "block") {
            return;
        }
        if (body.isMember("blockno")) {
            std::string data = body["data"].asString();
            Zelkor::DecodeBase64InPlace(data);
            self.received += data;
            Receive(peer, "@block {\"blockno\":" + body["blockno"].asString() + "}");
            return;
        }
        Receive(peer, "@block {}");
        Receive(peer, R"(getfile {"state":"end","length":)" + std::to_string(self.received.size()) +
                          R"(,"checksum":")" + Md5(self.received) + "\"}");
    }

    std::shared_ptr<Zelkor::TcpSocket> peer;
    std::map<std::string, Device> devices_;
    int calls = 0;
    bool acted = false;
    int finals = 0;  // reports that end a transfer (state "end", or an error)
};

TEST_P(HandlerReentry, StopsWithoutTouchingWhatTheStopTookAway) {
    const Row& row = GetParam();
    RunScenario();
    EXPECT_TRUE(acted) << "the handler was never called that often";
    EXPECT_EQ(service->ActiveCount(), 0u);
    const bool opened = row.scenario == Scenario::OpenedPut || row.scenario == Scenario::OpenedGet;
    if (opened) {
        for (const auto& [id, device] : devices_) {
            if (row.action == Action::Refresh) {
                EXPECT_EQ(device.doneCalls, 1) << id;
            } else {
                EXPECT_LE(device.doneCalls, 1) << id;
            }
        }
    } else if (row.action == Action::Refresh) {
        EXPECT_EQ(finals, 1);
    } else {
        EXPECT_LE(finals, 1);
    }
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 0);
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_NE(name.front(), '.') << "a temporary stayed: " << name;
    }
}

const Row rows[] = {
    // A peer's put: block 1 written after its reply, block 2 before block 3, block 3 at the close.
    {"AnsweredPutProgress1Stop", Scenario::AnsweredPut, Hook::Progress, 1, Action::Stop},
    {"AnsweredPutProgress2Stop", Scenario::AnsweredPut, Hook::Progress, 2, Action::Stop},
    {"AnsweredPutProgress3Stop", Scenario::AnsweredPut, Hook::Progress, 3, Action::Stop},
    {"AnsweredPutProgress2Refresh", Scenario::AnsweredPut, Hook::Progress, 2, Action::Refresh},
    {"AnsweredPutProgress3Refresh", Scenario::AnsweredPut, Hook::Progress, 3, Action::Refresh},
    {"AnsweredPutBlock1Stop", Scenario::AnsweredPut, Hook::Block, 1, Action::Stop},
    {"AnsweredPutBlock2Refresh", Scenario::AnsweredPut, Hook::Block, 2, Action::Refresh},
    {"AnsweredPutBlock3Stop", Scenario::AnsweredPut, Hook::Block, 3, Action::Stop},
    {"AnsweredPutBeginStop", Scenario::AnsweredPut, Hook::Put, 1, Action::Stop},
    {"AnsweredPutBeginRefresh", Scenario::AnsweredPut, Hook::Put, 1, Action::Refresh},
    {"AnsweredPutEndRefresh", Scenario::AnsweredPut, Hook::Put, 2, Action::Refresh},
    {"AnsweredGetBeginStop", Scenario::AnsweredGet, Hook::Get, 1, Action::Stop},
    {"AnsweredGetBeginRefresh", Scenario::AnsweredGet, Hook::Get, 1, Action::Refresh},
    {"AnsweredGetEndStop", Scenario::AnsweredGet, Hook::Get, 2, Action::Stop},
    // A put to two devices, B refusing: its report comes while A's data runs.
    {"OpenedPutProgressStop", Scenario::OpenedPut, Hook::Progress, 1, Action::Stop},
    {"OpenedPutProgressRefresh", Scenario::OpenedPut, Hook::Progress, 2, Action::Refresh},
    {"OpenedPutBeginStop", Scenario::OpenedPut, Hook::Put, 1, Action::Stop},
    {"OpenedPutRefusalRefresh", Scenario::OpenedPut, Hook::Put, 3, Action::Refresh},
    {"OpenedPutDoneStop", Scenario::OpenedPut, Hook::Done, 1, Action::Stop},
    {"OpenedPutDoneRefresh", Scenario::OpenedPut, Hook::Done, 1, Action::Refresh},
    // A get from two devices, A's file smaller: A ends while B's blocks still come.
    {"OpenedGetProgressStop", Scenario::OpenedGet, Hook::Progress, 1, Action::Stop},
    {"OpenedGetProgressRefresh", Scenario::OpenedGet, Hook::Progress, 3, Action::Refresh},
    {"OpenedGetBlockStop", Scenario::OpenedGet, Hook::Block, 2, Action::Stop},
    {"OpenedGetBlockRefresh", Scenario::OpenedGet, Hook::Block, 1, Action::Refresh},
    {"OpenedGetBeginRefresh", Scenario::OpenedGet, Hook::Get, 1, Action::Refresh},
    {"OpenedGetDoneStop", Scenario::OpenedGet, Hook::Done, 1, Action::Stop},
    {"OpenedGetDoneRefresh", Scenario::OpenedGet, Hook::Done, 1, Action::Refresh},
};

INSTANTIATE_TEST_SUITE_P(Rows, HandlerReentry, ::testing::ValuesIn(rows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ZelkorTest
