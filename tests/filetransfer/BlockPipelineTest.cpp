// The opening side of puts and gets against scripted peers: every line carries its own
// target's route, a put goes on without the targets that left it, and a get installs only
// what arrived whole, in order and proven, leaving the destination alone otherwise.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <json/value.h>

#include "core/Base64.h"
#include "core/Digest.h"
#include "core/MessageForwardInfo.h"
#include "filetransfer/BlockLine.h"
#include "filetransfer/TransferServiceFixture.h"

namespace ZelkorTest {
namespace {

std::string Md5(const std::string& bytes) {
    MD5Digest digest;
    digest.Update(bytes);
    return digest.GetDigest();
}

std::string Encode(const std::string& bytes) {
    std::string text;
    Base64::Encode(bytes, text);
    return text;
}

std::string Pattern(std::size_t size, char seed = 0) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(seed)) % 251);
    }
    return bytes;
}

// A line the service sent, read back the way a peer reads it.
struct Sent {
    std::string raw;
    std::string word;  // "@" in front for a reply
    Json::Value body;
};

Sent Read(const std::string& line) {
    Zelkor::MessageForwardInfo header;
    header.SetDeviceName("peer");
    Sent sent;
    sent.raw = line;
    header.PullHeader(line);
    sent.word = header.CommandText();
    sent.body = header.JsonBody();
    return sent;
}

std::string Member(const Sent& sent, const char* name) {
    const Json::Value& value = sent.body[name];
    return value.isNull() ? std::string() : value.asString();
}

struct Outcome {
    int calls = 0;
    bool success = false;
    std::string text;
};

// A device receiving a put, as a script: it answers what it is sent unless told to hold.
struct PutPeer {
    enum class Begin { Accept, Refuse, Hold };

    std::string id;
    std::shared_ptr<Zelkor::TcpSocket> socket;
    std::string route;        // what every line to it starts with ("" direct)
    std::string replyHeader;  // what its replies carry in front of the word
    Begin begin = Begin::Accept;
    std::string blockSize;    // answered "blocksize"; "" none
    std::string received;
    std::vector<Sent> lines;
    std::vector<std::string> closeErrors;
    // Called with each block before it is answered.
    std::function<void(PutPeer&, const Sent&)> onBlock;
    // Its router no longer reaches it: from block `refuseAt` (0: the closing request on)
    // its lines are answered with this error in its stead.
    std::string refusal;
    std::uint64_t refuseAt = 0;
    std::size_t linesRefused = 0;
    Outcome outcome;
};

class BlockPipeline : public TransferServiceFixture {
protected:
    BlockPipeline() { service->SetFileTransferInterval(50); }
    // A stopped loop lets Stop end the transfers at once instead of waiting for it.
    ~BlockPipeline() override { io.stop(); }

    void StopNow() {
        io.stop();
        service->Stop();
        io.restart();
    }

    Zelkor::IFileTransferService::Done Record(Outcome& outcome) {
        return [&outcome](bool success, const std::string& text) {
            ++outcome.calls;
            outcome.success = success;
            outcome.text = text;
        };
    }

    PutPeer& AddPutPeer(const std::string& id, std::shared_ptr<Zelkor::TcpSocket> socket = nullptr,
                        const std::string& viaRouter = "") {
        auto& peer = putPeers[id];
        peer.id = id;
        peer.socket = socket ? socket : NewSocket();
        if (viaRouter.empty()) {
            devices.Add(id, peer.socket);
        } else {
            devices.Add(id, peer.socket, viaRouter + "&" + id, "ctl");
            peer.route = "[" + viaRouter + "&" + id + "][ctl] ";
            peer.replyHeader = "[ctl][" + viaRouter + "&" + id + "] ";
        }
        return peer;
    }

    // Queues a put of `local` to each peer, each with its own report, and waits for the
    // openings.
    void StartPut(const std::string& local, const std::vector<std::string>& ids, unsigned long blockSize = 512) {
        for (const auto& id : ids) {
            std::vector<std::string> targets{id};
            Zelkor::IFileTransferService::FilePairs files{{local, "remote.bin"}};
            service->SendFiles(targets, files, blockSize, Record(putPeers[id].outcome));
        }
        const std::size_t before = sender.Count();
        service->Start();
        ASSERT_TRUE(Until([&] { return sender.Count() >= before + ids.size(); }));
    }

    PutPeer* PeerOf(const FakeServiceSender::Line& line) {
        for (auto& [id, peer] : putPeers) {
            if (static_cast<void*>(peer.socket.get()) == line.handle && line.text.rfind(peer.route, 0) == 0 &&
                (!peer.route.empty() || line.text.front() != '[')) {
                return &peer;
            }
        }
        return nullptr;
    }

    void Reply(PutPeer& peer, const std::string& wordAndBody) {
        Receive(peer.socket, peer.replyHeader + wordAndBody, "ctl");
    }

