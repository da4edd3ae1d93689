#pragma once
// The subscription service as the application, the storage and the other services see
// it. On a device it keeps per connection the value subscriptions, polled subscriptions
// and log subscription of its peers, publishes every value change the storage reports to
// the value's subscribers and fans log rows out to the log subscribers. On a controller
// it sends the subscribing requests (the device object's replies and unsolicited
// messages come back through the words' signals, AddHandler2).
//
// Ownership: the driver owns the service; the storage holds it as a plain, unowned
// pointer, which the service takes back when it goes (SetStorageEventHandler(nullptr)).
// Threads: the tables live on the event loop. LogEvent, SendLogRow(row) and
// RemoveSubscription copy their arguments and run on the loop; the senders build their
// message on the caller's thread. ValueChanged is called on the thread that wrote the
// value, before the write returns; a report from any other thread than the loop's is
// handled later on the loop with copies of its texts, so applications write their tree
// on the loop when they want the publish to follow the write at once.

#include <memory>
#include <string>
#include <vector>

#include "core/IServiceBase.h"

struct LOGROW;

namespace Zelkor {

class IStorage;
class MessageForwardInfo;
class ObjectParamContainer;

class ISubscriptionService : public IServiceBase {
public:
    // A new row of the event log, given as the JSON form of LOGROW, for the log
    // subscribers whose priority admits it; a text that does not read is dropped.
    virtual void LogEvent(const std::string& rowJson) = 0;

    // Controller side: each sends one request on the connection. A null path or name
    // sends nothing, except for SendUnsubscribe, whose null path asks the device to drop
    // every subscription of the connection (values, polls and log).
    virtual void SendSubscribe(void* conn, const char* path, const char* format) = 0;
    virtual void SendUnsubscribe(void* conn, const char* path) = 0;
    virtual void SendMultiSubscribe(void* conn, ObjectParamContainer& values, MessageForwardInfo& header) = 0;
    virtual void SendMultiUnsubscribe(void* conn, ObjectParamContainer& values, MessageForwardInfo& header) = 0;
    // A null format sends none (the device reads "variant").
    virtual void SendSubscribePoll(void* conn, const char* name, std::vector<std::string> targets,
                                   MessageForwardInfo& header, const char* format) = 0;
    // A null name drops every polled subscription of the connection.
    virtual void SendUnsubscribePoll(void* conn, MessageForwardInfo& header, const char* name) = 0;
    virtual void SendPollSubscription(void* conn, const char* name, MessageForwardInfo& header) = 0;
    virtual void SendListPublishers(void* conn, MessageForwardInfo& header) = 0;
    // One row as a "log" request on the connection, with the given header.
    virtual void SendLogRow(void* conn, LOGROW& row, MessageForwardInfo& header) = 0;
    // The fan-out: the row to every log subscriber whose priority it reaches.
    virtual void SendLogRow(LOGROW& row) = 0;
    virtual void SendSubLog(void* conn, long long mark, unsigned priority, MessageForwardInfo& header) = 0;
    virtual void SendUnsubLog(void* conn, MessageForwardInfo& header) = 0;

    // A value changed: `value` is a JSON string's own text, or any other value as compact
    // JSON followed by a line feed; `type` is the parameter's type word (or the list name
    // for a change of ".enums" / ".flags"). Neither the format nor the type is used for
    // the publish, which reads the value anew in each subscribed format.
    virtual void ValueChanged(const char* path, const char* format, const char* value, bool changed) = 0;
    virtual void ValueChanged(const char* path, const char* format, const char* value, const char* type,
                              bool changed) = 0;
    // A dynamic attribute of a parameter changed: it publishes the parameter.
    virtual void ValueChanged(const char* path, const char* format, const char* value, bool changed,
                              std::weak_ptr<IStorage> storage) = 0;
    // A parameter's value changed in the given storage (the one the service reads).
    virtual void ValueChanged(const char* path, const char* format, const char* value, const char* type,
                              bool changed, std::weak_ptr<IStorage> storage) = 0;

    // Drops every subscription held by that connection.
    virtual void RemoveSubscription(void* handle) = 0;
};

}  // namespace Zelkor
