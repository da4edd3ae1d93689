#pragma once
// The one owner of discovery and connection management: the node's role and discovery
// settings, its own discovery values, the discovery requests it sends, the device list
// with its list-change notifications, the incoming connections it admitted, and the
// orderly stop with goodbyes. The driver makes it in InitDiscovery over the
// application's storage and reaches it through IDriverDiscovery.
//
// Every table is keyed by the canonical GUID text (lower case, 36 characters), whatever
// form a peer wrote; look-ups accept every form the GUID parser does.
//
// Ownership: made by the driver with std::make_shared and owned by it; it holds the
// driver by plain pointer and shares the storage facade and its devices.
// Threads:
// - Settings, the stop flag and the timer flag are atomics; the send-disco address has
//   a leaf mutex.
// - The device tables are guarded by _deviceTablesMutex and the device set by
//   _deviceSetMutex; where both are held, the tables' mutex is taken first. The wanted
//   sets, the handler vectors, the application callbacks and the incoming connections
//   each have a leaf mutex, never held while another lock is taken. No application code,
//   no device operation that may lock, and no socket work runs under any of them: what
//   is needed is copied out first.
// - List-change handlers run on the event-loop thread only, from tasks posted in order;
//   once Stop has begun none runs.
// - The resets may be called from application threads: their socket work (goodbyes,
//   closes) hops onto the loop. Stop runs on the loop as part of the driver's stop; the
//   goodbyes it writes there are out, or queued for the writes the driver's stop waits
//   for, before it returns.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/uuid/uuid.hpp>
#include <json/value.h>

#include "core/IServiceBaseImpl.h"
#include "core/ISignalObserver.h"
#include "core/Signal.h"
#include "core/ZelkorLoggable.h"
#include "device/DeviceNetState.h"
#include "device/IDevice.h"
#include "discovery/AuthenticationCode.h"
#include "discovery/DeviceHearings.h"
#include "discovery/DeviceSender.h"
#include "discovery/DiscoInfoImpl.h"
#include "discovery/GuidTimes.h"
#include "discovery/IDeviceList.h"
#include "discovery/IDiscoveryService.h"
#include "discovery/IncomingSlots.h"
#include "discovery/NetworkRuleExclusionHandler.h"
#include "discovery/ProofGate.h"
#include "discovery/RefusedMoves.h"
#include "driver/ConnectionResult.h"
#include "driver/IDriverDiscovery.h"

namespace Zelkor {

class DeviceImpl;
class IStorage;
class Message;
class NewDiscoInfo;
class ZelkorDriver;

class DiscoveryService : public IServiceBaseImpl<IDiscoveryService>,
                         public IDeviceList,
                         public IDriverDiscovery,
                         public ISignalObserver<ConnectionResult>,
                         public ZelkorLoggable,
                         public std::enable_shared_from_this<DiscoveryService> {
public:
    using Endpoint = std::pair<boost::asio::ip::address, unsigned short>;

    // The tables a device can be entered into.
    enum DeviceTable : unsigned {
        InDeviceSet = 1u << 0,
        ByGuid = 1u << 1,
        ByName = 1u << 2,
        ByClassName = 1u << 3,
        ByEndpoint = 1u << 4,
        BySocket = 1u << 5,
        AllTables = (1u << 6) - 1,
    };

    static constexpr unsigned short ProtocolPort = 4197;
    // Devices peers can make this node list (discovery replies, router lists, inbound
    // connections). At the bound the list is shared between the devices' senders: a
    // newcomer takes the place of a device of a sender holding more than its own, or of
    // its own sender's heard in one discovery round only (in full: DeviceHearings.h);
    // never of one in use: with a connection, connected to through its router, being
    // connected to or to be kept connected. With none such it is not added.
    static constexpr std::size_t DefaultMaxDevices = 4096;
    // Devices one router may have this node reach through it.
    static constexpr std::size_t DefaultMaxProxiedPerRouter = 1024;
    // The timer's clock: whole seconds of a steady clock, so that setting the wall clock
    // neither ages nor freezes what the timer measures.
    using Clock = std::function<std::int64_t()>;

    // Neither form checks its arguments; Initialize does. From a plain pointer the
    // storage facade takes ownership of the storage, from a shared pointer it shares it.
    DiscoveryService(ZelkorDriver* driver, IStorage* storage);
    DiscoveryService(ZelkorDriver* driver, std::shared_ptr<IStorage> storage);
    // Finalizes the devices still listed (Stop has done so when it ran); says no goodbye.
    ~DiscoveryService() override;
    DiscoveryService(const DiscoveryService&) = delete;
    DiscoveryService& operator=(const DiscoveryService&) = delete;

    // --- IDriverDiscovery --------------------------------------------------------------
    // Writes the protocol version into storage, repairs an empty node name, reads the
    // incoming-connection limit and the inclusions, sets the own mode value and reads the
    // own discovery values.
    void Initialize() override;
    std::shared_ptr<StorageModel> GetStorageModel() override { return _storage; }
    std::string InstanceName() override { return _discoInfo.InstanceName(); }
    bool ReplyDiscos() override { return _replyDiscos.load(); }
    void SendSendDiscoRequest() override;
    // Runs the timer's steps at once, then every 1.5 s on the event loop. A new call
    // replaces the running timer.
    void StartTimer() override;
    // Cancels the pending wait, on the event loop.
    void StopTimer();
    bool TimerStopped() const { return _timerStopped.load(); }
    // Says goodbye on every directly connected device (its handlers hear "Lost"),
    // finalizes every device and closes the incoming connections. Notifications stop.
    void Stop() override;
    // Says goodbye to every device (which then becomes "Lost" and is finalized) and
    // empties every device table.
    void ResetDeviceList() override;
    // Says goodbye ("shutdown") on every open incoming connection and closes it.
    void ResetIncomingConnections() override;
    void ResetAllExcept(void* handle) override;
    void UpdateDiscoReplyValue(const std::string& path, const std::string& value) override;
    bool IsServiceCommand(const std::string& word) override;
    // The discovery-level messages, into HandleMessage.
    void SignalRaised(MessageSignalData& data) override;
    void GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) override;
    // Answers one discovery request, over its connection or by one datagram to the asker.
    void SendDiscoReply(Packet& packet) override;
    // Takes one discovery reply: keeps or adds the peer's device and stamps its reply
    // time; a controller or router answering over TCP is asked for its device list.
    void HandleDiscoReply(Packet& packet) override;
    // The verification-code callback answers operation 0 with a non-empty code.
    bool HasVerificationCode() override;
    // The handle is an admitted incoming connection or a device's connection.
    bool IsValidConnection(void* handle) override;
    bool GetDeviceHandleByName(const std::string& name, std::shared_ptr<TcpSocket>& socket) override;
    // The test of DeviceImpl::MatchSource, over every device of that name.
    NoticeWay WayOfNotice(const std::string& source, void* handle) override;
    void UpdateStatistics(std::shared_ptr<TcpSocket> socket, TimePoint requestSent,
                          TimePoint replyReceived) override;
    std::string GUID() override { return _discoInfo.GUID(); }
    // False when no device owns the socket; else the device authenticates on it (on the
    // connection itself when it is the device's own).
    bool AuthenticateDeviceOf(std::shared_ptr<TcpSocket> socket) override;
    // A router's requesters' proofs are held to the bounds of proofs made to this node,
    // each by the requester's own address (ProofGate).
    const char* AdmitForwardedProof(const TcpSocket& requester, bool& counts) override;
    bool ForwardedProofAnswered(const TcpSocket& requester, const std::string& error) override;

