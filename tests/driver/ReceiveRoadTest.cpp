// The receive road over real connections: duplicates answered from the reply cache,
// error replies and custom echoes on the wire, and the driver as router among raw peers.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/LoggedLine.h"
#include "core/ZelkorLog.h"
#include "driver/ForwardedRequests.h"
#include "driver/ReturnRoutes.h"
#include "driver/SilentRequesters.h"
#include "support/DriverHarness.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

class ReceiveRoad : public ::testing::Test {
protected:
    ReceiveRoad() { ZelkorLog::TheLog().SetLevel(5); }

    // Requester `a` subscribed through the router to device `c` ("C"), its first publish
    // passed on and not yet answered.
    void subscribeThroughRouter(RawPeer& a, RawPeer& c) {
        ASSERT_TRUE(harness.Connect(a));
        auto toC = harness.Connect(c);
        ASSERT_TRUE(toC);
        // As a router reaches its devices: on connections it opened.
        toC->SetOutgoing(true);
        harness.discovery->AddDevice("C", toC);
        a.Send("[R&C][A] subscribe {}\n");
        ASSERT_EQ(c.ReadLine(), "[C][R&A] subscribe {}\n");
        c.Send("[R&A][C] @subscribe {}\n[R&A][C] publish {\"n\":1}\n");
        ASSERT_EQ(a.ReadLine(), "[A][R&C] @subscribe {}\n");
        ASSERT_EQ(a.ReadLine(), "[A][R&C] publish {\"n\":1}\n");
    }

    // The router sees a line's write complete a moment after its peer may have read it:
    // a time given to the expiry stands that far past the read.
    static constexpr auto kWriteSeen = std::chrono::seconds(1);

    // A peer connected from `address` (of the loopback network), and the driver's end.
    std::shared_ptr<Zelkor::TcpSocket> connectFrom(RawPeer& peer, const char* address) {
        peer.Socket().open(boost::asio::ip::tcp::v4());
        peer.Socket().bind({boost::asio::ip::make_address(address), 0});
        return harness.Connect(peer);
    }

    LogCapture log;
    DriverHarness harness;
};

TEST_F(ReceiveRoad, HashedRequestRunsOnceItsDuplicatesGetTheRecordedReply) {
    harness.Start();
    RawPeer first, second;
    ASSERT_TRUE(harness.Connect(first));
    ASSERT_TRUE(harness.Connect(second));
    // Whichever send operation carries the service's reply, it is recorded.
    const FakeDiscovery::Send sends[] = {&Zelkor::ZelkorDriver::BuildAndSendMessage,
                                         &Zelkor::ZelkorDriver::BuildAndSendUnicastMessage,
                                         &Zelkor::ZelkorDriver::BuildAndSendMessageDelayed};
    std::size_t handled = 0;
    for (const auto send : sends) {
        const std::string hash = std::to_string(5 + handled) + "-ab12";
        const std::string request = hash + " identify {\"q\":1}\n";
        const std::string reply = hash + " @identify {\"r\":1}\n";
        first.Send(request);
        ASSERT_TRUE(WaitUntil([&] { return harness.discovery->Handled("identify") == handled + 1; }));
        second.Send(request);
        ASSERT_TRUE(WaitUntil([&] { return log.Contains("ZK7878I Reply pending for (" + hash + ")"); }));
        harness.discovery->Answer(handled, "{\"r\":1}", send);
        EXPECT_EQ(first.ReadLine(), reply);
        EXPECT_EQ(second.ReadLine(), reply) << hash;
        second.Send(request);
        EXPECT_EQ(second.ReadLine(), reply) << hash;
        // The replay ended the entry: the next copy is a new request.
        second.Send(request);
        EXPECT_TRUE(WaitUntil([&] { return harness.discovery->Handled("identify") == handled + 2; }));
        handled += 2;
    }
}

TEST_F(ReceiveRoad, RefusalsAndEchoesAreRecordedAndAnotherBodyUnderTheSameHashRuns) {
    harness.Start();
    RawPeer peer;
    ASSERT_TRUE(harness.Connect(peer));
    // Sent twice each: the copy gets the recorded answer.
    const std::pair<const char*, const char*> answered[] = {
        {"8 reboot\n", "8 @reboot {\"error\":\"No message signal data\"}\n"},
        {"9 frob {\"x\":1}\n", "9 @frob {\"x\":1}\n"},
        {"10 error {\"message\":\"m\"}\n", "10 @error {\"message\":\"m\"}\n"},
    };
    for (const auto& [request, reply] : answered) {
        for (int copy = 0; copy < 2; ++copy) {
            peer.Send(request);
            EXPECT_EQ(peer.ReadLine(), reply) << request << copy;
        }
    }
    peer.Send("11 identify {\"a\":1}\n11 identify {\"a\":2}\n");
    EXPECT_TRUE(WaitUntil([&] { return harness.discovery->Handled("identify") == 2; }));
}