    void AnswerBegin(PutPeer& peer) {
        if (peer.begin == PutPeer::Begin::Refuse) {
            Reply(peer, R"(@putfile {"error":"cannot open file","state":"begin"})");
            return;
        }
        const std::string size = peer.blockSize.empty() ? "" : ",\"blocksize\":" + peer.blockSize;
        Reply(peer, R"(@putfile {"state":"begin")" + size + "}");
    }

    void Answer(PutPeer& peer, const Sent& sent) {
        peer.lines.push_back(sent);
        const bool refused = sent.word == "block" ? peer.refuseAt != 0 && sent.body["blockno"].asUInt64() >= peer.refuseAt
                                                  : peer.refuseAt == 0 && Member(sent, "state") == "end";
        if (!peer.refusal.empty() && refused) {
            ++peer.linesRefused;
            Reply(peer, "@" + sent.word + R"( {"error":")" + peer.refusal + R"("})");
            return;
        }
        if (sent.word == "putfile" && Member(sent, "state") == "begin") {
            if (peer.begin != PutPeer::Begin::Hold) {
                AnswerBegin(peer);
            }
        } else if (sent.word == "block") {
            std::string data = Member(sent, "data");
            ASSERT_TRUE(Zelkor::DecodeBase64InPlace(data)) << sent.raw;
            peer.received += data;
            if (peer.onBlock) {
                peer.onBlock(peer, sent);
            }
            Reply(peer, R"(@block {"blockno":)" + std::to_string(sent.body["blockno"].asUInt64()) + "}");
        } else if (sent.word == "putfile") {
            const std::string error = Member(sent, "error");
            if (!error.empty()) {
                peer.closeErrors.push_back(error);
                Reply(peer, R"(@putfile {"error":")" + error + R"(","state":"end"})");
                return;
            }
            Reply(peer, R"(@putfile {"checksum":")" + Md5(peer.received) + R"(","length":)" +
                            std::to_string(peer.received.size()) + R"(,"state":"end"})");
        }
    }

    // Answers every line the service sends until it sends none.
    void Exchange() {
        for (int round = 0; round < 100000; ++round) {
            const auto fresh = Pump();
            if (fresh.empty()) {
                return;
            }
            for (const auto& line : fresh) {
                PutPeer* peer = PeerOf(line);
                ASSERT_NE(peer, nullptr) << "a line no peer's route names: " << line.text;
                Answer(*peer, Read(line.text));
            }
        }
        FAIL() << "the exchange never ends";
    }

    void RunFor(std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        Until([end] { return std::chrono::steady_clock::now() >= end; }, span + std::chrono::seconds(1));
    }

    std::map<std::string, PutPeer> putPeers;
};

// --- puts -------------------------------------------------------------------------------------

TEST_F(BlockPipeline, PutThroughARouterCarriesEachTargetsRouteOnEveryLine) {
    const std::string content = Pattern(1000);
    const std::string local = dir.File("send.bin");
    WriteFile(local, content);
    const auto router = NewSocket();
    AddPutPeer("A", router, "rtr").blockSize = "4096";
    AddPutPeer("B", router, "rtr");
    StartPut(local, {"A", "B"});
    Exchange();

    for (const char* id : {"A", "B"}) {
        const PutPeer& peer = putPeers[id];
        EXPECT_EQ(peer.outcome.calls, 1) << id;
        EXPECT_TRUE(peer.outcome.success) << id << ": " << peer.outcome.text;
        EXPECT_EQ(Md5(peer.received), Md5(content)) << id;
        std::size_t blocks = 0;
        for (const auto& line : peer.lines) {
            // Routes only: no sender hash in front, and never the other device's route.
            EXPECT_EQ(line.raw.rfind(peer.route, 0), 0u) << id << ": " << line.raw;
            if (line.word == "block") {
                ++blocks;
                EXPECT_EQ(line.body["blockno"].asUInt64(), blocks) << line.raw;
                EXPECT_LE(Member(line, "data").size(), 512u);
            }
        }
        EXPECT_EQ(blocks, 3u) << id;  // 384 + 384 + 232 bytes
        EXPECT_EQ(Member(peer.lines.back(), "checksum"), Md5(content)) << id;
        EXPECT_EQ(Member(peer.lines.back(), "length"), "1000") << id;
    }
    EXPECT_EQ(service->ActiveCount(), 0u);
}

