// Folder navigation on the wire: a driver over the sample tree answers raw peers' "cd",
// "ls" and "rls" (one working folder, repeated requests from the reply cache, nothing over
// UDP, listings within the entry bound), and as a controller sends the three words for
// a device object and hands the replies to its callbacks.

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include <boost/asio/ip/udp.hpp>

#include "core/ZelkorLog.h"
#include "discovery/DiscoveryTestSupport.h"
#include "services/FolderNavigationMessages.h"
#include "storage/RequestBound.h"
#include "support/DriverHarness.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"
#include "transport/UdpSocket.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::tcp;

// A device's end of the wire: takes the connection a device object makes to it.
struct RawListener {
    explicit RawListener(const char* address) : acceptor(io, tcp::endpoint(make_address(address), 0)) {
        acceptor.non_blocking(true);
    }
    Zelkor::IDevice::RemoteInfo Remote() const { return {"", {acceptor.local_endpoint().address(), Port()}}; }
    unsigned short Port() const { return acceptor.local_endpoint().port(); }
    bool Accept(RawPeer& peer) {
        boost::system::error_code error;
        return WaitUntil([&] {
            acceptor.accept(peer.Socket(), error);
            return !error;
        });
    }
    boost::asio::io_context io;
    tcp::acceptor acceptor;
};

// The next line a device object sent that is not its keep-alive "disco". The keep-alive
// is answered: a connection sends its next request once the last one has its reply.
std::string NextRequest(RawPeer& peer) {
    for (;;) {
        const std::string line = peer.ReadLine();
        Zelkor::MessageForwardInfo header;
        if (line.empty() || (header.PullHeader(line), header.GetCommand() != "disco")) {
            return line;
        }
        peer.Send("@pong\n");
    }
}

// The places of a listing reply, path to value text (an "error" place by its error).
std::map<std::string, std::string> Places(const std::string& reply, const std::string& front) {
    std::map<std::string, std::string> places;
    EXPECT_EQ(reply.compare(0, front.size(), front), 0) << reply;
    for (const auto& place : Body(reply.substr(std::min(front.size(), reply.size())))) {
        places[place["path"].asString()] = place.isMember("error") ? place["error"].asString() : place["value"].asString();
    }
    return places;
}

class FolderNavigation : public ::testing::Test {
protected:
    FolderNavigation() {
        ZelkorLog::TheLog().SetLevel(5);
        harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
        service = harness.driver->GetDiscovery();
    }
    ~FolderNavigation() override { ZelkorLog::TheLog().SetLevel(3); }

    std::string Ask(RawPeer& peer, const std::string& line) {
        peer.Send(line);
        return peer.ReadLine();
    }
    // The tree's own answer, asked on the loop that owns it.
    std::size_t PlacesBelow(const std::string& path, unsigned recursive) {
        std::size_t count = 0;
        EXPECT_TRUE(harness.OnLoop(
            [&] { count = service->GetStorageModel()->GetDescriptorForPath(path.c_str(), recursive).size(); }));
        return count;
    }
    // What the reply callbacks heard; kept by the fixture, so that it outlives the loop.
    void Hear(const std::string& text) {
        std::lock_guard<std::mutex> lock(_heardMutex);
        _heard.push_back(text);
    }
    std::vector<std::string> Heard() {
        std::lock_guard<std::mutex> lock(_heardMutex);
        return _heard;
    }

    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    LogCapture log;
    std::mutex _heardMutex;
    std::vector<std::string> _heard;
    DriverHarness harness;
    Zelkor::DiscoveryService* service = nullptr;
};

