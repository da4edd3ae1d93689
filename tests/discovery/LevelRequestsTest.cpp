// The discovery-level requests: the "identify", "locate" and "reboot" lines written and
// read, and a node in network namespace "a" answering locate, identify, reboot, goodbye
// and send-disco from raw UDP and TCP peers in namespace "b", and sending them as a
// controller to one device.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <mutex>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/asio/ip/udp.hpp>

#include "core/MessageSignalData.h"
#include "core/Signal.h"
#include "core/ZelkorLog.h"
#include "discovery/DiscoveryTestSupport.h"
#include "discovery/Identify.h"
#include "discovery/Locate.h"
#include "discovery/Reboot.h"
#include "services/ListCommandDiscovered.h"
#include "driver/CommandTable.h"
#include "services/ICommandInterfaceService.h"
#include "support/DriverHarness.h"
#include "support/LogCapture.h"
#include "support/NetNamespace.h"
#include "support/RunUntil.h"
#include "transport/InterfaceInfo.h"
#include "transport/UdpSocket.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::udp;
using Zelkor::Param;

template <class M>
std::string Read(const std::string& line, M& message, bool* ok = nullptr) {
    std::string error;
    const bool read = message.FromNetworkFormat(true, line, error);
    if (ok) {
        *ok = read;
    }
    return error;
}

TEST(LevelMessages, NumbersAreWrittenOnlyWhenTheirTextIsOne) {
    const std::pair<const char*, const char*> ports[] = {
        {"4197", R"({"port":4197})"}, {"+4197", R"({"port":4197})"}, {"-1", R"({"port":65535})"},
        {"70000", "{}"},              {"x", "{}"},                  {"", "{}"},
        {"port", "{}"},               {"41 97", "{}"},
    };
    for (const auto& [text, body] : ports) {
        Zelkor::Identify identify;
        identify.SetParameter(Param::port, text);
        EXPECT_EQ(identify.Build(true), std::string("identify ") + body + "\n") << text;
    }
    const std::pair<const char*, const char*> timeouts[] = {
        {"5000", R"({"timeout":5000})"}, {"+7", R"({"timeout":7})"}, {"-5", "{}"},
        {"2147483648", "{}"},            {"5s", "{}"},               {"timeout", "{}"},
    };
    for (const auto& [text, body] : timeouts) {
        Zelkor::Locate locate;
        locate.SetParameter(Param::timeout, text);
        EXPECT_EQ(locate.Build(false), std::string("@locate ") + body + "\n") << text;
    }
}

TEST(LevelMessages, SetParamsWriteTheRecordAndUnsetValuesStayOut) {
    IdentifyInfo identifyInfo{false, "g", "", "name", make_address("fd00::1"), 4197};
    Zelkor::Identify identify;
    identify.SetParams(identifyInfo, true);
    identify.SetMessageForwardInfo(Zelkor::MessageForwardInfo("ctl", "amp", ""));
    EXPECT_EQ(identify.Build(!identify.GetIsReply()),
              R"([ctl][amp] @identify {"guid":"g","ip":"fd00::1","port":4197})" "\n");

    LocateInfo locateInfo{false, "g", "m", "amp", "", make_address("10.0.0.1"), 99};
    Zelkor::Locate locate;
    locate.SetParams(locateInfo, false);
    EXPECT_EQ(locate.Build(true), R"(locate {"guid":"g","mac":"m","name":"amp"})" "\n");
    locateInfo.timeout = "250";
    locate.SetParams(locateInfo, false);
    EXPECT_EQ(locate.Build(true), R"(locate {"guid":"g","mac":"m","name":"amp","timeout":250})" "\n");

    Zelkor::Reboot reboot;
    EXPECT_EQ(reboot.Build(true), "reboot\n");
    reboot.SetParameter(Param::mac, "02:00:00:00:00:01");
    EXPECT_EQ(reboot.Build(false), R"(@reboot {"mac":"02:00:00:00:00:01"})" "\n");
}

