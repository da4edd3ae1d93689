// Codecs and addresses: Base64, the digests and file checksums, MAC addresses.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/Base64.h"
#include "core/Digest.h"
#include "core/MacAddress.h"
#include "support/TempDir.h"

using Zelkor::MacAddress;

namespace {

// Decodes the first `length` characters (the whole text when negative); the text is
// replaced by the result and the length becomes its size.
std::string Decoded(std::string text, long length = -1) {
    unsigned long count = length < 0 ? text.size() : static_cast<unsigned long>(length);
    std::string result = Base64::Decode(text, count);
    EXPECT_EQ(count, result.size());
    EXPECT_EQ(text, result) << "the text is decoded in place as well";
    return result;
}

}  // namespace

TEST(Base64, EncodesAndDecodesPublishedVectors) {
    // RFC 4648 section 10, and bytes that are not text.
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\0\xfb\xff", 3), "APv/"},
    };
    for (const auto& [bytes, text] : vectors) {
        const std::vector<unsigned char> encoded = Base64::Encode(bytes);
        EXPECT_EQ(std::string(encoded.begin(), encoded.end()), text);
        std::string written = "old content";
        EXPECT_EQ(Base64::Encode(bytes, written), text.size());
        EXPECT_EQ(written, text);
        EXPECT_EQ(Decoded(text), bytes) << text;
    }
}

// The block decoder alone passed invalid text and counted its padding as bytes, so callers
// read bytes that were never decoded. Blanks around the text and line ends behind it, which
// that decoder passes over and peers may send, once made valid text decode to nothing.
TEST(Base64, DecodesWholeValidTextOfTheGivenLengthOnly) {
    EXPECT_EQ(Decoded("Zm9vYg==garbage", 8), "foob");
    EXPECT_EQ(Decoded("Zm9vYmFyZm9vYmFy", 20), "");  // a length beyond the text is not read past its end
    const std::pair<std::string, std::string> cases[] = {
        {"QUJD\n", "ABC"}, {" \tZm9vYg==\r\n", "foob"}, {"Zm8= \t", "fo"}, {"Zm9v-", "foo"}, {"Zm9v \r\n\n", "foo"},
        {"Zm9", ""}, {"Zm 9v", ""}, {"Zm9*", ""}, {"Zm=v", ""}, {"Zg==Zm9v", ""}, {"====", ""}, {"Zm9v====", ""},
        {"\nZm9v", ""}, {"Zm9v\nZm9v", ""}, {"Zm9v\v", ""},
    };
    for (const auto& [text, bytes] : cases) {
        EXPECT_EQ(Decoded(text), bytes) << text;
    }
}

TEST(Digest, Md5MatchesPublishedVectors) {
    // RFC 1321 appendix A.5.
    const std::pair<std::string, const char*> md5[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"}, {"abc", "900150983cd24fb0d6963f7d28e17f72"}};
    for (const auto& [input, digest] : md5) {
        MD5Digest md;
        md.Update(input);
        EXPECT_EQ(md.GetDigest(), digest) << input;
    }
}

// Finishing a digest twice once gave another value the second time. FIPS 180-2 appendix B.
TEST(Digest, FinishedDigestKeepsItsValueUntilReset) {
    SHA256Digest digest;
    digest.Update("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq");
    digest.Final();
    digest.Update("more");
    EXPECT_EQ(digest.GetDigest(), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    digest.Reset();
    digest.Update(nullptr, 5);
    EXPECT_EQ(digest.GetDigest(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// A directory, a device or a read error once gave a checksum of whatever had been read.
TEST(FileChecksum, DigestsWholeRegularFilesOnly) {
    ZelkorTest::TempDir dir;
    const std::string content = std::string(524288, 'a') + "b";  // one byte past the read chunk
    ZelkorTest::WriteFile(dir.File("file"), content);
    MD5Digest expected;
    expected.Update(content);
    std::string checksum;
    ASSERT_TRUE(GetFileChecksum(dir.File("file"), checksum));
    EXPECT_EQ(checksum, expected.GetDigest());

    for (const std::string& path : {dir.File("missing"), dir.Path().string(), std::string("/dev/zero")}) {
        checksum = "unchanged";
        EXPECT_FALSE(GetFileChecksum(path, checksum)) << path;
        EXPECT_EQ(checksum, "unchanged") << path;
    }
}

// A text that is not an address once left the pairs read before the fault in the held
// address; a failed parse now leaves it as it was.
TEST(MacAddress, ParsesWholeTextsOnly) {
    const struct {
        std::string text;
        const char* normalised;  // null: not an address
    } cases[] = {
        {" {AA-bb:Cc-dD:0e:F1}", "aa:bb:cc:dd:0e:f1"},
        {" \t ", nullptr},
        {"00:11:22:33:44:55 ", nullptr},
        {"00:11:22:33:44", nullptr},
        {"g0:11:22:33:44:55", nullptr},
        {"0:11:22:33:44:55", nullptr},
        {std::string("00:11:22:33:44:55\0junk", 22), nullptr},
    };
    for (const auto& c : cases) {
        MacAddress address("01:23:45:67:89:ab");
        EXPECT_EQ(address.Set(c.text), c.normalised != nullptr) << c.text;
        EXPECT_EQ(address.Text(), c.normalised ? c.normalised : "01:23:45:67:89:ab") << c.text;
    }
    MacAddress address("01:23:45:67:89:ab");
    EXPECT_FALSE(address.Set(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(address.Set(static_cast<const unsigned char*>(nullptr)));

    // Equality looks at the bytes only, whatever separators the text used.
    const unsigned char bytes[6] = {0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xff};
    EXPECT_EQ(MacAddress(bytes).Text(), "00:1a:2b:c3:d4:ff");
    EXPECT_EQ(MacAddress(bytes), MacAddress("00-1A-2b:C3-d4:ff"));
    EXPECT_NE(MacAddress(bytes), MacAddress("00:1a:2b:c3:d4:fe"));
}
