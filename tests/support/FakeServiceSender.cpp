#include "support/FakeServiceSender.h"

#include <utility>

#include "core/Message.h"

namespace ZelkorTest {

void FakeServiceSender::record(Line line) {
    std::lock_guard<std::mutex> lock(_mutex);
    const auto queue = _queued.find(line.handle);
    if (queue != _queued.end()) {
        queue->second.bytes += line.text.size();
    }
    _lines.push_back(std::move(line));
}

Zelkor::IServiceSender::QueuedOutput FakeServiceSender::QueuedOutputOf(void* handle) {
    std::lock_guard<std::mutex> lock(_mutex);
    const auto queue = _queued.find(handle);
    QueuedOutput output = queue == _queued.end() ? QueuedOutput() : queue->second;
    output.open = _closed.count(handle) == 0;
    return output;
}

void FakeServiceSender::UpdateDiscoReplyValue(const std::string& path, const std::string& value) {
    std::lock_guard<std::mutex> lock(_mutex);
    _discoValues.push_back(path + " " + value);
}

bool FakeServiceSender::IsLocalMAC(const std::string& mac) {
    std::lock_guard<std::mutex> lock(_mutex);
    for (const auto& local : _localMACs) {
        if (local == mac) {
            return true;
        }
    }
    return false;
}

bool FakeServiceSender::IsListener(const boost::asio::ip::address& address, unsigned short port) {
    std::lock_guard<std::mutex> lock(_mutex);
    for (const auto& listener : _listeners) {
        if (listener.first == address && listener.second == port) {
            return true;
        }
    }
    return false;
}

void FakeServiceSender::AddListener(const boost::asio::ip::address& address, unsigned short port) {
    std::lock_guard<std::mutex> lock(_mutex);
    _listeners.emplace_back(address, port);
}

void FakeServiceSender::AddLocalMAC(const std::string& mac) {
    std::lock_guard<std::mutex> lock(_mutex);
    _localMACs.push_back(mac);
}

std::vector<std::string> FakeServiceSender::DiscoValues() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _discoValues;
}

void FakeServiceSender::SetOutputBudget(void* handle, std::size_t bound) {
    std::lock_guard<std::mutex> lock(_mutex);
    _queued[handle].bound = bound;
}

void FakeServiceSender::BuildAndSendMessage(void* handle, Zelkor::Message& message, bool request) {
    record({handle, message.Build(request), request, true});
}

void FakeServiceSender::BuildAndSendMessageDelayed(void* handle, Zelkor::Message& message, bool request) {
    BuildAndSendMessage(handle, message, request);
}

void FakeServiceSender::BuildAndSendUnicastMessage(void* handle, Zelkor::Message& message, bool request) {
    BuildAndSendMessage(handle, message, request);
}

void FakeServiceSender::SendRequest(void* handle, std::string line, SendResult done) {
    std::function<bool(void*, const std::string&)> accept;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        accept = _accept;
    }
    const bool taken = !accept || accept(handle, line);
    record({handle, std::move(line), true, taken});
    if (done) {
        done(taken);
    }
}

std::uint64_t FakeServiceSender::RequestsTaken(void* handle) {
    std::lock_guard<std::mutex> lock(_mutex);
    std::uint64_t taken = 0;
    for (const auto& line : _lines) {
        taken += line.handle == handle && line.request && line.taken ? 1 : 0;
    }
    return taken;
}

void FakeServiceSender::SendReply(void* handle, const std::string& line, const std::string&, const std::string&) {
    record({handle, line, false, true});
}

void FakeServiceSender::SetAccept(std::function<bool(void*, const std::string&)> accept) {
    std::lock_guard<std::mutex> lock(_mutex);
    _accept = std::move(accept);
}

void FakeServiceSender::Written(void* handle) {
    std::lock_guard<std::mutex> lock(_mutex);
    const auto queue = _queued.find(handle);
    if (queue != _queued.end()) {
        queue->second.bytes = 0;
    }
}

void FakeServiceSender::Close(void* handle) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _closed.insert(handle);
    }
    Zelkor::ConnectionResult result;
    result.handle = handle;
    result.connected = false;
    _results.Raise(result);
}

std::vector<FakeServiceSender::Line> FakeServiceSender::Lines() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _lines;
}

std::string FakeServiceSender::Last() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _lines.empty() ? std::string() : _lines.back().text;
}

std::size_t FakeServiceSender::Count() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _lines.size();
}

}  // namespace ZelkorTest