TEST_F(ReceiveRoad, ErrorRepliesAndCustomEchoesOnTheWire) {
    std::mutex mutex;
    std::vector<std::string> seen;
    harness.driver->OnCustomCommand([&](std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(line);
        return false;
    });
    harness.Start();
    RawPeer peer;
    auto socket = harness.Connect(peer);
    ASSERT_TRUE(socket);
    peer.Send("list {}\n");
    EXPECT_EQ(peer.ReadLine(), "@list {\"error\":\"Missing list command name.\"}\n");
    peer.Send("frob {\"x\":1}\nfrob\n");
    EXPECT_EQ(peer.ReadLine(), "@frob {\"x\":1}\n");
    EXPECT_EQ(peer.ReadLine(), "@frob \n");
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(seen, (std::vector<std::string>{"frob {\"x\":1}", "frob "}));
    }
    // A parse error's text may hold quotes and line ends: the reply stays one JSON line.
    ASSERT_TRUE(harness.OnLoop([&] {
        Zelkor::MessageForwardInfo header;
        Zelkor::Packet packet;
        packet.handle = Zelkor::ZelkorDriver::HandleOf(socket.get());
        packet.socket = socket;
        packet.reliable = true;
        packet.header = &header;
        harness.driver->SendErrorReply(packet, "get", "bad \"x\"\nline", header);
    }));
    EXPECT_EQ(peer.ReadLine(), "@get {\"error\":\"bad \\\"x\\\"\\nline\"}\n");
}

// A request whose body holds more values than a peer may send is answered, whatever its
// word, with that word's error and its route turned round; its line is logged cut short,
// and the connection goes on.
TEST_F(ReceiveRoad, ARequestOverTheValueBoundIsAnsweredAndLoggedShort) {
    std::atomic<int> custom{0};
    harness.driver->OnCustomCommand([&custom](std::string&) {
        ++custom;
        return false;
    });
    harness.Start();
    RawPeer peer;
    ASSERT_TRUE(harness.Connect(peer));
    // 260,000 entries, 3.6 MB on one line: past the value bound, under the line's.
    std::string entries = "[";
    for (int n = 0; n < 260000; ++n) {
        entries += n == 0 ? R"({"path":"/a"})" : R"(,{"path":"/a"})";
    }
    entries += "]";
    const std::string refused = R"({"error":"Too many entries"})" "\n";
    const std::pair<std::string, std::string> asked[] = {
        {"get ", "@get " + refused},
        {"12-ab12 [R][A] set ", "12-ab12 [A][R] @set " + refused},
        {"frob ", "@frob " + refused},
        {"disco ", "@disco " + refused},
    };
    for (const auto& [request, reply] : asked) {
        peer.Send(request + entries + "\n");
        EXPECT_EQ(peer.ReadLine(30s), reply) << request;
    }
    EXPECT_EQ(custom.load(), 0);
    peer.Send("frob {\"x\":1}\n");
    EXPECT_EQ(peer.ReadLine(), "@frob {\"x\":1}\n");
    EXPECT_EQ(log.Count("ZK5107E JSON parameters hold too many values"), 4u);
    for (const auto& line : log.Lines()) {
        EXPECT_LT(line.size(), 2 * Zelkor::kLoggedLineLimit) << line.substr(0, 100);
    }
}

// An application hooks a word the driver knows by its raw form, reply mark and body
// aside: it hears every message of that word beside the driver's own handling.
TEST_F(ReceiveRoad, ARawCommandHandlerHearsItsWord) {
    std::mutex mutex;
    std::vector<std::string> heard;
    auto hook = harness.driver->AddRawCmdHandler("@error {\"message\":\"any\"}", [&](Zelkor::MessageSignalData& data) {
        std::lock_guard<std::mutex> lock(mutex);
        heard.push_back(data.GetMessage() ? data.GetMessage()->GetParamValue(Zelkor::Param::message) : "none");
    });
    EXPECT_FALSE(harness.driver->AddRawCmdHandler("frob {}", [](Zelkor::MessageSignalData&) {}).connected());
    harness.Start();
    RawPeer peer;
    ASSERT_TRUE(harness.Connect(peer));
    peer.Send("@error {\"message\":\"first\"}\nerror {\"message\":\"second\"}\n");
    EXPECT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return heard.size() == 2;
    }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(heard, (std::vector<std::string>{"first", "second"}));
}

