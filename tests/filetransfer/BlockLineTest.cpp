// The hand-built block line and its fast reader: files of awkward sizes go through
// composed lines and come back byte for byte, the Base64 decoder refuses what is not whole
// Base64 without touching it, and the reader takes only the fixed form, agreeing with the
// JSON library on everything it takes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/Base64.h"
#include "core/Digest.h"
#include "core/JsonText.h"
#include "core/Message.h"
#include "filetransfer/BlockLine.h"
#include "filetransfer/BlockSize.h"
#include "filetransfer/TransferMessages.h"

namespace ZelkorTest {
namespace {

// A file in memory, read at most `step` bytes at a time.
struct MemoryFile {
    std::string bytes;
    std::size_t step = SIZE_MAX;
    std::size_t at = 0;

    Zelkor::BlockReader Reader() {
        return [this](char* buffer, std::size_t count, std::string&) -> long {
            const std::size_t n = std::min({count, step, bytes.size() - at});
            std::copy_n(bytes.data() + at, n, buffer);
            at += n;
            return static_cast<long>(n);
        };
    }
};

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7919 + i / 251) & 0xff);
    }
    return bytes;
}

std::string Md5(const std::string& bytes) {
    MD5Digest digest;
    digest.Update(bytes);
    return digest.GetDigest();
}

std::string Base64Of(const std::string& bytes) {
    const auto text = Base64::Encode(bytes);
    return std::string(text.begin(), text.end());
}

// Sends a file through composed lines, as a put's sending and receiving sides handle it.
struct Sent {
    std::string received;
    std::string digest;
    int blocks = 0;
};

Sent SendThroughLines(MemoryFile& file, std::size_t blockSize) {
    const std::size_t chunkSize = Zelkor::ChunkSizeOf(blockSize);
    MD5Digest digest;
    Sent sent;
    std::string line;
    std::string raw;
    for (std::uint64_t number = 1;; ++number) {
        const auto composed = Zelkor::ComposeBlockLine(file.Reader(), number, blockSize, chunkSize, line, raw);
        EXPECT_FALSE(composed.failed);
        if (composed.read == 0) {
            break;
        }
        EXPECT_EQ(raw.size(), composed.read);
        digest.Update(raw);
        EXPECT_LE(composed.read, chunkSize);
        const std::string front = "block {\"blockno\":" + std::to_string(number) + ",\"data\":\"";
        EXPECT_EQ(line.compare(0, front.size(), front), 0) << line.substr(0, 40);
        EXPECT_EQ(line.substr(line.size() - 3), "\"}\n");
        const std::string body = line.substr(6, line.size() - 7);
        Zelkor::BlockBody read;
        EXPECT_TRUE(Zelkor::ReadBlockBody(body, read)) << body.substr(0, 40);
        EXPECT_EQ(read.number, number);
        EXPECT_LE(read.data.size(), blockSize);
        const std::size_t offset = sent.received.size();
        EXPECT_EQ(read.data, Base64Of(file.bytes.substr(offset, composed.read)));
        EXPECT_EQ(Zelkor::DecodedLength(read.data), composed.read);
        std::string data(read.data);
        EXPECT_TRUE(Zelkor::DecodeBase64InPlace(data));
        sent.received += data;
        ++sent.blocks;
        if (sent.blocks > 1000) {
            ADD_FAILURE() << "no end of file";
            break;
        }
    }
    sent.digest = digest.GetDigest();
    return sent;
}

TEST(BlockLine, FilesOfEverySizeComeBackWhole) {
    for (const std::size_t blockSize : {512u, 1001u, 4096u, 65536u}) {
        const std::size_t chunk = Zelkor::ChunkSizeOf(blockSize);
        for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, chunk - 1,
                                       chunk, chunk + 1, 2 * chunk, 2 * chunk + 2}) {
            MemoryFile file{Pattern(size)};
            const Sent sent = SendThroughLines(file, blockSize);
            EXPECT_EQ(sent.received, file.bytes) << blockSize << " " << size;
            EXPECT_EQ(sent.digest, Md5(file.bytes)) << blockSize << " " << size;
            EXPECT_EQ(sent.blocks, static_cast<int>((size + chunk - 1) / chunk)) << blockSize << " " << size;
        }
    }
}

TEST(BlockLine, ShortReadsStillFillTheBlock) {
    MemoryFile file{Pattern(1000), 7};
    const Sent sent = SendThroughLines(file, 512);
    EXPECT_EQ(sent.received, file.bytes);
    EXPECT_EQ(sent.blocks, 3);
}