// A router that no longer reaches its device refuses the put's next line in its stead: the
// put ends at once with "end-point disconnected" and sends that device nothing more but a
// "cancelputfile", for a device the router only gave up waiting for, while the other
// device behind the same router takes the file. A device reached directly that answers a
// block with such a text is only refusing that block.
TEST_F(BlockPipeline, ARouterRefusingAPutsLineForItsDeviceEndsThatPutAlone) {
    struct Case {
        const char* refusal;
        std::uint64_t refuseAt;
        bool routed;
        const char* text;
    };
    const Case cases[] = {
        {"Device not found", 2, true, "end-point disconnected"},
        {"Device not connected", 2, true, "end-point disconnected"},
        {"connection lost", 1, true, "end-point disconnected"},
        {"Device not connected", 0, true, "end-point disconnected"},
        {"Device not connected", 2, false, "Device not connected"},
    };
    const std::string content = Pattern(1500);
    const std::string local = dir.File("send.bin");
    WriteFile(local, content);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.refusal) + " at " + std::to_string(c.refuseAt) + (c.routed ? " routed" : " direct"));
        putPeers.clear();
        const auto router = NewSocket();
        auto& gone = AddPutPeer("A", c.routed ? router : nullptr, c.routed ? "rtr" : "");
        gone.refusal = c.refusal;
        gone.refuseAt = c.refuseAt;
        AddPutPeer("B", router, "rtr");
        StartPut(local, {"A", "B"});
        Exchange();
        EXPECT_EQ(gone.outcome.calls, 1);
        EXPECT_FALSE(gone.outcome.success);
        EXPECT_EQ(gone.outcome.text, c.text);
        // Routed: the refused line was the last of the put, and the cancel follows it;
        // direct: the close carries the error.
        EXPECT_EQ(gone.linesRefused, 1u);
        EXPECT_EQ(gone.closeErrors, c.routed ? std::vector<std::string>{} : std::vector<std::string>{c.refusal});
        std::vector<std::string> words;
        for (const auto& line : gone.lines) {
            words.push_back(line.word);
        }
        ASSERT_GE(words.size(), 2u);
        if (c.routed) {
            EXPECT_EQ(words.back(), "cancelputfile");
            EXPECT_EQ(gone.lines.back().raw, "[rtr&A][ctl] cancelputfile\n");
            EXPECT_EQ(words[words.size() - 2], c.refuseAt == 0 ? "putfile" : "block");
        } else {
            EXPECT_EQ(std::count(words.begin(), words.end(), "cancelputfile"), 0);
        }
        const PutPeer& other = putPeers["B"];
        EXPECT_TRUE(other.outcome.success) << other.outcome.text;
        EXPECT_EQ(Md5(other.received), Md5(content));
        EXPECT_FALSE(router->IsFinalized());
        EXPECT_EQ(service->ActiveCount(), 0u);
        StopNow();
    }
}

TEST_F(BlockPipeline, PutWaitsForEveryBeginAndTakesTheSmallestBlockSize) {
    const std::string content = Pattern(5000);
    const std::string local = dir.File("send.bin");
    WriteFile(local, content);
    auto& first = AddPutPeer("A");
    first.blockSize = "1000";
    first.begin = PutPeer::Begin::Hold;
    AddPutPeer("B");
    StartPut(local, {"A", "B"}, 65536);
    Exchange();
    // A late block reply of an earlier put to A, ended with the connection kept: dropped.
    Reply(first, R"(@block {"blockno":4})");
    // B answered, A did not: no block yet for anyone.
    for (const auto& line : sender.Lines()) {
        EXPECT_EQ(Read(line.text).word.find("block"), std::string::npos) << line.text;
    }
    AnswerBegin(first);
    Exchange();
    for (auto* peer : {&putPeers["A"], &putPeers["B"]}) {
        EXPECT_TRUE(peer->outcome.success) << peer->outcome.text;
        EXPECT_EQ(Md5(peer->received), Md5(content));
        // 1000 characters carry 750 bytes: 7 blocks for 5000 bytes.
        std::size_t blocks = 0;
        for (const auto& line : peer->lines) {
            if (line.word == "block") {
                ++blocks;
                EXPECT_LE(Member(line, "data").size(), 1000u);
            }
        }
        EXPECT_EQ(blocks, 7u);
    }
}

TEST_F(BlockPipeline, CancellingOneTargetBetweenBlocksLeavesTheFileToTheOther) {
    const std::string content = Pattern(2000);
    const std::string local = dir.File("send.bin");
    WriteFile(local, content);
    AddPutPeer("A");
    AddPutPeer("B").onBlock = [this](PutPeer&, const Sent& sent) {
        if (sent.body["blockno"].asUInt64() == 1) {
            service->CancelPutFile("B", "remote.bin");
            io.restart();
            io.poll();
        }
    };
    StartPut(local, {"A", "B"});
    Exchange();

    const PutPeer& kept = putPeers["A"];
    EXPECT_EQ(kept.outcome.calls, 1);
    EXPECT_TRUE(kept.outcome.success) << kept.outcome.text;
    EXPECT_EQ(Md5(kept.received), Md5(content));
    EXPECT_EQ(Member(kept.lines.back(), "checksum"), Md5(content));
    const PutPeer& canceled = putPeers["B"];
    EXPECT_EQ(canceled.outcome.calls, 1);
    EXPECT_FALSE(canceled.outcome.success);
    EXPECT_EQ(canceled.outcome.text, "transfer canceled");
    EXPECT_EQ(canceled.closeErrors, std::vector<std::string>{"transfer canceled"});
    EXPECT_EQ(canceled.received.size(), 384u);  // block 1 only
    EXPECT_EQ(service->ActiveCount(), 0u);
}

