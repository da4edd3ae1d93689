// A node answering a peer's "putfile", "getfile", "block" and "cancelputfile", scripted
// line by line: a received file replaces its destination only once every byte written is
// proven; anything else leaves the old file and no temporary (hidden or unnamed) behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/post.hpp>
#include <json/value.h>

#include "core/Base64.h"
#include "core/Digest.h"
#include "filetransfer/TransferServiceFixture.h"

namespace ZelkorTest {
namespace {

namespace fs = std::filesystem;

std::string Md5(const std::string& bytes) {
    MD5Digest digest;
    digest.Update(bytes);
    return digest.GetDigest();
}

std::string Block(std::uint64_t number, const std::string& bytes) {
    std::string text;
    Base64::Encode(bytes, text);
    return "block {\"blockno\":" + std::to_string(number) + ",\"data\":\"" + text + "\"}";
}

std::string Payload(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + 7) % 251);
    }
    return bytes;
}

std::set<std::string> NamesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

class AnsweringSide : public TransferServiceFixture {
protected:
    AnsweringSide() {
        service->SetStorageRootPath(dir.Path().string());
        service->OnPutFile([this](Zelkor::PutFileInfo& info) { heard.push_back(info.state + " " + info.error); });
        service->OnGetFile([this](Zelkor::GetFileInfo& info) { heard.push_back(info.state + " " + info.error); });
    }

    // The loop no longer runs: the fixture's Stop need not hop onto it.
    void TearDown() override { io.stop(); }

    // Each line in turn, every reply written before the next (as the peer waits for it).
    void Script(const std::shared_ptr<Zelkor::TcpSocket>& socket, const std::vector<std::string>& lines) {
        for (const auto& line : lines) {
            Receive(socket, line);
            Pump();
        }
    }

    // The text of the first "error" this node sent from line `from` on, "" when none.
    std::string FirstError(std::size_t from) const {
        const auto lines = sender.Lines();
        for (std::size_t i = from; i < lines.size(); ++i) {
            const Json::Value body = BodyOf(lines[i].text);
            if (body.isObject() && body.isMember("error")) {
                return body["error"].asString();
            }
        }
        return std::string();
    }

    bool Closed() {
        return Until([this] {
            const std::string last = sender.Last();
            return last.find("@putfile ") != std::string::npos && BodyOf(last)["state"] == "end";
        });
    }

    std::vector<std::string> heard;
};

