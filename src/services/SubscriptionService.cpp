// The subscription service's life, dispatch and connection bookkeeping, and the senders a
// controller uses. The value, polled and log handlers live in files of their own.

#include "services/SubscriptionService.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "driver/IServiceSender.h"
#include "services/FolderLookup.h"
#include "services/ListPublishers.h"
#include "services/LogMessages.h"
#include "services/SubscribePollWorker.h"
#include "services/ValueSubscriptionMessages.h"
#include "storage/StorageModel.h"

namespace Zelkor {

SubscriptionService::SubscriptionService(IServiceSender* sender, std::shared_ptr<StorageModel> storage,
                                         LoopPoster toLoop)
    : ZelkorLoggable("SUBS"), _sender(sender), _storage(std::move(storage)), _toLoop(std::move(toLoop)) {
    const std::pair<const char*, std::pair<Signal<MessageSignalData>*, MessageFactoryFunction>> words[] = {
        {"subscribe", {&_subscribe, CreateSubscribe}},
        {"unsubscribe", {&_unsubscribe, CreateUnsubscribe}},
        {"subscribepoll", {&_subscribePoll, CreateSubscribePoll}},
        {"unsubscribepoll", {&_unsubscribePoll, CreateUnsubscribePoll}},
        {"poll", {&_poll, CreatePollSubscription}},
        {"publish", {&_publish, CreatePublish}},
        {"log", {&_log, CreateLogRow}},
        {"sublog", {&_subLog, CreateSubLog}},
        {"unsublog", {&_unsubLog, CreateUnsubLog}},
    };
    for (const auto& [word, entry] : words) {
        _messageSignalMap.SetMessageSignalFactory(MessageSignalFactory(word, entry.first, entry.second));
    }
    if (_sender) {
        _resultsConnection = _sender->ConnectionResults() += static_cast<ISignalObserver<ConnectionResult>*>(this);
    }
    // The publishers list reaches the service as the router's route, not through its
    // own signal, which is the application's alone.
    for (const auto& [word, entry] : words) {
        (void)word;
        _observed.emplace_back(entry.first, *entry.first += static_cast<ISignalObserver<MessageSignalData>*>(this));
    }
}

SubscriptionService::~SubscriptionService() {
    // The storage would otherwise report its next write to a destroyed service. Straight
    // to the storage behind the facade: the facade would log, and nothing may log from
    // inside the driver's destruction (a logger callback may be gone by then).
    if (const auto inner = _storage ? _storage->GetStorage() : nullptr) {
        inner->SetStorageEventHandler(nullptr);
    }
    for (auto& [signal, connection] : _observed) {
        *signal -= connection;
    }
    if (_sender) {
        _sender->ConnectionResults() -= _resultsConnection;
    }
}

void SubscriptionService::GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) {
    _messageSignalMap.GiveTo(receiver);
}

void SubscriptionService::onLoop(std::function<void(SubscriptionService&)> job) { RunOnLoop(_toLoop, *this, std::move(job)); }

// ---------------------------------------------------------------------------------------
// Dispatch

void SubscriptionService::SignalRaised(MessageSignalData& data) {
    Message* message = data.GetMessage();
    if (!message || IsFinalized()) {
        return;
    }
    const std::string word = message->CommandName();
    if (word == "list") {
        if (message->GetIsReply()) {
            _publishers.Raise(data);
        } else {
            answerPublishers(data);
        }
        return;
    }
    if (message->GetIsReply()) {
        // A subscriber that answered a row has room for more of its history.
        if (word == "log") {
            continueReplays(data.Handle(), message->GetMessageForwardInfo());
        }
        return;
    }
    if (word == "publish") {
        answerPublish(data);
    } else if (word == "subscribe") {
        answerSubscribe(data);
    } else if (word == "unsubscribe") {
        answerUnsubscribe(data);
    } else if (word == "subscribepoll") {
        if (overConnection(data, "subscribepoll")) {
            SubscribePoll answer;
            AddSubscriptionPollPrepareReply(data, answer);
            reply(data, answer);
        }
    } else if (word == "unsubscribepoll") {
        UnsubscribePoll answer;
        RemoveSubscriptionPollPrepareReply(data, answer);
        reply(data, answer);
    } else if (word == "poll") {
        PollSubscription answer;
        ProcessPollSubscription(data, answer);
        reply(data, answer);
    } else if (word == "log") {
        answerLogRow(data);
    } else if (word == "sublog") {
        ProcessSubLog(data);
    } else if (word == "unsublog") {
        ProcessUnSubLog(data);
    }
}

bool SubscriptionService::overConnection(MessageSignalData& data, const char* word) {
    if (data.IsReliable()) {
        return true;
    }
    Warning(std::string("ZK6540W Subscription over UDP dropped: ") + word);
    return false;
}

void SubscriptionService::reply(MessageSignalData& data, Message& answer) {
    if (!_sender) {
        return;
    }
    answer.SetMessageForwardInfo(data.GetMessage()->GetMessageForwardInfo());
    answer.SetIsReply(true);
    _sender->BuildAndSendMessage(data.Handle(), answer, false);
}

// ---------------------------------------------------------------------------------------
// Connections

void SubscriptionService::SignalRaised(ConnectionResult& result) {
    if (!result.connected) {
        removeNow(result.handle);
    }
}

void SubscriptionService::RemoveSubscription(void* handle) {
    onLoop([handle](SubscriptionService& self) { self.removeNow(handle); });
}

bool SubscriptionService::Holds(void* conn) const {
    const auto any = [conn](const auto& table) {
        const auto at = table.lower_bound(SubscriberKey(conn));
        return at != table.end() && at->first.connection == conn;
    };
    return _valueCounts.count(conn) > 0 || any(_polled) || any(_logSubscribers);
}

