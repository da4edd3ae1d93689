#include "services/EventSubscriptionService.h"

#include <optional>
#include <utility>

#include <json/value.h>

#include "driver/IServiceSender.h"
#include "services/EventMessages.h"

namespace Zelkor {

namespace {

std::optional<std::string> pathOf(const Message& message) {
    const char* path = message.GetParameter(Param::path);
    return path ? std::optional<std::string>(path) : std::nullopt;
}

// As a string whatever it holds: a peer's name that looks like JSON stays text.
void setText(Message& message, Param p, const char* text) {
    if (text) {
        message.SetJsonParameter(p, Json::Value(text));
    }
}

void setText(Message& message, Param p, const std::optional<std::string>& text) {
    setText(message, p, text ? text->c_str() : nullptr);
}

}  // namespace

EventSubscriptionService::EventSubscriptionService(IServiceSender* sender, LoopPoster toLoop)
    : ZelkorLoggable("EVTS"), _sender(sender), _toLoop(std::move(toLoop)) {
    if (_sender) {
        _resultsConnection = _sender->ConnectionResults() += static_cast<ISignalObserver<ConnectionResult>*>(this);
    }
    _messageSignalMap.SetMessageSignalFactory(MessageSignalFactory("event", &_event.signal, CreateEventCommand));
    _messageSignalMap.SetMessageSignalFactory(
        MessageSignalFactory("subscribeevent", &_subscribe.signal, CreateSubscribeEvent));
    _messageSignalMap.SetMessageSignalFactory(
        MessageSignalFactory("unsubscribeevent", &_unsubscribe.signal, CreateUnsubscribeEvent));
    // Before any handler connected later: an event is acknowledged before the
    // application sees it.
    for (Word* word : {&_event, &_subscribe, &_unsubscribe}) {
        word->connection = word->signal += static_cast<ISignalObserver<MessageSignalData>*>(this);
    }
}

EventSubscriptionService::~EventSubscriptionService() {
    if (_sender) {
        _sender->ConnectionResults() -= _resultsConnection;
    }
    for (Word* word : {&_event, &_subscribe, &_unsubscribe}) {
        word->signal -= word->connection;
    }
}

void EventSubscriptionService::GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) {
    _messageSignalMap.GiveTo(receiver);
}

void EventSubscriptionService::onLoop(std::function<void(EventSubscriptionService&)> job) { RunOnLoop(_toLoop, *this, std::move(job)); }

// ---------------------------------------------------------------------------------------
// Received

void EventSubscriptionService::SignalRaised(ConnectionResult& result) {
    if (!result.connected) {
        _model.RemoveConnection(result.handle);
    }
}

void EventSubscriptionService::RemoveSubscriber(const SubscriberKey& subscriber) {
    onLoop([subscriber](EventSubscriptionService& self) {
        self.Detail("ZK6593I Event subscriber gone behind its router, its subscriptions dropped",
                    MessageForwardInfo::GetPaths(subscriber.route));
        self._model.RemoveSubscription(subscriber, nullptr);
    });
}

void EventSubscriptionService::SignalRaised(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message) {
        return;
    }
    const std::string word = message->CommandName();
    if (message->GetIsReply()) {
        return;
    }
    if (word == "event") {
        answerEvent(data);
    } else if (word == "subscribeevent") {
        answerSubscribe(data);
    } else if (word == "unsubscribeevent") {
        answerUnsubscribe(data);
    }
}

void EventSubscriptionService::answerEvent(MessageSignalData& data) {
    const Message& request = *data.GetMessage();
    EventCommand reply;
    setText(reply, Param::path, pathOf(request));
    reply.SetMessageForwardInfo(request.GetMessageForwardInfo());
    if (_sender) {
        _sender->BuildAndSendMessage(data.Handle(), reply, false);
    }
}

