// Arbitrary bytes as a TCP byte stream, cut into arbitrary reads: each read goes through
// the line framer, each complete line through the front cleaning and into the header that
// takes it (buffers traded, the body read where it lies), as the connection's receive path
// does. A line past the (small) bound ends the
// connection; the stream then starts over as a new one.
//
// Input: the first byte picks how the rest is cut into reads; each read's length comes
// from the stream itself, so the fuzzer controls every split.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "core/MessageForwardInfo.h"
#include "core/ZelkorLog.h"
#include "transport/LineFramer.h"

namespace {

// Small enough that memory stays bounded and overflow is reached often.
constexpr std::size_t MaxLine = 4096;

// `line` lives as long as the connection, as the connection's own does: the framer and
// the headers trade their buffers with it.
void deliver(Zelkor::LineFramer& framer, std::string& line) {
    while (framer.Next(line)) {
        Zelkor::MessageForwardInfo header;
        if (ZelkorFuzz::TakeFramedLine(line, header)) {
            header.GetCommand();
            header.JsonText();
            header.JsonBody();
        }
    }
    if (framer.Overflowed()) {
        framer.Clear();
    }
    // Whatever the peer sends, the framer holds at most one line and one read.
    if (framer.PendingSize() > MaxLine + 256) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Rejected lines are logged; keep the formatting but not the console.
    ZelkorLog::TheLog().RegisterExternalLogger([](std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // 0: the whole stream in one read; otherwise reads of 1 to 255 bytes, the next length
    // taken from the byte at the current position (or the fixed step when odd).
    const std::uint8_t mode = data[0];
    const char* stream = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;

    Zelkor::LineFramer framer(MaxLine);
    std::string line;
    std::size_t at = 0;
    while (at < length) {
        std::size_t chunk = length - at;
        if (mode != 0) {
            const std::size_t step = (mode & 1) ? mode : static_cast<std::uint8_t>(stream[at]);
            chunk = std::min(chunk, std::max<std::size_t>(1, step % 256));
        }
        // Reads are never larger than the connection's receive buffer.
        chunk = std::min<std::size_t>(chunk, 256);
        framer.Append(stream + at, chunk);
        at += chunk;
        deliver(framer, line);
    }
    return 0;
}
