#include "support/FakeTransferDevices.h"

#include <utility>

namespace ZelkorTest {

using Zelkor::ITransferDevices;

ITransferDevices::Lookup FakeTransferDevices::FindDevice(const std::string& id, Route& route) {
    const auto found = _devices.find(id);
    if (found == _devices.end()) {
        return Lookup::Unknown;
    }
    if (!found->second.socket) {
        return Lookup::NoConnection;
    }
    route.socket = found->second.socket;
    route.key = id;
    route.header = Zelkor::MessageForwardInfo();
    if (!found->second.targets.empty()) {
        route.header.SetTargetPaths(found->second.targets);
    }
    if (!found->second.sources.empty()) {
        route.header.SetSourcePaths(found->second.sources);
    }
    return Lookup::Found;
}

void FakeTransferDevices::InboundConnections(const std::shared_ptr<Zelkor::TcpSocket>& socket,
                                             std::vector<std::shared_ptr<Zelkor::TcpSocket>>& out) {
    const auto range = _inbound.equal_range(socket.get());
    for (auto it = range.first; it != range.second; ++it) {
        out.push_back(it->second);
    }
}

void FakeTransferDevices::Add(const std::string& id, std::shared_ptr<Zelkor::TcpSocket> socket, const std::string& targets,
                              const std::string& sources) {
    _devices[id] = Device{std::move(socket), targets, sources};
}

void FakeTransferDevices::AddInbound(const std::shared_ptr<Zelkor::TcpSocket>& socket,
                                     std::shared_ptr<Zelkor::TcpSocket> inbound) {
    _inbound.emplace(socket.get(), std::move(inbound));
}

}  // namespace ZelkorTest
