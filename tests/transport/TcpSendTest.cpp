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
    // A connection whose writes go out in small pieces while the peer is not reading.
    std::shared_ptr<TcpSocket> AcceptSlow(tcp::socket& peer) {
        auto socket = AcceptRaw(peer);
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

TEST_F(TcpSend, OneWriteAtATimeInLockStepOrder) {
    ZelkorLog::TheLog().SetLevel(4);
    tcp::socket peer(io);
    auto socket = AcceptSlow(peer);
    const std::string block = "block {\"data\":\"" + std::string(96 * 1024, 'b') + "\"}\n";
    socket->SendData(block, true);
    socket->SendData("@ls\n", false);           // reply: waits for the running write only
    socket->SendData("get\n", true);            // request: waits for a reply
    socket->SendData("starttls\n", true);       // authentication pass: waits for the write
    ASSERT_TRUE(Run([&] { return socket->SendingMsg() && socket->QueuedRequests() == 1; }));

    RawReader reader(peer);
    ASSERT_TRUE(Run([&] { return reader.Lines().size() == 3; }));
    const auto lines = reader.Lines();
    EXPECT_EQ(lines[0] + "\n", block);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), (std::vector<std::string>{"starttls", "@ls"}));
    EXPECT_EQ(sink.blocksSent, 1);
    EXPECT_TRUE(log.Contains("ZK7258I TCP write incomplete. Remaining bytes: "));

    WriteRaw(peer, "@block\n");
    ASSERT_TRUE(Run([&] { return reader.Lines().size() == 4; }));
    EXPECT_EQ(reader.Lines().back(), "get");
    EXPECT_EQ(socket->QueuedRequests(), 0u);
}

TEST_F(TcpSend, QueueBoundAndRepeatedPollsDropRequests) {
    ZelkorLog::TheLog().SetLevel(7);
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    RawReader reader(peer);
    sink.queueDepth = 2;
    socket->SendData("get\n", true);
    socket->SendData("poll {\"a\":\"1\"}\n", true);
    socket->SendData("poll {\"a\":\"1\"}\n", true);
    socket->SendData("poll {\"a\":\"2\"}\n", true);
    socket->SendData("set\n", true);
    ASSERT_TRUE(Run([&] { return reader.Lines().size() == 1 && log.Contains("ZK7239W"); }));
    EXPECT_EQ(socket->QueuedRequests(), 2u);
    EXPECT_TRUE(log.Contains("ZK7237I TcpSocket:PrepareAndQueueMessage duplicate command not queued"));
    EXPECT_TRUE(log.Contains("ZK7239W Message queue full! Message lost  command: set to IP: 127.0.0.1"));

    WriteRaw(peer, "@get\n");
    ASSERT_TRUE(Run([&] { return reader.Lines().size() == 2; }));
    WriteRaw(peer, "@poll\n");
    ASSERT_TRUE(Run([&] { return reader.Lines().size() == 3; }));
    EXPECT_EQ(reader.Lines(), (std::vector<std::string>{"get", "poll {\"a\":\"1\"}", "poll {\"a\":\"2\"}"}));
}

// What follows a completed write: the block reports, the goodbye's header, close-after-send.
TEST_F(TcpSend, SendCompletions) {
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    RawReader reader(peer);
    socket->SendData("7-abcd [dev2][ctl] block {\"blockno\":\"1\"}\n", true);
    socket->SendData("@block\n", false);
    socket->SendData("@get\n", false);
    ASSERT_TRUE(Run([&] { return reader.Lines().size() == 3; }));
    EXPECT_EQ(sink.blocksSent, 1);
    EXPECT_EQ(sink.blockRepliesSent, 1);
    EXPECT_EQ(sink.blockHeaderTargets, "dev2");

    socket->SendGoodbye();
    ASSERT_TRUE(Run([&] { return reader.Lines().size() == 4; }));
    const std::string line = reader.Lines().back() + "\n";
    EXPECT_NE(line.find("[dev2][ctl]"), std::string::npos) << line;
    EXPECT_NE(line.find(goodbye), std::string::npos) << line;
    EXPECT_EQ(line.find("7-abcd"), std::string::npos) << line;

    socket->SetCloseAfterSend(true);
    socket->SendData("@goodbye\n", false);
    ASSERT_TRUE(Run([&] { return reader.Eof(); }));
    EXPECT_EQ(reader.Lines().back(), "@goodbye");
    EXPECT_EQ(sink.closed, 1);
}

