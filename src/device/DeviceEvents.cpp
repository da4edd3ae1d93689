// The event requests of a device and the callbacks of its events: subscribing and
// cancelling named events through the event-subscription service, the replies to both,
// the events the device raises in their three payload forms, and the replies to events.

#include "device/DeviceImpl.h"

#include <map>
#include <utility>
#include <vector>

#include <json/value.h>

#include "core/JsonText.h"
#include "core/MessageSignalData.h"
#include "driver/ZelkorDriver.h"
#include "services/IEventSubscriptionService.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

const char* const kValueForm = "EVENT_STR_PARAM";
const char* const kMapForm = "EVENT_MAP_PARAM";
const char* const kListForm = "EVENT_VEC_PARAM";

std::string textOf(const Message& message, Param p) {
    const char* text = message.GetParameter(p);
    return text ? std::string(text) : std::string();
}

// A structured member (kept whole by the message) as its compact JSON text.
std::string plainText(const Json::Value& value) {
    return value.isString() ? value.asString() : WriteCompactJson(value);
}

// The payload an event was raised with: an "arguments" object or array.
bool hasNamed(const Message& message) {
    return !message.GetNamedParms().empty() || message.GetJsonParms().isObject();
}

bool hasList(const Message& message) {
    return !message.GetOrderedParms().empty() || message.GetJsonParms().isArray();
}

std::map<std::string, std::string> namedOf(const Message& message) {
    const Json::Value& whole = message.GetJsonParms();
    if (!whole.isObject()) {
        return message.GetNamedParms();
    }
    std::map<std::string, std::string> named;
    for (auto member = whole.begin(); member != whole.end(); ++member) {
        named[member.name()] = plainText(*member);
    }
    return named;
}

std::vector<std::string> listOf(const Message& message) {
    const Json::Value& whole = message.GetJsonParms();
    if (!whole.isArray()) {
        return message.GetOrderedParms();
    }
    std::vector<std::string> list;
    list.reserve(whole.size());
    for (const auto& element : whole) {
        list.push_back(plainText(element));
    }
    return list;
}

// The name-only form of an event subscription's callback, as the named result form calls it.
IDevice::NamedResultCallback NamesOnly(IDevice::TextCallback callback) {
    if (!callback) {
        return nullptr;
    }
    return [callback = std::move(callback)](const std::string& name, const std::string&) { callback(name); };
}

}  // namespace

std::shared_ptr<IEventSubscriptionService> DeviceImpl::eventSubscriptions() const {
    const auto owner = _driver.lock();
    IEventSubscriptionService* service = owner ? owner->GetEventSubscriptionService() : nullptr;
    return service ? std::shared_ptr<IEventSubscriptionService>(owner, service) : nullptr;
}

// --- requests ----------------------------------------------------------------------------

void DeviceImpl::SubscribeEvent(const std::string& name) {
    if (_driver.expired()) {
        Warning("ZK6643W Driver is not avaliable");
        return;
    }
    const auto service = eventSubscriptions();
    if (!service) {
        Warning("ZK6644W Event Subscription Service is not avaliable");
        return;
    }
    // No name asks for every event.
    const char* const path = name.empty() ? nullptr : name.c_str();
    ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        service->SendSubscribeEvent(ZelkorDriver::HandleOf(socket.get()), header, path);
    });
}

void DeviceImpl::UnsubscribeEvent(const std::string& name) {
    if (_driver.expired()) {
        Warning("ZK6645W Driver is not avaliable");
        return;
    }
    const auto service = eventSubscriptions();
    if (!service) {
        Warning("ZK6646W Event Subscription Service is not avaliable");
        return;
    }
    // No name cancels every event subscription of this node on the device.
    const char* const path = name.empty() ? nullptr : name.c_str();
    ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        service->SendUnsubscribeEvent(ZelkorDriver::HandleOf(socket.get()), header, path);
    });
}

// --- replies to the requests -------------------------------------------------------------

void DeviceImpl::OnSubscribeEvent(TextCallback callback) {
    OnSubscribeEventResult(NamesOnly(std::move(callback)));
}

void DeviceImpl::OnUnsubscribeEvent(TextCallback callback) {
    OnUnsubscribeEventResult(NamesOnly(std::move(callback)));
}

