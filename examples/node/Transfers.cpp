#include "Transfers.h"

#include "discovery/IDiscoveryService.h"
#include "filetransfer/IFileTransferService.h"

namespace ZelkorNode {
namespace {

bool OptionalText(const Json::Value& value) { return value.isNull() || value.isString(); }

}  // namespace

Transfers::Transfers(Zelkor::IZelkorDriver& driver, const Options& options, Events& events)
    : _driver(driver), _options(options), _events(events) {}

void Transfers::Configure() {
    if (_options.replyTimeout) {
        if (Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService()) {
            discovery->SetReplyTimeout(*_options.replyTimeout);
        }
    }
    Zelkor::IFileTransferService* service = _driver.GetFileTransferService();
    if (!service) {
        return;
    }
    if (!_options.storageRoot.empty()) {
        // The option was a folder when it was read; it may have gone since.
        const std::string refused = service->SetStorageRootPath(_options.storageRoot);
        if (!refused.empty()) {
            _events.Error("storage root " + _options.storageRoot + " refused: " + refused);
        }
    }
    if (_options.blockSize) {
        service->SetBlockSize(*_options.blockSize);
    }
    if (_options.transferCount) {
        service->SetFileTransferCount(*_options.transferCount);
    }
    if (_options.transferInterval) {
        service->SetFileTransferInterval(*_options.transferInterval);
    }
    service->OnPutFile([this](Zelkor::PutFileInfo& info) {
        reportLine("put", info.path, info.state, info.length, info.blocksize, info.checksum, info.error);
    });
    service->OnGetFile([this](Zelkor::GetFileInfo& info) {
        reportLine("get", info.path, info.state, info.length, info.blocksize, info.checksum, info.error);
    });
    service->SetFileTxHandle([this](double& percent, std::string& path, std::string& id) {
        Json::Value fields;
        fields["percent"] = percent;
        fields["path"] = path;
        fields["id"] = id;
        _events.Write("progress", fields);
    });
}

void Transfers::AddCommands(Commands& commands) {
    commands["sendfile"] = [this](const Json::Value& command) { transfer("sendfile", command, true); };
    commands["recvfile"] = [this](const Json::Value& command) { transfer("recvfile", command, false); };
    commands["cancelput"] = [this](const Json::Value& command) { cancelPut(command); };
}

bool Transfers::readDevices(const Json::Value& value, std::vector<std::string>& out) {
    if (value.isString()) {
        std::string guid;
        if (!CanonicalGuid(value.asString(), guid)) {
            return false;
        }
        out.push_back(guid);
        return true;
    }
    if (!value.isArray() || value.empty()) {
        return false;
    }
    for (const auto& entry : value) {
        std::string guid;
        if (!entry.isString() || !CanonicalGuid(entry.asString(), guid)) {
            return false;
        }
        out.push_back(guid);
    }
    return true;
}

// {"cmd":"sendfile"|"recvfile","device":G|[G…],"local":L,"remote":R[,"blocksize":N][,"tag":T]}:
// an absent path travels empty, for the library to refuse; blocksize absent: the node's
// own (the library takes 0 as 65536, held to the node's own). Answered by a "request"
// line (cmd, tag, devices, local as given, path as the library completed it, remote),
// then one "done" per device.
void Transfers::transfer(const std::string& name, const Json::Value& command, bool put) {
    std::vector<std::string> devices;
    const Json::Value& blockSize = command["blocksize"];
    const bool valid = readDevices(command["device"], devices) && OptionalText(command["local"]) &&
                       OptionalText(command["remote"]) && OptionalText(command["tag"]) &&
                       (blockSize.isNull() || blockSize.isUInt());
    Zelkor::IFileTransferService* service = _driver.GetFileTransferService();
    if (!valid || !service) {
        _events.Error("bad arguments for " + name);
        return;
    }
    Zelkor::IFileTransferService::FilePairs files{{command["local"].asString(), command["remote"].asString()}};
    const std::string tag = command["tag"].asString();
    auto done = [this, tag](bool success, const std::string& text) {
        Json::Value fields;
        fields["tag"] = tag;
        fields["success"] = success;
        fields["text"] = text;
        _events.Write("done", fields);
    };
    std::vector<std::string> targets = devices;
    const unsigned long size = blockSize.isNull() ? service->GetBlockSize() : blockSize.asUInt();
    // The library completes a bare local name in the pair it is given.
    const std::string given = files.front().first;
    if (put) {
        service->SendFiles(targets, files, size, done);
    } else {
        service->ReceiveFiles(targets, files, size, done);
    }
    // Written once queued, to show the completed path; every done comes later, on the loop.
    Json::Value line;
    line["cmd"] = name;
    line["tag"] = tag;
    line["devices"] = Json::Value(Json::arrayValue);
    for (const auto& guid : devices) {
        line["devices"].append(guid);
    }
    line["local"] = given;
    line["path"] = files.front().first;
    line["remote"] = files.front().second;
    _events.Write("request", line);
}

// {"cmd":"cancelput","device":G,"remote":R}
void Transfers::cancelPut(const Json::Value& command) {
    std::string guid;
    Zelkor::IFileTransferService* service = _driver.GetFileTransferService();
    if (!command["device"].isString() || !CanonicalGuid(command["device"].asString(), guid) ||
        !command["remote"].isString() || !service) {
        _events.Error("bad arguments for cancelput");
        return;
    }
    service->CancelPutFile(guid, command["remote"].asString());
    Json::Value line;
    line["device"] = guid;
    line["remote"] = command["remote"];
    _events.Write("cancelput", line);
}

// {"event":"transfer","kind":"put"|"get","path","state","length","blocksize","checksum","error"}
void Transfers::reportLine(const char* kind, const std::string& path, const std::string& state,
                           const std::string& length, const std::string& blocksize, const std::string& checksum,
                           const std::string& error) {
    Json::Value fields;
    fields["kind"] = kind;
    fields["path"] = path;
    fields["state"] = state;
    fields["length"] = length;
    fields["blocksize"] = blocksize;
    fields["checksum"] = checksum;
    fields["error"] = error;
    _events.Write("transfer", fields);
}

}  // namespace ZelkorNode
