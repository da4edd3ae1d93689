#include "transport/NetworkInfo.h"

#include <algorithm>
#include <climits>
#include <exception>

#include "core/CLocaleNumber.h"
#include "core/MacAddress.h"

namespace Zelkor {

namespace {

using boost::asio::ip::address_v4;

const char* OrEmpty(const char* text) { return text ? text : ""; }

bool ParseDottedV4(const std::string& text, address_v4& out) {
    boost::system::error_code error;
    out = boost::asio::ip::make_address_v4(text, error);
    return !error;
}

std::string Dotted(std::uint32_t value) {
    std::string text;
    ConvertInternetAddress::ulongToString(value, text);
    return text;
}

}  // namespace

void ConvertInternetAddress::ulongToString(std::uint32_t value, std::string& out) {
    out = address_v4(value).to_string();
}

NetworkInfo::NetworkInfo() : ZelkorLoggable("NETI") {}

NetworkInfo::NetworkInfo(const char* ip, std::uint16_t portNo, const char* mask,
                         const char* gatewayIp, bool isDhcp, const char* mac)
    : NetworkInfo(std::string(OrEmpty(ip)), portNo) {
    dhcp = isDhcp;
    SetSubnetMask(mask);
    SetGateway(gatewayIp);
    SetMACAddress(mac);
}

NetworkInfo::NetworkInfo(const IpAddress& ip, std::uint16_t portNo, const std::string& mask,
                         const std::string& gatewayIp, bool isDhcp, const std::string& mac)
    : NetworkInfo() {
    dhcp = isDhcp;
    SetIPAddress(ip);
    SetPortNo(portNo);
    SetSubnetMask(mask);
    SetGateway(gatewayIp);
    SetMACAddress(mac);
}

NetworkInfo::NetworkInfo(const std::string& ip, std::uint16_t portNo) : NetworkInfo() {
    SetIPAddress(ip);
    SetPortNo(portNo);
}

bool NetworkInfo::SetIPAddress(const char* text) { return SetIPAddress(std::string(OrEmpty(text))); }

bool NetworkInfo::SetIPAddress(const std::string& text) {
    boost::system::error_code error;
    const IpAddress parsed = boost::asio::ip::make_address(text, error);
    if (error) {
        Error("ZK6801E Bad IP", text);
        return false;
    }
    try {
        ipText = text;
        ipAddress = parsed;
    } catch (const std::exception& e) {
        Error("ZK6802E Unable to set IP address", text + ";" + e.what());
        return false;
    }
    return true;
}

bool NetworkInfo::SetIPAddress(const IpAddress& address) {
    try {
        ipText = address.to_string();
        ipAddress = address;
    } catch (const std::exception& e) {
        // The address has no text form to show: forming it is what failed.
        Error("ZK6800E Unable to set IP address", std::string(";") + e.what());
        return false;
    }
    return true;
}

void NetworkInfo::SetPortNo(std::uint16_t portNo) {
    port = portNo;
    portText = std::to_string(portNo);
}

int NetworkInfo::SetPortNo(const char* text) { return SetPortNo(std::string(OrEmpty(text))); }

int NetworkInfo::SetPortNo(const std::string& text) {
    portText = text;
    // A negative number names no port: it reads as 0.
    const int number = static_cast<int>(std::clamp<long long>(StrtollC(text.c_str(), nullptr, 10), 0, INT_MAX));
    port = static_cast<std::uint16_t>(number);
    return number;
}

bool NetworkInfo::SetSubnetMask(const char* text) { return SetSubnetMask(std::string(OrEmpty(text))); }

bool NetworkInfo::SetSubnetMask(const std::string& text) {
    address_v4 mask;
    if (!ParseDottedV4(text, mask)) {
        Error("ZK6803E Subnet-mask is not valid", text);
        return false;
    }
    subnetMask = mask.to_uint();
    subnetMaskText = text;
    subnetAddress = mask;
    return true;
}

bool NetworkInfo::SetSubnetMask(std::uint32_t mask) {
    subnetMaskText = Dotted(mask);
    subnetMask = mask;
    subnetAddress = address_v4(mask);
    return true;
}

bool NetworkInfo::SetGateway(const char* text) { return SetGateway(std::string(OrEmpty(text))); }

bool NetworkInfo::SetGateway(const std::string& text) {
    Debug("ZK6100I SetGateway s", text);
    // A text that is no address means no gateway: a record refilled from a peer must not
    // keep the gateway an earlier peer had.
    address_v4 parsed;
    const bool valid = ParseDottedV4(text, parsed);
    SetGateway(valid ? parsed.to_uint() : 0u);
    Debug("ZK6100I SetGateway _gateway_s", gatewayText);
    return valid;
}

bool NetworkInfo::SetGateway(std::uint32_t gatewayIp) {
    gatewayText = Dotted(gatewayIp);
    gateway = gatewayIp;
    return true;
}

bool NetworkInfo::SetMACAddress(const char* text) { return SetMACAddress(MacAddress(text)); }

bool NetworkInfo::SetMACAddress(const std::string& text) { return SetMACAddress(MacAddress(text)); }

bool NetworkInfo::SetMACAddress(const MacAddress& mac) {
    if (!mac.IsValid()) {
        return false;
    }
    macText = mac.Text();
    return true;
}

std::string NetworkInfo::MacAddressToString() const { return MacAddress(macText).Text(); }

std::uint32_t NetworkInfo::GetIPv4address() const {
    return ipAddress.is_v4() ? ipAddress.to_v4().to_uint() : 0;
}

void NetworkInfo::Reset() {
    *this = NetworkInfo();
}

std::string NetworkInfo::ToString() const {
    std::string text = "NetworkInfo:";
    text += "\n\tDhcpEnabled: ";
    text += dhcp ? "DHCP" : "Static";
    text += "\n\tMacAddress: " + MacAddressToString();
    text += "\n\tIP Address: " + ipText;
    text += "\n\tPort No: " + std::to_string(port);
    text += "\n\tSubnet mask: " + Dotted(subnetMask);
    text += "\n\tGateway: " + Dotted(gateway);
    text += "\n";
    return text;
}

}  // namespace Zelkor
