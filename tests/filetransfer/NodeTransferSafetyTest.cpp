// A device node against a raw peer that writes the transfer lines itself: every put that
// is wrong in one way (its data, its numbering, its length or digest, its path) is
// refused with its own text, the old file keeps its MD5, no temporary is left in the
// folder or open in the node, and the next put on the same connection is served. A
// block size far beyond the device's is answered with the device's own. Each wait is
// bounded by a deadline.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <json/reader.h>

#include "core/Base64.h"
#include "core/Digest.h"
#include "filetransfer/NodeTransferTestSupport.h"
#include "support/DriverHarness.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::tcp;

std::string Encoded(const std::string& bytes) {
    std::string text;
    Base64::Encode(bytes, text);
    return text;
}

std::string Md5Of(const std::string& bytes) {
    MD5Digest digest;
    digest.Update(bytes);
    return digest.GetDigest();
}

std::string Quoted(const std::string& text) { return CompactJson(Json::Value(text)); }

std::string Begin(const std::string& path, std::uint64_t length, unsigned long blockSize = 512,
                  const std::string& checksum = "") {
    return R"(putfile {"blocksize":)" + std::to_string(blockSize) +
           (checksum.empty() ? "" : R"(,"checksum":")" + checksum + "\"") + R"(,"length":)" +
           std::to_string(length) + R"(,"path":)" + Quoted(path) + R"(,"state":"begin"})";
}

std::string Block(std::uint64_t number, const std::string& data) {
    return R"(block {"blockno":)" + std::to_string(number) + R"(,"data":")" + data + "\"}";
}

const std::string kEndOfData = "block {}";

// The closing line; a length or checksum left empty is left out.
std::string Close(const std::string& path, const std::string& length, const std::string& checksum) {
    return R"(putfile {)" + (checksum.empty() ? "" : R"("checksum":")" + checksum + "\",") +
           (length.empty() ? "" : R"("length":)" + length + ",") + R"("path":)" + Quoted(path) +
           R"(,"state":"end"})";
}

// Sends `line` and returns the body of its reply (the line's word with "@"); null when
// none came. Any other line is passed over.
Json::Value Exchange(RawPeer& peer, const std::string& line) {
    const std::string reply = "@" + line.substr(0, line.find(' '));
    peer.Send(line + "\n");
    for (;;) {
        std::string text = peer.ReadLine();
        if (text.empty()) {
            return Json::Value();
        }
        text.pop_back();
        if (text != reply && text.rfind(reply + " ", 0) != 0) {
            continue;
        }
        Json::Value body;
        std::string errors;
        Json::CharReaderBuilder builder;
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        const std::string json = text.size() > reply.size() ? text.substr(reply.size() + 1) : "{}";
        reader->parse(json.data(), json.data() + json.size(), &body, &errors);
        return body.isObject() ? body : Json::Value(Json::objectValue);
    }
}

// The blocks of a put of `content` in blocks of 384 bytes, the end of the data and the
// close; the first reply that refuses, else the closing reply.
Json::Value PutBlocks(RawPeer& peer, const std::string& path, const std::string& content) {
    std::uint64_t number = 1;
    for (std::size_t at = 0; at < content.size(); at += 384) {
        const Json::Value reply = Exchange(peer, Block(number++, Encoded(content.substr(at, 384))));
        if (reply.isMember("error")) {
            return reply;
        }
    }
    Exchange(peer, kEndOfData);
    return Exchange(peer, Close(path, std::to_string(content.size()), Md5Of(content)));
}

// The device node alone, in a namespace of its own when the test may make one, and raw
// peers connected to it there.
struct RawPut {
    explicit RawPut(const std::string& tag, std::vector<std::string> more = {})
        : space(tag),
          device(StoringDeviceOptions("amp1", kAmp, 4197, root.Path().string(), std::move(more)),
                 space.Made() ? space.Name() : "") {}

    bool Connect() { return !device.process.AwaitEvent("listenerAdded").isNull() && Connect(peer); }

