#include "device/SignalCookies.h"

#include <utility>

namespace Zelkor {

bool SignalCookies::IsConnected(Cookie slot) const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _cookies[static_cast<std::size_t>(slot)].connected();
}

void SignalCookies::Keep(Cookie slot, boost::signals2::connection connection) {
    boost::signals2::connection previous;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        previous = std::exchange(_cookies[static_cast<std::size_t>(slot)], std::move(connection));
    }
    previous.disconnect();
}

void SignalCookies::DisconnectAll() {
    decltype(_cookies) cut;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        cut.swap(_cookies);
    }
    for (auto& connection : cut) {
        connection.disconnect();
    }
}

}  // namespace Zelkor
