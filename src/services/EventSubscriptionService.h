#pragma once
// The owner of "event", "subscribeevent" and "unsubscribeevent". On a device it keeps
// who subscribed to which events (EventSubscriptionModel), fans raised events out to
// them, and forgets a connection's subscriptions when the connection goes, and those of a
// controller behind a router once the driver hears it is gone (RemoveSubscriber). On either
// side it acknowledges a received event before any handler the application connected.
// Subscriptions come over connections only: one over UDP is dropped unanswered, as no
// connection result would ever end it.
//
// Ownership: made and held in shared ownership by the driver, which outlives it; the
// sender is not owned. Jobs handed to the loop hold the service weakly.
// Threads: received words and connection results come on the event loop, where the model
// lives. ReplyEvent, AddEvent and RaiseEvent copy their arguments on the caller's thread
// and reach the model and the sender through `toLoop`, which runs a job on the loop (at
// once when empty: the caller is then the loop). The two senders build and send on the
// caller's thread. No lock of its own.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/signals2/connection.hpp>

#include "core/IGiveMessageMapToMessageReceiver.h"
#include "core/IServiceBaseImpl.h"
#include "core/ISignalObserver.h"
#include "core/MessageSignalData.h"
#include "core/Signal.h"
#include "core/ZelkorLoggable.h"
#include "driver/ConnectionResult.h"
#include "services/EventSubscriptionModel.h"
#include "services/IEventSubscriptionService.h"
#include "services/LoopPoster.h"

namespace Zelkor {

class EventCommand;
class IServiceSender;

class EventSubscriptionService : public IGiveMessageMapToMessageReceiver,
                                 public IServiceBaseImpl<IEventSubscriptionService>,
                                 public ISignalObserver<ConnectionResult>,
                                 public ISignalObserver<MessageSignalData>,
                                 public ZelkorLoggable,
                                 public std::enable_shared_from_this<EventSubscriptionService> {
public:
    using LoopJob = Zelkor::LoopJob;
    using LoopPoster = Zelkor::LoopPoster;
    static constexpr const char* SubscribeFailed = "SubscribeEvent failed.";

    // Without sender nothing is sent.
    explicit EventSubscriptionService(IServiceSender* sender, LoopPoster toLoop = {});
    ~EventSubscriptionService() override;
    EventSubscriptionService(const EventSubscriptionService&) = delete;
    EventSubscriptionService& operator=(const EventSubscriptionService&) = delete;

    void GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) override;
    // A closed or refused connection: its subscriptions go.
    void SignalRaised(ConnectionResult& result) override;
    // What one subscriber behind a router holds: it said goodbye, or its router said it is
    // gone (the driver tells, ForgetRoutedRequester). Any thread.
    void RemoveSubscriber(const SubscriberKey& subscriber);
    // True while the connection holds an event subscription. Loop thread.
    bool Holds(void* handle) const { return _model.Holds(handle); }
    // A received request of the three words is answered on its connection with its
    // header; replies are left to the handlers.
    void SignalRaised(MessageSignalData& data) override;
    Signal<MessageSignalData>& EventSignal() { return _event.signal; }
    Signal<MessageSignalData>& SubscribeEventSignal() { return _subscribe.signal; }
    Signal<MessageSignalData>& UnsubscribeEventSignal() { return _unsubscribe.signal; }

    // --- IEventSubscriptionService ---------------------------------------------------------
    void ReplyEvent(void* handle, const char* name, MessageForwardInfo& forwardInfo, const char* value) override;
    void AddEvent(const char* name) override;
    void RaiseEvent(const char* name, const char* value) override;
    void RaiseEvent(const char* name, const std::map<std::string, std::string>& values) override;
    void RaiseEvent(const char* name, const std::vector<std::string>& values) override;
    void SendSubscribeEvent(void* handle, MessageForwardInfo& forwardInfo, const char* name) override;
    void SendUnsubscribeEvent(void* handle, MessageForwardInfo& forwardInfo, const char* name) override;

    // The model, for the loop thread only.
    const EventSubscriptionModel& Model() const { return _model; }

private:
    struct Word {
        Signal<MessageSignalData> signal;
        boost::signals2::connection connection;
    };

    void onLoop(std::function<void(EventSubscriptionService&)> job);
    // Sends the built event from the loop; a nameless one is logged and dropped.
    void raise(std::shared_ptr<EventCommand> event);
    void answerEvent(MessageSignalData& data);
    void answerSubscribe(MessageSignalData& data);
    void answerUnsubscribe(MessageSignalData& data);

    IServiceSender* _sender;
    LoopPoster _toLoop;
    EventSubscriptionModel _model;
    boost::signals2::connection _resultsConnection;
    Word _event;
    Word _subscribe;
    Word _unsubscribe;
};

}  // namespace Zelkor
