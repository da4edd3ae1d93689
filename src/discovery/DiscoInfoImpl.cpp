#include "discovery/DiscoInfoImpl.h"

#include <exception>

#include "discovery/Disco.h"
#include "discovery/ScalarText.h"
#include "storage/StorageModel.h"

namespace Zelkor {

namespace {

const char* const kDevicePath = "/configuration/device";

// A name exactly as the parameter table spells it; unknown otherwise.
Param exactParam(const std::string& name) {
    const auto& names = ParamFromString();
    const auto found = names.find(name);
    return found == names.end() ? Param::unknown : found->second;
}

std::string lastElement(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isInterfaceValue(Param name) {
    return name == Param::dhcp || name == Param::gateway || name == Param::ip || name == Param::mac ||
           name == Param::subnetmask;
}

// Leading decimal digits, saturated; 0 without any.
Json::UInt leadingDigits(const std::string& text) {
    Json::UInt value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        value = value > 100000000u ? value : value * 10 + static_cast<Json::UInt>(c - '0');
    }
    return value;
}

}  // namespace

DiscoInfoImpl::DiscoInfoImpl() : ZelkorLoggable("DISI") {}

void DiscoInfoImpl::Init(std::shared_ptr<StorageModel> storage) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _storage = std::move(storage);
    }
    ReadDiscoReplyValues();
}

void DiscoInfoImpl::ReadDiscoReplyValues() {
    std::shared_ptr<StorageModel> storage;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        storage = _storage;
    }
    if (!storage) {
        return;
    }
    for (Param name : Disco::RequestedNames()) {
        const std::string path =
            name == Param::descriptorversion ? std::string("/version") : std::string(kDevicePath) + "/" + ParamName(name);
        Json::Value value;
        try {
            if (storage->GetValueForPath(path.c_str(), "variant", value) != 0) {
                continue;
            }
        } catch (const std::exception& error) {
            Error("ZK6200E ReadDiscoReplyValues exception in storage", error.what());
            continue;
        } catch (...) {
            Error("ZK6201E ReadDiscoReplyValues exception in storage");
            continue;
        }
        if (value.isNumeric() || value.isString() || value.isBool()) {
            std::lock_guard<std::mutex> lock(_mutex);
            _values[name] = value;
        }
    }
}

void DiscoInfoImpl::UpdateDiscoReplyValue(const std::string& path, const std::string& value) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || path.compare(0, slash, kDevicePath) != 0 ||
        slash != std::string(kDevicePath).size()) {
        return;
    }
    const Param name = exactParam(path.substr(slash + 1));
    if (name == Param::unknown) {
        return;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _values[name] = Json::Value(value);
}

void DiscoInfoImpl::UpdateInterfaceDiscoReplyValue(const std::string& interfaceName, const std::string& name,
                                                   const std::string& value) {
    const Param p = exactParam(lastElement(name));
    if (p == Param::unknown) {
        return;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _interfaceValues[{interfaceName, p}] = Json::Value(value);
}

bool DiscoInfoImpl::GetDiscoReplyValue(const std::string& interfaceName, Param name, Json::Value& out) const {
    if (name == Param::protocolversion) {
        out = ProtocolVersionText;
        return true;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    if (isInterfaceValue(name) || name == Param::port) {
        const auto found = _interfaceValues.find({interfaceName, name});
        if (found == _interfaceValues.end()) {
            return false;
        }
        out = name == Param::port ? Json::Value(leadingDigits(found->second.asString())) : found->second;
        return true;
    }
    const auto found = _values.find(name);
    if (found == _values.end()) {
        return false;
    }
    if (name == Param::locating) {
        std::string flag;
        ScalarText(found->second, flag);
        out = Json::Value(flag == "true");
    } else {
        out = found->second;
    }
    return true;
}

std::string DiscoInfoImpl::text(Param name) const {
    std::lock_guard<std::mutex> lock(_mutex);
    const auto found = _values.find(name);
    std::string out;
    if (found != _values.end()) {
        ScalarText(found->second, out);
    }
    return out;
}

std::string DiscoInfoImpl::GUID() const { return text(Param::guid); }

std::string DiscoInfoImpl::InstanceName() const { return text(Param::name); }

}  // namespace Zelkor
