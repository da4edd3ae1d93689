#include "discovery/NewDiscoInfo.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include <boost/algorithm/string/split.hpp>

#include "core/JsonText.h"
#include "core/LowerCase.h"
#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/Param.h"
#include "discovery/GuidText.h"
#include "discovery/ScalarText.h"
#include "driver/Packet.h"

namespace Zelkor {

namespace {

// The leading decimal number of the text (blanks before it skipped), saturated far above
// any value a caller accepts; false when the text has no digits there.
bool leadingNumber(const std::string& text, unsigned long& out) {
    std::size_t at = text.find_first_not_of(" \t\n\v\f\r");
    if (at != std::string::npos && text[at] == '+') {
        ++at;
    }
    if (at == std::string::npos || at >= text.size() || text[at] < '0' || text[at] > '9') {
        return false;
    }
    unsigned long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value > 100000000UL ? value : value * 10 + static_cast<unsigned long>(text[at] - '0');
    }
    out = value;
    return true;
}

bool hasPart(const std::string& text, char separator, const char* part) {
    std::vector<std::string> parts;
    boost::algorithm::split(parts, text, [separator](char c) { return c == separator; });
    for (const auto& each : parts) {
        if (each == part) {
            return true;
        }
    }
    return false;
}

}  // namespace

ProtocolVersion ProtocolVersion::Of(const std::string& text) {
    // Numbers saturate far above 8: only "0", "1" and "below 8" matter, so a number of any
    // length is read in one pass without overflow.
    constexpr unsigned long cap = 1000000;
    unsigned long numbers[4] = {0, 0, 0, 0};
    std::size_t index = 0;
    bool digits = false;
    for (char c : text) {
        if (c == '.') {
            if (!digits || index == 3) {
                return {};
            }
            ++index;
            digits = false;
        } else if (c >= '0' && c <= '9') {
            unsigned long& n = numbers[index];
            n = std::min(cap, n * 10 + static_cast<unsigned long>(c - '0'));
            digits = true;
        } else {
            return {};
        }
    }
    if (!digits || index != 3) {
        return {};
    }
    ProtocolVersion result;
    result.valid = true;
    result.old = numbers[0] == 0 || (numbers[0] == 1 && numbers[1] < 8);
    return result;
}

NewDiscoInfo::NewDiscoInfo(const boost::uuids::uuid& guid) : ZelkorLoggable("DNFO"), _guid(guid) {}

NewDiscoInfo::NewDiscoInfo(const IpAddress& address, unsigned short port)
    : ZelkorLoggable("DNFO"), _address(address) {
    _info.ip = address.to_string();
    _info.port = port;
}

void NewDiscoInfo::setIP(const IpAddress& address) { _info.ip = address.to_string(); }

bool NewDiscoInfo::ipFromString(const std::string& text, IpAddress& out) {
    boost::system::error_code error;
    const IpAddress parsed = boost::asio::ip::make_address(text, error);
    out = error ? IpAddress(boost::asio::ip::address_v4::any()) : parsed;
    return !error && !out.is_unspecified();
}

void NewDiscoInfo::buildInfoStrings() {
    _info.guid = CanonicalGuid(_guid);
    _info.ip = _address.to_string();
    _info.subnetmask = _subnetMask.to_string();
    _info.gateway = _gateway.to_string();
    const DiscoInfo& i = _info;
    // The fragment's fixed member order is the ascending order of its keys, which the
    // writer keeps; the writer also escapes every peer text.
    Json::Value members(Json::objectValue);
    members["classname"] = i.classname;
    members["container"] = i.container;
    members["descriptorversion"] = i.descriptorversion;
    members["devicestate"] = i.devicestate;
    members["dhcp"] = i.dhcp ? "DHCP" : "Static";
    members["exclusions"] = i.exclusions;
    members["family"] = i.family;
    members["fingerprint"] = i.fingerprint;
    members["gateway"] = i.gateway;
    members["guid"] = i.guid;
    members["inclusions"] = i.inclusions;
    members["ip"] = i.ip;
    members["label"] = i.label;
    members["locating"] = i.locating;
    members["location"] = i.location;
    members["mac"] = i.mac;
    members["manufacturer"] = i.manufacturer;
    members["mode"] = i.mode;
    members["model"] = i.model;
    members["name"] = i.name;
    members["port"] = Json::UInt(i.port);
    members["protocolversion"] = i.protocolversion;
    members["serialnumber"] = i.serialnumber;
    members["subnetmask"] = i.subnetmask;
    members["version"] = i.version;
    const std::string object = WriteCompactJson(members);
    _infoString = object.substr(1, object.size() - 2);
}

