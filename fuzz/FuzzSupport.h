#pragma once
// What several fuzz targets share: libFuzzer's search schedule, a working folder of
// their own for what they build once, and an input read as one step per line.
//
// Threads: libFuzzer calls a target on one thread.

#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "core/MessageForwardInfo.h"
#include "transport/LineFramer.h"

namespace ZelkorFuzz {

// An input of the targets that drive a whole service runs much of the library, and
// libFuzzer's default (entropic) schedule keeps every feature seen rarely in a list it
// searches for each feature of each run: that search took most of their time. Off unless
// the command line asks for it.
inline void TurnEntropicOff(int* argc, char*** argv) {
    static std::vector<char*> arguments;
    static char entropicOff[] = "-entropic=0";
    const bool chosen = std::any_of(*argv, *argv + *argc,
                                    [](const char* argument) { return std::strncmp(argument, "-entropic=", 10) == 0; });
    if (!chosen) {
        arguments.assign(*argv, *argv + *argc);
        arguments.push_back(entropicOff);
        arguments.push_back(nullptr);
        *argv = arguments.data();
        ++*argc;
    }
}

// Runs `build` in a fresh temporary folder, removed at exit, then returns to the working
// folder before: a storage model keeps its event log in the working folder of its
// construction, and the fuzzer's own paths are relative. The removal is registered
// before `build` makes its objects, so it runs after they are gone (they write the log
// as they go).
inline void BuildInWorkFolder(const std::function<void()>& build) {
    static std::filesystem::path folder;
    const auto start = std::filesystem::current_path();
    std::string pattern = (std::filesystem::temp_directory_path() / "zelkor-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    folder = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    std::filesystem::current_path(folder);
    build();
    std::filesystem::current_path(start);
}

// Calls `step` with each line of the input that is not empty, in order.
template <class Step>
void ForEachLine(const std::string& input, Step step) {
    std::size_t start = 0;
    while (start < input.size()) {
        const std::size_t end = std::min(input.find('\n', start), input.size());
        if (end > start) {
            step(input.substr(start, end - start));
        }
        start = end + 1;
    }
}

// A line the framer has cut, handed on as a connection does: its front cleaned, the
// header takes it whole, its body read where it lies. False for a line the connection
// would not hand on.
inline bool TakeFramedLine(std::string& line, Zelkor::MessageForwardInfo& header) {
    Zelkor::LineFramer::StripFront(line);
    return !line.empty() && header.TakeReceived(line);
}

// A line as a connection hands it on, by the connection's own road: a framer cuts it
// from the stream (trading buffers with `line`), then as TakeFramedLine. False for a line
// the connection would not hand on; `line` is then or afterwards left empty.
inline bool ReceivedLine(std::string& line, Zelkor::MessageForwardInfo& header) {
    static Zelkor::LineFramer framer;
    line += '\n';
    framer.Append(line.data(), line.size());
    if (!framer.Next(line)) {
        // Longer than a connection takes: the connection would close.
        framer.Clear();
        return false;
    }
    return TakeFramedLine(line, header);
}

}  // namespace ZelkorFuzz
