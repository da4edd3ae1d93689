// Files between node processes on loopback, through the runner: a controller puts files
// to a device and gets them back, of every length around the block at four block sizes,
// one of 50 MB, to two devices at once and from two into one path. Each copy is checked by
// md5sum against its source, each destination was there before and is replaced, and no
// temporary is left in any folder. Each wait is bounded by a deadline.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "filetransfer/NodeTransferTestSupport.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kOld = "the old content";

// The device's "transfer" line of that kind, path and state.
NodeProcess::Match TransferLine(const std::string& kind, const std::string& path, const std::string& state) {
    return [=](const Json::Value& line) {
        return line["event"] == "transfer" && line["kind"] == kind && line["path"] == path && line["state"] == state;
    };
}

// Lengths 0, 1, 2, 3, a block less one, one block, one more and two blocks at block sizes
// 512, 1001 (answered 1000, its blocks 750 bytes), 4096 and 65536, all queued at once:
// every put replaces its destination on the device and every get its destination here,
// both copies the source's MD5, the device's reports carrying the size it answered.
// Zero bytes are refused both ways ("local file is empty") and leave both destinations
// as they were.
TEST(NodeTransfer, EveryLengthAroundTheBlockGoesBothWaysAndReplacesItsDestination) {
    TransferNodes nodes("sizes");
    ASSERT_TRUE(nodes.Connect());
    NodeProcess& ctl = nodes.Controller();
    struct Size {
        unsigned long asked;
        unsigned long answered;
        std::uint64_t block;  // bytes per block
    };
    const std::vector<Size> sizes{{512, 512, 384}, {1001, 1000, 750}, {4096, 4096, 3072}, {65536, 65536, 49152}};
    struct Row {
        std::string name;
        std::uint64_t length;
        Size size;
    };
    std::vector<Row> rows;
    for (const auto& size : sizes) {
        for (const std::uint64_t length :
             {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{3}, size.block - 1, size.block,
              size.block + 1, 2 * size.block}) {
            rows.push_back({std::to_string(size.asked) + "-" + std::to_string(length), length, size});
        }
    }
    std::set<std::string> deviceNames;
    std::set<std::string> localNames;
    std::uint32_t seed = 1;
    for (const auto& row : rows) {
        WriteRandomFile(nodes.LocalFile("src-" + row.name), row.length, seed++);
        WriteFile(nodes.DeviceFile("put-" + row.name), kOld);
        WriteFile(nodes.LocalFile("back-" + row.name), kOld);
        localNames.insert({"src-" + row.name, "back-" + row.name});
        deviceNames.insert("put-" + row.name);
    }
    // Zero bytes to get: the device's own empty file.
    for (const auto& size : sizes) {
        const std::string name = "put-" + std::to_string(size.asked) + "-0";
        WriteFile(nodes.DeviceFile(name), "");
    }
    for (const auto& row : rows) {
        const unsigned long asked = row.size.asked;
        ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, nodes.LocalFile("src-" + row.name),
                                             "put-" + row.name, "put-" + row.name, asked)));
        ASSERT_TRUE(ctl.Send(TransferCommand("recvfile", {kAmp}, nodes.LocalFile("back-" + row.name),
                                             "put-" + row.name, "get-" + row.name, asked)));
    }
    auto dones = AwaitDones(ctl, 2 * rows.size(), 120s);
    for (const auto& row : rows) {
        for (const std::string& kind : {"put-", "get-"}) {
            const auto& lines = dones[kind + row.name];
            ASSERT_EQ(lines.size(), 1u) << kind << row.name;
            if (row.length == 0) {
                EXPECT_EQ(lines[0]["success"], false) << kind << row.name;
                EXPECT_EQ(lines[0]["text"], "local file is empty") << kind << row.name;
            } else {
                EXPECT_EQ(lines[0]["success"], true) << kind << row.name << " " << lines[0]["text"];
                EXPECT_EQ(lines[0]["text"], "Success") << kind << row.name;
            }
        }
        const std::string source = Md5Sum(nodes.LocalFile("src-" + row.name));
        if (row.length == 0) {
            EXPECT_EQ(ReadFile(nodes.DeviceFile("put-" + row.name)), "") << row.name;
            EXPECT_EQ(ReadFile(nodes.LocalFile("back-" + row.name)), kOld) << row.name;
            continue;
        }
        EXPECT_EQ(Md5Sum(nodes.DeviceFile("put-" + row.name)), source) << row.name;
        EXPECT_EQ(Md5Sum(nodes.LocalFile("back-" + row.name)), source) << row.name;
    }
    // The device answered each put with its block size, and reported the digest it wrote.
    NodeProcess& dev = nodes.Device();
    for (const auto& row : rows) {
        if (row.length == 0) {
            continue;
        }
        const std::string path = nodes.DeviceFile("put-" + row.name);
        const Json::Value begun = dev.Await(TransferLine("put", path, "begin"), 5s);
        EXPECT_EQ(begun["blocksize"].asUInt64(), row.size.answered) << row.name;
        EXPECT_EQ(begun["length"].asUInt64(), row.length) << row.name;
        const Json::Value ended = dev.Await(TransferLine("put", path, "end"), 5s);
        EXPECT_EQ(ended["error"], "") << row.name;
        EXPECT_EQ(ended["checksum"], Md5Sum(path)) << row.name;
    }
    EXPECT_EQ(FolderNames(nodes.deviceRoot.Path().string()),
              std::vector<std::string>(deviceNames.begin(), deviceNames.end()));
    EXPECT_EQ(FolderNames(nodes.local.Path().string()), std::vector<std::string>(localNames.begin(), localNames.end()));
    EXPECT_TRUE(OpenUnder(dev.Pid(), nodes.deviceRoot.Path().string()).empty());
    EXPECT_TRUE(OpenUnder(ctl.Pid(), nodes.local.Path().string()).empty());
    StopCleanly(ctl);
    StopCleanly(dev);
}

