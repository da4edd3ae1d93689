#include "core/ThreadRAII.h"

#include <utility>

namespace Zelkor {

ThreadRAII::ThreadRAII(std::thread&& thread) : _thread(std::move(thread)) {}

ThreadRAII::~ThreadRAII() {
    if (_thread.joinable()) {
        _thread.join();
    }
}

}  // namespace Zelkor
