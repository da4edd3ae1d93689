#include <gtest/gtest.h>

#include <sys/resource.h>

#include <unistd.h>

#include "TransportFixture.h"
#include "core/ZelkorLog.h"

namespace ZelkorTest {
namespace {

class TcpListener : public TransportTest {};

TEST_F(TcpListener, AcceptsPeersAndClosesThemWithItself) {
    ZelkorLog::TheLog().SetLevel(5);
    Listen();
    const auto endpoint = server->LocalEndpoint();
    EXPECT_EQ(server->IncomingCount(), 1u);  // the socket waiting for the first peer
    tcp::socket first(io), second(io), removed(io);
    AcceptRaw(first);
    AcceptRaw(second);
    // A connection the listener was told to forget is no longer its to close.
    auto forgotten = AcceptRaw(removed);
    server->RemoveIncomingConnection(forgotten);
    EXPECT_FALSE(server->IsIncomingConnection(forgotten));
    EXPECT_EQ(sink.accepted, 3);
    EXPECT_EQ(server->IncomingCount(), 3u);
    EXPECT_TRUE(server->IsIncomingConnection(sink.Accepted().front()));
    EXPECT_TRUE(server->AcceptorIs(endpoint.address(), endpoint.port()));
    EXPECT_TRUE(server->AcceptorIs(endpoint.address()));
    EXPECT_FALSE(server->AcceptorIs(boost::asio::ip::make_address("::1"), endpoint.port()));
    EXPECT_FALSE(server->AcceptorIs(endpoint.address(), endpoint.port() + 1));
    // A second listener on the same port fails where the caller sees it.
    auto rival = std::make_shared<Zelkor::TcpServer>(io, *tls, false);
    EXPECT_THROW(rival->BindTo(endpoint.address(), endpoint.port()), boost::system::system_error);
    EXPECT_FALSE(rival->AcceptorIs(endpoint.address()));

    server->Close();
    ASSERT_TRUE(Run([&] { return sink.closed == 2; }));
    EXPECT_TRUE(log.Contains("ZK7500I Closing listener"));
    EXPECT_EQ(server->IncomingCount(), 0u);
    RawReader firstReader(first);
    ASSERT_TRUE(Run([&] { return firstReader.Eof(); }));

    // Everything after the close is harmless.
    server->RemoveIncomingConnection(sink.Accepted().front());
    EXPECT_NO_THROW(server->Close());
    // The cancelled accept completes at once; whatever is ready runs here.
    io.restart();
    EXPECT_NO_THROW(io.poll());
    EXPECT_FALSE(server->AcceptorIs(endpoint.address(), endpoint.port()));
    EXPECT_FALSE(log.Contains("ZK7503W"));
    boost::system::error_code error;
    tcp::socket late(io);
    late.connect(endpoint, error);
    EXPECT_TRUE(error);
}

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
    auto twoFailures = [&capture] { return capture.Count("ZK7503W TCP server accept error") >= 2; };
    twoFailures();
    rlimit tight = original;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    boost::system::error_code error;
    peer.connect(endpoint, error);
    const bool sawFailure = RunUntil(loop, twoFailures);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0);
    ASSERT_FALSE(error) << error.message();
    ASSERT_TRUE(sawFailure);

    ASSERT_TRUE(Run([&] { return sink.connectedIn == 1; }));
    EXPECT_EQ(server->IncomingCount(), 2u);
}

}  // namespace
}  // namespace ZelkorTest
