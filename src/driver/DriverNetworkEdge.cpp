// The driver's network edge: listener configuration, listen state, TLS material and the
// local network queries. Until the listeners and the TLS material are built these record
// nothing: adds are refused, queries answer empty, and nothing is served.

#include "driver/ZelkorDriver.h"

namespace Zelkor {

int ZelkorDriver::AddListener(const std::string& ip, unsigned short port, const std::string&, const std::string&,
                              bool, const std::string&) {
    return AddListener(ip, port);
}
int ZelkorDriver::AddListener(const std::string&, unsigned short) { return 1; }
bool ZelkorDriver::RemoveListener(const std::string&, unsigned short) { return true; }
bool ZelkorDriver::RemoveListener(const std::string&) { return true; }
bool ZelkorDriver::AddInterface(const std::string&, unsigned short) { return false; }
void ZelkorDriver::RemoveInterface(const std::string&) {}
void ZelkorDriver::RemoveInterface(const std::string&, unsigned short) {}
int ZelkorDriver::AddAllListeners(unsigned short, std::vector<std::string>&) { return 1; }
void ZelkorDriver::RemoveAllListeners() {}
void ZelkorDriver::RemoveAllListeners(unsigned short) {}
bool ZelkorDriver::AddNetwork(const std::string&, unsigned short) { return false; }
void ZelkorDriver::RemoveNetwork(const std::string&, unsigned short) {}
void ZelkorDriver::RemoveNetwork(const std::string&) {}
bool ZelkorDriver::AddMulticast(const std::string&) { return false; }
bool ZelkorDriver::RemoveMulticast(const std::string&) { return true; }
bool ZelkorDriver::ConnectionPolicyIsLazy() { return false; }
bool ZelkorDriver::ParentPathsAllowed() { return false; }
void ZelkorDriver::ListMulticast(std::vector<std::string>& groups) { groups.clear(); }
void ZelkorDriver::ListInterfaces(std::vector<InterfaceInfo>& list, std::string& hostName) {
    list.clear();
    hostName.clear();
}
void ZelkorDriver::GetEndPoints(std::vector<Endpoint>& endpoints) { endpoints.clear(); }
void ZelkorDriver::GetEndPointInterfaces(std::vector<std::string>& names) { names.clear(); }

void ZelkorDriver::OnListenerAdded(ListenerCallback callback) {
    std::lock_guard<std::mutex> lock(_callbackMutex);
    _listenerAdded = std::move(callback);
}

void ZelkorDriver::OnListenerRemoved(ListenerCallback callback) {
    std::lock_guard<std::mutex> lock(_callbackMutex);
    _listenerRemoved = std::move(callback);
}

bool ZelkorDriver::IsListener(const boost::asio::ip::address&, unsigned short) { return false; }
void ZelkorDriver::IPv4Address(std::string&, unsigned short&, std::string) {}
std::string ZelkorDriver::GetEndPointInterface(const boost::asio::ip::address&) { return ""; }
bool ZelkorDriver::IsLocalMAC(const std::string&) { return false; }
void ZelkorDriver::UpdateListenState() {}

void ZelkorDriver::InitCrypto() {}
void ZelkorDriver::InitSSLContext() {}
void ZelkorDriver::SetCert(std::string&) {}
void ZelkorDriver::SetKey(std::string&) {}
void ZelkorDriver::SetDHParams(std::string&) {}
unsigned long ZelkorDriver::GetTlsLevel() { return 0; }
void ZelkorDriver::SetCertFile(std::string&) {}
void ZelkorDriver::SetKeyFile(std::string&) {}
void ZelkorDriver::SetDHParamsFile(std::string&) {}
void ZelkorDriver::SetTlsLevel(unsigned long) {}

}  // namespace Zelkor