    bool Connect(RawPeer& another) {
        if (space.Made() && !space.Run([&another] { another.Socket().open(tcp::v4()); })) {
            return false;
        }
        return another.Connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 4197));
    }

    Json::Value Exchange(const std::string& line) { return ZelkorTest::Exchange(peer, line); }

    // A whole put of `content` to `path`; the refusal or the closing reply.
    Json::Value Put(const std::string& path, const std::string& content) {
        const Json::Value opened = Exchange(Begin(path, content.size()));
        return opened.isMember("error") ? opened : PutBlocks(peer, path, content);
    }

    TempDir root;
    NetNamespace space;
    Node device;
    RawPeer peer;
};

// One put that goes wrong, line by line: the first refusal carries `error`; when it is a
// block that is refused, the peer closes with that error, as a controller does.
struct BadPut {
    std::string name;
    std::vector<std::string> lines;
    std::string error;
};

TEST(NodeTransferSafety, EachBrokenPutIsRefusedAndTheOldFileStays) {
    RawPut raw("safety");
    ASSERT_TRUE(raw.Connect());
    const std::string old = RandomBytes(3000, 1);
    const std::string content = RandomBytes(1000, 2);
    const std::string sum = Md5Of(content);
    const std::string b1 = Encoded(content.substr(0, 384));
    const std::string b2 = Encoded(content.substr(384, 384));
    const std::string b3 = Encoded(content.substr(768));
    const std::string all = "1000";
    const std::string p = "old.bin";
    const std::string escape = "zelkor-escape-" + std::to_string(::getpid()) + ".bin";
    const std::vector<BadPut> rows{
        {"wrong checksum", {Begin(p, 1000), Block(1, b1), Block(2, b2), Block(3, b3), kEndOfData,
                            Close(p, all, Md5Of(old))}, "checksum mismatch"},
        {"wrong announced checksum, none at the close", {Begin(p, 1000, 512, Md5Of(old)), Block(1, b1),
                                                          Block(2, b2), Block(3, b3), kEndOfData, Close(p, "", "")},
         "checksum mismatch"},
        {"wrong closing length", {Begin(p, 1000), Block(1, b1), Block(2, b2), Block(3, b3), kEndOfData,
                                  Close(p, "999", sum)}, "length mismatch"},
        {"a close without both after too few bytes", {Begin(p, 1000), Block(1, b1), Block(2, b2), kEndOfData,
                                                      Close(p, "", "")}, "length mismatch"},
        {"bad Base64", {Begin(p, 1000), Block(1, b1), Block(2, "@@@@" + b2.substr(4))}, "invalid block"},
        {"partial Base64", {Begin(p, 1000), Block(1, b1.substr(0, b1.size() - 1))}, "invalid block"},
        {"an oversize block", {Begin(p, 1000), Block(1, Encoded(content.substr(0, 387)))}, "invalid block"},
        {"a skipped number", {Begin(p, 1000), Block(1, b1), Block(3, b2)}, "invalid block"},
        {"a repeated number", {Begin(p, 1000), Block(1, b1), Block(1, b1)}, "invalid block"},
        {"data past the length", {Begin(p, 500), Block(1, b1), Block(2, b2)}, "length mismatch"},
        {"a block after the empty one", {Begin(p, 1000), Block(1, b1), Block(2, b2), kEndOfData, Block(3, b3)},
         "invalid block"},
        {"a parent in the path", {Begin("../" + escape, 1000)}, "path parameter invalid"},
        {"a parent inside the path", {Begin("a/../../" + escape, 1000)}, "path parameter invalid"},
        {"a NUL in the path", {Begin(std::string("old.bin") + '\0' + ".x", 1000)}, "path parameter invalid"},
        {"no length", {R"(putfile {"path":"old.bin","state":"begin"})"}, "length parameter missing"},
        {"length zero", {Begin(p, 0)}, "length parameter invalid"},
    };
    const pid_t pid = raw.device.process.Pid();
    const std::string folder = raw.root.Path().string();
    for (const auto& row : rows) {
        WriteFile(raw.root.File(p), old);
        std::string refused;
        bool blockRefused = false;
        for (const auto& line : row.lines) {
            const Json::Value reply = raw.Exchange(line);
            ASSERT_FALSE(reply.isNull()) << row.name << ": no reply to " << line;
            if (reply.isMember("error")) {
                refused = reply["error"].asString();
                blockRefused = line.rfind("block", 0) == 0;
                if (line.rfind("putfile", 0) == 0) {
                    const bool opening = line.find(R"("state":"begin")") != std::string::npos;
                    EXPECT_EQ(reply["state"], opening ? "begin" : "end") << row.name;
                }
                break;
            }
        }
        EXPECT_EQ(refused, row.error) << row.name;
        if (blockRefused) {
            const Json::Value closed =
                raw.Exchange(R"(putfile {"error":)" + Quoted(refused) + R"(,"path":"old.bin","state":"end"})");
            EXPECT_FALSE(closed["error"].asString().empty()) << row.name;
        }
        EXPECT_EQ(Md5Sum(raw.root.File(p)), Md5Of(old)) << row.name;
        EXPECT_EQ(FolderNames(folder), std::vector<std::string>{p}) << row.name;
        EXPECT_TRUE(WaitUntil([&] { return OpenUnder(pid, folder).empty(); }, std::chrono::seconds(2))) << row.name;

        const Json::Value served = raw.Put(p, content);
        EXPECT_FALSE(served.isMember("error")) << row.name << ": the next put: " << served["error"];
        EXPECT_EQ(Md5Sum(raw.root.File(p)), sum) << row.name;
    }
    EXPECT_FALSE(std::filesystem::exists(raw.root.Path().parent_path() / escape));
    EXPECT_EQ(FolderNames(folder), std::vector<std::string>{p});
    StopCleanly(raw.device.process);
}

