#pragma once
// The "block" line's fixed form, written by hand for speed and read the same way:
//   block {"blockno":N,"data":"<Base64>"}\n
// "blockno" is a number and comes first, there is no blank inside the object. The raw
// bytes are read into a buffer of their own, which the caller hands on to its digest, and
// encoded from there into the line.
//
// Threads: free functions without state.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/BlockBody.h"

namespace Zelkor {

// Reads up to `count` bytes into `buffer`: the count read (0 at the end of the file), or
// -1 on a read error with `error` set to the system's text.
using BlockReader = std::function<long(char* buffer, std::size_t count, std::string& error)>;

struct ComposedBlock {
    std::size_t read = 0;  // raw bytes in the line; 0: end of file (or a failed read)
    bool failed = false;   // the read failed; `error` says why
    std::string error;
};

// Composes block `blockNumber` into `line` (without any routing header): at most
// `chunkSize` raw bytes, `blockSize` Base64 characters. The bytes read are left in `raw`
// for the caller's digest. When nothing was read the line's content is unspecified and
// must not be sent.
ComposedBlock ComposeBlockLine(const BlockReader& read, std::uint64_t blockNumber, std::size_t blockSize,
                               std::size_t chunkSize, std::string& line, std::string& raw);

// Decodes whole, correctly padded standard Base64 in place; false, `text` unchanged, for
// anything else (a partial group, a character outside the alphabet, padding inside).
bool DecodeBase64InPlace(std::string& text);
// Decodes the same text as DecodeBase64InPlace takes into `out`, checking and decoding in
// one pass over text that stays where it was received. False for anything else: `out`
// is then left empty.
bool DecodeBase64(std::string_view text, std::string& out);
// The raw byte count of valid Base64 text of that length and padding, without decoding.
std::size_t DecodedLength(std::string_view base64);


}  // namespace Zelkor
