#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/Digest.h"
#include "support/TempDir.h"

namespace {

struct Vector {
    std::string input;
    const char* digest;
};

// RFC 1321 appendix A.5.
const std::vector<Vector> kMd5Vectors = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

// FIPS 180-2 appendix B, and the empty message.
const std::vector<Vector> kSha256Vectors = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

template <class Digest>
void CheckVectors(const std::vector<Vector>& vectors) {
    for (const auto& v : vectors) {
        Digest digest;
        digest.Update(v.input);
        EXPECT_EQ(digest.GetDigest(), v.digest) << v.input.substr(0, 40);
    }
}

template <class Digest>
void CheckFinishingAndReuse(const char* emptyDigest, const char* abcDigest) {
    Digest digest;
    digest.Update("abc");
    digest.Final();
    // A finished digest keeps its result and takes no more bytes until it is reset.
    digest.Update("more");
    EXPECT_EQ(digest.GetDigest(), abcDigest);
    EXPECT_EQ(digest.GetDigest(), abcDigest);

    // The raw bytes are those the text spells.
    const std::string hex = abcDigest;
    const auto& raw = digest.RawDigest();
    ASSERT_EQ(raw.size() * 2, hex.size());
    EXPECT_EQ(raw.front(), std::stoul(hex.substr(0, 2), nullptr, 16));
    EXPECT_EQ(raw.back(), std::stoul(hex.substr(hex.size() - 2), nullptr, 16));

    // One object digests several texts in a row when reset between them.
    digest.Reset();
    digest.Update(std::string("ab"));
    digest.Update("c", 1);
    EXPECT_EQ(digest.GetDigest(), abcDigest);
    digest.Init();
    digest.Update(nullptr, 5);
    digest.Update("abc", 0);
    EXPECT_EQ(digest.GetDigest(), emptyDigest);
}

}  // namespace

TEST(Digest, Md5MatchesPublishedVectors) { CheckVectors<MD5Digest>(kMd5Vectors); }

TEST(Digest, Sha256MatchesPublishedVectors) { CheckVectors<SHA256Digest>(kSha256Vectors); }

TEST(Digest, FinishingTwiceAndReuse) {
    CheckFinishingAndReuse<MD5Digest>(kMd5Vectors[0].digest, kMd5Vectors[2].digest);
    CheckFinishingAndReuse<SHA256Digest>(kSha256Vectors[0].digest, kSha256Vectors[1].digest);
}

TEST(FileChecksum, EqualsDigestOfContentAroundTheChunkSize) {
    ZelkorTest::TempDir dir;
    for (std::size_t size : {0u, 1u, 524287u, 524288u, 524289u, 3u * 524288u + 7u}) {
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            content[i] = static_cast<char>((i * 131 + i / 977) & 0xff);
        }
        const std::string path = dir.File("file" + std::to_string(size));
        ZelkorTest::WriteFile(path, content);

        MD5Digest expected;
        expected.Update(content);
        std::string checksum;
        ASSERT_TRUE(GetFileChecksum(path, checksum)) << size;
        EXPECT_EQ(checksum, expected.GetDigest()) << size;
    }
}

TEST(FileChecksum, UnreadableTargetsFailAndKeepTheChecksum) {
    ZelkorTest::TempDir dir;
    std::filesystem::create_directory(dir.File("folder"));
    std::vector<std::string> paths = {dir.File("missing"), dir.File("folder"), dir.Path().string(), ""};
    // A device never reaches its end; it must not be read forever.
    if (std::filesystem::exists("/dev/zero")) {
        paths.push_back("/dev/zero");
    }
    for (const auto& path : paths) {
        std::string checksum = "unchanged";
        EXPECT_FALSE(GetFileChecksum(path, checksum)) << path;
        EXPECT_EQ(checksum, "unchanged") << path;
    }
}
