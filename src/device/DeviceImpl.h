#pragma once
// The controller-side object of one discovered device: its discovery record, its network
// state, its connection set and ways to reach it, its flags and statistics, and the
// cookies of its callbacks.
//
// State changes follow one table (IsAllowedStateChange): a change is checked and stored
// in one atomic step, so two threads never both pass the table from the same old state;
// the installed callback hears each change taken, and the notifications 2 and 4.
//
// Ownership: made only by the discovery service, always through std::make_shared; shared
// with the application and with the handlers that serve it. It holds the driver weakly
// (the application may keep a device after the driver is gone) and owns its connection
// set until Finalize.
// Threads: any thread. The device's mutex guards the record, the callbacks and the
// statistics; the connection set has a mutex of its own, so has the list of ways to reach
// the device. No application code and no callback runs under any of them. Socket work
// goes through the sockets' own operations, which hop onto the event loop.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/system/error_code.hpp>

#include "core/MessageForwardInfo.h"
#include "core/ZelkorLoggable.h"
#include "device/IDevice.h"
#include "device/SignalCookies.h"
#include "discovery/NewDiscoInfo.h"

namespace Zelkor {

class DiscoveryService;
class ICommandInterfaceService;
class IEventSubscriptionService;
class IFileTransferService;
class IFolderModificationService;
class IServiceBase;
class ISubscriptionService;
class Message;
class MessageSignalData;
class TcpSocketSet;
class ZelkorDriver;
struct Packet;

class DeviceImpl : public IDevice, public std::enable_shared_from_this<DeviceImpl>, public ZelkorLoggable {
public:
    using StateCallback = std::function<void(DeviceNetState newState, DeviceNetState oldState)>;
    // What a raw line hears, once it went out, when its word's reply is never handed to a
    // raw command ("disco", say: discovery takes it).
    static constexpr const char* ReplyNotDelivered = "reply not delivered";

    DeviceImpl(ZelkorDriver* driver, const NewDiscoInfo& record);
    ~DeviceImpl() override;
    DeviceImpl(const DeviceImpl&) = delete;
    DeviceImpl& operator=(const DeviceImpl&) = delete;

