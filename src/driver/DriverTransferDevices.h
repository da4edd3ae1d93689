#pragma once
// The transfer service's view of the discovered devices, answered from the driver's
// discovery service: nothing is found while there is none.
//
// Ownership: a member of the driver, which outlives the transfer service. Threads: the
// event-loop thread, as the transfer service calls it.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filetransfer/ITransferDevices.h"

namespace Zelkor {

class DiscoveryService;

class DriverTransferDevices final : public ITransferDevices {
public:
    // `discovery` gives the driver's discovery service at the time of the call.
    explicit DriverTransferDevices(std::function<DiscoveryService*()> discovery) : _discovery(std::move(discovery)) {}

    bool HasDevices() override;
    std::uint64_t ReplyTimeoutMs() override;
    Lookup FindDevice(const std::string& id, Route& route) override;
    void InboundConnections(const std::shared_ptr<TcpSocket>& socket,
                            std::vector<std::shared_ptr<TcpSocket>>& out) override;

private:
    std::function<DiscoveryService*()> _discovery;
};

}  // namespace Zelkor
