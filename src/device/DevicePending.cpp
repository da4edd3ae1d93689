// PENDING: stand-ins while the device's connection machinery is written; this file goes
// when it lands.

#include "device/DeviceImpl.h"

#include "transport/TcpSocket.h"
#include "transport/TcpSocketSet.h"

namespace Zelkor {

void* DeviceImpl::GetConnectionHandle() { return nullptr; }
bool DeviceImpl::IsConnected() { return IsDirectlyConnected() || IsProxyConnected(); }
bool DeviceImpl::IsProxyConnected() {
    const auto router = Proxy();
    return router && router->IsDirectlyConnected();
}
std::string DeviceImpl::ProxyName() { return {}; }
std::string DeviceImpl::ProxyGuid() { return {}; }
bool DeviceImpl::HasProxy() { return static_cast<bool>(Proxy()); }
bool DeviceImpl::IsEncrypted() { return false; }
void DeviceImpl::SetForwardInfo() {}
std::shared_ptr<TcpSocket> DeviceImpl::GetFileTransferHandle(bool) { return nullptr; }
void DeviceImpl::Connect(bool) {}
void DeviceImpl::SendKeepAliveDisco(bool) {}
void DeviceImpl::SetProxy(const std::shared_ptr<DeviceImpl>& router) {
    std::lock_guard<std::mutex> lock(_proxyMutex);
    _proxy = router;
}
std::shared_ptr<DeviceImpl> DeviceImpl::Proxy() const {
    std::lock_guard<std::mutex> lock(_proxyMutex);
    return _proxy.lock();
}
void DeviceImpl::EraseSocket(const std::shared_ptr<TcpSocket>&) {}
void DeviceImpl::OnSocketConnected(const std::shared_ptr<TcpSocket>&, const boost::system::error_code&) {}
std::shared_ptr<TcpSocket> DeviceImpl::GetEncryptedHandle() { return nullptr; }
void DeviceImpl::ForTheHandle(const std::function<void(std::shared_ptr<TcpSocket>)>&) {}
void DeviceImpl::ForTheEncryptedHandle(const std::function<void(std::shared_ptr<TcpSocket>)>&) {}
void DeviceImpl::ForTheSet(const std::function<void(std::shared_ptr<TcpSocketSet>)>&) {}
bool DeviceImpl::MatchSource(const MessageSignalData&) { return false; }

}  // namespace Zelkor
