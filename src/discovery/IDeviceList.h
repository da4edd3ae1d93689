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

namespace Zelkor {

class IDevice;
class TcpSocket;

class IDeviceList {
public:
    using ListChange = std::function<void(std::shared_ptr<IDevice>, DeviceNetState)>;
    using ListChangeWithOld = std::function<void(std::shared_ptr<IDevice>, DeviceNetState, DeviceNetState)>;

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
};

}  // namespace Zelkor