// A device's notice through a router, come on a connection that reaches neither the
// device nor its router here, is refused before any handler hears it (the device then
// knows it went unheard); one that comes the way the device is reached, one of a device
// this node reaches through no router, and one on the device's own connection are heard.
TEST_F(ReceiveRoad, ARoutedNoticeOnAConnectionThatDoesNotReachItsDeviceIsRefusedUnheard) {
    harness.discovery->serviceWords.insert({"publish", "log", "event"});
    harness.discovery->noticeWay = Zelkor::IDriverDiscovery::NoticeWay::Stray;
    harness.Start();
    RawPeer peer;
    ASSERT_TRUE(harness.Connect(peer));
    for (const std::string word : {"publish", "log", "event"}) {
        peer.Send("[R][X&D] " + word + " {\"path\":\"/a\"}\n");
        EXPECT_EQ(peer.ReadLine(), "[X&D][R] @" + word + " {\"error\":\"Device not connected\"}\n");
    }
    peer.Send("[R][D] publish {\"path\":\"/a\"}\n");
    harness.discovery->noticeWay = Zelkor::IDriverDiscovery::NoticeWay::Taken;
    peer.Send("[R][X&D] publish {\"path\":\"/a\"}\n");
    EXPECT_TRUE(WaitUntil([&] { return harness.discovery->Handled("publish") == 2; }));
    harness.discovery->noticeWay = Zelkor::IDriverDiscovery::NoticeWay::NotFollowed;
    peer.Send("[R][X&D] publish {\"path\":\"/a\"}\n");
    EXPECT_TRUE(WaitUntil([&] { return harness.discovery->Handled("publish") == 3; }));
    EXPECT_EQ(harness.discovery->Handled("log") + harness.discovery->Handled("event"), 0u);
}

TEST_F(ReceiveRoad, RoutesRequestsAndRepliesBetweenRawPeers) {
    harness.Start();
    RawPeer a, b, c;
    ASSERT_TRUE(harness.Connect(a));
    auto toB = harness.Connect(b);
    ASSERT_TRUE(toB);
    ASSERT_TRUE(harness.Connect(c));
    harness.discovery->AddDevice("B", toB);
    harness.discovery->AddDevice("Y", nullptr);

    // A forwarded body goes on as it was written, members the router's class does not know
    // and bodies it could not read included: the node it is for answers for it.
    a.Send("[R&B][A] identify {\"name\":\"q1\", \"extra\": [1, 2]}  \n");
    EXPECT_EQ(b.ReadLine(), "[B][R&A] identify {\"name\":\"q1\", \"extra\": [1, 2]}\n");
    b.Send("[R&A][B] @identify {\"name\":\"r1\"}\n");
    EXPECT_EQ(a.ReadLine(), "[A][R&B] @identify {\"name\":\"r1\"}\n");
    a.Send("[R&B][A] list {}\n");
    EXPECT_EQ(b.ReadLine(), "[B][R&A] list {}\n");
    b.Send("[R&A][B] @list {\"error\":\"Missing list command name.\"}\n");
    EXPECT_EQ(a.ReadLine(), "[A][R&B] @list {\"error\":\"Missing list command name.\"}\n");
    // A requester that connected to the router has no record of its own there: what is
    // sent to it (a publish of what it subscribed to) goes back the way its requests came.
    b.Send("[R&A][B] publish {\"path\":\"/x\",\"value\":1}\n");
    EXPECT_EQ(a.ReadLine(), "[A][R&B] publish {\"path\":\"/x\",\"value\":1}\n");

    // Two requesters through one next hop, hashed: each gets its own reply.
    a.Send("3-aaaa [R&B][A] identify {\"name\":\"qa\"}\n");
    EXPECT_EQ(b.ReadLine(), "3-aaaa [B][R&A] identify {\"name\":\"qa\"}\n");
    c.Send("3-cccc [R&B][C] identify {\"name\":\"qc\"}\n");
    // Lines of one connection are handled in order: once this echo is back, C's request
    // has been forwarded (it waits on B's connection behind A's).
    c.Send("frob\n");
    ASSERT_EQ(c.ReadLine(), "@frob \n");
    b.Send("3-aaaa [R&A][B] @identify {\"name\":\"ra\"}\n");
    EXPECT_EQ(b.ReadLine(), "3-cccc [B][R&C] identify {\"name\":\"qc\"}\n");
    b.Send("3-cccc [R&C][B] @identify {\"name\":\"rc\"}\n");
    EXPECT_EQ(a.ReadLine(), "3-aaaa [A][R&B] @identify {\"name\":\"ra\"}\n");
    EXPECT_EQ(c.ReadLine(), "3-cccc [C][R&B] @identify {\"name\":\"rc\"}\n");

    // Refusals find their way back to the requester.
    const std::pair<const char*, const char*> refusals[] = {
        {"[R&X][A] identify\n", "[A][R&X] @identify {\"error\":\"Device not found\"}\n"},
        {"[R&Y][A] identify\n", "[A][R&Y] @identify {\"error\":\"Device not connected\"}\n"},
        {"[R&B][A] frob\n", "[A][R&B] @frob {\"error\":\"Message factory failed\"}\n"},
        {"[Q][A] identify\n", "[A][Q] @identify {\"error\":\"Message is misrouted\"}\n"},
    };
    for (const auto& [request, reply] : refusals) {
        a.Send(request);
        EXPECT_EQ(a.ReadLine(), reply) << request;
    }
    EXPECT_EQ(harness.discovery->Handled("identify"), 0u);
}

