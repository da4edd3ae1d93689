#pragma once
// The owner of "subscribe", "unsubscribe", "publish", "subscribepoll", "unsubscribepoll",
// "poll", "log", "sublog", "unsublog" and the list option "publishers".
//
// On a device it keeps three tables per subscriber: value subscriptions (path, format and
// the subscribing request's routing header), polled subscriptions (named target lists read
// again on every "poll") and one log subscription (priority and the header). A subscriber
// is a connection, or behind a router a connection and the route of the controller
// (SubscriberKey): each controller behind one router keeps its own, and its requests touch
// only its own. Every value the storage reports as changed is published, read anew in each
// subscribed format, as one "publish" per subscriber; log rows go to the log subscribers
// their priority admits. A connection's subscriptions go with it (a failed connection
// result); a subscriber's with its empty "unsubscribe", and a routed subscriber's once the
// driver hears it is gone (RemoveSubscriber: its goodbye, or its router's answer to a
// notice for it "Device not found" or "Device not connected"). Subscriptions come over connections only: a subscribing word over
// UDP is dropped unanswered, as no connection result would ever end it. Unsolicited lines
// carry the subscriber's stored header without its sender hash, so that a subscriber that
// filters duplicates by hash never takes a new publish for an old one. What one connection
// may hold of each kind, over all the subscribers behind it, is bounded
// ("storage/SubscriptionBound.h").
//
// On a controller it sends the requests; replies and unsolicited messages reach the
// application through the words' signals (AddHandler2), which this service only answers
// where a request asks for it.
//
// Ownership: made and held in shared ownership by the driver (always owned by a
// std::shared_ptr: jobs handed to the loop hold it weakly); the sender is not owned, the
// storage facade is shared. The storage holds the service as its event handler until the
// service's destructor takes it back.
// Threads: the tables live on the event loop, where requests, connection results and
// the jobs of `toLoop` run; no lock of its own. LogEvent, SendLogRow(row) and
// RemoveSubscription copy their arguments and hand a job to `toLoop`; so does a storage
// report made on another thread than the loop's, with copies of its texts. `toLoop` runs a
// job at once on the loop thread and posts it from any other; without one every job runs
// at once (the caller is then the loop). The senders build and send on the caller's
// thread. Finalize may be called from any thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/signals2/connection.hpp>
#include <json/value.h>

#include "core/IGiveMessageMapToMessageReceiver.h"
#include "core/IServiceBaseImpl.h"
#include "core/ISignalObserver.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "core/Signal.h"
#include "core/ZelkorLoggable.h"
#include "driver/ConnectionResult.h"
#include "services/ISubscriptionService.h"
#include "services/LoopPoster.h"
#include "services/SubscriberKey.h"
#include "storage/LogRow.h"

class StorageModel;

