#include "transport/ZelkorHost.h"

#include <boost/asio/ip/host_name.hpp>

namespace Zelkor {

std::string ZelkorHost::Name() { return boost::asio::ip::host_name(); }

void ZelkorHost::EnumerateInterface(std::function<bool(NetworkInterface&)> visitor) {
    Zelkor::EnumerateInterface(std::move(visitor));
}

}  // namespace Zelkor
