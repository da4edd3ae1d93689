#include <gtest/gtest.h>

#include <thread>

#include <sys/socket.h>

#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/streambuf.hpp>

#include "TransportFixture.h"
#include "support/ScopedBudgetLimit.h"

namespace ZelkorTest {
namespace {

using TlsPeer = boost::asio::ssl::stream<tcp::socket&>;
using namespace std::chrono_literals;

class TcpSend : public TransportTest {
protected:
    // Secures an accepted connection with a raw TLS client and authenticates it.
    void Secure(const TcpPtr& socket, TlsPeer& peer) {
        LoadTlsMaterial(*tls);
        socket->SetState(TcpSocket::Handshaking);
        socket->SetClient(false);
        socket->Handshake();
        const int before = sink.secured;
        bool done = false;
        peer.async_handshake(TlsPeer::client, [&done](const boost::system::error_code& error) { done = !error; });
        ASSERT_TRUE(Run([&] { return done && sink.secured == before + 1; }));
        socket->IsAuthenticated(true);
    }
    // A connection whose writes go out in small pieces while the peer is not reading, and
    // whose close waits at most `flush` for a goodbye.
    TcpPtr AcceptSlow(tcp::socket& peer, std::chrono::milliseconds flush = 30s) {
        auto socket = AcceptRaw(peer);
        socket->SetCloseFlushTimeout(flush);
        socket->GetBasicSocket().set_option(boost::asio::socket_base::send_buffer_size(4096));
        peer.set_option(boost::asio::socket_base::receive_buffer_size(4096));
        return socket;
    }
    static std::string Big(char fill, std::size_t size) {
        return "@get {\"data\":\"" + std::string(size, fill) + "\"}\n";
    }
    boost::asio::ssl::context peerTls{boost::asio::ssl::context::tls};
    const std::string goodbye = "goodbye {\"reason\":\"shutdown\"}\n";
};

// Replies wait only for the running write, the authentication pass goes before them, and
// a request waits for a reply; a partial write is completed before anything else. An empty
// text is a line that could not be built; queued as a request it once held the lock-step
// for a reply that never came.
TEST_F(TcpSend, OneWriteAtATimeInLockStepOrder) {
    tcp::socket peer(io);
    auto socket = AcceptSlow(peer);
    const std::string block = "block {\"data\":\"" + std::string(96 * 1024, 'b') + "\"}\n";
    socket->SendData("", true);
    socket->SendData("", false);
    socket->SendGoodbye("");
    socket->SendData(block, true);
    socket->SendData("@ls\n", false);
    socket->SendData("get\n", true);
    socket->SendData("starttls\n", true);
    ASSERT_TRUE(Run([&] { return socket->SendingMsg() && socket->QueuedRequests() == 1; }));

    RawReader reader(peer);
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 3; }));
    EXPECT_EQ(reader.Data(), block + "starttls\n@ls\n");

    // Any reply releases the lock-step; no request follows a "starttls" before its answer.
    WriteRaw(peer, "@block\n");
    ASSERT_TRUE(Run([&] { return !socket->SendingLockStep(); }));
    EXPECT_EQ(socket->QueuedRequests(), 1u);
    WriteRaw(peer, "@starttls {\"error\":\"not provisioned\"}\n");
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 4; }));
    EXPECT_EQ(reader.Data(), block + "starttls\n@ls\nget\n");
}

