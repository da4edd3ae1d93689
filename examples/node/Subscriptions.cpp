#include "Subscriptions.h"

#include <chrono>
#include <vector>

#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "driver/ZelkorDriver.h"
#include "services/ISubscriptionService.h"
#include "services/ListPublishers.h"
#include "services/SubscriptionService.h"
#include "storage/LogRow.h"
#include "storage/ObjectParamContainer.h"

namespace ZelkorNode {
namespace {

// A member that may be left out (null) or is a text.
bool OptionalText(const Json::Value& value) { return value.isNull() || value.isString(); }

// A log row of a command: "priority" (default 0), "category", "text", and for a row sent to
// a device "seqno" and "time" (default: now, in seconds).
bool ReadRow(const Json::Value& command, LOGROW& row) {
    const Json::Value& priority = command["priority"];
    const Json::Value& seqno = command["seqno"];
    const Json::Value& time = command["time"];
    if (!(priority.isNull() || priority.isUInt()) || !(seqno.isNull() || seqno.isUInt64()) ||
        !(time.isNull() || time.isInt64()) || !OptionalText(command["category"]) || !OptionalText(command["text"])) {
        return false;
    }
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    row.priority = priority.isNull() ? 0 : priority.asUInt();
    row.seqno = seqno.isNull() ? 0 : seqno.asUInt64();
    row.time = time.isNull() ? std::chrono::duration_cast<std::chrono::seconds>(now).count() : time.asInt64();
    row.category = command["category"].asString();
    row.event = command["text"].asString();
    return true;
}

Json::Value RowFields(Zelkor::IDevice& device, unsigned long long seqno, long time, unsigned priority,
                      const std::string& category, const std::string& text) {
    Json::Value fields = DeviceFields(device);
    fields["seqno"] = static_cast<Json::UInt64>(seqno);
    fields["time"] = static_cast<Json::Int64>(time);
    fields["priority"] = priority;
    fields["category"] = category;
    fields["text"] = text;
    return fields;
}

}  // namespace

Subscriptions::Subscriptions(Zelkor::IZelkorDriver& driver, std::shared_ptr<Zelkor::JsonModel> tree, Events& events)
    : _driver(driver), _tree(std::move(tree)), _events(events) {}

void Subscriptions::Configure() {
    // The answer to a publishers list is no device's: it comes through the list router to
    // the subscription service, which raises it once for applications.
    if (auto* service = dynamic_cast<Zelkor::SubscriptionService*>(_driver.GetSubscriptionService())) {
        _publishers = service->ListPublishersSignal().Connect(
            [this](Zelkor::MessageSignalData& data) { publishersLine(data); });
    }
}

// The device calls its callbacks while it lives, so they may hold it by plain pointer; a
// line reads its GUID then, as a device made for an endpoint learns it late.
void Subscriptions::Attach(Zelkor::IDevice& device) {
    Zelkor::IDevice* const from = &device;
    const auto valuesLine = [this, from](const char* event) {
        return [this, from, event](const Zelkor::ObjectParamContainer& values) {
            Json::Value fields = DeviceFields(*from);
            Json::Value list = values.ToJson();
            fields["values"] = list.isNull() ? Json::Value(Json::arrayValue) : std::move(list);
            _events.Write(event, fields);
        };
    };
    device.OnSubscribe(valuesLine("subscribe"));
    device.OnUnsubscribe(valuesLine("unsubscribe"));
    device.OnPublish(valuesLine("publish"));
    device.OnSubscribePoll(
        [this, from](const char* name, bool success, const std::string& error, const Json::Value& targets) {
            Json::Value fields = DeviceFields(*from);
            fields["name"] = name ? Json::Value(name) : Json::Value();
            fields["success"] = success;
            fields["error"] = error;
            fields["targets"] = targets;
            _events.Write("subscribepoll", fields);
        },
        "");
    device.OnUnSubscribePoll([this, from](bool success, const std::string& error) {
        Json::Value fields = DeviceFields(*from);
        fields["success"] = success;
        fields["error"] = error;
        _events.Write("unsubscribepoll", fields);
    });
    device.OnPollResult([this, from](const char* name, const Json::Value& targets, const std::string& error) {
            Json::Value fields = DeviceFields(*from);
            fields["name"] = name ? Json::Value(name) : Json::Value();
            fields["targets"] = targets;
            fields["error"] = error;
            _events.Write("poll", fields);
        });
    device.OnLog([this, from](const unsigned long long& seqno, const long& time, const unsigned int& priority,
                              const std::string& category, const std::string& text) {
        _events.Write("log", RowFields(*from, seqno, time, priority, category, text));
    });
    const auto errorLine = [this, from](const char* event) {
        return [this, from, event](const std::string& error) {
            Json::Value fields = DeviceFields(*from);
            fields["error"] = error;
            _events.Write(event, fields);
        };
    };
    device.OnSendSubLog(errorLine("sublog"));
    device.OnUnSubLog(errorLine("unsublog"));
}

void Subscriptions::AddCommands(Commands& commands) {
    for (const char* name : {"subscribe", "unsubscribe"}) {
        commands[name] = [this, name](const Json::Value& command) { values(name, command); };
    }
    for (const char* name : {"subscribepoll", "unsubscribepoll", "poll"}) {
        commands[name] = [this, name](const Json::Value& command) { polls(name, command); };
    }
    for (const char* name : {"sublog", "unsublog", "logrow"}) {
        commands[name] = [this, name](const Json::Value& command) { logs(name, command); };
    }
    commands["listpublishers"] = [this](const Json::Value& command) { listPublishers(command); };
    commands["write"] = [this](const Json::Value& command) { write(command); };
    commands["logevent"] = [this](const Json::Value& command) { logEvent(command); };
}

// {"cmd":"subscribe"|"unsubscribe","guid":G,"values":V}, V as for "get"; an unsubscribe
// without values (or with none) ends every subscription of this node on the device.
void Subscriptions::values(const std::string& name, const Json::Value& command) {
    Zelkor::ObjectParamContainer values;
    const Json::Value& given = command["values"];
    const bool valid = (given.isNull() && name == "unsubscribe") || values.FromJson(given);
    if (!valid) {
        _events.Error("bad arguments for " + name);
        return;
    }
    const auto device = ListedDevice(_driver, _events, name, command);
    if (!device) {
        return;
    }
    name == "subscribe" ? device->Subscribe(values) : device->Unsubscribe(values);
    _events.Write("request", RequestLine(name, device->GetDiscoInfo().guid, true));
}

// {"cmd":"subscribepoll","guid":G,"name":N,"paths":[P...][,"format":F]},
// {"cmd":"unsubscribepoll"|"poll","guid":G,"name":N}.
void Subscriptions::polls(const std::string& name, const Json::Value& command) {
    const Json::Value& pollName = command["name"];
    const Json::Value& paths = command["paths"];
    const Json::Value& format = command["format"];
    std::vector<std::string> targets;
    bool valid = pollName.isString();
    if (name == "subscribepoll") {
        valid = valid && paths.isArray() && OptionalText(format);
        for (const auto& path : paths) {
            valid = valid && path.isString();
            targets.push_back(path.asString());
        }
    }
    if (!valid) {
        _events.Error("bad arguments for " + name);
        return;
    }
    const auto device = ListedDevice(_driver, _events, name, command);
    if (!device) {
        return;
    }
    if (!Reachable(*device)) {
        WriteRequest(_events, RequestLine(name, device->GetDiscoInfo().guid, true), false);
        return;
    }
    const std::string text = pollName.asString();
    if (name == "subscribepoll") {
        const std::string word = format.asString();
        device->SubscribePoll(text.c_str(), targets, format.isNull() ? nullptr : word.c_str());
    } else if (name == "unsubscribepoll") {
        device->UnsubscribePoll(text.c_str());
    } else {
        device->PollSubscription(text.c_str());
    }
    _events.Write("request", RequestLine(name, device->GetDiscoInfo().guid, true));
}

// {"cmd":"sublog","guid":G[,"mark":M][,"priority":P]}, {"cmd":"unsublog","guid":G},
// {"cmd":"logrow","guid":G,"priority":P,"category":C,"text":T[,"seqno":S][,"time":T]}.
void Subscriptions::logs(const std::string& name, const Json::Value& command) {
    const Json::Value& mark = command["mark"];
    const Json::Value& priority = command["priority"];
    LOGROW row;
    bool valid = true;
    if (name == "sublog") {
        valid = (mark.isNull() || mark.isInt64()) && (priority.isNull() || priority.isUInt());
    } else if (name == "logrow") {
        valid = ReadRow(command, row);
    }
    if (!valid) {
        _events.Error("bad arguments for " + name);
        return;
    }
    const auto device = ListedDevice(_driver, _events, name, command);
    if (!device) {
        return;
    }
    if (!Reachable(*device)) {
        WriteRequest(_events, RequestLine(name, device->GetDiscoInfo().guid, true), false);
        return;
    }
    if (name == "sublog") {
        device->SendSubLog(mark.isNull() ? 0 : mark.asInt64(), priority.isNull() ? 0 : priority.asUInt());
    } else if (name == "unsublog") {
        device->UnSubLog();
    } else {
        device->SendLogRow(row);
    }
    _events.Write("request", RequestLine(name, device->GetDiscoInfo().guid, true));
}

// {"cmd":"listpublishers","guid":G}: on the connection a request to the device takes, with
// its routing header (through its router when it is reached through one). The device
// object has no operation of its own for it, so the node asks the subscription service.
void Subscriptions::listPublishers(const Json::Value& command) {
    const auto device = ListedDevice(_driver, _events, "listpublishers", command);
    Zelkor::ISubscriptionService* service = _driver.GetSubscriptionService();
    if (!device || !service) {
        return;
    }
    device->SetForwardInfo();
    Zelkor::MessageForwardInfo header;
    device->GetForwardInfo(header);
    void* const handle = device->GetConnectionHandle();
    if (handle) {
        service->SendListPublishers(handle, header);
    }
    Json::Value answer = RequestLine("listpublishers", device->GetDiscoInfo().guid, true);
    answer["sent"] = handle != nullptr;
    if (handle) {
        answer["connection"] = Zelkor::ZelkorDriver::Tag(handle);
    }
    WriteRequest(_events, answer, handle != nullptr);
}

// {"event":"listpublishers","tag":T,"source":S,"publishers":{PATH:[FORMAT...]}[,"error":E]}
void Subscriptions::publishersLine(Zelkor::MessageSignalData& data) {
    const auto* list = dynamic_cast<const Zelkor::ListPublishers*>(data.GetMessage());
    if (!list) {
        return;
    }
    Json::Value fields;
    fields["tag"] = Zelkor::ZelkorDriver::Tag(data.Handle());
    fields["source"] = list->GetMessageForwardInfo().GetSource();
    Json::Value& publishers = fields["publishers"] = Json::Value(Json::objectValue);
    for (const auto& [path, formats] : list->GetPublishers()) {
        Json::Value& entry = publishers[path] = Json::Value(Json::arrayValue);
        for (const auto& format : formats) {
            entry.append(format);
        }
    }
    if (const char* error = list->GetParameter(Zelkor::Param::error)) {
        fields["error"] = error;
    }
    _events.Write("listpublishers", fields);
}

// {"cmd":"write","path":P,"value":V[,"format":F]}: into the node's own tree, as the
// application that owns it writes (read-only and locked values too, and the attributes
// of a dynamic parameter, "/path/.max").
void Subscriptions::write(const Json::Value& command) {
    const Json::Value& path = command["path"];
    const Json::Value& format = command["format"];
    if (!path.isString() || !command.isMember("value") || !OptionalText(format)) {
        _events.Error("bad arguments for write");
        return;
    }
    const std::string where = path.asString();
    const std::string word = format.asString();
    const Zelkor::IStorage::STATUS status =
        _tree->SetValueForPath(where.c_str(), format.isNull() ? nullptr : word.c_str(), command["value"], false);
    Json::Value answer;
    answer["path"] = where;
    answer["status"] = static_cast<int>(status);
    answer["error"] = status == Zelkor::IStorage::PathOk ? "" : Zelkor::IStorage::StatusText(status);
    _events.Write("write", answer);
}

// {"cmd":"logevent","priority":P,"category":C,"text":T}: the row is stored first, so that
// a later "sublog" replays it, then handed to the log subscribers with the number the
// log gave it (a "seqno" of the command's would be ignored, so it is refused).
void Subscriptions::logEvent(const Json::Value& command) {
    LOGROW row;
    if (!ReadRow(command, row) || command.isMember("seqno")) {
        _events.Error("bad arguments for logevent");
        return;
    }
    const bool stored = _tree->StoreEvent(row);
    if (Zelkor::ISubscriptionService* service = _driver.GetSubscriptionService()) {
        service->LogEvent(row.to_json());
    }
    Json::Value answer;
    answer["seqno"] = static_cast<Json::UInt64>(row.seqno);
    answer["stored"] = stored;
    _events.Write("logevent", answer);
}

}  // namespace ZelkorNode
