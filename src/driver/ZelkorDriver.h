#pragma once
// The one driver: owner of the event loop's work, the command-word map, the reply cache,
// the listeners and sockets and the services; every received line passes through its
// receive road and every sent line through its send operations.
//
// Ownership: always held in shared ownership (std::make_shared; CreateDriver keeps the
// process's one); asynchronous jobs hold it weakly. It owns its services, the list-command
// router and its tables; it shares the discovery given to it. Connections report to it
// through a plain pointer: when it goes it detaches itself from those still open.
//
// Threads: the receive road, the socket events and the services' handlers run on the
// thread inside Run (the loop). Sends, raw commands, switches and Stop may be called from
// any thread; what touches sockets or services hops onto the loop (on the loop it runs at
// once, so a service's reply is recorded before its request's handling returns). The
// custom and reply callbacks are kept under a lock and called from a copy. The reply
// cache has its own lock and nothing is sent while it is held. Configuration that shapes
// the driver (UseDiscovery, InitDiscovery, InitFileTransfer, InitCommandInterface) is
// meant for the time before Run.
// The network edge: listener configuration, the listen state, the TLS material and the
// local network queries may be used from any thread. A listen-state run works on the
// thread that asks for it (an add, Run, the discovery timer) and in that thread's
// network namespace; whole runs are serialised by their own mutex, taken before and never
// inside the driver's other locks, which are each held alone. The listener callbacks run
// after the run, with no lock held, so a callback may add a listener itself.
//
// Memory: constructing the driver fixes the C library's threshold for mapping large blocks
// apart at its default (128 KiB), which would otherwise rise after the first long line and
// leave the heap holding every later one; an application that wants another threshold sets
// it after constructing the driver.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/signals2/connection.hpp>

#include "core/ICombineMessageSignalMaps.h"
#include "core/IServiceBaseImpl.h"
#include "core/ISignalObserver.h"
#include "core/Signal.h"
#include "core/ZelkorLoggable.h"
#include "driver/ConnectionResult.h"
#include "driver/DatagramRequests.h"
#include "driver/DriverTransferDevices.h"
#include "driver/ForwardedRequests.h"
#include "driver/ICryptoInfo.h"
#include "driver/IDriverDiscovery.h"
#include "driver/IFolderNavigatorService.h"
#include "driver/IServiceSender.h"
#include "driver/IZelkorDriver.h"
#include "driver/LiveSockets.h"
#include "driver/Packet.h"
#include "driver/ReplyCache.h"
#include "driver/PassedNames.h"
#include "driver/ReturnRoutes.h"
#include "driver/SilentRequesters.h"
#include "transport/InterfaceInfo.h"
#include "transport/NetworkInfo.h"
#include "transport/SocketSink.h"
#include "transport/TcpServerEventSink.h"

class StorageModel;

