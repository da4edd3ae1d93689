// The commands a controller runs on one device: "exec" in its three argument forms, handed
// to the command interface with a callback per request, and raw command lines typed as
// text, whose replies come back as text. The callback of an "exec", "get" or "set" line is
// held by the word's service in the line's place among the connection's requests; any
// other word's callback waits here for the reply to its own line. An "@error" that
// answers a raw line reaches its callback as the error line itself; a line no reply will
// answer hears the refusal its peer would have sent (see IDevice).

#include "device/DeviceImpl.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/Message.h"
#include "core/MessageSignalData.h"
#include "core/RequestErrors.h"
#include "driver/ConnectionResult.h"
#include "driver/ZelkorDriver.h"
#include "services/EndedRequest.h"
#include "services/ICommandInterfaceService.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

std::shared_ptr<ICommandInterfaceService> DeviceImpl::commandInterface() const {
    const auto owner = _driver.lock();
    ICommandInterfaceService* service = owner ? owner->GetCommandInterfaceService() : nullptr;
    return service ? std::shared_ptr<ICommandInterfaceService>(owner, service) : nullptr;
}

// --- exec --------------------------------------------------------------------------------

namespace {

template <class Args>
bool sendExec(DeviceImpl& device, const std::shared_ptr<ICommandInterfaceService>& service, const char* path,
              const char* command, const Args& args, const std::string& requestid, IDevice::ExecCallback& callback) {
    // The service builds the line before this returns; the header is this request's own.
    // The work runs at most once, so the callback moves on instead of being copied.
    return device.ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        service->SendExecCommand(ZelkorDriver::HandleOf(socket.get()), path, command, args, header, requestid,
                                 std::move(callback));
    });
}

}  // namespace

void DeviceImpl::answerUnreachedExec(const std::shared_ptr<ICommandInterfaceService>& service,
                                     ExecCallback callback) {
    // An empty callback stands for the default handler as it is at the call, as it does
    // for a request that goes out.
    callback = service->OrDefault(std::move(callback));
    if (callback) {
        answerLater([callback = std::move(callback)](ZelkorDriver&) {
            callback("/", std::string(), false, kDeviceNotConnected, std::string());
        });
    }
}

void DeviceImpl::SendExecCommand(const char* path, const char* command, const std::vector<std::string>& args,
                                 const std::string& requestid, ExecCallback callback) {
    if (!path || !command) {
        return;
    }
    const auto service = commandInterface();
    if (service && !sendExec(*this, service, path, command, args, requestid, callback)) {
        answerUnreachedExec(service, std::move(callback));
    }
}

void DeviceImpl::SendExecCommand(const char* path, const char* command, const std::map<std::string, std::string>& args,
                                 const std::string& requestid, ExecCallback callback) {
    if (!path || !command) {
        return;
    }
    const auto service = commandInterface();
    if (service && !sendExec(*this, service, path, command, args, requestid, callback)) {
        answerUnreachedExec(service, std::move(callback));
    }
}

void DeviceImpl::SendExecCommand(const char* path, const char* command, const std::string& args,
                                 const std::string& requestid, ExecCallback callback) {
    if (!path || !command) {
        return;
    }
    const auto service = commandInterface();
    if (service && !sendExec(*this, service, path, command, args, requestid, callback)) {
        answerUnreachedExec(service, std::move(callback));
    }
}

void DeviceImpl::OnExecResult(ExecCallback callback) {
    if (const auto service = commandInterface()) {
        service->OnExecResult(std::move(callback));
    }
}

// --- raw commands ------------------------------------------------------------------------

namespace {

// The sender hash a line built with `header` will carry: the next one of its counter.
std::string hashOf(const MessageForwardInfo& header) {
    if (!header.hasHash) {
        return std::string();
    }
    MessageForwardInfo probe = header;
    std::string front;
    if (!probe.AppendMessageForwardHeader(front)) {
        return std::string();
    }
    return front.substr(0, front.find(' '));
}

}  // namespace

