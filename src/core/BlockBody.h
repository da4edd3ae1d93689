#pragma once
// The body of a "block" line in its fixed form, {"blockno":N,"data":"<Base64>"}, read in
// one pass: a block is the one large line of the protocol, and the general JSON reader
// would walk its data character by character to make the same string.
//
// Threads: a free function without state.

#include <cstdint>
#include <string_view>

namespace Zelkor {

// The fields of a block body. `data` views the body.
struct BlockBody {
    bool hasNumber = false;
    std::uint64_t number = 0;
    bool hasData = false;
    std::string_view data;
};

// Reads a body of exactly the fixed form {"blockno":N,"data":"..."} (or "{}"); false for
// any other text, which the caller then reads as general JSON. Whatever it takes, a JSON
// reader reads the same way: N is a plain decimal number without leading zero that fits
// 64 bits, the data printable ASCII without quote or backslash. Never throws.
bool ReadBlockBody(std::string_view body, BlockBody& out);

}  // namespace Zelkor