TEST(LevelMessages, ReadingTakesNonEmptyStringsAndIntegerNumbersOnly) {
    Zelkor::Locate locate;
    locate.SetMessageForwardInfo(Zelkor::MessageForwardInfo("x", "y", ""));
    bool ok = false;
    Read(R"(7 [a][b] locate {"guid":5,"mac":"","name":"amp","ip":"[1,2]","port":4197,"timeout":"-3","extra":1})",
         locate, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(locate.GetParamValue(Param::guid), "");
    EXPECT_EQ(locate.GetParamValue(Param::mac), "");
    EXPECT_EQ(locate.GetParamValue(Param::name), "amp");
    EXPECT_EQ(locate.GetParamValue(Param::ip), "[1,2]");
    EXPECT_EQ(locate.GetParamValue(Param::port), "4197");
    EXPECT_EQ(locate.GetParamValue(Param::timeout), "-3");
    // Parsing leaves the message's own routing header alone.
    EXPECT_EQ(locate.GetMessageForwardInfo().GetTargetPaths(), "x");
    // Written back, a string that looks like JSON stays the same string.
    EXPECT_EQ(locate.Build(true), R"([x][y] locate {"ip":"[1,2]","name":"amp","port":4197})" "\n");

    Zelkor::Identify identify;
    Read(R"(identify {"port":"","name":"name","guid":"g"})", identify);
    Read(R"(identify {"port":41.5,"mac":true})", identify);
    EXPECT_EQ(identify.Build(true), R"(identify {"guid":"g"})" "\n");
    Read(R"(identify {"port":-2})", identify);
    EXPECT_EQ(identify.GetParamValue(Param::port), "-2");

    EXPECT_NE(Read("identify {\"guid\":", identify, &ok), "");
    EXPECT_FALSE(ok);
    Zelkor::Reboot reboot;
    Read(R"(reboot {"mac":"02:00:00:00:00:01","error":"Refused"})", reboot, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(reboot.GetParamValue(Param::error), "Refused");
}

// A UDP socket of namespace "b": bound to B1's address (or `address`), or to every address
// (to hear broadcasts).
class BSocket {
public:
    BSocket(const VethPair& pair, unsigned short port, bool any = false, const char* address = VethPair::AddressB) {
        EXPECT_TRUE(pair.b.Run([&] {
            _socket.open(udp::v4());
            _socket.set_option(udp::socket::reuse_address(true));
            _socket.bind({any ? make_address("0.0.0.0") : make_address(address), port});
        }));
    }
    void Send(const std::string& text, unsigned short to = 4197) {
        boost::system::error_code error;
        WaitUntil([&] {
            _socket.send_to(boost::asio::buffer(text), udp::endpoint(make_address(VethPair::AddressA), to), 0, error);
            return error != boost::asio::error::network_unreachable;
        });
    }
    // The next datagram that is not a discovery line (unless `all`); "" when none came in
    // time.
    std::string Next(std::chrono::milliseconds deadline = 3s, bool all = false) {
        for (;;) {
            std::array<char, 65536> data{};
            udp::endpoint sender;
            std::size_t count = 0;
            bool done = false;
            _socket.async_receive_from(boost::asio::buffer(data), sender,
                                       [&](boost::system::error_code error, std::size_t n) {
                                           done = !error;
                                           count = n;
                                       });
            _io.restart();
            _io.run_for(deadline);
            if (!done) {
                _socket.cancel();
                _io.restart();
                _io.run();
                return std::string();
            }
            const std::string text(data.data(), count);
            if (all || (text.rfind("disco ", 0) != 0 && text.rfind("senddisco", 0) != 0)) {
                return text;
            }
        }
    }

private:
    boost::asio::io_context _io;
    udp::socket _socket{_io};
};

class LevelRequests : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pair.Missing().empty()) {
            GTEST_SKIP() << pair.Missing();
        }
        ZelkorLog::TheLog().SetLevel(7);
        harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
        node = harness.driver->GetDiscovery();
        ASSERT_TRUE(pair.a.Run([&] {
            ASSERT_EQ(harness.driver->AddListener(VethPair::AddressA, 4197), 0);
            harness.Start(VethPair::AddressA);
        }));
        std::vector<Zelkor::InterfaceInfo> interfaces;
        std::string host;
        harness.driver->ListInterfaces(interfaces, host);
        for (const auto& adapter : interfaces) {
            if (adapter.ipv4Text == VethPair::AddressA) {
                macA = adapter.macText;
            }
        }
        ASSERT_FALSE(macA.empty());
    }
    std::shared_ptr<Zelkor::TcpSocket> Join(RawPeer& peer) {
        EXPECT_TRUE(pair.b.Run([&] { peer.Socket().open(boost::asio::ip::tcp::v4()); }));
        auto connection = harness.Connect(peer);
        EXPECT_TRUE(connection && harness.OnLoop([&] { node->AdmitIncomingConnection(connection); }));
        return connection;
    }
    static std::string NextLine(RawPeer& peer, std::chrono::milliseconds deadline = 5s) {
        std::string line;
        do {
            line = peer.ReadLine(deadline);
        } while (line.rfind("disco ", 0) == 0);
        return line;
    }
    // This node's answer to a locate or identify from B1.
    std::string Answer(const std::string& word, const std::string& more = "") {
        return "@" + word + R"( {"guid":")" + node->GUID() + R"(","ip":"10.77.0.1","mac":")" + macA +
               R"(","name":")" + node->InstanceName() + R"(","port":4197)" + more + "}\n";
    }
    template <class T>
    std::vector<T> Seen(const std::vector<T>& records) {
        std::lock_guard<std::mutex> lock(mutex);
        return records;
    }

    LogCapture log;
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    // Before the harness: the loop may use them until the harness has stopped it.
    std::mutex mutex;
    std::vector<LocateInfo> located;
    std::vector<RebootInfo> reboots;
    VethPair pair;
    DriverHarness harness;
    Zelkor::DiscoveryService* node = nullptr;
    std::string macA;
};