void DeviceImpl::SendRawCommand(const char* line, RawCallback callback) {
    const auto owner = _driver.lock();
    if (!line || !callback || !owner) {
        return;
    }
    std::string word;
    std::string json;
    owner->SplitRawCommand(line, word, json);
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        generation = _rawGeneration;
    }
    // The service of an "exec", "get" or "set" line holds the callback in the line's place
    // among the connection's requests, and answers it once: by the reply, or by the line's
    // refusal when its connection ends or never took it.
    const bool serviceWord = word == "exec" || word == "get" || word == "set";
    const bool went = ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        ZelkorDriver::SendResult sent;
        if (!serviceWord) {
            // The callback waits only once the connection took the line, in the same loop
            // turn, when the connection can tell the line's place among its requests: one
            // that never went out would take the reply of a later line. A line that went
            // nowhere, or whose connection ends first, hears its refusal instead.
            RawWait wait;
            wait.word = word;
            wait.connection = socket;
            wait.hash = hashOf(header);
            wait.line = owner->RawRequestLine(line, header);
            wait.callback = callback;
            sent = [self = shared_from_this(), wait = std::move(wait), generation](bool taken) mutable {
                const auto connection = wait.connection.lock();
                if (taken && connection) {
                    wait.ordinal = connection->LastRequestTaken();
                    wait.sentAt = std::chrono::steady_clock::now();
                    self->enterRaw(std::move(wait), generation);
                } else {
                    // A turn after the call, on the loop: the driver reports a line not
                    // taken no sooner.
                    answerRaw(wait, kConnectionLost);
                }
            };
        }
        owner->SendRawCommand(ZelkorDriver::HandleOf(socket.get()), line, header, callback, std::move(sent));
    });
    if (!went) {
        // A line the connection would not have sent either (unknown word, bad JSON) has no
        // refusal, and no answer, as it has none with a connection.
        std::string refusal = EndedRequestText(owner->RawRequestLine(line, MessageForwardInfo()), kDeviceNotConnected);
        if (!refusal.empty()) {
            answerLater([callback = std::move(callback), refusal = std::move(refusal)](ZelkorDriver&) {
                callback(refusal);
            });
        }
    }
}

bool DeviceImpl::hookRaw(ZelkorDriver& owner, const std::string& word) {
    auto& handler = _rawHandlers[word];
    if (handler.connected()) {
        return true;
    }
    handler = owner.AddHandler2(word, [self = shared_from_this()](MessageSignalData& data) { self->serveRaw(data); });
    if (!handler.connected()) {
        _rawHandlers.erase(word);
        return false;
    }
    return true;
}

void DeviceImpl::enterRaw(RawWait wait, std::uint64_t generation) {
    const auto owner = _driver.lock();
    if (!owner) {
        return;
    }
    // What goes is cut and released after the lock: a handler owns this device, and a
    // callback's captures may own anything.
    const auto self = shared_from_this();
    std::vector<RawWait> ended;
    std::vector<RawWait> undelivered;
    std::vector<boost::signals2::connection> cuts;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        // A disconnection since the line was sent: its reply is not coming on a connection
        // of this device any more. A finalized device is never served again.
        if (generation != _rawGeneration || IsFinalized()) {
            ended.push_back(std::move(wait));
        } else {
            // Lines whose connection has closed since are answered by nothing any more.
            for (auto at = _rawWaits.begin(); at != _rawWaits.end();) {
                const auto connection = at->connection.lock();
                if (connection && connection->SocketIsOpen()) {
                    ++at;
                } else {
                    ended.push_back(std::move(*at));
                    at = _rawWaits.erase(at);
                }
            }
            if (hookRaw(*owner, wait.word) && hookRaw(*owner, "error")) {
                _rawWaits.push_back(std::move(wait));
                hookRawEnds(*owner);
            } else {
                // A word whose replies the driver raises on no signal of its map: no reply
                // ever reaches the wait, so the line is answered now that it went.
                undelivered.push_back(std::move(wait));
            }
        }
        cuts = idleRawHandlers();
    }
    for (auto& cut : cuts) {
        cut.disconnect();
    }
    answerRawLater(std::move(ended), kConnectionLost);
    answerRawLater(std::move(undelivered), ReplyNotDelivered);
}

void DeviceImpl::hookRawEnds(ZelkorDriver& owner) {
    if (_rawEnds.connected()) {
        return;
    }
    _rawEnds = owner.ConnectionResults().Connect([weak = weak_from_this()](ConnectionResult& result) {
        const auto self = weak.lock();
        if (self && !result.connected) {
            self->rawConnectionEnded(result.handle);
        }
    });
}

void DeviceImpl::rawConnectionEnded(void* handle) {
    const auto self = shared_from_this();
    std::vector<RawWait> ended;
    std::vector<boost::signals2::connection> cuts;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (auto at = _rawWaits.begin(); at != _rawWaits.end();) {
            const auto connection = at->connection.lock();
            if (!connection || ZelkorDriver::HandleOf(connection.get()) == handle) {
                ended.push_back(std::move(*at));
                at = _rawWaits.erase(at);
            } else {
                ++at;
            }
        }
        cuts = idleRawHandlers();
    }
    for (auto& cut : cuts) {
        cut.disconnect();
    }
    // On the loop, where the connection's end is told: in order, as the lines went out.
    for (const auto& wait : ended) {
        answerRaw(wait, kConnectionLost);
    }
}

