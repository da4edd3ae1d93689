// What an application, holding only the driver's interface, hears of what became of its
// wishes: a listener whose port another socket holds, and connections that never came or
// whose TLS handshake failed.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "discovery/IDiscoveryService.h"
#include "driver/ICryptoInfo.h"
#include "driver/IZelkorDriver.h"
#include "storage/JsonModel.h"
#include "support/QuietPort.h"
#include "support/RunUntil.h"
#include "support/SampleTree.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::tcp;
using boost::asio::ip::udp;
using Failure = std::tuple<std::string, unsigned short, std::string>;

const auto kLoopback = boost::asio::ip::make_address("127.0.0.1");

// The one driver, made and given its tree as an application does; deleted at the end.
struct Application {
    Zelkor::IZelkorDriver* driver = Zelkor::CreateDriver();
    std::vector<Failure> failed;
    std::vector<std::pair<std::string, unsigned short>> added;

    Application() {
        driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
        driver->OnListenerFailed([this](const std::string& address, unsigned short port, const std::string& reason) {
            failed.emplace_back(address, port, reason);
        });
        driver->OnListenerAdded(
            [this](const std::string& address, unsigned short port) { added.emplace_back(address, port); });
    }
    ~Application() {
        Zelkor::DestroyDriver();
        Zelkor::DeleteDriver();
    }
};

std::vector<Failure> sorted(std::vector<Failure> failures) {
    std::sort(failures.begin(), failures.end());
    return failures;
}

// A blocking accept or read of the test's that gives up after a minute.
template <class Socket>
void boundWaits(Socket& socket) {
    const timeval minute{60, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &minute, sizeof minute);
}

// Binds the socket (without address reuse) to the loopback port; false when it cannot.
template <class Socket, class Protocol>
bool bindTo(Socket& socket, Protocol protocol, unsigned short port) {
    boost::system::error_code error;
    socket.open(protocol, error);
    if (!error) {
        socket.bind({kLoopback, port}, error);
    }
    if (error) {
        socket.close(error);
        return false;
    }
    return true;
}

// A loopback TCP port held by a listener of the test.
unsigned short holdTcpPort(tcp::acceptor& holder) {
    return QuietPort([&](unsigned short port) {
        if (!bindTo(holder, tcp::v4(), port)) {
            return false;
        }
        holder.listen();
        return true;
    });
}

// A loopback UDP port held by a socket of the test whose TCP port is free.
unsigned short holdUdpPort(boost::asio::io_context& io, udp::socket& holder) {
    return QuietPort([&](unsigned short port) {
        tcp::acceptor probe(io);
        if (!bindTo(probe, tcp::v4(), port)) {
            return false;
        }
        probe.close();
        return bindTo(holder, udp::v4(), port);
    });
}

// The add tells the failure before it returns, with the system's reason; nothing of the
// end point stays open; an add on its port tells it again, one on another port does not;
// once the port is free the end point is served.
TEST(ListenerOutcome, AHeldTcpOrUdpPortIsToldWithItsBindError) {
    Application application;
    Zelkor::IZelkorDriver& driver = *application.driver;
    boost::asio::io_context io;
    auto tcpHolder = std::make_unique<tcp::acceptor>(io);
    const unsigned short tcpPort = holdTcpPort(*tcpHolder);
    ASSERT_NE(tcpPort, 0);
    udp::socket udpHolder(io);
    const unsigned short udpPort = holdUdpPort(io, udpHolder);
    ASSERT_NE(udpPort, 0);

    EXPECT_EQ(driver.AddListener("127.0.0.1", tcpPort), 0);
    EXPECT_EQ(driver.AddListener("127.0.0.1", udpPort), 0);
    const std::vector<Failure> told = {{"127.0.0.1", tcpPort, "TCP bind: Address already in use"},
                                       {"127.0.0.1", udpPort, "UDP bind: Address already in use"}};
    ASSERT_EQ(sorted(application.failed), sorted(told));
    EXPECT_TRUE(application.added.empty());
    std::vector<Zelkor::IZelkorDriver::Endpoint> served;
    driver.GetEndPoints(served);
    EXPECT_TRUE(served.empty());
    // The TCP listener the UDP failure followed is closed again.
    tcp::acceptor probe(io);
    boost::system::error_code error;
    probe.open(tcp::v4(), error);
    probe.bind(tcp::endpoint(kLoopback, udpPort), error);
    EXPECT_FALSE(error) << error.message();
    probe.close();

    // Asked again, told again: that end point's failure only.
    application.failed.clear();
    EXPECT_EQ(driver.AddListener("127.0.0.1", tcpPort), 0);
    EXPECT_EQ(application.failed, std::vector<Failure>{told[0]});

    // The TCP port freed: the next add serves it.
    application.failed.clear();
    tcpHolder.reset();
    EXPECT_EQ(driver.AddListener("127.0.0.1", tcpPort), 0);
    EXPECT_EQ(application.added, (std::vector<std::pair<std::string, unsigned short>>{{"127.0.0.1", tcpPort}}));
    EXPECT_TRUE(application.failed.empty());
}