    // --- IDevice ---------------------------------------------------------------------
    DiscoInfo GetDiscoInfo() const override;
    void SetDeviceState(const std::string& state) override;
    void* GetConnectionHandle() override;
    bool IsConnected() override;
    bool IsDirectlyConnected() override;
    bool IsProxyConnected() override;
    bool HasHandle(void* handle) override;
    std::shared_ptr<TcpSocket> GetHandle() override;
    bool HasConnectionHandle() override;
    std::string ProxyName() override;
    std::string ProxyGuid() override;
    bool HasProxy() override;
    bool IsEncrypted() override;
    bool IsAuthenticated() override { return _authenticated.load(); }
    void SetAuthentication(bool on) override { _authenticated.store(on); }
    void SetForwardInfo() override;
    void GetForwardInfo(MessageForwardInfo& out) override;
    std::shared_ptr<TcpSocket> GetFileTransferHandle(bool ownOnly) override;
    DeviceNetState GetCurrentState() override { return _state.load(); }
    void Connect(bool force) override;
    void Disconnect(bool toNew) override;
    bool WantsConnections() override { return _wantsConnections.load(); }
    void WantsDescriptor(bool on) override;
    bool WantsDescriptor() override { return _wantsDescriptor.load(); }
    void DownloadingDescriptor(bool on) override { _downloadingDescriptor.store(on); }
    bool DownloadingDescriptor() override { return _downloadingDescriptor.load(); }
    void HasDescriptor(bool on) override { _hasDescriptor.store(on); }
    bool HasDescriptor() override { return _hasDescriptor.load(); }
    void IsRunningScript(bool on) override;
    bool IsRunningScript() override { return _runningScript.load(); }
    void Goodbye() override;
    void SendGoodbye() override;
    void SendKeepAliveDisco(bool unused) override;
    void Locate(long timeout) override;
    void Locate(std::string& timeout) override;
    void Locate(LocateInfo& info) override;
    void Identify(IdentifyInfo& info) override;
    void SetParameter(ObjectParamContainer& values) override;
    void SetParameter(ObjectParamContainer& values, std::function<void(const ObjectParamContainer&)> callback,
                      bool deferrable, std::string tag) override;
    void OnSetResult(std::function<void(const ObjectParamContainer&)> callback) override;
    void GetParameter(ObjectParamContainer& values) override;
    void GetParameter(ObjectParamContainer& values, std::function<void(const ObjectParamContainer&)> callback,
                      bool deferrable, std::string tag) override;
    void OnGetResult(std::function<void(const ObjectParamContainer&)> callback) override;
    // Subscriptions, polls, logs and locate replies (DeviceSubscriptions.cpp).
    void Subscribe(ObjectParamContainer& values) override;
    void Unsubscribe(ObjectParamContainer& values) override;
    void OnSubscribe(ValuesCallback callback) override;
    void OnUnsubscribe(ValuesCallback callback) override;
    void OnPublish(ValuesCallback callback) override;
    void OnLocate(LocateCallback callback) override;
    void SubscribePoll(const char* name, const std::vector<std::string>& paths, const char* format) override;
    void UnsubscribePoll(const char* name) override;
    void PollSubscription(const char* name) override;
    void OnSubscribePoll(SubscribePollCallback callback, const std::string& defaultName) override;
    void OnUnSubscribePoll(UnsubscribePollCallback callback) override;
    void OnPoll(PollCallback callback) override;
    void OnPollResult(PollResultCallback callback) override;
    void SendLogRow(LOGROW& row) override;
    void OnLog(LogCallback callback) override;
    void SendSubLog(long long mark, unsigned int priority) override;
    void OnSendSubLog(TextCallback callback) override;
    void UnSubLog() override;
    void OnUnSubLog(TextCallback callback) override;
    // Events (DeviceEvents.cpp).
    void SubscribeEvent(const std::string& name) override;
    void UnsubscribeEvent(const std::string& name) override;
    void OnSubscribeEvent(TextCallback callback) override;
    void OnUnsubscribeEvent(TextCallback callback) override;
    void OnSubscribeEventResult(NamedResultCallback callback) override;
    void OnUnsubscribeEventResult(NamedResultCallback callback) override;
    void OnEvent(EventValueCallback callback) override;
    void OnEvent(EventMapCallback callback) override;
    void OnEvent(EventListCallback callback) override;
    void OnEventResult(TextCallback callback) override;
    // Files, firmware and the device's file system (DeviceFileRequests.cpp).
    bool SendFile(const std::string& localPath, const std::string& remotePath, unsigned long blockSize,
                  TransferDone done) override;
    bool RecvFile(const std::string& localPath, const std::string& remotePath, unsigned long blockSize,
                  TransferDone done) override;
    void CancelSendFile() override;
    void onFileProgressStatus(ProgressCallback callback) override;
    void FirmwareUpdate(const std::string& arguments) override;
    void OnFirmwareUpdateResult(TextCallback callback) override;
    void OnFirmwareUpdate(TextCallback callback) override;
    // Connects the one "fwupdate" handler of both firmware callbacks unless connected.
    void handlefwupdate();
    void SendFreespaceCommand(char const* path) override;
    void OnFreespaceResult(FreespaceCallback callback) override;
    void SendDeletefileCommand(char const* path) override;
    void OnDeletefileResult(DeletefileCallback callback) override;
    void ListFiles(const std::string& path) override;
    void OnListFilesResult(ListFilesCallback callback) override;
    void CreateDir(const std::string& path) override;
    void OnCreateDirResult(DirCallback callback) override;
    void RemoveDir(const std::string& path) override;
    void OnRemoveDirResult(DirCallback callback) override;
    // Connects the event handler unless connected; the first connection fixes the form
    // ("EVENT_STR_PARAM", "EVENT_MAP_PARAM" or "EVENT_VEC_PARAM") that takes the events
    // whose own form has no callback.
    void handleOnEventCommand(const std::string& form);
    // Exec and raw commands (DeviceExec.cpp).
    void SendExecCommand(const char* path, const char* command, const std::vector<std::string>& args,
                         const std::string& requestid, ExecCallback callback) override;
    void SendExecCommand(const char* path, const char* command, const std::map<std::string, std::string>& args,
                         const std::string& requestid, ExecCallback callback) override;
    void SendExecCommand(const char* path, const char* command, const std::string& args,
                         const std::string& requestid, ExecCallback callback) override;
    void OnExecResult(ExecCallback callback) override;
    void SendRawCommand(const char* line, RawCallback callback) override;
    void SendReboot(const std::string& mac) override;
    void SetIP(SETIP_SETTINGS settings) override;
    void OnSetIP(std::function<void(SETIP_SETTINGS&)> callback) override;
    void UpdateStatistics(TimePoint sent, TimePoint received) override;
    double GetMinRoundTripTime() override;
    double GetMaxRoundTripTime() override;
    double GetAvgRoundTripTime() override;
    // The replies measured so far: every request the device answered, its keep-alives
    // among them.
    std::uint64_t GetRoundTripCount() const;
    void forEachRemote(const std::function<void(RemoteInfo)>& fn) override;
    std::size_t RemoteCount() override;
    std::string GetVerificationCode() override;
    void SetVerificationCode(std::string code) override;
    void SendSetVerificationCodeRequest(SetVerificationCodeInfo& info) override;
    void Authenticate(AuthenticateInfo& info, std::shared_ptr<TcpSocket> socket) override;
    void SendStartTLSRequest() override;
    void SendLsCmdRequest(std::string& path) override;
    void SendRlsCmdRequest(std::string& path) override;
    void SendCdCmdRequest(std::string& path) override;
    // The new code of the last verification-code request sent.
    std::string GetPendingVerificationCode();
    // An authentication code for the record's code, with a fresh nonce; "" when the
    // system's random generator fails.
    std::string ComposeAuthenticateMessage(AuthenticateInfo& info);