TEST_F(LevelRequests, LocateOverUdpAnswersByGuidThenMacThenNameAndOverTcpAlways) {
    std::atomic<bool> agree{true};
    node->OnLocate([&](LocateInfo& info) {
        std::lock_guard<std::mutex> lock(mutex);
        located.push_back(info);
        return agree.load();
    });
    BSocket peer(pair, 4197);
    const std::string other = "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a";
    const std::string upper = "{" + boost::algorithm::to_upper_copy(node->GUID()) + "}";
    const std::string name = node->InstanceName();
    peer.Send(R"(locate {"guid":")" + upper + R"(","timeout":2000})" "\n");
    EXPECT_EQ(peer.Next(), Answer("locate", R"(,"timeout":2000)"));
    // The GUID decides alone; a text that is no GUID is never answered.
    peer.Send(R"(locate {"guid":")" + other + R"(","name":")" + name + "\"}\n");
    peer.Send(R"(locate {"guid":"not-a-guid","mac":")" + macA + "\"}\n");
    peer.Send(R"(locate {"mac":"02:00:00:00:00:99","name":")" + name + "\"}\n");
    peer.Send(R"(locate {"name":"somebody"})" "\n");
    peer.Send(R"(locate {"mac":")" + macA + "\"}\n");
    EXPECT_EQ(peer.Next(), Answer("locate"));
    peer.Send(R"(locate {"name":")" + name + "\"}\n");
    EXPECT_EQ(peer.Next(), Answer("locate"));
    EXPECT_EQ(peer.Next(300ms), "");
    ASSERT_EQ(Seen(located).size(), 3u);
    EXPECT_EQ(Seen(located)[0].ip, make_address(VethPair::AddressB));
    EXPECT_EQ(Seen(located)[0].port, 4197);
    EXPECT_EQ(Seen(located)[0].timeout, "2000");

    agree = false;
    peer.Send(R"(locate {"name":")" + name + "\"}\n");
    EXPECT_EQ(peer.Next(300ms), "");
    RawPeer tcp;
    Join(tcp);
    tcp.Send("4-abcd locate {\"guid\":\"" + other + "\"}\n");
    EXPECT_EQ(NextLine(tcp), "4-abcd " + Answer("locate"));

    // Replies to a locate of this node's reach the callback with their address and port
    // read, or left zero.
    LocateInfo asked;
    ASSERT_TRUE(harness.OnLoop([&] { node->SendLocateRequest(asked); }));
    peer.Send(R"(@locate {"guid":"g","ip":"10.77.0.2","port":"4300"})" "\n");
    peer.Send(R"(@locate {"guid":"h","ip":"nowhere","port":"x"})" "\n");
    ASSERT_TRUE(WaitUntil([&] { return Seen(located).size() == 7; }));
    const LocateInfo good = Seen(located)[5], bad = Seen(located)[6];
    EXPECT_TRUE(good.reply);
    EXPECT_EQ(good.ip, make_address("10.77.0.2"));
    EXPECT_EQ(good.port, 4300);
    EXPECT_TRUE(bad.ip.is_unspecified());
    EXPECT_EQ(bad.port, 0);
}

