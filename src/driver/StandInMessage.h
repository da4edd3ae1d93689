#pragma once
// The message of a protocol word whose own class is not built yet: it keeps its word and
// its JSON text, and writes that text back unchanged. So every word of the protocol is
// known to the driver (and never mistaken for a custom command) before its service
// exists.
//
// Ownership and threads as for every Message.

#include <memory>
#include <string>

#include "core/Message.h"

namespace Zelkor {

class StandInMessage : public Message {
public:
    explicit StandInMessage(std::string word);

    const char* CommandName() const override { return _word.c_str(); }
    std::unique_ptr<Message> Instantiate() const override;
    // The own header, "@" for a reply, the word and, when there is one, a blank and the
    // JSON text as it was read.
    std::string ToNetworkFormat(bool request) const override;
    // Keeps the JSON text of the line; false for a line whose header or JSON is invalid.
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;

    const std::string& JsonText() const { return _json; }

private:
    std::string _word;
    std::string _json;
};

}  // namespace Zelkor