// Requests passed on over a connection that ends before they are answered: each requester
// hears "connection lost" along the way its request came, the one written and the one
// still waiting behind it; a request answered before hears nothing more.
TEST_F(ReceiveRoad, RequestsPassedOnOverAConnectionThatEndsAreAnsweredConnectionLost) {
    harness.Start();
    RawPeer a, b, c;
    ASSERT_TRUE(harness.Connect(a));
    auto toB = harness.Connect(b);
    ASSERT_TRUE(toB);
    ASSERT_TRUE(harness.Connect(c));
    harness.discovery->AddDevice("B", toB);
    a.Send("[R&B][A] identify {\"name\":\"q1\"}\n");
    ASSERT_EQ(b.ReadLine(), "[B][R&A] identify {\"name\":\"q1\"}\n");
    b.Send("[R&A][B] @identify {\"name\":\"r1\"}\n");
    ASSERT_EQ(a.ReadLine(), "[A][R&B] @identify {\"name\":\"r1\"}\n");
    a.Send("[R&B][A] identify {\"name\":\"q2\"}\n");
    ASSERT_EQ(b.ReadLine(), "[B][R&A] identify {\"name\":\"q2\"}\n");
    c.Send("3-cccc [R&B][C] identify {\"name\":\"q3\"}\n");
    // Once this echo is back, C's request waits on B's connection behind A's.
    c.Send("frob\n");
    ASSERT_EQ(c.ReadLine(), "@frob \n");
    b.Close();
    EXPECT_EQ(a.ReadLine(), "[A][R&B] @identify {\"error\":\"connection lost\"}\n");
    EXPECT_EQ(c.ReadLine(), "3-cccc [C][R&B] @identify {\"error\":\"connection lost\"}\n");
    a.Send("frob\n");
    EXPECT_EQ(a.ReadLine(), "@frob \n");
    // With B's connection gone, a request for B is refused at once.
    a.Send("[R&B][A] identify {}\n");
    const std::string refused = a.ReadLine();
    EXPECT_TRUE(refused == "[A][R&B] @identify {\"error\":\"Device not connected\"}\n" ||
                refused == "[A][R&B] @identify {\"error\":\"Device not found\"}\n")
        << refused;
}

// A requester's return route carries its replies and what a device sends it, from the
// connections its requests went on, and nothing else: no request of another word, no line
// of another connection, and no second connection takes its name while it is in use.
TEST_F(ReceiveRoad, AReturnRouteCarriesOnlyRepliesAndNoticesFromWhereTheRequestsWent) {
    harness.Start();
    RawPeer a, b, c;
    ASSERT_TRUE(harness.Connect(a));
    auto toB = harness.Connect(b);
    ASSERT_TRUE(toB);
    ASSERT_TRUE(harness.Connect(c));
    harness.discovery->AddDevice("B", toB);
    a.Send("[R&B][A] identify {}\n");
    ASSERT_EQ(b.ReadLine(), "[B][R&A] identify {}\n");
    b.Send("[R&A][B] @identify {}\n");
    ASSERT_EQ(a.ReadLine(), "[A][R&B] @identify {}\n");

    const std::pair<const char*, const char*> refused[] = {
        // A's name is no device: only notices go to it.
        {"[R&A][C] identify {}\n", "[C][R&A] @identify {\"error\":\"Device not found\"}\n"},
        // A's name is in use on A's connection.
        {"[R&B][A] identify {}\n", "[A][R&B] @identify {\"error\":\"Source name in use\"}\n"},
    };
    for (const auto& [request, reply] : refused) {
        c.Send(request);
        EXPECT_EQ(c.ReadLine(), reply) << request;
    }
    // Nothing reached A from C, neither a reply nor a notice: C's requests never went on
    // C's own connection. A round trip tells what came before it.
    c.Send("[R&A][B] @identify {\"forged\":1}\n[R&A][B] publish {\"forged\":1}\n");
    c.Send("frob\n");
    ASSERT_EQ(c.ReadLine(), "[B][R&A] @publish {\"error\":\"Device not found\"}\n");
    ASSERT_EQ(c.ReadLine(), "@frob \n");
    b.Send("[R&A][B] publish {\"real\":1}\n");
    EXPECT_EQ(a.ReadLine(), "[A][R&B] publish {\"real\":1}\n");
    EXPECT_EQ(harness.discovery->Handled("identify"), 0u);
}