    // --- IDiscoveryService -------------------------------------------------------------
    IDeviceList* GetDeviceList() override { return this; }
    void MaxQueueDepth(std::uint64_t depth) override { _maxQueueDepth.store(depth); }
    std::uint64_t MaxQueueDepth() override { return _maxQueueDepth.load(); }
    std::uint64_t GetIncomingConnectionCount() override;
    std::uint64_t GetMaxIncomingConnections() override { return _maxIncoming.load(); }
    std::uint64_t GetReplyTimeout() override { return _replyTimeoutMs.load(); }
    void SetMaxIncomingConnections(std::uint64_t limit) override { _maxIncoming.store(limit); }
    void SetInclusions() override;
    void OnIncomingConnection(IncomingCallback callback) override;
    std::string BuildDiscoRequest() override;
    std::string BuildDiscoRequest(MessageForwardInfo& header) override;
    bool SendDiscos() override { return _sendDiscos.load(); }
    void SendDiscos(bool on) override;
    void ReplyDiscos(bool on) override { _replyDiscos.store(on); }
    void OnVerificationCode(VerificationCallback callback) override;
    void Broadcast(bool on) override;
    void SubnetBroadcast(bool on) override;
    void BroadcastUDP(bool on) override;
    void LocalhostBroadcast(bool on) override;
    void SubnetUDP(bool on) override;
    void Reset() override;
    // Also sets the node's own "mode" value, so that peers see the role taken.
    bool SetMode(const std::string& mode) override;
    void SendGoodbye(std::shared_ptr<TcpSocket> connection, GOODBYE_REASON reason,
                     MessageForwardInfo& header) override;
    void SendDiscoCommand(unsigned short port) override;
    void SendKeepAliveDisco(std::shared_ptr<TcpSocket> connection, MessageForwardInfo& header) override;
    unsigned short DiscoReplyPort() override { return _discoReplyPort.load(); }
    std::uint64_t SetDiscoInterval(std::uint64_t milliseconds) override;
    std::uint64_t SetKeepAliveDiscoInterval(std::uint64_t milliseconds) override;
    std::uint64_t SetReplyTimeout(std::uint64_t milliseconds) override;
    std::uint64_t SetLockStepTimeout(std::uint64_t milliseconds) override;
    unsigned long SetDiscoReplyPort(const std::string& text) override;
    bool SetSendDiscoAddress(const std::string& text) override;
    void SendSendDiscoRequest(const boost::asio::ip::address& address, unsigned short port) override;
    // Normalised through the MAC parser; false for a text that is no MAC and without a
    // driver.
    bool IsLocalMAC(const std::string& mac) override;
    void SendLocateRequest(LocateInfo& info) override;
    void SendLocateRequest(const boost::asio::ip::address& address, unsigned short port, LocateInfo& info) override;
    void SendLocateRequest(void* handle, MessageForwardInfo& header, LocateInfo& info) override;
    void SendLocateReply(MessageSignalData& data, LocateInfo& info) override;
    void SendIdentifyRequest(IdentifyInfo& info) override;
    void SendIdentifyRequest(const boost::asio::ip::address& address, unsigned short port,
                             IdentifyInfo& info) override;
    void SendIdentifyReply(MessageSignalData& data, IdentifyInfo& info) override;
    void SendIdentifyRequest(void* handle, MessageForwardInfo& header, IdentifyInfo& info) override;
    void SendReboot(const std::string& mac) override;
    void SendReboot(void* handle, const std::string& mac) override;
    void SendReboot(void* handle, const std::string& mac, MessageForwardInfo& header) override;
    void SetIP(void* handle, const SETIP_SETTINGS& settings) override;
    void SetIP(const SETIP_SETTINGS& settings) override;
    void SendSetVerificationCodeReply(MessageSignalData& data, SetVerificationCodeInfo& info) override;
    void SendSetVerificationCodeRequest(void* handle, MessageForwardInfo& header, std::string current,
                                        std::string newCode) override;
    void SendAuthenticateRequest(void* handle, MessageForwardInfo& header, std::string code) override;
    void SendAuthenticateReply(MessageSignalData& data, AuthenticateInfo& info) override;
    void SendStartTLSReply(MessageSignalData& data, StartTLSInfo& info) override;
    void SendStartTLSRequest(void* handle, MessageForwardInfo& header) override;
    void RemoveNetworkRuleExcusion(std::vector<std::string> classnames, std::vector<std::string> names,
                                   std::vector<std::string> guids, RuleReply reply) override;
    void AddNetworkRuleExcusion(std::vector<std::string> classnames, std::vector<std::string> names,
                                std::vector<std::string> guids, RuleReply reply) override;
    bool IsDeviceExcludedFromDisco(std::shared_ptr<IDevice> device) override;
    std::shared_ptr<IDevice> GetDeviceByName(const std::string& name) override;
    std::shared_ptr<IDevice> GetDeviceByIPAndPort(const boost::asio::ip::address& address,
                                                  unsigned short port) override;
    std::shared_ptr<IDevice> GetDeviceBySocket(std::shared_ptr<TcpSocket> socket) override;
    // Makes a device for the endpoint, enters it by endpoint only, and connects it; a
    // device discovery found announcing that endpoint is connected instead. Not bounded by
    // the device cap: the application asked.
    void Connect(const boost::asio::ip::address& address, unsigned short port) override;
    // Stops serving the adapter of that MAC and closes every connection running over its
    // addresses.
    bool CloseMAC(const std::string& mac) override;
    int TraceRoute(const std::string& name, std::vector<std::string>& route, int hops) override;
    bool CheckRoutes(std::vector<std::string> a, std::vector<std::string> b) override;