TEST_F(AnsweringSide, APutReplacesItsDestinationOnlyWhenEveryByteIsProven) {
    const std::string bytes = Payload(1000);  // blocks of 384 bytes at block size 512: 3 blocks
    const std::string b1 = bytes.substr(0, 384), b2 = bytes.substr(384, 384), b3 = bytes.substr(768);
    const std::string sum = Md5(bytes);
    const std::string begin = R"(putfile {"path":"dest.bin","state":"begin","length":1000,"blocksize":512})";
    const std::string close = R"(putfile {"state":"end","length":1000,"checksum":")" + sum + "\"}";
    std::string upper = sum;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    struct Row {
        const char* name;
        std::vector<std::string> lines;
        const char* error;  // null: installed
    };
    const std::vector<Row> rows = {
        {"proven", {begin, Block(1, b1), Block(2, b2), Block(3, b3), "block {}", close}, nullptr},
        {"no checksum, length matches",
         {begin, Block(1, b1), Block(2, b2), Block(3, b3), R"(putfile {"state":"end","length":1000})"}, nullptr},
        {"checksum in capitals", {begin, Block(1, b1), Block(2, b2), Block(3, b3), R"(putfile {"state":"end","checksum":")" + upper + "\"}"}, nullptr},
        {"wrong checksum",
         {begin, Block(1, b1), Block(2, b2), Block(3, b3), R"(putfile {"state":"end","checksum":")" + Md5("x") + "\"}"},
         "checksum mismatch"},
        // What a peer whose digest was lost sent: no digest, not "none given".
        {"empty checksum", {begin, Block(1, b1), Block(2, b2), Block(3, b3), R"(putfile {"state":"end","checksum":""})"},
         "checksum mismatch"},
        {"wrong closing length", {begin, Block(1, b1), Block(2, b2), Block(3, b3), R"(putfile {"state":"end","length":999})"},
         "length mismatch"},
        {"close without both after too few bytes", {begin, Block(1, b1), Block(2, b2), R"(putfile {"state":"end"})"},
         "length mismatch"},
        {"bad Base64", {begin, Block(1, b1), R"(block {"blockno":2,"data":"QUJD!!!!"})"}, "invalid block"},
        {"partial Base64", {begin, Block(1, b1), R"(block {"blockno":2,"data":"QUJDR"})"}, "invalid block"},
        {"oversize block", {begin, Block(1, bytes.substr(0, 387))}, "invalid block"},
        {"skipped number", {begin, Block(1, b1), Block(3, b2)}, "invalid block"},
        {"repeated number", {begin, Block(1, b1), Block(1, b1)}, "invalid block"},
        {"data past the length",
         {R"(putfile {"path":"dest.bin","state":"begin","length":500,"blocksize":512})", Block(1, b1), Block(2, b2)},
         "length mismatch"},
        {"block after an empty one", {begin, Block(1, b1), "block {}", Block(2, b2)}, "invalid block"},
        {"parent path", {R"(putfile {"path":"../dest.bin","state":"begin","length":1000})"}, "path parameter invalid"},
        {"NUL in path", {R"(putfile {"path":"dest.bin\u0000x","state":"begin","length":1000})"}, "path parameter invalid"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir folder;
        service->SetStorageRootPath(folder.Path().string());
        WriteFile(folder.File("dest.bin"), "old content");
        heard.clear();
        const std::size_t from = sender.Count();
        const auto peer = NewSocket();
        Script(peer, row.lines);
        if (row.error) {
            EXPECT_EQ(FirstError(from), row.error);
            EXPECT_EQ(ReadFile(folder.File("dest.bin")), "old content");
        } else {
            ASSERT_TRUE(Closed());
            const Json::Value reply = BodyOf(sender.Last());
            EXPECT_FALSE(reply.isMember("error")) << sender.Last();
            EXPECT_EQ(reply["checksum"], sum);
            EXPECT_EQ(reply["length"], 1000);
            EXPECT_EQ(ReadFile(folder.File("dest.bin")), bytes);
            EXPECT_EQ(heard, (std::vector<std::string>{"begin ", "end "}));
        }
        EXPECT_EQ(NamesIn(folder.Path()), std::set<std::string>{"dest.bin"});
        EXPECT_EQ(OpenFilesUnder(folder.Path()), 0);
        EXPECT_EQ(service->ActiveCount(), 0u);
        EXPECT_FALSE(peer->Transferring());
    }
}

TEST_F(AnsweringSide, AFailedPutClosesWithThisSidesCountAndDigestAndTheNextIsServedUnpaced) {
    const auto peer = NewSocket();
    const std::string bytes = Payload(10);
    Script(peer, {R"(putfile {"path":"f","state":"begin","length":20})", Block(1, bytes), "block {}",
                  R"(putfile {"state":"end","length":10})"});
    const Json::Value reply = BodyOf(sender.Last());
    EXPECT_EQ(reply["error"], "length mismatch");
    EXPECT_EQ(reply["state"], "end");
    EXPECT_EQ(reply["length"], 10);
    EXPECT_EQ(reply["checksum"], Md5(bytes));
    EXPECT_EQ(heard, (std::vector<std::string>{"begin ", "end length mismatch"}));
    EXPECT_FALSE(fs::exists(dir.File("f")));

    // A peer that does not wait for the replies: each block still reaches the file, in order.
    for (const std::string& line : {std::string(R"(putfile {"path":"f","state":"begin","length":10})"),
                                    Block(1, bytes.substr(0, 4)), Block(2, bytes.substr(4)),
                                    std::string(R"(putfile {"state":"end","length":10})")}) {
        Receive(peer, line);
    }
    ASSERT_TRUE(Closed());
    EXPECT_EQ(ReadFile(dir.File("f")), bytes);
}