TEST(BlockLine, AbcAsBlockSevenReadsBackThroughBothReaders) {
    MemoryFile file{"abc"};
    std::string line;
    std::string raw;
    const auto composed = Zelkor::ComposeBlockLine(file.Reader(), 7, 512, 384, line, raw);
    EXPECT_EQ(composed.read, 3u);
    EXPECT_EQ(line, "block {\"blockno\":7,\"data\":\"YWJj\"}\n");
    EXPECT_EQ(raw, "abc");

    Zelkor::BlockTransfer message;
    std::string error;
    ASSERT_TRUE(message.FromNetworkFormat(true, line.substr(0, line.size() - 1), error)) << error;
    EXPECT_STREQ(message.GetParameter(Zelkor::Param::blockno), "7");
    std::string data = message.GetParameter(Zelkor::Param::data);
    ASSERT_TRUE(Zelkor::DecodeBase64InPlace(data));
    EXPECT_EQ(data, "abc");
}

// Composing into a line and a raw buffer that have the room reuses both.
TEST(BlockLine, ComposingAgainReusesTheBuffers) {
    MemoryFile file{Pattern(3 * 49152)};
    std::string line;
    std::string raw;
    Zelkor::ComposeBlockLine(file.Reader(), 1, 65536, 49152, line, raw);
    const char* buffer = line.data();
    const char* rawBuffer = raw.data();
    for (std::uint64_t number = 2; number <= 3; ++number) {
        EXPECT_EQ(Zelkor::ComposeBlockLine(file.Reader(), number, 65536, 49152, line, raw).read, 49152u);
        EXPECT_EQ(line.data(), buffer);
        EXPECT_EQ(raw.data(), rawBuffer);
    }
}

TEST(BlockLine, AFailedReadSaysWhyAndLeavesNoBytes) {
    std::string line;
    std::string raw;
    int calls = 0;
    const Zelkor::BlockReader failing = [&](char* buffer, std::size_t, std::string& error) -> long {
        if (calls++ == 0) {
            buffer[0] = 'x';
            return 1;
        }
        error = "Input/output error";
        return -1;
    };
    const auto composed = Zelkor::ComposeBlockLine(failing, 1, 512, 384, line, raw);
    EXPECT_TRUE(composed.failed);
    EXPECT_EQ(composed.read, 0u);
    EXPECT_EQ(composed.error, "Input/output error");
    EXPECT_TRUE(raw.empty());
}

TEST(Base64InPlace, DecodesWholeTextAndRefusesTheRestUntouched) {
    const std::pair<std::string, std::string> valid[] = {
        {"", ""},         {"QQ==", "A"},       {"QUI=", "AB"},          {"QUJD", "ABC"},
        {"QUJDRA==", "ABCD"}, {"+/+/", "\xfb\xff\xbf"}, {"AAAA", std::string(3, '\0')},
    };
    for (const auto& [text, bytes] : valid) {
        std::string decoded = text;
        EXPECT_TRUE(Zelkor::DecodeBase64InPlace(decoded)) << text;
        EXPECT_EQ(decoded, bytes) << text;
        EXPECT_EQ(Zelkor::DecodedLength(text), bytes.size()) << text;
    }
    const std::string refused[] = {
        "Q", "QQ", "QQ=", "QUJDR",                              // partial groups
        "QQ!=", "QU D", "QUJD\n", "QUJ-", "QUJ_", "QU\xc3\xa9", std::string("QU\0D", 4),  // foreign characters
        "Q===", "====", "QQ==QUJD", "Q=JD", "QU=D", "=QUJ",      // padding not at the end
    };
    for (const auto& text : refused) {
        std::string kept = text;
        EXPECT_FALSE(Zelkor::DecodeBase64InPlace(kept)) << text;
        EXPECT_EQ(kept, text);
    }
}

TEST(Base64FromView, AgreesWithTheInPlaceDecoderAndLeavesNothingOfRefusedText) {
    const std::string texts[] = {
        "",     "QQ==", "QUI=", "QUJD", "QUJDRA==", "+/+/", "AAAA",  "Q",    "QQ",   "QQ=",  "QUJDR",
        "QQ!=", "QU D", "QUJD\n", "QUJ-", "QUJ_", "QU\xc3\xa9", std::string("QU\0D", 4), "Q===", "====",
        "QQ==QUJD", "Q=JD", "QU=D", "=QUJ", "QQ=D", "QUJDQQ!=", std::string(4096, 'A') + "QUJ\x80",
    };
    for (const auto& text : texts) {
        std::string inPlace = text;
        const bool taken = Zelkor::DecodeBase64InPlace(inPlace);
        // A buffer that held an earlier block: nothing of it may stay.
        std::string out = "left over";
        EXPECT_EQ(Zelkor::DecodeBase64(text, out), taken) << text;
        EXPECT_EQ(out, taken ? inPlace : std::string()) << text;
    }
}