// A request's write counts as its peer's doing only as far as the peer falls behind the
// pace of the node's output bound, which gives a line of 64 KiB a second: one the peer
// leaves unread longer is, by that much, and keeps it once the peer reads on; a line
// taken at once is not. From the write's end on, the time is the peer's.
TEST_F(TcpSend, ARequestsWriteIsItsPeersDoingOnlyBehindThePace) {
    using Clock = std::chrono::steady_clock;
    tcp::socket peer(io);
    auto socket = AcceptSlow(peer);
    socket->SendData("block {\"data\":\"" + std::string(64 * 1024, 'b') + "\"}\n", true);
    const auto behind = [&] {
        const TcpSocket::RequestWrite& write = socket->LastRequestWrite();
        return write.behind + (Clock::now() - write.at);
    };
    // 64 KiB buy 1 s at that pace: the rest of the stall is the peer's.
    ASSERT_TRUE(Run([&] { return socket->LastRequestWrite().ordinal == 1 && behind() >= 2500ms; }));
    EXPECT_FALSE(socket->LastRequestWrite().done);
    RawReader reader(peer);
    ASSERT_TRUE(Run([&] { return socket->LastRequestWrite().done; }));
    EXPECT_GE(socket->LastRequestWrite().behind, 1400ms);

    WriteRaw(peer, "@block\n");
    socket->SendData("get\n", true);
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 2 && socket->LastRequestWrite().done; }));
    EXPECT_EQ(socket->LastRequestWrite().ordinal, 2u);
    EXPECT_LT(socket->LastRequestWrite().behind, 1000ms);
}

// A reply's write, like a request's, is its peer's doing only behind the pace, and adds to
// the connection's stall for good: the lines queued behind it waited that long, a trickle
// of a byte at a time as well as a stop. Idle, the connection stalls no further, and its
// next busy run starts from there.
TEST_F(TcpSend, RepliesLeftUnreadAddToTheConnectionsStallOnlyBehindThePace) {
    using Clock = std::chrono::steady_clock;
    tcp::socket peer(io);
    auto socket = AcceptSlow(peer);
    socket->SendData(Big('r', 64 * 1024), false);
    std::string trickled;
    auto last = Clock::now();
    ASSERT_TRUE(Run([&] {
        if (Clock::now() - last >= 10ms && peer.available() > 0) {
            char byte = 0;
            peer.read_some(boost::asio::buffer(&byte, 1));
            trickled += byte;
            last = Clock::now();
        }
        return socket->StalledOutput(Clock::now()).total >= 2500ms;
    }));
    EXPECT_FALSE(trickled.empty());
    EXPECT_EQ(socket->StalledOutput(Clock::now()).runStart, Clock::duration::zero());
    RawReader reader(peer);
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 1 && !socket->SendingMsg(); }));
    EXPECT_EQ(trickled + reader.Data(), Big('r', 64 * 1024));
    const TcpSocket::OutputStall stall = socket->StalledOutput(Clock::now());
    EXPECT_GE(stall.total, 1400ms);
    EXPECT_EQ(stall.runStart, stall.total);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(socket->StalledOutput(Clock::now()).total, stall.total);

    socket->SendData("@ls\n", false);
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 2 && !socket->SendingMsg(); }));
    EXPECT_LT(socket->StalledOutput(Clock::now()).total - stall.total, 500ms);
}

// Behind the lock-step, a repeated poll is not queued twice and a full queue drops the
// request with the text operators search for; the peer sees each request once, in order.
TEST_F(TcpSend, BoundedQueueDropsRepeatedPollsAndOverflow) {
    sink.maxQueueDepth = 2;
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    RawReader reader(peer);
    for (const char* line : {"get\n", "poll\n", "poll\n", "set\n", "ls\n"}) {
        socket->SendData(line, true);
    }
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 1; }));
    EXPECT_EQ(socket->QueuedRequests(), 2u);
    EXPECT_EQ(log.Count("ZK7239W Message queue full! Message lost  command: ls to IP: 127.0.0.1"), 1u);
    WriteRaw(peer, "@x\n@x\n");
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 3; }));
    EXPECT_EQ(reader.Data(), "get\npoll\nset\n");
}