    // --- connection results -------------------------------------------------------------
    // Admits or refuses a connection a peer made; cleans up after one refused or closed.
    void SignalRaised(ConnectionResult& result) override;

    // --- IDeviceList -------------------------------------------------------------------
    std::shared_ptr<IDevice> GetDeviceByUUID(const std::string& guid) override;
    std::shared_ptr<IDevice> GetDeviceByUUID(const boost::uuids::uuid& guid) override;
    void forEach(const std::function<void(std::shared_ptr<IDevice>)>& fn) override;
    void OnListChange(ListChange handler) override;
    void OnListChange(ListChangeWithOld handler) override;
    void OnListChange(const std::string& key, ListChange handler) override;
    void OnListChange(const std::string& key, ListChangeWithOld handler) override;
    void RemoveOnListChangeHandler(const std::string& key) override;
    void OnLocate(LocateCallback callback) override;
    void OnIdentify(IdentifyCallback callback) override;
    void OnReboot(RebootMacCallback callback) override;
    void OnReboot(RebootCallback callback) override;
    // Kept, and called with the settings of every "setip" reply the device-state service
    // receives; it is attached to that service when OnSetIP is called after
    // InitFileTransfer (before it, no reply reaches it).
    void OnSetIP(SetIPCallback callback) override;
    void OnSetVerificationCode(SetVerificationCodeCallback callback) override;
    void OnAuthenticate(AuthenticateCallback callback) override;
    void OnStartTLS(StartTLSCallback callback) override;

    // --- own values and settings read by the driver and the timer ----------------------
    DiscoInfoImpl& GetDiscoInfo() { return _discoInfo; }
    void UpdateInterfaceDiscoReplyValue(const std::string& interfaceName, const std::string& name,
                                        const std::string& value) override;
    // The DHCP setting ("ipv4/dhcp") of the configured interface of that name; the name
    // is cut at ":avahi" first.
    bool GetModelDHCP(std::string& interfaceName, std::string& dhcp) override;
    bool IsStopped() const { return _stopped.load(); }
    bool IsWaitingForGoodbyes() const { return _goodbyesPending.load() != 0; }
    bool IsRouter() const override { return _router.load(); }
    std::uint64_t DiscoIntervalSeconds() const { return _discoIntervalSec.load(); }
    std::uint64_t KeepAliveDiscoIntervalSeconds() const { return _keepAliveDiscoIntervalSec.load(); }
    std::uint64_t ReplyTimeoutSeconds() const { return _replyTimeoutSec.load(); }
    std::uint64_t LockStepTimeoutSeconds() const { return _lockStepTimeoutSec.load(); }
    std::uint64_t GetLockStepTimeout() const { return _lockStepTimeoutMs.load(); }
    std::uint64_t GetKeepAliveDiscoInterval() const override { return _keepAliveDiscoIntervalMs.load(); }
    std::uint64_t GetDiscoInterval() const { return _discoIntervalMs.load(); }
    // The send-disco address and port.
    Endpoint SendDiscoAddress() const;
    // The node's GUID, parsed by Initialize; all zero when it is none.
    const boost::uuids::uuid& Guid() const { return _guid; }
    // The network exclusion rules; their checks may be called under the device-list locks.
    const NetworkRuleExclusionHandler& ExclusionRules() const { return *_exclusionHandler; }

    // --- discovery requests -------------------------------------------------------------
    // One request datagram to the address and port, sent from the reply port.
    void SendDiscoCommand(const boost::asio::ip::address& address, unsigned short port,
                          const std::string& interfaceName);
    void SendMulticastMessage(Message& message, bool request);

    // --- answering and handling discoveries ---------------------------------------------
    // A port from a JSON number or number text; false with the reason in `error`.
    static bool GetPortValue(const Json::Value& value, unsigned short& port, std::string& error);
    // The interface through which the reply's sender was seen, and the address and port it
    // announces.
    bool GetRemoteInfo(Packet& packet, IDevice::RemoteInfo& out, std::string& error);
    // A UUID in any form the parser takes (braces, no hyphens); false for null or empty.
    static bool _parseUUID(const char* text, boost::uuids::uuid& out);
    // A device discovered by UDP (state New), heard from `sender`; one that connected to
    // this node (state Connected): empty when it could not be made or the device cap is
    // reached.
    std::shared_ptr<DeviceImpl> addDevice(NewDiscoInfo& record, const DeviceSender& sender = DeviceSender());
    std::shared_ptr<DeviceImpl> addConnectedDevice(NewDiscoInfo& record, const std::shared_ptr<TcpSocket>& connection);
    // A device in use (connected, also through its router, being connected, or to be
    // kept connected) is moved by a discovery reply to an endpoint it is not reached at
    // only once this node's own attempts to reach it have gone unanswered for this long
    // (the timer's scale shortens it, down to MinScaledBound): a stranger that answers
    // in its name must not draw this node's connection, and its proof of the code, to
    // itself. A device not in use follows its replies at once.
    static constexpr std::chrono::seconds MoveWhenUnreachedFor{30};
    // The cap on devices peers can make this node add; known devices still update.
    void SetMaxDevices(std::size_t limit) { _maxDevices.store(limit); }
    std::size_t MaxDevices() const { return _maxDevices.load(); }
    void SetMaxProxiedPerRouter(std::size_t limit) { _maxProxiedPerRouter.store(limit); }
    // Seconds since the epoch at which the device list last changed.
    std::int64_t DeviceListTime() const { return _deviceListTime.load(); }