void DeviceImpl::answerRaw(const RawWait& wait, const char* reason) {
    if (wait.timedOut || !wait.callback) {
        return;
    }
    const std::string refusal = EndedRequestText(wait.line, reason);
    if (!refusal.empty()) {
        wait.callback(refusal);
    }
}

void DeviceImpl::ExpireRawCommands(std::chrono::steady_clock::time_point cutoff) {
    std::vector<RawWait> expired;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (auto& wait : _rawWaits) {
            if (wait.timedOut || wait.sentAt > cutoff) {
                continue;
            }
            // The wait keeps its place to take its late reply; the answer goes now.
            RawWait answer;
            answer.line = wait.line;
            answer.callback = std::move(wait.callback);
            wait.timedOut = true;
            expired.push_back(std::move(answer));
        }
    }
    for (const auto& wait : expired) {
        answerRaw(wait, kTimedOut);
    }
}

void DeviceImpl::answerRawLater(std::vector<RawWait> ended, const char* reason) {
    if (ended.empty()) {
        return;
    }
    answerLater([ended = std::move(ended), reason](ZelkorDriver&) {
        for (const auto& wait : ended) {
            answerRaw(wait, reason);
        }
    });
}

std::vector<boost::signals2::connection> DeviceImpl::idleRawHandlers() {
    std::vector<boost::signals2::connection> idle;
    if (_rawWaits.empty() && _rawEnds.connected()) {
        idle.push_back(_rawEnds);
        _rawEnds = boost::signals2::connection();
    }
    for (auto at = _rawHandlers.begin(); at != _rawHandlers.end();) {
        const bool needed = std::any_of(_rawWaits.begin(), _rawWaits.end(), [&](const RawWait& wait) {
            return at->first == "error" || wait.word == at->first;
        });
        if (needed) {
            ++at;
        } else {
            idle.push_back(at->second);
            at = _rawHandlers.erase(at);
        }
    }
    return idle;
}

void DeviceImpl::serveRaw(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message || !message->GetIsReply()) {
        return;
    }
    const std::string word = message->CommandName();
    const bool error = word == "error";
    const MessageForwardInfo& header = message->GetMessageForwardInfo();
    const std::string hash = header.hasHash ? header.HashText() : std::string();
    // The request the reply answers, as the connection it came in on knows it.
    ConnectionRequest answered;
    if (const auto socket = data.Socket()) {
        answered = socket->AnsweredRequest();
    }
    // A hashed line's reply is known by its hash wherever it comes in, as long as it
    // comes from the device.
    const bool hashed = !hash.empty() && MatchSource(data);
    const auto ownReply = [&](const RawWait& wait) {
        if (!error && wait.word != word) {
            return false;
        }
        if (hashed && wait.hash == hash) {
            return true;
        }
        return answered.ordinal != 0 && wait.ordinal == answered.ordinal &&
               ZelkorDriver::HandleOf(wait.connection.lock().get()) == data.Handle();
    };
    // Held past the cuts below: a handler being cut owns this device.
    const auto self = shared_from_this();
    RawCallback deliver;
    std::vector<boost::signals2::connection> cuts;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        const auto found = std::find_if(_rawWaits.begin(), _rawWaits.end(), ownReply);
        if (found == _rawWaits.end()) {
            return;
        }
        deliver = std::move(found->callback);
        _rawWaits.erase(found);
        cuts = idleRawHandlers();
    }
    for (auto& cut : cuts) {
        cut.disconnect();
    }
    // A line answered at its time-out takes its late reply to nobody.
    if (!deliver) {
        return;
    }
    const std::string& received = message->GetRawText();
    deliver(received.empty() ? message->ToNetworkFormat(false) : received);
}

void DeviceImpl::dropRawCommands() {
    // Held past the cuts: a handler being cut owns this device.
    const auto self = weak_from_this().lock();
    std::map<std::string, boost::signals2::connection> handlers;
    boost::signals2::connection ends;
    // The callbacks go after the lock: their captures may own anything.
    std::vector<RawWait> dropped;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        ++_rawGeneration;
        handlers.swap(_rawHandlers);
        dropped.swap(_rawWaits);
        std::swap(ends, _rawEnds);
    }
    for (auto& entry : handlers) {
        entry.second.disconnect();
    }
    ends.disconnect();
    // Their replies are served no more: each line hears that its connection is lost to it.
    answerRawLater(std::move(dropped), kConnectionLost);
}

}  // namespace Zelkor