// A service records a request's reply handler only when the connection took the line: the
// send says so, for a line written, queued, dropped at the full queue, empty, or on a
// closed connection.
TEST_F(TcpSend, SendDataNowReportsWhetherTheConnectionTookTheLine) {
    sink.maxQueueDepth = 1;
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    RawReader reader(peer);
    EXPECT_TRUE(socket->SendDataNow("get\n", true));
    EXPECT_TRUE(socket->SendDataNow("set\n", true));
    EXPECT_FALSE(socket->SendDataNow("ls\n", true));
    EXPECT_FALSE(socket->SendDataNow("", true));
    EXPECT_TRUE(socket->SendDataNow("@ls\n", false));
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 2; }));
    socket->Close();
    ASSERT_TRUE(Run([&] { return sink.closed == 1; }));
    EXPECT_FALSE(socket->SendDataNow("get\n", true));
    EXPECT_EQ(reader.Data(), "get\n@ls\n");
}

// File transfer hears of its blocks; the goodbye keeps the route but no earlier line's
// sender hash; close-after-send closes once the line is out. Only the request makes a reply
// due: the reply that waited behind its write starts no wait.
TEST_F(TcpSend, SendCompletions) {
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    RawReader reader(peer);
    socket->SendData("7-abcd [dev2][ctl] block {\"blockno\":\"1\"}\n", true);
    socket->SendData("@block\n", false);
    socket->SendGoodbye();
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 3; }));
    socket->SetCloseAfterSend(true);
    socket->SendData("@goodbye\n", false);
    ASSERT_TRUE(Run([&] { return reader.Eof(); }));
    // The goodbye goes before the reply that waited for the block's write.
    EXPECT_EQ(reader.Data(), "7-abcd [dev2][ctl] block {\"blockno\":\"1\"}\n[dev2][ctl] " + goodbye + "@block\n@goodbye\n");
    EXPECT_EQ(sink.blocksSent, 1);
    EXPECT_EQ(sink.blockRepliesSent, 1);
    EXPECT_EQ(sink.requestTimes, 1);
    EXPECT_EQ(sink.closed, 1);
}

// At shutdown a goodbye and a close follow each other, over TLS too. Behind a running write
// the goodbye follows it whole before the close, unless the peer goes away: the failed
// write closes at once whatever waits behind it. On an idle connection the goodbye is out
// and the connection closed before the calls return, even with the loop stopped for good;
// a peer that does not read neither blocks the loop nor holds the close past the flush time.
TEST_F(TcpSend, GoodbyeThenClose) {
    enum Road { BehindAWrite, PeerResets, Idle, PeerDoesNotRead };
    for (const bool secure : {false, true}) {
        for (const Road road : {BehindAWrite, PeerResets, Idle, PeerDoesNotRead}) {
            SCOPED_TRACE(std::to_string(secure) + " " + std::to_string(road));
            tcp::socket peer(io);
            TlsPeer tlsPeer(peer, peerTls);
            auto socket = AcceptSlow(peer, road == PeerDoesNotRead ? 50ms : 30s);
            if (secure) {
                Secure(socket, tlsPeer);
            }
            const int closed = sink.closed;
            const std::size_t late = log.Count("ZK7268W Goodbye not written in time");
            if (road == BehindAWrite || road == PeerResets) {
                socket->SendData(Big('g', 64 * 1024), false);
                ASSERT_TRUE(Run([&] { return socket->SendingMsg(); }));
            }
            if (road == PeerDoesNotRead) {
                // Far more than the kernel takes while the peer does not read.
                socket->SendGoodbye("goodbye {\"reason\":\"" + std::string(1 << 20, 's') + "\"}\n");
                socket->Close();
                ASSERT_TRUE(Run([&] { return sink.closed == closed + 1; }));
                EXPECT_EQ(log.Count("ZK7268W Goodbye not written in time"), late + 1);
                continue;
            }
            if (road == Idle) {
                io.stop();
            }
            socket->SendGoodbye(goodbye);
            if (road == PeerResets) {
                peer.set_option(boost::asio::socket_base::linger(true, 0));
                peer.close();
                EXPECT_TRUE(Run([&] { return sink.closed == closed + 1; }, 5s));
                continue;
            }
            socket->Close();
            EXPECT_EQ(sink.closed, closed + (road == Idle ? 1 : 0));
            std::string data;
            boost::system::error_code end;
            {
                LoopThread loop(io);  // a stopped loop stays stopped
                secure ? boost::asio::read(tlsPeer, boost::asio::dynamic_buffer(data), end)
                       : boost::asio::read(peer, boost::asio::dynamic_buffer(data), end);
                EXPECT_TRUE(WaitUntil([&] { return sink.closed == closed + 1; }));
            }
            EXPECT_EQ(data, (road == Idle ? "" : Big('g', 64 * 1024)) + goodbye);
            EXPECT_TRUE(end == boost::asio::error::eof || end == boost::asio::ssl::error::stream_truncated)
                << end.message();
        }
    }
}

