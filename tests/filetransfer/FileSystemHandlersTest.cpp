// A device answering "deletefile", "listfiles", "freespace", "mkdir", "rmdir" and
// "fwupdate" in process, over a temporary folder and the recording sender.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <set>
#include <stdexcept>
#include <utility>

#include <boost/asio/steady_timer.hpp>

#include "device/IDeviceState.h"
#include "filetransfer/DiskJobShares.h"
#include "filetransfer/FileSystemPaths.h"
#include "storage/RequestBound.h"
#include "support/FirmwareHost.h"
#include "support/LogCapture.h"
#include "TransferServiceFixture.h"

namespace {

using namespace ZelkorTest;
namespace sfs = std::filesystem;

void WriteFile(const sfs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

class FileSystemHandlers : public TransferServiceFixture {
protected:
    // Sends a request on the connection and returns the body of the reply it brought.
    Json::Value Ask(const std::shared_ptr<Zelkor::TcpSocket>& socket, const std::string& line) {
        const std::size_t before = LinesOn(socket).size();
        Receive(socket, line);
        if (!Until([&] { return LinesOn(socket).size() > before; })) {
            ADD_FAILURE() << "no reply to " << line;
            return Json::Value();
        }
        const auto lines = LinesOn(socket);
        EXPECT_EQ(lines.size(), before + 1) << line;
        return BodyOf(lines.back());
    }
    std::string Path(const std::string& name) const { return (dir.Path() / name).string(); }
    std::string Req(const std::string& word, const std::string& path) const {
        Json::Value body(Json::objectValue);
        body["path"] = path;
        return word + " " + Zelkor::WriteCompactJson(body);
    }
};

TEST_F(FileSystemHandlers, EachWordAnswersItsCasesWithItsTexts) {
    sfs::create_directories(dir.Path() / "folder" / "inner");
    WriteFile(dir.Path() / "folder" / "a.txt", "abc");
    WriteFile(dir.Path() / "file", "x");
    sfs::create_directories(dir.Path() / "full" / "deep");
    WriteFile(dir.Path() / "full" / "deep" / "f", "y");
    sfs::create_directories(dir.Path() / "target");
    WriteFile(dir.Path() / "target" / "keep", "k");
    sfs::create_directory_symlink(dir.Path() / "target", dir.Path() / "link");
    sfs::create_directories(dir.Path() / "empty");
    WriteFile(dir.Path() / "gone", "g");
    const auto peer = NewSocket();

    struct Case {
        std::string word;
        std::string path;
        const char* error;  // null: no "error"
    };
    const std::vector<Case> cases = {
        {"deletefile", "folder", "Path is a folder. Try rmdir"},
        {"deletefile", "missing", "File not found"},
        {"deletefile", "gone", nullptr},
        {"listfiles", "file", "Path is a file"},
        {"listfiles", "missing", "Path not found"},
        {"listfiles", "", "Path is missing"},
        {"freespace", "missing/x", "Path not found or Access denied"},
        {"freespace", "", "Path is missing"},
        {"freespace", "folder", nullptr},
        {"mkdir", "folder", "Path already exists"},
        {"mkdir", "new/two/three", nullptr},
        {"mkdir", "", "Path is required"},
        {"rmdir", "file", "Path is required or path is not a directory"},
        {"rmdir", "missing", "Path is required or path is not a directory"},
        {"rmdir", "", "Path is required or path is not a directory"},
        {"rmdir", "full", nullptr},
        {"rmdir", "link", nullptr},
        {"deletefile", "../x", "Path not allowed"},
        {"listfiles", "a/../../b", "Path not allowed"},
        {"mkdir", "..", "Path not allowed"},
        {"rmdir", "/..", "Path not allowed"},
        {"rmdir", "//", "Path not allowed"},
    };
    LogCapture log;
    for (const auto& c : cases) {
        const std::string path = c.path.empty() || c.path.find("..") != std::string::npos || c.path[0] == '/'
                                     ? c.path
                                     : Path(c.path);
        const Json::Value body = Ask(peer, Req(c.word, path));
        const std::string what = c.word + " " + c.path;
        if (c.error) {
            EXPECT_EQ(body["error"].asString(), c.error) << what;
        } else {
            EXPECT_FALSE(body.isMember("error")) << what << ": " << body;
        }
        if (c.word == "freespace" && !c.error) {
            EXPECT_GT(std::stoull(body["size"].asString()), 0u) << what;
        }
        if (c.word == "deletefile") {
            EXPECT_FALSE(body.isMember("path")) << what;
        }
    }
    EXPECT_TRUE(sfs::is_directory(dir.Path() / "folder"));
    EXPECT_FALSE(sfs::exists(dir.Path() / "gone"));
    EXPECT_TRUE(sfs::is_directory(dir.Path() / "new" / "two" / "three"));
    EXPECT_FALSE(sfs::exists(dir.Path() / "full"));
    // The link went, never what it pointed at.
    EXPECT_FALSE(sfs::exists(sfs::symlink_status(dir.Path() / "link")));
    EXPECT_TRUE(sfs::exists(dir.Path() / "target" / "keep"));
    EXPECT_TRUE(log.Contains("ZK7921E HandleDelete failed trying to delete folder"));
    EXPECT_TRUE(log.Contains("ZK7920E HandleDelete failed calling fs::exists"));
    EXPECT_TRUE(log.Contains("ZK7924E MKDIR: Create_directory failed"));
    EXPECT_TRUE(log.Contains("ZK7973W File-system path not allowed"));

    // A listing: folders without checksum, files with their digest and times.
    const Json::Value listing = Ask(peer, Req("listfiles", Path("folder")));
    ASSERT_TRUE(listing["files"].isArray()) << listing;
    ASSERT_EQ(listing["files"].size(), 2u);
    EXPECT_EQ(listing["path"].asString(), Path("folder"));
    for (const auto& entry : listing["files"]) {
        if (entry["name"] == "inner") {
            EXPECT_TRUE(entry["checksum"].isNull());
        } else {
            EXPECT_EQ(entry["name"].asString(), "a.txt");
            EXPECT_EQ(entry["size"].asUInt64(), 3u);
            EXPECT_EQ(entry["checksum"].asString(), "900150983cd24fb0d6963f7d28e17f72");
            EXPECT_TRUE(entry["modifieddate"].isUInt64());
            EXPECT_TRUE(entry["readonly"].isNull());
        }
    }
    const Json::Value none = Ask(peer, Req("listfiles", Path("empty")));
    EXPECT_TRUE(none["files"].isArray() && none["files"].empty()) << none;
}

TEST_F(FileSystemHandlers, APathGuardRefusesClimbingNulAndTheRootForRemoval) {
    using Zelkor::FileSystemPathAllowed;
    EXPECT_FALSE(FileSystemPathAllowed("a/../b", false, false));
    EXPECT_TRUE(FileSystemPathAllowed("a/../b", true, false));
    EXPECT_FALSE(FileSystemPathAllowed(std::string_view("a\0b", 3), true, false));
    EXPECT_TRUE(FileSystemPathAllowed("/etc/x", false, true));
    for (const char* root : {"/", "//", "/.", "/..", "/a/..", "/./a/../"}) {
        EXPECT_FALSE(FileSystemPathAllowed(root, true, true)) << root;
        EXPECT_EQ(Zelkor::NormalPath(root), "/") << root;
    }
    EXPECT_TRUE(FileSystemPathAllowed("/", false, false));
    EXPECT_EQ(Zelkor::NormalPath("/a//b/./c/.."), "/a/b");
    EXPECT_EQ(Zelkor::NormalPath("x"), (sfs::current_path() / "x").string());

    // A name that reaches the root through a link is the root.
    EXPECT_FALSE(FileSystemPathAllowed("/proc/self/root/", false, true));
    EXPECT_FALSE(FileSystemPathAllowed("/proc/self/root", false, true));
    EXPECT_TRUE(FileSystemPathAllowed("/proc/self/root", false, false));

    // A NUL written into the request's JSON is seen by every word, though the C string
    // ends before it: cut there, it would name another file.
    WriteFile(dir.Path() / "keep.txt", "k");
    const auto peer = NewSocket();
    for (const std::string word : {"mkdir", "deletefile", "listfiles", "rmdir", "freespace"}) {
        const std::string name = word == "mkdir" ? "a" : word == "listfiles" || word == "rmdir" ? "" : "keep.txt";
        const Json::Value body = Ask(peer, word + " {\"path\":\"" + Path(name) + "\\u0000.bak\"}");
        EXPECT_EQ(body["error"].asString(), "Path not allowed") << word;
    }
    EXPECT_FALSE(sfs::exists(dir.Path() / "a"));
    EXPECT_TRUE(sfs::exists(dir.Path() / "keep.txt"));
    EXPECT_TRUE(sfs::exists(dir.Path()));
}

TEST_F(FileSystemHandlers, ARemovalNamesTheLinkHoweverItEnds) {
    sfs::create_directories(dir.Path() / "target" / "sub");
    WriteFile(dir.Path() / "target" / "keep", "k");
    const auto peer = NewSocket();
    for (const std::string end : {"/", "/.", "//"}) {
        sfs::create_directory_symlink(dir.Path() / "target", dir.Path() / "link");
        const Json::Value body = Ask(peer, Req("rmdir", Path("link") + end));
        EXPECT_FALSE(body.isMember("error")) << end << " " << body;
        EXPECT_FALSE(sfs::is_symlink(sfs::symlink_status(dir.Path() / "link"))) << end;
        EXPECT_TRUE(sfs::exists(dir.Path() / "target" / "keep")) << end;
        EXPECT_TRUE(sfs::exists(dir.Path() / "target" / "sub")) << end;
    }
}

// Confined, the words take every path below the storage root and never leave it: not by
// an absolute path, not through a link, and a removal follows no link inside the tree
// either; without a root they refuse everything. Off, as by default, they reach the host.
TEST_F(FileSystemHandlers, ConfinedTheWordsStayBeneathTheRoot) {
    const sfs::path root = sfs::canonical(dir.Path()) / "root";
    const sfs::path host = sfs::canonical(dir.Path()) / "host";
    sfs::create_directories(root / "sub");
    sfs::create_directories(root / "tree" / "deeper");
    sfs::create_directories(host / "keep");
    WriteFile(root / "sub" / "a.txt", "abc");
    WriteFile(host / "victim", "v");
    WriteFile(host / "keep" / "k", "k");
    sfs::create_directory_symlink(root / "sub", root / "absin");
    sfs::create_directory_symlink(host, root / "out");
    sfs::create_directory_symlink(host / "keep", root / "tree" / "deeper" / "away");
    const auto peer = NewSocket();
    EXPECT_FALSE(service->GetFileSystemConfined());
    EXPECT_FALSE(Ask(peer, Req("mkdir", (host / "made").string())).isMember("error"));
    EXPECT_TRUE(sfs::is_directory(host / "made"));

    service->SetFileSystemConfined(true);
    EXPECT_EQ(Ask(peer, Req("listfiles", "/"))["error"].asString(), "Path not allowed");
    ASSERT_EQ(service->SetStorageRootPath(root.string()), "");
    struct Case {
        std::string word;
        std::string path;
        const char* error;  // null: no "error"
    };
    const std::vector<Case> cases = {
        {"deletefile", (host / "victim").string(), "File not found"},
        {"deletefile", "/", "Path is a folder. Try rmdir"},
        {"mkdir", (host / "made2").string(), nullptr},
        {"mkdir", "//", "Path already exists"},
        {"rmdir", "/", "Path not allowed"},
        {"rmdir", "out", "Path is required or path is not a directory"},
        {"rmdir", "tree", nullptr},
        {"freespace", "out", "Path not allowed"},
        {"deletefile", "/absin/a.txt", nullptr},
    };
    for (const auto& c : cases) {
        const Json::Value body = Ask(peer, Req(c.word, c.path));
        if (c.error) {
            EXPECT_EQ(body["error"].asString(), c.error) << c.word << " " << c.path;
        } else {
            EXPECT_FALSE(body.isMember("error")) << c.word << " " << c.path << ": " << body;
        }
    }
    EXPECT_TRUE(sfs::exists(host / "victim"));
    EXPECT_FALSE(sfs::exists(host / "made2"));
    EXPECT_TRUE(sfs::is_directory(root.string() + (host / "made2").string()));
    EXPECT_FALSE(sfs::exists(root / "tree"));
    EXPECT_TRUE(sfs::exists(host / "keep" / "k"));
    EXPECT_FALSE(sfs::exists(root / "sub" / "a.txt"));

    // A listing follows a link whose target lies in the root and passes over one that leaves.
    WriteFile(root / "sub" / "b.txt", "b");
    const Json::Value listing = Ask(peer, Req("listfiles", "/"));
    std::set<std::string> names;
    for (const auto& entry : listing["files"]) {
        names.insert(entry["name"].asString());
    }
    // mkdir made the host path's folders below the root, from its first element on.
    EXPECT_EQ(names, (std::set<std::string>{"absin", "sub", std::next(host.begin())->string()})) << listing;
    const Json::Value through = Ask(peer, Req("listfiles", "absin"));
    ASSERT_EQ(through["files"].size(), 1u) << through;
    EXPECT_EQ(through["files"][0]["checksum"].asString(), "92eb5ffee6ae2fec3ad71c777531578f");
}

TEST_F(FileSystemHandlers, DatagramsAreDroppedBothWaysAndChangeNothing) {
    sfs::create_directories(dir.Path() / "keep");
    WriteFile(dir.Path() / "file", "x");
    std::vector<int> raised;
    std::vector<boost::signals2::scoped_connection> connections;
    const std::vector<std::pair<std::string, std::string>> requests = {
        {"deletefile", Req("deletefile", Path("file"))}, {"listfiles", Req("listfiles", Path("keep"))},
        {"freespace", Req("freespace", Path("keep"))},   {"mkdir", Req("mkdir", Path("new"))},
        {"rmdir", Req("rmdir", Path("keep"))},           {"fwupdate", R"(fwupdate {"arguments":"x"})"},
    };
    for (const auto& request : requests) {
        connections.emplace_back(
            service->AddHandler2(request.first, [&raised](Zelkor::MessageSignalData&) { raised.push_back(1); }));
        ASSERT_TRUE(connections.back().connected()) << request.first;
    }
    LogCapture log;
    int udp = 0;
    for (const auto& request : requests) {
        for (bool reply : {false, true}) {
            Zelkor::MessageForwardInfo header;
            const std::string rest = header.PullHeader((reply ? "@" : "") + request.second + "\n");
            auto message = Zelkor::LookupCommand(request.first)();
            std::string error;
            ASSERT_TRUE(message->FromNetworkFormat(!reply, rest, error)) << error;
            message->SetIsReply(reply);
            Zelkor::MessageSignalData data(&udp, nullptr, false, std::move(message));
            service->SignalRaised(data);
        }
    }
    io.run_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sender.Count(), 0u);
    EXPECT_TRUE(raised.empty());
    EXPECT_TRUE(sfs::exists(dir.Path() / "file"));
    EXPECT_TRUE(sfs::exists(dir.Path() / "keep"));
    EXPECT_FALSE(sfs::exists(dir.Path() / "new"));
    for (const char* text :
         {"ZK7919I HandleDelete packet.ConnHandle() is null", "ZK7966I HandleListFiles", "ZK7967I HandleFreeSpace",
          "ZK7968I HandleMkDir", "ZK7969I HandleRmDir", "ZK7970I HandleFirmwareUpdate packet.ConnHandle() is null"}) {
        EXPECT_EQ(log.Count(text), 2u) << text;
    }
}

TEST_F(FileSystemHandlers, RepliesAreRaisedOnTheWordsSignalAndNeverAnswered) {
    const auto peer = NewSocket();
    std::vector<std::string> heard;
    std::vector<boost::signals2::scoped_connection> connections;
    for (const char* word : {"deletefile", "listfiles", "freespace", "mkdir", "rmdir", "fwupdate"}) {
        connections.emplace_back(service->AddHandler2(word, [&heard](Zelkor::MessageSignalData& data) {
            heard.push_back(data.GetMessage()->CommandName());
        }));
    }
    for (const char* line : {R"(@deletefile {"error":"File not found"})", R"(@listfiles {"path":"x","files":[]})",
                             R"(@freespace {"size":"12"})", R"(@mkdir {})", R"(@rmdir {"error":"no"})",
                             R"(@fwupdate {})"}) {
        Receive(peer, line);
    }
    io.run_for(std::chrono::milliseconds(50));
    EXPECT_EQ(heard, (std::vector<std::string>{"deletefile", "listfiles", "freespace", "mkdir", "rmdir", "fwupdate"}));
    EXPECT_EQ(sender.Count(), 0u);
    for (const char* word : {"block", "putfile", "getfile", "cancelputfile", "deletefile", "freespace", "listfiles",
                             "mkdir", "rmdir"}) {
        EXPECT_TRUE(service->IsServiceCommand(word)) << word;
    }
    EXPECT_FALSE(service->IsServiceCommand("fwupdate"));
    EXPECT_TRUE(Zelkor::FileTransferService::IsServiceWord("fwupdate"));
    EXPECT_FALSE(Zelkor::FileTransferService::IsServiceWord("RMDIR"));
}

TEST_F(FileSystemHandlers, TheHostsFirmwareAnswerIsTheReplyAndAnOpenedConnectionsNoticeIsOnlyAcknowledged) {
    FirmwareHost host([](std::string& error, const std::string& arguments) {
        if (arguments == "throw") {
            throw std::runtime_error("flash is busy");
        }
        if (arguments == "refuse") {
            error = "image is unsigned";
            return false;
        }
        return true;
    });
    service = std::make_shared<Zelkor::FileTransferService>(&sender, &devices, &host, io);
    int heard = 0;
    boost::signals2::scoped_connection connection =
        service->AddHandler2("fwupdate", [&heard](Zelkor::MessageSignalData&) { ++heard; });
    const auto controller = NewSocket();
    LogCapture log;
    EXPECT_FALSE(Ask(controller, R"(fwupdate {"arguments":"ok"})").isMember("error"));
    EXPECT_EQ(Ask(controller, R"(fwupdate {"arguments":"refuse"})")["error"].asString(), "image is unsigned");
    EXPECT_EQ(Ask(controller, R"(fwupdate {"arguments":"throw"})")["error"].asString(), "flash is busy");
    EXPECT_EQ(Ask(controller, R"(fwupdate {})")["error"].isNull(), true);
    EXPECT_TRUE(log.Contains("ZK7972E File-system request failed"));
    EXPECT_EQ(host.Given(), (std::vector<std::string>{"ok", "refuse", "throw", ""}));
    EXPECT_EQ(heard, 4);

    // The device's own notice on a connection this node opened: no update, and a bare
    // reply, which the device's next request on the connection waits for.
    const auto opened = NewSocket();
    opened->SetOutgoing(true);
    Receive(opened, R"(fwupdate {"arguments":"notice"})");
    EXPECT_EQ(heard, 5);
    EXPECT_EQ(host.Given().size(), 4u);
    ASSERT_EQ(LinesOn(opened).size(), 1u);
    EXPECT_EQ(LinesOn(opened)[0].rfind("@fwupdate", 0), 0u) << LinesOn(opened)[0];
    EXPECT_EQ(LinesOn(opened)[0].find("error"), std::string::npos);
}

TEST_F(FileSystemHandlers, ADeletionEndsOnlyThePutOfItsOwnFileOnItsOwnConnection) {
    const std::string block = R"(block {"blockno":1,"data":"YWJj"})";
    const auto peer = NewSocket();
    const auto other = NewSocket();
    Receive(peer, R"(putfile {"path":")" + Path("put.bin") + R"(","state":"begin","length":6,"blocksize":512})");
    Receive(other, R"(putfile {"path":")" + Path("put.bin") + R"(","state":"begin","length":6,"blocksize":512})");
    ASSERT_EQ(service->ActiveCount(), 2u);
    Receive(peer, block);
    Receive(other, block);
    Pump();
    // Another file: the put goes on.
    WriteFile(dir.Path() / "other.txt", "o");
    EXPECT_FALSE(Ask(peer, Req("deletefile", Path("other.txt"))).isMember("error"));
    Receive(peer, R"(block {"blockno":2,"data":"ZGVm"})");
    EXPECT_FALSE(BodyOf(LinesOn(peer).back()).isMember("error")) << LinesOn(peer).back();
    // Its own file, named another way: this connection's put ends at its next line.
    WriteFile(dir.Path() / "put.bin", "old");
    EXPECT_FALSE(Ask(peer, Req("deletefile", dir.Path().string() + "//./put.bin")).isMember("error"));
    EXPECT_FALSE(sfs::exists(dir.Path() / "put.bin"));
    Receive(peer, "block {}");
    EXPECT_TRUE(BodyOf(LinesOn(peer).back()).isMember("error")) << LinesOn(peer).back();
    EXPECT_EQ(service->ActiveCount(), 1u);
    // The other connection's put of the same file is not this requester's to end.
    Receive(other, R"(block {"blockno":2,"data":"ZGVm"})");
    EXPECT_FALSE(BodyOf(LinesOn(other).back()).isMember("error")) << LinesOn(other).back();
}

TEST_F(FileSystemHandlers, AListingPastTheBoundOrTheLineIsRefusedWhole) {
    for (int i = 0; i < 5; ++i) {
        WriteFile(dir.Path() / ("f" + std::to_string(i)), "x");
    }
    const auto peer = NewSocket();
    const std::size_t before = Zelkor::MaxEntriesPerMessage();
    Zelkor::SetMaxEntriesPerMessage(4);
    Json::Value body = Ask(peer, Req("listfiles", dir.Path().string()));
    Zelkor::SetMaxEntriesPerMessage(5);
    const Json::Value fits = Ask(peer, Req("listfiles", dir.Path().string()));
    Zelkor::SetMaxEntriesPerMessage(before);
    EXPECT_EQ(body["error"].asString(), "Too many entries");
    EXPECT_FALSE(body.isMember("files"));
    EXPECT_EQ(fits["files"].size(), 5u);

    service->SetListingLineBound(300);
    body = Ask(peer, Req("listfiles", dir.Path().string()));
    EXPECT_EQ(body["error"].asString(), "Too many entries");
    EXPECT_EQ(body["path"].asString(), dir.Path().string());
}

TEST_F(FileSystemHandlers, AFifoAndALinkToAnEndlessDeviceAreListedWithoutReadingThem) {
    ASSERT_EQ(::mkfifo((dir.Path() / "pipe").c_str(), 0600), 0);
    sfs::create_symlink("/dev/zero", dir.Path() / "zero");
    WriteFile(dir.Path() / "plain", "abc");
    const auto peer = NewSocket();
    const Json::Value body = Ask(peer, Req("listfiles", dir.Path().string()));
    ASSERT_EQ(body["files"].size(), 3u) << body;
    for (const auto& entry : body["files"]) {
        EXPECT_EQ(entry["checksum"].isNull(), entry["name"] != "plain") << entry;
    }
}

// The disk work of a request never holds the loop: with the disk worker held on a gate
// the test controls, requests queue behind it, the loop still answers a timer, and once
// the gate opens the queued requests are answered in order.
TEST_F(FileSystemHandlers, TheLoopKeepsTurningWhileTheDiskWorks) {
    sfs::create_directories(dir.Path() / "many");
    for (int i = 0; i < 100; ++i) {
        std::ofstream(dir.Path() / "many" / std::to_string(i));
    }
    const auto peer = NewSocket();
    std::promise<void> gate;
    std::promise<void> held;
    ASSERT_TRUE(service->PostDiskJob([&held, open = gate.get_future().share()] {
        held.set_value();
        open.wait();
    }));
    held.get_future().wait();
    // Opened at the latest when the test ends, so that the worker can stop.
    bool opened = false;
    const std::function<void()> open = [&] {
        if (!std::exchange(opened, true)) {
            gate.set_value();
        }
    };
    struct Opener {
        const std::function<void()>& open;
        ~Opener() { open(); }
    } opener{open};

    Receive(peer, Req("listfiles", dir.Path().string()));
    Receive(peer, Req("rmdir", (dir.Path() / "many").string()));
    EXPECT_EQ(service->DiskJobsWaiting(), 2u);
    boost::asio::steady_timer timer(io);
    bool rang = false;
    timer.expires_after(std::chrono::milliseconds(10));
    timer.async_wait([&rang](const boost::system::error_code& error) { rang = !error; });
    EXPECT_TRUE(Until([&] { return rang; }, std::chrono::seconds(60)));
    EXPECT_TRUE(LinesOn(peer).empty());
    EXPECT_TRUE(sfs::exists(dir.Path() / "many"));

    open();
    ASSERT_TRUE(Until([&] { return LinesOn(peer).size() == 2; }, std::chrono::seconds(120)));
    const auto lines = LinesOn(peer);
    EXPECT_TRUE(BodyOf(lines[0])["files"].isArray()) << lines[0].substr(0, 200);
    EXPECT_FALSE(BodyOf(lines[1]).isMember("error")) << lines[1];
    EXPECT_FALSE(sfs::exists(dir.Path() / "many"));
}

// Holds the disk worker with a job that waits until the returned promise is set.
std::promise<void> HoldWorker(Zelkor::FileTransferService& service) {
    std::promise<void> release;
    std::promise<void> holding;
    std::shared_future<void> released = release.get_future().share();
    EXPECT_TRUE(service.PostDiskJob([released, &holding] {
        holding.set_value();
        released.wait();
    }));
    holding.get_future().wait();
    return release;
}

// The worker held by a job that waits for the test: 1,024 requests of 64 connections
// wait behind it, each connection within its share, the next is refused at once on the
// loop, and once the worker goes on every earlier request gets its own reply on its own
// connection, in arrival order.
TEST_F(FileSystemHandlers, PastTheWaitingBoundARequestIsRefusedAtOnceAndTheEarlierOnesAnswered) {
    std::promise<void> release = HoldWorker(*service);
    ASSERT_EQ(service->DiskJobsWaiting(), 0u);

    constexpr std::size_t kWaiting = 1024;
    std::vector<std::shared_ptr<Zelkor::TcpSocket>> peers;
    for (std::size_t i = 0; i < kWaiting / Zelkor::DiskJobShares::MaxJobs; ++i) {
        peers.push_back(NewSocket());
    }
    const auto peerOf = [&](std::size_t i) { return peers[i % peers.size()]; };
    for (std::size_t i = 0; i < kWaiting; ++i) {
        Receive(peerOf(i), Req("listfiles", Path("q" + std::to_string(i))));
    }
    EXPECT_EQ(service->DiskJobsWaiting(), kWaiting);
    EXPECT_EQ(sender.Count(), 0u);
    LogCapture log;
    const auto late = NewSocket();
    Receive(late, Req("mkdir", Path("late")));
    ASSERT_EQ(sender.Count(), 1u);
    EXPECT_EQ(sender.Lines()[0].handle, late.get());
    EXPECT_EQ(sender.Lines()[0].text.rfind("@mkdir ", 0), 0u) << sender.Lines()[0].text;
    EXPECT_EQ(BodyOf(sender.Lines()[0].text)["error"].asString(), "Too many requests");
    EXPECT_TRUE(log.Contains("ZK7971W File-system request refused, too many waiting"));

    release.set_value();
    ASSERT_TRUE(Until([&] { return sender.Count() >= kWaiting + 1; }, std::chrono::seconds(60)));
    io.run_for(std::chrono::milliseconds(50));
    const auto lines = sender.Lines();
    ASSERT_EQ(lines.size(), kWaiting + 1);
    for (std::size_t i = 0; i < kWaiting; ++i) {
        const auto& line = lines[i + 1];
        const Json::Value body = BodyOf(line.text);
        EXPECT_EQ(line.handle, peerOf(i).get()) << i;
        EXPECT_EQ(body["path"].asString(), Path("q" + std::to_string(i))) << line.text;
        EXPECT_EQ(body["error"].asString(), "Path not found") << line.text;
    }
    EXPECT_FALSE(sfs::exists(dir.Path() / "late"));
}

// One connection asking faster than the disk answers: past its share its next request is
// refused at once, another connection and another requester behind the first's router
// are still taken, waiting jobs do not keep a connection, and the replies of one that
// closed are dropped while the others' come.
TEST_F(FileSystemHandlers, ARequesterPastItsShareIsRefusedAndTheOthersServed) {
    std::promise<void> release = HoldWorker(*service);
    auto greedy = NewSocket();
    const auto other = NewSocket();
    const long held = greedy.use_count();
    for (std::size_t i = 0; i < Zelkor::DiskJobShares::MaxJobs; ++i) {
        Receive(greedy, Req("listfiles", Path("g" + std::to_string(i))));
    }
    EXPECT_EQ(greedy.use_count(), held) << "waiting jobs keep their connection";
    LogCapture log;
    Receive(greedy, Req("mkdir", Path("greedy")));
    ASSERT_EQ(LinesOn(greedy).size(), 1u);
    EXPECT_EQ(BodyOf(LinesOn(greedy)[0])["error"].asString(), "Too many requests");
    EXPECT_TRUE(log.Contains("ZK79A0W File-system request refused, its requester has too many waiting"));

    Receive(other, Req("mkdir", Path("other")));
    Receive(greedy, "[ctl9][dev]" + Req("mkdir", Path("routed")));
    EXPECT_EQ(sender.Count(), 1u);
    EXPECT_EQ(service->DiskJobsWaiting(), Zelkor::DiskJobShares::MaxJobs + 2);

    sockets.erase(greedy.get());
    const auto* gone = greedy.get();
    const std::weak_ptr<Zelkor::TcpSocket> closed = greedy;
    greedy.reset();
    EXPECT_TRUE(closed.expired());
    release.set_value();
    ASSERT_TRUE(Until([&] { return LinesOn(other).size() == 1u && service->DiskJobsWaiting() == 0; },
                      std::chrono::seconds(60)));
    io.run_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(BodyOf(LinesOn(other)[0]).isMember("error")) << LinesOn(other)[0];
    EXPECT_TRUE(sfs::exists(dir.Path() / "other"));
    std::size_t toGone = 0;
    for (const auto& line : sender.Lines()) {
        toGone += line.handle == gone ? 1 : 0;
    }
    EXPECT_EQ(toGone, 1u) << "only the refusal went to the closed connection";
}

}  // namespace
