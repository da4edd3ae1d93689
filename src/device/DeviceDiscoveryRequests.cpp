// The discovery-level requests a controller sends to one device: locate and identify,
// which work without a connection too, reboot and new network settings.

#include "device/DeviceImpl.h"

#include <utility>

#include <boost/asio/ip/address.hpp>

#include "discovery/DiscoveryService.h"
#include "driver/ZelkorDriver.h"
#include "services/DeviceStateMessages.h"
#include "services/IDeviceStateService.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

void DeviceImpl::sendLevelRequest(const char* noDriver, const char* noService, const ByHandle& byHandle,
                                  const ByAddress& byAddress, const ByMulticast& byMulticast) {
    if (!_driver.lock()) {
        Warning(noDriver);
        return;
    }
    const auto service = discovery();
    if (!service) {
        Warning(noService);
        return;
    }
    if (IsConnected()) {
        ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
            byHandle(*service, ZelkorDriver::HandleOf(socket.get()), header);
        });
        return;
    }
    std::string ipText;
    unsigned short port = 0;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        ipText = _record.getDiscoInfo().ip;
        port = _record.getDiscoInfo().port;
    }
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(ipText, error);
    if (error) {
        byMulticast(*service);
    } else {
        byAddress(*service, address, port);
    }
}

void DeviceImpl::Locate(std::string& timeout) {
    LocateInfo info;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        const DiscoInfo& record = _record.getDiscoInfo();
        info.guid = record.guid;
        info.mac = record.mac;
        info.name = record.name;
    }
    info.timeout = timeout;
    sendLevelRequest(
        "ZK6621W Driver is not avaliable", "ZK6622W Discovery Service is not avaliable",
        [&](DiscoveryService& service, void* handle, MessageForwardInfo& header) {
            service.SendLocateRequest(handle, header, info);
        },
        [&](DiscoveryService& service, const boost::asio::ip::address& address, unsigned short port) {
            service.SendLocateRequest(address, port, info);
        },
        [&](DiscoveryService& service) { service.SendLocateRequest(info); });
}

void DeviceImpl::Locate(long timeout) {
    std::string text = std::to_string(timeout);
    Locate(text);
}

void DeviceImpl::Locate(LocateInfo& info) {
    sendLevelRequest(
        "ZK6623W Driver is not avaliable", "ZK6624W Discovery Service is not avaliable",
        [&](DiscoveryService& service, void* handle, MessageForwardInfo& header) {
            service.SendLocateRequest(handle, header, info);
        },
        [&](DiscoveryService& service, const boost::asio::ip::address& address, unsigned short port) {
            service.SendLocateRequest(address, port, info);
        },
        [&](DiscoveryService& service) { service.SendLocateRequest(info); });
}

void DeviceImpl::Identify(IdentifyInfo& info) {
    sendLevelRequest(
        "ZK6625W Driver is not avaliable", "ZK6626W Discovery Service is not avaliable",
        [&](DiscoveryService& service, void* handle, MessageForwardInfo& header) {
            service.SendIdentifyRequest(handle, header, info);
        },
        [&](DiscoveryService& service, const boost::asio::ip::address& address, unsigned short port) {
            service.SendIdentifyRequest(address, port, info);
        },
        [&](DiscoveryService& service) { service.SendIdentifyRequest(info); });
}

void DeviceImpl::SendReboot(const std::string& mac) {
    const auto service = discovery();
    if (!service) {
        return;
    }
    // With the device's routing header: through a router, the device is asked, not the
    // router (which would take an empty MAC as its own).
    ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        service->SendReboot(ZelkorDriver::HandleOf(socket.get()), mac, header);
    });
}

void DeviceImpl::SetIP(SETIP_SETTINGS settings) {
    // The driver is held while the service is used: it owns the service.
    const auto owner = _driver.lock();
    IDeviceStateService* service = owner ? owner->GetDeviceStateService() : nullptr;
    if (!service) {
        return;
    }
    // With the device's routing header, so that through a router the device applies it.
    ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        service->SendSetIP(ZelkorDriver::HandleOf(socket.get()), header, settings);
    });
}

void DeviceImpl::OnSetIP(std::function<void(SETIP_SETTINGS&)> callback) {
    store(_onSetIP, std::move(callback));
    // The "setip" replies are raised by the device-state service; a registration made
    // before it exists attaches nothing, and the next one after it does.
    const auto owner = _driver.lock();
    IDeviceStateService* service = owner ? owner->GetDeviceStateService() : nullptr;
    // The handler owns the device (sourceFilter), so `this` stays valid in it.
    hook(Cookie::SetIP, owner != nullptr, service, "setip", sourceFilter(true, [this](const Message& message) {
             const auto deliver = copy(_onSetIP);
             if (deliver) {
                 SETIP_SETTINGS settings = Zelkor::SetIP::ReadSettings(message);
                 deliver(settings);
             }
         }));
}

}  // namespace Zelkor
