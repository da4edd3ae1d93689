// Log subscriptions: "log" stores a peer's row, "sublog" subscribes a connection to rows
// at or above a priority (replaying history to it alone), "unsublog" ends it; the
// fan-out sends new rows to the subscribers their priority admits.

#include <charconv>
#include <cstdint>
#include <cstddef>
#include <exception>
#include <limits>

#include "driver/IServiceSender.h"
#include "services/LogMessages.h"
#include "services/SubscriptionService.h"
#include "storage/RequestBound.h"
#include "storage/StorageModel.h"
#include "storage/SubscriptionBound.h"

namespace Zelkor {

namespace {

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
        Warning("ZK6557W Log subscriptions per connection bound reached; sublog refused");
        answer.SetParameter(Param::error, kTooManyEntries);
        reply(data, answer);
        return;
    }
    LogSubscriber& subscriber = _logSubscribers[key];
    subscriber.header = request.GetMessageForwardInfo().RouteOnly();
    subscriber.mark = mark;
    subscriber.priority = priority;
    const MessageForwardInfo header = subscriber.header;
    reply(data, answer);
    SendLogHistory(data.Handle(), mark, priority, header);
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

void SubscriptionService::SendLogHistory(void* conn, long long mark, unsigned priority,
                                         const MessageForwardInfo& header) {
    if (mark == 0 || !_storage || !_sender) {
        return;
    }
    // The replay stops at half the connection's output bound, so the rows past the bound
    // are never sent and need not be copied out of a long log. A connection its "sublog"
    // reply's failed write closed takes no rows at all.
    const IServiceSender::QueuedOutput before = _sender->QueuedOutputOf(conn);
    if (!before.open) {
        return;
    }
    const std::size_t bound = before.bound;
    std::vector<std::string> rows;
    try {
        _storage->RetrieveEventsUpTo(mark, priority, bound != 0 ? bound : std::numeric_limits<std::size_t>::max(), rows);
    } catch (const std::exception& error) {
        Error("ZK6552E RetrieveEvents error", error.what());
        return;
    } catch (...) {
        Error("ZK6552E RetrieveEvents error");
        return;
    }
    std::size_t first = 0;
    if (mark < 0) {
        // |mark| without overflow, the lowest value included.
        const std::uint64_t wanted = std::uint64_t{0} - static_cast<std::uint64_t>(mark);
        if (rows.size() > wanted) {
            first = rows.size() - static_cast<std::size_t>(wanted);
        }
    }
    for (std::size_t index = first; index < rows.size(); ++index) {
        LOGROW row;
        if (!row.from_json(rows[index]) || row.priority < priority ||
            (mark > 0 && row.seqno < static_cast<std::uint64_t>(mark))) {
            continue;
        }
        LogRow message;
        message.SetRow(row);
        message.SetMessageForwardInfo(header);
        // Rows wait for the subscriber's answers one by one; past its output bound the
        // connection would close, so the replay stops well before it.
        const IServiceSender::QueuedOutput output = _sender->QueuedOutputOf(conn);
        if (!output.open) {
            return;
        }
        const std::size_t size = message.Build(true).size();
        if (output.bound != 0 && output.bytes + size > output.bound / 2) {
            Warning("ZK6553W Log history replay stopped at half the output bound; rows left",
                    rows.size() - index);
            return;
        }
        _sender->BuildAndSendMessage(conn, message, true);
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
    for (const auto& [key, subscriber] : _logSubscribers) {
        if (row.priority >= subscriber.priority) {
            sendLogRowNow(key.connection, row, subscriber.header);
        }
    }
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
