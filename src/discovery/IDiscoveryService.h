#pragma once
// The discovery service as the application sees it: the node's role, the discovery
// settings, the device list, the discovery requests and the incoming-connection and
// verification-code callbacks. Further requests join as their services are built.
//
// Ownership: the driver's; the application never deletes it.
// Threads: settings and look-ups may come from any thread; what sends hops onto the
// event loop. Callbacks are kept under a lock and called from a copy.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "core/IServiceBase.h"
#include "discovery/DiscoveryRecords.h"
#include "discovery/ExcludedDevice.h"
#include "discovery/Goodbye.h"
#include "services/SetIPSettings.h"

namespace Zelkor {

class IDevice;
class IDeviceList;
class MessageForwardInfo;
class MessageSignalData;
class TcpSocket;

namespace VerificationCode {
// What the verification-code callback is asked: read the code in force into the text,
// or store the text as the new code (empty meaning none).
enum Operation : int {
    Read = 0,
    Store = 1,
};
}  // namespace VerificationCode

class IDiscoveryService : public IServiceBase {
public:
    // Asked about every connection a peer makes that the limit lets through: false
    // refuses it.
    using IncomingCallback = std::function<bool(std::string& address, std::uint16_t port)>;
    using VerificationCallback = std::function<bool(VerificationCode::Operation operation, std::string& code)>;

