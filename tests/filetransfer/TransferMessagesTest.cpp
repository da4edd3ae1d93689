// The transfer words on the wire: which members a "putfile", "getfile" or "block" line
// carries and in what JSON type, what the driver's table makes of the words, the fixed
// texts of the transfer states, and the block size rules both sides apply.

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/MessageForwardInfo.h"
#include "driver/CommandTable.h"
#include "filetransfer/BlockSize.h"
#include "filetransfer/TransferMessages.h"
#include "filetransfer/TransferState.h"

namespace ZelkorTest {
namespace {

using Zelkor::Param;

struct Set {
    Param param;
    const char* text;
};

TEST(TransferMessages, WriteSetMembersWithCountsAsNumbers) {
    struct Case {
        const char* word;
        bool request;
        std::vector<Set> set;
        const char* line;
    };
    const std::string thirtyDigits = "123456789012345678901234567890";
    const Case cases[] = {
        {"putfile", true, {{Param::path, "a.bin"}, {Param::state, "begin"}, {Param::length, "12"}},
         R"(putfile {"length":12,"path":"a.bin","state":"begin"})"},
        // Counts a peer could not read as an unsigned number stay text; an empty one is null.
        {"putfile", true, {{Param::length, thirtyDigits.c_str()}, {Param::blocksize, "abc"}},
         R"(putfile {"blocksize":"abc","length":"123456789012345678901234567890"})"},
        {"putfile", true, {{Param::length, ""}, {Param::blocksize, "-5"}, {Param::checksum, "7"}},
         R"(putfile {"blocksize":"-5","checksum":"7","length":null})"},
        {"putfile", false, {{Param::blocksize, "18446744073709551615"}, {Param::state, "begin"}},
         R"(@putfile {"blocksize":18446744073709551615,"state":"begin"})"},
        {"putfile", false, {{Param::length, "18446744073709551616"}, {Param::canceled, "true"}},
         R"(@putfile {"canceled":"true","length":"18446744073709551616"})"},
        {"getfile", false,
         {{Param::path, "f"}, {Param::state, "end"}, {Param::blocksize, "4096"}, {Param::length, "3"},
          {Param::checksum, "900150983cd24fb0d6963f7d28e17f72"}, {Param::error, "length mismatch"}},
         R"(@getfile {"blocksize":4096,"checksum":"900150983cd24fb0d6963f7d28e17f72","error":"length mismatch","length":3,"path":"f","state":"end"})"},
        {"block", false, {{Param::blockno, "7"}}, R"(@block {"blockno":7})"},
        {"block", true, {{Param::blockno, "2"}, {Param::data, "QQ=="}, {Param::error, "x"}},
         R"(block {"blockno":2,"data":"QQ==","error":"x"})"},
        // Only the counts are numbers: a digit "data" or "checksum" stays text.
        {"block", true, {{Param::data, "12"}}, R"(block {"data":"12"})"},
        // Nothing set: the empty object, which ends a get's data.
        {"block", true, {}, "block {}"},
        {"putfile", false, {}, "@putfile {}"},
        {"getfile", true, {}, "getfile {}"},
    };
    for (const auto& c : cases) {
        auto message = Zelkor::LookupCommand(c.word)();
        for (const auto& set : c.set) {
            ASSERT_TRUE(message->SetParameter(set.param, set.text)) << c.line;
        }
        EXPECT_EQ(message->Build(c.request), std::string(c.line) + "\n");
    }
}

TEST(TransferMessages, TableMakesTheTransferClasses) {
    EXPECT_NE(dynamic_cast<Zelkor::PutFile*>(Zelkor::LookupCommand("putfile")().get()), nullptr);
    EXPECT_NE(dynamic_cast<Zelkor::GetFile*>(Zelkor::LookupCommand("getfile")().get()), nullptr);
    EXPECT_NE(dynamic_cast<Zelkor::BlockTransfer*>(Zelkor::LookupCommand("block")().get()), nullptr);
    EXPECT_NE(dynamic_cast<Zelkor::BlockTransfer*>(Zelkor::BlockTransfer().Instantiate().get()), nullptr);
    // Undeclared members are neither taken nor written.
    Zelkor::BlockTransfer block;
    EXPECT_FALSE(block.SetParameter(Param::path, "x"));
}

// A received line is written on unchanged: numbers stay numbers through the text the
// base class keeps of them, and the routing header goes first.
TEST(TransferMessages, ReceivedLinesAreWrittenOnWithTheirHeader) {
    const char* const lines[] = {
        R"(putfile {"blocksize":1001,"length":12,"path":"a/b.bin","state":"begin"})",
        R"(@getfile {"blocksize":512,"length":"123456789012345678901234567890","state":"begin"})",
        R"(@block {"blockno":7,"error":"invalid block"})",
        R"(block {"blockno":7,"data":"YWJj"})",
    };
    for (const std::string line : lines) {
        const bool request = line[0] != '@';
        auto message = Zelkor::LookupCommand(request ? line.substr(0, line.find(' ')) : line.substr(1, line.find(' ') - 1))();
        std::string error;
        ASSERT_TRUE(message->FromNetworkFormat(request, line, error)) << line << error;
        EXPECT_EQ(message->Build(request), line + "\n");
        Zelkor::MessageForwardInfo routed;
        routed.SetTargetPaths("dev");
        routed.SetSourcePaths("ctl");
        message->SetMessageForwardInfo(routed);
        EXPECT_EQ(message->Build(request), "[dev][ctl] " + line + "\n");
    }
    Zelkor::PutFile put;
    std::string error;
    ASSERT_TRUE(put.FromNetworkFormat(true, R"(putfile {"length":12,"state":"end"})", error));
    EXPECT_STREQ(put.GetParameter(Param::length), "12");
}

TEST(TransferStates, EveryStateHasItsOwnText) {
    const auto& table = Zelkor::TransferStateMessage();
    ASSERT_EQ(table.size(), 26u);
    std::set<std::string> texts;
    for (int state = 0; state < 26; ++state) {
        const char* text = Zelkor::TransferStateText(static_cast<Zelkor::TransferState>(state));
        ASSERT_NE(text, nullptr);
        EXPECT_TRUE(texts.insert(text).second) << text;
    }
    EXPECT_STREQ(Zelkor::TransferStateText(Zelkor::TransferState::EndpointUnknown), "end-point is unknown");
    EXPECT_STREQ(Zelkor::TransferStateText(Zelkor::TransferState::CannotCreateFstream), "cannot create fstream");
    EXPECT_STREQ(Zelkor::TransferStateText(Zelkor::TransferState::Error), "error");
    EXPECT_STREQ(Zelkor::TransferStateText(Zelkor::TransferState::Timeout), "timeout");
    EXPECT_STREQ(Zelkor::TransferStateText(static_cast<Zelkor::TransferState>(26)), "error");
}

TEST(BlockSizes, AnsweringSideTakesTheSmallerInWholeGroups) {
    struct Case {
        const char* requested;
        std::uint64_t own;
        std::uint64_t blockSize;
    };
    const Case cases[] = {
        {"100", 65536, 512},        {"513", 65536, 512},          {"1001", 65536, 1000},
        {nullptr, 65536, 65536},    {nullptr, 1001, 1000},        {"1073741824", 65536, 65536},
        {"268435456", 65536, 65536}, {"4096", 1001, 1000},        {"0", 65536, 512},
        // Text that is no unsigned number is no request.
        {"abc", 65536, 65536},      {"-1", 4096, 4096},           {"", 4096, 4096},
        {"99999999999999999999", 4096, 4096},
        // An own size beyond the limit (set around the setter) is still held to it.
        {nullptr, 1u << 30, 268435456},
    };
    for (const auto& c : cases) {
        const auto sizes = Zelkor::AnswerBlockSize(c.requested, c.own);
        EXPECT_EQ(sizes.blockSize, c.blockSize) << (c.requested ? c.requested : "none") << " own " << c.own;
        EXPECT_EQ(sizes.chunkSize, c.blockSize / 4 * 3);
    }
}

TEST(BlockSizes, OpeningSideOnlyLowersAndQueueClamps) {
    struct Lower {
        std::uint64_t current;
        const char* answered;
        std::uint64_t result;
    };
    const Lower lowers[] = {
        {65536, "100", 512},  {65536, "1000000", 65536}, {65536, "4096", 4096}, {65536, nullptr, 65536},
        {1001, "65536", 1000}, {1001, nullptr, 1001},    {65536, "-5", 65536},  {65536, "x", 65536},
        {65536, "1001", 1000},
    };
    for (const auto& c : lowers) {
        EXPECT_EQ(Zelkor::LowerBlockSize(c.current, c.answered), c.result)
            << c.current << " " << (c.answered ? c.answered : "none");
    }
    const std::pair<std::uint64_t, std::uint64_t> queued[] = {
        {0, 65536}, {1, 512}, {512, 512}, {513, 513}, {268435456, 268435456}, {268435457, 268435456},
    };
    for (const auto& [requested, result] : queued) {
        EXPECT_EQ(Zelkor::QueuedBlockSize(requested), result) << requested;
    }
    EXPECT_EQ(Zelkor::ChunkSizeOf(65536), 49152u);
    EXPECT_EQ(Zelkor::ChunkSizeOf(512), 384u);
    EXPECT_EQ(Zelkor::ChunkSizeOf(1001), 750u);

    std::uint64_t value = 7;
    for (const char* refused : {"", "+1", "-1", " 1", "1 ", "1.0", "18446744073709551616"}) {
        EXPECT_FALSE(Zelkor::ReadUnsigned(refused, value)) << refused;
    }
    EXPECT_FALSE(Zelkor::ReadUnsigned(nullptr, value));
    EXPECT_EQ(value, 7u);
    EXPECT_TRUE(Zelkor::ReadUnsigned("18446744073709551615", value));
    EXPECT_EQ(value, UINT64_MAX);
}

}  // namespace
}  // namespace ZelkorTest
