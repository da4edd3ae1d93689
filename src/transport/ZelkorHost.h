#pragma once
// The host this library runs on: its name and its network adapters.
//
// Ownership: no state. Threads: any thread; the answers are those of the calling
// thread's network namespace.

#include <functional>
#include <string>

#include "transport/NetworkInterface.h"

namespace Zelkor {

class ZelkorHost {
public:
    // The host name; a system error raises boost::system::system_error.
    static std::string Name();
    // See the free EnumerateInterface.
    static void EnumerateInterface(std::function<bool(NetworkInterface&)> visitor);
};

}  // namespace Zelkor
