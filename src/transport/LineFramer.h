#pragma once
// Cuts a byte stream into lines ended by "\n". Bytes after the last line end are kept for
// the next Append. A line longer than the bound (without its "\n") is an overflow,
// whether it is still growing or already complete: the stream can't be trusted past it.
//
// Ownership: owns its buffer. Threads: one thread at a time.

#include <cstddef>
#include <string>

namespace Zelkor {

class LineFramer {
public:
    // What a line may hold beyond a file block: headers, parameters and every other
    // protocol line. A connection's limit is the transfer block size plus this.
    static constexpr std::size_t LineAllowance = std::size_t{16} << 20;
    // The file transfer's default block size (Base64 characters) plus the allowance.
    static constexpr std::size_t DefaultMaxLineLength = 65536 + LineAllowance;

    explicit LineFramer(std::size_t maxLineLength = DefaultMaxLineLength) : _maxLineLength(maxLineLength) {}

    void Append(const char* data, std::size_t size) { _data.append(data, size); }

    // Moves the next complete line, "\n" included, into `line`, whose buffer the framer
    // may take in exchange. False when no complete line is waiting or the stream
    // overflowed.
    bool Next(std::string& line);

    // True once a line exceeded the bound; the framer then yields nothing more.
    bool Overflowed() const { return _overflowed; }

    // Bytes of the unfinished line.
    std::size_t PendingSize() const { return _data.size() - _start; }
    // Memory the framer holds for its bytes.
    std::size_t Capacity() const { return _data.capacity(); }

    std::size_t MaxLineLength() const { return _maxLineLength; }
    void SetMaxLineLength(std::size_t length) { _maxLineLength = length; }

    // Forgets every byte and gives the buffer back.
    void Clear();

    // Drops blanks and bytes outside the printable ASCII range (control bytes, CR, bytes of
    // 0x80 and above) from the front of a line; a peer's stray bytes between lines go
    // with them. The rest of the line, its "\n" included, is left as it was.
    static void StripFront(std::string& line);
    // True when a received copy of the line would hold nothing once its front is
    // stripped: only blanks, control bytes and the line end.
    static bool IsBlank(const std::string& line);

    // A buffer this large is given back once the line that grew it is gone.
    static constexpr std::size_t KeepCapacity = std::size_t{1} << 20;

private:

    void compact();

    std::size_t _maxLineLength;
    std::string _data;
    // Start of the unfinished line, and how far it has been searched for "\n": each byte
    // is scanned once however many reads a line takes.
    std::size_t _start = 0;
    std::size_t _scanned = 0;
    bool _overflowed = false;
};

}  // namespace Zelkor