// Long text goes 32 characters at a time both ways: every length near the ends of those
// runs is encoded as the plain coder does and comes back whole, and a foreign character
// anywhere in a run is refused as it is elsewhere.
TEST(Base64FromView, LongTextRoundTripsAndAForeignCharacterAnywhereIsRefused) {
    for (std::size_t size = 30; size <= 130; ++size) {
        const std::string bytes = Pattern(size);
        MemoryFile file{bytes};
        std::string line;
        std::string raw;
        Zelkor::ComposeBlockLine(file.Reader(), 1, 1024, 768, line, raw);
        const std::string text = Base64Of(bytes);
        EXPECT_EQ(line, "block {\"blockno\":1,\"data\":\"" + text + "\"}\n") << size;
        std::string out;
        ASSERT_TRUE(Zelkor::DecodeBase64(text, out)) << size;
        EXPECT_EQ(out, bytes) << size;
    }
    const std::string text = Base64Of(Pattern(3 * 100));
    const char foreign[] = {'=', '@', '[', '`', '{', '-', '_', ':', ' ', '\0', '\x7f', '\x80', '\xff'};
    for (std::size_t at = 0; at < text.size(); ++at) {
        for (const char c : foreign) {
            if (c == '=' && at + 1 == text.size()) {
                continue;  // padding where padding may stand
            }
            std::string bad = text;
            bad[at] = c;
            std::string out = "left over";
            EXPECT_FALSE(Zelkor::DecodeBase64(bad, out)) << at << " " << static_cast<int>(c);
            EXPECT_TRUE(out.empty());
        }
    }
}

TEST(BlockBodyReader, TakesTheFixedFormAsTheJsonLibraryReadsIt) {
    const std::string taken[] = {
        R"({"blockno":7,"data":"YWJj"})",
        R"({"blockno":0,"data":""})",
        R"({"blockno":18446744073709551615,"data":"QQ=="})",
        // Any plain text: the decoder, not the reader, judges the Base64.
        R"({"blockno":12,"data":"not base64 / !"})",
    };
    for (const auto& body : taken) {
        Zelkor::BlockBody read;
        ASSERT_TRUE(Zelkor::ReadBlockBody(body, read)) << body;
        Json::Value json;
        std::string errors;
        ASSERT_EQ(Zelkor::ReadJson(body, json, errors), Zelkor::JsonReadResult::ok) << body;
        EXPECT_TRUE(read.hasNumber && read.hasData);
        EXPECT_EQ(read.number, json["blockno"].asUInt64()) << body;
        EXPECT_EQ(read.data, json["data"].asString()) << body;
        EXPECT_EQ(json.size(), 2u);
    }
    Zelkor::BlockBody empty{true, 5, true, "x"};
    ASSERT_TRUE(Zelkor::ReadBlockBody("{}", empty));
    EXPECT_FALSE(empty.hasNumber || empty.hasData);

    const std::string refused[] = {
        "", "{", "{ }", "{} ", "[]", "null",
        R"({"blockno":7})",                               // a reply, read the long way
        R"({"data":"YWJj","blockno":7})",                 // another order
        R"({"blockno":7, "data":"YWJj"})",                // a blank
        R"({"blockno":7,"data":"YWJj"} )",                // text behind
        R"({"blockno":7,"data":"YWJj"}})",
        R"({"blockno":7,"data":"YWJj","error":"x"})",     // another member
        R"({"blockno":07,"data":"YWJj"})",                // not a JSON number
        R"({"blockno":-7,"data":"YWJj"})",
        R"({"blockno":7.0,"data":"YWJj"})",
        R"({"blockno":"7","data":"YWJj"})",
        R"({"blockno":,"data":"YWJj"})",
        R"({"blockno":18446744073709551616,"data":"QQ=="})",  // beyond 64 bits
        R"({"blockno":7,"data":"YW\/j"})",                // an escape
        R"({"blockno":7,"data":"YW"j"})",
        "{\"blockno\":7,\"data\":\"YW\tj\"}",             // a control character
        "{\"blockno\":7,\"data\":\"Y\xc3\xa9j\"}",        // not ASCII
        R"({"blockno":7,"data":"YWJj)",                   // cut short
        R"({"blockno":7,"data":YWJj})",
    };
    for (const auto& body : refused) {
        Zelkor::BlockBody read{true, 5, true, "kept"};
        EXPECT_FALSE(Zelkor::ReadBlockBody(body, read)) << body;
        EXPECT_EQ(read.number, 5u);
        EXPECT_EQ(read.data, "kept");
    }
}

}  // namespace
}  // namespace ZelkorTest