// A stranger whose connection carries a device's notices answers them in its own name
// only: its reply in the name of another requester (a refusal telling the device that
// requester is gone, so that it drops its subscriptions and transfers) never reaches the
// device.
TEST_F(ReceiveRoad, AReplyInAnotherRequestersNameIsNotPassedOn) {
    harness.Start();
    RawPeer a, b, s;
    ASSERT_TRUE(harness.Connect(a));
    auto toB = harness.Connect(b);
    ASSERT_TRUE(toB);
    ASSERT_TRUE(harness.Connect(s));
    harness.discovery->AddDevice("B", toB);
    for (auto* requester : {&a, &s}) {
        const std::string name = requester == &a ? "A" : "S";
        requester->Send("[R&B][" + name + "] subscribe {}\n");
        ASSERT_EQ(b.ReadLine(), "[B][R&" + name + "] subscribe {}\n");
        b.Send("[R&" + name + "][B] @subscribe {}\n");
        ASSERT_EQ(requester->ReadLine(), "[" + name + "][R&B] @subscribe {}\n");
    }
    b.Send("[R&S][B] publish {}\n");
    ASSERT_EQ(s.ReadLine(), "[S][R&B] publish {}\n");
    s.Send("[R&B][A] @publish {\"error\":\"Device not connected\"}\n[R&B][S] @publish {}\n");
    EXPECT_EQ(b.ReadLine(), "[B][R&S] @publish {}\n");
    b.Send("[R&A][B] publish {}\n");
    ASSERT_EQ(a.ReadLine(), "[A][R&B] publish {}\n");
    a.Send("[R&B][A] @publish {}\n");
    EXPECT_EQ(b.ReadLine(), "[B][R&A] @publish {}\n");
}

// A requester that subscribed to many devices behind the router hears the publishes of
// all of them, however many it asked and in whatever order they answer.
TEST_F(ReceiveRoad, ARequesterHearsEveryDeviceItAskedThroughTheRouter) {
    harness.Start();
    RawPeer requester;
    ASSERT_TRUE(harness.Connect(requester));
    constexpr std::size_t count = 80;
    std::vector<std::unique_ptr<RawPeer>> devices;
    for (std::size_t i = 0; i < count; ++i) {
        devices.push_back(std::make_unique<RawPeer>());
        auto socket = harness.Connect(*devices.back());
        ASSERT_TRUE(socket);
        harness.discovery->AddDevice("D" + std::to_string(i), socket);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::string name = "D" + std::to_string(i);
        requester.Send("[R&" + name + "][A] subscribe {}\n");
        ASSERT_EQ(devices[i]->ReadLine(), "[" + name + "][R&A] subscribe {}\n");
    }
    for (std::size_t i = count; i-- > 0;) {
        const std::string name = "D" + std::to_string(i);
        devices[i]->Send("[R&A][" + name + "] publish {}\n");
        ASSERT_EQ(requester.ReadLine(), "[A][R&" + name + "] publish {}\n");
        // The router's connection to the requester carries one request at a time.
        requester.Send("[R&" + name + "][A] @publish {}\n");
    }
}

// A device's publishes toward a requester whose connection ends unanswered are refused as
// the road refuses a requester that is not connected, the one written and the one queued
// behind it, so that the device may go on sending on its connection, and forgets the
// requester.
TEST_F(ReceiveRoad, NoticesToARequesterWhoseConnectionEndsAreRefused) {
    harness.Start();
    RawPeer a, c;
    ASSERT_NO_FATAL_FAILURE(subscribeThroughRouter(a, c));
    c.Send("[R&A][C] publish {\"n\":2}\n");
    a.Close();
    EXPECT_EQ(c.ReadLine(), "[C][R&A] @publish {\"error\":\"Device not connected\"}\n");
    EXPECT_EQ(c.ReadLine(), "[C][R&A] @publish {\"error\":\"Device not connected\"}\n");
}