// One working folder walked down, listed relative to it, and walked up to the root; an
// unknown folder is refused and leaves it; "~" and "/" go home unchecked. A repeated
// hashed "ls" is the recorded line, even after the folder moved; the replay ends the
// entry, so the next copy is listed afresh.
TEST_F(FolderNavigation, CdLsAndUpAgainstTheWorkingFolder) {
    harness.Start();
    RawPeer peer;
    ASSERT_TRUE(harness.Connect(peer));
    const std::string hashed = "7-ab12 ls {\"path\":\"\"}\n";
    const std::string root = Ask(peer, hashed);
    EXPECT_EQ(Places(root, "7-ab12 @ls ").size(), PlacesBelow("/", 0));
    EXPECT_EQ(Ask(peer, "cd {\"path\":\"configuration\"}\n"), "@cd {\"path\":\"/configuration\"}\n");
    EXPECT_EQ(Ask(peer, hashed), root);
    EXPECT_EQ(Places(Ask(peer, hashed), "7-ab12 @ls ").size(), PlacesBelow("/configuration", 0));

    const auto device = Places(Ask(peer, "ls {\"path\":\"device\"}\n"), "@ls ");
    EXPECT_EQ(device.size(), PlacesBelow("/configuration/device", 0));
    EXPECT_EQ(device.at("/configuration/device/name"), "stage-left-amp");
    EXPECT_EQ(device.at("/configuration/device/authenticate"), "") << "a write-only value is not shown";
    EXPECT_EQ(Places(Ask(peer, "rls {\"path\":\"\"}\n"), "@rls ").size(), PlacesBelow("/configuration", 1));

    EXPECT_EQ(Ask(peer, "cd {\"path\":\"device\"}\n"), "@cd {\"path\":\"/configuration/device\"}\n");
    EXPECT_EQ(Ask(peer, "cd {\"path\":\"nowhere\"}\n"), "@cd {\"error\":\"Path not found\"}\n");
    EXPECT_EQ(Ask(peer, "cd {\"path\":\".\"}\n"), "@cd {\"path\":\"/configuration/device\"}\n");
    const std::string here = Ask(peer, "ls {\"path\":\"\"}\n");
    EXPECT_EQ(Places(here, "@ls "), device);
    EXPECT_EQ(Ask(peer, "ls {\"path\":\".\"}\n"), here);
    for (const char* up : {"/configuration", "/", "/"}) {
        EXPECT_EQ(Ask(peer, "cd {\"path\":\"..\"}\n"), "@cd {\"path\":\"" + std::string(up) + "\"}\n");
    }
    EXPECT_EQ(Ask(peer, "cd {\"path\":\"/configuration/network\"}\n"), "@cd {\"path\":\"/configuration/network\"}\n");
    EXPECT_EQ(Ask(peer, "cd {\"path\":\"~\"}\n"), "@cd {\"path\":\"/\"}\n");
    EXPECT_EQ(harness.driver->GetCWDPath(), "/");
    // Without a body there is no path to read: an error reply, and the folder stays.
    EXPECT_EQ(Ask(peer, "ls\n"), "@ls {\"error\":\"Objects must contain a path or error\"}\n");
    EXPECT_EQ(Ask(peer, "cd\n"), "@cd {\"path\":\"/\"}\n");
}

// Folder words over UDP are dropped: no datagram answers them, and the folder that every
// connection shares does not move.
TEST_F(FolderNavigation, FolderWordsOverUdpChangeAndAnswerNothing) {
    harness.Start();
    auto udp = std::make_shared<Zelkor::UdpSocket>(harness.io, 0);
    udp->SetSink(harness.driver.get());
    ASSERT_TRUE(udp->BindTo(make_address("127.0.0.1"), 0, ""));
    boost::asio::io_context io;
    boost::asio::ip::udp::socket client(io, boost::asio::ip::udp::endpoint(make_address("127.0.0.1"), 0));
    for (const char* line : {"cd {\"path\":\"configuration\"}\n", "ls {\"path\":\"\"}\n", "rls {\"path\":\"/\"}\n"}) {
        client.send_to(boost::asio::buffer(std::string(line)), udp->GetBasicSocket().local_endpoint());
    }
    const auto dropped = [&] { return log.Count("ZK6404I Folder navigation over UDP dropped"); };
    WaitUntil([&] { return dropped() == 3 || harness.driver->GetCWDPath() != "/"; });
    EXPECT_EQ(harness.driver->GetCWDPath(), "/");
    EXPECT_EQ(dropped(), 3u);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(client.available(), 0u);
    udp->Close();
}

