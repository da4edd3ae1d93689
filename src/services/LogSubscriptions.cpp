// Log subscriptions: "log" stores a peer's row, "sublog" subscribes a connection to rows
// at or above a priority (replaying history to it alone), "unsublog" ends it; the
// fan-out sends new rows to the subscribers their priority admits.

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstddef>
#include <exception>
#include <limits>
#include <optional>
#include <string>

#include "driver/IServiceSender.h"
#include "services/LogMessages.h"
#include "services/SubscriptionService.h"
#include "storage/JsonTextIO.h"
#include "storage/RequestBound.h"
#include "storage/StorageModel.h"
#include "storage/SubscriptionBound.h"

namespace Zelkor {

namespace {

// What a replay keeps waiting for its subscriber at most (or half the connection's output
// bound, when that is less); the next rows go once it has answered half of it.
constexpr std::size_t kReplayWindow = 64 * 1024;

// The number a stored row carries, read as the store reads it: a row that is no LOGROW
// for want of a field still has its place in the log.
std::optional<std::uint64_t> seqnoOf(const std::string& text) {
    Json::Value parsed;
    std::string error;
    if (!ParseJsonText(text, parsed, error) || !parsed.isObject()) {
        return std::nullopt;
    }
    return JsonToUInt64(static_cast<const Json::Value&>(parsed)["seqno"]);
}

// The whole text as a signed 64-bit number; 0 when it is none.
long long markOf(const char* text) {
    long long mark = 0;
    if (!text) {
        return 0;
    }
    const char* end = text + std::char_traits<char>::length(text);
    const auto [at, error] = std::from_chars(text, end, mark);
    return error == std::errc() && at == end ? mark : 0;
}

// 0 when absent or unreadable; a number outside the unsigned 32-bit range is no valid
// priority at all.
bool priorityOf(const char* text, unsigned& priority) {
    priority = 0;
    long long number = markOf(text);
    if (number < 0 || number > static_cast<long long>(std::numeric_limits<std::uint32_t>::max())) {
        return false;
    }
    priority = static_cast<unsigned>(number);
    return true;
}

}  // namespace

void SubscriptionService::answerLogRow(MessageSignalData& data) {
    const auto* request = dynamic_cast<const LogRow*>(data.GetMessage());
    if (request) {
        const LOGROW row = request->GetRow();
        if (!_storage) {
            Error("ZK6506E StoreEvent no storage");
        } else {
            try {
                if (!_storage->StoreEvent(row.to_json())) {
                    Error("ZK6504E StoreEvent() failed");
                }
            } catch (const std::exception& error) {
                Error("ZK6505E StoreEvent error", error.what());
            } catch (...) {
                Error("ZK6505E StoreEvent error");
            }
        }
    }
    LogRow answer;
    reply(data, answer);
}

void SubscriptionService::ProcessSubLog(MessageSignalData& data) {
    if (!overConnection(data, "sublog")) {
        return;
    }
    const Message& request = *data.GetMessage();
    const long long mark = markOf(request.GetParameter(Param::mark));
    unsigned priority = 0;
    const bool valid = priorityOf(request.GetParameter(Param::priority), priority) && priority < 5;
    SubLog answer;
    if (!valid) {
        answer.SetParameter(Param::error, InvalidPriority);
        reply(data, answer);
        return;
    }
    const SubscriberKey key = SubscriberKey::Of(data.Handle(), request.GetMessageForwardInfo());
    if (_logSubscribers.count(key) == 0 && logSubscribersOf(key.connection) >= MaxSubscriptionsPerConnection()) {
        // Each route behind a router may hold one; the connection holds no more than its bound.
        PeerWarning("ZK6557W Log subscriptions per connection bound reached; sublog refused");
        answer.SetParameter(Param::error, kTooManyEntries);
        reply(data, answer);
        return;
    }
    LogSubscriber& subscriber = _logSubscribers[key];
    subscriber.header = request.GetMessageForwardInfo().RouteOnly();
    subscriber.mark = mark;
    subscriber.priority = priority;
    reply(data, answer);
    SendLogHistory(key);
}

std::size_t SubscriptionService::logSubscribersOf(void* conn) const {
    std::size_t count = 0;
    for (auto at = _logSubscribers.lower_bound(SubscriberKey(conn));
         at != _logSubscribers.end() && at->first.connection == conn; ++at) {
        ++count;
    }
    return count;
}

void SubscriptionService::ProcessUnSubLog(MessageSignalData& data) {
    _logSubscribers.erase(SubscriberKey::Of(data.Handle(), data.GetMessage()->GetMessageForwardInfo()));
    UnsubLog answer;
    reply(data, answer);
}

bool SubscriptionService::retrieveRows(long long from, unsigned priority, std::size_t bytes,
                                       std::vector<std::string>& rows) {
    try {
        _storage->RetrieveEventsUpTo(from, priority, bytes, rows);
        return true;
    } catch (const std::exception& error) {
        Error("ZK6552E RetrieveEvents error", error.what());
    } catch (...) {
        Error("ZK6552E RetrieveEvents error");
    }
    return false;
}

void SubscriptionService::SendLogHistory(const SubscriberKey& key) {
    const auto found = _logSubscribers.find(key);
    if (found == _logSubscribers.end() || !_storage || !_sender) {
        return;
    }
    LogSubscriber& subscriber = found->second;
    subscriber.replaying = false;
    subscriber.replayFrom = 0;
    subscriber.replayFromSent = false;
    subscriber.replayedTo = 0;
    subscriber.replayOut = 0;
    if (subscriber.mark == 0) {
        return;
    }
    std::vector<std::string> first;
    if (!retrieveRows(subscriber.mark, subscriber.priority, 1, first) || first.empty()) {
        return;
    }
    const auto from = seqnoOf(first.front());
    if (!from) {
        return;
    }
    subscriber.replaying = true;
    subscriber.replayFrom = *from;
    replayMore(key.connection, subscriber);
}

void SubscriptionService::endReplay(LogSubscriber& subscriber) {
    subscriber.replaying = false;
    subscriber.replayedTo = subscriber.replayFromSent ? subscriber.replayFrom : 0;
}

void SubscriptionService::replayMore(void* conn, LogSubscriber& subscriber) {
    // Room for the row already sent, which every fetch after the first begins with.
    std::size_t sentRow = 0;
    for (;;) {
        const IServiceSender::QueuedOutput output = _sender->QueuedOutputOf(conn);
        // A connection gone (a failed write of the "sublog" reply, say) takes no rows; a
        // number no positive mark can name cannot be fetched.
        if (!subscriber.replaying || !output.open ||
            subscriber.replayFrom > static_cast<std::uint64_t>(std::numeric_limits<long long>::max())) {
            endReplay(subscriber);
            return;
        }
        const std::size_t window =
            output.bound != 0 ? std::min(kReplayWindow, output.bound / 2) : kReplayWindow;
        if (subscriber.replayOut != 0 && output.bytes >= window / 2) {
            return;
        }
        const std::size_t limit = (output.bytes < window ? window - output.bytes : 1) + sentRow;
        std::vector<std::string> rows;
        if (!retrieveRows(static_cast<long long>(subscriber.replayFrom), subscriber.priority, limit, rows) ||
            (rows.empty() && subscriber.replayFromSent && !retrieveRowsAfter(subscriber, limit, rows))) {
            endReplay(subscriber);
            return;
        }
        std::size_t copied = 0;
        for (const auto& text : rows) {
            copied += text.size();
        }
        std::size_t waiting = output.bytes;
        bool advanced = false;
        for (std::size_t index = 0; index < rows.size(); ++index) {
            // A row is read once; only one that is no record is read again for its number.
            LOGROW row;
            const bool record = row.from_json(rows[index]);
            const auto seqno = record ? std::optional<std::uint64_t>(row.seqno) : seqnoOf(rows[index]);
            if (!seqno || (subscriber.replayFromSent && *seqno <= subscriber.replayFrom)) {
                continue;
            }
            if (record && (subscriber.mark <= 0 || row.seqno >= static_cast<std::uint64_t>(subscriber.mark))) {
                LogRow message;
                message.SetRow(row);
                message.SetMessageForwardInfo(subscriber.header);
                const std::size_t size = message.Build(true).size();
                // The rest goes as the subscriber answers; a row goes alone when none of the
                // replay's waits, however long, but never past half the output bound.
                const bool alone = subscriber.replayOut == 0;
                if ((!alone && waiting + size > window) ||
                    (output.bound != 0 && waiting + size > output.bound / 2)) {
                    return;
                }
                _sender->BuildAndSendMessage(conn, message, true);
                waiting += size;
                ++subscriber.replayOut;
            }
            subscriber.replayFrom = *seqno;
            subscriber.replayFromSent = true;
            advanced = true;
        }
        if (!advanced && copied >= limit && subscriber.replayFromSent) {
            sentRow = copied;
            continue;
        }
        // Less than asked for is the log's end, rows logged until now included: what is
        // logged from now on reaches the subscriber as it comes, after all of these.
        if (copied < limit || !advanced) {
            endReplay(subscriber);
            return;
        }
    }
}

bool SubscriptionService::retrieveRowsAfter(const LogSubscriber& subscriber, std::size_t bytes,
                                            std::vector<std::string>& rows) {
    // The last row sent has left the log (a full log lets its oldest go): the rows numbered
    // after it are the newest ones, as many as the numbers between, when any are left.
    std::vector<std::string> newest;
    if (!retrieveRows(-1, 0, 1, newest)) {
        return false;
    }
    const auto last = newest.empty() ? std::nullopt : seqnoOf(newest.front());
    if (!last || *last <= subscriber.replayFrom) {
        return true;
    }
    Debug("ZK6580I Log history replay outrun by the log: it goes on from the oldest rows still held after " +
          std::to_string(subscriber.replayFrom));
    const std::uint64_t after = std::min<std::uint64_t>(*last - subscriber.replayFrom,
                                                        std::numeric_limits<long long>::max());
    return retrieveRows(-static_cast<long long>(after), subscriber.priority, bytes, rows);
}

void SubscriptionService::continueReplays(void* conn, const MessageForwardInfo& header) {
    const auto answered = _logSubscribers.find(SubscriberKey::Of(conn, header));
    if (answered != _logSubscribers.end()) {
        LogSubscriber& subscriber = answered->second;
        subscriber.replayOut -= subscriber.replayOut != 0 ? 1 : 0;
        if (subscriber.replaying) {
            replayMore(conn, subscriber);
        }
        return;
    }
    for (auto at = _logSubscribers.lower_bound(SubscriberKey(conn));
         at != _logSubscribers.end() && at->first.connection == conn; ++at) {
        if (at->second.replaying) {
            at->second.replayOut = 0;
            replayMore(conn, at->second);
        }
    }
}

// ---------------------------------------------------------------------------------------
// Senders and the fan-out

void SubscriptionService::LogEvent(const std::string& rowJson) {
    LOGROW row;
    if (row.from_json(rowJson)) {
        SendLogRow(row);
    }
}

void SubscriptionService::SendLogRow(LOGROW& row) {
    onLoop([row](SubscriptionService& self) { self.fanOut(row); });
}

void SubscriptionService::fanOut(const LOGROW& row) {
    // Asked of the log once, and only when some replay may bring the row. A row the log
    // does not hold (announced, never stored) no replay brings: it goes at once.
    std::optional<bool> held;
    for (const auto& [key, subscriber] : _logSubscribers) {
        if (row.priority < subscriber.priority) {
            continue;
        }
        if (subscriber.replaying || row.seqno <= subscriber.replayedTo) {
            if (!held) {
                held = heldInLog(row.seqno);
            }
            if (*held) {
                continue;
            }
        }
        sendLogRowNow(key.connection, row, subscriber.header);
    }
}

bool SubscriptionService::heldInLog(std::uint64_t seqno) {
    std::vector<std::string> rows;
    return _storage && seqno != 0 && seqno <= static_cast<std::uint64_t>(std::numeric_limits<long long>::max()) &&
           retrieveRows(static_cast<long long>(seqno), 0, 1, rows) && !rows.empty();
}

void SubscriptionService::SendLogRow(void* conn, LOGROW& row, MessageForwardInfo& header) {
    sendLogRowNow(conn, row, header);
}

void SubscriptionService::sendLogRowNow(void* conn, const LOGROW& row, const MessageForwardInfo& header) {
    LogRow message;
    message.SetRow(row);
    message.SetMessageForwardInfo(header);
    sendRequest(conn, message);
}

void SubscriptionService::SendSubLog(void* conn, long long mark, unsigned priority, MessageForwardInfo& header) {
    SubLog message;
    message.SetParameter(Param::mark, std::to_string(mark).c_str());
    message.SetParameter(Param::priority, std::to_string(priority).c_str());
    message.SetMessageForwardInfo(header);
    sendRequest(conn, message);
}

void SubscriptionService::SendUnsubLog(void* conn, MessageForwardInfo& header) {
    UnsubLog message;
    message.SetMessageForwardInfo(header);
    sendRequest(conn, message);
}

}  // namespace Zelkor
