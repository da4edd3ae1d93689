// A device node started as its README starts it, without --storage-root, against a
// controller node on another address: node processes over a veth pair (root only, else
// skipped), the device in namespace a on 10.77.0.1 with no code, so that every peer may
// ask anything. The peer's transfers and file-system words stay in the folder the device
// made where it runs, whatever path they name, a link or a ".." there leading only within
// it, also where the tree allows parent paths, which the sample tree lets no peer do; asked
// with --host-fs-words, the file-system words reach host paths. Beside each, the
// well-behaved transfer that still works. Every wait has a deadline.

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "filetransfer/NodeTransferTestSupport.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class NodeStorageRoot : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pair.Missing().empty()) {
            GTEST_SKIP() << pair.Missing();
        }
        WriteFile(outside.File("secret"), "a host file");
        WriteFile(outside.File("victim"), "a host file to remove");
        fs::create_directory(outside.File("keep"));
    }

    // The device, as the README starts it; `more` are further options, `given` the root
    // they name if any, `tree` the tree it serves (the controller's too, when it is not
    // the sample tree: its device object then lets a put's ".." go to the device).
    // Returns once the controller is connected to it.
    void Start(std::vector<std::string> more = {}, const std::string& given = "",
               const std::string& tree = kSampleTreeFile) {
        std::vector<std::string> options{"--guid", kAmp, "--tree", tree, "--listen",
                                         std::string(VethPair::AddressA) + ":4197"};
        options.insert(options.end(), more.begin(), more.end());
        device = std::make_unique<Node>(Options("device", "amp1", options), pair.a.Name());
        root = given.empty() ? (fs::canonical(device->dir.Path()) / "node-files").string() : given;
        EXPECT_EQ(device->process.AwaitEvent("start")["options"]["storage-root"], root);
        ASSERT_FALSE(device->process.AwaitEvent("listenerAdded", 20s).isNull());
        std::vector<std::string> controllerMore{"--transfer-interval", "50"};
        if (tree != kSampleTreeFile) {
            controllerMore.insert(controllerMore.end(), {"--tree", tree});
        }
        controller = std::make_unique<Node>(ControllerOptions(false, "ctl1", 4198, controllerMore), pair.b.Name());
        ASSERT_TRUE(ConnectTo(controller->process, VethPair::AddressA, 4197, kAmp, false));
    }

    // A put (`put`) or get of `local` here and `remote` on the device; its closing text.
    std::string Transfer(bool put, const std::string& local, const std::string& remote) {
        const std::string tag = "t" + std::to_string(++tags);
        if (!controller->process.Send(TransferCommand(put ? "sendfile" : "recvfile", {kAmp}, local, remote, tag))) {
            return "not sent";
        }
        return controller->process.Await(DoneLine(tag), 30s)["text"].asString();
    }

    // A file-system word to the device; its answer line.
    Json::Value Word(const std::string& cmd, const std::string& path) {
        if (!controller->process.Send(DeviceCommand(cmd, kAmp, R"("path":)" + CompactJson(Json::Value(path))))) {
            return Json::Value();
        }
        return controller->process.Await(LineAbout(cmd, kAmp), 20s);
    }

    // A peer's set of one value on the device; the reply's entry for it, PATH=VALUE or
    // PATH!ERROR.
    std::string Set(const std::string& path, const Json::Value& value) {
        Json::Value entry;
        entry["path"] = path;
        entry["value"] = value;
        if (!controller->process.Send(R"({"cmd":"set","guid":")" + kAmp + R"(","values":)" + CompactJson(entry) +
                                      "}")) {
            return "not sent";
        }
        const Json::Value reply = controller->process.AwaitEvent("set");
        if (reply["values"].size() != 1) {
            return "no entry";
        }
        const Json::Value& answered = reply["values"][0];
        return answered["path"].asString() + (answered.isMember("error") ? "!" + answered["error"].asString()
                                                                        : "=" + CompactJson(answered["value"]));
    }

    void Stop() {
        StopCleanly(controller->process);
        StopCleanly(device->process);
    }

    VethPair pair;
    TempDir outside;
    TempDir local;
    std::unique_ptr<Node> device;
    std::unique_ptr<Node> controller;
    std::string root;
    int tags = 0;
};