    // True for the words the driver hands straight to SignalRaised: "goodbye" and
    // "senddisco".
    virtual bool IsServiceCommand(const std::string& word) = 0;
    // A discovery-level message, to the handler of its word and transport.
    virtual void SignalRaised(MessageSignalData& data) = 0;
    virtual IDeviceList* GetDeviceList() = 0;
    // Bound of every connection's request queue; 0 means none.
    virtual void MaxQueueDepth(std::uint64_t depth) = 0;
    virtual std::uint64_t MaxQueueDepth() = 0;
    virtual std::uint64_t GetIncomingConnectionCount() = 0;
    virtual std::uint64_t GetMaxIncomingConnections() = 0;
    // Milliseconds; 0 when off.
    virtual std::uint64_t GetReplyTimeout() = 0;
    // At most `limit` connections made by peers (0, the default: no limit). At the limit a
    // newcomer the application admits takes the slot of a connection of the source holding
    // most (an IPv4 address or an IPv6 /64) when its own would still hold fewer, else that
    // of a connection silent long and holding nothing worth keeping; otherwise it is told
    // goodbye "busy".
    virtual void SetMaxIncomingConnections(std::uint64_t limit) = 0;
    // Reads "/configuration/device/inclusions" and logs whether the node runs redundantly.
    virtual void SetInclusions() = 0;
    virtual void OnIncomingConnection(IncomingCallback callback) = 0;
    // The "disco" request line, with an empty routing header or the given one.
    virtual std::string BuildDiscoRequest() = 0;
    virtual std::string BuildDiscoRequest(MessageForwardInfo& header) = 0;
    // Whether the node sends the periodic discovery request (switching it on sends one
    // at once), and whether it answers discovery requests.
    virtual bool SendDiscos() = 0;
    virtual void SendDiscos(bool on) = 0;
    virtual bool ReplyDiscos() = 0;
    virtual void ReplyDiscos(bool on) = 0;
    // The MAC text, in any form the MAC parser takes, is one of this host's adapters.
    virtual bool IsLocalMAC(const std::string& mac) = 0;
    virtual bool HasVerificationCode() = 0;
    virtual void OnVerificationCode(VerificationCallback callback) = 0;
    // Limited and subnet-directed broadcast in the driver's multicast sends, the
    // localhost flag (kept only), and reception on the any-address and per-address UDP
    // sockets. All on at start.
    virtual void Broadcast(bool on) = 0;
    virtual void SubnetBroadcast(bool on) = 0;
    virtual void BroadcastUDP(bool on) = 0;
    virtual void LocalhostBroadcast(bool on) = 0;
    virtual void SubnetUDP(bool on) = 0;
    // Stops serving the adapter with that MAC text and closes the connections that run
    // over its addresses; false only without a driver.
    virtual bool CloseMAC(const std::string& mac) = 0;
    // Drops every device and incoming connection, on the event loop.
    virtual void Reset() = 0;
    // Keeps the device or incoming connection the handle names; says goodbye to and drops
    // every other one.
    virtual void ResetAllExcept(void* handle) = 0;
    // "device", "controller" or "router" (exact); false, nothing changed, for any other
    // text.
    virtual bool SetMode(const std::string& mode) = 0;
    // A "goodbye" request with the reason's word (none outside 1..7), written on the
    // connection ahead of its queued lines.
    virtual void SendGoodbye(std::shared_ptr<TcpSocket> connection, GOODBYE_REASON reason,
                             MessageForwardInfo& header) = 0;
    // One discovery request to every served interface, to the port.
    virtual void SendDiscoCommand(unsigned short port) = 0;
    // A discovery request on the connection, as a request (lock-step applies).
    virtual void SendKeepAliveDisco(std::shared_ptr<TcpSocket> connection, MessageForwardInfo& header) = 0;
    virtual unsigned short DiscoReplyPort() = 0;
    // Each setter clamps its milliseconds and returns the previous value.
    virtual std::uint64_t SetDiscoInterval(std::uint64_t milliseconds) = 0;
    // The keep-alive interval, 1 to 60 s (10 s at start): a connected device is sent a
    // keep-alive "disco" that long after its last reply, unless a request of this node's
    // waits on its connection. It does not bound the keep-alive's answer: that is awaited
    // the lock-step time-out, as every answer a device gives at once (SetLockStepTimeout).
    // So a device that froze is given up that time-out (10 s by default) after the first
    // such request it leaves unanswered, whatever the interval: the keep-alive sent as
    // this node's connection to it opens, any get, or the keep-alive an interval after
    // its last reply; while a request that takes
    // work waits on it, only at that request's bound. Three intervals bound the answer
    // to a notice (a publish, a log row, an event) or a transfer's line; twice the interval
    // is how long a peer that says nothing keeps its slot at the incoming limit. 0 sends a
    // keep-alive at every tick of the timer (about 1.5 s) after a reply and bounds those
    // answers to 30 s; elsewhere it counts as 1 s.
    virtual std::uint64_t SetKeepAliveDiscoInterval(std::uint64_t milliseconds) = 0;
    // The reply time-out, 1 to 60 s, 0 (as at start) for none: a device whose request
    // waits that long becomes Unresponsive, and each get, set, exec or raw line that waits
    // that long from its write is answered "timeout", its late reply dropped. It
    // does not keep the connection: an answer still missing at its own bound (see
    // SetLockStepTimeout) closes it all the same. A reply time-out longer than that bound
    // is never reached: the request is answered "connection lost" at the bound.
    virtual std::uint64_t SetReplyTimeout(std::uint64_t milliseconds) = 0;
    // The lock-step time-out, 5 to 60 s; 0 (as at start) gives the default, 10 s. It
    // bounds the answer to each request of this node's own that a device gives at once
    // (get, set, the subscribing words, poll, ls, cd, the keep-alive, a proof of the code,
    // a list of discovered devices or publishers), counted from the request's write,
    // whatever the peer sends meanwhile. Past it the peer is taken as lost: its
    // connection is closed, what waits on it is answered "connection lost", and the
    // devices reached over it go Disconnected. A request beyond a router waits this bound
    // (at least the default) once more for each node beyond the router, up to three. It
    // does not change the other bounds: three keep-alive intervals for a notice's or a
    // transfer line's answer, 10 min for one that takes work (listings, exec, device
    // state, firmware); nor what a router passes on for its requesters, which keeps the
    // default. README.md, "Answers awaited", tells them all.
    virtual std::uint64_t SetLockStepTimeout(std::uint64_t milliseconds) = 0;
    // The port discovery answers are asked to (C number text: "0x" hexadecimal, leading
    // "0" octal); a number outside 1..65535 gives 4197. Returns the number read.
    virtual unsigned long SetDiscoReplyPort(const std::string& text) = 0;
    // Where "senddisco" also goes: "a.b.c.d", "a.b.c.d:port", an IPv6 address, "[v6]" or
    // "[v6]:port"; the empty text resets. False, nothing changed, for a bad address or
    // port.
    virtual bool SetSendDiscoAddress(const std::string& text) = 0;
    // "senddisco" to every served interface, then to the send-disco address when one is
    // set; the second form sends to the given address (only while one is set).
    virtual void SendSendDiscoRequest() = 0;
    virtual void SendSendDiscoRequest(const boost::asio::ip::address& address, unsigned short port) = 0;
    // "locate" and "identify" requests from the record: to every served interface, as one
    // datagram to the address and port, or over the connection with the routing header.
    virtual void SendLocateRequest(LocateInfo& info) = 0;
    virtual void SendLocateRequest(const boost::asio::ip::address& address, unsigned short port,
                                   LocateInfo& info) = 0;
    virtual void SendLocateRequest(void* handle, MessageForwardInfo& header, LocateInfo& info) = 0;
    // Answers the locate request of `data` with this node's GUID, name and the network
    // the request came by; over UDP only when the locate callback (if set) agrees.
    virtual void SendLocateReply(MessageSignalData& data, LocateInfo& info) = 0;
    virtual void SendIdentifyRequest(IdentifyInfo& info) = 0;
    virtual void SendIdentifyRequest(const boost::asio::ip::address& address, unsigned short port,
                                     IdentifyInfo& info) = 0;
    virtual void SendIdentifyReply(MessageSignalData& data, IdentifyInfo& info) = 0;
    virtual void SendIdentifyRequest(void* handle, MessageForwardInfo& header, IdentifyInfo& info) = 0;
    // "reboot" for the node with that MAC: to every served interface, or over the
    // connection, without or with a routing header.
    virtual void SendReboot(const std::string& mac) = 0;
    virtual void SendReboot(void* handle, const std::string& mac) = 0;
    virtual void SendReboot(void* handle, const std::string& mac, MessageForwardInfo& header) = 0;
    // "setip" over the connection, or to every node, through the device-state service;
    // nothing without it.
    virtual void SetIP(void* handle, const SETIP_SETTINGS& settings) = 0;
    virtual void SetIP(const SETIP_SETTINGS& settings) = 0;
    // Device side: answers a "setverificationcode" request (only over TLS, only with the
    // code in force) and an "authenticate" request (the proof of the code).
    virtual void SendSetVerificationCodeReply(MessageSignalData& data, SetVerificationCodeInfo& info) = 0;
    // Controller side: the two codes as Base64 texts ("current" only when not empty).
    // Sent only over a connection whose TLS is established; else logged and dropped.
    virtual void SendSetVerificationCodeRequest(void* handle, MessageForwardInfo& header, std::string current,
                                                std::string newCode) = 0;
    // The finished authentication code; sent only over an established TLS connection.
    virtual void SendAuthenticateRequest(void* handle, MessageForwardInfo& header, std::string code) = 0;
    // A connection is closed after its fifth failed attempt; an address that failed waits
    // (1 s, doubling up to 60 s, until a success) before its next attempt is checked, and
    // meanwhile is refused with "Too many failed attempts".
    virtual void SendAuthenticateReply(MessageSignalData& data, AuthenticateInfo& info) = 0;
    // Device side: answers "starttls" and, accepted, becomes the TLS server.
    virtual void SendStartTLSReply(MessageSignalData& data, StartTLSInfo& info) = 0;
    // The connection then waits for the answer: only it may make this node the TLS client.
    virtual void SendStartTLSRequest(void* handle, MessageForwardInfo& header) = 0;
    // Network exclusion rules that keep peers out of discovery, by class name (every class
    // name that begins with it), name or GUID. An added rule is stored and the known
    // devices it names are told goodbye; a removed one is cleared from storage. Any thread;
    // the reply is called once, before the call returns.
    virtual void RemoveNetworkRuleExcusion(std::vector<std::string> classnames, std::vector<std::string> names,
                                           std::vector<std::string> guids, RuleReply reply) = 0;
    virtual void AddNetworkRuleExcusion(std::vector<std::string> classnames, std::vector<std::string> names,
                                        std::vector<std::string> guids, RuleReply reply) = 0;
    // Whether the rules keep the device (its class name, name or GUID) out of discovery.
    virtual bool IsDeviceExcludedFromDisco(std::shared_ptr<IDevice> device) = 0;
    virtual std::shared_ptr<IDevice> GetDeviceByName(const std::string& name) = 0;
    virtual std::shared_ptr<IDevice> GetDeviceByIPAndPort(const boost::asio::ip::address& address,
                                                          unsigned short port) = 0;
    virtual std::shared_ptr<IDevice> GetDeviceBySocket(std::shared_ptr<TcpSocket> socket) = 0;
    // Makes a device for the endpoint and connects it; the device list reports it.
    virtual void Connect(const boost::asio::ip::address& address, unsigned short port) = 0;
    // Always 0.
    virtual int TraceRoute(const std::string& name, std::vector<std::string>& route, int hops) = 0;
    // True when some element of `b` equals some element of `a`.
    virtual bool CheckRoutes(std::vector<std::string> a, std::vector<std::string> b) = 0;
};

}  // namespace Zelkor