    // --- for the discovery service and the driver ------------------------------------
    // Applies the state table; 2 and 4 only notify. The callback runs on this thread,
    // after the change is stored and outside the device's locks.
    void setCurrentState(DeviceNetState requested);
    void SetStateCallback(StateCallback callback);
    // A copy of the discovery record, and its updates (on a copy, kept when accepted). A
    // reply's endpoint is `at`, where the discovery service found the device to be.
    NewDiscoInfo getDiscoInfo() const;
    bool updateFrom(const Packet& packet, const NewDiscoInfo::Endpoint& at);
    // From a router's list entry; a device with ways of its own to reach it keeps its
    // endpoint: the router's word does not move it.
    bool updateFrom(const std::vector<MessageParameter>& parameters);
    // The canonical GUID text; "" for a device known only by its endpoint.
    std::string GuidKey() const;
    // The announced address and TCP port.
    std::pair<boost::asio::ip::address, unsigned short> Endpoint() const;
    // The primary and the secondary connection, those present.
    std::vector<std::shared_ptr<TcpSocket>> Connections() const;

    // Adds a way to reach the device unless an equal one is listed.
    void AddRemoteInfo(const RemoteInfo& remote);
    // The device is now reached at `remote`: it takes the place of the ways on the same
    // interface (or on none named) in the same address family, which are dialled no
    // more (a dial of one still pending is given up); with none such it is added.
    void MoveRemote(const RemoteInfo& remote);
    // Whether one of the ways to reach the device is at that address and port.
    bool HasRemote(const std::pair<boost::asio::ip::address, unsigned short>& endpoint) const;
    // Drops every way to reach the device at that address and port, whatever interface.
    void ForgetRemote(const std::pair<boost::asio::ip::address, unsigned short>& endpoint);
    // Logged when it changes (level Summary).
    void WantsConnections(bool on);
    // Adopts an inbound connection as the primary.
    void SetHandle(std::shared_ptr<TcpSocket> socket);
    // The router through which the device is reached, kept weakly; only a device whose
    // mode is "router" is taken, anything else (or null) clears it.
    void SetProxy(const std::shared_ptr<DeviceImpl>& router);
    std::shared_ptr<DeviceImpl> Proxy() const;
    // The router it was reached through before Proxy(); empty when none.
    std::shared_ptr<DeviceImpl> FormerProxy() const;
    // One of the device's connections was closed: the primary's loss is a disconnection,
    // a closed secondary leaves the set.
    void EraseSocket(const std::shared_ptr<TcpSocket>& socket);
    // Lets one of its connections go, open, for another device to adopt; no state
    // changes. False when the connection is not the device's.
    bool ReleaseConnection(const std::shared_ptr<TcpSocket>& socket);
    // The completion of a connect this device started, on the event loop. A socket that
    // has left the set by then (the device was disconnected, or adopted an inbound
    // connection) changes no state; made, it is closed, as is one made for a lost device.
    void OnSocketConnected(const std::shared_ptr<TcpSocket>& socket, const boost::system::error_code& error);
    // The connected primary or secondary whose TLS is up, else empty.
    std::shared_ptr<TcpSocket> GetEncryptedHandle();
    // A request's work: the connection (or set) it goes on and the routing header it
    // carries, prepared for this request alone, so that requests from several threads
    // never see each other's header.
    using HandleWork = std::function<void(std::shared_ptr<TcpSocket>, MessageForwardInfo&)>;
    using SetWork = std::function<void(std::shared_ptr<TcpSocketSet>, MessageForwardInfo&)>;
    // Run `fn` with the connection a request takes (own, else the router's) and its
    // routing header; nothing when there is none or the device is finalized. True when
    // `fn` ran.
    bool ForTheHandle(const HandleWork& fn);
    bool ForTheEncryptedHandle(const HandleWork& fn);
    // Run `fn` with the device's own connection set (never the router's).
    void ForTheSet(const SetWork& fn);
    // Whether the device's connections speak the older protocol (from its record).
    void SetOldProtocol(bool old);
    // Whether a message delivered by a service's signal comes from this device.
    bool MatchSource(const MessageSignalData& data);
    // The record's name is `name` (compared under the lock, nothing copied).
    bool HasName(const std::string& name) const;

