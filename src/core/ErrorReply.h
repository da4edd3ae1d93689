#pragma once
// The reply a node sends when it cannot serve a request: command word "error", the one
// parameter "message" holding the reason. Base-class body (every value a string).
// Ownership and threads as for every Message.

#include <memory>
#include <string>

#include "core/Message.h"

namespace Zelkor {

class ErrorReply : public Message {
public:
    ErrorReply();

    const char* CommandName() const override;
    std::unique_ptr<Message> Instantiate() const override;
    // What a request's sender is told of the refusal: the "message", else the line as it
    // came in (or as it would be written), so that a reply without one still says
    // something.
    std::string Reason() const;
};

}  // namespace Zelkor
