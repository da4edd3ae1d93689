#include "Transfers.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <functional>

#include "discovery/IDeviceList.h"
#include "discovery/IDiscoveryService.h"
#include "filetransfer/IFileTransferService.h"
#include "TransferReasons.h"

namespace ZelkorNode {
namespace {

bool OptionalText(const Json::Value& value) { return value.isNull() || value.isString(); }

// The library's decimal texts as the numbers they are; 0 for one that is none.
std::uint64_t Number(const std::string& text) {
    std::uint64_t number = 0;
    std::from_chars(text.data(), text.data() + text.size(), number);
    return number;
}

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
    // The folder was there when the options were read; it may have gone since.
    const std::string refused = service->SetStorageRootPath(_options.storageRoot);
    if (!refused.empty()) {
        _events.Error("storage root " + _options.storageRoot + " refused: " + refused);
    }
    // Peers' paths stay below the root for the file-system words too, unless asked.
    service->SetFileSystemConfined(!_options.hostFileSystem);
    if (_options.blockSize) {
        service->SetBlockSize(*_options.blockSize);
    }
    if (_options.transferCount) {
        service->SetFileTransferCount(*_options.transferCount);
    }
    if (_options.transferInterval) {
        service->SetFileTransferInterval(*_options.transferInterval);
    }
    // The timer scale's test seam shortens the silence bounds of answered transfers too,
    // as the library shortens its own: never below 10 s (nor one already shorter below
    // itself), so that a loaded machine's slow peer is not taken for a silent one.
    const auto scaled = [this](std::chrono::milliseconds bound) {
        const std::chrono::milliseconds floor = std::min<std::chrono::milliseconds>(bound, std::chrono::seconds(10));
        return std::max(floor, bound / static_cast<long>(_options.timerScale));
    };
    service->SetAnsweredSilence(scaled(Zelkor::IFileTransferService::DefaultAnsweredSilence));
    service->SetReopenQuiet(scaled(Zelkor::IFileTransferService::DefaultReopenQuiet));
    service->OnPutFile([this](Zelkor::PutFileInfo& info) {
        reportLine(true, info.path, info.state, info.length, info.blocksize, info.checksum, info.error, info.peer);
    });
    service->OnGetFile([this](Zelkor::GetFileInfo& info) {
        reportLine(false, info.path, info.state, info.length, info.blocksize, info.checksum, info.error, info.peer);
    });
    // Answered transfers report progress before any device object has registered its
    // callback (a device node may never list its controller).
    service->SetFileTxHandle(progressLine());
}

Zelkor::IDevice::ProgressCallback Transfers::progressLine() {
    return [this](double& percent, std::string& path, std::string& id) {
        Json::Value fields;
        fields["percent"] = percent;
        fields["path"] = path;
        fields["id"] = id;
        const TransferFlows::Flow* flow = _flows.Progressing(path, id);
        fields["remote"] = flow ? flow->remote : std::string();
        // The library counts percent of the length; a get opened here learns its length
        // only at its end.
        fields["bytes"] = flow && flow->length != 0
                              ? Json::Value(static_cast<Json::UInt64>(std::llround(percent / 100.0 * flow->length)))
                              : Json::Value();
        _events.Write("progress", fields);
    };
}

void Transfers::Attach(Zelkor::IDevice& device) { device.onFileProgressStatus(progressLine()); }

void Transfers::AddCommands(Commands& commands) {
    commands["sendfile"] = [this](const Json::Value& command) { transfer("sendfile", command, true); };
    commands["recvfile"] = [this](const Json::Value& command) { transfer("recvfile", command, false); };
    commands["cancelput"] = [this](const Json::Value& command) { cancelPut(command); };
    commands["cancelsend"] = [this](const Json::Value& command) { cancelSend(command); };
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
// each device named must be listed; an absent path travels empty, for the library to
// refuse; blocksize absent: the node's own (the library takes 0 as 65536, held to the
// node's own). Answered by a "request" line (cmd, tag, devices, local as given, path as
// the library completed it, remote), then one line of the command's name per device: one
// the device object refused (a ".." element in a put's remote path, while this node's
// tree does not allow parent paths) says "refused by the device object".
void Transfers::transfer(const std::string& name, const Json::Value& command, bool put) {
    std::vector<std::string> guids;
    const Json::Value& blockSize = command["blocksize"];
    const bool valid = readDevices(command["device"], guids) && OptionalText(command["local"]) &&
                       OptionalText(command["remote"]) && OptionalText(command["tag"]) &&
                       (blockSize.isNull() || blockSize.isUInt());
    Zelkor::IFileTransferService* service = _driver.GetFileTransferService();
    Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
    if (!valid || !service || !discovery) {
        _events.Error("bad arguments for " + name);
        return;
    }
    std::vector<std::shared_ptr<Zelkor::IDevice>> devices;
    for (const auto& guid : guids) {
        auto device = discovery->GetDeviceList()->GetDeviceByUUID(guid);
        if (!device) {
            _events.Error("no device " + guid + " for " + name);
            return;
        }
        devices.push_back(std::move(device));
    }
    const std::string tag = command["tag"].asString();
    const unsigned long size = blockSize.isNull() ? service->GetBlockSize() : blockSize.asUInt();
    const std::string remote = command["remote"].asString();
    // The library completes a bare local name (no separator) with the storage root. The
    // folder this node made for its peers is not its own: there a bare name stays the
    // working folder's.
    const std::string asked = command["local"].asString();
    const bool bare = !asked.empty() && asked.find_first_of("/\\") == std::string::npos;
    const std::string given = bare && !_options.storageRootGiven ? "./" + asked : asked;
    const std::string root = service->GetStorageRootPath();
    const std::string path = bare && _options.storageRootGiven ? root + "/" + given : given;
    // Each device's transfer ends with a line named after the command.
    std::vector<std::function<void(bool, const std::string&)>> refused;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const std::uint64_t key = _flows.Open(put, path, remote, guids[i]);
        auto done = [this, name, put, tag, guid = guids[i], key, path, remote](bool success, const std::string& text) {
            const TransferFlows::Flow* flow = _flows.Opened(key);
            const bool byDevice = flow && flow->peerFailed;
            _flows.Forget(key);
            Json::Value fields;
            fields["tag"] = tag;
            fields["guid"] = guid;
            fields["success"] = success;
            fields["text"] = text;
            if (!success) {
                // The state text stays as the library gives it; which side failed, and why
                // where this node knows it, come beside it.
                const TransferReason told = ReasonOf(TransferFailure{put, byDevice, text, path, remote});
                fields["side"] = told.side;
                fields["reason"] = told.reason;
            }
            _events.Write(name, fields);
        };
        const bool queued = put ? devices[i]->SendFile(given, remote, size, done)
                                : devices[i]->RecvFile(given, remote, size, done);
        if (!queued) {
            refused.push_back(std::move(done));
        }
    }
    // Written once queued, to show the completed path; every done comes later, on the loop.
    Json::Value line;
    line["cmd"] = name;
    line["tag"] = tag;
    line["devices"] = Json::Value(Json::arrayValue);
    for (const auto& guid : guids) {
        line["devices"].append(guid);
    }
    line["local"] = asked;
    line["path"] = path;
    line["remote"] = remote;
    _events.Write("request", line);
    for (const auto& done : refused) {
        done(false, "refused by the device object");
    }
}

// {"cmd":"cancelsend","device":G}: the device object's cancel, on the connection a request
// to the device takes, with its routing header.
void Transfers::cancelSend(const Json::Value& command) {
    std::string guid;
    Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
    if (!command["device"].isString() || !CanonicalGuid(command["device"].asString(), guid) || !discovery) {
        _events.Error("bad arguments for cancelsend");
        return;
    }
    const auto device = discovery->GetDeviceList()->GetDeviceByUUID(guid);
    if (!device) {
        _events.Error("no device " + command["device"].asString() + " for cancelsend");
        return;
    }
    // Its answer is the put's own "sendfile" line; without a put, or a connection to ask
    // on, none comes, and the node says so.
    if (!Reachable(*device)) {
        WriteRequest(_events, RequestLine("cancelsend", guid, true), false);
        return;
    }
    device->CancelSendFile();
    _events.Write("request", RequestLine("cancelsend", guid, true));
    if (!_flows.PutInFlight(guid)) {
        _events.Error("cancelsend to " + guid +
                      " cancels nothing, no answer will come: this node has no put to the device in flight");
    }
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
    line["guid"] = guid;
    line["remote"] = command["remote"];
    _events.Write("cancelput", line);
}

// {"event":"transfer","kind":"put"|"get","path","remote","state","length","blocksize",
// "checksum","error"}: a failure ends the transfer, whatever state the library names.
void Transfers::reportLine(bool put, const std::string& path, const std::string& state, const std::string& length,
                           const std::string& blocksize, const std::string& checksum, const std::string& error,
                           bool peerFailed) {
    const bool begin = state == "begin" && error.empty();
    const TransferFlows::Flow flow = _flows.Report(put, path, begin, Number(length), peerFailed);
    Json::Value fields;
    fields["kind"] = put ? "put" : "get";
    fields["path"] = flow.path;
    fields["remote"] = flow.remote;
    fields["state"] = begin ? "begin" : "end";
    fields["length"] = static_cast<Json::UInt64>(Number(length));
    fields["blocksize"] = static_cast<Json::UInt64>(Number(blocksize));
    fields["checksum"] = checksum;
    fields["error"] = error;
    _events.Write("transfer", fields);
}

}  // namespace ZelkorNode
