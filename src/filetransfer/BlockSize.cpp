#include "filetransfer/BlockSize.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace Zelkor {

namespace {

// Whole groups of four characters only: a block of Base64 text never ends mid-group.
std::uint64_t WholeGroups(std::uint64_t size) { return size / 4 * 4; }

std::uint64_t AtLeastMinimum(std::uint64_t size) { return std::max(size, MinBlockSize); }

}  // namespace

std::uint64_t ChunkSizeOf(std::uint64_t blockSize) { return blockSize / 4 * 3; }

bool ReadUnsigned(const char* text, std::uint64_t& value) {
    if (!text || *text < '0' || *text > '9') {
        return false;
    }
    const char* end = text + std::strlen(text);
    std::uint64_t read = 0;
    const auto result = std::from_chars(text, end, read);
    if (result.ec != std::errc() || result.ptr != end) {
        return false;
    }
    value = read;
    return true;
}

BlockSizes AnswerBlockSize(const char* requested, std::uint64_t own) {
    std::uint64_t size = own;
    std::uint64_t asked = 0;
    if (ReadUnsigned(requested, asked)) {
        size = std::min(size, asked);
    }
    // The cap holds even against an own size set around the setter.
    size = WholeGroups(std::min(AtLeastMinimum(size), MaxBlockSize));
    return BlockSizes{size, ChunkSizeOf(size)};
}

std::uint64_t LowerBlockSize(std::uint64_t current, const char* answered) {
    std::uint64_t answer = 0;
    if (!ReadUnsigned(answered, answer)) {
        // A negative or unreadable answer is no answer: the size this side chose stays.
        return current;
    }
    return WholeGroups(std::min(current, AtLeastMinimum(answer)));
}

std::uint64_t QueuedBlockSize(std::uint64_t requested) {
    if (requested == 0) {
        return DefaultBlockSize;
    }
    return std::min(AtLeastMinimum(requested), MaxBlockSize);
}

}  // namespace Zelkor
