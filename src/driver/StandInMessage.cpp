#include "driver/StandInMessage.h"

#include <sstream>
#include <utility>

namespace Zelkor {

StandInMessage::StandInMessage(std::string word) : Message({}), _word(std::move(word)) {}

std::unique_ptr<Message> StandInMessage::Instantiate() const { return std::make_unique<StandInMessage>(_word); }

std::string StandInMessage::ToNetworkFormat(bool request) const {
    std::ostringstream out;
    MessageForwardInfo header(GetMessageForwardInfo());
    if (!header.PutMessageForwardHeader(out)) {
        return std::string();
    }
    out << (request ? "" : "@") << _word;
    if (!_json.empty()) {
        out << ' ' << _json;
    }
    return out.str();
}

bool StandInMessage::FromNetworkFormat(bool /*request*/, const std::string& line, std::string& error) {
    if (const MessageForwardInfo* received = ReceivedHeader(line)) {
        _json = received->JsonText();
        return true;
    }
    // The header parse checks the JSON text and cuts it at the line's end.
    MessageForwardInfo header(GetMessageForwardInfo());
    if (!header.ReadReceived(line) && !line.empty()) {
        error = "Invalid message line";
        return false;
    }
    _json = header.JsonText();
    return true;
}

}  // namespace Zelkor