// A connect refused, a TLS handshake that fails and one that never ends each reach the
// connection results with the step that failed, the reason and the peer.
TEST(ConnectionOutcome, ARefusedConnectAndAFailedHandshakeAreToldWithWhy) {
    Application application;
    Zelkor::IZelkorDriver& driver = *application.driver;
    std::mutex mutex;
    std::vector<Zelkor::ConnectionResult> failures;
    boost::signals2::scoped_connection results =
        driver.ConnectionResults().Connect([&](const Zelkor::ConnectionResult& result) {
            if (result.failure != Zelkor::ConnectionResult::Failure::None) {
                std::lock_guard<std::mutex> lock(mutex);
                failures.push_back(result);
            }
        });
    const auto failureCount = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return failures.size();
    };
    driver.GetCryptoInfo()->SetTlsLevel(1);
    std::thread loop([&driver] { driver.Run(); });

    boost::asio::io_context io;
    // A port nothing serves.
    const unsigned short closed = QuietPort([&](unsigned short port) {
        tcp::acceptor probe(io);
        return bindTo(probe, tcp::v4(), port);
    });
    driver.GetDiscoveryService()->Connect(kLoopback, closed);
    ASSERT_TRUE(WaitUntil([&] { return failureCount() >= 1; }, std::chrono::seconds(60)));
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(failures[0].failure, Zelkor::ConnectionResult::Failure::Connect);
        EXPECT_EQ(failures[0].error, boost::asio::error::connection_refused);
        EXPECT_EQ(failures[0].peer, tcp::endpoint(kLoopback, closed));
        EXPECT_FALSE(failures[0].connected);
    }

    // Peers that agree to TLS, then speak plain text, or say nothing more.
    const auto agreeToTls = [&](tcp::acceptor& fake) {
        boundWaits(fake);
        driver.GetDiscoveryService()->Connect(kLoopback, fake.local_endpoint().port());
        tcp::socket peer = fake.accept();
        boundWaits(peer);
        boost::asio::streambuf input;
        std::string line;
        while (line.find("starttls") == std::string::npos) {
            boost::asio::read_until(peer, input, '\n');
            std::istream stream(&input);
            std::getline(stream, line);
        }
        boost::asio::write(peer, boost::asio::buffer(std::string("@starttls {}\n")));
        // Plain bytes before the handshake starts are dropped: wait for its first record.
        char hello[5];
        boost::asio::read(peer, boost::asio::buffer(hello));
        return peer;
    };
    const auto tlsFailure = [&](const tcp::endpoint& peer) {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = std::find_if(failures.begin(), failures.end(), [&](const Zelkor::ConnectionResult& result) {
            return result.failure == Zelkor::ConnectionResult::Failure::Tls && result.peer == peer;
        });
        return found == failures.end() ? std::optional<boost::system::error_code>() : found->error;
    };
    tcp::acceptor garbled(io, tcp::endpoint(kLoopback, 0));
    tcp::socket plain = agreeToTls(garbled);
    boost::asio::write(plain, boost::asio::buffer(std::string(64, 'x') + "\n"));
    const tcp::endpoint garbledEndpoint = garbled.local_endpoint();
    ASSERT_TRUE(WaitUntil([&] { return tlsFailure(garbledEndpoint).has_value(); }, std::chrono::seconds(60)));
    EXPECT_TRUE(*tlsFailure(garbledEndpoint)) << "no handshake error";

    tcp::acceptor silent(io, tcp::endpoint(kLoopback, 0));
    tcp::socket mute = agreeToTls(silent);
    const tcp::endpoint silentEndpoint = silent.local_endpoint();
    ASSERT_TRUE(WaitUntil([&] { return tlsFailure(silentEndpoint).has_value(); }, std::chrono::seconds(120)));
    EXPECT_EQ(*tlsFailure(silentEndpoint), boost::asio::error::timed_out);
    results.disconnect();
    Zelkor::DestroyDriver();
    loop.join();
}

}  // namespace
}  // namespace ZelkorTest