    // --- device lists of routers ----------------------------------------------------------
    // "list" with the option "discovered" on a TCP connection.
    void SendListDiscovered(void* handle);
    // Answers with the records of every known device.
    void SendListDiscoveredReply(MessageSignalData& data);
    // Turns each endpoint of a router's answer into a device reached through that router,
    // up to the bound of one router (the rest refused, logged once per answer); a device
    // the answer no longer names is no longer reached through it. The devices named are
    // heard by the answer, so that they leave at the loss age once their router has gone.
    void HandleListDiscoveredReply(MessageSignalData& data);
    // `sender` is the router's connection the list came on.
    std::shared_ptr<DeviceImpl> addProxiedDevice(NewDiscoInfo& record, std::shared_ptr<DeviceImpl> router,
                                                 const DeviceSender& sender);
    // The device is no longer reached through `router` (any router when null): it loses
    // that proxy and its transfers through a router. Without a connection of its own, one
    // that was reached goes Disconnected until a router lists it again (as reachedNoMore);
    // any other New when it is wanted, else Disconnected.
    void unreachedThrough(const std::shared_ptr<DeviceImpl>& device, const std::shared_ptr<DeviceImpl>& router);

    // --- discovery-level messages ---------------------------------------------------------
    void HandleMessage(MessageSignalData& data);
    // False for what this node hears from itself: a datagram from one of its own end
    // points, or from an address that no local network serves. TCP is always actionable.
    bool isActionableMessage(MessageSignalData& data);
    // The handlers of the discovery-level requests and their replies; each runs on the
    // event loop with the data's connection kept alive by the caller.
    void HandleLocateRequest(MessageSignalData& data);
    void HandleLocateReply(MessageSignalData& data);
    void HandleIdentifyRequest(MessageSignalData& data);
    void HandleIdentifyReply(MessageSignalData& data);
    void HandleRebootRequest(MessageSignalData& data);
    void HandleRebootReply(MessageSignalData& data);
    // Answers and closes the connection once the answer is written.
    void HandleGoodbyeRequest(MessageSignalData& data);
    // Sends this node's discovery request back to the asker, when the settings allow.
    void HandleSendDiscoRequest(MessageSignalData& data);
    // One datagram back to the sender of the datagram in `data`, or to the address and
    // port, from the reply port; an empty interface name means the interface whose
    // network holds the address.
    void SendUDPMessage(MessageSignalData& data, Message& message, bool request);
    void SendUDPMessage(const boost::asio::ip::address& address, Message& message, bool request,
                        unsigned short port, const std::string& interfaceName);
    // The text is a GUID equal to this node's.
    bool CompareGUID(const std::string& guid);
    // The GUID of the device that sent a message over TCP: the connection's device, or the
    // device behind it that the connection's last request was addressed to.
    bool GetSenderGUID(const MessageSignalData& data, std::string& guid);
    // The connection of the device with that GUID; empty when none.
    std::shared_ptr<TcpSocket> GetHandle(const std::string& guid);

    // --- peer authentication, verification codes and start-TLS --------------------------
    // The TCP rows of "authenticate", "setverificationcode" and "starttls": false for
    // another word.
    bool HandleSecurityMessage(const std::string& word, bool reply, MessageSignalData& data);
    void HandleAuthenticateRequest(MessageSignalData& data);
    // Marks the connection authenticated (Kasdor-authenticated) after a reply without
    // error or with "unknown command"; any other error clears the mark.
    void HandleAuthenticateReply(MessageSignalData& data);
    void HandleSetVerificationCodeRequest(MessageSignalData& data);
    // A reply without error makes the replying device's pending code its confirmed one.
    void HandleSetVerificationCodeReply(MessageSignalData& data);
    void HandleStartTLSRequest(MessageSignalData& data);
    // Taken only on a connection whose "starttls" waits for it; any other is ignored.
    // Accepted, the connection's TLS client handshake starts; refused, a connection not yet
    // secured goes on in plain text (a secured one stays as it is).
    void HandleStartTLSReply(MessageSignalData& data);
    // How many accepted authentication nonces are remembered against replay (4096 by
    // default; at least one).
    void SetMaxRememberedNonces(std::size_t count) { _acceptedNonces.SetCapacity(count); }
    // Failed "authenticate" attempts of a peer's own (checked, or refused unchecked while
    // its address waits) after which a connection is closed, once the last refusal is
    // written. Proofs refused for others' failures (the node-wide bound) do not count, and
    // proofs that name a requester behind the peer never close it: a router's connection
    // carries many.
    static constexpr unsigned MaxFailedAuthentications = 5;
    // Replaces the clock of the bounds on guessing the code (tests).
    void SetAuthenticationClock(ProofGate::Clock clock) { _proofGate.SetClock(std::move(clock)); }

