#include <gtest/gtest.h>

#include "TransportFixture.h"

namespace ZelkorTest {
namespace {

class TcpReceive : public TransportTest {};

// A blank or unparsable line is skipped alone: the lines behind it in the same read are
// not lost.
TEST_F(TcpReceive, FramesLinesFromARawPeer) {
    struct Case {
        std::vector<std::string> writes;
        std::vector<std::string> commands;
    };
    const std::vector<Case> cases = {
        {{"ge", "t {\"path\":\"/a\"}\n"}, {"get"}},
        {{"  \t\x81get\nse", "t\n"}, {"get", "set"}},
        {{"\r\n@get\n"}, {"@get"}},
        {{"get {\"a\":\nset\n"}, {"set"}},
    };
    tcp::socket peer(io);
    AcceptRaw(peer);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::size_t before = sink.received.size();
        for (const auto& text : cases[i].writes) {
            WriteRaw(peer, text);
        }
        // A marker line behind the case's bytes: everything before it has been handled.
        const std::string marker = "marker" + std::string(1, static_cast<char>('a' + i));
        WriteRaw(peer, marker + "\n");
        ASSERT_TRUE(Run([&] { return sink.Count(marker) > 0; })) << i;
        const auto commands = sink.Commands();
        EXPECT_EQ(std::vector<std::string>(commands.begin() + before, commands.end() - 1), cases[i].commands) << i;
    }
    EXPECT_EQ(sink.received.front().json, "{\"path\":\"/a\"}");
}

TEST_F(TcpReceive, DuringTheHandshakeOnlyStartTlsPasses) {
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    socket->SetState(TcpSocket::Handshaking);
    WriteRaw(peer, "get\nstarttls\n@error\n@starttls\n");
    ASSERT_TRUE(Run([&] { return sink.Count("@starttls") == 1; }));
    EXPECT_EQ(sink.Commands(), (std::vector<std::string>{"starttls", "@starttls"}));
}

// A peer that never sends a line end could otherwise grow the pending line without end.
TEST_F(TcpReceive, ALineBeyondTheBoundClosesTheConnection) {
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    socket->SetMaxLineLength(1000);
    RawReader reader(peer);
    WriteRaw(peer, std::string(900, 'x') + "\n" + std::string(3000, 'x'));
    ASSERT_TRUE(Run([&] { return reader.Eof(); }));
    EXPECT_EQ(sink.closed, 1);
    EXPECT_EQ(sink.Count(std::string(900, 'x')), 1u);  // the long line within the bound was read
}

}  // namespace
}  // namespace ZelkorTest