TEST_F(LevelRequests, IdentifyIsAnsweredByEveryNodeUnlessTheCallbackRefuses) {
    std::atomic<bool> agree{true};
    std::vector<IdentifyInfo> seen;
    node->OnIdentify([&](IdentifyInfo& info) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(info);
        return agree.load();
    });
    BSocket peer(pair, 5000);
    peer.Send(R"(identify {"ip":"10.77.0.2","port":5000})" "\n");
    EXPECT_EQ(peer.Next(), Answer("identify"));
    agree = false;
    peer.Send("identify\n");
    EXPECT_EQ(peer.Next(300ms), "");
    RawPeer tcp;
    Join(tcp);
    tcp.Send("identify\n");
    EXPECT_EQ(NextLine(tcp), Answer("identify"));
    ASSERT_TRUE(WaitUntil([&] { return Seen(seen).size() == 3; }));
    EXPECT_EQ(Seen(seen)[0].port, 5000);
}

TEST_F(LevelRequests, RebootRows) {
    RawPeer tcp;
    Join(tcp);
    BSocket peer(pair, 4197);
    const std::string mac = R"({"mac":")" + macA + "\"}";
    const auto reply = [&](const std::string& error) {
        return "@reboot {" + (error.empty() ? "" : R"("error":")" + error + "\",") + R"("mac":")" + macA + "\"}\n";
    };
    tcp.Send("7 reboot " + mac + "\n");
    EXPECT_EQ(NextLine(tcp), "7 " + reply("Not implemented"));
    peer.Send("reboot " + mac + "\n");
    EXPECT_EQ(peer.Next(), reply("Not implemented"));

    std::string refusal;
    node->OnReboot([&](RebootInfo& info) {
        std::lock_guard<std::mutex> lock(mutex);
        reboots.push_back(info);
        info.error = refusal;
        return false;
    });
    // Another node's MAC: refused over TCP without asking, unanswered over UDP.
    tcp.Send(R"(reboot {"mac":"02:00:00:00:00:99"})" "\n");
    EXPECT_EQ(NextLine(tcp), R"(@reboot {"error":"Unmatched MAC","mac":"02:00:00:00:00:99"})" "\n");
    peer.Send(R"(reboot {"mac":"02:00:00:00:00:99"})" "\n");
    tcp.Send("reboot " + mac + "\n");
    EXPECT_EQ(NextLine(tcp), reply("Refused"));
    {
        std::lock_guard<std::mutex> lock(mutex);
        refusal = "Busy recording";
    }
    // The MAC is normalised before it is compared.
    tcp.Send("reboot {\"mac\":\"" + boost::algorithm::to_upper_copy(macA) + "\"}\n");
    EXPECT_EQ(NextLine(tcp), "@reboot {\"error\":\"Busy recording\",\"mac\":\"" +
                                 boost::algorithm::to_upper_copy(macA) + "\"}\n");
    std::atomic<bool> byMac{false};
    node->OnReboot([&](const std::string&, bool) { return byMac.load(); });
    tcp.Send("reboot " + mac + "\n");
    EXPECT_EQ(NextLine(tcp), reply("Refused"));
    byMac = true;
    node->OnReboot([&](RebootInfo&) { return true; });
    tcp.Send("reboot\n");
    EXPECT_EQ(NextLine(tcp), "@reboot {\"mac\":\"\"}\n");
    // The record callback was asked twice: never for another node's MAC.
    EXPECT_EQ(Seen(reboots).size(), 2u);
    EXPECT_EQ(Seen(reboots)[0].mac, macA);
    EXPECT_FALSE(Seen(reboots)[0].reply);
    EXPECT_EQ(peer.Next(300ms), "");
}

