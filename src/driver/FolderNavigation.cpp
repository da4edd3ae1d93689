// Folder navigation ("ls", "rls", "cd"): the driver's answers and senders. Until they
// are built, the words reach the signal map like any other and the senders send nothing.

#include "discovery/DiscoveryService.h"
#include "driver/ZelkorDriver.h"

namespace Zelkor {

void ZelkorDriver::SetCWDPath(std::string path) {
    std::lock_guard<std::mutex> lock(_cwdMutex);
    _cwd = std::move(path);
}

std::string ZelkorDriver::GetCWDPath() {
    std::lock_guard<std::mutex> lock(_cwdMutex);
    return _cwd;
}

std::shared_ptr<IDevice> ZelkorDriver::GetDeviceByName(std::string& name) {
    DiscoveryService* service = GetDiscovery();
    return service ? service->GetDeviceByName(name) : nullptr;
}
void ZelkorDriver::GetAbsPath(std::string&) {}
void ZelkorDriver::ProcessLsPath(std::string&, std::vector<std::pair<std::string, std::string>>&) {}
void ZelkorDriver::ProcessRlsPath(std::string&, std::vector<std::pair<std::string, std::string>>&) {}

void ZelkorDriver::OnLs(ReplyCallback callback) {
    std::lock_guard<std::mutex> lock(_callbackMutex);
    _onLs = std::move(callback);
}

void ZelkorDriver::OnRls(ReplyCallback callback) {
    std::lock_guard<std::mutex> lock(_callbackMutex);
    _onRls = std::move(callback);
}

void ZelkorDriver::OnCd(ReplyCallback callback) {
    std::lock_guard<std::mutex> lock(_callbackMutex);
    _onCd = std::move(callback);
}

void ZelkorDriver::SendNavigateFolder(std::shared_ptr<TcpSocketSet>, const char*, MessageForwardInfo&) {}
void ZelkorDriver::SendNavigateFolder(std::shared_ptr<TcpSocket>, const char*) {}
void ZelkorDriver::SendListFolder(std::shared_ptr<TcpSocketSet>, const char*, MessageForwardInfo&) {}
void ZelkorDriver::SendListFolder(std::shared_ptr<TcpSocket>, const char*) {}
void ZelkorDriver::SendRecurseFolder(std::shared_ptr<TcpSocketSet>, const char*, MessageForwardInfo&) {}
void ZelkorDriver::SendRecurseFolder(std::shared_ptr<TcpSocket>, const char*) {}

bool ZelkorDriver::ProcessFolderNavigatorCommand(const std::string&, MessageSignalData&) { return false; }

}  // namespace Zelkor
