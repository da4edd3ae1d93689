// A controller's device object with a raw peer standing for the device on its connection:
// the file-system replies and the firmware words the peer sends reach the device's
// callbacks (from this device only, in their direction only, over TCP only), converted,
// and the path checks decide what reaches the peer.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/ZelkorLog.h"
#include "discovery/DiscoveryTestSupport.h"
#include "driver/Packet.h"
#include "support/DriverHarness.h"
#include "support/FirmwareHost.h"
#include "support/HeardLines.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"
#include "support/TempDir.h"
#include "transport/UdpSocket.h"

namespace ZelkorTest {
namespace {

using Zelkor::DeviceImpl;
using Lines = std::vector<std::string>;

const char* const kGuid = "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a";

class DeviceFileRequests : public ::testing::Test {
protected:
    DeviceFileRequests() {
        harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
        harness.driver->InitFileTransfer(&host);
        harness.Start();
        socket = harness.Connect(peer);
        device = MakeDevice(harness.driver.get(), kGuid, "amp-1", "127.0.0.1");
        EXPECT_TRUE(harness.OnLoop([&] { device->SetHandle(socket); }));
    }
    ~DeviceFileRequests() override { device->DisconnectSignals(); }

    void Heard(const std::string& line) { _heard.Add(line); }
    // What the callbacks heard once `count` lines are in (and the loop has finished what
    // came before).
    Lines WaitHeard(std::size_t count) {
        _heard.WaitFor(count);
        EXPECT_TRUE(harness.OnLoop([] {}));
        return _heard.Take();
    }
    // A line as a datagram from a peer, handed to the driver as its UDP road does.
    void HearDatagram(const std::string& line, bool reply) {
        ASSERT_TRUE(harness.OnLoop([&] {
            Zelkor::MessageForwardInfo header;
            header.PullHeader(line);
            Zelkor::Packet packet;
            packet.handle = Zelkor::ZelkorDriver::HandleOf(udp.get());
            packet.isReply = reply;
            packet.header = &header;
            harness.driver->SignalRaised(packet);
        }));
    }
    void RegisterAll() {
        device->OnFreespaceResult([this](bool ok, long long& bytes, std::string& error) {
            Heard("freespace " + std::string(ok ? "ok " : "failed ") + std::to_string(bytes) + " " + error);
        });
        const auto result = [this](const char* word) {
            return [this, word](bool ok, const std::string& error) {
                Heard(std::string(word) + (ok ? " ok " : " failed ") + error);
            };
        };
        device->OnDeletefileResult(result("deletefile"));
        device->OnListFilesResult(
            [this](bool ok, const std::vector<Zelkor::ListFilesItem>& entries, const std::string& error) {
                std::string names;
                for (const auto& entry : entries) {
                    names += entry.name + ":" + std::to_string(entry.size) + ",";
                }
                Heard(std::string("listfiles ") + (ok ? "ok " : "failed ") + names + " " + error);
            });
        device->OnCreateDirResult(result("mkdir"));
        device->OnRemoveDirResult(result("rmdir"));
    }

    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    // Refuses every firmware update a peer asks of this node.
    FirmwareHost host{[](std::string& error, const std::string&) {
        error = "not here";
        return false;
    }};
    DriverHarness harness;
    RawPeer peer;
    std::shared_ptr<Zelkor::TcpSocket> socket;
    std::shared_ptr<DeviceImpl> device;
    std::shared_ptr<Zelkor::UdpSocket> udp = std::make_shared<Zelkor::UdpSocket>(harness.io, 0);

private:
    HeardLines _heard;
};

// The device's own "fwupdate" request is its notice; its replies are the results. The same
// from another connection, from another originator routed over the device's connection,
// or as a datagram, reach nothing.
TEST_F(DeviceFileRequests, FirmwareWordsReachTheCallbacksOnlyFromTheDevicesConnection) {
    device->OnFirmwareUpdate([this](const std::string& arguments) { Heard("notice " + arguments); });
    device->OnFirmwareUpdateResult([this](const std::string& error) { Heard("result " + error); });
    RawPeer other;
    harness.Connect(other);
    other.Send(R"(fwupdate {"arguments":"from another"})" "\n"
               R"(@fwupdate {"error":"from another"})" "\n");
    HearDatagram(R"(fwupdate {"arguments":"datagram"})" "\n", false);
    HearDatagram(R"(@fwupdate {"error":"datagram"})" "\n", true);
    peer.Send(R"([stage-left-amp][amp-7] fwupdate {"arguments":"routed other"})" "\n"
              R"([stage-left-amp][amp-7] @fwupdate {"error":"routed other"})" "\n"
              R"(fwupdate {"arguments":"image=2.4"})" "\n"
              "fwupdate\n"
              R"(@fwupdate {"error":"Battery low"})" "\n"
              "@fwupdate\n"
              R"([stage-left-amp][amp-1] @fwupdate {"error":"routed own"})" "\n");
    EXPECT_EQ(WaitHeard(5),
              (Lines{"notice image=2.4", "notice ", "result Battery low", "result ", "result routed own"}));
}

// A registration takes replies only: the device's requests of the same words (which this
// node's service answers itself) reach no result callback.
TEST_F(DeviceFileRequests, ResultCallbacksTakeRepliesOnly) {
    RegisterAll();
    peer.Send(R"(freespace {"path":"."})" "\n"
              R"(deletefile {"path":"absent.bin"})" "\n"
              R"(listfiles {"path":"absent"})" "\n"
              R"(mkdir {"path":"made"})" "\n"
              R"(rmdir {"path":"made"})" "\n"
              R"(@freespace {"path":".","size":"4096"})" "\n"
              "@deletefile {}\n"
              R"(@deletefile {"error":"Path is a folder. Try rmdir"})" "\n"
              R"(@listfiles {"files":[{"name":"a.bin","size":3},{"name":"b","size":null}]})" "\n"
              R"(@listfiles {"error":"Access Denied","files":[{"name":"a.bin","size":"3"}]})" "\n"
              R"(@mkdir {"path":"x"})" "\n"
              R"(@mkdir {"error":"File exists"})" "\n"
              R"(@rmdir {"path":"x"})" "\n"
              R"(@rmdir {"error":"Path not allowed"})" "\n");
    EXPECT_EQ(WaitHeard(9), (Lines{"freespace ok 4096 ", "deletefile ok ",
                                   "deletefile failed Path is a folder. Try rmdir", "listfiles ok a.bin:3,b:0, ",
                                   "listfiles failed  Access Denied", "mkdir ok ", "mkdir failed File exists",
                                   "rmdir ok ", "rmdir failed Path not allowed"}));
    HearDatagram(R"(@rmdir {"error":"datagram"})" "\n", true);
    RawPeer other;
    harness.Connect(other);
    other.Send("@mkdir\n");
    peer.Send("@rmdir\n");
    EXPECT_EQ(WaitHeard(1), Lines{"rmdir ok "});
}

// The free space is a signed 64-bit decimal after blanks and a sign; anything else, or no
// size at all, is a failure with "Operation failed"; a device's error comes as it is.
TEST_F(DeviceFileRequests, FreeSpaceConversion) {
    RegisterAll();
    const std::vector<std::pair<std::string, std::string>> rows = {
        {R"({"size":"12345"})", "freespace ok 12345 "},
        {R"({"size":"abc"})", "freespace failed 0 Operation failed"},
        {R"({"size":"-5"})", "freespace ok -5 "},
        {R"({"size":"  +77kB"})", "freespace ok 77 "},
        {R"({"size":"9223372036854775807"})", "freespace ok 9223372036854775807 "},
        {R"({"size":"9223372036854775808"})", "freespace failed 0 Operation failed"},
        {R"({"size":""})", "freespace failed 0 Operation failed"},
        {R"({"path":"/"})", "freespace failed 0 Operation failed"},
        {R"({"error":"No such file or directory","size":"5"})", "freespace failed 0 No such file or directory"},
    };
    for (const auto& [body, heard] : rows) {
        peer.Send("@freespace " + body + "\n");
        EXPECT_EQ(WaitHeard(1), Lines{heard}) << body;
    }
}

// A second registration replaces the callback behind the one connected filter.
TEST_F(DeviceFileRequests, ASecondRegistrationTakesOverTheOneFilter) {
    device->OnCreateDirResult([this](bool, const std::string&) { Heard("first"); });
    device->OnCreateDirResult([this](bool, const std::string&) { Heard("second"); });
    EXPECT_TRUE(device->Cookies().IsConnected(Zelkor::Cookie::CreateDir));
    peer.Send("@mkdir\n@mkdir\n");
    EXPECT_EQ(WaitHeard(2), (Lines{"second", "second"}));
    // A disconnection cuts the filter; the stored callback waits for the next registration.
    // The "rmdir" reply, registered after the cut, tells that the "mkdir" before it was
    // handled.
    device->DisconnectSignals();
    device->OnRemoveDirResult([this](bool, const std::string&) { Heard("marker"); });
    peer.Send("@mkdir\n@rmdir\n");
    EXPECT_EQ(WaitHeard(1), Lines{"marker"});
    device->OnCreateDirResult([this](bool, const std::string&) { Heard("third"); });
    peer.Send("@mkdir\n");
    EXPECT_EQ(WaitHeard(1), Lines{"third"});
}

// The two text forms take 1 to 1023 bytes, the string forms any non-empty path; a refused
// path is one error line and nothing sent.
TEST_F(DeviceFileRequests, PathChecksDecideWhatIsSent) {
    LogCapture log;
    const std::string longest(1023, 'p');
    const std::string tooLong(1024, 'p');
    device->SendFreespaceCommand(nullptr);
    device->SendFreespaceCommand("");
    device->SendFreespaceCommand(tooLong.c_str());
    device->SendDeletefileCommand(nullptr);
    device->SendDeletefileCommand("");
    device->SendDeletefileCommand(tooLong.c_str());
    device->ListFiles("");
    device->CreateDir("");
    device->RemoveDir("");
    EXPECT_EQ(log.Count("ZK6694E SendFreespaceCommand missing path"), 1u);
    EXPECT_EQ(log.Count("ZK6695E SendFreespaceCommand invalid path"), 2u);
    EXPECT_EQ(log.Count("ZK6696E SendDeletefileCommand missing path"), 1u);
    EXPECT_EQ(log.Count("ZK6697E SendDeletefileCommand invalid path"), 2u);
    EXPECT_EQ(log.Count("ZK6698E Listfiles missing path"), 1u);
    EXPECT_EQ(log.Count("ZK6699E CreateDir missing path"), 1u);
    EXPECT_EQ(log.Count("ZK66A0E RemoveDir missing path"), 1u);
    device->SendFreespaceCommand(longest.c_str());
    device->SendDeletefileCommand(longest.c_str());
    device->ListFiles(tooLong);
    device->CreateDir("d");
    device->RemoveDir("d");
    const Lines sent = {"freespace {\"path\":\"" + longest + "\"}\n", "deletefile {\"path\":\"" + longest + "\"}\n",
                        "listfiles {\"path\":\"" + tooLong + "\"}\n", "mkdir {\"path\":\"d\"}\n",
                        "rmdir {\"path\":\"d\"}\n"};
    // The connection holds each request until the one before is answered.
    for (const auto& line : sent) {
        EXPECT_EQ(peer.ReadLine(), line);
        peer.Send("@" + line.substr(0, line.find(' ')) + "\n");
    }
}

// The cancel goes on the device's connection without a route when the device is reached
// directly; the firmware request carries its arguments through.
TEST_F(DeviceFileRequests, CancelAndFirmwareRequestsGoOnTheDevicesConnection) {
    device->CancelSendFile();
    device->FirmwareUpdate("image=2.4 --force");
    EXPECT_EQ(peer.ReadLine(), "cancelputfile\n");
    peer.Send("@cancelputfile\n");
    EXPECT_EQ(peer.ReadLine(), "fwupdate {\"arguments\":\"image=2.4 --force\"}\n");
}

// The cancel carries the route of the connection it goes on, prepared for it: none once
// the device is reached directly after a request through its router, and the router's
// once it is reached through the router after a request of its own connection.
TEST_F(DeviceFileRequests, TheCancelCarriesTheRouteOfTheConnectionItTakes) {
    RawPeer routerPeer;
    const auto routerSocket = harness.Connect(routerPeer);
    const auto router = std::make_shared<DeviceImpl>(
        harness.driver.get(),
        Record(R"({"guid":"7c1d2e3f-4a5b-4c6d-8e7f-9a0b1c2d3e4f","name":"rt1","ip":"127.0.0.1","port":4197,)"
               R"("mode":"router"})"));
    const auto routed = MakeDevice(harness.driver.get(), "1a2b3c4d-5e6f-4a7b-8c9d-0e1f2a3b4c5d", "amp-2");
    ASSERT_TRUE(harness.OnLoop([&] {
        router->SetHandle(routerSocket);
        routed->SetProxy(router);
    }));
    routed->FirmwareUpdate("a");
    EXPECT_EQ(routerPeer.ReadLine(), "[rt1&amp-2][stage-left-amp] fwupdate {\"arguments\":\"a\"}\n");
    routerPeer.Send("@fwupdate\n");
    RawPeer ownPeer;
    const auto ownSocket = harness.Connect(ownPeer);
    ASSERT_TRUE(harness.OnLoop([&] { routed->SetHandle(ownSocket); }));
    routed->CancelSendFile();
    EXPECT_EQ(ownPeer.ReadLine(), "cancelputfile\n");

    device->FirmwareUpdate("b");
    EXPECT_EQ(peer.ReadLine(), "fwupdate {\"arguments\":\"b\"}\n");
    peer.Send("@fwupdate\n");
    device->Disconnected(false);
    ASSERT_TRUE(harness.OnLoop([&] { device->SetProxy(router); }));
    device->CancelSendFile();
    EXPECT_EQ(routerPeer.ReadLine(), "[rt1&amp-1][stage-left-amp] cancelputfile\n");
    routed->Finalize();
    router->Finalize();
}

}  // namespace
}  // namespace ZelkorTest