// The network edge drops what a node hears from its own listeners before the service
// sees it; the service keeps the same guard for a datagram that got by.
TEST_F(LevelRequests, OwnRebootRequestHeardBackIsIgnored) {
    node->OnReboot([](RebootInfo&) { return true; });
    // A socket of the node's namespace without a sink: it keeps the sender of what it
    // reads, and hands nothing on.
    auto heard = std::make_shared<Zelkor::UdpSocket>(harness.io, 4400);
    ASSERT_TRUE(pair.a.Run([&] { ASSERT_TRUE(heard->BindTo(make_address(VethPair::AddressA), 4400, "")); }));
    ASSERT_TRUE(harness.OnLoop([&] {
        harness.driver->SendFrame("reboot\n", make_address(VethPair::AddressA), 4400, 0, pair.a1);
    }));
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("ZK7314E"); }));
    ASSERT_TRUE(harness.OnLoop([&] {
        auto request = std::make_unique<Zelkor::Reboot>();
        request->SetParameter(Param::mac, macA.c_str());
        Zelkor::MessageSignalData data(Zelkor::ZelkorDriver::HandleOf(heard.get()), nullptr, false,
                                       std::move(request));
        node->SignalRaised(data);
        heard->Close();
    }));
    EXPECT_EQ(log.Count("ZK2033I Ignoring own reboot requests"), 1u);
    EXPECT_FALSE(log.Contains("(@reboot"));
}

TEST_F(LevelRequests, RebootRepliesReachBothCallbacks) {
    std::vector<std::string> macs;
    node->OnReboot([&](const std::string& mac, bool isReply) {
        std::lock_guard<std::mutex> lock(mutex);
        macs.push_back(mac + (isReply ? " reply" : ""));
        return true;
    });
    node->OnReboot([&](RebootInfo& info) {
        std::lock_guard<std::mutex> lock(mutex);
        reboots.push_back(info);
        return true;
    });
    RawPeer tcp;
    Join(tcp);
    tcp.Send(R"(@disco {"classname":"amplifier","guid":"0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a","name":"amp",)"
             R"("ip":"10.77.0.2","port":4300})" "\n");
    ASSERT_TRUE(WaitUntil([&] { return node->GetDeviceImplByName("amp") != nullptr; }));
    tcp.Send(R"(@reboot {"error":"Refused","mac":"02:00:00:00:00:01"})" "\n");
    ASSERT_TRUE(WaitUntil([&] { return Seen(reboots).size() == 1; }));
    EXPECT_EQ(Seen(macs), std::vector<std::string>{"02:00:00:00:00:01 reply"});
    const RebootInfo info = Seen(reboots)[0];
    EXPECT_TRUE(info.reply);
    EXPECT_EQ(info.guid, "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a");
    EXPECT_EQ(info.error, "Refused");
}