// A source that fills the table of requester names keeps no other source out: a new name
// from another address takes the place of the filler's least recently used one, while the
// filler finds no room ("Too many requesters", not "Source name in use"); the names of a
// connection that closes go at once.
TEST_F(ReceiveRoad, RequesterNamesAreSharedBetweenSources) {
    harness.Start();
    RawPeer device;
    auto toDevice = harness.Connect(device);
    ASSERT_TRUE(toDevice);
    harness.discovery->AddDevice("D", toDevice);
    // The lines a peer hears up to the echo of a line sent after its requests: each of them
    // handled by then.
    const auto heardUntilEcho = [](RawPeer& peer) {
        peer.Send("frob\n");
        std::vector<std::string> heard;
        for (std::string line = peer.ReadLine(); !line.empty() && line != "@frob \n"; line = peer.ReadLine()) {
            heard.push_back(line);
        }
        return heard;
    };
    RawPeer fillers[4];
    for (std::size_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(connectFrom(fillers[i], "127.0.0.1"));
        std::string lines;
        for (std::size_t n = 0; n < Zelkor::ReturnRoutes::MaxNamesPerOwner; ++n) {
            lines += "[R&D][f" + std::to_string(i) + "-" + std::to_string(n) + "] identify {}\n";
        }
        fillers[i].Send(lines);
        heardUntilEcho(fillers[i]);
    }
    RawPeer another, newcomer;
    ASSERT_TRUE(connectFrom(another, "127.0.0.1"));
    ASSERT_TRUE(connectFrom(newcomer, "127.0.0.2"));
    another.Send("[R&D][late] identify {}\n");
    EXPECT_EQ(another.ReadLine(), "[late][R&D] @identify {\"error\":\"Too many requesters\"}\n");
    newcomer.Send("[R&D][new] identify {}\n");
    EXPECT_TRUE(heardUntilEcho(newcomer).empty());

    fillers[0].Close();
    EXPECT_TRUE(WaitUntil([&] {
        another.Send("[R&D][late] identify {}\n");
        return heardUntilEcho(another).empty();
    }));
}

// A unit's requests may come from another of its host's addresses than the one this node
// reaches it at. A connection speaks in the name of a device, and takes a requester's name
// from another connection that still speaks, only once it proves it is the same unit: it
// answered discovery with the unit's GUID and proved the code. The GUID alone, or the code
// proven by another unit, takes nothing.
TEST_F(ReceiveRoad, AConnectionProvenToBeItsUnitsSpeaksInItsNames) {
    const std::string unitGuid = "1b4e28ba-2fa1-11d2-883f-0016d3cca427";
    harness.discovery->hasCode = true;
    harness.Start();
    RawPeer device, target, unit, other, again;
    const auto toDevice = connectFrom(device, "127.0.0.1");
    const auto toTarget = connectFrom(target, "127.0.0.1");
    const auto fromUnit = connectFrom(unit, "127.0.0.2");
    const auto fromOther = connectFrom(other, "127.0.0.3");
    const auto fromAgain = connectFrom(again, "127.0.0.4");
    ASSERT_TRUE(toDevice && toTarget && fromUnit && fromOther && fromAgain);
    harness.discovery->AddDevice("D", toDevice);
    harness.discovery->AddDevice("E", toTarget);
    // As their peers would have answered discovery (on the loop: the road reads it there).
    ASSERT_TRUE(harness.OnLoop([&] {
        for (const auto& connection : {toDevice, fromUnit, fromAgain}) {
            connection->SetAnsweredGuid(unitGuid);
        }
        fromOther->SetAnsweredGuid("7c9e6679-7425-40de-944b-e07fc1f90ae7");
    }));
    fromOther->IsAuthenticated(true);
    const auto refused = [&](RawPeer& peer, const std::string& name) {
        peer.Send("[R&E][" + name + "] identify {}\n");
        return peer.ReadLine() == "[" + name + "][R&E] @identify {\"error\":\"Source name in use\"}\n";
    };
    const auto served = [&](RawPeer& peer, const std::string& name) {
        peer.Send("[R&E][" + name + "] identify {}\n");
        if (target.ReadLine() != "[E][R&" + name + "] identify {}\n") {
            return false;
        }
        target.Send("[R&" + name + "][E] @identify {}\n");
        return peer.ReadLine() == "[" + name + "][R&E] @identify {}\n";
    };

    ASSERT_TRUE(refused(unit, "D"));
    ASSERT_TRUE(refused(other, "D"));
    fromUnit->IsAuthenticated(true);
    ASSERT_TRUE(served(unit, "D"));

    // As a requester's: the unit's new connection takes the name from its old one.
    ASSERT_TRUE(served(unit, "U"));
    ASSERT_TRUE(refused(again, "U"));
    ASSERT_TRUE(refused(other, "U"));
    fromAgain->IsAuthenticated(true);
    // The device the old connection asked hears that its holder ended before it hears
    // the new one.
    again.Send("[R&E][U] identify {}\n");
    EXPECT_EQ(target.ReadLine(), "[E][R&U] @publish {\"error\":\"Device not connected\"}\n");
    EXPECT_EQ(target.ReadLine(), "[E][R&U] identify {}\n");
    target.Send("[R&U][E] @identify {}\n");
    EXPECT_EQ(again.ReadLine(), "[U][R&E] @identify {}\n");
}