TEST_F(AnsweringSide, OpeningsAreRefusedWithTheirTextsAndState) {
    WriteFile(dir.File("empty"), "");
    WriteFile(dir.File("full"), "abc");
    fs::create_directory(dir.Path() / "folder");
    struct Row {
        std::string line;
        const char* error;
        const char* state;
    };
    const Row rows[] = {
        {R"(putfile {"path":"a","length":1})", "state parameter missing", "begin"},
        {R"(putfile {"path":"a","state":"go","length":1})", "state parameter invalid", "begin"},
        {R"(putfile {"path":"a","state":"begin"})", "length parameter missing", "begin"},
        {R"(putfile {"path":"a","state":"begin","length":0})", "length parameter invalid", "begin"},
        {R"(putfile {"path":"a","state":"begin","length":-5})", "length parameter invalid", "begin"},
        {R"(putfile {"state":"begin","length":1})", "path parameter missing", "begin"},
        {R"(putfile {"path":"","state":"begin","length":1})", "path parameter invalid", "begin"},
        {R"(putfile {"path":"folder","state":"begin","length":1})", "source is a folder", "begin"},
        {R"(putfile {"path":"none/a","state":"begin","length":1})", "cannot open file", "begin"},
        {R"(putfile {"state":"end","length":1})", "unexpected reply received", "end"},
        {R"(getfile {"path":"missing","state":"begin"})", "file is missing", "end"},
        {R"(getfile {"path":"empty","state":"begin"})", "local file is empty", "end"},
        {R"(getfile {"path":"folder","state":"begin"})", "source is a folder", "end"},
        {R"(getfile {"path":"a/../full","state":"begin"})", "path parameter invalid", "end"},
        {R"(getfile {"state":"begin"})", "path parameter missing", "end"},
        {R"(getfile {"path":"full","state":"end"})", "unexpected reply received", "end"},
    };
    const auto peer = NewSocket();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        Receive(peer, row.line);
        const Json::Value reply = BodyOf(sender.Last());
        EXPECT_EQ(reply["error"], row.error);
        EXPECT_EQ(reply["state"], row.state);
    }
    EXPECT_EQ(service->ActiveCount(), 0u);
    EXPECT_TRUE(heard.empty());
    EXPECT_EQ(NamesIn(dir.Path()), (std::set<std::string>{"empty", "full", "folder"}));
}

// Links in the storage root: one that leads out of it is refused, in a folder on the way
// or in the last place, and nothing is written or read outside; one within it works.
TEST_F(AnsweringSide, LinksOutOfTheRootAreRefusedAndLinksWithinItFollowed) {
    TempDir outside;
    WriteFile(outside.File("secret"), "outside");
    fs::create_directory_symlink(outside.Path(), dir.Path() / "out");
    fs::create_symlink(outside.File("secret"), dir.Path() / "secret");
    fs::create_directory(dir.Path() / "sub");
    fs::create_directory_symlink("sub", dir.Path() / "in");
    const auto put = [this](const std::string& path) {
        const std::size_t from = sender.Count();
        Script(NewSocket(), {R"(putfile {"path":")" + path + R"(","state":"begin","length":3})", Block(1, "abc"),
                             "block {}", R"(putfile {"state":"end","length":3})"});
        EXPECT_TRUE(Closed());
        return FirstError(from);
    };
    EXPECT_EQ(put("out/new"), "path parameter invalid");
    for (const char* line : {R"(getfile {"path":"out/secret","state":"begin"})",
                             R"(getfile {"path":"secret","state":"begin"})"}) {
        Script(NewSocket(), {line});
        EXPECT_EQ(BodyOf(sender.Last())["error"], "path parameter invalid") << line;
    }
    EXPECT_EQ(NamesIn(outside.Path()), std::set<std::string>{"secret"});
    EXPECT_EQ(ReadFile(outside.File("secret")), "outside");
    EXPECT_EQ(service->ActiveCount(), 0u);

    EXPECT_EQ(put("in/new"), "");
    EXPECT_EQ(ReadFile(dir.File("sub/new")), "abc");
    Receive(NewSocket(), R"(getfile {"path":"in/new","state":"begin"})");
    EXPECT_EQ(BodyOf(Pump().front().text)["length"], 3);
}