bool NewDiscoInfo::updateFrom(const Packet& packet) {
    return packet.header ? updateFrom(packet.header->JsonBody()) : false;
}

bool NewDiscoInfo::updateFrom(const Json::Value& body) { return update(body, nullptr); }

bool NewDiscoInfo::updateFrom(const Json::Value& body, const Endpoint& at) { return update(body, &at); }

bool NewDiscoInfo::update(const Json::Value& body, const Endpoint* at) {
    if (!body.isObject()) {
        return false;
    }
    NewDiscoInfo next(*this);
    for (auto member = body.begin(); member != body.end(); ++member) {
        std::string text;
        // Members without a text form are skipped; a refused value refuses the reply.
        if (ScalarText(*member, text) && !next.applyReplyMember(member.name(), text)) {
            return false;
        }
    }
    if (at) {
        next._address = at->first;
        next._info.port = at->second;
    }
    next.buildInfoStrings();
    next.updateDirtyFlag(_info);
    *this = std::move(next);
    return true;
}

bool NewDiscoInfo::applyReplyMember(const std::string& key, const std::string& text) {
    const auto& names = ParamFromString();
    const auto found = names.find(key);
    if (found == names.end()) {
        return true;
    }
    DiscoInfo& i = _info;
    switch (found->second) {
        case Param::classname: i.classname = text; break;
        case Param::container: i.container = text; break;
        case Param::descriptorversion: i.descriptorversion = text; break;
        case Param::devicestate: i.devicestate = text; break;
        case Param::exclusions: i.exclusions = text; break;
        case Param::family: i.family = text; break;
        case Param::fingerprint: i.fingerprint = text; break;
        case Param::label: i.label = text; break;
        case Param::location: i.location = text; break;
        case Param::mac: i.mac = text; break;
        case Param::manufacturer: i.manufacturer = text; break;
        case Param::mode: i.mode = text; break;
        case Param::model: i.model = text; break;
        case Param::serialnumber: i.serialnumber = text; break;
        case Param::version: i.version = text; break;
        case Param::inclusions:
            i.inclusions = text;
            i.redundant = hasPart(text, '|', "redundant");
            break;
        case Param::name:
            if (text.find('&') != std::string::npos) {
                PeerWarning("ZK5906W Invalid device name", text);
                return false;
            }
            i.name = text;
            break;
        case Param::protocolversion: {
            const ProtocolVersion version = ProtocolVersion::Of(text);
            if (!version.valid) {
                PeerWarning("ZK5907W Invalid protocol version", text);
                return false;
            }
            i.protocolversion = text;
            i.oldProtocol = version.old;
            break;
        }
        case Param::devicelisttime: {
            if (text.empty()) {
                break;
            }
            errno = 0;
            char* end = nullptr;
            const long long value = std::strtoll(text.c_str(), &end, 10);
            if (end == text.c_str()) {
                PeerDetail("ZK5903W Invalid argument for device list time", text);
                return false;
            }
            if (errno == ERANGE) {
                PeerDetail("ZK5904W Device list time out of range for time_t");
                return false;
            }
            i.devicelisttime = value;
            break;
        }
        case Param::dhcp: {
            const std::string word = LowerCase(text);
            if (word == "0" || word == "dhcp" || word == "true") {
                i.dhcp = true;
            } else if (word == "static" || word == "1" || word == "false") {
                i.dhcp = false;
            }
            break;
        }
        case Param::locating: i.locating = LowerCase(text) == "true"; break;
        case Param::port:
        case Param::replyport: {
            unsigned long number = 0;
            if (!leadingNumber(text, number) || number < 1 || number > 65535) {
                return false;
            }
            (found->second == Param::port ? i.port : i.replyport) = static_cast<std::uint16_t>(number);
            break;
        }
        case Param::ip: {
            boost::system::error_code error;
            const IpAddress parsed = boost::asio::ip::make_address(text, error);
            if (error) {
                PeerDetail("ZK5900I Invalid IP in disco reply", text);
                return false;
            }
            _address = parsed;
            break;
        }
        case Param::subnetmask:
        case Param::gateway: {
            if (text.empty()) {
                break;
            }
            boost::system::error_code error;
            const IpAddress parsed = boost::asio::ip::make_address(text, error);
            if (error) {
                Detail(found->second == Param::subnetmask ? "ZK5901I Invalid subnetmask in disco reply"
                                                          : "ZK5902I Invalid gateway in disco reply",
                       text);
                return false;
            }
            (found->second == Param::subnetmask ? _subnetMask : _gateway) = parsed;
            break;
        }
        case Param::guid:
            if (!ParseGuid(text, _guid)) {
                PeerWarning("ZK5905W Invalid GUID in disco reply", text);
                return false;
            }
            break;
        default:
            PeerWarning("ZK5908W Unknown disco parameter", key);
            break;
    }
    return true;
}

