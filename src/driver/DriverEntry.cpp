// The library's entry points and the process-wide statics behind them: the one driver
// and the event-loop context the library made for it.

#include <memory>
#include <mutex>

#include "driver/IZelkorDriver.h"
#include "driver/ZelkorDriver.h"

namespace Zelkor {

std::shared_ptr<ZelkorDriver> _the_driver;
std::shared_ptr<boost::asio::io_context> _the_context;

namespace {
// The entry points may be called from any thread.
std::mutex& entryMutex() {
    static std::mutex mutex;
    return mutex;
}
}  // namespace

IZelkorDriver* CreateDriver() {
    std::lock_guard<std::mutex> lock(entryMutex());
    if (_the_driver) {
        return _the_driver.get();
    }
    if (!_the_context) {
        _the_context = std::make_shared<boost::asio::io_context>();
    }
    _the_driver = std::make_shared<ZelkorDriver>(_the_context);
    return _the_driver.get();
}

IZelkorDriver* CreateDriver(boost::asio::io_context& context) {
    std::lock_guard<std::mutex> lock(entryMutex());
    if (!_the_driver) {
        _the_driver = std::make_shared<ZelkorDriver>(context);
    }
    return _the_driver.get();
}

void DestroyDriver() {
    std::shared_ptr<ZelkorDriver> driver;
    {
        std::lock_guard<std::mutex> lock(entryMutex());
        driver = _the_driver;
    }
    if (driver) {
        driver->Stop();
    }
}

void DeleteDriver() {
    std::unique_lock<std::mutex> lock(entryMutex());
    if (_the_driver && _the_driver->IsRunning()) {
        // The library's context must not be freed under a Run that still turns it: the
        // driver is stopped and Run awaited, for a bounded time, off the loop thread only.
        const auto driver = _the_driver;
        lock.unlock();
        if (driver->OnLoopThread() || (driver->Stop(), !driver->WaitUntilRunEnds())) {
            driver->Error("ZK78F7E DeleteDriver while Run is still running: the driver is kept");
            return;
        }
        lock.lock();
    }
    _the_driver.reset();
    if (_the_context) {
        if (!_the_context->stopped()) {
            _the_context->stop();
        }
        _the_context.reset();
    }
}

void GetVersionInfo(VersionInfo& info) {
    info.version = "1.16.1.26";
    info.branch = "HEAD";
    info.commit = "";
    info.buildHost = "";
    info.buildDate = __DATE__;
    info.buildTime = __TIME__;
    info.major = 1;
    info.minor = 16;
    info.patch = 1;
    info.build = 26;
}

void ZelkorDriver::GetVersionInfo(VersionInfo& info) { Zelkor::GetVersionInfo(info); }

}  // namespace Zelkor
