#include "DeviceFiles.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "filetransfer/FileTransferService.h"

namespace ZelkorNode {
namespace {

// A member that may be absent: null then.
template <class T, class As = T>
Json::Value Optional(const std::optional<T>& value) {
    return value ? Json::Value(static_cast<As>(*value)) : Json::Value();
}

// One listing entry with all seven members, null where the reply had none.
Json::Value EntryFields(const Zelkor::ListFilesItem& item) {
    Json::Value entry;
    entry["name"] = item.name;
    entry["version"] = Optional(item.version);
    entry["size"] = static_cast<Json::UInt64>(item.size);
    entry["creationdate"] = Optional<std::uint64_t, Json::UInt64>(item.creationdate);
    entry["modifieddate"] = Optional<std::uint64_t, Json::UInt64>(item.modifieddate);
    entry["checksum"] = Optional(item.checksum);
    entry["readonly"] = Optional(item.readonly);
    return entry;
}

}  // namespace

DeviceFiles::DeviceFiles(Zelkor::IZelkorDriver& driver, Events& events) : _driver(driver), _events(events) {}

// The device calls its callbacks while it lives, so they may hold it by plain pointer; a
// line reads its GUID then.
void DeviceFiles::Attach(Zelkor::IDevice& device) {
    Zelkor::IDevice* const from = &device;
    const auto resultLine = [this, from](const char* event) {
        return [this, from, event](bool success, const std::string& error) {
            Json::Value fields = DeviceFields(*from);
            fields["success"] = success;
            fields["error"] = error;
            _events.Write(event, fields);
        };
    };
    device.OnDeletefileResult(resultLine("deletefile"));
    device.OnCreateDirResult(resultLine("mkdir"));
    device.OnRemoveDirResult(resultLine("rmdir"));
    device.OnFreespaceResult([this, from](bool success, long long& bytes, std::string& error) {
        Json::Value fields = DeviceFields(*from);
        fields["success"] = success;
        fields["bytes"] = static_cast<Json::Int64>(bytes);
        fields["error"] = error;
        _events.Write("freespace", fields);
    });
    device.OnListFilesResult(
        [this, from](bool success, const std::vector<Zelkor::ListFilesItem>& entries, const std::string& error) {
            Json::Value fields = DeviceFields(*from);
            fields["success"] = success;
            fields["entries"] = Json::Value(Json::arrayValue);
            for (const auto& item : entries) {
                fields["entries"].append(EntryFields(item));
            }
            fields["error"] = error;
            _events.Write("listfiles", fields);
        });
    device.OnFirmwareUpdateResult([this, from](const std::string& error) {
        Json::Value fields = DeviceFields(*from);
        fields["reply"] = true;
        fields["error"] = error;
        _events.Write("fwupdate", fields);
    });
    device.OnFirmwareUpdate([this, from](const std::string& arguments) {
        Json::Value fields = DeviceFields(*from);
        fields["arguments"] = arguments;
        _events.Write("firmwareUpdate", fields);
    });
}

void DeviceFiles::AddCommands(Commands& commands) {
    for (const char* name : {"deletefile", "listfiles", "freespace", "mkdir", "rmdir"}) {
        commands[name] = [this, name](const Json::Value& command) { pathRequest(name, command); };
    }
    commands["fwupdate"] = [this](const Json::Value& command) { firmwareUpdate(command); };
    commands["holddisk"] = [this](const Json::Value& command) { holdDisk(command); };
}

void DeviceFiles::holdDisk(const Json::Value& command) {
    const Json::Value& ms = command["ms"];
    if (!ms.isUInt64() || ms.asUInt64() == 0 || ms.asUInt64() > 3600000) {
        _events.Error("bad arguments for holddisk: \"ms\": expected a whole number from 1 to 3600000");
        return;
    }
    auto* transfers = dynamic_cast<Zelkor::FileTransferService*>(_driver.GetFileTransferService());
    const std::chrono::milliseconds hold(ms.asUInt64());
    Json::Value fields;
    fields["ms"] = ms;
    fields["held"] = transfers && transfers->PostDiskJob([hold] { std::this_thread::sleep_for(hold); });
    _events.Write("holddisk", fields);
}

// The device object refuses an empty path, and for freespace and deletefile one of 1024
// bytes or more, unanswered: such a path is refused here, with the reason.
void DeviceFiles::pathRequest(const std::string& name, const Json::Value& command) {
    static constexpr std::size_t kMaxTextPath = 1023;
    const Json::Value& path = command["path"];
    const bool limited = name == "freespace" || name == "deletefile";
    if (!path.isString() || path.asString().empty() || (limited && path.asString().size() > kMaxTextPath)) {
        _events.Error("bad arguments for " + name + ": \"path\": expected a text that is not empty" +
                      (limited ? std::string(", of at most 1023 bytes") : std::string()));
        return;
    }
    const auto device = ListedDevice(_driver, _events, name, command);
    if (!device) {
        return;
    }
    const std::string text = path.asString();
    Json::Value line = RequestLine(name, device->GetDiscoInfo().guid, true);
    line["path"] = text;
    if (!Reachable(*device)) {
        WriteRequest(_events, line, false);
        return;
    }
    if (name == "deletefile") {
        device->SendDeletefileCommand(text.c_str());
    } else if (name == "listfiles") {
        device->ListFiles(text);
    } else if (name == "freespace") {
        device->SendFreespaceCommand(text.c_str());
    } else if (name == "mkdir") {
        device->CreateDir(text);
    } else {
        device->RemoveDir(text);
    }
    _events.Write("request", line);
}

void DeviceFiles::firmwareUpdate(const Json::Value& command) {
    const Json::Value& arguments = command["arguments"];
    if (!(arguments.isNull() || arguments.isString())) {
        _events.Error("bad arguments for fwupdate");
        return;
    }
    const auto device = ListedDevice(_driver, _events, "fwupdate", command);
    if (!device) {
        return;
    }
    const bool sent = Reachable(*device);
    if (sent) {
        device->FirmwareUpdate(arguments.asString());
    }
    WriteRequest(_events, RequestLine("fwupdate", device->GetDiscoInfo().guid, true), sent);
}

}  // namespace ZelkorNode
