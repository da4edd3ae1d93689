#pragma once
// What a test's callbacks heard, one line each, from whichever thread calls them (the
// loop's, mostly), read by the test's own thread.

#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/RunUntil.h"

namespace ZelkorTest {

class HeardLines {
public:
    using Lines = std::vector<std::string>;

    void Add(const std::string& line) {
        std::lock_guard<std::mutex> lock(_mutex);
        _lines.push_back(line);
    }
    // True once at least `count` lines are in, false at the deadline.
    bool WaitFor(std::size_t count) {
        return WaitUntil([&] {
            std::lock_guard<std::mutex> lock(_mutex);
            return _lines.size() >= count;
        });
    }
    Lines Snapshot() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _lines;
    }
    // The lines heard so far, which are then forgotten.
    Lines Take() {
        std::lock_guard<std::mutex> lock(_mutex);
        return std::exchange(_lines, Lines());
    }
    void Clear() { Take(); }

private:
    std::mutex _mutex;
    Lines _lines;
};

}  // namespace ZelkorTest
