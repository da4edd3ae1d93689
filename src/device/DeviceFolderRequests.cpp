// The folder navigation requests of a device: the driver builds and sends them on the
// device's own connection set, with the routing header prepared for each request.

#include "device/DeviceImpl.h"
#include "driver/ZelkorDriver.h"

namespace Zelkor {

namespace {

using FolderSend = void (ZelkorDriver::*)(std::shared_ptr<TcpSocketSet>, const char*, MessageForwardInfo&);

// Through the device's own set alone: a device reached only through its router is not
// asked (its own set is not connected).
void sendFolderRequest(DeviceImpl& device, const std::weak_ptr<ZelkorDriver>& weakDriver, FolderSend send,
                       const std::string& path) {
    const auto driver = weakDriver.lock();
    if (!driver || !device.IsConnected()) {
        return;
    }
    device.ForTheSet([&](std::shared_ptr<TcpSocketSet> set, MessageForwardInfo& header) {
        ((*driver).*send)(std::move(set), path.c_str(), header);
    });
}

}  // namespace

void DeviceImpl::SendLsCmdRequest(std::string& path) {
    sendFolderRequest(*this, _driver, &ZelkorDriver::SendListFolder, path);
}

void DeviceImpl::SendRlsCmdRequest(std::string& path) {
    sendFolderRequest(*this, _driver, &ZelkorDriver::SendRecurseFolder, path);
}

void DeviceImpl::SendCdCmdRequest(std::string& path) {
    sendFolderRequest(*this, _driver, &ZelkorDriver::SendNavigateFolder, path);
}

}  // namespace Zelkor