    // Kept by the discovery service: the device was first heard by UDP; the device-list
    // time of its last list request (a router's); when it was last seen (seconds since
    // the epoch); when one of its connections was last reported closed; whether its
    // connection is secured.
    std::atomic<bool> discoveredByUdp{false};
    std::atomic<std::int64_t> listTime{0};
    std::atomic<std::int64_t> lastSeen{0};
    std::atomic<std::int64_t> lastDiscoReply{0};
    std::atomic<std::chrono::system_clock::time_point> disconnectionTime{};
    // When, by the discovery timer's clock, it last left Connected (or Unresponsive); 0
    // while it never did.
    std::atomic<std::int64_t> connectionLostAt{0};
    std::atomic<bool> secured{false};
    // Reached through a router, it was Connected when that router lost its connection:
    // it is Connected again once a router with a connection lists it. Cleared by an
    // explicit Disconnect.
    std::atomic<bool> awaitsRouter{false};
    // Since when, by the discovery timer's clock, this node has been trying to reach the
    // device without reaching it: from the first dial made while no connection of its own
    // stood (or the first attempt that found no way and no router) until it is Connected
    // again. Reached when no attempt is outstanding. A dial left unanswered counts as one
    // refused: a dial of an address nobody holds any more hangs for minutes.
    static constexpr std::int64_t Reached = std::numeric_limits<std::int64_t>::min();
    std::int64_t UnreachedSince() const { return _unreachedSince.load(); }
    // The attempts so far count no more: the device moved, or this node gave up on it.
    void ForgetAttempts() { _unreachedSince.store(Reached); }
    // When this node last lost its way to the device: it left Connected (or Unresponsive)
    // for a state without a way; the epoch when it never did. A router tells the peers it
    // lists the device to of such a loss, however soon the device is back.
    std::chrono::steady_clock::time_point LostAt() const { return _lostAt.load(); }
    // Cuts the callbacks' cookies, closes the connections, and moves to "New" (toNew) or
    // "Disconnected" where the state table allows.
    void Disconnected(bool toNew);
    void DisconnectSignals();
    SignalCookies& Cookies() { return _cookies; }
    // Refuses every later request: cuts the cookies, drops the callback, closes and
    // releases the connection set. A second call only logs.
    void Finalize();
    bool IsFinalized() const { return _finalized.load(); }
    // Loop thread: every raw line taken at `cutoff` or before and still unanswered hears
    // its refusal with kTimedOut now; its wait stays for the late reply, which then goes to
    // nobody. (The services answer their own requests at the time-out.)
    void ExpireRawCommands(std::chrono::steady_clock::time_point cutoff);

private:
    // The driver's discovery service, keeping the driver while it is used; empty once the
    // driver is gone.
    std::shared_ptr<DiscoveryService> discovery() const;
    // The driver's folder-modification service, likewise; empty before InitDiscovery.
    std::shared_ptr<IFolderModificationService> folderModification() const;
    // A "get" or "set" of `values` on the connection a request takes, with its own
    // routing header, the container read before this returns. Without `callback` (the
    // forms without one) its reply goes to the default handler; with one, to it (an
    // empty one swallows it), unless deferred while a script runs (logged, dropped).
    // Finalized (logged at Debug), or without the service or a connection, it is
    // answered as unreached.
    struct ParameterTexts;
    void parameterRequest(const ParameterTexts& texts, ObjectParamContainer& values,
                          std::optional<std::function<void(const ObjectParamContainer&)>> callback,
                          bool deferrable, std::string tag);
    // A "get" or "set" (`word`) of `values` that found no connection to go on: every value
    // failed with kDeviceNotConnected, on the loop, to where its reply would have gone:
    // its callback, else the default handler of the word as it is then. The values are
    // read before this returns.
    void answerUnreached(const char* word, const ObjectParamContainer& values,
                         std::optional<std::function<void(const ObjectParamContainer&)>> callback);
    // Runs `answer` on the driver's loop, a turn later even when called on it: a request's
    // answer never comes inside the call that made it. Nothing once the driver is gone.
    void answerLater(std::function<void(ZelkorDriver&)> answer);
    // A value subscription or its end that no connection took: the callback its reply
    // would reach hears every value failed "Device not connected", a loop turn later.
    void answerUnsent(ValuesCallback DeviceImpl::*callback, const ObjectParamContainer& values);
    std::string nameText() const;

