#pragma once
// The devices a controller knows, as the application sees them: look-ups, a walk over all
// of them, and the list-change callbacks that report every state change of every device.
//
// GUIDs are accepted in every form a peer may write them (hyphens or none, braces or
// none, any letter case) and name the same device.
//
// Ownership: the discovery service implements it; the application never deletes it.
// Threads: look-ups and the walk may come from any thread. Callbacks run on the event-loop
// thread only, one after another, never inside the code that changed the state; they may
// call back into the list. Handlers may be added and removed from any thread.

#include <functional>
#include <memory>
#include <string>

#include <boost/uuid/uuid.hpp>

#include "device/DeviceNetState.h"
#include "discovery/DiscoveryRecords.h"
#include "services/SetIPSettings.h"

namespace Zelkor {

class IDevice;
class TcpSocket;

class IDeviceList {
public:
    using ListChange = std::function<void(std::shared_ptr<IDevice>, DeviceNetState)>;
    using ListChangeWithOld = std::function<void(std::shared_ptr<IDevice>, DeviceNetState, DeviceNetState)>;
    // The application's say in the discovery-level requests: a locate or identify request
    // is answered over UDP only while the callback (when set) returns true; replies are
    // reported to it. A reboot request is accepted when the callbacks set return true.
    using LocateCallback = std::function<bool(LocateInfo&)>;
    using IdentifyCallback = std::function<bool(IdentifyInfo&)>;
    using RebootMacCallback = std::function<bool(const std::string& mac, bool reply)>;
    using RebootCallback = std::function<bool(RebootInfo&)>;
    using SetIPCallback = std::function<void(SETIP_SETTINGS&)>;
    // Peer security: a verification-code reply, an authentication reply, and a start-TLS
    // request (true accepts it) or reply (true lets the handshake start).
    using SetVerificationCodeCallback = std::function<bool(SetVerificationCodeInfo&)>;
    using AuthenticateCallback = std::function<bool(AuthenticateInfo&)>;
    using StartTLSCallback = std::function<bool(StartTLSInfo&)>;

    virtual ~IDeviceList() = default;
    // One of the devices of that name (which one, when several share it, is not defined).
    virtual std::shared_ptr<IDevice> GetDeviceByName(const std::string& name) = 0;
    virtual std::shared_ptr<IDevice> GetDeviceByUUID(const std::string& guid) = 0;
    virtual std::shared_ptr<IDevice> GetDeviceByUUID(const boost::uuids::uuid& guid) = 0;
    // The device that owns the connection.
    virtual std::shared_ptr<IDevice> GetDeviceBySocket(std::shared_ptr<TcpSocket> socket) = 0;
    // Calls `fn` once for every device, outside the list's locks: `fn` may look devices up.
    virtual void forEach(const std::function<void(std::shared_ptr<IDevice>)>& fn) = 0;
    // A handler for every device, or (with a GUID key) for one device.
    virtual void OnListChange(ListChange handler) = 0;
    virtual void OnListChange(ListChangeWithOld handler) = 0;
    virtual void OnListChange(const std::string& key, ListChange handler) = 0;
    virtual void OnListChange(const std::string& key, ListChangeWithOld handler) = 0;
    // Removes the handlers registered with exactly this key ("" : those without one).
    virtual void RemoveOnListChangeHandler(const std::string& key) = 0;
    // Each setter replaces its callback; an empty function clears it. Callbacks run on the
    // event-loop thread and must not block. A reply that comes as a datagram is told only
    // when it answers a request of its word this node sent as a datagram in the last 10 s
    // (DatagramRequests::Window): to the replying address, to the broadcast address of a
    // served subnet that holds it, or to every node.
    virtual void OnLocate(LocateCallback callback) = 0;
    virtual void OnIdentify(IdentifyCallback callback) = 0;
    // "reboot" for the node with that MAC text, to every served interface.
    virtual void SendReboot(const std::string& mac) = 0;
    virtual void OnReboot(RebootMacCallback callback) = 0;
    virtual void OnReboot(RebootCallback callback) = 0;
    // "setip" to every node, through the device-state service; nothing without it.
    virtual void SetIP(const SETIP_SETTINGS& settings) = 0;
    // Called with the settings of each "setip" reply, through the device-state service.
    virtual void OnSetIP(SetIPCallback callback) = 0;
    // Told of each "setverificationcode" reply and of each "authenticate" reply that
    // answers a proof this node sent on that connection; asked about each "starttls"
    // request and reply. Results of the first two are not used. A code change
    // the device took but no device object could keep (its device went meanwhile) comes
    // with the error "Verification code changed on the device, but its device object was
    // not updated".
    virtual void OnSetVerificationCode(SetVerificationCodeCallback callback) = 0;
    virtual void OnAuthenticate(AuthenticateCallback callback) = 0;
    virtual void OnStartTLS(StartTLSCallback callback) = 0;
};

}  // namespace Zelkor
