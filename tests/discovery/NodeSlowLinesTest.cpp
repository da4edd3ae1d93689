// A peer that stops in the middle of a line gives its connection, and the memory the line
// took, back: the node runner closes a connection whose unfinished line has received
// nothing for 30 s (10 s at the timer scale of ten the test runs it with: no scale shortens
// it further), while a peer whose long line keeps coming, however slowly, is answered. Started without a tree, the
// runner admits its default of 64 peers. A few bytes now and then keep no line alive for
// the node-wide bound of unfinished lines: one address holding most of it that way loses
// its own lines, not another's line that keeps coming. The node runs in namespace a of a
// veth pair; the peers are raw connections from namespace b.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>

#include "discovery/NodesTestSupport.h"
#include "driver/NodeTrustTestSupport.h"
#include "services/NodeSubscriptionsTestSupport.h"
#include "support/DriverHarness.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::tcp;

// The reply of `word`, with a body or without.
bool Answers(const std::string& heard, const std::string& word) {
    return heard.rfind("@" + word + " ", 0) == 0 || heard == "@" + word + "\n";
}

TEST(NodeSlowLines, ALineThatStopsComingClosesItsConnectionAndOneThatComesSlowlyIsAnswered) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    Node node({"--role", "device", "--name", "n1", "--timer-scale", "10", "--listen", "10.77.0.1:4197"}, pair.a.Name());
    ASSERT_FALSE(node.process.AwaitEvent("listenerAdded").isNull());
    const auto peer = [&] {
        auto made = std::make_unique<RawPeer>();
        EXPECT_TRUE(pair.b.Run([&] { made->Socket().open(tcp::v4()); }));
        EXPECT_TRUE(made->Connect(tcp::endpoint(boost::asio::ip::make_address(VethPair::AddressA), 4197)));
        return made;
    };

    // Subscribed, on a node without a code, no peer gives its slot up for silence.
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (int n = 0; n < 64; ++n) {
        peers.push_back(peer());
        ASSERT_TRUE(Answers(Ask(*peers.back(), R"(subscribe {"path":"/configuration/device/name"})"), "subscribe"));
    }
    EXPECT_EQ(Ask(*peer(), "getdevicestate"), "goodbye {\"reason\":\"busy\"}\n");

    // Eight stop in the middle of a line; one sends a long "set", a KiB at a time, for
    // longer than the bound (80 pieces, 150 ms apart: twelve seconds).
    for (int n = 0; n < 8; ++n) {
        peers[n]->Send("get {\"path\":\"" + std::string(65000, 'x'));
    }
    RawPeer& slow = *peers.back();
    slow.Send(R"(set {"path":"/configuration/device/name","value":")");
    for (int piece = 0; piece < 80; ++piece) {
        slow.Send(std::string(1024, 'v'));
        std::this_thread::sleep_for(150ms);
    }
    slow.Send("\"}\n");
    EXPECT_TRUE(Answers(Next(slow), "set"));
    for (int n = 0; n < 8; ++n) {
        EXPECT_TRUE(peers[n]->WaitClosed(60s)) << n;
    }
    EXPECT_TRUE(Answers(Ask(*peer(), "getdevicestate"), "getdevicestate"));
    EXPECT_TRUE(Answers(Ask(slow, R"(get {"path":"/configuration/device/name"})"), "get"));
    StopCleanly(node.process);
}

// One address's connections each hold an unfinished "set" of 10.5 MiB, most of the bound
// between three of them, and keep it alive with a byte every 2 ms; a connection the node
// closes comes back with its line again. A peer at another address sends a 4 MiB "set" in
// 64 KiB pieces, 50 ms apart: it is answered.
TEST(NodeSlowLines, ATrickleHoldingTheBoundDoesNotKeepOutALongLineThatKeepsComing) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    ASSERT_TRUE(pair.b.Ip("addr add 10.77.0.3/24 dev " + pair.b1));
    Node node({"--role", "device", "--name", "n1", "--listen", "10.77.0.1:4197"}, pair.a.Name());
    ASSERT_FALSE(node.process.AwaitEvent("listenerAdded").isNull());
    const std::string head = R"(set {"path":"/configuration/device/name","value":")";

    std::atomic<bool> holding{false}, stop{false};
    std::thread attacker([&] {
        pair.b.Run([&] {
            const std::string line = head + std::string(10752 * 1024, 'a');
            // A connection from 10.77.0.2 holding the line; -1 when the node refused it.
            const auto hold = [&] {
                const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_port = htons(4197);
                ::inet_pton(AF_INET, VethPair::AddressA, &address.sin_addr);
                sockaddr_in source{};
                source.sin_family = AF_INET;
                ::inet_pton(AF_INET, VethPair::AddressB, &source.sin_addr);
                bool held = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
                            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
                for (std::size_t done = 0; held && done < line.size();) {
                    const ssize_t sent = ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
                    held = sent > 0;
                    done += held ? static_cast<std::size_t>(sent) : 0;
                }
                if (!held && fd >= 0) {
                    ::close(fd);
                }
                return held ? fd : -1;
            };
            std::vector<int> held(3);
            for (int& fd : held) {
                fd = hold();
            }
            holding = true;
            // Bounded: the line comes back at most every 250 ms, at most 24 times.
            int comebacks = 0;
            auto lastComeback = std::chrono::steady_clock::now();
            while (!stop) {
                std::this_thread::sleep_for(2ms);
                for (int& fd : held) {
                    char byte = 'a';
                    if (fd >= 0 && (::recv(fd, &byte, 1, MSG_DONTWAIT) == 0 ||
                                    ::send(fd, "a", 1, MSG_DONTWAIT | MSG_NOSIGNAL) < 0)) {
                        ::close(fd);
                        fd = -1;
                    }
                    if (fd < 0 && comebacks < 24 && std::chrono::steady_clock::now() - lastComeback > 250ms) {
                        ++comebacks;
                        lastComeback = std::chrono::steady_clock::now();
                        fd = hold();
                    }
                }
            }
            for (int fd : held) {
                if (fd >= 0) {
                    ::close(fd);
                }
            }
        });
    });
    // However the test ends, the attacker stops first.
    struct StopFirst {
        std::atomic<bool>& stop;
        std::thread& thread;
        ~StopFirst() {
            stop = true;
            thread.join();
        }
    } stopFirst{stop, attacker};
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (!holding && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(holding);

    RawPeer honest;
    ASSERT_TRUE(pair.b.Run([&] {
        honest.Socket().open(tcp::v4());
        honest.Socket().bind(tcp::endpoint(boost::asio::ip::make_address("10.77.0.3"), 0));
    }));
    ASSERT_TRUE(honest.Connect(tcp::endpoint(boost::asio::ip::make_address(VethPair::AddressA), 4197)));
    honest.Send(head);
    for (int piece = 0; piece < 64; ++piece) {
        honest.Send(std::string(64 * 1024, 'h'));
        std::this_thread::sleep_for(50ms);
    }
    honest.Send("\"}\n");
    EXPECT_TRUE(Answers(honest.ReadLine(), "set"));
    stop = true;
    StopCleanly(node.process);
}

}  // namespace
}  // namespace ZelkorTest
