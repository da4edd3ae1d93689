#pragma once
// Discovery as the driver calls it. The discovery service implements it; a test may give
// the driver its own implementation through ZelkorDriver::UseDiscovery instead.
//
// The driver merges the implementation's command words into its own map
// (IGiveMessageMapToMessageReceiver) and hands it every message of the words for which
// IsServiceCommand is true (ISignalObserver<MessageSignalData>).
//
// Ownership: the driver shares it from UseDiscovery on and never replaces it.
// Threads: every call comes on the event-loop thread, except Initialize (the thread that
// calls UseDiscovery or InitDiscovery), Stop (the thread that stops the driver), the
// resets (the thread that calls Refresh or DisconnectAllExcept), and what the listen
// state and the TLS material ask (GUID, GetModelDHCP, UpdateInterfaceDiscoReplyValue),
// which also comes on the application thread that adds a listener.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "core/IGiveMessageMapToMessageReceiver.h"
#include "core/ISignalObserver.h"
#include "core/MessageSignalData.h"
#include "transport/AnswerWaits.h"

class StorageModel;

namespace Zelkor {

struct Packet;
class MessageForwardInfo;
class TcpSocket;

class IDriverDiscovery : public IGiveMessageMapToMessageReceiver, public ISignalObserver<MessageSignalData> {
public:
    using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

    virtual void Initialize() = 0;
    // The storage facade shared with the services; empty when there is none.
    virtual std::shared_ptr<StorageModel> GetStorageModel() = 0;
    // This node's name: the first target of every line meant for it.
    virtual std::string InstanceName() = 0;
    // True when the node answers discovery requests (Run then opens its listen state
    // and asks the peers for their discoveries).
    virtual bool ReplyDiscos() = 0;
    virtual void SendSendDiscoRequest() = 0;
    virtual void StartTimer() = 0;
    virtual void Stop() = 0;
    virtual void ResetDeviceList() = 0;
    virtual void ResetIncomingConnections() = 0;
    // Keeps the device or incoming connection the handle names and drops every other one.
    virtual void ResetAllExcept(void* handle) = 0;
    virtual void UpdateDiscoReplyValue(const std::string& name, const std::string& value) = 0;
    // True for the words the discovery service handles itself.
    virtual bool IsServiceCommand(const std::string& word) = 0;
    // A "disco" request, and a "@disco" reply.
    virtual void SendDiscoReply(Packet& packet) = 0;
    virtual void HandleDiscoReply(Packet& packet) = 0;
    // True when the node holds a verification code.
    virtual bool HasVerificationCode() = 0;
    // True when the handle is a connection the discovery service knows as live.
    virtual bool IsValidConnection(void* handle) = 0;
    // False when no device has that name; true with an empty socket when it has no
    // connection.
    virtual bool GetDeviceHandleByName(const std::string& name, std::shared_ptr<TcpSocket>& socket) = 0;
    // What the connection `handle` is to the device of name `source` that sent this node a
    // notice through a router ("publish", "log", "event"): Taken when it is a connection of
    // that device or of the router this node reaches it through; Stray when this node
    // reaches a device of that name through a router, but neither by this connection;
    // NotFollowed when it reaches none of that name through a router. A device's handlers
    // hear a routed notice only when it is Taken.
    enum class NoticeWay { NotFollowed, Taken, Stray };
    virtual NoticeWay WayOfNotice(const std::string& /*source*/, void* /*handle*/) { return NoticeWay::NotFollowed; }
    // One request/reply round trip on a connection, for the statistics of its device.
    virtual void UpdateStatistics(std::shared_ptr<TcpSocket> socket, TimePoint requestSent, TimePoint replyReceived) = 0;

    // --- network edge --------------------------------------------------------------------
    // True when the node sends discoveries (a controller or a router).
    virtual bool SendDiscos() = 0;
    // True in the router role: only a router forwards requests.
    virtual bool IsRouter() const = 0;
    // Milliseconds between keep-alives on a connection: a peer silent for twice as long
    // counts as gone.
    virtual std::uint64_t GetKeepAliveDiscoInterval() const = 0;
    // A bound on a peer's silence as the node's timers run it: shorter while a test runs
    // them faster, never below a floor a loaded machine keeps to.
    virtual std::chrono::milliseconds ScaledBound(std::chrono::milliseconds bound) const { return bound; }
    // How long a request of kind `wait` this node sends on a connection, addressed
    // `beyond` nodes past its peer (`forwarded`: passed on for a requester behind this
    // node), may go unanswered before this node gives the connection up and answers the
    // request itself.
    virtual std::chrono::milliseconds AnswerBound(AnswerWait /*wait*/, std::size_t beyond,
                                                  bool /*forwarded*/ = false) const {
        return std::chrono::seconds(30) * static_cast<int>(1 + beyond);
    }
    // How long after its arrival here a request of kind `wait`, passed on for a requester to
    // a peer with `beyond` nodes past it, may take in all: as long as its requester awaits
    // this node's answer, less the round of this node's timer that gives the request up, a
    // margin and the answer's way back, so that this node answers before its requester
    // gives up the connection to it.
    virtual std::chrono::milliseconds ForwardedDeadline(AnswerWait wait, std::size_t beyond) const {
        return AnswerBound(wait, beyond + 1, true) - std::chrono::milliseconds(3500);
    }
    // This node's GUID as text; "" when it has none. The generated certificate names it.
    virtual std::string GUID() = 0;
    // Bound of a connection's request queue; 0 means no bound.
    virtual std::uint64_t MaxQueueDepth() = 0;
    // A request went out on a connection at `seconds` since the epoch; its reply came.
    virtual void SetRequestTime(const std::shared_ptr<TcpSocket>& socket, std::int64_t seconds) = 0;
    virtual void ClearRequestTime(const std::shared_ptr<TcpSocket>& socket) = 0;
    // A keep-alive "disco" request over the connection, with the routing header.
    virtual void SendKeepAliveDisco(std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) = 0;
    // The DHCP setting configured for the interface of that name (which may lose a
    // ":avahi" suffix); false, `dhcp` untouched, when none is.
    virtual bool GetModelDHCP(std::string& interfaceName, std::string& dhcp) = 0;
    // One address value ("dhcp", "gateway", "ip", "mac", "port", "subnetmask") of this
    // node's discovery replies on an interface.
    virtual void UpdateInterfaceDiscoReplyValue(const std::string& interfaceName, const std::string& name,
                                                const std::string& value) = 0;
    // A TLS handshake on the socket has succeeded: false when no device owns the socket,
    // else the device authenticates on it.
    virtual bool AuthenticateDeviceOf(std::shared_ptr<TcpSocket> socket) = 0;
    // A proof of the code ("authenticate") that a router passes on for the requester is
    // held to the bounds of a proof made to it: null when it may go on, else the refusal
    // the requester hears instead, unchecked, with `counts` set when it counts against the
    // requester's connection as a failure of its own. Once it may go on, its answer is
    // awaited.
    virtual const char* AdmitForwardedProof(const TcpSocket& requester, bool& counts) = 0;
    // The answer to the requester's proof passed on came back, with its error ("" when
    // it proved the code): true when it refused a wrong proof, which counts against the
    // requester's connection.
    virtual bool ForwardedProofAnswered(const TcpSocket& requester, const std::string& error) = 0;
};

}  // namespace Zelkor
