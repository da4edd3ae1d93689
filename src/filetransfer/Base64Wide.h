#pragma once
// Base64 32 characters at a time with the processor's vector instructions, for the long
// run of whole groups that makes up a block: the plain coder then takes what is left, the
// padded end and, decoding, any text the wide decoder does not accept.
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

// Encodes runs of 24 bytes from `in` into 32 characters each at `out`, while at least 32
// of the `count` bytes are left (a run reads 4 past its own). Returns the bytes encoded, a
// multiple of 24; 0 on a processor without the instructions.
std::size_t EncodeBase64Wide(const unsigned char* in, std::size_t count, char* out);

}  // namespace Zelkor