TEST_F(AnsweringSide, BlockSizeIsTheSmallerOfAskedAndOwnAndOpeningsStopAtTheTransferCount) {
    const auto peer = NewSocket();
    Receive(peer, R"(putfile {"path":"a","state":"begin","length":5,"blocksize":268435456})");
    EXPECT_EQ(BodyOf(sender.Last())["blocksize"], 65536);
    service->SetFileTransferCount(1);
    Receive(NewSocket(), R"(putfile {"path":"b","state":"begin","length":5})");
    EXPECT_EQ(BodyOf(sender.Last())["error"], "too many transfers");
    WriteFile(dir.File("c"), "abc");
    Receive(NewSocket(), R"(getfile {"path":"c","state":"begin"})");
    EXPECT_EQ(BodyOf(sender.Last())["error"], "too many transfers");
    EXPECT_EQ(BodyOf(sender.Last())["state"], "end");
    // The same peer opening again meets its own transfer, which is not awaiting that.
    Receive(peer, R"(putfile {"path":"a","state":"begin","length":5})");
    EXPECT_EQ(BodyOf(sender.Last())["error"], "unexpected reply received");
    EXPECT_EQ(service->ActiveCount(), 1u);
    EXPECT_TRUE(peer->Transferring());
}

TEST_F(AnsweringSide, ARoutedRequestMeetsOnlyItsSourcesTransfer) {
    const auto router = NewSocket();
    Receive(router, R"([dev][one] putfile {"path":"a","state":"begin","length":3})");
    Receive(router, R"([dev][two] putfile {"path":"b","state":"begin","length":3})");
    EXPECT_EQ(service->ActiveCount(), 2u);
    Receive(router, "[dev][two] " + Block(1, "two"));
    Pump();
    Receive(router, R"([dev][two] putfile {"state":"end","length":3})");
    ASSERT_TRUE(Closed());
    EXPECT_EQ(sender.Last().rfind("[two][dev] @putfile", 0), 0u) << sender.Last();
    EXPECT_EQ(ReadFile(dir.File("b")), "two");
    EXPECT_FALSE(fs::exists(dir.File("a")));
    EXPECT_EQ(service->ActiveCount(), 1u);
    // Routed transfers share the router's connection without marking it.
    EXPECT_FALSE(router->Transferring());
}

// Behind a router a requester restarted under its name is the same peer as its former
// self. While its transfer here is live, a new request of that route is refused and the
// transfer goes on; once that transfer has been silent past the reopen quiet, a new
// request ends it ("timeout", its temporary gone) and takes its place. Another
// requester's transfer on the same connection, as silent, is not touched.
TEST_F(AnsweringSide, ANewRequestOfTheSameRouteEndsOnlyATransferLeftQuiet) {
    using Clock = Zelkor::TransferClock;
    service->SetReopenQuiet(std::chrono::hours(1));
    WriteFile(dir.File("a"), "old");
    const auto router = NewSocket();
    const std::string openA = R"([dev][rt&ctl] putfile {"path":"a","state":"begin","length":6})";
    Script(router, {R"([dev][rt&other] putfile {"path":"b","state":"begin","length":3})", openA,
                    "[dev][rt&ctl] " + Block(1, "abc")});
    Receive(router, R"([dev][rt&ctl] putfile {"path":"c","state":"begin","length":3})");
    EXPECT_EQ(BodyOf(sender.Last())["error"], "unexpected reply received");
    Script(router, {"[dev][rt&ctl] " + Block(2, "def"), R"([dev][rt&ctl] putfile {"state":"end","length":6})"});
    ASSERT_TRUE(Closed());
    EXPECT_EQ(ReadFile(dir.File("a")), "abcdef");

    service->SetReopenQuiet(std::chrono::milliseconds(50));
    Script(router, {openA, "[dev][rt&ctl] " + Block(1, "ghi")});
    const auto lastLine = Clock::now();
    ASSERT_TRUE(Until([&] { return Clock::now() - lastLine > std::chrono::milliseconds(100); }));
    heard.clear();
    Receive(router, R"([dev][rt&ctl] putfile {"path":"c","state":"begin","length":3})");
    EXPECT_FALSE(BodyOf(sender.Last()).isMember("error")) << sender.Last();
    EXPECT_EQ(heard, (std::vector<std::string>{"begin timeout", "begin "}));
    EXPECT_EQ(ReadFile(dir.File("a")), "abcdef");
    EXPECT_EQ(service->ActiveCount(), 2u) << "the other requester's put and the new one";
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 2) << "their temporaries alone";
}

