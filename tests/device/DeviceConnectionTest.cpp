// Connecting a device against loopback listeners on two addresses: one connection per
// endpoint, its router when it has none, the routing header of its requests, what a
// finished connect leaves behind, and which messages count as the device's.

#include <gtest/gtest.h>

#include <atomic>

#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "core/ErrorReply.h"
#include "core/MessageSignalData.h"
#include "core/ZelkorLog.h"
#include "discovery/DiscoveryTestSupport.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"
#include "transport/TcpSocket.h"
#include "transport/TcpSocketSet.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::tcp;
using Zelkor::DeviceImpl;
using Zelkor::DeviceNetState;
using Zelkor::TcpSocket;
using Zelkor::ZelkorDriver;
using TcpPtr = std::shared_ptr<TcpSocket>;
using Reports = std::vector<std::pair<int, int>>;

const char* const kGuid = "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a";
const char* const kRouterGuid = "7c1d2e3f-4a5b-4c6d-8e7f-9a0b1c2d3e4f";
const char* const kOwnGuid = "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13";  // this node's, from the sample tree

// Accepts every connection, keeps the lines each one receives and answers each with a
// reply, which lets the connection's next request go. Handlers share the state, so the
// listener may go before the loop.
class Listener {
    struct Peer {
        explicit Peer(tcp::socket s) : socket(std::move(s)) {}
        tcp::socket socket;
        boost::asio::streambuf buffer;
        std::vector<std::string> lines;
    };
    struct State {
        State(boost::asio::io_context& io, const char* address)
            : acceptor(io, tcp::endpoint(make_address(address), 0)) {}
        tcp::acceptor acceptor;
        std::vector<std::shared_ptr<Peer>> peers;
    };

public:
    Listener(boost::asio::io_context& io, const char* address)
        : _state(std::make_shared<State>(io, address)) {
        accept(_state);
    }
    ~Listener() {
        boost::system::error_code ignored;
        _state->acceptor.close(ignored);
    }
    Zelkor::IDevice::RemoteInfo Remote() const {
        return {"", {_state->acceptor.local_endpoint().address(), Port()}};
    }
    unsigned short Port() const { return _state->acceptor.local_endpoint().port(); }
    std::size_t Accepted() const { return _state->peers.size(); }
    std::vector<std::string> Lines(std::size_t peer) const {
        return peer < Accepted() ? _state->peers[peer]->lines : std::vector<std::string>();
    }
    void Drop(std::size_t peer) {
        boost::system::error_code ignored;
        _state->peers.at(peer)->socket.close(ignored);
    }

private:
    static void accept(const std::shared_ptr<State>& state) {
        state->acceptor.async_accept([state](const boost::system::error_code& error, tcp::socket socket) {
            if (!error) {
                state->peers.push_back(std::make_shared<Peer>(std::move(socket)));
                read(state->peers.back());
                accept(state);
            }
        });
    }
    static void read(const std::shared_ptr<Peer>& peer) {
        boost::asio::async_read_until(peer->socket, peer->buffer, '\n', [peer](const boost::system::error_code& error,
                                                                               std::size_t) {
            if (error) {
                return;
            }
            std::istream in(&peer->buffer);
            peer->lines.emplace_back();
            std::getline(in, peer->lines.back());
            static const std::string reply = "@pong\n";
            boost::asio::async_write(peer->socket, boost::asio::buffer(reply), [peer](auto, auto) {});
            read(peer);
        });
    }
    std::shared_ptr<State> _state;
};

// A listener whose accept queue is full: a further connect stays pending.
struct FullListener {
    FullListener(boost::asio::io_context& io, const char* address) : acceptor(io), filler(io) {
        acceptor.open(tcp::v4());
        acceptor.bind(tcp::endpoint(make_address(address), 0));
        acceptor.listen(0);
        filler.connect(acceptor.local_endpoint());
    }
    Zelkor::IDevice::RemoteInfo Remote() const {
        return {"", {acceptor.local_endpoint().address(), acceptor.local_endpoint().port()}};
    }
    tcp::acceptor acceptor;
    tcp::socket filler;
};

bool startsWith(const std::string& text, const std::string& front) { return text.compare(0, front.size(), front) == 0; }

class DeviceConnection : public ::testing::Test {
protected:
    void SetUp() override { ZelkorLog::TheLog().SetLevel(5); }
    void TearDown() override { ZelkorLog::TheLog().SetLevel(3); }

