#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include "TransportFixture.h"

namespace ZelkorTest {
namespace {

class TcpListener : public TransportTest {};

// A listener asked about its address, never bound or after its close, says no. The sink,
// told of each close, still finds the connection among the listener's own.
TEST_F(TcpListener, AcceptsPeersAndClosesThemWithItself) {
    EXPECT_FALSE(Zelkor::TcpServer(io, *tls, false).AcceptorIs(boost::asio::ip::make_address("127.0.0.1")));
    tcp::socket first(io), second(io), removed(io);
    AcceptRaw(first);
    AcceptRaw(second);
    const auto endpoint = server->LocalEndpoint();
    EXPECT_TRUE(server->AcceptorIs(endpoint.address(), endpoint.port()));
    EXPECT_FALSE(server->AcceptorIs(endpoint.address(), endpoint.port() + 1));
    // A connection the listener was told to forget is no longer its to close.
    auto forgotten = AcceptRaw(removed);
    server->RemoveIncomingConnection(forgotten);
    EXPECT_FALSE(server->IsIncomingConnection(forgotten));
    EXPECT_TRUE(server->IsIncomingConnection(sink.accepted.front()));

    auto incoming = std::make_shared<std::vector<bool>>();
    sink.onClosed = [this, incoming](const TcpPtr& socket) { incoming->push_back(server->IsIncomingConnection(socket)); };
    server->Close();
    RawReader firstReader(first);
    ASSERT_TRUE(Run([&] { return firstReader.Eof() && sink.closed == 2; }));
    EXPECT_EQ(*incoming, (std::vector<bool>{true, true}));
    EXPECT_FALSE(server->IsIncomingConnection(sink.accepted.front()));
    EXPECT_FALSE(server->AcceptorIs(endpoint.address(), endpoint.port()));
    EXPECT_FALSE(server->AcceptorIs(endpoint.address()));
    boost::system::error_code error;
    tcp::socket late(io);
    late.connect(endpoint, error);
    EXPECT_TRUE(error);
}

// One failed accept must not end listening for good; while failures go on, one warning a
// second tells the operator as much as one per retry.
TEST_F(TcpListener, AcceptingResumesAfterDescriptorsRunOut) {
    Listen();
    server->SetRetryDelay(std::chrono::milliseconds(5));
    tcp::socket peer(io);
    peer.open(tcp::v4());

    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    // The lowest free descriptor number becomes the limit: no new descriptor fits, so
    // the kernel completes the connection but the listener's accept fails until the
    // limit is raised again.
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    // The sanitizers' own checks need descriptors too: nothing in this window may make
    // a first-time check, so the condition reaches the capture without the fixture.
    LogCapture& capture = log;
    boost::asio::io_context& loop = io;
    const auto endpoint = server->LocalEndpoint();
    auto failed = [&capture] { return capture.Count("ZK7503W TCP server accept error") > 0; };
    auto retrying = [] { return false; };
    failed();
    rlimit tight = original;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    boost::system::error_code error;
    peer.connect(endpoint, error);
    const bool sawFailure = RunUntil(loop, failed);
    RunUntil(loop, retrying, std::chrono::milliseconds(200));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0);
    ASSERT_FALSE(error) << error.message();
    ASSERT_TRUE(sawFailure);
    EXPECT_EQ(log.Count("ZK7503W TCP server accept error"), 1u);

    ASSERT_TRUE(Run([&] { return sink.connectedIn == 1; }));
}

}  // namespace
}  // namespace ZelkorTest