// A requester name whose connection ends is told to the device its requests went to. A
// notice the device wrote before it heard is answered and goes nowhere, to whichever
// connection takes the name next; once the device answered a request of the next holder,
// its notices are the next holder's.
TEST_F(ReceiveRoad, ANameThatEndsIsToldToItsDeviceAndItsOldNoticesGoNowhere) {
    harness.Start();
    RawPeer a, c;
    ASSERT_NO_FATAL_FAILURE(subscribeThroughRouter(a, c));
    a.Send("[R&C][A] @publish {}\n");
    ASSERT_EQ(c.ReadLine(), "[C][R&A] @publish {}\n");
    a.Close();
    EXPECT_EQ(c.ReadLine(), "[C][R&A] @publish {\"error\":\"Device not connected\"}\n");
    RawPeer b;
    ASSERT_TRUE(harness.Connect(b));
    for (const char* n : {"2", "3"}) {
        c.Send(std::string("[R&A][C] publish {\"n\":") + n + "}\n");
        EXPECT_EQ(c.ReadLine(), "[C][R&A] @publish\n") << n;
        if (std::string(n) == "2") {
            b.Send("[R&C][A] subscribe {}\n");
            ASSERT_EQ(c.ReadLine(), "[C][R&A] subscribe {}\n");
        }
    }
    c.Send("[R&A][C] @subscribe {}\n[R&A][C] publish {\"n\":4}\n");
    EXPECT_EQ(b.ReadLine(), "[A][R&C] @subscribe {}\n");
    EXPECT_EQ(b.ReadLine(), "[A][R&C] publish {\"n\":4}\n");
}

// A requester that leaves a device's notice unanswered holds up only itself: once the
// bound has passed since the notice was written it is refused to the device as if the
// requester were gone, so that the device's connection carries its next notice, and the
// requester's late reply is not passed on, the device having had its answer. For a time
// its notices are then refused at once, never again holding the device's connection.
TEST_F(ReceiveRoad, ANoticeItsRequesterLeavesUnansweredIsRefusedToTheDevice) {
    harness.Start();
    RawPeer a, c;
    ASSERT_NO_FATAL_FAILURE(subscribeThroughRouter(a, c));
    const auto due = std::chrono::steady_clock::now() + Zelkor::ForwardedRequests::NoticeBound + kWriteSeen;

    // Not before its time.
    ASSERT_TRUE(harness.OnLoop([&] { harness.driver->ExpireForwardedNotices(); }));
    c.Send("frob\n");
    ASSERT_EQ(c.ReadLine(), "@frob \n");
    ASSERT_TRUE(harness.OnLoop([&] { harness.driver->ExpireForwardedNotices(due); }));
    EXPECT_EQ(c.ReadLine(), "[C][R&A] @publish {\"error\":\"Device not connected\"}\n");
    a.Send("[R&C][A] @publish {}\n");
    c.Send("frob\n");
    EXPECT_EQ(c.ReadLine(), "@frob \n");

    c.Send("[R&A][C] publish {\"n\":2}\n");
    EXPECT_EQ(c.ReadLine(), "[C][R&A] @publish {\"error\":\"Device not connected\"}\n");
    a.Send("frob\n");
    EXPECT_EQ(a.ReadLine(), "@frob \n");
}

// A requester beyond another router is given the time that router takes to refuse its
// notice itself; the other requesters behind that router, which share its connection and
// its address, are not refused for it.
TEST_F(ReceiveRoad, ARequesterBeyondAnotherRouterLeavesTheOthersBehindItServed) {
    harness.Start();
    RawPeer r2, c;
    ASSERT_TRUE(harness.Connect(r2));
    auto toC = harness.Connect(c);
    ASSERT_TRUE(toC);
    toC->SetOutgoing(true);
    harness.discovery->AddDevice("C", toC);
    for (const char* requester : {"A", "B"}) {
        r2.Send(std::string("[R&C][R2&") + requester + "] subscribe {}\n");
        ASSERT_EQ(c.ReadLine(), std::string("[C][R&R2&") + requester + "] subscribe {}\n");
        c.Send(std::string("[R&R2&") + requester + "][C] @subscribe {}\n");
        ASSERT_EQ(r2.ReadLine(), std::string("[R2&") + requester + "][R&C] @subscribe {}\n");
    }
    c.Send("[R&R2&A][C] publish {}\n");
    ASSERT_EQ(r2.ReadLine(), "[R2&A][R&C] publish {}\n");
    const auto due = std::chrono::steady_clock::now() + Zelkor::ForwardedRequests::NoticeBound + kWriteSeen;
    ASSERT_TRUE(harness.OnLoop([&] { harness.driver->ExpireForwardedNotices(due); }));
    r2.Send("[R&C][R2&A] @publish {\"error\":\"Device not connected\"}\n");
    EXPECT_EQ(c.ReadLine(), "[C][R&R2&A] @publish {\"error\":\"Device not connected\"}\n");
    c.Send("[R&R2&B][C] publish {}\n");
    EXPECT_EQ(r2.ReadLine(), "[R2&B][R&C] publish {}\n");

    // Left unanswered past twice the bound, B is refused for a time; A, for whom its
    // router answered in time, is not.
    const auto late = std::chrono::steady_clock::now() + 2 * Zelkor::ForwardedRequests::NoticeBound + kWriteSeen;
    ASSERT_TRUE(harness.OnLoop([&] { harness.driver->ExpireForwardedNotices(late); }));
    EXPECT_EQ(c.ReadLine(), "[C][R&R2&B] @publish {\"error\":\"Device not connected\"}\n");
    r2.Send("[R&C][R2&B] @publish {}\nfrob\n");
    ASSERT_EQ(r2.ReadLine(), "@frob \n");
    c.Send("[R&R2&A][C] publish {}\n[R&R2&B][C] publish {}\n");
    EXPECT_EQ(c.ReadLine(), "[C][R&R2&B] @publish {\"error\":\"Device not connected\"}\n");
    EXPECT_EQ(r2.ReadLine(), "[R2&A][R&C] publish {}\n");
}