    bool Run(const std::function<bool()>& done) { return RunUntil(node.io, done); }
    std::shared_ptr<DeviceImpl> Device(const std::string& name, const std::string& guid, const std::string& more = "") {
        const std::string body = R"({"guid":")" + guid + R"(","name":")" + name + R"(","ip":"127.0.0.1","port":4197)";
        return std::make_shared<DeviceImpl>(node.driver.get(), Record(body + more + "}"));
    }
    static bool connected(const std::shared_ptr<DeviceImpl>& device, std::size_t count) {
        std::size_t live = 0;
        for (const auto& socket : device->Connections()) {
            live += socket->SocketIsConnected() ? 1 : 0;
        }
        return live == count;
    }
    bool is(const std::shared_ptr<DeviceImpl>& device, DeviceNetState state) {
        return Run([&] { return device->GetCurrentState() == state; });
    }
    // Two passes: the primary to the first endpoint, then the secondary to the second.
    void connectBoth(const std::shared_ptr<DeviceImpl>& device, Listener& first, Listener& second) {
        device->AddRemoteInfo(first.Remote());
        device->AddRemoteInfo(second.Remote());
        device->Connect(false);
        ASSERT_TRUE(is(device, Zelkor::DeviceNetStateConnected));
        EXPECT_EQ(second.Accepted(), 0u) << "one connect per pass";
        device->Connect(false);
        ASSERT_TRUE(Run([&] { return connected(device, 2) && second.Accepted() == 1; }));
    }

    DiscoveryNode node;
    LogCapture log;
};

// Two endpoints give the primary and the secondary; a closed secondary leaves the set, so
// the next pass connects a fresh one; losing the primary is a disconnection.
TEST_F(DeviceConnection, PrimaryAndSecondaryAndAClosedSecondaryComesBack) {
    Listener first(node.io, "127.0.0.1");
    Listener second(node.io, "127.0.0.2");
    auto device = Device("amp-1", kGuid);
    node.service->enterDevice(device, Zelkor::DiscoveryService::AllTables);
    Reports reports;
    device->SetStateCallback([&reports](DeviceNetState n, DeviceNetState o) { reports.emplace_back(n, o); });
    connectBoth(device, first, second);
    EXPECT_EQ(reports, (Reports{{8, 0}, {3, 8}}));
    EXPECT_EQ(node.service->TableSizes()["wantsConnections"], 1u);
    const std::string port = std::to_string(first.Port());
    EXPECT_TRUE(log.Contains("ZK6610I Connecting primary socket to (amp-1) at 127.0.0.1:" + port));
    EXPECT_TRUE(log.Contains("ZK6699I Primary socket already connected to (127.0.0.1)"));
    EXPECT_TRUE(log.Contains("ZK6611I Connecting secondary socket to (amp-1) at 127.0.0.2:"));
    // Kept alive at once, without a sender hash for a device that is not redundant.
    ASSERT_TRUE(Run([&] { return !first.Lines(0).empty(); }));
    EXPECT_TRUE(startsWith(first.Lines(0)[0], "disco {")) << first.Lines(0)[0];
    device->Connect(false);
    EXPECT_TRUE(log.Contains("ZK6699I Secondary socket already connected to (127.0.0.2)"));
    const auto sockets = device->Connections();
    EXPECT_EQ(device->GetConnectionHandle(), ZelkorDriver::HandleOf(sockets[0].get()));
    sockets[0]->SetTransferring(true);
    EXPECT_EQ(device->GetFileTransferHandle(false), sockets[1]);

    second.Drop(0);
    ASSERT_TRUE(Run([&] { return !sockets[1]->SocketIsOpen(); }));
    device->EraseSocket(sockets[1]);  // as the discovery service reports a closed connection
    EXPECT_EQ(device->GetCurrentState(), Zelkor::DeviceNetStateConnected);
    device->Connect(false);
    ASSERT_TRUE(Run([&] { return second.Accepted() == 2 && connected(device, 2); }));
    EXPECT_EQ(first.Accepted(), 1u);
    device->EraseSocket(sockets[0]);
    EXPECT_EQ(device->GetCurrentState(), Zelkor::DeviceNetStateDisconnected);
    EXPECT_TRUE(device->Connections().empty());
}