namespace Zelkor {

class ContainerFormatValue;
class IServiceSender;
class ObjectParamContainer;
class PollSubscription;
class SubscribePoll;
class SubscribePollWorker;
class UnsubscribePoll;

class SubscriptionService : public IServiceBaseImpl<ISubscriptionService>,
                            public IGiveMessageMapToMessageReceiver,
                            public ISignalObserver<ConnectionResult>,
                            public ISignalObserver<MessageSignalData>,
                            public ZelkorLoggable,
                            public std::enable_shared_from_this<SubscriptionService> {
public:
    using LoopJob = Zelkor::LoopJob;
    using LoopPoster = Zelkor::LoopPoster;

    static constexpr const char* NoSubscribableTargets = "No subscribable targets";
    static constexpr const char* NoPolledSubscription = "No polled subscription found";
    static constexpr const char* NamedPollNotFound = "Named polled subscription not found";
    static constexpr const char* PollNotFound = "Polled Subscription Not Found";
    static constexpr const char* InvalidPriority = "Invalid priority";

    // Value subscriptions: path -> format -> subscriber -> the subscribing header.
    using Subscribers = std::map<SubscriberKey, MessageForwardInfo>;
    using ValueTable = std::map<std::string, std::map<std::string, Subscribers>>;
    struct PolledRecord {
        std::string format;
        MessageForwardInfo header;
        std::vector<std::string> targets;
    };
    // Polled subscriptions: subscriber -> name -> record; a subscriber's entry holds one
    // record at least.
    using PolledTable = std::map<SubscriberKey, std::map<std::string, PolledRecord>>;
    struct LogSubscriber {
        MessageForwardInfo header;
        long long mark = 0;
        unsigned priority = 0;
        // The history still owed, sent as the subscriber answers the rows before it: from
        // the row numbered `replayFrom` (after it, once that row went) on to the newest row
        // of the log, rows logged meanwhile included. Only then do rows reach it as they are
        // logged, so that it receives them in the order of their numbers. What it holds is
        // a number, never rows: a log that grows faster than it reads keeps it replaying at
        // its pace, not holding more.
        bool replaying = false;
        std::uint64_t replayFrom = 0;
        bool replayFromSent = false;
        // The last row its replay went past: a row announced later with a number up to it
        // went with the replay when the log holds it, and is not sent again.
        std::uint64_t replayedTo = 0;
        // Rows of the replay sent and not yet answered, as far as its answers tell: with
        // none, a row goes whatever else waits on the connection, so that a replay never
        // waits for an answer that no row of its own will bring.
        std::size_t replayOut = 0;
    };
    using LogTable = std::map<SubscriberKey, LogSubscriber>;

    // Any may be null: without sender nothing is sent and no connection result is
    // observed, without storage a subscribe reply carries the storage's absence in every
    // entry and nothing is published.
    SubscriptionService(IServiceSender* sender, std::shared_ptr<StorageModel> storage, LoopPoster toLoop = {});
    ~SubscriptionService() override;
    SubscriptionService(const SubscriptionService&) = delete;
    SubscriptionService& operator=(const SubscriptionService&) = delete;

    // --- ISubscriptionService ------------------------------------------------------------
    void LogEvent(const std::string& rowJson) override;
    void SendSubscribe(void* conn, const char* path, const char* format) override;
    void SendUnsubscribe(void* conn, const char* path) override;
    void SendMultiSubscribe(void* conn, ObjectParamContainer& values, MessageForwardInfo& header) override;
    void SendMultiUnsubscribe(void* conn, ObjectParamContainer& values, MessageForwardInfo& header) override;
    void SendSubscribePoll(void* conn, const char* name, std::vector<std::string> targets,
                           MessageForwardInfo& header, const char* format) override;
    void SendUnsubscribePoll(void* conn, MessageForwardInfo& header, const char* name) override;
    void SendPollSubscription(void* conn, const char* name, MessageForwardInfo& header) override;
    void SendListPublishers(void* conn, MessageForwardInfo& header) override;
    void SendLogRow(void* conn, LOGROW& row, MessageForwardInfo& header) override;
    void SendLogRow(LOGROW& row) override;
    void SendSubLog(void* conn, long long mark, unsigned priority, MessageForwardInfo& header) override;
    void SendUnsubLog(void* conn, MessageForwardInfo& header) override;
    // Form A: logs around form B.
    void ValueChanged(const char* path, const char* format, const char* value, bool changed) override;
    // Form B, the publishing step.
    void ValueChanged(const char* path, const char* format, const char* value, const char* type,
                      bool changed) override;
    // Form C: logs around form D.
    void ValueChanged(const char* path, const char* format, const char* value, bool changed,
                      std::weak_ptr<IStorage> storage) override;
    // Form D: nothing without a storage on either side, then form B.
    void ValueChanged(const char* path, const char* format, const char* value, const char* type, bool changed,
                      std::weak_ptr<IStorage> storage) override;
    void RemoveSubscription(void* handle) override;
    // What one subscriber behind a router holds (values, polled, log): it said goodbye, or
    // its router said it is gone (the driver tells, ForgetRoutedRequester). Any thread.
    void RemoveSubscriber(const SubscriberKey& subscriber);
    // True while the connection holds a value, polled or log subscription. Loop thread.
    bool Holds(void* conn) const;

    // --- driver side ---------------------------------------------------------------------
    void GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) override;
    // A connection that failed or closed loses every subscription.
    void SignalRaised(ConnectionResult& result) override;
    // A request of the nine words, or a "publishers" list routed here: answered on its
    // connection with its header. Replies are the application's, but a publishers reply,
    // which comes through the router, is raised on ListPublishersSignal once.
    void SignalRaised(MessageSignalData& data) override;
    // From now on requests and value changes are ignored; the tables stay. For ever.
    void Finalize() { _finalized.store(true); }
    bool IsFinalized() const { return _finalized.load(); }
    std::shared_ptr<StorageModel> Storage() const { return _storage; }