// A requester whose put was ended for it by its router (the device frozen past the
// router's bound on a block) cancels it, and its next opening is taken at once, however
// lately its last line came: the cancelled put ends as cancelled, its temporary gone.
// Before, the put held the route until the silence bound, and the opening was refused.
// A cancel holds for the requester that sent it, not for another on the same connection.
TEST_F(AnsweringSide, ACancelledTransferGivesWayAtOnceToItsRequestersNextOpening) {
    service->SetReopenQuiet(std::chrono::hours(1));
    WriteFile(dir.File("a"), "old");
    const auto router = NewSocket();
    Script(router, {R"([dev][rt&other] putfile {"path":"b","state":"begin","length":3})",
                    R"([dev][rt&ctl] putfile {"path":"a","state":"begin","length":6})",
                    "[dev][rt&ctl] " + Block(1, "abc"), "[dev][rt&other] cancelputfile"});
    Receive(router, R"([dev][rt&ctl] putfile {"path":"c","state":"begin","length":3})");
    EXPECT_EQ(BodyOf(sender.Last())["error"], "unexpected reply received");

    Script(router, {"[dev][rt&ctl] cancelputfile"});
    EXPECT_EQ(sender.Last(), "[rt&ctl][dev] @cancelputfile\n");
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 0) << "both cancelled puts' temporaries gone at once";
    heard.clear();
    Receive(router, R"([dev][rt&ctl] putfile {"path":"c","state":"begin","length":3})");
    EXPECT_FALSE(BodyOf(sender.Last()).isMember("error")) << sender.Last();
    EXPECT_EQ(heard, (std::vector<std::string>{"begin transfer canceled", "begin "}));
    Script(router, {"[dev][rt&ctl] " + Block(1, "xyz"), R"([dev][rt&ctl] putfile {"state":"end","length":3})"});
    ASSERT_TRUE(Closed());
    EXPECT_EQ(ReadFile(dir.File("c")), "xyz");
    EXPECT_EQ(ReadFile(dir.File("a")), "old");
    EXPECT_EQ(service->ActiveCount(), 1u) << "the other requester's put";
}

// The node hears that a requester behind a router is gone (the router's word, a
// goodbye): that requester's transfers answered here end at once, the others on the
// router's connection go on.
TEST_F(AnsweringSide, TransfersOfARequesterGoneBehindItsRouterEndAtOnce) {
    WriteFile(dir.File("src"), Payload(3000));
    const auto router = NewSocket();
    Script(router, {R"([dev][rt&ctl] getfile {"path":"src","state":"begin","blocksize":512})",
                    R"([dev][rt&other] putfile {"path":"b","state":"begin","length":3})"});
    service->RequesterGone(router.get(), "ctl");
    ASSERT_TRUE(Until([&] { return service->ActiveCount() == 1; }));
    EXPECT_EQ(heard, (std::vector<std::string>{"begin ", "begin ", "begin end-point disconnected"}));

    Script(router, {"[dev][rt&other] " + Block(1, "xyz")});
    service->RequesterGone(router.get(), "other");
    ASSERT_TRUE(Until([&] { return service->ActiveCount() == 0; }));
    EXPECT_EQ(heard.size(), 4u);
    EXPECT_EQ(heard.back(), "begin end-point disconnected");
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 0);
    EXPECT_EQ(NamesIn(dir.Path()), std::set<std::string>{"src"});
}

TEST_F(AnsweringSide, CancelEndsOnlyTheRequestersTransfers) {
    const auto first = NewSocket();
    const auto second = NewSocket();
    Receive(first, R"(putfile {"path":"a","state":"begin","length":6})");
    Receive(second, R"(putfile {"path":"b","state":"begin","length":6})");
    Receive(first, R"([dev][ctl] putfile {"path":"c","state":"begin","length":6})");
    Script(first, {"[dev][ctl] cancelputfile"});
    EXPECT_EQ(sender.Last(), "[ctl][dev] @cancelputfile\n");
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 2) << "the other requesters' temporaries alone";
    Script(first, {"[dev][ctl] " + Block(1, "abc")});
    EXPECT_EQ(BodyOf(sender.Last())["error"], "Transfer canceled");
    Script(second, {Block(1, "abc")});
    Script(first, {Block(1, "abc")});
    EXPECT_FALSE(BodyOf(sender.Last()).isMember("error"));
    EXPECT_EQ(service->ActiveCount(), 2u);
    EXPECT_EQ(heard.back(), "begin transfer canceled");
    EXPECT_FALSE(fs::exists(dir.File("c")));
}

