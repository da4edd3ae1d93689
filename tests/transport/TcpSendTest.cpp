#include <gtest/gtest.h>

#include <thread>

#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>

#include "TransportFixture.h"
#include "core/ZelkorLog.h"

namespace ZelkorTest {
namespace {

class TcpSend : public TransportTest {
protected:
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
    static std::string ReadLine(tcp::socket& peer, boost::asio::streambuf& buffer, boost::system::error_code& error) {
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

// A goodbye behind a running write follows it whole before the close; a peer that goes
// away makes the write fail, which closes at once whatever waits behind it.
TEST_F(TcpSend, GoodbyeBehindAWriteGoesOutWholeUnlessTheWriteFails) {
    for (const bool peerResets : {false, true}) {
        tcp::socket peer(io);
        auto socket = AcceptSlow(peer);
        const int closedBefore = sink.closed;
        const std::string big = "@get {\"data\":\"" + std::string(64 * 1024, 'g') + "\"}\n";
        socket->SendData(big, false);
        ASSERT_TRUE(Run([&] { return socket->SendingMsg(); }));
        socket->SendGoodbye(goodbye);
        if (peerResets) {
            peer.set_option(boost::asio::socket_base::linger(true, 0));
            peer.close();
            EXPECT_TRUE(Run([&] { return sink.closed == closedBefore + 1; }, std::chrono::seconds(5)));
            continue;
        }
        socket->Close();
        EXPECT_EQ(sink.closed, closedBefore);
        RawReader reader(peer);
        ASSERT_TRUE(Run([&] { return reader.Eof(); }));
        EXPECT_EQ(reader.Data(), big + goodbye);
        EXPECT_EQ(sink.closed, closedBefore + 1);
    }
}

// At shutdown a goodbye and a close follow each other, perhaps with the loop stopped for
// good: on an idle connection the goodbye is out and the connection closed before the
// calls return. A peer that does not read neither blocks the loop nor holds the close.
TEST_F(TcpSend, GoodbyeAndCloseOnAnIdleConnection) {
    for (const bool peerReads : {true, false}) {
        tcp::socket peer(io);
        auto socket = AcceptSlow(peer, std::chrono::milliseconds(50));
        const int closedBefore = sink.closed;
        auto& raw = socket->GetBasicSocket();
        raw.non_blocking(true);
        boost::system::error_code error;
        while (!peerReads && !error) {  // nothing more fits until the peer reads
            raw.write_some(boost::asio::buffer(std::string(4096, 'f')), error);
        }
        raw.non_blocking(false);
        io.stop();
        socket->SendGoodbye(goodbye);
        socket->Close();
        if (!peerReads) {
            ASSERT_TRUE(Run([&] { return sink.closed == closedBefore + 1; }));
            continue;
        }
        EXPECT_EQ(sink.closed, closedBefore + 1);
        boost::asio::streambuf buffer;
        EXPECT_EQ(ReadLine(peer, buffer, error) + "\n", goodbye);
        ReadLine(peer, buffer, error);
        EXPECT_EQ(error, boost::asio::error::eof);
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
