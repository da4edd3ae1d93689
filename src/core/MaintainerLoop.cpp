#include "core/MaintainerLoop.h"

namespace Zelkor {

void MaintainerLoop::Wake() {
    std::lock_guard<std::mutex> lock(_mutex);
    _wake = true;
    _condition.notify_all();
}

void MaintainerLoop::Run(const std::function<void()>& pass) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_open) {
            return;
        }
        ++_runs;
    }
    // Counted out however the passes end, so that Close never waits for a Run that is gone.
    const auto leave = [this] {
        std::lock_guard<std::mutex> lock(_mutex);
        --_runs;
        _condition.notify_all();
    };
    try {
        passes(pass);
    } catch (...) {
        leave();
        throw;
    }
    leave();
}

void MaintainerLoop::passes(const std::function<void()>& pass) {
    for (bool open = true; open;) {
        {
            std::unique_lock<std::mutex> lock(_mutex);
            _condition.wait(lock, [this] { return _wake || !_open; });
            _wake = false;
            open = _open;
        }
        pass();
    }
}

void MaintainerLoop::Close() {
    std::unique_lock<std::mutex> lock(_mutex);
    _open = false;
    _condition.notify_all();
    _condition.wait(lock, [this] { return _runs == 0; });
}

}  // namespace Zelkor