TEST_F(BlockPipeline, OfFourTargetsTheOneThatStaysCompletes) {
    // One refuses the opening, one is cancelled, one never answers and times out: the
    // fourth is not left waiting for them.
    const std::string content = Pattern(1500);
    const std::string local = dir.File("send.bin");
    WriteFile(local, content);
    devices.replyTimeoutMs = 600;
    AddPutPeer("A").begin = PutPeer::Begin::Refuse;
    AddPutPeer("B").begin = PutPeer::Begin::Hold;
    AddPutPeer("C").begin = PutPeer::Begin::Hold;
    AddPutPeer("D").begin = PutPeer::Begin::Hold;
    StartPut(local, {"A", "B", "C", "D"});
    Exchange();
    EXPECT_EQ(putPeers["A"].outcome.calls, 1);
    EXPECT_EQ(putPeers["A"].outcome.text, "cannot open file");

    // B and D answer well after C's clock started, so that only C is silent too long.
    RunFor(std::chrono::milliseconds(300));
    AnswerBegin(putPeers["B"]);
    AnswerBegin(putPeers["D"]);
    service->CancelPutFile("B", "remote.bin");
    ASSERT_TRUE(Until([&] { return putPeers["C"].outcome.calls > 0; }));
    EXPECT_EQ(putPeers["C"].outcome.text, "timeout");
    Exchange();

    EXPECT_EQ(putPeers["B"].outcome.calls, 1);
    EXPECT_EQ(putPeers["B"].outcome.text, "transfer canceled");
    EXPECT_TRUE(putPeers["B"].received.empty());
    const PutPeer& last = putPeers["D"];
    EXPECT_EQ(last.outcome.calls, 1);
    EXPECT_TRUE(last.outcome.success) << last.outcome.text;
    EXPECT_EQ(Md5(last.received), Md5(content));
    for (const char* id : {"A", "B", "C"}) {
        EXPECT_EQ(putPeers[id].outcome.calls, 1) << id;
        EXPECT_FALSE(putPeers[id].outcome.success) << id;
    }
    EXPECT_EQ(service->ActiveCount(), 0u);
}

