// The library's entry points and the process-wide statics behind them: the one driver
// and the event-loop context the library made for it.

#include <memory>

#include "driver/IZelkorDriver.h"
#include "driver/ZelkorDriver.h"

namespace Zelkor {

std::shared_ptr<ZelkorDriver> _the_driver;
std::shared_ptr<boost::asio::io_context> _the_context;

IZelkorDriver* CreateDriver() {
    if (_the_driver) {
        return _the_driver.get();
    }
    if (!_the_context) {
        _the_context = std::make_shared<boost::asio::io_context>();
    }
    _the_driver = std::make_shared<ZelkorDriver>(*_the_context);
    return _the_driver.get();
}

IZelkorDriver* CreateDriver(boost::asio::io_context& context) {
    if (!_the_driver) {
        _the_driver = std::make_shared<ZelkorDriver>(context);
    }
    return _the_driver.get();
}

void DestroyDriver() {
    if (_the_driver) {
        _the_driver->Stop();
    }
}

void DeleteDriver() {
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