    // The state table without the callback: stores `requested` when the table allows it
    // from the stored state, which `old` receives. Lets a caller store under a lock and
    // report after it.
    bool storeState(DeviceNetState requested, DeviceNetState& old);
    // Stores `to` only when the stored state is exactly `from`.
    bool storeStateFrom(DeviceNetState from, DeviceNetState to);
    void notifyState(DeviceNetState newState, DeviceNetState oldState);

    // Reaching the device through its router when it has no endpoint of its own.
    void connectThroughProxy(const std::string& name);
    // This node tries to reach the device at `now`: the first attempt since it was last
    // reached starts UnreachedSince.
    void startUnreached(std::int64_t now);
    // The completion of a connect this device started.
    void connectDone(const std::shared_ptr<TcpSocket>& socket, const boost::system::error_code& error);
    // "starttls" on a connection that has just connected, unless it is secured already.
    void requestStartTls(const std::shared_ptr<TcpSocket>& socket);
    // One own connection's part of Authenticate; true when "authenticate" went out.
    bool authenticateOn(const std::shared_ptr<TcpSocket>& socket, AuthenticateInfo& info,
                        const char* authenticateText, const char* keepAliveText, const std::string& keepAlive);
    // The socket is one of the set's two (socket-set mutex held).
    bool holdsLocked(const std::shared_ptr<TcpSocket>& socket) const;

