#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/Base64.h"

namespace {

struct Vector {
    std::string bytes;
    std::string text;
};

// RFC 4648 section 10, and bytes that are not text.
const std::vector<Vector> kVectors = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {std::string("\0\xff\xfe", 3), "AP/+"},
    {std::string("\xfb\xff", 2), "+/8="},
};

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
    for (const auto& v : kVectors) {
        const std::vector<unsigned char> bytes = Base64::Encode(v.bytes);
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), v.text);

        std::string text = "old content";
        EXPECT_EQ(Base64::Encode(v.bytes, text), v.text.size());
        EXPECT_EQ(text, v.text);

        EXPECT_EQ(Decoded(v.text), v.bytes) << v.text;
    }
}

TEST(Base64, DecodesOnlyWholeValidTextOfTheGivenLength) {
    EXPECT_EQ(Decoded("Zm9vYmFy", 4), "foo");
    EXPECT_EQ(Decoded("Zm9vYg==garbage", 8), "foob");
    // A length beyond the text is refused rather than read past the end.
    EXPECT_EQ(Decoded("Zm9v", 8), "");

    const std::vector<std::string> invalid = {
        // not whole groups of four
        "Z", "Zm=", "Zm9", "Zm9vY",
        // characters outside the alphabet, blanks and line ends included
        " Zm9v", "Zm9v ", "Zm9v\n", "Zm 9v", "Zm9*", "Zm9v-", std::string("Zm9v\0AAA", 8),
        // padding anywhere but at the very end, or too much of it
        "Zm=v", "Z=9v", "Zg==Zm9v", "====", "Z===", "Zm9v====",
    };
    for (const auto& input : invalid) {
        EXPECT_EQ(Decoded(input), "") << input;
    }
}

TEST(Base64, RoundTripsEveryByteValueAndLongInput) {
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all += static_cast<char>(i);
    }
    // Long enough to be handed to OpenSSL in several pieces on both ways.
    std::string large(3u * 1024 * 1024 + 2, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>(i * 7 + i / 251);
    }
    for (const auto& bytes : {all, all.substr(1), all.substr(2), large}) {
        std::string text;
        const unsigned long length = Base64::Encode(bytes, text);
        EXPECT_EQ(length, (bytes.size() + 2) / 3 * 4);
        EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
        EXPECT_TRUE(Decoded(text) == bytes) << bytes.size();
    }
}
