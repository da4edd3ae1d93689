#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include <sys/socket.h>

#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>

#include "TransportFixture.h"
#include "core/ZelkorLog.h"

namespace ZelkorTest {
namespace {

using TlsPeer = boost::asio::ssl::stream<tcp::socket&>;

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
    boost::asio::ssl::context peerTls{boost::asio::ssl::context::tls};
    // A connection whose writes go out in small pieces while the peer is not reading, and
    // whose close waits at most `flush` for a goodbye.
    TcpPtr AcceptSlow(tcp::socket& peer, std::chrono::milliseconds flush = std::chrono::seconds(30)) {
        auto socket = AcceptRaw(peer);
        socket->SetCloseFlushTimeout(flush);
        socket->GetBasicSocket().set_option(boost::asio::socket_base::send_buffer_size(4096));
        peer.set_option(boost::asio::socket_base::receive_buffer_size(4096));
        return socket;
    }
    // One line from a blocking peer, without its "\n"; empty with `error` set at the end.
    template <class Stream>
    static std::string ReadLine(Stream& peer, boost::asio::streambuf& buffer, boost::system::error_code& error) {
        boost::asio::read_until(peer, buffer, '\n', error);
        std::string line;
        if (!error) {
            std::istream in(&buffer);
            std::getline(in, line);
        }
        return line;
    }
    const std::string goodbye = "goodbye {\"reason\":\"shutdown\"}\n";
};

// Replies wait only for the running write, the authentication pass goes before them, and
// a request waits for a reply; a partial write is completed before anything else.
TEST_F(TcpSend, OneWriteAtATimeInLockStepOrder) {
    ZelkorLog::TheLog().SetLevel(4);
    tcp::socket peer(io);
    auto socket = AcceptSlow(peer);
    const std::string block = "block {\"data\":\"" + std::string(96 * 1024, 'b') + "\"}\n";
    socket->SendData(block, true);
    socket->SendData("@ls\n", false);
    socket->SendData("get\n", true);
    socket->SendData("starttls\n", true);
    ASSERT_TRUE(Run([&] { return socket->SendingMsg() && socket->QueuedRequests() == 1; }));

    RawReader reader(peer);
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 3; }));
    EXPECT_EQ(reader.Data(), block + "starttls\n@ls\n");
    EXPECT_TRUE(log.Contains("ZK7258I TCP write incomplete. Remaining bytes: "));

    // Any reply releases the lock-step.
    WriteRaw(peer, "@block\n");
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 4; }));
    EXPECT_EQ(reader.Data(), block + "starttls\n@ls\nget\n");
}

// An empty text is a line that could not be built; queued as a request it once held the
// lock-step for a reply that never came.
TEST_F(TcpSend, EmptyTextIsNothingToSend) {
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    RawReader reader(peer);
    socket->SendData("", true);
    socket->SendData("", false);
    socket->SendGoodbye("");
    socket->SendData("get\n", true);
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 1; }));
    EXPECT_EQ(reader.Data(), "get\n");
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
    for (int reply = 0; reply < 2; ++reply) {
        WriteRaw(peer, "@x\n");
    }
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 3; }));
    EXPECT_EQ(reader.Data(), "get\npoll\nset\n");
}

// File transfer hears of its blocks; the goodbye keeps the route but no earlier line's
// sender hash; close-after-send closes once the line is out.
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
    EXPECT_EQ(sink.closed, 1);
}