    // A peer that connected must have sent a complete line within FirstLineBound, and a
    // TLS handshake on its connection must finish within HandshakeBound; a line begun on
    // any connection must go on receiving bytes at least every UnfinishedLineBound. Else
    // the timer closes the connection (a silent peer must not hold a slot or memory for
    // ever).
    static constexpr std::chrono::seconds FirstLineBound{30};
    static constexpr std::chrono::seconds HandshakeBound{10};
    static constexpr std::chrono::seconds UnfinishedLineBound{30};
    // The timer's scale shortens these bounds, and the silence after which a connection
    // gives its slot up, as it shortens the timer's periods, but never below this (nor a
    // bound already shorter below itself): a handshake or a line that a loaded machine is
    // slow to finish must not be cut short because a test runs the timer faster.
    static constexpr std::chrono::seconds MinScaledBound{10};
    // `bound` at the timer's scale, with that floor.
    std::chrono::milliseconds ScaledBound(std::chrono::milliseconds bound) const override;
    // How long a peer may stay silent while this node awaits its reply before the
    // connection is taken as lost: three keep-alive intervals (SilentKeepAlives), or
    // SilenceWithoutKeepAlives where keep-alives are off; at the timer's scale.
    static constexpr unsigned SilentKeepAlives = 3;
    static constexpr std::chrono::seconds SilenceWithoutKeepAlives{30};
    std::chrono::milliseconds SilenceBound() const;
    // How long an answer is awaited, by its kind (AnswerWaits), the nodes beyond the peer
    // adding the lock-step time-out once each (up to MaxRelaysCounted): the lock-step
    // time-out (the application's, else DefaultLockStep) for a prompt answer; the silence
    // bound for a notice or a transfer's line; WorkAnswerBound for one that takes work. At
    // the timer's scale.
    static constexpr std::chrono::seconds DefaultLockStep{10};
    static constexpr std::chrono::minutes WorkAnswerBound{10};
    std::chrono::milliseconds AnswerBound(AnswerWait wait, std::size_t beyond, bool forwarded = false) const override;
    // A request a router passes on is answered by the router once the next node answers
    // or the router gave it up, after its own bound: the wait for it takes the lock-step
    // time-out once more for each node beyond the peer (up to MaxRelaysCounted), so that the
    // router's connection, which many share, is not taken for lost before the router could
    // answer.
    static constexpr std::size_t MaxRelaysCounted = 3;
    // A request passed on for a requester: its deadline from its arrival is its requester's
    // bound less the timer's round, this margin for a loaded loop, and this for its answer's
    // way back. Not scaled: they are real time.
    static constexpr std::chrono::seconds ForwardedMargin{1};
    static constexpr std::chrono::seconds AnswerWayBack{1};
    std::chrono::milliseconds ForwardedDeadline(AnswerWait wait, std::size_t beyond) const override;
    // An age of `seconds` of the timer's clock (a device's loss age, a reply or lock-step
    // time-out), kept from lasting less real time than that floor: a device a loaded
    // machine is slow to hear from is not forgotten or given up for it. A clock a test
    // set is its own, and its ages are as they are.
    std::int64_t ScaledAge(std::int64_t seconds) const;

    // --- the timer ------------------------------------------------------------------------
    // The timer's steps, once; runs on the event loop.
    void OnTimer();
    // Replaces the timer's clock (tests).
    void SetClock(Clock clock);
    // Runs the steady clock and the tick `scale` times faster, dividing every period of
    // the timer by it, and the bounds on a peer's silence down to MinScaledBound: a test
    // seam only.
    void SetTimerScale(unsigned scale);
    std::int64_t Now() const;
    // Seconds since the epoch: for times that leave the node (device lists, last seen).
    static std::int64_t WallSeconds();

    // --- the device list ----------------------------------------------------------------
    std::shared_ptr<DeviceImpl> GetDeviceImplByUUID(const std::string& guid);
    std::shared_ptr<DeviceImpl> GetDeviceImplByName(const std::string& name);
    std::shared_ptr<DeviceImpl> GetDeviceImplBySocket(const std::shared_ptr<TcpSocket>& socket);
    // The device of the connection, also one connected by its endpoint alone, which has
    // no GUID (so no entry by connection) until a reply on the connection brings it.
    std::shared_ptr<DeviceImpl> deviceHolding(const std::shared_ptr<TcpSocket>& socket);
    std::shared_ptr<DeviceImpl> GetDeviceImplByIPAndPort(const boost::asio::ip::address& address,
                                                         unsigned short port);
    // Enters a device into the chosen tables (DeviceTable bits) and gives it the
    // state-change callback that feeds the list-change notifications. An entry of the
    // same key is replaced. The adding operations of the discovery protocol go through
    // here.
    void enterDevice(const std::shared_ptr<DeviceImpl>& device, unsigned tables);
    // The device becomes "Lost", is finalized and leaves every table; entries that name
    // another device by now are left alone.
    void EraseDevice(const std::shared_ptr<DeviceImpl>& device);
    void EraseDevice(const std::string& guid);
    void EraseDevice(const boost::asio::ip::address& address, unsigned short port);
    // Posts the notification of one state change to the handlers (never inline).
    void fireListChangeEvent(std::shared_ptr<DeviceImpl> device, DeviceNetState newState, DeviceNetState oldState);
    // Sizes of the device tables by name, for diagnostics.
    std::map<std::string, std::size_t> TableSizes() const;

    // --- connections --------------------------------------------------------------------
    // Lists a connection a peer made that the incoming-connection rule admitted (once).
    void AdmitIncomingConnection(const std::shared_ptr<TcpSocket>& connection);
    // Removes the connection from the admitted ones.
    void EraseSocket(const std::shared_ptr<TcpSocket>& connection);
    // Every admitted connection from the same address as `socket` (family, bytes, scope).
    void GetInboundConnection(const std::shared_ptr<TcpSocket>& socket, std::vector<std::shared_ptr<TcpSocket>>& out);
    // Whether the device of that GUID wants to be kept connected (wants its descriptor);
    // nothing for a GUID without a device.
    void WantsConnections(const std::string& guid, bool on);
    void WantsDescriptor(const std::string& guid, bool on);
    // A request went out on a device's connection at `seconds`; its reply came.
    void SetRequestTime(const std::shared_ptr<TcpSocket>& connection, std::int64_t seconds) override;
    void ClearRequestTime(const std::shared_ptr<TcpSocket>& connection) override;
    // Tells goodbye to every known device an exclusion rule of that type names: by class
    // name, every device whose class name begins with the value; by name, the value
    // exactly; by GUID, in any of its forms. The devices are disconnected and stay listed.
    void DisconnectDeviceBy(ExcludedDevice::Type type, const std::vector<std::string>& values);

private:
    struct Handler {
        std::string key;
        ListChange onChange;
        ListChangeWithOld onChangeWithOld;
    };