// A block with no transfer open is refused and writes nothing; a "putfile" close with
// none open is answered as unexpected. Neither keeps the next put from being served.
TEST(NodeTransferSafety, LinesForNoTransferAreRefused) {
    RawPut raw("stray");
    ASSERT_TRUE(raw.Connect());
    const std::string content = RandomBytes(500, 3);
    const Json::Value block = raw.Exchange(Block(1, Encoded(content.substr(0, 384))));
    ASSERT_FALSE(block.isNull());
    EXPECT_FALSE(block["error"].asString().empty());
    const Json::Value close = raw.Exchange(Close("stray.bin", "500", Md5Of(content)));
    EXPECT_EQ(close["error"], "unexpected reply received");
    EXPECT_TRUE(FolderNames(raw.root.Path().string()).empty());
    EXPECT_FALSE(raw.Put("stray.bin", content).isMember("error"));
    EXPECT_EQ(ReadFile(raw.root.File("stray.bin")), content);
    StopCleanly(raw.device.process);
}

// "blocksize" 2^28 is answered with the device's own 65536, and a block of that size is
// taken; one character more is not.
TEST(NodeTransferSafety, AHugeBlockSizeIsAnsweredWithTheDevicesOwn) {
    RawPut raw("huge");
    ASSERT_TRUE(raw.Connect());
    const std::string content = RandomBytes(49152 + 3, 4);
    const Json::Value opened = raw.Exchange(Begin("huge.bin", content.size(), 268435456));
    EXPECT_FALSE(opened.isMember("error"));
    EXPECT_EQ(opened["blocksize"], 65536);
    EXPECT_EQ(opened["state"], "begin");
    const std::string first = Encoded(content.substr(0, 49152));
    ASSERT_EQ(first.size(), 65536u);
    EXPECT_FALSE(raw.Exchange(Block(1, first)).isMember("error"));
    EXPECT_FALSE(raw.Exchange(Block(2, Encoded(content.substr(49152)))).isMember("error"));
    EXPECT_FALSE(raw.Exchange(kEndOfData).isMember("error"));
    const Json::Value closed = raw.Exchange(Close("huge.bin", std::to_string(content.size()), Md5Of(content)));
    EXPECT_FALSE(closed.isMember("error")) << closed["error"];
    EXPECT_EQ(closed["length"].asUInt64(), content.size());
    EXPECT_EQ(closed["checksum"], Md5Of(content));
    EXPECT_EQ(Md5Sum(raw.root.File("huge.bin")), Md5Of(content));

    ASSERT_FALSE(raw.Exchange(Begin("huge2.bin", 60000, 268435456)).isMember("error"));
    const Json::Value over = raw.Exchange(Block(1, Encoded(content.substr(0, 49155))));
    EXPECT_EQ(over["error"], "invalid block");
    StopCleanly(raw.device.process);
    EXPECT_EQ(FolderNames(raw.root.Path().string()), std::vector<std::string>{"huge.bin"});
}