// A goodbye behind a running write follows it whole before the close, over TLS too; a
// peer that goes away makes the write fail, which closes at once whatever waits behind it.
TEST_F(TcpSend, GoodbyeBehindAWriteGoesOutWholeUnlessTheWriteFails) {
    for (const bool secure : {false, true}) {
        for (const bool peerResets : {false, true}) {
            tcp::socket peer(io);
            TlsPeer tlsPeer(peer, peerTls);
            auto socket = AcceptSlow(peer);
            if (secure) {
                Secure(socket, tlsPeer);
            }
            const int closedBefore = sink.closed;
            const std::string big = "@get {\"data\":\"" + std::string(64 * 1024, 'g') + "\"}\n";
            socket->SendData(big, false);
            ASSERT_TRUE(Run([&] { return socket->SendingMsg(); }));
            socket->SendGoodbye(goodbye);
            if (peerResets) {
                peer.set_option(boost::asio::socket_base::linger(true, 0));
                peer.close();
                EXPECT_TRUE(Run([&] { return sink.closed == closedBefore + 1; }, std::chrono::seconds(5))) << secure;
                continue;
            }
            socket->Close();
            EXPECT_EQ(sink.closed, closedBefore);
            std::string data;
            {
                LoopThread loop(io);
                boost::system::error_code end;
                secure ? boost::asio::read(tlsPeer, boost::asio::dynamic_buffer(data), end)
                       : boost::asio::read(peer, boost::asio::dynamic_buffer(data), end);
                EXPECT_TRUE(WaitUntil([&] { return sink.closed == closedBefore + 1; })) << secure;
            }
            EXPECT_EQ(data, big + goodbye) << secure;
        }
    }
}