// A TLS peer that stops reading holds up its own connection only: the loop goes on
// serving timers (and every other connection) while the write waits.
TEST_F(TcpSend, ATlsPeerThatDoesNotReadLeavesTheLoopRunning) {
    tcp::socket peer(io);
    TlsPeer tlsPeer(peer, peerTls);
    auto socket = AcceptSlow(peer);
    Secure(socket, tlsPeer);
    boost::asio::steady_timer timer(io);
    std::atomic<int> ticks{0};
    std::function<void()> tick = [&] {
        timer.expires_after(std::chrono::milliseconds(2));
        timer.async_wait([&](const boost::system::error_code& error) {
            if (!error) {
                ++ticks;
                tick();
            }
        });
    };
    tick();
    bool loopRan = false;
    {
        LoopThread loop(io);
        socket->SendData("@get {\"data\":\"" + std::string(4 << 20, 'g') + "\"}\n", false);
        for (int i = 0; i < 400; ++i) {
            socket->SendData("@get\n", false);
        }
        const int before = ticks;
        loopRan = WaitUntil([&] { return ticks > before + 50; }, std::chrono::seconds(5));
        // A loop stuck in a write would never stop: the peer's reset ends that write.
        peer.set_option(boost::asio::socket_base::linger(true, 0));
        peer.close();
    }
    EXPECT_TRUE(loopRan);
}

// Each side writes a line far larger than the kernel takes at once while the other side
// writes too: each loop must read while its own write waits. A TLS write that held its
// loop until done (as one to a peer that stops reading would, for good) holds both.
TEST_F(TcpSend, AFourMegabyteLineEachWayOverTls) {
    LoadTlsMaterial(*tls);
    boost::asio::io_context clientIo;
    FakeSink clientSink;
    sink.answerSecurity = clientSink.answerSecurity = true;
    std::atomic<bool> serverGot{false}, clientGot{false};
    auto record = [](std::atomic<bool>& got, const char* upgrade) {
        return [&got, upgrade](const TcpPtr& socket, const std::string& word) {
            if (word == upgrade) {
                socket->GetBasicSocket().set_option(boost::asio::socket_base::send_buffer_size(1 << 16));
                socket->GetBasicSocket().set_option(boost::asio::socket_base::receive_buffer_size(1 << 16));
            }
            got = got || word == "@get";
        };
    };
    sink.onMessage = record(serverGot, "starttls");
    clientSink.onMessage = record(clientGot, "@starttls");
    Listen(true);
    auto client = std::make_shared<TcpSocket>(clientIo, *tls, true);
    client->SetSink(&clientSink);
    bool delivered = false;
    {
        LoopThread serverLoop(io), clientLoop(clientIo);
        client->Connect(server->LocalEndpoint().address(), server->LocalEndpoint().port(), "", nullptr);
        ASSERT_TRUE(WaitUntil([&] { return sink.connectedIn == 1 && clientSink.connectedOut == 1; }));
        client->SendData("starttls\n", true);
        ASSERT_TRUE(WaitUntil([&] { return sink.secured == 1 && clientSink.secured == 1; }));
        for (const auto& side : {sink.accepted.back(), client}) {
            side->IsAuthenticated(true);
            side->SendData(Big('d', 4 << 20), false);
        }
        delivered = WaitUntil([&] { return serverGot && clientGot; }, 20s);
        if (!delivered) {
            // Loops stuck in their writes would never stop: end the writes.
            ::shutdown(client->GetBasicSocket().native_handle(), SHUT_RDWR);
        }
    }
    EXPECT_TRUE(delivered);
    client->Close();
}

