#pragma once
// Collects the lines written through the process-wide logger while a LogCapture lives.
// The first capture registers the logger's application callback, which ends console and
// file output for the rest of the test process.

#include <cstddef>
#include <string>
#include <vector>

namespace ZelkorTest {

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Lines() const;
    // Number of captured lines containing `fragment`.
    std::size_t Count(const std::string& fragment) const;
    bool Contains(const std::string& fragment) const { return Count(fragment) > 0; }
};

}  // namespace ZelkorTest