TEST_F(AnsweringSide, AServedGetSendsItsBlocksAheadAndClosesWithItsDigest) {
    const std::string bytes = Payload(1000);
    WriteFile(dir.File("src"), bytes);
    const auto peer = NewSocket();
    Receive(peer, R"(getfile {"path":"src","state":"begin","blocksize":512})");
    auto lines = Pump();
    ASSERT_EQ(lines.size(), 2u);
    const Json::Value begun = BodyOf(lines[0].text);
    EXPECT_EQ(begun["length"], 1000);
    EXPECT_EQ(begun["blocksize"], 512);
    std::string received;
    for (int guard = 0; guard < 10; ++guard) {
        const std::string line = sender.Last();
        ASSERT_EQ(line.rfind("block ", 0), 0u) << line;
        const Json::Value block = BodyOf(line);
        if (!block.isMember("blockno")) {
            break;
        }
        std::string text = block["data"].asString();
        unsigned long length = text.size();
        received += Base64::Decode(text, length);
        Receive(peer, "@block {\"blockno\":" + std::to_string(block["blockno"].asUInt64()) + "}");
        Pump();
    }
    EXPECT_EQ(received, bytes);
    Receive(peer, "@block {}");
    Receive(peer, R"(getfile {"state":"end","length":1000,"checksum":")" + Md5(bytes) + "\"}");
    const Json::Value closed = BodyOf(sender.Last());
    EXPECT_FALSE(closed.isMember("error")) << sender.Last();
    EXPECT_EQ(closed["checksum"], Md5(bytes));
    EXPECT_EQ(heard, (std::vector<std::string>{"begin ", "end "}));
    EXPECT_EQ(service->ActiveCount(), 0u);
    EXPECT_FALSE(peer->Transferring());
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 0);
}

// This side's digest lost to a worker stopped with a block waiting: a put is not
// installed though the peer's close asks for no digest check, a served get closes with
// the error, and neither reply carries an empty checksum.
TEST_F(AnsweringSide, ATransferWhoseDigestIsLostFailsAndInstallsNothing) {
    const std::string bytes = Payload(1000);
    for (const bool put : {true, false}) {
        SCOPED_TRACE(put ? "put" : "get");
        service = std::make_shared<Zelkor::FileTransferService>(&sender, &devices, nullptr, io);
        service->SetStorageRootPath(dir.Path().string());
        service->OnPutFile([this](Zelkor::PutFileInfo& info) { heard.push_back(info.error); });
        service->OnGetFile([this](Zelkor::GetFileInfo& info) { heard.push_back(info.error); });
        WriteFile(dir.File("f"), put ? "old content" : bytes);
        const auto peer = NewSocket();
        const std::string begin = put ? R"(putfile {"path":"f","state":"begin","length":1000,"blocksize":512})"
                                      : R"(getfile {"path":"f","state":"begin","blocksize":512})";
        {
            HeldDigestWorker held(*service);
            ASSERT_TRUE(held.Held());
            // A put's block 1 is digested once written, when block 2 is answered; a served
            // get's blocks 1 and 2 are read at its opening.
            Script(peer, put ? std::vector<std::string>{begin, Block(1, bytes.substr(0, 384)),
                                                        Block(2, bytes.substr(384, 384))}
                             : std::vector<std::string>{begin});
            held.Lose();
        }
        if (put) {
            Script(peer, {Block(3, bytes.substr(768)), "block {}", R"(putfile {"state":"end","length":1000})"});
        } else {
            Script(peer, {R"(@block {"blockno":1})", R"(@block {"blockno":2})", R"(@block {"blockno":3})",
                          "@block {}", R"(getfile {"state":"end","length":1000,"checksum":")" + Md5(bytes) + "\"}"});
        }
        const Json::Value reply = BodyOf(sender.Last());
        EXPECT_EQ(reply["error"], "checksum unavailable") << sender.Last();
        EXPECT_FALSE(reply.isMember("checksum"));
        EXPECT_EQ(heard.back(), "checksum unavailable");
        EXPECT_EQ(ReadFile(dir.File("f")), put ? "old content" : bytes);
        EXPECT_EQ(NamesIn(dir.Path()), std::set<std::string>{"f"});
        EXPECT_EQ(OpenFilesUnder(dir.Path()), 0);
        EXPECT_EQ(service->ActiveCount(), 0u);
    }
}