void EventSubscriptionService::answerSubscribe(MessageSignalData& data) {
    if (!data.IsReliable()) {
        PeerDetail("ZK6590I Event subscription over UDP dropped");
        return;
    }
    const Message& request = *data.GetMessage();
    const std::optional<std::string> path = pathOf(request);
    SubscribeEvent reply;
    setText(reply, Param::path, path);
    if (!_model.AddSubscription(data.Handle(), request.GetMessageForwardInfo(), path ? path->c_str() : nullptr)) {
        PeerDetail("ZK6591I Event subscription refused", path ? std::string_view(*path) : std::string_view());
        reply.SetParameter(Param::error, SubscribeFailed);
    }
    reply.SetMessageForwardInfo(request.GetMessageForwardInfo());
    if (_sender) {
        _sender->BuildAndSendMessage(data.Handle(), reply, false);
    }
}

void EventSubscriptionService::answerUnsubscribe(MessageSignalData& data) {
    const Message& request = *data.GetMessage();
    const std::optional<std::string> path = pathOf(request);
    // Only the requester's own: behind a router, the route it came by.
    _model.RemoveSubscription(SubscriberKey::Of(data.Handle(), request.GetMessageForwardInfo()),
                              path ? path->c_str() : nullptr);
    UnsubscribeEvent reply;
    setText(reply, Param::path, path);
    reply.SetMessageForwardInfo(request.GetMessageForwardInfo());
    if (_sender) {
        _sender->BuildAndSendMessage(data.Handle(), reply, false);
    }
}

// ---------------------------------------------------------------------------------------
// Application side

void EventSubscriptionService::ReplyEvent(void* handle, const char* name, MessageForwardInfo& forwardInfo,
                                          const char* value) {
    auto reply = std::make_shared<EventCommand>();
    setText(*reply, Param::path, name);
    setText(*reply, Param::value, value);
    reply->SetMessageForwardInfo(forwardInfo);
    onLoop([handle, reply](EventSubscriptionService& self) {
        if (self._sender) {
            self._sender->BuildAndSendMessage(handle, *reply, false);
        }
    });
}

void EventSubscriptionService::AddEvent(const char* name) {
    if (!name) {
        return;
    }
    onLoop([name = std::string(name)](EventSubscriptionService& self) { self._model.AddEvent(name.c_str()); });
}

void EventSubscriptionService::raise(std::shared_ptr<EventCommand> event) {
    const char* name = event->GetParameter(Param::path);
    if (!name || !*name) {
        // Its line would be empty: there is nothing to send.
        Warning("ZK6592W Event without name not raised");
        return;
    }
    onLoop([event](EventSubscriptionService& self) { self._model.SendEvent(*event, self._sender); });
}

void EventSubscriptionService::RaiseEvent(const char* name, const char* value) {
    auto event = std::make_shared<EventCommand>();
    setText(*event, Param::path, name);
    setText(*event, Param::value, value);
    raise(std::move(event));
}

void EventSubscriptionService::RaiseEvent(const char* name, const std::map<std::string, std::string>& values) {
    auto event = std::make_shared<EventCommand>();
    setText(*event, Param::path, name);
    event->SetParms(values);
    raise(std::move(event));
}

void EventSubscriptionService::RaiseEvent(const char* name, const std::vector<std::string>& values) {
    auto event = std::make_shared<EventCommand>();
    setText(*event, Param::path, name);
    event->SetParms(values);
    raise(std::move(event));
}

void EventSubscriptionService::SendSubscribeEvent(void* handle, MessageForwardInfo& forwardInfo, const char* name) {
    SubscribeEvent request;
    request.SetMessageForwardInfo(forwardInfo);
    setText(request, Param::path, name);
    if (_sender) {
        _sender->BuildAndSendMessage(handle, request, true);
    }
}

void EventSubscriptionService::SendUnsubscribeEvent(void* handle, MessageForwardInfo& forwardInfo,
                                                    const char* name) {
    UnsubscribeEvent request;
    request.SetMessageForwardInfo(forwardInfo);
    setText(request, Param::path, name);
    if (_sender) {
        _sender->BuildAndSendMessage(handle, request, true);
    }
}

}  // namespace Zelkor
