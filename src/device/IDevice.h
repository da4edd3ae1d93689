#pragma once
// One discovered device as the application holds it: its discovery data and network
// state, its connections, its flags and round-trip statistics. Requests to the device
// join this interface with the services that carry them.
//
// Ownership: shared between the discovery service's tables and the application; only
// the discovery service creates devices. Threads: any operation may be called from any
// thread; what touches a connection hops onto the driver's event loop.
//
// What catches people out:
// - Every disconnection cuts the handlers that feed the On... callbacks: the loss of
//   the device's primary connection, Disconnect, Goodbye, and so also each drop that
//   the discovery timer's own reconnects follow. The callback stays stored, but nothing
//   reaches it until its On... is called again. A device need not be Connected to
//   answer: one reached through a router is listed New and answers through the router
//   while it stays New. Register in the device list's change handler from the device's
//   first listing on, and again on each later change of its state but to Lost:
//       discovery->GetDeviceList()->OnListChange(
//           [](std::shared_ptr<IDevice> device, DeviceNetState state, DeviceNetState) {
//               if (device && state != DeviceNetStateLost) {
//                   device->OnPublish(...);  // and every other On... the application uses
//               }
//           });
// - Subscriptions live on the device, per connection: the device drops a connection's
//   value, poll and log subscriptions when that connection closes, and all of them when
//   it restarts. Nothing renews them: subscribe again when the device answers again, on
//   Connected, and for a device reached through a router when it is first listed.
// - The default result handlers (OnSetResult, OnGetResult, OnExecResult) and the
//   transfer progress handler (onFileProgressStatus) are one per driver, not per device:
//   the last one set, on any device, serves the replies of every device.
// - IsAuthenticated() is a stored flag, not the state of a connection; see there.
// - SendReboot asks the device itself, also through a router.
// - File-system requests (free space, delete, list, mkdir, rmdir) name paths of the
//   device's host as they stand; only transfers (SendFile, RecvFile) are kept below the
//   device's storage root (unless its tree allows parent paths).
// - A device that became Lost stays lost: its Connect is refused, and the device list
//   holds a new object for it when it is found again. A device the list gives up while
//   the node runs is told Lost, after Disconnected when it was still shown connected.
// - A device reached through a router is listed New, and answers through the router from
//   then on without a connection of its own; Connect makes it Connected through the
//   router. From Connected it follows the router's connection: Disconnected when that
//   drops or the router lists the device as gone, Connected again when a router with a
//   connection lists it. One never Connected stays New through such a loss, or goes
//   Disconnected when nothing keeps it connected.
// - When another GUID answers at an address this node connected to (a unit replaced, a
//   router restarted without a fixed GUID), the connection and what the address stood
//   for (static route, endpoint, being kept connected) pass to the device of that GUID;
//   the device before goes Disconnected, not Lost, and is found again by discovery.
// - Every request made with a callback (SetParameter, GetParameter, SendExecCommand,
//   SendRawCommand, SendFile, RecvFile) hears exactly one answer, on the event loop and
//   never inside the call that made it: its reply, or an error. A request made while
//   neither the device's own connection nor its router's is connected, or once the
//   device is finalized, is answered at once with "Device not connected"; one whose
//   connection ends before its reply (or that the connection never took) with
//   "connection lost"; one a router cannot pass on, with the router's refusal ("Device
//   not connected", "Device not found"); one held for a proof the device refused, with
//   "Authentication Failed"; with a reply time-out set (IDiscoveryService::
//   SetReplyTimeout), one unanswered that long with "timeout", its late reply then going
//   to nobody. Only a deferrable request dropped while a script runs, and a malformed one
//   (null path or command, a raw line that does not read), go unanswered.

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "device/DeviceNetState.h"
#include "discovery/DiscoveryRecords.h"
#include "discovery/DiscoInfo.h"
#include "filetransfer/ListFilesItem.h"
#include "services/SetIPSettings.h"

struct LOGROW;

namespace Json {
class Value;
}