// A connect that cannot start completes, a loop turn later: on a closed socket, on one
// that cannot be opened again, and for a second connect while one runs (which goes on).
TEST(SocketConnect, CompletesWhenItCannotStart) {
    boost::asio::io_context io;
    boost::asio::ssl::context tls(boost::asio::ssl::context::tls);
    tcp::acceptor live(io, tcp::endpoint(make_address("127.0.0.1"), 0));
    tcp::socket refusing(io, tcp::endpoint(make_address("127.0.0.1"), 0));  // bound, not listening
    std::vector<boost::system::error_code> results;
    bool inside = false;
    const auto start = [&](const TcpPtr& socket, const tcp::endpoint& to) {
        inside = true;
        socket->Connect(to.address(), to.port(), "", [&](TcpPtr, boost::system::error_code error) {
            EXPECT_FALSE(inside);
            results.push_back(error);
        });
        inside = false;
    };
    const auto connect = [&](const TcpPtr& socket, const tcp::endpoint& to, std::size_t expected) {
        start(socket, to);
        return RunUntil(io, [&] { return results.size() == expected; });
    };
    auto closed = std::make_shared<TcpSocket>(io, tls, true);
    closed->Close();
    ASSERT_TRUE(connect(closed, live.local_endpoint(), 1));
    EXPECT_FALSE(closed->IsConnectPending());
    auto refused = std::make_shared<TcpSocket>(io, tls, true);
    ASSERT_TRUE(connect(refused, refusing.local_endpoint(), 2));
    ASSERT_TRUE(connect(refused, live.local_endpoint(), 3));  // its descriptor is still open
    auto twice = std::make_shared<TcpSocket>(io, tls, true);
    start(twice, live.local_endpoint());
    ASSERT_TRUE(connect(twice, live.local_endpoint(), 5));
    using namespace boost::asio::error;
    EXPECT_EQ(results, (std::vector<boost::system::error_code>{bad_descriptor, connection_refused, already_open,
                                                               already_started, boost::system::error_code()}));
    EXPECT_TRUE(twice->SocketIsConnected());
}

// A connect abandoned by its socket's close leaves the device "Connecting"; the next pass
// ends that and the one after starts afresh, instead of waiting on the closed socket.
TEST_F(DeviceConnection, ConnectingEndsOnAClosedSocket) {
    FullListener full(node.io, "127.0.0.2");
    auto device = Device("amp-1", kGuid);
    device->AddRemoteInfo(full.Remote());
    device->Connect(false);
    const auto abandoned = device->Connections().at(0);
    ASSERT_TRUE(Run([&] { return abandoned->SocketIsOpen(); }));
    abandoned->Close();
    ASSERT_TRUE(Run([&] { return !abandoned->IsConnectPending(); }));
    device->Connect(false);
    ASSERT_TRUE(is(device, Zelkor::DeviceNetStateDisconnected));
    device->Connect(false);
    EXPECT_EQ(device->GetCurrentState(), Zelkor::DeviceNetStateConnecting);
    EXPECT_NE(device->Connections().at(0), abandoned);

    // The primary connected elsewhere while the secondary still connects: no socket is
    // free, the pass is abandoned and does not mark the device wanted.
    Listener live(node.io, "127.0.0.1");
    auto other = Device("amp-2", kRouterGuid);
    other->AddRemoteInfo(live.Remote());
    other->AddRemoteInfo(full.Remote());
    other->Connect(false);
    ASSERT_TRUE(is(other, Zelkor::DeviceNetStateConnected));
    other->Connect(false);
    other->WantsConnections(false);
    other->Connect(false);
    EXPECT_TRUE(log.Contains("ZK6699W No socket available for connection to (127.0.0.2)"));
    EXPECT_FALSE(other->WantsConnections());
}

