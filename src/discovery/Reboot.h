#pragma once
// "reboot": asks the node with the given MAC address to restart; its reply carries the
// MAC and, when refused, "error". Declares mac and error and uses the base-class body,
// in which every value is a string.
//
// Ownership and threads as for every Message.

#include <memory>

#include "core/Message.h"

namespace Zelkor {

class Reboot : public Message {
public:
    Reboot();

    const char* CommandName() const override { return "reboot"; }
    std::unique_ptr<Message> Instantiate() const override;
};

std::unique_ptr<Message> CreateReboot();

}  // namespace Zelkor