// 50 MB put to the device over an older file and fetched back over another: both copies
// the source's MD5, progress reported on the way, nothing else in either folder.
TEST(NodeTransfer, FiftyMegabytesGoAndComeBackWhole) {
    TransferNodes nodes("large");
    ASSERT_TRUE(nodes.Connect());
    NodeProcess& ctl = nodes.Controller();
    WriteRandomFile(nodes.LocalFile("large.bin"), 50'000'000, 7);
    WriteFile(nodes.DeviceFile("large.bin"), kOld);
    WriteFile(nodes.LocalFile("back.bin"), kOld);
    ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, nodes.LocalFile("large.bin"), "large.bin", "put")));
    const Json::Value put = ctl.Await(DoneLine("put"), 300s);
    EXPECT_EQ(put["success"], true) << put["text"];
    ASSERT_TRUE(ctl.Send(TransferCommand("recvfile", {kAmp}, nodes.LocalFile("back.bin"), "large.bin", "get")));
    const Json::Value get = ctl.Await(DoneLine("get"), 300s);
    EXPECT_EQ(get["success"], true) << get["text"];

    const std::string source = Md5Sum(nodes.LocalFile("large.bin"));
    EXPECT_EQ(Md5Sum(nodes.DeviceFile("large.bin")), source);
    EXPECT_EQ(Md5Sum(nodes.LocalFile("back.bin")), source);
    const auto progress = LinesOf(ctl, "progress");
    ASSERT_FALSE(progress.empty());
    double last = 0;
    std::uint64_t bytes = 0;
    for (const auto& line : progress) {
        EXPECT_EQ(line["remote"], "large.bin");
        if (line["path"] == nodes.LocalFile("large.bin")) {
            EXPECT_GT(line["percent"].asDouble(), last);
            EXPECT_EQ(line["id"], kAmp);
            EXPECT_GT(line["bytes"].asUInt64(), bytes);
            last = line["percent"].asDouble();
            bytes = line["bytes"].asUInt64();
        }
    }
    EXPECT_GE(last, 99.0);
    EXPECT_LE(bytes, 50'000'000u);
    EXPECT_GE(bytes, 49'500'000u);
    EXPECT_EQ(FolderNames(nodes.deviceRoot.Path().string()), std::vector<std::string>{"large.bin"});
    EXPECT_EQ(FolderNames(nodes.local.Path().string()), (std::vector<std::string>{"back.bin", "large.bin"}));
    StopCleanly(ctl);
    StopCleanly(nodes.Device());
}

