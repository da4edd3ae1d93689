#pragma once
// The discovery record of one device: its GUID, the parsed addresses of its reply, the
// interface it was seen on, its JSON fragment for device lists and the reply's values
// (DiscoInfo). Filled from discovery replies and from the entries of a router's list.
//
// An update works on a copy and replaces the record only when the whole reply was
// accepted: a refused reply leaves nothing of itself behind. Peer texts reach the JSON
// fragment through the JSON writer, escaped.
//
// A value: copies are independent. No locking; the device object guards its record.
// Nothing here throws on peer input.

#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/uuid/uuid.hpp>
#include <json/value.h>

#include "core/MessageParameter.h"
#include "core/ZelkorLoggable.h"
#include "discovery/DiscoInfo.h"

namespace Zelkor {

struct Packet;

class NewDiscoInfo : public ZelkorLoggable {
public:
    using IpAddress = boost::asio::ip::address;
    using Endpoint = std::pair<IpAddress, unsigned short>;

    explicit NewDiscoInfo(const boost::uuids::uuid& guid = boost::uuids::uuid{});
    // A record for an endpoint: the record's "ip" text and "port" are set from it.
    NewDiscoInfo(const IpAddress& address, unsigned short port);

    DiscoInfo& getDiscoInfo() { return _info; }
    const DiscoInfo& getDiscoInfo() const { return _info; }
    const boost::uuids::uuid& Guid() const { return _guid; }
    const IpAddress& Address() const { return _address; }
    const IpAddress& SubnetMask() const { return _subnetMask; }
    const IpAddress& Gateway() const { return _gateway; }
    const std::string& InterfaceName() const { return _interface; }
    void SetInterfaceName(const std::string& name) { _interface = name; }
    // The members of one JSON object without its braces (written by buildInfoStrings).
    const std::string& InfoString() const { return _infoString; }

    // The record's "ip" text; the parsed address is not changed.
    void setIP(const IpAddress& address);
    // True when the text is an IPv4 or IPv6 address other than the unspecified one; `out`
    // is the parsed address, or the unspecified IPv4 address when the text is none.
    static bool ipFromString(const std::string& text, IpAddress& out);

    void buildInfoStrings();
    // From a discovery reply's body, members in ascending key order. False when a value
    // is refused; the record is then as it was. The body's "ip" and "port" say where the
    // device is.
    bool updateFrom(const Packet& packet);
    bool updateFrom(const Json::Value& body);
    // The same for a reply heard from a peer: the endpoint is `at`, where the caller found
    // the device to be, whatever the body says ("ip" and "port" are still checked).
    bool updateFrom(const Json::Value& body, const Endpoint& at);
    // From the parameters of one entry of a router's device list. True when the entry
    // names the device and gives a valid address; otherwise the record is as it was. With
    // `at`, the record's endpoint is `at` whatever the entry says.
    bool updateFrom(const std::vector<MessageParameter>& parameters, const Endpoint* at = nullptr);
    // dirty = a compared value differs from `old`.
    void updateDirtyFlag(const DiscoInfo& old);

private:
    bool update(const Json::Value& body, const Endpoint* at);
    bool applyReplyMember(const std::string& key, const std::string& text);

    boost::uuids::uuid _guid{};
    IpAddress _address{boost::asio::ip::address_v4::any()};
    IpAddress _subnetMask{boost::asio::ip::address_v4::any()};
    IpAddress _gateway{boost::asio::ip::address_v4::any()};
    std::string _interface;
    std::string _infoString;
    DiscoInfo _info;
};

// Whether a "protocolversion" text is four dot-separated decimal numbers and, if so,
// whether it is older than 1.8. Linear in the text, whatever its length; numbers of any
// size compare without overflow.
struct ProtocolVersion {
    bool valid = false;
    bool old = false;
    static ProtocolVersion Of(const std::string& text);
};

}  // namespace Zelkor
