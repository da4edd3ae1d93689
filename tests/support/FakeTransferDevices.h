#pragma once
// A device directory for transfer service tests: devices are added by GUID with the
// connection (and route) a transfer to them takes; a device added without connection is
// known but unreachable.
//
// Threads: the test and the service's loop thread, one at a time (the test drives the
// loop).

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "filetransfer/ITransferDevices.h"

namespace ZelkorTest {

class FakeTransferDevices final : public Zelkor::ITransferDevices {
public:
    bool HasDevices() override { return hasDevices; }
    std::uint64_t ReplyTimeoutMs() override { return replyTimeoutMs; }
    Lookup FindDevice(const std::string& id, Route& route) override;
    void InboundConnections(const std::shared_ptr<Zelkor::TcpSocket>& socket,
                            std::vector<std::shared_ptr<Zelkor::TcpSocket>>& out) override;

    // `socket` null: known, no connection. `targets` "&"-joined route, empty: direct;
    // `sources` the route back (a header is written only with both lists).
    void Add(const std::string& id, std::shared_ptr<Zelkor::TcpSocket> socket, const std::string& targets = "",
             const std::string& sources = "");
    void AddInbound(const std::shared_ptr<Zelkor::TcpSocket>& socket, std::shared_ptr<Zelkor::TcpSocket> inbound);

    bool hasDevices = true;
    std::uint64_t replyTimeoutMs = 0;

private:
    struct Device {
        std::shared_ptr<Zelkor::TcpSocket> socket;
        std::string targets;
        std::string sources;
    };
    std::map<std::string, Device> _devices;
    std::multimap<Zelkor::TcpSocket*, std::shared_ptr<Zelkor::TcpSocket>> _inbound;
};

}  // namespace ZelkorTest