// A reboot the router answers for the device behind it is told of as the device's, as the
// reply's route says, though the connection took a keep-alive to the router after it.
// Before, the route of the request taken last named the sender: the router.
TEST_F(LevelRequests, ARebootReplyThroughARouterNamesTheDeviceWhateverWasTakenAfterIt) {
    node->OnReboot([&](RebootInfo& info) {
        std::lock_guard<std::mutex> lock(mutex);
        reboots.push_back(info);
        return true;
    });
    const std::string routerGuid = "a1b2c3d4-0000-4000-8000-000000000001";
    const std::string ampGuid = "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a";
    RawPeer tcp;
    const auto connection = Join(tcp);
    ASSERT_TRUE(connection);
    const auto router = std::make_shared<Zelkor::DeviceImpl>(
        harness.driver.get(), Record(R"({"guid":")" + routerGuid +
                                     R"(","name":"rt","ip":"10.77.0.2","port":4197,"classname":"router","mode":"router"})"));
    ASSERT_TRUE(harness.OnLoop([&] {
        router->SetHandle(connection);
        node->enterDevice(router, Zelkor::DiscoveryService::AllTables);
        auto list = std::make_unique<Zelkor::ListCommandDiscovered>();
        list->SetIsReply(true);
        std::string error;
        ASSERT_TRUE(list->FromNetworkFormat(false,
                                            R"(@list {"endpoints":[{"classname":"amplifier","guid":")" + ampGuid +
                                                R"(","ip":"192.168.7.9","name":"amp","port":4197}]})",
                                            error))
            << error;
        Zelkor::MessageSignalData data(Zelkor::ZelkorDriver::HandleOf(connection.get()), connection, true,
                                       std::move(list));
        node->HandleListDiscoveredReply(data);
    }));
    const auto amp = node->GetDeviceImplByUUID(ampGuid);
    ASSERT_TRUE(amp);
    const std::string name = node->InstanceName();
    amp->SendReboot("02:00:00:00:00:07");
    ASSERT_EQ(NextLine(tcp), "[rt&amp][" + name + R"(] reboot {"mac":"02:00:00:00:00:07"})" "\n");
    // Taken while the reboot awaits its answer, as the keep-alive timer may.
    Zelkor::MessageForwardInfo none;
    ASSERT_TRUE(harness.OnLoop([&] { node->SendKeepAliveDisco(connection, none); }));
    tcp.Send("[" + name + R"(][rt&amp] @reboot {"error":"Device not connected"})" "\n");
    ASSERT_TRUE(WaitUntil([&] { return Seen(reboots).size() == 1; }));
    EXPECT_TRUE(Seen(reboots)[0].reply);
    EXPECT_EQ(Seen(reboots)[0].guid, ampGuid);
}

TEST_F(LevelRequests, GoodbyeClosesAfterItsReplyAndSendDiscoIsAnsweredOverUdpOnly) {
    RawPeer tcp;
    Join(tcp);
    tcp.Send("senddisco\n");
    EXPECT_EQ(NextLine(tcp), "@senddisco {\"error\":\"Request not supported over TCP\"}\n");
    tcp.Send("goodbye {\"reason\":\"shutdown\"}\n");
    EXPECT_EQ(NextLine(tcp), "@goodbye\n");
    EXPECT_TRUE(tcp.WaitClosed());

    // A device answering on the protocol port sends no request of its own.
    BSocket asker(pair, 5000);
    asker.Send("senddisco\n");
    EXPECT_EQ(asker.Next(300ms, true), "");
    node->SetDiscoReplyPort("4300");
    asker.Send("senddisco\n");
    EXPECT_EQ(asker.Next(3s, true), node->BuildDiscoRequest());
}

TEST_F(LevelRequests, DeviceSendsOverItsConnectionElseToItsAddressElseToAll) {
    BSocket unicast(pair, 4197);
    BSocket all(pair, 4197, true);
    const std::string g1 = "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a";
    const auto addressed = MakeDevice(harness.driver.get(), g1, "amp", VethPair::AddressB);
    addressed->Locate(5000L);
    EXPECT_EQ(unicast.Next(), R"(locate {"guid":")" + g1 + R"(","name":"amp","timeout":5000})" "\n");
    const auto unaddressed = MakeDevice(harness.driver.get(), g1, "amp", "");
    IdentifyInfo identify{false, "g", "m", "n", make_address(VethPair::AddressB), 7};
    unaddressed->Identify(identify);
    EXPECT_EQ(all.Next(), R"(identify {"guid":"g","ip":"10.77.0.2","mac":"m","name":"n","port":7})" "\n");

    RawPeer tcp;
    Join(tcp);
    const std::string g2 = "1c4f0e2d-3b5a-4d7f-9e1c-2a3b4c5d6e7f";
    tcp.Send(R"(@disco {"classname":"amplifier","guid":")" + g2 +
             R"(","name":"near","ip":"10.77.0.2","port":4300})" "\n");
    ASSERT_TRUE(WaitUntil([&] {
        const auto near = node->GetDeviceImplByUUID(g2);
        return near && near->IsConnected();
    }));
    const auto near = node->GetDeviceImplByUUID(g2);
    LocateInfo locate{false, g2, "", "near", "", {}, 0};
    near->Locate(locate);
    EXPECT_EQ(NextLine(tcp), R"(locate {"guid":")" + g2 + R"(","name":"near"})" "\n");
    // Requests go one at a time: the next waits for this answer.
    tcp.Send("@locate {}\n");
    near->SendReboot("02:00:00:00:00:07");
    EXPECT_EQ(NextLine(tcp), R"(reboot {"mac":"02:00:00:00:00:07"})" "\n");
    EXPECT_EQ(unicast.Next(300ms), "");
}