    // Writes the routing header of the next request into the forward information: this
    // node's sender id, the hash flag of a redundant device, and the router and device as
    // targets when the request goes through `router` (empty: straight to the device).
    // Returns the request's own copy; a redundant device's counter moves on for the next.
    MessageForwardInfo prepareForwardInfo(const std::shared_ptr<DeviceImpl>& router);
    // The routing decision of SetForwardInfo and ForTheHandle: the router when the device
    // has no connection of its own and the router is connected.
    std::shared_ptr<DeviceImpl> routerInUse();
    bool forHandle(const char* finalizedText, std::shared_ptr<TcpSocket> (DeviceImpl::*pick)(), const HandleWork& fn);
    // Locate and identify: over the connection a request takes when connected, else one
    // datagram to the device's address and port, else to every served interface.
    using ByHandle = std::function<void(DiscoveryService&, void*, MessageForwardInfo&)>;
    using ByAddress = std::function<void(DiscoveryService&, const boost::asio::ip::address&, unsigned short)>;
    using ByMulticast = std::function<void(DiscoveryService&)>;
    void sendLevelRequest(const char* noDriver, const char* noService, const ByHandle& byHandle,
                          const ByAddress& byAddress, const ByMulticast& byMulticast);

    // The driver's command interface, keeping the driver while used; empty before
    // InitCommandInterface.
    std::shared_ptr<ICommandInterfaceService> commandInterface() const;
    // An exec that found no connection to go on: its callback (none: the default handler
    // as it is now) hears kDeviceNotConnected as the result (path "/", success false) on
    // the loop.
    void answerUnreachedExec(const std::shared_ptr<ICommandInterfaceService>& service, ExecCallback callback);
    // Raw commands other than "exec", "get" and "set": the callbacks of the lines a
    // connection took, oldest first, each waiting for the reply to its own line: by the
    // line's sender hash when it carries one, else by its place among the requests of the
    // connection that took it (TcpSocket::AnsweredRequest), so that a reply of the same
    // word to another request, a service's among them, passes it by. An "@error" that
    // answers the line is its reply. One handler per word on the driver's signal of the
    // word, and one on "@error", stay connected while a callback waits for them.
    // `enterRaw` runs on the loop once the line was taken; a line sent before the latest
    // dropRawCommands (`generation`) enters nothing. Each callback hears exactly one
    // answer: its reply, or its line's refusal ("connection lost") when the connection
    // that took the line ends, the line was not taken, or the device is disconnected or
    // finalized first. A word the driver raises no signal of (its replies go elsewhere, or
    // its service is not set up) never waits: its line's refusal with ReplyNotDelivered
    // answers it once the line went.
    struct RawWait {
        std::string word;
        std::weak_ptr<TcpSocket> connection;
        std::uint64_t ordinal = 0;
        std::string hash;
        // The line as it went out: its refusal answers it when no reply will come.
        std::string line;
        RawCallback callback;
        // When the connection took the line.
        std::chrono::steady_clock::time_point sentAt;
        // Answered at the reply time-out: the wait stays for the late reply, which goes to
        // nobody.
        bool timedOut = false;
    };
    void enterRaw(RawWait wait, std::uint64_t generation);
    // While callbacks wait: a handler on the driver's connection results that answers,
    // when a connection ends, the lines it took (device's mutex held).
    void hookRawEnds(ZelkorDriver& owner);
    void rawConnectionEnded(void* handle);
    // The waits' callbacks hear their lines' refusals with `reason` on the loop, a turn
    // later.
    void answerRawLater(std::vector<RawWait> ended, const char* reason);
    // Answers a wait with its line's refusal with `reason`, unless it timed out before.
    static void answerRaw(const RawWait& wait, const char* reason);
    void serveRaw(MessageSignalData& data);
    // Connects the handler of `word` unless connected (device's mutex held); false when
    // the driver raises no signal of the word.
    bool hookRaw(ZelkorDriver& owner, const std::string& word);
    // Takes out the handlers no waiting callback needs any more, to be cut after the
    // device's mutex (held) is released.
    std::vector<boost::signals2::connection> idleRawHandlers();
    // Cuts every word's handler; the waiting callbacks hear their refusals on the loop.
    void dropRawCommands();

