#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/Base64.h"

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
// read bytes that were never decoded.
TEST(Base64, DecodesOnlyWholeValidTextOfTheGivenLength) {
    EXPECT_EQ(Decoded("Zm9vYg==garbage", 8), "foob");
    EXPECT_EQ(Decoded("Zm9vYmFyZm9vYmFy", 20), "");  // a length beyond the text is not read past its end
    for (const std::string input : {"Zm9", "Zm 9v", "Zm9*", "Zm=v", "Zg==Zm9v", "====", "Zm9v====", "\nZm9v", "Zm9v\nZm9v",
                                    "Zm9v\v"}) {
        EXPECT_EQ(Decoded(input), "") << input;
    }
}

// Blanks around the text and line ends behind it, which OpenSSL's block decoder passes over
// and peers may send, once made valid text decode to nothing.
TEST(Base64, DecodesTextFramedAsTheBlockDecoderAllows) {
    const std::pair<std::string, std::string> cases[] = {
        {"QUJD\n", "ABC"}, {" \tZm9vYg==\r\n", "foob"}, {"Zm8= \t", "fo"}, {"Zm9v-", "foo"}, {"Zm9v \r\n\n", "foo"},
    };
    for (const auto& [text, bytes] : cases) {
        EXPECT_EQ(Decoded(text), bytes) << text;
    }
}