// A peer that asks and never reads: the replies waiting for it stay within the bound, and
// the connection closes once they would pass it. A line alone is taken whatever its size.
TEST_F(TcpSend, OutputWaitingForAPeerThatDoesNotReadIsBounded) {
    constexpr std::size_t bound = 64 * 1024;
    const std::string reply = Big('r', 4000);
    tcp::socket peer(io), second(io);
    auto socket = AcceptSlow(peer);
    socket->SetMaxQueuedBytes(bound);
    std::size_t most = 0;
    sink.onMessage = [&](const TcpPtr& from, const std::string&) {
        from->SendData(reply, false);
        most = std::max(most, from->QueuedBytes());
    };
    std::string requests;
    for (int i = 0; i < 400; ++i) {
        requests += "get\n";
    }
    WriteRaw(peer, requests);
    ASSERT_TRUE(Run([&] { return sink.closed == 1; }));
    EXPECT_LE(most, bound);
    EXPECT_GT(most, bound - reply.size() - 1);
    EXPECT_EQ(log.Count("ZK7269W Output waiting to be written exceeds the bound, closing conn: "), 1u);

    socket = AcceptSlow(second);
    socket->SetMaxQueuedBytes(bound);
    const std::string block = Big('b', 4 * bound);
    socket->SendData(block, false);
    socket->SendData(block, false);
    ASSERT_TRUE(Run([&] { return socket->QueuedBytes() == block.size(); }));
    EXPECT_FALSE(socket->IsFinalized());
    socket->SendData("@get\n", false);
    EXPECT_TRUE(Run([&] { return sink.closed == 2; }));
}

// Peers that ask and never read hold output on several connections; past the node-wide
// bound the connection holding most closes, the line being written counted, while a
// connection whose peer reads keeps being served, and one holding less stays open.
TEST_F(TcpSend, OutputHeldForPeersThatDoNotReadIsBoundedForTheNode) {
    using Zelkor::ByteBudget;
    constexpr std::size_t kib = 1024;
    const ZelkorTest::ScopedBudgetLimit budgetLimit(ByteBudget::Output(), 1792 * kib);
    tcp::socket most(io), less(io), reading(io);
    auto mostHeld = AcceptSlow(most);
    auto lessHeld = AcceptSlow(less);
    auto served = AcceptRaw(reading);
    for (const auto& socket : {mostHeld, lessHeld, served}) {
        socket->SetMaxQueuedBytes(1024 * kib);
    }
    // Far more than the kernel takes of a peer that does not read: each first line stays
    // in its write.
    const std::string reply = Big('h', 256 * kib);
    for (int i = 0; i < 4; ++i) {
        mostHeld->SendData(reply, false);
    }
    for (int i = 0; i < 2; ++i) {
        lessHeld->SendData(reply, false);
    }
    ASSERT_TRUE(Run([&] { return ByteBudget::Output().Used() == 6 * reply.size(); }));
    EXPECT_EQ(mostHeld->HeldOutputBytes(), 4 * reply.size());
    EXPECT_EQ(log.Count("ZK7274W"), 0u);

    RawReader reader(reading);
    const std::string large = Big('r', 384 * kib);
    for (std::size_t i = 1; i <= 6; ++i) {
        served->SendData(large, false);
        ASSERT_TRUE(Run([&] { return reader.LineCount() == i; })) << i;
    }
    ASSERT_TRUE(Run([&] { return mostHeld->IsFinalized(); }));
    EXPECT_EQ(log.Count("ZK7274W Output waiting to be written exceeds the node's bound, closing conn: " +
                        mostHeld->Tag()),
              1u);
    EXPECT_EQ(log.Count("ZK7274W"), 1u);
    EXPECT_FALSE(lessHeld->IsFinalized());
    EXPECT_FALSE(served->IsFinalized());
    std::string all;
    for (int i = 0; i < 6; ++i) {
        all += large;
    }
    EXPECT_EQ(reader.Data(), all);
    EXPECT_TRUE(Run([&] { return ByteBudget::Output().Used() == 2 * reply.size(); }));
    lessHeld->Close();
    EXPECT_TRUE(Run([&] { return ByteBudget::Output().Used() == 0; }));
}