TEST_F(BlockPipeline, PutFailsOnWhatTheClosingReplyOrTheFileGives) {
    struct Case {
        const char* name;
        // Spoiled once the element started, before any data; else at the last block.
        bool beforeData;
        std::function<void(PutPeer&, const std::string& local)> spoil;
        const char* text;
    };
    const std::string content = Pattern(1000);
    const Case cases[] = {
        {"other length", false, [](PutPeer& peer, const std::string&) { peer.received.pop_back(); },
         "length mismatch"},
        {"other checksum", false, [](PutPeer& peer, const std::string&) { peer.received[10] ^= 1; },
         "checksum mismatch"},
        // Shorter than at the start: block 2 cannot be read whole.
        {"shortened file", true,
         [](PutPeer&, const std::string& local) { std::filesystem::resize_file(local, 500); }, "length mismatch"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        putPeers.clear();
        const std::string local = dir.File(std::string(c.name) + ".bin");
        WriteFile(local, content);
        auto& peer = AddPutPeer(c.name);
        peer.begin = PutPeer::Begin::Hold;
        StartPut(local, {c.name});
        Exchange();
        if (c.beforeData) {
            c.spoil(peer, local);
        } else {
            peer.onBlock = [&c, &local](PutPeer& self, const Sent& sent) {
                if (sent.body["blockno"].asUInt64() == 3) {
                    c.spoil(self, local);
                }
            };
        }
        AnswerBegin(peer);
        Exchange();
        EXPECT_EQ(peer.outcome.calls, 1);
        EXPECT_FALSE(peer.outcome.success);
        EXPECT_EQ(peer.outcome.text, c.text);
        EXPECT_EQ(service->ActiveCount(), 0u);
        StopNow();
    }
}

TEST_F(BlockPipeline, AClosingReplyAmidTheBlocksFailsThePut) {
    const std::string local = dir.File("send.bin");
    WriteFile(local, Pattern(2000));
    auto& peer = AddPutPeer("A");
    bool interrupted = false;
    peer.onBlock = [&](PutPeer& self, const Sent&) {
        if (!interrupted) {
            interrupted = true;
            Reply(self, R"(@putfile {"checksum":"00","length":384,"state":"end"})");
        }
    };
    StartPut(local, {"A"});
    Exchange();
    EXPECT_EQ(peer.outcome.calls, 1);
    EXPECT_FALSE(peer.outcome.success);
    EXPECT_EQ(peer.outcome.text, "unexpected reply received");
    EXPECT_EQ(peer.closeErrors, std::vector<std::string>{"unexpected reply received"});
    EXPECT_EQ(service->ActiveCount(), 0u);
}

// The digest of the bytes sent, lost to a worker stopped with block 1 waiting: the close
// carries the error instead of an empty checksum, which a peer would take for none.
TEST_F(BlockPipeline, APutWhoseDigestIsLostClosesWithAnError) {
    const std::string local = dir.File("send.bin");
    WriteFile(local, Pattern(1000));
    auto& peer = AddPutPeer("A");
    peer.begin = PutPeer::Begin::Hold;
    StartPut(local, {"A"});
    Exchange();
    {
        HeldDigestWorker held(*service);
        ASSERT_TRUE(held.Held());
        AnswerBegin(peer);
        held.Lose();
    }
    Exchange();
    EXPECT_EQ(peer.outcome.calls, 1);
    EXPECT_FALSE(peer.outcome.success);
    EXPECT_EQ(peer.outcome.text, "checksum unavailable");
    EXPECT_EQ(peer.closeErrors, std::vector<std::string>{"checksum unavailable"});
    EXPECT_FALSE(peer.lines.back().body.isMember("checksum")) << peer.lines.back().raw;
    EXPECT_EQ(service->ActiveCount(), 0u);
}

// --- gets -------------------------------------------------------------------------------------

class BlockPipelineGet : public BlockPipeline {
protected:
    // Queues a get of "remote.bin" from `id` into `local`.
    std::shared_ptr<Zelkor::TcpSocket> StartGet(const std::string& id, const std::string& local, Outcome& outcome,
                                                unsigned long blockSize = 512) {
        auto socket = NewSocket();
        devices.Add(id, socket);
        std::vector<std::string> targets{id};
        Zelkor::IFileTransferService::FilePairs files{{local, "remote.bin"}};
        service->ReceiveFiles(targets, files, blockSize, Record(outcome));
        return socket;
    }

    // `local` holding "old content", a get into it from `id` started: the device's connection
    // once the opening is out; null when it is not, within the wait.
    std::shared_ptr<Zelkor::TcpSocket> OpenedGet(const std::string& id, const std::string& local, Outcome& outcome) {
        WriteFile(local, "old content");
        auto socket = StartGet(id, local, outcome);
        service->Start();
        return Until([&] { return !LinesOn(socket).empty(); }) ? socket : nullptr;
    }

    // The last line the service sent on `socket` with that word.
    Sent LastOn(const std::shared_ptr<Zelkor::TcpSocket>& socket, const std::string& word) {
        const auto lines = LinesOn(socket);
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            Sent sent = Read(*it);
            if (sent.word == word) {
                return sent;
            }
        }
        return Sent{};
    }

    // Answers the service's closing "getfile": its error echoed, else this count and digest.
    void AnswerClose(const std::shared_ptr<Zelkor::TcpSocket>& socket, const std::string& length,
                     const std::string& checksum) {
        const Sent close = LastOn(socket, "getfile");
        ASSERT_EQ(Member(close, "state"), "end") << close.raw;
        const std::string error = Member(close, "error");
        if (!error.empty()) {
            Receive(socket, R"(@getfile {"error":")" + error + R"(","state":"end"})");
        } else {
            Receive(socket, R"(@getfile {"checksum":")" + checksum + R"(","length":)" + length + R"(,"state":"end"})");
        }
    }

    static std::string BlockLine(int number, const std::string& bytes) {
        return R"(block {"blockno":)" + std::to_string(number) + R"(,"data":")" + Encode(bytes) + R"("})";
    }

    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }
};