    // The driver's subscription and event-subscription services, keeping the driver while
    // used; empty without them.
    std::shared_ptr<ISubscriptionService> subscriptions() const;
    std::shared_ptr<IEventSubscriptionService> eventSubscriptions() const;
    // Connects `filter` to the service's signal of `word` and keeps it in the slot, unless
    // the slot's cookie is connected (Already), the device is finalized, or the driver
    // (`withDriver` false) or the service is missing; the check and the connection are one
    // step under the device's mutex. With `made` it connects even when the slot is
    // connected, cutting the one there, and writes the new connection into `made` under
    // the same lock.
    enum class Hook { Connected, Already, Finalized, NoDriver, NoService };
    Hook hook(Cookie slot, bool withDriver, IServiceBase* service, const char* word,
              std::function<void(MessageSignalData&)> filter, boost::signals2::connection* made = nullptr);
    // A handler that passes `serve` the messages of its direction (replies or requests)
    // that come from this device; it owns the device while connected.
    std::function<void(MessageSignalData&)> sourceFilter(bool replies, std::function<void(const Message&)> serve);
    // Stores a callback under the device's mutex; the one it replaces goes after the lock
    // (its captures may own anything).
    template <class Callback>
    void store(Callback& member, Callback callback) {
        std::lock_guard<std::mutex> lock(_mutex);
        std::swap(member, callback);
    }
    // A copy of a callback, taken under the device's mutex, to be called outside it.
    template <class Callback>
    Callback copy(const Callback& member) const {
        std::lock_guard<std::mutex> lock(_mutex);
        return member;
    }
    // A locate reply is the device's by its routing or connection, or, as a datagram
    // (the request fell back to UDP), by its "guid".
    bool isOwnLocateReply(const MessageSignalData& data);
    // One OnLocate's filter: its connection, cut by the filter itself once it served.
    struct LocateWait;
    void serveLocate(MessageSignalData& data, const std::shared_ptr<LocateWait>& wait);
    // The driver's file transfer service, keeping the driver while used; empty before
    // InitFileTransfer.
    std::shared_ptr<IFileTransferService> fileTransfer() const;
    using FileSystemSend = void (IFileTransferService::*)(void*, const char*, MessageForwardInfo&);
    // A file-system request with its path on the connection a request takes; silently
    // nothing without the service or a connection.
    void fileSystemRequest(FileSystemSend send, const char* path);
    // Registers the result filter of a file-system word (replies only) in its slot.
    void hookFileSystemResult(Cookie slot, const char* word, std::function<void(const Message&)> serve);
    void serveFirmware(MessageSignalData& data);
    enum class EventForm { Value, Map, List };
    void serveEvent(MessageSignalData& data, EventForm fixed);