void DeviceImpl::OnSubscribeEventResult(NamedResultCallback callback) {
    store(_onSubscribeEvent, std::move(callback));
    Debug("ZK6647I Subscription Event callback is overwritten");
    // The handler owns the device (sourceFilter), so `this` stays valid in it.
    switch (hook(Cookie::SubscribeEvent, !_driver.expired(), eventSubscriptions().get(), "subscribeevent",
                 sourceFilter(true, [this](const Message& message) {
                     if (const auto deliver = copy(_onSubscribeEvent)) {
                         deliver(textOf(message, Param::path), textOf(message, Param::error));
                     }
                 }))) {
        case Hook::Already:
            Debug("ZK6648I Subscription Event Cookie is already connected");
            break;
        case Hook::NoDriver:
            Warning("ZK6649W Driver is not avaliable");
            break;
        case Hook::NoService:
            Warning("ZK6650W Event Subscription Service is not avaliable");
            break;
        case Hook::Connected:
        case Hook::Finalized:
            break;
    }
}

void DeviceImpl::OnUnsubscribeEventResult(NamedResultCallback callback) {
    store(_onUnsubscribeEvent, std::move(callback));
    hook(Cookie::UnsubscribeEvent, !_driver.expired(), eventSubscriptions().get(), "unsubscribeevent",
         sourceFilter(true, [this](const Message& message) {
             if (const auto deliver = copy(_onUnsubscribeEvent)) {
                 deliver(textOf(message, Param::path), textOf(message, Param::error));
             }
         }));
}

// --- events ------------------------------------------------------------------------------

void DeviceImpl::OnEvent(EventValueCallback callback) {
    store(_onEventValue, std::move(callback));
    handleOnEventCommand(kValueForm);
}

void DeviceImpl::OnEvent(EventMapCallback callback) {
    store(_onEventMap, std::move(callback));
    handleOnEventCommand(kMapForm);
}

void DeviceImpl::OnEvent(EventListCallback callback) {
    store(_onEventList, std::move(callback));
    handleOnEventCommand(kListForm);
}

void DeviceImpl::OnEventResult(TextCallback callback) {
    store(_eventResultCB, std::move(callback));
    handleOnEventCommand(kValueForm);
}

void DeviceImpl::handleOnEventCommand(const std::string& form) {
    EventForm fixed = EventForm::Value;
    if (form == kMapForm) {
        fixed = EventForm::Map;
    } else if (form == kListForm) {
        fixed = EventForm::List;
    } else if (form != kValueForm) {
        return;
    }
    switch (hook(Cookie::Event, !_driver.expired(), eventSubscriptions().get(), "event",
                 [self = shared_from_this(), fixed](MessageSignalData& data) { self->serveEvent(data, fixed); })) {
        case Hook::Already:
            Debug("ZK6651I Event Cookie is already connected");
            break;
        case Hook::NoDriver:
            Warning("ZK6652W Driver is not avaliable");
            break;
        case Hook::NoService:
            Warning("ZK6653W Event Subscription Service is not avaliable");
            break;
        case Hook::Connected:
        case Hook::Finalized:
            break;
    }
}

void DeviceImpl::serveEvent(MessageSignalData& data, EventForm fixed) {
    const Message* message = data.GetMessage();
    if (!message || !MatchSource(data)) {
        return;
    }
    const char* path = message->GetParameter(Param::path);
    if (!path) {
        return;
    }
    if (message->GetIsReply()) {
        if (const auto deliver = copy(_eventResultCB)) {
            deliver(path);
        }
        return;
    }
    // An event goes to the callback of its own form; only when that is not set, to the
    // form the handler was connected for, which reads the event its own way.
    const EventForm own = hasNamed(*message) ? EventForm::Map : hasList(*message) ? EventForm::List : EventForm::Value;
    EventValueCallback toValue;
    EventMapCallback toMap;
    EventListCallback toList;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        const bool ownSet = (own == EventForm::Value && _onEventValue) || (own == EventForm::Map && _onEventMap) ||
                            (own == EventForm::List && _onEventList);
        switch (ownSet ? own : fixed) {
            case EventForm::Value:
                toValue = _onEventValue;
                break;
            case EventForm::Map:
                toMap = _onEventMap;
                break;
            case EventForm::List:
                toList = _onEventList;
                break;
        }
    }
    if (toValue) {
        toValue(path, textOf(*message, Param::value));
    } else if (toMap) {
        toMap(path, namedOf(*message));
    } else if (toList) {
        toList(path, listOf(*message));
    }
}

}  // namespace Zelkor
