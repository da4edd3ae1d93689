#pragma once
// A peer's line as a log line carries it: its first kLoggedLineLimit bytes, then how long
// it was. A peer decides how long its lines are (up to the framer's allowance, many MB),
// and a refused line must not cost the log that much.
//
// Threads: a pure function; any thread.

#include <cstddef>
#include <string>
#include <string_view>

namespace Zelkor {

// The most bytes of a peer's line a log line quotes.
constexpr std::size_t kLoggedLineLimit = 256;

// `line` whole when it is at most kLoggedLineLimit bytes; otherwise its first
// kLoggedLineLimit bytes followed by "... (N bytes)".
std::string LoggedLine(std::string_view line);

}  // namespace Zelkor
