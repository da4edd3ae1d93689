#pragma once
// This node's own discovery reply values: node-wide ones read from storage (and kept up
// to date as storage sets them), and per-interface ones (address data of each served
// interface) set by the driver's listen state.
//
// Ownership: the discovery service's; storage is shared with it.
// Threads: every operation may come from any thread; one mutex guards both tables and is
// never held while storage is called.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include <json/value.h>

#include "core/Param.h"
#include "core/ZelkorLoggable.h"

class StorageModel;

namespace Zelkor {

class DiscoInfoImpl : public ZelkorLoggable {
public:
    // The protocol version every reply carries, whatever storage holds.
    static constexpr const char* ProtocolVersionText = "1.16.1.26";

    DiscoInfoImpl();

    // Keeps the storage and reads the values from it.
    void Init(std::shared_ptr<StorageModel> storage);
    // Each requested value from "/configuration/device/<name>" ("/version" for
    // "descriptorversion"); strings, numbers and booleans replace what was kept.
    void ReadDiscoReplyValues();
    // A value storage set: kept when the path is "/configuration/device/<name>" of a
    // parameter name; any other path is ignored.
    void UpdateDiscoReplyValue(const std::string& path, const std::string& value);
    // One value of one interface ("dhcp", "gateway", "ip", "mac", "port", "subnetmask");
    // `name` may be a path ending in the name.
    void UpdateInterfaceDiscoReplyValue(const std::string& interfaceName, const std::string& name,
                                        const std::string& value);
    // The value a reply on that interface carries; false, `out` untouched, when there is
    // none. "locating" is a boolean, "port" an integer, "protocolversion" always given.
    bool GetDiscoReplyValue(const std::string& interfaceName, Param name, Json::Value& out) const;

    // The "guid" and "name" values as text; "" when unset.
    std::string GUID() const;
    std::string InstanceName() const;

private:
    std::string text(Param name) const;

    mutable std::mutex _mutex;
    std::map<Param, Json::Value> _values;
    std::map<std::pair<std::string, Param>, Json::Value> _interfaceValues;
    std::shared_ptr<StorageModel> _storage;
};

}  // namespace Zelkor
