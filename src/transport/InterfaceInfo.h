#pragma once
// One address of one host adapter, all in text: what the driver keeps from an interface
// enumeration, lists to the application and what the raw frame receiver consults.
//
// Ownership: a plain value, copied and destroyed freely. Threads: no internal locking.

#include <string>

namespace Zelkor {

struct InterfaceInfo {
    bool dhcp = false;
    // Kept for the record's layout; nothing in the library sets or reads them.
    bool spareFlag = false;
    bool up = false;
    std::string spareText1;
    std::string spareText2;

    // IPv4 records with a mask: the adapter's gateway inside the subnet; else empty.
    std::string gatewayText;
    // Exactly one of the two address texts is set.
    std::string ipv4Text;
    std::string ipv6Text;
    std::string macText;
    // The adapter's name, cut before any ":avahi"; an address label keeps its own
    // ("eth0:1").
    std::string adapterName;
    // IPv4 records with a recorded mask: the mask; else empty.
    std::string subnetMaskText;
};

}  // namespace Zelkor