// A requester that leaves a notice unanswered for a while and then goes is taken for one
// that left it unanswered: back on a new connection under its name, from its address, it
// is told at once that its subscriptions are refused for a time, rather than have one
// taken that its first notice's refusal would end; its other requests are served.
TEST_F(ReceiveRoad, ARequesterThatLeftANoticeUnansweredIsRefusedWhenItComesBack) {
    harness.Start();
    RawPeer a, c;
    ASSERT_NO_FATAL_FAILURE(subscribeThroughRouter(a, c));
    // Time that passes, not a wait for anything.
    std::this_thread::sleep_for(Zelkor::SilentRequesters::LeftAtEnd + 500ms);
    a.Close();
    EXPECT_EQ(c.ReadLine(), "[C][R&A] @publish {\"error\":\"Device not connected\"}\n");

    RawPeer back;
    ASSERT_TRUE(harness.Connect(back));
    for (const char* word : {"subscribe", "subscribepoll", "sublog", "subscribeevent"}) {
        back.Send(std::string("[R&C][A] ") + word + " {}\n");
        EXPECT_EQ(back.ReadLine(), std::string("[A][R&C] @") + word +
                                       " {\"error\":\"Requester's notices refused for a time\"}\n");
    }
    back.Send("[R&C][A] identify {}\n");
    EXPECT_EQ(c.ReadLine(), "[C][R&A] identify {}\n");
}

// A node that is no router answers a request meant for a node beyond it, and forwards
// nothing.
TEST_F(ReceiveRoad, OnlyARouterForwardsRequests) {
    harness.discovery->router = false;
    harness.Start();
    RawPeer a, b;
    ASSERT_TRUE(harness.Connect(a));
    auto toB = harness.Connect(b);
    ASSERT_TRUE(toB);
    harness.discovery->AddDevice("B", toB);
    a.Send("[R&B][A] identify {}\n");
    EXPECT_EQ(a.ReadLine(), "[A][R&B] @identify {\"error\":\"Device not found\"}\n");
    b.Send("frob\n");
    EXPECT_EQ(b.ReadLine(), "@frob \n");
}

// A requester's refused proofs, forwarded back to it, close its connection as the node
// behind would close its own: the router's connection to that node is not the one to go.
TEST_F(ReceiveRoad, ARequesterWhoseProofsAreRefusedThroughTheRouterIsClosed) {
    harness.Start();
    RawPeer a, b;
    ASSERT_TRUE(harness.Connect(a));
    auto toB = harness.Connect(b);
    ASSERT_TRUE(toB);
    harness.discovery->AddDevice("B", toB);
    for (int attempt = 1; attempt <= 5; ++attempt) {
        a.Send("[R&B][A] authenticate {\"code\":\"x\"}\n");
        ASSERT_EQ(b.ReadLine(), "[B][R&A] authenticate {\"code\":\"x\"}\n");
        if (attempt == 1) {
            // A proof taken does not count.
            b.Send("[R&A][B] @authenticate {}\n");
            ASSERT_EQ(a.ReadLine(), "[A][R&B] @authenticate {}\n");
            a.Send("[R&B][A] authenticate {\"code\":\"x\"}\n");
            ASSERT_EQ(b.ReadLine(), "[B][R&A] authenticate {\"code\":\"x\"}\n");
        }
        b.Send("[R&A][B] @authenticate {\"error\":\"Authentication Failed\"}\n");
        ASSERT_EQ(a.ReadLine(), "[A][R&B] @authenticate {\"error\":\"Authentication Failed\"}\n") << attempt;
    }
    EXPECT_TRUE(a.WaitClosed());
    // The device its proofs went to hears that it is gone; its connection stays.
    EXPECT_EQ(b.ReadLine(), "[B][R&A] @publish {\"error\":\"Device not connected\"}\n");
    b.Send("frob\n");
    EXPECT_EQ(b.ReadLine(), "@frob \n");
}

}  // namespace
}  // namespace ZelkorTest