// One put to two devices: each gets the file. One get from both into one path: each
// succeeds and the path holds the file. A bare local name is taken under the controller's
// storage root.
TEST(NodeTransfer, APutToTwoDevicesAndAGetFromTwoIntoOnePath) {
    TempDir controllerRoot;
    TransferNodes nodes("two", {}, {"--storage-root", controllerRoot.Path().string()}, true);
    ASSERT_TRUE(nodes.Connect());
    NodeProcess& ctl = nodes.Controller();
    WriteRandomFile(controllerRoot.File("both.bin"), 100'000, 3);
    WriteFile(nodes.DeviceFile("both.bin"), kOld);
    WriteFile(nodes.secondRoot.File("both.bin"), kOld + " too");
    ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp, kAmp2}, "both.bin", "both.bin", "put", 4096)));
    const Json::Value queued = ctl.Await(LineWith("request", "tag", "put"));
    EXPECT_EQ(queued["path"], controllerRoot.File("both.bin"));
    auto dones = AwaitDones(ctl, 2, 30s);
    ASSERT_EQ(dones["put"].size(), 2u);
    for (const auto& line : dones["put"]) {
        EXPECT_EQ(line["success"], true) << line["text"];
    }
    const std::string source = Md5Sum(controllerRoot.File("both.bin"));
    EXPECT_EQ(Md5Sum(nodes.DeviceFile("both.bin")), source);
    EXPECT_EQ(Md5Sum(nodes.secondRoot.File("both.bin")), source);

    WriteFile(nodes.LocalFile("merged.bin"), kOld);
    ASSERT_TRUE(ctl.Send(TransferCommand("recvfile", {kAmp, kAmp2}, nodes.LocalFile("merged.bin"), "both.bin", "get")));
    dones = AwaitDones(ctl, 4, 30s);
    ASSERT_EQ(dones["get"].size(), 2u);
    for (const auto& line : dones["get"]) {
        EXPECT_EQ(line["success"], true) << line["text"];
    }
    EXPECT_EQ(Md5Sum(nodes.LocalFile("merged.bin")), source);
    EXPECT_EQ(FolderNames(nodes.deviceRoot.Path().string()), std::vector<std::string>{"both.bin"});
    EXPECT_EQ(FolderNames(nodes.secondRoot.Path().string()), std::vector<std::string>{"both.bin"});
    EXPECT_EQ(FolderNames(nodes.local.Path().string()), std::vector<std::string>{"merged.bin"});
    StopCleanly(ctl);
    StopCleanly(nodes.Device());
    StopCleanly(nodes.second->process);
}

// Without "blocksize" a transfer asks for the controller's own --block-size, not the
// library's 65536: both nodes at 131072, the device answers puts and gets with 131072.
TEST(NodeTransfer, AnAbsentBlockSizeIsTheNodesOwn) {
    const std::vector<std::string> large{"--block-size", "131072"};
    TransferNodes nodes("ownsize", large, large);
    ASSERT_TRUE(nodes.Connect());
    NodeProcess& ctl = nodes.Controller();
    WriteRandomFile(nodes.LocalFile("out.bin"), 300'000, 21);
    WriteRandomFile(nodes.DeviceFile("served.bin"), 300'000, 22);
    ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, nodes.LocalFile("out.bin"), "out.bin", "put")));
    ASSERT_TRUE(ctl.Send(TransferCommand("recvfile", {kAmp}, nodes.LocalFile("in.bin"), "served.bin", "get")));
    auto dones = AwaitDones(ctl, 2, 30s);
    for (const char* tag : {"put", "get"}) {
        ASSERT_EQ(dones[tag].size(), 1u) << tag;
        EXPECT_EQ(dones[tag][0]["success"], true) << tag << " " << dones[tag][0]["text"];
    }
    NodeProcess& dev = nodes.Device();
    EXPECT_EQ(dev.Await(TransferLine("put", nodes.DeviceFile("out.bin"), "begin"), 5s)["blocksize"], 131072);
    EXPECT_EQ(dev.Await(TransferLine("get", nodes.DeviceFile("served.bin"), "begin"), 5s)["blocksize"], 131072);
    EXPECT_EQ(Md5Sum(nodes.DeviceFile("out.bin")), Md5Sum(nodes.LocalFile("out.bin")));
    EXPECT_EQ(Md5Sum(nodes.LocalFile("in.bin")), Md5Sum(nodes.DeviceFile("served.bin")));
    StopCleanly(ctl);
    StopCleanly(dev);
}

