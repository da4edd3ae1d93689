#pragma once
// Block sizes: Base64 characters per block, and the raw bytes they carry. The limits keep
// a peer from asking for lines larger than this node will take.
//
// Threads: free functions without state.

#include <cstdint>
#include <string>

namespace Zelkor {

constexpr std::uint64_t MinBlockSize = 512;
constexpr std::uint64_t MaxBlockSize = 268435456;  // 2^28
constexpr std::uint64_t DefaultBlockSize = 65536;

struct BlockSizes {
    std::uint64_t blockSize = 0;  // Base64 characters per block, a multiple of 4
    std::uint64_t chunkSize = 0;  // raw bytes per block: (blockSize / 4) * 3
};

// Raw bytes per block for a block size: (blockSize / 4) * 3.
std::uint64_t ChunkSizeOf(std::uint64_t blockSize);

// What the answering side announces: the request's "blocksize" (null: absent; a text that
// is no number counts as absent) and this node's own block size; the smaller of the two,
// at least 512, rounded down to a multiple of 4.
BlockSizes AnswerBlockSize(const char* requested, std::uint64_t own);

// The opening side lowers its block size by an answer's "blocksize" (null: unchanged):
// the smaller of `current` and max(answer, 512), rounded down to a multiple of 4.
std::uint64_t LowerBlockSize(std::uint64_t current, const char* answered);

// The block size of a queued transfer: 0 gives 65536, others are held to 512..2^28.
std::uint64_t QueuedBlockSize(std::uint64_t requested);

// The whole text as an unsigned decimal number; false for anything else.
bool ReadUnsigned(const char* text, std::uint64_t& value);

}  // namespace Zelkor
