#include "driver/DriverTransferDevices.h"

#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"

namespace Zelkor {

bool DriverTransferDevices::HasDevices() {
    auto* discovery = _discovery();
    return discovery && discovery->GetDeviceList();
}

std::uint64_t DriverTransferDevices::ReplyTimeoutMs() {
    auto* discovery = _discovery();
    return discovery ? discovery->GetReplyTimeout() : 0;
}

ITransferDevices::Lookup DriverTransferDevices::FindDevice(const std::string& id, Route& route) {
    auto* discovery = _discovery();
    auto* list = discovery ? discovery->GetDeviceList() : nullptr;
    const auto device = list ? discovery->GetDeviceImplByUUID(id) : nullptr;
    if (!device) {
        return Lookup::Unknown;
    }
    route.key = device->GuidKey();
    route.socket = device->GetFileTransferHandle(false);
    if (!route.socket) {
        return Lookup::NoConnection;
    }
    // The route of the moment: a device behind a router is reached through its hops.
    device->SetForwardInfo();
    route.header = MessageForwardInfo();
    device->GetForwardInfo(route.header);
    route.header = route.header.RouteOnly();
    return Lookup::Found;
}

void DriverTransferDevices::InboundConnections(const std::shared_ptr<TcpSocket>& socket,
                                               std::vector<std::shared_ptr<TcpSocket>>& out) {
    if (auto* discovery = _discovery()) {
        discovery->GetInboundConnection(socket, out);
    }
}

}  // namespace Zelkor