TEST_F(NodeStorageRoot, APeerReadsAndWritesNoHostFileOfARunnerWithoutARootGiven) {
    ASSERT_NO_FATAL_FAILURE(Start());
    for (const std::string& host : std::vector<std::string>{"/etc/hostname", outside.File("secret")}) {
        const std::string got = local.File("got");
        EXPECT_EQ(Transfer(false, got, host), "file is missing") << host;
        EXPECT_FALSE(fs::exists(got)) << host;
    }
    const std::string source = local.File("source.bin");
    WriteRandomFile(source, 70'000, 3);
    EXPECT_NE(Transfer(true, source, outside.File("planted.bin")), "Success");
    EXPECT_FALSE(fs::exists(outside.File("planted.bin")));
    EXPECT_EQ(ReadFile(outside.File("secret")), "a host file");

    // The well-behaved peer's files go to the device's folder and back; the controller's
    // bare local names are its working folder's, not its own storage folder's.
    WriteRandomFile(controller->dir.File("take.bin"), 70'000, 4);
    EXPECT_EQ(Transfer(true, "take.bin", "take.bin"), "Success");
    EXPECT_EQ(Md5Sum(root + "/take.bin"), Md5Sum(controller->dir.File("take.bin")));
    EXPECT_FALSE(fs::exists(device->dir.File("take.bin")));
    EXPECT_EQ(Transfer(false, "back.bin", "/take.bin"), "Success");
    EXPECT_EQ(Md5Sum(controller->dir.File("back.bin")), Md5Sum(root + "/take.bin"));
    EXPECT_FALSE(fs::exists(controller->dir.File("node-files/back.bin")));
    Stop();
}

// The sample tree keeps the rules a device maker ships out of a peer's reach; the owner's
// own write still changes them.
TEST_F(NodeStorageRoot, APeerCannotAllowParentPathsInTheSampleTree) {
    ASSERT_NO_FATAL_FAILURE(Start());
    const std::string rules = "/configuration/network/rules/";
    EXPECT_EQ(Set(rules + "security/allowparentpaths", true), rules + "security/allowparentpaths!Path Readonly");
    EXPECT_EQ(Set(rules + "connect/maxincoming", 0), rules + "connect/maxincoming!Path Readonly");
    EXPECT_EQ(Set(rules + "connect/lazy", true), rules + "connect/lazy!Path Readonly");
    EXPECT_EQ(Set(rules + "exclude/list/name/1/name", "amp9"), rules + R"(exclude/list/name/1/name="amp9")");
    EXPECT_EQ(Transfer(false, local.File("got"), "../../../../../etc/hostname"), "path parameter invalid");
    EXPECT_FALSE(fs::exists(local.File("got")));
    ASSERT_TRUE(device->process.Send(R"({"cmd":"write","path":")" + rules +
                                     R"(security/allowparentpaths","value":true})"));
    EXPECT_EQ(device->process.AwaitEvent("write")["status"], 0);
    Stop();
}

// A device whose tree allows parent paths, its file-system words kept beneath its root
// (the runner's default): a ".." that would leave the root is refused to a put and a get,
// also one that comes back into it, while one that stays beneath it is taken. The root
// lies two folders deep in a folder of the test's, where an escaped put would land.
TEST_F(NodeStorageRoot, ParentPathsStayBeneathTheRootOfAConfinedNode) {
    TempDir trees;
    TempDir places;
    const fs::path above = fs::canonical(places.Path());
    const std::string nested = (above / "a" / "b").string();
    fs::create_directories(nested);
    ASSERT_NO_FATAL_FAILURE(Start({"--storage-root", nested}, nested, TreeAllowingParentPaths(trees)));
    const std::string got = local.File("got");
    EXPECT_EQ(Transfer(false, got, "../../../../../etc/hostname"), "path parameter invalid");
    const std::string secret = fs::relative(fs::canonical(outside.File("secret")), root).string();
    ASSERT_EQ(secret.rfind("../", 0), 0u) << secret;
    EXPECT_EQ(Transfer(false, got, secret), "path parameter invalid");
    EXPECT_FALSE(fs::exists(got));
    const std::string source = local.File("source.bin");
    WriteRandomFile(source, 70'000, 6);
    EXPECT_EQ(Transfer(true, source, "../../escaped.txt"), "path parameter invalid");
    EXPECT_FALSE(fs::exists(above / "escaped.txt"));
    fs::create_directory(root + "/sub");
    EXPECT_EQ(Transfer(true, source, "sub/../../escaped.txt"), "path parameter invalid");
    EXPECT_FALSE(fs::exists(above / "a" / "escaped.txt"));

    EXPECT_EQ(Transfer(true, source, "sub/../kept.bin"), "Success");
    EXPECT_EQ(Md5Sum(root + "/kept.bin"), Md5Sum(source));
    EXPECT_EQ(Transfer(false, got, "sub/../kept.bin"), "Success");
    EXPECT_EQ(Md5Sum(got), Md5Sum(source));
    EXPECT_EQ(Transfer(false, local.File("again"), "../b/kept.bin"), "path parameter invalid");
    Stop();
}

TEST_F(NodeStorageRoot, TheFileSystemWordsStayBelowTheRootUnlessHostPathsAreAsked) {
    ASSERT_NO_FATAL_FAILURE(Start());
    WriteFile(root + "/seen.txt", "in the root");
    const Json::Value removed = Word("deletefile", outside.File("victim"));
    EXPECT_EQ(removed["error"], "File not found");
    EXPECT_TRUE(fs::exists(outside.File("victim")));
    EXPECT_EQ(Word("rmdir", outside.File("keep"))["error"], "Path is required or path is not a directory");
    EXPECT_TRUE(fs::is_directory(outside.File("keep")));
    EXPECT_EQ(Word("mkdir", outside.File("made"))["success"], true);
    EXPECT_FALSE(fs::exists(outside.File("made")));
    EXPECT_TRUE(fs::is_directory(root + outside.File("made")));
    EXPECT_EQ(Word("listfiles", outside.Path().string() + "/..")["error"], "Path not allowed");
    EXPECT_EQ(Word("listfiles", "/tmp/../../etc")["error"], "Path not allowed");
    const Json::Value listing = Word("listfiles", "/");
    EXPECT_EQ(listing["success"], true) << listing;
    std::set<std::string> names;
    for (const auto& entry : listing["entries"]) {
        names.insert(entry["name"].asString());
    }
    // The folders mkdir made below the root, from the first element of the host path.
    const std::string first = std::next(outside.Path().begin())->string();
    EXPECT_EQ(names, (std::set<std::string>{first, "seen.txt"}));
    EXPECT_EQ(Word("freespace", "/")["success"], true);
    EXPECT_EQ(Word("deletefile", "/seen.txt")["success"], true);
    EXPECT_FALSE(fs::exists(root + "/seen.txt"));
    Stop();

    // Asked for host paths, the words reach them.
    ASSERT_NO_FATAL_FAILURE(Start({"--host-fs-words"}));
    EXPECT_EQ(Word("deletefile", outside.File("victim"))["success"], true);
    EXPECT_FALSE(fs::exists(outside.File("victim")));
    EXPECT_EQ(Word("mkdir", outside.File("made"))["success"], true);
    EXPECT_TRUE(fs::is_directory(outside.File("made")));
    EXPECT_EQ(Word("rmdir", outside.File("keep"))["success"], true);
    EXPECT_FALSE(fs::exists(outside.File("keep")));
    Stop();
}

// With a root given, as without: the links are the host's, made in the root.
TEST_F(NodeStorageRoot, ALinkInTheRootLeadsOnlyWithinIt) {
    TempDir given;
    const std::string folder = fs::canonical(given.Path()).string();
    ASSERT_NO_FATAL_FAILURE(Start({"--storage-root", folder}, folder));
    fs::create_directory(root + "/sub");
    WriteRandomFile(root + "/sub/in.bin", 50'000, 5);
    fs::create_directory_symlink(root + "/sub", root + "/absin");
    fs::create_symlink(root + "/sub/in.bin", root + "/absfile");
    fs::create_directory_symlink(outside.Path(), root + "/out");
    fs::create_directory_symlink("..", root + "/up");

    EXPECT_EQ(Transfer(false, local.File("in.bin"), "absfile"), "Success");
    EXPECT_EQ(Md5Sum(local.File("in.bin")), Md5Sum(root + "/sub/in.bin"));
    EXPECT_EQ(Transfer(true, local.File("in.bin"), "absin/copy.bin"), "Success");
    EXPECT_EQ(Md5Sum(root + "/sub/copy.bin"), Md5Sum(local.File("in.bin")));
    const Json::Value listing = Word("listfiles", "absin");
    EXPECT_EQ(listing["success"], true) << listing;
    EXPECT_EQ(listing["entries"].size(), 2u) << listing;

    const std::string above = "up/" + outside.Path().filename().string() + "/secret";
    for (const std::string& leaving : {std::string("out/secret"), above}) {
        EXPECT_EQ(Transfer(false, local.File("stolen"), leaving), "path parameter invalid") << leaving;
        EXPECT_FALSE(fs::exists(local.File("stolen"))) << leaving;
        EXPECT_EQ(Word("deletefile", leaving)["error"], "Path not allowed") << leaving;
    }
    EXPECT_EQ(Transfer(true, local.File("in.bin"), "out/planted.bin"), "path parameter invalid");
    EXPECT_FALSE(fs::exists(outside.File("planted.bin")));
    EXPECT_EQ(Word("listfiles", "out")["error"], "Path not allowed");
    EXPECT_EQ(Word("mkdir", "out/made")["error"], "Path not allowed");
    EXPECT_TRUE(fs::exists(outside.File("secret")));
    Stop();
}

}  // namespace
}  // namespace ZelkorTest
