// Raw commands: protocol lines given as text by the application, and the two UDP receive
// switches.

#include <boost/algorithm/string/trim.hpp>

#include "core/Message.h"
#include "driver/CommandTable.h"
#include "driver/ZelkorDriver.h"
#include "services/CommandInterfaceService.h"
#include "services/FolderModificationService.h"
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

void ZelkorDriver::SendRawCommand(void* handle, const char* raw, MessageForwardInfo& header,
                                  std::function<void(const std::string&)> onReply, SendResult sent) {
    // A line that never goes out is reported on the loop, as a sent one is.
    const auto notSent = [this, &sent] {
        if (sent) {
            onLoop([sent = std::move(sent)] { sent(false); });
        }
    };
    if (!raw) {
        notSent();
        return;
    }
    std::string word;
    std::string json;
    SplitRawCommand(raw, word, json);
    const MessageFactoryFunction create = LookupCommand(word);
    if (!create) {
        notSent();
        return;
    }
    std::unique_ptr<Message> message = create();
    if (!message) {
        Error("ZK7878E Message factory failed");
        notSent();
        return;
    }
    message->SetIsReply(false);
    std::string error;
    if (!message->FromNetworkFormat(true, raw, error)) {
        Error("ZK7879E Unidentified raw command");
        notSent();
        return;
    }
    message->SetMessageForwardInfo(header);
    if (word == "exec") {
        // The reply meets onReply by its place among the connection's exec requests, so
        // the handler and the line go to the connection together.
        auto* commands = commandInterface();
        if (!commands) {
            Warning("ZK78FFW Raw exec not sent: no command interface");
            notSent();
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
