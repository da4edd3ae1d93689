// Raw commands: protocol lines given as text by the application, and the two UDP receive
// switches.

#include <boost/algorithm/string/trim.hpp>

#include "core/Message.h"
#include "driver/CommandTable.h"
#include "driver/ZelkorDriver.h"
#include "services/CommandInterfaceService.h"
#include "services/FolderModificationService.h"
#include "transport/TcpSocket.h"
#include "transport/UdpSocket.h"

namespace Zelkor {

bool ZelkorDriver::SplitRawCommand(const std::string& line, std::string& word, std::string& json) {
    word = line;
    const auto start = line.find_first_of("{[");
    if (start != std::string::npos) {
        json = line.substr(start);
        word = line.substr(0, start);
    }
    const auto end = json.find_first_of("\r\n");
    if (end != std::string::npos) {
        json.erase(end);
    }
    boost::algorithm::trim(word);
    boost::algorithm::trim(json);
    if (!word.empty() && word.front() == '@') {
        word.erase(0, 1);
        return true;
    }
    return false;
}

std::unique_ptr<Message> ZelkorDriver::readRaw(const char* raw, std::string& word, bool log) {
    if (!raw) {
        return nullptr;
    }
    std::string json;
    SplitRawCommand(raw, word, json);
    const MessageFactoryFunction create = LookupCommand(word);
    if (!create) {
        return nullptr;
    }
    std::unique_ptr<Message> message = create();
    if (!message) {
        if (log) {
            Error("ZK7878E Message factory failed");
        }
        return nullptr;
    }
    message->SetIsReply(false);
    std::string error;
    if (!message->FromNetworkFormat(true, raw, error)) {
        if (log) {
            Error("ZK7879E Unidentified raw command");
        }
        return nullptr;
    }
    return message;
}

std::string ZelkorDriver::RawRequestLine(const char* raw, const MessageForwardInfo& header) {
    std::string word;
    const std::unique_ptr<Message> message = readRaw(raw, word, false);
    if (!message) {
        return std::string();
    }
    message->SetMessageForwardInfo(header);
    return message->Build(true);
}

void ZelkorDriver::SendRawCommand(void* handle, const char* raw, MessageForwardInfo& header,
                                  std::function<void(const std::string&)> onReply, SendResult sent) {
    std::string word;
    const std::unique_ptr<Message> message = readRaw(raw, word, true);
    if (!message) {
        reportNotTaken(std::move(sent));
        return;
    }
    message->SetMessageForwardInfo(header);
    if (word == "authenticate") {
        // A proof of the application's own: its answer is this node's to hear.
        if (const auto socket = tcpOf(handle)) {
            socket->AwaitProofAnswer();
        }
    }
    if (word == "exec") {
        // The reply meets onReply by its place among the connection's exec requests, so
        // the handler and the line go to the connection together.
        auto* commands = commandInterface();
        if (!commands) {
            Warning("ZK78FFW Raw exec not sent: no command interface");
            reportNotTaken(std::move(sent));
            return;
        }
        commands->SendRawExecLine(handle, message->Build(true), std::move(onReply), std::move(sent));
        return;
    }
    // A "get" or "set" takes its place among the service's requests on the connection,
    // or its reply would go to the handler of the request before it; onReply is held in
    // that place, so it hears the reply its line asked for.
    auto* folders = folderModification();
    if (folders && (word == "get" || word == "set")) {
        folders->SendRequestLine(handle, word, message->Build(true), std::move(onReply), std::move(sent));
        return;
    }
    if (!sent) {
        BuildAndSendMessage(handle, *message, true);
        return;
    }
    SendRequest(handle, message->Build(true), std::move(sent));
}

boost::signals2::connection ZelkorDriver::AddRawCmdHandler(const char* raw,
                                                           std::function<void(MessageSignalData&)> handler) {
    std::string word;
    std::string json;
    SplitRawCommand(raw ? raw : "", word, json);
    return AddHandler2(word, std::move(handler));
}

void ZelkorDriver::BroadcastUDP(bool on) {
    _broadcastUdp.store(on);
    std::lock_guard<std::mutex> lock(_udpMutex);
    for (const auto& socket : _anyUdpSockets) {
        socket->broadcastUdp.store(on);
    }
}

void ZelkorDriver::SubnetUDP(bool on) {
    _subnetUdp.store(on);
    std::lock_guard<std::mutex> lock(_udpMutex);
    for (const auto& socket : _udpSockets) {
        socket->subnetUdp.store(on);
    }
}

}  // namespace Zelkor