// A request repeated while the first still waits (its device busy, and held still) replaces
// it: the first's ending line says "transfer canceled" and comes after the repeat's "request"
// line, never within the command; the repeat then succeeds.
TEST(NodeTransfer, ARepeatedRequestCancelsTheWaitingOneAfterItsRequestLine) {
    TransferNodes nodes("repeat");
    ASSERT_TRUE(nodes.Connect());
    NodeProcess& ctl = nodes.Controller();
    NodeProcess& dev = nodes.Device();
    const std::string busy = nodes.LocalFile("busy.bin");
    WriteRandomFile(busy, 2'000'000, 31);
    WriteRandomFile(nodes.LocalFile("small.bin"), 1000, 32);
    ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, busy, "busy.bin", "busy", 512)));
    ASSERT_FALSE(ctl.Await(LineWith("progress", "path", busy), 30s).isNull());
    ASSERT_TRUE(dev.Signal(SIGSTOP));
    for (const char* tag : {"first", "second"}) {
        ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, nodes.LocalFile("small.bin"), "small.bin", tag)));
    }
    const Json::Value first = ctl.Await(DoneLine("first"), 10s);
    EXPECT_EQ(first["success"], false);
    EXPECT_EQ(first["text"], "transfer canceled");
    const auto& lines = ctl.Lines();
    const auto indexOf = [&lines](const std::string& event, const std::string& tag) {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].find(R"("event":")" + event + R"(")") != std::string::npos &&
                lines[i].find(R"("tag":")" + tag + R"(")") != std::string::npos) {
                return i;
            }
        }
        return lines.size();
    };
    EXPECT_LT(indexOf("request", "second"), indexOf("sendfile", "first"));
    ASSERT_TRUE(dev.Signal(SIGCONT));
    auto dones = AwaitDones(ctl, 3, 120s);
    ASSERT_EQ(dones["second"].size(), 1u);
    EXPECT_EQ(dones["second"][0]["success"], true) << dones["second"][0]["text"];
    EXPECT_EQ(dones["first"].size(), 1u);
    EXPECT_EQ(Md5Sum(nodes.DeviceFile("small.bin")), Md5Sum(nodes.LocalFile("small.bin")));
    StopCleanly(ctl);
    StopCleanly(dev);
}

