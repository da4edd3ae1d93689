#include <gtest/gtest.h>

#include "TransportFixture.h"
#include "transport/InputBudget.h"
#include "transport/LineFramer.h"

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

// Unfinished lines of all connections share one bound, which never counts below what one
// connection may hold: the connection whose growth would pass it goes, the others keep
// their lines.
TEST_F(TcpReceive, UnfinishedLinesOfAllConnectionsShareOneBound) {
    using Zelkor::InputBudget;
    struct Restore {
        ~Restore() { InputBudget::SetLimit(InputBudget::DefaultLimit); }
    } restore;
    InputBudget::SetLimit(1000);
    tcp::socket first(io), second(io);
    auto kept = AcceptRaw(first);
    auto dropped = AcceptRaw(second);
    kept->SetMaxLineLength(2000);
    dropped->SetMaxLineLength(2000);
    RawReader secondReader(second);
    const std::string head = "get {\"data\":\"" + std::string(1500, 'a');
    WriteRaw(first, head);
    ASSERT_TRUE(Run([&] { return InputBudget::Used() == head.size(); }));
    WriteRaw(second, std::string(600, 'b'));
    ASSERT_TRUE(Run([&] { return secondReader.Eof(); }));
    EXPECT_EQ(log.Count("ZK7267E Line exceeds the length limit, closing conn: " + dropped->Tag()), 1u);
    EXPECT_EQ(InputBudget::Used(), head.size());
    WriteRaw(first, "\"}\n");
    ASSERT_TRUE(Run([&] { return sink.Count("get") == 1; }));
    EXPECT_EQ(InputBudget::Used(), 0u);
    EXPECT_EQ(sink.closed, 1);
}

// One long line must not pin its buffer for the rest of the connection's life.
TEST(LineFramer, GivesTheBufferOfALongLineBack) {
    Zelkor::LineFramer framer;
    const std::string line = std::string(4 << 20, 'x') + "\nget";
    framer.Append(line.data(), line.size());
    std::string out;
    ASSERT_TRUE(framer.Next(out));
    EXPECT_FALSE(framer.Next(out));
    EXPECT_EQ(framer.PendingSize(), 3u);
    EXPECT_LT(framer.Capacity(), std::size_t{1} << 20);
}

}  // namespace
}  // namespace ZelkorTest
