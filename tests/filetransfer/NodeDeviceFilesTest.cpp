// A controller node reaching a device node's files through the device object: puts and
// gets, the parent-path rule on both sides, the cancel of a put (directly and through a
// router), the five file-system requests with their success and the device's error texts,
// the firmware update refused with the host's text or taken, and a datagram that changes
// nothing. Each wait is bounded by a deadline.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "filetransfer/NodeTransferTestSupport.h"
#include "support/DriverHarness.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kOld = "the old content, whole";

NodeProcess::Match ProgressOf(const std::string& path, double percent) {
    return [=](const Json::Value& line) {
        return line["event"] == "progress" && line["path"] == path && line["percent"].asDouble() >= percent;
    };
}

// {"cmd":CMD,"guid":kAmp,"path":PATH} and the device object's answer line.
Json::Value Ask(NodeProcess& ctl, const std::string& cmd, const std::string& event, const std::string& path,
                const std::string& guid = kAmp) {
    Json::Value text(path);
    if (!ctl.Send(DeviceCommand(cmd, guid, R"("path":)" + CompactJson(text)))) {
        return Json::Value();
    }
    return ctl.Await(LineAbout(event, guid), 20s);
}

// One of the device's entries of a listing, null when it has none of that name.
Json::Value EntryNamed(const Json::Value& listing, const std::string& name) {
    for (const auto& entry : listing["entries"]) {
        if (entry["name"] == name) {
            return entry;
        }
    }
    return Json::Value();
}