    const std::weak_ptr<ZelkorDriver> _driver;
    std::atomic<DeviceNetState> _state{DeviceNetStateNone};
    std::atomic<bool> _authenticated{false};
    std::atomic<bool> _wantsDescriptor{false};
    std::atomic<bool> _downloadingDescriptor{false};
    std::atomic<bool> _hasDescriptor{false};
    std::atomic<bool> _wantsConnections{false};
    std::atomic<bool> _runningScript{false};
    std::atomic<bool> _finalized{false};
    std::atomic<std::int64_t> _unreachedSince{Reached};
    std::atomic<std::chrono::steady_clock::time_point> _lostAt{};

    mutable std::mutex _mutex;
    NewDiscoInfo _record;
    MessageForwardInfo _forwardInfo;
    // The GUID the header's sender id was last digested from: every request sets it, and
    // the digest is taken again only when the GUID changed.
    std::string _hashedGuid;
    StateCallback _onStateChange;
    double _roundTripSum = 0;
    double _minRoundTrip = 0;
    double _maxRoundTrip = 0;
    double _avgRoundTrip = 0;
    std::uint64_t _roundTripCount = 0;

    mutable std::mutex _socketSetMutex;
    std::shared_ptr<TcpSocketSet> _socketSet;

    mutable std::mutex _remoteMutex;
    std::vector<RemoteInfo> _remotes;

    mutable std::mutex _proxyMutex;
    std::weak_ptr<DeviceImpl> _proxy;
    // The router this device was reached through before its current way (or none): the
    // answers to requests written through it still come from it.
    std::weak_ptr<DeviceImpl> _formerProxy;

    // The confirmed code and the code of the last verification-code request.
    mutable std::mutex _codeMutex;
    std::string _verificationCode;
    std::string _pendingVerificationCode;

    SignalCookies _cookies;
    // The subscription, poll, log, event and locate callbacks (device's mutex); their
    // cookies are the slots Cookie::Publish ... Cookie::UnsubLog. The locate wait is the
    // one filter that may serve the locate callback.
    ValuesCallback _onPublish;
    ValuesCallback _onSubscribe;
    ValuesCallback _onUnsubscribe;
    PollResultCallback _onPoll;
    SubscribePollCallback _onSubscribePoll;
    std::string _defaultPollName;
    UnsubscribePollCallback _onUnsubscribePoll;
    LocateCallback _onLocate;
    std::shared_ptr<LocateWait> _locateWait;
    NamedResultCallback _onSubscribeEvent;
    NamedResultCallback _onUnsubscribeEvent;
    EventValueCallback _onEventValue;
    EventMapCallback _onEventMap;
    EventListCallback _onEventList;
    TextCallback _eventResultCB = [](const std::string&) {};
    TextCallback _onSubLog;
    LogCallback _logCB = [](const unsigned long long&, const long&, const unsigned int&, const std::string&,
                            const std::string&) {};
    TextCallback _onUnsubLog;
    // The raw commands waiting for replies, oldest first, the handlers that serve them by
    // word, and the count of dropRawCommands (device's mutex).
    std::vector<RawWait> _rawWaits;
    std::map<std::string, boost::signals2::connection> _rawHandlers;
    boost::signals2::connection _rawEnds;
    std::uint64_t _rawGeneration = 0;
    // The file-system and firmware callbacks (device's mutex); their cookies are the
    // slots Cookie::Freespace ... Cookie::Firmware, the two firmware callbacks sharing one.
    FreespaceCallback _onFreespace;
    DeletefileCallback _onDeletefile;
    ListFilesCallback _onListFiles;
    DirCallback _onCreateDir;
    DirCallback _onRemoveDir;
    TextCallback _onFirmwareUpdateResult;
    TextCallback _onFirmwareUpdate;
    ProgressCallback _onFileProgress;
    // The set-IP callback (device's mutex); its cookie is Cookie::SetIP.
    std::function<void(SETIP_SETTINGS&)> _onSetIP;
};

}  // namespace Zelkor
