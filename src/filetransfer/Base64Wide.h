#pragma once
// Base64 decoding 32 characters at a time with the processor's vector instructions, for
// the long run of whole groups that makes up a block: the plain decoder then takes what
// is left, the padded end and any text this one does not accept.
//
// Threads: a free function without state.

#include <cstddef>

namespace Zelkor {

// Decodes runs of 32 alphabet characters ("A"-"Z", "a"-"z", "0"-"9", "+", "/") from `in`
// into 24 bytes each at `out`, while at least 48 characters of the `count` are left: the
// last ones, padding included, are the caller's. Each run also writes 8 bytes past its
// 24, which the next run or the caller's rest overwrites. Stops at the first run holding
// anything else. Returns the characters decoded, a multiple of 32; 0 on a processor
// without the instructions.
std::size_t DecodeBase64Wide(const char* in, std::size_t count, char* out);

}  // namespace Zelkor