// A datagram to the device's listened address, from inside the nodes' namespace when
// they run in one.
void SendDatagram(const TransferNodes& nodes, const std::string& line, unsigned short port) {
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket(io);
    const auto open = [&socket] { socket.open(boost::asio::ip::udp::v4()); };
    if (nodes.space.Made()) {
        ASSERT_TRUE(nodes.space.Run(open));
    } else {
        open();
    }
    socket.send_to(boost::asio::buffer(line),
                   boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
}

// The five requests with success and with the device's own error, a listing of what a put
// left, the firmware update refused with the host's text, and an "rmdir" by datagram that
// nothing answers and nothing acts on. With `tls`, over a connection secured by TLS and
// authenticated by the device's code, as the words that change the device need off
// loopback.
void FileSystemRequestsAndFirmware(bool tls) {
    std::vector<std::string> deviceMore{"--fwupdate-error", "Battery low"};
    std::vector<std::string> controllerMore;
    if (tls) {
        deviceMore.insert(deviceMore.end(), {"--code", kSharedCode});
        controllerMore = {"--tls-level", "1", "--code", kSharedCode};
    }
    TransferNodes nodes(tls ? "devfs-tls" : "devfs", deviceMore, controllerMore);
    NodeProcess& ctl = nodes.Controller();
    ASSERT_FALSE(nodes.Device().AwaitEvent("listenerAdded").isNull());
    ASSERT_TRUE(ConnectTo(ctl, "127.0.0.1", 4197, kAmp, tls));
    NodeProcess& dev = nodes.Device();
    const std::string root = nodes.deviceRoot.Path().string();

    const std::string source = nodes.LocalFile("a.bin");
    WriteRandomFile(source, 200'000, 5);
    ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, source, "a.bin", "put", 4096)));
    EXPECT_EQ(ctl.Await(DoneLine("put"), 30s)["success"], true);
    ASSERT_TRUE(ctl.Send(TransferCommand("recvfile", {kAmp}, nodes.LocalFile("back.bin"), "a.bin", "get")));
    EXPECT_EQ(ctl.Await(DoneLine("get"), 30s)["success"], true);
    EXPECT_EQ(Md5Sum(nodes.DeviceFile("a.bin")), Md5Sum(source));
    EXPECT_EQ(Md5Sum(nodes.LocalFile("back.bin")), Md5Sum(source));

    const Json::Value listing = Ask(ctl, "listfiles", "listfiles", "/");
    EXPECT_EQ(listing["success"], true) << listing["error"];
    const Json::Value entry = EntryNamed(listing, "a.bin");
    EXPECT_EQ(entry["size"], 200'000);
    EXPECT_EQ(entry["checksum"], Md5Sum(source));
    EXPECT_TRUE(entry["modifieddate"].isUInt64());
    const Json::Value missing = Ask(ctl, "listfiles", "listfiles", "nowhere");
    EXPECT_EQ(missing["success"], false);
    EXPECT_NE(missing["error"], "");
    EXPECT_EQ(missing["entries"], Json::Value(Json::arrayValue));

    struct Row {
        std::string cmd, event, path;
        bool success;
        std::string error;  // "*": any non-empty text of the device
    };
    const std::vector<Row> rows = {
        {"mkdir", "mkdir", "sub", true, ""},
        {"mkdir", "mkdir", "sub", false, "Path already exists"},
        {"mkdir", "mkdir", "none/deeper/than/one", true, ""},
        {"rmdir", "rmdir", "a.bin", false, "Path is required or path is not a directory"},
        {"rmdir", "rmdir", "none", true, ""},
        {"rmdir", "rmdir", "/", false, "Path not allowed"},
        {"rmdir", "rmdir", "sub/../..", false, "Path not allowed"},
        {"deletefile", "deletefile", "sub", false, "Path is a folder. Try rmdir"},
        {"deletefile", "deletefile", "a.bin", true, ""},
        {"deletefile", "deletefile", "a.bin", false, "*"},
        {"freespace", "freespace", "/", true, ""},
        {"freespace", "freespace", "nowhere", false, "*"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cmd + " " + row.path);
        const Json::Value answer = Ask(ctl, row.cmd, row.event, row.path);
        ASSERT_FALSE(answer.isNull());
        EXPECT_EQ(answer["success"], row.success) << answer["error"];
        if (row.error == "*") {
            EXPECT_NE(answer["error"], "");
        } else {
            EXPECT_EQ(answer["error"], row.error);
        }
        if (row.cmd == "freespace" && row.success) {
            EXPECT_GT(answer["bytes"].asInt64(), 0);
        }
    }
    EXPECT_TRUE(fs::is_directory(root + "/sub"));
    EXPECT_FALSE(fs::exists(root + "/none"));
    EXPECT_FALSE(fs::exists(root + "/a.bin"));

    ASSERT_TRUE(ctl.Send(DeviceCommand("fwupdate", kAmp, R"("arguments":"image=2.4 --force")")));
    EXPECT_EQ(dev.AwaitEvent("fwupdate", 20s)["arguments"], "image=2.4 --force");
    EXPECT_EQ(ctl.Await(LineAbout("fwupdate", kAmp), 20s)["error"], "Battery low");

    // Nothing answers the datagram; a later request over the connection is answered after
    // it would have been handled.
    SendDatagram(nodes, R"(rmdir {"path":"sub"})" "\n", 4197);
    EXPECT_EQ(Ask(ctl, "freespace", "freespace", "/")["success"], true);
    EXPECT_TRUE(fs::is_directory(root + "/sub"));

    StopCleanly(ctl);
    StopCleanly(dev);
}

TEST(NodeDeviceFiles, FileSystemRequestsAndFirmwareThroughTheDeviceObject) { FileSystemRequestsAndFirmware(false); }

TEST(NodeDeviceFiles, FileSystemRequestsAndFirmwareOverTlsWithACode) { FileSystemRequestsAndFirmware(true); }

