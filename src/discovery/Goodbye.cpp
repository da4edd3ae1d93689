#include "discovery/Goodbye.h"

namespace Zelkor {

const char* GoodbyeReasonWord(GOODBYE_REASON reason) {
    static const char* const words[] = {"keepalivetimeout", "keepaliveerror", "rebooting", "busy",
                                        "shutdown",         "guidchanged",    "ipchange"};
    return reason >= 1 && reason <= 7 ? words[reason - 1] : nullptr;
}

Goodbye::Goodbye() : Message({Param::reason, Param::error}) {}

const char* Goodbye::CommandName() const { return "goodbye"; }

std::unique_ptr<Message> Goodbye::Instantiate() const { return std::make_unique<Goodbye>(); }

}  // namespace Zelkor