    void init();
    // The rows of the discovery-level words: false for a word that has none here.
    bool handleLevelRequestWord(const std::string& word, bool reply, MessageSignalData& data);
    void handleDatagram(const std::string& word, bool reply, MessageSignalData& data);
    // A locate or identify answer: this node's GUID and name, and the MAC, address and
    // port of the network the request came by; back over its connection or to its sender.
    void answer(MessageSignalData& data, Message& reply);
    // Runs `fn` on the event loop: here when on the loop thread (or without a driver),
    // else posted.
    void onLoop(std::function<void()> fn);
    std::vector<Handler> handlers() const;
    static void callHandlers(const std::vector<Handler>& handlers, const std::shared_ptr<DeviceImpl>& device,
                             DeviceNetState newState, DeviceNetState oldState);
    // Under both device locks.
    void clearDeviceTables();
    void enterLocked(const std::shared_ptr<DeviceImpl>& device, unsigned tables);
    void clearWanted();
    // The service hears connection results and its six words from Initialize until Stop.
    void AttachSignals();
    void DetachSignals();
    // The six words it registers, each with its signal.
    void registerWords();
    void admitOrRefuse(const ConnectionResult& result);
    void cleanUpAfter(const ConnectionResult& result);
    // Each device says goodbye, becomes "Lost" and is finalized, on the loop.
    void dropDevices(std::vector<std::shared_ptr<DeviceImpl>> devices);
    std::shared_ptr<DeviceImpl> deviceOfGuidLocked(const std::string& guid) const;
    // True when another device may be added for `sender`, after giving up one when the
    // list is full (the cap warns once when none can go). Called without the device locks.
    bool roomForDevice(const DeviceSender& sender);
    // The device a full list gives up for a newcomer of `sender`; empty when none may go.
    std::shared_ptr<DeviceImpl> deviceToGiveUp(const DeviceSender& sender);
    // The device was heard now from `sender`: a discovery reply, or a router's list naming
    // it. Under the tables' lock.
    void heardLocked(const std::string& guid, const DeviceSender& sender);
    // Who speaks for the device a discovery reply tells of: the datagram's source, the
    // connection's peer, or the router whose connection it came through.
    static DeviceSender senderOf(const Packet& packet);
    // Answering and handling discoveries.
    static constexpr std::size_t MaxAskers = 1024;
    bool ownRequestDue(const Endpoint& asker);
    // False when the handling ends here.
    bool takeKnownReply(const std::shared_ptr<DeviceImpl>& device, Packet& packet, const std::string& guid,
                        const std::string& name);
    std::shared_ptr<DeviceImpl> takeNewReply(Packet& packet, const std::string& guid, const std::string& name);
    // A new device for the record heard from `sender`, unless the device cap is reached; a
    // failure to make one is logged with `failure`.
    std::shared_ptr<DeviceImpl> makeDevice(const NewDiscoInfo& record, const char* failure,
                                           const DeviceSender& sender);
    // Where a device is reached (DiscoveryMoves.cpp). The address a reply came from: the
    // datagram's sender or the connection's peer, an IPv4 address written as IPv6 taken as
    // IPv4; none for a reply through a router, whose connection tells nothing of where
    // the device is, nor on a connection from this host to itself, whose peer address is
    // the one this node serves.
    static std::optional<boost::asio::ip::address> heardFrom(const Packet& packet);
    // Connected (also through its router), being connected, or to be kept connected.
    bool inUse(const std::shared_ptr<DeviceImpl>& device);
    // The live devices of that name (usually one).
    std::vector<std::shared_ptr<DeviceImpl>> devicesNamed(const std::string& name);
    // A discovery reply of the GUID `guid`, placing its unit at `at`, names a device this
    // router uses at another address (DiscoveryNames.cpp): refused (logged) unless the
    // reply's connection proved the code, or the device could move there.
    bool nameInUseElsewhere(const Packet& packet, const std::string& guid, const std::string& name,
                            const boost::asio::ip::address& at);
    // A discovery answer that names a device elsewhere, or a requester, is refused: logged,
    // as one on a connection the peer made (`peerConnected`) or as another.
    void refuseName(const std::string& name, bool peerConnected);
    // Whether the device no longer holds where it is reached: not in use, or, in use,
    // unreached for MoveWhenUnreachedFor (neither connected nor through its router).
    bool unreachedForAMove(const std::shared_ptr<DeviceImpl>& device);
    // Whether a reply may move the known device to `to`, an endpoint it is not reached
    // at: a device in use moves only once unreached for MoveWhenUnreachedFor. A refusal
    // is logged once per device and endpoint. Loop only.
    bool mayMove(const std::shared_ptr<DeviceImpl>& device, const Endpoint& to);
    // Another device's GUID on a connection: warned, told "guidchanged" and closed after.
    void refuseUnmatched(Packet& packet, const std::string& guid, const std::string& name,
                         const std::shared_ptr<DeviceImpl>& owner);
    // Another GUID than its owner's answers directly on a connection this node opened:
    // the unit at that address was replaced (a router restarted without a fixed GUID),
    // or its GUID changed. True when `successor`, the device of the new GUID (empty when
    // none is known), may take the address: it is reached neither on a connection of its
    // own nor through a connected router.
    bool unitReplaced(const Packet& packet, const std::shared_ptr<DeviceImpl>& owner,
                      const std::shared_ptr<DeviceImpl>& successor);
    // What the dialled address stood for passes from `owner` to `successor` (made from
    // `record` when empty): the open connection, the endpoint key that static routes and
    // Connect(address, port) look up, the wish to be kept connected and the verification
    // code. The owner forgets the address and goes Disconnected; it is not lost (the old
    // unit may only have moved): discovery finds it again, or it leaves at the loss age.
    // Empty when no device could be made.
    std::shared_ptr<DeviceImpl> passAddress(Packet& packet, const std::shared_ptr<DeviceImpl>& owner,
                                            std::shared_ptr<DeviceImpl> successor, const NewDiscoInfo& record);
    // A peer that connected here answered discovery on `connection` in the name of
    // `device`'s node (its GUID, or the endpoint it announced; empty when no record is
    // either): true when the record may take the connection as its own. No live connection
    // of the record's stands against it but one that gives way: this node's own dial, when
    // this node is a router and the peer routes nothing, or one the peer proves it comes
    // from the unit of (ZelkorDriver::SameUnit). Nor may the name be another's
    // (nameFreeFor).
    bool mayAdopt(const std::shared_ptr<DeviceImpl>& device, const std::shared_ptr<TcpSocket>& connection,
                  const std::string& name, bool peerRoutes);
    // No device of that name is connected on another connection than `connection` whose
    // peer answered discovery on it (but `yielding`, which gives way to it), nor is the name
    // spoken by another connection (ZelkorDriver::NameSpokenElsewhere): a device's of
    // another host, or a live requester's.
    bool nameFreeFor(const std::string& name, const std::shared_ptr<TcpSocket>& connection, const TcpSocket* yielding);
    // The device's unit answered as itself on a connection of the device's that stands, or
    // it is reached through its router.
    bool answersAsItself(const std::shared_ptr<DeviceImpl>& device);
    // The device takes the connection its peer made as its own: this node's dials of it are
    // let go and closed, the connection becomes its primary, and it is kept connected
    // (wanted) and Connected from now on.
    void adoptConnection(const std::shared_ptr<DeviceImpl>& device, const std::shared_ptr<TcpSocket>& connection);
    // The device's connections that this node opened (connected or still dialling), but
    // `keep`, leave it and are closed.
    void dropOwnDials(const std::shared_ptr<DeviceImpl>& device, const std::shared_ptr<TcpSocket>& keep);
    // The device keyed by the endpoint, when it still stands there (one that moved away
    // keeps the key of the endpoint it left); empty otherwise.
    std::shared_ptr<DeviceImpl> deviceAt(const Endpoint& endpoint);
    // Another device stands at the endpoint of `device` and keeps its key.
    bool endpointKeyHeldBeside(const std::shared_ptr<DeviceImpl>& device);
    // A dial of `owner`'s was answered by the unit of `reached`, which this node reaches on
    // a connection of its own at the dialled endpoint (two units shared it, each with a
    // record): the owner is not there. It gives the endpoint up, and the dial is closed.
    // False, with nothing done, when the reply is no such answer.
    bool unitBeside(const Packet& packet, const std::shared_ptr<DeviceImpl>& owner,
                    const std::shared_ptr<DeviceImpl>& reached);
    // `endpoint` no longer stands for `owner`, whose unit is no longer there: the owner
    // forgets that way to it and the endpoint key, and goes Disconnected unless it is still
    // connected otherwise (a redundant device's other network). It is not lost: heard
    // again it stays, else it leaves at the loss age.
    void giveUpEndpoint(const std::shared_ptr<DeviceImpl>& owner, const Endpoint& endpoint);
    // The router no longer has a connection: the devices reached through it that were
    // Connected go Disconnected (on the loop, after the router's own line).
    void routerLeft(const std::shared_ptr<DeviceImpl>& router);
    // The device is no longer reached through its router: the transfers this node runs
    // with it through a router end; Connected or Unresponsive without a connection of its
    // own, it goes Disconnected until a router lists it again.
    void reachedNoMore(const std::shared_ptr<DeviceImpl>& device);
    // The transfers this node opened with the device through a router end.
    void routedTransfersEnd(DeviceImpl& device);
    void WaitTimer();
    // The timer's steps.
    void timeOutRequests(std::int64_t now);
    // The devices of a wanted set; GUIDs without a device leave it.
    std::vector<std::shared_ptr<DeviceImpl>> wantedDevices(std::set<std::string>& wanted, const char* sizeText);
    void connectWanted();
    void serveRoutes();
    void askDescriptors();
    void keepAlive(std::int64_t now);
    // Closes the admitted connections that stalled before their first line, and any
    // connection that stalled in its handshake or in the middle of a line. The memory of
    // connections closed since the last round goes back to the system first.
    void closeStalledConnections();
    // Closes, as lost, the connections on which a request of this node's own has waited
    // for its answer past the bound of its kind (AnswerBound, more for a request the peer
    // passes on), whatever else the peer sent meanwhile.
    void closeUnanswered();
    // At the incoming limit: the admitted connection whose slot the newcomer takes
    // (IncomingSlots), silence meaning more than twice the keep-alive interval; empty
    // when none may go. `fairShare` tells which rule chose it.
    std::shared_ptr<TcpSocket> slotForNewcomer(const std::shared_ptr<TcpSocket>& newcomer, bool& fairShare);
    // What the connection holds that keeps its slot (`code`: this node has one).
    SlotHolder slotHolder(TcpSocket& connection, bool code);
    // The admitted incoming connections, as they are now.
    std::vector<std::shared_ptr<TcpSocket>> incomingConnections() const;
    // Closes it for a newcomer the application admitted.
    void giveUpSlot(const std::shared_ptr<TcpSocket>& holder, bool fairShare);
    void dropStaleProxies();
    void forgetLost(std::int64_t now);
    // The verification-code callback: the code in force ("" without a callback), and
    // storing a new one (false without a callback or when it refuses).
    std::string codeInForce();
    bool storeCode(std::string code);
    // The outcome of a "setverificationcode" request on that connection: "" when done.
    std::string changeCode(TcpSocket& connection, const SetVerificationCodeInfo& info);
    // Checks a received authentication code and, proven, marks the connection: "" then,
    // else the failure's text.
    std::string prove(TcpSocket& connection, const std::string& code);
    // Logs why a proof was refused unchecked.
    void refusedUnchecked(const TcpSocket& connection, ProofGate::Verdict verdict);
    // This node's proof to the device was refused unchecked ("Too many failed attempts"):
    // the timer makes it again a keep-alive interval later. Loop only.
    void proveAgainLater(const std::shared_ptr<DeviceImpl>& device);
    void retryRefusedProofs(std::int64_t now);
    // The device a reply over TCP comes from: the connection's own, or the device behind
    // that router which the reply names as its originator.
    std::shared_ptr<DeviceImpl> replyingDevice(MessageSignalData& data);