    Signal<MessageSignalData>& SubscribeSignal() { return _subscribe; }
    Signal<MessageSignalData>& UnsubscribeSignal() { return _unsubscribe; }
    Signal<MessageSignalData>& SubscribePollSignal() { return _subscribePoll; }
    Signal<MessageSignalData>& UnsubscribePollSignal() { return _unsubscribePoll; }
    Signal<MessageSignalData>& PollSubscriptionSignal() { return _poll; }
    Signal<MessageSignalData>& ListPublishersSignal() { return _publishers; }
    Signal<MessageSignalData>& PublishSignal() { return _publish; }
    Signal<MessageSignalData>& LogRowSignal() { return _log; }
    Signal<MessageSignalData>& SubLogSignal() { return _subLog; }
    Signal<MessageSignalData>& UnsubLogSignal() { return _unsubLog; }

    // --- device-side handlers (loop thread) ------------------------------------------------
    void AddSubscriptionPollPrepareReply(MessageSignalData& data, SubscribePoll& reply);
    void RemoveSubscriptionPollPrepareReply(MessageSignalData& data, UnsubscribePoll& reply);
    void ProcessPollSubscription(MessageSignalData& data, SubscribePollWorker& reply);
    void ProcessSubLog(MessageSignalData& data);
    void ProcessUnSubLog(MessageSignalData& data);
    // Replays stored rows to the one subscriber that subscribed, with its header: none
    // for mark 0, the last |mark| rows for a negative one, the rows from seqno `mark` on
    // for a positive one, and on to the newest row, those logged during the replay
    // included. Rows wait on the connection for the subscriber's answers one by one, so a
    // long history is not queued whole: a window of it goes now and the rest as the
    // subscriber answers ("@log"), never more than half the connection's output bound
    // waiting (past the bound the connection would close).
    void SendLogHistory(const SubscriberKey& key);
    // When the descriptor of `path` holds ".dynamic" true, adds each of its attributes
    // (members beginning with ".") to `entry` as `prefix` + name, in ascending name order,
    // and gives them in `added`. False when the path is not dynamic.
    bool ProcessAttributes(const std::string& path, ContainerFormatValue& entry, const std::string& prefix,
                           std::vector<std::pair<std::string, Json::Value>>* added = nullptr);

    // The type word a published value travels with, by its JSON type.
    static const char* ValueType(const Json::Value& value);

    // The tables, for the loop thread.
    const ValueTable& Values() const { return _values; }
    const PolledTable& Polled() const { return _polled; }
    const LogTable& LogSubscribers() const { return _logSubscribers; }
    // The path-and-format pairs the connection holds subscribed, over all its subscribers.
    std::size_t ValueSubscriptionCount(void* conn) const;

private:
    // Runs a job on the loop with the service still there; at once without a poster.
    void onLoop(std::function<void(SubscriptionService&)> job);
    // Whether the request may be stored: a subscribing word over UDP is dropped.
    bool overConnection(MessageSignalData& data, const char* word);
    void reply(MessageSignalData& data, Message& reply);

