// Raw commands: protocol lines given as text by the application, and the two UDP receive
// switches.

#include <boost/algorithm/string/trim.hpp>

#include "core/Message.h"
#include "driver/CommandTable.h"
#include "driver/ZelkorDriver.h"
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
                                  std::function<void(const std::string&)> /*onReply*/) {
    if (!raw) {
        return;
    }
    std::string word;
    std::string json;
    SplitRawCommand(raw, word, json);
    const MessageFactoryFunction create = LookupCommand(word);
    if (!create) {
        return;
    }
    std::unique_ptr<Message> message = create();
    if (!message) {
        Error("ZK7878E Message factory failed");
        return;
    }
    message->SetIsReply(false);
    std::string error;
    if (!message->FromNetworkFormat(true, raw, error)) {
        Error("ZK7879E Unidentified raw command");
        return;
    }
    // An "exec" reply reaches onReply through the command interface, once it is built.
    message->SetMessageForwardInfo(header);
    // A "get" or "set" takes its place among the service's requests on the connection,
    // or its reply would go to the handler of the request before it.
    auto* folders = folderModification();
    if (folders && (word == "get" || word == "set")) {
        folders->SendRequestLine(handle, word, message->Build(true));
        return;
    }
    BuildAndSendMessage(handle, *message, true);
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
