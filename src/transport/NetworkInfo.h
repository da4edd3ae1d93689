#pragma once
// The network identity of one node: IP address, port, subnet mask, gateway, MAC address
// and DHCP flag, each kept as a value and as text. The setters parse and validate text
// and keep both forms in step; a setter that refuses its input logs why and leaves its
// fields as they were.
//
// Ownership: a value (copied and moved with every field). Threads: no internal locking;
// one record is used by one thread at a time.

#include <cstdint>
#include <string>

#include <boost/asio/ip/address.hpp>

#include "core/ZelkorLoggable.h"

namespace Zelkor {

class MacAddress;

// Dotted text of IPv4 numbers held in host order.
class ConvertInternetAddress {
public:
    // 0xC0A80101 gives "192.168.1.1".
    static void ulongToString(std::uint32_t value, std::string& out);
};

class NetworkInfo : public ZelkorLoggable {
public:
    using IpAddress = boost::asio::ip::address;

    NetworkInfo();
    // Each part that does not parse stays empty; a null text counts as empty.
    NetworkInfo(const char* ip, std::uint16_t portNo, const char* mask, const char* gatewayIp,
                bool isDhcp, const char* mac);
    NetworkInfo(const IpAddress& ip, std::uint16_t portNo, const std::string& mask,
                const std::string& gatewayIp, bool isDhcp, const std::string& mac);
    NetworkInfo(const std::string& ip, std::uint16_t portNo);

    // IPv4 or IPv6 text (an IPv6 scope suffix is accepted); the text is kept as given.
    bool SetIPAddress(const char* text);
    bool SetIPAddress(const std::string& text);
    // The text becomes the address's standard form.
    bool SetIPAddress(const IpAddress& address);

    void SetPortNo(std::uint16_t portNo);
    // Keeps the text as given; the port is its leading decimal number (0 when there is
    // none) cut to 16 bits. Returns that number, capped at the largest int.
    int SetPortNo(const char* text);
    int SetPortNo(const std::string& text);

    // Only dotted IPv4 text is a mask.
    bool SetSubnetMask(const char* text);
    bool SetSubnetMask(const std::string& text);
    bool SetSubnetMask(std::uint32_t mask);

    // Only dotted IPv4 text is a gateway. Any other text, the empty one included, means no
    // gateway: 0.0.0.0 is stored and false tells that the text was no address.
    bool SetGateway(const char* text);
    bool SetGateway(const std::string& text);
    bool SetGateway(std::uint32_t gatewayIp);

    // Stores the normalised form of a valid MAC text; false, nothing changed, otherwise.
    bool SetMACAddress(const char* text);
    bool SetMACAddress(const std::string& text);

    std::string MACStr() const { return macText; }
    std::string MacAddressToString() const;
    IpAddress GetIPAddress() const { return ipAddress; }
    IpAddress GetSubnet() const { return subnetAddress; }
    // The IPv4 address as a host-order number; 0 for IPv6.
    std::uint32_t GetIPv4address() const;
    std::string GetIPAddressStr() const { return ipText; }

    // Back to the empty record.
    void Reset();
    // Multi-line description ending in "\n".
    std::string ToString() const;

    bool dhcp = false;
    std::uint16_t port = 0;
    std::uint32_t subnetMask = 0;  // host order: 255.255.255.0 is 0xFFFFFF00
    std::uint32_t gateway = 0;     // host order
    std::string macText;
    std::string ipText;
    std::string portText;
    std::string subnetMaskText;
    std::string gatewayText;
    IpAddress ipAddress;
    IpAddress subnetAddress;
    // The interface the record was made for; set by its owner, empty when none.
    std::string interfaceName;

private:
    bool SetMACAddress(const MacAddress& mac);
};

}  // namespace Zelkor
