#pragma once
// "cancelputfile": asks a node to cancel the transfers of the asking peer. The base form:
// the word alone, or with a blank and {"error": text} when "error" is set, so a reply
// without error is the bare "@cancelputfile".
//
// Ownership and threads as for every Message.

#include <memory>

#include "core/Message.h"

namespace Zelkor {

class cancelPutFile : public Message {
public:
    cancelPutFile();

    const char* CommandName() const override { return "cancelputfile"; }
    std::unique_ptr<Message> Instantiate() const override;
};

// A new, empty "cancelputfile"; the driver's table entry for the word.
std::unique_ptr<Message> CreateCancelPutFile();

}  // namespace Zelkor