namespace Zelkor {

class MessageForwardInfo;
class ObjectParamContainer;
class TcpSocket;

class IDevice {
public:
    using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;
    // (local interface name, (address, port)): one way to reach the device.
    using RemoteInfo = std::pair<std::string, std::pair<boost::asio::ip::address, unsigned short>>;
    // The callbacks of subscriptions, polls, logs, events and locate replies.
    using ValuesCallback = std::function<void(const ObjectParamContainer&)>;
    // Its result is not used.
    using LocateCallback = std::function<bool(LocateInfo&)>;
    // Name, success, error text ("" on success), the accepted targets' values (null on failure).
    using SubscribePollCallback =
        std::function<void(const char* name, bool success, const std::string& error, const Json::Value& targets)>;
    using UnsubscribePollCallback = std::function<void(bool success, const std::string& error)>;
    // Name (null when the reply has none) and one value per target.
    using PollCallback = std::function<void(const char* name, const Json::Value& targets)>;
    // The same and the reply's error text ("" for none): a refusal, a lost connection's
    // among them.
    using PollResultCallback =
        std::function<void(const char* name, const Json::Value& targets, const std::string& error)>;
    using LogCallback = std::function<void(const unsigned long long& seqno, const long& time,
                                           const unsigned int& priority, const std::string& category,
                                           const std::string& event)>;
    // An error text ("" for none), or an event name.
    using TextCallback = std::function<void(const std::string&)>;
    // An event name ("" when the reply carries none) and the reply's error text ("" for
    // none).
    using NamedResultCallback = std::function<void(const std::string& name, const std::string& error)>;
    using EventValueCallback = std::function<void(const std::string& name, const std::string& value)>;
    using EventMapCallback =
        std::function<void(const std::string& name, const std::map<std::string, std::string>& values)>;
    using EventListCallback = std::function<void(const std::string& name, const std::vector<std::string>& values)>;
    // One exec reply: path, command, success (false with the error text as result, or a
    // status other than "true"), result text, request id.
    using ExecCallback = std::function<void(const std::string& path, const std::string& command, bool success,
                                            const std::string& result, const std::string& requestid)>;
    // One raw command's reply, the text as it came in. A refusal that names no word of its
    // request, an "@error" reply, comes as that line too ("@error {...}"): its word is how
    // the callback tells an error from an answer.
    using RawCallback = std::function<void(const std::string& text)>;
    // A transfer's end: success and the text of its state ("Success", or why it failed).
    using TransferDone = std::function<void(bool success, const std::string& text)>;
    // Percent, the local path and the device's GUID ("" on the answering side).
    using ProgressCallback = std::function<void(double& percent, std::string& path, std::string& id)>;
    // The file-system replies: success, then the result, then the error text ("" on success).
    using FreespaceCallback = std::function<void(bool success, long long& bytes, std::string& error)>;
    using DeletefileCallback = std::function<void(bool success, std::string& error)>;
    using ListFilesCallback =
        std::function<void(bool success, const std::vector<ListFilesItem>& entries, const std::string& error)>;
    using DirCallback = std::function<void(bool success, const std::string& error)>;