void SubscriptionService::RemoveSubscriber(const SubscriberKey& subscriber) {
    onLoop([subscriber](SubscriptionService& self) {
        self.Detail("ZK6556I Subscriber gone behind its router, its subscriptions dropped: " +
                    MessageForwardInfo::GetPaths(subscriber.route));
        self.removeSubscriber(subscriber);
    });
}

void SubscriptionService::removeNow(void* conn) {
    // A connection's subscribers lie together in each table, its direct one first.
    std::set<SubscriberKey> subscribers;
    const auto collect = [&subscribers, conn](const auto& table) {
        for (auto at = table.lower_bound(SubscriberKey(conn)); at != table.end() && at->first.connection == conn;
             ++at) {
            subscribers.insert(at->first);
        }
    };
    collect(_valuePairs);
    collect(_polled);
    collect(_logSubscribers);
    for (const auto& subscriber : subscribers) {
        removeSubscriber(subscriber);
    }
}

void SubscriptionService::removeSubscriber(const SubscriberKey& subscriber) {
    const auto pairs = _valuePairs.find(subscriber);
    if (pairs != _valuePairs.end()) {
        for (const auto& [path, format] : pairs->second) {
            dropFromValues(path, format, subscriber);
        }
        const auto count = _valueCounts.find(subscriber.connection);
        if (count != _valueCounts.end()) {
            count->second -= std::min(count->second, pairs->second.size());
            if (count->second == 0) {
                _valueCounts.erase(count);
            }
        }
        _valuePairs.erase(pairs);
    }
    _polled.erase(subscriber);
    _logSubscribers.erase(subscriber);
}

void SubscriptionService::dropFromValues(const std::string& path, const std::string& format,
                                         const SubscriberKey& subscriber) {
    const auto formats = _values.find(path);
    if (formats == _values.end()) {
        return;
    }
    const auto subscribers = formats->second.find(format);
    if (subscribers != formats->second.end()) {
        subscribers->second.erase(subscriber);
        if (subscribers->second.empty()) {
            formats->second.erase(subscribers);
        }
    }
    if (formats->second.empty()) {
        _values.erase(formats);
    }
}

std::size_t SubscriptionService::ValueSubscriptionCount(void* conn) const {
    const auto count = _valueCounts.find(conn);
    return count == _valueCounts.end() ? 0 : count->second;
}

// ---------------------------------------------------------------------------------------
// Controller-side senders

void SubscriptionService::sendRequest(void* conn, Message& message) {
    if (_sender) {
        _sender->BuildAndSendMessage(conn, message, true);
    }
}

void SubscriptionService::SendSubscribe(void* conn, const char* path, const char* format) {
    if (!path) {
        return;
    }
    Subscribe message;
    message.AddValue(path, nullptr, format, nullptr, false);
    sendRequest(conn, message);
}

void SubscriptionService::SendUnsubscribe(void* conn, const char* path) {
    Unsubscribe message;
    if (path) {
        message.AddValue(path, nullptr, nullptr, nullptr, false);
    }
    sendRequest(conn, message);
}

void SubscriptionService::SendMultiSubscribe(void* conn, ObjectParamContainer& values, MessageForwardInfo& header) {
    Trace("ZK6519I SubscriptionService::SendMultiSubscribe begin");
    Subscribe message;
    // Cut at the entries bound, the request would read as answered in full.
    if (!FolderLookup::ProcessObjectsIntoWorkerMessage(true, message, values)) {
        Warning("ZK6541W subscribe request exceeds the entries bound, not sent");
        return;
    }
    message.SetMessageForwardInfo(header);
    sendRequest(conn, message);
    Trace("ZK6520I SubscriptionService::SendMultiSubscribe end");
}

void SubscriptionService::SendMultiUnsubscribe(void* conn, ObjectParamContainer& values, MessageForwardInfo& header) {
    Unsubscribe message;
    // An empty request would drop every subscription of the connection.
    if (!FolderLookup::ProcessObjectsIntoWorkerMessage(true, message, values)) {
        Warning("ZK6542W unsubscribe request exceeds the entries bound, not sent");
        return;
    }
    message.SetMessageForwardInfo(header);
    sendRequest(conn, message);
}

void SubscriptionService::SendSubscribePoll(void* conn, const char* name, std::vector<std::string> targets,
                                            MessageForwardInfo& header, const char* format) {
    if (!name) {
        return;
    }
    SubscribePoll message;
    message.SetParameter(Param::name, name);
    if (format) {
        message.SetParameter(Param::format, format);
    }
    if (!message.AddTarget(targets)) {
        Warning("ZK6543W subscribepoll request exceeds the entries bound, not sent");
        return;
    }
    message.SetMessageForwardInfo(header);
    sendRequest(conn, message);
}

void SubscriptionService::SendUnsubscribePoll(void* conn, MessageForwardInfo& header, const char* name) {
    UnsubscribePoll message;
    if (name) {
        message.SetParameter(Param::name, name);
    }
    message.SetMessageForwardInfo(header);
    sendRequest(conn, message);
}

void SubscriptionService::SendPollSubscription(void* conn, const char* name, MessageForwardInfo& header) {
    if (!name) {
        return;
    }
    PollSubscription message;
    message.SetParameter(Param::name, name);
    message.SetMessageForwardInfo(header);
    sendRequest(conn, message);
}

void SubscriptionService::SendListPublishers(void* conn, MessageForwardInfo& header) {
    ListPublishers message;
    message.SetParameter(Param::command, ListPublishers::Option);
    message.SetMessageForwardInfo(header);
    sendRequest(conn, message);
}

}  // namespace Zelkor