namespace Zelkor {

class DeviceStateService;
class CommandInterfaceService;
class DiscoveryService;
class EventSubscriptionService;
class FileTransferService;
class FolderModificationService;
class IFolderModificationService;
class ListCommandRouter;
class Message;
class SubscriptionService;
class Socket;
class TcpServer;
class TcpSocket;
class UdpSocket;

class ZelkorDriver : public IZelkorDriver,
                     public IFolderNavigatorService,
                     public ISignalObserver<MessageSignalData>,
                     public ISignalObserver<Packet>,
                     public IServiceBaseImpl<IServiceBase>,
                     public ICombineMessageSignalMaps,
                     public ICryptoInfo,
                     public SocketSink,
                     public TcpServerEventSink,
                     public IServiceSender,
                     public ZelkorLoggable,
                     public std::enable_shared_from_this<ZelkorDriver> {
public:
    using TimePoint = SocketSink::TimePoint;
    // The protocol's well-known UDP port.
    static constexpr unsigned short ProtocolPort = 4197;
    // How long Stop lets the closes it made finish (goodbyes written) before it ends the loop.
    static constexpr std::chrono::milliseconds StopFlushTime{2000};

    explicit ZelkorDriver(boost::asio::io_context& context);
    // On a context the driver shares: the context lives as long as the driver, whoever
    // lets go of it first (the library's own context, made by CreateDriver).
    explicit ZelkorDriver(std::shared_ptr<boost::asio::io_context> context);
    ~ZelkorDriver() override;
    ZelkorDriver(const ZelkorDriver&) = delete;
    ZelkorDriver& operator=(const ZelkorDriver&) = delete;

    // The connection handle of a socket, and back: the address of its Socket part.
    static void* HandleOf(Socket* socket) { return socket; }
    static Socket* SocketOf(void* handle) { return static_cast<Socket*>(handle); }
    // The connection's tag in log lines: the last four characters of its address.
    static std::string Tag(const void* handle);

    // --- IZelkorDriver -----------------------------------------------------------------
    void Refresh() override;
    int AddListener(const std::string& ip, unsigned short port, const std::string&, const std::string&, bool,
                    const std::string&) override;
    int AddListener(const std::string& ip, unsigned short port) override;
    bool RemoveListener(const std::string& ip, unsigned short port) override;
    bool RemoveListener(const std::string& ip) override;
    bool AddInterface(const std::string& mac, unsigned short port) override;
    void RemoveInterface(const std::string& mac) override;
    void RemoveInterface(const std::string& mac, unsigned short port) override;
    int AddAllListeners(unsigned short port, std::vector<std::string>& endpoints) override;
    void RemoveAllListeners() override;
    void RemoveAllListeners(unsigned short port) override;
    bool AddNetwork(const std::string& network, unsigned short port) override;
    void RemoveNetwork(const std::string& network, unsigned short port) override;
    void RemoveNetwork(const std::string& network) override;
    bool AddMulticast(const std::string& group) override;
    bool RemoveMulticast(const std::string& group) override;
    void UseIPv6(bool on) override { _useIPv6.store(on); }
    bool ConnectionPolicyIsLazy() override;
    bool ParentPathsAllowed() override;
    void ListMulticast(std::vector<std::string>& groups) override;
    void ListInterfaces(std::vector<InterfaceInfo>& list, std::string& hostName) override;
    void GetEndPoints(std::vector<Endpoint>& endpoints) override;
    void GetEndPointInterfaces(std::vector<std::string>& names) override;
    void OnListenerAdded(ListenerCallback callback) override;
    void OnListenerRemoved(ListenerCallback callback) override;
    void OnListenerFailed(ListenerFailedCallback callback) override;
    void DisconnectAllExcept(void* handle) override;
    bool SplitRawCommand(const std::string& line, std::string& word, std::string& json) override;
    ICryptoInfo* GetCryptoInfo() override { return this; }
    void GetVersionInfo(VersionInfo& info) override;
    void SetCWDPath(std::string path) override;
    std::string GetCWDPath() override;
    // Makes the discovery service over the storage (its facade takes ownership of a plain
    // pointer), initialises it and merges its words. Null and a second discovery are
    // refused.
    void InitDiscovery(IStorage* storage) override;
    void InitDiscovery(std::shared_ptr<IStorage> storage) override;
    // Makes the device-state service over the object (null: nothing) and routes the list
    // option "presets" to it; a second call is refused (ZK78F1E), as the word map holds
    // the first service's signals. The file transfer service joins here once built.
    void InitFileTransfer(IDeviceState* deviceState) override;
    unsigned long GetFileTransferCount() override;
    // Makes the command interface and merges its word; a second call returns the first
    // (the driver's map keeps the first service's word).
    ICommandInterfaceService* InitCommandInterface() override;
    void Run() override;
    std::string GetResponseError(const std::string& line) const override;
    IFileTransferService* GetFileTransferService() override;
    IDiscoveryService* GetDiscoveryService() override;
    ISubscriptionService* GetSubscriptionService() override;
    // A requester behind a router said goodbye on the router's connection, or the router
    // said it is gone (requesterGone): what it subscribed to and the transfers answered
    // here for it go, the connection and the other requesters' subscriptions and transfers
    // stay. The one road by which every service hears of it.
    void ForgetRoutedRequester(void* handle, const MessageForwardInfo& header) override;
    // True while a peer on the connection holds a subscription of any kind. Loop thread.
    bool HoldsSubscriptions(void* handle);
    // A peer on the connection waits for an answer this node works on (a listing's
    // digests, a removal): it has nothing to say meanwhile.
    bool OwesDiskWork(void* handle);
    // Made by InitFileTransfer; null before.
    IDeviceStateService* GetDeviceStateService() override;
    // Made by InitDiscovery (and UseDiscovery) after the subscription service.
    IEventSubscriptionService* GetEventSubscriptionService() override;
    void DumpTraffic(bool on) override { _dumpTraffic.store(on); }
    void RegisterExternalLogger(std::function<void(std::string&)> logger) override;
    void SetLogLevel(unsigned long& level) override;
    void SetLogPath(std::string& path) override;
    void SetLogPrefix(std::string& prefix) override;
    void SetLogBase(std::string& base) override;
    void SetLogSuffix(std::string& suffix) override;
    void SetWritePrelog(bool on) override;
    void SetWriteFile(bool on) override;
    void SetWriteConsole(bool on) override;
    void OnCustomCommand(CustomCallback callback) override;
    void OnCustomCommandResponse(CustomCallback callback) override;
    std::shared_ptr<IDevice> GetDeviceByName(std::string& name) override;
    void GetAbsPath(std::string& path) override;
    void ProcessLsPath(std::string& path, std::vector<std::pair<std::string, std::string>>& entries) override;
    void ProcessRlsPath(std::string& path, std::vector<std::pair<std::string, std::string>>& entries) override;
    void OnLs(ReplyCallback callback) override;
    void OnRls(ReplyCallback callback) override;
    void OnCd(ReplyCallback callback) override;

    // --- life ----------------------------------------------------------------------------
    // Gives the driver its discovery (the seam the discovery service implements):
    // initialises it and merges its words. Null and a second discovery are refused.
    void UseDiscovery(std::shared_ptr<IDriverDiscovery> discovery);
    // Stops the driver: closes what it serves, stops the discovery, then ends the loop
    // once those closes have run and the goodbyes they write are out, or after
    // StopFlushTime. On the loop thread it returns at once; from another thread it waits
    // (bounded) until Run has left the loop. A stopped driver stays stopped.
    void Stop();
    // Whether Run is turning the loop now; whether the calling thread is the loop's.
    bool IsRunning();
    bool OnLoopThread() const { return onLoopThread(); }
    // Waits, at most as long as Stop waits, for Run to return; true once it has.
    bool WaitUntilRunEnds();
    bool IsStopped() const { return _stopped.load(); }
    // Replaces an empty "/configuration/device/name" with the host name; false when the
    // name could not be read or written.
    bool ReplaceEmptyDevNameToHostname();
    void UpdateDiscoReplyValue(const std::string& name, const std::string& value) override;

    // Gives the driver another subscription service (a test's own): it replaces the one
    // InitDiscovery made, which is finalised and kept (the driver's word map holds its
    // signals), and the storage reports to the given one. Given before InitDiscovery, it
    // is replaced by the one InitDiscovery makes. Null is ignored.
    void UseSubscriptionService(std::shared_ptr<ISubscriptionService> subscriptions);

    // --- services and contexts (null while a service does not exist) -------------------
    IDriverDiscovery* GetDriverDiscovery();
    // The discovery service InitDiscovery made; null before, and with UseDiscovery.
    DiscoveryService* GetDiscovery();
    // Made by InitCommandInterface.
    ICommandInterfaceService* GetCommandInterfaceService();
    // Made by InitDiscovery (and UseDiscovery) over the discovery's storage facade.
    IFolderModificationService* GetFolderModificationService();
    boost::asio::io_context& GetIoContext() { return _io; }
    boost::asio::ssl::context& GetSSLContext() { return _sslContext; }
    // Raised for every connection made, refused or closed (by the network edge).
    Signal<ConnectionResult>& ConnectionResults() override { return _connectionResults; }
    // The handle's TCP connection's waiting bytes and bound; loop thread.
    QueuedOutput QueuedOutputOf(void* handle) override;
    Signal<MessageSignalData>* ErrorReplies() override { return &_errorSignal; }
    std::string AnsweredWord(void* handle) override;
    std::uint64_t RequestsTaken(void* handle) override;

    // --- command words -------------------------------------------------------------------
    // Merges one word of a service: a word already in the map keeps its first entry.
    void SetMessageSignalFactory(const MessageSignalFactory& factory) override;
    boost::signals2::connection AddHandler2(const std::string& word, IServiceBase::Handler handler) override;
    // The driver's own word "error": echoes a request, and an "@error" ends a TLS
    // handshake under way (back to plain); a secured connection stays secured.
    void SignalRaised(MessageSignalData& data) override;

    // --- receive road --------------------------------------------------------------------
    // One received line, handled on the loop. A handler's exception is logged (ZK7863E)
    // and ends neither Run nor the connection's reading.
    void SignalRaised(Packet& packet) override;
    // Called for every reply sent over TCP: a reply for a request in the reply cache is
    // kept there and sent to the connections waiting for it.
    void RecordReply(void* handle, const std::string& hash, const std::string& word, const std::string& reply);
    // The 23 words a peer authenticated with the code (not Kasdor) may request.
    static bool IsAuthenticatedCommand(const std::string& word);
    // An error reply to a request (nothing for a reply); `header` is already turned round.
    // The body is {"error":text}, written by the JSON library, so any text stays one line.
    void SendErrorReply(Packet& packet, const std::string& command, const std::string& text, MessageForwardInfo& header);
    void SetReplyCacheLimits(const ReplyCache::Limits& limits) { _replyCache.SetLimits(limits); }
    std::size_t ReplyCacheSize() const { return _replyCache.Size(); }

    // --- sending -------------------------------------------------------------------------
    // A line that is empty or holds "\n" before its end is never sent (logged ZK78F2E).
    // TCP: through the connection, a reply also into the reply cache; UDP or null handle:
    // datagrams to port 4197 on every listened interface.
    void BuildAndSendMessage(void* handle, Message& message, bool request) override;
    // Builds now, sends from a job on the loop; nothing when the driver is gone by then.
    // A TCP reply goes into the reply cache as with BuildAndSendMessage.
    void BuildAndSendMessageDelayed(void* handle, Message& message, bool request) override;
    // TCP: through the connection, a reply also into the reply cache; UDP: one datagram
    // back to the last sender.
    void BuildAndSendUnicastMessage(void* handle, Message& message, bool request) override;
    // A built request line to the handle's TCP connection, with whether it took the line
    // reported on the loop right after (IServiceSender). A throwing connection counts as
    // not taken.
    void SendRequest(void* handle, std::string line, SendResult done) override;
    // Posted to the loop, holding the driver weakly.
    void AnswerLater(std::function<void()> answer) override;
    void SendReply(void* handle, const std::string& line, const std::string& hash, const std::string& word) override;
    // A ready line on a handle: TCP only to a connection the discovery knows as live.
    void BuildAndSendRawCommand(void* handle, const std::string& text, bool request);
    void SendDataToPeer(std::shared_ptr<TcpSocket> socket, const std::string& text, bool request);
    // TCP handles only; another kind sends nothing (ZK78F3W).
    void SendDataToPeer(void* handle, const std::string& text, bool request);
    bool IsReliableTransport(void* handle);
    void SendMulticastMessage(const std::string& text, unsigned short port);
    void SendFrame(const std::string& text, const boost::asio::ip::address& destination, unsigned short port,
                   unsigned short sourcePort, const std::string& interfaceName);
    // From a fresh UDP socket bound to localPort; a bind failure is logged (ZK78A1).
    void SendFrame(const std::string& text, const boost::asio::ip::address& destination, unsigned short port,
                   unsigned short localPort);
    // UDP handles only; another kind sends nothing (ZK78F3W).
    void SendFrame(const std::string& text, void* handle);

    // Loop thread, at each discovery tick: every request made with a callback that has
    // waited for its reply longer than `limit` (0: none ever does) is answered now with
    // "timeout", gets and sets in each entry, execs as the result, raw lines as their
    // refusal; its place stays for the late reply, which then goes to nobody.
    void ExpireRequests(std::chrono::milliseconds limit);
    // A router's forwarded notices that their requesters left unanswered past their bound
    // (ForwardedRequests::NoticeBound, counted from the write's completion, or, for one
    // still waiting, over the requester's own unanswered notices ahead of it) are refused
    // to their devices, whose connections they hold, and so are those waiting behind them;
    // such a requester's notices are then refused at once for a time (SilentRequesters). Loop thread; the discovery timer
    // calls it, a test with a later `now`.
    void ExpireForwardedNotices(std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());

    // --- raw commands and switches -------------------------------------------------------
    // Builds the message of a raw line's word and sends it as a request with the header.
    // An "exec" line goes through the command interface, onReply taking the line's place
    // among the connection's exec requests once the connection took it (without command
    // interface it is not sent). `sent` hears on the loop whether the connection took the
    // line (false for a line not sent, and for a handle that is no TCP connection).
    // "get" and "set" lines go through the folder modification service, onReply likewise
    // held in the line's place among the connection's requests of the word (their replies
    // also reach the default handler). Any other word's onReply is not used: the caller
    // waits for the reply on the word's signal. A line that does not read as its word's
    // request is not sent and answers nothing; one the connection did not take, or whose
    // connection ends before its reply, has onReply answered with the line's refusal
    // (EndedRequestText of RawRequestLine) for "connection lost": the services do so for
    // their words, the caller for the others. `sent` hears false a loop turn later, never
    // inside this call.
    void SendRawCommand(void* handle, const char* raw, MessageForwardInfo& header,
                        std::function<void(const std::string&)> onReply, SendResult sent = nullptr);
    // The request line SendRawCommand builds of a raw line with the header; "" for a line
    // that does not read as its word's request, which is never sent.
    std::string RawRequestLine(const char* raw, const MessageForwardInfo& header);
    boost::signals2::connection AddRawCmdHandler(const char* raw, std::function<void(MessageSignalData&)> handler);
    void BroadcastUDP(bool on);
    void SubnetUDP(bool on);
    // Limited and subnet-directed broadcast in multicast sends; the localhost flag is kept
    // only. All on at start.
    void SetBroadcast(bool on) { _broadcast.store(on); }
    void SetSubnetBroadcast(bool on) { _subnetBroadcast.store(on); }
    void SetLocalhostBroadcast(bool on) { _localhostBroadcast.store(on); }

    // --- socket events (SocketSink, TcpServerEventSink) ----------------------------------
    void SocketAccepted(std::shared_ptr<TcpSocket> socket) override;
    void SocketConnected(std::shared_ptr<TcpSocket> socket, bool outgoing) override;
    void SocketSecured(std::shared_ptr<TcpSocket> socket) override;
    void SocketRejected(std::shared_ptr<TcpSocket> socket) override;
    void SocketClosed(std::shared_ptr<TcpSocket> socket) override;
    void MessageReceived(std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header, TimePoint requestSent,
                         TimePoint received) override;
    void MessageReceived(std::shared_ptr<UdpSocket> socket, MessageForwardInfo& header) override;
    void MessageBlockSent(std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) override;
    void MessageBlockReplySent(std::shared_ptr<TcpSocket> socket) override;
    void RequestEnded(std::shared_ptr<TcpSocket> socket, const std::string& line, const std::string& reason) override;
    void LogTraffic(bool incoming, const boost::asio::ip::tcp::endpoint& remote, const std::string& text,
                    bool tls) override;
    void LogTraffic(bool incoming, const boost::asio::ip::udp::endpoint& remote, const std::string& text) override;
    bool IsListener(const boost::asio::ip::address& address, unsigned short port) override;
    void IPv4Address(std::string& address, unsigned short& port, std::string interfaceName) override;
    void CloseSocket(std::shared_ptr<UdpSocket> socket) override;
    void SetRequestTime(std::shared_ptr<TcpSocket> socket, std::int64_t seconds) override;
    void ClearRequestTime(std::shared_ptr<TcpSocket> socket) override;
    std::uint64_t MaxQueueDepth() override;
    void RemoveIncomingConnection(const std::shared_ptr<TcpSocket>& socket);
    // Every TCP connection that still reports to the driver, whoever made it.
    std::vector<std::shared_ptr<TcpSocket>> LiveConnections() const { return _live.Connections(); }
    void RemovePendingConnection(const std::shared_ptr<TcpSocket>& socket);
    ConnectionResult PopulateConnectionResult(const std::shared_ptr<TcpSocket>& socket, bool connected);

    // --- network edge: TLS material -----------------------------------------------------
    std::string GetCert() override;
    std::string GetKey() override;
    std::string GetDHParams() override;
    void SetCert(std::string& pem) override;
    void SetKey(std::string& pem) override;
    void SetDHParams(std::string& pem) override;
    unsigned long GetTlsLevel() override { return _tlsLevel.load(); }
    void SetCertFile(std::string& path) override;
    void SetKeyFile(std::string& path) override;
    void SetDHParamsFile(std::string& path) override;
    void SetTlsLevel(unsigned long level) override { _tlsLevel.store(level); }
    void SetRequireTls(bool on) override { _requireTls.store(on); }
    bool GetRequireTls() override { return _requireTls.load(); }
    // Makes sure a certificate and key exist: without both, a self-signed pair for the
    // node's GUID replaces both texts, or neither when a step fails. One at a time.
    void InitCrypto();
    // Loads the texts into the TLS context (Run does, after InitCrypto).
    void InitSSLContext();

    // --- network edge: listen state -------------------------------------------------------
    // Replaces the interface list with the host's adapters, one record per address, as
    // the calling thread's network namespace has them.
    void BuildNetworkInfo();
    // Closes what is no longer present, up, wanted or allowed, publishes the served
    // interfaces' address values, and opens what is wanted and present; then reports
    // the listeners closed and opened. Does nothing once the driver is stopped.
    void UpdateListenState();

    // --- network edge: local network information ----------------------------------------
    // The adapter whose up interface holds the address (IPv4: in its subnet); "" when none.
    std::string GetEndPointInterface(const boost::asio::ip::address& address);
    void GetInterfaceEndPoints(const std::string& name, std::set<Endpoint>& endpoints);
    // The first listening record that serves the address (same subnet; same /64 for IPv6,
    // and for a link-local address the same link), copied into `out`.
    bool GetLocalInfo(const boost::asio::ip::address& address, NetworkInfo* out);
    static void SetLocalInfo(const NetworkInfo& record, NetworkInfo* out);
    bool IsLocalMAC(const std::string& mac) override;
    void SetTransferBlockSize(std::size_t blockSize) override;

    // --- folder navigation ---------------------------------------------------------------
    void SendNavigateFolder(std::shared_ptr<TcpSocketSet> set, const char* path, MessageForwardInfo& header) override;
    void SendNavigateFolder(std::shared_ptr<TcpSocket> socket, const char* path) override;
    void SendListFolder(std::shared_ptr<TcpSocketSet> set, const char* path, MessageForwardInfo& header) override;
    void SendListFolder(std::shared_ptr<TcpSocket> socket, const char* path) override;
    void SendRecurseFolder(std::shared_ptr<TcpSocketSet> set, const char* path, MessageForwardInfo& header) override;
    void SendRecurseFolder(std::shared_ptr<TcpSocket> socket, const char* path) override;
    // True when the word is "ls", "rls" or "cd": the driver answered it, handed its reply
    // to the callback, or dropped it (any of the three over UDP).
    bool ProcessFolderNavigatorCommand(const std::string& word, MessageSignalData& data);
    // A request is answered on its connection with the listing below its "path" (the
    // working folder when empty; at most MaxEntriesPerMessage() places, the last of a cut
    // listing being {"error":"Too many entries"}) and recorded for its sender hash; a reply
    // goes to the OnLs or OnRls callback.
    void ProcessLsCmd(MessageSignalData& data);
    void ProcessRlsCmd(MessageSignalData& data);
    // A request moves the working folder ("/", "~", ".." unchecked; any other folder only
    // when the tree reads it) and is answered {"path": folder} or {"error": "Path not
    // found" / "Storage Error"}; a reply goes to the OnCd callback.
    void ProcessCdCmd(MessageSignalData& data);
    // The discovery's storage facade; false, logged (ZK6400E, ZK6401E), when there is none.
    bool GetStorage(std::shared_ptr<StorageModel>& out);
    // On the set's connected primary and, redundant, its connected secondary; on the
    // connected secondary alone when the primary is not connected.
    void SendDataToPeer(std::shared_ptr<TcpSocketSet> set, const std::string& text, bool request);

    // --- who speaks for a node (for the discovery service, on the loop) ------------------
    // `claimant` proves it comes from the unit at the other end of `other` (sameUnit).
    bool SameUnit(const std::shared_ptr<TcpSocket>& claimant, const std::shared_ptr<TcpSocket>& other);
    // Another connection than `from` speaks for the node of that name, and `from` does not
    // prove it comes from the same unit: the connection of a device of that name this node
    // is connected to from another host (`yielding` aside: one about to give way to
    // `from`), or the one that holds the name as a requester's; or, unless `from` proved
    // the code, the name is in the grace of a requester's closed connection from another
    // address.
    bool NameSpokenElsewhere(const std::string& name, const std::shared_ptr<TcpSocket>& from,
                             const TcpSocket* yielding);

private:
    using Listing = std::vector<std::pair<std::string, std::string>>;
    // Appends (path, value text) for the places below the path, at most
    // MaxEntriesPerMessage(); false when the tree held more.
    bool listFolder(StorageModel& storage, const std::string& path, bool recursive, Listing& entries);
    void answerListing(MessageSignalData& data, bool recursive, const ReplyCallback& slot);
    // True when nothing is left to answer: no message, or a reply, given to the callback
    // in `slot` when one is set.
    bool passReply(MessageSignalData& data, const ReplyCallback& slot);
    void sendFolderReply(MessageSignalData& data, const char* word, const std::string& json);

private:
    // The message of a raw line's word read from its JSON, with its word; null (logged
    // when `log`) for an unknown word or a body its message does not read.
    std::unique_ptr<Message> readRaw(const char* raw, std::string& word, bool log);
    // Tells `done` (when set) on a later loop turn that its line was not taken.
    void reportNotTaken(SendResult done);
    // Runs `fn` on the loop: at once on the loop thread, else posted (dropped when the
    // driver is gone by the time it would run).
    template <class Fn>
    void onLoop(Fn&& fn);
    bool onLoopThread() const { return _io.get_executor().running_in_this_thread(); }

    std::shared_ptr<IDriverDiscovery> discovery() const;
    FolderModificationService* folderModification() const;
    std::shared_ptr<FileTransferService> fileTransfer() const;
    // A connection's line limit and output budget: the transfer block size plus the line
    // allowance.
    void applyLineLimits(TcpSocket& socket) const;
    CommandInterfaceService* commandInterface() const;
    void initDiscoveryImpl();
    bool refuseSecondDiscovery();
    void initDiscovery(std::shared_ptr<DiscoveryService> service);

    // Receive road steps.
    void handlePacket(Packet& packet);
    bool admitDuplicate(Packet& packet, const std::string& command);
    // A reply that came as a datagram answers a request this node sent lately as one (to
    // its sender, or to every node); logged when it does not.
    bool answersOwnDatagram(const Packet& packet, const std::string& command);
    // Sends a line meant for a node further on to the next one, its body as it came.
    void forward(Packet& packet, IDriverDiscovery& discovery, const std::string& command, MessageFactoryFunction create,
                 const std::string& next);
    // Sends a request on towards the node beyond, remembering how to refuse it should the
    // connection end before its reply; one the connection does not take is refused at once.
    void forwardRequest(Packet& packet, IDriverDiscovery& discovery, const std::shared_ptr<TcpSocket>& onward,
                        std::string line, std::size_t headLength, const std::string& command);
    // Answers the requests of this node's own that `socket`, now closed, had not seen
    // answered, where the services and devices await their replies.
    void answerLost(TcpSocket& socket);
    // What routing keeps for a connection that ended goes: the names it owned, and the
    // forwarded requests it carried unanswered, refused to their requesters.
    void forgetConnection(const TcpSocket& ended);
    // Devices' connections and the requester names refused a notice there already.
    using Told = std::set<std::pair<const TcpSocket*, std::string>>;
    // Requester names that ended on their owner (closed, passed on, or given up for room):
    // each device their requests went to is told that the requester is gone, by the
    // refusal it takes for that, before anything this node forwards to it later (unless
    // `told` already).
    void tellEnded(const std::vector<ReturnRoutes::Ended>& ended, const Told& told);
    // A name that passed from its owner to another connection, or was given up: the old
    // owner's notices waiting here are refused, and the devices are told.
    void endPassed(const std::vector<ReturnRoutes::Ended>& ended);
    // A notice of a requester name that ended, written before its device heard so: it is
    // answered as its requester would, and goes no further.
    void acknowledgeStale(Packet& packet, const std::string& command, MessageFactoryFunction create);
    // The words a requester subscribes with: what they leave at the device is dropped when
    // a notice to the requester is refused.
    static bool subscribes(const std::string& command);
    Told refuseUnanswered(const TcpSocket& ended);
    // `text`: the refusal's, else that of a connection that ended.
    void refuseForwarded(const ForwardedRequests::Pending& pending, const char* text = nullptr);
    // A device's notice for a requester refused for a time, or for a connection blocked
    // by one (logged here).
    bool refusesNotice(const MessageForwardInfo& header, const TcpSocket& onward);
    // A requester from `source` left a notice unanswered: refused for a time (logged).
    void silent(const std::string& requester, const TcpSocket* connection, const boost::asio::ip::address& source,
                bool own, std::chrono::steady_clock::time_point now, std::chrono::steady_clock::duration period);
    // The requester of a notice refused unanswered on `onward` is refused for a time; its
    // other notices there, refused with it.
    std::vector<ForwardedRequests::Refused> silenced(const ForwardedRequests::Refused& expired, const TcpSocket& onward,
                                                     std::chrono::steady_clock::time_point now,
                                                     std::chrono::steady_clock::duration period);
    void stepBack(Packet& packet, const std::string& command, const std::string& text);
    void customCommand(Packet& packet, const std::string& command, const std::string& line);
    // Null when the connection may make the request; else the refusal's text (logged here).
    // `known`: the word is in the command table; the application's own words need an
    // authenticated peer, not the list of the protocol's words.
    // `forwarded`: the request goes on to a node beyond this one.
    const char* authorise(Packet& packet, IDriverDiscovery& discovery, const std::string& command, bool known,
                          bool forwarded);
    const char* refuseOnPlain(const TcpSocket& socket, const std::string& command, bool forwarded);
    // The answer to a proof forwarded for the requester: its outcome goes to the bounds on
    // guessing, and a refusal counts against the requester's connection.
    void countRefusedProof(IDriverDiscovery& current, const MessageForwardInfo& reply, TcpSocket& requester);
    // One more refused proof of the requester's: its connection closes after as many as
    // a node allows.
    void closeAfterRefusedProofs(TcpSocket& requester);
    // The strict rule is on and the node holds a code.
    bool strict(IDriverDiscovery& discovery) const;
    // The words a device sends unasked toward the node that asked it: they pass on a
    // connection this node opened, and go back along a requester's return route.
    static bool isRouteNotice(const std::string& command);
    // A notice on a connection this node opened (logged when it passes for that).
    bool noticeOfReachedDevice(const TcpSocket& socket, const std::string& command);
    // A keep-alive asked of this node by a node it connected to (logged when it passes for
    // that).
    bool keepAliveOfReachedNode(const TcpSocket& socket, const std::string& command, bool forwarded);
    // A reply that came on `from` answers in the name of a node another connection speaks
    // for: a device this node is connected to from another host, or a requester whose name
    // another connection holds (as ReturnRoutes::Claim would refuse it), unless `from`
    // proves it comes from that node (sameUnit). A device's connection `yielding` (one
    // about to give way to `from`) speaks for nobody.
    bool replyInAnothersName(IDriverDiscovery& current, const std::string& name,
                             const std::shared_ptr<TcpSocket>& from, const TcpSocket* yielding = nullptr);
    // The connection of the device of that name, once its peer answered discovery on it,
    // as it speaks for the name against `from`: none when it is a connection its peer made
    // and proved nothing on, and `from` is the live requester that holds the name (a record
    // a stranger was let make under a requester's name).
    std::shared_ptr<TcpSocket> connectionOfDevice(IDriverDiscovery& current, const std::string& name,
                                                  const std::shared_ptr<TcpSocket>& from);
    // `name` is that of a device this node is connected to from another host, and `from`
    // does not prove it comes from that device.
    bool nameOfAnotherDevice(IDriverDiscovery& current, const std::string& name,
                             const std::shared_ptr<TcpSocket>& from);
    // `from` claims `name` for the request it forwards: as ReturnRoutes::Claim, but a
    // holder that `from` proves it shares a unit with yields the name at once.
    // `way`: the header the request goes on with, for a request of the requester's own.
    ReturnRoutes::Claimed claimName(IDriverDiscovery& current, const std::string& name,
                                    const std::shared_ptr<TcpSocket>& from, const std::shared_ptr<TcpSocket>& onward,
                                    const ReturnRoutes::Way* way);
    // What a claim asks of a name's owner besides its last line: whether it awaits an
    // answer here, or had one less than `quiet` ago.
    ReturnRoutes::Awaits awaitsAnswer(ReturnRoutes::Clock::time_point now, ReturnRoutes::Clock::duration quiet) const;
    // `own` is another connection than `from`, to another host, that `from` does not
    // prove it shares a unit with.
    bool anotherUnit(IDriverDiscovery& current, const std::shared_ptr<TcpSocket>& own,
                     const std::shared_ptr<TcpSocket>& from);
    // `claimant` proves it comes from the unit at the other end of `other`: both peers
    // answered discovery with one GUID, and the claimant proved the code where this node
    // holds one, or holds the key that `other`'s peer showed.
    bool sameUnit(IDriverDiscovery& current, const std::shared_ptr<TcpSocket>& claimant,
                  const std::shared_ptr<TcpSocket>& other);
    void dispatch(MessageSignalData& data, Packet& packet, IDriverDiscovery& discovery, const std::string& command);
    // A reply over a connection to a notice this node sent toward a requester behind a
    // router ("publish", "log", "event", a served get's "block"), refused "Device not
    // found" or "Device not connected": the router says the requester is gone, and it is
    // forgotten (ForgetRoutedRequester). The reply goes on to its word's handlers all
    // the same.
    void requesterGone(const MessageSignalData& data, const std::string& command);
    // A file-system or firmware reply that could not be read reaches its word's signal as
    // an error reply with the reader's text.
    void refuseUnreadableReply(Packet& packet, IDriverDiscovery& current, const std::string& command,
                               MessageForwardInfo header, const std::string& text);
    // A reply line on the packet's connection, recorded against the request's hash.
    void sendReply(Packet& packet, const std::string& command, const std::string& text, const MessageForwardInfo& header);
    static void leaveHandshake(TcpSocket& socket);

    // Sending.
    // False, logged, for a text that is no single non-blank line.
    bool sendable(const std::string& text);
    // A request among the datagrams leaving for `destination` (the unspecified address:
    // every node) is recorded, for its replies to be heard. When it leaves by a served
    // interface (`through`; null: the one the system picks) whose subnet's broadcast
    // address it is, it reached that subnet.
    void noteDatagram(const std::string& text, const boost::asio::ip::address& destination,
                      const std::string* through = nullptr);
    // The subnet of a served IPv4 address, on the interface named (any, when empty),
    // whose broadcast address `destination` is.
    std::optional<DatagramRequests::Subnet> servedBroadcastSubnet(const boost::asio::ip::address& destination,
                                                                  const std::string& interfaceName) const;
    void sendLine(void* handle, const std::string& text, bool request, const MessageForwardInfo& header,
                  const std::string& word, bool record);
    // The live socket of a handle; `stale` (logged) for a handle whose socket is gone.
    std::shared_ptr<Socket> liveSocket(void* handle, bool& stale);
    std::shared_ptr<TcpSocket> tcpOf(void* handle);
    // The connection a routing table knows by its address, while it lives: the address is
    // its handle, looked up, never written through.
    std::shared_ptr<TcpSocket> liveConnection(const TcpSocket* known);
    std::shared_ptr<UdpSocket> udpOf(void* handle);

    // Listen state.
    // One address of one host adapter: the record the application sees, with the
    // address and its IPv4 mask read once.
    struct HostAddress {
        InterfaceInfo info;
        boost::asio::ip::address address;
        std::uint32_t mask = 0;
        // The address text a wish names this record by: IPv4 when it has one.
        const std::string& Text() const { return info.ipv4Text.empty() ? info.ipv6Text : info.ipv4Text; }
    };
    // What one run closed, opened and failed to open, reported once the run is over.
    struct ListenChanges {
        std::vector<Endpoint> removed;
        std::vector<Endpoint> added;
        // (end point, reason), each failure not told before.
        std::vector<std::pair<Endpoint, std::string>> failed;
    };
    void runListenState(ListenChanges& changes);
    void forgetToldFailures(unsigned short port);
    void reportListenChanges(const ListenChanges& changes);
    void publishInterfaceValues(const std::vector<NetworkInfo>& records);
    // Opens the TCP listener and UDP sockets of one end point (and the port's any-address
    // sockets the first time); true when it opened them. Inside a listen-state run only.
    // A failure the application is to hear of leaves its reason in `failure`; one it
    // asked for (excluded) or nothing to do (served already) leaves it empty.
    bool Listen(const std::string& mac, const std::string& net, const std::string& ip, unsigned short port,
                const std::string& subnet, const std::string& gateway, bool dhcp, std::string& failure);
    void Unlisten(const boost::asio::ip::address& address, unsigned short port);
    // An end point served already keeps its sockets; its record takes the interface's
    // current mask, gateway and DHCP flag. True when it is served.
    bool refreshListening(const std::string& ip, unsigned short port, const std::string& subnet,
                          const std::string& gateway, bool dhcp);
    // Opens the port's any-address pair; without IPv6 on the host, the IPv4 one alone.
    bool listenAnyAddress(unsigned short port, const std::string& net, const std::string& mac,
                          std::shared_ptr<UdpSocket>& v4, std::shared_ptr<UdpSocket>& v6, std::string& failure);
    // Membership of the IPv6 discovery group on an interface, for the port's "::" socket.
    void joinDiscoveryGroup(unsigned short port, unsigned int interfaceIndex, bool join);
    // The any-address socket of the port for the family; empty when none.
    std::shared_ptr<UdpSocket> anySocket(unsigned short port, bool v6);
    // Replaces one TLS text with a file's content (a bad path empties it, with the warning).
    void applyFile(const std::string& path, std::string& text, const char* warning);
    // The driver's end: nothing it opened reports to it or serves any more.
    void closeServed();
    bool excludedLocked(const std::string& ip, unsigned short port) const;

    // Stop.
    void stopOnLoop();
    void finishStop();
    void checkDrained();

    // First, so that it goes last: everything below may use the context to the end.
    std::shared_ptr<boost::asio::io_context> _ownedContext;
    boost::asio::io_context& _io;
    Signal<ConnectionResult> _connectionResults;
    Signal<MessageSignalData> _errorSignal;
    boost::signals2::connection _errorConnection;

    mutable std::mutex _callbackMutex;
    CustomCallback _customCommand;
    CustomCallback _customResponse;
    ListenerCallback _listenerAdded;
    ListenerCallback _listenerRemoved;
    ListenerFailedCallback _listenerFailed;
    ReplyCallback _onLs;
    ReplyCallback _onRls;
    ReplyCallback _onCd;

    mutable std::mutex _serviceMutex;
    std::shared_ptr<IDriverDiscovery> _discovery;
    std::shared_ptr<DiscoveryService> _discoveryService;
    std::shared_ptr<ISubscriptionService> _subscriptions;
    // The one InitDiscovery made, current or replaced by UseSubscriptionService.
    std::shared_ptr<SubscriptionService> _subscriptionService;
    std::unique_ptr<ListCommandRouter> _router;
    // Made by InitFileTransfer, under _serviceMutex; read through fileTransfer().
    std::shared_ptr<FileTransferService> _fileTransfer;
    DriverTransferDevices _transferDevices{[this] { return GetDiscovery(); }};
    // The transfer block size the connections' line limits follow.
    std::atomic<std::size_t> _transferBlockSize{65536};
    std::shared_ptr<DeviceStateService> _deviceStateService;
    std::unique_ptr<FolderModificationService> _folderModification;
    std::shared_ptr<EventSubscriptionService> _eventSubscriptions;
    std::unique_ptr<CommandInterfaceService> _commandInterface;
    // Guards the driver's own command-word map.
    mutable std::mutex _mapMutex;

    // TLS material. InitCrypto runs one at a time; the texts change together under their
    // own lock.
    std::mutex _cryptoInitMutex;
    mutable std::mutex _cryptoMutex;
    std::string _cert;
    std::string _key;
    std::string _dhParams;
    std::atomic<unsigned long> _tlsLevel{0};
    std::atomic<bool> _requireTls{false};
    mutable std::mutex _cwdMutex;
    std::string _cwd = "/";
    boost::asio::ssl::context _sslContext;

    ReplyCache _replyCache;
    ReturnRoutes _returnRoutes;
    ForwardedRequests _forwarded;
    SilentRequesters _silent;
    PassedNames _passed;
    DatagramRequests _datagramRequests;

    std::mutex _udpMutex;
    std::vector<std::shared_ptr<UdpSocket>> _udpSockets;
    std::vector<std::shared_ptr<UdpSocket>> _anyUdpSockets;
    std::mutex _listenerMutex;
    std::vector<std::shared_ptr<TcpServer>> _listeners;
    std::mutex _pendingMutex;
    std::vector<std::shared_ptr<TcpSocket>> _pending;

    // Network information: what the application wants served and excluded, the multicast
    // groups, the listening records (one per served address and port) and the interface
    // list as last enumerated.
    mutable std::mutex _netMutex;
    std::vector<Endpoint> _wantedAddresses;
    std::vector<Endpoint> _wantedInterfaces;
    std::vector<Endpoint> _wantedNetworks;
    std::vector<Endpoint> _excluded;
    std::vector<boost::asio::ip::address_v4> _multicastGroups;
    std::vector<NetworkInfo> _listening;
    std::vector<HostAddress> _interfaces;
    // Serialises whole listen-state runs.
    std::mutex _listenRunMutex;
    // The failures told to the application, by end point (under the run mutex); an add
    // forgets those of its port, so that they are told again.
    std::map<Endpoint, std::string> _toldFailures;
    // Lookup tables rebuilt by each run.
    mutable std::mutex _listeningEndPointMutex;
    std::set<std::pair<boost::asio::ip::address, unsigned short>> _listeningEndPoints;
    mutable std::mutex _interfaceEndPointMutex;
    std::map<std::string, std::set<Endpoint>> _interfaceEndPoints;
    // A host without IPv6 is told once.
    std::atomic<bool> _ipv6AnyWarned{false};

    std::atomic<bool> _broadcast{true};
    std::atomic<bool> _subnetBroadcast{true};
    std::atomic<bool> _localhostBroadcast{true};
    std::atomic<bool> _broadcastUdp{true};
    std::atomic<bool> _subnetUdp{true};
    std::atomic<bool> _dumpTraffic{false};
    std::atomic<bool> _useIPv6{false};
    std::atomic<bool> _stopped{false};

    // Run and Stop meet here.
    std::mutex _runMutex;
    std::condition_variable _runChanged;
    bool _running = false;
    // Loop thread only.
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> _workGuard;
    // Every socket that reports to the driver, by handle.
    LiveSockets _live;
    bool _draining = false;
    std::unique_ptr<boost::asio::steady_timer> _drainTimer;
};

template <class Fn>
void ZelkorDriver::onLoop(Fn&& fn) {
    if (onLoopThread()) {
        fn();
        return;
    }
    boost::asio::post(_io, [weak = weak_from_this(), fn = std::forward<Fn>(fn)]() mutable {
        if (auto self = weak.lock()) {
            fn();
        }
    });
}

}  // namespace Zelkor
