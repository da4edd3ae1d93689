// The commands a controller runs on one device: "exec" in its three argument forms, handed
// to the command interface with a callback per request, and raw command lines typed as
// text, whose replies come back as text. The callback of an "exec", "get" or "set" line is
// held by the word's service in the line's place among the connection's requests; any
// other word's callback waits here, per word, for the device's next reply of that word.

#include "device/DeviceImpl.h"

#include <deque>
#include <utility>
#include <vector>

#include "core/Message.h"
#include "core/MessageSignalData.h"
#include "driver/ZelkorDriver.h"
#include "services/ICommandInterfaceService.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

struct DeviceImpl::RawWaits {
    // Both under the device's mutex.
    boost::signals2::connection handler;
    std::deque<RawCallback> callbacks;
};

std::shared_ptr<ICommandInterfaceService> DeviceImpl::commandInterface() const {
    const auto owner = _driver.lock();
    ICommandInterfaceService* service = owner ? owner->GetCommandInterfaceService() : nullptr;
    return service ? std::shared_ptr<ICommandInterfaceService>(owner, service) : nullptr;
}

// --- exec --------------------------------------------------------------------------------

namespace {

template <class Args>
void sendExec(DeviceImpl& device, const std::shared_ptr<ICommandInterfaceService>& service, const char* path,
              const char* command, const Args& args, const std::string& requestid,
              const IDevice::ExecCallback& callback) {
    // The service builds the line before this returns; the header is this request's own.
    device.ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        service->SendExecCommand(ZelkorDriver::HandleOf(socket.get()), path, command, args, header, requestid,
                                 callback);
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
    ZelkorDriver::SendResult sent;
    if (word == "exec" || word == "get" || word == "set") {
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
    } else {
        // The callback waits only once the connection took the line: one that never went
        // out would take the reply of a later line of its word.
        sent = [self = shared_from_this(), word, generation, callback](bool taken) {
            if (taken) {
                self->enterRaw(word, generation, callback);
            }
        };
    }
    ForTheHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        owner->SendRawCommand(ZelkorDriver::HandleOf(socket.get()), line, header, callback, sent);
    });
}

void DeviceImpl::enterRaw(const std::string& word, std::uint64_t generation, RawCallback callback) {
    const auto owner = _driver.lock();
    if (!owner) {
        return;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    // A disconnection since the line was sent: its reply is not coming on a connection of
    // this device any more. A finalized device is never served again.
    if (generation != _rawGeneration || IsFinalized()) {
        return;
    }
    auto& waits = _rawWaits[word];
    if (!waits) {
        auto made = std::make_shared<RawWaits>();
        made->handler = owner->AddHandler2(
            word, [self = shared_from_this(), made](MessageSignalData& data) { self->serveRaw(data, made); });
        // A word whose replies the driver raises on no signal of its map.
        if (!made->handler.connected()) {
            _rawWaits.erase(word);
            return;
        }
        waits = std::move(made);
    }
    waits->callbacks.push_back(std::move(callback));
}

void DeviceImpl::serveRaw(MessageSignalData& data, const std::shared_ptr<RawWaits>& waits) {
    const Message* message = data.GetMessage();
    if (!message || !message->GetIsReply() || !MatchSource(data)) {
        return;
    }
    // Held past the cut below: the handler being cut owns this device.
    const auto self = shared_from_this();
    RawCallback deliver;
    boost::signals2::connection cut;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        // A handler dropped (its list emptied or the device disconnected) while the signal
        // was already calling it.
        if (waits->callbacks.empty()) {
            return;
        }
        deliver = std::move(waits->callbacks.front());
        waits->callbacks.pop_front();
        if (waits->callbacks.empty()) {
            cut = waits->handler;
            for (auto at = _rawWaits.begin(); at != _rawWaits.end(); ++at) {
                if (at->second == waits) {
                    _rawWaits.erase(at);
                    break;
                }
            }
        }
    }
    cut.disconnect();
    const std::string& received = message->GetRawText();
    deliver(received.empty() ? message->ToNetworkFormat(false) : received);
}

void DeviceImpl::dropRawCommands() {
    // Held past the cuts: a handler being cut owns this device.
    const auto self = weak_from_this().lock();
    std::map<std::string, std::shared_ptr<RawWaits>> dropped;
    // The callbacks go after the lock: their captures may own anything.
    std::vector<std::deque<RawCallback>> callbacks;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        ++_rawGeneration;
        dropped.swap(_rawWaits);
        for (auto& entry : dropped) {
            // A handler the signal is calling right now finds its list empty.
            callbacks.push_back(std::move(entry.second->callbacks));
            entry.second->callbacks.clear();
        }
    }
    for (auto& entry : dropped) {
        entry.second->handler.disconnect();
    }
}

}  // namespace Zelkor