// With --transfer-count 1, a put opened while another is active is refused with "too
// many transfers"; once the first has ended, it is served.
TEST(NodeTransferSafety, AnOpeningBeyondTheTransferCountIsRefused) {
    RawPut raw("count", {"--transfer-count", "1"});
    ASSERT_TRUE(raw.Connect());
    RawPeer other;
    ASSERT_TRUE(raw.Connect(other));
    const std::string first = RandomBytes(1000, 5);
    const std::string second = RandomBytes(800, 6);
    ASSERT_FALSE(raw.Exchange(Begin("first.bin", first.size())).isMember("error"));
    const Json::Value refused = Exchange(other, Begin("second.bin", second.size()));
    EXPECT_EQ(refused["error"], "too many transfers");
    EXPECT_EQ(refused["state"], "begin");
    EXPECT_FALSE(PutBlocks(raw.peer, "first.bin", first).isMember("error"));
    ASSERT_FALSE(Exchange(other, Begin("second.bin", second.size())).isMember("error"));
    EXPECT_FALSE(PutBlocks(other, "second.bin", second).isMember("error"));
    EXPECT_EQ(ReadFile(raw.root.File("first.bin")), first);
    EXPECT_EQ(ReadFile(raw.root.File("second.bin")), second);
    StopCleanly(raw.device.process);
}

// With --transfer-count 1 and no reply time-out, a peer that opens a put and falls silent
// holds the one slot only for the silence bound (60 s, a twentieth at the tests' timer
// scale): then the put ends with "timeout", no temporary is left and the old file is
// whole, the other peer's put is served, and the silent peer's late block is refused.
TEST(NodeTransferSafety, ASilentPeersPutGivesItsSlotBackAfterTheBound) {
    RawPut raw("silent", {"--transfer-count", "1"});
    ASSERT_TRUE(raw.Connect());
    RawPeer other;
    ASSERT_TRUE(raw.Connect(other));
    const std::string old = RandomBytes(700, 7);
    const std::string content = RandomBytes(1000, 8);
    WriteFile(raw.root.File("silent.bin"), old);
    ASSERT_FALSE(raw.Exchange(Begin("silent.bin", content.size())).isMember("error"));
    ASSERT_FALSE(raw.Exchange(Block(1, Encoded(content.substr(0, 384)))).isMember("error"));
    EXPECT_EQ(Exchange(other, Begin("other.bin", content.size()))["error"], "too many transfers");

    const Json::Value ended = raw.device.process.Await(
        [](const Json::Value& line) { return line["event"] == "transfer" && line["error"] == "timeout"; },
        std::chrono::seconds(30));
    EXPECT_EQ(ended["kind"], "put") << ended;
    EXPECT_EQ(FolderNames(raw.root.Path().string()), std::vector<std::string>{"silent.bin"});
    EXPECT_TRUE(OpenUnder(raw.device.process.Pid(), raw.root.Path().string()).empty());
    EXPECT_EQ(ReadFile(raw.root.File("silent.bin")), old);
    ASSERT_FALSE(Exchange(other, Begin("other.bin", content.size())).isMember("error"));
    EXPECT_FALSE(PutBlocks(other, "other.bin", content).isMember("error"));
    EXPECT_EQ(ReadFile(raw.root.File("other.bin")), content);
    EXPECT_FALSE(raw.Exchange(Block(2, Encoded(content.substr(384, 384))))["error"].asString().empty());
    StopCleanly(raw.device.process);
}

}  // namespace
}  // namespace ZelkorTest