TEST_F(BlockPipelineGet, RefusesWhatDidNotArriveWholeAndLeavesTheDestination) {
    const std::string ten = "0123456789";
    struct Case {
        const char* name;
        std::string length;              // announced
        std::vector<std::string> lines;  // sent after the opening reply
        std::string closeLength;         // the peer's closing count and digest
        std::string closeChecksum;
        const char* blockError;          // the refusal in the last "@block"; null: none
        const char* text;
    };
    const Case cases[] = {
        {"nine of ten", "10", {BlockLine(1, ten.substr(0, 9)), "block {}"}, "9", Md5(ten.substr(0, 9)), nullptr,
         "length mismatch"},
        {"wrong checksum", "10", {BlockLine(1, ten), "block {}"}, "10", Md5("9876543210"), nullptr,
         "checksum mismatch"},
        {"peer's count differs", "10", {BlockLine(1, ten), "block {}"}, "11", Md5(ten), nullptr, "length mismatch"},
        {"foreign Base64", "10", {R"(block {"blockno":1,"data":"MDEy!zQ1Njc4OQ=="})"}, "", "", "invalid block",
         "invalid block"},
        {"partial group", "10", {R"(block {"blockno":1,"data":"MDEyMzQ1Njc4OQ"})"}, "", "", "invalid block",
         "invalid block"},
        {"padding inside", "10", {R"(block {"blockno":1,"data":"MD==MzQ1Njc4OQ=="})"}, "", "", "invalid block",
         "invalid block"},
        {"oversize block", "1000", {BlockLine(1, Pattern(385))}, "", "", "invalid block", "invalid block"},
        {"out of order", "10", {BlockLine(2, ten)}, "", "", "invalid block", "invalid block"},
        {"repeated number", "10", {BlockLine(1, "01234"), BlockLine(1, "56789")}, "", "", "invalid block",
         "invalid block"},
        {"no data", "10", {R"(block {"blockno":1})"}, "", "", "invalid block", "invalid block"},
        {"past the length", "10", {BlockLine(1, ten + "ab")}, "", "", "length mismatch", "length mismatch"},
        {"block after the end", "10", {BlockLine(1, ten), "block {}", BlockLine(2, "x")}, "10", Md5(ten),
         "invalid block", "invalid block"},
        {"peer fails its read", "10", {BlockLine(1, "01234"), R"(block {"error":"Input/output error"})"}, "", "",
         nullptr, "Input/output error"},
        {"closing reply amid blocks", "10", {BlockLine(1, "01234"), R"(@getfile {"state":"end"})"}, "", "", nullptr,
         "unexpected reply received"},
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string local = dir.File("dest" + std::to_string(round) + ".bin");
        const std::string id = "G" + std::to_string(round++);
        Outcome outcome;
        const auto socket = OpenedGet(id, local, outcome);
        ASSERT_TRUE(socket);
        Receive(socket, R"(@getfile {"blocksize":512,"length":)" + c.length + R"(,"state":"begin"})");
        for (const auto& line : c.lines) {
            Receive(socket, line);
        }
        const Sent answer = LastOn(socket, "@block");
        if (c.blockError) {
            EXPECT_EQ(Member(answer, "error"), c.blockError) << answer.raw;
        } else if (!answer.raw.empty()) {
            EXPECT_EQ(Member(answer, "error"), "") << answer.raw;
        }
        AnswerClose(socket, c.closeLength, c.closeChecksum);
        ASSERT_TRUE(Until([&] { return outcome.calls > 0; }));
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_FALSE(outcome.success);
        EXPECT_EQ(outcome.text, c.text);
        EXPECT_EQ(ReadFile(local), "old content");
        EXPECT_EQ(service->ActiveCount(), 0u);
        StopNow();
    }
    // Nothing but the destinations: no temporary stayed behind.
    EXPECT_EQ(Entries().size(), static_cast<std::size_t>(round));
}

TEST_F(BlockPipelineGet, ProvenFileReplacesTheDestination) {
    const std::string content = Pattern(1000, 3);
    const std::string local = dir.File("dest.bin");
    Outcome outcome;
    const auto socket = OpenedGet("G", local, outcome);
    ASSERT_TRUE(socket);
    const Sent opening = Read(LinesOn(socket).front());
    EXPECT_EQ(opening.word, "getfile");
    EXPECT_EQ(Member(opening, "path"), "remote.bin");
    // A block before the opening's answer is a late one of an earlier get from the device,
    // ended here with the connection kept: refused, and this get goes on.
    Receive(socket, BlockLine(9, "late"));
    EXPECT_EQ(Member(LastOn(socket, "@block"), "error"), "Transfer canceled");
    Receive(socket, R"(@getfile {"blocksize":512,"length":1000,"state":"begin"})");
    Receive(socket, BlockLine(1, content.substr(0, 384)));
    Receive(socket, BlockLine(2, content.substr(384, 384)));
    Receive(socket, BlockLine(3, content.substr(768)));
    EXPECT_EQ(Member(LastOn(socket, "@block"), "blockno"), "3");
    Receive(socket, "block {}");
    const Sent close = LastOn(socket, "getfile");
    EXPECT_EQ(Member(close, "length"), "1000");
    EXPECT_EQ(Member(close, "checksum"), Md5(content));
    // Not before the proof.
    EXPECT_EQ(ReadFile(local), "old content");
    AnswerClose(socket, "1000", Md5(content));
    ASSERT_TRUE(Until([&] { return outcome.calls > 0; }));
    EXPECT_TRUE(outcome.success) << outcome.text;
    EXPECT_EQ(outcome.text, "Success");
    EXPECT_EQ(Md5(ReadFile(local)), Md5(content));
    EXPECT_EQ(Entries(), std::vector<std::string>{"dest.bin"});
}

TEST_F(BlockPipelineGet, TheFirstOfTwoDevicesProvidesTheFileAndBothSucceed) {
    const std::string first = Pattern(700, 1);
    const std::string second = Pattern(500, 2);
    const std::string local = dir.File("dest.bin");
    WriteFile(local, "old content");
    Outcome one;
    Outcome two;
    const auto a = StartGet("G1", local, one);
    const auto b = StartGet("G2", local, two);
    service->Start();
    ASSERT_TRUE(Until([&] { return !LinesOn(a).empty() && !LinesOn(b).empty(); }));
    Receive(a, R"(@getfile {"length":700,"state":"begin"})");
    Receive(b, R"(@getfile {"length":500,"state":"begin"})");
    Receive(a, BlockLine(1, first.substr(0, 384)));
    Receive(b, BlockLine(1, second.substr(0, 384)));
    Receive(a, BlockLine(2, first.substr(384)));
    Receive(a, "block {}");
    AnswerClose(a, "700", Md5(first));
    ASSERT_TRUE(Until([&] { return one.calls > 0; }));
    Receive(b, BlockLine(2, second.substr(384)));
    Receive(b, "block {}");
    AnswerClose(b, "500", Md5(second));
    ASSERT_TRUE(Until([&] { return two.calls > 0; }));
    EXPECT_TRUE(one.success) << one.text;
    EXPECT_TRUE(two.success) << two.text;
    EXPECT_EQ(Md5(ReadFile(local)), Md5(first));
    EXPECT_EQ(Entries(), std::vector<std::string>{"dest.bin"});
    EXPECT_EQ(service->ActiveCount(), 0u);
}