bool NewDiscoInfo::updateFrom(const std::vector<MessageParameter>& parameters, const Endpoint* at) {
    NewDiscoInfo next(*this);
    DiscoInfo& i = next._info;
    for (const auto& parameter : parameters) {
        const char* value = parameter.ParameterValue(0);
        const Param p = parameter.ParameterName();
        if (!value || p == Param::unknown) {
            continue;
        }
        const std::string text = value;
        switch (p) {
            case Param::classname: i.classname = text; break;
            case Param::container: i.container = text; break;
            case Param::descriptorversion: i.descriptorversion = text; break;
            case Param::devicestate: i.devicestate = text; break;
            case Param::family: i.family = text; break;
            case Param::fingerprint: i.fingerprint = text; break;
            case Param::label: i.label = text; break;
            case Param::location: i.location = text; break;
            case Param::mac: i.mac = text; break;
            case Param::manufacturer: i.manufacturer = text; break;
            case Param::mode: i.mode = text; break;
            case Param::model: i.model = text; break;
            case Param::protocolversion: i.protocolversion = text; break;
            case Param::serialnumber: i.serialnumber = text; break;
            case Param::version: i.version = text; break;
            case Param::ip: ipFromString(text, next._address); break;
            case Param::subnetmask: ipFromString(text, next._subnetMask); break;
            case Param::gateway: ipFromString(text, next._gateway); break;
            case Param::devicelisttime: i.devicelisttime = Message::stoi(text); break;
            case Param::dhcp: {
                const std::string word = LowerCase(text);
                if (word == "dhcp") {
                    i.dhcp = true;
                } else if (word.size() == 1) {
                    i.dhcp = word == "0";
                } else {
                    i.dhcp = word == "true";
                }
                break;
            }
            case Param::locating: i.locating = text == "true"; break;
            case Param::port:
            case Param::replyport:
                (p == Param::port ? i.port : i.replyport) = static_cast<std::uint16_t>(Message::stoi(text));
                break;
            case Param::name:
                i.name = text;
                if (text.empty()) {
                    return false;
                }
                break;
            default:
                break;
        }
    }
    if (at) {
        next._address = at->first;
        i.port = at->second;
    }
    if (i.name.empty() || next._address.is_unspecified()) {
        return false;
    }
    next.buildInfoStrings();
    next.updateDirtyFlag(_info);
    *this = std::move(next);
    return true;
}

void NewDiscoInfo::updateDirtyFlag(const DiscoInfo& old) {
    const DiscoInfo& n = _info;
    _info.dirty = old.classname != n.classname || old.container != n.container ||
                  old.descriptorversion != n.descriptorversion || old.devicestate != n.devicestate ||
                  old.exclusions != n.exclusions || old.family != n.family || old.fingerprint != n.fingerprint ||
                  old.inclusions != n.inclusions || old.label != n.label || old.locating != n.locating ||
                  old.location != n.location || old.manufacturer != n.manufacturer || old.mode != n.mode ||
                  old.model != n.model || old.name != n.name || old.protocolversion != n.protocolversion ||
                  old.replyport != n.replyport || old.serialnumber != n.serialnumber || old.version != n.version ||
                  old.mac != n.mac || old.dhcp != n.dhcp || old.gateway != n.gateway || old.ip != n.ip ||
                  old.port != n.port || old.subnetmask != n.subnetmask;
}

}  // namespace Zelkor