    ZelkorDriver* const _driver;
    DiscoInfoImpl _discoInfo;
    std::shared_ptr<StorageModel> _storage;
    std::unique_ptr<NetworkRuleExclusionHandler> _exclusionHandler;
    boost::uuids::uuid _guid{};

    std::atomic<bool> _replyDiscos{true};
    std::atomic<bool> _sendDiscos{false};
    std::atomic<bool> _router{false};
    std::atomic<bool> _timerStopped{false};
    std::atomic<bool> _stopped{false};
    std::atomic<unsigned short> _discoReplyPort{ProtocolPort};
    std::atomic<std::uint64_t> _maxIncoming{0};
    // A connection closed since the timer last gave free memory back.
    std::atomic<bool> _memoryToReturn{false};
    std::atomic<std::uint64_t> _maxQueueDepth{0};
    std::atomic<std::uint64_t> _discoIntervalMs{23000};
    std::atomic<std::uint64_t> _keepAliveDiscoIntervalMs{10000};
    std::atomic<std::uint64_t> _replyTimeoutMs{0};
    std::atomic<std::uint64_t> _lockStepTimeoutMs{0};
    std::atomic<std::uint64_t> _discoIntervalSec{23};
    std::atomic<std::uint64_t> _keepAliveDiscoIntervalSec{10};
    std::atomic<std::uint64_t> _replyTimeoutSec{0};
    std::atomic<std::uint64_t> _lockStepTimeoutSec{0};
    std::atomic<std::uint64_t> _goodbyesPending{0};
    std::atomic<std::size_t> _maxDevices{DefaultMaxDevices};
    std::atomic<std::size_t> _maxProxiedPerRouter{DefaultMaxProxiedPerRouter};
    // Counts the discovery intervals: the timer's periodic discovery step opens the next.
    std::atomic<std::uint64_t> _discoRound{0};
    std::atomic<bool> _deviceCapWarned{false};
    std::atomic<std::int64_t> _deviceListTime{0};