// This node's attempts to reach a device count from the first made without a connection
// of its own, a dial refused and no way at all alike, until the device is reached.
TEST_F(DeviceConnection, AttemptsToReachADeviceCountFromTheFirstUntilItIsReached) {
    std::atomic<std::int64_t> now{500};
    node.service->SetClock([&] { return now.load(); });
    tcp::socket refusing(node.io, tcp::endpoint(make_address("127.0.0.1"), 0));
    auto device = Device("amp-1", kGuid);
    EXPECT_EQ(device->UnreachedSince(), DeviceImpl::Reached);
    device->Connect(false);
    EXPECT_EQ(device->UnreachedSince(), 500) << "no way and no router";
    device->ForgetAttempts();
    device->AddRemoteInfo({"", {make_address("127.0.0.1"), refusing.local_endpoint().port()}});
    device->Connect(false);
    ASSERT_TRUE(Run([&] { return log.Count("ZK6612W Socket error is ") == 1; }));
    now = 520;
    device->Connect(false);
    ASSERT_TRUE(Run([&] { return log.Count("ZK6612W Socket error is ") == 2; }));
    EXPECT_EQ(device->UnreachedSince(), 500);

    Listener live(node.io, "127.0.0.2");
    device->MoveRemote(live.Remote());
    device->Connect(false);
    ASSERT_TRUE(is(device, Zelkor::DeviceNetStateConnected));
    EXPECT_EQ(device->UnreachedSince(), DeviceImpl::Reached);
}

// A move takes the place of the ways on its interface, or on none named, in its address
// family, in the first one's place; the others stay. A dial still pending to a way left
// is given up, so that the new way is dialled at once.
TEST_F(DeviceConnection, AMoveReplacesTheWaysOfItsInterfaceAndFamily) {
    auto device = Device("amp-1", kGuid);
    const auto way = [](const char* interfaceName, const char* address) {
        return Zelkor::IDevice::RemoteInfo{interfaceName, {make_address(address), 4197}};
    };
    for (const auto& each : {way("eth1", "10.0.1.5"), way("eth0", "10.0.0.5"), way("eth0", "fd00::5"),
                             way("", "10.0.0.6"), way("eth0", "10.0.0.7")}) {
        device->AddRemoteInfo(each);
    }
    device->MoveRemote(way("eth0", "10.0.0.9"));
    device->MoveRemote(way("eth2", "10.0.2.5"));
    std::vector<std::string> ways;
    device->forEachRemote([&](const Zelkor::IDevice::RemoteInfo& remote) {
        ways.push_back(remote.first + "/" + remote.second.first.to_string());
    });
    EXPECT_EQ(ways, (std::vector<std::string>{"eth1/10.0.1.5", "eth0/10.0.0.9", "eth0/fd00::5", "eth2/10.0.2.5"}));

    FullListener full(node.io, "127.0.0.2");
    Listener live(node.io, "127.0.0.1");
    auto moving = Device("amp-2", kRouterGuid);
    moving->AddRemoteInfo(full.Remote());
    moving->Connect(false);
    const auto pending = moving->Connections().at(0);
    ASSERT_TRUE(Run([&] { return pending->SocketIsOpen(); }));
    moving->MoveRemote(live.Remote());
    moving->Connect(false);
    ASSERT_TRUE(is(moving, Zelkor::DeviceNetStateConnected));
    EXPECT_TRUE(pending->IsFinalized());
    EXPECT_EQ(live.Accepted(), 1u);
}

// A failed connect's completion deletes only its own socket: not an inbound connection
// adopted meanwhile, not the socket of a reconnect after a disconnect; nor does it touch
// their state.
TEST_F(DeviceConnection, AStaleFailedCompletionLeavesTheNewerSocket) {
    Listener live(node.io, "127.0.0.1");
    tcp::socket refusing(node.io, tcp::endpoint(make_address("127.0.0.1"), 0));
    auto inbound = std::make_shared<TcpSocket>(node.io, node.driver->GetSSLContext(), false);
    inbound->Connect(make_address("127.0.0.1"), live.Port(), "", nullptr);
    ASSERT_TRUE(Run([&] { return inbound->SocketIsConnected(); }));
    auto adopting = Device("amp-1", kGuid);
    adopting->AddRemoteInfo({"", {make_address("127.0.0.1"), refusing.local_endpoint().port()}});
    adopting->Connect(false);
    const auto failing = adopting->Connections().at(0);
    adopting->SetHandle(inbound);  // as the discovery service adopts a connection
    adopting->setCurrentState(Zelkor::DeviceNetStateConnected);
    ASSERT_TRUE(Run([&] { return failing->IsFinalized(); }));
    EXPECT_EQ(adopting->GetHandle(), inbound);
    EXPECT_EQ(adopting->GetCurrentState(), Zelkor::DeviceNetStateConnected);

    auto reconnecting = Device("amp-2", kRouterGuid);
    reconnecting->AddRemoteInfo(live.Remote());
    reconnecting->Connect(false);
    ASSERT_TRUE(is(reconnecting, Zelkor::DeviceNetStateConnected));
    // Closed behind the device's back: the next pass's connect on it fails a loop turn
    // later, after the disconnect and the reconnect.
    const auto stale = reconnecting->Connections().at(0);
    stale->Close();
    ASSERT_TRUE(Run([&] { return !stale->SocketIsOpen(); }));
    Reports reports;
    reconnecting->SetStateCallback([&reports](DeviceNetState n, DeviceNetState o) { reports.emplace_back(n, o); });
    reconnecting->Connect(false);
    reconnecting->Disconnect(true);
    reconnecting->Connect(false);
    const auto fresh = reconnecting->Connections().at(0);
    ASSERT_TRUE(Run([&] { return log.Count("ZK6612W Socket error is ") == 2 && fresh->SocketIsConnected(); }));
    EXPECT_EQ(reconnecting->GetHandle(), fresh);
    EXPECT_EQ(reports, (Reports{{1, 3}, {8, 1}, {3, 8}}));
}