// The destination turned into a folder after the start: installing over it fails.
void BlockTheDestination(const std::string& local) {
    std::filesystem::remove(local);
    std::filesystem::create_directory(local);
    WriteFile(local + "/inside", "x");
}

TEST_F(BlockPipelineGet, ACopyProvenWhileAnotherIsInstalledWaitsForThatInstallAndFailsWithIt) {
    const std::string first = Pattern(300, 1);
    const std::string second = Pattern(200, 2);
    const std::string local = dir.File("dest.bin");
    WriteFile(local, "old content");
    Outcome one;
    Outcome two;
    const auto a = StartGet("G1", local, one);
    const auto b = StartGet("G2", local, two);
    service->Start();
    ASSERT_TRUE(Until([&] { return !LinesOn(a).empty() && !LinesOn(b).empty(); }));
    BlockTheDestination(local);
    Receive(a, R"(@getfile {"length":300,"state":"begin"})");
    Receive(b, R"(@getfile {"length":200,"state":"begin"})");
    Receive(a, BlockLine(1, first));
    Receive(b, BlockLine(1, second));
    Receive(a, "block {}");
    Receive(b, "block {}");
    AnswerClose(a, "300", Md5(first));
    AnswerClose(b, "200", Md5(second));
    // G1's copy is with the worker; G2's proven copy waits for its result.
    EXPECT_EQ(two.calls, 0);
    ASSERT_TRUE(Until([&] { return one.calls > 0 && two.calls > 0; }));
    EXPECT_EQ(one.calls, 1);
    EXPECT_EQ(two.calls, 1);
    EXPECT_FALSE(one.success);
    EXPECT_FALSE(two.success) << "a success with nothing installed";
    EXPECT_FALSE(two.text.empty());
    EXPECT_TRUE(std::filesystem::is_directory(local));
    EXPECT_EQ(Entries(), std::vector<std::string>{"dest.bin"});
    EXPECT_EQ(service->ActiveCount(), 0u);
}

TEST_F(BlockPipelineGet, WhenTheFirstInstallFailsTheNextDeviceInstallsItsOwnCopy) {
    const std::string first = Pattern(300, 1);
    const std::string second = Pattern(200, 2);
    const std::string local = dir.File("dest.bin");
    WriteFile(local, "old content");
    Outcome one;
    Outcome two;
    const auto a = StartGet("G1", local, one);
    const auto b = StartGet("G2", local, two);
    service->Start();
    ASSERT_TRUE(Until([&] { return !LinesOn(a).empty() && !LinesOn(b).empty(); }));
    BlockTheDestination(local);
    Receive(a, R"(@getfile {"length":300,"state":"begin"})");
    Receive(b, R"(@getfile {"length":200,"state":"begin"})");
    Receive(a, BlockLine(1, first));
    Receive(a, "block {}");
    AnswerClose(a, "300", Md5(first));
    ASSERT_TRUE(Until([&] { return one.calls > 0; }));
    EXPECT_FALSE(one.success);
    std::filesystem::remove_all(local);
    Receive(b, BlockLine(1, second));
    Receive(b, "block {}");
    AnswerClose(b, "200", Md5(second));
    ASSERT_TRUE(Until([&] { return two.calls > 0; }));
    EXPECT_TRUE(two.success) << two.text;
    EXPECT_EQ(ReadFile(local), second);
    EXPECT_EQ(Entries(), std::vector<std::string>{"dest.bin"});
    EXPECT_EQ(service->ActiveCount(), 0u);
}

TEST_F(BlockPipelineGet, EachDeviceIsHeldToTheBlockSizeItAgreed) {
    // Asked at 4096 (3072 bytes a block): G1 agrees to 512 (384 bytes), G2 to 4096.
    const std::string local = dir.File("dest.bin");
    WriteFile(local, "old content");
    Outcome one;
    Outcome two;
    const auto a = StartGet("G1", local, one, 4096);
    const auto b = StartGet("G2", local, two, 4096);
    service->Start();
    ASSERT_TRUE(Until([&] { return !LinesOn(a).empty() && !LinesOn(b).empty(); }));
    EXPECT_EQ(Member(Read(LinesOn(a).front()), "blocksize"), "4096");
    Receive(a, R"(@getfile {"blocksize":512,"length":5000,"state":"begin"})");
    Receive(b, R"(@getfile {"blocksize":4096,"length":5000,"state":"begin"})");
    Receive(b, BlockLine(1, Pattern(3072)));
    EXPECT_EQ(Member(LastOn(b, "@block"), "error"), "");
    Receive(a, BlockLine(1, Pattern(385)));
    EXPECT_EQ(Member(LastOn(a, "@block"), "error"), "invalid block");
    EXPECT_EQ(Member(LastOn(a, "getfile"), "error"), "invalid block");
    // G1's refusal leaves G2's agreement alone.
    Receive(b, BlockLine(2, Pattern(1928)));
    EXPECT_EQ(Member(LastOn(b, "@block"), "error"), "");
}

