#include "support/FakeDiscovery.h"

#include <algorithm>
#include <stdexcept>

#include <boost/asio/post.hpp>

#include "driver/StandInMessage.h"
#include "driver/ZelkorDriver.h"
#include "transport/TcpSocket.h"

namespace ZelkorTest {

void FakeDiscovery::record(const std::string& call) {
    std::lock_guard<std::mutex> lock(_mutex);
    _calls.push_back(call);
}

std::vector<std::string> FakeDiscovery::Calls() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _calls;
}

std::size_t FakeDiscovery::Count(const std::string& call) const {
    const auto calls = Calls();
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
}

std::size_t FakeDiscovery::Handled(const std::string& word) const {
    std::lock_guard<std::mutex> lock(_mutex);
    return static_cast<std::size_t>(
        std::count_if(_requests.begin(), _requests.end(), [&](const Request& r) { return r.word == word; }));
}

std::vector<std::string> FakeDiscovery::Lines() const {
    std::lock_guard<std::mutex> lock(_mutex);
    std::vector<std::string> lines;
    for (const auto& request : _requests) {
        lines.push_back(request.line);
    }
    return lines;
}

void FakeDiscovery::SetGuid(const std::string& guid) {
    std::lock_guard<std::mutex> lock(_mutex);
    _guid = guid;
}

std::string FakeDiscovery::GUID() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _guid;
}

void FakeDiscovery::UpdateInterfaceDiscoReplyValue(const std::string& interfaceName, const std::string& key,
                                                   const std::string& value) {
    std::lock_guard<std::mutex> lock(_mutex);
    _interfaceValues[interfaceName + "/" + key] = value;
}

std::map<std::string, std::string> FakeDiscovery::InterfaceValues() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _interfaceValues;
}

void FakeDiscovery::AddDevice(const std::string& device, std::shared_ptr<Zelkor::TcpSocket> socket) {
    std::lock_guard<std::mutex> lock(_mutex);
    _devices[device] = socket;
}

bool FakeDiscovery::GetDeviceHandleByName(const std::string& device, std::shared_ptr<Zelkor::TcpSocket>& socket) {
    std::lock_guard<std::mutex> lock(_mutex);
    const auto found = _devices.find(device);
    if (found == _devices.end()) {
        return false;
    }
    socket = found->second.lock();
    return true;
}

void FakeDiscovery::SignalRaised(Zelkor::MessageSignalData& data) {
    Zelkor::Message* message = data.GetMessage();
    Request request{message->CommandName(), message->GetRawText(), message->GetMessageForwardInfo(), data.Socket(),
                    data.Handle()};
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _requests.push_back(request);
    }
    if (request.word == throwOn) {
        throw std::runtime_error("handler failed");
    }
    if (answerAtOnce && !message->GetIsReply()) {
        const auto space = request.line.find(' ');
        answer(request, space == std::string::npos ? "" : request.line.substr(space + 1));
    }
}

void FakeDiscovery::answer(const Request& request, const std::string& body, Send send) {
    auto driver = _driver.lock();
    if (!driver) {
        return;
    }
    Zelkor::StandInMessage reply(request.word);
    std::string error;
    reply.FromNetworkFormat(false, "@" + request.word + " " + body, error);
    reply.SetMessageForwardInfo(request.header);
    ((*driver).*(send ? send : &Zelkor::ZelkorDriver::BuildAndSendMessage))(request.handle, reply, false);
}

void FakeDiscovery::Answer(std::size_t index, const std::string& body, Send send) {
    Request request;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        request = _requests.at(index);
    }
    if (auto driver = _driver.lock()) {
        boost::asio::post(driver->GetIoContext(), [this, request, body, send] { answer(request, body, send); });
    }
}

void FakeDiscovery::Stop() {
    record("Stop");
    if (!goodbyeOnStop) {
        return;
    }
    std::vector<std::shared_ptr<Zelkor::TcpSocket>> sockets;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (const auto& request : _requests) {
            if (request.socket && std::find(sockets.begin(), sockets.end(), request.socket) == sockets.end()) {
                sockets.push_back(request.socket);
            }
        }
    }
    for (const auto& socket : sockets) {
        socket->SendGoodbye();
        socket->Close();
    }
}

}  // namespace ZelkorTest