// The device object refuses a put's ".." element unless the controller allows parent
// paths; past it, the device refuses the same unless it allows them too. A firmware update
// the host takes answers "".
TEST(NodeDeviceFiles, ParentPathsOnBothSidesAndATakenFirmwareUpdate) {
    struct Row {
        bool controllerAllows, deviceAllows;
        std::string text;
    };
    const std::vector<Row> rows = {
        {false, true, "refused by the device object"},
        {true, false, "path parameter invalid"},
        {true, true, "Success"},
    };
    TempDir trees;
    const std::string allowing = TreeAllowingParentPaths(trees);
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.controllerAllows) + std::to_string(row.deviceAllows));
        std::vector<std::string> deviceMore;
        std::vector<std::string> controllerMore;
        if (row.deviceAllows) {
            deviceMore = {"--tree", allowing};
        }
        if (row.controllerAllows) {
            controllerMore = {"--tree", allowing};
        }
        TransferNodes nodes("parent", deviceMore, controllerMore);
        ASSERT_TRUE(nodes.Connect());
        NodeProcess& ctl = nodes.Controller();
        fs::create_directory(nodes.DeviceFile("sub"));
        const std::string source = nodes.LocalFile("p.bin");
        WriteRandomFile(source, 10'000, 9);
        ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, source, "sub/../p.bin", "up")));
        const Json::Value done = ctl.Await(DoneLine("up"), 30s);
        EXPECT_EQ(done["text"], row.text);
        EXPECT_EQ(fs::exists(nodes.DeviceFile("p.bin")), row.text == "Success");
        // A get is not checked by the device object: only the device refuses.
        ASSERT_TRUE(ctl.Send(TransferCommand("recvfile", {kAmp}, nodes.LocalFile("q.bin"), "sub/../p.bin", "down")));
        const std::string fetched = !row.deviceAllows ? "path parameter invalid"
                                    : row.text == "Success" ? "Success"
                                                            : "file is missing";
        EXPECT_EQ(ctl.Await(DoneLine("down"), 30s)["text"], fetched);

        ASSERT_TRUE(ctl.Send(DeviceCommand("fwupdate", kAmp, R"("arguments":"")")));
        EXPECT_EQ(ctl.Await(LineAbout("fwupdate", kAmp), 20s)["error"], "");
        StopCleanly(ctl);
        StopCleanly(nodes.Device());
    }
}

// A device started with the sample tree, as the runner's README starts one, refuses a get
// that climbs out of its root.
TEST(NodeDeviceFiles, TheSampleTreeAllowsNoParentPaths) {
    TransferNodes nodes("sample", {"--tree", kSampleTreeFile});
    ASSERT_TRUE(nodes.Connect());
    const fs::path above = nodes.deviceRoot.Path().parent_path() / ("zelkor-above-" + std::to_string(::getpid()));
    WriteFile(above.string(), "above the root");
    NodeProcess& ctl = nodes.Controller();
    const std::string got = nodes.LocalFile("got");
    ASSERT_TRUE(ctl.Send(TransferCommand("recvfile", {kAmp}, got, "../" + above.filename().string(), "up")));
    EXPECT_EQ(ctl.Await(DoneLine("up"), 30s)["text"], "path parameter invalid");
    EXPECT_FALSE(fs::exists(got));
    fs::remove(above);
    StopCleanly(ctl);
    StopCleanly(nodes.Device());
}

// Puts a 5 MB file (`put`, made here) over "old.bin" in the device's root, cancels it
// through the device object once some of it went, and checks that the put ends with the
// device's text and the old file alone stays.
void CancelPutOverOldFile(NodeProcess& ctl, const std::string& put, const TempDir& deviceRoot, int seed) {
    WriteRandomFile(put, 5'000'000, seed);
    WriteFile(deviceRoot.File("old.bin"), kOld);
    ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, put, "old.bin", "cancelled", 2048)));
    ASSERT_FALSE(ctl.Await(ProgressOf(put, 3), 60s).isNull());
    ASSERT_TRUE(ctl.Send(NodeCommand("cancelsend", R"("device":")" + kAmp + "\"")));
    const Json::Value done = ctl.Await(DoneLine("cancelled"), 20s);
    EXPECT_EQ(done["success"], false);
    EXPECT_EQ(done["text"], "Transfer canceled");
    EXPECT_EQ(ReadFile(deviceRoot.File("old.bin")), kOld);
    EXPECT_EQ(FolderNames(deviceRoot.Path().string()), std::vector<std::string>{"old.bin"});
}

