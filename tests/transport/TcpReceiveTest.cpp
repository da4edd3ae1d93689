#include <gtest/gtest.h>

#include <boost/asio/write.hpp>

#include "TransportFixture.h"
#include "core/ZelkorLog.h"

namespace ZelkorTest {
namespace {

class TcpReceive : public TransportTest {};

TEST_F(TcpReceive, FramesLinesFromARawPeer) {
    struct Case {
        const char* name;
        std::vector<std::string> writes;
        std::vector<std::string> commands;
        std::vector<std::string> logged;
    };
    const std::vector<Case> cases = {
        {"split over writes", {"ge", "t {\"path\":\"/a\"}\n"}, {"get"}, {}},
        {"several in one read", {"a\nb\n@c\n"}, {"a", "b", "@c"}, {}},
        {"leading blanks, tab and bytes above 0x7e", {"  \t\x81get\n"}, {"get"}, {}},
        {"empty line does not hide the next", {"\r\nget\n"}, {"get"}, {}},
        {"invalid line does not hide the next", {"get {\"a\":\nset\n"}, {"set"}, {"ZK7233E Invalid message"}},
        {"partial tail completed later", {"get\nse", "t\n"}, {"get", "set"}, {}},
    };
    int index = 0;
    for (const auto& c : cases) {
        log.Clear();
        tcp::socket peer(io);
        auto socket = AcceptRaw(peer);
        const std::size_t before = sink.Lines().size();
        for (const auto& text : c.writes) {
            WriteRaw(peer, text);
        }
        // A marker line behind the case's bytes: everything before it has been handled.
        const std::string marker = std::string("marker") + static_cast<char>('a' + index++);
        WriteRaw(peer, marker + "\n");
        ASSERT_TRUE(Run([&] { return sink.Count(marker) > 0; })) << c.name;
        const auto lines = sink.Lines();
        std::vector<std::string> got;
        for (std::size_t i = before; i + 1 < lines.size(); ++i) {
            got.push_back(lines[i].command);
        }
        EXPECT_EQ(got, c.commands) << c.name;
        for (const auto& text : c.logged) {
            EXPECT_TRUE(log.Contains(text)) << c.name << ": " << text;
        }
        EXPECT_TRUE(socket->SocketIsOpen()) << c.name;
        socket->Close();
    }
    EXPECT_EQ(sink.Lines().front().json, "{\"path\":\"/a\"}");
}

TEST_F(TcpReceive, DuringTheHandshakeOnlyStartTlsPasses) {
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    socket->SetState(TcpSocket::Handshaking);
    WriteRaw(peer, "get\nstarttls\n@error\n@starttls\n");
    ASSERT_TRUE(Run([&] { return sink.Count("@starttls") == 1; }));
    EXPECT_EQ(sink.Commands(), (std::vector<std::string>{"starttls", "@starttls"}));
    EXPECT_TRUE(log.Contains("ZK7234E Message not allowed at state authentication: get"));
    EXPECT_TRUE(log.Contains("ZK7234E Message not allowed at state authentication: error"));
    EXPECT_EQ(sink.closed, 0);
}

TEST_F(TcpReceive, ALineBeyondTheBoundClosesTheConnection) {
    struct Case {
        const char* name;
        std::string text;
        bool closes;
    };
    const std::vector<Case> cases = {
        {"long line within the bound", std::string(900, 'x') + "\n", false},
        {"unterminated line past the bound", std::string(3000, 'x'), true},
        {"terminated line past the bound", std::string(2000, 'x') + "\n", true},
    };
    for (const auto& c : cases) {
        log.Clear();
        tcp::socket peer(io);
        auto socket = AcceptRaw(peer);
        socket->SetMaxLineLength(1000);
        const int closedBefore = sink.closed;
        RawReader reader(peer);
        WriteRaw(peer, c.text);
        if (c.closes) {
            ASSERT_TRUE(Run([&] { return reader.Eof(); })) << c.name;
            EXPECT_EQ(sink.closed, closedBefore + 1) << c.name;
            EXPECT_TRUE(log.Contains("ZK7267E Line exceeds the length limit")) << c.name;
        } else {
            WriteRaw(peer, "marker\n");
            ASSERT_TRUE(Run([&] { return sink.Count("marker") == 1; })) << c.name;
            EXPECT_EQ(sink.closed, closedBefore) << c.name;
        }
        socket->Close();
        ASSERT_TRUE(Run([&] { return reader.Eof(); })) << c.name;
    }
}

TEST_F(TcpReceive, AReplyReleasesTheLockStepAndReportsItsTimes) {
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    RawReader reader(peer);
    socket->SendData("get\n", true);
    ASSERT_TRUE(Run([&] { return reader.Lines().size() == 1; }));
    EXPECT_TRUE(socket->SendingLockStep());
    EXPECT_EQ(sink.requestTimes, 1);
    EXPECT_NE(socket->RequestTime().time_since_epoch().count(), 0);

    WriteRaw(peer, "@unrelated\n");
    ASSERT_TRUE(Run([&] { return sink.Count("@unrelated") == 1; }));
    const auto line = sink.Lines().back();
    EXPECT_NE(line.requestSent.time_since_epoch().count(), 0);
    EXPECT_GE(line.replyReceived, line.requestSent);
    EXPECT_FALSE(socket->SendingLockStep());
    EXPECT_EQ(socket->RequestTime().time_since_epoch().count(), 0);
    EXPECT_EQ(sink.clearedRequestTimes, 1);
}

TEST_F(TcpReceive, FourMegabyteLinesPassBothWaysOnPlainTcp) {
    const std::string payload(4 * 1024 * 1024, 'q');
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    RawReader reader(peer);
    // Written from the loop: the socket reads while the peer writes.
    const std::string line = "put {\"data\":\"" + payload + "\"}\n";
    boost::asio::async_write(peer, boost::asio::buffer(line), [](const boost::system::error_code&, std::size_t) {});
    ASSERT_TRUE(Run([&] { return sink.Count("put") == 1; }));
    EXPECT_EQ(sink.Lines().back().json.size(), payload.size() + 11);

    socket->SendData("@put {\"data\":\"" + payload + "\"}\n", false);
    ASSERT_TRUE(Run([&] { return reader.Lines().size() == 1; }));
    EXPECT_EQ(reader.Lines().front().size(), payload.size() + 16);
    EXPECT_FALSE(socket->SendingMsg());
}

}  // namespace
}  // namespace ZelkorTest
