#pragma once
// The driver as the application holds it, and the library's entry points.
//
// Life of the one driver: CreateDriver, InitDiscovery (needed before Run), optionally
// InitFileTransfer and InitCommandInterface, configuration, Run on the thread that is to
// carry the library's work, DestroyDriver from another thread (or a handler), and after
// Run has returned DeleteDriver.
//
// Ownership: the library owns the driver and every service it hands out; the application
// never deletes them. Threads: Run makes its caller the event-loop thread. Every other
// operation may be called from any thread: sends, raw commands, switches and Stop hop
// onto the loop; callbacks are kept under a lock and called from a copy. The entry
// points themselves take no lock: do not call CreateDriver or DeleteDriver from two
// threads at once.
//
// What became of what the application asked for: AddListener and the other adds only
// record a wish (their result says whether the host has the address), then open what
// the host has up at once, on the calling thread, and tell each end point's outcome
// before they return: OnListenerAdded when it is served, OnListenerFailed with the
// reason when it cannot be. Every connection made, failed or closed is raised on
// ConnectionResults. A device that refused this node's proof of its code answers the
// discovery service's OnAuthenticate callback (IDeviceList) with "Authentication Failed".

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>

#include <boost/signals2/connection.hpp>

#include "core/MessageSignalData.h"
#include "core/Signal.h"
#include "driver/ConnectionResult.h"
#include "driver/VersionInfo.h"
#include "transport/InterfaceInfo.h"

namespace Zelkor {

class ICryptoInfo;
class IDevice;
class IDeviceState;
class IDeviceStateService;
class IDiscoveryService;
class IEventSubscriptionService;
class IFileTransferService;
class ICommandInterfaceService;
class IStorage;
class ISubscriptionService;

class IZelkorDriver {
public:
    using Endpoint = std::pair<std::string, unsigned short>;
    using ListenerCallback = std::function<void(const std::string&, unsigned short)>;
    // The address, the port, and why it is not served (as "TCP bind: Address already in
    // use", "UDP bind: ...").
    using ListenerFailedCallback =
        std::function<void(const std::string& address, unsigned short port, const std::string& reason)>;
    using CustomCallback = std::function<bool(std::string&)>;
    using ReplyCallback = std::function<void(MessageSignalData&)>;

    virtual ~IZelkorDriver() = default;
    // Drops the discovered devices and the admitted incoming connections, ending file
    // transfers first.
    virtual void Refresh() = 0;

    // Listener configuration. 0 (or true) when the wish was recorded, 1 (or false) when
    // refused.
    virtual int AddListener(const std::string& ip, unsigned short port, const std::string&, const std::string&,
                            bool, const std::string&) = 0;
    virtual int AddListener(const std::string& ip, unsigned short port) = 0;
    virtual bool RemoveListener(const std::string& ip, unsigned short port) = 0;
    virtual bool RemoveListener(const std::string& ip) = 0;
    virtual bool AddInterface(const std::string& mac, unsigned short port) = 0;
    virtual void RemoveInterface(const std::string& mac) = 0;
    virtual void RemoveInterface(const std::string& mac, unsigned short port) = 0;
    virtual int AddAllListeners(unsigned short port, std::vector<std::string>& endpoints) = 0;
    virtual void RemoveAllListeners() = 0;
    virtual void RemoveAllListeners(unsigned short port) = 0;
    virtual bool AddNetwork(const std::string& network, unsigned short port) = 0;
    virtual void RemoveNetwork(const std::string& network, unsigned short port) = 0;
    virtual void RemoveNetwork(const std::string& network) = 0;
    virtual bool AddMulticast(const std::string& group) = 0;
    virtual bool RemoveMulticast(const std::string& group) = 0;
    // Whether the listen state also serves the host's IPv6 addresses (off at start).
    virtual void UseIPv6(bool on) = 0;
    virtual bool ConnectionPolicyIsLazy() = 0;
    virtual bool ParentPathsAllowed() = 0;
    virtual void ListMulticast(std::vector<std::string>& groups) = 0;
    // The host's adapters, one record per address, as the driver last enumerated them: on
    // each add of a listener, interface or network, and at the discovery timer's listen
    // step every few seconds; empty before the first.
    virtual void ListInterfaces(std::vector<InterfaceInfo>& list, std::string& hostName) = 0;
    virtual void GetEndPoints(std::vector<Endpoint>& endpoints) = 0;
    virtual void GetEndPointInterfaces(std::vector<std::string>& names) = 0;
    // The listener callbacks run after each listen-state run (an add, Run, and every few
    // seconds the discovery timer), on the thread that ran it, with no lock held: a
    // callback may add a listener itself. Set them before the first add.
    // Added: an end point is served now. Removed: one served is closed (no longer wanted,
    // present, up or allowed).
    virtual void OnListenerAdded(ListenerCallback callback) = 0;
    virtual void OnListenerRemoved(ListenerCallback callback) = 0;
    // Failed: a wanted end point the host has up could not be opened (its port held by
    // another socket, TCP or UDP, or a bind the system refused); nothing of it is open.
    // Each later run tries again; a failure is told once, until the end point is served
    // or fails for another reason, and told again by an add on its port. An excluded end point
    // (RemoveListener) is no failure; neither is an address whose interface is down,
    // which is served once it is up (ListInterfaces shows it).
    virtual void OnListenerFailed(ListenerFailedCallback callback) = 0;
    // Raised on the event loop for every connection made, every connect or TLS handshake
    // that failed (with its reason) and every connection closed: see ConnectionResult.
    // Connect a function (Signal::Connect) from any thread, before Run or later; keep the
    // connection and disconnect it before what the function uses goes, at the latest
    // before DeleteDriver. The function reads the record and keeps no reference to it.
    // Functions are called in the order they were connected, the services' among them:
    // the get, set and exec services, made by InitDiscovery and InitCommandInterface,
    // answer a closed connection's requests "connection lost" as they hear its close, so
    // a function connected before them hears of the close before those answers.
    virtual Signal<ConnectionResult>& ConnectionResults() = 0;
    virtual void DisconnectAllExcept(void* handle) = 0;