// Peers that never read each hold a medium reply; a peer that reads then gets a larger
// one, which passes the node-wide bound: it is served whole, and a non-reader goes
// instead, though the reader holds most.
TEST_F(TcpSend, AReadingPeerTakesALargeLineFromPeersThatDoNotRead) {
    using Zelkor::ByteBudget;
    constexpr std::size_t kib = 1024;
    const ZelkorTest::ScopedBudgetLimit budgetLimit(ByteBudget::Output(), 1024 * kib);
    std::vector<std::unique_ptr<tcp::socket>> peers;
    std::vector<TcpPtr> stalled;
    const std::string reply = Big('h', 200 * kib);
    for (int i = 0; i < 4; ++i) {
        peers.push_back(std::make_unique<tcp::socket>(io));
        stalled.push_back(AcceptSlow(*peers.back()));
        stalled.back()->SetMaxQueuedBytes(512 * kib);
        stalled.back()->SendData(reply, false);
    }
    ASSERT_TRUE(Run([&] { return ByteBudget::Output().Used() == 4 * reply.size(); }));

    tcp::socket reading(io);
    auto served = AcceptRaw(reading);
    served->SetMaxQueuedBytes(512 * kib);
    RawReader reader(reading);
    const std::string large = Big('r', 300 * kib);
    served->SendData(large, false);
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 1; }));
    EXPECT_EQ(reader.Data(), large);
    EXPECT_FALSE(served->IsFinalized());
    const auto closed = [&] {
        return std::count_if(stalled.begin(), stalled.end(), [](const TcpPtr& s) { return s->IsFinalized(); });
    };
    ASSERT_TRUE(Run([&] { return closed() == 1; }));
    EXPECT_EQ(log.Count("ZK7274W"), 1u);
}