// Puts the device refuses or that fail before a byte moves: a path that leaves its root,
// a missing local file, an empty remote path, a folder the device lacks; each its own
// text, the side that failed and why beside it, and the next put on the same connection
// succeeds. Bad commands are error lines.
TEST(NodeTransfer, AFailedTransferLeavesTheConnectionToTheNext) {
    TransferNodes nodes("refused");
    ASSERT_TRUE(nodes.Connect());
    NodeProcess& ctl = nodes.Controller();
    for (const auto& [command, message] : std::vector<std::pair<std::string, std::string>>{
             {NodeCommand("sendfile", R"("device":"nope","local":"a","remote":"b")"), R"(bad arguments for sendfile: "device": expected a GUID or a list of GUIDs)"},
             {NodeCommand("recvfile", R"("device":[],"local":"a","remote":"b")"),
              R"(bad arguments for recvfile: "device": expected a GUID or a list of GUIDs)"},
             {NodeCommand("sendfile", R"("device":")" + kAmp + R"(","local":"a","remote":"b","blocksize":-1)"),
              "bad arguments for sendfile"},
             {NodeCommand("cancelput", R"("device":")" + kAmp + R"(")"), "bad arguments for cancelput"},
             {NodeCommand("cancelsend", R"("guid":7)"), R"(bad arguments for cancelsend: "guid": expected a GUID)"},
         }) {
        ASSERT_TRUE(ctl.Send(command));
        EXPECT_EQ(ctl.AwaitEvent("error")["message"], message) << command;
    }
    WriteRandomFile(nodes.LocalFile("a.bin"), 5000, 11);
    struct Refusal {
        std::string command;
        std::string text;
        std::string side;
        std::string reason;  // how it begins
    };
    const std::vector<Refusal> refused{
        // The controller's own tree does not allow parent paths: its device object refuses.
        {TransferCommand("sendfile", {kAmp}, nodes.LocalFile("a.bin"), "../escaped.bin", "up"),
         "refused by the device object", "node", "a \"..\" in the remote path"},
        {TransferCommand("sendfile", {kAmp}, nodes.LocalFile("missing.bin"), "a.bin", "missing"), "file is missing",
         "node", "this node has no file " + nodes.LocalFile("missing.bin")},
        {TransferCommand("sendfile", {kAmp}, nodes.LocalFile("a.bin"), "", "empty"), "path parameter missing", "node",
         "no remote path"},
        {TransferCommand("recvfile", {kAmp}, nodes.LocalFile("got.bin"), "absent.bin", "absent"), "file is missing",
         "device", "the device has no file absent.bin"},
        // The same state text as a local file this node cannot open: the line says whose.
        {TransferCommand("sendfile", {kAmp}, nodes.LocalFile("a.bin"), "sub/f.bin", "nofolder"), "cannot open file",
         "device", "the device could not open sub/f.bin"},
        {TransferCommand("recvfile", {kAmp}, nodes.LocalFile("none/got.bin"), "a.bin", "nolocalfolder"),
         "cannot open file", "node", "this node could not write " + nodes.LocalFile("none/got.bin") + ": no folder"},
    };
    for (const auto& [command, text, side, reason] : refused) {
        ASSERT_TRUE(ctl.Send(command));
        const Json::Value done = ctl.Await(IsDoneLine, 20s);
        EXPECT_EQ(done["success"], false) << command;
        EXPECT_EQ(done["text"], text) << command;
        EXPECT_EQ(done["side"], side) << command;
        EXPECT_EQ(done["reason"].asString().rfind(reason, 0), 0u) << command << " " << done["reason"];
        ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, nodes.LocalFile("a.bin"), "a.bin", "next")));
        const Json::Value next = ctl.Await(DoneLine("next"), 20s);
        EXPECT_EQ(next["success"], true) << command << " " << next["text"];
    }
    EXPECT_EQ(Md5Sum(nodes.DeviceFile("a.bin")), Md5Sum(nodes.LocalFile("a.bin")));
    EXPECT_FALSE(std::filesystem::exists(nodes.deviceRoot.Path().parent_path() / "escaped.bin"));
    EXPECT_EQ(FolderNames(nodes.deviceRoot.Path().string()), std::vector<std::string>{"a.bin"});
    EXPECT_EQ(FolderNames(nodes.local.Path().string()), std::vector<std::string>{"a.bin"});
    StopCleanly(ctl);
    StopCleanly(nodes.Device());
}

// A get the device cannot serve ends with an end line naming the files its begin line
// named: this node's destination and the device's file.
TEST(NodeTransfer, AFailedGetEndsWithAnEndLineNamingTheFilesOfItsBegin) {
    TransferNodes nodes("failedget");
    ASSERT_TRUE(nodes.Connect());
    NodeProcess& ctl = nodes.Controller();
    const std::string local = nodes.LocalFile("got.bin");
    ASSERT_TRUE(ctl.Send(TransferCommand("recvfile", {kAmp}, local, "absent.bin", "absent")));
    const Json::Value begun = ctl.Await(LineWith("transfer", "kind", "get"), 20s);
    const Json::Value ended = ctl.Await(LineWith("transfer", "kind", "get"), 20s);
    EXPECT_EQ(begun["state"], "begin");
    EXPECT_EQ(ended["state"], "end");
    EXPECT_EQ(ended["error"], "file is missing");
    for (const auto& line : {begun, ended}) {
        EXPECT_EQ(line["path"], local);
        EXPECT_EQ(line["remote"], "absent.bin");
    }
    EXPECT_EQ(ctl.Await(DoneLine("absent"), 20s)["text"], "file is missing");
    StopCleanly(ctl);
    StopCleanly(nodes.Device());
}