// The device object's cancel ends the put with the device's text; the old file stays.
TEST(NodeDeviceFiles, CancelSendFileOnADirectDevice) {
    TransferNodes nodes("cancel");
    ASSERT_TRUE(nodes.Connect());
    NodeProcess& ctl = nodes.Controller();
    ASSERT_NO_FATAL_FAILURE(CancelPutOverOldFile(ctl, nodes.LocalFile("big.bin"), nodes.deviceRoot, 21));
    StopCleanly(ctl);
    StopCleanly(nodes.Device());
}

// Through a router (root only: two network namespaces joined by a veth pair): the cancel
// carries the route of the connection it takes, so the device ends the controller's put;
// the file-system requests and their errors come back the same way.
TEST(NodeDeviceFiles, CancelAndRequestsThroughARouter) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir root1;
    TempDir local;
    Node device1(StoringDeviceOptions("amp1", kAmp, 4197, root1.Path().string(), {"--fwupdate-error", "Busy"}),
                 pair.a.Name());
    Node router(Options("router", "rt1", {"--listen", "10.77.0.1:4197", "--route", "127.0.0.1,4197"}),
                pair.a.Name());
    Node controller(Options("controller", "ctl1",
                            {"--listen", "10.77.0.2:4197", "--route", "10.77.0.1,4197", "--transfer-interval", "50"}),
                    pair.b.Name());
    NodeProcess& ctl = controller.process;
    ASSERT_FALSE(ctl.Await(
                        [](const Json::Value& line) {
                            return line["event"] == "device" && line["name"] == "amp1" && line["proxy"] == "rt1" &&
                                   line["state"] == "New";
                        },
                        20s)
                     .isNull());
    ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 4197)));
    ASSERT_FALSE(ctl.Await(
                        [](const Json::Value& line) {
                            return line["event"] == "device" && line["name"] == "amp1" && line["state"] == "Connected";
                        },
                        20s)
                     .isNull());

    // The cancel is the device object's first request through the router: it must not
    // carry the route of an earlier one.
    ASSERT_NO_FATAL_FAILURE(CancelPutOverOldFile(ctl, local.File("big.bin"), root1, 22));

    const std::string root = root1.Path().string();
    EXPECT_EQ(Ask(ctl, "mkdir", "mkdir", "sub")["success"], true);
    const Json::Value listing = Ask(ctl, "listfiles", "listfiles", "/");
    EXPECT_EQ(listing["success"], true);
    EXPECT_FALSE(EntryNamed(listing, "sub").isNull());
    EXPECT_EQ(Ask(ctl, "rmdir", "rmdir", "//")["error"], "Path not allowed");
    EXPECT_EQ(Ask(ctl, "deletefile", "deletefile", "sub")["error"], "Path is a folder. Try rmdir");
    EXPECT_EQ(Ask(ctl, "rmdir", "rmdir", "sub")["success"], true);
    EXPECT_EQ(Ask(ctl, "freespace", "freespace", "/")["success"], true);
    // The other half of each request's answers, routed the same way.
    EXPECT_EQ(Ask(ctl, "mkdir", "mkdir", "/")["error"], "Path already exists");
    EXPECT_EQ(Ask(ctl, "deletefile", "deletefile", "old.bin")["success"], true);
    EXPECT_FALSE(fs::exists(root + "/old.bin"));
    for (const auto& [cmd, event] : {std::pair<const char*, const char*>{"listfiles", "listfiles"},
                                     {"freespace", "freespace"}, {"deletefile", "deletefile"}}) {
        const Json::Value answer = Ask(ctl, cmd, event, "nowhere");
        EXPECT_EQ(answer["success"], false) << cmd;
        EXPECT_NE(answer["error"], "") << cmd;
    }
    ASSERT_TRUE(ctl.Send(DeviceCommand("fwupdate", kAmp, R"("arguments":"x")")));
    EXPECT_EQ(ctl.Await(LineAbout("fwupdate", kAmp), 20s)["error"], "Busy");

    StopCleanly(ctl);
    StopCleanly(router.process);
    StopCleanly(device1.process);
}

}  // namespace
}  // namespace ZelkorTest