// What a sink throws ends the connection it was called for, with a line saying so, instead
// of escaping into the loop or leaving the connection open but silent. A reply on which
// the sink closes the connection still clears the request time.
TEST_F(TcpSend, ASinkThatThrowsClosesItsConnection) {
    struct Case {
        std::string throwIn;
        std::string send;  // sent as a request, or as a reply when it begins with "@"
        std::string peerWrites;
    };
    const std::vector<Case> cases = {
        {"SetRequestTime", "get\n", ""},        {"LogTraffic", "@get\n", ""},
        {"MessageBlockSent", "block {\"blockno\":1}\n", ""}, {"MessageReceived", "", "get\n"},
        {"ClearRequestTime", "get\n", "@get\n"}, {"", "get\n", "@get\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.throwIn);
        sink.throwIn = c.throwIn;
        sink.onMessage = [&c](const TcpPtr& socket, const std::string& word) {
            if (c.throwIn.empty() && word[0] == '@') {
                socket->Close();
            }
        };
        const int cleared = sink.requestTimesCleared;
        tcp::socket peer(io);
        auto socket = AcceptRaw(peer);
        RawReader reader(peer);
        if (!c.send.empty()) {
            socket->SendData(c.send, c.send[0] != '@');
        }
        if (!c.peerWrites.empty()) {
            ASSERT_TRUE(Run([&] { return !reader.Data().empty() || c.send.empty(); }));
            WriteRaw(peer, c.peerWrites);
        }
        EXPECT_TRUE(Run([&] { return reader.Eof(); }));
        EXPECT_EQ(log.Count("ZK7270E Sink call failed, closing conn: " + socket->Tag() + " (" + c.throwIn +
                            ": sink failed)"),
                  c.throwIn.empty() ? 0u : 1u);
        EXPECT_EQ(sink.requestTimesCleared - cleared, c.peerWrites == "@get\n" ? 1 : 0);
    }
    sink.throwIn.clear();
}

// A reply's handler that sends the next request at once: that request's wait starts
// afresh and is not cleared behind it by the reply that came before.
TEST_F(TcpSend, ARequestSentFromAReplyHandlerKeepsItsRequestTime) {
    bool sentAgain = false;
    sink.onMessage = [&](const TcpPtr& socket, const std::string& word) {
        if (word == "@get" && !sentAgain) {
            sentAgain = true;
            socket->SendData("get\n", true);
        }
    };
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    RawReader reader(peer);
    socket->SendData("get\n", true);
    ASSERT_TRUE(Run([&] { return reader.Data() == "get\n"; }));
    WriteRaw(peer, "@get\n");
    ASSERT_TRUE(Run([&] { return reader.Data() == "get\nget\n"; }));
    EXPECT_EQ(sink.requestTimes, 2);
    EXPECT_EQ(sink.requestTimesCleared, 1);
    EXPECT_NE(socket->RequestTime(), Zelkor::TcpSocket::TimePoint{});
    sink.onMessage = nullptr;
}

// A router's word that a requester behind it is gone drops the notices still queued for
// that requester, and those made before the word and handed over after it; an answer to
// a notice is that of a notice sent along its route, so the word, which answers none,
// is not taken for another requester's answer.
TEST_F(TcpSend, ARequesterGoneTakesItsQueuedNoticesAndAnswersKeepToTheirRoute) {
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    RawReader reader(peer);
    std::vector<std::uint64_t> answered;
    sink.onMessage = [&](const TcpPtr& from, const std::string&) { answered.push_back(from->AnsweredRequest().ordinal); };
    const std::string toA = "[R&A][D] publish {}\n";
    const std::string toB = "[R&B][D] publish {}\n";
    for (const auto* line : {&toB, &toA, &toA, &toB}) {
        socket->SendData(*line, true);
    }
    ASSERT_TRUE(Run([&] { return reader.Data() == toB; }));
    const std::uint64_t made = socket->RoutesForgotten();
    socket->ForgetQueuedTo({"R", "A"});
    EXPECT_EQ(socket->QueuedRequests(), 1u);
    EXPECT_TRUE(socket->ForgotRouteSince(made, toA));
    EXPECT_FALSE(socket->ForgotRouteSince(made, toB));
    EXPECT_FALSE(socket->ForgotRouteSince(socket->RoutesForgotten(), toA));

    WriteRaw(peer, "[D][R&A] @publish {\"error\":\"Device not connected\"}\n[D][R&B] @publish {}\n");
    ASSERT_TRUE(Run([&] { return answered.size() == 2; }));
    EXPECT_EQ(answered, (std::vector<std::uint64_t>{0, 1}));
    sink.onMessage = nullptr;
}

// A refusal of a notice that answers none awaited (a router's word that a requester is
// gone) lets no further notice go; any other reply still releases the lock-step. Stray
// replies let requests go only until as many as may await their answers: the rest wait,
// the connection open, and go as answers come.
TEST_F(TcpSend, RepliesThatAnswerNothingLetOnlySoManyRequestsGo) {
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    RawReader reader(peer);
    std::size_t heard = 0;
    sink.onMessage = [&](const TcpPtr&, const std::string&) { ++heard; };
    const std::string toA = "[R&A][D] publish {}\n";
    for (int i = 0; i < 3; ++i) {
        socket->SendData(toA, true);
    }
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 1; }));
    WriteRaw(peer, "[D][R&B] @publish {\"error\":\"Device not connected\"}\n");
    ASSERT_TRUE(Run([&] { return heard == 1; }));
    EXPECT_EQ(socket->QueuedRequests(), 2u) << "the refusal of a notice to nobody here let a notice go";
    WriteRaw(peer, "@get {}\n");
    ASSERT_TRUE(Run([&] { return heard == 2 && reader.LineCount() == 2; }));
    EXPECT_EQ(socket->QueuedRequests(), 1u);

    for (std::size_t i = 0; i < Zelkor::AwaitedRequests::MaxAwaited; ++i) {
        socket->SendData("get {}\n", true);
    }
    while (reader.LineCount() < Zelkor::AwaitedRequests::MaxAwaited) {
        const std::size_t written = reader.LineCount();
        WriteRaw(peer, "@set {}\n");
        ASSERT_TRUE(Run([&] { return reader.LineCount() == written + 1; }));
    }
    const std::size_t queued = socket->QueuedRequests();
    const std::size_t before = heard;
    WriteRaw(peer, "@set {}\n@set {}\n@set {}\n");
    ASSERT_TRUE(Run([&] { return heard == before + 3; }));
    EXPECT_EQ(socket->QueuedRequests(), queued);
    EXPECT_FALSE(socket->IsFinalized());
    WriteRaw(peer, "[D][R&A] @publish {}\n");
    ASSERT_TRUE(Run([&] { return reader.LineCount() == Zelkor::AwaitedRequests::MaxAwaited + 1; }));
    EXPECT_EQ(socket->QueuedRequests(), queued - 1);
    sink.onMessage = nullptr;
}

