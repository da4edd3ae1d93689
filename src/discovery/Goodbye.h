#pragma once
// "goodbye": a peer announces that it closes the connection. Declares "reason" (why the
// sender leaves) and "error"; uses the base-class body, so a goodbye without reason is
// the bare command word. Ownership and threads as for every Message.

#include <memory>

#include "core/Message.h"

namespace Zelkor {

class Goodbye : public Message {
public:
    Goodbye();

    const char* CommandName() const override;
    std::unique_ptr<Message> Instantiate() const override;
};

}  // namespace Zelkor