TEST_F(AnsweringSide, APutWhoseFileIsBeingInstalledStillCountsAndIsAnsweredOnceInstalled) {
    const std::string bytes = Payload(10);
    service->SetFileTransferCount(1);
    const auto peer = NewSocket();
    Script(peer, {R"(putfile {"path":"f","state":"begin","length":10})", Block(1, bytes), "block {}",
                  R"(putfile {"state":"end","length":10,"checksum":")" + Md5(bytes) + "\"}"});
    // The install's result has not come back to the loop: the transfer still counts, and
    // its connection still carries it.
    EXPECT_EQ(service->ActiveCount(), 1u);
    EXPECT_TRUE(peer->Transferring());
    Receive(NewSocket(), R"(putfile {"path":"g","state":"begin","length":5})");
    EXPECT_EQ(BodyOf(sender.Last())["error"], "too many transfers");
    // A repeated close or a stray block neither closes it twice nor undoes the proven file.
    Receive(peer, R"(putfile {"state":"end","length":10})");
    EXPECT_EQ(BodyOf(sender.Last())["error"], "unexpected reply received");
    Receive(peer, Block(2, "x"));
    EXPECT_EQ(BodyOf(sender.Last())["error"], "invalid block");
    ASSERT_TRUE(Closed());
    EXPECT_FALSE(BodyOf(sender.Last()).isMember("error")) << sender.Last();
    EXPECT_EQ(ReadFile(dir.File("f")), bytes);
    EXPECT_EQ(heard, (std::vector<std::string>{"begin ", "end "}));
    EXPECT_EQ(service->ActiveCount(), 0u);
    EXPECT_FALSE(peer->Transferring());
}

TEST_F(AnsweringSide, AStopDuringTheInstallStillGivesThePeerItsClosingReply) {
    const std::string bytes = Payload(10);
    WriteFile(dir.File("f"), "old content");
    const auto peer = NewSocket();
    Script(peer, {R"(putfile {"path":"f","state":"begin","length":10})", Block(1, bytes), "block {}",
                  R"(putfile {"state":"end","length":10})"});
    heard.clear();
    boost::asio::post(io, [this] { service->Stop(); });
    ASSERT_TRUE(Closed());
    // Whichever came first, the reply tells what stands on disk; the stop reports nothing.
    const Json::Value reply = BodyOf(sender.Last());
    if (reply.isMember("error")) {
        EXPECT_EQ(reply["error"], "Transfer canceled");
        EXPECT_EQ(ReadFile(dir.File("f")), "old content");
    } else {
        EXPECT_EQ(ReadFile(dir.File("f")), bytes);
    }
    EXPECT_TRUE(heard.empty());
    EXPECT_EQ(service->ActiveCount(), 0u);
    EXPECT_EQ(NamesIn(dir.Path()), std::set<std::string>{"f"});
    EXPECT_TRUE(Until([this] { return OpenFilesUnder(dir.Path()) == 0; }));
}

TEST_F(AnsweringSide, AFileShortenedWhileServedEndsTheGet) {
    WriteFile(dir.File("src"), Payload(2000));
    const auto peer = NewSocket();
    Receive(peer, R"(getfile {"path":"src","state":"begin","blocksize":512})");
    Pump();
    ASSERT_EQ(truncate(dir.File("src").c_str(), 500), 0);
    for (int number = 1; number <= 2; ++number) {
        Receive(peer, "@block {\"blockno\":" + std::to_string(number) + "}");
        Pump();
    }
    EXPECT_EQ(BodyOf(sender.Last()), BodyOf(R"({"error":"length mismatch"})")) << sender.Last();
    Receive(peer, R"(getfile {"state":"end","error":"length mismatch"})");
    EXPECT_EQ(BodyOf(sender.Last())["error"], "length mismatch");
    EXPECT_EQ(heard, (std::vector<std::string>{"begin ", "end length mismatch"}));
    EXPECT_EQ(service->ActiveCount(), 0u);
}

}  // namespace
}  // namespace ZelkorTest