// Once a "starttls" is written, a reply that is not its answer lets nothing out in clear
// text: the next request waits for the secured stream, or, the "starttls" refused, goes on
// in plain text.
TEST_F(TcpSend, NoRequestFollowsAStartTlsInClearText) {
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    RawReader reader(peer);
    std::size_t heard = 0;
    sink.onMessage = [&](const TcpPtr&, const std::string&) { ++heard; };
    socket->SendData("starttls {}\n", true);
    socket->SendData("get {}\n", true);
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 1; }));
    WriteRaw(peer, "@disco {}\n");
    ASSERT_TRUE(Run([&] { return heard == 1; }));
    EXPECT_EQ(socket->QueuedRequests(), 1u) << "a request went out behind the starttls in clear text";
    WriteRaw(peer, "@starttls {\"error\":\"not provisioned\"}\n");
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 2; }));
    EXPECT_EQ(reader.Data(), "starttls {}\nget {}\n");
    sink.onMessage = nullptr;
}

TEST_F(TcpSend, SendsAndClosesFromApplicationThreadsRunOnTheLoopInOrder) {
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    LoopThread loop(io);
    constexpr int threads = 4, perThread = 50;
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([socket, t] {
            for (int i = 0; i < perThread; ++i) {
                socket->SendData("@r" + std::to_string(t) + " {\"i\":\"" + std::to_string(i) + "\"}\n", false);
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    boost::asio::streambuf buffer;
    boost::system::error_code error;
    std::istream in(&buffer);
    std::string line;
    std::vector<int> next(threads, 0);
    for (int n = 0; n < threads * perThread; ++n) {
        boost::asio::read_until(peer, buffer, '\n', error);
        ASSERT_FALSE(error) << error.message();
        std::getline(in, line);
        const int t = line[2] - '0';
        ASSERT_EQ(line, "@r" + std::to_string(t) + " {\"i\":\"" + std::to_string(next[t]++) + "\"}");
    }

    std::thread first([socket] { socket->Close(); });
    std::thread second([socket] { socket->Close(); });
    first.join();
    second.join();
    ASSERT_TRUE(WaitUntil([&] { return sink.closed == 1; }));
    boost::asio::read_until(peer, buffer, '\n', error);
    EXPECT_EQ(error, boost::asio::error::eof);
}

}  // namespace
}  // namespace ZelkorTest
