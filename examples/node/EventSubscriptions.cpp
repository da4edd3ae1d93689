#include "EventSubscriptions.h"

#include <map>
#include <string>
#include <vector>

#include "core/JsonText.h"
#include "services/IEventSubscriptionService.h"

namespace ZelkorNode {
namespace {

// An event's payload is texts: a member that is no text travels as its compact JSON.
std::string PayloadText(const Json::Value& value) {
    return value.isString() ? value.asString() : Zelkor::WriteCompactJson(value);
}

}  // namespace

EventSubscriptions::EventSubscriptions(Zelkor::IZelkorDriver& driver, Events& events)
    : _driver(driver), _events(events) {}

// The device calls its callbacks while it lives, so they may hold it by plain pointer.
void EventSubscriptions::Attach(Zelkor::IDevice& device) {
    Zelkor::IDevice* const from = &device;
    const auto nameLine = [this, from](const char* event) {
        return [this, from, event](const std::string& name) {
            Json::Value fields = DeviceFields(*from);
            fields["name"] = name;
            _events.Write(event, fields);
        };
    };
    const auto resultLine = [this, from](const char* event) {
        return [this, from, event](const std::string& name, const std::string& error) {
            Json::Value fields = DeviceFields(*from);
            fields["name"] = name;
            fields["error"] = error;
            _events.Write(event, fields);
        };
    };
    device.OnSubscribeEventResult(resultLine("subscribeevent"));
    device.OnUnsubscribeEventResult(resultLine("unsubscribeevent"));
    device.OnEventResult(nameLine("eventResult"));
    // One callback per form: each event reaches the one of the form it was raised with.
    const auto eventLine = [this, from](const std::string& name, const char* form, Json::Value payload) {
        Json::Value fields = DeviceFields(*from);
        fields["name"] = name;
        fields["form"] = form;
        fields[payload.isString() ? "value" : "values"] = std::move(payload);
        _events.Write("event", fields);
    };
    device.OnEvent([eventLine](const std::string& name, const std::string& value) {
        eventLine(name, "value", Json::Value(value));
    });
    device.OnEvent([eventLine](const std::string& name, const std::map<std::string, std::string>& values) {
        Json::Value payload(Json::objectValue);
        for (const auto& [key, value] : values) {
            payload[key] = value;
        }
        eventLine(name, "map", payload);
    });
    device.OnEvent([eventLine](const std::string& name, const std::vector<std::string>& values) {
        Json::Value payload(Json::arrayValue);
        for (const auto& value : values) {
            payload.append(value);
        }
        eventLine(name, "list", payload);
    });
}

void EventSubscriptions::AddCommands(Commands& commands) {
    for (const char* name : {"subscribeevent", "unsubscribeevent"}) {
        commands[name] = [this, name](const Json::Value& command) { subscription(name, command); };
    }
    commands["raise"] = [this](const Json::Value& command) { raise(command); };
    commands["addevent"] = [this](const Json::Value& command) { addEvent(command); };
}

// {"cmd":"subscribeevent"|"unsubscribeevent","guid":G[,"name":N]}: without a name (or an
// empty one) every event; an unsubscribe without one ends every event subscription of
// this node on the device.
void EventSubscriptions::subscription(const std::string& name, const Json::Value& command) {
    const Json::Value& eventName = command["name"];
    if (!eventName.isNull() && !eventName.isString()) {
        _events.Error("bad arguments for " + name);
        return;
    }
    const auto device = ListedDevice(_driver, _events, name, command);
    if (!device) {
        return;
    }
    const bool sent = Reachable(*device);
    const std::string text = eventName.asString();
    if (sent) {
        name == "subscribeevent" ? device->SubscribeEvent(text) : device->UnsubscribeEvent(text);
    }
    WriteRequest(_events, RequestLine(name, device->GetDiscoInfo().guid, true), sent);
}

// {"cmd":"raise","name":N[,"value":V]}: V a text (or absent) raises the value form, an
// object the named values, an array the list; the answer tells the form.
void EventSubscriptions::raise(const Json::Value& command) {
    const Json::Value& name = command["name"];
    const Json::Value& value = command["value"];
    Zelkor::IEventSubscriptionService* service = _driver.GetEventSubscriptionService();
    if (!name.isString() || !(value.isNull() || value.isString() || value.isObject() || value.isArray()) ||
        !service) {
        _events.Error("bad arguments for raise");
        return;
    }
    const std::string text = name.asString();
    const char* form = "value";
    if (value.isObject()) {
        std::map<std::string, std::string> values;
        for (auto member = value.begin(); member != value.end(); ++member) {
            values[member.name()] = PayloadText(*member);
        }
        service->RaiseEvent(text.c_str(), values);
        form = "map";
    } else if (value.isArray()) {
        std::vector<std::string> values;
        for (const auto& element : value) {
            values.push_back(PayloadText(element));
        }
        service->RaiseEvent(text.c_str(), values);
        form = "list";
    } else {
        const std::string single = value.asString();
        service->RaiseEvent(text.c_str(), value.isNull() ? nullptr : single.c_str());
    }
    Json::Value answer;
    answer["name"] = text;
    answer["form"] = form;
    _events.Write("raise", answer);
}

// {"cmd":"addevent","name":N}
void EventSubscriptions::addEvent(const Json::Value& command) {
    const Json::Value& name = command["name"];
    Zelkor::IEventSubscriptionService* service = _driver.GetEventSubscriptionService();
    if (!name.isString() || !service) {
        _events.Error("bad arguments for addevent");
        return;
    }
    const std::string text = name.asString();
    service->AddEvent(text.c_str());
    Json::Value answer;
    answer["name"] = text;
    _events.Write("addevent", answer);
}

}  // namespace ZelkorNode