// At shutdown a goodbye and a close follow each other, perhaps with the loop stopped for
// good: on an idle connection the goodbye is out and the connection closed before the
// calls return, over TLS too. A peer that does not read neither blocks the loop nor holds
// the close longer than the flush time.
TEST_F(TcpSend, GoodbyeAndCloseOnAnIdleConnection) {
    for (const bool secure : {false, true}) {
        for (const bool peerReads : {true, false}) {
            tcp::socket peer(io);
            TlsPeer tlsPeer(peer, peerTls);
            auto socket = AcceptSlow(peer, std::chrono::milliseconds(50));
            if (secure) {
                Secure(socket, tlsPeer);
            }
            const int closedBefore = sink.closed;
            const std::size_t lateBefore = log.Count("ZK7268W Goodbye not written in time");
            if (!peerReads) {
                // Far more than the kernel takes while the peer does not read.
                socket->SendGoodbye("goodbye {\"reason\":\"" + std::string(1 << 20, 's') + "\"}\n");
                socket->Close();
                ASSERT_TRUE(Run([&] { return sink.closed == closedBefore + 1; })) << secure;
                EXPECT_EQ(log.Count("ZK7268W Goodbye not written in time"), lateBefore + 1) << secure;
                continue;
            }
            io.stop();
            socket->SendGoodbye(goodbye);
            socket->Close();
            EXPECT_EQ(sink.closed, closedBefore + 1) << secure;
            boost::asio::streambuf buffer;
            boost::system::error_code error;
            EXPECT_EQ((secure ? ReadLine(tlsPeer, buffer, error) : ReadLine(peer, buffer, error)) + "\n", goodbye);
            secure ? ReadLine(tlsPeer, buffer, error) : ReadLine(peer, buffer, error);
            EXPECT_TRUE(error == boost::asio::error::eof || error == boost::asio::ssl::error::stream_truncated)
                << error.message();
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
// writes too: each loop must read while its own write waits.
TEST_F(TcpSend, AFourMegabyteLineEachWayOverTls) {
    LoadTlsMaterial(*tls);
    boost::asio::io_context clientIo;
    FakeSink clientSink;
    sink.answerSecurity = clientSink.answerSecurity = true;
    const std::string big = "@data {\"data\":\"" + std::string(4 << 20, 'd') + "\"}\n";
    std::atomic<bool> serverGot{false}, clientGot{false};
    auto record = [](std::atomic<bool>& got) {
        return [&got](const TcpPtr&, const std::string& word) { got = got || word == "@data"; };
    };
    sink.onMessage = record(serverGot);
    clientSink.onMessage = record(clientGot);
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
        auto serverSide = sink.accepted.back();
        serverSide->IsAuthenticated(true);
        client->IsAuthenticated(true);
        serverSide->SendData(big, false);
        client->SendData(big, false);
        delivered = WaitUntil([&] { return serverGot && clientGot; }, std::chrono::seconds(20));
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
    const std::string reply = "@get {\"data\":\"" + std::string(4000, 'r') + "\"}\n";
    tcp::socket peer(io);
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

    tcp::socket second(io);
    socket = AcceptSlow(second);
    socket->SetMaxQueuedBytes(bound);
    const std::string block = "@block {\"data\":\"" + std::string(4 * bound, 'b') + "\"}\n";
    socket->SendData(block, false);
    socket->SendData(block, false);
    ASSERT_TRUE(Run([&] { return socket->QueuedBytes() == block.size(); }));
    EXPECT_FALSE(socket->IsFinalized());
    socket->SendData("@get\n", false);
    EXPECT_TRUE(Run([&] { return sink.closed == 2; }));
}

// What a sink throws ends the connection it was called for, with a line saying so, instead
// of escaping into the loop or leaving the connection open but silent. A reply on which
// the sink closes the connection still clears the request time.
TEST_F(TcpSend, ASinkThatThrowsClosesItsConnection) {
    class ScriptedSink : public FakeSink {
    public:
        using FakeSink::LogTraffic;
        std::string throwIn;
        bool closeOnReply = false;
        int cleared = 0;
        void SetRequestTime(TcpPtr, std::int64_t) override { fail("SetRequestTime"); }
        void ClearRequestTime(TcpPtr) override {
            ++cleared;
            fail("ClearRequestTime");
        }
        void LogTraffic(bool incoming, const tcp::endpoint&, const std::string&, bool) override {
            fail(incoming ? "LogTraffic in" : "LogTraffic");
        }
        void MessageBlockSent(TcpPtr, Zelkor::MessageForwardInfo&) override { fail("MessageBlockSent"); }
        void MessageReceived(TcpPtr socket, Zelkor::MessageForwardInfo& header, TimePoint, TimePoint) override {
            fail("MessageReceived");
            if (closeOnReply && header.isReply) {
                socket->Close();
            }
        }
        void fail(const std::string& call) {
            if (call == throwIn) {
                throw std::runtime_error("sink failed");
            }
        }
    };
    struct Case {
        std::string throwIn;
        std::string send;  // sent as a request, or as a reply when it begins with "@"
        std::string peerWrites;
    };
    const std::vector<Case> cases = {
        {"SetRequestTime", "get\n", ""},
        {"LogTraffic", "@get\n", ""},
        {"MessageBlockSent", "block {\"blockno\":1}\n", ""},
        {"MessageReceived", "", "get\n"},
        {"ClearRequestTime", "get\n", "@get\n"},
        {"", "get\n", "@get\n"},
    };
    for (const auto& c : cases) {
        ScriptedSink scripted;
        scripted.throwIn = c.throwIn;
        scripted.closeOnReply = c.throwIn.empty();
        tcp::socket peer(io);
        auto socket = AcceptRaw(peer);
        socket->SetSink(&scripted);
        RawReader reader(peer);
        if (!c.send.empty()) {
            socket->SendData(c.send, c.send[0] != '@');
        }
        if (!c.peerWrites.empty()) {
            ASSERT_TRUE(Run([&] { return !reader.Data().empty() || c.send.empty(); })) << c.throwIn;
            WriteRaw(peer, c.peerWrites);
        }
        EXPECT_TRUE(Run([&] { return reader.Eof(); })) << c.throwIn;
        EXPECT_EQ(log.Count("ZK7270E Sink call failed, closing conn: " + socket->Tag() + " (" + c.throwIn +
                            ": sink failed)"),
                  c.throwIn.empty() ? 0u : 1u)
            << c.throwIn;
        EXPECT_EQ(scripted.cleared, c.peerWrites == "@get\n" ? 1 : 0) << c.throwIn;
        socket->SetSink(&sink);
    }
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
    std::vector<int> next(threads, 0);
    for (int n = 0; n < threads * perThread; ++n) {
        const std::string line = ReadLine(peer, buffer, error);
        ASSERT_FALSE(error) << error.message();
        const int t = line[2] - '0';
        ASSERT_EQ(line, "@r" + std::to_string(t) + " {\"i\":\"" + std::to_string(next[t]++) + "\"}");
    }

    std::thread first([socket] { socket->Close(); });
    std::thread second([socket] { socket->Close(); });
    first.join();
    second.join();
    ASSERT_TRUE(WaitUntil([&] { return sink.closed == 1; }));
    ReadLine(peer, buffer, error);
    EXPECT_EQ(error, boost::asio::error::eof);
}

}  // namespace
}  // namespace ZelkorTest