// A datagram reply is heard only as the answer to a request of its word: to a locate sent
// to the device's address, from that address alone; to an exec sent to every node, from any.
TEST_F(LevelRequests, DatagramRepliesAreHeardOnlyFromWhereTheirRequestWent) {
    ASSERT_TRUE(pair.b.Ip("addr add 10.77.0.3/24 dev " + pair.b1));
    std::vector<std::string> results;
    node->OnLocate([&](LocateInfo& info) {
        std::lock_guard<std::mutex> lock(mutex);
        located.push_back(info);
        return true;
    });
    auto* commands = harness.driver->InitCommandInterface();
    commands->OnExecResult([&](const std::string&, const std::string&, bool, const std::string& result,
                               const std::string&) {
        std::lock_guard<std::mutex> lock(mutex);
        results.push_back(result);
    });
    BSocket device(pair, 4197);
    BSocket all(pair, 4197, true);
    BSocket other(pair, 4197, false, "10.77.0.3");

    MakeDevice(harness.driver.get(), "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a", "amp", VethPair::AddressB)->Locate(0L);
    ASSERT_NE(device.Next(), "");
    other.Send(R"(@locate {"name":"other"})" "\n");
    device.Send(R"(@locate {"name":"amp"})" "\n");
    ASSERT_TRUE(WaitUntil([&] { return !Seen(located).empty(); }));
    Zelkor::MessageForwardInfo none;
    commands->SendExecCommand(nullptr, "/", "echo", std::string(), none, "", nullptr);
    ASSERT_NE(all.Next(), "");
    other.Send(R"(@exec {"result":"answer"})" "\n");
    device.Send(R"(@locate {"name":"last"})" "\n");
    ASSERT_TRUE(WaitUntil([&] { return Seen(located).back().name == "last"; }));
    EXPECT_EQ(Seen(located).size(), 2u);
    EXPECT_EQ(Seen(located).front().name, "amp");
    EXPECT_EQ(Seen(results), std::vector<std::string>{"answer"});
}

TEST(DeviceLevelRequests, WarnWithoutDriverOrDiscoveryService) {
    LogCapture log;
    const std::string g1 = "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a";
    LocateInfo locate;
    IdentifyInfo identify;
    {
        boost::asio::io_context io;
        auto driver = std::make_shared<Zelkor::ZelkorDriver>(io);
        const auto device = MakeDevice(driver.get(), g1, "amp");
        device->Locate(1L);
        driver.reset();
        device->Locate(2L);
        device->Locate(locate);
        device->Identify(identify);
        device->SendReboot("02:00:00:00:00:07");
    }
    EXPECT_EQ(log.Count("ZK6622W Discovery Service is not avaliable"), 1u);
    EXPECT_EQ(log.Count("ZK6621W Driver is not avaliable"), 1u);
    EXPECT_EQ(log.Count("ZK6623W Driver is not avaliable"), 1u);
    EXPECT_EQ(log.Count("ZK6625W Driver is not avaliable"), 1u);
}

}  // namespace
}  // namespace ZelkorTest