// A listing holds at most the entry bound: the node's answer ends in the error in the
// last place, and a reply past the bound is not read (no callback), one at it is.
TEST_F(FolderNavigation, ListingsStopAtTheEntryBound) {
    struct Bound {
        ~Bound() { Zelkor::SetMaxEntriesPerMessage(Zelkor::kDefaultMaxEntriesPerMessage); }
    } restore;
    harness.driver->OnLs([this](Zelkor::MessageSignalData& data) {
        Hear(std::to_string(static_cast<const Zelkor::ListFolder*>(data.GetMessage())->EntryCount()));
    });
    harness.Start();
    RawPeer peer;
    ASSERT_TRUE(harness.Connect(peer));
    Zelkor::SetMaxEntriesPerMessage(3);
    const auto cut = Places(Ask(peer, "ls {\"path\":\"/configuration/device\"}\n"), "@ls ");
    EXPECT_EQ(cut.size(), 3u);
    EXPECT_EQ(cut.at(""), "Too many entries");
    EXPECT_TRUE(log.Contains("ZK6403W Too many entries below (/configuration/device)"));

    const std::string place = "{\"path\":\"/a/b\",\"value\":1},";
    peer.Send("@ls [" + place + place + place + place + "{\"path\":\"/a/c\"}]\n");
    peer.Send("@ls {\"path\":\"/a\",\"value\":{\"b\":1,\"c\":2,\"d\":3,\"e\":4}}\n");
    peer.Send("@ls [" + place + place + "{\"path\":\"/a/c\"}]\n");
    ASSERT_TRUE(WaitUntil([&] { return !Heard().empty(); }));
    EXPECT_EQ(Heard(), std::vector<std::string>{"3"});
    EXPECT_EQ(log.Count("ZK7877I Bad message (Too many entries)"), 2u);
}

// As a controller: the device object that the driver finds by name asks on its own
// connections, both of a redundant device with one sender hash; the replies reach the
// callbacks as read messages.
TEST_F(FolderNavigation, ADeviceObjectAsksAndTheCallbacksHearTheReplies) {
    const auto hear = [this](Zelkor::MessageSignalData& data) {
        std::string text = data.GetMessage()->CommandName();
        if (const auto* cd = dynamic_cast<const Zelkor::NavigateFolder*>(data.GetMessage())) {
            text += cd->GetParamValue(Zelkor::Param::path) + "|" + cd->GetParamValue(Zelkor::Param::error);
        } else if (const auto* listing = dynamic_cast<const Zelkor::FolderListing*>(data.GetMessage())) {
            for (const auto& [key, entries] : listing->GetEntries()) {
                text += " " + key + ":" + std::to_string(entries.size());
            }
        }
        Hear(text);
    };
    harness.driver->OnLs(hear);
    harness.driver->OnRls(hear);
    harness.driver->OnCd(hear);
    harness.Start();
    RawListener first("127.0.0.1"), second("127.0.0.2");
    Zelkor::NewDiscoInfo record = Record(R"({"guid":"0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a","name":"amp","ip":)"
                                         R"("127.0.0.1","inclusions":"locate|redundant","port":)" +
                                         std::to_string(first.Port()) + "}");
    std::shared_ptr<Zelkor::DeviceImpl> added;
    ASSERT_TRUE(harness.OnLoop([&] {
        added = service->addDevice(record);
        added->AddRemoteInfo(first.Remote());
        added->AddRemoteInfo(second.Remote());
    }));
    std::string name = "amp";
    const auto device = harness.driver->GetDeviceByName(name);
    ASSERT_TRUE(device && device == added);
    const auto connected = [&](std::size_t count) {
        std::size_t live = 0;
        for (const auto& socket : added->Connections()) {
            live += socket->SocketIsConnected() ? 1 : 0;
        }
        return live == count;
    };
    RawPeer one, two;
    device->Connect(false);
    ASSERT_TRUE(first.Accept(one) && WaitUntil([&] { return connected(1); }));
    device->Connect(false);
    ASSERT_TRUE(second.Accept(two) && WaitUntil([&] { return connected(2); }));
    std::string path = "configuration";
    device->SendCdCmdRequest(path);
    const std::string cd = NextRequest(one);
    EXPECT_NE(cd.find(" cd {\"path\":\"configuration\"}\n"), std::string::npos) << cd;
    EXPECT_EQ(NextRequest(two), cd);

    one.Send("@cd {\"path\":\"/configuration\"}\n@cd {\"error\":\"Path not found\"}\n");
    path = "/configuration/device";
    device->SendLsCmdRequest(path);
    EXPECT_NE(NextRequest(one).find(" ls {\"path\":\"/configuration/device\"}\n"), std::string::npos);
    one.Send("@ls [{\"path\":\"/configuration/device/name\",\"value\":\"amp\"},{\"path\":\"label\",\"value\":\"x\"}]\n");
    device->SendRlsCmdRequest(path);
    EXPECT_NE(NextRequest(one).find(" rls {\"path\":\"/configuration/device\"}\n"), std::string::npos);
    one.Send("@rls []\n");
    ASSERT_TRUE(WaitUntil([&] { return Heard().size() == 4; }));
    EXPECT_EQ(Heard(), (std::vector<std::string>{"cd/configuration|", "cd|Path not found",
                                                 "ls /:1 /configuration/device:1", "rls"}));
}

}  // namespace
}  // namespace ZelkorTest
