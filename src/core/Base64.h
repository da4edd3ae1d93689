#pragma once
// Base64 in the standard alphabet with "=" padding and no line breaks, over OpenSSL's
// EVP encoder and decoder.
//
// Ownership: stateless; the results are returned by value.
// Threads: every operation may be called from any thread at the same time.

#include <string>
#include <vector>

class Base64 {
public:
    // The Base64 text of `bytes`, without a terminating NUL.
    static std::vector<unsigned char> Encode(const std::string& bytes);
    // Stores the Base64 text of `bytes` in `text` and returns its length.
    static unsigned long Encode(const std::string& bytes, std::string& text);

    // Decodes the first `length` characters of `text`. The decoded bytes replace `text`
    // and are also returned; `length` becomes their count. Blanks and tabs around the text
    // and line ends behind it are passed over, as OpenSSL's block decoder does. Text that
    // is not otherwise whole, correctly padded Base64 (or a `length` beyond the text)
    // decodes to nothing: both `text` and the result are then empty and `length` is 0.
    static std::string Decode(std::string& text, unsigned long& length);
};
