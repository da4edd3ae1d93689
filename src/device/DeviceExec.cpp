// The commands a controller runs on one device: "exec" in its three argument forms, handed
// to the command interface with a callback per request, and raw command lines typed as
// text, whose replies come back as text. The callback of an "exec", "get" or "set" line is
// held by the word's service in the line's place among the connection's requests; any
// other word's callback waits here for the reply to its own line. An "@error" that
// answers a raw line reaches its callback as the error line itself (see IDevice).

#include "device/DeviceImpl.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/Message.h"
#include "core/MessageSignalData.h"
#include "driver/ZelkorDriver.h"
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
void sendExec(DeviceImpl& device, const std::shared_ptr<ICommandInterfaceService>& service, const char* path,
              const char* command, const Args& args, const std::string& requestid, IDevice::ExecCallback& callback) {
    // The service builds the line before this returns; the header is this request's own.
    // The work runs at most once, so the callback moves on instead of being copied.
    device.ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        service->SendExecCommand(ZelkorDriver::HandleOf(socket.get()), path, command, args, header, requestid,
                                 std::move(callback));
    });
}

}  // namespace

void DeviceImpl::SendExecCommand(const char* path, const char* command, const std::vector<std::string>& args,
                                 const std::string& requestid, ExecCallback callback) {
    if (!path || !command) {
        return;
    }
    if (const auto service = commandInterface()) {
        sendExec(*this, service, path, command, args, requestid, callback);
    }
}

void DeviceImpl::SendExecCommand(const char* path, const char* command, const std::map<std::string, std::string>& args,
                                 const std::string& requestid, ExecCallback callback) {
    if (!path || !command) {
        return;
    }
    if (const auto service = commandInterface()) {
        sendExec(*this, service, path, command, args, requestid, callback);
    }
}

void DeviceImpl::SendExecCommand(const char* path, const char* command, const std::string& args,
                                 const std::string& requestid, ExecCallback callback) {
    if (!path || !command) {
        return;
    }
    if (const auto service = commandInterface()) {
        sendExec(*this, service, path, command, args, requestid, callback);
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
    const bool serviceWord = word == "exec" || word == "get" || word == "set";
    if (serviceWord) {
        // The service of the word holds the callback in the line's place among the
        // connection's requests; a disconnection of the device since drops it there.
        callback = [weak = weak_from_this(), generation, callback = std::move(callback)](const std::string& text) {
            const auto self = weak.lock();
            if (!self) {
                return;
            }
            {
                std::lock_guard<std::mutex> lock(self->_mutex);
                if (generation != self->_rawGeneration) {
                    return;
                }
            }
            callback(text);
        };
    }
    ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        ZelkorDriver::SendResult sent;
        if (!serviceWord) {
            // The callback waits only once the connection took the line, in the same loop
            // turn, when the connection can tell the line's place among its requests: one
            // that never went out would take the reply of a later line.
            RawWait wait{word, socket, 0, hashOf(header), callback};
            sent = [self = shared_from_this(), wait = std::move(wait), generation](bool taken) mutable {
                const auto connection = wait.connection.lock();
                if (taken && connection) {
                    wait.ordinal = connection->LastRequestTaken();
                    self->enterRaw(std::move(wait), generation);
                }
            };
        }
        owner->SendRawCommand(ZelkorDriver::HandleOf(socket.get()), line, header, callback, std::move(sent));
    });
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
    std::vector<RawWait> closed;
    std::vector<boost::signals2::connection> cuts;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        // A disconnection since the line was sent: its reply is not coming on a connection
        // of this device any more. A finalized device is never served again.
        if (generation != _rawGeneration || IsFinalized()) {
            return;
        }
        // Lines whose connection has closed since are answered by nothing any more.
        for (auto at = _rawWaits.begin(); at != _rawWaits.end();) {
            const auto connection = at->connection.lock();
            if (connection && connection->SocketIsOpen()) {
                ++at;
            } else {
                closed.push_back(std::move(*at));
                at = _rawWaits.erase(at);
            }
        }
        // A word whose replies the driver raises on no signal of its map.
        if (hookRaw(*owner, wait.word) && hookRaw(*owner, "error")) {
            _rawWaits.push_back(std::move(wait));
        }
        cuts = idleRawHandlers();
    }
    for (auto& cut : cuts) {
        cut.disconnect();
    }
}

std::vector<boost::signals2::connection> DeviceImpl::idleRawHandlers() {
    std::vector<boost::signals2::connection> idle;
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
    const std::string& received = message->GetRawText();
    deliver(received.empty() ? message->ToNetworkFormat(false) : received);
}

void DeviceImpl::dropRawCommands() {
    // Held past the cuts: a handler being cut owns this device.
    const auto self = weak_from_this().lock();
    std::map<std::string, boost::signals2::connection> handlers;
    // The callbacks go after the lock: their captures may own anything.
    std::vector<RawWait> dropped;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        ++_rawGeneration;
        handlers.swap(_rawHandlers);
        dropped.swap(_rawWaits);
    }
    for (auto& entry : handlers) {
        entry.second.disconnect();
    }
}

}  // namespace Zelkor
