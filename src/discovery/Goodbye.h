#pragma once
// "goodbye": a peer announces that it closes the connection. Declares "reason" (why the
// sender leaves) and "error"; uses the base-class body, so a goodbye without reason is
// the bare command word. Ownership and threads as for every Message.

#include <memory>

#include "core/Message.h"

namespace Zelkor {

// The "reason" of a goodbye; values outside 1..7 send none.
enum GOODBYE_REASON : int {
    GoodbyeKeepAliveTimeout = 1,
    GoodbyeKeepAliveError = 2,
    GoodbyeRebooting = 3,
    GoodbyeBusy = 4,
    GoodbyeShutdown = 5,
    GoodbyeGuidChanged = 6,
    GoodbyeIpChange = 7,
};

// The reason's word ("keepalivetimeout" ... "ipchange"); null outside 1..7.
const char* GoodbyeReasonWord(GOODBYE_REASON reason);

class Goodbye : public Message {
public:
    Goodbye();

    const char* CommandName() const override;
    std::unique_ptr<Message> Instantiate() const override;
};

}  // namespace Zelkor