// Without endpoints the device is reached through its router: connected when the router
// is, its requests over the router's connection headed [router&device][this node].
TEST_F(DeviceConnection, ThroughTheRouter) {
    Listener routerPort(node.io, "127.0.0.1");
    auto router = Device("router-1", kRouterGuid, R"(,"mode":"router")");
    router->AddRemoteInfo(routerPort.Remote());
    auto device = Device("amp-3", kGuid);
    device->SetProxy(Device("amp-4", kOwnGuid));
    EXPECT_FALSE(device->HasProxy()) << "only a router is taken";
    device->SetProxy(router);
    EXPECT_EQ(device->ProxyGuid(), kRouterGuid);
    device->Connect(false);
    EXPECT_TRUE(log.Contains("ZK6608I Reconnecting to proxy (router-1) for device (amp-3)"));
    ASSERT_TRUE(is(router, Zelkor::DeviceNetStateConnected));
    device->Connect(false);
    EXPECT_TRUE(log.Contains("ZK6607I Device (amp-3) is connected by proxy (router-1)"));
    EXPECT_EQ(device->GetCurrentState(), Zelkor::DeviceNetStateConnected);
    EXPECT_TRUE(device->Connections().empty());
    EXPECT_FALSE(device->WantsConnections());
    EXPECT_TRUE(device->IsConnected() && !device->IsDirectlyConnected());
    EXPECT_EQ(device->GetFileTransferHandle(false), router->GetHandle());
    EXPECT_FALSE(device->GetFileTransferHandle(true));

    device->ForTheHandle([&](TcpPtr socket, Zelkor::MessageForwardInfo& header) {
        EXPECT_EQ(socket, router->GetHandle());
        socket->SendData(node.service->BuildDiscoRequest(header), true);
    });
    ASSERT_TRUE(Run([&] { return routerPort.Lines(0).size() == 2; }));
    EXPECT_TRUE(startsWith(routerPort.Lines(0)[1], "[router-1&amp-3][stage-left-amp] disco {"))
        << routerPort.Lines(0)[1];
    // Folder requests take the device's own set, without a router header.
    device->ForTheSet([&](std::shared_ptr<Zelkor::TcpSocketSet> set, Zelkor::MessageForwardInfo& header) {
        EXPECT_FALSE(set->Primary());
        EXPECT_TRUE(header.IsEmpty());
    });

    device->Finalize();
    device->ForTheHandle([](TcpPtr, Zelkor::MessageForwardInfo&) { ADD_FAILURE() << "finalized"; });
    EXPECT_EQ(device->GetConnectionHandle(), nullptr);
}

// A redundant device's lines go over both connections with one sender hash per request
// (this node's id, counting on), so that the device drops the second copy.
TEST_F(DeviceConnection, ARedundantDeviceHashesItsRequests) {
    Listener first(node.io, "127.0.0.1");
    Listener second(node.io, "127.0.0.2");
    auto device = Device("amp-1", kGuid, R"(,"inclusions":"locate|redundant")");
    connectBoth(device, first, second);
    device->SendKeepAliveDisco(true);
    ASSERT_TRUE(Run([&] { return first.Lines(0).size() == 3 && second.Lines(0).size() == 2; }));
    Zelkor::MessageForwardInfo own;
    own.SetHash(kOwnGuid);
    const std::string id = "-" + own.IdText() + " disco {";
    for (std::size_t n = 1; n <= 3; ++n) {
        EXPECT_TRUE(startsWith(first.Lines(0)[n - 1], std::to_string(n) + id)) << first.Lines(0)[n - 1];
        if (n > 1) {
            EXPECT_TRUE(startsWith(second.Lines(0)[n - 2], std::to_string(n) + id)) << second.Lines(0)[n - 2];
        }
    }
}