    // The timer and its due times, touched on the event loop only.
    std::unique_ptr<boost::asio::steady_timer> _timer;
    mutable std::mutex _clockMutex;
    Clock _clock;
    std::atomic<unsigned> _timerScale{1};
    std::int64_t _nextDiscoTime = 0;
    std::int64_t _nextProxyTime = 0;
    std::int64_t _nextListenTime = 0;
    std::int64_t _nextWantsConnectionTime = 0;
    std::int64_t _nextWantsDescriptorTime = 0;
    std::int64_t _nextRoutesTime = 0;
    // When this node last sent its own request to each asker (address, reply port), by
    // Now(): at most once per discovery interval each, so that two nodes answering each
    // other's requests with their own do not loop. Bounded by MaxAskers. Loop only.
    std::map<Endpoint, std::int64_t> _askerTimes;
    // The refused moves already logged. Loop only.
    RefusedMoves _refusedMoves;
    // The devices whose proof of this node's code was refused unchecked, with the time by
    // Now() at which it is made again; one entry per device at most. Loop only.
    struct RefusedProof {
        std::weak_ptr<DeviceImpl> device;
        std::int64_t due;
    };
    std::map<const DeviceImpl*, RefusedProof> _refusedProofs;

    mutable std::mutex _sendDiscoMutex;
    boost::asio::ip::address _sendDiscoAddress{boost::asio::ip::address_v4::any()};
    unsigned short _sendDiscoPort = ProtocolPort;

    mutable std::mutex _callbackMutex;
    IncomingCallback _onIncomingConnection;
    VerificationCallback _onVerificationCode;

    // The callbacks of the discovery-level requests, called from copies.
    mutable std::mutex _requestCallbackMutex;
    LocateCallback _onLocate;
    IdentifyCallback _onIdentify;
    RebootMacCallback _onRebootMac;
    RebootCallback _onReboot;
    SetIPCallback _onSetIP;
    // The handler on the device-state service's "setip" signal that calls _onSetIP.
    boost::signals2::connection _setIPConnection;
    SetVerificationCodeCallback _onSetVerificationCode;
    AuthenticateCallback _onAuthenticate;
    StartTLSCallback _onStartTLS;
    // Nonces of the authentication codes accepted, against replay; locks itself.
    NonceMemory _acceptedNonces;
    // The bounds on guessing the code: per source, node-wide, and on the proofs this node
    // passes on; locks itself.
    ProofGate _proofGate;

    mutable std::mutex _handlerMutex;
    std::vector<Handler> _listChangeHandlers;

    mutable std::mutex _deviceTablesMutex;
    std::unordered_map<std::string, std::shared_ptr<DeviceImpl>> _devicesByGuid;
    std::unordered_map<std::string, std::unordered_set<std::string>> _guidsByName;
    std::unordered_map<std::string, std::unordered_set<std::string>> _guidsByClassName;
    std::map<Endpoint, std::shared_ptr<DeviceImpl>> _devicesByEndpoint;
    std::map<std::shared_ptr<TcpSocket>, std::string> _guidBySocket;
    std::unordered_multimap<std::string, std::string> _proxiedDevices;
    GuidTimes _requestTimes;
    GuidTimes _tcpDiscoReplyTimes;
    // The last datagram reply of each device, and the last list of a router that named a
    // device reached through it: a device heard by neither for the loss age is lost.
    GuidTimes _udpDiscoReplyTimes;
    DeviceHearings _hearings;
    // Per GUID, the name and class name it stands under in _guidsByName and
    // _guidsByClassName, so that a renamed or reclassed device leaves its old sets.
    std::unordered_map<std::string, std::pair<std::string, std::string>> _enteredNames;

    mutable std::mutex _deviceSetMutex;
    std::set<std::shared_ptr<DeviceImpl>> _deviceSet;

    mutable std::mutex _wantedMutex;
    std::set<std::string> _wantsConnections;
    std::set<std::string> _wantsDescriptor;

    mutable std::mutex _incomingMutex;
    std::vector<std::shared_ptr<TcpSocket>> _incomingConnections;

    // This service's connections to the driver's connection-result signal and to the
    // signals of its six words.
    std::mutex _signalConnectionMutex;
    boost::signals2::connection _connectionResultConnection;
    struct WordSignal {
        Signal<MessageSignalData> signal;
        boost::signals2::connection connection;
    };
    WordSignal _authenticateSignal;
    WordSignal _locateSignal;
    WordSignal _identifySignal;
    WordSignal _rebootSignal;
    WordSignal _setVerificationCodeSignal;
    WordSignal _startTLSSignal;
};

}  // namespace Zelkor