    // Value subscriptions (SubscriptionPublish.cpp).
    void answerSubscribe(MessageSignalData& data);
    void answerUnsubscribe(MessageSignalData& data);
    void answerPublish(MessageSignalData& data);
    void answerPublishers(MessageSignalData& data);
    // Reads the request's paths into the container (recursive); false, every entry then
    // carrying the failure, when the storage is missing or threw.
    bool readRequested(const Message& request, ObjectParamContainer& container);
    // Marks what may not be subscribed and adds the attributes of dynamic entries, which
    // it gives back as (object path, name) pairs.
    std::set<std::pair<std::string, std::string>> filterSubscribed(ObjectParamContainer& container);
    // Subscribes every entry without an error but the attributes; one past the
    // connection's bound gets "Too many entries" instead.
    void subscribeEntries(ObjectParamContainer& container,
                          const std::set<std::pair<std::string, std::string>>& attributes,
                          const SubscriberKey& subscriber, const MessageForwardInfo& header);
    // False, adding nothing, for a new pair past the connection's bound.
    bool addValueSubscription(const std::string& path, const std::string& format, const SubscriberKey& subscriber,
                              const MessageForwardInfo& header, std::size_t bound);
    void removeValueSubscription(const std::string& path, const std::string& format,
                                 const SubscriberKey& subscriber);
    // The subscriber out of table[path][format], emptied levels going; the index stays.
    void dropFromValues(const std::string& path, const std::string& format, const SubscriberKey& subscriber);
    // Every subscriber of the connection.
    void removeNow(void* conn);
    // Everything one subscriber holds: values, polled and log.
    void removeSubscriber(const SubscriberKey& subscriber);
    void publish(const std::string& path, const std::string& value, bool flag);
    // The subscribed path that a change of `path` publishes; empty for none.
    std::string subscribedPathOf(const std::string& path) const;
    // Sends one sender's message as a request.
    void sendRequest(void* conn, Message& message);

    // Log subscriptions (LogSubscriptions.cpp).
    void answerLogRow(MessageSignalData& data);
    // A new row to every subscriber its priority reaches, but to none whose replay brings
    // it from the log (one still replaying, or one whose replay went past its number).
    void fanOut(const LOGROW& row);
    // Whether the log holds a row of that number.
    bool heldInLog(std::uint64_t seqno);
    void sendLogRowNow(void* conn, const LOGROW& row, const MessageForwardInfo& header);
    // The log subscriptions the connection holds, over all its subscribers.
    std::size_t logSubscribersOf(void* conn) const;
    // Sends the next rows a subscriber's replay owes, as its connection's waiting output
    // allows; ends the replay at the log's end or when the connection is gone.
    void replayMore(void* conn, LogSubscriber& subscriber);
    // From now on rows reach the subscriber as they are logged.
    static void endReplay(LogSubscriber& subscriber);
    // The subscriber that `header` names on `conn` answered a row: its replay may go on
    // (every replay on the connection when no subscriber has that name).
    void continueReplays(void* conn, const MessageForwardInfo& header);
    // The rows numbered after the last a replay sent, when that row has left the log.
    bool retrieveRowsAfter(const LogSubscriber& subscriber, std::size_t bytes, std::vector<std::string>& rows);
    // The storage's rows as RetrieveEventsUpTo gives them; false, logged, when it threw.
    bool retrieveRows(long long from, unsigned priority, std::size_t bytes, std::vector<std::string>& rows);

    IServiceSender* _sender;
    std::shared_ptr<StorageModel> _storage;
    LoopPoster _toLoop;
    std::atomic<bool> _finalized{false};

    ValueTable _values;
    // Per subscriber, the path-and-format pairs it holds in _values; per connection, how
    // many pairs all its subscribers hold.
    std::map<SubscriberKey, std::set<std::pair<std::string, std::string>>> _valuePairs;
    std::map<void*, std::size_t> _valueCounts;
    PolledTable _polled;
    LogTable _logSubscribers;

    Signal<MessageSignalData> _subscribe;
    Signal<MessageSignalData> _unsubscribe;
    Signal<MessageSignalData> _subscribePoll;
    Signal<MessageSignalData> _unsubscribePoll;
    Signal<MessageSignalData> _poll;
    Signal<MessageSignalData> _publish;
    Signal<MessageSignalData> _log;
    Signal<MessageSignalData> _subLog;
    Signal<MessageSignalData> _unsubLog;
    Signal<MessageSignalData> _publishers;
    // The observed word signals with their connections.
    std::vector<std::pair<Signal<MessageSignalData>*, boost::signals2::connection>> _observed;
    boost::signals2::connection _resultsConnection;
};

}  // namespace Zelkor