// The sender id follows this node's GUID: a request after the GUID changed carries the id
// of the new one, and one after it changed back the first id again.
TEST_F(DeviceConnection, ARedundantDeviceHashesWithTheCurrentGuid) {
    Listener first(node.io, "127.0.0.1");
    Listener second(node.io, "127.0.0.2");
    auto device = Device("amp-1", kGuid, R"(,"inclusions":"locate|redundant")");
    connectBoth(device, first, second);
    const auto idOf = [](const char* guid) {
        Zelkor::MessageForwardInfo own;
        own.SetHash(guid);
        return "-" + own.IdText() + " disco {";
    };
    const char* const otherGuid = "9e8d7c6b-5a49-4837-a625-1403f2e1d0c9";
    ASSERT_NE(idOf(kOwnGuid), idOf(otherGuid));
    const auto keepAliveWith = [&](const char* guid, std::size_t lines) {
        node.service->GetDiscoInfo().UpdateDiscoReplyValue("/configuration/device/guid", guid);
        device->SendKeepAliveDisco(true);
        ASSERT_TRUE(Run([&] { return first.Lines(0).size() == lines; }));
        const std::string line = first.Lines(0).back();
        EXPECT_TRUE(startsWith(line, std::to_string(lines) + idOf(guid))) << line;
    };
    keepAliveWith(kOwnGuid, 3);
    keepAliveWith(otherGuid, 4);
    keepAliveWith(kOwnGuid, 5);
}

// A routed message is the device's only when it names the device as its originator and
// came the way this node reaches the device; an unrouted one only on its own connection.
// A router that said it reaches the device no more still brings the answers to what was
// written through it, and nothing else: before, its refusal of a subscribe written just
// before it lost the device was dropped, and the subscribe never answered.
TEST_F(DeviceConnection, WhichMessagesComeFromTheDevice) {
    auto router = Device("router-1", kRouterGuid, R"(,"mode":"router")");
    auto device = Device("amp-5", kGuid);
    const auto socket = [this] { return std::make_shared<TcpSocket>(node.io, node.driver->GetSSLContext(), false); };
    const auto own = socket(), viaRouter = socket(), other = socket();
    device->SetHandle(own);
    router->SetHandle(viaRouter);
    device->SetProxy(router);
    const auto matches = [&](const TcpPtr& on, const std::string& sources, bool withMessage = true,
                             bool reply = true) {
        std::unique_ptr<Zelkor::Message> message;
        if (withMessage) {
            message = std::make_unique<Zelkor::ErrorReply>();
            message->SetIsReply(reply);
            if (!sources.empty()) {
                message->SetMessageForwardInfo(Zelkor::MessageForwardInfo("stage-left-amp", sources, ""));
            }
        }
        Zelkor::MessageSignalData data(ZelkorDriver::HandleOf(on.get()), on, true, std::move(message));
        return device->MatchSource(data);
    };
    EXPECT_TRUE(matches(viaRouter, "router-1&amp-5"));
    EXPECT_TRUE(matches(own, "router-1&amp-5"));
    EXPECT_FALSE(matches(other, "router-1&amp-5")) << "a name alone, from any connection";
    EXPECT_FALSE(matches(viaRouter, "router-1&amp-6"));
    EXPECT_FALSE(matches(viaRouter, "amp-5&router-1")) << "the originator is the last source";
    EXPECT_TRUE(matches(own, ""));
    EXPECT_FALSE(matches(viaRouter, ""));
    EXPECT_FALSE(matches(own, "", false));
    device->SetProxy(nullptr);
    EXPECT_FALSE(matches(viaRouter, "router-1&amp-5", true, false));
    EXPECT_TRUE(matches(viaRouter, "router-1&amp-5"));
    EXPECT_FALSE(matches(other, "router-1&amp-5"));
}

}  // namespace
}  // namespace ZelkorTest