    virtual ~IDevice() = default;
    // A copy of the device's discovery data.
    virtual DiscoInfo GetDiscoInfo() const = 0;
    virtual void SetDeviceState(const std::string& state) = 0;
    // The raw handle of the connection a request would take: the device's own, else its
    // router's; null when none is connected or the device is finalized.
    virtual void* GetConnectionHandle() = 0;
    // Connected directly or through a connected router.
    virtual bool IsConnected() = 0;
    // One of the device's own connections (not a router's) is connected.
    virtual bool IsDirectlyConnected() = 0;
    // The router through which the device is reached is connected.
    virtual bool IsProxyConnected() = 0;
    // The handle is one of the device's own connections.
    virtual bool HasHandle(void* handle) = 0;
    // The connected primary connection, else the connected secondary one, else empty.
    virtual std::shared_ptr<TcpSocket> GetHandle() = 0;
    // The device still has its connection set (until it is finalized).
    virtual bool HasConnectionHandle() = 0;
    // The router's name and GUID; "" while no live router is set.
    virtual std::string ProxyName() = 0;
    virtual std::string ProxyGuid() = 0;
    virtual bool HasProxy() = 0;
    // The device's own connections are secured by TLS.
    virtual bool IsEncrypted() = 0;
    // A flag: what SetAuthentication last stored. The library stores into it once, when
    // it makes a device for a connection the peer opened to this node, and then stores
    // whether this node's proof was taken on that connection, which it never is on a
    // connection the peer opened: the flag stays false unless the application sets it.
    // It does not follow the connections. Each connection (GetHandle()) keeps two
    // things apart: IsProvenToPeer(), the device took this node's proof of its code,
    // which lets this node's requests out; IsAuthenticated(), the peer proved the code
    // to this node, which alone lets the peer's requests in.
    virtual bool IsAuthenticated() = 0;
    virtual void SetAuthentication(bool on) = 0;
    // Prepares the routing header of the next request: this node's sender id, a sender
    // hash for a redundant device, and the router's and device's names when the request
    // goes through the router.
    virtual void SetForwardInfo() = 0;
    // A copy of the routing header the device's requests carry.
    virtual void GetForwardInfo(MessageForwardInfo& out) = 0;
    // A connected connection that carries no file transfer: the device's own, else (unless
    // `ownOnly`) the router's.
    virtual std::shared_ptr<TcpSocket> GetFileTransferHandle(bool ownOnly) = 0;
    virtual DeviceNetState GetCurrentState() = 0;
    // Connects the device's connections to its endpoints, one per network, or reaches it
    // through its router; `force` creates the connections even without an endpoint. The
    // device then wants to be kept connected. A device that is "Lost" stays lost: its
    // Connect is refused (logged), and the device list holds a new object for the device
    // when it is found again.
    virtual void Connect(bool force) = 0;
    // Stops wanting connections and closes them; the state becomes "New" (toNew) or
    // "Disconnected".
    virtual void Disconnect(bool toNew) = 0;
    virtual bool WantsConnections() = 0;
    // Descriptor flags, kept by the application while it fetches the descriptor; wanting
    // one also tells the discovery service, whose timer then asks for it (state 4).
    virtual void WantsDescriptor(bool on) = 0;
    virtual bool WantsDescriptor() = 0;
    virtual void DownloadingDescriptor(bool on) = 0;
    virtual bool DownloadingDescriptor() = 0;
    virtual void HasDescriptor(bool on) = 0;
    virtual bool HasDescriptor() = 0;
    virtual void IsRunningScript(bool on) = 0;
    virtual bool IsRunningScript() = 0;
    // "locate" for the device with the time-out given (number or text), or with the
    // caller's record: over its connection when connected, else one datagram to its
    // address, else to every served interface. Replies reach the locate callbacks.
    virtual void Locate(long timeout) = 0;
    virtual void Locate(std::string& timeout) = 0;
    virtual void Locate(LocateInfo& info) = 0;
    // "identify", by the same three ways as Locate.
    virtual void Identify(IdentifyInfo& info) = 0;

    // Log and event requests and callbacks. Each request goes on the connection a request
    // takes, with the device's routing header; nothing without one, or once finalized.
    // Registrations (On...) replace the stored callback, which survives a disconnection;
    // the handler that feeds it does not: it is connected by the On... call, cut at every
    // disconnection, and connected again only by the next On... call (see the top of this
    // file). It serves only messages from this device. Callbacks run on the event loop, outside the
    // device's locks, and may send or register again.
    //
    // One row into the device's log ("log").
    virtual void SendLogRow(LOGROW& row) = 0;
    // The rows the device pushes to this node after SendSubLog; until set, dropped.
    virtual void OnLog(LogCallback callback) = 0;
    // Subscribes to the device's rows of `priority` (0-4) and above, replaying history by
    // `mark` (0 none, -n the last n rows, n from seqno n on).
    virtual void SendSubLog(long long mark, unsigned int priority) = 0;
    // The "sublog" reply: its error text, "" on success.
    virtual void OnSendSubLog(TextCallback callback) = 0;
    virtual void UnSubLog() = 0;
    virtual void OnUnSubLog(TextCallback callback) = 0;
    // Subscribes to the named event and those under it; "" for every event.
    virtual void SubscribeEvent(const std::string& name) = 0;
    // Cancels the name; "" cancels every event subscription of this node there.
    virtual void UnsubscribeEvent(const std::string& name) = 0;
    // The replies' names ("" when they carry none). Of these and the forms that also hear
    // the reply's error (below, with the operations added last) the last one set is called.
    virtual void OnSubscribeEvent(TextCallback callback) = 0;
    virtual void OnUnsubscribeEvent(TextCallback callback) = 0;
    // The device's events: one raised with named values reaches the map callback, with a
    // list the list callback, with one value (or none) the value callback; when that
    // form's callback is not set, the callback of the form registered first since the
    // last disconnection (OnEventResult counting as the value form) gets it as that form
    // reads an event: its "value" text, its named or its listed values, each maybe empty.
    virtual void OnEvent(EventValueCallback callback) = 0;
    virtual void OnEvent(EventMapCallback callback) = 0;
    virtual void OnEvent(EventListCallback callback) = 0;
    // The device's "event" replies, by name; until set, dropped.
    virtual void OnEventResult(TextCallback callback) = 0;