TEST_F(BlockPipelineGet, CancellingAGetAnswersTheNextBlockAndKeepsTheDestination) {
    const std::string local = dir.File("dest.bin");
    Outcome outcome;
    const auto socket = OpenedGet("G", local, outcome);
    ASSERT_TRUE(socket);
    Receive(socket, R"(@getfile {"length":10,"state":"begin"})");
    Receive(socket, BlockLine(1, "01234"));
    service->CancelPutFile("G", "remote.bin");
    io.restart();
    io.poll();
    Receive(socket, BlockLine(2, "56789"));
    EXPECT_EQ(Member(LastOn(socket, "@block"), "error"), "Transfer canceled");
    EXPECT_EQ(Member(LastOn(socket, "getfile"), "error"), "Transfer canceled");
    AnswerClose(socket, "", "");
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.text, "transfer canceled");
    EXPECT_EQ(ReadFile(local), "old content");
}

// The digest of the bytes received, lost to a worker stopped with block 1 waiting (it is
// digested once written, when block 2 is answered): the close carries the error, and the
// destination stays.
TEST_F(BlockPipelineGet, AGetWhoseDigestIsLostClosesWithAnErrorAndKeepsTheDestination) {
    const std::string content = Pattern(1000);
    const std::string local = dir.File("dest.bin");
    Outcome outcome;
    const auto socket = OpenedGet("G", local, outcome);
    ASSERT_TRUE(socket);
    Receive(socket, R"(@getfile {"blocksize":512,"length":1000,"state":"begin"})");
    Receive(socket, BlockLine(1, content.substr(0, 384)));
    {
        HeldDigestWorker held(*service);
        ASSERT_TRUE(held.Held());
        Receive(socket, BlockLine(2, content.substr(384, 384)));
        held.Lose();
    }
    Receive(socket, BlockLine(3, content.substr(768)));
    Receive(socket, "block {}");
    const Sent close = LastOn(socket, "getfile");
    EXPECT_EQ(Member(close, "error"), "checksum unavailable");
    EXPECT_FALSE(close.body.isMember("checksum")) << close.raw;
    AnswerClose(socket, "1000", Md5(content));
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.text, "checksum unavailable");
    EXPECT_EQ(ReadFile(local), "old content");
    EXPECT_EQ(Entries(), std::vector<std::string>{"dest.bin"});
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 0);
}

}  // namespace
// A device's block is answered before it is written, and written only once the next line
// from that device is answered: no write stands between a block and its reply.
TEST_F(BlockPipelineGet, ABlockIsWrittenOnceTheNextLineIsAnswered) {
    const std::string content = Pattern(1000, 5);
    const std::string local = dir.File("dest.bin");
    std::vector<int> written;  // whole percents reported as written
    service->SetFileTxHandle([&](double& percent, std::string&, std::string&) {
        written.push_back(static_cast<int>(percent));
    });
    Outcome outcome;
    const auto socket = OpenedGet("G", local, outcome);
    ASSERT_TRUE(socket);
    Receive(socket, R"(@getfile {"blocksize":512,"length":1000,"state":"begin"})");
    Pump();
    Receive(socket, BlockLine(1, content.substr(0, 384)));
    EXPECT_EQ(Member(LastOn(socket, "@block"), "blockno"), "1");
    Pump();  // the reply is out
    EXPECT_TRUE(written.empty()) << "acknowledged, held until the next block is answered";
    Receive(socket, BlockLine(2, content.substr(384, 384)));
    EXPECT_EQ(Member(LastOn(socket, "@block"), "blockno"), "2");
    EXPECT_EQ(written, std::vector<int>{38});
    Receive(socket, BlockLine(3, content.substr(768)));
    EXPECT_EQ(written, (std::vector<int>{38, 76}));
    // The end of the data writes the last one before the count and digest go out.
    Receive(socket, "block {}");
    EXPECT_EQ(written, (std::vector<int>{38, 76, 100}));
    const Sent close = LastOn(socket, "getfile");
    EXPECT_EQ(Member(close, "length"), "1000");
    EXPECT_EQ(Member(close, "checksum"), Md5(content));
    AnswerClose(socket, "1000", Md5(content));
    ASSERT_TRUE(Until([&] { return outcome.calls > 0; }));
    EXPECT_TRUE(outcome.success) << outcome.text;
    EXPECT_EQ(Md5(ReadFile(local)), Md5(content));
    EXPECT_EQ(Entries(), std::vector<std::string>{"dest.bin"});
}

}  // namespace ZelkorTest