// The transfer options: values out of their ranges, and a storage root that is no folder,
// end the node with exit code 2 and an error line; good ones are shown in the start
// line, absent ones as null. Without --storage-root the node makes "node-files" where it
// runs and names it; one that cannot be made ends it as a bad option does.
TEST(NodeTransferOptions, BadValuesAreRefusedAndGoodOnesShown) {
    NetNamespace space("options");
    const std::string place = space.Made() ? space.Name() : "";
    TempDir folder;
    WriteFile(folder.File("file"), "x");
    const std::vector<std::pair<std::string, std::string>> refused{
        {"--block-size", "511"},          {"--block-size", "268435457"},   {"--block-size", "1k"},
        {"--transfer-count", "0"},        {"--transfer-count", "101"},     {"--transfer-interval", "49"},
        {"--transfer-interval", "1001"},  {"--reply-timeout", "60001"},    {"--reply-timeout", "-1"},
    };
    TempDir runs;
    for (const auto& [option, value] : refused) {
        NodeProcess node({option, value}, place, runs.Path().string());
        EXPECT_EQ(node.AwaitEvent("error")["message"], "invalid value for " + option + ": " + value);
        EXPECT_EQ(node.Wait(), 2) << option << " " << value;
    }
    // A storage root that is no folder says what it is instead.
    for (const auto& [value, why] : std::vector<std::pair<std::string, std::string>>{
             {folder.File("absent"), "no such folder"}, {folder.File("file"), "not a folder"}, {"", "an empty path"}}) {
        NodeProcess node({"--storage-root", value}, place, runs.Path().string());
        EXPECT_EQ(node.AwaitEvent("error")["message"], "invalid value for --storage-root: " + value + " (" + why + ")");
        EXPECT_EQ(node.Wait(), 2) << value;
    }
    NodeProcess given({"--storage-root", folder.Path().string(), "--block-size", "1001", "--transfer-count", "3",
                       "--transfer-interval", "60", "--reply-timeout", "0"},
                      place, runs.Path().string());
    const Json::Value options = given.AwaitEvent("start")["options"];
    EXPECT_EQ(options["storage-root"], folder.Path().string());
    EXPECT_EQ(options["block-size"], 1001);
    EXPECT_EQ(options["transfer-count"], 3);
    EXPECT_EQ(options["transfer-interval"], 60);
    EXPECT_EQ(options["reply-timeout"], 0);
    EXPECT_TRUE(given.AwaitEvent("error", std::chrono::milliseconds(300)).isNull());
    StopCleanly(given);
    EXPECT_FALSE(fs::exists(runs.File("node-files")));
    NodeProcess plain({}, place, runs.Path().string());
    const Json::Value defaults = plain.AwaitEvent("start")["options"];
    EXPECT_EQ(defaults["storage-root"], (fs::canonical(runs.Path()) / "node-files").string());
    EXPECT_TRUE(fs::is_directory(runs.File("node-files")));
    for (const char* name : {"block-size", "transfer-count", "transfer-interval", "reply-timeout"}) {
        EXPECT_TRUE(defaults[name].isNull()) << name;
    }
    StopCleanly(plain);

    TempDir blocked;
    WriteFile(blocked.File("node-files"), "a file where the folder would go");
    NodeProcess unmade({}, place, blocked.Path().string());
    EXPECT_EQ(unmade.AwaitEvent("error")["message"].asString().rfind("cannot make the storage root ", 0), 0u);
    EXPECT_EQ(unmade.Wait(), 2);
}

}  // namespace
}  // namespace ZelkorTest
