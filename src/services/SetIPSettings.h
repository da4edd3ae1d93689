#pragma once
// The network settings of one "setip" request or reply: what a controller asks a device
// to apply and what the device answers.
//
// Ownership: a plain value, copied whole. Threads: no internal locking.

#include <string>

namespace Zelkor {

struct SETIP_SETTINGS {
    std::string ip;
    std::string subnetmask;
    std::string gateway;
    // Six two-digit lower-case hexadecimal numbers joined by ":", or empty.
    std::string mac;
    // The error text of a reply.
    std::string error;
    bool dhcp = false;
    // True when the settings were applied.
    bool result = false;
};

}  // namespace Zelkor