TEST_F(TcpSend, GoodbyeDuringAWriteFollowsItWholeBeforeTheClose) {
    tcp::socket peer(io);
    auto socket = AcceptSlow(peer);
    const std::string big = "@get {\"data\":\"" + std::string(64 * 1024, 'g') + "\"}\n";
    socket->SendData(big, false);
    ASSERT_TRUE(Run([&] { return socket->SendingMsg(); }));
    socket->SendGoodbye(goodbye);
    socket->Close();
    EXPECT_EQ(sink.closed, 0);

    RawReader reader(peer);
    ASSERT_TRUE(Run([&] { return reader.Eof(); }));
    const auto lines = reader.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size() + 1, big.size());
    EXPECT_EQ(lines[1] + "\n", goodbye);
    EXPECT_EQ(sink.closed, 1);
}

TEST_F(TcpSend, GoodbyeAndCloseOnAnIdleConnectionNeedNoFurtherLoopTurn) {
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    // As at shutdown: the loop is stopped and may never run again.
    io.stop();
    socket->SendGoodbye(goodbye);
    socket->Close();
    EXPECT_EQ(sink.closed, 1);
    boost::asio::streambuf buffer;
    boost::system::error_code error;
    EXPECT_EQ(ReadLine(peer, buffer, error) + "\n", goodbye);
    ASSERT_FALSE(error) << error.message();
    ReadLine(peer, buffer, error);
    EXPECT_EQ(error, boost::asio::error::eof);
}

TEST_F(TcpSend, AGoodbyeToAPeerThatDoesNotReadNeitherBlocksNorHoldsTheClose) {
    tcp::socket peer(io);
    auto socket = AcceptSlow(peer);
    socket->SetCloseFlushTimeout(std::chrono::milliseconds(50));
    // Fill the kernel's buffers: nothing more fits until the peer reads, which it never does.
    auto& raw = socket->GetBasicSocket();
    raw.non_blocking(true);
    const std::string filler(4096, 'f');
    boost::system::error_code error;
    while (!error) {
        raw.write_some(boost::asio::buffer(filler), error);
    }
    ASSERT_EQ(error, boost::asio::error::would_block);
    raw.non_blocking(false);

    socket->SendGoodbye(goodbye);
    socket->Close();
    ASSERT_TRUE(Run([&] { return sink.closed == 1; }));
    EXPECT_TRUE(log.Contains("ZK7268W Goodbye not written in time, closing conn: " + socket->Tag()));
}

TEST_F(TcpSend, AFailedWriteClosesAtOnceEvenWithAGoodbyeWaiting) {
    tcp::socket peer(io);
    auto socket = AcceptSlow(peer);
    socket->SetCloseFlushTimeout(std::chrono::seconds(30));
    socket->SendData("@get {\"data\":\"" + std::string(256 * 1024, 'g') + "\"}\n", false);
    socket->SendGoodbye(goodbye);
    ASSERT_TRUE(Run([&] { return socket->SendingMsg(); }));
    // The peer goes away with a reset: the running write fails.
    peer.set_option(boost::asio::socket_base::linger(true, 0));
    peer.close();
    EXPECT_TRUE(Run([&] { return sink.closed == 1; }, std::chrono::seconds(5)));
}

TEST_F(TcpSend, SendsAndClosesFromApplicationThreadsRunOnTheLoopInOrder) {
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    LoopThread loop(io);
    constexpr int threads = 4;
    constexpr int perThread = 50;
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
    std::vector<int> next(threads, 0);
    for (int n = 0; n < threads * perThread; ++n) {
        boost::system::error_code error;
        const std::string line = ReadLine(peer, buffer, error);
        ASSERT_FALSE(error) << error.message();
        const int t = line[2] - '0';
        ASSERT_EQ(line, "@r" + std::to_string(t) + " {\"i\":\"" + std::to_string(next[t]) + "\"}");
        ++next[t];
    }

    std::thread first([socket] { socket->Close(); });
    std::thread second([socket] { socket->Close(); });
    first.join();
    second.join();
    ASSERT_TRUE(WaitUntil([&] { return sink.closed == 1; }));
    boost::system::error_code error;
    ReadLine(peer, buffer, error);
    EXPECT_EQ(error, boost::asio::error::eof);
    EXPECT_FALSE(socket->SocketIsOpen());
}

}  // namespace
}  // namespace ZelkorTest
