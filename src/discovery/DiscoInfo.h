#pragma once
// The values of one device's discovery reply, as plain data: what the application reads
// of a discovered device (IDevice::GetDiscoInfo) and what its discovery record keeps.
//
// A value: copies own their texts. No locking; the owner guards it.

#include <cstdint>
#include <string>

namespace Zelkor {

struct DiscoInfo {
    std::uint16_t port = 0;
    bool dhcp = true;
    bool locating = false;
    // "inclusions" holds "redundant" as one of its "|"-separated parts.
    bool redundant = false;
    std::string name;
    std::string guid;
    std::string mac;
    std::string ip;
    std::string subnetmask;
    std::string gateway;
    std::string devicestate;
    std::string inclusions;
    std::string exclusions;
    std::string label;
    std::string location;
    std::string container;
    std::string model;
    std::string family;
    std::string fingerprint;
    std::string classname;
    std::string manufacturer;
    std::string version;
    std::string serialnumber;
    std::string descriptorversion;
    std::string protocolversion;
    std::string mode;
    std::uint16_t replyport = 0;
    std::int64_t devicelisttime = 0;
    // The last update changed a compared value.
    bool dirty = false;
    // The device speaks a protocol older than 1.8.
    bool oldProtocol = false;
};

}  // namespace Zelkor