    // Files and firmware. SendFile queues a put of the local file to the device's remote
    // path (refused, false, when the path has a ".." element and the node does not allow
    // parent paths), RecvFile a get; `done` is called once on the event loop when the
    // transfer ends, also when it could not start ("no connection for transfer" while
    // neither the device nor its router is connected) or its connection ended ("end-point
    // disconnected"). Both return what the transfer queue returned, false when refused
    // here (`done` is then never called).
    virtual bool SendFile(const std::string& localPath, const std::string& remotePath, unsigned long blockSize,
                          TransferDone done) = 0;
    virtual bool RecvFile(const std::string& localPath, const std::string& remotePath, unsigned long blockSize,
                          TransferDone done) = 0;
    // Asks the device to cancel the put this node makes to it; its "done" then tells.
    virtual void CancelSendFile() = 0;
    // The progress of every transfer of the node (one handler serves them all: the last
    // device that set one); an empty callback changes nothing.
    virtual void onFileProgressStatus(ProgressCallback callback) = 0;
    // "fwupdate" with the arguments passed through to the device's host.
    virtual void FirmwareUpdate(const std::string& arguments) = 0;
    // The device's "fwupdate" replies: its refusal text, "" on success.
    virtual void OnFirmwareUpdateResult(TextCallback callback) = 0;
    // The device's own "fwupdate" requests on its connection: their arguments.
    virtual void OnFirmwareUpdate(TextCallback callback) = 0;
    // "set" and "get" of the container's values on the connection a request takes; the
    // container is read before the call returns. Without a callback the reply goes to
    // the default handler as it is when the reply comes (OnSetResult, OnGetResult); with
    // one, to that callback. A deferrable request is dropped (logged, callback never
    // called) while a script runs. Without a connection (the device's own or its
    // router's), or once the device is finalized, nothing is sent and the callback (or the
    // default handler) hears every value failed with "Device not connected". On a secured
    // connection whose device refused this node's proof, the reply gives every value the
    // error "Authentication Failed" instead of waiting for a proof. Once the request went
    // out, an "@error" reply to it, or a reply that refuses the whole message (a router's
    // "Device not connected" for a device it cannot reach), gives every value that error,
    // and the end of the connection before its reply (or a connection that did not take
    // the line) every value the error "connection lost"; the reply time-out, "timeout".
    // Every answer comes on the event loop, never inside the call.
    virtual void SetParameter(ObjectParamContainer& values) = 0;
    virtual void SetParameter(ObjectParamContainer& values, std::function<void(const ObjectParamContainer&)> callback,
                              bool deferrable, std::string tag) = 0;
    // The default handlers: one for every device of the driver, the last one set on any
    // device wins; a disconnection does not cut them.
    virtual void OnSetResult(std::function<void(const ObjectParamContainer&)> callback) = 0;
    virtual void GetParameter(ObjectParamContainer& values) = 0;
    virtual void GetParameter(ObjectParamContainer& values, std::function<void(const ObjectParamContainer&)> callback,
                              bool deferrable, std::string tag) = 0;
    virtual void OnGetResult(std::function<void(const ObjectParamContainer&)> callback) = 0;

