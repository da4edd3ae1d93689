#include <gtest/gtest.h>

#include <utility>
#include <string>

#include "core/Digest.h"
#include "support/TempDir.h"

TEST(Digest, Md5MatchesPublishedVectors) {
    // RFC 1321 appendix A.5.
    const std::pair<std::string, const char*> md5[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    };
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