    // Splits a raw line ("@" optional, the word, then a JSON object or array) into its
    // word and JSON text, trimmed. True when the line is a reply (began with "@"). The
    // JSON text keeps the caller's value when the line holds no "{" or "[".
    virtual bool SplitRawCommand(const std::string& line, std::string& word, std::string& json) = 0;
    virtual ICryptoInfo* GetCryptoInfo() = 0;
    virtual void GetVersionInfo(VersionInfo& info) = 0;
    virtual void SetCWDPath(std::string path) = 0;
    virtual std::string GetCWDPath() = 0;

    // Gives the driver the node's storage. Null is refused; so is a second call.
    virtual void InitDiscovery(IStorage* storage) = 0;
    virtual void InitDiscovery(std::shared_ptr<IStorage> storage) = 0;
    virtual void InitFileTransfer(IDeviceState* deviceState) = 0;
    // 100 until a file transfer service counts its own.
    virtual unsigned long GetFileTransferCount() = 0;
    virtual ICommandInterfaceService* InitCommandInterface() = 0;
    // Runs the event loop on the calling thread until the driver is stopped; returns at
    // once when it is stopped already or has no discovery.
    virtual void Run() = 0;
    // The "error" member of a reply line; "" when it has none or its word is unknown.
    virtual std::string GetResponseError(const std::string& line) const = 0;
    // Service getters: null while the service does not exist.
    virtual IFileTransferService* GetFileTransferService() = 0;
    virtual IDiscoveryService* GetDiscoveryService() = 0;
    virtual ISubscriptionService* GetSubscriptionService() = 0;
    virtual IDeviceStateService* GetDeviceStateService() = 0;
    virtual IEventSubscriptionService* GetEventSubscriptionService() = 0;
    virtual void DumpTraffic(bool on) = 0;

    // Settings of the one process-wide logger.
    virtual void RegisterExternalLogger(std::function<void(std::string&)> logger) = 0;
    virtual void SetLogLevel(unsigned long& level) = 0;
    virtual void SetLogPath(std::string& path) = 0;
    virtual void SetLogPrefix(std::string& prefix) = 0;
    virtual void SetLogBase(std::string& base) = 0;
    virtual void SetLogSuffix(std::string& suffix) = 0;
    virtual void SetWritePrelog(bool on) = 0;
    virtual void SetWriteFile(bool on) = 0;
    virtual void SetWriteConsole(bool on) = 0;

    // A request over TCP whose word the library does not know reaches this callback with
    // the line ("word {json}"); the driver then answers the requester with "@word" and the
    // request's own JSON body, whatever the callback returns. Runs on the event loop.
    virtual void OnCustomCommand(CustomCallback callback) = 0;
    // A reply of an unknown word (TCP or UDP) reaches this callback with its line; over UDP
    // only one that answers a request of that word this node sent lately (as the discovery
    // callbacks, IDeviceList).
    virtual void OnCustomCommandResponse(CustomCallback callback) = 0;

    // Folder navigation. The node's one working folder starts at "/"; a peer's "cd" moves
    // it for every connection.
    virtual std::shared_ptr<IDevice> GetDeviceByName(std::string& name) = 0;
    // A path not beginning with "/" is taken relative to the working folder ("." is the
    // folder itself); "." and ".." inside it are not resolved.
    virtual void GetAbsPath(std::string& path) = 0;
    // Append (path, value text) for the places one level below an absolute path, or at
    // every depth; a value the tree does not show is "". At most MaxEntriesPerMessage()
    // places ("storage/RequestBound.h"). They read the tree: call them on the event
    // loop or before Run.
    virtual void ProcessLsPath(std::string& path, std::vector<std::pair<std::string, std::string>>& entries) = 0;
    virtual void ProcessRlsPath(std::string& path, std::vector<std::pair<std::string, std::string>>& entries) = 0;
    // Each "@ls", "@rls", "@cd" reply (a ListFolder, RecurseFolder or NavigateFolder,
    // "services/FolderNavigationMessages.h") reaches its callback on the event loop; an
    // empty function drops them.
    virtual void OnLs(ReplyCallback callback) = 0;
    virtual void OnRls(ReplyCallback callback) = 0;
    virtual void OnCd(ReplyCallback callback) = 0;
};

// The one driver, made on first call on a context the library makes and keeps (the
// first form) or on the application's context (the second; later calls ignore it).
IZelkorDriver* CreateDriver();
IZelkorDriver* CreateDriver(boost::asio::io_context& context);
// Stops the driver, if there is one: Run returns once the closes it made are done.
void DestroyDriver();
// Drops the library's driver and stops and releases the context it made itself.
void DeleteDriver();
void GetVersionInfo(VersionInfo& info);

}  // namespace Zelkor