    // Value subscriptions, polls and locate replies: requests and registrations as for the
    // log and event words above. The container's paths and formats are read before the
    // call returns; its replies and the device's publishes come to the callbacks. A
    // subscribe or unsubscribe that finds no connection is answered there all the same,
    // on the loop, every value failed "Device not connected".
    virtual void Subscribe(ObjectParamContainer& values) = 0;
    virtual void Unsubscribe(ObjectParamContainer& values) = 0;
    virtual void OnSubscribe(ValuesCallback callback) = 0;
    virtual void OnUnsubscribe(ValuesCallback callback) = 0;
    virtual void OnPublish(ValuesCallback callback) = 0;
    // Serves one locate reply from this device (one whose routing or connection is the
    // device's, or a datagram whose "guid" names it), then lets go; each call waits anew,
    // and a call while one waits replaces it.
    virtual void OnLocate(LocateCallback callback) = 0;
    // A named polled subscription of the paths, read in `format` (null: "variant"); a
    // null name sends nothing, here and below.
    virtual void SubscribePoll(const char* name, const std::vector<std::string>& paths, const char* format) = 0;
    virtual void UnsubscribePoll(const char* name) = 0;
    // Asks the device to read the named subscription's targets now.
    virtual void PollSubscription(const char* name) = 0;
    // A reply without a name delivers `defaultName`.
    virtual void OnSubscribePoll(SubscribePollCallback callback, const std::string& defaultName) = 0;
    virtual void OnUnSubscribePoll(UnsubscribePollCallback callback) = 0;
    // Of this and the form that also hears the reply's error (below) the last one set is
    // called.
    virtual void OnPoll(PollCallback callback) = 0;
    // "exec" of the command at the path with its arguments in one of three forms and the
    // request id ("" for none), on the connection a request takes, with the device's
    // routing header. The reply goes to `callback` (an empty one: to the default handler
    // as it was at the call). A failure comes with success false and its text as the
    // result: a lost connection (or one that did not take the line) with path "/" and
    // "connection lost", the reply time-out likewise with "timeout"; without a
    // connection, or once finalized, nothing is sent and it
    // comes the same way with "Device not connected"; a device that refused this node's
    // proof on a secured connection with "Authentication Failed", an "@error" reply or a
    // router's refusal with its text, the other texts empty. Nothing is sent, and the
    // callback never called, for a null path or command or before InitCommandInterface.
    // Every answer comes on the event loop, never inside the call.
    virtual void SendExecCommand(const char* path, const char* command, const std::vector<std::string>& args,
                                 const std::string& requestid, ExecCallback callback) = 0;
    virtual void SendExecCommand(const char* path, const char* command,
                                 const std::map<std::string, std::string>& args, const std::string& requestid,
                                 ExecCallback callback) = 0;
    virtual void SendExecCommand(const char* path, const char* command, const std::string& args,
                                 const std::string& requestid, ExecCallback callback) = 0;
    // The handler of exec replies no request claims: one for every device of the driver,
    // the last one set wins.
    virtual void OnExecResult(ExecCallback callback) = 0;
    // Says goodbye ("shutdown") on the device's connections, then disconnects it.
    virtual void Goodbye() = 0;
    virtual void SendGoodbye() = 0;
    // The device's file system: free space under a path, deleting a file, listing,
    // making and removing a folder. The path names a place on the device's host
    // (absolute, or from the device process's working folder), not below its storage
    // root as a transfer's does. The path goes as given (1 to 1023 bytes for the two
    // text forms, not empty for the others; else one error line and nothing sent); each
    // reply reaches the registration of its word, registered as the log words are.
    virtual void SendFreespaceCommand(char const* path) = 0;
    virtual void OnFreespaceResult(FreespaceCallback callback) = 0;
    virtual void SendDeletefileCommand(char const* path) = 0;
    virtual void OnDeletefileResult(DeletefileCallback callback) = 0;
    virtual void ListFiles(const std::string& path) = 0;
    virtual void OnListFilesResult(ListFilesCallback callback) = 0;
    virtual void CreateDir(const std::string& path) = 0;
    virtual void OnCreateDirResult(DirCallback callback) = 0;
    virtual void RemoveDir(const std::string& path) = 0;
    virtual void OnRemoveDirResult(DirCallback callback) = 0;
    // A command line as typed ("get {...}", "@exec {...}"): the word before the first "{"
    // or "[" picks the message, the JSON after it is its body. The reply text, as it came
    // in, goes to `callback`: for "exec", "get" and "set" the reply that meets the line's
    // place among the connection's requests of the word (a "get" or "set" reply also
    // reaches the default get/set handler, an "exec" reply no exec callback); for any
    // other word the reply to this very line, known by its sender hash when it carries
    // one, else by its place among the requests of the connection that took it, so that
    // a reply to another request of the word (a service's too) never reaches it. An
    // "@error" reply to the line reaches `callback` as it came in ("@error {...}"). A line
    // that gets no reply hears instead the refusal its peer would send, its word's reply
    // with its route turned round and {"error": text} (a "get" or "set": each of its
    // entries with the error): "Device not connected" without a connection or once
    // finalized; "connection lost" when the connection that took the line ends first,
    // did not take it, or the device is disconnected while it waits; "timeout" at the
    // reply time-out; "reply not delivered" as soon as it went, for a word whose replies
    // never reach a raw command ("disco", "goodbye", "senddisco", which the node's
    // discovery takes, and the file and device-state words while their services are not
    // set up). A line that does not read as its word's request (an unknown word, bad
    // JSON) is never sent and answers nothing. Every answer comes on the event loop,
    // never inside the call.
    virtual void SendRawCommand(const char* line, RawCallback callback) = 0;
    // A "disco" request on the device's connections, as a keep-alive (the argument is not
    // used).
    virtual void SendKeepAliveDisco(bool unused) = 0;
    // "reboot" for the MAC over the connection a request takes, with the device's routing
    // header: through a router it is the device that is asked, not the router. Nothing
    // without a connection.
    virtual void SendReboot(const std::string& mac) = 0;
    // "setip" over the connection, through the device-state service; nothing without it.
    virtual void SetIP(SETIP_SETTINGS settings) = 0;
    // Called with the settings of each "setip" reply from this device; kept until the
    // device-state service exists to deliver them.
    virtual void OnSetIP(std::function<void(SETIP_SETTINGS&)> callback) = 0;
    // The device's verification code as this node last confirmed it (decoded bytes).
    virtual std::string GetVerificationCode() = 0;
    virtual void SetVerificationCode(std::string code) = 0;
    // Sets, changes (with the record's current code) or removes (empty new code) the
    // device's code, over a TLS connection only; the reply confirms the new code.
    virtual void SendSetVerificationCodeRequest(SetVerificationCodeInfo& info) = 0;
    // The periodic keep-alive and the proof of the code: on every own connection that is
    // secured and not yet authenticated an "authenticate" request, on the others a
    // keep-alive "disco". With a socket: that connection when it is the device's own,
    // else the router's connection.
    virtual void Authenticate(AuthenticateInfo& info, std::shared_ptr<TcpSocket> socket) = 0;
    // "starttls" on the device's own connection a request would take (never through its
    // router), unless that connection is secured or being secured.
    virtual void SendStartTLSRequest() = 0;
    // "ls", "rls" and "cd" for the path, on the device's own connections (never through
    // its router); nothing while it is not connected. The replies reach the driver's
    // OnLs, OnRls and OnCd callbacks.
    virtual void SendLsCmdRequest(std::string& path) = 0;
    virtual void SendRlsCmdRequest(std::string& path) = 0;
    virtual void SendCdCmdRequest(std::string& path) = 0;
    // One request/reply round trip; a reply earlier than its request only counts.
    virtual void UpdateStatistics(TimePoint sent, TimePoint received) = 0;
    // Seconds; 0 before the first measurement.
    virtual double GetMinRoundTripTime() = 0;
    virtual double GetMaxRoundTripTime() = 0;
    virtual double GetAvgRoundTripTime() = 0;
    // Calls `fn` with a copy of each way to reach the device, in the order they were
    // added, outside the device's locks.
    virtual void forEachRemote(const std::function<void(RemoteInfo)>& fn) = 0;
    virtual std::size_t RemoteCount() = 0;

    // Operations added after the others, so that the table of the ones before keeps its
    // order for an application built against them: the forms of the event subscription
    // and poll callbacks that also hear the reply's error, a refusal or a lost
    // connection's among them (of each pair, the last one set is called).
    virtual void OnSubscribeEventResult(NamedResultCallback callback) = 0;
    virtual void OnUnsubscribeEventResult(NamedResultCallback callback) = 0;
    virtual void OnPollResult(PollResultCallback callback) = 0;
};

}  // namespace Zelkor
