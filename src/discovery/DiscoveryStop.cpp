// Stopping and resetting the discovery service: goodbyes to devices and incoming
// connections, and the device tables emptied. The tables change under their locks on the
// caller's thread; the goodbyes and closes go out on the event loop.

#include <boost/asio/post.hpp>

#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "driver/ZelkorDriver.h"
#include "services/ISubscriptionService.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

void DiscoveryService::Stop() {
    _stopped.store(true);
    DetachSignals();
    StopTimer();
    std::vector<std::shared_ptr<DeviceImpl>> devices;
    {
        std::lock_guard<std::mutex> lock(_deviceSetMutex);
        devices.assign(_deviceSet.begin(), _deviceSet.end());
    }
    // Notifications are off from here on; the handlers hear the loss of each connected
    // device once, directly.
    const auto listeners = handlers();
    for (const auto& device : devices) {
        if (device->IsDirectlyConnected()) {
            ++_goodbyesPending;
            device->SendGoodbye();
            callHandlers(listeners, device, DeviceNetStateLost, device->GetCurrentState());
            --_goodbyesPending;
        }
        device->Finalize();
    }
    std::vector<std::shared_ptr<TcpSocket>> incoming;
    {
        std::lock_guard<std::mutex> lock(_incomingMutex);
        incoming.swap(_incomingConnections);
    }
    for (const auto& connection : incoming) {
        connection->Close();
    }
}

void DiscoveryService::Reset() {
    if (!_driver) {
        return;
    }
    boost::asio::post(_driver->GetIoContext(), [self = shared_from_this()] {
        self->StopTimer();
        self->ResetDeviceList();
        self->ResetIncomingConnections();
        self->StartTimer();
    });
}

void DiscoveryService::clearDeviceTables() {
    _devicesByGuid.clear();
    _guidsByName.clear();
    _guidsByClassName.clear();
    _enteredNames.clear();
    _devicesByEndpoint.clear();
    _guidBySocket.clear();
    _proxiedDevices.clear();
    _requestTimes.Clear();
    _tcpDiscoReplyTimes.Clear();
    _udpDiscoReplyTimes.Clear();
    _hearings.Clear();
    _deviceSet.clear();
}

void DiscoveryService::clearWanted() {
    std::lock_guard<std::mutex> lock(_wantedMutex);
    _wantsConnections.clear();
    _wantsDescriptor.clear();
}

void DiscoveryService::dropDevices(std::vector<std::shared_ptr<DeviceImpl>> devices) {
    if (devices.empty()) {
        return;
    }
    // Finalized as an erased device is: a dropped device keeps no connection, which would
    // outlive the loop it was made on when the application holds the device longer.
    onLoop([devices = std::move(devices)] {
        for (const auto& device : devices) {
            device->SendGoodbye();
            device->setCurrentState(DeviceNetStateLost);
            device->Finalize();
        }
    });
}

void DiscoveryService::ResetDeviceList() {
    std::vector<std::shared_ptr<DeviceImpl>> dropped;
    {
        std::lock_guard<std::mutex> tablesLock(_deviceTablesMutex);
        std::lock_guard<std::mutex> setLock(_deviceSetMutex);
        dropped.assign(_deviceSet.begin(), _deviceSet.end());
        // Every table: an entry left behind would let a dropped device be found (and
        // reconnected) outside the device set.
        clearDeviceTables();
    }
    clearWanted();
    dropDevices(std::move(dropped));
}

void DiscoveryService::ResetIncomingConnections() {
    std::vector<std::shared_ptr<TcpSocket>> dropped;
    {
        std::lock_guard<std::mutex> lock(_incomingMutex);
        dropped.swap(_incomingConnections);
    }
    if (dropped.empty()) {
        return;
    }
    onLoop([self = shared_from_this(), dropped = std::move(dropped)] {
        for (const auto& connection : dropped) {
            if (connection->SocketIsOpen()) {
                MessageForwardInfo header;
                self->SendGoodbye(connection, GoodbyeShutdown, header);
                connection->Close();
            }
        }
    });
}

void DiscoveryService::ResetAllExcept(void* handle) {
    StopTimer();
    ISubscriptionService* subscriptions = _driver ? _driver->GetSubscriptionService() : nullptr;
    std::vector<std::shared_ptr<DeviceImpl>> kept;
    std::vector<std::shared_ptr<DeviceImpl>> dropped;
    {
        std::lock_guard<std::mutex> tablesLock(_deviceTablesMutex);
        std::lock_guard<std::mutex> setLock(_deviceSetMutex);
        for (const auto& device : _deviceSet) {
            (handle && device->HasHandle(handle) ? kept : dropped).push_back(device);
        }
        // The keep-alive times and the wanted sets stay: the timer drops what names no
        // device.
        GuidTimes keepAlive = std::move(_tcpDiscoReplyTimes);
        clearDeviceTables();
        _tcpDiscoReplyTimes = std::move(keepAlive);
        for (const auto& device : kept) {
            enterLocked(device, AllTables);
        }
    }
    std::vector<std::shared_ptr<TcpSocket>> closing;
    {
        std::lock_guard<std::mutex> lock(_incomingMutex);
        std::vector<std::shared_ptr<TcpSocket>> staying;
        for (const auto& connection : _incomingConnections) {
            if (ZelkorDriver::HandleOf(connection.get()) == handle) {
                staying.push_back(connection);
            } else if (connection->SocketIsOpen()) {
                closing.push_back(connection);
            }
        }
        _incomingConnections.swap(staying);
    }
    if (subscriptions) {
        // What a dropped connection subscribed to goes with it; the kept one keeps its
        // subscriptions.
        for (const auto& device : dropped) {
            for (const auto& connection : device->Connections()) {
                subscriptions->RemoveSubscription(ZelkorDriver::HandleOf(connection.get()));
            }
        }
        for (const auto& connection : closing) {
            subscriptions->RemoveSubscription(ZelkorDriver::HandleOf(connection.get()));
        }
    }
    dropDevices(std::move(dropped));
    if (!closing.empty()) {
        onLoop([closing = std::move(closing)] {
            for (const auto& connection : closing) {
                connection->SendGoodbye();
                connection->Close();
            }
        });
    }
    StartTimer();
}

}  // namespace Zelkor
