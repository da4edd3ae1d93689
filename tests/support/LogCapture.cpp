#include "support/LogCapture.h"

#include <mutex>
#include <new>
#include <type_traits>

#include "core/ZelkorLog.h"

namespace ZelkorTest {

namespace {

struct Sink {
    std::mutex mutex;
    bool active = false;
    std::vector<std::string> lines;
};

// Never destroyed, like the logger that calls into it: a static that logs while the
// process exits must not reach a destroyed sink.
Sink& sink() {
    static std::aligned_storage_t<sizeof(Sink), alignof(Sink)> storage;
    static Sink* const instance = ::new (&storage) Sink();
    return *instance;
}

void registerOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        ZelkorLog::TheLog().RegisterExternalLogger([](std::string& line) {
            Sink& s = sink();
            std::lock_guard<std::mutex> lock(s.mutex);
            if (s.active) {
                s.lines.push_back(line);
            }
        });
    });
}

}  // namespace

LogCapture::LogCapture() {
    registerOnce();
    std::lock_guard<std::mutex> lock(sink().mutex);
    sink().active = true;
    sink().lines.clear();
}

LogCapture::~LogCapture() {
    std::lock_guard<std::mutex> lock(sink().mutex);
    sink().active = false;
    sink().lines.clear();
}

std::vector<std::string> LogCapture::Lines() const {
    std::lock_guard<std::mutex> lock(sink().mutex);
    return sink().lines;
}

std::size_t LogCapture::Count(const std::string& fragment) const {
    std::lock_guard<std::mutex> lock(sink().mutex);
    std::size_t count = 0;
    for (const auto& line : sink().lines) {
        if (line.find(fragment) != std::string::npos) {
            ++count;
        }
    }
    return count;
}

}  // namespace ZelkorTest
